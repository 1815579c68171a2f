#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>

#include "platform/values/ArchivableRegistry.h"
#include "platform/values/BinaryPlist.h"

#include <VemraPlatformKit/frame/VPKLog.h>

#include <cmath>
#include <limits>
#include <unordered_map>
#include <unordered_set>

namespace vpk {

using detail::BPObject;
using detail::BPType;

struct KeyedUnarchiver::Impl {
  detail::BinaryPlistReader r;
  BPObject objects;  // the "$objects" array
  std::unordered_map<uint64_t, std::shared_ptr<Archivable>> decoded;
  std::unordered_set<uint64_t> inFactory;  // objects whose single-step factory is running
  std::unordered_set<uint64_t> inDecode;   // two-step objects whose keys are being read
  std::vector<BPObject> frames;            // the object dictionaries being decoded
  uint64_t budget = 0;                     // values still allowed
  int depth = 0;
  bool failed = false;

  explicit Impl(detail::BinaryPlistReader reader) : r(reader) {}

  void refuse(const std::string& why) {
    if (!failed) VPKLog(1, "Keyed archive: damaged archive refused ({})", why);
    failed = true;
  }

  // Index (in the property list) of the value stored under `key` in the current object.
  std::optional<uint64_t> lookup(const std::string& key) const {
    if (frames.empty()) return std::nullopt;
    return r.dictLookup(frames.back(), !key.empty() && key[0] == '$' ? "$" + key : key);
  }

  bool scalar(const std::string& key, BPObject& out) const {
    auto idx = lookup(key);
    return idx && r.object(*idx, out);
  }

  // The property-list object of archive entry `uid`.
  bool entry(uint64_t uid, BPObject& out) {
    uint64_t idx = 0;
    if (uid >= objects.count || !r.reference(objects, uid, idx) || !r.object(idx, out)) {
      refuse(fmt::format("reference {} outside the {} archived objects", uid, objects.count));
      return false;
    }
    return true;
  }

  // The UID stored under `name` in an entry dictionary (or nullopt).
  std::optional<uint64_t> uidIn(const BPObject& dict, std::string_view name) {
    auto idx = r.dictLookup(dict, name);
    BPObject o;
    if (!idx || !r.object(*idx, o) || o.type != BPType::Uid) return std::nullopt;
    return o.uid;
  }

  // UIDs listed under `name` (an array of UIDs) in an entry dictionary.
  bool uidList(const BPObject& dict, std::string_view name, std::vector<uint64_t>& out) {
    auto idx = r.dictLookup(dict, name);
    BPObject arr;
    if (!idx || !r.object(*idx, arr) || arr.type != BPType::Array) {
      refuse(fmt::format("\"{}\" is missing or not an array", name));
      return false;
    }
    out.clear();
    for (uint64_t i = 0; i < arr.count; ++i) {
      uint64_t ref = 0;
      BPObject u;
      if (!r.reference(arr, i, ref) || !r.object(ref, u) || u.type != BPType::Uid) {
        refuse(fmt::format("\"{}\" holds something other than references", name));
        return false;
      }
      out.push_back(u.uid);
    }
    return true;
  }

  std::optional<std::string> className(const BPObject& dict) {
    auto cls = uidIn(dict, "$class");
    BPObject c;
    if (!cls) return std::nullopt;
    if (!entry(*cls, c)) return std::nullopt;
    auto name = r.dictLookup(c, "$classname");
    auto s = name ? r.stringAt(*name) : std::nullopt;
    if (!s) refuse("class description without a \"$classname\"");
    return s;
  }

