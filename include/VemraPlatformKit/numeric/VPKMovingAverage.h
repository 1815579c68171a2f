#pragma once
/// @file VPKMovingAverage.h
/// Three running averages of a stream of float values, kept at once:
///   - movingAverage(): the average of the last `period` values. While fewer than `period`
///     values have been added it equals the average of all values so far; from the
///     (period + 1)-th value on it slides, updated in single precision as
///     `average - oldest / period + newest / period`.
///   - cumulativeAverage(): the average of every value since creation or reset().
///   - exponentialAverage(): alpha * newest + (1 - alpha) * previous value (a one-step blend
///     with the previous value, not with the previous average), kept only when alpha is not
///     NaN.
///
/// A period of VPKMovingAveragePeriodUnbounded keeps no window: the moving average stays 0
/// and only the cumulative and exponential averages move. A period of 0 behaves the same
/// way (an empty window has no average).
///
/// The window grows with the values added, up to `period` slots, so a large period costs
/// memory only as values arrive. After clear() (and after decoding from an archive, which
/// carries no window) the window continues as if its last `period` values had all equalled
/// the current moving average.
///
/// A VPKMovingAverage has no lock: its owner feeds and reads it on one thread or queue. It
/// can be held by value or through the shared factories below.
///
/// Names: `averageWithPeriod:` / `initWithPeriod:` -> averageWithPeriod(n) /
/// VPKMovingAverage(n); `averageWithAlpha:period:` / `initWithAlpha:period:` ->
/// averageWithAlpha(alpha, n) / VPKMovingAverage(alpha, n); `encodeWithCoder:` /
/// `initWithCoder:` -> encodeWithCoder(coder) / createWithCoder(coder).
///
/// Keyed archiving (class "VPKMovingAverage"): "lastValue" (real), "period", "count"
/// (integers), "movingAverage", "cumulativeAverage", "exponentialAverage", "alpha" (reals).
/// The window's values are not archived: a decoded average continues as after clear(), its
/// window holding the decoded moving average in every slot. A negative period or count is
/// refused as damaged.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/values/Archivable.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

/// The period that keeps no window (the largest signed 64-bit value).
inline constexpr uint64_t VPKMovingAveragePeriodUnbounded = 9223372036854775807ULL;

class VPK_EXPORT VPKMovingAverage : public vpk::Archivable {
 public:
  using Ptr = std::shared_ptr<VPKMovingAverage>;

  /// Window of n values, no exponential average (alpha NaN), all averages 0.
  static Ptr averageWithPeriod(uint64_t n);
  /// Window of n values and blend weight alpha.
  static Ptr averageWithAlpha(float alpha, uint64_t n);
  explicit VPKMovingAverage(uint64_t period);
  VPKMovingAverage(float alpha, uint64_t period);
  ~VPKMovingAverage() override;
  VPKMovingAverage(const VPKMovingAverage&) = default;
  VPKMovingAverage& operator=(const VPKMovingAverage&) = default;

  void addValue(float value);
  /// addValue() with the number's float value.
  void addNumber(double number) { addValue(static_cast<float>(number)); }
  /// Averages and count to 0, window emptied (the next `period` values refill it from
  /// scratch); lastValue() is kept.
  void reset();
  /// Keeps averages and count; the window continues as if its last `period` values had all
  /// equalled the current moving average.
  void clear();

  /// One standard-normal random value (Box-Muller over two 32-bit random integers).
  static float randomGaussian();

  uint64_t period() const { return period_; }
  uint64_t count() const { return count_; }
  float movingAverage() const { return movingAverage_; }
  float cumulativeAverage() const { return cumulativeAverage_; }
  float exponentialAverage() const { return exponentialAverage_; }
  float alpha() const { return alpha_; }
  float lastValue() const { return lastValue_; }
  void setLastValue(float value) { lastValue_ = value; }

  std::string archiveClassName() const override { return "VPKMovingAverage"; }
  void encodeWithCoder(vpk::KeyedArchiver& coder) const override;
  /// The average decoded from the object `coder` is reading; nullptr (and the archive
  /// refused) when the archived state is damaged.
  static Ptr createWithCoder(vpk::KeyedUnarchiver& coder);

 private:
  bool keepsWindow() const { return period_ != 0 && period_ != VPKMovingAveragePeriodUnbounded; }
  void restartWindow(float fill);

  // The window: slot i holds window_[i] once written, else fill_ (0 after creation and
  // reset, the moving average after clear). next_ is the slot the next value goes to, which
  // is the oldest value's slot once the window is full.
  std::vector<float> window_;
  float fill_ = 0.0f;
  uint64_t next_ = 0;
  float movingAverage_ = 0.0f;
  float cumulativeAverage_ = 0.0f;
  float exponentialAverage_ = 0.0f;
  float lastValue_ = 0.0f;
  float alpha_;
  uint64_t period_;
  uint64_t count_ = 0;
};
