#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/dsp/VPKDadeFocusAnalyzer.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

struct Bands {
  float D, T, A, B;
};

// A left description in a set of its own whose filtered spectrum (120 bins 250/240 Hz
// apart) holds D on bins 2-3, T on 5-7, A on 10-14 and B on 16-20, so each band's mean is
// exactly its value.
VPKChannelSet::Ptr describe(Bands b) {
  std::vector<float> freqs(120), amps(120, 0.0f);
  for (size_t k = 0; k < freqs.size(); ++k) freqs[k] = static_cast<float>(k) * 250.0f / 240.0f;
  for (size_t k : {2, 3}) amps[k] = b.D;
  for (size_t k : {5, 6, 7}) amps[k] = b.T;
  for (size_t k = 10; k <= 14; ++k) amps[k] = b.A;
  for (size_t k = 16; k <= 20; ++k) amps[k] = b.B;
  auto d = VPKChannelDescription::create();
  d->setFilteredDFT(VPKDFT::create(VPKFloatBuffer::createWithFloats(amps.data(), amps.size()),
                                   VPKFloatBuffer::createWithFloats(freqs.data(), freqs.size()), 0.0f));
  return VPKChannelSet::create(d, nullptr);
}

std::shared_ptr<VPKDadeFocusAnalyzer> freshDetector() {
  auto f = VPKDadeFocusAnalyzer::create(0);
  f->resetWithAnalyzer(nullptr);
  return f;
}

// Runs one cycle and returns the description.
VPKChannelDescription::Ptr run(VPKDadeFocusAnalyzer& f, Bands b, bool* scored = nullptr) {
  auto set = describe(b);
  const bool s = f.updateChannelDescription(*set->leftChannel());
  if (scored) *scored = s;
  return set->leftChannel();
}

// x4 of the score formula for averaged band values, with the stored coefficients.
double expectedScore(double Dm, double Tm, double R) {
  double x1 = std::max((0.6 * Dm + 1.4 * Tm) / 2.0, 0.0);
  double x2 = x1 > 1 ? 0 : 1 - x1;
  double x3 = std::max((1.25 * x2 + 0.75 * R) / 2.0, 0.0);
  double x4 = std::min(x3, 1.0) / 0.9 - 0.1;
  return x4 > 1 ? 1 : (x4 > 0 ? x4 : 0);
}

}  // namespace

TEST(DadeFocusAnalyzer, BandMeans) {
  auto d = describe({1, 2, 3, 4})->leftChannel();
  EXPECT_EQ(VPKDadeFocusAnalyzer::calculateMeanPower(*d, {200, 300}), 0.0f);
  EXPECT_EQ(VPKDadeFocusAnalyzer::calculateMeanPower(*d, {16, 21}), 4.0f);
}

TEST(DadeFocusAnalyzer, WorkedExamplesOfTheScore) {
  // D = T = 0.5 and B = A: x3 = 0.6875, F = 0.6875 / 0.9 - 0.1, credit 0.8.
  auto f = freshDetector();
  auto d = run(*f, {0.5f, 0.5f, 3.0f, 3.0f});
  ASSERT_TRUE(d->focusScore());
  EXPECT_NEAR(*d->focusScore(), 0.6875 / 0.9 - 0.1, 1e-6);
  EXPECT_DOUBLE_EQ(f->cyclesSpentInTargetZone(), 0.8);
  EXPECT_EQ(f->cycles(), 1u);
  EXPECT_EQ(d->alternateFocusScore(), 0.0f);  // no block finished yet

  // D = T = 2: x2 = 0, x3 = 0.375.
  EXPECT_NEAR(*run(*freshDetector(), {2, 2, 1, 1}).get()->focusScore(), 0.375 / 0.9 - 0.1, 1e-6);
  // B four times A is clipped to r = 1, as is B with A = 0.
  EXPECT_NEAR(*run(*freshDetector(), {2, 2, 1, 4})->focusScore(), 0.375 / 0.9 - 0.1, 1e-6);
  auto noAlpha = freshDetector();
  run(*noAlpha, {2, 2, 0, 4});
  EXPECT_FLOAT_EQ(noAlpha->bara()->movingAverage(), 1.0f);
  // B = 0 with A: B' = 1e-8, so r is about 0 and x3 = 1.25 x2 / 2.
  auto noBeta = freshDetector();
  auto nb = run(*noBeta, {0.5f, 0.5f, 3, 0});
  EXPECT_NEAR(noBeta->bara()->movingAverage(), 0.0f, 1e-8);
  EXPECT_FLOAT_EQ(noBeta->bBuffer()->floatArray()[9], 1e-8f);
  EXPECT_NEAR(*nb->focusScore(), expectedScore(0.5, 0.5, 0.0), 1e-6);

  // The score is a moving average of per-cycle scores over averaged band values.
  auto g = freshDetector();
  run(*g, {0.5f, 0.5f, 1, 1});
  auto second = run(*g, {1.5f, 0.5f, 1, 1});
  const double s1 = expectedScore(0.5, 0.5, 1.0), s2 = expectedScore(1.0, 0.5, 1.0);
  EXPECT_NEAR(*second->focusScore(), (s1 + s2) / 2, 1e-6);
}

