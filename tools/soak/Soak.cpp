// vpk-soak: what `vemra session` does (search, connect the headband heard, stream, record),
// kept up for hours of virtual time against a simulated world that misbehaves at random:
// links drop, replies are lost, writes fail, the adapter goes off and on, the headband sends
// hostile notifications, its button is pressed in storms, it runs flat and is charged.
//
//   vpk-soak [--hours H] [--seed S] [--fault-interval SECONDS] [--rotate SECONDS]
//
// Everything runs on a manual clock, so a virtual day takes minutes (docs/reliability.md).
// The application reconnects after every drop and starts a new recording whenever it
// streams; every closed recording is read back and must hold every packet its stream
// delivered while it was the recording, in order. At the end the stores must read back and
// a new launch of the manager must find its history. Memory is sampled every virtual hour.
// Exits 1 on a broken check, a hang (virtual time stops moving) or a recording that lost
// data; the figures go to standard output. Run it under AddressSanitizer (scripts/soak) to
// have leaks and memory errors fail it too.
#include <VemraPlatformKit/acquisition/VPKSignalStreamOutput.h>
#include <VemraPlatformKit/device/VPKDeviceHandle.h>
#include <VemraPlatformKit/device/VPKPeripheral.h>
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/manager/VPKBluetoothManager.h>
#include <VemraPlatformKit/manager/VPKBluetoothManagerNotifications.h>
#include <VemraPlatformKit/platform/audio/EventSound.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedWorld.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/ManualClock.h>
#include <VemraPlatformKit/platform/motion/MotionSource.h>
#include <VemraPlatformKit/platform/notifications/NotificationCenter.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>
#include <VemraPlatformKit/recording/VPKRecordingReader.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Options {
  double hours = 24;
  uint64_t seed = 1;
  double faultInterval = 60;   // mean virtual seconds between two faults
  double rotate = 600;         // a new recording every so many virtual seconds
};

int failures = 0;
void fail(const std::string& what) {
  std::fprintf(stderr, "vpk-soak: FAILED: %s\n", what.c_str());
  ++failures;
}

// FNV-1a of one packet: what a recording is compared by.
uint64_t digest(std::span<const uint8_t> bytes) {
  uint64_t h = 1469598103934665603ull;
  for (uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
  return h;
}

long residentKiB() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Every packet the connected stream delivers, filed under the recording that was open when
// it arrived (called on the shared work queue, as the recording writer is).
class PacketLedger : public VPKSignalStreamOutput {
 public:
  explicit PacketLedger(std::weak_ptr<VPKBluetoothManager> manager) : manager_(std::move(manager)) {}
  void didRecieveData(VPKSignalStream&, std::span<const uint8_t> packet) override {
    ++packets;
    // A recording keeps whole packets only (a damaged one from a hostile headband is
    // skipped by its writer, with a log line).
    if (packet.size() != VPKSignalStream::kPacketLength) {
      ++malformed;
      return;
    }
    auto manager = manager_.lock();
    auto writer = manager ? manager->currentFileHandle() : nullptr;
    if (!writer) return;
    std::lock_guard<std::mutex> lock(mutex_);
    ledgers_[writer].push_back(digest(packet));
  }
  /// What was filed under `writer`, taken out of the ledger.
  std::vector<uint64_t> take(const VPKSignalStreamFileHandlePtr& writer) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = ledgers_.find(writer);
    if (it == ledgers_.end()) return {};
    auto out = std::move(it->second);
    ledgers_.erase(it);
    return out;
  }
  /// Takes out the ledgers of the recordings closed before `current` and not announced:
  /// recordings are announced in the order they close, so these never will be. Returns
  /// their packet counts (a short one is deleted by design, a long one lost its data).
  std::vector<size_t> takeUnannounced(const VPKSignalStreamFileHandlePtr& current) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<size_t> out;
    std::erase_if(ledgers_, [&](const auto& e) {
      if (e.first == current) return false;
      out.push_back(e.second.size());
      return true;
    });
    return out;
  }
  std::atomic<uint64_t> packets{0}, malformed{0};

 private:
  std::weak_ptr<VPKBluetoothManager> manager_;
  std::mutex mutex_;
  // Keyed by the writer itself (kept until its ledger is taken), so that a new writer can
  // never inherit the ledger of an old one at the same address.
  std::map<VPKSignalStreamFileHandlePtr, std::vector<uint64_t>> ledgers_;
};

