// Notification payloads as the headband link hands them to a signal stream's processData,
// interleaved with what happens around them: time passing (the pacing timer runs on a
// manual clock), latency correction switched on and off, resets, closing and opening.
//
// The input is a script of steps; each starts with an operation byte:
//   0-3  a packet: the next byte gives its length (0..23, around the 20 of a real packet),
//        the bytes after it its contents (cut short at the end of the input)
//   4    time passes: the next byte modulo 32, in milliseconds (up to eight timer ticks)
//   5    latency correction on or off
//   6    reset()
//   7    close() or open()
// Every value handed to the outputs must be a scaled 24-bit count, and the packets must
// reach them raw and whole, in the order they were processed.
#include "FuzzSupport.h"

#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/ManualClock.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <vector>

using vpk::fuzz::check;

namespace {

class CheckingOutput : public VPKSignalStreamOutput {
 public:
  void didRecieveValues(VPKSignalStream&, float left, float right, double timestamp, bool) override {
    // 0xFFFFFF counts scale to just above 800000.
    check(left >= 0 && left <= 800001 && right >= 0 && right <= 800001, "a value outside the 24-bit range");
    check(std::isfinite(timestamp), "a timestamp that is not finite");
    ++values;
  }
  void didRecieveData(VPKSignalStream&, std::span<const uint8_t> packet) override {
    // Packets discarded by a close may be skipped; the rest arrive in order, unaltered.
    const auto same = [&](const std::vector<uint8_t>& p) { return std::ranges::equal(p, packet); };
    while (!expected.empty() && !same(expected.front())) expected.pop_front();
    check(!expected.empty(), "a packet delivered altered, out of order or never processed");
    expected.pop_front();
  }
  std::deque<std::vector<uint8_t>> expected;
  size_t values = 0;
};

std::shared_ptr<vpk::ManualClock> installClock() {
  auto clock = std::make_shared<vpk::ManualClock>();
  vpk::Clock::install(clock);
  vpk::DispatchQueue::drainMain();  // this thread drives the main queue
  return clock;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto clock = installClock();
  std::shared_ptr<VPKSignalStream> stream;
  const auto output = std::make_shared<CheckingOutput>();
  bool open = true;
  size_t i = 0;

  // The steps between two time steps run in one block on the stream's queue, where the
  // stream's calls run inline: the same code paths, without a thread switch per packet.
  const auto runUntilTimePasses = [&] {
    while (i < size && data[i] % 8 != 4) {
      const uint8_t op = data[i++] % 8;
      if (op < 4) {
        const size_t wanted = i < size ? data[i++] % 24 : 0;
        const size_t length = std::min(wanted, size - i);
        const std::span<const uint8_t> packet(data + i, length);
        i += length;
        // A closed stream drops what arrives; a reset or a close discards what waits.
        if (open) output->expected.emplace_back(packet.begin(), packet.end());
        stream->processData(packet);
      } else if (op == 5) {
        stream->setLatencyCorrectionEnabled(!stream->latencyCorrectionEnabled());
      } else if (op == 6) {
        stream->reset();
        output->expected.clear();
      } else {
        open ? stream->close() : stream->open();
        open = !open;
      }
    }
  };

  VPKResourceManager::performBlockAndWait([&] {
    stream = VPKSignalStream::create();
    stream->addOutput(output);
    stream->open();
  });
  while (i < size) {
    VPKResourceManager::performBlockAndWait(runUntilTimePasses);
    if (i < size) {  // a time step
      ++i;
      clock->advance((i < size ? data[i++] % 32 : 0) / 1000.0);
    }
  }
  // Closed, the next tick discards what still waits for the timer.
  stream->close();
  clock->advance(0.004);
  stream->removeAllOutputs();
  return 0;
}
