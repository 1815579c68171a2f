#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/ManualClock.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace vpk;

TEST(DispatchConcurrency, SerialQueueRunsTasksOneAtATimeInOrderFromManyThreads) {
  auto q = DispatchQueue::createSerial("serial", QueuePriority::High);
  std::vector<int> seen;  // touched only on q
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < 500; ++i)
        q->async([&, p, i] {
          if (inside.fetch_add(1) != 0) overlap = true;
          seen.push_back(p * 1000 + i);
          inside.fetch_sub(1);
        });
    });
  }
  for (auto& t : producers) t.join();
  q->sync([] {});
  ASSERT_EQ(seen.size(), 2000u);
  EXPECT_FALSE(overlap.load());
  // Within one producer, order is kept.
  int last[4] = {-1, -1, -1, -1};
  for (int v : seen) {
    EXPECT_GT(v % 1000, last[v / 1000]);
    last[v / 1000] = v % 1000;
  }
}

TEST(DispatchConcurrency, RetargetingWhileBusyKeepsEveryTask) {
  auto q = DispatchQueue::createSerial("retarget");
  std::atomic<int> count{0};
  for (int i = 0; i < 1000; ++i) {
    q->async([&] { count.fetch_add(1); });
    if (i % 100 == 0) q->setTargetPriority(static_cast<QueuePriority>((i / 100) % 4));
  }
  q->sync([] {});
  EXPECT_EQ(count.load(), 1000);
}

TEST(DispatchConcurrency, BlockedWorkersDoNotStarveThePool) {
  // More tasks block on one semaphore than the machine has cores; the pool grows.
  Semaphore sem;
  DispatchGroup group;
  auto pool = DispatchQueue::global(QueuePriority::Default);
  constexpr int kBlocked = 16;
  for (int i = 0; i < kBlocked; ++i) group.async(pool, [&] { sem.wait(); });
  std::atomic<bool> ran{false};
  group.async(pool, [&] {
    ran = true;
    for (int i = 0; i < kBlocked; ++i) sem.signal();
  });
  EXPECT_TRUE(group.wait());
  EXPECT_TRUE(ran.load());
}

TEST(DispatchConcurrency, DispatchApplyVisitsEveryIndexOnce) {
  std::vector<std::atomic<int>> hits(257);
  dispatchApply(hits.size(), [&](size_t i) { hits[i].fetch_add(1); });
  for (auto& h : hits) EXPECT_EQ(h.load(), 1);
}

// The scheduler thread fires real-clock deadlines while a test installs a manual clock:
// an entry scheduled in virtual time must wait for virtual time, even when the thread was
// still working through a backlog measured against the real clock.
TEST(DispatchConcurrency, InstallingAManualClockWhileTheSchedulerFiresKeepsVirtualDeadlines) {
  auto q = DispatchQueue::createSerial("backlog");
  std::atomic<int> early{0};
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 20000; ++i) q->after(1e-6, [] {});
    auto clock = std::make_shared<ManualClock>();
    auto previous = Clock::install(clock);
    q->after(10.0, [&] { early += 1; });
    EXPECT_TRUE(ManualClock::settle());
    EXPECT_EQ(early.load(), 0) << "a virtual deadline fired against the real clock";
    clock->advance(10.0);
    EXPECT_EQ(early.load(), 1);
    early = 0;
    Clock::install(previous);
  }
  q->sync([] {});
}
