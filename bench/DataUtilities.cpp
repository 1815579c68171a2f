// Throughput of the data utilities: objects into a block file store, gzip, AES, Intel HEX.
#include <VemraPlatformKit/frame/VPKConversions.h>
#include <VemraPlatformKit/frame/VPKDataHelpers.h>
#include <VemraPlatformKit/frame/VPKFile.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Bytes = vpk::ValueBytes;

// One second of two-channel signal as 16-bit samples, repeated to 1 MiB: compresses like a
// recording does (smooth, with some noise).
Bytes signalBytes() {
  Bytes b(1u << 20);
  uint32_t seed = 1;
  for (size_t i = 0; i + 1 < b.size(); i += 2) {
    seed = seed * 1664525u + 1013904223u;
    const auto v = static_cast<int16_t>(800 * std::sin(static_cast<double>(i) * 0.05) + static_cast<int>(seed >> 28));
    b[i] = static_cast<uint8_t>(v);
    b[i + 1] = static_cast<uint8_t>(v >> 8);
  }
  return b;
}

// A sample record as an application would store it: timestamp and two channel values.
vpk::Value sampleRecord(int i) {
  return vpk::Value::dictionary({{"t", 7e8 + i * 0.004}, {"l", 12.5 + i % 7}, {"r", -3.25 - i % 5}});
}

void BM_StoreAddAndSynchronize(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    auto store = VPKFile::file();
    for (int i = 0; i < n; ++i) store->addObject(sampleRecord(i));
    store->synchronizeFile();
    state.PauseTiming();
    store->discard();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_StoreAddAndSynchronize)->Arg(50000)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

void BM_StoreEnumerateFromFiles(benchmark::State& state) {
  const int n = 50000;
  auto store = VPKFile::file();
  for (int i = 0; i < n; ++i) store->addObject(sampleRecord(i));
  store->synchronizeFile();
  for (auto _ : state) {
    VPKFile::cache().removeAllObjects();
    size_t seen = 0;
    store->enumerateObjects([&](const vpk::Value&, bool&) { ++seen; });
    benchmark::DoNotOptimize(seen);
  }
  state.SetItemsProcessed(state.iterations() * n);
  store->discard();
}
BENCHMARK(BM_StoreEnumerateFromFiles)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

void BM_Gzip(benchmark::State& state) {
  const Bytes data = signalBytes();
  for (auto _ : state) benchmark::DoNotOptimize(VPKCompressionHelpers::compressedData(data));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_Gzip)->Unit(benchmark::kMillisecond);

void BM_Gunzip(benchmark::State& state) {
  const Bytes data = signalBytes();
  const Bytes packed = *VPKCompressionHelpers::compressedData(data);
  for (auto _ : state) benchmark::DoNotOptimize(VPKCompressionHelpers::decompressedData(packed));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
  state.counters["ratio"] = static_cast<double>(data.size()) / static_cast<double>(packed.size());
}
BENCHMARK(BM_Gunzip)->Unit(benchmark::kMillisecond);

void BM_AesEncrypt(benchmark::State& state) {
  const Bytes data = signalBytes();
  const Bytes key(32, 7);
  const Bytes iv(16, 9);
  for (auto _ : state) benchmark::DoNotOptimize(VPKEncryptionHelpers::encrypt(data, key, iv, true));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_AesEncrypt)->Unit(benchmark::kMillisecond);

void BM_AesDecrypt(benchmark::State& state) {
  const Bytes key(32, 7);
  const Bytes iv(16, 9);
  const Bytes sealed = *VPKEncryptionHelpers::encrypt(signalBytes(), key, iv, true);
  for (auto _ : state) benchmark::DoNotOptimize(VPKEncryptionHelpers::decrypt(sealed, key, iv, true));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sealed.size()));
}
BENCHMARK(BM_AesDecrypt)->Unit(benchmark::kMillisecond);

void BM_HexToBin(benchmark::State& state) {
  // A 256 KiB image as 16-byte records from 0x1000, with linear address records per 64 KiB.
  std::string text;
  char line[64];
  size_t written = 0;
  for (uint32_t address = 0x1000; written < (256u << 10); address += 16, written += 16) {
    if ((address & 0xFFFF) == 0) {
      const unsigned page = address >> 16;
      std::snprintf(line, sizeof line, ":02000004%04X%02X\r\n", page, (0x100 - ((6 + (page >> 8) + (page & 0xFF)) & 0xFF)) & 0xFF);
      text += line;
    }
    unsigned sum = 16 + ((address >> 8) & 0xFF) + (address & 0xFF);
    std::string record = ":10" + std::string(line, static_cast<size_t>(std::snprintf(line, sizeof line, "%04X", address & 0xFFFF))) + "00";
    for (int i = 0; i < 16; ++i) {
      std::snprintf(line, sizeof line, "%02X", (i * 17) & 0xFF);
      record += line;
      sum += (i * 17) & 0xFF;
    }
    std::snprintf(line, sizeof line, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text += record + line;
  }
  text += ":00000001FF\r\n";
  if (VPKConversions::calculateBinLength(text) != written) state.SkipWithError("generated text does not convert");
  for (auto _ : state) benchmark::DoNotOptimize(VPKConversions::convertHexToBin(text));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(written));
}
BENCHMARK(BM_HexToBin)->Unit(benchmark::kMillisecond);

}  // namespace
