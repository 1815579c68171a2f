#pragma once
/// @file VPKFastFilter.h
/// A two-stage filter: a first-order DC blocker followed by a first-order smoother.
///
/// For each value v:  y = (v - x) + m0 * y;  x = v;  then, when a = 1 - m1 is
/// greater than 0,  sy = (1 - a) * sy + a * y  (in double precision, stored as float)
/// and the value becomes sy; otherwise it becomes y.
///
/// All five numbers are read-write: `m0` (pole of the DC blocker, 0.975 by default),
/// `m1` (smoothing weight, 0.9 by default) and the state `y`, `x`, `sy`.

#include <VemraPlatformKit/dsp/VPKFilter.h>

class VPK_EXPORT VPKFastFilter : public VPKFilter {
 public:
  VPKFastFilter() = default;
  static std::shared_ptr<VPKFastFilter> create();

  void filter(float* values, std::size_t length) override;
  /// Zeroes `y`, `x` and `sy`; keeps `m0` and `m1`.
  void reset() override;
  /// A copy (with state): the filter does not depend on the sampling rate.
  std::shared_ptr<VPKFilter> filterWithSamplingRate(std::uint64_t rate) const override;
  /// A new filter with the same `m0`, `m1` and state.
  std::shared_ptr<VPKFastFilter> copy() const;

  float m0() const { return m0_; }
  void setM0(float v) { m0_ = v; }
  float m1() const { return m1_; }
  void setM1(float v) { m1_ = v; }
  float y() const { return y_; }
  void setY(float v) { y_ = v; }
  float x() const { return x_; }
  void setX(float v) { x_ = v; }
  float sy() const { return sy_; }
  void setSy(float v) { sy_ = v; }

 protected:
  std::shared_ptr<VPKFilter> copyFilter() const override;

 private:
  float m0_ = 0.975f;
  float m1_ = 0.9f;
  float y_ = 0.0f;
  float x_ = 0.0f;
  float sy_ = 0.0f;
};
