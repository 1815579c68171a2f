#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>

#include "platform/values/BinaryPlist.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>

using vpk::KeyedArchiver;
using vpk::KeyedUnarchiver;
using vpk::Value;

namespace {

// Decoded in two steps, so a reference back to a node resolves to it. The parent link is weak,
// as back-references are in the library.
struct Node : vpk::Archivable {
  std::string name;
  std::vector<std::shared_ptr<Node>> children;
  std::weak_ptr<Node> parent;
  std::string archiveClassName() const override { return "TestNode"; }
  void encodeWithCoder(KeyedArchiver& c) const override {
    c.encodeValue("name", name);
    c.encodeObject("parent", parent.lock());
    vpk::ValueList kids;
    for (const auto& k : children) kids.emplace_back(k);
    c.encodeValue("children", Value(kids));
  }
};

// Decoded by a single factory; holds every primitive kind and an optional strong reference.
struct Sample : vpk::Archivable {
  bool flag = false;
  int64_t count = 0;
  float gain = 0;
  double rate = 0;
  std::vector<uint8_t> raw;
  Value extra;
  std::shared_ptr<vpk::Archivable> next;
  std::string archiveClassName() const override { return "TestSample"; }
  void encodeWithCoder(KeyedArchiver& c) const override {
    c.encodeBool("flag", flag);
    c.encodeInt("count", count);
    c.encodeFloat("gain", gain);
    c.encodeDouble("rate", rate);
    c.encodeBytes("raw", raw.data(), raw.size());
    c.encodeValue("extra", extra);
    c.encodeObject("next", next);
    c.encodeInt("$version", 3);  // a key that looks like the archive's own keys
  }
};

const bool registered = [] {
  vpk::registerArchivableClass(
      "TestNode", {"TestNode", "NSObject"}, [] { return std::make_shared<Node>(); },
      [](vpk::Archivable& obj, KeyedUnarchiver& c) {
        auto& n = static_cast<Node&>(obj);
        n.name = c.decodeValue("name").stringValue();
        n.parent = c.decodeWeakObjectOfClass<Node>("parent");
        for (const auto& k : c.decodeValue("children").getList() ? *c.decodeValue("children").getList()
                                                                   : vpk::ValueList{}) {
          auto child = k.object<Node>();
          if (!child) return false;
          n.children.push_back(child);
        }
        return true;
      });
  vpk::registerArchivableClass("TestSample", {}, [](KeyedUnarchiver& c) -> std::shared_ptr<vpk::Archivable> {
    auto s = std::make_shared<Sample>();
    s->flag = c.decodeBool("flag");
    s->count = c.decodeInt("count");
    if (s->count < 0) return nullptr;  // invalid state
    if (s->count == 666) throw std::length_error("count too large");
    s->gain = c.decodeFloat("gain");
    s->rate = c.decodeDouble("rate");
    s->raw = c.decodeBytes("raw").value_or(std::vector<uint8_t>{});
    s->extra = c.decodeValue("extra");
    s->next = c.decodeObject("next");
    if (c.decodeInt("$version") != 3) return nullptr;
    return s;
  });
  return true;
}();

Value everyKind() {
  return Value::dictionary({
      {"null", Value()},
      {"bool", true},
      {"int", -5},
      {"huge", std::numeric_limits<uint64_t>::max()},
      {"real", 2.5},
      {"text", "ünïcødé $null"},
      {"bytes", Value::bytes("\x00\xff", 2)},
      {"date", vpk::Date{-12.5}},
      {"list", Value::list({1, "a", Value::list({}), Value()})},
      {"set", Value::orderedSet({"x", "y"})},
      {"dict", Value::dictionary({{"$weird", 1}, {"", Value::dictionary({})}})},
  });
}

std::shared_ptr<Sample> sample() {
  auto s = std::make_shared<Sample>();
  s->flag = true;
  s->count = 42;
  s->gain = 0.1f;
  s->rate = 250.0;
  s->raw = {1, 2, 3};
  s->extra = everyKind();
  return s;
}

Value plist(const std::vector<uint8_t>& data) { return *vpk::propertyListFromData(data); }

using W = vpk::detail::BinaryPlistWriter;

// A hand-built archive: {"$archiver", "$version", "$top": {root: UID rootUid}, "$objects": [...]}.
std::vector<uint8_t> forgedArchive(const std::function<std::vector<W::Ref>(W&)>& objects, uint64_t rootUid,
                                   const char* archiverName = "NSKeyedArchiver") {
  W w;
  auto objs = w.addArray(objects(w));
  auto top = w.addDict({{w.addString("root"), w.addUid(rootUid)}});
  return w.finish(w.addDict({{w.addString("$archiver"), w.addString(archiverName)},
                             {w.addString("$objects"), objs},
                             {w.addString("$top"), top},
                             {w.addString("$version"), w.addInt(100000)}}));
}

W::Ref classDict(W& w, const char* name) {
  return w.addDict({{w.addString("$classname"), w.addString(name)}, {w.addString("$classes"), w.addArray({w.addString(name)})}});
}

}  // namespace

