// The analyzer under real threads and the real clock: samples from the stream's queue
// while other threads change settings, lists and the attachment; removal, reset and
// destruction from inside a cycle; caller-driven cycles from several threads.
#include "VPKSignalAnalyzerTestSupport.h"

#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/analysis/VPKBlockDataProcessor.h>
#include <VemraPlatformKit/dsp/VPKCompoundFilter.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VemraPlatformKit.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>

namespace {

using vpk::test::RecordingAnalyzerOutput;

constexpr double kWait = 20.0;  // real seconds; only a hang would take this long

TEST(SignalAnalyzerConcurrency, SamplesSettingsAndListsFromManyThreads) {
  auto stream = VPKSignalStream::create();
  stream->open();
  auto a = VPKSignalAnalyzer::analyzer();
  auto steady = std::make_shared<RecordingAnalyzerOutput>(0, vpk::DispatchQueue::createSerial("steady"));
  a->addOutput(steady);
  stream->addOutput(a);

  std::vector<std::shared_ptr<RecordingAnalyzerOutput>> churn{
      std::make_shared<RecordingAnalyzerOutput>(), std::make_shared<RecordingAnalyzerOutput>(3),
      std::make_shared<RecordingAnalyzerOutput>(std::nullopt, vpk::DispatchQueue::createSerial("churn"))};
  auto processor = VPKBlockDataProcessor::create();
  std::atomic<int> processed{0};
  processor->setPrepareToUpdateChannelDescriptionBlock(
      [](VPKBlockDataProcessor&, VPKChannelDescription&) { return true; });
  processor->setUpdateChannelDescriptionBlock([&](VPKBlockDataProcessor&, VPKChannelDescription& d) {
    processed.fetch_add(1);
    return d.rawSignal() != nullptr;
  });

  constexpr int kPackets = 2500;
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    for (int i = 0; i < kPackets; ++i) stream->processData(VPKSignalStream::generateSimulatedPacket());
    feeding = false;
  });
  std::thread changer([&] {
    for (int round = 0; feeding; ++round) {
      const auto& o = churn[static_cast<size_t>(round) % churn.size()];
      if (round % 3 == 0)
        a->removeOutput(o);
      else
        a->addOutput(o);
      if (round % 4 == 0) a->addDataProcessor(processor);
      if (round % 4 == 2) a->removeDataProcessor(processor);
      a->setAnalysisRate(round % 2 ? 0.1 : 0.06);
      a->setLeftChannelEnabledDataProcesserTypes(round % 5 ? 15 : 7);
      a->setAllowedIdleTransitions(static_cast<uint64_t>(round % 4));
      a->setPerformFFTOnFilteredSignalOnly(round % 7 == 0);
      if (round % 11 == 0) a->setFilter(VPKSignalAnalyzer::defaultHeadbandFilter());
      if (round % 13 == 0) a->setMainsFrequency(round % 2 ? 50 : 60);
      a->setDiagnosticsHandler([](const std::shared_ptr<VPKChannelSet>& s) { ASSERT_NE(s->leftChannel(), nullptr); });
      (void)a->filter();
      (void)a->latency();
      if (const auto r = a->analysisResult()) {
        EXPECT_NE(r->leftChannel()->rawSignal(), nullptr);
      }
    }
  });
  std::thread resetter([&] {
    for (int i = 0; feeding && i < 20; ++i) {
      a->reset();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  ASSERT_TRUE(vpk::DispatchQueue::runMainUntil([&] { return !feeding.load(); }, kWait));
  feeder.join();
  changer.join();
  resetter.join();

  a->setAnalysisRate(0.1);
  stream->removeOutput(a);
  EXPECT_FALSE(a->hasProcessingThread());
  vpk::DispatchQueue::drainMain();
  steady->methodInvocationQueueForSignalAnalyzer(*a)->sync([] {});
  EXPECT_GT(steady->count("analysis"), 0u);
  for (const auto& set : steady->results()) {
    ASSERT_NE(set->leftChannel(), nullptr);
    ASSERT_NE(set->rightChannel(), nullptr);
  }
  EXPECT_GT(processed.load(), 0);
}

TEST(SignalAnalyzerConcurrency, TheProcessingThreadHasItsPriorityAndStack) {
  auto stream = VPKSignalStream::create();
  stream->open();
  auto a = VPKSignalAnalyzer::analyzer();
  vpk::Semaphore ran;
  size_t stack = 0;
  int nice = -100;
  std::string name;
  a->setDiagnosticsHandler([&](const std::shared_ptr<VPKChannelSet>&) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      pthread_attr_getstacksize(&attr, &stack);
      pthread_attr_destroy(&attr);
    }
    nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    char buffer[32] = {};
    pthread_getname_np(pthread_self(), buffer, sizeof buffer);
    name = buffer;
    ran.signal();
  });
  stream->addOutput(a);
  for (int i = 0; i < 9; ++i) stream->processData(VPKSignalStream::generateSimulatedPacket());
  ASSERT_TRUE(ran.wait(kWait));
  EXPECT_GE(stack, size_t{1} << 20);
  // Priority 0.5 is the normal priority: the thread keeps the niceness it was started with.
  EXPECT_EQ(nice, getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))));
  EXPECT_EQ(name, "VPKAnalyzer");
  // CPU use is sampled every 25 cycles, on the processing thread.
  for (int i = 0; i < 25 * 9; ++i) stream->processData(VPKSignalStream::generateSimulatedPacket());
  for (int i = 0; i < 26; ++i) ASSERT_TRUE(ran.wait(kWait));
  EXPECT_LE(a->processingCPUUsage(), 1000u);
  EXPECT_GE(a->sampleCPUUsage(), 0.0);
  stream->removeOutput(a);
  EXPECT_EQ(a->sampleCPUUsage(), 0.0);  // no processing thread any more
}

