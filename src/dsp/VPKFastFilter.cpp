#include <VemraPlatformKit/dsp/VPKFastFilter.h>

std::shared_ptr<VPKFastFilter> VPKFastFilter::create() { return std::make_shared<VPKFastFilter>(); }

void VPKFastFilter::filter(float* values, std::size_t length) {
  const float m0 = m0_;
  const float a = 1.0f - m1_;
  float x = x_;
  float y = y_;
  if (a > 0.0f) {
    // Both stages in one pass: each smoother step needs only the DC blocker's
    // output for the same value, so the result equals two passes.
    const double da = a;
    const double keep = 1.0 - da;
    float sy = sy_;
    for (std::size_t i = 0; i < length; ++i) {
      const float v = values[i];
      y = (v - x) + m0 * y;
      x = v;
      sy = static_cast<float>(keep * sy + da * y);
      values[i] = sy;
    }
    sy_ = sy;
  } else {
    for (std::size_t i = 0; i < length; ++i) {
      const float v = values[i];
      y = (v - x) + m0 * y;
      x = v;
      values[i] = y;
    }
  }
  x_ = x;
  y_ = y;
}

void VPKFastFilter::reset() {
  sy_ = 0.0f;
  y_ = 0.0f;
  x_ = 0.0f;
}

std::shared_ptr<VPKFilter> VPKFastFilter::filterWithSamplingRate(std::uint64_t /*rate*/) const {
  return copy();
}

std::shared_ptr<VPKFastFilter> VPKFastFilter::copy() const {
  return std::make_shared<VPKFastFilter>(*this);
}

std::shared_ptr<VPKFilter> VPKFastFilter::copyFilter() const { return copy(); }
