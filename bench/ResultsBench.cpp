// Per-cycle cost of the result records and of the library's own data processors at the
// analyzer's defaults: 25 new samples per channel and cycle, 512-sample windows, 240-sample
// spectra at 250 Hz.

#include "AllocationCounter.h"

#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/analysis/VPKSignalValidityMonitor.h>
#include <VemraPlatformKit/dsp/VPKDadeFocusAnalyzer.h>
#include <VemraPlatformKit/dsp/VPKFFTBuffer.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

using vpk::bench::gAllocations;

namespace {

void reportAllocations(benchmark::State& state, uint64_t before) {
  state.counters["allocs"] =
      benchmark::Counter(static_cast<double>(gAllocations.load() - before) / static_cast<double>(state.iterations()));
}

constexpr uint64_t kWindow = 512;
constexpr uint64_t kPerCycle = 25;
constexpr int kCycles = 64;

struct Signal {
  std::mt19937 gen{42};
  std::normal_distribution<float> noise{0.0f, 20.0f};
  uint64_t n = 0;
  float next() {
    ++n;
    return 30.0f * std::sin(0.25f * static_cast<float>(n)) + 5.0f * std::sin(1.508f * static_cast<float>(n)) + noise(gen);
  }
};

// kCycles consecutive two-channel sets as the analyzer builds them.
std::vector<VPKChannelSet::Ptr> cycles() {
  Signal signal;
  auto left = VPKFloatBuffer::createWithSize(kWindow), right = VPKFloatBuffer::createWithSize(kWindow);
  auto leftFFT = VPKFFTBuffer::create(240, 250), rightFFT = VPKFFTBuffer::create(*leftFFT);
  std::vector<VPKChannelSet::Ptr> sets;
  for (int c = 0; c < kCycles + 11; ++c) {
    float l[kPerCycle], r[kPerCycle];
    for (uint64_t i = 0; i < kPerCycle; ++i) {
      l[i] = signal.next();
      r[i] = signal.next();
    }
    left->pushValues(l, kPerCycle);
    right->pushValues(r, kPerCycle);
    leftFFT->addData(l, kPerCycle);
    rightFFT->addData(r, kPerCycle);
    leftFFT->update();
    rightFFT->update();
    auto describe = [&](uint64_t channel, const VPKFloatBuffer& window, VPKFFTBuffer& fft) {
      auto d = VPKChannelDescription::create();
      d->setChannel(channel);
      d->setRawSignal(window.immutableCopy());
      d->setAnalysisSampleRange({kWindow - kPerCycle, kPerCycle});
      d->setFilteredDFT(VPKDFT::create(fft.amplitudeFloatBuffer(), fft.frequenciesFloatBuffer(), fft.DCOffset()));
      d->setFftStatus(2);
      return d;
    };
    if (c >= 11) sets.push_back(VPKChannelSet::create(describe(0, *left, *leftFFT), describe(1, *right, *rightFFT)));
  }
  return sets;
}

// The validity monitor's share of one cycle: both channels and the decision.
void BM_ValidityMonitorCycle(benchmark::State& state) {
  const auto sets = cycles();
  auto monitor = VPKSignalValidityMonitor::create();
  monitor->resetWithAnalyzer(nullptr);
  size_t i = 0;
  const uint64_t before = gAllocations.load();
  for (auto _ : state) {
    const auto& set = *sets[i++ % sets.size()];
    monitor->updateChannelDescription(*set.leftChannel());
    monitor->updateChannelDescription(*set.rightChannel());
    benchmark::DoNotOptimize(monitor->idleSignalRecognized());
  }
  reportAllocations(state, before);
}
BENCHMARK(BM_ValidityMonitorCycle);

// One focus detector's cycle on one channel (the analyzer runs one per enabled channel).
void BM_FocusAnalyzerCycle(benchmark::State& state) {
  const auto sets = cycles();
  auto focus = VPKDadeFocusAnalyzer::create(0);
  focus->resetWithAnalyzer(nullptr);
  size_t i = 0;
  const uint64_t before = gAllocations.load();
  for (auto _ : state) {
    auto& d = *sets[i++ % sets.size()]->leftChannel();
    benchmark::DoNotOptimize(focus->updateChannelDescription(d));
  }
  reportAllocations(state, before);
}
BENCHMARK(BM_FocusAnalyzerCycle);

// Making one description and filling it as the analyzer does, with the window copied as an
// immutable snapshot (arg 0) or as a mutable window copy (arg 1).
void BM_ChannelDescriptionBuild(benchmark::State& state) {
  auto window = VPKFloatBuffer::createWithSize(kWindow);
  Signal signal;
  for (uint64_t i = 0; i < kWindow; ++i) window->push(signal.next());
  auto fft = VPKFFTBuffer::create(240, 250);
  fft->update();
  auto amplitude = fft->amplitudeFloatBuffer();
  auto frequencies = fft->frequenciesFloatBuffer();
  const bool mutableCopy = state.range(0) != 0;
  const uint64_t before = gAllocations.load();
  for (auto _ : state) {
    auto d = VPKChannelDescription::create();
    d->setRawSignal(mutableCopy ? window->copy() : window->immutableCopy());
    d->setAnalysisSampleRange({kWindow - kPerCycle, kPerCycle});
    d->setFilteredDFT(VPKDFT::create(amplitude, frequencies, fft->DCOffset()));
    d->setCycles(300);
    d->setFftStatus(2);
    benchmark::DoNotOptimize(d.get());
  }
  reportAllocations(state, before);
}
BENCHMARK(BM_ChannelDescriptionBuild)->Arg(0)->Arg(1);

// A filled channel set through keyed archiving and back.
void BM_ChannelSetArchiveRoundTrip(benchmark::State& state) {
  const auto sets = cycles();
  const auto& set = sets.front();
  for (auto _ : state) {
    auto data = vpk::KeyedArchiver::archivedData(vpk::Value(set));
    auto back = vpk::KeyedUnarchiver::unarchive(*data);
    benchmark::DoNotOptimize(back);
  }
}
BENCHMARK(BM_ChannelSetArchiveRoundTrip);

}  // namespace
