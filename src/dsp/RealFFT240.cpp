#include "dsp/RealFFT240.h"

#include <VemraPlatformKit/frame/VPKLog.h>

#include <kiss_fftr.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vpk::detail {

#if defined(__SSE2__)

bool hasRealFFT240() { return true; }

namespace {
[[maybe_unused]] bool agreesWithGeneralTransform();
}  // namespace

bool usesRealFFT240() {
#if defined(VPK_GENERAL_WINDOW_TRANSFORM)
  return false;
#else
  static const bool agrees = agreesWithGeneralTransform();
  return agrees;
#endif
}

namespace {

// The analysis is sensitive to the transform's rounding (a moving average of the focus
// score's inputs keeps a rounding made in the first cycles for the whole run, see
// docs/performance.md), so this transform repeats the general real transform's arithmetic
// for 240 samples operation for operation: the same half-length complex transform of 120
// points factored 4 x 2 x 3 x 5 and taken by decimation in time, the same butterflies with
// every sum grouped as the linked build groups it, the same single-precision twiddles
// (cosine and sine of the double angle, rounded), and the same split into the real
// window's spectrum. Only the loops, the index arithmetic and the
// recursion are gone, and four butterflies run side by side in SSE lanes. Every step is
// one IEEE operation per lane, so the results are the general transform's bit for bit
// (the tests compare them).

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

// Four complex values, one per lane.
struct C4 {
  F4 re, im;
};
inline C4 operator+(C4 a, C4 b) { return {a.re + b.re, a.im + b.im}; }
inline C4 operator-(C4 a, C4 b) { return {a.re - b.re, a.im - b.im}; }
// (a.re w.re - a.im w.im, a.re w.im + a.im w.re), in that order.
inline C4 operator*(C4 a, C4 w) { return {a.re * w.re - a.im * w.im, a.re * w.im + a.im * w.re}; }

constexpr int kHalf = 120;  // complex points of the half-length transform

// The twiddles, made once: e^(-2 pi i j / 120) of the complex transform and
// e^(-i pi ((k + 1) / 120 + 1/2)) of the split, each the double angle's cosine and sine
// rounded to float.
struct Tables {
  float twRe[kHalf], twIm[kHalf];
  C4 tw0, ya, yb;        // radix 5: e^0, the fifth and the second fifth of a turn
  C4 tw3[5][2];          // radix 3, by k: tw[8 k], tw[16 k]
  F4 epi3;               // radix 3: imaginary part of the third of a turn
  C4 tw2[15];            // radix 2, by k: tw[4 k]
  C4 tw4[8][3];          // radix 4, lanes k = 4 g .. 4 g + 3: tw[k], tw[2 k], tw[3 k]
  float superRe[64], superIm[64];

  C4 broadcast(int j) const { return {F4::all(twRe[j]), F4::all(twIm[j])}; }

