// The simulated headband's named scenarios mean what their names say through the analysis:
// a minute of each scenario's samples, decoded as the stream decodes them, through an
// analyzer set to the scenario's mains frequency.
#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/analysis/VPKSignalAnalyzer.h>
#include <VemraPlatformKit/analysis/VPKSignalValidityMonitor.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedSignalModel.h>

#include "support/VirtualTime.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using vpk::SimulatedSignalModel;
using vpk::SimulatedSignalScenario;

struct Outcome {
  double focusMean = 0;                      // left channel, over the scored cycles
  std::optional<double> interferenceAt;      // first cycle whose interference average passed the threshold
  std::optional<double> idleAt;              // first idle channel set
  bool idleAtEnd = false;
  bool leftFlat = false, rightFlat = false;  // verdicts at the end
};

class SimulatedScenario : public vpk::test::VirtualTimeTest {
 protected:
  Outcome analyse(const std::string& name, unsigned mains, uint64_t seed = 1, double seconds = 60) {
    SimulatedSignalModel model(*SimulatedSignalScenario::named(name), seed, mains);
    auto a = VPKSignalAnalyzer::analyzer();
    a->setUsesProcessingThread(false);
    a->setMainsFrequency(mains);
    const auto monitor = std::dynamic_pointer_cast<VPKSignalValidityMonitor>(a->signalValidator());
    Outcome run;
    double focusSum = 0;
    int scored = 0;
    const double start = now();
    a->setDiagnosticsHandler([&](const std::shared_ptr<VPKChannelSet>& set) {
      const double t = now() - start;
      if (const auto f = set->leftChannel()->focusScore(); f && set->leftChannel()->fftStatus() == 2) {
        focusSum += *f;
        ++scored;
      }
      const bool interference = monitor->leftAvg()->exponentialAverage() > monitor->leftThreshold() ||
                                monitor->rightAvg()->exponentialAverage() > monitor->rightThreshold();
      if (!run.interferenceAt && interference) run.interferenceAt = t;
      if (!run.idleAt && set->isIdle()) run.idleAt = t;
      run.idleAtEnd = set->isIdle();
    });
    const auto samples = static_cast<uint64_t>(seconds * SimulatedSignalModel::kSamplingRate);
    for (uint64_t n = 0; n < samples; ++n) {
      advance(1.0 / SimulatedSignalModel::kSamplingRate);
      const auto codes = model.nextSample();
      a->processData(SimulatedSignalModel::decode(codes[0]), SimulatedSignalModel::decode(codes[1]), now(), false);
      a->processPendingSamples();
    }
    run.focusMean = scored ? focusSum / scored : 0;
    run.leftFlat = monitor->leftFlatline();
    run.rightFlat = monitor->rightFlatline();
    return run;
  }
};

TEST_F(SimulatedScenario, FocusedAndRelaxedScoreAsTheirNamesSay) {
  for (uint64_t seed : {1, 2, 3}) {
    const Outcome focused = analyse("focused", 60, seed);
    const Outcome relaxed = analyse("relaxed", 50, seed);
    EXPECT_GE(focused.focusMean, 0.6) << "seed " << seed;
    EXPECT_LE(relaxed.focusMean, 0.3) << "seed " << seed;
    // The step onto the amplifier's offset rings through the monitor's filters for a moment,
    // but never long enough to count as bad signal.
    EXPECT_FALSE(focused.idleAt || relaxed.idleAt) << "seed " << seed;
  }
}

TEST_F(SimulatedScenario, MainsNoiseIsRecognisedWithinTwoSecondsAtEitherFrequency) {
  for (unsigned mains : {50u, 60u}) {
    const Outcome run = analyse("mains-noise", mains, 1, 5);
    ASSERT_TRUE(run.interferenceAt) << mains << " Hz";
    EXPECT_LE(*run.interferenceAt, 2.0) << mains << " Hz";
    ASSERT_TRUE(run.idleAt) << mains << " Hz";
    EXPECT_LE(*run.idleAt, *run.interferenceAt + 1.6) << mains << " Hz";  // the monitor's confirmation
    EXPECT_TRUE(run.idleAtEnd) << mains << " Hz";
    EXPECT_FALSE(run.leftFlat || run.rightFlat);
  }
}

}  // namespace
