// Adding a block of samples leaves the spectrum window exactly as adding them one by one.
#include <VemraPlatformKit/dsp/VPKFFTBuffer.h>

#include <gtest/gtest.h>

#include <random>
#include <vector>

TEST(FFTBufferBulk, AddingABlockEqualsAddingEachValue) {
  std::mt19937 random(7);
  for (int size : {2, 3, 240, 256}) {
    auto bulk = VPKFFTBuffer::create(size, 250);
    auto single = VPKFFTBuffer::create(size, 250);
    float next = 0;
    // Blocks shorter, equal to and longer than the window, from every ring position.
    for (int round = 0; round < 200; ++round) {
      const size_t count = random() % static_cast<unsigned>(2 * size + 3);
      std::vector<float> block(count);
      for (auto& v : block) v = next++;
      bulk->addData(block.data(), block.size());
      for (float v : block) single->add(v);
      std::vector<float> a(static_cast<size_t>(size)), b(static_cast<size_t>(size));
      bulk->getData(a.data());
      single->getData(b.data());
      ASSERT_EQ(a, b) << "size " << size << " round " << round;
      // The window slides on identically afterwards.
      bulk->add(next);
      single->add(next++);
      bulk->getData(a.data());
      single->getData(b.data());
      ASSERT_EQ(a, b) << "size " << size << " round " << round;
    }
    bulk->update();
    single->update();
    EXPECT_EQ(std::vector<float>(bulk->amplitude().begin(), bulk->amplitude().end()),
              std::vector<float>(single->amplitude().begin(), single->amplitude().end()));
  }
}
