#include <VemraPlatformKit/numeric/VPKMovingAverage.h>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// The window's update written out in float: average − oldest / p + newest / p.
std::vector<float> slidingInFloat(const std::vector<float>& xs, size_t period) {
  std::vector<float> out;
  float cumulative = 0, moving = 0;
  for (size_t i = 0; i < xs.size(); ++i) {
    if (i >= period) {
      const float p = static_cast<float>(period);
      moving = moving - xs[i - period] / p + xs[i] / p;
    }
    cumulative = cumulative + (xs[i] - cumulative) / static_cast<float>(i + 1);
    if (i < period) moving = cumulative;
    out.push_back(moving);
  }
  return out;
}

TEST(VPKMovingAverage, FillsWithTheRunningMeanThenSlidesInSinglePrecision) {
  VPKMovingAverage a(3);
  std::vector<float> seen;
  for (float x : {1.f, 2.f, 3.f, 4.f}) {
    a.addValue(x);
    seen.push_back(a.movingAverage());
  }
  EXPECT_EQ(seen[0], 1.0f);
  EXPECT_EQ(seen[1], 1.5f);
  EXPECT_EQ(seen[2], 2.0f);
  EXPECT_FLOAT_EQ(seen[3], 3.0f);
  EXPECT_EQ(a.cumulativeAverage(), 2.5f);
  for (float x : {5.f, 6.f, 7.f}) a.addValue(x);
  EXPECT_NEAR(a.movingAverage(), 6.0f, 1e-5);

  // A long irregular series: every step equals the float computation, not a double one.
  std::vector<float> xs;
  for (int i = 0; i < 400; ++i) xs.push_back(static_cast<float>(std::sin(i * 0.37) * 1000.0 + i * 0.1));
  auto expected = slidingInFloat(xs, 16);
  VPKMovingAverage b(16);
  for (size_t i = 0; i < xs.size(); ++i) {
    b.addValue(xs[i]);
    ASSERT_EQ(b.movingAverage(), expected[i]) << "value " << i;
  }
}

TEST(VPKMovingAverage, ExponentialBlendUsesThePreviousValue) {
  auto a = VPKMovingAverage::averageWithAlpha(0.9f, 4);
  a->addValue(10);
  EXPECT_FLOAT_EQ(a->exponentialAverage(), 9.0f);
  a->addValue(20);
  EXPECT_FLOAT_EQ(a->exponentialAverage(), 19.0f);  // 0.9·20 + 0.1·10, not 0.1·9
  EXPECT_EQ(a->exponentialAverage(), static_cast<float>(0.9f * 20.0 + (1.0 - 0.9f) * 10.0));

  auto plain = VPKMovingAverage::averageWithPeriod(4);
  EXPECT_TRUE(std::isnan(plain->alpha()));
  plain->addValue(10);
  EXPECT_EQ(plain->exponentialAverage(), 0.0f);
}

TEST(VPKMovingAverage, UnboundedAndEmptyPeriodsKeepNoWindow) {
  for (uint64_t period : {VPKMovingAveragePeriodUnbounded, uint64_t{0}}) {
    VPKMovingAverage a(0.5f, period);
    for (float x : {1.f, 2.f, 6.f}) a.addValue(x);
    EXPECT_EQ(a.movingAverage(), 0.0f);
    EXPECT_EQ(a.cumulativeAverage(), 3.0f);
    EXPECT_EQ(a.exponentialAverage(), 4.0f);
  }
  VPKMovingAverage huge(uint64_t{1} << 40);  // the window grows with the values only
  for (float x : {1.f, 2.f, 6.f}) huge.addValue(x);
  EXPECT_EQ(huge.movingAverage(), 3.0f);
}

TEST(VPKMovingAverage, ClearFlattensTheWindowAndResetEmptiesIt) {
  VPKMovingAverage a(4);
  for (float x : {2.f, 4.f, 6.f, 8.f}) a.addValue(x);
  EXPECT_EQ(a.movingAverage(), 5.0f);
  VPKMovingAverage copy = a;
  a.clear();
  a.addValue(9);
  EXPECT_EQ(a.movingAverage(), 6.0f);  // 5 − 5/4 + 9/4
  EXPECT_EQ(a.count(), 5u);
  copy.addValue(9);
  EXPECT_EQ(copy.movingAverage(), 6.75f);  // the copy kept its own window: 5 − 2/4 + 9/4

  a.reset();
  EXPECT_EQ(a.count(), 0u);
  EXPECT_EQ(a.movingAverage(), 0.0f);
  EXPECT_EQ(a.cumulativeAverage(), 0.0f);
  EXPECT_EQ(a.lastValue(), 9.0f);
  for (float x : {1.f, 1.f, 1.f, 1.f, 5.f}) a.addValue(x);
  EXPECT_EQ(a.movingAverage(), 2.0f);  // the old values are gone
}

}  // namespace
