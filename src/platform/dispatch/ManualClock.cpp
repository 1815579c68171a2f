#include <VemraPlatformKit/platform/dispatch/ManualClock.h>

#include <VemraPlatformKit/frame/VPKLog.h>

#include "platform/dispatch/DispatchInternal.h"

#include <cmath>

namespace vpk {

ManualClock::ManualClock(double start) : now_(start) {}

double ManualClock::now() const { return now_.load(); }

bool ManualClock::settle(double realSeconds) {
  // Work that is due at the current virtual time (zero-delay timers, waits whose deadline
  // has come) is released too, until nothing more is due.
  for (unsigned long i = 0; i < 10'000'000; ++i) {
    if (!detail::Activity::instance().settle(realSeconds)) return false;
    std::shared_ptr<Clock> clock = Clock::current();
    if (!clock->isManual()) return true;
    if (detail::Scheduler::instance().fireDue(clock->now()) == 0) return true;
  }
  VPKLog(1, "ManualClock: work kept renewing itself at one instant");
  return false;
}

void ManualClock::advance(double seconds) {
  if (!(seconds > 0)) {
    settle();
    return;
  }
  advanceTo(now() + seconds);
}

void ManualClock::advanceTo(double time) {
  auto& scheduler = detail::Scheduler::instance();
  settle();
  // A self-renewing zero-delay task would otherwise keep time from ever moving.
  constexpr unsigned long kMaxSteps = 10'000'000;
  unsigned long steps = 0;
  for (;;) {
    auto next = scheduler.earliest();
    if (!next || *next > time) break;
    if (*next > now_.load()) now_.store(*next);
    scheduler.fireDue(now_.load());
    settle();
    if (++steps >= kMaxSteps) {
      VPKLog(1, "ManualClock: gave up after {} events within one step", steps);
      break;
    }
  }
  if (time > now_.load()) now_.store(time);
  settle();
}

}  // namespace vpk