TEST(KeyedArchive, LayoutIsThePlatformsKeyedArchive) {
  auto data = KeyedArchiver::archivedData(Value::dictionary({{"k", Value::list({"v"})}}));
  ASSERT_TRUE(data);
  EXPECT_EQ(std::string(data->begin(), data->begin() + 8), "bplist00");
  const Value p = plist(*data);
  EXPECT_EQ(p["$archiver"], Value("NSKeyedArchiver"));
  EXPECT_EQ(p["$version"], Value(100000));
  const Value& objects = p["$objects"];
  EXPECT_EQ(objects.at(0), Value("$null"));
  const Value root = objects.at(static_cast<size_t>(p["$top"]["root"]["CF$UID"].intValue()));
  ASSERT_TRUE(root.isDictionary());
  const Value cls = objects.at(static_cast<size_t>(root["$class"]["CF$UID"].intValue()));
  EXPECT_EQ(cls["$classname"], Value("NSDictionary"));
  EXPECT_EQ(cls["$classes"], Value::list({"NSDictionary", "NSObject"}));
  EXPECT_EQ(objects.at(static_cast<size_t>(root["NS.keys"].at(0)["CF$UID"].intValue())), Value("k"));
  const Value list = objects.at(static_cast<size_t>(root["NS.objects"].at(0)["CF$UID"].intValue()));
  EXPECT_EQ(objects.at(static_cast<size_t>(list["$class"]["CF$UID"].intValue()))["$classname"], Value("NSArray"));

  // A custom class: primitives inline, its chain in $classes, "$" keys escaped.
  const Value q = plist(*KeyedArchiver::archivedData(Value(sample())));
  const Value obj = q["$objects"].at(static_cast<size_t>(q["$top"]["root"]["CF$UID"].intValue()));
  EXPECT_EQ(obj["count"], Value(42));
  EXPECT_EQ(obj["flag"], Value(true));
  EXPECT_EQ(obj["raw"], Value::bytes("\x01\x02\x03", 3));
  EXPECT_EQ(obj["$$version"], Value(3));
  EXPECT_EQ(obj["next"]["CF$UID"], Value(0));
  EXPECT_EQ(q["$objects"].at(static_cast<size_t>(obj["$class"]["CF$UID"].intValue()))["$classes"],
            Value::list({"TestSample", "NSObject"}));
}

TEST(KeyedArchive, EveryValueKindRoundTrips) {
  ASSERT_TRUE(registered);
  for (const Value& v : {everyKind(), Value(), Value("top"), Value(7), Value::list({everyKind(), everyKind()})}) {
    auto data = KeyedArchiver::archivedData(v);
    ASSERT_TRUE(data);
    auto back = KeyedUnarchiver::unarchive(*data);
    ASSERT_TRUE(back) << v.description();
    EXPECT_EQ(*back, v) << v.description();
  }
  auto back = KeyedUnarchiver::unarchive(*KeyedArchiver::archivedData(everyKind()));
  EXPECT_TRUE((*back)["huge"].isUInt());
  EXPECT_TRUE((*back)["set"].isOrderedSet());
  EXPECT_TRUE((*back)["date"].isDate());
}

