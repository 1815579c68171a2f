// Handles read from several threads while the headband's status cycle and stream run on the
// shared queue, and while the headband object goes away.
#include "device/DeviceTestSupport.h"

#include <atomic>
#include <thread>

namespace vpk::test {
namespace {

TEST_F(DeviceTest, HandlesAreReadFromManyThreadsWhileTheHeadbandWorks) {
  ASSERT_NO_FATAL_FAILURE(connectNew(named("Vemra 7c7c")));
  auto handle = onQueue([&] { return d->deviceHandle(); });
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&, handle] {
      while (!stop) {
        (void)handle->batteryLevel();
        (void)handle->status();
        (void)handle->identifier();
        (void)handle->hardwareIdentifier();
        (void)handle->dictionaryRepresentation();
        handle->updateBattery();
        ++reads;
      }
    });
  handle->startStreaming();
  for (int i = 0; i < 20; ++i) {
    onQueue([&] { d->updateSystemStatus(); });
    advance(0.1);
  }
  onQueue([&] { manager->devices.clear(); });
  d.reset();
  advance(0.5);
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(handle->hardwareIdentifier(), "VMR7C7C");
}

}  // namespace
}  // namespace vpk::test