enum Fault { LinkDrop, LostReplies, WriteErrors, AdapterOffOn, HostileNotification, ButtonStorm, kFaultKinds };
constexpr const char* kFaultNames[] = {"link drops", "lost replies", "write errors", "adapter off and on",
                                       "hostile notifications", "button storms"};

class Soak {
 public:
  explicit Soak(const Options& o) : options_(o), random_(o.seed) {}

  int run() {
    const auto realStart = std::chrono::steady_clock::now();
    clock_ = std::make_shared<vpk::ManualClock>();
    auto previous = vpk::Clock::install(clock_);
    vpk::DispatchQueue::drainMain();
    startWatchdog();

    world_ = vpk::SimulatedWorld::create({.seed = options_.seed});
    vpk::SimulatedHeadband::Configuration c;
    c.seed = options_.seed;
    c.batteryVoltage = 4.1;
    // A slower link (90 ms connection events carrying up to 12 notifications, a value a
    // central may well pick) moves the same packets in a third of the events: the soak
    // costs a third of the real time, and the stream sees bursts of seven or eight.
    c.connectionInterval = 0.09;
    c.maxPacketsPerEvent = 12;
    band_ = world_->addHeadband(c);
    launch();
    finishedToken_ = vpk::NotificationCenter::defaultCenter().addObserver(
        VPKBluetoothManagerFinishedRecordedNotification, [this](const vpk::Notification& n) {
          if (auto* writer = std::any_cast<VPKSignalStreamFileHandlePtr>(&n.object)) verify(*writer);
        });

    const double start = clock_->now();
    const double end = start + options_.hours * 3600;
    double nextFault = start + nextInterval(), nextRotation = start + options_.rotate, nextSample = start,
           nextSearch = start;
    while (clock_->now() < end && failures == 0) {
      const double now = clock_->now();
      if (now >= nextSample) {
        sampleMemory();
        nextSample += 3600;
      }
      if (now >= nextFault) {
        injectFault();
        nextFault = now + nextInterval();
      }
      if (now >= nextRotation) {
        rotateRecording();
        nextRotation = now + options_.rotate;
      }
      if (now >= nextSearch) {
        keepSessionGoing();
        nextSearch = now + 2;
      }
      keepBatteryAlive();
      step(0.25);
    }
    sampleMemory();
    // Memory stays flat once warm: over a run of four hours or more, the last sample may
    // not reach twice the one after the first hour (a leak per connection or per recording
    // grows far faster).
    if (rssByHour_.size() >= 5 && rssByHour_.back() > 2 * rssByHour_[1])
      fail("resident memory grew from " + std::to_string(rssByHour_[1] / 1024) + " to " +
           std::to_string(rssByHour_.back() / 1024) + " MiB");

    // The end of the session, as vemra session ends it: recording closed, stream stopped,
    // link ended, everything saved.
    manager_->stopRecordingData();
    step(2.0);
    if (auto d = manager_->connectedDevice()) {
      d->stopStreaming();
      step(0.5);
      d->disconnect();
    }
    manager_->stopSearchingForDevices();
    manager_->saveDeviceInfo();
    step(2.0);
    checkUnannounced(ledger_->takeUnannounced(nullptr));
    ledgerPackets_ = ledger_->packets.load();
    malformedPackets_ = ledger_->malformed.load();
    checkStores();
    shutDown();
    vpk::NotificationCenter::defaultCenter().removeObserver(finishedToken_);
    stopWatchdog();
    vpk::ManualClock::settle();
    vpk::Clock::install(previous);

    report(std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count());
    return failures == 0 ? 0 : 1;
  }

 private:
  void launch() {
    VPKBluetoothManager::Options o;
    o.world = world_;
    o.motionSource = std::make_shared<vpk::ScriptedMotionSource>();
    o.eventSound = std::make_shared<vpk::SilentEventSound>();
    manager_ = VPKBluetoothManager::create(nullptr, o);
    manager_->setUpdateHandler([this](VPKDeviceUpdateReason r, const VPKDeviceHandlePtr& d) { onUpdate(r, d); },
                               "soak");
    manager_->setUpdateNotificationReasons(VPKDeviceUpdateAllReasons & ~VPKDeviceUpdateRSSIChanged, "soak");
    ledger_ = std::make_shared<PacketLedger>(manager_);
    step(0.1);
  }

