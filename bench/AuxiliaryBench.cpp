// Auxiliary services: the tone's render callback, and offline reverse geocoding (loading the
// time-zone tables, and one nearest-city lookup).
#include <VemraPlatformKit/auxiliary/VPKToneGenerator.h>
#include <VemraPlatformKit/platform/location/Geocoder.h>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

// One buffer of `range(0)` frames at 44.1 kHz.
void BM_ToneRender(benchmark::State& state) {
  auto tone = VPKToneGenerator::create();
  tone->setFrequency(440);
  std::vector<float> buffer(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    tone->render(buffer.data(), buffer.size());
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ToneRender)->Arg(256)->Arg(4096);

void BM_ZoneTableLoad(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(vpk::ZoneTable::load("/usr/share/zoneinfo"));
}
BENCHMARK(BM_ZoneTableLoad)->Unit(benchmark::kMicrosecond);

void BM_ZoneTableNearest(benchmark::State& state) {
  const auto table = vpk::ZoneTable::load("/usr/share/zoneinfo");
  if (!table) {
    state.SkipWithError("no tz database");
    return;
  }
  const vpk::LocationFix berlin{52.52, 13.405, 10, 0};
  for (auto _ : state) benchmark::DoNotOptimize(table->nearest(berlin));
  state.counters["rows"] = static_cast<double>(table->entries().size());
}
BENCHMARK(BM_ZoneTableNearest)->Unit(benchmark::kMicrosecond);

}  // namespace
