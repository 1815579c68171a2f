#include <VemraPlatformKit/dsp/VPKTransforms.h>

#include "dsp/FourierKernels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <numbers>
#include <utility>
#include <vector>

namespace vpk::detail {
namespace {

// cos and sin of 2 pi j / n (j < n), reduced to the first octant by whole quarter
// turns, so that quarter and half turns come out exact (cos(pi/2) is 0, not 6e-17)
// and large angles lose nothing to the reduction.
void unitCircle(std::uint64_t j, std::uint64_t n, double& c, double& s) {
  const std::uint64_t quarter = (4 * j) / n;
  const std::uint64_t rest = 4 * j - quarter * n;  // angle = pi/2 * (quarter + rest/n)
  double c0, s0;
  if (2 * rest <= n) {
    const double t = std::numbers::pi / 2 * static_cast<double>(rest) / static_cast<double>(n);
    c0 = std::cos(t);
    s0 = std::sin(t);
  } else {
    const double t = std::numbers::pi / 2 * static_cast<double>(n - rest) / static_cast<double>(n);
    c0 = std::sin(t);
    s0 = std::cos(t);
  }
  switch (quarter & 3) {
    case 0: c = c0; s = s0; break;
    case 1: c = -s0; s = c0; break;
    case 2: c = -c0; s = -s0; break;
    default: c = s0; s = -c0; break;
  }
}

// cos(2 pi k / size) and sin(2 pi k / size) for k < size / 2. A table for one power
// of two serves every smaller power of two with a stride, so each thread keeps one
// table, grown to the largest length it has transformed.
struct TwiddleTable {
  std::size_t size = 0;
  std::vector<double> cosines;
  std::vector<double> sines;
};

const TwiddleTable& twiddles(std::size_t n) {
  thread_local TwiddleTable table;
  if (table.size < n) {
    std::vector<double> c(n / 2);
    std::vector<double> s(n / 2);
    for (std::size_t k = 0; k < n / 2; ++k) {
      unitCircle(k, n, c[k], s[k]);
    }
    table.cosines = std::move(c);
    table.sines = std::move(s);
    table.size = n;
  }
  return table;
}

// The chirp w[k] = e^(-i pi k^2 / n) of one length, and the transform (at the
// power-of-two length m) of the sequence it is convolved with: conj(w[k]) at k and
// at m - k. Each thread keeps the chirp of the last length it transformed.
struct ChirpTable {
  std::size_t n = 0;
  std::size_t m = 0;
  std::vector<double> wr, wi;
  std::vector<double> br, bi;
};

const ChirpTable& chirp(std::size_t n) {
  thread_local ChirpTable table;
  if (table.n == n) return table;
  table.n = 0;
  std::size_t m = 1;
  while (m < 2 * n + 1) m <<= 1;
  std::vector<double> wr(n), wi(n), br(m, 0.0), bi(m, 0.0);
  const std::uint64_t period = 2 * static_cast<std::uint64_t>(n);
  for (std::size_t k = 0; k < n; ++k) {
    // The angle pi k^2 / n is taken as 2 pi (k^2 mod 2n) / 2n, exact in integers.
    const std::uint64_t k2 = (static_cast<std::uint64_t>(k) * k) % period;
    double c, s;
    unitCircle(k2, period, c, s);
    wr[k] = c;
    wi[k] = -s;
    br[k] = wr[k];
    bi[k] = -wi[k];
    if (k != 0) {
      br[m - k] = wr[k];
      bi[m - k] = -wi[k];
    }
  }
  radix2(br.data(), bi.data(), m);
  table.wr = std::move(wr);
  table.wi = std::move(wi);
  table.br = std::move(br);
  table.bi = std::move(bi);
  table.m = m;
  table.n = n;
  return table;
}

// Per-thread work arrays that only grow.
std::vector<double>& work(int slot, std::size_t n) {
  thread_local std::vector<double> arrays[6];
  auto& v = arrays[slot];
  if (v.size() < n) v.resize(n);
  return v;
}

}  // namespace

void radix2(double* re, double* im, std::size_t n) {
  if (n < 2) return;
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
  }
  const TwiddleTable& t = twiddles(n);
  const double* cosines = t.cosines.data();
  const double* sines = t.sines.data();
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const std::size_t half = len >> 1;
    const std::size_t stride = t.size / len;
    for (std::size_t k = 0; k < half; ++k) {
      const double wr = cosines[k * stride];
      const double wi = -sines[k * stride];
      for (std::size_t a = k; a < n; a += len) {
        const std::size_t b = a + half;
        const double vr = re[b] * wr - im[b] * wi;
        const double vi = re[b] * wi + im[b] * wr;
        re[b] = re[a] - vr;
        im[b] = im[a] - vi;
        re[a] += vr;
        im[a] += vi;
      }
    }
  }
}

