// Signal acquisition: decoding one packet and handing it to the outputs, and the stream's
// packet entry point on its direct and queued paths.
#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include "acquisition/SignalStreamAccess.h"

#include <benchmark/benchmark.h>

namespace {

class CountingOutput final : public VPKSignalStreamOutput {
 public:
  void didRecieveValues(VPKSignalStream&, float left, float right, double timestamp, bool) override {
    sum += left + right;
    last = timestamp;
    ++pairs;
  }
  void didRecieveData(VPKSignalStream&, std::span<const uint8_t> packet) override { bytes += packet.size(); }
  float sum = 0;
  double last = 0;
  long pairs = 0;
  size_t bytes = 0;
};

std::shared_ptr<VPKSignalStream> openStream(int outputs) {
  auto stream = VPKSignalStream::create();
  for (int i = 0; i < outputs; ++i) stream->addOutput(std::make_shared<CountingOutput>());
  stream->open();
  return stream;
}

// Decoding plus fan-out: the clock read, six 24-bit values, three pairs to each output and
// the raw packet to each output.
void BM_DecodeAndFanOut(benchmark::State& state) {
  auto stream = openStream(static_cast<int>(state.range(0)));
  const auto packet = VPKSignalStream::generateSimulatedPacket();
  for (auto _ : state) {
    vpk::detail::SignalStreamAccess::decode(*stream, packet, vpk::Clock::timestamp());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("packets");
}
BENCHMARK(BM_DecodeAndFanOut)->Arg(1)->Arg(4);

// processData(packet) as the peripheral calls it, on the shared queue, latency correction
// off: arrival bookkeeping (gap, moving average, latency) plus decoding and fan-out.
void BM_ProcessDataDirect(benchmark::State& state) {
  auto stream = openStream(1);
  const auto packet = VPKSignalStream::generateSimulatedPacket();
  VPKResourceManager::performBlockAndWait([&] {
    for (auto _ : state) benchmark::DoNotOptimize(stream->processData(packet));
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProcessDataDirect);

// The same call from a thread outside the shared queue: it waits for the queue each time.
void BM_ProcessDataFromOtherThread(benchmark::State& state) {
  auto stream = openStream(1);
  const auto packet = VPKSignalStream::generateSimulatedPacket();
  for (auto _ : state) benchmark::DoNotOptimize(stream->processData(packet));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProcessDataFromOtherThread);

// Latency correction on: one packet queued and one timer tick that releases it.
void BM_ProcessDataQueuedThenTick(benchmark::State& state) {
  auto stream = openStream(1);
  stream->setLatencyCorrectionEnabled(true);
  const auto packet = VPKSignalStream::generateSimulatedPacket();
  VPKResourceManager::performBlockAndWait([&] {
    stream->processData(packet);  // creates the timer
    for (auto _ : state) {
      stream->processData(packet);
      stream->processData();
    }
  });
  state.SetItemsProcessed(state.iterations());
  stream->reset();
}
BENCHMARK(BM_ProcessDataQueuedThenTick);

void BM_GenerateSimulatedPacket(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(VPKSignalStream::generateSimulatedPacket());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GenerateSimulatedPacket);

}  // namespace
