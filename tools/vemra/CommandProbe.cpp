// vemra probe [NAME]: connects one headband through the library's headband object, shows
// its firmware, its status as the library reads it, a second of its signal and its
// per-device store.
#include "Command.h"
#include "RadioSession.h"

#include <VemraPlatformKit/acquisition/VPKSignalStreamOutput.h>
#include <VemraPlatformKit/device/VPKPeripheral.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

namespace {

using vpk::BluetoothError;
using vpk::BluetoothPeripheralPtr;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

template <class F>
auto onQueue(F&& f) {
  return vpkrsrc_return_sync(std::forward<F>(f));
}

// The probe's stand-in for the device manager: it finds headbands, connects the chosen one
// and tells the headband object what the manager would. Lives on the shared queue.
class ProbeManager : public VPKPeripheralManager, public vpk::BluetoothCentralDelegate {
 public:
  struct Found {
    BluetoothPeripheralPtr peripheral;
    vpk::BluetoothAdvertisementData advertisement;
    std::string name;
    int rssi = -127;
  };

  std::weak_ptr<ProbeManager> self;
  vpk::BluetoothCentralPtr central;
  std::string wanted;  // lower case; empty: the strongest headband
  std::vector<Found> found;
  VPKPeripheralPtr device;
  bool connected = false, disconnected = false, failed = false, commandChannel = false, firmwareKnown = false;
  std::optional<BluetoothError> linkError;

  std::optional<Found> match() const {
    const Found* best = nullptr;
    for (const auto& f : found) {
      if (!wanted.empty()) {
        if (lower(f.name) == wanted || lower(f.peripheral->identifier().fullString()).rfind(wanted, 0) == 0) return f;
        continue;
      }
      if (!best || f.rssi > best->rssi) best = &f;
    }
    return best ? std::optional<Found>(*best) : std::nullopt;
  }

  void didDiscoverPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr& p,
                             const vpk::BluetoothAdvertisementData& a, std::optional<int> rssi) override {
    for (const auto& f : found)
      if (f.peripheral == p) return;
    found.push_back({p, a, a.localName.value_or(p->name().value_or("")), rssi.value_or(-127)});
  }
  void didConnectPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr&) override {
    connected = true;
    if (device) device->discoverServices();
  }
  void didDisconnectPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr&,
                               const std::optional<BluetoothError>& error) override {
    disconnected = true;
    linkError = error;
    if (!device) return;
    device->cancelPendingCommands();
    device->closeStream();
    if (device->status() != VPKDeviceStatusPoweredOff) device->setStatus(VPKDeviceStatusDisconnected);
  }
  void didFailToConnectPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr&,
                                  const std::optional<BluetoothError>& error) override {
    failed = true;
    linkError = error;
  }

  void connectDevice(const VPKPeripheralPtr& p) override {
    p->setStatus(VPKDeviceStatusConnecting);
    central->connect(p->peripheral());
  }
  void disconnectDevice(const VPKPeripheralPtr& p) override { central->cancelPeripheralConnection(p->peripheral()); }
  void didDiscoverCharacteristics(const VPKPeripheralPtr& p, const vpk::BluetoothServicePtr& service,
                                  const std::optional<BluetoothError>&) override {
    if (service->uuid() != VPKPeripheral::deviceServiceUUID()) return;
    commandChannel = true;
    // A probe asks the headband itself rather than trusting a stored identification.
    p->updateSystemStatus();
    p->sendCommand("Q1\r", vpk::OperationPriority::High);
  }
  void handleDeviceReadFirmwareVersion(const VPKPeripheralPtr& p) override {
    firmwareKnown = true;
    p->setStatus(VPKDeviceStatusConnected);
  }
};

// Statistics of the stream's decoded values; touched on the shared queue.
class SignalMeter : public VPKSignalStreamOutput {
 public:
  struct Channel {
    double sum = 0, sumSquares = 0, min = std::numeric_limits<double>::infinity(),
           max = -std::numeric_limits<double>::infinity();
    size_t n = 0;
    void add(double v) {
      sum += v;
      sumSquares += v * v;
      min = std::min(min, v);
      max = std::max(max, v);
      ++n;
    }
    void print(const char* label) const {
      if (!n) return;
      const double mean = sum / double(n);
      const double rms = std::sqrt(std::max(0.0, sumSquares / double(n) - mean * mean));
      std::printf("  %-5s mean %.1f uV, rms %.1f uV, min %.1f, max %.1f\n", label, mean, rms, min, max);
    }
  };
  Channel left, right;
  size_t packets = 0;
  unsigned gaps = 0;
  std::optional<uint8_t> lastCounter;

