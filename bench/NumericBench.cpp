// Costs of the numeric core on the analyzer's hot path: one analysis cycle pushes 25
// values into a 512-value window and reads it flat; statistics of 512 values; the
// decibel buffer of a 120-bin spectrum.

#include "AllocationCounter.h"

#include <VemraPlatformKit/numeric/VPKFloatBuffer.h>
#include <VemraPlatformKit/numeric/VPKMovingAverage.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

using vpk::bench::gAllocations;

namespace {

std::vector<float> signal(size_t n, int seed) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<float>(std::sin((i + seed) * 0.31) * 40.0 + ((i * 7919 + seed) % 13));
  return v;
}

void BM_PushCycleAndReadFlat(benchmark::State& state) {
  auto window = VPKFloatBuffer::createWithSize(512);
  const auto cycle = signal(25, 1);
  const uint64_t before = gAllocations.load();
  for (auto _ : state) {
    window->pushValues(cycle.data(), cycle.size());
    benchmark::DoNotOptimize(window->floatArray());
  }
  state.counters["allocs/cycle"] =
      benchmark::Counter(static_cast<double>(gAllocations.load() - before) / static_cast<double>(state.iterations()));
  state.SetItemsProcessed(state.iterations() * 25);
}
BENCHMARK(BM_PushCycleAndReadFlat);

void BM_PushOneValue(benchmark::State& state) {
  auto window = VPKFloatBuffer::createWithSize(static_cast<uint64_t>(state.range(0)));
  float x = 0.5f;
  const uint64_t before = gAllocations.load();
  for (auto _ : state) {
    window->push(x);
    x += 1.0f;
  }
  state.counters["allocs/push"] =
      benchmark::Counter(static_cast<double>(gAllocations.load() - before) / static_cast<double>(state.iterations()));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PushOneValue)->Arg(512)->Arg(65536);

// Mean, median and standard deviation after each cycle's push (caches cold each time).
void BM_MeanMedianStdDev512(benchmark::State& state) {
  auto window = VPKFloatBuffer::createWithSize(512);
  const auto fill = signal(512, 3);
  window->pushValues(fill.data(), fill.size());
  const auto cycle = signal(25, 5);
  for (auto _ : state) {
    window->pushValues(cycle.data(), cycle.size());
    benchmark::DoNotOptimize(window->meanFloatValue());
    benchmark::DoNotOptimize(window->medianFloatValue());
    benchmark::DoNotOptimize(window->standardDeviation());
  }
}
BENCHMARK(BM_MeanMedianStdDev512);

template <int Which>
void BM_Statistic512(benchmark::State& state) {
  auto b = VPKFloatBuffer::createWithFloats(signal(512, 9).data(), 512);
  for (auto _ : state) {
    b->processDirectMutations();  // drops the caches, keeps the values
    if constexpr (Which == 0) benchmark::DoNotOptimize(b->meanFloatValue());
    if constexpr (Which == 1) benchmark::DoNotOptimize(b->medianFloatValue());
    if constexpr (Which == 2) benchmark::DoNotOptimize(b->standardDeviation());
    if constexpr (Which == 3) benchmark::DoNotOptimize(b->sortedFloatArray());
  }
}
BENCHMARK(BM_Statistic512<0>)->Name("BM_Mean512");
BENCHMARK(BM_Statistic512<1>)->Name("BM_Median512");
BENCHMARK(BM_Statistic512<2>)->Name("BM_StdDev512");
BENCHMARK(BM_Statistic512<3>)->Name("BM_SortedArray512");

void BM_CachedStatistics512(benchmark::State& state) {
  auto b = VPKFloatBuffer::createWithFloats(signal(512, 9).data(), 512);
  for (auto _ : state) {
    benchmark::DoNotOptimize(b->meanFloatValue());
    benchmark::DoNotOptimize(b->medianFloatValue());
    benchmark::DoNotOptimize(b->standardDeviation());
  }
}
BENCHMARK(BM_CachedStatistics512);

void BM_DecibelBuffer120(benchmark::State& state) {
  auto spectrum = signal(120, 11);
  for (auto& v : spectrum) v = std::fabs(v) * 1e-3f;
  auto b = VPKFloatBuffer::createWithFloats(spectrum.data(), 120);
  for (auto _ : state) benchmark::DoNotOptimize(b->decibelBuffer());
  state.SetItemsProcessed(state.iterations() * 120);
}
BENCHMARK(BM_DecibelBuffer120);

void BM_MovingAverageAdd(benchmark::State& state) {
  VPKMovingAverage average(16);
  float x = 0.25f;
  for (auto _ : state) {
    average.addValue(x);
    x += 0.5f;
    benchmark::DoNotOptimize(average.movingAverage());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MovingAverageAdd);

}  // namespace