TEST(KeyedArchive, ArchivablePrimitivesAndReferencesRoundTrip) {
  auto s = sample();
  s->next = sample();
  auto back = KeyedUnarchiver::unarchive(*KeyedArchiver::archivedData(Value(s)));
  ASSERT_TRUE(back);
  auto d = back->object<Sample>();
  ASSERT_TRUE(d);
  EXPECT_TRUE(d->flag);
  EXPECT_EQ(d->count, 42);
  EXPECT_EQ(d->gain, 0.1f);
  EXPECT_EQ(d->rate, 250.0);
  EXPECT_EQ(d->raw, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(d->extra, everyKind());
  auto n = std::dynamic_pointer_cast<Sample>(d->next);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->count, 42);
  EXPECT_EQ(n->next, nullptr);
}

TEST(KeyedArchive, SharedObjectIsArchivedOnceAndDecodedAsOneObject) {
  auto shared = sample();
  auto a = std::make_shared<Sample>();
  a->next = shared;
  Value root = Value::list({Value(shared), Value(a), Value(shared)});
  auto data = KeyedArchiver::archivedData(root);
  ASSERT_TRUE(data);
  size_t samples = 0;
  const Value p = plist(*data);
  for (const auto& o : *p["$objects"].getList())
    if (o.isDictionary() && o.getDictionary()->contains("gain")) ++samples;
  EXPECT_EQ(samples, 2u);  // `shared` and `a`, not three

  auto back = KeyedUnarchiver::unarchive(*data);
  ASSERT_TRUE(back);
  auto first = back->at(0).object<Sample>();
  ASSERT_TRUE(first);
  EXPECT_EQ(first, back->at(2).object<Sample>());
  EXPECT_EQ(first, back->at(1).object<Sample>()->next);
}

TEST(KeyedArchive, OnlyWeakLinksResolveToTheObjectBeingDecoded) {
  auto root = std::make_shared<Node>();
  root->name = "root";
  for (const char* n : {"left", "right"}) {
    auto child = std::make_shared<Node>();
    child->name = n;
    child->parent = root;
    root->children.push_back(child);
  }
  root->parent = root->children[0];  // a second cycle, through a child
  auto back = KeyedUnarchiver::unarchive(*KeyedArchiver::archivedData(Value(root)));
  ASSERT_TRUE(back);
  auto r = back->object<Node>();
  ASSERT_TRUE(r);
  ASSERT_EQ(r->children.size(), 2u);
  EXPECT_EQ(r->children[1]->name, "right");
  EXPECT_EQ(r->children[0]->parent.lock(), r);
  EXPECT_EQ(r->children[1]->parent.lock(), r);
  EXPECT_EQ(r->parent.lock(), r->children[0]);

  // A strong link back (a node among its own descendants) would never be freed: it resolves to
  // nothing, which this class refuses. Under the leak checker this also proves nothing leaks.
  root->children[1]->children.push_back(root);
  auto data = KeyedArchiver::archivedData(Value(root));
  root->children[1]->children.clear();
  vpk::test::LogCapture log;
  EXPECT_FALSE(KeyedUnarchiver::unarchive(*data));
  EXPECT_TRUE(log.contains("while it is being decoded resolves to nothing"));
}

TEST(KeyedArchive, CycleThroughAFactoryClassDecodesAsNothing) {
  auto a = sample();
  auto b = sample();
  a->next = b;
  b->next = a;
  auto data = KeyedArchiver::archivedData(Value(a));
  b->next = nullptr;  // break the strong cycle of the originals
  vpk::test::LogCapture log;
  auto back = KeyedUnarchiver::unarchive(*data);
  ASSERT_TRUE(back);
  auto da = back->object<Sample>();
  auto db = std::dynamic_pointer_cast<Sample>(da->next);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->next, nullptr);
  EXPECT_TRUE(log.contains("while it is being decoded resolves to nothing"));
}

