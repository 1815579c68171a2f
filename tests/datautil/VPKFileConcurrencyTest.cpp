// Stores used from several threads at once, all sharing the one block cache.
#include <VemraPlatformKit/frame/VPKFile.h>

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(VPKFileConcurrency, StoresOnSeveralThreadsShareTheCache) {
  vpk::test::LogCapture log;
  constexpr int kStores = 3;
  constexpr int kObjects = 20005;  // two blocks each and a few objects still buffered
  std::vector<std::shared_ptr<VPKFile>> stores;
  for (int s = 0; s < kStores; ++s) stores.push_back(VPKFile::file());

  std::vector<std::thread> threads;
  for (int s = 0; s < kStores; ++s) {
    threads.emplace_back([&, s] {
      for (int i = 0; i < kObjects; ++i) {
        stores[s]->addObject(vpk::Value(s * kObjects + i));
        if (i % 5000 == 0) stores[s]->enumerateObjects([](const vpk::Value&, bool& stop) { stop = true; });
      }
      stores[s]->synchronizeFile();
    });
  }
  // Meanwhile another thread keeps reading every store from the cache or the files.
  threads.emplace_back([&] {
    for (int round = 0; round < 5; ++round) {
      VPKFile::cache().removeAllObjects();
      for (auto& store : stores) store->enumerateObjects([](const vpk::Value&, bool&) {});
    }
  });
  for (auto& t : threads) t.join();

  for (int s = 0; s < kStores; ++s) {
    int64_t next = s * kObjects;
    bool inOrder = true;
    stores[s]->enumerateObjects([&](const vpk::Value& v, bool&) { inOrder = inOrder && v.intValue() == next++; });
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(next, (s + 1) * kObjects);
    stores[s]->discard();
  }
}

}  // namespace
