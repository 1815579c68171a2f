#include <VemraPlatformKit/analysis/VPKChannelDescriptionProperty.h>
#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/numeric/VPKMovingAverage.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

VPKFloatBuffer::Ptr values(std::vector<float> v) { return VPKFloatBuffer::createWithFloats(v.data(), v.size()); }

// A filled two-channel set whose descriptions share one frequency axis, as the analyzer's do.
VPKChannelSet::Ptr filledSet() {
  auto freqs = values({0.0f, 1.0f, 2.0f});
  auto make = [&](uint64_t channel) {
    auto d = VPKChannelDescription::create();
    d->setChannel(channel);
    d->setCycles(300);
    d->setIncludesRawSignalFFTResults(channel == 0);
    d->setAnalysisSampleRange({487, 25});
    d->setSampleRange({3, 4});
    auto window = VPKFloatBuffer::createWithSize(4);
    for (float v : {1.5f, 2.5f, 3.5f, 4.5f + static_cast<float>(channel)}) window->push(v);
    d->setRawSignal(window);
    d->setFilteredSignal(values({0.5f, -0.5f}));
    d->setSamplingRate(250);
    d->setAnalysisRate(0.1f);
    d->setTimestamp(vpk::Date{788918400.25});
    d->setFilteredDFT(VPKDFT::create(values({0.0f, 0.25f, 0.125f}), freqs, 3.0f));
    if (channel == 0) d->setRawDFT(VPKDFT::create(values({0.0f, 1.0f, 2.0f}), freqs, 3.5f));
    d->setFocusScore(0.625f);
    d->setFftStatus(2);
    d->setIdle(channel == 1);
    d->setPartialUpdate(true);
    if (channel == 0) d->setAlternateFocusScore(0.25f);
    d->setObject(vpk::Value::list({1, "two"}), "history");
    d->setObject(42, "answer");
    return d;
  };
  return VPKChannelSet::create(make(0), make(1));
}

std::optional<vpk::Value> roundTrip(const vpk::Value& root) {
  auto data = vpk::KeyedArchiver::archivedData(root);
  if (!data) return std::nullopt;
  return vpk::KeyedUnarchiver::unarchive(*data);
}

// Writes what it is told under the class name of a description, to forge damaged archives.
class Forged : public vpk::Archivable {
 public:
  Forged(std::string key, vpk::Value value) : key_(std::move(key)), value_(std::move(value)) {}
  std::string archiveClassName() const override { return "VPKChannelDescription"; }
  void encodeWithCoder(vpk::KeyedArchiver& coder) const override { coder.encodeValue(key_, value_); }

 private:
  std::string key_;
  vpk::Value value_;
};

}  // namespace

TEST(ChannelDescriptionKeyed, SubscriptsReachDeclaredPropertiesAndCustomValues) {
  auto d = VPKChannelDescription::create();
  // Declared properties by name, converted from any number; other kinds are refused.
  EXPECT_TRUE(d->setObject(300.0, "cycles"));
  EXPECT_EQ(d->cycles(), 300u);
  EXPECT_TRUE(d->setObject(0.5, "focusScore"));
  EXPECT_EQ(d->focusScore(), 0.5f);
  EXPECT_EQ((*d)["focusScore"], vpk::Value(0.5));
  EXPECT_TRUE(d->setObject(vpk::Value(), "focusScore"));
  EXPECT_FALSE(d->focusScore());
  EXPECT_TRUE((*d)["focusScore"].isNull());
  EXPECT_FALSE(d->setObject("many", "cycles"));
  EXPECT_EQ(d->cycles(), 300u);
  EXPECT_FALSE(d->setObject(vpk::Value(VPKMovingAverage::averageWithPeriod(3)), "rawSignal"));
  EXPECT_TRUE(d->setObject(vpk::Value::dictionary({{"location", 1}, {"length", 2}}), "analysisSampleRange"));
  EXPECT_EQ(VPKRangeFromValue((*d)["analysisSampleRange"]), (VPKRange{1, 2}));
  auto buffer = values({1.0f});
  EXPECT_TRUE(d->setObject(vpk::Value(buffer), "filteredSignal"));
  EXPECT_EQ(d->filteredSignal(), buffer);

  // Any other key is a custom value; the same object comes back, null removes it.
  auto average = VPKMovingAverage::averageWithPeriod(4);
  d->setObject(vpk::Value(average), "smoothing");
  EXPECT_EQ((*d)["smoothing"].object(), average);
  EXPECT_TRUE(d->valueForUndefinedKey("cycles").isNull());
  d->setObject(vpk::Value(), "smoothing");
  EXPECT_FALSE(d->customValues().contains("smoothing"));

  // The light copy drops custom lists and float buffers only.
  d->setObject(vpk::Value::list({1, 2}), "list");
  d->setObject(vpk::Value(buffer), "buffer");
  d->setObject(vpk::Value(average), "average");
  auto light = d->copyWithoutPreservingCollections();
  EXPECT_FALSE(light->customValues().contains("list") || light->customValues().contains("buffer"));
  EXPECT_EQ((*light)["average"].object(), average);
}

