// Cost of the simulated headband: making signal, and a virtual minute of streaming through
// a central (what every streaming test pays).
#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedWorld.h>
#include <VemraPlatformKit/platform/dispatch/ManualClock.h>

#include <benchmark/benchmark.h>

#include <atomic>

using namespace vpk;

static void BM_SignalPacket(benchmark::State& state) {
  SimulatedSignalModel model(*SimulatedSignalScenario::named("relaxed"), 1);
  uint8_t sequence = 0;
  for (auto _ : state) benchmark::DoNotOptimize(model.nextPacket(sequence++));
  state.SetItemsProcessed(state.iterations());
  state.counters["samples/s"] = benchmark::Counter(3.0 * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SignalPacket);

namespace {

struct Counter : BluetoothCentralDelegate, BluetoothPeripheralDelegate {
  std::atomic<long> packets{0};
  BluetoothPeripheralPtr found;
  void didDiscoverPeripheral(BluetoothCentral&, const BluetoothPeripheralPtr& p, const BluetoothAdvertisementData&,
                             std::optional<int>) override {
    found = p;
  }
  void didUpdateValue(const BluetoothPeripheralPtr&, const BluetoothCharacteristicPtr&, const std::vector<uint8_t>& v,
                      const std::optional<BluetoothError>&) override {
    if (!v.empty() && v[0] == 0xA0) packets += 1;
  }
};

}  // namespace

// One virtual minute of streaming (5,000 packets in 2,000 connection events) per iteration,
// callbacks on a serial queue.
static void BM_VirtualMinuteOfStreaming(benchmark::State& state) {
  auto clock = std::make_shared<ManualClock>();
  auto previous = Clock::install(clock);
  auto world = SimulatedWorld::create({.seed = 1});
  auto band = world->addHeadband();
  auto counter = std::make_shared<Counter>();
  auto central = world->createCentral(counter, DispatchQueue::createSerial("bench"));
  clock->advance(0.1);
  central->scanForPeripherals({}, false);
  clock->advance(0.5);
  central->stopScan();
  auto p = counter->found;
  p->setDelegate(counter);
  central->connect(p);
  clock->advance(0.5);
  p->discoverServices({});
  clock->advance(0.2);
  p->discoverCharacteristics({}, p->services().at(0));
  clock->advance(0.2);
  auto s = p->services().at(0);
  p->setNotifyValue(true, s->characteristic(SimulatedHeadband::rxCharacteristicUUID()));
  const std::string start = "S01\r";
  p->writeValue({start.begin(), start.end()}, s->characteristic(SimulatedHeadband::txCharacteristicUUID()),
                BluetoothWriteType::WithResponse);
  clock->advance(1.0);
  const long before = counter->packets;
  for (auto _ : state) clock->advance(60.0);
  state.counters["packets/s"] =
      benchmark::Counter(static_cast<double>(counter->packets - before), benchmark::Counter::kIsRate);
  state.counters["virtual s/s"] = benchmark::Counter(60.0 * state.iterations(), benchmark::Counter::kIsRate);
  central.reset();
  world.reset();
  ManualClock::settle();
  Clock::install(previous);
}
BENCHMARK(BM_VirtualMinuteOfStreaming)->Unit(benchmark::kMillisecond)->UseRealTime();
