#include <VemraPlatformKit/dsp/VPKDFT.h>
#include <VemraPlatformKit/dsp/VPKFFTBuffer.h>

#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>

#include "support/LogCapture.h"

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

namespace {

// Writes itself as a VPKDFT whose amplitude is another record.
struct ForgedRecord : vpk::Archivable {
  std::string archiveClassName() const override { return "VPKDFT"; }
  void encodeWithCoder(vpk::KeyedArchiver& coder) const override {
    coder.encodeObject("amplitude", VPKDFT::create());
  }
};

}  // namespace

TEST(VPKDFT, KeyedArchiveRoundTripKeepsValuesAndSharing) {
  const std::vector<float> amp{0, 0.5f, 0.25f};
  auto shared = VPKFloatBuffer::createWithFloats(amp.data(), amp.size());
  auto dft = VPKDFT::create(shared, shared, -1.5f);
  const vpk::Value root = vpk::Value::list({vpk::Value(dft), vpk::Value(VPKDFT::create())});

  auto data = vpk::KeyedArchiver::archivedData(root);
  ASSERT_TRUE(data);
  auto decoded = vpk::KeyedUnarchiver::unarchive(*data);
  ASSERT_TRUE(decoded && decoded->getList());
  auto back = decoded->getList()->at(0).object<VPKDFT>();
  auto empty = decoded->getList()->at(1).object<VPKDFT>();
  ASSERT_TRUE(back && empty);
  EXPECT_TRUE(back->amplitude()->isEqual(*shared));
  EXPECT_EQ(back->amplitude(), back->frequencies());  // one object, written once
  EXPECT_EQ(back->DCOffset(), -1.5f);
  EXPECT_FALSE(empty->amplitude());
  EXPECT_FALSE(empty->DCOffset());

  // A record whose amplitude is not a float buffer is refused, not misread.
  vpk::test::LogCapture log;
  auto forged = vpk::KeyedArchiver::archivedData(vpk::Value(std::make_shared<ForgedRecord>()));
  ASSERT_TRUE(forged);
  EXPECT_FALSE(vpk::KeyedUnarchiver::unarchive(*forged));
}
