#pragma once
/// @file VPKNumberArray.h
/// An ordered array of numbers with numeric helpers: conversions to and from plain float
/// arrays, simple statistics, line simplification (Douglas-Peucker), cascade smoothing and
/// the dade series, and cyclic inserts.
///
/// Elements are stored as doubles. A number made from a float keeps its exact value (a float
/// widens to double without loss), so an element has both a float value (`float(x)`) and a
/// double value (`x`); every helper works on the float values, in single precision, unless
/// it says otherwise. The filters convert between number arrays and float arrays with
/// arrayWithFloats() and createFloatArray().
///
/// Arrays returned by the create... operations belong to the caller and are released with
/// std::free(); like VPKFloatBuffer::createFloatArray() they may be adopted by
/// VPKFloatBuffer::createWithFloats(values, n, false). An empty array gives nullptr.
///
/// A VPKNumberArray is a plain value (copyable, no identity); it has no lock.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/numeric/VPKPoint.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

/// A set of indexes: ascending and without repeats.
using VPKIndexSet = std::vector<uint64_t>;

class VPK_EXPORT VPKNumberArray {
 public:
  VPKNumberArray() = default;
  VPKNumberArray(std::vector<double> values) : values_(std::move(values)) {}  // NOLINT: implicit by design
  VPKNumberArray(std::initializer_list<double> values) : values_(values) {}

  /// n float numbers.
  static VPKNumberArray arrayWithFloats(const float* floats, size_t n);
  /// n double numbers.
  static VPKNumberArray arrayWithDoubles(const double* doubles, size_t n);

  // ------------------------------------------------------------------ elements

  size_t count() const { return values_.size(); }
  bool empty() const { return values_.empty(); }
  double operator[](size_t index) const { return values_[index]; }
  double& operator[](size_t index) { return values_[index]; }
  float floatValueAt(size_t index) const { return static_cast<float>(values_[index]); }
  const std::vector<double>& values() const { return values_; }
  std::vector<double>& values() { return values_; }
  auto begin() const { return values_.begin(); }
  auto end() const { return values_.end(); }
  friend bool operator==(const VPKNumberArray&, const VPKNumberArray&) = default;

  // ------------------------------------------------------------------ conversions

  /// The float values in order (caller frees); nullptr when empty.
  float* createFloatArray() const;
  /// The float values sorted ascending, NaNs last (caller frees); nullptr when empty.
  float* createSortedFloatArray() const;
  /// The float values widened to double (caller frees); nullptr when empty.
  double* createDoubleArray() const;
  /// Writes the count float values into dest.
  void getFloatArray(float* dest) const;

  // ------------------------------------------------------------------ statistics

  /// Sum / count in single precision; 0 when empty or as soon as an element is NaN.
  float meanFloatValue() const;
  /// The same over the double values, in double precision.
  double meanDoubleValue() const;
  /// Sum in single precision, in order; 0 when empty.
  float sumFloatValue() const;
  /// Smallest float value; 0 when empty.
  float minFloatValue() const;
  /// Largest float value; 0 when empty.
  float maxFloatValue() const;
  /// The element at floor(count / 2) of the sorted float values (upper median); the element
  /// itself for one element; 0 when empty.
  float medianFloatValue() const;
  /// The element at floor(count / 2) of sortedArray(); none when empty.
  std::optional<double> median() const;
  /// Sorted ascending by value (NaNs last, stable).
  VPKNumberArray sortedArray() const;
  /// (max - min) / max over the float values, in single precision.
  float extremaRange() const;
  bool containsNaNs() const;
  /// Population standard deviation of the float values (vpk_sdev); 0 when empty.
  float standardDeviation() const;
  /// standardDeviation() squared; 0 when empty.
  float variance() const;
  /// Not provided: always none.
  std::optional<VPKNumberArray> decibels() const { return std::nullopt; }

  // ------------------------------------------------------------------ line simplification

  /// One point per element: x = index / (count - 1) (0 for one element), y = the float value,
  /// or 0 for NaN and infinities.
  std::vector<VPKPoint> normalizedIndexPoints() const;
  /// Indexes of the points to keep for `tolerance`, ascending: every index for fewer than 4
  /// points, otherwise the first, the last, and those the recursive step keeps.
  static VPKIndexSet douglasPeuckerReduction(std::span<const VPKPoint> points, double tolerance);
  /// The recursive step: ascending indexes kept strictly between first and last.
  static VPKIndexSet douglasPeuckerReduction(std::span<const VPKPoint> points, uint64_t first, uint64_t last,
                                             double tolerance);
  /// Distance of p from the line through a and b (from a when a and b coincide).
  static double douglasPeuckerDistanceOf(VPKPoint p, VPKPoint a, VPKPoint b);
  /// douglasPeuckerReduction() of normalizedIndexPoints() with tolerance 0.05.
  VPKIndexSet douglasPeuckerChain() const;
  /// The elements at the indexes kept for normalizedIndexPoints() with `tolerance`.
  VPKNumberArray douglasPeuckerReduction(float tolerance) const;

  // ------------------------------------------------------------------ smoothing, dade series

  /// A copy smoothed by the moving-average cascade of periods n*theta, (n-1)*theta, ...,
  /// theta (steps with a period below 1 leave the values as they are); n < 1 changes nothing.
  VPKNumberArray reduce(int64_t n, int64_t theta) const;
  /// The cascade with chunk levelling by b (see docs/numeric.md); float numbers.
  VPKNumberArray dadeLund(int64_t n, int64_t theta, float b) const;
  /// |x - M| for every element, M the element at floor(count / 2) of sortedArray(); none for
  /// fewer than two elements.
  std::optional<VPKNumberArray> mad() const;
  /// Same as mad().
  std::optional<VPKNumberArray> dadeLund() const { return mad(); }
  /// dadeLund(4, 2, 0.5) levelled at the median of its values at douglasPeuckerChain().
  VPKNumberArray dadeLundSeries() const;

  // ------------------------------------------------------------------ mutable operations

  /// Replaces the contents by n copies of value.
  void set(double value, size_t n);
  void setNumber(double value, size_t n) { set(value, n); }
  /// Appends value, then removes the first element (the length stays the same).
  void cyclicInsertObject(double value);
  void cyclicInsertFloat(float value) { cyclicInsertObject(static_cast<double>(value)); }
  /// For m > 0 new elements: removes the first min(m, count) elements, then appends all m.
  void cyclicInsertObjectsFromArray(const VPKNumberArray& other);
  /// Sorts in place, ascending (NaNs last).
  void sort();

 private:
  std::vector<double> values_;
};
