#pragma once
/// @file VPKNumberArray.h
/// An ordered array of numbers with numeric helpers: conversions to and from plain float
/// arrays.
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

 private:
  std::vector<double> values_;
};
