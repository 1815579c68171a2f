#pragma once
// A device manager on its own simulated world, driven in virtual time, with the updates it
// raises recorded in order.

#include <VemraPlatformKit/acquisition/VPKSignalStreamOutput.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VPKStorage.h>
#include <VemraPlatformKit/manager/VPKBluetoothManager.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedWorld.h>

#include "support/VirtualTime.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace vpk::test {

/// Counts what the stream hands its outputs (called on the shared work queue).
class PacketCounter : public VPKSignalStreamOutput {
 public:
  void didRecieveData(VPKSignalStream&, std::span<const uint8_t>) override { packets.fetch_add(1); }
  std::atomic<uint64_t> packets{0};
};

class ManagerTest : public VirtualTimeTest {
 protected:
  void SetUp() override {
    VirtualTimeTest::SetUp();
    // Every test starts without remembered headbands.
    VPKResourceManager::performBlockAndWait([] {
      for (const char* dir : {"ble_history", "peripheral_info_store"}) {
        if (auto path = vpkrsrc_ckdir(dir)) std::filesystem::remove_all(*path);
      }
    });
    world = SimulatedWorld::create({.seed = 7});
  }
  void TearDown() override {
    if (manager) {
      manager->reset();
      settle();
      manager.reset();
    }
    world.reset();
    VirtualTimeTest::TearDown();
  }

  /// One headband that advertises at exactly `rssi`.
  SimulatedHeadbandPtr addHeadband(int rssi = -50, std::string name = {}) {
    SimulatedHeadband::Configuration c;
    c.rssi = rssi;
    c.rssiJitter = 0;
    c.name = std::move(name);
    return world->addHeadband(c);
  }

  /// A new manager on the world (a new launch: it loads what the previous one saved).
  void launch() {
    VPKBluetoothManager::Options options;
    options.world = world;
    options.motionSource = motion;
    options.eventSound = sound;
    manager = VPKBluetoothManager::create(nullptr, options);
    manager->setUpdateHandler(
        [this](VPKDeviceUpdateReason reason, const VPKDeviceHandlePtr&) { updates.push_back(reason); }, "test");
    manager->setUpdateNotificationReasons(VPKDeviceUpdateAllReasons & ~VPKDeviceUpdateRSSIChanged, "test");
    settle();
  }

  /// Advances virtual time in small steps until `done()` or `seconds` passed.
  bool runUntil(const std::function<bool()>& done, double seconds) {
    const double end = now() + seconds;
    while (!done()) {
      if (now() >= end) return false;
      advance(std::min(0.01, end - now()));
    }
    return true;
  }

  /// How often `band` received `command`.
  static long received(const SimulatedHeadbandPtr& band, const std::string& command) {
    const auto all = band->receivedCommands();
    return std::count(all.begin(), all.end(), command);
  }
  size_t count(VPKDeviceUpdateReason reason) const { return std::count(updates.begin(), updates.end(), reason); }
  bool saw(VPKDeviceUpdateReason reason) const { return count(reason) > 0; }

  /// Searches until a headband is heard and takes the first into `handle`.
  bool findFirst() {
    manager->startSearchingForDevices();
    if (!runUntil([&] { return !manager->availableDevices().empty(); }, 5)) return false;
    handle = manager->availableDevices().front();
    return true;
  }
  /// Finds and connects the first headband heard; true once it is ready.
  bool connectFirst() {
    if (!findFirst()) return false;
    handle->connect();
    return runUntil([&] { return saw(VPKDeviceUpdateDidConnect); }, 10);
  }

  SimulatedWorldPtr world;
  std::shared_ptr<ScriptedMotionSource> motion = std::make_shared<ScriptedMotionSource>();
  std::shared_ptr<SilentEventSound> sound = std::make_shared<SilentEventSound>();
  VPKBluetoothManagerPtr manager;
  VPKDeviceHandlePtr handle;
  std::vector<VPKDeviceUpdateReason> updates;
};

}  // namespace vpk::test
