// Cost of the analysis engine: one full cycle at the defaults (two channels, four spectra,
// validity monitor, two focus detectors), the sample intake, the cycle with an output to
// notify, an hour of offline replay through the stream, and the analyzer's memory.
//
// The cycles run caller-driven (processPendingSamples), so the figures are the work of a
// cycle without the thread hand-over; BM_ThreadHandOver adds that.

#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/analysis/VPKSignalAnalyzer.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>
#include <VemraPlatformKit/recording/VPKSignalStreamFileHandle.h>

#include "AllocationCounter.h"

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <string>
#include <mutex>
#include <cmath>
#include <random>
#include <vector>

namespace {

// An awake, well-connected headband: alpha and beta rhythms plus noise around an
// electrode offset, so the validity monitor sees a usable signal and the focus detectors
// score every cycle.
std::vector<float> eegSamples(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> noise(0.0f, 3.0f);
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) {
    const float t = static_cast<float>(i) / 250.0f;
    v[i] = 8000.0f + 12.0f * std::sin(6.2831853f * 10.0f * t) + 6.0f * std::sin(6.2831853f * 18.0f * t) +
           9.0f * std::sin(6.2831853f * 3.0f * t) + noise(gen);
  }
  return v;
}

constexpr size_t kSamples = 250 * 60;

struct Signal {
  std::vector<float> left = eegSamples(kSamples, 1);
  std::vector<float> right = eegSamples(kSamples, 2);
};
const Signal& signal() {
  static const Signal s;
  return s;
}

// Feeds one cycle's samples (wrapping around the minute of signal) and runs the cycle.
struct Driver {
  VPKSignalAnalyzer::Ptr analyzer = VPKSignalAnalyzer::analyzer();
  size_t position = 0;
  Driver() {
    analyzer->setUsesProcessingThread(false);
    for (int i = 0; i < 40; ++i) cycle();  // past the 256 samples of warm-up
  }
  void feed() {
    const Signal& s = signal();
    const uint64_t n = analyzer->samplesPerCycle();
    for (uint64_t i = 0; i < n; ++i) {
      analyzer->processData(s.left[position], s.right[position], 0.0, false);
      position = (position + 1) % kSamples;
    }
  }
  size_t cycle() {
    feed();
    return analyzer->processPendingSamples();
  }
};

void BM_FullCycle(benchmark::State& state) {
  Driver driver;
  size_t scored = 0;
  driver.analyzer->setDiagnosticsHandler(
      [&](const std::shared_ptr<VPKChannelSet>& set) { scored += set->leftChannel()->focusScore().has_value(); });
  uint64_t allocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    driver.feed();
    const uint64_t before = vpk::bench::gAllocations.load();
    state.ResumeTiming();
    benchmark::DoNotOptimize(driver.analyzer->processPendingSamples());
    allocations += vpk::bench::gAllocations.load() - before;
  }
  state.counters["allocations"] =
      benchmark::Counter(static_cast<double>(allocations) / static_cast<double>(state.iterations()));
  if (scored != static_cast<size_t>(state.iterations()))
    state.SkipWithError("the focus detectors did not score every cycle");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FullCycle)->Repetitions(5)->ReportAggregatesOnly(true);

// The same cycles, timed 100 at a time: the samples of 100 cycles are queued with the timer
// paused, then one processPendingSamples() runs them. The per-cycle figure (cycle_time)
// leaves out the timer's pause and resume, which BM_FullCycle pays once per cycle.
void BM_FullCycleBatched(benchmark::State& state) {
  constexpr int kBatch = 100;
  Driver driver;
  size_t ran = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < kBatch; ++i) driver.feed();
    state.ResumeTiming();
    ran += driver.analyzer->processPendingSamples();
  }
  if (ran != static_cast<size_t>(state.iterations()) * kBatch) state.SkipWithError("cycles did not run");
  state.counters["cycle_time"] =
      benchmark::Counter(static_cast<double>(ran), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_FullCycleBatched)->Repetitions(5)->ReportAggregatesOnly(true);

// The cycle including the intake of its 25 samples (what the stream's queue and the
// processing thread spend together per cycle).
void BM_CycleWithIntake(benchmark::State& state) {
  Driver driver;
  for (auto _ : state) benchmark::DoNotOptimize(driver.cycle());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CycleWithIntake)->Repetitions(5)->ReportAggregatesOnly(true);

