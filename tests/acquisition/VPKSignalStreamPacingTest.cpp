// The pacing state machine in virtual time: timer events run only when the test advances
// the manual clock or settles.
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
    freshStream();
  }
  void freshStream() {
    stream = VPKSignalStream::create();
    output = std::make_shared<RecordingOutput>();
    nextTag = 0;
    log.clear();
    stream->addOutput(output);
    stream->open();
    stream->setLatencyCorrectionEnabled(true);
  }
  void TearDown() override {
    stream.reset();
    VirtualTimeTest::TearDown();
  }
  /// `count` packets tagged with consecutive numbers, arriving with no tick between them.
  void burst(int count) {
    VPKResourceManager::performBlockAndWait([&] {
      for (int i = 0; i < count; ++i) stream->processData(dataPacket(1, static_cast<uint8_t>(nextTag++)));
    });
  }
  static std::vector<int> upTo(int n) {
    std::vector<int> t(n);
    std::iota(t.begin(), t.end(), 0);
    return t;
  }
  void expectTimer(double interval, double leeway, bool compensating) {
    auto timer = stream->processingTimer();
    ASSERT_TRUE(timer);
    EXPECT_DOUBLE_EQ(timer->interval(), interval);
    EXPECT_DOUBLE_EQ(timer->leeway(), leeway);
    EXPECT_EQ(stream->compensatingForTimeLockFailure(), compensating);
  }

  vpk::test::VerboseLog verbose;
  vpk::test::LogCapture log;
  std::shared_ptr<VPKSignalStream> stream;
  std::shared_ptr<RecordingOutput> output;
  int nextTag = 0;
};

TEST_F(SignalStreamPacingTest, DirectPathDecodesAtOnceAndReportsTheGap) {
  stream->setLatencyCorrectionEnabled(false);
  EXPECT_EQ(stream->processData(dataPacket(1, 0)), 0.0);
  EXPECT_EQ(output->tags(), upTo(1));
  advance(0.012);
  EXPECT_NEAR(stream->processData(dataPacket(1, 1)), 0.012, 1e-6);  // clock resolution near 2026
  EXPECT_NEAR(stream->packetLatency(), 12.0, 1e-3);
  EXPECT_EQ(output->tags(), upTo(2));
  EXPECT_FALSE(stream->processingTimer());
  // After a reset the first packet has no gap, however long the pause was.
  advance(5);
  stream->reset();
  EXPECT_EQ(stream->processData(dataPacket(1, 2)), 0.0);
  EXPECT_EQ(stream->packetLatency(), 0.0);
}

TEST_F(SignalStreamPacingTest, FirstQueuedPacketIsDecodedAtOnceAndTheTimerArmedNormally) {
  burst(1);
  EXPECT_EQ(output->tags(), upTo(1));
  expectTimer(0.004, 0.001, false);
  EXPECT_EQ(stream->currentTimeInterval(), 4.0);
  burst(1);
  EXPECT_EQ(stream->pendingPacketCount(), 1u);  // waits for a tick
  advance(0.004);
  EXPECT_EQ(output->tags(), upTo(2));
}

TEST_F(SignalStreamPacingTest, EachPileUpSizeGetsItsResponse) {
  struct Case {
    int waiting;  // after the first timer tick
    const char* line;
    double interval, leeway;
    bool compensating;
  };
  const Case cases[] = {
      {3, nullptr, 0.004, 0.001, false},
      {4, "Timelock failure 4 pending packets.", 0.004, 0.0, true},
      {5, "Timelock failure 5 pending packets.", 0.004, 0.0, true},
      {6, "WARNING: Severe timelock failure 6 pending packets.", 0.001, 0.0, true},
      {10, "WARNING: Severe timelock failure 10 pending packets.", 0.001, 0.0, true},
      // Flushed in that tick; without compensation in force the timer keeps its normal rate.
      {11, "WARNING: Critical timelock failure 11 pending packets.", 0.004, 0.001, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.waiting);
    freshStream();
    burst(c.waiting + 2);  // one decoded at once, one by the first tick
    settle();
    EXPECT_EQ(log.count(c.line ? c.line : "imelock failure"), c.line ? 1u : 0u);
    expectTimer(c.interval, c.leeway, c.compensating);
    if (c.waiting >= 11) {
      EXPECT_EQ(output->tags(), upTo(c.waiting + 2));
    }
  }
}

