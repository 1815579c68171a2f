// Real threads against one writer: appends from several threads, state read meanwhile, and a
// writer that closes itself while the stream still feeds it from the shared queue.
#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/recording/VPKRecordingReader.h>
#include <VemraPlatformKit/recording/VPKSignalStreamFileHandle.h>

#include "recording/RecordingTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using vpk::test::packet;

TEST(RecordingConcurrency, AppendsFromManyThreadsAllLandInOrderPerThread) {
  auto w = VPKSignalStreamFileHandle::createForWriting();
  ASSERT_TRUE(w);
  constexpr int kThreads = 4, kChunks = 4000;
  std::atomic<bool> writing{true};
  std::thread observer([&] {
    while (writing) {
      (void)w->duration();
      (void)w->fileSize();
      w->synchronize();
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([&, t] {
      for (int i = 0; i < kChunks; ++i) w->addData(packet(static_cast<uint32_t>(i), static_cast<uint8_t>(t)));
    });
  for (auto& t : writers) t.join();
  writing = false;
  observer.join();
  w->closeFile();

  auto reader = VPKRecordingReader::open(*w->URL());
  ASSERT_TRUE(reader->ok()) << reader->error();
  ASSERT_EQ(reader->packetCount(), static_cast<uint64_t>(kThreads * kChunks));
  std::vector<uint32_t> next(kThreads, 0);
  reader->forEachPacket([&](std::span<const uint8_t> p) {
    const uint32_t value = uint32_t{p[2]} << 16 | uint32_t{p[3]} << 8 | p[4];
    ASSERT_LT(p[1], kThreads);
    EXPECT_EQ(value, next[p[1]]++);
  });
  for (uint32_t n : next) EXPECT_EQ(n, static_cast<uint32_t>(kChunks));
}

TEST(RecordingConcurrency, SelfCloseWhileTheStreamFeedsAndTheSharedQueueReadsTheWriter) {
  auto stream = VPKSignalStream::create();
  auto w = VPKSignalStreamFileHandle::createForWriting();
  ASSERT_TRUE(w);
  w->setMaxDuration(0.6);  // 50 chunks
  std::atomic<int> closedCalls{0};
  w->setFileHandleClosedHandler([&](const VPKSignalStreamFileHandlePtr&) { ++closedCalls; });
  stream->addOutput(w);
  stream->open();

  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    for (int i = 0; i < 400; ++i) stream->processData(packet(static_cast<uint32_t>(i)));
    feeding = false;
  });
  // The shared queue waits for the writer's queue; the writer's queue must never wait back.
  std::thread reader([&] {
    while (feeding)
      VPKResourceManager::performBlockAndWait([&] {
        (void)w->isClosed();
        (void)w->fileSize();
      });
  });
  ASSERT_TRUE(vpk::DispatchQueue::runMainUntil([&] { return closedCalls > 0 && !feeding; }, 30.0));
  feeder.join();
  reader.join();
  w->closeFile();
  vpk::DispatchQueue::drainMain();

  EXPECT_EQ(closedCalls, 1);
  EXPECT_TRUE(stream->allOutputs().empty());
  EXPECT_EQ(w->fileSize(), 54u + 50 * 20);
  EXPECT_EQ(VPKRecordingReader::open(*w->URL())->packetCount(), 50u);
}

}  // namespace
