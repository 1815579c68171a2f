#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/motion/MotionSource.h>

#include <cmath>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace vpk {

namespace {

constexpr double kStandardGravity = 9.80665;

std::optional<double> readNumber(const fs::path& file) {
  std::ifstream in(file);
  double v = 0;
  if (!(in >> v) || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<double> readAxis(const fs::path& device, char axis) {
  const std::string a(1, axis);
  auto raw = readNumber(device / ("in_accel_" + a + "_raw"));
  if (!raw) return std::nullopt;
  auto scale = readNumber(device / ("in_accel_" + a + "_scale"));
  if (!scale) scale = readNumber(device / "in_accel_scale");
  if (!scale) return std::nullopt;
  return *raw * *scale / kStandardGravity;
}

std::optional<AccelerometerSample> readSample(const fs::path& device) {
  auto x = readAxis(device, 'x');
  if (!x) return std::nullopt;
  AccelerometerSample s;
  s.x = *x;
  s.y = readAxis(device, 'y').value_or(0);
  s.z = readAxis(device, 'z').value_or(0);
  s.timestamp = Clock::timestamp();
  return s;
}

}  // namespace

MotionSource::~MotionSource() = default;

std::shared_ptr<MotionSource> MotionSource::createDefault() {
  if (auto iio = IIOMotionSource::find()) return iio;
  return std::make_shared<ScriptedMotionSource>();
}

// ---- IIO ----

std::shared_ptr<IIOMotionSource> IIOMotionSource::find(const fs::path& devicesRoot) {
  std::error_code ec;
  for (fs::directory_iterator it(devicesRoot, ec), end; !ec && it != end; it.increment(ec)) {
    if (fs::exists(it->path() / "in_accel_x_raw", ec)) return std::make_shared<IIOMotionSource>(it->path());
  }
  return nullptr;
}

IIOMotionSource::IIOMotionSource(fs::path device) : device_(std::move(device)) {}

IIOMotionSource::~IIOMotionSource() { stop(); }

bool IIOMotionSource::isAvailable() const { return read().has_value(); }

std::optional<AccelerometerSample> IIOMotionSource::read() const { return readSample(device_); }

void IIOMotionSource::start(double interval, DispatchQueuePtr queue, Handler handler) {
  stop();
  if (!handler) return;
  auto timer = TimerSource::create(std::move(queue));
  timer->setEventHandler([device = device_, handler = std::move(handler)] {
    if (auto sample = readSample(device)) handler(*sample);
  });
  timer->schedule(interval, interval > 0 ? interval : 1.0, interval * 0.1);
  std::lock_guard lock(mutex_);
  timer_ = timer;
  timer_->resume();
}

void IIOMotionSource::stop() {
  TimerSourcePtr timer;
  {
    std::lock_guard lock(mutex_);
    timer.swap(timer_);
  }
  if (timer) timer->cancel();
}

bool IIOMotionSource::isActive() const {
  std::lock_guard lock(mutex_);
  return timer_ != nullptr;
}

// ---- scripted ----

void ScriptedMotionSource::start(double interval, DispatchQueuePtr queue, Handler handler) {
  std::lock_guard lock(mutex_);
  interval_ = interval;
  queue_ = queue ? std::move(queue) : DispatchQueue::createSerial("vpk.motion.scripted");
  handler_ = handler ? std::make_shared<Handler>(std::move(handler)) : nullptr;
}

void ScriptedMotionSource::stop() {
  std::lock_guard lock(mutex_);
  handler_.reset();
}

bool ScriptedMotionSource::isActive() const {
  std::lock_guard lock(mutex_);
  return handler_ != nullptr;
}

double ScriptedMotionSource::interval() const {
  std::lock_guard lock(mutex_);
  return interval_;
}

void ScriptedMotionSource::inject(AccelerometerSample sample) {
  if (sample.timestamp == 0) sample.timestamp = Clock::timestamp();
  std::lock_guard lock(mutex_);
  if (!handler_) return;
  // The delivery checks again that this handler is still the active one, so that nothing
  // arrives after stop().
  std::weak_ptr<Handler> weak = handler_;
  queue_->async([this, weak, sample] {
    auto handler = weak.lock();
    if (!handler) return;
    {
      std::lock_guard lock(mutex_);
      if (handler_ != handler) return;
    }
    (*handler)(sample);
  });
}

}  // namespace vpk
