#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VemraPlatformKit.h>

#include <VemraPlatformKit/platform/values/PropertyList.h>

#include "frame/StorageFixture.h"

#include <atomic>
#include <thread>

namespace {

class LaunchConcurrency : public vpk::test::StorageTest {};

// Parameters are read and written from plain threads and from the shared queue at once; the
// class lock is never held while waiting for the queue, so none of this can deadlock.
TEST_F(LaunchConcurrency, ParametersAndStorageFromManyThreadsAndTheSharedQueue) {
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &done] {
      for (int i = 0; i < 50; ++i) {
        VemraPlatformKit::setDefaultInterferenceFrequency((i + t) % 2 ? 50 : 60);
        const unsigned hz = VemraPlatformKit::defaultInterferenceFrequency();
        EXPECT_TRUE(hz == 50 || hz == 60);
        VemraPlatformKit::parameters()->set("thread" + std::to_string(t), vpk::Value(i));
        EXPECT_TRUE(vpkrsrc_touch("file" + std::to_string(t), std::string("group") + std::to_string(i % 3)));
      }
      ++done;
    });
  }
  for (int i = 0; i < 50; ++i) {
    VPKResourceManager::performBlockAndWait([] {
      const unsigned hz = VemraPlatformKit::defaultInterferenceFrequency();
      EXPECT_TRUE(hz == 50 || hz == 60);
      EXPECT_TRUE(VemraPlatformKit::parametersStorageURL());
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(done.load(), 4);
  ASSERT_TRUE(VemraPlatformKit::synchronize());
  const auto stored = vpk::readPropertyListFile((support() / "core" / "params").string());
  ASSERT_TRUE(stored);
  EXPECT_EQ(static_cast<unsigned>((*stored)["defaultInterferenceFrequency"].intValue()),
            VemraPlatformKit::defaultInterferenceFrequency());
  for (int t = 0; t < 4; ++t) EXPECT_EQ((*stored)["thread" + std::to_string(t)], vpk::Value(49));
}

}  // namespace
