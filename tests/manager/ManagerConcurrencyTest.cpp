// The device manager's public operations called from several threads while a headband
// connects and streams: every reader and request goes through the shared work queue, so
// ThreadSanitizer sees no race and nothing deadlocks.

#include <VemraPlatformKit/manager/VPKBluetoothManager.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(ManagerConcurrencyTest, ReadersAndRequestsFromManyThreads) {
  vpk::DispatchQueue::drainMain();
  auto world = vpk::SimulatedWorld::create({.seed = 11});
  vpk::SimulatedHeadband::Configuration c;
  c.advertisingInterval = 0.02;
  world->addHeadband(c);
  VPKBluetoothManager::Options options;
  options.world = world;
  options.motionSource = std::make_shared<vpk::ScriptedMotionSource>();
  options.eventSound = std::make_shared<vpk::SilentEventSound>();
  auto manager = VPKBluetoothManager::create(nullptr, options);
  std::atomic<int> connected{0};
  manager->setUpdateHandler(
      [&](VPKDeviceUpdateReason reason, const VPKDeviceHandlePtr& device) {
        if (reason == VPKDeviceUpdateDiscovered) device->connect();
        if (reason == VPKDeviceUpdateDidConnect) {
          connected = 1;
          device->startStreaming();
        }
      },
      "c");
  manager->startSearchingForDevices();

  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      while (!stop) {
        (void)manager->isSearchingForDevices();
        for (const auto& h : manager->availableDevices()) (void)h->status();
        if (auto h = manager->connectedDevice()) (void)h->batteryLevel();
        manager->setNotificationsEnabled(t % 2 == 0, VPKDeviceUpdateRSSIChanged, "c" + std::to_string(t));
        (void)manager->preferredDeviceInfo();
        if (t == 0) manager->startRecordingDataWithHeader(std::nullopt);
        if (t == 1) manager->saveDeviceInfo();
        std::this_thread::yield();
      }
    });
  }
  EXPECT_TRUE(vpk::DispatchQueue::runMainUntil([&] { return connected.load() == 1; }, 20));
  vpk::DispatchQueue::runMainUntil([] { return false; }, 0.5);
  stop = true;
  for (auto& t : threads) t.join();
  manager->stopRecordingData();
  manager->reset();
  vpk::DispatchQueue::runMainUntil([] { return false; }, 0.2);
}

}  // namespace
