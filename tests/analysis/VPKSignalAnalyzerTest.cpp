// The analyzer engine in virtual time: creation and settings, the cycle and its channel
// set, masks, idle transitions, outputs, processors, reset and the stream attachment.
#include "VPKSignalAnalyzerTestSupport.h"

#include "acquisition/StreamTestSupport.h"

#include "analysis/ElectrodeFailureFlags.h"
#include "analysis/PendingSampleQueue.h"
#include "support/LogCapture.h"
#include "support/VirtualTime.h"

#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/analysis/VPKBlockDataProcessor.h>
#include <VemraPlatformKit/analysis/VPKSignalValidityMonitor.h>
#include <VemraPlatformKit/dsp/VPKBasicFilter.h>
#include <VemraPlatformKit/dsp/VPKCompoundFilter.h>
#include <VemraPlatformKit/dsp/VPKDadeFocusAnalyzer.h>
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VemraPlatformKit.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <tuple>

namespace {

using vpk::test::feedSamples;
using vpk::test::RecordingAnalyzerOutput;
using vpk::test::ScriptedValidator;

class SignalAnalyzer : public vpk::test::VirtualTimeTest {
 protected:
  // An analyzer whose cycles run on the test thread when it calls run().
  VPKSignalAnalyzer::Ptr callerDriven(VPKSignalAnalyzer::Ptr a = VPKSignalAnalyzer::analyzer()) {
    a->setUsesProcessingThread(false);
    return a;
  }
  // Feeds `cycles` cycles' worth of samples and runs them; returns the sets in order.
  std::vector<std::shared_ptr<VPKChannelSet>> runCycles(VPKSignalAnalyzer& a, size_t cycles) {
    std::vector<std::shared_ptr<VPKChannelSet>> sets;
    a.setDiagnosticsHandler([&](const std::shared_ptr<VPKChannelSet>& s) { sets.push_back(s); });
    for (size_t i = 0; i < cycles; ++i) {
      feedSamples(a, a.samplesPerCycle(), now());
      a.processPendingSamples();
    }
    a.setDiagnosticsHandler(nullptr);
    return sets;
  }
  // Queues `count` samples of sum of sines (Hz, uV amplitude) on a 1000 uV offset, the right
  // channel at 80 % of the left plus a 3 uV ripple.
  void feedRhythms(VPKSignalAnalyzer& a, size_t count, std::vector<std::pair<double, float>> sines) {
    for (size_t i = 0; i < count; ++i, ++sample_) {
      const double t = static_cast<double>(sample_) / 250.0;
      float v = 1000.0f;
      for (const auto& [hz, amplitude] : sines) v += amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * hz * t));
      a.processData(v, 0.8f * v + 3.0f * static_cast<float>(sample_ % 5), now(), false);
    }
  }
  // An open stream feeding a threaded analyzer that reports to a recording output.
  static auto attached() {
    auto stream = VPKSignalStream::create();
    stream->open();
    auto a = VPKSignalAnalyzer::analyzer();
    auto output = std::make_shared<RecordingAnalyzerOutput>();
    a->addOutput(output);
    stream->addOutput(a);
    return std::tuple{stream, a, output};
  }
  uint64_t sample_ = 0;
};

// `f` is a basic filter of type `type` at `centre` Hz for 250 Hz with quality `q`.
void expectSection(const std::shared_ptr<VPKFilter>& f, VPKFilterType type, float centre, float q) {
  const auto basic = std::dynamic_pointer_cast<VPKBasicFilter>(f);
  ASSERT_NE(basic, nullptr);
  EXPECT_TRUE(basic->isEqual(*VPKBasicFilter::create(type, centre, 250.0f, q)))
      << "type " << basic->type() << " at " << basic->centerFrequency() << " Hz, Q " << basic->qFactor();
}

