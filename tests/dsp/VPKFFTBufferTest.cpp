#include <VemraPlatformKit/dsp/VPKFFTBuffer.h>

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <numeric>
#include <vector>

namespace {

std::vector<float> tone(int n, int bin, float amplitude, float phase = 0.0f) {
  std::vector<float> v(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    v[static_cast<std::size_t>(i)] =
        amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * bin * i / n + phase));
  }
  return v;
}

// |X[k] / N| by the definition, in double precision.
std::vector<double> directAmplitude(const std::vector<float>& x) {
  const std::size_t n = x.size();
  std::vector<double> out(n / 2);
  for (std::size_t k = 0; k < n / 2; ++k) {
    std::complex<double> sum;
    for (std::size_t j = 0; j < n; ++j) {
      sum += static_cast<double>(x[j]) * std::polar(1.0, -2.0 * std::numbers::pi * double(j * k % n) / n);
    }
    out[k] = std::abs(sum) / static_cast<double>(n);
  }
  return out;
}

}  // namespace

TEST(VPKFFTBuffer, FrequencyTablesOfTheHeadbandWindow) {
  auto fft = VPKFFTBuffer::create(240, 250);
  ASSERT_TRUE(fft);
  ASSERT_EQ(fft->frequencies().size(), 120u);
  EXPECT_FLOAT_EQ(fft->frequencies()[1], 1.0416667f);
  EXPECT_NEAR(fft->frequencies()[119], 123.958f, 1e-3f);
  EXPECT_FALSE(std::signbit(fft->roundFrequencies()[0]));
  EXPECT_EQ(fft->roundFrequencies()[1], 2.0f);
  EXPECT_EQ(fft->roundFrequencies()[24], 25.0f);  // 25.0 exactly stays 25

  std::vector<float> rounded(200, -1.0f);
  fft->getAmplitudeWithSize(200, nullptr, nullptr, rounded.data());  // cut at 120
  EXPECT_EQ(rounded[119], 124.0f);
  EXPECT_EQ(rounded[120], -1.0f);

  EXPECT_EQ(VPKFFTBuffer::create(*fft)->sampleRate(), 250);

  vpk::test::LogCapture log;
  EXPECT_FALSE(VPKFFTBuffer::create(1, 250));
  EXPECT_FALSE(VPKFFTBuffer::create(VPKFFTBuffer::kMaxSize + 1, 250));
  EXPECT_EQ(log.count("cannot make a window"), 2u);
}

TEST(VPKFFTBuffer, ConstantAndSineWindowsGiveTheirBins) {
  auto fft = VPKFFTBuffer::create(240, 250);
  std::vector<float> three(240, 3.0f);
  fft->addData(three.data(), three.size());
  fft->update();
  EXPECT_FLOAT_EQ(fft->DCOffset(), 3.0f);
  EXPECT_FLOAT_EQ(fft->magnitude()[0], 9.0f);
  for (float a : fft->amplitude()) EXPECT_NEAR(a, 0.0f, 1e-5f);

  const std::vector<float> sine = tone(240, 10, 2.0f, 0.3f);
  fft->setData(sine.data(), sine.size());
  fft->update();
  EXPECT_NEAR(fft->amplitude()[10], 1.0f, 1e-5f);
  EXPECT_NEAR(fft->magnitude()[10], 1.0f, 2e-5f);
  EXPECT_NEAR(fft->DCOffset(), 0.0f, 1e-6f);
  for (std::size_t k = 0; k < 120; ++k) {
    if (k != 10) {
      EXPECT_NEAR(fft->amplitude()[k], 0.0f, 1e-5f) << k;
    }
  }
  EXPECT_EQ(fft->count(), 480u);
}

TEST(VPKFFTBuffer, WindowSlidesOldestFirst) {
  auto fft = VPKFFTBuffer::create(240, 250);
  std::vector<float> window(240);
  for (int i = 1; i <= 241; ++i) fft->add(static_cast<float>(i));
  fft->getData(window.data());
  EXPECT_EQ(window.front(), 2.0f);
  EXPECT_EQ(window.back(), 241.0f);
  EXPECT_EQ(fft->count(), 0u);  // add alone is not counted

  // Many turns of the ring later it still holds the last 240, in order.
  for (int i = 242; i <= 1000; ++i) fft->add(static_cast<float>(i));
  fft->getData(window.data());
  for (std::size_t i = 0; i < 240; ++i) ASSERT_EQ(window[i], 761.0f + i);

  // setData with a whole window replaces it; later samples slide on from it.
  std::vector<float> fresh(240);
  std::iota(fresh.begin(), fresh.end(), 0.0f);
  fft->setData(fresh.data(), fresh.size());
  fft->add(-1.0f);
  fft->getData(window.data());
  EXPECT_EQ(window.front(), 1.0f);
  EXPECT_EQ(window.back(), -1.0f);
  // Any other count appends.
  fft->setData(fresh.data(), 3);
  fft->getData(window.data());
  EXPECT_EQ(window[239], 2.0f);
  EXPECT_EQ(fft->count(), 243u);

  // A partly filled window has its samples at the front.
  fft->reset();
  fft->add(5.0f);
  fft->getData(window.data());
  EXPECT_EQ(window[0], 5.0f);
  EXPECT_EQ(window[1], 0.0f);
  EXPECT_EQ(fft->count(), 243u);
}