  void shutDown() {
    manager_->reset();
    step(0.5);
    manager_.reset();
    ledger_.reset();
    device_.reset();
    band_.reset();
    world_.reset();
    step(0.1);
  }

  // ---- the application ----
  void onUpdate(VPKDeviceUpdateReason reason, const VPKDeviceHandlePtr& device) {
    if (!device) return;
    if (reason == VPKDeviceUpdateDidConnect) {
      ++connections_;
      device_ = device;
      manager_->setPreferredDeviceInfo(device->dictionaryRepresentation());
      if (!device->isCharging()) device->startStreaming();
    } else if (reason == VPKDeviceUpdateStartedStreaming) {
      if (auto stream = device->stream()) stream->addOutput(ledger_);
      startRecording();
    } else if (reason == VPKDeviceUpdateDidDisconnect) {
      ++disconnections_;
      device_.reset();
    }
  }

  // Searches while nothing is connected and connects the first headband heard (the
  // manager connects the preferred one by itself when it hears it); streams when it can.
  void keepSessionGoing() {
    if (!manager_->isBluetoothPoweredOn()) return;
    auto connected = manager_->connectedDevice();
    if (!connected) {
      if (!manager_->isSearchingForDevices()) manager_->startSearchingForDevices();
      for (const auto& d : manager_->availableDevices()) {
        if (d->status() == VPKDeviceStatusDisconnected) {
          d->connect();
          break;
        }
      }
      return;
    }
    if (connected->status() == VPKDeviceStatusConnected && !connected->isStreaming() && !connected->isCharging())
      connected->startStreaming();
  }

  void startRecording() {
    if (manager_->currentFileHandle()) return;
    vpk::ValueDictionary header{{"device", vpk::Value(device_ ? device_->name() : std::string("?"))}};
    if (manager_->startRecordingDataWithHeader(header)) ++recordingsStarted_;
  }

  void rotateRecording() {
    auto writer = manager_->currentFileHandle();
    if (!writer) return;
    manager_->stopRecordingData();
    if (auto d = manager_->connectedDevice(); d && d->isStreaming()) startRecording();
  }

  // A closed recording of 2 s or more: its packets are those the stream delivered while it
  // was open, in order; it is then deleted, as an application would move it away.
  void verify(const VPKSignalStreamFileHandlePtr& writer) {
    const auto expected = ledger_ ? ledger_->take(writer) : std::vector<uint64_t>{};
    if (ledger_) checkUnannounced(ledger_->takeUnannounced(manager_ ? manager_->currentFileHandle() : nullptr));
    const auto url = writer->URL();
    if (!url) {
      fail("an announced recording has no file");
      return;
    }
    auto reader = VPKRecordingReader::open(*url);
    if (!reader || !reader->ok()) {
      fail("a recording does not read: " + url->string());
      return;
    }
    size_t at = 0;
    bool same = true;
    reader->forEachPacket([&](std::span<const uint8_t> p) {
      if (at < expected.size() && digest(p) != expected[at]) same = false;
      ++at;
    });
    if (!same || at < expected.size()) {
      fail("recording " + url->string() + " holds " + std::to_string(at) + " packets, " +
           std::to_string(expected.size()) + " were delivered" + (same ? "" : " (and they differ)"));
    }
    ++recordingsVerified_;
    recordedPackets_ += at;
    extraPackets_ += at - std::min(at, expected.size());
    writer->discardAllAssociatedURLs();
  }

  // A recording of 2 s (167 packets) or more that was never announced lost its data.
  void checkUnannounced(const std::vector<size_t>& counts) {
    for (size_t n : counts)
      if (n >= 200) fail("a recording of " + std::to_string(n) + " packets was never announced");
  }

  // ---- the world misbehaving ----
  double nextInterval() { return std::exponential_distribution<double>(1.0 / options_.faultInterval)(random_); }
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

