// Keyed access, keyed archiving and decoding of channel descriptions and channel sets.

#include <VemraPlatformKit/analysis/VPKChannelDescription.h>
#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>

#include "analysis/ChannelDescriptionKeys.h"

#include <array>

// Reads and writes the declared properties as vpk::Values, one accessor pair per key in
// declaration order.
class VPKChannelDescriptionCoding {
 public:
  using D = VPKChannelDescription;
  using V = vpk::Value;
  static constexpr size_t kPropertyCount = 19;
  struct Accessor {
    const char* key;
    V (*get)(const D&);
    bool (*set)(D&, const V&);
  };

  static bool setBool(bool& field, const V& v) {
    if (v.isNull()) field = false;
    else if (v.isBool() || v.isNumber()) field = v.boolValue();
    else return false;
    return true;
  }
  static bool setUnsigned(uint64_t& field, const V& v) {
    if (v.isNull()) field = 0;
    else if (v.isBool() || v.isNumber()) field = v.unsignedValue();
    else return false;
    return true;
  }
  static bool setFloat(float& field, const V& v) {
    if (v.isNull()) field = 0.0f;
    else if (v.isBool() || v.isNumber()) field = static_cast<float>(v.doubleValue());
    else return false;
    return true;
  }
  static bool setScore(std::optional<float>& field, const V& v) {
    if (v.isNull()) field.reset();
    else if (v.isBool() || v.isNumber()) field = static_cast<float>(v.doubleValue());
    else return false;
    return true;
  }
  static bool setRange(VPKRange& field, const V& v) {
    if (v.isNull()) {
      field = {};
      return true;
    }
    auto range = VPKRangeFromValue(v);
    if (range) field = *range;
    return range.has_value();
  }
  template <class T>
  static bool setObject(std::shared_ptr<T>& field, const V& v) {
    if (v.isNull()) {
      field.reset();
      return true;
    }
    auto object = v.object<T>();
    if (!object) return false;
    field = std::move(object);
    return true;
  }
  static V score(const std::optional<float>& s) { return s ? V(*s) : V(); }

  static const std::array<Accessor, kPropertyCount>& accessors() {
    static const std::array<Accessor, kPropertyCount> table = {{
        {"channelSet", [](const D& d) { return V(d.channelSet()); },
         [](D& d, const V& v) {
           std::shared_ptr<VPKChannelSet> set;
           if (!setObject(set, v)) return false;
           d.channelSet_ = set;
           return true;
         }},
        {"includesRawSignalFFTResults", [](const D& d) { return V(d.includesRawSignalFFTResults_); },
         [](D& d, const V& v) { return setBool(d.includesRawSignalFFTResults_, v); }},
        {"cycles", [](const D& d) { return V(d.cycles_); }, [](D& d, const V& v) { return setUnsigned(d.cycles_, v); }},
        {"channel", [](const D& d) { return V(d.channel_); },
         [](D& d, const V& v) { return setUnsigned(d.channel_, v); }},
        {"analysisSampleRange", [](const D& d) { return VPKValueWithRange(d.analysisSampleRange_); },
         [](D& d, const V& v) { return setRange(d.analysisSampleRange_, v); }},
        {"rawSignal", [](const D& d) { return V(d.rawSignal_); },
         [](D& d, const V& v) {
           std::shared_ptr<VPKFloatBuffer> b = d.rawSignal_;
           if (!setObject(b, v)) return false;
           d.setRawSignal(std::move(b));
           return true;
         }},
        {"filteredSignal", [](const D& d) { return V(d.filteredSignal_); },
         [](D& d, const V& v) {
           std::shared_ptr<VPKFloatBuffer> b = d.filteredSignal_;
           if (!setObject(b, v)) return false;
           d.setFilteredSignal(std::move(b));
           return true;
         }},
        {"samplingRate", [](const D& d) { return V(d.samplingRate_); },
         [](D& d, const V& v) { return setUnsigned(d.samplingRate_, v); }},
        {"analysisRate", [](const D& d) { return V(d.analysisRate_); },
         [](D& d, const V& v) { return setFloat(d.analysisRate_, v); }},
        {"timestamp", [](const D& d) { return d.timestamp_ ? V(*d.timestamp_) : V(); },
         [](D& d, const V& v) {
           if (v.isNull()) d.timestamp_.reset();
           else if (v.isDate()) d.timestamp_ = *v.getDate();
           else return false;
           return true;
         }},
        {"filteredDFT", [](const D& d) { return V(d.filteredDFT_); },
         [](D& d, const V& v) { return setObject(d.filteredDFT_, v); }},
        {"rawDFT", [](const D& d) { return V(d.rawDFT_); }, [](D& d, const V& v) { return setObject(d.rawDFT_, v); }},
        {"focusScore", [](const D& d) { return score(d.focusScore_); },
         [](D& d, const V& v) { return setScore(d.focusScore_, v); }},
        {"fftStatus", [](const D& d) { return V(d.fftStatus_); },
         [](D& d, const V& v) { return setUnsigned(d.fftStatus_, v); }},
        {"signalStatus", [](const D& d) { return V(d.signalStatus_); },
         [](D& d, const V& v) { return setUnsigned(d.signalStatus_, v); }},
        {"idle", [](const D& d) { return V(d.idle_); }, [](D& d, const V& v) { return setBool(d.idle_, v); }},
        {"partialUpdate", [](const D& d) { return V(d.partialUpdate_); },
         [](D& d, const V& v) { return setBool(d.partialUpdate_, v); }},
        {"sampleRange", [](const D& d) { return VPKValueWithRange(d.sampleRange_); },
         [](D& d, const V& v) { return setRange(d.sampleRange_, v); }},
        {"alternateFocusScore", [](const D& d) { return score(d.alternateFocusScore_); },
         [](D& d, const V& v) { return setScore(d.alternateFocusScore_, v); }},
    }};
    return table;
  }

