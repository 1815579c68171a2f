// The pacing state machine, driven in virtual time: the timer's events run only when the
// test advances the manual clock or settles.
#include "StreamTestSupport.h"
#include "support/LogCapture.h"
#include "support/VirtualTime.h"

#include <gtest/gtest.h>

#include <numeric>

namespace {

using vpk::test::dataPacket;
using vpk::test::RecordingOutput;

class SignalStreamPacingTest : public vpk::test::VirtualTimeTest {
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

  /// `count` packets tagged nextTag, nextTag + 1, ... arriving together (no tick between).
  void burst(int count) {
    VPKResourceManager::performBlockAndWait([&] {
      for (int i = 0; i < count; ++i) stream->processData(dataPacket(1, static_cast<uint8_t>(nextTag++)));
    });
  }
  std::vector<int> firstTags(int n) {
    std::vector<int> t(n);
    std::iota(t.begin(), t.end(), 0);
    return t;
  }
  void expectTimer(double interval, double leeway) {
    auto timer = stream->processingTimer();
    ASSERT_TRUE(timer);
    EXPECT_DOUBLE_EQ(timer->interval(), interval);
    EXPECT_DOUBLE_EQ(timer->leeway(), leeway);
  }

  vpk::test::VerboseLog verbose;
  vpk::test::LogCapture log;
  std::shared_ptr<VPKSignalStream> stream;
  std::shared_ptr<RecordingOutput> output;
  int nextTag = 0;
};

TEST_F(SignalStreamPacingTest, DirectPathDecodesAtOnceAndReportsTheGap) {
  EXPECT_EQ(stream->processData(dataPacket(1, 0)), 0.0);
  EXPECT_EQ(output->tags(), firstTags(1));
  EXPECT_EQ(stream->packetLatency(), 0.0);
  advance(0.012);
  EXPECT_NEAR(stream->processData(dataPacket(1, 1)), 0.012, 1e-6);  // clock resolution near 2026
  EXPECT_NEAR(stream->packetLatency(), 12.0, 1e-3);
  EXPECT_EQ(output->tags(), firstTags(2));
  EXPECT_FALSE(stream->processingTimer());

  // A reset starts over: the first packet after it has no gap, however long the pause.
  advance(5);
  stream->reset();
  EXPECT_EQ(stream->packetLatency(), 0.0);
  EXPECT_EQ(stream->processData(dataPacket(1, 2)), 0.0);
  EXPECT_EQ(stream->packetLatency(), 0.0);
  EXPECT_EQ(stream->bleDelayAverage().count(), 1u);
}

TEST_F(SignalStreamPacingTest, CorrectionDecodesTheFirstPacketAtOnceAndArmsTheNormalTimer) {
  stream->setLatencyCorrectionEnabled(true);
  burst(1);
  EXPECT_EQ(output->tags(), firstTags(1));
  expectTimer(0.004, 0.001);
  EXPECT_EQ(stream->currentTimeInterval(), 4.0);
  burst(1);
  EXPECT_EQ(stream->pendingPacketCount(), 1u);  // waits for a tick
  advance(0.004);
  EXPECT_EQ(output->tags(), firstTags(2));
  EXPECT_FALSE(stream->compensatingForTimeLockFailure());
}

TEST_F(SignalStreamPacingTest, FiveWaitingSwitchesToFourMillisecondsWithoutLeewayUntilEmpty) {
  stream->setLatencyCorrectionEnabled(true);
  burst(7);  // one decoded at once, six waiting
  settle();  // the next tick leaves five
  EXPECT_EQ(log.count("Timelock failure 5 pending packets."), 1u);
  EXPECT_TRUE(stream->compensatingForTimeLockFailure());
  expectTimer(0.004, 0.0);
  advance(0.1);
  EXPECT_EQ(output->tags(), firstTags(7));
  EXPECT_EQ(log.count("Timelock failure 4 pending packets."), 1u);
  EXPECT_FALSE(stream->compensatingForTimeLockFailure());
  expectTimer(0.004, 0.001);
  EXPECT_EQ(log.count("Severe"), 0u);
}

TEST_F(SignalStreamPacingTest, SevenWaitingSwitchesToOneMillisecond) {
  stream->setLatencyCorrectionEnabled(true);
  burst(9);
  settle();
  EXPECT_EQ(log.count("WARNING: Severe timelock failure 7 pending packets."), 1u);
  expectTimer(0.001, 0.0);
  EXPECT_TRUE(stream->compensatingForTimeLockFailure());
  advance(0.1);
  EXPECT_EQ(output->tags(), firstTags(9));
  expectTimer(0.004, 0.001);
  EXPECT_EQ(log.count("Critical"), 0u);
}

TEST_F(SignalStreamPacingTest, ElevenWaitingAreFlushedInArrivalOrder) {
  stream->setLatencyCorrectionEnabled(true);
  burst(13);
  settle();
  EXPECT_EQ(log.count("WARNING: Critical timelock failure 11 pending packets."), 1u);
  EXPECT_EQ(output->tags(), firstTags(13));
  EXPECT_EQ(stream->pendingPacketCount(), 0u);
  EXPECT_FALSE(stream->compensatingForTimeLockFailure());
  expectTimer(0.004, 0.001);
}

TEST_F(SignalStreamPacingTest, FlushWhileCompensatingReturnsTheTimerToItsNormalRate) {
  stream->setLatencyCorrectionEnabled(true);
  burst(9);
  settle();
  expectTimer(0.001, 0.0);
  burst(12);  // whatever tick comes next leaves at least eleven
  advance(0.001);
  EXPECT_EQ(log.count("Critical timelock failure"), 1u);
  EXPECT_EQ(output->tags(), firstTags(21));
  EXPECT_FALSE(stream->compensatingForTimeLockFailure());
  expectTimer(0.004, 0.001);
}

TEST_F(SignalStreamPacingTest, DisablingCorrectionDecodesWaitingPacketsBeforeTheNewOne) {
  stream->setLatencyCorrectionEnabled(true);
  burst(4);
  EXPECT_EQ(stream->pendingPacketCount(), 3u);
  stream->setLatencyCorrectionEnabled(false);
  burst(1);
  EXPECT_EQ(output->tags(), firstTags(5));
  EXPECT_FALSE(stream->processingTimer());
  EXPECT_EQ(stream->pendingPacketCount(), 0u);
}

TEST_F(SignalStreamPacingTest, ClosingDiscardsWaitingPacketsOnTheNextTick) {
  stream->setLatencyCorrectionEnabled(true);
  burst(4);
  stream->close();
  advance(0.004);
  EXPECT_EQ(output->tags(), firstTags(1));
  EXPECT_EQ(stream->pendingPacketCount(), 0u);
  stream->open();
  advance(0.1);
  EXPECT_EQ(output->tags(), firstTags(1));
}

TEST_F(SignalStreamPacingTest, LatencyIsThePerSampleGapTimesPacketsInFlight) {
  // Bursts of three packets every 36 ms: the gaps 0.036, 0, 0 average to 12 ms per packet.
  stream->setLatencyCorrectionEnabled(true);
  for (int i = 0; i < 17; ++i) {
    advance(0.036);
    burst(3);
  }
  advance(0.036);
  double latency = 0;
  size_t waiting = 0;
  VPKResourceManager::performBlockAndWait([&] {
    burst(3);
    stream->processData();  // one tick: decodes one, two wait
    latency = stream->packetLatency();
    waiting = stream->pendingPacketCount();
  });
  EXPECT_NEAR(stream->bleDelayAverage().movingAverage(), 0.012, 1e-6);
  EXPECT_EQ(waiting, 2u);
  EXPECT_NEAR(latency, 4.0 + 4.0 * 2, 1e-3);
}

TEST_F(SignalStreamPacingTest, ResetDropsTheQueueTimerAndCompensation) {
  stream->setLatencyCorrectionEnabled(true);
  burst(9);
  settle();
  auto timer = stream->processingTimer();
  stream->reset();
  EXPECT_TRUE(timer->isCancelled());
  EXPECT_FALSE(stream->processingTimer());
  EXPECT_EQ(stream->pendingPacketCount(), 0u);
  EXPECT_EQ(stream->packetLatency(), 0.0);
  EXPECT_FALSE(stream->compensatingForTimeLockFailure());
  const size_t decoded = output->tags().size();
  advance(0.1);
  EXPECT_EQ(output->tags().size(), decoded);
  burst(1);  // a new timer at the normal rate
  expectTimer(0.004, 0.001);
}

TEST_F(SignalStreamPacingTest, ResetFromAnOutputDuringAFlushEndsTheFlush) {
  stream->setLatencyCorrectionEnabled(true);
  output->onData = [this](VPKSignalStream& s) {
    if (output->packets.size() == 4) s.reset();
  };
  burst(13);
  settle();
  EXPECT_EQ(output->tags(), firstTags(4));
  EXPECT_EQ(stream->pendingPacketCount(), 0u);
  EXPECT_FALSE(stream->processingTimer());
}

}  // namespace
