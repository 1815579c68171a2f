#include "support/LogCapture.h"
#include "support/VirtualTime.h"

#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/OperationQueue.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>
#include <VemraPlatformKit/platform/dispatch/Thread.h>
#include <VemraPlatformKit/platform/dispatch/TimerSource.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <vector>

using namespace vpk;

namespace {

class Dispatch : public test::VirtualTimeTest {};

TEST_F(Dispatch, QueueSpecificValuesAreSeenOnlyFromTheQueuesOwnTasks) {
  static const char key = 0;
  int value = 7;
  auto q = DispatchQueue::createSerial("tagged");
  q->setSpecific(&key, &value);
  EXPECT_EQ(DispatchQueue::currentSpecific(&key), nullptr);
  void* seen = nullptr;
  bool current = false;
  q->sync([&] {
    seen = DispatchQueue::currentSpecific(&key);
    current = q->isCurrent();
  });
  EXPECT_EQ(seen, &value);
  EXPECT_TRUE(current);
  q->setSpecific(&key, nullptr);
  q->sync([&] { seen = DispatchQueue::currentSpecific(&key); });
  EXPECT_EQ(seen, nullptr);
}

TEST_F(Dispatch, SyncOntoTheRunningQueueRunsInlineAndAThrowingTaskIsContained) {
  test::LogCapture log;
  auto q = DispatchQueue::createSerial("nested");
  std::vector<int> order;
  q->sync([&] {
    order.push_back(1);
    q->sync([&] { order.push_back(2); });
    order.push_back(3);
  });
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

  q->async([] { throw std::runtime_error("boom"); });
  int after = 0;
  q->sync([&] { after = 1; });
  EXPECT_EQ(after, 1);
  EXPECT_TRUE(log.contains("threw and was stopped: boom"));
}

TEST_F(Dispatch, DelayedWorkRunsWhenVirtualTimeReachesIt) {
  auto q = DispatchQueue::createSerial();
  std::atomic<int> ran{0};
  q->after(2.0, [&] { ran += 1; });
  q->after(-5.0, [&] { ran += 10; });  // a negative delay means now
  settle();
  EXPECT_EQ(ran.load(), 10);
  advance(1.999);
  EXPECT_EQ(ran.load(), 10);
  advance(0.001);
  EXPECT_EQ(ran.load(), 11);
}

TEST_F(Dispatch, RepeatingTimerSourceFollowsVirtualTimeExactly) {
  auto q = DispatchQueue::createSerial();
  std::vector<double> times;
  auto source = TimerSource::create(q);
  source->setEventHandler([&] { times.push_back(now()); });
  source->schedule(0.5, 0.25, 0.0);
  source->resume();
  const double t0 = now();
  advance(0.49);
  EXPECT_TRUE(times.empty());
  advance(0.51);  // t0 + 1.0: events at 0.5, 0.75, 1.0
  ASSERT_EQ(times.size(), 3u);
  EXPECT_DOUBLE_EQ(times[0] - t0, 0.5);
  EXPECT_DOUBLE_EQ(times[2] - t0, 1.0);
  // Re-arming restarts from now with the new period.
  source->schedule(1.0, 1.0, 0.1);
  advance(2.5);
  EXPECT_EQ(times.size(), 5u);
  source->cancel();
  advance(10);
  EXPECT_EQ(times.size(), 5u);
  EXPECT_TRUE(source->isCancelled());
}

TEST_F(Dispatch, OneShotSourceFiresOnceAndCancelHandlerRunsOnTheQueue) {
  auto q = DispatchQueue::createSerial();
  int fired = 0;
  bool cancelledOnQueue = false;
  auto source = TimerSource::create(q);
  source->setEventHandler([&] { ++fired; });
  source->setCancelHandler([&] { cancelledOnQueue = q->isCurrent(); });
  source->schedule(1.0, 0.0, 0.0);  // interval 0: one-shot
  source->resume();
  advance(5);
  EXPECT_EQ(fired, 1);
  source->cancel();
  settle();
  EXPECT_TRUE(cancelledOnQueue);
}

TEST_F(Dispatch, TimedWaitsExpireInVirtualTime) {
  Semaphore sem;
  std::atomic<int> result{-1};
  auto q = DispatchQueue::createSerial();
  q->async([&] { result = sem.wait(3.0) ? 1 : 0; });
  std::atomic<bool> behind{false};
  q->async([&] { behind = true; });  // cannot run before the wait ends: time still moves
  const auto started = std::chrono::steady_clock::now();
  advance(2.9);
  EXPECT_EQ(result.load(), -1);
  EXPECT_FALSE(behind);
  advance(0.2);
  EXPECT_EQ(result.load(), 0);
  EXPECT_TRUE(behind);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

  result = -1;
  q->async([&] { result = sem.wait(3.0) ? 1 : 0; });
  advance(1.0);
  sem.signal();
  settle();
  EXPECT_EQ(result.load(), 1);
  EXPECT_FALSE(sem.wait(0));   // nothing left
  EXPECT_FALSE(sem.wait(-1));  // negative timeouts do not wait
}

TEST_F(Dispatch, GroupNotifiesWhenEmptyAndIgnoresUnbalancedLeave) {
  test::LogCapture log;
  DispatchGroup group;
  auto q = DispatchQueue::createSerial();
  std::vector<int> order;
  group.enter();
  group.async(q, [&] { order.push_back(1); });
  group.notify(q, [&] { order.push_back(2); });
  settle();
  EXPECT_EQ(order, (std::vector<int>{1}));
  EXPECT_FALSE(group.wait(0));
  group.leave();
  settle();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_TRUE(group.wait(0));
  group.leave();
  EXPECT_TRUE(log.contains("unbalanced leave"));
}

TEST_F(Dispatch, MainQueueRunsOnTheDrivingThreadOrThroughAnExecutor) {
  std::vector<int> ran;
  auto bg = DispatchQueue::createSerial();
  bg->async([&] { DispatchQueue::main()->async([&] { ran.push_back(1); }); });
  settle();  // on the main thread, settling also drains the main queue
  EXPECT_EQ(ran, (std::vector<int>{1}));

  std::vector<std::function<void()>> loop;  // an application's own event loop
  DispatchQueue::setMainExecutor([&](std::function<void()> f) { loop.push_back(std::move(f)); });
  DispatchQueue::main()->async([&] { ran.push_back(2); });
  ASSERT_EQ(loop.size(), 1u);
  EXPECT_EQ(ran.size(), 1u);
  loop[0]();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  DispatchQueue::setMainExecutor(nullptr);

  DispatchQueue::main()->async([] { DispatchQueue::stopMain(); });
  DispatchQueue::runMain();  // returns once the stop task ran
}

TEST_F(Dispatch, OperationQueueRunsByPriorityThenOrderAndCancels) {
  auto ops = OperationQueue::create("commands");
  std::vector<int> order;
  ops->setSuspended(true);
  ops->addOperation([&] { order.push_back(1); }, OperationPriority::Normal);
  ops->addOperation([&] { order.push_back(2); }, OperationPriority::VeryHigh);
  ops->addOperation([&] { order.push_back(3); }, OperationPriority::Normal);
  auto dropped = ops->addOperation([&] { order.push_back(4); }, OperationPriority::Low);
  ops->addOperation([&] { order.push_back(5); }, OperationPriority::VeryLow);
  dropped->cancel();
  EXPECT_EQ(ops->operationCount(), 5u);
  EXPECT_FALSE(ops->waitUntilAllOperationsAreFinished(0));
  ops->setSuspended(false);
  EXPECT_TRUE(ops->waitUntilAllOperationsAreFinished());
  EXPECT_EQ(order, (std::vector<int>{2, 1, 3, 5}));
  EXPECT_TRUE(dropped->isFinished());

  ops->setSuspended(true);
  ops->addOperation([&] { order.push_back(6); });
  ops->cancelAllOperations();
  ops->setSuspended(false);
  EXPECT_TRUE(ops->waitUntilAllOperationsAreFinished());
  EXPECT_EQ(order.size(), 4u);
  EXPECT_EQ(ops->operationCount(), 0u);
}

TEST(DispatchThread, ThreadGetsItsStackNameAndRunsTheBody) {
  std::atomic<bool> ran{false};
  auto t = Thread::start("vpk.test.worker", 0.5, 1 << 20, [&] { ran = true; });
  ASSERT_TRUE(t);
  t->join();
  EXPECT_TRUE(ran.load());
  EXPECT_GE(t->stackSize(), size_t{1} << 20);
  EXPECT_EQ(Thread::start("x", 0.5, 0, nullptr), nullptr);
}

}  // namespace
