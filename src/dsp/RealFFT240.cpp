#include "dsp/RealFFT240.h"

#include <cmath>
#include <cstring>
#include <numbers>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vpk::detail {

#if defined(__SSE2__)

bool hasRealFFT240() { return true; }

bool usesRealFFT240() {
#if defined(VPK_FAST_WINDOW_TRANSFORM)
  return true;
#else
  return false;
#endif
}

namespace {

// Four single-precision lanes with arithmetic operators, so the butterflies read as
// formulas.
struct F4 {
  __m128 v;
  static F4 all(float x) { return {_mm_set1_ps(x)}; }
  static F4 zero() { return {_mm_setzero_ps()}; }
  static F4 load(const float* p) { return {_mm_loadu_ps(p)}; }
  void store(float* p) const { _mm_storeu_ps(p, v); }
};
inline F4 operator+(F4 a, F4 b) { return {_mm_add_ps(a.v, b.v)}; }
inline F4 operator-(F4 a, F4 b) { return {_mm_sub_ps(a.v, b.v)}; }
inline F4 operator*(F4 a, F4 b) { return {_mm_mul_ps(a.v, b.v)}; }
inline F4 operator-(F4 a) { return {_mm_sub_ps(_mm_setzero_ps(), a.v)}; }

// Four complex values, one per lane.
struct C4 {
  F4 re, im;
};
inline C4 operator+(C4 a, C4 b) { return {a.re + b.re, a.im + b.im}; }
inline C4 operator-(C4 a, C4 b) { return {a.re - b.re, a.im - b.im}; }
inline C4 scale(C4 a, F4 s) { return {a.re * s, a.im * s}; }
inline C4 timesMinusI(C4 a) { return {a.im, -a.re}; }  // -i a
inline C4 times(C4 a, C4 w) { return {a.re * w.re - a.im * w.im, a.re * w.im + a.im * w.re}; }

// Forward DFTs of 3, 5 and 8 points (e^(-2 pi i n k / N)) on four lanes at once.
void dft3(C4& x0, C4& x1, C4& x2) {
  const F4 half = F4::all(0.5f);
  const F4 s = F4::all(static_cast<float>(std::numbers::sqrt3 / 2));
  const C4 t1 = x1 + x2;
  const C4 t2 = timesMinusI(scale(x1 - x2, s));
  const C4 m = x0 - scale(t1, half);
  x0 = x0 + t1;
  x1 = m + t2;
  x2 = m - t2;
}

void dft5(C4& x0, C4& x1, C4& x2, C4& x3, C4& x4) {
  // cos and sin of 2 pi / 5 and 4 pi / 5
  const F4 c1 = F4::all(0.30901699437494745f), c2 = F4::all(-0.8090169943749475f);
  const F4 s1 = F4::all(0.9510565162951535f), s2 = F4::all(0.5877852522924731f);
  const C4 t1 = x1 + x4, t2 = x2 + x3, t3 = x1 - x4, t4 = x2 - x3;
  const C4 a1 = x0 + scale(t1, c1) + scale(t2, c2);
  const C4 a2 = x0 + scale(t1, c2) + scale(t2, c1);
  const C4 b1 = timesMinusI(scale(t3, s1) + scale(t4, s2));
  const C4 b2 = timesMinusI(scale(t3, s2) - scale(t4, s1));
  x0 = x0 + t1 + t2;
  x1 = a1 + b1;
  x4 = a1 - b1;
  x2 = a2 + b2;
  x3 = a2 - b2;
}

// Four points: y0 = s0 + s2, y1 = s1 - i s3, y2 = s0 - s2, y3 = s1 + i s3.
void dft4(C4& x0, C4& x1, C4& x2, C4& x3) {
  const C4 s0 = x0 + x2, s1 = x0 - x2, s2 = x1 + x3, s3 = timesMinusI(x1 - x3);
  x0 = s0 + s2;
  x2 = s0 - s2;
  x1 = s1 + s3;
  x3 = s1 - s3;
}

void dft8(C4* x) {
  const F4 r = F4::all(static_cast<float>(std::numbers::sqrt2 / 2));
  C4 a[4], b[4];
  for (int j = 0; j < 4; ++j) {
    a[j] = x[j] + x[j + 4];
    b[j] = x[j] - x[j + 4];
  }
  b[1] = scale(C4{b[1].re + b[1].im, b[1].im - b[1].re}, r);   // times (1 - i)/sqrt 2
  b[2] = timesMinusI(b[2]);                                      // times -i
  b[3] = scale(C4{b[3].im - b[3].re, -(b[3].re + b[3].im)}, r);  // times (-1 - i)/sqrt 2
  dft4(a[0], a[1], a[2], a[3]);
  dft4(b[0], b[1], b[2], b[3]);
  for (int m = 0; m < 4; ++m) {
    x[2 * m] = a[m];
    x[2 * m + 1] = b[m];
  }
}

// e^(-2 pi i j / n) in single precision, formed in double.
void unit(int j, int n, float& re, float& im) {
  const double angle = 2 * std::numbers::pi * j / n;
  re = static_cast<float>(std::cos(angle));
  im = static_cast<float>(-std::sin(angle));
}

// The twiddles, made once.
struct Tables {
  C4 inner[3][5];     // e^(-2 pi i a d / 15), the same in every lane
  C4 outer[15][2];    // e^(-2 pi i n1 k2 / 120), lanes n1 = 4 g .. 4 g + 3
  float splitRe[120];  // e^(-2 pi i k / 240)
  float splitIm[120];
  Tables() {
    for (int a = 0; a < 3; ++a) {
      for (int d = 0; d < 5; ++d) {
        float re, im;
        unit(a * d, 15, re, im);
        inner[a][d] = {F4::all(re), F4::all(im)};
      }
    }
    for (int k2 = 0; k2 < 15; ++k2) {
      for (int g = 0; g < 2; ++g) {
        alignas(16) float re[4], im[4];
        for (int j = 0; j < 4; ++j) unit((4 * g + j) * k2, 120, re[j], im[j]);
        outer[k2][g] = {F4::load(re), F4::load(im)};
      }
    }
    for (int k = 0; k < 120; ++k) unit(k, 240, splitRe[k], splitIm[k]);
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

// Lane j of the result is lane r of a[j]: the 4 x 4 transpose of four vectors.
void transpose(F4& a0, F4& a1, F4& a2, F4& a3) { _MM_TRANSPOSE4_PS(a0.v, a1.v, a2.v, a3.v); }

// Lanes in reverse order.
F4 reversed(F4 a) { return {_mm_shuffle_ps(a.v, a.v, _MM_SHUFFLE(0, 1, 2, 3))}; }

}  // namespace

void realFFT240(const float* x, float* outRe, float* outIm) {
  const Tables& t = tables();
  // z[n] = x[2n] + i x[2n+1], n = n1 + 8 n2, as 15 rows n2 of 8 columns n1; each row is
  // two lane groups g (n1 = 4 g + lane).
  C4 rows[16][2];
  for (int n2 = 0; n2 < 15; ++n2) {
    for (int g = 0; g < 2; ++g) {
      const float* p = x + 16 * n2 + 8 * g;
      const __m128 lo = _mm_loadu_ps(p), hi = _mm_loadu_ps(p + 4);
      rows[n2][g] = {{_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0))},
                     {_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1))}};
    }
  }
  // Down each column, 15 points over n2 = a + 3 b to k2 = 5 c + d: five points over b,
  // the inner twiddles, three points over a; then the outer twiddles of n1 k2.
  for (int g = 0; g < 2; ++g) {
    C4 b[3][5];
    for (int a = 0; a < 3; ++a) {
      for (int j = 0; j < 5; ++j) b[a][j] = rows[a + 3 * j][g];
      dft5(b[a][0], b[a][1], b[a][2], b[a][3], b[a][4]);
      for (int d = 1; d < 5 && a > 0; ++d) b[a][d] = times(b[a][d], t.inner[a][d]);
    }
    for (int d = 0; d < 5; ++d) {
      dft3(b[0][d], b[1][d], b[2][d]);
      for (int c = 0; c < 3; ++c) {
        const int k2 = 5 * c + d;
        rows[k2][g] = k2 == 0 ? b[c][d] : times(b[c][d], t.outer[k2][g]);
      }
    }
  }
  rows[15][0] = rows[15][1] = {F4::zero(), F4::zero()};
  // Along each row, 8 points over n1 to k1, four rows k2 at a time after a transpose:
  // Z[15 k1 + k2] lands in z[15 k1 + k2].
  alignas(16) float zRe[8][16], zIm[8][16];
  for (int h = 0; h < 4; ++h) {
    C4 col[8];
    for (int g = 0; g < 2; ++g) {
      for (int r = 0; r < 4; ++r) col[4 * g + r] = rows[4 * h + r][g];
      transpose(col[4 * g].re, col[4 * g + 1].re, col[4 * g + 2].re, col[4 * g + 3].re);
      transpose(col[4 * g].im, col[4 * g + 1].im, col[4 * g + 2].im, col[4 * g + 3].im);
    }
    dft8(col);
    for (int k1 = 0; k1 < 8; ++k1) {
      col[k1].re.store(&zRe[k1][4 * h]);
      col[k1].im.store(&zIm[k1][4 * h]);
    }
  }
  alignas(16) float zr[124], zi[124];
  for (int k1 = 0; k1 < 8; ++k1) {
    std::memcpy(zr + 15 * k1, zRe[k1], 15 * sizeof(float));
    std::memcpy(zi + 15 * k1, zIm[k1], 15 * sizeof(float));
  }
  zr[120] = zr[0];
  zi[120] = zi[0];
  // The real window's spectrum from the half-length one: with A = Z[k] and
  // B = conj Z[120 - k], X[k] = (A + B) / 2 - i/2 e^(-2 pi i k / 240) (A - B).
  const F4 half = F4::all(0.5f);
  for (int k = 0; k < 120; k += 4) {
    const F4 ar = F4::load(zr + k), ai = F4::load(zi + k);
    const F4 br = reversed(F4::load(zr + 117 - k)), bi = -reversed(F4::load(zi + 117 - k));
    const F4 eRe = (ar + br) * half, eIm = (ai + bi) * half;
    const F4 oRe = (ai - bi) * half, oIm = (br - ar) * half;
    const F4 wr = F4::load(t.splitRe + k), wi = F4::load(t.splitIm + k);
    (eRe + (oRe * wr - oIm * wi)).store(outRe + k);
    (eIm + (oRe * wi + oIm * wr)).store(outIm + k);
  }
}

#else

bool hasRealFFT240() { return false; }
bool usesRealFFT240() { return false; }
void realFFT240(const float*, float*, float*) {}

#endif

}  // namespace vpk::detail
