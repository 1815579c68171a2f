// The device manager against the simulated world in virtual time: how long (virtual time)
// from the first advertisement heard to a ready headband, and what a second of streaming a
// connected headband costs the process (all threads).
#include <VemraPlatformKit/manager/VPKBluetoothManager.h>
#include <VemraPlatformKit/platform/dispatch/ManualClock.h>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <functional>
#include <memory>

namespace {

double processCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

struct Rig {
  std::shared_ptr<vpk::ManualClock> clock = std::make_shared<vpk::ManualClock>();
  std::shared_ptr<vpk::Clock> previous = vpk::Clock::install(clock);
  vpk::SimulatedWorldPtr world = vpk::SimulatedWorld::create({.seed = 3});
  VPKBluetoothManagerPtr manager;
  double discovered = -1, connected = -1, started = -1;

  Rig() {
    vpk::DispatchQueue::drainMain();
    world->addHeadband();
    VPKBluetoothManager::Options options;
    options.world = world;
    options.motionSource = std::make_shared<vpk::ScriptedMotionSource>();
    options.eventSound = std::make_shared<vpk::SilentEventSound>();
    manager = VPKBluetoothManager::create(nullptr, options);
    manager->setUpdateHandler(
        [this](VPKDeviceUpdateReason reason, const VPKDeviceHandlePtr& device) {
          const double now = clock->now();
          if (reason == VPKDeviceUpdateDiscovered && discovered < 0) {
            discovered = now;
            device->connect();
          }
          if (reason == VPKDeviceUpdateDidConnect) {
            connected = now;
            device->startStreaming();
          }
          if (reason == VPKDeviceUpdateStartedStreaming) started = now;
        },
        "bench");
    vpk::ManualClock::settle();
  }
  ~Rig() {
    manager->reset();
    vpk::ManualClock::settle();
    manager.reset();
    world.reset();
    vpk::ManualClock::settle();
    vpk::Clock::install(previous);
  }
  bool runUntil(const std::function<bool()>& done, double seconds) {
    const double end = clock->now() + seconds;
    while (!done() && clock->now() < end) clock->advance(0.01);
    return done();
  }
};

// Virtual seconds from the first Discovered update to DidConnect.
void BM_DiscoveryToConnected(benchmark::State& state) {
  double total = 0;
  for (auto _ : state) {
    Rig rig;
    rig.manager->startSearchingForDevices();
    if (!rig.runUntil([&] { return rig.connected >= 0; }, 20)) {
      state.SkipWithError("no connection");
      return;
    }
    total += rig.connected - rig.discovered;
  }
  state.counters["virtual_s"] = total / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DiscoveryToConnected)->Unit(benchmark::kMillisecond);

// One virtual second of streaming per iteration: status polling, 83 packets decoded and
// handed to the stream's outputs. cpu_ms is the process's processor time per second.
void BM_StreamingSecond(benchmark::State& state) {
  Rig rig;
  rig.manager->startSearchingForDevices();
  if (!rig.runUntil([&] { return rig.started >= 0; }, 20)) {
    state.SkipWithError("no stream");
    return;
  }
  const double cpu0 = processCPUSeconds();
  for (auto _ : state) rig.clock->advance(1.0);
  state.counters["cpu_ms_per_streaming_s"] =
      (processCPUSeconds() - cpu0) * 1e3 / static_cast<double>(state.iterations());
}
BENCHMARK(BM_StreamingSecond)->Unit(benchmark::kMillisecond);

}  // namespace
