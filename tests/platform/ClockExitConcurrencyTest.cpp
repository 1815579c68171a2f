// The process may end while library threads still read the clock: the scheduler's thread
// wakes for every timer event and reads the installed clock each time.
#include <VemraPlatformKit/platform/dispatch/TimerSource.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace {

void exitWhileATimerRunsFast() {
  auto timer = vpk::TimerSource::create(nullptr);
  static std::atomic<int> ticks{0};
  timer->setEventHandler([] { ticks.fetch_add(1); });
  timer->schedule(0, 0.0001, 0);
  timer->resume();
  while (ticks.load() < 20) std::this_thread::yield();
  std::exit(0);  // static destructors run while the timer keeps the scheduler busy
}

TEST(ClockAtExit, ExitingWhileTimersRunFindsTheClockAlive) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int i = 0; i < 5; ++i) EXPECT_EXIT(exitWhileATimerRunsFast(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
