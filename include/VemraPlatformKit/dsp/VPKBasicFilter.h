#pragma once
/// @file VPKBasicFilter.h
/// One second-order (biquad) section designed from a type, a centre frequency or a
/// band, a sampling rate and a quality factor.
///
/// The design is computed once, in double precision; the state (x[n-1], x[n-2],
/// y[n-1], y[n-2]) and the samples are single precision. Each output is
///   y[n] = b0 x[n] + b1 x[n-1] + b2 x[n-2] - a1 y[n-1] - a2 y[n-2]
/// summed in double precision and stored as float.
///
/// Names: `initWithType:centerFrequency:samplingRate:qFactor:`,
/// `initWithType:samplingRate:range:` and `initWithType:samplingRate:range:qFactor:` are
/// the three constructors (and the matching `create` factories); `copyWithZone:` is
/// `copy()`; `isEqual:` and `hash` keep their names.

#include <VemraPlatformKit/dsp/VPKFilter.h>

#include <array>

/// Design of a basic filter. Values other than these leave every coefficient at
/// zero, so the filter outputs zeros.
enum VPKFilterType : std::uint64_t {
  VPKFilterTypeNotch = 0,           ///< band-stop at the centre frequency
  VPKFilterTypeBandpass = 1,        ///< band-pass with 0 dB gain at the centre
  VPKFilterTypeLowpass = 2,         ///< low-pass with its corner at the centre
  VPKFilterTypeHighpass = 3,        ///< high-pass with its corner at the centre
  VPKFilterTypeBandpassQPeak = 4,   ///< band-pass whose peak gain equals Q
  VPKFilterTypeAllPass = 5,         ///< all-pass (changes the phase only)
};

namespace vpk::detail {
struct BiquadSection;  // the library's internal form of one section's design and state
}  // namespace vpk::detail

class VPK_EXPORT VPKBasicFilter : public VPKFilter {
 public:
  /// A section at centre frequency `centerFrequency` for `samplingRate` samples per
  /// second. A `qFactor` of exactly 0 means `VPKButterworthQFactor`.
  VPKBasicFilter(VPKFilterType type, float centerFrequency, float samplingRate, float qFactor);
  /// A section for a band: centre sqrt(min * max) rounded to the nearest whole
  /// number (halves away from zero), Q = centre / (max - min) with that centre.
  VPKBasicFilter(VPKFilterType type, float samplingRate, VPKFrequencyRange range);
  /// A section for a band with a given Q: centre sqrt(min * max), not rounded.
  VPKBasicFilter(VPKFilterType type, float samplingRate, VPKFrequencyRange range, float qFactor);

  static std::shared_ptr<VPKBasicFilter> create(VPKFilterType type, float centerFrequency,
                                                float samplingRate, float qFactor);
  static std::shared_ptr<VPKBasicFilter> create(VPKFilterType type, float samplingRate,
                                                VPKFrequencyRange range);
  static std::shared_ptr<VPKBasicFilter> create(VPKFilterType type, float samplingRate,
                                                VPKFrequencyRange range, float qFactor);

  /// Recomputes the coefficients from the stored design. A design that yields
  /// non-finite coefficients (a sampling rate of 0, a NaN band) is logged and left
  /// with all coefficients at zero, so the filter outputs zeros instead of NaN.
  void setup();

  void filter(float* values, std::size_t length) override;

  /// Range-based: a new filter for the same type and band at `rate` (its Q is
  /// recomputed from the band); otherwise the same type, centre and Q at `rate`.
  /// The new filter starts with zero state.
  std::shared_ptr<VPKFilter> filterWithSamplingRate(std::uint64_t rate) const override;

  /// Zeroes the state.
  void reset() override;

  /// A new filter with the same design and the same state.
  std::shared_ptr<VPKBasicFilter> copy() const;

  /// True for the same object, or a basic filter of the same type whose sampling
  /// rate, Q and centre frequency each differ by less than 1.1920929e-7. The band of
  /// a range-based filter is not compared.
  bool isEqual(const VPKFilter& other) const override;
  /// `type` XOR a constant of the class.
  std::size_t hash() const override;

  /// sqrt(min * max) / (max - min), not bounded below.
  static float calculateQFactorForSamplingRate(std::uint64_t rate, VPKFrequencyRange range);

  VPKFilterType type() const { return type_; }
  float centerFrequency() const { return centerFrequency_; }
  float qFactor() const { return qFactor_; }
  float samplingRate() const { return samplingRate_; }
  bool isRangeBased() const { return isRangeBased_; }
  /// The band of a range-based filter; both ends NaN otherwise.
  VPKFrequencyRange range() const { return range_; }
  /// b0, b1, b2, a1, a2, already divided by a0.
  const std::array<double, 5>& coefficients() const { return coefficients_; }
  /// x[n-1], x[n-2], y[n-1], y[n-2].
  const std::array<float, 4>& delay() const { return delay_; }

 protected:
  std::shared_ptr<VPKFilter> copyFilter() const override;

 private:
  friend class VPKCompoundFilter;  // runs consecutive sections sample by sample

  vpk::detail::BiquadSection section() const;
  void setState(const vpk::detail::BiquadSection& s);

  VPKFilterType type_;
  float centerFrequency_;
  float samplingRate_;
  float qFactor_;
  bool isRangeBased_ = false;
  VPKFrequencyRange range_;
  std::array<double, 5> coefficients_{};
  std::array<float, 4> delay_{};
};