// Latency from a notification to a result, in real time: packets enter an open stream the
// way the peripheral's notification handler hands them over (from a thread of their own),
// the analyzer runs its cycles on its processing thread, and one output takes each channel
// set on a serial queue. Each iteration sends packets until one completes a cycle and times
// that packet's hand-over to the output's call; p50 and p99 are reported in microseconds.
void BM_PacketToOutputLatency(benchmark::State& state) {
  using Steady = std::chrono::steady_clock;
  class Waiting : public VPKSignalAnalyzerOutput {
   public:
    vpk::DispatchQueuePtr methodInvocationQueueForSignalAnalyzer(VPKSignalAnalyzer&) override { return queue; }
    void signalAnalyzerDidPerformAnalysis(VPKSignalAnalyzer&, const std::shared_ptr<VPKChannelSet>&) override {
      std::lock_guard<std::mutex> lock(mutex);
      ++sets;
      arrived = Steady::now();
      cond.notify_all();
    }
    vpk::DispatchQueuePtr queue = vpk::DispatchQueue::createSerial("bench-latency");
    std::mutex mutex;
    std::condition_variable cond;
    uint64_t sets = 0;
    Steady::time_point arrived;
  };
  auto stream = VPKSignalStream::create();
  stream->open();
  auto analyzer = VPKSignalAnalyzer::analyzer();
  auto output = std::make_shared<Waiting>();
  analyzer->addOutput(output);
  stream->addOutput(analyzer);
  const uint64_t perCycle = analyzer->samplesPerCycle();
  uint64_t samples = 0;
  std::vector<double> latencies;
  for (auto _ : state) {
    uint64_t before;
    {
      std::lock_guard<std::mutex> lock(output->mutex);
      before = output->sets;
    }
    Steady::time_point sent;
    do {
      sent = Steady::now();
      stream->processData(VPKSignalStream::generateSimulatedPacket());
      samples += 3;
    } while (samples % perCycle >= 3);  // this packet completed a cycle
    std::unique_lock<std::mutex> lock(output->mutex);
    if (!output->cond.wait_for(lock, std::chrono::seconds(2), [&] { return output->sets > before; })) {
      state.SkipWithError("no channel set reached the output");
      break;
    }
    latencies.push_back(std::chrono::duration<double, std::micro>(output->arrived - sent).count());
  }
  stream->close();
  if (latencies.empty()) return;
  std::sort(latencies.begin(), latencies.end());
  state.counters["p50_us"] = latencies[latencies.size() / 2];
  state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
}
BENCHMARK(BM_PacketToOutputLatency)->Iterations(3000)->UseRealTime();

// Latency from a notification to the recording: packets enter an open stream from a thread
// of their own, as above, with a recording writer as the stream's output; each iteration
// times one packet's hand-over until its append has run on the writer's queue, observed by
// fileSize() (a synchronous call on that queue, queued behind the append, so its return
// wake-up is included). p50 and p99 in microseconds.
void BM_PacketToWriterLatency(benchmark::State& state) {
  namespace fs = std::filesystem;
  using Steady = std::chrono::steady_clock;
  const fs::path root = fs::temp_directory_path() / ("vpk-writer-latency-" + std::to_string(::getpid()));
  fs::create_directories(root);
  {
    auto stream = VPKSignalStream::create();
    auto writer = VPKSignalStreamFileHandle::createForWriting(root / "latency.rec");
    stream->addOutput(writer);
    stream->open();
    uint64_t size = writer->fileSize();
    std::vector<double> latencies;
    for (auto _ : state) {
      const Steady::time_point sent = Steady::now();
      stream->processData(VPKSignalStream::generateSimulatedPacket());
      const uint64_t now = writer->fileSize();
      const Steady::time_point written = Steady::now();
      if (now <= size) {
        state.SkipWithError("the packet did not reach the writer");
        break;
      }
      size = now;
      latencies.push_back(std::chrono::duration<double, std::micro>(written - sent).count());
    }
    stream->close();
    writer->closeFile();
    writer->discardAllAssociatedURLs();
    if (!latencies.empty()) {
      std::sort(latencies.begin(), latencies.end());
      state.counters["p50_us"] = latencies[latencies.size() / 2];
      state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
    }
  }
  std::error_code ec;
  fs::remove_all(root, ec);
}
BENCHMARK(BM_PacketToWriterLatency)->Iterations(3000)->UseRealTime();

