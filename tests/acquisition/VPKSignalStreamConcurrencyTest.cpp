// The stream under real threads and the real clock.
#include "StreamTestSupport.h"

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

TEST(SignalStreamConcurrency, PacketsListChangesSettingsAndDelegatesFromManyThreads) {
  auto stream = VPKSignalStream::create();
  auto steady = std::make_shared<RecordingOutput>(0);
  stream->addOutput(steady);
  stream->open();
  std::vector<std::shared_ptr<RecordingOutput>> churn;
  for (uint64_t i = 0; i < 4; ++i) churn.push_back(std::make_shared<RecordingOutput>(i));
  churn[0]->onValues = [o = std::weak_ptr<RecordingOutput>(churn[0])](VPKSignalStream& s) { s.removeOutput(o.lock()); };
  auto queued = std::make_shared<CountingDelegate>(true);
  auto posted = std::make_shared<CountingDelegate>(false);

  constexpr int kPackets = 3000;
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    for (int i = 0; i < kPackets; ++i) stream->processData(dataPacket(static_cast<uint32_t>(i)));
    feeding = false;
  });
  std::thread changer([&] {
    for (size_t round = 0; feeding; ++round) {
      const auto& o = churn[round % churn.size()];
      round % 3 ? stream->addOutput(o) : stream->removeOutput(o);
      stream->setLatencyCorrectionEnabled(round % 5 == 0);
      stream->setDelegate(round % 2 ? std::weak_ptr<VPKSignalStreamDelegate>(queued) : posted);
      (void)stream->allOutputs();
      std::this_thread::yield();
    }
  });
  vpk::DispatchQueue::runMainUntil([&] { return !feeding.load(); }, 120.0);  // serves the posted delegate
  feeder.join();
  changer.join();

  stream->setLatencyCorrectionEnabled(false);
  stream->processData(dataPacket(0));  // the direct path decodes everything still waiting
  vpk::DispatchQueue::runMainUntil([] { return vpk::DispatchQueue::drainMain() == 0; }, 10.0);
  VPKResourceManager::performBlockAndWait([&] {
    EXPECT_EQ(steady->packets.size(), kPackets + 1u);
    EXPECT_EQ(steady->pairs.size(), 3u * (kPackets + 1));
    EXPECT_LE(churn[0]->count("values"), churn[0]->count("removed"));  // one pair, then gone
  });
  EXPECT_GT(queued->packets.load() + posted->packets.load(), 0);
  stream->removeAllOutputs();
}

// No assertions: this one is for the sanitizers (a use after free or a race shows there).
TEST(SignalStreamConcurrency, StreamDroppedOnAnotherThreadWhileItsTimerTicks) {
  for (int round = 0; round < 20; ++round) {
    auto stream = VPKSignalStream::create();
    stream->addOutput(std::make_shared<RecordingOutput>());
    stream->open();
    stream->setLatencyCorrectionEnabled(true);
    for (int i = 0; i < 30; ++i) stream->processData(dataPacket(1));
    std::thread([s = std::move(stream)]() mutable { s.reset(); }).join();
  }
  VPKResourceManager::performBlockAndWait([] {});  // ticks already queued find no stream
}

}  // namespace
