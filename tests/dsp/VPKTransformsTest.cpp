#include <VemraPlatformKit/dsp/VPKTransforms.h>

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace {

struct Signal {
  std::vector<float> re, im;
};

Signal randomSignal(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  Signal s{std::vector<float>(n), std::vector<float>(n)};
  for (std::size_t i = 0; i < n; ++i) {
    s.re[i] = d(gen);
    s.im[i] = d(gen);
  }
  return s;
}

std::vector<std::complex<double>> direct(const Signal& s) {
  const std::size_t n = s.re.size();
  std::vector<std::complex<double>> out(n);
  for (std::size_t k = 0; k < n; ++k) {
    for (std::size_t j = 0; j < n; ++j) {
      out[k] += std::complex<double>(s.re[j], s.im[j]) *
                std::polar(1.0, -2.0 * std::numbers::pi * double(j * k % n) / double(n));
    }
  }
  return out;
}

}  // namespace

TEST(VPKTransforms, MatchTheDefinitionAtEveryLength) {
  for (std::size_t n : {2, 5, 8, 12, 64, 100, 240, 256, 257}) {
    Signal s = randomSignal(n, static_cast<unsigned>(n));
    const auto want = direct(s);
    ASSERT_TRUE(vpk_tfsm(s.re.data(), s.im.data(), n)) << n;
    for (std::size_t k = 0; k < n; ++k) {
      ASSERT_NEAR(s.re[k], want[k].real(), 1e-5 * std::sqrt(double(n))) << n << " bin " << k;
      ASSERT_NEAR(s.im[k], want[k].imag(), 1e-5 * std::sqrt(double(n))) << n << " bin " << k;
    }
  }
  // Bluestein on a power of two agrees with radix-2.
  Signal a = randomSignal(64, 1), b = a;
  ASSERT_TRUE(vpk_radix2(a.re.data(), a.im.data(), 64));
  ASSERT_TRUE(vpk_czt(b.re.data(), b.im.data(), 64));
  for (std::size_t k = 0; k < 64; ++k) ASSERT_NEAR(a.re[k], b.re[k], 1e-5);
}

TEST(VPKTransforms, InverseAfterForwardScalesByLength) {
  for (std::size_t n : {3, 240, 256}) {
    const Signal original = randomSignal(n, 7);
    Signal s = original;
    ASSERT_TRUE(vpk_tfsm(s.re.data(), s.im.data(), n));
    ASSERT_TRUE(vpk_itfsm(s.re.data(), s.im.data(), n));
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_NEAR(s.re[i], original.re[i] * float(n), 1e-4f * n) << n;
      ASSERT_NEAR(s.im[i], original.im[i] * float(n), 1e-4f * n) << n;
    }
  }
}

TEST(VPKTransforms, CircularConvolution) {
  std::vector<float> xr{1, 2, 3}, xi{0, 0, 0}, yr{0, 1, 0}, yi{0, 0, 0}, outr(3), outi(3);
  ASSERT_TRUE(vpk_cnv(xr.data(), xi.data(), yr.data(), yi.data(), outr.data(), outi.data(), 3));
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(outr[k], (std::vector<float>{3, 1, 2})[k], 1e-5f);
    EXPECT_NEAR(outi[k], 0.0f, 1e-5f);
  }
  EXPECT_EQ(xr, (std::vector<float>{1, 2, 3}));

  // Complex parts, with the output written over the first input.
  std::vector<float> ai{0, 1, 0};
  ASSERT_TRUE(vpk_cnv(xr.data(), xi.data(), yr.data(), ai.data(), xr.data(), xi.data(), 3));
  // y = (1 + i) delta[1]: x shifted by one, times (1 + i).
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(xr[k], (std::vector<float>{3, 1, 2})[k], 1e-5f);
    EXPECT_NEAR(xi[k], (std::vector<float>{3, 1, 2})[k], 1e-5f);
  }
}

TEST(VPKTransforms, TrivialLengthsSucceedAndUnusableOnesFailWithoutTouchingData) {
  float one = 5.0f, zero = 2.0f;
  EXPECT_TRUE(vpk_tfsm(&one, &zero, 1));
  EXPECT_EQ(one, 5.0f);
  EXPECT_TRUE(vpk_tfsm(nullptr, nullptr, 0));

  std::vector<float> re{1, 2, 3}, im{0, 0, 0};
  EXPECT_FALSE(vpk_radix2(re.data(), im.data(), 3));
  EXPECT_FALSE(vpk_radix2(re.data(), im.data(), 1));
  EXPECT_FALSE(vpk_tfsm(nullptr, im.data(), 3));
  EXPECT_FALSE(vpk_tfsm(re.data(), im.data(), VPKTransformMaxLength + 1));
  EXPECT_FALSE(vpk_cnv(re.data(), im.data(), nullptr, im.data(), re.data(), im.data(), 3));
  EXPECT_EQ(re, (std::vector<float>{1, 2, 3}));
}