// One sample handed to the analyzer (the per-sample work on the stream's queue).
void BM_SampleIntake(benchmark::State& state) {
  auto analyzer = VPKSignalAnalyzer::analyzer();
  analyzer->setUsesProcessingThread(false);
  size_t i = 0;
  for (auto _ : state) {
    analyzer->processData(1.0f, 2.0f, 0.0, true);
    if (++i == 10000) {
      state.PauseTiming();
      analyzer->reset();
      i = 0;
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SampleIntake);

// The cycle with one output, posted to a serial queue (the output does nothing).
void BM_CycleWithOutput(benchmark::State& state) {
  class Quiet : public VPKSignalAnalyzerOutput {
   public:
    explicit Quiet(vpk::DispatchQueuePtr q) : queue_(std::move(q)) {}
    vpk::DispatchQueuePtr methodInvocationQueueForSignalAnalyzer(VPKSignalAnalyzer&) override { return queue_; }

   private:
    vpk::DispatchQueuePtr queue_;
  };
  Driver driver;
  auto queue = vpk::DispatchQueue::createSerial("bench-output");
  driver.analyzer->addOutput(std::make_shared<Quiet>(queue));
  for (auto _ : state) {
    state.PauseTiming();
    driver.feed();
    state.ResumeTiming();
    benchmark::DoNotOptimize(driver.analyzer->processPendingSamples());
  }
  queue->sync([] {});
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CycleWithOutput)->Repetitions(5)->ReportAggregatesOnly(true);

// Samples handed over from another thread to the processing thread until its cycle has
// run: the cost of the hand-over on top of the cycle (wall time).
void BM_ThreadHandOver(benchmark::State& state) {
  auto stream = VPKSignalStream::create();
  stream->open();
  auto analyzer = VPKSignalAnalyzer::analyzer();
  vpk::Semaphore done;
  analyzer->setDiagnosticsHandler([&](const std::shared_ptr<VPKChannelSet>&) { done.signal(); });
  stream->addOutput(analyzer);
  const Signal& s = signal();
  size_t position = 0;
  for (auto _ : state) {
    for (int i = 0; i < 25; ++i, position = (position + 1) % kSamples)
      analyzer->processData(s.left[position], s.right[position], 0.0, i < 24);
    done.wait();
  }
  stream->removeOutput(analyzer);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ThreadHandOver)->UseRealTime()->Repetitions(3)->ReportAggregatesOnly(true);

// One hour of simulated signal (300,000 packets) through the stream's direct path into a
// caller-driven analyzer, every due cycle run after each packet: the `vemra analyze`
// replay without the CSV.
void BM_OfflineReplayHour(benchmark::State& state) {
  constexpr uint64_t kPackets = 300000;
  for (auto _ : state) {
    VPKSignalStream::seedSimulatedPacketGenerator(1);
    uint64_t cycles = 0;
    VPKSignalStream::performBlockAndWait([&] {
      auto stream = VPKSignalStream::create();
      stream->open();
      auto analyzer = VPKSignalAnalyzer::analyzer();
      analyzer->setUsesProcessingThread(false);
      stream->addOutput(analyzer);
      for (uint64_t k = 0; k < kPackets; ++k) {
        stream->processData(VPKSignalStream::generateSimulatedPacket());
        cycles += analyzer->processPendingSamples();
      }
      stream->removeOutput(analyzer);
    });
    if (cycles != 36000) state.SkipWithError("wrong number of cycles");
  }
  state.counters["packets/s"] = benchmark::Counter(
      static_cast<double>(kPackets) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_OfflineReplayHour)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();

// Heap held by one analyzer at the defaults once it runs (allocator statistics), and the
// heap one channel set keeps alive when an application holds on to it.
void BM_MemoryFootprint(benchmark::State& state) {
  for (auto _ : state) {
    const size_t before = mallinfo2().uordblks;
    Driver driver;
    for (int i = 0; i < 20; ++i) driver.cycle();
    const size_t running = mallinfo2().uordblks;
    std::shared_ptr<VPKChannelSet> kept;
    driver.analyzer->setDiagnosticsHandler([&](const std::shared_ptr<VPKChannelSet>& s) { kept = s; });
    driver.cycle();
    driver.analyzer->setDiagnosticsHandler(nullptr);
    driver.cycle();  // the analyzer no longer holds the kept set as its latest result
    const size_t withSet = mallinfo2().uordblks;
    state.counters["analyzer_bytes"] = static_cast<double>(running - before);
    state.counters["channel_set_bytes"] = static_cast<double>(withSet - running);
  }
}
BENCHMARK(BM_MemoryFootprint)->Iterations(1);

}  // namespace
