#include "dsp/RealFFT240.h"

#include <gtest/gtest.h>
#include <kiss_fftr.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

// Bit patterns, so that a sign of zero counts; any NaN matches any NaN (the payload a
// NaN carries depends on operand order, which the compiler may swap in an addition).
bool sameBits(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  std::uint32_t x = 0, y = 0;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

}  // namespace

// The 240-sample transform stands in for the general one under the analysis, whose scores
// amplify rounding a thousandfold, so it must give the general transform's bits, not just
// its accuracy: random windows near zero, on a large electrode offset and across
// magnitudes, plus the windows where signs of zero, infinities and NaNs show.
TEST(RealFFT240, GivesTheGeneralTransformsBitsOnEveryBin) {
  if (!vpk::detail::hasRealFFT240()) GTEST_SKIP() << "not built for this processor";
  kiss_fftr_cfg general = kiss_fftr_alloc(240, 0, nullptr, nullptr);
  ASSERT_NE(general, nullptr);
  std::vector<std::vector<float>> windows;
  std::mt19937 gen(42);
  for (float offset : {0.0f, 8000.0f, -3.5f}) {
    for (int trial = 0; trial < 40; ++trial) {
      const float spread = std::ldexp(1.0f, trial % 20 - 6);
      std::normal_distribution<float> noise(offset, spread);
      std::vector<float> x(240);
      for (float& v : x) v = noise(gen);
      windows.push_back(std::move(x));
    }
  }
  for (int at : {0, 1, 4, 6, 101, 239}) {  // impulses: bins that are twiddles, exactly
    windows.emplace_back(240, 0.0f);
    windows.back()[static_cast<std::size_t>(at)] = 1.0f;
  }
  windows.emplace_back(240, 0.0f);
  windows.emplace_back(240, -0.0f);
  windows.push_back(std::vector<float>(240, 0.0f));
  windows.back()[7] = -0.0f;
  windows.back()[100] = 1.0f;
  windows.push_back(std::vector<float>(240, 1.0f));
  windows.back()[17] = std::numeric_limits<float>::infinity();
  windows.push_back(std::vector<float>(240, 2.0f));
  windows.back()[230] = std::numeric_limits<float>::quiet_NaN();
  windows.push_back(std::vector<float>(240, 3e38f));

  std::vector<kiss_fft_cpx> want(121);
  std::vector<float> re(120), im(120);
  for (std::size_t w = 0; w < windows.size(); ++w) {
    kiss_fftr(general, windows[w].data(), want.data());
    vpk::detail::realFFT240(windows[w].data(), re.data(), im.data());
    for (std::size_t k = 0; k < 120; ++k) {
      ASSERT_TRUE(sameBits(re[k], want[k].r) && sameBits(im[k], want[k].i))
          << "window " << w << " bin " << k << ": " << re[k] << " " << im[k] << " against "
          << want[k].r << " " << want[k].i;
    }
  }
  kiss_fftr_free(general);
}
