// vemra session [NAME]: the tool's main job. Searches, connects the preferred headband (or
// NAME, or the strongest one heard), streams with one live status line, optionally records
// and analyses, and on the end (--seconds, Ctrl-C or SIGTERM) closes the recording whole,
// stops the stream, disconnects and saves.
//
// vemra devices / prefer NAME / forget NAME: what the device manager remembers.
// (main() has launched the SDK before any command runs.)
#include "Command.h"
#include "HeadbandConnector.h"
#include "RadioSession.h"

#include <VemraPlatformKit/acquisition/VPKSignalStreamOutput.h>
#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/analysis/VPKSignalAnalyzer.h>
#include <VemraPlatformKit/device/VPKDeviceHandle.h>
#include <VemraPlatformKit/device/VPKPeripheral.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VemraPlatformKit.h>
#include <VemraPlatformKit/manager/VPKBluetoothManager.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/notifications/NotificationCenter.h>

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

std::atomic<bool> gStop{false};

// Counts the packets of the connected stream (called on the shared work queue).
class PacketCounter : public VPKSignalStreamOutput {
 public:
  void didRecieveData(VPKSignalStream&, std::span<const uint8_t>) override { packets.fetch_add(1); }
  std::atomic<uint64_t> packets{0};
};

// The latest analysis cycle (main queue).
class FocusWatch : public VPKSignalAnalyzerOutput {
 public:
  void signalAnalyzerDidPerformAnalysis(VPKSignalAnalyzer&, const std::shared_ptr<VPKChannelSet>& set) override {
    ++cycles;
    const auto& left = set->leftChannel();
    const auto& right = set->rightChannel();
    if (!left) return;
    focus = left->focusScore();
    if (right && right->focusScore() && focus) focus = (*focus + *right->focusScore()) / 2;
    valid = left->fftStatus() == 2 && (!right || right->fftStatus() == 2);
  }
  uint64_t cycles = 0;
  std::optional<float> focus;
  bool valid = false;
};

struct SessionOptions {
  std::string name;
  double seconds = 20;
  std::string record;
  bool analyze = false;
  vemra::RadioOptions radio;
};

const char* statusText(unsigned long status) {
  static const char* const kText[] = {"found", "disconnected", "connecting", "connected", "powered off"};
  return status < 5 ? kText[status] : "?";
}

class Session {
 public:
  explicit Session(const SessionOptions& options) : options_(options), radio_(options.radio) {}

  int run() {
    terminal_ = isatty(STDOUT_FILENO) == 1;
    std::printf("vemra session: %s\n", radio_.description().c_str());
    manager_ = VPKBluetoothManager::sharedManager();
    connector_.emplace(manager_, radio_, options_.name, [this](const std::string& text) { line(text, true); });
    manager_->setUpdateHandler([this](VPKDeviceUpdateReason reason, const VPKDeviceHandlePtr& device) {
      onUpdate(reason, device);
    }, "vemra.session");
    manager_->setUpdateNotificationReasons(VPKDeviceUpdateAllReasons, "vemra.session");
    finishedToken_ = vpk::NotificationCenter::defaultCenter().addObserver(
        VPKBluetoothManagerFinishedRecordedNotification, [this](const vpk::Notification& n) {
          if (auto* writer = std::any_cast<VPKSignalStreamFileHandlePtr>(&n.object)) finished_ = *writer;
        });

    gStop = false;
    auto previousInt = std::signal(SIGINT, [](int) { gStop = true; });
    auto previousTerm = std::signal(SIGTERM, [](int) { gStop = true; });

    const int rc = connectAndStream();
    finish();

    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    vpk::NotificationCenter::defaultCenter().removeObserver(finishedToken_);
    manager_->removeUpdateHandlerForKey("vemra.session");
    return rc == 0 ? exitCode_ : rc;
  }