TEST(KeyedArchive, FilesRoundTripAndMissingFilesFail) {
  const auto path = (std::filesystem::temp_directory_path() / ("vpk-archive-" + std::to_string(::getpid()))).string();
  ASSERT_TRUE(KeyedArchiver::archiveToFile(everyKind(), path));
  EXPECT_EQ(KeyedUnarchiver::unarchiveFile(path), everyKind());
  std::filesystem::remove(path);
  EXPECT_FALSE(KeyedUnarchiver::unarchiveFile(path));
  EXPECT_FALSE(KeyedArchiver::archiveToFile(Value(1), path + "-missing/sub/file"));
}

TEST(KeyedArchive, InvalidArchivesAreRefusedWithALogLine) {
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
    const char* log;
  };
  std::vector<Case> cases = {
      {"root outside $objects", forgedArchive([](W& w) { return std::vector<W::Ref>{w.addString("$null")}; }, 5),
       "outside the 1 archived objects"},
      {"not a keyed archive", forgedArchive([](W& w) { return std::vector<W::Ref>{w.addString("$null")}; }, 0, "Other"),
       "not a keyed archive"},
      {"unknown class",
       forgedArchive([&](W& w) {
         return std::vector<W::Ref>{w.addString("$null"), w.addDict({{w.addString("$class"), w.addUid(2)}}),
                                    classDict(w, "Mystery")};
       }, 1),
       "unknown class Mystery"},
      {"list element outside $objects",
       forgedArchive([&](W& w) {
         return std::vector<W::Ref>{w.addString("$null"),
                                    w.addDict({{w.addString("NS.objects"), w.addArray({w.addUid(99)})},
                                               {w.addString("$class"), w.addUid(2)}}),
                                    classDict(w, "NSArray")};
       }, 1),
       "reference 99 outside"},
      {"dictionary counts differ",
       forgedArchive([&](W& w) {
         return std::vector<W::Ref>{w.addString("$null"),
                                    w.addDict({{w.addString("NS.keys"), w.addArray({w.addUid(0)})},
                                               {w.addString("NS.objects"), w.addArray({})},
                                               {w.addString("$class"), w.addUid(2)}}),
                                    classDict(w, "NSDictionary")};
       }, 1),
       "unequal key and value counts"},
      {"list holding itself",
       forgedArchive([&](W& w) {
         return std::vector<W::Ref>{w.addString("$null"),
                                    w.addDict({{w.addString("NS.objects"), w.addArray({w.addUid(1)})},
                                               {w.addString("$class"), w.addUid(2)}}),
                                    classDict(w, "NSArray")};
       }, 1),
       "nested too deeply"},
      {"class without a name",
       forgedArchive([&](W& w) {
         return std::vector<W::Ref>{w.addString("$null"), w.addDict({{w.addString("$class"), w.addUid(2)}}),
                                    w.addDict({})};
       }, 1),
       "without a \"$classname\""},
      {"garbage", std::vector<uint8_t>(100, 0x41), "not a binary property list"},
      {"empty", {}, "too short"},
  };
  for (const auto& c : cases) {
    vpk::test::LogCapture log;
    EXPECT_FALSE(KeyedUnarchiver::unarchive(c.data)) << c.name;
    EXPECT_TRUE(log.contains(c.log)) << c.name;
    EXPECT_EQ(log.count("Keyed archive: damaged archive refused"), 1u) << c.name;
  }
}