TEST_F(SignalAnalyzer, WindowsAreRoundedToPowersOfTwoAndTheCycleIsClamped) {
  EXPECT_EQ(VPKSignalAnalyzer::create(300, 0)->bufferSize(), 1024u);
  EXPECT_EQ(VPKSignalAnalyzer::analyzerWithSize(600)->bufferSize(), 1024u);
  auto byRate = VPKSignalAnalyzer::analyzerWithSamplingRate(300, 7);  // always two channels
  EXPECT_EQ(byRate->type(), 0u);
  EXPECT_EQ(VPKSignalAnalyzer::analyzerWithSize(100, 300, 5)->bufferSize(), 1024u);
  EXPECT_EQ(VPKSignalAnalyzer::nextPowerOfTwo((uint64_t{1} << 32) + 1), uint64_t{1} << 33);
  EXPECT_EQ(VPKSignalAnalyzer::nextPowerOfTwo((uint64_t{1} << 63) + 1), 0u);
  // Sizes and rates that cannot work are refused instead of failing later.
  EXPECT_EQ(VPKSignalAnalyzer::create(0, 250, 0), nullptr);
  EXPECT_EQ(VPKSignalAnalyzer::create(VPKSignalAnalyzer::kMaxBufferSize * 2, 250, 0), nullptr);

  // The cycle: at least one sample, at most one window.
  auto a = VPKSignalAnalyzer::analyzer();
  EXPECT_EQ(a->samplesPerCycle(), 25u);
  a->setAnalysisRate(10);
  EXPECT_DOUBLE_EQ(a->analysisRate(), 2.048);
  EXPECT_EQ(a->samplesPerCycle(), 512u);
  a->setAnalysisRate(0);
  EXPECT_DOUBLE_EQ(a->analysisRate(), 0.004);
  EXPECT_EQ(a->samplesPerCycle(), 1u);
  a->setAnalysisRate(-3);
  EXPECT_DOUBLE_EQ(a->analysisRate(), 0.004);
  a->setAnalysisRate(0.2);
  EXPECT_EQ(a->samplesPerCycle(), 50u);
  a->setAnalysisRate(std::numeric_limits<double>::quiet_NaN());
  EXPECT_DOUBLE_EQ(a->analysisRate(), 0.2);
  a->setAnalysisRate(std::numeric_limits<double>::infinity());
  EXPECT_DOUBLE_EQ(a->analysisRate(), 2.048);
}

TEST_F(SignalAnalyzer, ACycleTakesExactlyTheSamplesOfOneCycle) {
  auto a = callerDriven();
  feedSamples(*a, 24);
  EXPECT_EQ(a->processPendingSamples(), 0u);
  EXPECT_EQ(a->pendingSampleCount(), 24u);
  EXPECT_EQ(a->cycles(), 0u);
  EXPECT_EQ(a->analysisResult(), nullptr);

  feedSamples(*a, 4);  // n + 3 pending
  EXPECT_EQ(a->processPendingSamples(), 1u);
  EXPECT_EQ(a->pendingSampleCount(), 3u);
  EXPECT_EQ(a->cycles(), 25u);
  EXPECT_NE(a->analysisResult(), nullptr);

  feedSamples(*a, 72);  // 75 pending: three cycles in one call
  EXPECT_EQ(a->processPendingSamples(), 3u);
  EXPECT_EQ(a->pendingSampleCount(), 0u);
  EXPECT_EQ(a->cycles(), 100u);
  EXPECT_FALSE(a->isReady());
  feedSamples(*a, 150);
  a->processPendingSamples();
  EXPECT_TRUE(a->isReady());  // more than 249 samples

  // Disabled: samples are dropped on arrival.
  a->setEnabled(false);
  feedSamples(*a, 30);
  EXPECT_EQ(a->pendingSampleCount(), 0u);
}

TEST_F(SignalAnalyzer, ChannelSetHoldsCopiesOfTheNewestWindow) {
  auto a = callerDriven();
  std::vector<float> fed;
  for (int i = 0; i < 50; ++i) {
    fed.push_back(100.0f + static_cast<float>(i));
    a->processData(fed.back(), -fed.back(), now(), false);
  }
  std::vector<std::shared_ptr<VPKChannelSet>> sets;
  a->setDiagnosticsHandler([&](const std::shared_ptr<VPKChannelSet>& s) { sets.push_back(s); });
  ASSERT_EQ(a->processPendingSamples(), 2u);
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(a->analysisResult(), sets[1]);

  const auto& first = sets[0];
  const auto& left = first->leftChannel();
  const auto& right = first->rightChannel();
  ASSERT_TRUE(left && right);
  EXPECT_EQ(left->channel(), 0u);
  EXPECT_EQ(right->channel(), 1u);
  EXPECT_EQ(left->channelSet(), first);
  EXPECT_EQ(left->analysisSampleRange(), (VPKRange{487, 25}));
  EXPECT_EQ(left->cycles(), 25u);
  EXPECT_EQ(sets[1]->leftChannel()->cycles(), 50u);
  ASSERT_TRUE(left->timestamp().has_value());
  EXPECT_DOUBLE_EQ(left->timestamp()->secondsSinceReferenceDate, now());
  EXPECT_TRUE(left->includesRawSignalFFTResults());
  EXPECT_NE(left->rawDFT(), nullptr);
  EXPECT_EQ(right->filteredDFT()->frequencies(), left->filteredDFT()->frequencies());

  // The first cycle's windows end with the first 25 samples and are not moved by the
  // second cycle; before them the window holds zeros.
  const auto raw = left->rawSignal();
  ASSERT_EQ(raw->count(), 512u);
  EXPECT_TRUE(raw->isImmutable());
  EXPECT_FLOAT_EQ(raw->floatArray()[486], 0.0f);
  EXPECT_FLOAT_EQ(raw->floatArray()[487], 100.0f);
  EXPECT_FLOAT_EQ(raw->floatArray()[511], 124.0f);
  EXPECT_FLOAT_EQ(right->rawSignal()->floatArray()[511], -124.0f);
  EXPECT_FLOAT_EQ(sets[1]->leftChannel()->rawSignal()->floatArray()[511], 149.0f);
  // The filtered window is the filter's output.
  auto reference = VPKSignalAnalyzer::defaultHeadbandFilter();
  std::vector<float> expected(fed.begin(), fed.begin() + 25);
  reference->filter(expected.data(), expected.size());
  EXPECT_FLOAT_EQ(left->filteredSignal()->floatArray()[511], expected[24]);
}