 private:
  void onUpdate(VPKDeviceUpdateReason reason, const VPKDeviceHandlePtr& device) {
    if (!device) return;
    if (connector_->handleUpdate(reason, device)) {
      connectedAt_ = vpk::Clock::timestamp();
      device_ = device;
      line(fmt::format("connected {} after {:.3f} s", device->name(), connectedAt_ - connector_->startedAt()), true);
      manager_->setPreferredDeviceInfo(device->dictionaryRepresentation());
      device->startStreaming();
    } else if (reason == VPKDeviceUpdateStartedStreaming && device_ && !streaming_) {
      streaming_ = true;
      streamStart_ = vpk::Clock::timestamp();
      attachOutputs();
    } else if (reason == VPKDeviceUpdateDidDisconnect && device_ && device->isEqual(*device_)) {
      lostLink_ = streaming_;
    } else if (reason == VPKDeviceUpdateDidRemove && device_ && device->isEqual(*device_)) {
      lostLink_ = true;
    }
  }

  void attachOutputs() {
    auto stream = device_->stream();
    if (!stream) return;
    counter_ = std::make_shared<PacketCounter>();
    stream->addOutput(counter_);
    if (options_.analyze) {
      analyzer_ = VPKSignalAnalyzer::analyzer();
      focus_ = std::make_shared<FocusWatch>();
      analyzer_->addOutput(focus_);
      stream->addOutput(analyzer_);
    }
    if (!options_.record.empty()) {
      vpk::ValueDictionary header{{"device", vpk::Value(device_->name())},
                                  {"hardwareIdentifier", vpk::Value(device_->hardwareIdentifier().value_or(""))},
                                  {"date", vpk::Value(vpk::Date{vpk::Clock::timestamp()})}};
      if (auto firmware = device_->firmwareDescription()) header.set("firmware", vpk::Value(firmware->stringValue()));
      writer_ = manager_->startRecordingDataWithHeader(header);
      if (!writer_) {
        line("cannot start the recording", true);
        exitCode_ = 1;
      }
    }
  }

  int connectAndStream() {
    if (!connector_->run([] { return gStop.load(); }) && !gStop) return 1;
    // Stream for the given time, one status line twice a second.
    while (!gStop && !lostLink_) {
      const double streamed = streaming_ ? vpk::Clock::timestamp() - streamStart_ : 0;
      if (streaming_ && streamed >= options_.seconds) break;
      radio_.runUntil([&] { return gStop.load() || lostLink_; }, 0.5);
      showStatus();
    }
    if (lostLink_) line("the headband's link was lost", true);
    return 0;
  }

  void showStatus() {
    if (!device_) return;
    const double now = vpk::Clock::timestamp();
    const double streamed = streaming_ ? now - streamStart_ : 0;
    const uint64_t packets = counter_ ? counter_->packets.load() : 0;
    const double rate = streamed > 0 ? static_cast<double>(packets) * 3 / streamed : 0;
    auto battery = device_->batteryLevel();
    auto firmware = device_->firmwareDescription();
    std::string text = fmt::format(
        "{} {} battery {} {}button {} RSSI {} fw {} {:.0f} Hz", device_->name(), statusText(device_->status()),
        battery ? fmt::format("{:.0f}%", *battery * 100) : std::string("-"), device_->isCharging() ? "charging " : "",
        device_->isMainButtonPressed() ? "down" : "up",
        device_->RSSI() == VPKPeripheral::kMissingRSSI ? std::string("-") : std::to_string(device_->RSSI()), firmware ? firmware->stringValue() : "-", rate);
    if (focus_) {
      text += focus_->focus ? fmt::format(" focus {:.3f}", static_cast<double>(*focus_->focus)) : " focus -";
      text += focus_->valid ? " signal valid" : " signal not valid";
    }
    if (writer_) text += fmt::format(" rec {:.1f} s", writer_->duration());
    line(text, false);
  }

  // One refreshing line on a terminal; elsewhere one line per second of session.
  void line(const std::string& text, bool keep) {
    if (terminal_) {
      std::printf("\r%s\033[K%s", text.c_str(), keep ? "\n" : "");
      std::fflush(stdout);
      return;
    }
    const double now = vpk::Clock::timestamp();
    if (keep || now - lastPrinted_ >= 1.0) {
      std::printf("%s\n", text.c_str());
      lastPrinted_ = now;
    }
  }