TEST(SignalAnalyzerConcurrency, RemovalResetAndDestructionFromInsideACycle) {
  auto stream = VPKSignalStream::create();
  stream->open();

  // Removal from the processing thread, with the stream holding the last reference: the
  // analyzer is destroyed on the shared queue once its thread has ended.
  auto leaving = VPKSignalAnalyzer::analyzer();
  std::weak_ptr<VPKSignalAnalyzer> weak = leaving;
  leaving->setDiagnosticsHandler(
      [raw = leaving.get()](const std::shared_ptr<VPKChannelSet>&) { raw->removeFromSignalStream(); });
  stream->addOutput(leaving);
  leaving.reset();
  for (int i = 0; i < 9; ++i) stream->processData(VPKSignalStream::generateSimulatedPacket());
  ASSERT_TRUE(vpk::DispatchQueue::runMainUntil([&] { return weak.expired(); }, kWait));
  EXPECT_TRUE(stream->allOutputs().empty());

  // The stream destroyed while a cycle runs: the cycle holds the last reference, so the
  // analyzer is destroyed on its own processing thread when the cycle ends.
  auto doomedStream = VPKSignalStream::create();
  doomedStream->open();
  auto doomed = VPKSignalAnalyzer::analyzer();
  std::weak_ptr<VPKSignalAnalyzer> doomedWeak = doomed;
  vpk::Semaphore inCycle;
  vpk::Semaphore release;
  doomed->setDiagnosticsHandler([&](const std::shared_ptr<VPKChannelSet>&) {
    inCycle.signal();
    release.wait(kWait);
  });
  doomedStream->addOutput(doomed);
  doomed.reset();
  for (int i = 0; i < 9; ++i) doomedStream->processData(VPKSignalStream::generateSimulatedPacket());
  ASSERT_TRUE(inCycle.wait(kWait));
  doomedStream.reset();
  EXPECT_FALSE(doomedWeak.expired());
  release.signal();
  EXPECT_TRUE(vpk::DispatchQueue::runMainUntil([&] { return doomedWeak.expired(); }, kWait));
}

// Spends `seconds` of the calling thread's CPU time.
void burnCPU(double seconds) {
  auto cpu = [] {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  };
  const double until = cpu() + seconds;
  while (cpu() < until) {
  }
}

