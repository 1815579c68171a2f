#include "platform/dispatch/DispatchInternal.h"

#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include <chrono>
#include <cmath>

namespace vpk::detail {

Scheduler& Scheduler::instance() {
  static Scheduler* s = new Scheduler();  // lives for the process; its thread never ends
  return *s;
}

Scheduler::Scheduler() {
  thread_ = std::thread([this] { run(); });
  thread_.detach();
}

uint64_t Scheduler::schedule(double deadline, Fire fire) {
  if (std::isnan(deadline)) deadline = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t id = nextId_++;
  entries_.emplace(Key{deadline, id}, std::move(fire));
  deadlines_.emplace(id, deadline);
  cv_.notify_all();
  return id;
}

bool Scheduler::cancel(uint64_t id) {
  Fire dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = deadlines_.find(id);
    if (it == deadlines_.end()) return false;
    auto e = entries_.find(Key{it->second, id});
    if (e != entries_.end()) {
      dropped = std::move(e->second);  // destroyed outside the lock
      entries_.erase(e);
    }
    deadlines_.erase(it);
  }
  return true;
}

std::optional<double> Scheduler::earliest() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.empty()) return std::nullopt;
  return entries_.begin()->first.deadline;
}

size_t Scheduler::fireWhile(const std::function<bool(double deadline)>& due) {
  size_t fired = 0;
  for (;;) {
    Fire fire;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (entries_.empty() || !due(entries_.begin()->first.deadline)) break;
      auto it = entries_.begin();
      fire = std::move(it->second);
      deadlines_.erase(it->first.id);
      entries_.erase(it);
    }
    if (fire) fire();
    ++fired;
  }
  return fired;
}

size_t Scheduler::fireDue(double now) {
  return fireWhile([now](double deadline) { return deadline <= now; });
}

size_t Scheduler::fireDueOnInstalledClock() {
  // The clock is read under the lock for every entry: a manual clock installed meanwhile
  // must stop the firing before any entry scheduled against it is taken.
  return fireWhile([](double deadline) {
    std::shared_ptr<Clock> clock = Clock::current();
    return !clock->isManual() && deadline <= clock->now();
  });
}

void Scheduler::clockChanged() {
  std::lock_guard<std::mutex> lock(mutex_);
  cv_.notify_all();
}

void Scheduler::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    std::shared_ptr<Clock> clock = Clock::current();
    if (clock->isManual() || entries_.empty()) {
      // A manual clock is driven by ManualClock::advance; wake up now and then in
      // case the real clock comes back.
      cv_.wait_for(lock, std::chrono::milliseconds(clock->isManual() ? 50 : 1000));
      continue;
    }
    const double wait = entries_.begin()->first.deadline - clock->now();
    if (wait > 0) {
      cv_.wait_for(lock, std::chrono::duration<double>(std::min(wait, 1.0)));
      continue;
    }
    lock.unlock();
    fireDueOnInstalledClock();
    lock.lock();
  }
}

}  // namespace vpk::detail
