#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/analysis/VPKSignalValidityMonitor.h>

#include "support/LogCapture.h"
#include "support/VirtualTime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <algorithm>

namespace {

constexpr uint64_t kWindow = 512;
constexpr uint64_t kPerCycle = 25;

// Feeds a monitor the way the analyzer does: 25 new samples per channel and cycle, pushed
// into 512-sample raw windows, one description per channel with fftStatus 2, left first.
class Feeder {
 public:
  using Source = std::function<float(uint64_t sample)>;
  Feeder(VPKSignalValidityMonitor& monitor, Source left, Source right)
      : monitor_(monitor), left_(std::move(left)), right_(std::move(right)) {}

  VPKChannelSet::Ptr cycle(uint64_t fftStatus = 2) {
    for (uint64_t i = 0; i < kPerCycle; ++i, ++sample_) {
      leftWindow_->push(left_(sample_));
      rightWindow_->push(right_(sample_));
    }
    auto set = VPKChannelSet::create(describe(0, *leftWindow_, fftStatus), describe(1, *rightWindow_, fftStatus));
    monitor_.updateChannelDescription(*set->leftChannel());
    monitor_.updateChannelDescription(*set->rightChannel());
    return set;
  }
  uint64_t samples() const { return sample_; }

 private:
  static VPKChannelDescription::Ptr describe(uint64_t channel, const VPKFloatBuffer& window, uint64_t fftStatus) {
    auto d = VPKChannelDescription::create();
    d->setChannel(channel);
    d->setRawSignal(window.copy());
    d->setAnalysisSampleRange({kWindow - kPerCycle, kPerCycle});
    d->setFftStatus(fftStatus);
    return d;
  }

  VPKSignalValidityMonitor& monitor_;
  Source left_, right_;
  VPKFloatBuffer::Ptr leftWindow_ = VPKFloatBuffer::createWithSize(kWindow);
  VPKFloatBuffer::Ptr rightWindow_ = VPKFloatBuffer::createWithSize(kWindow);
  uint64_t sample_ = 0;
};

// A lively signal: never the same integer part twice in a row.
float lively(uint64_t n) { return static_cast<float>(n % 7) * 3.0f; }

// Interference of `amplitude` at `hz` on a lively signal.
float hum(uint64_t n, double hz, float amplitude) {
  return lively(n) + amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(n) / 250.0));
}
float mains(uint64_t n) { return hum(n, 60.0, 400.0f); }

class SignalValidityMonitor : public vpk::test::VirtualTimeTest {
 protected:
  // `n` cycles 0.1 s apart, as the analyzer runs them.
  void cycles(Feeder& feed, int n) {
    for (int i = 0; i < n; ++i, advance(0.1)) feed.cycle();
  }
};

}  // namespace

TEST_F(SignalValidityMonitor, NotReadySpectraOnlyClearTheSignalStatus) {
  auto m = VPKSignalValidityMonitor::create();
  m->resetWithAnalyzer(nullptr);
  Feeder feed(*m, [](uint64_t) { return 12345.5f; }, [](uint64_t) { return 12345.5f; });
  for (int i = 0; i < 20; ++i) {
    auto set = feed.cycle(0);
    EXPECT_EQ(set->leftChannel()->signalStatus(), 0u);
    advance(0.1);
  }
  EXPECT_EQ(m->leftFlatlineCycles(), 0u);  // nothing counted while not ready
  EXPECT_FALSE(m->leftFlatline());
  EXPECT_FALSE(m->idleChangeDate());
}

TEST_F(SignalValidityMonitor, FlatLineAfter251EqualIntegerPartsThenIdleAfterConfirmation) {
  vpk::test::LogCapture log;
  VPKLogSetEnabled(true);
  auto m = VPKSignalValidityMonitor::create();
  m->resetWithAnalyzer(nullptr);
  // The step from silence to 12345 rings through the interference filters; only the flat
  // line is under test here.
  m->setLeftThreshold(1e9f);
  m->setRightThreshold(1e9f);
  Feeder feed(*m, [](uint64_t) { return 12345.25f; }, lively);

  cycles(feed, 10);  // 250 samples: 249 repeats
  EXPECT_EQ(m->leftFlatlineCycles(), 249u);
  EXPECT_FALSE(m->leftFlatline());
  feed.cycle();  // sample 251 is the 250th repeat
  EXPECT_TRUE(m->leftFlatline());
  EXPECT_FALSE(m->rightFlatline());
  EXPECT_EQ(m->leftFlatlineValue(), 12345);
  EXPECT_TRUE(m->pendingIdle());
  EXPECT_FALSE(m->idleSignalRecognized());
  const double turned = now();

  // Confirmed at the first decision more than 1.5 s after the verdict turned.
  while (!m->idleSignalRecognized()) {
    advance(0.1);
    feed.cycle();
    ASSERT_LT(now() - turned, 2.0);
  }
  EXPECT_GT(now() - turned, 1.5);
  EXPECT_FALSE(m->idleChangeDate());
  EXPECT_EQ(log.count("WARNING: Signal flat line values changed:(1,0)"), 1u);
  VPKLogSetEnabled(false);
}

