#include <VemraPlatformKit/dsp/VPKBasicFilter.h>
#include <VemraPlatformKit/dsp/VPKCompoundFilter.h>
#include <VemraPlatformKit/dsp/VPKFastFilter.h>
#include <VemraPlatformKit/dsp/VPKFIRFilter.h>

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <functional>
#include <numbers>
#include <vector>

namespace {

constexpr float kFs = 250.0f;

std::vector<float> sine(float hz, float amplitude, std::size_t n, float offset = 0.0f) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) {
    v[i] = offset + amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * i / kFs));
  }
  return v;
}

// |H(e^{iw})| of the section at frequency hz.
double gainAt(const VPKBasicFilter& f, double hz) {
  const auto& c = f.coefficients();
  const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * hz / kFs);
  const std::complex<double> z2 = z1 * z1;
  return std::abs((c[0] + c[1] * z1 + c[2] * z2) / (1.0 + c[3] * z1 + c[4] * z2));
}

float peak(const std::vector<float>& v, std::size_t from = 0) {
  float m = 0.0f;
  for (std::size_t i = from; i < v.size(); ++i) m = std::max(m, std::fabs(v[i]));
  return m;
}

}  // namespace

TEST(VPKBasicFilter, RangeDesignsRoundTheCentreAndDeriveQ) {
  const VPKFrequencyRange band{1.0f, 49.0f};
  EXPECT_FLOAT_EQ(VPKBasicFilter::calculateQFactorForSamplingRate(250, band), 7.0f / 48.0f);
  EXPECT_FLOAT_EQ(VPKCompoundFilter::calculateQFactorForSamplingRate(250, band), 0.5f);
  EXPECT_FLOAT_EQ(VPKFIRFilter::calculateQFactorForSamplingRate(250, {10.0f, 12.0f}),
                  std::sqrt(120.0f) / 2.0f);

  VPKBasicFilter ranged(VPKFilterTypeBandpass, kFs, band);
  EXPECT_TRUE(ranged.isRangeBased());
  EXPECT_EQ(ranged.centerFrequency(), 7.0f);
  EXPECT_FLOAT_EQ(ranged.qFactor(), 7.0f / 48.0f);

  // sqrt(2 * 10) = 4.47 rounds to 4, and Q uses the rounded centre; with a given Q
  // the centre is not rounded.
  VPKBasicFilter rounded(VPKFilterTypeBandpass, kFs, VPKFrequencyRange{2.0f, 10.0f});
  EXPECT_EQ(rounded.centerFrequency(), 4.0f);
  EXPECT_FLOAT_EQ(rounded.qFactor(), 0.5f);
  VPKBasicFilter unrounded(VPKFilterTypeBandpass, kFs, VPKFrequencyRange{2.0f, 10.0f}, 0.3f);
  EXPECT_FLOAT_EQ(unrounded.centerFrequency(), std::sqrt(20.0f));
  EXPECT_EQ(unrounded.qFactor(), 0.3f);

  VPKBasicFilter plain(VPKFilterTypeLowpass, 20.0f, kFs, 0.0f);
  EXPECT_EQ(plain.qFactor(), VPKButterworthQFactor);
  EXPECT_TRUE(std::isnan(plain.range().min) && std::isnan(plain.range().max));
}

TEST(VPKBasicFilter, EachDesignHasItsResponse) {
  const float q = 2.0f;
  VPKBasicFilter notch(VPKFilterTypeNotch, 50.0f, kFs, q);
  EXPECT_NEAR(gainAt(notch, 0.0), 1.0, 1e-12);
  EXPECT_NEAR(gainAt(notch, 50.0), 0.0, 1e-12);
  VPKBasicFilter band(VPKFilterTypeBandpass, 30.0f, kFs, q);
  EXPECT_NEAR(gainAt(band, 30.0), 1.0, 1e-12);
  EXPECT_NEAR(gainAt(band, 0.0), 0.0, 1e-12);
  VPKBasicFilter peakQ(VPKFilterTypeBandpassQPeak, 30.0f, kFs, q);
  EXPECT_NEAR(gainAt(peakQ, 30.0), q, 1e-12);
  VPKBasicFilter low(VPKFilterTypeLowpass, 30.0f, kFs, VPKButterworthQFactor);
  EXPECT_NEAR(gainAt(low, 0.0), 1.0, 1e-12);
  EXPECT_NEAR(gainAt(low, 30.0), std::sqrt(0.5), 1e-6);  // -3 dB at the corner
  EXPECT_NEAR(gainAt(low, 125.0), 0.0, 1e-12);
  VPKBasicFilter high(VPKFilterTypeHighpass, 30.0f, kFs, VPKButterworthQFactor);
  EXPECT_NEAR(gainAt(high, 0.0), 0.0, 1e-12);
  EXPECT_NEAR(gainAt(high, 125.0), 1.0, 1e-12);
  VPKBasicFilter all(VPKFilterTypeAllPass, 30.0f, kFs, q);
  for (double hz : {0.0, 10.0, 30.0, 77.0, 124.0}) EXPECT_NEAR(gainAt(all, hz), 1.0, 1e-12);

  VPKBasicFilter unknown(static_cast<VPKFilterType>(9), 30.0f, kFs, q);
  std::vector<float> v = sine(5.0f, 1.0f, 50, 2.0f);
  unknown.filter(v.data(), v.size());
  EXPECT_EQ(peak(v), 0.0f);
}