TEST(DadeFocusAnalyzer, TargetZoneBlocksFeedTheAlternateScore) {
  // Weak slow bands: s = 1 every cycle, so every cycle credits 1.0.
  auto f = freshDetector();
  VPKChannelDescription::Ptr d;
  for (int i = 0; i < 5; ++i) d = run(*f, {0.01f, 0.01f, 1, 1});
  EXPECT_EQ(f->asa()->count(), 1u);
  EXPECT_EQ(f->asa()->movingAverage(), 1.0f);
  EXPECT_EQ(d->alternateFocusScore(), 1.0f);
  EXPECT_EQ(f->cycles(), 0u);
  EXPECT_EQ(f->cyclesSpentInTargetZone(), 0.0);

  // Every band 1: s = 0.375 / 0.9 - 0.1 (about 0.3167), credit 0.25, settling at 0.25.
  auto g = freshDetector();
  for (int i = 0; i < 60; ++i) d = run(*g, {1, 1, 1, 1});
  EXPECT_NEAR(*d->focusScore(), 0.375 / 0.9 - 0.1, 1e-6);
  EXPECT_FLOAT_EQ(*d->alternateFocusScore(), 0.25f);

  // A reset starts a fresh history but finishes the block it interrupted.
  run(*g, {1, 1, 1, 1});
  run(*g, {1, 1, 1, 1});
  g->resetWithAnalyzer(nullptr);
  EXPECT_EQ(g->cycles(), 2u);
  EXPECT_EQ(g->sa()->count(), 0u);
  for (int i = 0; i < 3; ++i) run(*g, {0.01f, 0.01f, 1, 1});
  EXPECT_EQ(g->cycles(), 0u);
  EXPECT_FLOAT_EQ(g->asa()->movingAverage(), static_cast<float>((0.25 + 0.25 + 1 + 1 + 1) / 5));
}

TEST(DadeFocusAnalyzer, CyclesThatCannotBeScoredChangeNothing) {
  auto f = freshDetector();
  run(*f, {0.5f, 0.5f, 1, 1});
  const float focus = f->sa()->movingAverage();
  const uint64_t saCount = f->sa()->count();

  // T = 0: the previous averages are repeated and the block does not advance.
  bool scored = true;
  auto d = run(*f, {0.5f, 0.0f, 1, 1}, &scored);
  EXPECT_FALSE(scored);
  EXPECT_EQ(d->focusScore(), focus);
  EXPECT_EQ(d->alternateFocusScore(), 0.0f);
  EXPECT_EQ(f->cycles(), 1u);

  // A NaN anywhere in the bands is skipped the same way instead of poisoning the averages.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (Bands b : {Bands{nan, 1, 1, 1}, Bands{1, 1, nan, 1}, Bands{1, 1, 1, nan}}) {
    d = run(*f, b, &scored);
    EXPECT_FALSE(scored);
    EXPECT_EQ(d->focusScore(), focus);
  }
  EXPECT_EQ(f->sa()->count(), saCount);

  // An idle set: both scores absent, nothing changes; the next cycle continues.
  auto set = describe({0.5f, 0.5f, 1, 1});
  set->leftChannel()->setIdle(true);
  set->leftChannel()->setFocusScore(0.3f);
  EXPECT_FALSE(f->updateChannelDescription(*set->leftChannel()));
  EXPECT_FALSE(set->leftChannel()->focusScore());
  EXPECT_FALSE(set->leftChannel()->alternateFocusScore());
  EXPECT_EQ(f->cycles(), 1u);
  d = run(*f, {0.5f, 0.5f, 1, 1}, &scored);
  EXPECT_TRUE(scored);
  EXPECT_EQ(f->cycles(), 2u);
  EXPECT_EQ(f->sa()->count(), saCount + 1);

  // Without any spectrum D is 0: nothing scored. A detector never reset resets itself.
  auto inert = VPKDadeFocusAnalyzer::create();
  auto empty = VPKChannelDescription::create();
  EXPECT_FALSE(inert->updateChannelDescription(*empty));
  EXPECT_EQ(empty->focusScore(), 0.0f);
  EXPECT_TRUE(inert->sa());
}