  Tables() {
    const double pi = 3.14159265358979323846264338327950288;
    for (int j = 0; j < kHalf; ++j) {
      // The angle as the general transform's built code forms it: j times the step
      // (not -2 pi j, then divided), which decides the last bit of e.g. cos(-pi/2).
      const double phase = static_cast<double>(j) * (-2 * pi / kHalf);
      twRe[j] = static_cast<float>(std::cos(phase));
      twIm[j] = static_cast<float>(std::sin(phase));
    }
    tw0 = broadcast(0);
    ya = broadcast(24);
    yb = broadcast(48);
    for (int k = 0; k < 5; ++k) {
      tw3[k][0] = broadcast(8 * k);
      tw3[k][1] = broadcast(16 * k);
    }
    epi3 = F4::all(twIm[40]);
    for (int k = 0; k < 15; ++k) tw2[k] = broadcast(4 * k);
    for (int g = 0; g < 8; ++g) {
      for (int q = 1; q <= 3; ++q) {
        alignas(16) float re[4], im[4];
        for (int lane = 0; lane < 4; ++lane) {
          const int j = q * (4 * g + lane) % kHalf;
          re[lane] = twRe[j];
          im[lane] = twIm[j];
        }
        tw4[g][q - 1] = {F4::load(re), F4::load(im)};
      }
    }
    for (int i = 0; i < 64; ++i) {
      const double phase = -pi * ((static_cast<double>(i + 1) / kHalf) + .5);
      superRe[i] = static_cast<float>(std::cos(phase));
      superIm[i] = static_cast<float>(std::sin(phase));
    }
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

// The butterflies below are those of the general transform as its library is built
// (with reassociation allowed, so its compiler regrouped some sums): each line keeps the
// grouping the built code uses, which the tests check bit for bit.

// Radix 5 over one block of five, m = 1.
inline void butterfly5(const Tables& t, C4* f) {
  const C4 s0 = f[0];
  const C4 s1 = f[1] * t.tw0, s2 = f[2] * t.tw0;
  const C4 w = t.tw0;
  const F4 a3 = f[3].re * w.re, b3 = f[3].im * w.im, s3i = f[3].re * w.im + f[3].im * w.re;
  const F4 a4 = f[4].re * w.re, b4 = f[4].im * w.im, s4i = f[4].re * w.im + f[4].im * w.re;
  const C4 s7{(s1.re - b4) + a4, s1.im + s4i};
  const C4 s10{(s1.re - a4) + b4, s1.im - s4i};
  const C4 s8{a3 + (s2.re - b3), s2.im + s3i};
  const C4 s9{b3 + (s2.re - a3), s2.im - s3i};
  const F4 yar = t.ya.re, yai = t.ya.im, ybr = t.yb.re, ybi = t.yb.im;
  f[0] = {(s7.re + s8.re) + s0.re, (s7.im + s8.im) + s0.im};
  const C4 s5{s0.re + (s7.re * yar + s8.re * ybr), s0.im + (s7.im * yar + s8.im * ybr)};
  const F4 s6r = s10.im * yai + s9.im * ybi;
  f[1] = {s5.re - s6r, s5.im + (s10.re * yai + s9.re * ybi)};
  f[4] = {s5.re + s6r, (s5.im - s10.re * yai) - s9.re * ybi};
  const C4 s11{s0.re + (s7.re * ybr + s8.re * yar), s0.im + (s7.im * ybr + s8.im * yar)};
  f[2] = {s11.re + (s9.im * yai - s10.im * ybi), s10.re * ybi + (s11.im - s9.re * yai)};
  f[3] = {s11.re + (s10.im * ybi - s9.im * yai), s9.re * yai + (s11.im - s10.re * ybi)};
}

// Radix 3 over one block of fifteen, m = 5.
inline void butterfly3(const Tables& t, C4* f) {
  const F4 half = F4::all(0.5f);
  for (int k = 0; k < 5; ++k) {
    C4& a = f[k];
    C4& b = f[k + 5];
    C4& c = f[k + 10];
    const C4 w = t.tw3[k][1];
    const C4 s1 = b * t.tw3[k][0];
    const F4 p = c.re * w.re, q = c.im * w.im, s2i = c.re * w.im + c.im * w.re;
    const C4 s3{p + (s1.re - q), s1.im + s2i};
    const C4 s0{q + (s1.re - p), s1.im - s2i};
    const C4 m{a.re - s3.re * half, a.im - s3.im * half};
    const C4 e{s0.re * t.epi3, s0.im * t.epi3};
    a = {s3.re + a.re, s3.im + a.im};
    c = {m.re + e.im, m.im - e.re};
    b = {m.re - e.im, e.re + m.im};
  }
}

// Radix 2 over the block of thirty, m = 15.
inline void butterfly2(const Tables& t, C4* f) {
  for (int k = 0; k < 15; ++k) {
    const C4 w = t.tw2[k];
    const C4 b = f[k + 15];
    const F4 p = b.re * w.re, q = b.im * w.im, ti = b.re * w.im + b.im * w.re;
    const C4 a = f[k];
    f[k + 15] = {(q + a.re) - p, a.im - ti};
    f[k] = {(p + a.re) - q, ti + a.im};
  }
}

void transpose(C4& a0, C4& a1, C4& a2, C4& a3) {
  _MM_TRANSPOSE4_PS(a0.re.v, a1.re.v, a2.re.v, a3.re.v);
  _MM_TRANSPOSE4_PS(a0.im.v, a1.im.v, a2.im.v, a3.im.v);
}

F4 reversed(F4 a) { return {_mm_shuffle_ps(a.v, a.v, _MM_SHUFFLE(0, 1, 2, 3))}; }

}  // namespace

void realFFT240(const float* x, float* outRe, float* outIm) {
  const Tables& t = tables();
  // The complex points z[n] = x[2n] + i x[2n+1]. The decimation in time puts
  // z[q4 + 4 q2 + 8 q3 + 24 q5] at position 30 q4 + 15 q2 + 5 q3 + q5 before the first
  // butterflies; lane q4 of f[j] holds position 30 q4 + j, so the radix 5, 3 and 2 stages
  // run on the four quarters at once (they are the same 30-point transform).
  C4 f[32];
  for (int q2 = 0; q2 < 2; ++q2) {
    for (int q3 = 0; q3 < 3; ++q3) {
      for (int q5 = 0; q5 < 5; ++q5) {
        const float* p = x + 8 * (q2 + 2 * q3 + 6 * q5);
        const __m128 lo = _mm_loadu_ps(p), hi = _mm_loadu_ps(p + 4);
        f[15 * q2 + 5 * q3 + q5] = {{_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0))},
                                    {_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1))}};
      }
    }
  }
  for (int block = 0; block < 6; ++block) butterfly5(t, f + 5 * block);
  butterfly3(t, f);
  butterfly3(t, f + 15);
  butterfly2(t, f);
  f[30] = f[31] = {F4::zero(), F4::zero()};

  // Radix 4 across the quarters, m = 30: after a transpose, lanes are k = 4 g .. 4 g + 3
  // and vector q holds position k + 30 q. The last group (k = 28 .. 31, two of them
  // padding) is stored first so that the groups after it overwrite its spill.
  alignas(16) float zr[128], zi[128];
  for (int i = 0; i < 8; ++i) {
    const int g = (i + 7) % 8;
    C4 a = f[4 * g], b = f[4 * g + 1], c = f[4 * g + 2], d = f[4 * g + 3];
    transpose(a, b, c, d);
    const C4 w2 = t.tw4[g][1], w3 = t.tw4[g][2];
    const C4 s0 = b * t.tw4[g][0];
    const F4 p = c.re * w2.re, q = c.im * w2.im, s1i = c.re * w2.im + c.im * w2.re;
    const F4 u = d.re * w3.re, v = d.im * w3.im, s2i = d.re * w3.im + d.im * w3.re;
    const C4 a1{(a.re + p) - q, a.im + s1i};
    const C4 s5{(a.re + q) - p, a.im - s1i};
    const C4 s3{(s0.re - v) + u, s2i + s0.im};
    const C4 s4{(s0.re - u) + v, s0.im - s2i};
    c = a1 - s3;
    a = {s3.re + a1.re, s3.im + a1.im};
    b = {s5.re + s4.im, s5.im - s4.re};
    d = {s5.re + (s2i - s0.im), s5.im + s4.re};
    const int k = 4 * g;
    a.re.store(zr + k), a.im.store(zi + k);
    b.re.store(zr + k + 30), b.im.store(zi + k + 30);
    c.re.store(zr + k + 60), c.im.store(zi + k + 60);
    d.re.store(zr + k + 90), d.im.store(zi + k + 90);
  }

  // The real window's spectrum from the complex one: for 1 <= k <= 60 with
  // A = Z[k], B = conj Z[120 - k], f1 = A + B, w = (A - B) e^(-i pi (k/120 + 1/2)),
  // X[k] = (f1 + w) / 2 and X[120 - k] = conj(f1 - w) / 2 (written after X[k], which
  // decides X[60]).
  outRe[0] = zr[0] + zi[0];
  outIm[0] = 0.0f;
  const F4 half = F4::all(0.5f);
  for (int k = 1; k <= 60; k += 4) {
    const F4 ar = F4::load(zr + k), ai = F4::load(zi + k);
    const F4 br = reversed(F4::load(zr + kHalf - k - 3));
    const F4 bi = reversed(F4::load(zi + kHalf - k - 3));
    const F4 f1r = br + ar, f1i = ai - bi;
    const F4 f2r = ar - br, f2i = bi + ai;
    const F4 sr = F4::load(t.superRe + k - 1), si = F4::load(t.superIm + k - 1);
    const F4 wi = f2r * si + f2i * sr;
    ((((f2r * sr) + f1r) - f2i * si) * half).store(outRe + k);
    ((f1i + wi) * half).store(outIm + k);
    reversed(((f1r + f2i * si) - f2r * sr) * half).store(outRe + kHalf - k - 3);
    reversed(((bi - ai) + wi) * half).store(outIm + kHalf - k - 3);
  }
}

