#include <VemraPlatformKit/analysis/VPKBlockDataProcessor.h>
#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 4;

VPKChannelSet::Ptr publishedSet() {
  auto raw = VPKFloatBuffer::createWithSize(512);  // mutable, as a window copy is
  for (int i = 0; i < 600; ++i) raw->push(static_cast<float>(i));
  auto filtered = raw->copy();
  std::vector<float> freqs(120), amps(120, 1.0f);
  for (size_t k = 0; k < freqs.size(); ++k) freqs[k] = static_cast<float>(k) * 250.0f / 240.0f;
  auto d = VPKChannelDescription::create();
  d->setRawSignal(raw);
  d->setFilteredSignal(filtered);
  d->setFilteredDFT(VPKDFT::create(VPKFloatBuffer::createWithFloats(amps.data(), amps.size()),
                                   VPKFloatBuffer::createWithFloats(freqs.data(), freqs.size()), 0.0f));
  d->setObject(1, "custom");
  return VPKChannelSet::create(d, nullptr);
}

}  // namespace

TEST(ChannelDescriptionConcurrency, FlatArraysAreMadeOnceUnderConcurrentFirstRequests) {
  for (int round = 0; round < 50; ++round) {
    auto set = publishedSet();
    const auto& d = *set->leftChannel();
    std::vector<const float*> raw(kThreads), filtered(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        raw[t] = d.rawSignalFloatArray();
        filtered[t] = d.filteredSignalFloatArray();
      });
    }
    for (auto& t : threads) t.join();
    for (int t = 1; t < kThreads; ++t) {
      EXPECT_EQ(raw[t], raw[0]);
      EXPECT_EQ(filtered[t], filtered[0]);
    }
    ASSERT_NE(raw[0], nullptr);
    EXPECT_EQ(raw[0][0], 88.0f);
    EXPECT_EQ(raw[0][511], 599.0f);
  }
}

TEST(ChannelDescriptionConcurrency, HandedOutResultsAreReadOnManyThreadsAtOnce) {
  auto set = publishedSet();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        const auto& d = *set->leftChannel();
        float part[25];
        if (!d.getRawSignal(part, VPKRange{487, 25}) || part[24] != 599.0f) ++failures;
        auto alpha = d.filteredAmplitudeInFrequencyRange({8.0f, 12.0f});
        if (!alpha || alpha->count() != 4 || d["custom"] != vpk::Value(1)) ++failures;
        if (set->copyWithoutPreservingCollections()->leftChannel()->customValues().size() != 1) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
}

// A target for ThreadSanitizer: callbacks swapped while another thread calls them.
TEST(ChannelDescriptionConcurrency, BlockCallbacksChangeWhileTheProcessorRuns) {
  auto p = VPKBlockDataProcessor::create();
  auto d = VPKChannelDescription::create();
  std::atomic<bool> stop{false};
  std::thread runner([&] {
    while (!stop.load()) {
      if (p->prepareToUpdateChannelDescription(*d)) p->updateChannelDescription(*d);
      (void)p->dataProcessorPriority();
    }
  });
  for (int i = 0; i < 2000; ++i) {
    p->setPrepareToUpdateChannelDescriptionBlock([i](VPKBlockDataProcessor&, VPKChannelDescription&) { return i % 2 == 0; });
    p->setUpdateChannelDescriptionBlock([](VPKBlockDataProcessor&, VPKChannelDescription&) { return true; });
    p->setDataProcessorPriorityBlock(i % 3 ? VPKBlockDataProcessor::PriorityBlock() : [](VPKBlockDataProcessor&) -> int64_t { return 1; });
  }
  stop = true;
  runner.join();
  EXPECT_TRUE(p->prepareToUpdateChannelDescriptionBlock());
}