TEST(VPKBasicFilter, UnusableDesignOutputsZerosAndLogs) {
  vpk::test::LogCapture log;
  VPKBasicFilter noRate(VPKFilterTypeBandpass, 10.0f, 0.0f, 1.0f);
  VPKBasicFilter nanBand(VPKFilterTypeNotch, kFs, VPKFrequencyRange{NAN, 49.0f});
  EXPECT_EQ(log.count("has no usable design"), 2u);
  for (VPKBasicFilter* f : {&noRate, &nanBand}) {
    std::vector<float> v(20, 1.0f);
    f->filter(v.data(), v.size());
    EXPECT_EQ(peak(v), 0.0f);
  }
}

TEST(VPKBasicFilter, EqualityComparesTypeRateQAndCentre) {
  auto ranged = VPKBasicFilter::create(VPKFilterTypeBandpass, kFs, VPKFrequencyRange{1.0f, 49.0f});
  auto centred = VPKBasicFilter::create(VPKFilterTypeBandpass, 7.0f, kFs, 7.0f / 48.0f);
  EXPECT_TRUE(ranged->isEqual(*centred));
  EXPECT_TRUE(centred->isEqual(*ranged));
  EXPECT_EQ(ranged->hash(), centred->hash());

  EXPECT_FALSE(centred->isEqual(*VPKBasicFilter::create(VPKFilterTypeNotch, 7.0f, kFs, 7.0f / 48.0f)));
  EXPECT_FALSE(centred->isEqual(*VPKBasicFilter::create(VPKFilterTypeBandpass, 7.0f, 256.0f, 7.0f / 48.0f)));
  EXPECT_FALSE(centred->isEqual(*VPKBasicFilter::create(VPKFilterTypeBandpass, 7.001f, kFs, 7.0f / 48.0f)));
  EXPECT_FALSE(centred->isEqual(VPKFastFilter()));
}

TEST(VPKBasicFilter, CopiesCarryStateAndNewRatesStartFresh) {
  auto f = VPKBasicFilter::create(VPKFilterTypeBandpass, kFs, VPKFrequencyRange{1.0f, 49.0f});
  std::vector<float> head = sine(7.0f, 1.0f, 40, 0.5f);
  f->filter(head.data(), head.size());

  std::shared_ptr<VPKFilter> copy = static_cast<const VPKFilter&>(*f).copy();
  std::vector<float> a = sine(3.0f, 1.0f, 30);
  std::vector<float> b = a;
  f->filter(a.data(), a.size());
  copy->filter(b.data(), b.size());
  EXPECT_EQ(a, b);

  auto other = std::dynamic_pointer_cast<VPKBasicFilter>(f->filterWithSamplingRate(500));
  ASSERT_TRUE(other);
  EXPECT_EQ(other->samplingRate(), 500.0f);
  EXPECT_FLOAT_EQ(other->qFactor(), 7.0f / 48.0f);  // recomputed from the band
  EXPECT_EQ(other->delay(), (std::array<float, 4>{}));
  auto fixed = VPKBasicFilter::create(VPKFilterTypeLowpass, 20.0f, kFs, 0.9f)->filterWithSamplingRate(1000);
  EXPECT_TRUE(fixed->isEqual(*VPKBasicFilter::create(VPKFilterTypeLowpass, 20.0f, 1000.0f, 0.9f)));
}