namespace {

// The grouping below is that of the kissfft build this library links against (Debian 12's);
// another build of it may round differently. Once per process, impulses (whose bins are
// twiddles) and pseudo-random windows go through both; any differing bit keeps the
// general transform, so results never depend on which one runs.
[[maybe_unused]] bool agreesWithGeneralTransform() {
  kiss_fftr_cfg general = kiss_fftr_alloc(240, 0, nullptr, nullptr);
  if (general == nullptr) return false;
  std::vector<kiss_fft_cpx> want(121);
  float x[240], re[kHalf], im[kHalf];
  std::uint32_t state = 12345;
  bool same = true;
  for (int w = 0; w < 8 && same; ++w) {
    for (float& v : x) {
      state = state * 1664525u + 1013904223u;
      v = w < 4 ? 0.0f : 8000.0f + static_cast<float>(static_cast<std::int32_t>(state >> 8) - (1 << 23)) * 1e-4f;
    }
    if (w < 4) x[w == 3 ? 6 : w * w] = 1.0f;  // impulses at 0, 1, 4, 6
    kiss_fftr(general, x, want.data());
    realFFT240(x, re, im);
    for (int k = 0; k < kHalf; ++k) {
      same = same && std::memcmp(&re[k], &want[static_cast<std::size_t>(k)].r, sizeof(float)) == 0 &&
             std::memcmp(&im[k], &want[static_cast<std::size_t>(k)].i, sizeof(float)) == 0;
    }
  }
  kiss_fftr_free(general);
  if (!same) VPKLog(0, "VPKFFTBuffer: the linked kissfft rounds differently; 240-sample spectra use it");
  return same;
}

}  // namespace

#else

bool hasRealFFT240() { return false; }
bool usesRealFFT240() { return false; }
void realFFT240(const float*, float*, float*) {}

#endif

}  // namespace vpk::detail
