#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include "platform/dispatch/DispatchInternal.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

namespace vpk {
namespace {

// Monotonic time anchored once to the wall clock.
class RealClock final : public Clock {
 public:
  RealClock()
      : anchorSteady_(std::chrono::steady_clock::now()),
        anchorWall_(std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
                    kReferenceDateOffset) {}
  double now() const override {
    return anchorWall_ + std::chrono::duration<double>(std::chrono::steady_clock::now() - anchorSteady_).count();
  }

 private:
  std::chrono::steady_clock::time_point anchorSteady_;
  double anchorWall_;
};

// Process-lifetime state is allocated once and never destroyed: detached library threads
// (the scheduler, pool workers) may still read the clock while the process exits.
std::mutex& clockMutex() {
  static auto* m = new std::mutex();
  return *m;
}

std::shared_ptr<Clock>& realClock() {
  static auto* c = new std::shared_ptr<Clock>(std::make_shared<RealClock>());
  return *c;
}

// Every clock ever installed stays alive for the process, so a reader that
// loaded the raw pointer just before a swap never sees a destroyed clock. Tests
// install a handful of clocks; nothing else installs any.
std::vector<std::shared_ptr<Clock>>& keptAlive() {
  static auto* v = new std::vector<std::shared_ptr<Clock>>();
  return *v;
}

std::atomic<Clock*>& installedPtr() {
  static std::atomic<Clock*> p{realClock().get()};
  return p;
}

std::shared_ptr<Clock>& installed() {
  static auto* c = new std::shared_ptr<Clock>(realClock());
  return *c;
}

}  // namespace

std::shared_ptr<Clock> Clock::current() {
  std::lock_guard<std::mutex> lock(clockMutex());
  return installed();
}

std::shared_ptr<Clock> Clock::install(std::shared_ptr<Clock> clock) {
  std::shared_ptr<Clock> previous;
  {
    std::lock_guard<std::mutex> lock(clockMutex());
    previous = installed();
    installed() = clock ? std::move(clock) : realClock();
    keptAlive().push_back(installed());
    installedPtr().store(installed().get(), std::memory_order_release);
  }
  detail::Scheduler::instance().clockChanged();
  return previous;
}

double Clock::timestamp() { return installedPtr().load(std::memory_order_acquire)->now(); }

}  // namespace vpk
