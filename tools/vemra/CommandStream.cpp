// vemra stream: feed a signal stream and watch what comes out of it.
//
// With --simulate the packets are synthetic: one 20-byte packet per 12 ms of signal,
// handed over K at a time every K x 12 ms, the way a Bluetooth link delivers notifications
// in bursts. A live line shows packets and samples per second and the stream's latency
// estimate; a summary follows at the end.
#include "Command.h"

#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <deque>
#include <memory>
#include <thread>
#include <unistd.h>

namespace {

constexpr double kPacketSeconds = 0.012;  // three samples at 250 Hz

std::atomic<bool> gInterrupted{false};

extern "C" void onInterrupt(int) { gInterrupted.store(true); }

struct Options {
  bool simulate = false;
  double seconds = 10;
  bool latencyCorrection = false;
  int burst = 3;
};

// Counts what the stream delivers. Its callbacks run on the library's shared queue; the
// display reads the counters from the main thread.
class Meter : public VPKSignalStreamOutput {
 public:
  void didRecieveValues(VPKSignalStream&, float, float, double, bool) override {
    samples.fetch_add(1, std::memory_order_relaxed);
  }
  void didRecieveData(VPKSignalStream& stream, std::span<const uint8_t>) override {
    const double now = vpk::Clock::timestamp();
    if (lastPacket > 0) largestGap = std::max(largestGap, now - lastPacket);
    lastPacket = now;
    const double latency = stream.packetLatency();
    latencySum += latency;
    latencyMax = std::max(latencyMax, latency);
    packets.fetch_add(1, std::memory_order_relaxed);
  }

  std::atomic<long> packets{0};
  std::atomic<long> samples{0};
  // Touched on the shared queue only; read once the stream has stopped.
  double lastPacket = 0;
  double largestGap = 0;
  double latencySum = 0;
  double latencyMax = 0;
};

struct RatePoint {
  double time;
  long packets;
  long samples;
};

void runStream(const Options& options) {
  if (!options.simulate) {
    std::fprintf(stderr, "vemra stream: headband connections are not available yet; use --simulate\n");
    vemra::exitStatus() = 2;
    return;
  }
  const int burst = options.burst;
  const long total = std::lround(options.seconds / kPacketSeconds);

  auto stream = VPKSignalStream::create();
  auto meter = std::make_shared<Meter>();
  stream->addOutput(meter);
  stream->setLatencyCorrectionEnabled(options.latencyCorrection);
  stream->close();
  stream->reset();
  stream->open();

  std::signal(SIGINT, onInterrupt);
  std::atomic<long> fed{0};
  std::atomic<bool> feeding{true};
  const double start = vpk::Clock::timestamp();
  std::atomic<double> finished{start};  // when the last burst was handed over
  // Runs on the shared queue; hands over every whole burst that is due by now, so a late
  // timer event catches up instead of losing packets.
  auto feeder = vpkrsrc_create_timer(
      [&, stream] {
        // A packet is due once its 12 ms of signal are complete.
        const double elapsed = vpk::Clock::timestamp() - start + 1e-6;
        const long due = std::min(total, static_cast<long>(elapsed / kPacketSeconds));
        long n = fed.load();
        const long target = due >= total ? total : due - due % burst;
        for (; n < target && !gInterrupted.load(); ++n) {
          const auto packet = VPKSignalStream::generateSimulatedPacket();
          stream->processData(packet);
        }
        fed.store(n);
        const bool more = n < total && !gInterrupted.load();
        if (!more) {
          finished.store(vpk::Clock::timestamp());
          feeding.store(false);
        }
        return more;
      },
      burst * kPacketSeconds, 0, 0.001);

  // Live figures: rates over the last second of counter readings, one refreshing line on
  // a terminal, one line per second otherwise.
  const bool live = ::isatty(STDOUT_FILENO) == 1;
  std::deque<RatePoint> window;
  double lastLine = start;
  while (feeding.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double now = vpk::Clock::timestamp();
    window.push_back({now, meter->packets.load(), meter->samples.load()});
    while (window.size() > 2 && now - window[1].time >= 1.0) window.pop_front();
    if (!live && now - lastLine < 1.0) continue;
    lastLine = now;
    const double span = window.back().time - window.front().time;
    const double pps = span > 0 ? (window.back().packets - window.front().packets) / span : 0;
    const double sps = span > 0 ? (window.back().samples - window.front().samples) / span : 0;
    std::printf(live ? "\r%6.1f s  %6.1f packets/s  %6.1f samples/s  latency %6.1f ms\033[K"
                     : "%6.1f s  %6.1f packets/s  %6.1f samples/s  latency %6.1f ms\n",
                now - start, pps, sps, stream->packetLatency());
    std::fflush(stdout);
  }
  if (live) std::printf("\n");
  feeder->cancel();
  VPKResourceManager::performBlockAndWait([] {});  // a feeding step already under way ends first
  // With latency correction the last burst is still being released by the stream's timer.
  for (int i = 0; i < 100 && stream->pendingPacketCount() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stream->close();
  stream->reset();
  const double elapsed = finished.load() - start;

  const long packets = meter->packets.load();
  const long samples = meter->samples.load();
  double latencyAverage = 0, latencyMax = 0, largestGap = 0;
  VPKResourceManager::performBlockAndWait([&] {
    latencyAverage = packets > 0 ? meter->latencySum / static_cast<double>(packets) : 0;
    latencyMax = meter->latencyMax;
    largestGap = meter->largestGap;
  });
  stream->removeAllOutputs();

  std::printf("Simulated stream: %.1f s, bursts of %d packet%s, latency correction %s%s\n", elapsed, burst,
              burst == 1 ? "" : "s", options.latencyCorrection ? "on" : "off",
              gInterrupted.load() ? " (interrupted)" : "");
  std::printf("  packets fed       %ld\n", fed.load());
  std::printf("  packets decoded   %ld (%.1f per second)\n", packets, elapsed > 0 ? packets / elapsed : 0);
  std::printf("  samples           %ld per channel (%.1f per second)\n", samples, elapsed > 0 ? samples / elapsed : 0);
  std::printf("  packet latency    %.1f ms on average, %.1f ms at most\n", latencyAverage, latencyMax);
  std::printf("  largest gap       %.1f ms between decoded packets\n", largestGap * 1000.0);
  if (packets != fed.load() || samples != 3 * packets) {
    std::printf("  LOST              %ld packets never reached the output\n", fed.load() - packets);
    vemra::exitStatus() = 1;
  }
  std::fflush(stdout);
  std::signal(SIGINT, SIG_DFL);
}

vemra::VemraCommand command({"stream", "Feed a signal stream and show its packet and sample rates and latency", 30,
                             [](CLI::App& sub) {
                               auto options = std::make_shared<Options>();
                               sub.add_flag("--simulate", options->simulate,
                                            "Feed synthetic packets at the headband's rate");
                               sub.add_option("--seconds", options->seconds, "How long to stream (default 10)")
                                   ->check(CLI::Range(0.012, 86400.0));
                               sub.add_flag("--latency-correction", options->latencyCorrection,
                                            "Queue packets and release them from the stream's 4 ms timer");
                               sub.add_option("--burst", options->burst,
                                              "Packets per Bluetooth delivery (default 3)")
                                   ->check(CLI::Range(1, 64));
                               sub.callback([options] { runStream(*options); });
                             }});

}  // namespace