  void finish() {
    if (terminal_) std::printf("\n");
    if (gStop) {
      // Ctrl-C or SIGTERM: the application ends, and the library closes the recording whole.
      std::printf("interrupted: closing\n");
      VemraPlatformKit::applicationWillTerminate();
    }
    if (writer_) {
      manager_->stopRecordingData();
      writer_->closeFile();
      keepRecording();
    }
    if (device_) {
      if (auto stream = device_->stream()) {
        if (analyzer_) stream->removeOutput(analyzer_);
        if (counter_) stream->removeOutput(counter_);
      }
      device_->stopStreaming();
      radio_.runFor(0.2);
      bool disconnected = false;
      device_->disconnectWithHandler([&](const VPKDeviceHandlePtr&, const std::optional<VPKError>&) { disconnected = true; });
      radio_.runUntil([&] { return disconnected; }, 3.0);
    }
    manager_->stopSearchingForDevices();
    manager_->saveDeviceInfo();
    if (counter_) {
      std::printf("streamed %.1f s, %llu packets\n", streaming_ ? vpk::Clock::timestamp() - streamStart_ : 0.0,
                  static_cast<unsigned long long>(counter_->packets.load()));
    }
    if (focus_) std::printf("analysis cycles: %llu\n", static_cast<unsigned long long>(focus_->cycles));
  }

  // The closed recording is either announced (2 s or more) or deleted by the manager; an
  // announced one is moved to the file the user named.
  void keepRecording() {
    radio_.runUntil([&] { return finished_ != nullptr || !writer_->isValid(); }, 2.0);
    vpk::DispatchQueue::drainMain();
    if (!finished_) {
      std::printf("recording shorter than 2 s: discarded\n");
      exitCode_ = exitCode_ ? exitCode_ : 1;
      return;
    }
    const auto from = writer_->URL();
    std::error_code ec;
    if (from) {
      fs::rename(*from, options_.record, ec);
      if (ec) {
        ec.clear();
        fs::copy_file(*from, options_.record, fs::copy_options::overwrite_existing, ec);
        if (!ec) fs::remove(*from, ec);
      }
    }
    if (!from || ec) {
      std::fprintf(stderr, "vemra session: cannot write %s: %s\n", options_.record.c_str(),
                   ec ? ec.message().c_str() : "no file");
      exitCode_ = 1;
      return;
    }
    std::printf("recording: %s (%.1f s)\n", options_.record.c_str(), writer_->duration());
  }

  SessionOptions options_;
  vemra::RadioSession radio_;
  VPKBluetoothManagerPtr manager_;
  vpk::NotificationCenter::Token finishedToken_ = 0;
  std::optional<vemra::HeadbandConnector> connector_;
  VPKDeviceHandlePtr device_;
  std::shared_ptr<PacketCounter> counter_;
  std::shared_ptr<VPKSignalAnalyzer> analyzer_;
  std::shared_ptr<FocusWatch> focus_;
  VPKSignalStreamFileHandlePtr writer_, finished_;
  bool terminal_ = false, streaming_ = false, lostLink_ = false;
  double connectedAt_ = 0, streamStart_ = 0, lastPrinted_ = -1e9;
  int exitCode_ = 0;
};

SessionOptions gSession;

// ---------------------------------------------------------------- devices, prefer, forget

struct KnownHeadband {
  std::string identifier;
  vpk::ValueDictionary store;
  std::optional<std::string> get(const char* key) const {
    const auto* v = store.find(key);
    return v && v->isString() ? std::optional<std::string>(*v->getString()) : std::nullopt;
  }
};

