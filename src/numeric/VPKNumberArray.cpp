#include <VemraPlatformKit/numeric/VPKNumberArray.h>

#include <VemraPlatformKit/numeric/VPKMovingAverage.h>
#include <VemraPlatformKit/numeric/VPKStatistics.h>

#include "numeric/FloatMath.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

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

// ==================================================================== statistics

float VPKNumberArray::meanFloatValue() const {
  if (values_.empty()) return 0.0f;
  float sum = 0.0f;
  for (size_t i = 0; i < values_.size(); ++i) {
    const float v = floatValueAt(i);
    if (std::isnan(v)) return 0.0f;
    sum += v;
  }
  return sum / static_cast<float>(values_.size());
}

double VPKNumberArray::meanDoubleValue() const {
  if (values_.empty()) return 0.0;
  double sum = 0.0;
  for (double v : values_) {
    if (std::isnan(v)) return 0.0;
    sum += v;
  }
  return sum / static_cast<double>(values_.size());
}

float VPKNumberArray::sumFloatValue() const {
  float sum = 0.0f;
  for (size_t i = 0; i < values_.size(); ++i) sum += floatValueAt(i);
  return sum;
}

float VPKNumberArray::minFloatValue() const {
  if (values_.empty()) return 0.0f;
  float lo = std::numeric_limits<float>::max();
  for (size_t i = 0; i < values_.size(); ++i) {
    const float v = floatValueAt(i);
    lo = v < lo ? v : lo;
  }
  return lo;
}

float VPKNumberArray::maxFloatValue() const {
  if (values_.empty()) return 0.0f;
  float hi = -std::numeric_limits<float>::max();
  for (size_t i = 0; i < values_.size(); ++i) {
    const float v = floatValueAt(i);
    hi = v > hi ? v : hi;
  }
  return hi;
}

float VPKNumberArray::medianFloatValue() const {
  if (values_.empty()) return 0.0f;
  if (values_.size() == 1) return floatValueAt(0);
  std::vector<float> scratch(values_.size());
  getFloatArray(scratch.data());
  float* first = scratch.data();
  float* numbers = vpk::detail::partitionNaNsLast(first, first + scratch.size());
  float* middle = first + scratch.size() / 2;
  if (middle < numbers) std::nth_element(first, middle, numbers);
  return *middle;
}

std::optional<double> VPKNumberArray::median() const {
  if (values_.empty()) return std::nullopt;
  return sortedArray()[values_.size() / 2];
}

VPKNumberArray VPKNumberArray::sortedArray() const {
  VPKNumberArray sorted(*this);
  sorted.sort();
  return sorted;
}

float VPKNumberArray::extremaRange() const {
  const float hi = maxFloatValue();
  return (hi - minFloatValue()) / hi;
}

bool VPKNumberArray::containsNaNs() const {
  for (size_t i = 0; i < values_.size(); ++i) {
    if (std::isnan(floatValueAt(i))) return true;
  }
  return false;
}

float VPKNumberArray::standardDeviation() const {
  if (values_.empty()) return 0.0f;
  std::vector<float> floats(values_.size());
  getFloatArray(floats.data());
  return vpk_sdev(floats.data(), floats.size());
}

float VPKNumberArray::variance() const {
  const float deviation = standardDeviation();
  return deviation * deviation;
}

// ==================================================================== line simplification

std::vector<VPKPoint> VPKNumberArray::normalizedIndexPoints() const {
  const size_t n = values_.size();
  std::vector<VPKPoint> points(n);
  const double last = n > 1 ? static_cast<double>(n - 1) : 1.0;
  for (size_t i = 0; i < n; ++i) {
    const float v = floatValueAt(i);
    points[i] = {static_cast<double>(i) / last, std::isfinite(v) ? static_cast<double>(v) : 0.0};
  }
  return points;
}

double VPKNumberArray::douglasPeuckerDistanceOf(VPKPoint p, VPKPoint a, VPKPoint b) {
  const double length = std::hypot(b.x - a.x, b.y - a.y);
  if (length == 0.0) return std::hypot(p.x - a.x, p.y - a.y);  // no line: distance from the point
  const double area = p.x * a.y + p.y * b.x + a.x * b.y - a.y * b.x - p.x * b.y - p.y * a.x;
  return std::fabs(area) / length;
}

VPKIndexSet VPKNumberArray::douglasPeuckerReduction(std::span<const VPKPoint> points, uint64_t first, uint64_t last,
                                                    double tolerance) {
  VPKIndexSet kept;
  if (last >= points.size()) last = points.empty() ? 0 : points.size() - 1;
  // The recursion of the algorithm, run on an explicit stack so that long series cannot
  // exhaust the thread's stack.
  std::vector<std::pair<uint64_t, uint64_t>> pending{{first, last}};
  while (!pending.empty()) {
    const auto [from, to] = pending.back();
    pending.pop_back();
    if (from >= to) continue;
    double farthest = 0.0;
    uint64_t index = 0;
    for (uint64_t i = from; i < to; ++i) {
      const double distance = douglasPeuckerDistanceOf(points[i], points[from], points[to]);
      if (distance > farthest) {
        farthest = distance;
        index = i;
      }
    }
    if (farthest > tolerance && index != 0) {
      kept.push_back(index);
      pending.emplace_back(index, to);
      pending.emplace_back(from, index);
    }
  }
  std::sort(kept.begin(), kept.end());
  kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
  return kept;
}

