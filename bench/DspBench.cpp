// Cost of the analysis kernels: filters per sample and per analysis block, the
// spectrum update of one channel, and the complex transforms.

#include <VemraPlatformKit/dsp/VPKBasicFilter.h>
#include <VemraPlatformKit/dsp/VPKCompoundFilter.h>
#include <VemraPlatformKit/dsp/VPKFastFilter.h>
#include <VemraPlatformKit/dsp/VPKFFTBuffer.h>
#include <VemraPlatformKit/dsp/VPKTransforms.h>

#include "dsp/RealFFT240.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

std::vector<float> eeg(std::size_t n) {
  std::mt19937 gen(42);
  std::normal_distribution<float> noise(0.0f, 20.0f);
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) {
    v[i] = 30.0f * std::sin(0.25f * static_cast<float>(i)) + noise(gen);
  }
  return v;
}

// One basic section, per sample, over blocks of 250.
void BM_BasicFilterPerSample(benchmark::State& state) {
  VPKBasicFilter f(VPKFilterTypeBandpass, static_cast<float>(VPKDefaultSamplingRate),
                   VPKFrequencyRange{1.0f, 49.0f});
  const std::vector<float> input = eeg(250);
  std::vector<float> block(250);
  for (auto _ : state) {
    block = input;
    f.filter(block.data(), block.size());
    benchmark::DoNotOptimize(block.data());
  }
  state.SetItemsProcessed(state.iterations() * 250);
}
BENCHMARK(BM_BasicFilterPerSample);

// The analyzer's default chain (mains notch + 1-49 Hz band-pass) over one cycle's
// 25 samples of one channel.
void BM_DefaultChainBlock25(benchmark::State& state) {
  auto chain = VPKCompoundFilter::create();
  const auto fs = static_cast<float>(VPKDefaultSamplingRate);
  chain->addFilterWithType(VPKFilterTypeNotch, 50.0f, fs, VPKButterworthQFactor);
  chain->addFilterWithType(VPKFilterTypeBandpass, fs, VPKFrequencyRange{1.0f, 49.0f});
  const std::vector<float> input = eeg(25);
  std::vector<float> block(25);
  for (auto _ : state) {
    block = input;
    chain->filter(block.data(), block.size());
    benchmark::DoNotOptimize(block.data());
  }
  state.SetItemsProcessed(state.iterations() * 25);
}
BENCHMARK(BM_DefaultChainBlock25);

void BM_FastFilterBlock25(benchmark::State& state) {
  VPKFastFilter f;
  const std::vector<float> input = eeg(25);
  std::vector<float> block(25);
  for (auto _ : state) {
    block = input;
    f.filter(block.data(), block.size());
    benchmark::DoNotOptimize(block.data());
  }
  state.SetItemsProcessed(state.iterations() * 25);
}
BENCHMARK(BM_FastFilterBlock25);

// One spectrum update at the analyzer's window (N = 240); arg 1 also makes decibels.
void BM_FFTBufferUpdate240(benchmark::State& state) {
  auto fft = VPKFFTBuffer::create(240, static_cast<int>(VPKDefaultSamplingRate));
  fft->setGenerateDecibels(state.range(0) != 0);
  const std::vector<float> input = eeg(240);
  fft->setData(input.data(), input.size());
  for (auto _ : state) {
    fft->update();
    benchmark::DoNotOptimize(fft->amplitude().data());
  }
}
BENCHMARK(BM_FFTBufferUpdate240)->Arg(0)->Arg(1);

// A full analysis cycle's work on one spectrum: 25 new samples, then update.
void BM_FFTBufferCycle240(benchmark::State& state) {
  auto fft = VPKFFTBuffer::create(240, static_cast<int>(VPKDefaultSamplingRate));
  const std::vector<float> input = eeg(25);
  for (auto _ : state) {
    fft->addData(input.data(), input.size());
    fft->update();
    benchmark::DoNotOptimize(fft->amplitude().data());
  }
}
BENCHMARK(BM_FFTBufferCycle240);

// The library's own transform of a 240-sample window (kissfft's bits, the FFT buffer's
// transform for that length by default), without the magnitudes.
void BM_RealFFT240(benchmark::State& state) {
  const std::vector<float> input = eeg(240);
  std::vector<float> re(120), im(120);
  for (auto _ : state) {
    vpk::detail::realFFT240(input.data(), re.data(), im.data());
    benchmark::DoNotOptimize(re.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_RealFFT240);

void BM_Tfsm(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<float> input = eeg(n);
  std::vector<float> re(n), im(n);
  for (auto _ : state) {
    re = input;
    std::fill(im.begin(), im.end(), 0.0f);
    benchmark::DoNotOptimize(vpk_tfsm(re.data(), im.data(), n));
  }
}
BENCHMARK(BM_Tfsm)->Arg(240)->Arg(256);

}  // namespace