// One 500-value call and two 250-value calls must give the same samples, a reset
// filter must behave as a new one, and every entry point advances the same state.
TEST(VPKFilterStreaming, BlockSplitResetAndEntryPointsAreInvisible) {
  auto makers = std::vector<std::function<std::shared_ptr<VPKFilter>()>>{
      [] { return VPKBasicFilter::create(VPKFilterTypeBandpass, kFs, VPKFrequencyRange{1.0f, 49.0f}); },
      [] {
        auto chain = VPKCompoundFilter::create();
        chain->addFilterWithType(VPKFilterTypeNotch, 50.0f, kFs, VPKButterworthQFactor);
        chain->addFilterWithType(VPKFilterTypeBandpass, kFs, VPKFrequencyRange{1.0f, 49.0f});
        return chain;
      },
      [] { return VPKFastFilter::create(); },
  };
  std::vector<float> input = sine(50.0f, 2.0f, 500, 1.0f);
  const std::vector<float> alpha = sine(9.0f, 1.0f, 500);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] += alpha[i];

  for (const auto& make : makers) {
    auto whole = make();
    auto split = make();
    std::vector<float> one = input;
    std::vector<float> two = input;
    whole->filter(one.data(), one.size());
    split->filter(two.data(), 250);
    split->filter(two.data() + 250, 250);
    EXPECT_EQ(one, two);

    split->reset();
    std::vector<float> again = input;
    split->filter(again.data(), again.size());
    EXPECT_EQ(one, again);

    auto fresh = make();
    const VPKNumberArray numbers = fresh->filteredArray(VPKNumberArray::arrayWithFloats(input.data(), 100));
    auto window = VPKFloatBuffer::createWithSize(300);
    window->pushValues(input.data() + 100, 300);
    auto buffer = fresh->filteredFloatBuffer(*window);
    const std::vector<float> rest = fresh->filteredArray(std::span(input).subspan(400, 99));
    const float last = fresh->filteredValue(input.back());
    ASSERT_TRUE(buffer->isImmutable());
    EXPECT_EQ(window->floatArray()[0], input[100]);  // the argument is not changed
    for (std::size_t i = 0; i < 100; ++i) ASSERT_EQ(numbers.floatValueAt(i), one[i]);
    for (std::size_t i = 0; i < 300; ++i) ASSERT_EQ(buffer->floatArray()[i], one[100 + i]);
    for (std::size_t i = 0; i < 99; ++i) ASSERT_EQ(rest[i], one[400 + i]);
    EXPECT_EQ(last, one.back());
  }
}

TEST(VPKFilterStreaming, FilteredArrayInRangeReplacesOnlyTheRange) {
  const std::vector<float> ones(2, 1.0f);
  const std::vector<float> block = VPKFastFilter().filteredArray(ones);
  VPKFastFilter f;
  const VPKNumberArray out = f.filteredArray(VPKNumberArray{1, 1, 1, 1, 1}, 1, 2);
  EXPECT_EQ(out.values(), (std::vector<double>{1, block[0], block[1], 1, 1}));
  // Ranges past the end are cut, not read past.
  const std::vector<float> in(5, 1.0f);
  EXPECT_EQ(VPKFastFilter().filteredArray(in, 3, 100), (std::vector<float>{1, 1, 1, block[0], block[1]}));
  EXPECT_EQ(f.filteredArray(in, 9, 2), in);
  EXPECT_EQ(f.filteredFloatBuffer(*VPKFloatBuffer::createWithSize(0))->count(), 0u);
}

TEST(VPKFastFilter, BlocksDirectCurrentThenSmooths) {
  VPKFastFilter f;
  std::vector<float> v(4, 1.0f);
  f.filter(v.data(), v.size());
  EXPECT_NEAR(v[0], 0.1f, 1e-6f);
  EXPECT_NEAR(v[1], 0.1875f, 1e-6f);
  EXPECT_NEAR(f.y(), 0.975f * 0.975f * 0.975f, 1e-6f);

  // A weight of 1 turns the smoother off: the DC blocker alone.
  VPKFastFilter raw;
  raw.setM1(1.0f);
  std::vector<float> w(3, 1.0f);
  raw.filter(w.data(), w.size());
  EXPECT_FLOAT_EQ(w[1], 0.975f);

  f.setM0(0.5f);
  f.reset();
  EXPECT_EQ(f.sy(), 0.0f);
  EXPECT_EQ(f.m0(), 0.5f);
  auto viaRate = std::dynamic_pointer_cast<VPKFastFilter>(f.filterWithSamplingRate(1000));
  ASSERT_TRUE(viaRate);
  EXPECT_EQ(viaRate->m0(), 0.5f);
}