void czt(double* re, double* im, std::size_t n) {
  if (n < 2) return;
  const ChirpTable& c = chirp(n);
  const std::size_t m = c.m;
  double* ar = work(0, m).data();
  double* ai = work(1, m).data();
  for (std::size_t k = 0; k < n; ++k) {
    ar[k] = re[k] * c.wr[k] - im[k] * c.wi[k];
    ai[k] = re[k] * c.wi[k] + im[k] * c.wr[k];
  }
  std::fill(ar + n, ar + m, 0.0);
  std::fill(ai + n, ai + m, 0.0);
  radix2(ar, ai, m);
  for (std::size_t k = 0; k < m; ++k) {
    const double r = ar[k] * c.br[k] - ai[k] * c.bi[k];
    const double i = ar[k] * c.bi[k] + ai[k] * c.br[k];
    ar[k] = r;
    ai[k] = i;
  }
  radix2(ai, ar, m);  // inverse transform: real and imaginary parts swapped
  const double scale = 1.0 / static_cast<double>(m);
  for (std::size_t k = 0; k < n; ++k) {
    const double r = ar[k] * scale;
    const double i = ai[k] * scale;
    re[k] = r * c.wr[k] - i * c.wi[k];
    im[k] = r * c.wi[k] + i * c.wr[k];
  }
}

void fft(double* re, double* im, std::size_t n) {
  if (isPowerOfTwo(n)) {
    radix2(re, im, n);
  } else {
    czt(re, im, n);
  }
}

namespace {

bool usable(const void* a, const void* b, std::size_t n) {
  return n <= VPKTransformMaxLength && (n == 0 || (a != nullptr && b != nullptr));
}

// Runs a double-precision kernel over float arrays.
template <typename Kernel>
bool runOnFloats(float* re, float* im, std::size_t n, Kernel kernel) {
  try {
    double* dr = work(2, n).data();
    double* di = work(3, n).data();
    std::copy_n(re, n, dr);
    std::copy_n(im, n, di);
    kernel(dr, di, n);
    std::transform(dr, dr + n, re, [](double v) { return static_cast<float>(v); });
    std::transform(di, di + n, im, [](double v) { return static_cast<float>(v); });
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace
}  // namespace vpk::detail

bool vpk_tfsm(float* re, float* im, std::size_t n) {
  if (!vpk::detail::usable(re, im, n)) return false;
  if (n < 2) return true;
  return vpk::detail::isPowerOfTwo(n) ? vpk_radix2(re, im, n) : vpk_czt(re, im, n);
}

bool vpk_itfsm(float* re, float* im, std::size_t n) { return vpk_tfsm(im, re, n); }

bool vpk_radix2(float* re, float* im, std::size_t n) {
  if (n < 2 || !vpk::detail::isPowerOfTwo(n) || !vpk::detail::usable(re, im, n)) return false;
  return vpk::detail::runOnFloats(re, im, n, vpk::detail::radix2);
}

bool vpk_czt(float* re, float* im, std::size_t n) {
  if (!vpk::detail::usable(re, im, n)) return false;
  if (n < 2) return true;
  return vpk::detail::runOnFloats(re, im, n, vpk::detail::czt);
}

bool vpk_cnv(const float* xre, const float* xim, const float* yre, const float* yim, float* outre,
             float* outim, std::size_t n) {
  using vpk::detail::work;
  if (!vpk::detail::usable(xre, xim, n) || !vpk::detail::usable(yre, yim, n) ||
      !vpk::detail::usable(outre, outim, n)) {
    return false;
  }
  if (n == 0) return true;
  try {
    double* xr = work(2, n).data();
    double* xi = work(3, n).data();
    double* yr = work(4, n).data();
    double* yi = work(5, n).data();
    std::copy_n(xre, n, xr);
    std::copy_n(xim, n, xi);
    std::copy_n(yre, n, yr);
    std::copy_n(yim, n, yi);
    vpk::detail::fft(xr, xi, n);
    vpk::detail::fft(yr, yi, n);
    for (std::size_t k = 0; k < n; ++k) {
      const double r = xr[k] * yr[k] - xi[k] * yi[k];
      const double i = xr[k] * yi[k] + xi[k] * yr[k];
      xr[k] = r;
      xi[k] = i;
    }
    vpk::detail::fft(xi, xr, n);  // inverse transform: real and imaginary parts swapped
    const double scale = 1.0 / static_cast<double>(n);
    for (std::size_t k = 0; k < n; ++k) {
      outre[k] = static_cast<float>(xr[k] * scale);
      outim[k] = static_cast<float>(xi[k] * scale);
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}
