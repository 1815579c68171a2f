#include <VemraPlatformKit/dsp/VPKTransforms.h>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

// Threads transforming different lengths at once must not disturb each other's
// twiddle tables, chirps or work arrays.
TEST(VPKTransformsConcurrency, ThreadsAtDifferentLengthsGetExactResults) {
  const std::vector<std::size_t> lengths{240, 256, 100, 7};
  std::vector<int> failures(lengths.size(), 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < lengths.size(); ++t) {
    threads.emplace_back([&, t] {
      const std::size_t n = lengths[t];
      for (int round = 0; round < 50; ++round) {
        // A unit impulse at position 1 transforms to e^(-2 pi i k / n).
        std::vector<float> re(n, 0.0f), im(n, 0.0f);
        re[1] = 1.0f;
        if (!vpk_tfsm(re.data(), im.data(), n)) ++failures[t];
        for (std::size_t k = 0; k < n; ++k) {
          const double angle = -2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n);
          if (std::fabs(re[k] - std::cos(angle)) > 1e-5 || std::fabs(im[k] - std::sin(angle)) > 1e-5) {
            ++failures[t];
          }
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(lengths.size(), 0));
}
