#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>

#include "platform/values/ArchivableRegistry.h"
#include "platform/values/BinaryPlist.h"

#include <VemraPlatformKit/frame/VPKLog.h>

#include <map>
#include <unordered_map>

namespace vpk {

using detail::BinaryPlistWriter;
using Ref = BinaryPlistWriter::Ref;

struct KeyedArchiver::Impl {
  BinaryPlistWriter w;
  std::vector<Ref> objects;  // $objects: writer reference of each UID's entry
  std::unordered_map<const Archivable*, uint64_t> objectUids;
  std::vector<std::shared_ptr<const Archivable>> keepAlive;  // so no address is reused while archiving
  std::map<std::string, uint64_t> classUids;
  std::map<std::string, uint64_t, std::less<>> stringUids;
  std::vector<std::vector<std::pair<Ref, Ref>>> frames;  // entries of the objects being encoded
  int depth = 0;
  bool failed = false;

  uint64_t reserve() {
    objects.push_back(0);
    return objects.size() - 1;
  }

  uint64_t store(Ref r) {
    objects.push_back(r);
    return objects.size() - 1;
  }

  // Key as stored: the archive's own keys start with "$", so an object's "$key" gets another "$".
  Ref key(const std::string& k) { return w.addString(!k.empty() && k[0] == '$' ? "$" + k : k); }

  void put(const std::string& k, Ref value) {
    if (frames.empty()) return;  // not inside encodeWithCoder
    frames.back().emplace_back(key(k), value);
  }

  uint64_t classUid(const std::string& name) {
    auto it = classUids.find(name);
    if (it != classUids.end()) return it->second;
    std::vector<std::string> chain;
    if (auto c = detail::findArchivableClass(name)) chain = c->chain;
    if (chain.empty()) chain = {name, "NSObject"};
    std::vector<Ref> names;
    for (const auto& n : chain) names.push_back(w.addString(n));
    const Ref dict = w.addDict({{w.addString("$classname"), w.addString(name)},
                                {w.addString("$classes"), w.addArray(names)}});
    const uint64_t uid = store(dict);
    classUids.emplace(name, uid);
    return uid;
  }

  // An object entry made of `entries` plus "$class".
  void finishObject(uint64_t uid, std::vector<std::pair<Ref, Ref>> entries, const std::string& className) {
    entries.emplace_back(w.addString("$class"), w.addUid(classUid(className)));
    objects[uid] = w.addDict(entries);
  }

  std::vector<Ref> uidArray(const std::vector<uint64_t>& uids) {
    std::vector<Ref> refs;
    refs.reserve(uids.size());
    for (uint64_t u : uids) refs.push_back(w.addUid(u));
    return refs;
  }

  uint64_t encodeObject(KeyedArchiver& self, const std::shared_ptr<const Archivable>& obj) {
    if (!obj) return 0;
    auto it = objectUids.find(obj.get());
    if (it != objectUids.end()) return it->second;
    const uint64_t uid = reserve();
    objectUids.emplace(obj.get(), uid);
    keepAlive.push_back(obj);
    frames.emplace_back();
    obj->encodeWithCoder(self);
    auto entries = std::move(frames.back());
    frames.pop_back();
    finishObject(uid, std::move(entries), obj->archiveClassName());
    return uid;
  }