  void didRecieveValues(VPKSignalStream&, float l, float r, double, bool) override {
    left.add(l);
    right.add(r);
  }
  void didRecieveData(VPKSignalStream&, std::span<const uint8_t> packet) override {
    if (packet.size() < 2 || packet[0] != 0xA0) return;
    ++packets;
    if (lastCounter && uint8_t(*lastCounter + 1) != packet[1]) ++gaps;
    lastCounter = packet[1];
  }
};

struct ProbeOptions {
  vemra::RadioOptions radio;
  std::string name;
  double timeout = 10.0;
  double signalSeconds = 1.0;
};

ProbeOptions gProbe;

void fail(const std::string& message) {
  std::fprintf(stderr, "vemra probe: %s\n", message.c_str());
  vemra::exitStatus() = 1;
}

void printFirmware(const VPKPeripheral& d) {
  auto f = d.firmwareVersion();
  if (!f) {
    std::printf("Firmware: no identification received\n");
    return;
  }
  const auto date = f->releaseDate();
  std::printf("Firmware %s, released %s, %s the minimum version %s\n", f->stringValue().c_str(),
              date ? ("20" + VPKDeviceFirmwareDescription::formatReleaseDate(*date)).insert(4, "-").insert(7, "-").c_str()
                   : "(unknown)",
              f->isNewerThanOrEqualToMinimumVersion() ? "meets" : "is below",
              VPKDeviceFirmwareDescription::latestFirmware()->stringValue().c_str());
  if (auto text = f->firmwareString()) std::printf("  Q1     -> \"%s\"\n", text->c_str());
}

void printStatus(const VPKPeripheral& d) {
  if (d.systemQueryResponses().empty()) {
    std::printf("Status: no answer to DR0404\n");
    return;
  }
  const vpk::Value& last = d.systemQueryResponses().back();
  std::printf("Status (DR0404 -> \"%s\"):\n", last["raw"].stringValue().c_str());
  const auto raw = last["batteryRaw"].unsignedValue();
  const auto level = d.batteryLevel();
  std::printf("  battery %s at %.2f V, charging %s, button %s\n",
              level ? fmt::format("{:.0f}%", double(*level) * 100.0).c_str() : "unknown", double(raw) / 50.0,
              d.isCharging() ? "yes" : "no", d.isButtonDown() ? "down" : "up");
}

