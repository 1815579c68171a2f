// The headband's status word, as the answer to "DR0404\r" arriving on RX and as the three
// values processSystemState takes, interleaved with time passing (button press lengths).
//
// The input is a script of steps; each starts with an operation byte:
//   0-1  an answer: the next byte modulo 24 gives the length of its text, then the text
//   2    processSystemState: battery byte, then a byte whose bits 0 and 1 are the charge
//        and button states
//   3    time passes: the next byte, in tenths of a second
// Besides the limits every headband object keeps, the battery level never rises while the
// charger stays out (it starts afresh only when the charger is removed), and a status
// word that reads is kept among the answers.
#include "FuzzHeadband.h"

#include "device/HeadbandText.h"
#include "device/ReplyAssembler.h"

#include <algorithm>
#include <optional>
#include <string_view>

using namespace vpk::fuzz;

namespace {

struct Before {
  std::optional<float> level;
  bool charging;
  size_t answers;
};

Before before(const VPKPeripheral& device) {
  return {device.batteryLevel(), device.isCharging(), device.systemQueryResponses().size()};
}

void checkAfter(const VPKPeripheral& device, const Before& was) {
  checkHeadbandState(device);
  if (was.level && !was.charging && !device.isCharging() && device.batteryLevel())
    check(*device.batteryLevel() <= *was.level, "the battery level rose without the charger");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto& clock = fuzzClock();
  std::unique_ptr<FuzzHeadband> band;
  VPKResourceManager::performBlockAndWait([&] { band = std::make_unique<FuzzHeadband>(std::nullopt); });

  size_t i = 0;
  const auto next = [&]() -> uint8_t { return i < size ? data[i++] : 0; };
  const auto runUntilTimePasses = [&] {
    while (i < size && data[i] % 4 != 3) {
      const uint8_t op = data[i++] % 4;
      VPKPeripheral& device = *band->device;
      const Before was = before(device);
      if (op < 2) {
        const size_t n = std::min<size_t>(next() % 24, size - i);
        const std::string_view text(reinterpret_cast<const char*>(data) + i, n);
        i += n;
        // Sent the way the headband sends it: the word and a line end.
        const std::string answer = std::string(text) + "\r\n";
        band->reply("DR0404\r", answer);
        // An answer that reaches the object whole and reads as a word is kept.
        bool whole = answer.find("<p>") == std::string::npos && answer.find("</p>") == std::string::npos;
        for (size_t at = 0; at < answer.size(); at += 20)
          whole = whole && !vpk::detail::ReplyAssembler::isSignalPacket(
                               std::span(reinterpret_cast<const uint8_t*>(answer.data()) + at, 1));
        if (whole && vpk::detail::decodeStatusWord(vpk::detail::trimReply(answer)))
          check(device.systemQueryResponses().size() == std::min(was.answers + 1, VPKPeripheral::kMaxSystemQueryResponses),
                "a status word that reads was not kept");
      } else {
        const uint8_t battery = next();
        const uint8_t bits = next();
        device.processSystemState(battery, bits & 1, bits & 2);
      }
      checkAfter(device, was);
    }
  };
  while (i < size) {
    VPKResourceManager::performBlockAndWait(runUntilTimePasses);
    if (i < size) {
      ++i;
      clock->advance(next() / 10.0);
    }
  }
  VPKResourceManager::performBlockAndWait([&] { band.reset(); });
  vpk::ManualClock::settle();
  return 0;
}
