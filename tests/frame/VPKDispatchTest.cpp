#include <VemraPlatformKit/frame/VPKDispatch.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

struct ProcessorCount {
  explicit ProcessorCount(unsigned n) { vpk::setParallelProcessorCount(n); }
  ~ProcessorCount() { vpk::setParallelProcessorCount(0); }
};

TEST(VPKDispatch, ParallelWithFewerIndexesThanProcessorsRunsInOrderOnTheCaller) {
  ProcessorCount four(4);
  std::vector<size_t> order;
  std::set<std::thread::id> threads;
  vpk_parallel(3, [&](size_t i) {
    order.push_back(i);
    threads.insert(std::this_thread::get_id());
  });
  EXPECT_EQ(order, (std::vector<size_t>{0, 1, 2}));
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_EQ(*threads.begin(), std::this_thread::get_id());
  vpk_parallel(0, [&](size_t) { FAIL(); });
}

TEST(VPKDispatch, ParallelChunksVisitEveryIndexOnceAndRemainderOnCaller) {
  ProcessorCount four(4);
  // 10 indexes, 4 processors: 5 jobs of 2, nothing left over.
  std::vector<std::atomic<int>> hits(10);
  vpk_parallel(10, [&](size_t i) { hits[i].fetch_add(1); });
  for (auto& h : hits) EXPECT_EQ(h.load(), 1);
  // 11 indexes, 4 processors: chunk 2, 5 jobs, index 10 on the calling thread.
  std::mutex m;
  std::thread::id last;
  vpk_parallel(11, [&](size_t i) {
    if (i == 10) {
      std::lock_guard<std::mutex> l(m);
      last = std::this_thread::get_id();
    }
  });
  EXPECT_EQ(last, std::this_thread::get_id());
}

TEST(VPKDispatch, StopFlagEndsOnlyItsOwnChunk) {
  ProcessorCount two(2);
  std::vector<std::atomic<int>> hits(8);  // 2 jobs of 4
  __vpk_parallel(8, [&](size_t i, bool& stop) {
    hits[i].fetch_add(1);
    if (i == 1) stop = true;  // first job ends after index 1
  });
  EXPECT_EQ(hits[0].load() + hits[1].load(), 2);
  EXPECT_EQ(hits[2].load() + hits[3].load(), 0);
  for (size_t i = 4; i < 8; ++i) EXPECT_EQ(hits[i].load(), 1);
}

TEST(VPKDispatch, ApplyStopsStartingCallsAfterAFalse) {
  std::atomic<int> calls{0};
  vpk_dispatch_apply(100, [&](size_t) { return calls.fetch_add(1) < 500; });
  EXPECT_EQ(calls.load(), 100);
  calls = 0;
  ProcessorCount one(1);
  vpk_dispatch_apply(100, [&](size_t i) {
    calls.fetch_add(1);
    return i != 4;
  });
  EXPECT_EQ(calls.load(), 5);
}

TEST(VPKDispatch, SyncRunsInlineOnItsOwnTaggedQueueAndIgnoresAbsentArguments) {
  auto q = vpk_queue_create_serial();
  std::vector<int> order;
  vpk_dispatch_sync(q, [&] {
    order.push_back(1);
    vpk_dispatch_sync(q, [&] { order.push_back(2); });
    order.push_back(3);
  });
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  vpk_dispatch_sync(nullptr, [&] { order.push_back(9); });
  vpk_dispatch_async(nullptr, [&] { order.push_back(9); });
  vpk_dispatch_sync(q, nullptr);
  EXPECT_EQ(order.size(), 3u);
}

TEST(VPKDispatch, CpuUsageOfABusyThreadIsHighAndOfASleepingOneLow) {
  double busy = 0;
  std::thread([&] {
    VPKCPUUsage();
    volatile double x = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
    while (std::chrono::steady_clock::now() < end) x = x + 1;
    busy = VPKCPUUsage();
  }).join();
  double idle = 1;
  std::thread([&] {
    VPKCPUUsage();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    idle = VPKCPUUsage();
  }).join();
  // The machine may be busy with other work, so only the ordering is certain.
  EXPECT_GT(busy, 0.0);
  EXPECT_LE(busy, 1.0);
  EXPECT_LT(idle, busy);
}

}  // namespace