TEST_F(SignalAnalyzer, SpectraBecomeValidAfter256SamplesAndFollowTheMasks) {
  auto a = callerDriven();
  auto sets = runCycles(*a, 11);
  for (size_t i = 0; i < 10; ++i) {  // up to 250 samples: not ready
    EXPECT_EQ(sets[i]->leftChannel()->fftStatus(), 0u) << i;
    EXPECT_EQ(sets[i]->rightChannel()->fftStatus(), 0u) << i;
  }
  EXPECT_EQ(sets[10]->leftChannel()->fftStatus(), 2u);
  EXPECT_EQ(sets[10]->rightChannel()->fftStatus(), 2u);

  // Right mask 0, left mask 1: only the left spectra move.
  a->setRightChannelEnabledDataProcesserTypes(0);
  a->setLeftChannelEnabledDataProcesserTypes(1);
  const auto rightBefore = sets[10]->rightChannel()->filteredDFT()->amplitude();
  const auto leftBefore = sets[10]->leftChannel()->filteredDFT()->amplitude();
  auto masked = runCycles(*a, 1);
  EXPECT_EQ(masked[0]->leftChannel()->fftStatus(), 2u);
  EXPECT_EQ(masked[0]->rightChannel()->fftStatus(), 0u);
  EXPECT_EQ(masked[0]->rightChannel()->filteredDFT()->amplitude(), rightBefore);  // same snapshot
  EXPECT_NE(masked[0]->leftChannel()->filteredDFT()->amplitude(), leftBefore);

  // Bit 0 cleared on the left: no spectrum there either.
  a->setLeftChannelEnabledDataProcesserTypes(14);
  const auto leftNow = masked[0]->leftChannel()->filteredDFT()->amplitude();
  auto cleared = runCycles(*a, 1);
  EXPECT_EQ(cleared[0]->leftChannel()->fftStatus(), 0u);
  EXPECT_EQ(cleared[0]->leftChannel()->filteredDFT()->amplitude(), leftNow);

  // A NaN sample reaches the spectrum and is reported as status 4.
  a->setLeftChannelEnabledDataProcesserTypes(15);
  a->processData(std::numeric_limits<float>::quiet_NaN(), 0, now(), false);
  auto withNaN = runCycles(*a, 1);
  EXPECT_EQ(withNaN[0]->leftChannel()->fftStatus(), 4u);
}

TEST_F(SignalAnalyzer, FilteredOnlyAndLeftOnlyAnalysisLeaveOutWhatTheyDoNotCompute) {
  auto a = callerDriven();
  a->setPerformFFTOnFilteredSignalOnly(true);
  auto sets = runCycles(*a, 1);
  EXPECT_FALSE(sets[0]->leftChannel()->includesRawSignalFFTResults());
  EXPECT_EQ(sets[0]->leftChannel()->rawDFT(), nullptr);
  EXPECT_EQ(sets[0]->rightChannel()->rawDFT(), nullptr);

  auto leftOnly = callerDriven(VPKSignalAnalyzer::create(512, 250, 1));
  auto single = runCycles(*leftOnly, 11);
  EXPECT_EQ(single[10]->rightChannel(), nullptr);
  EXPECT_EQ(single[10]->leftChannel()->fftStatus(), 2u);

  // Without a filter the filtered window is the raw one and its spectrum stays empty.
  auto unfiltered = callerDriven();
  unfiltered->setFilter(nullptr);
  EXPECT_EQ(unfiltered->filter(), nullptr);
  auto plain = runCycles(*unfiltered, 11);
  const auto& d = plain[10]->leftChannel();
  EXPECT_TRUE(d->filteredSignal()->isEqual(*d->rawSignal()));
  EXPECT_EQ(d->filteredDFT()->amplitude()->maxFloatValue(), 0.0f);
}

