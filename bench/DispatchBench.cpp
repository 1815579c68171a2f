// Costs of the dispatch layer: an async round trip through a serial queue, the inline
// path of vpk_dispatch_sync, a synchronous hop onto the shared queue, and how late timer
// events arrive under the real clock.
#include <VemraPlatformKit/frame/VPKDispatch.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>
#include <VemraPlatformKit/platform/dispatch/TimerSource.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace {

void BM_SerialAsyncRoundTrip(benchmark::State& state) {
  auto q = vpk_queue_create_serial();
  vpk::Semaphore done;
  for (auto _ : state) {
    q->async([&] { done.signal(); });
    done.wait();
  }
}
BENCHMARK(BM_SerialAsyncRoundTrip);

void BM_SerialAsyncThroughput(benchmark::State& state) {
  auto q = vpk_queue_create_serial();
  std::atomic<long> n{0};
  for (auto _ : state) q->async([&] { n.fetch_add(1, std::memory_order_relaxed); });
  q->sync([] {});
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SerialAsyncThroughput);

void BM_DispatchSyncInline(benchmark::State& state) {
  auto q = vpk_queue_create_serial();
  q->sync([&] {
    long x = 0;
    for (auto _ : state) vpk_dispatch_sync(q, [&] { benchmark::DoNotOptimize(++x); });
  });
}
BENCHMARK(BM_DispatchSyncInline);

void BM_DispatchSyncHop(benchmark::State& state) {
  auto q = vpk_queue_create_serial();
  long x = 0;
  for (auto _ : state) vpk_dispatch_sync(q, [&] { benchmark::DoNotOptimize(++x); });
}
BENCHMARK(BM_DispatchSyncHop);

void BM_SharedQueueWaitInContext(benchmark::State& state) {
  VPKResourceManager::performBlockAndWait([&] {
    long x = 0;
    for (auto _ : state) VPKResourceManager::performBlockAndWait([&] { benchmark::DoNotOptimize(++x); });
  });
}
BENCHMARK(BM_SharedQueueWaitInContext);

// Lateness of timer events under the real clock: 100 one-shot events, each armed 4 ms
// ahead (the stream's pacing period); reports the median and 99th percentile lateness in
// microseconds (delivery on the queue minus the deadline).
void BM_TimerLateness(benchmark::State& state) {
  auto q = vpk_queue_create_serial();
  std::vector<double> lateness;
  for (auto _ : state) {
    lateness.clear();
    for (int i = 0; i < 100; ++i) {
      auto source = vpk::TimerSource::create(q);
      vpk::Semaphore done;
      const double deadline = vpk::Clock::timestamp() + 0.004;
      source->setEventHandler([&] {
        lateness.push_back((vpk::Clock::timestamp() - deadline) * 1e6);
        done.signal();
      });
      source->schedule(0.004, 0.0, 0.0);
      source->resume();
      done.wait();
      source->cancel();
    }
  }
  std::sort(lateness.begin(), lateness.end());
  state.counters["median_us"] = lateness[50];
  state.counters["p99_us"] = lateness[98];
}
BENCHMARK(BM_TimerLateness)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