TEST_F(SignalValidityMonitor, FlatMeansTheSameIntegerPartNotTheSameValue) {
  auto alternating = [](float a, float b) { return [a, b](uint64_t n) { return n % 2 ? a : b; }; };
  auto flat = VPKSignalValidityMonitor::create();
  Feeder same(*flat, alternating(100.2f, 100.9f), alternating(-5.5f, -5.1f));
  auto lively2 = VPKSignalValidityMonitor::create();
  Feeder differ(*lively2, alternating(100.9f, 101.1f), alternating(-1.5f, 1.5f));
  for (int i = 0; i < 12; ++i) {
    same.cycle();
    differ.cycle();
  }
  EXPECT_TRUE(flat->leftFlatline());
  EXPECT_TRUE(flat->rightFlatline());  // -5.5 and -5.1 both truncate to -5
  EXPECT_FALSE(lively2->leftFlatline());
  EXPECT_FALSE(lively2->rightFlatline());
  EXPECT_EQ(lively2->leftFlatlineCycles(), 0u);
}

TEST_F(SignalValidityMonitor, InterferenceIsMeasuredAroundTheMonitorsMainsFrequency) {
  // 20 uV of hum is recognised at the mains frequency the monitor is built for, and not at
  // the other one.
  for (unsigned setting : {50u, 60u}) {
    for (double noise : {50.0, 60.0}) {
      auto m = VPKSignalValidityMonitor::create();
      m->setMainsFrequency(setting);
      m->resetWithAnalyzer(nullptr);
      EXPECT_EQ(m->mainsFrequency(), setting);
      Feeder feed(*m, [noise](uint64_t n) { return hum(n, noise, 20.0f); }, lively);
      cycles(feed, 12);
      // The measure: the largest left amplitude strictly within 2 Hz of the setting.
      float expected = 0.0f;
      for (size_t i = 0; i < m->leftFFT()->frequencies().size(); ++i) {
        const float f = m->leftFFT()->frequencies()[i];
        if (f > setting - 2.0f && f < setting + 2.0f) expected = std::max(expected, m->leftFFT()->amplitude()[i]);
      }
      EXPECT_EQ(m->leftDSGamma(), expected);
      EXPECT_EQ(m->pendingIdle(), noise == setting) << setting << " Hz setting, " << noise << " Hz hum";
      EXPECT_LT(m->rightDSGamma(), 0.7f);
    }
  }
}

TEST_F(SignalValidityMonitor, InterferenceAverageSetsIdleAfterConfirmationAndSpikesDoNot) {
  auto m = VPKSignalValidityMonitor::create();
  m->resetWithAnalyzer(nullptr);
  Feeder feed(*m, mains, lively);
  cycles(feed, 12);
  EXPECT_GT(m->leftAvg()->exponentialAverage(), 0.7f);
  EXPECT_TRUE(m->pendingIdle());
  EXPECT_FALSE(m->leftFlatline());

  cycles(feed, 20);
  EXPECT_TRUE(m->idleSignalRecognized());

  // The raw verdict flips for one decision only: the idle state stays.
  m->setLeftThreshold(1e9f);
  feed.cycle();
  EXPECT_FALSE(m->pendingIdle());
  advance(0.1);
  m->setLeftThreshold(0.7f);
  feed.cycle();
  EXPECT_TRUE(m->pendingIdle());
  for (int i = 0; i < 20; ++i) {
    advance(0.1);
    feed.cycle();
    EXPECT_TRUE(m->idleSignalRecognized());
  }
}

TEST_F(SignalValidityMonitor, NoDecisionWithoutBothChannelsNoInterferenceWithoutAverages) {
  // Never reset: the averages are absent and read 0, so interference alone never turns idle.
  auto unreset = VPKSignalValidityMonitor::create();
  Feeder feed(*unreset, mains, mains);
  cycles(feed, 40);
  EXPECT_GT(unreset->leftDSGamma(), 0.7f);
  EXPECT_FALSE(unreset->pendingIdle());

  // Left descriptions only: counted, but never decided.
  auto m = VPKSignalValidityMonitor::create();
  m->resetWithAnalyzer(nullptr);
  auto window = VPKFloatBuffer::createWithSize(kWindow);
  auto d = VPKChannelDescription::create();
  d->setAnalysisSampleRange({kWindow - kPerCycle, kPerCycle});
  d->setFftStatus(2);
  for (int i = 0; i < 30; ++i) {
    for (uint64_t k = 0; k < kPerCycle; ++k) window->push(7.0f);
    d->setRawSignal(window->copy());
    m->updateChannelDescription(*d);
  }
  EXPECT_GT(m->leftFlatlineCycles(), 250u);
  EXPECT_FALSE(m->leftFlatline());
}

TEST_F(SignalValidityMonitor, BrokenInputIsCutOrRecoveredFrom) {
  auto m = VPKSignalValidityMonitor::create();
  m->resetWithAnalyzer(nullptr);
  // A range reaching past the signal reads what is there; no signal at all reads nothing.
  auto d = VPKChannelDescription::create();
  d->setFftStatus(2);
  d->setRawSignal(VPKFloatBuffer::createWithSize(10));
  d->setAnalysisSampleRange({5, 1000});
  m->updateChannelDescription(*d);
  EXPECT_EQ(m->leftFlatlineCycles(), 5u);  // six zeros after the stored 0
  auto none = VPKChannelDescription::create();
  none->setFftStatus(2);
  none->setChannel(1);
  none->setAnalysisSampleRange({UINT64_MAX, UINT64_MAX});
  m->updateChannelDescription(*none);
  EXPECT_EQ(m->rightFlatlineCycles(), 0u);

  // A NaN burst does not silence the interference measure for good.
  uint64_t poisonAt = 0;
  Feeder feed(*m,
              [&](uint64_t n) {
                return n >= poisonAt && n < poisonAt + 5 ? std::numeric_limits<float>::quiet_NaN() : mains(n);
              },
              lively);
  poisonAt = 100;
  for (int i = 0; i < 30; ++i) feed.cycle();
  EXPECT_GT(m->leftDSGamma(), 0.7f);
}
