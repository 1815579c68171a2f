#include "StreamTestSupport.h"
#include "support/LogCapture.h"
#include "support/VirtualTime.h"

#include <gtest/gtest.h>

namespace {

using vpk::test::dataPacket;
using vpk::test::RecordingOutput;
using Strings = std::vector<std::string>;
using List = std::vector<VPKSignalStreamOutputPtr>;

class SignalStreamTest : public vpk::test::VirtualTimeTest {
 protected:
  void SetUp() override {
    VirtualTimeTest::SetUp();
    stream->addOutput(output);
    stream->open();
    output->events.clear();
  }
  void TearDown() override {
    stream.reset();
    VirtualTimeTest::TearDown();
  }

  vpk::test::VerboseLog verbose;
  std::shared_ptr<VPKSignalStream> stream = VPKSignalStream::create();
  std::shared_ptr<RecordingOutput> output = std::make_shared<RecordingOutput>();
};

TEST_F(SignalStreamTest, DecodesBigEndianUnsignedValuesInSinglePrecision) {
  stream->processData(dataPacket(0x000001));
  stream->processData(dataPacket(0xFFFFFF));
  ASSERT_EQ(output->pairs.size(), 6u);
  EXPECT_EQ(output->pairs[0].left, 0.047683723f);
  EXPECT_EQ(output->pairs[2].right, 0.047683723f);
  EXPECT_EQ(output->pairs[5].left, static_cast<float>(0xFFFFFF) * 0.047683723f);  // unsigned: no sign bit

  // Sample k: left at bytes 2 + 6k, right at 5 + 6k.
  std::vector<uint8_t> p{0xA0, 0x55};
  for (uint8_t v = 1; v <= 6; ++v) p.insert(p.end(), {v, 0x02, 0x03});
  output->pairs.clear();
  stream->processData(p);
  ASSERT_EQ(output->pairs.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(output->pairs[k].left, static_cast<float>((2 * k + 1) * 65536 + 0x0203) * 0.047683723f);
    EXPECT_EQ(output->pairs[k].right, static_cast<float>((2 * k + 2) * 65536 + 0x0203) * 0.047683723f);
  }
}

TEST_F(SignalStreamTest, StampsPairsFourMillisecondsApartOneOutputAtATime) {
  Strings order;
  auto second = std::make_shared<RecordingOutput>();
  output->onValues = [&](VPKSignalStream&) { order.push_back("first"); };
  second->onValues = [&](VPKSignalStream&) { order.push_back("second"); };
  stream->addOutput(second);
  const double t = now();
  stream->processData(dataPacket(7));
  EXPECT_EQ(order, (Strings{"first", "first", "first", "second", "second", "second"}));
  for (auto* o : {output.get(), second.get()}) {
    ASSERT_EQ(o->pairs.size(), 3u);
    EXPECT_DOUBLE_EQ(o->pairs[0].timestamp, t - 0.008);
    EXPECT_DOUBLE_EQ(o->pairs[1].timestamp, t - 0.004);
    EXPECT_DOUBLE_EQ(o->pairs[2].timestamp, t);
    EXPECT_TRUE(o->pairs[0].moreComing && o->pairs[1].moreComing);
    EXPECT_FALSE(o->pairs[2].moreComing);
    EXPECT_EQ(o->events.back(), "data");  // the raw packet follows the values
  }
}

TEST_F(SignalStreamTest, EveryLengthAndKindIsDecodedOrRefusedAndAlwaysForwarded) {
  vpk::test::LogCapture log;
  size_t sent = 0;
  VPKResourceManager::performBlockAndWait([&] {
    for (int kind = 0; kind < 256; ++kind) {
      for (size_t length = 0; length <= 64; ++length, ++sent) {
        std::vector<uint8_t> p(length, 0xFF);
        if (length > 0) p[0] = static_cast<uint8_t>(kind);
        stream->processData(p);
      }
    }
  });
  EXPECT_EQ(output->packets.size(), sent);
  EXPECT_EQ(output->packets[3 * 65 + 64].size(), 64u);  // forwarded whole
  EXPECT_EQ(output->pairs.size(), 3u);                   // only 20 bytes starting A0 carry values
  EXPECT_EQ(log.count("Signal stream has corrupt data, reason unkwown"), sent - 3);
  EXPECT_EQ(log.count("Signal stream has corruppt data, battery packet found in headband output"), 1u);
  EXPECT_EQ(log.count("Accelerometer data found:<feffffff ffffffff ffffffff ffffffff ffffffff>"), 1u);
}

TEST_F(SignalStreamTest, LifeCycleNotifiesOnChangesOnlyAndBeginsOncePerReset) {
  stream->open();
  stream->close();
  stream->close();
  EXPECT_EQ(stream->processData(dataPacket(1)), 0.0);  // closed: dropped without a trace
  EXPECT_FALSE(stream->notifyRecievedFirstData());
  EXPECT_FALSE(stream->lastPacketDate().has_value());
  stream->open();
  stream->processData(std::vector<uint8_t>{0x01, 0x02});  // corrupt, still the first packet
  stream->processData(dataPacket(1));
  EXPECT_EQ(output->events, (Strings{"close", "open", "begin", "data", "values", "values", "values", "data"}));
  stream->reset();
  EXPECT_TRUE(stream->isOpened());  // reset keeps the open flag and the outputs
  stream->processData(dataPacket(1));
  EXPECT_EQ(output->count("begin"), 2u);
}

TEST_F(SignalStreamTest, OutputListIsSortedByPriorityWithoutPriorityLast) {
  auto none = std::make_shared<RecordingOutput>();
  auto late = std::make_shared<RecordingOutput>(1000);
  auto early = std::make_shared<RecordingOutput>(5);
  auto tie = std::make_shared<RecordingOutput>(5);
  stream->removeAllOutputs();
  for (const auto& o : {none, late, early, tie}) stream->addOutput(o);
  EXPECT_EQ(stream->allOutputs(), (List{early, tie, late, none}));
  EXPECT_EQ(late->stream.lock(), stream);

  late->priority = 1;  // a second add keeps one entry and re-sorts
  stream->addOutput(late);
  EXPECT_EQ(stream->allOutputs(), (List{late, early, tie, none}));
  EXPECT_EQ(late->count("attached"), 1u);

  auto stranger = std::make_shared<RecordingOutput>(0);
  stream->removeOutput(stranger);  // not in the list: left alone
  stream->removeOutput(nullptr);
  stream->addOutput(nullptr);
  EXPECT_TRUE(stranger->events.empty());

  early->priority = 2000;  // removals re-sort too
  stream->removeOutput(tie);
  EXPECT_EQ(stream->allOutputs(), (List{late, early, none}));
  EXPECT_EQ(tie->events, (Strings{"attached", "removed", "detached"}));
  stream->removeOutputs({early, stranger, early});
  stream->removeAllOutputs();
  EXPECT_TRUE(stream->allOutputs().empty());
  for (const auto& o : {none, late, early}) EXPECT_EQ(o->count("removed"), 1u);
}

TEST_F(SignalStreamTest, OutputsMayChangeTheListFromTheirCallbacks) {
  // Held only by the stream, an output that removes itself after its first pair survives
  // its own removal and gets nothing more.
  auto quitter = std::make_shared<RecordingOutput>(1);
  std::weak_ptr<RecordingOutput> weakQuitter = quitter;
  Strings quitterEvents;
  quitter->onValues = [&](VPKSignalStream& s) {
    auto self = weakQuitter.lock();
    s.removeOutput(self);
    self->events.push_back("after");
    quitterEvents = self->events;
  };
  auto newcomer = std::make_shared<RecordingOutput>(0);
  output->onValues = [&](VPKSignalStream& s) { s.addOutput(newcomer); };
  stream->addOutput(quitter);
  quitter.reset();
  stream->processData(dataPacket(1));
  EXPECT_EQ(quitterEvents, (Strings{"attached", "begin", "values", "removed", "detached", "after"}));
  EXPECT_TRUE(weakQuitter.expired());
  EXPECT_EQ(output->count("values"), 3u);
  EXPECT_EQ(newcomer->count("values"), 0u);  // added mid-packet: starts with the next one
  stream->processData(dataPacket(1));
  EXPECT_EQ(newcomer->count("values"), 3u);

  // The first output to hear of the opening removes everyone: the rest hear nothing.
  stream->close();
  newcomer->onOpen = [](VPKSignalStream& s) { s.removeAllOutputs(); };
  stream->open();
  EXPECT_TRUE(stream->allOutputs().empty());
  EXPECT_EQ(output->count("open"), 0u);
  EXPECT_EQ(output->count("removed"), 1u);
}

class Delegate : public VPKSignalStreamDelegate {
 public:
  explicit Delegate(std::optional<bool> inQueue) : inQueue_(inQueue) {}
  std::optional<bool> requiresMethodsToBeDeliveredInStreamQueue() override { return inQueue_; }
  void streamDidBeginStreaming(VPKSignalStream&) override { record("begin"); }
  void didRecieveData(VPKSignalStream&, std::span<const uint8_t> p) override { record(std::to_string(p.size())); }
  void record(const std::string& what) {
    calls.push_back(what);
    inContext.push_back(VPKResourceManager::executingInContext());
  }
  std::optional<bool> inQueue_;
  Strings calls;
  std::vector<bool> inContext;
};

TEST_F(SignalStreamTest, DelegateIsCalledOnTheQueueItAsksFor) {
  auto direct = std::make_shared<Delegate>(true);
  stream->setDelegate(direct);
  stream->processData(dataPacket(1));
  EXPECT_EQ(direct->calls, (Strings{"begin", "20"}));
  EXPECT_EQ(direct->inContext, (std::vector<bool>{true, true}));

  auto posted = std::make_shared<Delegate>(std::nullopt);
  stream->setDelegate(posted);
  stream->reset();
  stream->processData(std::vector<uint8_t>{0xA0, 1, 2});
  EXPECT_TRUE(posted->calls.empty());
  settle();  // this thread drives the main queue
  EXPECT_EQ(posted->calls, (Strings{"begin", "3"}));
  EXPECT_EQ(posted->inContext, (std::vector<bool>{false, false}));

  // A posted call goes to the delegate in place when it runs.
  auto successor = std::make_shared<Delegate>(false);
  stream->processData(dataPacket(1));
  stream->setDelegate(successor);
  settle();
  EXPECT_EQ(posted->calls.size(), 2u);
  EXPECT_EQ(successor->calls, Strings{"20"});

  // A delegate that implements nothing stops costing main-queue work after its first calls.
  auto silent = std::make_shared<VPKSignalStreamDelegate>();
  stream->setDelegate(silent);
  stream->reset();
  stream->processData(dataPacket(1));
  vpk::DispatchQueue::drainMain();
  for (int i = 0; i < 10; ++i) stream->processData(dataPacket(1));
  EXPECT_EQ(vpk::DispatchQueue::drainMain(), 0u);
}

TEST_F(SignalStreamTest, ThrowingOutputIsLoggedAndTheOthersServed) {
  vpk::test::LogCapture log;
  auto thrower = std::make_shared<RecordingOutput>(0);
  thrower->onValues = [](VPKSignalStream&) { throw std::runtime_error("boom"); };
  stream->addOutput(thrower);
  stream->processData(dataPacket(1));
  EXPECT_EQ(thrower->count("values"), 1u);
  EXPECT_EQ(output->count("values"), 3u);
  EXPECT_TRUE(log.contains("a listener threw in didRecieveValues: boom"));
}

TEST_F(SignalStreamTest, DestroyedStreamCancelsItsTimerAndWeakReferencesExpire) {
  vpk::test::LogCapture log;
  stream->setLatencyCorrectionEnabled(true);
  stream->processData(dataPacket(1));
  auto timer = stream->processingTimer();
  ASSERT_TRUE(timer);
  stream.reset();
  EXPECT_TRUE(log.contains("Dealloc:VPKSignalStream"));
  EXPECT_TRUE(output->stream.expired());
  EXPECT_TRUE(timer->isCancelled());
  advance(0.1);
}

}  // namespace