  // `weak`: the caller keeps the result in a weak link, so it may be an object whose keys are
  // still being read. Every other reference to such an object would close a cycle of strong
  // references (which would never be freed) and resolves to nothing.
  Value decodeUid(KeyedUnarchiver& self, uint64_t uid, bool weak = false) {
    if (failed || uid == 0) return Value();
    struct Depth {
      int& d;
      explicit Depth(int& x) : d(++x) {}
      ~Depth() { --d; }
    } guard(depth);
    if (depth > Value::kMaxNestingDepth) {
      refuse("references nested too deeply");
      return Value();
    }
    if (budget == 0) {
      refuse("expands to too many values");
      return Value();
    }
    --budget;
    if (auto it = decoded.find(uid); it != decoded.end()) {
      if (!weak && inDecode.count(uid)) {
        VPKLog(1, "Keyed archive: reference back to {} while it is being decoded resolves to nothing",
               it->second->archiveClassName());
        return Value();
      }
      return Value(it->second);
    }
    BPObject o;
    if (!entry(uid, o)) return Value();
    switch (o.type) {
      case BPType::Null: return Value();
      case BPType::Bool: return Value(o.boolValue);
      case BPType::Int: return o.isUnsigned ? Value(static_cast<uint64_t>(o.intValue)) : Value(o.intValue);
      case BPType::Real: return Value(o.realValue);
      case BPType::Date: return Value(Date{o.realValue});
      case BPType::Data: return Value(r.data(o));
      case BPType::String: return Value(r.string(o));
      case BPType::Dict: break;
      default: refuse(fmt::format("archived object {} has an unexpected type", uid)); return Value();
    }
    auto name = className(o);
    if (!name) {
      refuse(fmt::format("archived object {} names no class", uid));
      return Value();
    }
    const std::string& cls = *name;
    if (cls == "NSArray" || cls == "NSMutableArray" || cls == "NSSet" || cls == "NSMutableSet" ||
        cls == "NSOrderedSet" || cls == "NSMutableOrderedSet") {
      std::vector<uint64_t> uids;
      if (!uidList(o, "NS.objects", uids)) return Value();
      ValueList items;
      items.reserve(uids.size());
      for (uint64_t u : uids) {
        items.push_back(decodeUid(self, u));
        if (failed) return Value();
      }
      if (cls == "NSArray" || cls == "NSMutableArray") return Value(std::move(items));
      return Value(ValueOrderedSet(items));
    }
    if (cls == "NSDictionary" || cls == "NSMutableDictionary") {
      std::vector<uint64_t> keys, values;
      if (!uidList(o, "NS.keys", keys) || !uidList(o, "NS.objects", values)) return Value();
      if (keys.size() != values.size()) {
        refuse("dictionary with unequal key and value counts");
        return Value();
      }
      ValueDictionary dict;
      for (size_t i = 0; i < keys.size(); ++i) {
        Value k = decodeUid(self, keys[i]);
        if (failed) return Value();
        if (!k.isString()) {
          refuse("dictionary key is not a string");
          return Value();
        }
        Value v = decodeUid(self, values[i]);
        if (failed) return Value();
        dict.set(k.stringValue(), std::move(v));
      }
      return Value(std::move(dict));
    }
    if (cls == "NSDate") {
      auto t = r.dictLookup(o, "NS.time");
      BPObject tv;
      if (!t || !r.object(*t, tv) || (tv.type != BPType::Real && tv.type != BPType::Int)) {
        refuse("date without \"NS.time\"");
        return Value();
      }
      return Value(Date{tv.type == BPType::Real ? tv.realValue : static_cast<double>(tv.intValue)});
    }
    if (cls == "NSNull") return Value();
    if (cls == "NSString" || cls == "NSMutableString" || cls == "NSData" || cls == "NSMutableData") {
      const bool isString = cls == "NSString" || cls == "NSMutableString";
      auto idx = r.dictLookup(o, isString ? "NS.string" : "NS.data");
      BPObject so;
      if (!idx || !r.object(*idx, so) || so.type != (isString ? BPType::String : BPType::Data)) {
        refuse(fmt::format("{} without its contents", cls));
        return Value();
      }
      return isString ? Value(r.string(so)) : Value(r.data(so));
    }
    return decodeArchivable(self, uid, o, cls);
  }

