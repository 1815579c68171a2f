#pragma once
// Test fixture: installs a manual clock and makes the test thread the main thread, so
// timers, delayed work and main-queue deliveries run when the test advances time.

#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/ManualClock.h>

#include <gtest/gtest.h>

#include <memory>

namespace vpk::test {

class VirtualTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = std::make_shared<vpk::ManualClock>();
    previous_ = vpk::Clock::install(clock_);
    vpk::DispatchQueue::drainMain();  // the test thread drives the main queue
  }
  void TearDown() override {
    vpk::ManualClock::settle();
    vpk::Clock::install(previous_);
  }
  /// Moves virtual time forward; everything due has run when it returns.
  void advance(double seconds) { clock_->advance(seconds); }
  /// Lets dispatched work finish without moving time.
  void settle() { ASSERT_TRUE(vpk::ManualClock::settle()); }
  double now() const { return clock_->now(); }

  std::shared_ptr<vpk::ManualClock> clock_;
  std::shared_ptr<vpk::Clock> previous_;
};

}  // namespace vpk::test
