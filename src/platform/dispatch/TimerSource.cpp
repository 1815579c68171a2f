#include <VemraPlatformKit/platform/dispatch/TimerSource.h>

#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include "platform/dispatch/DispatchInternal.h"

#include <cmath>

namespace vpk {

namespace {
bool periodic(double interval) { return std::isfinite(interval) && interval > 0; }
}  // namespace

TimerSource::TimerSource(DispatchQueuePtr queue) : queue_(std::move(queue)) {}

std::shared_ptr<TimerSource> TimerSource::create(DispatchQueuePtr queue) {
  if (!queue) queue = DispatchQueue::createSerial("com.vemra.vpk.timer");
  return std::make_shared<TimerSource>(std::move(queue));
}

TimerSource::~TimerSource() {
  if (entry_) detail::Scheduler::instance().cancel(entry_);
}

void TimerSource::setEventHandler(Task handler) {
  Task old;
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancelled_) return;
  old = std::move(handler_);
  handler_ = std::move(handler);
}

void TimerSource::setCancelHandler(Task handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!cancelled_) cancelHandler_ = std::move(handler);
}

void TimerSource::schedule(double startDelay, double interval, double leeway) {
  std::lock_guard<std::mutex> lock(mutex_);
  startDelay_ = std::isfinite(startDelay) && startDelay > 0 ? startDelay : 0;
  interval_ = interval;
  leeway_ = std::isfinite(leeway) && leeway > 0 ? leeway : 0;
  scheduled_ = true;
  if (running_ && !cancelled_) armLocked(Clock::timestamp() + startDelay_);
}

void TimerSource::resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancelled_ || running_) return;
  running_ = true;
  if (scheduled_) armLocked(Clock::timestamp() + startDelay_);
}

void TimerSource::armLocked(double deadline) {
  if (entry_) detail::Scheduler::instance().cancel(entry_);
  const unsigned long long generation = ++generation_;
  auto self = shared_from_this();
  entry_ = detail::Scheduler::instance().schedule(deadline,
                                                  [self, deadline, generation] { self->fire(deadline, generation); });
}

void TimerSource::fire(double deadline, unsigned long long generation) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_ || !running_ || generation != generation_) return;
    entry_ = 0;
    if (periodic(interval_)) {
      // Stay on the grid; events that fell behind are merged into this one.
      const double now = Clock::timestamp();
      double steps = std::floor((now - deadline) / interval_) + 1;
      if (!(steps >= 1)) steps = 1;
      armLocked(deadline + steps * interval_);
    }
    ++fires_;
  }
  auto self = shared_from_this();
  queue_->async([self] {
    Task handler;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (self->cancelled_) return;
      handler = self->handler_;
    }
    if (handler) handler();
  });
}

void TimerSource::cancel() {
  Task handler, cancelHandler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
    running_ = false;
    if (entry_) detail::Scheduler::instance().cancel(entry_);
    entry_ = 0;
    handler = std::move(handler_);
    cancelHandler = std::move(cancelHandler_);
  }
  if (cancelHandler) queue_->async(std::move(cancelHandler));
  // `handler` (and what it captured) is released here, outside the lock.
}

bool TimerSource::isCancelled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_;
}

bool TimerSource::isRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

double TimerSource::interval() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return interval_;
}

double TimerSource::leeway() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return leeway_;
}

unsigned long long TimerSource::fireCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fires_;
}

}  // namespace vpk
