#include "support/LogCapture.h"
#include "support/VirtualTime.h"

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKTimer.h>

#include <gtest/gtest.h>

namespace {

class VPKTimerTest : public vpk::test::VirtualTimeTest {};

TEST_F(VPKTimerTest, RepeatingTimerFiresEveryIntervalUntilDeactivated) {
  int fired = 0;
  auto timer = VPKTimer::create(nullptr, 2.0, [&](const std::shared_ptr<VPKTimer>&) { ++fired; });
  EXPECT_FALSE(timer->isActive());
  EXPECT_DOUBLE_EQ(timer->leeway(), 0.2);
  timer->activate();
  advance(1.9);
  EXPECT_EQ(fired, 0);
  advance(8.1);  // t = 10: events at 2, 4, 6, 8, 10
  EXPECT_EQ(fired, 5);
  timer->deactivate();
  advance(10);
  EXPECT_EQ(fired, 5);
  EXPECT_TRUE(timer->isValid());
  timer->activateAndFire();  // first event at once
  settle();
  EXPECT_EQ(fired, 6);
  timer->invalidate();
}

TEST_F(VPKTimerTest, OneShotIsInactiveInsideItsHandlerAndCanBeRestarted) {
  std::vector<bool> activeInHandler;
  auto timer = VPKTimer::create(nullptr, 1.0, [&](const std::shared_ptr<VPKTimer>& t) {
    activeInHandler.push_back(t->isActive());
  });
  timer->setContinuous(false);
  timer->activate();
  advance(5);
  EXPECT_EQ(activeInHandler, (std::vector<bool>{false}));
  EXPECT_FALSE(timer->isActive());
  timer->activate();
  advance(1);
  EXPECT_EQ(activeInHandler.size(), 2u);
}

TEST_F(VPKTimerTest, InvalidateIsFinalAndIntervalChangeKeepsLeeway) {
  int fired = 0;
  auto timer = VPKTimer::create(nullptr, 1.0, [&](const std::shared_ptr<VPKTimer>&) { ++fired; });
  timer->activate();
  timer->setInterval(5.0);  // re-armed from now with the new period
  EXPECT_DOUBLE_EQ(timer->leeway(), 0.1);
  EXPECT_DOUBLE_EQ(timer->source()->leeway(), 0.1);
  advance(4.9);
  EXPECT_EQ(fired, 0);
  advance(0.1);
  EXPECT_EQ(fired, 1);
  timer->invalidate();
  EXPECT_FALSE(timer->isValid());
  timer->activate();
  EXPECT_FALSE(timer->isActive());
  advance(20);
  EXPECT_EQ(fired, 1);
}

TEST_F(VPKTimerTest, NonPositiveIntervalNeverSpins) {
  vpk::test::LogCapture log;
  int fired = 0;
  auto timer = VPKTimer::create(nullptr, 0.0, [&](const std::shared_ptr<VPKTimer>&) { ++fired; });
  timer->setName("zero");
  timer->activate();
  EXPECT_FALSE(timer->isActive());
  EXPECT_TRUE(log.contains("VPKTimer(zero): refusing to start with interval 0"));
  timer->setContinuous(false);  // a one-shot with no delay simply fires at once
  timer->activate();
  advance(1);
  EXPECT_EQ(fired, 1);
}

TEST_F(VPKTimerTest, ActiveTimerKeepsItselfAliveAndLogsItsDestruction) {
  vpk::test::LogCapture log;
  VPKLogSetEnabled(true);
  int fired = 0;
  std::weak_ptr<VPKTimer> keeper;
  {
    auto timer = VPKTimer::create(nullptr, 1.0, [&](const std::shared_ptr<VPKTimer>&) { ++fired; });
    keeper = timer;
    timer->setName("keeper");
    timer->activate();
  }
  advance(3);
  EXPECT_EQ(fired, 3);  // still running although the owner let go
  EXPECT_FALSE(log.contains("Dealloc: VPKTimer(keeper)"));
  {
    auto timer = VPKTimer::create(nullptr, 1.0, [](const std::shared_ptr<VPKTimer>&) {});
    timer->setName("gone");
  }
  EXPECT_TRUE(log.contains("Dealloc: VPKTimer(gone)"));
  // Stop the keeper: its handler refers to this test's stack.
  if (auto t = keeper.lock()) t->invalidate();
  settle();
  VPKLogSetEnabled(false);
}

}  // namespace
