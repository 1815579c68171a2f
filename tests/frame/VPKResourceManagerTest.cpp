#include "support/LogCapture.h"
#include "support/VirtualTime.h"

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

class ResourceManager : public vpk::test::VirtualTimeTest {};

TEST_F(ResourceManager, NestedWaitsRunInlineFromTheQueueAndFromAPushedThread) {
  std::vector<int> order;
  EXPECT_FALSE(VPKResourceManager::executingInContext());
  VPKResourceManager::performBlockAndWait([&] {
    order.push_back(1);
    EXPECT_TRUE(VPKResourceManager::executingInContext());
    VPKResourceManager::performBlockAndWait([&] { order.push_back(2); });
    order.push_back(3);
  });
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

  // A pushed thread counts as inside the context.
  std::thread([&] {
    VPKResourceManager::pushThread(std::this_thread::get_id());
    EXPECT_TRUE(VPKResourceManager::executingInContext());
    VPKResourceManager::performBlockAndWait([&] { order.push_back(4); });  // inline
    VPKResourceManager::popThread(std::this_thread::get_id());
    EXPECT_FALSE(VPKResourceManager::executingInContext());
  }).join();
  EXPECT_EQ(order.back(), 4);

  // In context, a task can be run synchronously on another queue that is pushed meanwhile.
  auto other = vpk::DispatchQueue::createSerial("other");
  bool otherInContext = false;
  EXPECT_FALSE(VPKResourceManager::performBlockAndWait([] {}, other));
  VPKResourceManager::performBlockAndWait([&] {
    EXPECT_TRUE(VPKResourceManager::performBlockAndWait(
        [&] { otherInContext = VPKResourceManager::executingInContext(); }, other));
  });
  EXPECT_TRUE(otherInContext);
  EXPECT_EQ(VPKResourceManager::pushCount(other), 0);
}

TEST_F(ResourceManager, PushCountsBalanceAndTheLastPopLogsOnce) {
  vpk::test::LogCapture log;
  VPKLogSetEnabled(true);
  auto q = vpk::DispatchQueue::createSerial("pushed");
  VPKResourceManager::pushQueue(q);
  VPKResourceManager::pushQueue(q);
  VPKResourceManager::popQueue(q);
  bool marked = false;
  q->sync([&] { marked = VPKResourceManager::executingInContext(); });
  EXPECT_TRUE(marked);
  EXPECT_EQ(log.count("Popping queue:"), 0u);
  VPKResourceManager::popQueue(q);
  q->sync([&] { marked = VPKResourceManager::executingInContext(); });
  EXPECT_FALSE(marked);
  EXPECT_EQ(log.count("Popping queue:"), 1u);
  VPKResourceManager::popQueue(q);  // unbalanced: nothing happens
  EXPECT_EQ(log.count("Popping queue:"), 1u);
  // The shared queue itself is never counted.
  VPKResourceManager::pushQueue(VPKResourceManager::sharedQueue());
  EXPECT_EQ(VPKResourceManager::pushCount(VPKResourceManager::sharedQueue()), 0);
  VPKLogSetEnabled(false);
}

TEST_F(ResourceManager, MainQueuePushesOnlyFromTheMainThreadAndPrioritiesMap) {
  bool off = true;
  std::thread([&] { off = VPKResourceManager::pushMainQueue(); }).join();
  EXPECT_FALSE(off);
  EXPECT_EQ(VPKResourceManager::pushCount(vpk::DispatchQueue::main()), 0);
  EXPECT_TRUE(VPKResourceManager::pushMainQueue());
  EXPECT_EQ(VPKResourceManager::pushCount(vpk::DispatchQueue::main()), 1);
  EXPECT_TRUE(VPKResourceManager::popMainQueue());

  auto q = VPKResourceManager::sharedQueue();
  const std::pair<long, vpk::QueuePriority> cases[] = {
      {-3, vpk::QueuePriority::Background}, {0, vpk::QueuePriority::Background}, {1, vpk::QueuePriority::Low},
      {2, vpk::QueuePriority::Default},     {3, vpk::QueuePriority::High},       {7, vpk::QueuePriority::Background}};
  for (auto [p, expected] : cases) {
    VPKResourceManager::setPriority(p);
    EXPECT_EQ(q->targetPriority(), expected) << p;
  }
  VPKResourceManager::setPriority(2);
}

TEST_F(ResourceManager, RepeatedTasksRunUntilTheyDecline) {
  int runs = 0;
  VPKResourceManager::repeatPerformBlock([&] { return ++runs < 0; }, 1.0);
  EXPECT_EQ(runs, 1);  // ran once, synchronously

  std::atomic<int> n{0};
  std::vector<double> at;
  const double t0 = now();
  VPKResourceManager::repeatPerformBlockWithDynamicDelay(
      [&](double& delay) {
        at.push_back(now() - t0);
        delay *= 2;
        return ++n < 4;
      },
      1.0);
  advance(100);
  EXPECT_EQ(n.load(), 4);
  EXPECT_EQ(at, (std::vector<double>{0, 2, 6, 14}));
}

TEST_F(ResourceManager, TimerStopsAfterItsHandlerDeclines) {
  int fired = 0;
  auto source = vpkrsrc_create_timer([&] { return ++fired < 3; }, 1.0, 0.5, 0.1);
  advance(20);
  EXPECT_EQ(fired, 3);
  EXPECT_TRUE(source->isCancelled());
}

TEST_F(ResourceManager, MemoryWarningCallsEveryHandlerWithItsKey) {
  std::vector<std::string> keys;
  VPKResourceManager::setMemoryWarningHandler([&](const std::string& k) { keys.push_back(k); }, "a");
  VPKResourceManager::setMemoryWarningHandler(
      [&](const std::string& k) {
        keys.push_back(k);
        VPKResourceManager::setMemoryWarningHandler(nullptr, "a");  // changing the table is safe
      },
      "b");
  VPKResourceManager::handleMemoryWarning();
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(VPKResourceManager::memoryWarningHandlers().size(), 1u);
  VPKResourceManager::setMemoryWarningHandler(nullptr, "b");
  EXPECT_GT(VPKResourceManager::availableDiskSpace(), 0u);
}

TEST_F(ResourceManager, AfterMainAsyncGoesThroughTheMainQueueFirst) {
  std::vector<std::string> steps;
  vpkrsrc_dispatch_after_main_async([&] { steps.push_back(VPKResourceManager::executingInContext() ? "shared" : "?"); });
  EXPECT_TRUE(steps.empty());
  settle();
  EXPECT_EQ(steps, (std::vector<std::string>{"shared"}));
  EXPECT_EQ(vpkrsrc_return_sync([] { return 42; }), 42);
}

}  // namespace
