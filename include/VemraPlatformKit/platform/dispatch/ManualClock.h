#pragma once
/// @file ManualClock.h
/// A clock whose time moves only when advanced: the test peer of every timed behaviour.
///
///   auto clock = std::make_shared<vpk::ManualClock>();
///   vpk::Clock::install(clock);
///   ... start timers, post delayed work ...
///   clock->advance(30.0);   // a 30-second run, in milliseconds of real time
///
/// advance() moves time forward event by event: it sets the clock to the next timer,
/// delayed task or timed-wait deadline that falls within the step, releases it, and waits
/// until the work this started has settled (every queue idle or blocked in a timed wait),
/// before going on. Called on the main thread, it also runs main-queue tasks. So after
/// advance() returns, everything due by the new time has run.
///
/// advance() and settle() must be called from outside the library's queues (a test's
/// own thread or the main thread).

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include <atomic>

namespace vpk {

class VPK_EXPORT ManualClock : public Clock {
 public:
  /// Starts at `start` seconds since 2001-01-01 (default: 2026-01-01 00:00:00 UTC).
  explicit ManualClock(double start = 788918400.0);
  double now() const override;
  bool isManual() const override { return true; }

  /// Moves time forward by `seconds` (see file comment). Negative or NaN steps are ignored.
  void advance(double seconds);
  /// Moves time forward to `time` (nothing when it is in the past).
  void advanceTo(double time);
  /// Waits until dispatched work has settled without moving time. False (and a log line)
  /// when it did not settle within `realSeconds` of real time.
  static bool settle(double realSeconds = 10.0);

 private:
  std::atomic<double> now_;
};

}  // namespace vpk