  void injectFault() {
    const auto kind = static_cast<Fault>(pick(kFaultKinds));
    ++faults_[kind];
    switch (kind) {
      case LinkDrop: band_->dropLink(0.01 * pick(100)); break;
      case LostReplies: band_->loseNextReplies(1 + unsigned(pick(6))); break;
      case WriteErrors: band_->failNextWrites(1 + unsigned(pick(3))); break;
      case AdapterOffOn: {
        world_->setAdapterPoweredOn(false);
        step(0.5 + pick(50) / 10.0);
        world_->setAdapterPoweredOn(true);
        break;
      }
      case HostileNotification: {
        switch (pick(5)) {
          case 0: band_->failNextNotification(); break;
          case 1: band_->notifyText("<p>\r\n" + std::string(size_t(100 + pick(6000)), 'x')); break;
          case 2: band_->notifyText("<p>\r\nQI:Entering Sleep Mode\r\n"); break;  // no end
          case 3: band_->replaceNextAnswers(pick(2) ? "DR0404" : "Q1", "\xff\x01<p>zz\x7f"); break;
          default: {
            std::vector<uint8_t> bytes(size_t(pick(40)));
            for (auto& b : bytes) b = static_cast<uint8_t>(pick(256));
            if (!bytes.empty() && pick(2)) bytes[0] = 0xA0;  // a damaged signal packet
            band_->notifyBytes(std::move(bytes));
          }
        }
        break;
      }
      case ButtonStorm: {
        const int presses = 1 + pick(12);
        for (int i = 0; i < presses; ++i) {
          band_->pressButton();
          step(0.05 + pick(30) / 100.0);
          band_->releaseButton();
          step(0.05 + pick(20) / 100.0);
        }
        break;
      }
      default: break;
    }
  }

  // The headband runs flat after hours of streaming: it goes on its charger for half an
  // hour (which stops the stream) and comes off full; a headband that slept is woken.
  void keepBatteryAlive() {
    const double now = clock_->now();
    if (band_->isCharging()) {
      if (now >= chargedUntil_) {
        band_->setCharging(false);
        ++charges_;
      }
      return;
    }
    if (band_->batteryVoltage() < 3.62) {
      band_->setCharging(true);
      chargedUntil_ = now + 1800;
    }
    if (!band_->isPoweredOn()) {
      band_->powerOn();
      ++wakeUps_;
    }
  }

  // ---- time, hangs, memory ----
  // Advances virtual time; a step whose work does not settle is a hang.
  // (The clock fires every event due within the step in order, so a long step is exact.)
  void step(double seconds) {
    clock_->advance(seconds);
    progress_.fetch_add(1);
    if (!vpk::ManualClock::settle(30)) fail("work did not settle at virtual time " + std::to_string(clock_->now()));
  }

  void startWatchdog() {
    watchdog_ = std::thread([this] {
      uint64_t last = progress_.load();
      int still = 0;
      while (!stopWatchdog_.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const uint64_t p = progress_.load();
        still = p == last ? still + 1 : 0;
        last = p;
        if (still >= 300) {  // a minute of real time without virtual time moving
          std::fprintf(stderr, "vpk-soak: FAILED: hang: virtual time stopped at %.3f s\n", clock_->now());
          std::_Exit(1);
        }
      }
    });
  }
  void stopWatchdog() {
    stopWatchdog_ = true;
    if (watchdog_.joinable()) watchdog_.join();
  }

  void sampleMemory() { rssByHour_.push_back(residentKiB()); }

  // ---- the end ----
  void checkStores() {
    size_t stores = 0;
    if (auto dir = VPKPeripheral::peristentDeviceInfoDirectory()) {
      std::error_code ec;
      for (fs::directory_iterator it(*dir, ec), e; !ec && it != e; it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        ++stores;
        if (!vpk::readPropertyListFile(it->path().string())) fail("a store does not read: " + it->path().string());
      }
    }
    if (stores == 0) fail("no headband store was written");
    storesRead_ = stores;
    const std::string id = band_->identifier().fullString();
    shutDown();
    // A new launch finds the headband again in its history and preferred record.
    world_ = vpk::SimulatedWorld::create({.seed = options_.seed});
    launch();
    bool known = false;
    for (const auto& v : manager_->deviceIdentifierHistory()) known = known || v.stringValue() == id;
    if (!known) fail("the new launch does not know the headband from its history");
    const auto preferred = manager_->preferredDeviceInfo();
    if (!preferred || VPKDeviceHandleRecord::identifier(*preferred) != id) fail("the preferred record was lost");
  }

