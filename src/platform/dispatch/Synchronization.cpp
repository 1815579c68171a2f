#include <VemraPlatformKit/platform/dispatch/Synchronization.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include "platform/dispatch/DispatchInternal.h"

#include <algorithm>
#include <cmath>

namespace vpk {

namespace {

double sanitizeTimeout(double timeout) { return timeout > 0 ? timeout : 0; }  // NaN -> 0

double deadlineFor(double timeout) { return timeout == kWaitForever ? kWaitForever : Clock::timestamp() + timeout; }

using detail::WaitSlot;

}  // namespace

Semaphore::Semaphore(long value) : value_(value) {}
Semaphore::~Semaphore() = default;

void Semaphore::signal() {
  std::lock_guard<std::mutex> lock(mutex_);
  while (!waiters_.empty()) {
    auto slot = std::move(waiters_.front());
    waiters_.pop_front();
    if (slot->wake(WaitSlot::Result::Signalled)) return;
  }
  ++value_;
}

bool Semaphore::wait(double timeout) {
  timeout = sanitizeTimeout(timeout);
  std::shared_ptr<WaitSlot> slot;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (value_ > 0) {
      --value_;
      return true;
    }
    if (timeout == 0) return false;
    slot = std::make_shared<WaitSlot>();
    waiters_.push_back(slot);
  }
  if (WaitSlot::blockOn(slot, deadlineFor(timeout)) == WaitSlot::Result::Signalled) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), slot), waiters_.end());
  return false;
}

DispatchGroup::DispatchGroup() = default;
DispatchGroup::~DispatchGroup() = default;

void DispatchGroup::enter() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++count_;
}

void DispatchGroup::leave() {
  std::vector<std::shared_ptr<WaitSlot>> waiters;
  std::vector<std::pair<DispatchQueuePtr, Task>> notifies;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == 0) {
      VPKLog(1, "Dispatch: unbalanced leave of a dispatch group ignored");
      return;
    }
    if (--count_ > 0) return;
    waiters.swap(waiters_);
    notifies.swap(notifies_);
  }
  for (auto& w : waiters) w->wake(WaitSlot::Result::Signalled);
  for (auto& [queue, task] : notifies)
    if (queue) queue->async(std::move(task));
}

bool DispatchGroup::wait(double timeout) {
  timeout = sanitizeTimeout(timeout);
  std::shared_ptr<WaitSlot> slot;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == 0) return true;
    if (timeout == 0) return false;
    slot = std::make_shared<WaitSlot>();
    waiters_.push_back(slot);
  }
  if (WaitSlot::blockOn(slot, deadlineFor(timeout)) == WaitSlot::Result::Signalled) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), slot), waiters_.end());
  return count_ == 0;
}

void DispatchGroup::notify(const DispatchQueuePtr& queue, Task task) {
  if (!queue || !task) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ > 0) {
      notifies_.emplace_back(queue, std::move(task));
      return;
    }
  }
  queue->async(std::move(task));
}

void DispatchGroup::async(const DispatchQueuePtr& queue, Task task) {
  if (!queue || !task) return;
  enter();
  queue->async([this, t = std::move(task)] {
    struct Leave {
      DispatchGroup* g;
      ~Leave() { g->leave(); }
    } leave{this};
    t();
  });
}

}  // namespace vpk