TEST_F(SignalAnalyzer, IdleTransitionsReachOutputsAndDescriptions) {
  struct Case {
    uint64_t mask;
    std::vector<std::string> kinds;  // notifications over the script below
    std::vector<bool> idleFlags;     // the descriptions' idle flag per cycle
  };
  // The validator's verdict per cycle: idle on cycles 1 and 2.
  const std::vector<bool> script{false, true, true, false};
  const std::vector<Case> cases{
      {3, {"enter", "leave"}, {false, true, true, false}},
      {0, {"enter", "leave"}, {false, true, true, false}},
      {1, {"enter"}, {true, true, true, true}},      // never leaves: marked idle instead
      {2, {"leave"}, {false, false, false, false}},  // never enters: marked not idle
  };
  for (const auto& c : cases) {
    auto a = callerDriven();
    auto validator = std::make_shared<ScriptedValidator>(script);
    a->setSignalValidityMonitor(validator);
    a->setAllowedIdleTransitions(c.mask);
    auto output = std::make_shared<RecordingAnalyzerOutput>();
    a->addOutput(output);
    auto sets = runCycles(*a, script.size());
    settle();
    EXPECT_EQ(output->kinds({"enter", "leave"}), c.kinds) << "mask " << c.mask;
    for (size_t i = 0; i < sets.size(); ++i) {
      EXPECT_EQ(sets[i]->leftChannel()->isIdle(), c.idleFlags[i]) << "mask " << c.mask << " cycle " << i;
      EXPECT_EQ(sets[i]->rightChannel()->isIdle(), c.idleFlags[i]) << "mask " << c.mask << " cycle " << i;
    }
    EXPECT_EQ(a->isIdle(), c.idleFlags.back());
  }
}

TEST_F(SignalAnalyzer, ValidatorOutsideTheMasksNeitherRunsNorRepeatsLeaving) {
  auto a = callerDriven();
  auto validator = std::make_shared<ScriptedValidator>(std::vector<bool>{true});
  a->setSignalValidityMonitor(validator);
  auto output = std::make_shared<RecordingAnalyzerOutput>();
  a->addOutput(output);
  runCycles(*a, 1);
  const int updates = validator->updates.load();
  a->setLeftChannelEnabledDataProcesserTypes(11);  // bit 4 cleared on both channels
  a->setRightChannelEnabledDataProcesserTypes(1);
  auto sets = runCycles(*a, 3);
  settle();
  EXPECT_EQ(validator->updates.load(), updates);
  for (const auto& s : sets) EXPECT_FALSE(s->isIdle());
  // One "leave" for the cycle that stopped reporting idle, not one per cycle.
  EXPECT_EQ(output->count("enter"), 1u);
  EXPECT_EQ(output->count("leave"), 1u);
}

TEST_F(SignalAnalyzer, AValidatorIsResetBeforeItsFirstCycleAndWhenTheTransitionsChange) {
  auto a = callerDriven();
  auto validator = std::make_shared<ScriptedValidator>();
  a->setSignalValidityMonitor(validator);
  EXPECT_EQ(validator->resets.load(), 0);  // not while a cycle might run
  a->setAllowedIdleTransitions(3);         // unchanged
  a->setAllowedIdleTransitions(0);         // changed to 0
  runCycles(*a, 2);
  EXPECT_EQ(validator->resets.load(), 1);  // installed: once, before its first update
  a->setAllowedIdleTransitions(1);
  runCycles(*a, 1);
  EXPECT_EQ(validator->resets.load(), 2);
}

