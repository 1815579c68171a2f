#include <VemraPlatformKit/platform/values/PropertyList.h>

#include "platform/values/BinaryPlist.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>

using vpk::Value;
namespace fs = std::filesystem;

namespace {

Value everyPlistKind() {
  return Value::dictionary({
      {"bool", true},
      {"false", false},
      {"int", -123456789012345},
      {"small", 7},
      {"real", 0.1},
      {"tiny", -2.5e-310},
      {"text", "a < b & c > d \"q\" 'a' ünïcødé 😀"},
      {"empty", ""},
      {"bytes", Value::bytes("\x00\x01\xfe\xff", 4)},
      {"no bytes", Value(vpk::ValueBytes{})},
      {"date", vpk::Date{123456789.0}},
      {"list", Value::list({1, "two", Value::list({}), Value::dictionary({})})},
      {"dict", Value::dictionary({{"$key", Value::list({Value::dictionary({{"deep", 1}})})}})},
  });
}

class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() / ("vpk-plist-" + std::to_string(::getpid()) + "-" +
                                         std::to_string(std::random_device{}()));
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path operator/(const std::string& n) const { return path_ / n; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

}  // namespace

TEST(PropertyList, XMLHasThePlatformsShape) {
  auto xml = vpk::propertyListXML(Value::dictionary({{"defaultInterferenceFrequency", 60}}));
  ASSERT_TRUE(xml);
  EXPECT_EQ(*xml,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
            "\t<key>defaultInterferenceFrequency</key>\n\t<integer>60</integer>\n</dict>\n</plist>\n");
  EXPECT_NE(vpk::propertyListXML(everyPlistKind())->find("<string>a &lt; b &amp; c &gt; d"), std::string::npos);
  // Dates are whole seconds in XML; ordered sets become arrays.
  auto d = vpk::propertyListXML(Value::list({vpk::Date{10.75}, Value::orderedSet({1, 2})}));
  ASSERT_TRUE(d);
  EXPECT_NE(d->find("<date>2001-01-01T00:00:10Z</date>"), std::string::npos);
  auto back = vpk::propertyListFromData(std::vector<uint8_t>(d->begin(), d->end()));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, Value::list({vpk::Date{10}, Value::list({1, 2})}));
}

TEST(PropertyList, BinaryRoundTripsEveryKindExactly) {
  Value v = everyPlistKind();
  v.getDictionary()->set("date", vpk::Date{-0.125});
  v.getDictionary()->set("huge", std::numeric_limits<uint64_t>::max());
  v.getDictionary()->set("min", std::numeric_limits<int64_t>::min());
  std::string longText(70000, 'x');
  v.getDictionary()->set("long", longText);
  v.getDictionary()->set("nan", std::nan(""));
  auto bin = vpk::propertyListBinary(v);
  ASSERT_TRUE(bin);
  EXPECT_EQ(std::string(bin->begin(), bin->begin() + 8), "bplist00");
  auto back = vpk::propertyListFromData(*bin);
  ASSERT_TRUE(back);
  EXPECT_TRUE(std::isnan((*back)["nan"].doubleValue()));
  back->getDictionary()->remove("nan");
  v.getDictionary()->remove("nan");
  EXPECT_EQ(*back, v);
  EXPECT_TRUE((*back)["huge"].isUInt());
  EXPECT_TRUE((*back)["min"].isInt());
}

TEST(PropertyList, RefusesNullAndObjects) {
  vpk::test::LogCapture log;
  EXPECT_FALSE(vpk::propertyListXML(Value()));
  EXPECT_FALSE(vpk::propertyListBinary(Value::dictionary({{"a", Value::list({Value()})}})));
  EXPECT_EQ(log.count("null is not a property-list value"), 2u);
}

