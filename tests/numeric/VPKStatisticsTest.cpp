#include <VemraPlatformKit/numeric/VPKStatistics.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <vector>

namespace {

TEST(VPKStatistics, MeanAndDeviation) {
  const float x[] = {2, 4, 4, 4, 5, 5, 7, 9};
  EXPECT_EQ(vpk_mean(x, 8), 5.0f);
  EXPECT_EQ(vpk_sdev(x, 8), 2.0f);
  EXPECT_EQ(vpk_mean(x, 0), 0.0f);
  EXPECT_EQ(vpk_sdev(x, 0), 0.0f);
  const float cancel[] = {1e8f, 1.0f, -1e8f};  // float sums: 1 is lost next to 1e8
  EXPECT_EQ(vpk_mean(cancel, 3), 0.0f);
}

TEST(VPKStatistics, Correlations) {
  const float x[] = {1, 2, 3, 4, 5};
  const float up[] = {2, 4, 6, 8, 10};
  const float down[] = {5, 4, 3, 2, 1};
  const float curve[] = {1, 8, 27, 64, 125};
  const float flat[] = {3, 3, 3, 3, 3};
  EXPECT_FLOAT_EQ(vpk_pearson_cc(x, up, 5), 1.0f);
  EXPECT_FLOAT_EQ(vpk_pearson_cc(x, down, 5), -1.0f);
  EXPECT_LT(vpk_pearson_cc(x, curve, 5), 0.99f);
  EXPECT_TRUE(std::isnan(vpk_pearson_cc(x, flat, 5)));

  EXPECT_EQ(vpk_spearman_cc(x, curve, 5), 1.0f);
  EXPECT_EQ(vpk_spearman_cc(x, down, 5), -1.0f);
  const float y[] = {5, 6, 7, 8, 7};  // ranks 0 1 2 4 3: Σd² = 2
  EXPECT_FLOAT_EQ(vpk_spearman_cc(x, y, 5), 0.9f);
  EXPECT_TRUE(std::isnan(vpk_spearman_cc(x, y, 1)));
}

TEST(VPKStatistics, SeriesAndAngles) {
  uint64_t* f = vpk_fibul(5);
  EXPECT_EQ(std::vector<uint64_t>(f, f + 5), (std::vector<uint64_t>{1, 2, 3, 5, 8}));
  std::free(f);
  EXPECT_EQ(vpk_fibul(0), nullptr);
  EXPECT_EQ(vpk_rotf(0, 0, 0, 1), static_cast<float>(std::numbers::pi / 2));

  std::vector<float> ramp;
  for (int i = 0; i < 10; ++i) ramp.push_back(2.0f * i);
  EXPECT_FLOAT_EQ(vpk_derf(ramp.data(), 10, 0.5f), 20.0f);  // (x[5] − x[3]) / 0.2
  EXPECT_FLOAT_EQ(vpk_derf(ramp.data(), 10, 1.0f), 20.0f);  // one-sided at the end: (x[9] − x[8]) / 0.1
  const double steps[] = {0, 1, 2, 3};
  EXPECT_NEAR(vpk_der(steps, 4, 0.5), 1.0 / 2e-6, 1.0);
  EXPECT_TRUE(std::isnan(vpk_der(steps, 4, NAN)));
  EXPECT_EQ(vpk_derf(nullptr, 0, 0.5f), 0.0f);
}

}  // namespace