TEST_F(SignalAnalyzer, OutputsAreCalledInPriorityOrderOnTheirOwnQueues) {
  auto a = callerDriven();
  auto ownQueue = vpk::DispatchQueue::createSerial("analyzer-output");
  auto last = std::make_shared<RecordingAnalyzerOutput>();
  auto second = std::make_shared<RecordingAnalyzerOutput>(5, ownQueue);
  auto first = std::make_shared<RecordingAnalyzerOutput>(1);
  a->addOutput(last);
  a->addOutput(second);
  a->addOutput(first);
  a->addOutput(first);
  a->addOutput(nullptr);
  EXPECT_EQ(a->allOutputs(), (std::vector<VPKSignalAnalyzerOutputPtr>{first, second, last}));
  EXPECT_TRUE(a->containsOutput(second));

  auto sets = runCycles(*a, 2);
  settle();
  for (const auto& o : {first, second, last}) {
    EXPECT_EQ(o->kinds(), (std::vector<std::string>{"analysis", "complete", "analysis", "complete"}));
    EXPECT_EQ(o->results(), sets);
  }
  for (const auto& call : second->calls()) EXPECT_EQ(call.queue, ownQueue.get());
  for (const auto& call : first->calls()) EXPECT_EQ(call.queue, vpk::DispatchQueue::main().get());

  a->removeOutput(second);
  EXPECT_FALSE(a->containsOutput(second));
  runCycles(*a, 1);
  settle();
  EXPECT_EQ(second->count("analysis"), 2u);
  EXPECT_EQ(first->count("analysis"), 3u);
  a->removeAllOutputs();
  EXPECT_TRUE(a->allOutputs().empty());
}

TEST_F(SignalAnalyzer, MainsSettingPlacesTheFiltersOfTheAnalyzerAndItsMonitor) {
  for (unsigned m : {50u, 60u}) {
    const float mains = static_cast<float>(m);
    const auto headband = VPKSignalAnalyzer::defaultHeadbandFilter(m)->filters();
    ASSERT_EQ(headband.size(), 2u);
    expectSection(headband[0], VPKFilterTypeNotch, mains, VPKButterworthQFactor);
    expectSection(headband[1], VPKFilterTypeBandpass, 7.0f, VPKButterworthQFactor);  // sqrt(1 x 49)
    const auto boost = VPKSignalAnalyzer::noiseBoostingFilter(m)->filters();
    ASSERT_EQ(boost.size(), 1u);
    expectSection(boost[0], VPKFilterTypeBandpass, std::sqrt((mains - 2) * (mains + 2)), VPKButterworthQFactor);

    auto a = callerDriven();
    EXPECT_EQ(a->mainsFrequency(), 60u);  // the stored setting of a fresh library folder
    ASSERT_TRUE(a->setMainsFrequency(m));
    expectSection(a->leftChannelFilter()->filters()[0], VPKFilterTypeNotch, mains, VPKButterworthQFactor);
    expectSection(a->rightChannelFilter()->filters()[0], VPKFilterTypeNotch, mains, VPKButterworthQFactor);
    runCycles(*a, 1);  // the monitor is rebuilt before the cycle
    const auto monitor = std::dynamic_pointer_cast<VPKSignalValidityMonitor>(a->signalValidator());
    EXPECT_EQ(monitor->mainsFrequency(), m);
    const auto chain = monitor->leftFilter()->filters();
    ASSERT_EQ(chain.size(), 3u);
    expectSection(chain[0], VPKFilterTypeHighpass, mains - 1, 3.0f);
    expectSection(chain[1], VPKFilterTypeLowpass, mains + 1, 3.0f);
    expectSection(chain[2], VPKFilterTypeBandpass, std::sqrt(50.0f), 3.0f);
  }
  auto a = callerDriven();
  EXPECT_FALSE(a->setMainsFrequency(55));
  EXPECT_EQ(a->mainsFrequency(), 60u);
  EXPECT_EQ(VemraPlatformKit::defaultInterferenceFrequency(), 60u);  // no analyzer setting is stored
}

TEST_F(SignalAnalyzer, AnInstalledMonitorRecognisesMainsHumFromItsFirstCycles) {
  for (unsigned m : {50u, 60u}) {
    auto a = callerDriven();
    a->setMainsFrequency(m);
    auto monitor = VPKSignalValidityMonitor::create();
    a->setSignalValidityMonitor(monitor);
    std::vector<std::shared_ptr<VPKChannelSet>> sets;
    a->setDiagnosticsHandler([&](const std::shared_ptr<VPKChannelSet>& s) { sets.push_back(s); });
    for (int cycle = 0; cycle < 40; ++cycle) {
      advance(0.1);
      feedRhythms(*a, 25, {{static_cast<double>(m), 20.0f}, {10.0, 8.0f}});
      a->processPendingSamples();
      if (cycle == 19) {
        EXPECT_TRUE(monitor->pendingIdle()) << m << " Hz, within 2 s";
      }
    }
    ASSERT_NE(monitor->leftAvg(), nullptr);
    EXPECT_EQ(monitor->mainsFrequency(), m);
    EXPECT_TRUE(sets.back()->isIdle()) << m << " Hz";
  }
}

