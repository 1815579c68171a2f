// Recording throughput: the writer fed directly and through a signal stream, the reader, and
// the two exports. Files go to a fresh folder under the temporary folder, removed at exit.
// Work runs on the writer's queue as well as the calling thread, so rates are per real second.
#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/recording/VPKRecordingExport.h>
#include <VemraPlatformKit/recording/VPKRecordingReader.h>
#include <VemraPlatformKit/recording/VPKSignalStreamFileHandle.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kPackets = 75000;  // 900 s of signal

struct Scratch {
  fs::path root;
  Scratch() {
    root = fs::temp_directory_path() / ("vpk-recording-bench-" + std::to_string(::getpid()));
    fs::create_directories(root);
    ::setenv("TMPDIR", root.c_str(), 1);  // the writer's temporary files land here too
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

Scratch& scratch() {
  static Scratch s;
  return s;
}

std::vector<VPKSignalStream::Packet> simulatedPackets() {
  std::vector<VPKSignalStream::Packet> packets;
  packets.reserve(kPackets);
  for (int i = 0; i < kPackets; ++i) packets.push_back(VPKSignalStream::generateSimulatedPacket());
  return packets;
}

const std::vector<VPKSignalStream::Packet>& packets() {
  static const auto p = simulatedPackets();
  return p;
}

// A 900-second recording to read and export.
const fs::path& sampleRecording() {
  static const fs::path path = [] {
    const fs::path p = scratch().root / "sample.rec";
    auto w = VPKSignalStreamFileHandle::createForWriting(p);
    for (const auto& packet : packets()) w->addData(packet);
    w->closeFile();
    return p;
  }();
  return path;
}

// addData of 75,000 packets and closing: the whole write, file synchronised to storage.
void BM_WriterAddData(benchmark::State& state) {
  scratch();
  const auto& input = packets();
  for (auto _ : state) {
    auto w = VPKSignalStreamFileHandle::createForWriting();
    for (const auto& p : input) w->addData(p);
    w->closeFile();
    state.PauseTiming();
    w->discardAllAssociatedURLs();
    w.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kPackets);
  state.SetBytesProcessed(state.iterations() * kPackets * 20);
}
BENCHMARK(BM_WriterAddData)->Unit(benchmark::kMillisecond)->UseRealTime();

// The recording path of the SDK: packets into an open stream whose output is the writer.
void BM_WriterThroughStream(benchmark::State& state) {
  scratch();
  const auto& input = packets();
  for (auto _ : state) {
    auto stream = VPKSignalStream::create();
    auto w = VPKSignalStreamFileHandle::createForWriting();
    stream->addOutput(w);
    stream->open();
    // The peripheral hands packets over on the shared queue.
    VPKResourceManager::performBlockAndWait([&] {
      for (const auto& p : input) stream->processData(p);
    });
    w->closeFile();
    state.PauseTiming();
    stream->removeAllOutputs();
    w->discardAllAssociatedURLs();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kPackets);
}
BENCHMARK(BM_WriterThroughStream)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReaderNextPacket(benchmark::State& state) {
  const fs::path& path = sampleRecording();
  uint64_t sum = 0;
  for (auto _ : state) {
    auto reader = VPKRecordingReader::open(path);
    VPKRecordingReader::Packet p;
    while (reader->nextPacket(p)) sum += p[5];
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kPackets);
  state.SetBytesProcessed(state.iterations() * kPackets * 20);
}
BENCHMARK(BM_ReaderNextPacket)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReaderForEach(benchmark::State& state) {
  const fs::path& path = sampleRecording();
  uint64_t sum = 0;
  for (auto _ : state) {
    auto reader = VPKRecordingReader::open(path);
    reader->forEachPacket([&](std::span<const uint8_t> p) { sum += p[5]; });
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kPackets);
}
BENCHMARK(BM_ReaderForEach)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ExportCSV(benchmark::State& state) {
  const fs::path& path = sampleRecording();
  const fs::path out = scratch().root / "out.csv";
  for (auto _ : state) benchmark::DoNotOptimize(VPKRecordingExport::exportCSV(path, out).ok);
  state.SetItemsProcessed(state.iterations() * kPackets);
}
BENCHMARK(BM_ExportCSV)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ExportBDF(benchmark::State& state) {
  const fs::path& path = sampleRecording();
  const fs::path out = scratch().root / "out.bdf";
  for (auto _ : state) benchmark::DoNotOptimize(VPKRecordingExport::exportBDF(path, out).ok);
  state.SetItemsProcessed(state.iterations() * kPackets);
}
BENCHMARK(BM_ExportBDF)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
