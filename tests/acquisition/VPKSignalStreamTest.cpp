#include "StreamTestSupport.h"
#include "support/LogCapture.h"
#include "support/VirtualTime.h"

#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

using vpk::test::dataPacket;
using vpk::test::RecordingOutput;

class SignalStreamTest : public vpk::test::VirtualTimeTest {
 protected:
  void SetUp() override {
    VirtualTimeTest::SetUp();
    stream = VPKSignalStream::create();
    output = std::make_shared<RecordingOutput>();
    stream->addOutput(output);
    stream->open();
  }
  void TearDown() override {
    stream.reset();
    VirtualTimeTest::TearDown();
  }

  vpk::test::VerboseLog verbose;
  std::shared_ptr<VPKSignalStream> stream;
  std::shared_ptr<RecordingOutput> output;
};

TEST_F(SignalStreamTest, DecodesBigEndianUnsignedValuesInSinglePrecision) {
  stream->processData(dataPacket(0x000001));
  ASSERT_EQ(output->pairs.size(), 3u);
  for (const auto& p : output->pairs) {
    EXPECT_EQ(p.left, 0.047683723f);
    EXPECT_EQ(p.right, 0.047683723f);
  }
  output->pairs.clear();
  stream->processData(dataPacket(0xFFFFFF));
  const float top = static_cast<float>(0xFFFFFF) * 0.047683723f;
  ASSERT_EQ(output->pairs.size(), 3u);
  EXPECT_EQ(output->pairs[2].left, top);
  EXPECT_GT(top, 800000.0f);
  EXPECT_LT(top, 800001.0f);

  // Each value at its place: sample k left at 2 + 6k, right at 5 + 6k.
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

TEST_F(SignalStreamTest, StampsPairsFourMillisecondsApartAndFeedsOneOutputAtATime) {
  std::vector<std::string> order;
  auto second = std::make_shared<RecordingOutput>(std::nullopt, "second");
  output->name_ = "first";
  output->log = second->log = &order;
  stream->addOutput(second);
  const double t = now();
  stream->processData(dataPacket(7));
  EXPECT_EQ(order, (std::vector<std::string>{"first", "first", "first", "second", "second", "second"}));
  for (auto* o : {output.get(), second.get()}) {
    ASSERT_EQ(o->pairs.size(), 3u);
    EXPECT_DOUBLE_EQ(o->pairs[0].timestamp, t - 0.008);
    EXPECT_DOUBLE_EQ(o->pairs[1].timestamp, t - 0.004);
    EXPECT_DOUBLE_EQ(o->pairs[2].timestamp, t);
    EXPECT_TRUE(o->pairs[0].moreComing);
    EXPECT_TRUE(o->pairs[1].moreComing);
    EXPECT_FALSE(o->pairs[2].moreComing);
    EXPECT_EQ(o->events.back(), "data");  // raw packet after the values
  }
}

TEST_F(SignalStreamTest, EveryLengthAndKindIsDecodedOrRefusedAndAlwaysForwarded) {
  vpk::test::LogCapture log;
  size_t sent = 0, wellFormed = 0, battery = 0, accelerometer = 0, unknown = 0;
  VPKResourceManager::performBlockAndWait([&] {
    for (int kind = 0; kind < 256; ++kind) {
      for (size_t length = 0; length <= 64; ++length) {
        std::vector<uint8_t> p(length, 0xFF);
        if (length > 0) p[0] = static_cast<uint8_t>(kind);
        stream->processData(p);
        ++sent;
        const bool full = length == 20;
        if (full && kind == 0xA0) ++wellFormed;
        else if (full && kind == 0xFF) ++battery;
        else if (full && kind == 0xFE) ++accelerometer;
        else ++unknown;
      }
    }
  });
  EXPECT_EQ(output->packets.size(), sent);
  EXPECT_EQ(output->packets[65 * 3 + 64].size(), 64u);  // forwarded whole
  EXPECT_EQ(output->pairs.size(), 3 * wellFormed);
  EXPECT_EQ(log.count("Signal stream has corrupt data, reason unkwown"), unknown);
  EXPECT_EQ(log.count("Signal stream has corruppt data, battery packet found in headband output"), battery);
  EXPECT_EQ(log.count("Accelerometer data found:<feffffff ffffffff ffffffff ffffffff ffffffff>"), accelerometer);
  EXPECT_EQ(wellFormed + battery + accelerometer, 3u);
}

TEST_F(SignalStreamTest, ClosedStreamIgnoresPacketsAndOpenCloseNotifyOnlyOnChange) {
  stream->open();
  stream->close();
  stream->close();
  EXPECT_EQ(output->events, (std::vector<std::string>{"open", "close"}));
  EXPECT_EQ(stream->processData(dataPacket(1)), 0.0);
  EXPECT_EQ(output->events.size(), 2u);
  EXPECT_FALSE(stream->notifyRecievedFirstData());
  EXPECT_FALSE(stream->lastPacketDate().has_value());
  stream->open();
  EXPECT_TRUE(stream->isOpened());
  EXPECT_EQ(output->count("open"), 2u);
}

TEST_F(SignalStreamTest, FirstPacketAfterResetBeginsStreamingOnceEvenWhenCorrupt) {
  stream->processData(std::vector<uint8_t>{0x01, 0x02});
  stream->processData(dataPacket(1));
  EXPECT_EQ(output->count("begin"), 1u);
  EXPECT_EQ(output->events.front(), "open");
  EXPECT_EQ(output->events[1], "begin");  // before the packet's own delivery
  EXPECT_TRUE(stream->notifyRecievedFirstData());
  stream->reset();
  EXPECT_FALSE(stream->notifyRecievedFirstData());
  EXPECT_TRUE(stream->isOpened());  // reset keeps the open flag and the outputs
  stream->processData(dataPacket(1));
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
  using List = std::vector<VPKSignalStreamOutputPtr>;
  EXPECT_EQ(stream->allOutputs(), (List{early, tie, late, none}));

  late->priority_ = 1;  // a second add keeps one entry and re-sorts
  stream->addOutput(late);
  EXPECT_EQ(stream->allOutputs(), (List{late, early, tie, none}));
  EXPECT_EQ(late->setStreamCalls, std::vector<bool>{true});
  EXPECT_EQ(late->stream.lock(), stream);

  auto stranger = std::make_shared<RecordingOutput>(0);
  stream->removeOutput(stranger);  // not in the list: left alone
  stream->removeOutput(nullptr);
  stream->addOutput(nullptr);
  EXPECT_TRUE(stranger->events.empty());

  early->priority_ = 2000;  // removals re-sort too
  stream->removeOutput(tie);
  EXPECT_EQ(stream->allOutputs(), (List{late, early, none}));
  EXPECT_EQ(tie->events, std::vector<std::string>{"removed"});
  EXPECT_EQ(tie->setStreamCalls, (std::vector<bool>{true, false}));
  EXPECT_TRUE(tie->stream.expired());

  stream->removeOutputs({early, stranger, early});
  EXPECT_EQ(early->count("removed"), 1u);
  stream->removeAllOutputs();
  EXPECT_TRUE(stream->allOutputs().empty());
  EXPECT_EQ(none->count("removed"), 1u);
  EXPECT_EQ(late->count("removed"), 1u);
}

TEST_F(SignalStreamTest, OutputsMayChangeTheListFromTheirCallbacks) {
  // An output that removes itself after the first pair: held only by the stream, it must
  // survive its own removal and get nothing more.
  auto quitter = std::make_shared<RecordingOutput>(1);
  std::weak_ptr<RecordingOutput> weakQuitter = quitter;
  std::vector<std::string> quitterEvents;
  quitter->onValues = [weakQuitter, &quitterEvents](VPKSignalStream& s) {
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
  EXPECT_EQ(quitterEvents, (std::vector<std::string>{"begin", "values", "removed", "after"}));
  EXPECT_TRUE(weakQuitter.expired());  // released once the packet was through
  EXPECT_EQ(output->count("values"), 3u);
  EXPECT_EQ(newcomer->count("values"), 0u);  // added mid-packet: starts with the next one

  stream->processData(dataPacket(1));
  EXPECT_EQ(newcomer->count("values"), 3u);
  EXPECT_EQ(stream->allOutputs().size(), 2u);

  // Removing every output while the stream opens notifies each once and leaves none.
  stream->close();
  newcomer->onOpen = [](VPKSignalStream& s) { s.removeAllOutputs(); };
  stream->open();
  EXPECT_TRUE(stream->allOutputs().empty());
  EXPECT_EQ(newcomer->count("removed"), 1u);
  EXPECT_EQ(output->count("removed"), 1u);
  EXPECT_EQ(output->count("open"), 1u);  // already gone when its turn came
}

class Delegate : public VPKSignalStreamDelegate {
 public:
  explicit Delegate(std::optional<bool> inQueue) : inQueue_(inQueue) {}
  std::optional<bool> requiresMethodsToBeDeliveredInStreamQueue() override { return inQueue_; }
  void streamDidBeginStreaming(VPKSignalStream&) override { record("begin"); }
  void didRecieveData(VPKSignalStream&, std::span<const uint8_t> p) override { record("data" + std::to_string(p.size())); }
  void record(const std::string& what) {
    calls.push_back(what);
    inContext.push_back(VPKResourceManager::executingInContext());
    onTestThread.push_back(std::this_thread::get_id() == testThread);
  }
  std::optional<bool> inQueue_;
  std::vector<std::string> calls;
  std::vector<bool> inContext, onTestThread;
  std::thread::id testThread = std::this_thread::get_id();
};

TEST_F(SignalStreamTest, DelegateIsCalledOnTheQueueItAsksFor) {
  auto direct = std::make_shared<Delegate>(true);
  stream->setDelegate(direct);
  stream->processData(dataPacket(1));
  EXPECT_EQ(direct->calls, (std::vector<std::string>{"begin", "data20"}));
  EXPECT_EQ(direct->inContext, (std::vector<bool>{true, true}));

  auto posted = std::make_shared<Delegate>(std::nullopt);
  stream->setDelegate(posted);
  stream->reset();
  stream->processData(std::vector<uint8_t>{0xA0, 1, 2});
  EXPECT_TRUE(posted->calls.empty());  // waits for the main queue
  settle();
  EXPECT_EQ(posted->calls, (std::vector<std::string>{"begin", "data3"}));
  EXPECT_EQ(posted->inContext, (std::vector<bool>{false, false}));
  EXPECT_EQ(posted->onTestThread, (std::vector<bool>{true, true}));

  // A posted call reaches the delegate in place when it runs, not the one it was posted for.
  auto successor = std::make_shared<Delegate>(false);
  stream->processData(dataPacket(1));
  stream->setDelegate(successor);
  settle();
  EXPECT_EQ(posted->calls.size(), 2u);
  EXPECT_EQ(successor->calls, std::vector<std::string>{"data20"});
  EXPECT_EQ(stream->delegate(), successor);
}

TEST_F(SignalStreamTest, DelegateWithoutOperationsCostsNoMainQueueWork) {
  auto silent = std::make_shared<VPKSignalStreamDelegate>();
  stream->setDelegate(silent);
  stream->processData(dataPacket(1));
  vpk::DispatchQueue::drainMain();  // learns that nothing is implemented
  for (int i = 0; i < 10; ++i) stream->processData(dataPacket(1));
  EXPECT_EQ(vpk::DispatchQueue::drainMain(), 0u);
  EXPECT_EQ(output->count("data"), 11u);
}

TEST_F(SignalStreamTest, ThrowingOutputIsLoggedAndOthersStillServed) {
  vpk::test::LogCapture log;
  auto thrower = std::make_shared<RecordingOutput>(0);
  thrower->onValues = [](VPKSignalStream&) { throw std::runtime_error("boom"); };
  stream->addOutput(thrower);
  stream->processData(dataPacket(1));
  EXPECT_EQ(thrower->count("values"), 1u);
  EXPECT_EQ(output->count("values"), 3u);
  EXPECT_EQ(output->count("data"), 1u);
  EXPECT_TRUE(log.contains("a listener threw in didRecieveValues: boom"));
}

TEST_F(SignalStreamTest, DestroyedStreamLogsAndLetsWeakReferencesExpire) {
  vpk::test::LogCapture log;
  stream->setLatencyCorrectionEnabled(true);
  stream->processData(dataPacket(1));
  auto timer = stream->processingTimer();
  ASSERT_TRUE(timer);
  stream.reset();
  EXPECT_TRUE(log.contains("Dealloc:VPKSignalStream"));
  EXPECT_TRUE(output->stream.expired());
  EXPECT_TRUE(timer->isCancelled());
  advance(0.1);  // no tick reaches the destroyed stream
}

TEST(SignalStreamConstants, ByteStringsAndSimulatedPackets) {
  using Bytes = std::vector<uint8_t>;
  auto bytes = [](std::span<const uint8_t> s) { return Bytes(s.begin(), s.end()); };
  EXPECT_EQ(bytes(VPKSignalStream::startByte()), Bytes{0xA0});
  EXPECT_EQ(bytes(VPKSignalStream::accelerometerByte()), Bytes{0xFE});
  EXPECT_EQ(bytes(VPKSignalStream::batteryByte()), Bytes{0xFF});
  EXPECT_EQ(bytes(VPKSignalStream::endByte()), Bytes{0xC0});
  EXPECT_EQ(bytes(VPKSignalStream::headerStart()), (Bytes{'<', 'h', '>'}));
  EXPECT_EQ(bytes(VPKSignalStream::headerEnd()), (Bytes{'<', 'h', '/', '>'}));

  // Folded Gaussian noise: mean |N(0, 2345)| is about 1871 counts, nothing near the top.
  double sum = 0;
  uint32_t largest = 0;
  const int packets = 2000;
  for (int i = 0; i < packets; ++i) {
    const auto p = VPKSignalStream::generateSimulatedPacket();
    ASSERT_EQ(p[0], 0xA0);
    ASSERT_EQ(p[1], 0);
    for (size_t off = 2; off < 20; off += 3) {
      const uint32_t v = (uint32_t{p[off]} << 16) | (uint32_t{p[off + 1]} << 8) | p[off + 2];
      sum += v;
      largest = std::max(largest, v);
    }
  }
  EXPECT_NEAR(sum / (packets * 6), 1871, 60);
  EXPECT_LT(largest, 20000u);
}

}  // namespace