// Every kind round-trips through both formats in files (XML is the default).
TEST(PropertyList, FilesAreWrittenAtomicallyOrInPlaceAndReadInEitherFormat) {
  TempDir dir;
  const Value v = everyPlistKind();
  const std::string a = dir / "atomic.plist", b = dir / "direct.plist", c = dir / "binary.plist";
  EXPECT_TRUE(vpk::writePropertyListFile(v, a, true));
  EXPECT_TRUE(vpk::writePropertyListFile(v, b, false));
  EXPECT_TRUE(vpk::writePropertyListFile(v, c, true, vpk::PropertyListFormat::Binary));
  EXPECT_EQ(vpk::readPropertyListFile(a), v);
  EXPECT_EQ(vpk::readPropertyListFile(b), v);
  EXPECT_EQ(vpk::readPropertyListFile(c), v);
  // Overwrite in place and atomically; no temporary files remain.
  EXPECT_TRUE(vpk::writePropertyListFile(Value(1), a, true));
  EXPECT_TRUE(vpk::writePropertyListFile(Value(2), b, false));
  EXPECT_EQ(vpk::readPropertyListFile(a), Value(1));
  EXPECT_EQ(vpk::readPropertyListFile(b), Value(2));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);

  vpk::test::LogCapture log;
  EXPECT_FALSE(vpk::writePropertyListFile(v, dir / "missing-folder" / "x", true));
  EXPECT_FALSE(vpk::writePropertyListFile(v, dir / "missing-folder" / "x", false));
  EXPECT_FALSE(vpk::readPropertyListFile(dir / "absent"));
  EXPECT_FALSE(vpk::readPropertyListFile(dir.path()));  // a folder is not a file
}

TEST(PropertyList, DamagedFilesAreRefusedWithALogLine) {
  TempDir dir;
  auto xml = *vpk::propertyListXML(everyPlistKind());
  auto bin = *vpk::propertyListBinary(everyPlistKind());
  const std::vector<std::string> damaged = {
      "",
      "garbage",
      xml.substr(0, xml.size() / 2),
      "<?xml version=\"1.0\"?><plist><dict><key>a</key><integer>1</integer>",
      "<plist><integer>12</string></plist>",
      std::string(bin.begin(), bin.begin() + static_cast<long>(bin.size()) - 1),
      std::string(bin.begin(), bin.begin() + 40),
      "bplist00" + std::string(40, '\xff'),
  };
  for (size_t i = 0; i < damaged.size(); ++i) {
    const std::string path = dir / ("damaged" + std::to_string(i));
    std::ofstream(path, std::ios::binary) << damaged[i];
    vpk::test::LogCapture log;
    EXPECT_FALSE(vpk::readPropertyListFile(path)) << i;
    EXPECT_FALSE(log.lines().empty()) << i;
  }
}

TEST(PropertyList, DeepNestingIsRefusedBeforeParsing) {
  vpk::test::LogCapture log;
  std::string xml = "<plist version=\"1.0\">";
  for (int i = 0; i < 100000; ++i) xml += "<array>";
  for (int i = 0; i < 100000; ++i) xml += "</array>";
  xml += "</plist>";
  EXPECT_FALSE(vpk::propertyListFromData(reinterpret_cast<const uint8_t*>(xml.data()), xml.size()));
  EXPECT_TRUE(log.contains("nested deeper"));

  // Binary: an array that contains itself, and a chain of arrays deeper than allowed.
  vpk::detail::BinaryPlistWriter w;
  auto self = w.addArray({1});  // object 0 refers to object 1 ...
  auto other = w.addArray({0});  // ... which refers back to object 0
  (void)other;
  EXPECT_FALSE(vpk::propertyListFromData(w.finish(self)));

  Value deep = Value::list({});
  for (int i = 0; i < Value::kMaxNestingDepth + 2; ++i) deep = Value::list({deep});
  EXPECT_FALSE(vpk::propertyListBinary(deep));
  EXPECT_FALSE(vpk::propertyListXML(deep));
}

TEST(PropertyList, SharedContainersCannotExpandExponentially) {
  // Each level holds the level below twice: 60 levels would expand to 2^60 values.
  vpk::detail::BinaryPlistWriter w;
  auto ref = w.addInt(1);
  for (int i = 0; i < 60; ++i) ref = w.addArray({ref, ref});
  const auto data = w.finish(ref);
  vpk::test::LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(vpk::propertyListFromData(data));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(log.contains("too many values"));
}

