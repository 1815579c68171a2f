#include <VemraPlatformKit/dsp/VPKDFT.h>
#include <VemraPlatformKit/dsp/VPKFFTBuffer.h>

#include <gtest/gtest.h>

#include <vector>

TEST(VPKDFT, CopySharesBuffersAndDeepCopyDetachesThem) {
  auto fft = VPKFFTBuffer::create(240, 250);
  std::vector<float> v(240, 1.0f);
  v[3] = 5.0f;
  fft->addData(v.data(), v.size());
  fft->update();
  auto dft = VPKDFT::create(fft->amplitudeFloatBuffer(), fft->frequenciesFloatBuffer(), fft->DCOffset());

  auto shallow = dft->copy();
  EXPECT_NE(shallow, dft);
  EXPECT_EQ(shallow->amplitude(), dft->amplitude());

  auto deep = dft->deepCopy();
  EXPECT_NE(deep, dft);
  EXPECT_NE(deep->amplitude(), dft->amplitude());
  EXPECT_TRUE(deep->amplitude()->isEqual(*dft->amplitude()));
  EXPECT_TRUE(deep->frequencies()->isImmutable());
  EXPECT_EQ(deep->DCOffset(), dft->DCOffset());

  // Changing the original's buffer in place reaches the shallow copy only.
  const float before = dft->amplitude()->floatArray()[1];
  dft->amplitude()->scale(2.0f);
  EXPECT_EQ(shallow->amplitude()->floatArray()[1], 2.0f * before);
  EXPECT_EQ(deep->amplitude()->floatArray()[1], before);

  auto empty = VPKDFT::create()->deepCopy();
  EXPECT_FALSE(empty->amplitude());
  EXPECT_FALSE(empty->DCOffset());
}
