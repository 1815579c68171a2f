#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/analysis/VPKSignalAnalyzerSample.h>
#include <VemraPlatformKit/dsp/VPKFFTBuffer.h>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace {

// A description whose filtered spectrum is that of a 240-sample window at 250 Hz holding
// sines at 10 Hz (amplitude 4) and 20 Hz (amplitude 2).
VPKChannelDescription::Ptr describedSpectrum() {
  auto fft = VPKFFTBuffer::create(240, 250);
  std::vector<float> v(240);
  for (size_t i = 0; i < v.size(); ++i) {
    const double t = static_cast<double>(i) / 250.0;
    v[i] = static_cast<float>(4.0 * std::sin(2 * std::numbers::pi * 10.0 * t) + 2.0 * std::sin(2 * std::numbers::pi * 20.0 * t));
  }
  fft->addData(v.data(), v.size());
  fft->update();
  auto d = VPKChannelDescription::create();
  d->setFilteredDFT(VPKDFT::create(fft->amplitudeFloatBuffer(), fft->frequenciesFloatBuffer(), fft->DCOffset()));
  return d;
}

VPKFloatBuffer::Ptr ramp(uint64_t n) {
  auto b = VPKFloatBuffer::createWithSize(n);
  for (uint64_t i = 0; i < n; ++i) b->push(static_cast<float>(i));
  return b;
}

}  // namespace

TEST(ChannelSet, LeftOnlySetAndLinks) {
  auto left = VPKChannelDescription::create();
  auto set = VPKChannelSet::create(left, nullptr);
  EXPECT_EQ(set->dominantChannel(), left);
  EXPECT_EQ(left->channelSet(), set);
  EXPECT_FALSE(set->isIdle());
  left->setIdle(true);
  EXPECT_TRUE(set->isIdle());

  auto right = VPKChannelDescription::create();
  auto both = VPKChannelSet::create(VPKChannelDescription::create(), right);
  right->setIdle(true);
  EXPECT_TRUE(both->isIdle());

  // The description refers to its set weakly: the set goes with its last owner.
  std::weak_ptr<VPKChannelSet> weak = set;
  set.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(left->channelSet(), nullptr);
}

TEST(ChannelSet, FrequencyRangeQueriesIncludeBothBounds) {
  auto d = describedSpectrum();
  const auto& freqs = d->filteredDFT()->frequencies();
  const auto& amps = d->filteredDFT()->amplitude();

  auto alpha = d->filteredAmplitudeInFrequencyRange({8.0f, 12.0f});  // 8.33, 9.375, 10.42, 11.46 Hz
  ASSERT_TRUE(alpha);
  ASSERT_EQ(alpha->count(), 4u);
  for (uint64_t i = 0; i < 4; ++i) EXPECT_EQ(alpha->floatArray()[i], amps->floatArray()[8 + i]);
  EXPECT_EQ(d->meanFilteredAmplitudeInFrequencyRange({8.0f, 12.0f}), alpha->meanFloatValue());

  // A bound that equals a bin's frequency includes that bin.
  const float bin2 = freqs->floatArray()[2];
  auto exact = d->filteredAmplitudeInFrequencyRange({bin2, bin2});
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->count(), 1u);

  EXPECT_FALSE(d->filteredAmplitudeInFrequencyRange({200.0f, 300.0f}));
  EXPECT_FALSE(d->meanFilteredAmplitudeInFrequencyRange({200.0f, 300.0f}));
  EXPECT_FALSE(d->rawAmplitudeInFrequencyRange({8.0f, 12.0f}));  // no raw spectrum
}