TEST_F(SignalStreamPacingTest, CompensationEndsWithTheQueueOrWithACriticalFlush) {
  burst(7);  // five left after the first tick
  settle();
  advance(0.1);
  EXPECT_EQ(output->tags(), upTo(7));
  expectTimer(0.004, 0.001, false);

  freshStream();
  burst(9);  // severe: seven left
  settle();
  expectTimer(0.001, 0.0, true);
  // Eleven waiting after a tick (six left, six new, one taken): all decoded in order in that
  // tick, and the timer returns to its normal rate with the queue empty.
  burst(6);
  advance(0.001);
  EXPECT_EQ(log.count("WARNING: Critical timelock failure 11 pending packets."), 1u);
  EXPECT_EQ(output->tags(), upTo(15));
  EXPECT_EQ(stream->pendingPacketCount(), 0u);
  expectTimer(0.004, 0.001, false);
}

TEST_F(SignalStreamPacingTest, WaitingPacketsGoFirstWhenCorrectionIsDisabledAndAreDroppedWhenClosed) {
  burst(4);
  stream->setLatencyCorrectionEnabled(false);
  burst(1);
  EXPECT_EQ(output->tags(), upTo(5));
  EXPECT_FALSE(stream->processingTimer());

  stream->setLatencyCorrectionEnabled(true);
  burst(4);
  stream->close();
  advance(0.1);
  EXPECT_EQ(output->tags(), upTo(6));
  EXPECT_EQ(stream->pendingPacketCount(), 0u);
}

TEST_F(SignalStreamPacingTest, LatencyIsThePerSampleGapTimesPacketsInFlight) {
  // Bursts of three packets every 36 ms: gaps of 0.036, 0 and 0 average 12 ms per packet.
  for (int i = 0; i < 18; ++i) {
    advance(0.036);
    burst(3);
  }
  advance(0.036);
  double latency = 0;
  VPKResourceManager::performBlockAndWait([&] {
    burst(3);
    stream->processData();  // one tick: one decoded, two wait
    latency = stream->packetLatency();
    EXPECT_EQ(stream->pendingPacketCount(), 2u);
  });
  EXPECT_NEAR(stream->bleDelayAverage().movingAverage(), 0.012, 1e-6);
  EXPECT_NEAR(latency, 4.0 + 4.0 * 2, 1e-3);
  // Every tick recomputes it, also one that finds nothing to decode.
  std::vector<double> later;
  VPKResourceManager::performBlockAndWait([&] {
    for (int i = 0; i < 3; ++i) {
      stream->processData();
      later.push_back(stream->packetLatency());
    }
  });
  ASSERT_EQ(later.size(), 3u);
  EXPECT_NEAR(later[0], 4.0 + 4.0 * 1, 1e-3);
  EXPECT_NEAR(later[1], 4.0, 1e-3);
  EXPECT_NEAR(later[2], 4.0, 1e-3);
}

TEST_F(SignalStreamPacingTest, ResetDropsQueueTimerAndCompensationEvenFromAnOutput) {
  burst(9);
  settle();
  auto timer = stream->processingTimer();
  stream->reset();
  EXPECT_TRUE(timer->isCancelled());
  EXPECT_FALSE(stream->processingTimer());
  EXPECT_EQ(stream->pendingPacketCount(), 0u);
  EXPECT_EQ(stream->packetLatency(), 0.0);
  EXPECT_FALSE(stream->compensatingForTimeLockFailure());

  // An output that resets the stream in the middle of a flush ends it.
  output->packets.clear();
  output->onData = [this](VPKSignalStream& s) {
    if (output->packets.size() == 4) s.reset();
  };
  burst(13);
  settle();
  EXPECT_EQ(output->packets.size(), 4u);
  EXPECT_EQ(stream->pendingPacketCount(), 0u);
  EXPECT_FALSE(stream->processingTimer());
}

}  // namespace