TEST(VPKCompoundFilter, MembersRunInOrderAndChainsStayAcyclic) {
  auto empty = VPKCompoundFilter::create();
  std::vector<float> v{1, -2, 3};
  empty->filter(v.data(), v.size());
  EXPECT_EQ(v, (std::vector<float>{1, -2, 3}));

  auto low = VPKBasicFilter::create(VPKFilterTypeLowpass, 20.0f, kFs, VPKButterworthQFactor);
  auto fast = VPKFastFilter::create();
  auto chain = VPKCompoundFilter::create({low, fast});
  EXPECT_NE(chain->filters()[0], low);  // the list constructor copies
  std::vector<float> expected = sine(7.0f, 1.0f, 60, 1.0f);
  std::vector<float> got = expected;
  low->filter(expected.data(), expected.size());
  fast->filter(expected.data(), expected.size());
  chain->filter(got.data(), got.size());
  EXPECT_EQ(got, expected);

  // Runs of sections go through sample by sample: the same bits and states as each
  // member over the block in turn, also with a section added twice and a non-section
  // member splitting the chain, across two blocks.
  auto notch = VPKBasicFilter::create(VPKFilterTypeNotch, 50.0f, kFs, VPKButterworthQFactor);
  auto band = VPKBasicFilter::create(VPKFilterTypeBandpass, kFs, VPKFrequencyRange{1.0f, 49.0f});
  auto high = VPKBasicFilter::create(VPKFilterTypeHighpass, 0.5f, kFs, VPKButterworthQFactor);
  auto peak = VPKBasicFilter::create(VPKFilterTypeBandpassQPeak, kFs, VPKFrequencyRange{8.0f, 12.0f});
  auto fused = VPKCompoundFilter::create();
  const std::vector<std::shared_ptr<VPKFilter>> order{notch, band, notch, high, peak, low, fast, band, high};
  for (const auto& member : order) fused->addFilter(member);
  std::vector<std::shared_ptr<VPKFilter>> copies;
  for (const auto& member : {notch, band, high, peak, low}) copies.push_back(member->copy());
  copies.push_back(fast->copy());
  const std::vector<int> sequence{0, 1, 0, 2, 3, 4, 5, 1, 2};
  std::vector<float> block = sine(50.0f, 30.0f, 50, 8000.0f);
  std::vector<float> want = block;
  for (std::size_t at : {0u, 25u}) {
    fused->filter(block.data() + at, 25);
    for (int m : sequence) copies[static_cast<std::size_t>(m)]->filter(want.data() + at, 25);
  }
  EXPECT_EQ(block, want);
  EXPECT_EQ(notch->delay(), std::dynamic_pointer_cast<VPKBasicFilter>(copies[0])->delay());
  EXPECT_EQ(high->delay(), std::dynamic_pointer_cast<VPKBasicFilter>(copies[2])->delay());

  chain->addFilter(chain);
  auto outer = VPKCompoundFilter::create();
  outer->addFilter(chain);
  chain->addFilter(outer);  // would make the chains call each other forever
  chain->addFilter(nullptr);
  EXPECT_EQ(chain->filters().size(), 2u);
  EXPECT_EQ(outer->filters()[0], chain);  // addFilter keeps the object itself

  chain->addFilterWithType(VPKFilterTypeLowpass, 20.0f, kFs, VPKButterworthQFactor);
  chain->removeFilter(VPKBasicFilter::create(VPKFilterTypeLowpass, 20.0f, kFs, VPKButterworthQFactor));
  ASSERT_EQ(chain->filters().size(), 1u);
  EXPECT_TRUE(std::dynamic_pointer_cast<VPKFastFilter>(chain->filters()[0]));

  auto atRate = std::dynamic_pointer_cast<VPKCompoundFilter>(outer->filterWithSamplingRate(500));
  ASSERT_TRUE(atRate);
  EXPECT_NE(atRate->filters().at(0), chain);
  EXPECT_NE(outer->copy()->filters().at(0), chain);
}
