#include <VemraPlatformKit/frame/VPKDispatch.h>
#include <VemraPlatformKit/numeric/VPKFloatBuffer.h>

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace {

struct ProcessorCount {
  explicit ProcessorCount(unsigned n) { vpk::setParallelProcessorCount(n); }
  ~ProcessorCount() { vpk::setParallelProcessorCount(0); }
};

TEST(VPKFloatBufferConcurrency, ConcurrentEnumerationVisitsEveryValueOfAStaleBuffer) {
  ProcessorCount processors(4);
  auto b = VPKFloatBuffer::createWithSize(1000);
  for (int i = 0; i < 1500; ++i) b->push(static_cast<float>(i));  // stale flat copy
  std::vector<float> seen(1000, -1.0f);
  std::atomic<int> calls{0};
  b->enumerateConcurrent([&](float v, uint64_t i, bool&) {
    seen[i] = v;  // disjoint slots
    calls.fetch_add(1, std::memory_order_relaxed);
  });
  EXPECT_EQ(calls.load(), 1000);
  for (uint64_t i = 0; i < 1000; ++i) ASSERT_EQ(seen[i], static_cast<float>(i + 500)) << i;
  EXPECT_EQ(b->floatArray()[999], 1499.0f);
}

TEST(VPKFloatBufferConcurrency, StopSkipsCallsThatStartAfterIt) {
  ProcessorCount processors(4);
  auto b = VPKFloatBuffer::createWithSize(4000);
  std::atomic<int> calls{0};
  b->enumerateConcurrent([&](float, uint64_t i, bool& stop) {
    calls.fetch_add(1, std::memory_order_relaxed);
    if (i == 0) stop = true;
  });
  // Index 0 runs first in its job; the other jobs stop at their next call once they see
  // the shared flag, so far fewer than all 4000 calls run.
  EXPECT_GE(calls.load(), 1);
  EXPECT_LT(calls.load(), 4000);

  // Stop on the calling thread's remainder (fewer values than processors).
  auto small = VPKFloatBuffer::createWithSize(3);
  std::vector<uint64_t> order;
  small->enumerateConcurrent([&](float, uint64_t i, bool& stop) {
    order.push_back(i);
    stop = i == 1;
  });
  EXPECT_EQ(order, (std::vector<uint64_t>{0, 1}));
}

}  // namespace
