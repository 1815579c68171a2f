#pragma once
/// @file KeyedUnarchiver.h
/// Reads keyed archives written by KeyedArchiver (or by the platform's own archiver, for the
/// classes this library knows: strings, numbers, data, dates, arrays, dictionaries, sets,
/// ordered sets, null, and every registered Archivable).
///
/// Decoding an Archivable: the class named by the object's "$class" must be registered
/// (Archivable.h); its factory reads the object's keys through this unarchiver. Each archived
/// object is decoded once: every reference to it yields the same std::shared_ptr. A reference
/// back to an object still being decoded (a cycle) resolves to that object only through
/// decodeWeakObject, for a link the class keeps weakly (a parent link) and only when the class
/// registered in two steps; every other such reference resolves to nullptr with a log line, so
/// no archive, however damaged, can build a cycle of strong references that is never freed.
///
/// Damaged or hostile input: unarchive() refuses it with one log line and nullopt, never
/// crashes, never loops. Checked: the binary property-list structure (offsets, counts and
/// references all in range), the archive header, every UID (within "$objects"), the types of
/// "$class", "NS.objects", "NS.keys", nesting of decoding (at most Value::kMaxNestingDepth
/// references deep), and the total amount of decoded values (linear in the input size, so a
/// few shared containers cannot expand into an exponential tree). An unknown class name, a
/// factory that returns nullptr, or an object of the wrong class where decodeObjectOfClass
/// expects one also refuses the whole archive.
///
/// Threads: one decoding runs on the calling thread; factories are called on it.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/values/Archivable.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vpk {

class VPK_EXPORT KeyedUnarchiver {
 public:
  /// Whether the object being decoded has `key`.
  bool containsKey(const std::string& key) const;
  /// Primitive readings: an absent key or a value of another type gives false / 0.
  /// Numbers convert between integer and real kinds (a real read as an integer truncates).
  bool decodeBool(const std::string& key) const;
  int64_t decodeInt(const std::string& key) const;
  float decodeFloat(const std::string& key) const;
  double decodeDouble(const std::string& key) const;
  /// Bytes stored with encodeBytes (or a data object referenced under the key).
  std::optional<std::vector<uint8_t>> decodeBytes(const std::string& key) const;
  /// The Archivable referenced under `key` (nullptr when absent, "$null", or not an
  /// Archivable). The same archived object always yields the same pointer.
  std::shared_ptr<Archivable> decodeObject(const std::string& key);
  /// decodeObject, then a check that the object is a T; an object of another class refuses
  /// the archive (nullptr is returned).
  template <class T>
  std::shared_ptr<T> decodeObjectOfClass(const std::string& key) {
    return checkedClass<T>(key, decodeObject(key));
  }
  /// For a link the decoded object keeps weakly (std::weak_ptr): like decodeObject, but it may
  /// return an object whose own keys are still being read (the parent that references this
  /// object). Never keep the result in a strong reference.
  std::shared_ptr<Archivable> decodeWeakObject(const std::string& key);
  template <class T>
  std::shared_ptr<T> decodeWeakObjectOfClass(const std::string& key) {
    return checkedClass<T>(key, decodeWeakObject(key));
  }
  /// Any value under `key` (a reference or an inline primitive); null when absent.
  Value decodeValue(const std::string& key);

  /// Marks the archive as damaged (the top-level call then returns nullopt) and logs `why`.
  /// Factories may call it for state they find invalid.
  void refuse(const std::string& why);
  /// True once the archive has been refused.
  bool failed() const;

  /// Decodes an archive's root. nullopt (and a log line) for damaged or hostile data.
  static std::optional<Value> unarchive(const std::vector<uint8_t>& data);
  static std::optional<Value> unarchive(const uint8_t* data, size_t length);
  /// Reads and decodes the file at `path`; nullopt (and a log line) when it cannot be read
  /// or is damaged.
  static std::optional<Value> unarchiveFile(const std::string& path);

  KeyedUnarchiver(const KeyedUnarchiver&) = delete;
  KeyedUnarchiver& operator=(const KeyedUnarchiver&) = delete;
  ~KeyedUnarchiver();

 private:
  template <class T>
  std::shared_ptr<T> checkedClass(const std::string& key, std::shared_ptr<Archivable> obj) {
    if (!obj) return nullptr;
    auto cast = std::dynamic_pointer_cast<T>(obj);
    if (!cast) refuse("object under key \"" + key + "\" has an unexpected class " + obj->archiveClassName());
    return cast;
  }
  struct Impl;
  explicit KeyedUnarchiver(Impl* impl) : impl_(impl) {}
  Impl* impl_;
};

}  // namespace vpk
