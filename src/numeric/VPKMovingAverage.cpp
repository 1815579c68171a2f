#include <VemraPlatformKit/numeric/VPKMovingAverage.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>

namespace {
// Slots reserved up front; a longer window grows as its values arrive.
constexpr uint64_t kReservedSlots = 1024;
}  // namespace

VPKMovingAverage::Ptr VPKMovingAverage::averageWithPeriod(uint64_t n) { return std::make_shared<VPKMovingAverage>(n); }

VPKMovingAverage::Ptr VPKMovingAverage::averageWithAlpha(float alpha, uint64_t n) {
  return std::make_shared<VPKMovingAverage>(alpha, n);
}

VPKMovingAverage::VPKMovingAverage(uint64_t period)
    : VPKMovingAverage(std::numeric_limits<float>::quiet_NaN(), period) {}

VPKMovingAverage::VPKMovingAverage(float alpha, uint64_t period) : alpha_(alpha), period_(period) {
  if (keepsWindow()) window_.reserve(std::min(period_, kReservedSlots));
}

VPKMovingAverage::~VPKMovingAverage() = default;

void VPKMovingAverage::restartWindow(float fill) {
  window_.clear();
  fill_ = fill;
  next_ = 0;
}

void VPKMovingAverage::addValue(float x) {
  bool filling = true;
  if (keepsWindow()) {
    const float old = next_ < window_.size() ? window_[next_] : fill_;
    if (next_ < window_.size())
      window_[next_] = x;
    else
      window_.push_back(x);  // next_ == window_.size(): slots are written in order
    next_ = next_ + 1 == period_ ? 0 : next_ + 1;
    if (count_ >= period_) {
      const float p = static_cast<float>(period_);
      movingAverage_ = movingAverage_ - old / p + x / p;
      filling = false;
    }
  }
  if (!std::isnan(alpha_)) {
    const double a = alpha_;
    exponentialAverage_ = static_cast<float>(a * x + (1.0 - a) * lastValue_);
  }
  count_ += 1;
  cumulativeAverage_ = cumulativeAverage_ + (x - cumulativeAverage_) / static_cast<float>(count_);
  if (filling && keepsWindow()) movingAverage_ = cumulativeAverage_;
  lastValue_ = x;
}

void VPKMovingAverage::reset() {
  movingAverage_ = 0.0f;
  cumulativeAverage_ = 0.0f;
  exponentialAverage_ = 0.0f;
  count_ = 0;
  restartWindow(0.0f);
}

void VPKMovingAverage::clear() { restartWindow(movingAverage_); }

float VPKMovingAverage::randomGaussian() {
  thread_local std::mt19937 generator{std::random_device{}()};
  uint32_t r1 = 0;
  while (r1 == 0) r1 = static_cast<uint32_t>(generator());  // log(0) would give infinity
  const uint32_t r2 = static_cast<uint32_t>(generator());
  const double u1 = r1 / 4294967295.0;
  const double u2 = r2 / 4294967295.0;
  return static_cast<float>(std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2));
}

// ==================================================================== keyed archiving

void VPKMovingAverage::encodeWithCoder(vpk::KeyedArchiver& coder) const {
  coder.encodeFloat("lastValue", lastValue_);
  coder.encodeInt("period", static_cast<int64_t>(period_));
  coder.encodeInt("count", static_cast<int64_t>(count_));
  coder.encodeFloat("movingAverage", movingAverage_);
  coder.encodeFloat("cumulativeAverage", cumulativeAverage_);
  coder.encodeFloat("exponentialAverage", exponentialAverage_);
  coder.encodeFloat("alpha", alpha_);
}

VPKMovingAverage::Ptr VPKMovingAverage::createWithCoder(vpk::KeyedUnarchiver& coder) {
  const float lastValue = coder.decodeFloat("lastValue");
  const int64_t period = coder.decodeInt("period");
  const int64_t count = coder.decodeInt("count");
  if (period < 0 || count < 0) {
    coder.refuse(fmt::format("VPKMovingAverage with period {} and count {}", period, count));
    return nullptr;
  }
  auto average = averageWithAlpha(coder.decodeFloat("alpha"), static_cast<uint64_t>(period));
  average->lastValue_ = lastValue;
  average->count_ = static_cast<uint64_t>(count);
  average->movingAverage_ = coder.decodeFloat("movingAverage");
  average->cumulativeAverage_ = coder.decodeFloat("cumulativeAverage");
  average->exponentialAverage_ = coder.decodeFloat("exponentialAverage");
  average->restartWindow(average->movingAverage_);
  return average;
}

namespace {
const bool kMovingAverageRegistered =
    vpk::registerArchivableClass("VPKMovingAverage", {"VPKMovingAverage", "NSObject"},
                                 [](vpk::KeyedUnarchiver& coder) -> std::shared_ptr<vpk::Archivable> {
                                   return VPKMovingAverage::createWithCoder(coder);
                                 });
}  // namespace
