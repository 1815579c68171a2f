#pragma once
/// @file Value.h
/// vpk::Value: the library's one dynamic value.
///
/// A Value is one of: null (the platform's null marker), bool, signed integer, unsigned
/// integer, real, string (UTF-8), bytes, date, list, ordered set, string-keyed dictionary,
/// or a shared archivable object. Property lists, JSON documents, keyed archives, the
/// per-device store, custom channel values, recording headers and reports all use it.
///
/// Ownership and copying: a Value owns its contents and copies deeply, except the object
/// kind, which holds a std::shared_ptr<Archivable> (a copy shares the object).
///
/// Dictionaries keep their keys sorted (byte-wise), so iteration, descriptions, JSON and
/// property-list output are deterministic. Ordered sets keep insertion order and refuse
/// an element equal to one already present (equality is checked element by element, so
/// insertion is linear in the size of the set; sets in this library are small).
///
/// Equality (operator==) is deep. Numbers compare by numeric value across the integer,
/// unsigned and real kinds (Value(1) == Value(1u) == Value(1.0)), as the platform's number
/// objects do; bool equals only bool; objects are equal when they are the same object.
///
/// Threads: a Value is a plain value type, as safe to share as a std::vector.
///
/// Conversions: toJSONString / fromJSONString here; property lists in PropertyList.h;
/// keyed archives in KeyedArchiver.h and KeyedUnarchiver.h.

#include <VemraPlatformKit/VPKExport.h>

#include <compare>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace vpk {

class Archivable;
class Value;

/// A point in time: double seconds since 2001-01-01 00:00:00 UTC (the library's time base).
struct VPK_EXPORT Date {
  double secondsSinceReferenceDate = 0;

  /// From / to seconds since the Unix epoch (1970-01-01 00:00:00 UTC).
  static Date fromUnixTime(double unixSeconds);
  double unixTime() const;
  /// "2001-01-01 00:00:00 +0000" (whole seconds, UTC), as the platform describes a date.
  std::string description() const;
  /// ISO 8601 with milliseconds, "2001-01-01T00:00:00.000Z".
  std::string iso8601() const;

  friend bool operator==(const Date&, const Date&) = default;
  friend auto operator<=>(const Date&, const Date&) = default;
};

using ValueList = std::vector<Value>;
using ValueBytes = std::vector<uint8_t>;

/// Ordered set of Values: insertion order, no two equal elements.
class VPK_EXPORT ValueOrderedSet {
 public:
  ValueOrderedSet() = default;
  ValueOrderedSet(std::initializer_list<Value> values);
  explicit ValueOrderedSet(const ValueList& values);

  /// Appends `v` unless an equal element is present; true when appended.
  bool insert(Value v);
  bool contains(const Value& v) const;
  bool remove(const Value& v);
  size_t size() const;
  bool empty() const;
  const Value& operator[](size_t i) const;
  const ValueList& elements() const { return items_; }
  ValueList::const_iterator begin() const;
  ValueList::const_iterator end() const;

  friend VPK_EXPORT bool operator==(const ValueOrderedSet& a, const ValueOrderedSet& b);

 private:
  ValueList items_;
};

/// String-keyed dictionary with keys kept sorted (byte-wise).
class VPK_EXPORT ValueDictionary {
 public:
  using Entry = std::pair<std::string, Value>;
  using Entries = std::vector<Entry>;

  ValueDictionary() = default;
  ValueDictionary(std::initializer_list<Entry> entries);

  /// Sets (adds or replaces) the value under `key`.
  void set(std::string key, Value v);
  /// The value under `key`, or nullptr.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  /// The value under `key`, inserting null first when absent.
  Value& operator[](std::string_view key);
  /// Removes `key`; true when it was present.
  bool remove(std::string_view key);

  size_t size() const;
  bool empty() const;
  const Entries& entries() const { return entries_; }
  Entries::const_iterator begin() const;
  Entries::const_iterator end() const;

  friend VPK_EXPORT bool operator==(const ValueDictionary& a, const ValueDictionary& b);

 private:
  Entries::iterator lowerBound(std::string_view key);
  Entries::const_iterator lowerBound(std::string_view key) const;
  Entries entries_;
};

class VPK_EXPORT Value {
 public:
  enum class Kind { Null, Bool, Int, UInt, Real, String, Bytes, Date, List, OrderedSet, Dictionary, Object };

  /// Null.
  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  template <std::integral T>
    requires(!std::same_as<std::remove_cv_t<T>, bool>)
  Value(T n) {
    if constexpr (std::is_signed_v<T>)
      v_ = static_cast<int64_t>(n);
    else
      v_ = static_cast<uint64_t>(n);
  }
  Value(double d) : v_(d) {}
  Value(float f) : v_(static_cast<double>(f)) {}
  Value(const char* s) : v_(std::string(s ? s : "")) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(ValueBytes b) : v_(std::move(b)) {}
  Value(vpk::Date d) : v_(d) {}
  Value(ValueList l) : v_(std::move(l)) {}
  Value(ValueOrderedSet s) : v_(std::move(s)) {}
  Value(ValueDictionary d) : v_(std::move(d)) {}
  /// An archivable object (nullptr gives null).
  template <class T>
    requires std::derived_from<T, Archivable>
  Value(std::shared_ptr<T> object) : Value(ObjectTag{}, std::shared_ptr<Archivable>(std::move(object))) {}

