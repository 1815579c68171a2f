// The BlueZ backend against the mock BlueZ on a private bus: how long a notification takes
// from the daemon's signal to the delegate, and what streaming costs in processor time.
// Real time: each benchmark runs once for a few seconds.
#include "support/MockBlueZProcess.h"

#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedHeadband.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <fstream>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using vpk::SimulatedHeadband;

uint64_t monotonicNanoseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

double cpuSeconds(pid_t pid) {
  if (pid == 0) {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  }
  // utime and stime of /proc/<pid>/stat, in clock ticks.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  double ticks = 0;
  for (int i = 1; stat >> field && i <= 15; ++i)
    if (i == 14 || i == 15) ticks += std::stod(field);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Connects the strongest headband the mock serves and subscribes to RX; records every value.
class Client : public vpk::BluetoothCentralDelegate, public vpk::BluetoothPeripheralDelegate {
 public:
  std::mutex mutex;
  std::condition_variable changed;
  vpk::BluetoothPeripheralPtr peripheral;
  vpk::BluetoothCharacteristicPtr tx, rx;
  bool connected = false, subscribed = false;
  std::vector<uint64_t> latencies;  // ns, of the stamped values
  std::vector<uint8_t> counters;    // byte 1 of the signal packets

  template <typename F>
  bool wait(F done, std::chrono::milliseconds limit = 5000ms) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, done);
  }
  void didDiscoverPeripheral(vpk::BluetoothCentral& central, const vpk::BluetoothPeripheralPtr& p,
                             const vpk::BluetoothAdvertisementData&, std::optional<int>) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (peripheral) return;
    peripheral = p;
    central.stopScan();
    p->setDelegate(std::static_pointer_cast<Client>(self.lock()));
    central.connect(p);
  }
  void didConnectPeripheral(vpk::BluetoothCentral&, const vpk::BluetoothPeripheralPtr& p) override {
    p->discoverServices({SimulatedHeadband::mainServiceUUID()});
  }
  void didDiscoverServices(const vpk::BluetoothPeripheralPtr& p, const std::optional<vpk::BluetoothError>&) override {
    if (auto s = p->service(SimulatedHeadband::mainServiceUUID())) p->discoverCharacteristics({}, s);
  }
  void didDiscoverCharacteristics(const vpk::BluetoothPeripheralPtr& p, const vpk::BluetoothServicePtr& s,
                                  const std::optional<vpk::BluetoothError>&) override {
    tx = s->characteristic(SimulatedHeadband::txCharacteristicUUID());
    rx = s->characteristic(SimulatedHeadband::rxCharacteristicUUID());
    if (rx) p->setNotifyValue(true, rx);
  }
  void didUpdateNotificationState(const vpk::BluetoothPeripheralPtr&, const vpk::BluetoothCharacteristicPtr&,
                                  const std::optional<vpk::BluetoothError>&) override {
    std::lock_guard<std::mutex> lock(mutex);
    subscribed = true;
    changed.notify_all();
  }
  void didUpdateValue(const vpk::BluetoothPeripheralPtr&, const vpk::BluetoothCharacteristicPtr&,
                      const std::vector<uint8_t>& v, const std::optional<vpk::BluetoothError>&) override {
    const uint64_t now = monotonicNanoseconds();
    std::lock_guard<std::mutex> lock(mutex);
    if (v.size() == 9 && v[0] == 0xFD) {
      uint64_t stamp = 0;
      for (int i = 0; i < 8; ++i) stamp |= uint64_t{v[1 + i]} << (8 * i);
      latencies.push_back(now - stamp);
    } else if (v.size() == 20 && v[0] == 0xA0) {
      counters.push_back(v[1]);
    }
    changed.notify_all();
  }
  std::weak_ptr<Client> self;
};

struct Rig {
  vpk::test::PrivateBus bus;
  vpk::test::MockBlueZProcess mock{{"--headbands", "1"}};
  std::shared_ptr<Client> client = std::make_shared<Client>();
  vpk::BluetoothCentralPtr central;

  bool up() {
    if (!bus.ok() || !mock.ready()) return false;
    client->self = client;
    central = vpk::BluetoothCentral::create(client, vpk::DispatchQueue::createSerial("bench.bluez"),
                                            {.backend = vpk::BluetoothBackend::BlueZ});
    for (int i = 0; central && i < 100 && central->state() != vpk::BluetoothAdapterState::PoweredOn; ++i)
      std::this_thread::sleep_for(20ms);
    if (!central || central->state() != vpk::BluetoothAdapterState::PoweredOn) return false;
    central->scanForPeripherals({SimulatedHeadband::mainServiceUUID()}, false);
    return client->wait([&] { return client->subscribed; });
  }
};

double percentile(std::vector<uint64_t> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return static_cast<double>(v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))]) / 1e6;
}

// Timestamped values sent by the mock every 12 ms (the signal's rate) through the bus, the
// backend's thread and work queue, to the delegate's queue.
void BM_NotificationLatencyThroughDBus(benchmark::State& state) {
  Rig rig;
  if (!rig.up()) return state.SkipWithError("no private bus, mock or link");
  const unsigned count = 250;
  for (auto _ : state) {
    rig.client->latencies.clear();
    vpk::test::MockBlueZProcess::control("stamp " + std::to_string(count) + " 12");
    rig.client->wait([&] { return rig.client->latencies.size() >= count; }, 10000ms);
  }
  std::lock_guard<std::mutex> lock(rig.client->mutex);
  state.counters["median_ms"] = percentile(rig.client->latencies, 0.5);
  state.counters["p99_ms"] = percentile(rig.client->latencies, 0.99);
  state.counters["received"] = static_cast<double>(rig.client->latencies.size());
}
BENCHMARK(BM_NotificationLatencyThroughDBus)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Five seconds of the headband's signal at 83 notifications a second: the rate, the gaps in
// the packet counter, and processor time per streaming second in this process and in the
// mock daemon.
void BM_StreamingFiveSeconds(benchmark::State& state) {
  Rig rig;
  if (!rig.up()) return state.SkipWithError("no private bus, mock or link");
  const std::string start = "S01\r";
  double seconds = 0, clientCpu = 0, mockCpu = 0;
  for (auto _ : state) {
    rig.client->peripheral->writeValue({start.begin(), start.end()}, rig.client->tx,
                                       vpk::BluetoothWriteType::WithResponse);
    rig.client->wait([&] { return !rig.client->counters.empty(); });
    {
      std::lock_guard<std::mutex> lock(rig.client->mutex);
      rig.client->counters.clear();
    }
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = cpuSeconds(0), m0 = cpuSeconds(rig.mock.pid());
    std::this_thread::sleep_for(5s);
    clientCpu = cpuSeconds(0) - c0;
    mockCpu = cpuSeconds(rig.mock.pid()) - m0;
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  std::lock_guard<std::mutex> lock(rig.client->mutex);
  unsigned gaps = 0;
  for (size_t i = 1; i < rig.client->counters.size(); ++i)
    gaps += static_cast<uint8_t>(rig.client->counters[i - 1] + 1) != rig.client->counters[i];
  state.counters["notifications_per_s"] = static_cast<double>(rig.client->counters.size()) / seconds;
  state.counters["gaps"] = gaps;
  state.counters["client_cpu_ms_per_s"] = 1000 * clientCpu / seconds;
  state.counters["mock_cpu_ms_per_s"] = 1000 * mockCpu / seconds;
}
BENCHMARK(BM_StreamingFiveSeconds)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
