#include <VemraPlatformKit/platform/values/Archivable.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using vpk::Value;

namespace {

struct Thing : vpk::Archivable {
  std::string archiveClassName() const override { return "Thing"; }
  void encodeWithCoder(vpk::KeyedArchiver&) const override {}
};

}  // namespace

TEST(Value, NumbersCompareByValueAcrossKindsButNotWithBool) {
  EXPECT_EQ(Value(1), Value(1u));
  EXPECT_EQ(Value(1), Value(1.0));
  EXPECT_EQ(Value(uint64_t{7}), Value(7.0));
  EXPECT_NE(Value(-1), Value(std::numeric_limits<uint64_t>::max()));
  EXPECT_NE(Value(1), Value(true));
  EXPECT_NE(Value(1.5), Value(1));
  // 2^63 as a double is not INT64_MAX: no rounding through double.
  EXPECT_NE(Value(std::numeric_limits<int64_t>::max()), Value(9223372036854775808.0));
  EXPECT_EQ(Value(std::numeric_limits<uint64_t>::max()).unsignedValue(), std::numeric_limits<uint64_t>::max());
  EXPECT_NE(Value(std::nan("")), Value(std::nan("")));
  EXPECT_EQ(Value(1e300).intValue(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(Value(-2.7).intValue(), -2);
  EXPECT_EQ(Value("12").intValue(), 0);
  EXPECT_TRUE(Value(2).boolValue());
  EXPECT_EQ(Value(true).doubleValue(), 1.0);
}

TEST(Value, ContainersKeepSortedKeysAndUniqueSetElements) {
  vpk::ValueDictionary d{{"b", 2}, {"a", 1}};
  d.set("c", 3);
  d.set("a", "replaced");
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(d.entries()[0].first, "a");
  EXPECT_EQ(d.entries()[2].first, "c");
  EXPECT_EQ(*d.find("a"), Value("replaced"));
  EXPECT_TRUE(d.remove("b"));
  EXPECT_FALSE(d.remove("b"));
  d["new"] = Value::list({1});
  Value v(d);
  EXPECT_EQ(v["new"].at(0), Value(1));
  EXPECT_TRUE(v["missing"].isNull());
  EXPECT_TRUE(v["new"].at(5).isNull());
  EXPECT_TRUE(Value(5)["x"].isNull());

  vpk::ValueOrderedSet s{3, 1, 3, 1.0, "x"};
  EXPECT_EQ(s.size(), 3u);  // 1.0 equals 1
  EXPECT_EQ(s[0], Value(3));
  EXPECT_FALSE(s.insert(Value(3u)));
  EXPECT_TRUE(s.remove(Value(1)));
  EXPECT_EQ(Value(s).size(), 2u);
  EXPECT_NE(Value(s), Value(vpk::ValueOrderedSet{"x", 3}));  // order matters
}

TEST(Value, ObjectsCompareByIdentityAndCastBack) {
  auto a = std::make_shared<Thing>();
  auto b = std::make_shared<Thing>();
  Value va(a);
  EXPECT_TRUE(va.isObject());
  EXPECT_EQ(va, Value(a));
  EXPECT_NE(va, Value(b));
  EXPECT_EQ(va.object<Thing>(), a);
  EXPECT_TRUE(Value(std::shared_ptr<Thing>()).isNull());
  EXPECT_EQ(Value(5).object(), nullptr);
  EXPECT_EQ(va.description(), "<Thing>");
}

TEST(Value, DatesConvertBetweenTimeBases) {
  vpk::Date d = vpk::Date::fromUnixTime(978307200.5);
  EXPECT_DOUBLE_EQ(d.secondsSinceReferenceDate, 0.5);
  EXPECT_DOUBLE_EQ(d.unixTime(), 978307200.5);
  EXPECT_EQ(d.iso8601(), "2001-01-01T00:00:00.500Z");
  EXPECT_EQ((vpk::Date{86400.0 * 366 + 3723}).iso8601(), "2002-01-02T01:02:03.000Z");
  EXPECT_EQ((vpk::Date{-978307200.0}).iso8601(), "1970-01-01T00:00:00.000Z");
}

TEST(ValueJSON, RoundTripsEveryJSONKind) {
  Value v = Value::dictionary({
      {"null", Value()},
      {"bool", false},
      {"int", -42},
      {"big", std::numeric_limits<uint64_t>::max()},
      {"real", 0.1},
      {"text", "héllo \"x\"\n\t\u0001"},
      {"list", Value::list({1, Value::list({}), Value::dictionary({})})},
      {"nested", Value::dictionary({{"k", Value::list({true, 2.5e-300})}})},
  });
  auto text = v.toJSONString();
  ASSERT_TRUE(text);
  auto back = Value::fromJSONString(*text);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, v);
  EXPECT_TRUE((*back)["int"].isInt());
  EXPECT_TRUE((*back)["big"].isUInt());
  EXPECT_TRUE((*back)["real"].isReal());
  auto pretty = v.toJSONString(2);
  ASSERT_TRUE(pretty);
  EXPECT_NE(pretty->find("\n  \"big\""), std::string::npos);
  EXPECT_EQ(Value::fromJSONString(*pretty), v);
}

TEST(ValueJSON, MapsNonJSONKindsAndRefusesWhatCannotBeWritten) {
  Value v = Value::dictionary({{"b", Value::bytes("\xff\x00\x01", 3)},
                               {"d", vpk::Date{0.25}},
                               {"s", Value::orderedSet({1, 2})}});
  EXPECT_EQ(v.toJSONString(), R"({"b":"/wAB","d":"2001-01-01T00:00:00.250Z","s":[1,2]})");
  // Invalid UTF-8 is replaced rather than throwing.
  EXPECT_TRUE(Value(std::string("\xc3\x28")).toJSONString().has_value());

  vpk::test::LogCapture log;
  EXPECT_FALSE(Value(std::numeric_limits<double>::infinity()).toJSONString());
  EXPECT_FALSE(Value::list({std::nan("")}).toJSONString());
  EXPECT_FALSE(Value(std::make_shared<Thing>()).toJSONString());
  EXPECT_EQ(log.count("JSON:"), 3u);
}

TEST(ValueJSON, RefusesMalformedAndDeeplyNestedDocuments) {
  vpk::test::LogCapture log;
  for (const char* bad : {"", "{", "[1,]", "{\"a\" 1}", "nul", "[1] x", "\"\\u12\"", "{\"a\":1,\"a\"}"})
    EXPECT_FALSE(Value::fromJSONString(bad)) << bad;
  EXPECT_GE(log.count("JSON: malformed document refused"), 8u);

  std::string deep(Value::kMaxNestingDepth + 1, '[');
  deep += std::string(Value::kMaxNestingDepth + 1, ']');
  EXPECT_FALSE(Value::fromJSONString(deep));
  std::string ok(Value::kMaxNestingDepth, '[');
  ok += std::string(Value::kMaxNestingDepth, ']');
  EXPECT_TRUE(Value::fromJSONString(ok));
  // A million unclosed brackets is refused without recursion.
  EXPECT_FALSE(Value::fromJSONString(std::string(1000000, '[')));
}
