#pragma once
// A headband object on a simulated headband, owned by a small test manager that does what
// the device manager does on the way in and out of a connection, in virtual time.

#include "support/LogCapture.h"
#include "support/VirtualTime.h"

#include <VemraPlatformKit/device/VPKDeviceHandle.h>
#include <VemraPlatformKit/device/VPKPeripheral.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedWorld.h>

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vpk::test {

/// Runs `f` on the shared queue and waits.
template <class F>
auto onQueue(F&& f) {
  return vpkrsrc_return_sync(std::forward<F>(f));
}

class TestManager : public VPKPeripheralManager, public BluetoothCentralDelegate {
 public:
  BluetoothCentralPtr central;
  std::map<BluetoothUUID, VPKPeripheralPtr> devices;
  std::vector<std::string> calls;                    // manager calls, in order
  std::vector<unsigned long> statusAtButtonRelease;  // peripheral status when the release was reported
  bool answerCharacteristics = true;                 // run the post-discovery sequence

  size_t count(const std::string& call) const { return size_t(std::count(calls.begin(), calls.end(), call)); }

  void didDiscoverPeripheral(BluetoothCentral&, const BluetoothPeripheralPtr& p, const BluetoothAdvertisementData& a,
                             std::optional<int> rssi) override {
    if (devices.count(p->identifier())) return;
    auto device = VPKPeripheral::create(p, std::static_pointer_cast<VPKPeripheralManager>(self()), a, rssi);
    device->setStatus(VPKDeviceStatusDisconnected);
    devices[p->identifier()] = device;
  }
  void didConnectPeripheral(BluetoothCentral&, const BluetoothPeripheralPtr& p) override {
    if (auto d = find(p)) d->discoverServices();
  }
  void didDisconnectPeripheral(BluetoothCentral&, const BluetoothPeripheralPtr& p,
                               const std::optional<BluetoothError>&) override {
    auto d = find(p);
    if (!d) return;
    d->cancelPendingCommands();
    d->setStreaming(false);
    if (d->status() != VPKDeviceStatusPoweredOff) d->setStatus(VPKDeviceStatusDisconnected);
    d->flushDisconnectConnectHandlersWithError(std::nullopt);
  }

  void connectDevice(const VPKPeripheralPtr& p) override {
    calls.push_back("connect");
    p->setStatus(VPKDeviceStatusConnecting);
    central->connect(p->peripheral());
  }
  void disconnectDevice(const VPKPeripheralPtr& p) override {
    calls.push_back("disconnect");
    central->cancelPeripheralConnection(p->peripheral());
  }
  void openDeviceStream(const VPKPeripheralPtr& p) override {
    calls.push_back("openStream");
    p->setStreaming(true);
    p->openStream();
  }
  void closeDeviceStream(const VPKPeripheralPtr& p) override {
    calls.push_back("closeStream");
    p->setStreaming(false);
    p->closeStream();
  }
  void powerDownDevice(const VPKPeripheralPtr& p) override {
    calls.push_back("powerDown");
    p->cancelPendingCommands();
    p->setStatus(VPKDeviceStatusPoweredOff);
    p->sendCommand("DW01FF\r", OperationPriority::VeryHigh);
  }
  void handleDeviceBatteryUpdate(const VPKPeripheralPtr&) override { calls.push_back("battery"); }
  void handleDeviceChargeStateChanged(const VPKPeripheralPtr&) override { calls.push_back("charging"); }
  void handleDevicePowerButtonPressed(const VPKPeripheralPtr&) override { calls.push_back("pressed"); }
  void handleDevicePowerButtonHeld(const VPKPeripheralPtr&) override { calls.push_back("held"); }
  void handleDevicePowerButtonReleased(const VPKPeripheralPtr& p) override {
    calls.push_back("released");
    statusAtButtonRelease.push_back(p->status());
  }
  void handleDeviceReadFirmwareVersion(const VPKPeripheralPtr& p) override {
    calls.push_back("firmware");
    p->setStatus(VPKDeviceStatusConnected);
    p->flushConnectHandlersWithError(std::nullopt);
  }
  void resetConnectionUpdateTimer() override { calls.push_back("rate"); }
  void didDiscoverCharacteristics(const VPKPeripheralPtr& p, const BluetoothServicePtr& service,
                                  const std::optional<BluetoothError>&) override {
    calls.push_back(service->uuid() == VPKPeripheral::deviceOTAUUID() ? "otaReady" : "ready");
    if (!answerCharacteristics) return;
    if (service->uuid() == VPKPeripheral::deviceOTAUUID()) {
      p->resetOTASystem([this](const std::optional<VPKError>& e) { calls.push_back(e ? "otaFailed" : "otaReset"); });
      return;
    }
    p->disableAutoDisconnect();
    p->updateSystemStatus();
    p->readFirmwareVersion();
  }

  VPKPeripheralPtr find(const BluetoothPeripheralPtr& p) {
    auto it = devices.find(p->identifier());
    return it == devices.end() ? nullptr : it->second;
  }
  std::shared_ptr<TestManager> self() { return selfRef.lock(); }
  std::weak_ptr<TestManager> selfRef;
};

inline SimulatedHeadband::Configuration named(std::string name) {
  SimulatedHeadband::Configuration c;
  c.name = std::move(name);
  return c;
}

class DeviceTest : public VirtualTimeTest {
 protected:
  void SetUp() override {
    VirtualTimeTest::SetUp();
    VPKLogSetEnabled(true);
    world = SimulatedWorld::create({.seed = 13});
    manager = std::make_shared<TestManager>();
    manager->selfRef = manager;
    manager->central = world->createCentral(manager, VPKResourceManager::sharedQueue());
    settle();
  }
  void TearDown() override {
    d.reset();
    onQueue([&] { manager->devices.clear(); });
    manager->central.reset();
    manager.reset();
    world.reset();
    VirtualTimeTest::TearDown();
    VPKLogSetEnabled(false);
  }

  /// Scans until `band` is heard; its headband object.
  VPKPeripheralPtr discover(const SimulatedHeadbandPtr& band) {
    manager->central->scanForPeripherals(VPKPeripheral::deviceServiceUUIDs(), false);
    for (int i = 0; i < 50; ++i) {
      advance(0.1);
      auto d = onQueue([&] {
        auto it = manager->devices.find(band->identifier());
        return it == manager->devices.end() ? nullptr : it->second;
      });
      if (d) {
        manager->central->stopScan();
        return d;
      }
    }
    ADD_FAILURE() << "headband never heard";
    return nullptr;
  }
  /// Discovers and connects `band` until its firmware is known.
  VPKPeripheralPtr connect(const SimulatedHeadbandPtr& band) {
    auto d = discover(band);
    if (!d) return nullptr;
    onQueue([&] { d->connectWithHandler(nullptr); });
    advance(2.0);
    EXPECT_EQ(onQueue([&] { return d->status(); }), VPKDeviceStatusConnected);
    return d;
  }
  /// Adds a headband and connects it into `band` and `d`; a fatal failure if it never connects.
  void connectNew(SimulatedHeadband::Configuration c = {}) {
    band = world->addHeadband(std::move(c));
    d = connect(band);
    ASSERT_TRUE(d);
  }
  /// How often the headband received `command`.
  static long received(const SimulatedHeadbandPtr& band, const std::string& command) {
    const auto all = band->receivedCommands();
    return std::count(all.begin(), all.end(), command);
  }
  /// Commands the headband received that are not frame markers.
  std::vector<std::string> commands(const SimulatedHeadbandPtr& band) {
    std::vector<std::string> out;
    for (const auto& c : band->receivedCommands())
      if (c.empty() || c[0] != 'E') out.push_back(c);
    return out;
  }

  std::shared_ptr<SimulatedWorld> world;
  std::shared_ptr<TestManager> manager;
  SimulatedHeadbandPtr band;  // set by connectNew
  VPKPeripheralPtr d;
  LogCapture log;
};

}  // namespace vpk::test
