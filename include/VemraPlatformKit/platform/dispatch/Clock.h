#pragma once
/// @file Clock.h
/// The library's one source of time.
///
/// Timers, delayed work, timed waits, sample timestamps and "now" all read the
/// installed clock. Times are double seconds since 2001-01-01 00:00:00 UTC.
/// The default clock follows the system's monotonic clock, anchored once to the
/// wall clock, so it never goes backwards. Tests install a vpk::ManualClock and
/// advance virtual time instead of sleeping.

#include <VemraPlatformKit/VPKExport.h>

#include <memory>

namespace vpk {

/// Seconds between 1970-01-01 (Unix epoch) and 2001-01-01 00:00:00 UTC.
inline constexpr double kReferenceDateOffset = 978307200.0;

class VPK_EXPORT Clock {
 public:
  virtual ~Clock() = default;
  /// Current time in seconds since 2001-01-01 00:00:00 UTC.
  virtual double now() const = 0;
  /// True for a clock whose time moves only when a test advances it.
  virtual bool isManual() const { return false; }

  /// The installed clock (the real clock unless a test installed another).
  static std::shared_ptr<Clock> current();
  /// Installs `clock` (nullptr restores the real clock) and returns the previous one.
  static std::shared_ptr<Clock> install(std::shared_ptr<Clock> clock);
  /// Shorthand for current()->now().
  static double timestamp();
};

}  // namespace vpk
