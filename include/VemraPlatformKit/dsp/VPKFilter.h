#pragma once
/// @file VPKFilter.h
/// The streaming filter interface shared by every filter of the library, the
/// quality-factor constants and the headband's sampling rate.
///
/// A filter keeps its state between calls, so consecutive blocks of one signal are
/// filtered as one continuous stream; each channel therefore owns its own filter
/// (make one per channel with `copy()`). A filter object has no lock: one thread at a
/// time may use it (the analyzer uses its filters only on its processing thread).
///
/// Filters are held by `std::shared_ptr`; `copy()` and `filterWithSamplingRate()`
/// return new objects owned by the caller.
///
/// Names: `filter:length:` is `filter(values, n)`; `filteredArray:` and
/// `filteredArray:inRange:` are the two `filteredArray` overloads; `filteredValue:` is
/// `filteredValue`; `calculateQFactorForSamplingRate:inRange:` is the static
/// `calculateQFactorForSamplingRate(rate, range)`. Arrays of numbers are
/// `VPKNumberArray`s; plain float data can also be passed as a span of floats, which
/// returns a vector of floats.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/numeric/VPKFloatBuffer.h>
#include <VemraPlatformKit/numeric/VPKNumberArray.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

/// Quality factor of a Butterworth section, 1/sqrt(2).
inline constexpr float VPKButterworthQFactor = 0.70710677f;
/// Quality factor of a Bessel section, 1/sqrt(3).
inline constexpr float VPKBesselQFactor = 0.57735026f;
/// Quality factor of a critically damped section.
inline constexpr float VPKCriticalQFactor = 0.5f;
/// Samples per second of each headband channel.
inline constexpr std::uint64_t VPKDefaultSamplingRate = 250;

/// A band of frequencies in Hz.
struct VPKFrequencyRange {
  float min;
  float max;
};

/// Abstract streaming filter over 32-bit float samples.
class VPK_EXPORT VPKFilter {
 public:
  virtual ~VPKFilter();

  /// Filters `length` values in place, continuing from the filter's state.
  /// Never allocates for blocks of up to 255 values.
  virtual void filter(float* values, std::size_t length) = 0;

  /// Returns the values filtered as one block (the state advances), as float numbers.
  VPKNumberArray filteredArray(const VPKNumberArray& values);
  std::vector<float> filteredArray(std::span<const float> values);

  /// Returns a copy of `values` in which only [location, location + length) is
  /// replaced by that range filtered as one block (the state advances). A range
  /// reaching past the end is cut at the end; one starting past it filters nothing.
  VPKNumberArray filteredArray(const VPKNumberArray& values, std::size_t location,
                               std::size_t length);
  std::vector<float> filteredArray(std::span<const float> values, std::size_t location,
                                   std::size_t length);

  /// Returns a new immutable buffer holding `buffer`'s values filtered as one block
  /// (the state advances); `buffer` is not changed.
  std::shared_ptr<VPKFloatBuffer> filteredFloatBuffer(const VPKFloatBuffer& buffer);

  /// Filters one value (the state advances) and returns the result.
  float filteredValue(float value);

  /// A new filter of the same design for another sampling rate (see each class).
  virtual std::shared_ptr<VPKFilter> filterWithSamplingRate(std::uint64_t rate) const = 0;

  /// Clears the state: the next block is filtered as the start of a new signal.
  virtual void reset() = 0;

  /// A new filter of the same class, design and state.
  std::shared_ptr<VPKFilter> copy() const { return copyFilter(); }

  /// Equality of designs; by default the identity of the objects.
  virtual bool isEqual(const VPKFilter& other) const;
  /// A hash consistent with `isEqual` within one process.
  virtual std::size_t hash() const;

  /// sqrt(min * max) / (max - min) for `range`, but never less than 0.5 (the
  /// chains, the fast filter and the FIR filter use this; the basic filter returns
  /// the quotient unbounded). The rate does not enter the result.
  static float calculateQFactorForSamplingRate(std::uint64_t rate, VPKFrequencyRange range);

 protected:
  VPKFilter() = default;
  VPKFilter(const VPKFilter&) = default;
  VPKFilter& operator=(const VPKFilter&) = default;

  virtual std::shared_ptr<VPKFilter> copyFilter() const = 0;
};
