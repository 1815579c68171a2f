#pragma once
// Single-precision kernels shared by the float buffer, the statistics functions and the
// number arrays. Sums run in index order in float, so results are those of float arithmetic
// (and the same on every machine), not of a wider accumulator rounded at the end.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>

namespace vpk::detail {

inline float sumFloat(const float* x, size_t n) {
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) sum += x[i];
  return sum;
}

/// Σ / n in float; 0 for n = 0.
inline float meanFloat(const float* x, size_t n) {
  if (n == 0) return 0.0f;
  return sumFloat(x, n) / static_cast<float>(n);
}

/// √(Σ (x − m)² / n) in float; 0 for n = 0.
inline float deviationFloat(const float* x, size_t n, float m) {
  if (n == 0) return 0.0f;
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    const float d = x[i] - m;
    sum += d * d;
  }
  return std::sqrt(sum / static_cast<float>(n));
}

/// Moves NaNs behind the numbers and returns the end of the numbers.
template <class T>
T* partitionNaNsLast(T* first, T* last) {
  return std::partition(first, last, [](T v) { return !std::isnan(v); });
}

/// Sorts ascending with NaNs last (a strict order even when NaNs are present).
template <class T>
void sortNaNsLast(T* first, T* last) {
  T* numbers = partitionNaNsLast(first, last);
  std::sort(first, numbers);
}

/// std::malloc of n floats (or doubles), throwing std::bad_alloc when the size does not fit;
/// nullptr for n = 0.
template <class T>
T* allocateArray(size_t n) {
  if (n == 0) return nullptr;
  if (n > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_alloc();
  auto* p = static_cast<T*>(std::malloc(n * sizeof(T)));
  if (!p) throw std::bad_alloc();
  return p;
}

template <class T>
T* allocateZeroedArray(size_t n) {
  if (n == 0) return nullptr;
  auto* p = static_cast<T*>(std::calloc(n, sizeof(T)));
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace vpk::detail
