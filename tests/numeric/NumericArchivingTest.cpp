#include <VemraPlatformKit/numeric/VPKFloatBuffer.h>
#include <VemraPlatformKit/numeric/VPKMovingAverage.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

using vpk::KeyedArchiver;
using vpk::KeyedUnarchiver;
using vpk::Value;

template <class T>
std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& object) {
  auto data = KeyedArchiver::archivedData(Value(object));
  if (!data) return nullptr;
  auto root = KeyedUnarchiver::unarchive(*data);
  return root ? root->template object<T>() : nullptr;
}

// A hand-made archive object with the given keys, for damaged-input cases.
struct RawObject : vpk::Archivable {
  std::string name;
  std::function<void(KeyedArchiver&)> write;
  std::string archiveClassName() const override { return name; }
  void encodeWithCoder(KeyedArchiver& c) const override { write(c); }
};

std::optional<Value> decodeRaw(const std::string& name, std::function<void(KeyedArchiver&)> write) {
  auto raw = std::make_shared<RawObject>();
  raw->name = name;
  raw->write = std::move(write);
  auto data = KeyedArchiver::archivedData(Value(std::shared_ptr<vpk::Archivable>(raw)));
  return data ? KeyedUnarchiver::unarchive(*data) : std::nullopt;
}

TEST(NumericArchiving, FloatBufferRoundTripKeepsValuesSizeModeAndExtremes) {
  auto window = VPKFloatBuffer::createWithSize(4);
  const float pushed[] = {9, 1, 1.5f, -2, 1};
  window->pushValues(pushed, 5);  // running max 9 has slid out
  auto back = roundTrip(window);
  ASSERT_TRUE(back);
  EXPECT_FALSE(back->isImmutable());
  EXPECT_TRUE(back->isEqual(window));
  back->push(7);  // a decoded mutable buffer keeps sliding
  EXPECT_EQ(std::vector<float>(back->floatArray(), back->floatArray() + 4), (std::vector<float>{1.5f, -2, 1, 7}));

  const float snap[] = {0.25f, NAN, -1e30f};
  auto snapshot = VPKFloatBuffer::createWithFloats(snap, 3);
  auto frozen = roundTrip(snapshot);
  ASSERT_TRUE(frozen);
  EXPECT_TRUE(frozen->isImmutable());
  EXPECT_EQ(frozen->floatArray()[0], 0.25f);
  EXPECT_TRUE(std::isnan(frozen->floatArray()[1]));
  EXPECT_EQ(frozen->minFloatValue(), -1e30f);

}

TEST(NumericArchiving, FloatBufferArchiveCarriesTheKeysAsNativeFloats) {
  auto window = VPKFloatBuffer::createWithSize(3);
  const float pushed[] = {9, 1, 2, 3};
  window->pushValues(pushed, 4);
  auto data = KeyedArchiver::archivedData(Value(window));
  ASSERT_TRUE(data);
  auto plist = vpk::propertyListFromData(*data);
  ASSERT_TRUE(plist);
  const Value& objects = (*plist)["$objects"];
  const Value* buffer = nullptr;
  for (size_t i = 0; i < objects.getList()->size(); ++i) {
    if (objects.at(i).getDictionary() && objects.at(i).getDictionary()->contains("cache")) buffer = &objects.at(i);
  }
  ASSERT_NE(buffer, nullptr);
  const auto* cache = (*buffer)["cache"].getBytes();
  ASSERT_TRUE(cache);
  ASSERT_EQ(cache->size(), 12u);
  float decoded[3];
  std::memcpy(decoded, cache->data(), 12);
  EXPECT_EQ(std::vector<float>(decoded, decoded + 3), (std::vector<float>{1, 2, 3}));
  EXPECT_EQ((*buffer)["size"].intValue(), 3);
  EXPECT_FALSE((*buffer)["immutable"].boolValue());
  EXPECT_EQ((*buffer)["maxFloatValue"].doubleValue(), 9.0);  // the running extreme
  EXPECT_EQ((*buffer)["minFloatValue"].doubleValue(), 1.0);
}

TEST(NumericArchiving, DamagedFloatBufferArchivesAreRefused) {
  vpk::test::LogCapture log;
  const float three[] = {1, 2, 3};
  auto shortCache = decodeRaw("VPKFloatBuffer", [&](KeyedArchiver& c) {
    c.encodeBytes("cache", three, sizeof three);
    c.encodeInt("size", 1000000000000);
    c.encodeBool("immutable", false);
  });
  EXPECT_FALSE(shortCache.has_value());
  EXPECT_TRUE(log.contains("VPKFloatBuffer of size 1000000000000 with 12 bytes of values"));
  EXPECT_FALSE(decodeRaw("VPKFloatBuffer", [&](KeyedArchiver& c) { c.encodeInt("size", -1); }).has_value());
  EXPECT_FALSE(decodeRaw("VPKFloatBuffer", [&](KeyedArchiver& c) { c.encodeInt("size", 2); }).has_value());

  // A longer block is read up to size only.
  auto longer = decodeRaw("VPKFloatBuffer", [&](KeyedArchiver& c) {
    c.encodeBytes("cache", three, sizeof three);
    c.encodeInt("size", 2);
    c.encodeBool("immutable", true);
  });
  ASSERT_TRUE(longer.has_value());
  auto buffer = longer->object<VPKFloatBuffer>();
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->count(), 2u);
  EXPECT_EQ(buffer->floatArray()[1], 2.0f);
}

TEST(NumericArchiving, MovingAverageRoundTripContinuesFromItsAverage) {
  auto average = VPKMovingAverage::averageWithAlpha(0.5f, 4);
  for (float x : {2.f, 4.f, 6.f, 8.f, 10.f}) average->addValue(x);  // window 4 6 8 10
  auto back = roundTrip(average);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->count(), 5u);
  EXPECT_EQ(back->movingAverage(), 7.0f);
  EXPECT_EQ(back->cumulativeAverage(), 6.0f);
  EXPECT_EQ(back->exponentialAverage(), average->exponentialAverage());
  EXPECT_EQ(back->lastValue(), 10.0f);
  back->addValue(3);  // the window holds the average (7) in every slot: 7 − 7/4 + 3/4
  EXPECT_EQ(back->movingAverage(), 6.0f);

  auto unbounded = roundTrip(VPKMovingAverage::averageWithPeriod(VPKMovingAveragePeriodUnbounded));
  ASSERT_TRUE(unbounded);
  EXPECT_EQ(unbounded->period(), VPKMovingAveragePeriodUnbounded);
  EXPECT_TRUE(std::isnan(unbounded->alpha()));

  vpk::test::LogCapture log;
  EXPECT_FALSE(decodeRaw("VPKMovingAverage", [](KeyedArchiver& c) { c.encodeInt("period", -4); }).has_value());
  // A huge period costs nothing until values arrive.
  auto huge = decodeRaw("VPKMovingAverage", [](KeyedArchiver& c) {
    c.encodeInt("period", int64_t{1} << 60);
    c.encodeInt("count", 3);
    c.encodeFloat("movingAverage", 2);
  });
  ASSERT_TRUE(huge.has_value());
  auto hugeAverage = huge->object<VPKMovingAverage>();
  ASSERT_TRUE(hugeAverage);
  hugeAverage->addValue(6);
  EXPECT_EQ(hugeAverage->count(), 4u);
}

}  // namespace
