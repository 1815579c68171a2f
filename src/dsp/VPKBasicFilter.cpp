#include <VemraPlatformKit/dsp/VPKBasicFilter.h>

#include <VemraPlatformKit/frame/VPKLog.h>

#include "dsp/BiquadSection.h"
#include "dsp/StringHash.h"

#include <cfloat>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

constexpr VPKFrequencyRange kNoRange{std::numeric_limits<float>::quiet_NaN(),
                                     std::numeric_limits<float>::quiet_NaN()};

float usableQ(float q) { return q == 0.0f ? VPKButterworthQFactor : q; }

}  // namespace

VPKBasicFilter::VPKBasicFilter(VPKFilterType type, float centerFrequency, float samplingRate,
                               float qFactor)
    : type_(type),
      centerFrequency_(centerFrequency),
      samplingRate_(samplingRate),
      qFactor_(usableQ(qFactor)),
      range_(kNoRange) {
  setup();
}

VPKBasicFilter::VPKBasicFilter(VPKFilterType type, float samplingRate, VPKFrequencyRange range)
    : type_(type), samplingRate_(samplingRate), isRangeBased_(true), range_(range) {
  centerFrequency_ = std::round(std::sqrt(range.min * range.max));
  qFactor_ = usableQ(centerFrequency_ / (range.max - range.min));
  setup();
}

VPKBasicFilter::VPKBasicFilter(VPKFilterType type, float samplingRate, VPKFrequencyRange range,
                               float qFactor)
    : type_(type),
      centerFrequency_(std::sqrt(range.min * range.max)),
      samplingRate_(samplingRate),
      qFactor_(usableQ(qFactor)),
      isRangeBased_(true),
      range_(range) {
  setup();
}

std::shared_ptr<VPKBasicFilter> VPKBasicFilter::create(VPKFilterType type, float centerFrequency,
                                                       float samplingRate, float qFactor) {
  return std::make_shared<VPKBasicFilter>(type, centerFrequency, samplingRate, qFactor);
}

std::shared_ptr<VPKBasicFilter> VPKBasicFilter::create(VPKFilterType type, float samplingRate,
                                                       VPKFrequencyRange range) {
  return std::make_shared<VPKBasicFilter>(type, samplingRate, range);
}

std::shared_ptr<VPKBasicFilter> VPKBasicFilter::create(VPKFilterType type, float samplingRate,
                                                       VPKFrequencyRange range, float qFactor) {
  return std::make_shared<VPKBasicFilter>(type, samplingRate, range, qFactor);
}

void VPKBasicFilter::setup() {
  const double w0 = 2.0 * std::numbers::pi * static_cast<double>(centerFrequency_) /
                    static_cast<double>(samplingRate_);
  const double s = std::sin(w0);
  const double c = std::cos(w0);
  const float twoQ = qFactor_ + qFactor_;
  const double alpha = s / static_cast<double>(twoQ);
  const double a0 = 1.0 + alpha;
  const double a1 = -2.0 * c / a0;
  const double a2 = (1.0 - alpha) / a0;
  const double q = qFactor_;

  coefficients_ = {};
  switch (type_) {
    case VPKFilterTypeNotch:
      coefficients_ = {1.0 / a0, -2.0 * c / a0, 1.0 / a0, a1, a2};
      break;
    case VPKFilterTypeBandpass:
      coefficients_ = {alpha / a0, 0.0, -alpha / a0, a1, a2};
      break;
    case VPKFilterTypeLowpass:
      coefficients_ = {(1.0 - c) / 2.0 / a0, (1.0 - c) / a0, (1.0 - c) / 2.0 / a0, a1, a2};
      break;
    case VPKFilterTypeHighpass:
      coefficients_ = {(1.0 + c) / 2.0 / a0, -(1.0 + c) / a0, (1.0 + c) / 2.0 / a0, a1, a2};
      break;
    case VPKFilterTypeBandpassQPeak:
      coefficients_ = {q * alpha / a0, 0.0, -q * alpha / a0, a1, a2};
      break;
    case VPKFilterTypeAllPass:
      coefficients_ = {(1.0 - alpha) / a0, -2.0 * c / a0, 1.0, a1, a2};
      break;
    default:
      return;
  }
  for (double v : coefficients_) {
    if (!std::isfinite(v)) {
      VPKLog(1, "VPKBasicFilter: type {} at {} Hz, rate {}, Q {} has no usable design; it outputs zeros",
             static_cast<std::uint64_t>(type_), centerFrequency_, samplingRate_, qFactor_);
      coefficients_ = {};
      return;
    }
  }
}

vpk::detail::BiquadSection VPKBasicFilter::section() const {
  const auto& c = coefficients_;
  return {c[0], c[1], c[2], c[3], c[4], delay_[0], delay_[1], delay_[2], delay_[3]};
}

void VPKBasicFilter::setState(const vpk::detail::BiquadSection& s) { delay_ = {s.x1, s.x2, s.y1, s.y2}; }

void VPKBasicFilter::filter(float* values, std::size_t length) {
  vpk::detail::BiquadSection s = section();
  for (std::size_t n = 0; n < length; ++n) values[n] = s.step(values[n]);
  setState(s);
}

std::shared_ptr<VPKFilter> VPKBasicFilter::filterWithSamplingRate(std::uint64_t rate) const {
  const auto fs = static_cast<float>(rate);
  if (isRangeBased_) return create(type_, fs, range_);
  return create(type_, centerFrequency_, fs, qFactor_);
}

void VPKBasicFilter::reset() { delay_ = {}; }

std::shared_ptr<VPKBasicFilter> VPKBasicFilter::copy() const {
  return std::make_shared<VPKBasicFilter>(*this);
}

std::shared_ptr<VPKFilter> VPKBasicFilter::copyFilter() const { return copy(); }

bool VPKBasicFilter::isEqual(const VPKFilter& other) const {
  if (this == &other) return true;
  const auto* o = dynamic_cast<const VPKBasicFilter*>(&other);
  if (o == nullptr || o->type_ != type_) return false;
  return std::fabs(o->samplingRate_ - samplingRate_) < FLT_EPSILON &&
         std::fabs(o->qFactor_ - qFactor_) < FLT_EPSILON &&
         std::fabs(o->centerFrequency_ - centerFrequency_) < FLT_EPSILON;
}

std::size_t VPKBasicFilter::hash() const {
  static const std::size_t classHash = vpk::detail::stringHash("__VPKBasicFilter_HASH__");
  return static_cast<std::size_t>(type_) ^ classHash;
}

float VPKBasicFilter::calculateQFactorForSamplingRate(std::uint64_t /*rate*/,
                                                      VPKFrequencyRange range) {
  return std::sqrt(range.min * range.max) / (range.max - range.min);
}