  static const Accessor* find(std::string_view key) {
    for (const auto& a : accessors())
      if (key == a.key) return &a;
    return nullptr;
  }

  static bool decodeInto(D& d, vpk::KeyedUnarchiver& coder) {
    for (const auto& a : accessors()) {
      if (!coder.containsKey(a.key)) continue;
      // The set is the description's weak parent link: it may be the set being decoded.
      const V v = a.key == std::string_view("channelSet") ? V(coder.decodeWeakObject(a.key)) : coder.decodeValue(a.key);
      if (coder.failed()) return false;
      if (v.isNull()) continue;
      if (!a.set(d, v)) {
        coder.refuse(std::string("VPKChannelDescription: \"") + a.key + "\" holds a " + V::kindName(v.kind()));
        return false;
      }
    }
    if (coder.containsKey(vpk::kCustomValuesKey)) {
      const V custom = coder.decodeValue(vpk::kCustomValuesKey);
      if (coder.failed()) return false;
      if (const auto* dict = custom.getDictionary()) {
        for (const auto& [key, value] : *dict)
          if (!value.isNull()) d.customValues_.set(key, value);
      } else if (!custom.isNull()) {
        coder.refuse("VPKChannelDescription: \"customValues__\" is not a dictionary");
        return false;
      }
    }
    return true;
  }

  static bool decodeSetInto(VPKChannelSet& set, vpk::KeyedUnarchiver& coder) {
    set.leftChannel_ = coder.decodeObjectOfClass<VPKChannelDescription>("leftChannel");
    set.rightChannel_ = coder.decodeObjectOfClass<VPKChannelDescription>("rightChannel");
    return !coder.failed();
  }
};

namespace {

// Two-step registration: each object exists before its keys are read, so the references
// between a set and its descriptions resolve to the objects being decoded.
const bool descriptionRegistered = vpk::registerArchivableClass(
    "VPKChannelDescription", {"VPKChannelDescription", "NSObject"},
    [] { return std::static_pointer_cast<vpk::Archivable>(VPKChannelDescription::create()); },
    [](vpk::Archivable& object, vpk::KeyedUnarchiver& coder) {
      return VPKChannelDescriptionCoding::decodeInto(static_cast<VPKChannelDescription&>(object), coder);
    });

const bool setRegistered = vpk::registerArchivableClass(
    "VPKChannelSet", {"VPKChannelSet", "NSObject"},
    [] { return std::static_pointer_cast<vpk::Archivable>(VPKChannelSet::create()); },
    [](vpk::Archivable& object, vpk::KeyedUnarchiver& coder) {
      return VPKChannelDescriptionCoding::decodeSetInto(static_cast<VPKChannelSet&>(object), coder);
    });

}  // namespace

const std::vector<std::string>& VPKChannelDescription::propertyKeys() {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> k;
    for (const auto& a : VPKChannelDescriptionCoding::accessors()) k.emplace_back(a.key);
    return k;
  }();
  return keys;
}

vpk::Value VPKChannelDescription::objectForKeyedSubscript(std::string_view key) const {
  if (const auto* a = VPKChannelDescriptionCoding::find(key)) return a->get(*this);
  return valueForUndefinedKey(key);
}

bool VPKChannelDescription::setObject(const vpk::Value& value, std::string_view key) {
  if (const auto* a = VPKChannelDescriptionCoding::find(key)) return a->set(*this, value);
  setValueForUndefinedKey(value, key);
  return true;
}

vpk::Value VPKChannelDescription::valueForUndefinedKey(std::string_view key) const {
  const vpk::Value* v = customValues_.find(key);
  return v ? *v : vpk::Value();
}

void VPKChannelDescription::setValueForUndefinedKey(const vpk::Value& value, std::string_view key) {
  if (value.isNull())
    customValues_.remove(key);
  else
    customValues_.set(std::string(key), value);
}

void VPKChannelDescription::encodeWithCoder(vpk::KeyedArchiver& coder) const {
  (void)descriptionRegistered;
  (void)setRegistered;
  for (const auto& a : VPKChannelDescriptionCoding::accessors()) {
    const vpk::Value v = a.get(*this);
    if (!v.isNull()) coder.encodeValue(a.key, v);
  }
  coder.encodeValue(vpk::kCustomValuesKey, vpk::Value(customValues_));
}