  void report(double realSeconds) {
    std::printf("vpk-soak: %.1f virtual hours in %.1f s of real time (seed %llu)\n", options_.hours, realSeconds,
                static_cast<unsigned long long>(options_.seed));
    int total = 0;
    for (int k = 0; k < kFaultKinds; ++k) total += faults_[k];
    std::printf("faults injected: %d\n", total);
    for (int k = 0; k < kFaultKinds; ++k) std::printf("  %-22s %d\n", kFaultNames[k], faults_[k]);
    std::printf("connections %d, disconnections %d, charges %d, wake-ups %d\n", connections_, disconnections_,
                charges_, wakeUps_);
    std::printf("packets delivered %llu (%llu of them damaged, not recorded); recordings started %d, read back and verified %d (%llu packets, %llu "
                "after the last delivered)\n",
                static_cast<unsigned long long>(ledgerPackets_), static_cast<unsigned long long>(malformedPackets_),
                recordingsStarted_, recordingsVerified_,
                static_cast<unsigned long long>(recordedPackets_), static_cast<unsigned long long>(extraPackets_));
    std::printf("stores read back: %zu\n", storesRead_);
    std::printf("resident memory by virtual hour (MiB):");
    for (long k : rssByHour_) std::printf(" %.0f", k / 1024.0);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("\npeak resident memory: %.0f MiB\n", usage.ru_maxrss / 1024.0);
    std::printf("%s\n", failures == 0 ? "vpk-soak: passed" : "vpk-soak: FAILED");
  }

  Options options_;
  std::mt19937_64 random_;
  std::shared_ptr<vpk::ManualClock> clock_;
  vpk::SimulatedWorldPtr world_;
  vpk::SimulatedHeadbandPtr band_;
  VPKBluetoothManagerPtr manager_;
  std::shared_ptr<PacketLedger> ledger_;
  VPKDeviceHandlePtr device_;
  vpk::NotificationCenter::Token finishedToken_ = 0;
  std::thread watchdog_;
  std::atomic<bool> stopWatchdog_{false};
  std::atomic<uint64_t> progress_{0};

  int faults_[kFaultKinds] = {};
  int connections_ = 0, disconnections_ = 0, charges_ = 0, wakeUps_ = 0;
  int recordingsStarted_ = 0, recordingsVerified_ = 0;
  uint64_t recordedPackets_ = 0, extraPackets_ = 0, ledgerPackets_ = 0, malformedPackets_ = 0;
  size_t storesRead_ = 0;
  double chargedUntil_ = 0;
  std::vector<long> rssByHour_;
};

// Points the library's folders at a fresh temporary folder, removed at the end.
struct FreshFolders {
  fs::path root;
  FreshFolders() {
    root = fs::temp_directory_path() / ("vpk-soak-" + std::to_string(::getpid()));
    fs::create_directories(root / "home");
    ::setenv("HOME", (root / "home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root / "home/.local/share").c_str(), 1);
    ::setenv("XDG_DOCUMENTS_DIR", (root / "home/Documents").c_str(), 1);
    ::setenv("TMPDIR", root.c_str(), 1);
  }
  ~FreshFolders() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const double v = std::atof(argv[i + 1]);
    if (a == "--hours" && v > 0) o.hours = v;
    else if (a == "--seed") o.seed = static_cast<uint64_t>(v);
    else if (a == "--fault-interval" && v > 0) o.faultInterval = v;
    else if (a == "--rotate" && v >= 3) o.rotate = v;
    else {
      std::fprintf(stderr, "usage: vpk-soak [--hours H] [--seed S] [--fault-interval SECONDS] [--rotate SECONDS]\n");
      return 2;
    }
  }
  if (argc % 2 == 0) {
    std::fprintf(stderr, "usage: vpk-soak [--hours H] [--seed S] [--fault-interval SECONDS] [--rotate SECONDS]\n");
    return 2;
  }
  FreshFolders folders;
  VPKLogSetSink([](std::string_view) {});
  return Soak(o).run();
}
