// The stream under real threads and the real clock: packets, list changes, latency
// settings and delegates from several threads at once.
#include "StreamTestSupport.h"

#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using vpk::test::dataPacket;
using vpk::test::RecordingOutput;

class CountingDelegate : public VPKSignalStreamDelegate {
 public:
  explicit CountingDelegate(bool inQueue) : inQueue_(inQueue) {}
  std::optional<bool> requiresMethodsToBeDeliveredInStreamQueue() override { return inQueue_; }
  void didRecieveData(VPKSignalStream& s, std::span<const uint8_t>) override {
    packets.fetch_add(1);
    (void)s.packetLatency();
  }
  bool inQueue_;
  std::atomic<int> packets{0};
};

TEST(SignalStreamConcurrency, PacketsListChangesAndSettingsFromManyThreads) {
  auto stream = VPKSignalStream::create();
  auto steady = std::make_shared<RecordingOutput>(0);
  stream->addOutput(steady);
  stream->open();

  std::vector<std::shared_ptr<RecordingOutput>> churn;
  for (int i = 0; i < 4; ++i) {
    auto o = std::make_shared<RecordingOutput>(i % 2 ? std::optional<uint64_t>(i) : std::nullopt);
    if (i == 0) {  // removes itself whenever it gets values
      std::weak_ptr<RecordingOutput> weak = o;
      o->onValues = [weak](VPKSignalStream& s) { s.removeOutput(weak.lock()); };
    }
    churn.push_back(o);
  }
  auto queued = std::make_shared<CountingDelegate>(true);
  auto posted = std::make_shared<CountingDelegate>(false);

  constexpr int kPackets = 3000;
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    for (int i = 0; i < kPackets; ++i) stream->processData(dataPacket(static_cast<uint32_t>(i), 0));
    feeding = false;
  });
  std::thread changer([&] {
    for (int round = 0; feeding; ++round) {
      const auto& o = churn[static_cast<size_t>(round) % churn.size()];
      if (round % 3 == 0) stream->removeOutput(o);
      else stream->addOutput(o);
      stream->setLatencyCorrectionEnabled(round % 5 == 0);
      (void)stream->packetLatency();
      (void)stream->allOutputs();
      std::this_thread::yield();
    }
  });
  std::thread delegates([&] {
    for (int round = 0; feeding; ++round) {
      stream->setDelegate(round % 2 ? std::weak_ptr<VPKSignalStreamDelegate>(queued) : posted);
      (void)stream->delegate();
      std::this_thread::yield();
    }
  });
  // This thread drives the main queue meanwhile.
  vpk::DispatchQueue::runMainUntil([&] { return !feeding.load(); }, 120.0);
  feeder.join();
  changer.join();
  delegates.join();

  // One more packet on the direct path decodes everything still waiting.
  stream->setLatencyCorrectionEnabled(false);
  stream->processData(dataPacket(0, 0));
  vpk::DispatchQueue::runMainUntil([] { return vpk::DispatchQueue::drainMain() == 0; }, 10.0);
  VPKResourceManager::performBlockAndWait([&] {
    EXPECT_EQ(steady->packets.size(), static_cast<size_t>(kPackets + 1));
    EXPECT_EQ(steady->pairs.size(), 3u * (kPackets + 1));
    EXPECT_LE(churn[0]->count("values"), churn[0]->count("removed") + 1);
  });
  stream->removeAllOutputs();
  EXPECT_GT(queued->packets.load() + posted->packets.load(), 0);
}

TEST(SignalStreamConcurrency, StreamDroppedWhileItsTimerTicks) {
  for (int round = 0; round < 20; ++round) {
    auto stream = VPKSignalStream::create();
    stream->addOutput(std::make_shared<RecordingOutput>());
    stream->open();
    stream->setLatencyCorrectionEnabled(true);
    for (int i = 0; i < 30; ++i) stream->processData(dataPacket(1, 0));
    std::thread dropper([s = std::move(stream)]() mutable { s.reset(); });
    dropper.join();
  }
  // Timer events already handed to the queue find no stream and do nothing.
  VPKResourceManager::performBlockAndWait([] {});
}

}  // namespace
