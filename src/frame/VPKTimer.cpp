#include <VemraPlatformKit/frame/VPKTimer.h>

#include <VemraPlatformKit/frame/VPKLog.h>

#include <cmath>

namespace {
bool usableInterval(double interval) { return std::isfinite(interval) && interval > 0; }
}  // namespace

VPKTimer::VPKTimer(vpk::DispatchQueuePtr queue, double interval, Handler handler)
    : interval_(interval),
      leeway_(interval * 0.1),
      handler_(std::move(handler)),
      queue_(queue ? std::move(queue) : vpk::DispatchQueue::createSerial("com.vemra.vpk.timer")) {}

std::shared_ptr<VPKTimer> VPKTimer::create(vpk::DispatchQueuePtr queue, double interval, Handler handler) {
  return std::make_shared<VPKTimer>(std::move(queue), interval, std::move(handler));
}

VPKTimer::~VPKTimer() {
  VPKLog(0, "Dealloc: VPKTimer({})", name_);
  handler_ = nullptr;
  if (source_) source_->cancel();
}

void VPKTimer::activate() { start(false); }
void VPKTimer::activateAndFire() { start(true); }

void VPKTimer::start(bool fireNow) {
  vpk::TimerSourcePtr old;
  std::unique_lock<std::mutex> lock(mutex_);
  old = std::move(source_);
  if (!handler_) {
    lock.unlock();
    if (old) old->cancel();
    return;
  }
  if (continuous_ && !usableInterval(interval_)) {
    const std::string name = name_;
    const double interval = interval_;
    lock.unlock();
    if (old) old->cancel();
    VPKLog(1, "VPKTimer({}): refusing to start with interval {}", name, interval);
    return;
  }
  auto source = vpk::TimerSource::create(queue_);
  // The source holds the timer strongly while it runs; cancelling the source releases it.
  auto self = shared_from_this();
  source->setEventHandler([self] { self->onEvent(); });
  const double period = continuous_ ? interval_ : std::numeric_limits<double>::infinity();
  const double first = fireNow ? 0.0 : (usableInterval(interval_) ? interval_ : 0.0);
  source->schedule(first, period, leeway_);
  source_ = source;
  lock.unlock();
  if (old) old->cancel();
  source->resume();
}

void VPKTimer::onEvent() {
  Handler handler;
  vpk::TimerSourcePtr finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!continuous_) finished = std::move(source_);  // inactive inside the handler
    handler = handler_;
  }
  if (finished) finished->cancel();
  if (handler) handler(shared_from_this());
}

void VPKTimer::deactivate() {
  vpk::TimerSourcePtr old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::move(source_);
  }
  if (old) old->cancel();
}

void VPKTimer::invalidate() {
  Handler dropped;
  deactivate();
  std::lock_guard<std::mutex> lock(mutex_);
  dropped = std::move(handler_);
}

bool VPKTimer::isActive() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return source_ != nullptr;
}

bool VPKTimer::isValid() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<bool>(handler_);
}

double VPKTimer::interval() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return interval_;
}

void VPKTimer::rearmLocked() {
  if (!source_) return;
  const double period = continuous_ ? interval_ : std::numeric_limits<double>::infinity();
  source_->schedule(usableInterval(interval_) ? interval_ : 0.0, period, leeway_);
}

void VPKTimer::setInterval(double interval) {
  bool refuse = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    interval_ = interval;
    if (source_ && continuous_ && !usableInterval(interval_))
      refuse = true;
    else
      rearmLocked();
  }
  if (refuse) {
    VPKLog(1, "VPKTimer({}): refusing to start with interval {}", name(), interval);
    deactivate();
  }
}

double VPKTimer::leeway() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return leeway_;
}

void VPKTimer::setLeeway(double leeway) {
  std::lock_guard<std::mutex> lock(mutex_);
  leeway_ = leeway;
  rearmLocked();
}

bool VPKTimer::continuous() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return continuous_;
}

void VPKTimer::setContinuous(bool continuous) {
  std::lock_guard<std::mutex> lock(mutex_);
  continuous_ = continuous;
}

std::string VPKTimer::name() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return name_;
}

void VPKTimer::setName(std::string name) {
  std::lock_guard<std::mutex> lock(mutex_);
  name_ = std::move(name);
}

std::any VPKTimer::userInfo() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return userInfo_;
}

void VPKTimer::setUserInfo(std::any info) {
  std::lock_guard<std::mutex> lock(mutex_);
  userInfo_ = std::move(info);
}

VPKTimer::Handler VPKTimer::handler() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return handler_;
}

vpk::DispatchQueuePtr VPKTimer::queue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_;
}

void VPKTimer::setQueue(vpk::DispatchQueuePtr queue) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue) queue_ = std::move(queue);
}

vpk::TimerSourcePtr VPKTimer::source() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return source_;
}
