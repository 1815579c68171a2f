#pragma once
// The binary property-list format ("bplist00"), read and written object by object.
//
// A file is: the header "bplist00", the objects, an offset table (one offset per object) and
// a 32-byte trailer (offset size, reference size, object count, top object, table offset).
// Containers refer to other objects by their index in the offset table.
//
// The reader never trusts the file: the trailer, every offset, every length and every
// reference is range-checked before use, and nothing is read outside the given bytes. It is a
// view: the bytes must outlive it.
//
// The writer collects objects (deduplicating equal scalars) and lays the file out at the end,
// choosing the smallest offset and reference sizes.

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vpk::detail {

enum class BPType : uint8_t { Null, Bool, Int, Real, Date, Data, String, Uid, Array, Set, Dict };

struct BPObject {
  BPType type = BPType::Null;
  bool boolValue = false;
  // Int: value; `isUnsigned` when it only fits as unsigned (16-byte form above INT64_MAX).
  int64_t intValue = 0;
  bool isUnsigned = false;
  double realValue = 0;  // Real and Date
  uint64_t uid = 0;
  // Data, String: payload; Array, Set: element references; Dict: key references then value
  // references. `count` is the element (or entry) count.
  size_t payload = 0;
  uint64_t count = 0;
  bool utf16 = false;  // String stored as UTF-16BE
};

class BinaryPlistReader {
 public:
  /// Validates header and trailer; nullopt (with `error`) when they are inconsistent.
  static std::optional<BinaryPlistReader> open(const uint8_t* data, size_t length, std::string* error);

  uint64_t objectCount() const { return count_; }
  uint64_t topObject() const { return top_; }
  size_t byteSize() const { return size_; }

  /// Decodes the object header at `index`; false when the index, offset or payload is out of
  /// range or the marker is unknown.
  bool object(uint64_t index, BPObject& out) const;
  /// Reference `i` of a container (for a dictionary, keys are 0..count-1 and values
  /// count..2count-1); false when out of range.
  bool reference(const BPObject& container, uint64_t i, uint64_t& index) const;
  /// Bytes of a Data object.
  std::vector<uint8_t> data(const BPObject& o) const;
  /// A String object as UTF-8 (invalid UTF-16 is replaced by U+FFFD).
  std::string string(const BPObject& o) const;
  /// Convenience: the string at `index`, or nullopt when it is not a string.
  std::optional<std::string> stringAt(uint64_t index) const;
  /// Dictionary lookup of `key` in `dict` (linear); the value's index, or nullopt.
  std::optional<uint64_t> dictLookup(const BPObject& dict, std::string_view key) const;

 private:
  BinaryPlistReader() = default;
  uint64_t readBE(size_t at, unsigned bytes) const;
  // Reads a length that may follow a marker (low nibble 0xF + int object) at `pos`.
  bool readLength(uint8_t low, size_t& pos, uint64_t& length) const;

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  unsigned offsetSize_ = 0, refSize_ = 0;
  uint64_t count_ = 0, top_ = 0, table_ = 0;
};

class BinaryPlistWriter {
 public:
  using Ref = uint64_t;

  Ref addNull();
  Ref addBool(bool b);
  Ref addInt(int64_t v);
  Ref addUnsigned(uint64_t v);
  Ref addReal(double v);
  Ref addDate(double secondsSinceReferenceDate);
  Ref addData(const uint8_t* data, size_t length);
  /// UTF-8 in; written as ASCII when it is, else UTF-16BE.
  Ref addString(std::string_view utf8);
  Ref addUid(uint64_t uid);
  Ref addArray(const std::vector<Ref>& items);
  Ref addSet(const std::vector<Ref>& items);
  Ref addDict(const std::vector<std::pair<Ref, Ref>>& entries);

  /// Lays out the file with `top` as its top object.
  std::vector<uint8_t> finish(Ref top) const;

 private:
  struct Obj {
    std::vector<uint8_t> bytes;  // complete encoding of a scalar, or the container's marker
    std::vector<Ref> refs;       // container references (dict: keys then values)
    bool container = false;
  };
  Ref add(Obj o);
  Ref addScalar(std::vector<uint8_t> bytes);

  std::vector<Obj> objects_;
  std::unordered_map<std::string, Ref> scalars_;  // encoding -> object, so equal scalars are shared
};

}  // namespace vpk::detail
