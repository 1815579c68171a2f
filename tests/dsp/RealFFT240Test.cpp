#include "dsp/RealFFT240.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

// The transform written for the 240-sample window against the definition in double
// precision, on random windows around zero and around a large electrode offset: every
// bin within float rounding of the window's size, and an index mix-up (a permuted or
// conjugated bin) far outside it.
TEST(RealFFT240, MatchesTheDefinitionOnRandomWindows) {
  if (!vpk::detail::hasRealFFT240()) GTEST_SKIP() << "not built for this processor";
  std::mt19937 gen(42);
  for (float offset : {0.0f, 8000.0f, -3.5f}) {
    for (int trial = 0; trial < 20; ++trial) {
      std::normal_distribution<float> noise(offset, 1.0f + 20.0f * static_cast<float>(trial % 4));
      std::vector<float> x(240);
      double norm = 0;
      for (float& v : x) {
        v = noise(gen);
        norm += static_cast<double>(v) * v;
      }
      norm = std::sqrt(norm);
      std::vector<float> re(120), im(120);
      vpk::detail::realFFT240(x.data(), re.data(), im.data());
      for (int k = 0; k < 120; ++k) {
        std::complex<double> want;
        for (int j = 0; j < 240; ++j) {
          want += static_cast<double>(x[static_cast<std::size_t>(j)]) *
                  std::polar(1.0, -2.0 * std::numbers::pi * ((j * k) % 240) / 240.0);
        }
        const std::complex<double> got(re[static_cast<std::size_t>(k)], im[static_cast<std::size_t>(k)]);
        ASSERT_LT(std::abs(got - want), 2e-6 * norm) << "offset " << offset << " trial " << trial << " bin " << k;
      }
    }
  }
}
