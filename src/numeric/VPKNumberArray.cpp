#include <VemraPlatformKit/numeric/VPKNumberArray.h>

#include "numeric/FloatMath.h"

#include <algorithm>

// ==================================================================== conversions

VPKNumberArray VPKNumberArray::arrayWithFloats(const float* floats, size_t n) {
  std::vector<double> values(n);
  for (size_t i = 0; i < n; ++i) values[i] = static_cast<double>(floats[i]);
  return VPKNumberArray(std::move(values));
}

VPKNumberArray VPKNumberArray::arrayWithDoubles(const double* doubles, size_t n) {
  return VPKNumberArray(std::vector<double>(doubles, doubles + n));
}

float* VPKNumberArray::createFloatArray() const {
  float* result = vpk::detail::allocateArray<float>(values_.size());
  if (result) getFloatArray(result);
  return result;
}

float* VPKNumberArray::createSortedFloatArray() const {
  float* result = createFloatArray();
  if (result) vpk::detail::sortNaNsLast(result, result + values_.size());
  return result;
}

double* VPKNumberArray::createDoubleArray() const {
  double* result = vpk::detail::allocateArray<double>(values_.size());
  for (size_t i = 0; i < values_.size(); ++i) result[i] = static_cast<double>(floatValueAt(i));
  return result;
}

void VPKNumberArray::getFloatArray(float* dest) const {
  for (size_t i = 0; i < values_.size(); ++i) dest[i] = floatValueAt(i);
}