TEST(ChannelDescriptionKeyed, ArchivedSetComesBackWholeAndLinked) {
  auto set = filledSet();
  auto decoded = roundTrip(vpk::Value(set));
  ASSERT_TRUE(decoded);
  auto back = decoded->object<VPKChannelSet>();
  ASSERT_TRUE(back);
  ASSERT_TRUE(back->leftChannel());
  ASSERT_TRUE(back->rightChannel());
  EXPECT_EQ(back->leftChannel()->channelSet(), back);
  EXPECT_EQ(back->rightChannel()->channelSet(), back);
  EXPECT_TRUE(back->isIdle());

  for (uint64_t ch = 0; ch < 2; ++ch) {
    const auto& a = ch == 0 ? set->leftChannel() : set->rightChannel();
    const auto& b = ch == 0 ? back->leftChannel() : back->rightChannel();
    for (const auto& key : VPKChannelDescription::propertyKeys()) {
      const vpk::Value va = (*a)[key], vb = (*b)[key];
      EXPECT_EQ(va.isNull(), vb.isNull()) << key;
      if (va.isObject()) continue;  // compared below
      EXPECT_EQ(va, vb) << key;
    }
    EXPECT_EQ(b->analysisSampleRange(), a->analysisSampleRange());
    EXPECT_EQ(b->sampleRange(), a->sampleRange());
    EXPECT_TRUE(b->rawSignal()->isEqual(*a->rawSignal()));
    EXPECT_TRUE(b->filteredSignal()->isEqual(*a->filteredSignal()));
    EXPECT_TRUE(b->filteredDFT()->amplitude()->isEqual(*a->filteredDFT()->amplitude()));
    EXPECT_EQ(b->filteredDFT()->DCOffset(), a->filteredDFT()->DCOffset());
    EXPECT_EQ(b->customValues(), a->customValues());
  }
  EXPECT_FALSE(back->rightChannel()->rawDFT());
  EXPECT_FALSE(back->rightChannel()->alternateFocusScore());
  // The shared frequency axis is still one object.
  EXPECT_EQ(back->leftChannel()->filteredDFT()->frequencies(), back->rightChannel()->filteredDFT()->frequencies());
  EXPECT_EQ(back->leftChannel()->rawDFT()->frequencies(), back->leftChannel()->filteredDFT()->frequencies());

  // A left-only set, and a lone description (whose set nothing else holds).
  auto single = roundTrip(vpk::Value(VPKChannelSet::create(VPKChannelDescription::create(), nullptr)));
  ASSERT_TRUE(single);
  EXPECT_TRUE(single->object<VPKChannelSet>()->leftChannel());
  EXPECT_FALSE(single->object<VPKChannelSet>()->rightChannel());
  auto lone = roundTrip(vpk::Value(set->leftChannel()));
  ASSERT_TRUE(lone);
  auto loneDescription = lone->object<VPKChannelDescription>();
  ASSERT_TRUE(loneDescription);
  EXPECT_EQ(loneDescription->cycles(), 300u);
  EXPECT_FALSE(loneDescription->channelSet());
}