TEST(VPKFFTBuffer, DecibelsArePowerDecibels) {
  auto fft = VPKFFTBuffer::create(240, 250);
  fft->setGenerateDecibels(true);
  fft->update();
  for (float db : fft->decibels()) EXPECT_NEAR(db, -128.0f, 1e-3f);

  const std::vector<float> sine = tone(240, 20, 1.0f);  // amplitude 0.5 on bin 20
  fft->setData(sine.data(), sine.size());
  fft->update();
  EXPECT_NEAR(fft->amplitude()[20], 0.5f, 1e-6f);
  EXPECT_NEAR(fft->decibels()[20], -6.0206f, 1e-3f);

  // Without the flag update leaves them alone, and asking for them computes the
  // same values.
  auto lazy = VPKFFTBuffer::create(240, 250);
  EXPECT_NEAR(lazy->decibelFloatBuffer()->floatArray()[7], -128.0f, 1e-3f);
  lazy->setData(sine.data(), sine.size());
  lazy->update();
  EXPECT_NEAR(lazy->decibels()[20], -128.0f, 1e-3f);  // not recomputed by update
  auto db = lazy->decibelFloatBuffer();
  EXPECT_NEAR(db->floatArray()[20], -6.0206f, 1e-3f);
  for (std::size_t k = 0; k < 120; ++k) EXPECT_EQ(db->floatArray()[k], fft->decibels()[k]);

  // After a reset both paths give the decibels of the emptied amplitudes, not of the
  // magnitudes kept from the last update.
  fft->reset();
  lazy->reset();
  for (std::size_t k = 0; k < 120; ++k) {
    ASSERT_NEAR(fft->decibels()[k], -128.0f, 1e-3f) << k;
    ASSERT_NEAR(lazy->decibelFloatBuffer()->floatArray()[k], -128.0f, 1e-3f) << k;
  }
}

TEST(VPKFFTBuffer, SnapshotsAreKeptUntilTheSpectrumChanges) {
  auto fft = VPKFFTBuffer::create(240, 250);
  std::vector<float> sine = tone(240, 5, 4.0f);
  for (float& v : sine) v += 2.0f;
  fft->setData(sine.data(), sine.size());
  fft->update();
  auto amplitude = fft->amplitudeFloatBuffer();
  auto magnitude = fft->magnitudeFloatBuffer();
  auto frequencies = fft->frequenciesFloatBuffer();
  auto rounded = fft->roundedFrequenciesFloatBuffer();
  ASSERT_EQ(amplitude->count(), 120u);
  EXPECT_TRUE(amplitude->isImmutable());
  EXPECT_NEAR(amplitude->floatArray()[5], 2.0f, 1e-5f);
  EXPECT_NEAR(magnitude->floatArray()[5], 4.0f, 1e-4f);
  EXPECT_EQ(rounded->floatArray()[1], 2.0f);
  EXPECT_EQ(fft->amplitudeFloatBuffer(), amplitude);
  EXPECT_EQ(fft->decibelFloatBuffer(), fft->decibelFloatBuffer());

  // reset empties the window and amplitudes but keeps the last magnitudes and mean.
  fft->reset();
  std::vector<float> window(240, 1.0f);
  fft->getData(window.data());
  EXPECT_EQ(window, std::vector<float>(240, 0.0f));
  EXPECT_EQ(fft->amplitudeFloatBuffer()->floatArray()[5], 0.0f);
  EXPECT_EQ(fft->magnitudeFloatBuffer(), magnitude);
  EXPECT_NEAR(fft->DCOffset(), 2.0f, 1e-6f);
  EXPECT_EQ(fft->count(), 240u);

  fft->update();
  EXPECT_EQ(fft->DCOffset(), 0.0f);
  EXPECT_NE(fft->magnitudeFloatBuffer(), magnitude);
  EXPECT_EQ(fft->frequenciesFloatBuffer(), frequencies);
  EXPECT_EQ(fft->roundedFrequenciesFloatBuffer(), rounded);
  // Handed-out snapshots keep the spectrum they were made from.
  EXPECT_NEAR(amplitude->floatArray()[5], 2.0f, 1e-5f);
}

// Lengths kissfft does not take (odd, or with a large prime factor) use the
// library's own transform; both must give the same spectrum as the definition.
TEST(VPKFFTBuffer, EveryLengthMatchesTheDefinition) {
  for (int n : {2, 3, 7, 16, 30, 240, 242, 256, 1000}) {
    auto fft = VPKFFTBuffer::create(n, 250);
    ASSERT_TRUE(fft) << n;
    std::vector<float> x(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) x[static_cast<std::size_t>(i)] = std::cos(0.7f * i * i) + 0.25f;
    fft->addData(x.data(), x.size());
    fft->update();
    const std::vector<double> want = directAmplitude(x);
    EXPECT_NEAR(fft->DCOffset(), want[0], 1e-5) << n;
    for (std::size_t k = 1; k < want.size(); ++k) {
      ASSERT_NEAR(fft->amplitude()[k], want[k], 1e-5) << n << " bin " << k;
    }
  }
}