  /// Builders: Value::list({1, "a"}), Value::dictionary({{"k", 1}}), Value::bytes(p, n).
  static Value list(std::initializer_list<Value> values) { return Value(ValueList(values)); }
  static Value dictionary(std::initializer_list<ValueDictionary::Entry> entries) {
    return Value(ValueDictionary(entries));
  }
  static Value orderedSet(std::initializer_list<Value> values) { return Value(ValueOrderedSet(values)); }
  static Value bytes(const void* data, size_t length);

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  /// "null", "bool", "integer", "unsigned", "real", "string", "bytes", "date", "list",
  /// "ordered set", "dictionary", "object".
  static const char* kindName(Kind kind);

  bool isNull() const { return kind() == Kind::Null; }
  bool isBool() const { return kind() == Kind::Bool; }
  bool isInt() const { return kind() == Kind::Int; }
  bool isUInt() const { return kind() == Kind::UInt; }
  bool isReal() const { return kind() == Kind::Real; }
  /// Int, UInt or Real.
  bool isNumber() const { return isInt() || isUInt() || isReal(); }
  bool isString() const { return kind() == Kind::String; }
  bool isBytes() const { return kind() == Kind::Bytes; }
  bool isDate() const { return kind() == Kind::Date; }
  bool isList() const { return kind() == Kind::List; }
  bool isOrderedSet() const { return kind() == Kind::OrderedSet; }
  bool isDictionary() const { return kind() == Kind::Dictionary; }
  bool isObject() const { return kind() == Kind::Object; }

  /// Numeric readings, converting between number kinds and bool as the platform's number
  /// objects do (reals truncate toward zero and saturate; anything else reads 0 / false).
  bool boolValue() const;
  int64_t intValue() const;
  uint64_t unsignedValue() const;
  double doubleValue() const;

  /// The contents of one kind, or nullptr for any other kind.
  const std::string* getString() const { return std::get_if<std::string>(&v_); }
  const ValueBytes* getBytes() const { return std::get_if<ValueBytes>(&v_); }
  const vpk::Date* getDate() const { return std::get_if<vpk::Date>(&v_); }
  const ValueList* getList() const { return std::get_if<ValueList>(&v_); }
  ValueList* getList() { return std::get_if<ValueList>(&v_); }
  const ValueOrderedSet* getOrderedSet() const { return std::get_if<ValueOrderedSet>(&v_); }
  ValueOrderedSet* getOrderedSet() { return std::get_if<ValueOrderedSet>(&v_); }
  const ValueDictionary* getDictionary() const { return std::get_if<ValueDictionary>(&v_); }
  ValueDictionary* getDictionary() { return std::get_if<ValueDictionary>(&v_); }

  /// The string, or an empty string for any other kind.
  const std::string& stringValue() const;
  /// The held object (nullptr for other kinds).
  std::shared_ptr<Archivable> object() const;
  /// The held object cast to T (nullptr for other kinds or another class).
  template <class T>
  std::shared_ptr<T> object() const {
    return std::dynamic_pointer_cast<T>(object());
  }

  /// Dictionary member lookup: the value under `key`, or a null Value when this is not a
  /// dictionary or has no such key.
  const Value& operator[](std::string_view key) const;
  /// List or ordered-set element `i`, or a null Value when out of range.
  const Value& at(size_t i) const;
  /// Element count of a list, ordered set, dictionary, string or bytes; 0 otherwise.
  size_t size() const;

  /// The readable, platform-style description used in log lines:
  /// dictionaries "{\n    key = value;\n}", lists "(\n    a,\n    b\n)", strings quoted when
  /// they hold anything but letters, digits and "_.$/:-", bytes "{length = 2, bytes = 0x0102}",
  /// dates "2001-01-01 00:00:00 +0000", null "<null>", bools and numbers as "1", "0", "2.5".
  std::string description() const;

  /// JSON text (compact, or indented by `indent` spaces when indent > 0). Lists and ordered
  /// sets become arrays, bytes become base64 strings, dates ISO 8601 strings. Refused (log line,
  /// nullopt) for a non-finite real or an archivable object. Invalid UTF-8 is replaced.
  std::optional<std::string> toJSONString(int indent = 0) const;
  /// Parses JSON text. Integers become Int (UInt above the signed range), other numbers Real.
  /// Malformed text or nesting deeper than kMaxNestingDepth gives nullopt and a log line.
  static std::optional<Value> fromJSONString(std::string_view text);

  /// Deepest nesting any reader (JSON, property list, keyed archive) accepts.
  static constexpr int kMaxNestingDepth = 512;

  friend VPK_EXPORT bool operator==(const Value& a, const Value& b);

 private:
  struct ObjectTag {};
  Value(ObjectTag, std::shared_ptr<Archivable> object);
  std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string, ValueBytes, vpk::Date, ValueList,
               ValueOrderedSet, ValueDictionary, std::shared_ptr<Archivable>>
      v_;
};

// Defined once Value is complete: clang instantiates the constexpr members of
// std::vector<Value> where they are used, which an incomplete Value does not allow.
inline size_t ValueOrderedSet::size() const { return items_.size(); }
inline bool ValueOrderedSet::empty() const { return items_.empty(); }
inline const Value& ValueOrderedSet::operator[](size_t i) const { return items_[i]; }
inline ValueList::const_iterator ValueOrderedSet::begin() const { return items_.begin(); }
inline ValueList::const_iterator ValueOrderedSet::end() const { return items_.end(); }
inline size_t ValueDictionary::size() const { return entries_.size(); }
inline bool ValueDictionary::empty() const { return entries_.empty(); }
inline ValueDictionary::Entries::const_iterator ValueDictionary::begin() const { return entries_.begin(); }
inline ValueDictionary::Entries::const_iterator ValueDictionary::end() const { return entries_.end(); }

}  // namespace vpk