TEST(KeyedArchive, ObjectsThatRefuseTheirStateRefuseTheArchive) {
  vpk::test::LogCapture log;
  auto bad = sample();
  bad->count = -1;
  EXPECT_FALSE(KeyedUnarchiver::unarchive(*KeyedArchiver::archivedData(Value::list({1, Value(bad)}))));
  bad->count = 666;  // the factory throws
  EXPECT_FALSE(KeyedUnarchiver::unarchive(*KeyedArchiver::archivedData(Value(bad))));
  EXPECT_TRUE(log.contains("count too large"));
  // A Sample where a Node is expected.
  auto s = sample();
  struct Holder : vpk::Archivable {
    std::shared_ptr<vpk::Archivable> p;
    std::string archiveClassName() const override { return "TestNode"; }
    void encodeWithCoder(KeyedArchiver& c) const override { c.encodeObject("parent", p); }
  };
  auto h = std::make_shared<Holder>();
  h->p = s;
  log.clear();
  EXPECT_FALSE(KeyedUnarchiver::unarchive(*KeyedArchiver::archivedData(Value(h))));
  EXPECT_TRUE(log.contains("unexpected class TestSample"));
}

TEST(KeyedArchive, PrimitiveReadsOfAbsentOrMistypedKeysGiveZero) {
  struct Probe : vpk::Archivable {
    std::string archiveClassName() const override { return "TestProbe"; }
    void encodeWithCoder(KeyedArchiver& c) const override {
      c.encodeValue("text", "12");
      c.encodeDouble("real", -3.9);
      c.encodeBool("yes", true);
    }
  };
  struct Seen {
    bool contains = false, absentBool = true;
    int64_t absentInt = 1, textInt = 1, realInt = 0, boolInt = 0;
    double absentDouble = 1;
    bool bytesAbsent = false;
    Value text;
  };
  static Seen seen;
  vpk::registerArchivableClass("TestProbe", {}, [](KeyedUnarchiver& c) -> std::shared_ptr<vpk::Archivable> {
    seen.contains = c.containsKey("real") && !c.containsKey("nothing");
    seen.absentBool = c.decodeBool("nothing");
    seen.absentInt = c.decodeInt("nothing");
    seen.textInt = c.decodeInt("text");
    seen.realInt = c.decodeInt("real");
    seen.boolInt = c.decodeInt("yes");
    seen.absentDouble = c.decodeDouble("nothing");
    seen.bytesAbsent = !c.decodeBytes("real").has_value();
    seen.text = c.decodeValue("text");
    if (c.decodeObject("text") || c.decodeObject("real")) return nullptr;  // not objects
    return std::make_shared<Probe>();
  });
  ASSERT_TRUE(KeyedUnarchiver::unarchive(*KeyedArchiver::archivedData(Value(std::make_shared<Probe>()))));
  EXPECT_TRUE(seen.contains);
  EXPECT_FALSE(seen.absentBool);
  EXPECT_EQ(seen.absentInt, 0);
  EXPECT_EQ(seen.textInt, 0);
  EXPECT_EQ(seen.realInt, -3);
  EXPECT_EQ(seen.boolInt, 1);
  EXPECT_EQ(seen.absentDouble, 0);
  EXPECT_TRUE(seen.bytesAbsent);
  EXPECT_EQ(seen.text, Value("12"));
}

TEST(KeyedArchive, DeepAndExplosiveArchivesAreRefused) {
  vpk::test::LogCapture log;
  Value deep = Value::list({});
  for (int i = 0; i < Value::kMaxNestingDepth + 2; ++i) deep = Value::list({deep});
  EXPECT_FALSE(KeyedArchiver::archivedData(deep));

  // Each list holds the next one twice: 2^40 values if expanded.
  const auto data = forgedArchive([](W& w) {
    std::vector<W::Ref> objs{w.addString("$null"), classDict(w, "NSArray")};
    const int levels = 40;
    for (int i = 0; i < levels; ++i) {
      const uint64_t next = i + 1 < levels ? static_cast<uint64_t>(objs.size() + 1) : 0;
      objs.push_back(w.addDict({{w.addString("NS.objects"), w.addArray({w.addUid(next), w.addUid(next)})},
                                {w.addString("$class"), w.addUid(1)}}));
    }
    return objs;
  }, 2);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(KeyedUnarchiver::unarchive(data));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(log.contains("too many values"));
}