void runProbe() {
  vemra::RadioSession session(gProbe.radio);
  auto manager = std::make_shared<ProbeManager>();
  manager->self = manager;
  manager->wanted = lower(gProbe.name);
  auto central = vpk::BluetoothCentral::create(manager, VPKResourceManager::sharedQueue(), session.centralOptions());
  if (!central) return fail("no Bluetooth backend available");
  onQueue([&] { manager->central = central; });
  auto ask = [&](auto f) { return onQueue([&] { return f(*manager); }); };
  if (!session.runUntil([&] { return central->state() == vpk::BluetoothAdapterState::PoweredOn; }, 5.0))
    return fail(fmt::format("Bluetooth is {}", vpk::toString(central->state())));
  std::printf("Probing %s: %s\n", gProbe.name.empty() ? "the strongest headband" : gProbe.name.c_str(),
              session.description().c_str());

  // Find it: the named one as soon as it is heard, otherwise the strongest within a second.
  central->scanForPeripherals(VPKPeripheral::deviceServiceUUIDs(), false);
  if (manager->wanted.empty()) session.runFor(1.0);
  session.runUntil([&] { return ask([](ProbeManager& m) { return m.match().has_value(); }); }, gProbe.timeout);
  central->stopScan();
  const auto target = ask([](ProbeManager& m) { return m.match(); });
  if (!target) return fail(gProbe.name.empty() ? "no headband heard" : "\"" + gProbe.name + "\" not heard");

  auto device = onQueue([&] {
    manager->device = VPKPeripheral::create(target->peripheral, manager, target->advertisement, target->rssi);
    manager->device->setStatus(VPKDeviceStatusDisconnected);
    return manager->device;
  });
  std::printf("Found %s (%s), RSSI %d dBm%s\n", device->name().c_str(), device->identifier().c_str(), target->rssi,
              device->isInOTAMode() ? ", in update mode" : "");
  if (auto hw = device->hardwareIdentifier()) std::printf("Hardware identifier %s\n", hw->c_str());

  const double start = session.now();
  onQueue([&] { device->connectWithHandler(nullptr); });
  if (!session.runUntil([&] { return ask([](ProbeManager& m) { return m.connected || m.failed; }); }, gProbe.timeout) ||
      ask([](ProbeManager& m) { return m.failed; })) {
    central->cancelPeripheralConnection(target->peripheral);
    const auto error = ask([](ProbeManager& m) { return m.linkError; });
    return fail(error ? "connection failed: " + error->toString() : "connection timed out");
  }
  std::printf("Connected in %.3f s\n", session.now() - start);

  session.runUntil(
      [&] {
        return ask([](ProbeManager& m) {
          return (m.firmwareKnown && !m.device->systemQueryResponses().empty()) || m.disconnected;
        });
      },
      gProbe.timeout);
  if (!ask([](ProbeManager& m) { return m.commandChannel; })) {
    std::printf("No command channel (TX and RX): nothing more to ask.\n");
  } else {
    onQueue([&] {
      printFirmware(*device);
      printStatus(*device);
    });

    // A second (or what was asked) of signal through the headband's stream.
    auto meter = std::make_shared<SignalMeter>();
    onQueue([&] {
      device->stream()->addOutput(meter);
      device->openStream();
    });
    session.runUntil([&] { return onQueue([&] { return meter->packets > 0; }) || ask([](ProbeManager& m) { return m.disconnected; }); },
                     2.0);
    onQueue([&] { *meter = SignalMeter(); });
    const double signalStart = session.now();
    session.runUntil([&] { return ask([](ProbeManager& m) { return m.disconnected; }); }, gProbe.signalSeconds);
    const double elapsed = session.now() - signalStart;
    onQueue([&] {
      device->closeStream();
      device->stream()->removeOutput(meter);
      std::printf("Signal: %.2f s, %zu packets (%.1f/s), %zu samples per channel, %u gap%s in the packet counter\n",
                  elapsed, meter->packets, elapsed > 0 ? double(meter->packets) / elapsed : 0.0, meter->left.n,
                  meter->gaps, meter->gaps == 1 ? "" : "s");
      meter->left.print("left");
      meter->right.print("right");
    });
  }

  onQueue([&] {
    device->savePersistentDeviceInfo();
    const auto file = device->peristentDeviceInfoFile();
    std::printf("Device store %s\n", file ? file->string().c_str() : "(none)");
    const auto& info = device->persistentDeviceInfo();
    std::printf("%s\n", info ? vpk::Value(*info).description().c_str() : "(empty)");
    device->disconnect();
  });
  session.runUntil([&] { return ask([](ProbeManager& m) { return m.disconnected; }); }, 2.0);
  onQueue([&] {
    manager->device.reset();
    manager->central.reset();
  });
  std::printf("Disconnected.\n");
}

vemra::VemraCommand probeCommand(
    {"probe", "Connect a headband, read its firmware and status, measure its signal, show its store", 30,
     [](CLI::App& sub) {
       sub.add_option("name", gProbe.name, "Name or identifier of the headband (default: the strongest heard)");
       sub.add_option("--timeout", gProbe.timeout, "Seconds to wait for each step")
           ->check(CLI::Range(0.5, 600.0))
           ->capture_default_str();
       sub.add_option("--signal-seconds", gProbe.signalSeconds, "Seconds of signal to measure")
           ->check(CLI::Range(0.1, 600.0))
           ->capture_default_str();
       vemra::addRadioOptions(sub, gProbe.radio);
       sub.callback(runProbe);
     }});

}  // namespace
