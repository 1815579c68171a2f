#include <VemraPlatformKit/numeric/VPKStatistics.h>

#include "numeric/FloatMath.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

float vpk_mean(const float* x, size_t n) { return vpk::detail::meanFloat(x, n); }

float vpk_sdev(const float* x, size_t n) { return vpk::detail::deviationFloat(x, n, vpk::detail::meanFloat(x, n)); }

float vpk_pearson_cc(const float* x, const float* y, size_t n) {
  const float mx = vpk_mean(x, n);
  const float my = vpk_mean(y, n);
  float sxy = 0.0f, sxx = 0.0f, syy = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    const float dx = x[i] - mx;
    const float dy = y[i] - my;
    sxy += dx * dy;
    sxx += dx * dx;
    syy += dy * dy;
  }
  return static_cast<float>(static_cast<double>(sxy) /
                            (std::sqrt(static_cast<double>(sxx)) * std::sqrt(static_cast<double>(syy))));
}

namespace {
std::vector<float> ranks(const float* v, size_t n) {
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [v](size_t a, size_t b) {
    if (std::isnan(v[a])) return false;
    return std::isnan(v[b]) || v[a] < v[b];
  });
  std::vector<float> rank(n);
  for (size_t position = 0; position < n; ++position) rank[order[position]] = static_cast<float>(position);
  return rank;
}
}  // namespace

float vpk_spearman_cc(const float* x, const float* y, size_t n) {
  if (n < 2) return std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> rx = ranks(x, n);
  const std::vector<float> ry = ranks(y, n);
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    const float d = rx[i] - ry[i];
    sum += d * d;
  }
  const float fn = static_cast<float>(n);
  return 1.0f - 6.0f * sum / (fn * (fn * fn - 1.0f));
}

uint64_t* vpk_fibul(size_t n) {
  uint64_t* out = vpk::detail::allocateArray<uint64_t>(n);
  uint64_t a = 1, b = 2;
  for (size_t i = 0; i < n; ++i) {
    out[i] = a;
    const uint64_t next = a + b;
    a = b;
    b = next;
  }
  return out;
}

float vpk_rotf(float x0, float y0, float x1, float y1) { return std::atan2(y1 - y0, x1 - x0); }

namespace {
// Index of relative position u ∈ [0, 1] in a series whose positions scale by `scale`.
template <class T>
size_t positionIndex(T u, T scale, size_t n) {
  if (!(u > 0)) return 0;
  const T at = std::floor(scale * u);
  if (!(at < static_cast<T>(n - 1))) return n - 1;
  return static_cast<size_t>(at);
}

template <class T>
T centralDifference(const T* x, size_t n, T t, T step, T scale) {
  if (n == 0) return 0;
  if (std::isnan(t)) return std::numeric_limits<T>::quiet_NaN();
  const T u0 = std::clamp(t - step, T(0), T(1));
  const T u1 = std::clamp(t + step, T(0), T(1));
  if (!(u1 > u0)) return 0;
  return (x[positionIndex(u1, scale, n)] - x[positionIndex(u0, scale, n)]) / (u1 - u0);
}
}  // namespace

double vpk_der(const double* x, size_t n, double t) {
  return centralDifference<double>(x, n, t, 1e-6, static_cast<double>(n));
}

float vpk_derf(const float* x, size_t n, float t) {
  if (n == 0) return 0.0f;
  return centralDifference<float>(x, n, t, 1.0f / static_cast<float>(n), static_cast<float>(n - 1));
}

namespace {
template <class T>
void printNumbers(const T* x, size_t n, const char* withComma, const char* last) {
  std::string out = "[\n";
  char line[128];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(line, sizeof line, i + 1 < n ? withComma : last, x[i]);
    out += line;
  }
  out += "]\n";
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
}
}  // namespace

// clang-format off
void vpk_print_numf(const float* x, size_t n) { printNumbers(x, n, "\t%f,\n", "\t%f\n"); }
void vpk_print_numd(const double* x, size_t n) { printNumbers(x, n, "\t%g,\n", "\t%g\n"); }
void vpk_print_numld(const long double* x, size_t n) { printNumbers(x, n, "\t%Lg,\n", "\t%Lg\n"); }
void vpk_print_numull(const unsigned long long* x, size_t n) { printNumbers(x, n, "\t%llu,\n", "\t%llu\n"); }
void vpk_print_numul(const unsigned long* x, size_t n) { printNumbers(x, n, "\t%lu,\n", "\t%lu\n"); }
void vpk_print_numui(const unsigned int* x, size_t n) { printNumbers(x, n, "\t%u,\n", "\t%u\n"); }
void vpk_print_numi(const int* x, size_t n) { printNumbers(x, n, "\t%d,\n", "\t%d\n"); }
void vpk_print_numus(const unsigned short* x, size_t n) { printNumbers(x, n, "\t%hu,\n", "\t%hu\n"); }
void vpk_print_nums(const short* x, size_t n) { printNumbers(x, n, "\t%hd,\n", "\t%hd\n"); }
void vpk_print_numuc(const unsigned char* x, size_t n) { printNumbers(x, n, "\t%hhu,\n", "\t%hhu\n"); }
void vpk_print_numc(const signed char* x, size_t n) { printNumbers(x, n, "\t%hhd,\n", "\t%hhd\n"); }
// clang-format on