TEST_F(SignalAnalyzer, FocusDetectorsScoreTheirOwnChannelOncePerCycle) {
  // A twin detector fed each cycle's left description after the analyzer's own gives the
  // same score only when the analyzer fed its detector exactly that description, once.
  auto a = callerDriven();
  a->setRightChannelEnabledDataProcesserTypes(1);  // spectra, no focus on the right
  auto twin = VPKDadeFocusAnalyzer::create(0);
  twin->resetWithAnalyzer(nullptr);
  size_t scored = 0;
  a->setDiagnosticsHandler([&](const std::shared_ptr<VPKChannelSet>& s) {
    const auto& left = s->leftChannel();
    const auto own = left->focusScore();
    EXPECT_FALSE(s->rightChannel()->focusScore());
    twin->updateChannelDescription(*left);
    EXPECT_EQ(own, left->focusScore()) << "cycle " << left->cycles() / 25;
    scored += own.has_value();
  });
  for (int cycle = 0; cycle < 30; ++cycle) {
    feedRhythms(*a, 25, {{6.0, 4.0f}, {11.0, 6.0f}, {18.0, 10.0f}});
    a->processPendingSamples();
  }
  EXPECT_GE(scored, 20u);
  EXPECT_EQ(a->leftChannelFocusDetector()->channel(), 0u);
  EXPECT_EQ(a->rightChannelFocusDetector()->channel(), 1u);
}

TEST_F(SignalAnalyzer, LatencyIsTheSmoothedCycleTimeOnTheLibraryClock) {
  auto a = callerDriven();
  const std::vector<double> spent{0.008, 0.004, 0.002, 0.05, 0.004};
  size_t cycle = 0;
  auto slow = VPKBlockDataProcessor::create();
  slow->setPrepareToUpdateChannelDescriptionBlock([](VPKBlockDataProcessor&, VPKChannelDescription&) { return true; });
  slow->setUpdateChannelDescriptionBlock([&, raw = a.get()](VPKBlockDataProcessor&, VPKChannelDescription&) {
    if (cycle == 3) raw->reset();
    advance(spent[cycle++]);
    return true;
  });
  a->addDataProcessor(slow);
  std::vector<uint64_t> latencies;
  for (size_t i = 0; i < spent.size(); ++i) {
    runCycles(*a, 1);
    latencies.push_back(a->latency());
  }
  // The first cycle's own time, then 0.025 x the previous cycle's + 0.975 x its own.
  EXPECT_NEAR(static_cast<double>(latencies[0]), 8000.0, 1.0);
  EXPECT_NEAR(static_cast<double>(latencies[1]), 0.025 * 8000 + 0.975 * 4000, 1.0);
  EXPECT_NEAR(static_cast<double>(latencies[2]), 0.025 * 4000 + 0.975 * 2000, 1.0);
  // A cycle that resets the analyzer from inside is not counted; the next one is a first.
  EXPECT_EQ(latencies[3], 0u);
  EXPECT_NEAR(static_cast<double>(latencies[4]), 4000.0, 1.0);
}

TEST_F(SignalAnalyzer, ProcessorsAndCallbacksThatThrowDoNotStopTheCycle) {
  auto a = callerDriven();
  auto runs = std::make_shared<std::vector<uint64_t>>();
  auto processor = VPKBlockDataProcessor::create();  // type 8: left channel only by default
  processor->setPrepareToUpdateChannelDescriptionBlock(
      [](VPKBlockDataProcessor&, VPKChannelDescription&) { return true; });
  processor->setUpdateChannelDescriptionBlock([runs](VPKBlockDataProcessor&, VPKChannelDescription& d) {
    runs->push_back(d.channel());
    return true;
  });
  auto thrower = VPKBlockDataProcessor::create();
  thrower->setDataProcessorPriorityBlock([](VPKBlockDataProcessor&) { return int64_t{-5}; });
  thrower->setPrepareToUpdateChannelDescriptionBlock(
      [](VPKBlockDataProcessor&, VPKChannelDescription&) -> bool { throw std::runtime_error("processor failure"); });
  a->addDataProcessor(processor);
  a->addDataProcessor(processor);  // once only
  a->addDataProcessor(thrower);

  class ThrowingOutput : public RecordingAnalyzerOutput {
    void signalAnalyzerDidPerformAnalysis(VPKSignalAnalyzer&, const std::shared_ptr<VPKChannelSet>&) override {
      throw std::runtime_error("output failure");
    }
  };
  auto output = std::make_shared<ThrowingOutput>();
  a->addOutput(output);
  vpk::test::LogCapture log;
  runCycles(*a, 2);
  settle();
  EXPECT_EQ(a->cycles(), 50u);
  EXPECT_EQ(output->count("complete"), 2u);  // the calls after a failing one still come
  EXPECT_TRUE(log.contains("output failure"));
  EXPECT_TRUE(log.contains("processor failure"));

  a->removeDataProcessor(thrower);
  runCycles(*a, 1);
  EXPECT_EQ(*runs, (std::vector<uint64_t>{0}));  // left only, once the thrower is gone
  a->removeDataProcessor(processor);
  EXPECT_TRUE(a->allDataProcessors().empty());
}

