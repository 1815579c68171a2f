// Cost of the value layer: keyed archives, property lists and JSON of typical documents.
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// A sample window as the numeric classes archive it: 512 floats as bytes plus a few keys.
struct Window : vpk::Archivable {
  std::vector<float> samples = std::vector<float>(512, 0.5f);
  std::string archiveClassName() const override { return "BenchWindow"; }
  void encodeWithCoder(vpk::KeyedArchiver& c) const override {
    c.encodeInt("length", static_cast<int64_t>(samples.size()));
    c.encodeBytes("data", samples.data(), samples.size() * sizeof(float));
    c.encodeDouble("rate", 250.0);
  }
};

const bool registered = vpk::registerArchivableClass("BenchWindow", {}, [](vpk::KeyedUnarchiver& c) {
  auto w = std::make_shared<Window>();
  auto bytes = c.decodeBytes("data");
  if (!bytes || bytes->size() != static_cast<size_t>(c.decodeInt("length")) * sizeof(float)) return std::shared_ptr<Window>();
  std::memcpy(w->samples.data(), bytes->data(), std::min(bytes->size(), w->samples.size() * sizeof(float)));
  return w;
});

// A device-store-like document: 100 records of 6 keys.
vpk::Value records() {
  vpk::ValueList list;
  for (int i = 0; i < 100; ++i)
    list.push_back(vpk::Value::dictionary({{"identifier", "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"},
                                           {"name", "Vemra " + std::to_string(i)},
                                           {"rssi", -60 - i % 20},
                                           {"battery", 0.85},
                                           {"seen", vpk::Date{7e8 + i}},
                                           {"firmware", vpk::Value::list({1, 4, i})}}));
  return vpk::Value(list);
}

void BM_ArchiveWindows(benchmark::State& state) {
  vpk::ValueList windows;
  for (int i = 0; i < 2; ++i) windows.emplace_back(std::make_shared<Window>());
  const vpk::Value root(windows);
  for (auto _ : state) benchmark::DoNotOptimize(vpk::KeyedArchiver::archivedData(root));
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_ArchiveWindows);

void BM_UnarchiveWindows(benchmark::State& state) {
  (void)registered;
  vpk::ValueList windows;
  for (int i = 0; i < 2; ++i) windows.emplace_back(std::make_shared<Window>());
  const auto data = *vpk::KeyedArchiver::archivedData(vpk::Value(windows));
  for (auto _ : state) benchmark::DoNotOptimize(vpk::KeyedUnarchiver::unarchive(data));
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_UnarchiveWindows);

void BM_ArchiveRecords(benchmark::State& state) {
  const vpk::Value v = records();
  for (auto _ : state) benchmark::DoNotOptimize(vpk::KeyedArchiver::archivedData(v));
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_ArchiveRecords);

void BM_UnarchiveRecords(benchmark::State& state) {
  const auto data = *vpk::KeyedArchiver::archivedData(records());
  for (auto _ : state) benchmark::DoNotOptimize(vpk::KeyedUnarchiver::unarchive(data));
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_UnarchiveRecords);

void BM_PlistXMLWriteRead(benchmark::State& state) {
  const vpk::Value v = records();
  for (auto _ : state) {
    auto xml = vpk::propertyListData(v, vpk::PropertyListFormat::XML);
    benchmark::DoNotOptimize(vpk::propertyListFromData(*xml));
  }
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_PlistXMLWriteRead);

void BM_PlistBinaryWriteRead(benchmark::State& state) {
  const vpk::Value v = records();
  for (auto _ : state) {
    auto bin = vpk::propertyListBinary(v);
    benchmark::DoNotOptimize(vpk::propertyListFromData(*bin));
  }
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_PlistBinaryWriteRead);

void BM_JSONWriteRead(benchmark::State& state) {
  const vpk::Value v = records();
  for (auto _ : state) {
    auto text = v.toJSONString();
    benchmark::DoNotOptimize(vpk::Value::fromJSONString(*text));
  }
  state.SetItemsProcessed(state.iterations() * 100);
}
BENCHMARK(BM_JSONWriteRead);

}  // namespace
