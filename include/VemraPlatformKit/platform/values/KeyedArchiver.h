#pragma once
/// @file KeyedArchiver.h
/// Writes keyed archives: binary property lists in the platform's keyed-archive layout.
///
/// Layout of an archive (a binary property-list dictionary):
///   "$archiver" = "NSKeyedArchiver", "$version" = 100000,
///   "$top"      = { "root" = UID },
///   "$objects"  = [ "$null", ... ]  - every archived object once; UID n refers to entry n,
///                                     UID 0 to "$null" (an absent object).
/// Strings, numbers and bytes are stored as themselves; a date is {"NS.time" = seconds since
/// 2001}, a list {"NS.objects" = [UIDs]} (class NSArray), an ordered set likewise (class
/// NSOrderedSet), a dictionary {"NS.keys" = [UIDs], "NS.objects" = [UIDs]} (class
/// NSDictionary), null an NSNull object. Every object dictionary names its class with
/// "$class" = UID of {"$classname" = name, "$classes" = [chain]}, written once per class.
/// An Archivable writes its own keys (encodeWithCoder); a key that starts with "$" is stored
/// with one more "$" in front so that it cannot collide with the archive's own keys.
///
/// Identity: an Archivable reached twice (same object) is written once and referenced by the
/// same UID everywhere; a cycle through Archivables is written as a reference back to the UID
/// reserved when the object was first met. Values (strings, lists, ...) have no identity and
/// are written at each occurrence.
///
/// Threads: one archiving runs on the calling thread, start to end; independent archivings
/// may run on several threads at once. The archiver is only handed to encodeWithCoder.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/values/Archivable.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vpk {

class VPK_EXPORT KeyedArchiver {
 public:
  /// Primitives are stored inline in the object's dictionary.
  void encodeBool(const std::string& key, bool v);
  void encodeInt(const std::string& key, int64_t v);
  /// Stored as a real (the float widened to double, so it decodes to the same float).
  void encodeFloat(const std::string& key, float v);
  void encodeDouble(const std::string& key, double v);
  void encodeBytes(const std::string& key, const void* data, size_t length);
  /// A reference to the object (written once per archive); nullptr refers to "$null".
  void encodeObject(const std::string& key, const std::shared_ptr<const Archivable>& obj);
  /// A reference to any Value (null refers to "$null"; an object kind as encodeObject).
  void encodeValue(const std::string& key, const Value& v);

  /// The archive of `root` as binary property-list bytes. nullopt (with a log line) when the
  /// value cannot be archived: nesting deeper than Value::kMaxNestingDepth.
  static std::optional<std::vector<uint8_t>> archivedData(const Value& root);
  /// Writes archivedData(root) to `path` (atomically: a temporary file renamed into place).
  static bool archiveToFile(const Value& root, const std::string& path);

  KeyedArchiver(const KeyedArchiver&) = delete;
  KeyedArchiver& operator=(const KeyedArchiver&) = delete;
  ~KeyedArchiver();

 private:
  struct Impl;
  explicit KeyedArchiver(Impl* impl) : impl_(impl) {}
  Impl* impl_;
};

}  // namespace vpk