TEST_F(SignalAnalyzer, ResetClearsEveryBufferAndResetsTheProcessors) {
  auto a = callerDriven();
  auto validator = std::make_shared<ScriptedValidator>();
  a->setSignalValidityMonitor(validator);
  auto processor = VPKBlockDataProcessor::create();
  int processorResets = 0;
  processor->setResetWithAnalyzerBlock([&](VPKBlockDataProcessor&, VPKSignalAnalyzer* by) {
    EXPECT_EQ(by, a.get());
    ++processorResets;
  });
  a->addDataProcessor(processor);
  runCycles(*a, 3);
  feedSamples(*a, 7);
  ASSERT_EQ(a->cycles(), 75u);

  a->reset();
  EXPECT_EQ(a->cycles(), 0u);
  EXPECT_EQ(a->pendingSampleCount(), 0u);
  EXPECT_EQ(a->analysisResult(), nullptr);
  EXPECT_EQ(a->latency(), 0u);
  EXPECT_EQ(validator->resets.load(), 2);  // when installed, and now
  EXPECT_EQ(processorResets, 1);
  // The windows start from zeros again.
  auto sets = runCycles(*a, 1);
  EXPECT_FLOAT_EQ(sets[0]->leftChannel()->rawSignal()->floatArray()[486], 0.0f);
  EXPECT_EQ(sets[0]->leftChannel()->cycles(), 25u);
}

TEST_F(SignalAnalyzer, FiltersAreHandedOutAsCopiesAndLockWrappersReleaseTheirLocks) {
  auto a = VPKSignalAnalyzer::analyzer();
  EXPECT_EQ(a->sampleCPUUsage(), 0.0);  // no processing thread
  EXPECT_NE(a->filter(), a->filter());  // a copy, not the one the cycle uses
  EXPECT_THROW(a->propertyLockWithBlock([] { throw std::runtime_error("x"); }), std::runtime_error);
  a->setEnabled(false);  // the property lock was released by the throw
  EXPECT_FALSE(a->isEnabled());
  a->latencyLockWithBlock([&] { EXPECT_FALSE(a->tryLatencyLockWithBlock([] {})); });
  EXPECT_TRUE(a->tryLatencyLockWithBlock([] {}));
}

TEST_F(SignalAnalyzer, PendingSamplesAreBounded) {
  vpk::detail::PendingSampleQueue queue(300);
  std::vector<VPKSignalAnalyzerSample> taken;
  for (int i = 0; i < 200; ++i) EXPECT_TRUE(queue.push(VPKSignalAnalyzerSample(float(i), 0, i)));
  queue.take(150, taken);  // the ring's start moves on
  for (int i = 200; i < 500; ++i) queue.push(VPKSignalAnalyzerSample(float(i), 0, i));
  EXPECT_EQ(queue.size(), 300u);  // the 50 left and 250 of the new ones made room
  queue.take(1000, taken);
  ASSERT_EQ(taken.size(), 300u);
  EXPECT_FLOAT_EQ(taken.front().left(), 200.0f);
  EXPECT_FLOAT_EQ(taken.back().left(), 499.0f);

  auto a = callerDriven();
  vpk::test::LogCapture log;
  feedSamples(*a, a->maxPendingSamples() + 10);
  EXPECT_EQ(a->pendingSampleCount(), a->maxPendingSamples());
  EXPECT_EQ(log.count("dropping the oldest"), 1u);
}

// ---------------------------------------------------------------- attached to a stream