  uint64_t encodeValue(KeyedArchiver& self, const Value& v) {
    struct Depth {
      int& d;
      explicit Depth(int& x) : d(++x) {}
      ~Depth() { --d; }
    } guard(depth);
    if (depth > Value::kMaxNestingDepth) {
      failed = true;
      return 0;
    }
    switch (v.kind()) {
      case Value::Kind::Null: return 0;
      case Value::Kind::Bool: return store(w.addBool(v.boolValue()));
      case Value::Kind::Int: return store(w.addInt(v.intValue()));
      case Value::Kind::UInt: return store(w.addUnsigned(v.unsignedValue()));
      case Value::Kind::Real: return store(w.addReal(v.doubleValue()));
      case Value::Kind::String: {
        auto it = stringUids.find(*v.getString());
        if (it != stringUids.end()) return it->second;
        const uint64_t uid = store(w.addString(*v.getString()));
        stringUids.emplace(*v.getString(), uid);
        return uid;
      }
      case Value::Kind::Bytes: return store(w.addData(v.getBytes()->data(), v.getBytes()->size()));
      case Value::Kind::Date: {
        const uint64_t uid = reserve();
        finishObject(uid, {{w.addString("NS.time"), w.addReal(v.getDate()->secondsSinceReferenceDate)}}, "NSDate");
        return uid;
      }
      case Value::Kind::List:
      case Value::Kind::OrderedSet: {
        const uint64_t uid = reserve();
        std::vector<uint64_t> items;
        for (const auto& item : v.isList() ? *v.getList() : v.getOrderedSet()->elements())
          items.push_back(encodeValue(self, item));
        finishObject(uid, {{w.addString("NS.objects"), w.addArray(uidArray(items))}},
                     v.isList() ? "NSArray" : "NSOrderedSet");
        return uid;
      }
      case Value::Kind::Dictionary: {
        const uint64_t uid = reserve();
        std::vector<uint64_t> keys, values;
        for (const auto& [k, item] : *v.getDictionary()) {
          keys.push_back(encodeValue(self, Value(k)));
          values.push_back(encodeValue(self, item));
        }
        finishObject(uid,
                     {{w.addString("NS.keys"), w.addArray(uidArray(keys))},
                      {w.addString("NS.objects"), w.addArray(uidArray(values))}},
                     "NSDictionary");
        return uid;
      }
      case Value::Kind::Object: return encodeObject(self, v.object());
    }
    return 0;
  }
};

KeyedArchiver::~KeyedArchiver() { delete impl_; }

void KeyedArchiver::encodeBool(const std::string& key, bool v) { impl_->put(key, impl_->w.addBool(v)); }

void KeyedArchiver::encodeInt(const std::string& key, int64_t v) { impl_->put(key, impl_->w.addInt(v)); }

void KeyedArchiver::encodeFloat(const std::string& key, float v) {
  impl_->put(key, impl_->w.addReal(static_cast<double>(v)));
}

void KeyedArchiver::encodeDouble(const std::string& key, double v) { impl_->put(key, impl_->w.addReal(v)); }

void KeyedArchiver::encodeBytes(const std::string& key, const void* data, size_t length) {
  impl_->put(key, impl_->w.addData(static_cast<const uint8_t*>(data), data ? length : 0));
}

void KeyedArchiver::encodeObject(const std::string& key, const std::shared_ptr<const Archivable>& obj) {
  const uint64_t uid = impl_->encodeValue(*this, obj ? Value(std::const_pointer_cast<Archivable>(obj)) : Value());
  impl_->put(key, impl_->w.addUid(uid));
}

void KeyedArchiver::encodeValue(const std::string& key, const Value& v) {
  const uint64_t uid = impl_->encodeValue(*this, v);
  impl_->put(key, impl_->w.addUid(uid));
}

std::optional<std::vector<uint8_t>> KeyedArchiver::archivedData(const Value& root) {
  KeyedArchiver archiver(new Impl);
  Impl& d = *archiver.impl_;
  d.store(d.w.addString("$null"));
  const uint64_t rootUid = d.encodeValue(archiver, root);
  if (d.failed) {
    VPKLog(1, "Keyed archive: value nested deeper than {} levels, not archived", Value::kMaxNestingDepth);
    return std::nullopt;
  }
  auto& w = d.w;
  const Ref objects = w.addArray(d.objects);
  const Ref top = w.addDict({{w.addString("root"), w.addUid(rootUid)}});
  const Ref archive = w.addDict({{w.addString("$archiver"), w.addString("NSKeyedArchiver")},
                                 {w.addString("$objects"), objects},
                                 {w.addString("$top"), top},
                                 {w.addString("$version"), w.addInt(100000)}});
  return w.finish(archive);
}

bool KeyedArchiver::archiveToFile(const Value& root, const std::string& path) {
  auto data = archivedData(root);
  return data && writeFileData(path, data->data(), data->size(), true);
}

}  // namespace vpk