std::vector<KnownHeadband> knownHeadbands() {
  std::vector<KnownHeadband> known;
  auto dir = VPKPeripheral::peristentDeviceInfoDirectory();
  if (!dir) return known;
  std::error_code ec;
  for (fs::directory_iterator it(*dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string id = it->path().filename().string();
    if (id == "auto_connected_device") continue;
    if (auto store = VPKPeripheral::persistentDeviceInfoForIdentifier(id)) known.push_back({id, *store});
  }
  std::sort(known.begin(), known.end(), [](const auto& a, const auto& b) { return a.identifier < b.identifier; });
  return known;
}

std::optional<KnownHeadband> findKnown(const std::string& name) {
  for (auto& k : knownHeadbands()) {
    if (vemra::matchesName(name, {k.get("name"), k.get("manualName"), k.get("hardwareIdentifier"), k.identifier})) return k;
  }
  return std::nullopt;
}

void runDevices() {
  auto manager = VPKBluetoothManager::sharedManager();
  const auto preferred = manager->preferredDeviceInfo();
  const auto preferredId = preferred ? VPKDeviceHandleRecord::identifier(*preferred) : std::nullopt;
  const auto known = knownHeadbands();
  std::printf("known headbands: %zu\n", known.size());
  for (const auto& k : known) {
    const auto* connections = k.store.find("numberOfConnections");
    std::printf("  %s%s  %s  %s  hardware %s  connections %llu\n", k.identifier.c_str(),
                preferredId == k.identifier ? " (preferred)" : "", k.get("name").value_or("-").c_str(),
                k.get("manualName").value_or("-").c_str(), k.get("hardwareIdentifier").value_or("-").c_str(),
                static_cast<unsigned long long>(connections ? connections->unsignedValue() : 0));
  }
  const auto history = manager->deviceIdentifierHistory();
  std::printf("history (oldest first): %zu\n", history.size());
  for (const auto& id : history) std::printf("  %s\n", id.stringValue().c_str());
  if (preferred) {
    std::printf("preferred: %s (%s)\n", VPKDeviceHandleRecord::manualName(*preferred).value_or("-").c_str(),
                preferredId.value_or("-").c_str());
  } else {
    std::printf("preferred: none\n");
  }
}

void runPrefer(const std::string& name) {
  auto manager = VPKBluetoothManager::sharedManager();
  auto k = findKnown(name);
  if (!k) {
    std::fprintf(stderr, "vemra prefer: no known headband %s (connect it once with vemra session %s)\n", name.c_str(),
                 name.c_str());
    vemra::exitStatus() = 1;
    return;
  }
  vpk::ValueDictionary record{{"identifier", vpk::Value(k->identifier)}};
  for (const char* key : {"name", "hardwareIdentifier", "manualName"}) {
    if (auto v = k->get(key)) record.set(key, vpk::Value(*v));
  }
  manager->setPreferredDeviceInfo(record);
  manager->saveDeviceInfo();
  std::printf("preferred: %s (%s)\n", k->get("manualName").value_or(name).c_str(), k->identifier.c_str());
}

void runForget(const std::string& name) {
  auto manager = VPKBluetoothManager::sharedManager();
  auto k = findKnown(name);
  if (!k) {
    std::fprintf(stderr, "vemra forget: no known headband %s\n", name.c_str());
    vemra::exitStatus() = 1;
    return;
  }
  manager->forgetDeviceWithIdentifier(k->identifier);
  manager->saveDeviceInfo();
  std::printf("forgot %s (%s)\n", k->get("manualName").value_or(name).c_str(), k->identifier.c_str());
}

std::string gName;

const vemra::VemraCommand kSession{{
    "session",
    "Connect a headband (NAME, the preferred one, or the strongest), stream with a live status line, "
    "optionally record and analyse",
    15,
    [](CLI::App& sub) {
      vemra::addHeadbandOptions(sub, gSession.name, gSession.radio);
      sub.add_option("--seconds", gSession.seconds, "Seconds of streaming (Ctrl-C ends earlier)")
          ->check(CLI::Range(0.1, 1e7))
          ->capture_default_str();
      sub.add_option("--record", gSession.record, "Record the stream to this file (.vpk)");
      sub.add_flag("--analyze", gSession.analyze, "Analyse the signal: focus score and signal validity");
      sub.callback([] { vemra::exitStatus() = Session(gSession).run(); });
    },
}};

const vemra::VemraCommand kDevices{{
    "devices",
    "List the known headbands with their stores, the connection history and the preferred headband",
    16,
    [](CLI::App& sub) { sub.callback([] { runDevices(); }); },
}};

const vemra::VemraCommand kPrefer{{
    "prefer",
    "Make a known headband the preferred one (connected automatically)",
    17,
    [](CLI::App& sub) {
      sub.add_option("name", gName, "Name, manual name, hardware identifier or identifier")->required();
      sub.callback([] { runPrefer(gName); });
    },
}};

const vemra::VemraCommand kForget{{
    "forget",
    "Forget a known headband: its store, its history entry and, if it was preferred, the preference",
    18,
    [](CLI::App& sub) {
      sub.add_option("name", gName, "Name, manual name, hardware identifier or identifier")->required();
      sub.callback([] { runForget(gName); });
    },
}};

}  // namespace