TEST_F(SignalAnalyzer, AttachingStartsTheThreadAndRemovingStopsIt) {
  auto [stream, a, output] = attached();
  EXPECT_EQ(a->stream(), stream);
  EXPECT_TRUE(a->hasProcessingThread());

  for (int k = 0; k < 9; ++k) {  // 27 samples: one cycle, 2 pending
    advance(0.012);
    stream->processData(vpk::test::dataPacket(1000 + k));
  }
  settle();
  EXPECT_EQ(output->count("analysis"), 1u);
  EXPECT_EQ(a->pendingSampleCount(), 2u);
  EXPECT_EQ(output->calls()[0].queue, vpk::DispatchQueue::main().get());

  stream->removeOutput(a);
  EXPECT_FALSE(a->hasProcessingThread());
  EXPECT_EQ(a->stream(), nullptr);
  EXPECT_EQ(a->pendingSampleCount(), 0u);  // the thread empties the queue when it ends
  stream->addOutput(a);
  EXPECT_TRUE(a->hasProcessingThread());
  for (int k = 0; k < 9; ++k) stream->processData(vpk::test::dataPacket(2000));
  settle();
  EXPECT_EQ(output->count("analysis"), 2u);
  EXPECT_EQ(a->cycles(), 50u);

  // A reset stops and restarts the thread around the clearing.
  a->reset();
  EXPECT_TRUE(a->hasProcessingThread());
  EXPECT_EQ(a->cycles(), 0u);
  // Caller-driven processing stops the thread and does nothing while one runs.
  a->setUsesProcessingThread(false);
  EXPECT_FALSE(a->hasProcessingThread());
  for (int k = 0; k < 9; ++k) stream->processData(vpk::test::dataPacket(3000));
  EXPECT_EQ(a->processPendingSamples(), 1u);
  a->setUsesProcessingThread(true);
  EXPECT_TRUE(a->hasProcessingThread());
  EXPECT_EQ(a->processPendingSamples(), 0u);
  a->removeFromSignalStream();
  EXPECT_TRUE(stream->allOutputs().empty());
  settle();
}

TEST_F(SignalAnalyzer, EachPacketsDueCyclesHaveRunWhenTheClockSettles) {
  auto [stream, a, output] = attached();
  for (size_t k = 0; k < 60; ++k) {
    advance(0.012);
    stream->processData(vpk::test::dataPacket(static_cast<uint32_t>(5000 + 37 * k)));
    settle();
    ASSERT_EQ(output->count("analysis"), 3 * (k + 1) / 25) << "after packet " << k;
    ASSERT_EQ(a->cycles(), 3 * (k + 1) / 25 * 25);
  }
  stream->removeOutput(a);
}

class FakeElectrodeFlags : public vpk::detail::ElectrodeFailureFlags {
 public:
  std::optional<bool> hasLeftElectrodeFailure() const override { return left; }
  std::optional<bool> hasRightElectrodeFailure() const override { return right; }
  void setHasLeftElectrodeFailure(std::optional<bool> v) override { left = v; }
  void setHasRightElectrodeFailure(std::optional<bool> v) override { right = v; }
  std::optional<bool> left, right;
};

TEST_F(SignalAnalyzer, FlatlineVerdictsReachTheElectrodeFlags) {
  using vpk::detail::applyFlatlineVerdicts;
  FakeElectrodeFlags f;
  applyFlatlineVerdicts(f, false, false);  // one absent flag per update, left first
  EXPECT_EQ(f.left, false);
  EXPECT_EQ(f.right, std::nullopt);
  applyFlatlineVerdicts(f, false, false);
  EXPECT_EQ(f.right, false);
  applyFlatlineVerdicts(f, true, false);
  EXPECT_EQ(f.left, true);
  applyFlatlineVerdicts(f, false, false);  // a present flag is left alone
  EXPECT_EQ(f.left, true);
  FakeElectrodeFlags g;
  applyFlatlineVerdicts(g, false, true);  // with one channel flat, the other is filled too
  EXPECT_EQ(g.left, false);
  EXPECT_EQ(g.right, true);

  // Through the analyzer: a flat left channel marks its electrode, on the shared queue.
  auto flags = std::make_shared<FakeElectrodeFlags>();
  std::weak_ptr<VPKSignalStream> looked;
  vpk::detail::setElectrodeFlagsLookup([&](VPKSignalStream& s) {
    EXPECT_TRUE(VPKResourceManager::executingInContext());
    looked = s.shared_from_this();
    return flags;
  });
  auto stream = VPKSignalStream::create();
  stream->open();
  auto a = callerDriven();
  stream->addOutput(a);
  a->setRecordDiagnosticInformation(true);
  for (int i = 0; i < 25 * 24; ++i) a->processData(12345.25f, 100.0f + static_cast<float>(i % 7), now(), false);
  a->processPendingSamples();
  settle();
  vpk::detail::setElectrodeFlagsLookup(nullptr);
  const auto monitor = std::dynamic_pointer_cast<VPKSignalValidityMonitor>(a->signalValidator());
  ASSERT_NE(monitor, nullptr);
  EXPECT_TRUE(monitor->leftFlatline());
  EXPECT_FALSE(monitor->rightFlatline());
  EXPECT_EQ(flags->left, true);
  EXPECT_EQ(flags->right, false);
  EXPECT_EQ(looked.lock(), stream);
  stream->removeOutput(a);
}

}  // namespace