TEST(ChannelDescriptionKeyed, DamagedArchivesAreRefused) {
  vpk::test::LogCapture log;
  EXPECT_FALSE(roundTrip(vpk::Value(std::make_shared<Forged>("cycles", "many"))));
  EXPECT_FALSE(roundTrip(vpk::Value(std::make_shared<Forged>("rawSignal", vpk::Value(VPKDFT::create())))));
  EXPECT_FALSE(roundTrip(vpk::Value(std::make_shared<Forged>("customValues__", vpk::Value::list({1})))));
  EXPECT_FALSE(roundTrip(vpk::Value(std::make_shared<Forged>("sampleRange", 5))));
  // Null entries are not kept as custom values; unknown keys are ignored.
  auto ok = roundTrip(vpk::Value(std::make_shared<Forged>(
      "customValues__", vpk::Value::dictionary({{"kept", 1}, {"dropped", vpk::Value()}}))));
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->object<VPKChannelDescription>()->customValues().size(), 1u);
  EXPECT_TRUE(roundTrip(vpk::Value(std::make_shared<Forged>("somethingElse", 1))));
}

TEST(ChannelDescriptionKeyed, DeclaredCustomPropertiesLiveInTheCustomValues) {
  vpk::test::LogCapture log;
  const VPKChannelDescriptionProperty<float> arousal("testArousal");
  const VPKChannelDescriptionProperty<std::shared_ptr<VPKFloatBuffer>> envelope("testEnvelope", VPKPropertyRetention::Weak);
  const VPKChannelDescriptionProperty<std::shared_ptr<VPKFloatBuffer>> again("testEnvelope", VPKPropertyRetention::Weak);
  const VPKChannelDescriptionProperty<int> counter("testCounter", VPKPropertyRetention::Assign);  // a number: no warning
  const VPKChannelDescriptionProperty<std::string> label("testLabel", VPKPropertyRetention::Assign);
  const VPKChannelDescriptionProperty<float> builtIn("focusScore");
  EXPECT_EQ(log.count("WARNING"), 2u);  // weak and assign are held strongly

  auto d = VPKChannelDescription::create();
  EXPECT_FALSE(arousal.get(*d));
  arousal.set(*d, 0.75f);
  counter.set(*d, -3);
  label.set(*d, "calm");
  EXPECT_EQ(arousal.get(*d), 0.75f);
  EXPECT_EQ((*d)["testArousal"], vpk::Value(0.75));
  EXPECT_EQ(counter.get(*d), -3);
  EXPECT_FALSE(VPKChannelDescriptionProperty<vpk::Date>("testLabel").get(*d));  // another kind
  builtIn.set(*d, 0.5f);
  EXPECT_EQ(d->focusScore(), 0.5f);

  {
    auto buffer = values({1.0f, 2.0f});
    envelope.set(*d, buffer);
  }
  // Held strongly although declared weak.
  ASSERT_TRUE(envelope.get(*d));
  EXPECT_EQ(envelope.get(*d)->count(), 2u);

  // Copied and archived with the custom values.
  EXPECT_EQ(arousal.get(*d->copy()), 0.75f);
  EXPECT_FALSE(envelope.get(*d->copyWithoutPreservingCollections()));
  auto back = roundTrip(vpk::Value(d));
  ASSERT_TRUE(back);
  auto decoded = back->object<VPKChannelDescription>();
  EXPECT_EQ(arousal.get(*decoded), 0.75f);
  EXPECT_EQ(label.get(*decoded), std::string("calm"));
  EXPECT_TRUE(envelope.get(*decoded)->isEqual(*envelope.get(*d)));

  envelope.set(*d, nullptr);
  arousal.set(*d, std::nullopt);
  EXPECT_FALSE(d->customValues().contains("testEnvelope"));
  EXPECT_FALSE(d->customValues().contains("testArousal"));
}