VPKIndexSet VPKNumberArray::douglasPeuckerReduction(std::span<const VPKPoint> points, double tolerance) {
  const uint64_t n = points.size();
  VPKIndexSet kept;
  if (n < 4) {
    for (uint64_t i = 0; i < n; ++i) kept.push_back(i);
    return kept;
  }
  uint64_t last = n - 1;
  while (last > 0 && points[last] == points[0]) --last;
  kept = douglasPeuckerReduction(points, 0, last, tolerance);
  kept.insert(kept.begin(), 0);
  kept.push_back(n - 1);
  std::sort(kept.begin(), kept.end());
  kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
  return kept;
}

VPKIndexSet VPKNumberArray::douglasPeuckerChain() const {
  return douglasPeuckerReduction(normalizedIndexPoints(), 0.05);
}

VPKNumberArray VPKNumberArray::douglasPeuckerReduction(float tolerance) const {
  std::vector<double> kept;
  for (uint64_t index : douglasPeuckerReduction(normalizedIndexPoints(), static_cast<double>(tolerance))) {
    kept.push_back(values_[index]);
  }
  return VPKNumberArray(std::move(kept));
}

// ==================================================================== smoothing, dade series

namespace {

// One cascade step: a fresh moving average of `period` walks the values, each value is added
// and then replaced by the current moving average. Periods below 1 leave the values as they
// are.
void cascadeStep(std::vector<double>& values, int64_t period) {
  if (period < 1) return;
  VPKMovingAverage average(static_cast<uint64_t>(period));
  for (double& v : values) {
    average.addValue(static_cast<float>(v));
    v = static_cast<double>(average.movingAverage());
  }
}

float floatMean(const std::vector<double>& values, size_t from, size_t to) {
  return VPKNumberArray(std::vector<double>(values.begin() + static_cast<ptrdiff_t>(from),
                                            values.begin() + static_cast<ptrdiff_t>(to)))
      .meanFloatValue();
}

int64_t saturatingProduct(int64_t a, int64_t b) {
  int64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return (a < 0) != (b < 0) ? INT64_MIN : INT64_MAX;
  return product;
}

}  // namespace

VPKNumberArray VPKNumberArray::reduce(int64_t n, int64_t theta) const {
  VPKNumberArray result(*this);
  for (int64_t k = n; k >= 1; --k) cascadeStep(result.values_, saturatingProduct(k, theta));
  return result;
}

VPKNumberArray VPKNumberArray::dadeLund(int64_t n, int64_t theta, float b) const {
  const size_t count = values_.size();
  const float mean = meanFloatValue();
  std::vector<float> sign(count);
  for (size_t i = 0; i < count; ++i) sign[i] = floatValueAt(i) > mean ? 1.0f : -1.0f;

  std::vector<double> levelled(count);
  for (size_t i = 0; i < count; ++i) levelled[i] = static_cast<double>(floatValueAt(i));
  for (int64_t k = n; k >= 1; --k) {
    cascadeStep(levelled, saturatingProduct(k, theta));
    if (b == 0.0f) continue;
    const int64_t chunkLength = saturatingProduct(k, n);
    const size_t chunk = static_cast<size_t>(std::min<int64_t>(chunkLength, static_cast<int64_t>(count)));
    for (size_t start = 0; start < count; start += chunk) {
      const size_t stop = std::min(count, start + chunk);
      const float m = floatMean(levelled, start, stop);
      const float lift = m * b * sign[start];
      for (size_t i = start; i < stop; ++i) {
        const float v = static_cast<float>(levelled[i]);
        levelled[i] = static_cast<double>(v > m ? v + lift : m);
      }
    }
  }
  return VPKNumberArray(std::move(levelled));
}

std::optional<VPKNumberArray> VPKNumberArray::mad() const {
  if (values_.size() < 2) return std::nullopt;
  const double middle = *median();
  std::vector<double> deviations(values_.size());
  for (size_t i = 0; i < values_.size(); ++i) deviations[i] = std::fabs(values_[i] - middle);
  return VPKNumberArray(std::move(deviations));
}

VPKNumberArray VPKNumberArray::dadeLundSeries() const {
  VPKNumberArray series = dadeLund(4, 2, 0.5f);
  const VPKIndexSet chain = douglasPeuckerChain();
  std::vector<double> atChain;
  for (uint64_t index : chain) atChain.push_back(series.values_[index]);
  const std::optional<double> middle = VPKNumberArray(std::move(atChain)).median();
  const float m = middle ? static_cast<float>(*middle) : 0.0f;
  for (uint64_t index : chain) {
    const float v = series.floatValueAt(index);
    series.values_[index] = static_cast<double>(v > m ? v + m : m);
  }
  return series;
}

// ==================================================================== mutable operations

void VPKNumberArray::set(double value, size_t n) { values_.assign(n, value); }

void VPKNumberArray::cyclicInsertObject(double value) {
  values_.push_back(value);
  values_.erase(values_.begin());
}

void VPKNumberArray::cyclicInsertObjectsFromArray(const VPKNumberArray& other) {
  if (other.empty()) return;
  const std::vector<double> incoming = other.values_;  // `other` may be this array
  const size_t drop = std::min(incoming.size(), values_.size());
  values_.erase(values_.begin(), values_.begin() + static_cast<ptrdiff_t>(drop));
  values_.insert(values_.end(), incoming.begin(), incoming.end());
}

void VPKNumberArray::sort() {
  auto numbers = std::stable_partition(values_.begin(), values_.end(), [](double v) { return !std::isnan(v); });
  std::stable_sort(values_.begin(), numbers);
}
