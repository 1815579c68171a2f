#include <VemraPlatformKit/numeric/VPKNumberArray.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

TEST(VPKNumberArray, ConversionsKeepFloatValues) {
  EXPECT_EQ(VPKNumberArray().createFloatArray(), nullptr);
  float* f = VPKNumberArray{1, 2.5}.createFloatArray();
  EXPECT_EQ(f[0], 1.0f);
  EXPECT_EQ(f[1], 2.5f);
  std::free(f);

  const float in[] = {0.1f, -3.25f, 1e-30f};
  auto a = VPKNumberArray::arrayWithFloats(in, 3);
  float out[3];
  a.getFloatArray(out);
  EXPECT_EQ(std::vector<float>(out, out + 3), std::vector<float>(in, in + 3));

  const double d[] = {0.1, 3};
  double* widened = VPKNumberArray::arrayWithDoubles(d, 2).createDoubleArray();
  EXPECT_EQ(widened[0], static_cast<double>(0.1f));  // the float value, widened
  std::free(widened);
}

TEST(VPKNumberArray, Statistics) {
  EXPECT_EQ((VPKNumberArray{1, NAN, 3}.meanFloatValue()), 0.0f);
  EXPECT_EQ((VPKNumberArray{1, NAN, 3}.meanDoubleValue()), 0.0);
  EXPECT_EQ((VPKNumberArray{1, 2, 3}.meanFloatValue()), 2.0f);
  EXPECT_EQ((VPKNumberArray{1e8, 1, -1e8}.sumFloatValue()), 0.0f);  // float sums
  EXPECT_EQ((VPKNumberArray{1e8, 1, -1e8}.meanDoubleValue()), 1.0 / 3.0);
  EXPECT_EQ((VPKNumberArray{-3, -1, -2}.maxFloatValue()), -1.0f);
  EXPECT_EQ(VPKNumberArray().minFloatValue(), 0.0f);
  EXPECT_EQ(VPKNumberArray().maxFloatValue(), 0.0f);
  EXPECT_EQ((VPKNumberArray{4, 1, 3, 2}.medianFloatValue()), 3.0f);
  EXPECT_EQ(VPKNumberArray{7}.medianFloatValue(), 7.0f);
  EXPECT_EQ(VPKNumberArray().medianFloatValue(), 0.0f);
  EXPECT_EQ((VPKNumberArray{4, 1, 3, 2}.median()), 3.0);
  EXPECT_FALSE(VPKNumberArray().median().has_value());
  EXPECT_EQ((VPKNumberArray{2, 8, 4}.extremaRange()), 0.75f);
  EXPECT_TRUE((VPKNumberArray{1, NAN}.containsNaNs()));
  EXPECT_EQ((VPKNumberArray{2, 4, 4, 4, 5, 5, 7, 9}.standardDeviation()), 2.0f);
  EXPECT_EQ((VPKNumberArray{2, 4, 4, 4, 5, 5, 7, 9}.variance()), 4.0f);
  EXPECT_EQ(VPKNumberArray().variance(), 0.0f);
  EXPECT_EQ((VPKNumberArray{3, NAN, 1}.sortedArray().values()[1]), 3.0);
}

TEST(VPKNumberArray, DouglasPeuckerKeepsThePointsThatShapeTheLine) {
  const std::vector<VPKPoint> three{{0, 0}, {1, 5}, {2, 0}};
  EXPECT_EQ(VPKNumberArray::douglasPeuckerReduction(three, 100.0), (VPKIndexSet{0, 1, 2}));
  const std::vector<VPKPoint> bump{{0, 0}, {1, 0.01}, {2, 0}, {3, 0}};
  EXPECT_EQ(VPKNumberArray::douglasPeuckerReduction(bump, 0.05), (VPKIndexSet{0, 3}));
  EXPECT_EQ(VPKNumberArray::douglasPeuckerReduction(bump, 0.001), (VPKIndexSet{0, 1, 2, 3}));
  EXPECT_TRUE(VPKNumberArray::douglasPeuckerReduction(std::vector<VPKPoint>{}, 0.1).empty());

  EXPECT_DOUBLE_EQ(VPKNumberArray::douglasPeuckerDistanceOf({1, 1}, {0, 0}, {2, 0}), 1.0);
  EXPECT_DOUBLE_EQ(VPKNumberArray::douglasPeuckerDistanceOf({3, 4}, {0, 0}, {0, 0}), 5.0);

  // A closed loop: the last point equals the first, so the line ends before it.
  const std::vector<VPKPoint> loop{{0, 0}, {1, 1}, {2, 0}, {1, -1}, {0, 0}};
  EXPECT_EQ(VPKNumberArray::douglasPeuckerReduction(loop, 0.1), (VPKIndexSet{0, 1, 2, 4}));

  VPKNumberArray line{0, 1, 2, 3, 10, 5, 6};
  EXPECT_EQ(line.douglasPeuckerChain(), (VPKIndexSet{0, 3, 4, 5, 6}));
  EXPECT_EQ(line.douglasPeuckerReduction(0.05f), (VPKNumberArray{0, 3, 10, 5, 6}));
  auto points = VPKNumberArray{1, INFINITY, 3}.normalizedIndexPoints();
  EXPECT_EQ(points[1], (VPKPoint{0.5, 0.0}));
}

TEST(VPKNumberArray, CascadeSmoothingAndDadeSeries) {
  const VPKNumberArray ramp{2, 4, 6, 8};
  EXPECT_EQ(ramp.reduce(1, 2), (VPKNumberArray{2, 3, 5, 7}));
  EXPECT_EQ(ramp.reduce(2, 1), (VPKNumberArray{2, 3, 5, 7}));  // period 2, then 1 (identity)
  EXPECT_EQ(ramp.reduce(0, 2), ramp);
  EXPECT_EQ(ramp.reduce(3, 0), ramp);  // periods below 1 smooth nothing

  EXPECT_EQ((VPKNumberArray{1, 2, 9}.mad()), (VPKNumberArray{1, 0, 7}));
  EXPECT_FALSE(VPKNumberArray{1}.mad().has_value());

  // Period 2 cascade, chunks of 4 levelled by ±b·mean, then period 1, chunks of 2.
  const VPKNumberArray eight{1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(eight.dadeLund(2, 1, 0.5f), (VPKNumberArray{2.125, 2.125, 1.9375, 1.46875, 6, 6, 10, 15.5}));
  EXPECT_EQ(eight.dadeLund(0, 1, 0.5f), eight);
  EXPECT_EQ(eight.dadeLund(1, 2, 0.0f), eight.reduce(1, 2));

  const VPKNumberArray flat{3, 3, 3, 3, 3};
  EXPECT_EQ(flat.dadeLundSeries(), flat);
  EXPECT_EQ(VPKNumberArray().dadeLundSeries(), VPKNumberArray());
}

TEST(VPKNumberArray, CyclicInsertsKeepTheLength) {
  VPKNumberArray a{1, 2, 3};
  a.cyclicInsertObjectsFromArray({8, 9});
  EXPECT_EQ(a, (VPKNumberArray{3, 8, 9}));
  VPKNumberArray b{1, 2};
  b.cyclicInsertObjectsFromArray({5, 6, 7, 8});
  EXPECT_EQ(b, (VPKNumberArray{5, 6, 7, 8}));
  b.cyclicInsertObjectsFromArray(b);
  EXPECT_EQ(b, (VPKNumberArray{5, 6, 7, 8}));
  b.cyclicInsertFloat(0.5f);
  EXPECT_EQ(b, (VPKNumberArray{6, 7, 8, 0.5}));
}

}  // namespace
