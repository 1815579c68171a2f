// Cost of the headband object: a status query's round trip through the command queue and
// the simulated link (virtual and real time), and notifications per second through the
// object's routing (signal packets to the stream, reply text to the assembler).
#include <VemraPlatformKit/acquisition/VPKSignalStreamOutput.h>
#include <VemraPlatformKit/device/VPKPeripheral.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedWorld.h>
#include <VemraPlatformKit/platform/dispatch/ManualClock.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

using namespace vpk;

namespace {

template <class F>
auto onQueue(F&& f) {
  return vpkrsrc_return_sync(std::forward<F>(f));
}

// Connects the first headband heard and brings its command channel up.
struct Owner : VPKPeripheralManager, BluetoothCentralDelegate {
  BluetoothCentralPtr central;
  VPKPeripheralPtr device;
  std::weak_ptr<Owner> self;
  bool ready = false;
  void didDiscoverPeripheral(BluetoothCentral&, const BluetoothPeripheralPtr& p, const BluetoothAdvertisementData& a,
                             std::optional<int> rssi) override {
    if (device) return;
    device = VPKPeripheral::create(p, self.lock(), a, rssi);
    central->stopScan();
    central->connect(p);
  }
  void didConnectPeripheral(BluetoothCentral&, const BluetoothPeripheralPtr&) override { device->discoverServices(); }
  void didDiscoverCharacteristics(const VPKPeripheralPtr&, const BluetoothServicePtr&,
                                  const std::optional<BluetoothError>&) override {
    ready = true;
  }
};

struct Session {
  std::shared_ptr<ManualClock> clock;
  std::shared_ptr<Clock> previous;
  std::shared_ptr<SimulatedWorld> world;
  std::shared_ptr<Owner> owner = std::make_shared<Owner>();

  explicit Session(bool virtualTime) {
    if (virtualTime) {
      clock = std::make_shared<ManualClock>();
      previous = Clock::install(clock);
    }
    world = SimulatedWorld::create({.seed = 3});
    world->addHeadband();
    owner->self = owner;
    owner->central = world->createCentral(owner, VPKResourceManager::sharedQueue());
    onQueue([&] {});
    wait([] { return false; }, 0.2);
    owner->central->scanForPeripherals(VPKPeripheral::deviceServiceUUIDs(), false);
    wait([&] { return onQueue([&] { return owner->ready; }); }, 5.0);
  }
  ~Session() {
    onQueue([&] {
      if (owner->device) owner->central->cancelPeripheralConnection(owner->device->peripheral());
    });
    wait([] { return false; }, 0.2);
    onQueue([&] {
      owner->device.reset();
      owner->central.reset();
    });
    world.reset();
    if (clock) Clock::install(previous);
  }
  // Moves (virtual) time on until `done`, at most `seconds`.
  template <class F>
  bool wait(F done, double seconds) {
    const double end = Clock::timestamp() + seconds;
    while (!done()) {
      if (Clock::timestamp() >= end) return false;
      if (clock)
        clock->advance(0.001);
      else
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }
  // One "DR0404\r" from the status tick to its processed answer; seconds of library time.
  double roundTrip() {
    const double start = Clock::timestamp();
    onQueue([&] { owner->device->updateSystemStatus(); });
    wait([&] { return onQueue([&] { return !owner->device->isUpdatingSystemStatus(); }); }, 5.0);
    return Clock::timestamp() - start;
  }
};

void roundTrips(benchmark::State& state, bool virtualTime) {
  Session session(virtualTime);
  double libraryTime = 0;
  for (auto _ : state) libraryTime += session.roundTrip();
  state.counters["link_ms"] = benchmark::Counter(libraryTime * 1000.0 / double(state.iterations()));
}

}  // namespace

// Real cost of a round trip when the link runs on a manual clock (link_ms: its virtual length).
static void BM_StatusRoundTripVirtualTime(benchmark::State& state) { roundTrips(state, true); }
BENCHMARK(BM_StatusRoundTripVirtualTime)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same on the real clock: what an application waits for a status answer.
static void BM_StatusRoundTripRealTime(benchmark::State& state) { roundTrips(state, false); }
BENCHMARK(BM_StatusRoundTripRealTime)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

namespace {
struct Sink : VPKSignalStreamOutput {
  long values = 0;
  void didRecieveValues(VPKSignalStream&, float, float, double, bool) override { ++values; }
};
}  // namespace

// Notifications through the headband object's routing, 1,000 per shared-queue task:
// range(0) = 0 signal packets into an open stream with one output, 1 reply text lines.
static void BM_NotificationsThroughPeripheral(benchmark::State& state) {
  Session session(true);
  auto d = session.owner->device;
  auto rx = d->peripheral()->service(VPKPeripheral::deviceServiceUUID())->characteristic(
      VPKPeripheral::rxCharacteristicUUID());
  auto sink = std::make_shared<Sink>();
  std::vector<uint8_t> packet(20, 0x42);
  packet[0] = 0xA0;
  const std::string line = "0123456789abcdef\r\n";
  const std::vector<uint8_t> text(line.begin(), line.end());
  const bool signal = state.range(0) == 0;
  onQueue([&] {
    d->stream()->addOutput(sink);
    d->stream()->open();
  });
  for (auto _ : state) {
    onQueue([&] {
      for (int i = 0; i < 1000; ++i) {
        if (signal) {
          packet[1] = uint8_t(i);
          d->didUpdateValue(d->peripheral(), rx, packet, std::nullopt);
        } else {
          if (i % 100 == 0) d->didUpdateValue(d->peripheral(), rx, {'<', 'p', '>'}, std::nullopt);
          d->didUpdateValue(d->peripheral(), rx, text, std::nullopt);
        }
      }
    });
  }
  state.SetItemsProcessed(state.iterations() * 1000);
  onQueue([&] { d->stream()->removeAllOutputs(); });
}
BENCHMARK(BM_NotificationsThroughPeripheral)->Arg(0)->Arg(1)->UseRealTime();
