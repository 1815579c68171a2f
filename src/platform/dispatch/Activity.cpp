#include "platform/dispatch/DispatchInternal.h"
#include "platform/dispatch/ThreadContext.h"

#include <VemraPlatformKit/frame/VPKLog.h>

#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>

#include <chrono>

namespace vpk::detail {

namespace {
thread_local int tCountedDepth = 0;
thread_local BlockableQueue* tBlockableQueue = nullptr;
}

BlockableQueue* BlockableQueue::current() { return tBlockableQueue; }

BlockableQueue::Scope::Scope(BlockableQueue* queue) : previous_(tBlockableQueue) { tBlockableQueue = queue; }

BlockableQueue::Scope::~Scope() { tBlockableQueue = previous_; }

Activity& Activity::instance() {
  static Activity* a = new Activity();  // lives for the process
  return *a;
}

void Activity::add(long n) { active_.fetch_add(n); }

void Activity::remove(long n) {
  active_.fetch_sub(n);
  poke();
}

bool Activity::threadCounted() { return tCountedDepth > 0; }

void Activity::setThreadCounted(int delta) { tCountedDepth += delta; }

void Activity::poke() {
  if (settleWaiters_.load() > 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    cv_.notify_all();
  }
}

bool Activity::settle(double realSeconds) {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(realSeconds));
  const bool onMain = isMainThread();
  for (;;) {
    if (onMain) drainMainQueue();
    std::unique_lock<std::mutex> lock(mutex_);
    settleWaiters_.fetch_add(1);
    const bool done = active_.load() <= 0 && (!onMain || mainQueueEmpty());
    if (done) {
      settleWaiters_.fetch_sub(1);
      return true;
    }
    if (steady_clock::now() >= deadline) {
      settleWaiters_.fetch_sub(1);
      lock.unlock();
      VPKLog(1, "Dispatch: work did not settle within {} s ({} tasks active)", realSeconds, active_.load());
      return false;
    }
    cv_.wait_for(lock, milliseconds(2));
    settleWaiters_.fetch_sub(1);
  }
}

WaitSlot::Result WaitSlot::blockOn(const std::shared_ptr<WaitSlot>& slot, double deadline) {
  std::unique_lock<std::mutex> lock(slot->mutex);
  if (slot->result != Result::Pending) return slot->result;
  if (deadline != kWaitForever && !(deadline > Clock::timestamp())) {
    slot->result = Result::TimedOut;
    return slot->result;
  }
  // The timeout is registered before this thread stops counting as active, so a manual
  // clock that sees the work settle also sees the deadline. wake() needs the slot's
  // mutex, which is held until the wait starts.
  uint64_t entry = 0;
  if (deadline != kWaitForever) {
    // The entry keeps the slot alive until it fires or is cancelled.
    entry = Scheduler::instance().schedule(deadline, [slot] { slot->wake(Result::TimedOut); });
  }
  slot->counted = Activity::threadCounted();
  BlockableQueue* const queue = slot->counted ? BlockableQueue::current() : nullptr;
  if (queue) queue->runningTaskBlocked();
  if (slot->counted) Activity::instance().remove();
  slot->cv.wait(lock, [&] { return slot->result != Result::Pending; });
  Result r = slot->result;
  lock.unlock();
  // Counted again since the wake: the tasks behind this one count again before it goes on.
  if (queue) queue->runningTaskResumed();
  if (entry) Scheduler::instance().cancel(entry);
  return r;
}

bool WaitSlot::wake(Result why) {
  std::lock_guard<std::mutex> lock(mutex);
  if (result != Result::Pending) return false;
  result = why;
  if (counted) Activity::instance().add();
  cv.notify_all();
  return true;
}

}  // namespace vpk::detail