TEST(SignalAnalyzerConcurrency, ResetFromInsideACycleHandsTheThreadStateOver) {
  auto stream = VPKSignalStream::create();
  stream->open();
  auto a = VPKSignalAnalyzer::analyzer();
  // Cycle 1 resets the analyzer from a processor, queues a cycle's worth of samples for the
  // new thread and lingers; cycle 2 (on the new thread) uses some CPU.
  std::atomic<int> cycle{0};
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  auto processor = VPKBlockDataProcessor::create();
  processor->setPrepareToUpdateChannelDescriptionBlock(
      [](VPKBlockDataProcessor&, VPKChannelDescription&) { return true; });
  processor->setUpdateChannelDescriptionBlock([&, raw = a.get()](VPKBlockDataProcessor&, VPKChannelDescription&) {
    if (inside.fetch_add(1) != 0) overlapped = true;
    if (cycle.fetch_add(1) == 0) {
      raw->reset();
      vpk::test::feedSamples(*raw, 25);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } else {
      burnCPU(0.005);
    }
    inside.fetch_sub(1);
    return true;
  });
  a->addDataProcessor(processor);
  vpk::Semaphore cycled;
  a->setDiagnosticsHandler([&](const std::shared_ptr<VPKChannelSet>&) { cycled.signal(); });
  stream->addOutput(a);
  for (int i = 0; i < 9; ++i) stream->processData(VPKSignalStream::generateSimulatedPacket());
  ASSERT_TRUE(cycled.wait(kWait));
  ASSERT_TRUE(cycled.wait(kWait));
  // The new thread ran its first cycle only after the old one had finished its cycle, and
  // the old thread's exit left the new thread's CPU meter in place.
  EXPECT_FALSE(overlapped.load());
  EXPECT_EQ(a->cycles(), 25u);
  EXPECT_TRUE(a->hasProcessingThread());
  EXPECT_GT(a->sampleCPUUsage(), 0.0);
  stream->removeOutput(a);
}

TEST(SignalAnalyzerConcurrency, ProcessorsAreResetWithoutTheMutexHeld) {
  // A processor's reset may wait for the shared queue while the queue hands the analyzer a
  // sample (which needs the analyzer's mutex): the reset must not hold the mutex then.
  auto a = VPKSignalAnalyzer::analyzer();
  auto processor = VPKBlockDataProcessor::create();
  std::atomic<bool> armed{false};
  processor->setResetWithAnalyzerBlock([&](VPKBlockDataProcessor&, VPKSignalAnalyzer* analyzer) {
    if (!armed) return;
    VPKResourceManager::performBlock([analyzer] { analyzer->processData(1, 2, 0, false); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    VPKResourceManager::performBlockAndWait([] {});
  });
  a->addDataProcessor(processor);
  armed = true;
  auto done = std::async(std::launch::async, [&] { a->reset(); });
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(a->pendingSampleCount(), 1u);
  // The mains frequency, which the validity monitor reads on every reset, is read without
  // the shared queue once it has been read before.
  auto gate = std::make_shared<std::mutex>();
  std::unique_lock<std::mutex> hold(*gate);
  VPKResourceManager::performBlock([gate] { std::lock_guard<std::mutex> wait(*gate); });
  auto frequency = std::async(std::launch::async, [] { return VemraPlatformKit::defaultInterferenceFrequency(); });
  EXPECT_EQ(frequency.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  hold.unlock();
  VPKResourceManager::performBlockAndWait([] {});  // the queue is free again
  EXPECT_EQ(frequency.get(), 60u);
}

TEST(SignalAnalyzerConcurrency, CallerDrivenCyclesRunOnceEachFromSeveralThreads) {
  auto a = VPKSignalAnalyzer::analyzer();
  a->setUsesProcessingThread(false);
  std::atomic<int> handled{0};
  a->setDiagnosticsHandler([&](const std::shared_ptr<VPKChannelSet>&) { handled.fetch_add(1); });
  constexpr int kCycles = 400;
  std::atomic<bool> feeding{true};
  std::atomic<size_t> ran{0};
  std::thread feeder([&] {
    vpk::test::feedSamples(*a, 25 * kCycles);
    feeding = false;
  });
  auto runner = [&] {
    while (feeding) ran.fetch_add(a->processPendingSamples());
    ran.fetch_add(a->processPendingSamples());
  };
  std::thread r1(runner), r2(runner);
  feeder.join();
  r1.join();
  r2.join();
  ran.fetch_add(a->processPendingSamples());
  EXPECT_EQ(ran.load(), static_cast<size_t>(kCycles));
  EXPECT_EQ(handled.load(), kCycles);
  EXPECT_EQ(a->cycles(), 25u * kCycles);
}

}  // namespace