  Value decodeArchivable(KeyedUnarchiver& self, uint64_t uid, const BPObject& o, const std::string& cls) {
    if (inFactory.count(uid)) {
      VPKLog(1, "Keyed archive: reference back to {} while it is being decoded resolves to nothing", cls);
      return Value();
    }
    auto c = detail::findArchivableClass(cls);
    if (!c) {
      refuse(fmt::format("unknown class {}", cls));
      return Value();
    }
    frames.push_back(o);
    std::shared_ptr<Archivable> obj;
    try {
      if (c->make) {
        obj = c->make();
        if (obj) {
          decoded[uid] = obj;
          inDecode.insert(uid);
          if (!c->decodeInto(*obj, self)) obj = nullptr;
          inDecode.erase(uid);
        }
      } else {
        inFactory.insert(uid);
        obj = c->factory(self);
        inFactory.erase(uid);
      }
    } catch (const std::exception& e) {
      inFactory.erase(uid);
      inDecode.erase(uid);
      obj = nullptr;
      refuse(fmt::format("{} could not be decoded: {}", cls, e.what()));
    }
    frames.pop_back();
    if (!obj) {
      refuse(fmt::format("{} refused its archived state", cls));
      return Value();
    }
    decoded[uid] = obj;
    return Value(obj);
  }
};

KeyedUnarchiver::~KeyedUnarchiver() { delete impl_; }

void KeyedUnarchiver::refuse(const std::string& why) { impl_->refuse(why); }

bool KeyedUnarchiver::failed() const { return impl_->failed; }

bool KeyedUnarchiver::containsKey(const std::string& key) const { return impl_->lookup(key).has_value(); }

bool KeyedUnarchiver::decodeBool(const std::string& key) const {
  BPObject o;
  if (!impl_->scalar(key, o)) return false;
  if (o.type == BPType::Bool) return o.boolValue;
  if (o.type == BPType::Int) return o.intValue != 0;
  if (o.type == BPType::Real) return o.realValue != 0;
  return false;
}

int64_t KeyedUnarchiver::decodeInt(const std::string& key) const {
  BPObject o;
  if (!impl_->scalar(key, o)) return 0;
  if (o.type == BPType::Int) return o.intValue;
  if (o.type == BPType::Bool) return o.boolValue ? 1 : 0;
  if (o.type == BPType::Real) {
    const double d = o.realValue;
    if (std::isnan(d)) return 0;
    if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    if (d >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(d);
  }
  return 0;
}

double KeyedUnarchiver::decodeDouble(const std::string& key) const {
  BPObject o;
  if (!impl_->scalar(key, o)) return 0;
  if (o.type == BPType::Real) return o.realValue;
  if (o.type == BPType::Int)
    return o.isUnsigned ? static_cast<double>(static_cast<uint64_t>(o.intValue)) : static_cast<double>(o.intValue);
  if (o.type == BPType::Bool) return o.boolValue ? 1 : 0;
  return 0;
}

float KeyedUnarchiver::decodeFloat(const std::string& key) const { return static_cast<float>(decodeDouble(key)); }

std::optional<std::vector<uint8_t>> KeyedUnarchiver::decodeBytes(const std::string& key) const {
  BPObject o;
  if (!impl_->scalar(key, o)) return std::nullopt;
  if (o.type == BPType::Data) return impl_->r.data(o);
  if (o.type == BPType::Uid) {
    Value v = impl_->decodeUid(const_cast<KeyedUnarchiver&>(*this), o.uid);
    if (const ValueBytes* b = v.getBytes()) return *b;
  }
  return std::nullopt;
}

std::shared_ptr<Archivable> KeyedUnarchiver::decodeObject(const std::string& key) {
  BPObject o;
  if (!impl_->scalar(key, o) || o.type != BPType::Uid) return nullptr;
  return impl_->decodeUid(*this, o.uid).object();
}

std::shared_ptr<Archivable> KeyedUnarchiver::decodeWeakObject(const std::string& key) {
  BPObject o;
  if (!impl_->scalar(key, o) || o.type != BPType::Uid) return nullptr;
  return impl_->decodeUid(*this, o.uid, true).object();
}

Value KeyedUnarchiver::decodeValue(const std::string& key) {
  BPObject o;
  if (!impl_->scalar(key, o)) return Value();
  switch (o.type) {
    case BPType::Uid: return impl_->decodeUid(*this, o.uid);
    case BPType::Bool: return Value(o.boolValue);
    case BPType::Int: return o.isUnsigned ? Value(static_cast<uint64_t>(o.intValue)) : Value(o.intValue);
    case BPType::Real: return Value(o.realValue);
    case BPType::Date: return Value(Date{o.realValue});
    case BPType::Data: return Value(impl_->r.data(o));
    case BPType::String: return Value(impl_->r.string(o));
    default: return Value();
  }
}

std::optional<Value> KeyedUnarchiver::unarchive(const std::vector<uint8_t>& data) {
  return unarchive(data.data(), data.size());
}

std::optional<Value> KeyedUnarchiver::unarchive(const uint8_t* data, size_t length) {
  std::string why;
  auto reader = detail::BinaryPlistReader::open(data, length, &why);
  if (!reader) {
    VPKLog(1, "Keyed archive: damaged archive refused ({})", why);
    return std::nullopt;
  }
  KeyedUnarchiver self(new Impl(*reader));
  Impl& d = *self.impl_;
  d.budget = 8 * static_cast<uint64_t>(length) + 65536;
  BPObject top;
  if (!d.r.object(d.r.topObject(), top) || top.type != BPType::Dict) {
    d.refuse("top object is not a dictionary");
    return std::nullopt;
  }
  auto archiver = d.r.dictLookup(top, "$archiver");
  auto name = archiver ? d.r.stringAt(*archiver) : std::nullopt;
  if (!name || *name != "NSKeyedArchiver") {
    d.refuse("not a keyed archive");
    return std::nullopt;
  }
  auto objects = d.r.dictLookup(top, "$objects");
  auto topDict = d.r.dictLookup(top, "$top");
  BPObject topObj;
  if (!objects || !d.r.object(*objects, d.objects) || d.objects.type != BPType::Array || !topDict ||
      !d.r.object(*topDict, topObj) || topObj.type != BPType::Dict) {
    d.refuse("\"$objects\" or \"$top\" missing");
    return std::nullopt;
  }
  auto root = d.uidIn(topObj, "root");
  if (!root) {
    d.refuse("no \"root\" reference");
    return std::nullopt;
  }
  Value result;
  try {
    result = d.decodeUid(self, *root);
  } catch (const std::exception& e) {
    d.refuse(e.what());
  }
  if (d.failed) return std::nullopt;
  return result;
}

std::optional<Value> KeyedUnarchiver::unarchiveFile(const std::string& path) {
  auto data = readFileData(path);
  if (!data) {
    VPKLog(0, "Keyed archive: cannot read {}", path);
    return std::nullopt;
  }
  auto v = unarchive(*data);
  if (!v) VPKLog(1, "Keyed archive: damaged file {}", path);
  return v;
}

}  // namespace vpk