TEST(ChannelSet, CopyFormsShareObjectsAndFilterWhatTheyKeep) {
  auto d = describedSpectrum();
  d->setRawSignal(ramp(8));
  d->setCycles(300);
  d->setChannel(1);
  d->setAnalysisSampleRange({487, 25});
  d->setTimestamp(vpk::Date{12.5});
  d->setFocusScore(0.5f);
  d->setAlternateFocusScore(0.25f);
  d->setIdle(true);
  d->setFftStatus(2);
  auto set = VPKChannelSet::create(nullptr, d);

  auto full = d->copy();
  EXPECT_NE(full, d);
  EXPECT_EQ(full->rawSignal(), d->rawSignal());
  EXPECT_EQ(full->filteredDFT(), d->filteredDFT());
  EXPECT_EQ(full->channelSet(), set);
  EXPECT_EQ(full->analysisSampleRange(), (VPKRange{487, 25}));
  EXPECT_EQ(full->timestamp(), vpk::Date{12.5});

  auto results = d->copyPreservingAnalysisResultsOnly();
  EXPECT_TRUE(results->isIdle());
  EXPECT_EQ(results->focusScore(), 0.5f);
  EXPECT_EQ(results->cycles(), 0u);
  EXPECT_FALSE(results->rawSignal());
  EXPECT_FALSE(results->channelSet());

  auto light = d->copyWithoutPreservingCollections();
  EXPECT_FALSE(light->rawSignal());
  EXPECT_FALSE(light->filteredDFT());
  EXPECT_EQ(light->fftStatus(), 2u);
  EXPECT_EQ(light->channelSet(), set);

  // A set's copy holds copies that still refer to the source set.
  auto setCopy = set->copy();
  ASSERT_TRUE(setCopy->rightChannel());
  EXPECT_NE(setCopy->rightChannel(), d);
  EXPECT_EQ(setCopy->rightChannel()->channelSet(), set);
  EXPECT_FALSE(setCopy->leftChannel());
  EXPECT_FALSE(set->copyWithoutPreservingCollections()->rightChannel()->rawSignal());
  EXPECT_EQ(set->copyPreservingAnalysisResultsOnly()->rightChannel()->focusScore(), 0.5f);
}

TEST(ChannelSet, FlatArraysAreMadeOnceAndRangeCopiesAreChecked) {
  auto d = VPKChannelDescription::create();
  EXPECT_EQ(d->rawSignalFloatArray(), nullptr);
  float dest[8] = {};
  EXPECT_FALSE(d->getRawSignal(dest, VPKRange{0, 1}));

  auto signal = ramp(8);
  d->setRawSignal(signal);
  const float* flat = d->rawSignalFloatArray();
  ASSERT_NE(flat, nullptr);
  EXPECT_EQ(flat[7], 7.0f);
  // Kept as it was at the first request.
  signal->push(100.0f);
  EXPECT_EQ(d->rawSignalFloatArray(), flat);
  EXPECT_EQ(d->rawSignalFloatArray()[7], 7.0f);

  d->getRawSignal(dest);
  EXPECT_EQ(dest[0], 0.0f);
  EXPECT_EQ(dest[7], 7.0f);
  float part[3] = {};
  EXPECT_TRUE(d->getRawSignal(part, VPKRange{5, 3}));
  EXPECT_EQ(part[0], 5.0f);
  EXPECT_EQ(part[2], 7.0f);
  EXPECT_FALSE(d->getRawSignal(part, VPKRange{6, 3}));
  EXPECT_FALSE(d->getRawSignal(part, VPKRange{UINT64_MAX, 2}));
  EXPECT_TRUE(d->getRawSignal(part, VPKRange{8, 0}));

  // A new buffer replaces the flat array.
  d->setRawSignal(ramp(4));
  EXPECT_EQ(d->rawSignalFloatArray()[3], 3.0f);
  EXPECT_FALSE(d->getRawSignal(part, VPKRange{2, 3}));
}

TEST(ChannelSet, AnalyzerSampleCopiesAtMostTwoValues) {
  VPKSignalAnalyzerSample s;
  const float three[3] = {1.0f, 2.0f, 3.0f};
  s.setData(three, 3, 42.0);
  EXPECT_EQ(s.count(), 2u);
  s.setData(three, 1, 43.0);
  EXPECT_EQ(s.right(), 0.0f);
  s.setData(nullptr, 2, 44.0);
  EXPECT_EQ(s.count(), 0u);
}
