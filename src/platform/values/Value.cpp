#include <VemraPlatformKit/platform/values/Archivable.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

namespace vpk {

// ------------------------------------------------------------------ Date

Date Date::fromUnixTime(double unixSeconds) { return Date{unixSeconds - 978307200.0}; }

double Date::unixTime() const { return secondsSinceReferenceDate + 978307200.0; }

namespace {

// Civil date from days since 1970-01-01 (proleptic Gregorian).
void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

struct Civil {
  int64_t year;
  unsigned month, day, hour, minute, second, milli;
};

Civil toCivil(double unix) {
  if (!std::isfinite(unix) || std::fabs(unix) > 1e15) unix = 0;
  const double whole = std::floor(unix);
  const auto secs = static_cast<int64_t>(whole);
  auto milli = static_cast<unsigned>(std::floor((unix - whole) * 1000.0));
  if (milli > 999) milli = 999;
  int64_t days = secs / 86400;
  int64_t rem = secs % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  Civil c{};
  civilFromDays(days, c.year, c.month, c.day);
  c.hour = static_cast<unsigned>(rem / 3600);
  c.minute = static_cast<unsigned>((rem / 60) % 60);
  c.second = static_cast<unsigned>(rem % 60);
  c.milli = milli;
  return c;
}

}  // namespace

std::string Date::description() const {
  const Civil c = toCivil(unixTime());
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02} +0000", c.year, c.month, c.day, c.hour, c.minute,
                     c.second);
}

std::string Date::iso8601() const {
  const Civil c = toCivil(unixTime());
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", c.year, c.month, c.day, c.hour, c.minute,
                     c.second, c.milli);
}

// ------------------------------------------------------------------ ordered set

ValueOrderedSet::ValueOrderedSet(std::initializer_list<Value> values) {
  for (const auto& v : values) insert(v);
}

ValueOrderedSet::ValueOrderedSet(const ValueList& values) {
  for (const auto& v : values) insert(v);
}

bool ValueOrderedSet::insert(Value v) {
  if (contains(v)) return false;
  items_.push_back(std::move(v));
  return true;
}

bool ValueOrderedSet::contains(const Value& v) const {
  return std::find(items_.begin(), items_.end(), v) != items_.end();
}

bool ValueOrderedSet::remove(const Value& v) {
  auto it = std::find(items_.begin(), items_.end(), v);
  if (it == items_.end()) return false;
  items_.erase(it);
  return true;
}

bool operator==(const ValueOrderedSet& a, const ValueOrderedSet& b) { return a.items_ == b.items_; }

// ------------------------------------------------------------------ dictionary

ValueDictionary::ValueDictionary(std::initializer_list<Entry> entries) {
  for (const auto& e : entries) set(e.first, e.second);
}

ValueDictionary::Entries::iterator ValueDictionary::lowerBound(std::string_view key) {
  return std::lower_bound(entries_.begin(), entries_.end(), key,
                          [](const Entry& e, std::string_view k) { return std::string_view(e.first) < k; });
}

ValueDictionary::Entries::const_iterator ValueDictionary::lowerBound(std::string_view key) const {
  return std::lower_bound(entries_.begin(), entries_.end(), key,
                          [](const Entry& e, std::string_view k) { return std::string_view(e.first) < k; });
}

void ValueDictionary::set(std::string key, Value v) {
  auto it = lowerBound(key);
  if (it != entries_.end() && it->first == key) {
    it->second = std::move(v);
    return;
  }
  entries_.emplace(it, std::move(key), std::move(v));
}

const Value* ValueDictionary::find(std::string_view key) const {
  auto it = lowerBound(key);
  return (it != entries_.end() && it->first == key) ? &it->second : nullptr;
}

Value* ValueDictionary::find(std::string_view key) {
  auto it = lowerBound(key);
  return (it != entries_.end() && it->first == key) ? &it->second : nullptr;
}

Value& ValueDictionary::operator[](std::string_view key) {
  auto it = lowerBound(key);
  if (it != entries_.end() && it->first == key) return it->second;
  return entries_.emplace(it, std::string(key), Value())->second;
}

bool ValueDictionary::remove(std::string_view key) {
  auto it = lowerBound(key);
  if (it == entries_.end() || it->first != key) return false;
  entries_.erase(it);
  return true;
}

bool operator==(const ValueDictionary& a, const ValueDictionary& b) { return a.entries_ == b.entries_; }

// ------------------------------------------------------------------ Value

namespace {

const Value& nullValue() {
  static const Value v;
  return v;
}

const std::string& emptyString() {
  static const std::string s;
  return s;
}

template <class Int>
Int saturate(double d) {
  if (std::isnan(d)) return 0;
  if (d <= static_cast<double>(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
  if (d >= static_cast<double>(std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
  return static_cast<Int>(d);
}

// Compares two numeric Values exactly (no rounding of large integers through double).
bool numbersEqual(const Value& a, const Value& b) {
  using K = Value::Kind;
  if (a.kind() == K::Real || b.kind() == K::Real) {
    const Value& r = a.kind() == K::Real ? a : b;
    const Value& o = a.kind() == K::Real ? b : a;
    const double d = r.doubleValue();
    if (o.kind() == K::Real) return d == o.doubleValue();
    if (!std::isfinite(d) || d != std::floor(d)) return false;
    if (o.kind() == K::Int) {
      if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return false;
      return static_cast<int64_t>(d) == o.intValue();
    }
    if (d < 0 || d >= 18446744073709551616.0) return false;
    return static_cast<uint64_t>(d) == o.unsignedValue();
  }
  if (a.kind() == b.kind()) return a.kind() == K::Int ? a.intValue() == b.intValue()
                                                      : a.unsignedValue() == b.unsignedValue();
  const Value& s = a.kind() == K::Int ? a : b;
  const Value& u = a.kind() == K::Int ? b : a;
  return s.intValue() >= 0 && static_cast<uint64_t>(s.intValue()) == u.unsignedValue();
}

}  // namespace

Value::Value(ObjectTag, std::shared_ptr<Archivable> object) {
  if (object) v_ = std::move(object);
}

Value Value::bytes(const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  return Value(ValueBytes(p, p + (p ? length : 0)));
}

const char* Value::kindName(Kind kind) {
  switch (kind) {
    case Kind::Null: return "null";
    case Kind::Bool: return "bool";
    case Kind::Int: return "integer";
    case Kind::UInt: return "unsigned";
    case Kind::Real: return "real";
    case Kind::String: return "string";
    case Kind::Bytes: return "bytes";
    case Kind::Date: return "date";
    case Kind::List: return "list";
    case Kind::OrderedSet: return "ordered set";
    case Kind::Dictionary: return "dictionary";
    case Kind::Object: return "object";
  }
  return "?";
}

bool Value::boolValue() const {
  switch (kind()) {
    case Kind::Bool: return std::get<bool>(v_);
    case Kind::Int: return std::get<int64_t>(v_) != 0;
    case Kind::UInt: return std::get<uint64_t>(v_) != 0;
    case Kind::Real: return std::get<double>(v_) != 0;
    default: return false;
  }
}

int64_t Value::intValue() const {
  switch (kind()) {
    case Kind::Bool: return std::get<bool>(v_) ? 1 : 0;
    case Kind::Int: return std::get<int64_t>(v_);
    case Kind::UInt: return static_cast<int64_t>(std::get<uint64_t>(v_));
    case Kind::Real: return saturate<int64_t>(std::get<double>(v_));
    default: return 0;
  }
}

uint64_t Value::unsignedValue() const {
  switch (kind()) {
    case Kind::Bool: return std::get<bool>(v_) ? 1 : 0;
    case Kind::Int: return static_cast<uint64_t>(std::get<int64_t>(v_));
    case Kind::UInt: return std::get<uint64_t>(v_);
    case Kind::Real: {
      const double d = std::get<double>(v_);
      return d < 0 ? static_cast<uint64_t>(saturate<int64_t>(d)) : saturate<uint64_t>(d);
    }
    default: return 0;
  }
}

double Value::doubleValue() const {
  switch (kind()) {
    case Kind::Bool: return std::get<bool>(v_) ? 1.0 : 0.0;
    case Kind::Int: return static_cast<double>(std::get<int64_t>(v_));
    case Kind::UInt: return static_cast<double>(std::get<uint64_t>(v_));
    case Kind::Real: return std::get<double>(v_);
    default: return 0;
  }
}

const std::string& Value::stringValue() const {
  const std::string* s = getString();
  return s ? *s : emptyString();
}

std::shared_ptr<Archivable> Value::object() const {
  const auto* p = std::get_if<std::shared_ptr<Archivable>>(&v_);
  return p ? *p : nullptr;
}

const Value& Value::operator[](std::string_view key) const {
  const ValueDictionary* d = getDictionary();
  if (!d) return nullValue();
  const Value* v = d->find(key);
  return v ? *v : nullValue();
}

const Value& Value::at(size_t i) const {
  if (const ValueList* l = getList()) return i < l->size() ? (*l)[i] : nullValue();
  if (const ValueOrderedSet* s = getOrderedSet()) return i < s->size() ? (*s)[i] : nullValue();
  return nullValue();
}

size_t Value::size() const {
  switch (kind()) {
    case Kind::List: return getList()->size();
    case Kind::OrderedSet: return getOrderedSet()->size();
    case Kind::Dictionary: return getDictionary()->size();
    case Kind::String: return getString()->size();
    case Kind::Bytes: return getBytes()->size();
    default: return 0;
  }
}

bool operator==(const Value& a, const Value& b) {
  if (a.isNumber() && b.isNumber()) return numbersEqual(a, b);
  if (a.kind() != b.kind()) return false;
  if (a.isObject()) return a.object() == b.object();
  return a.v_ == b.v_;
}

// ------------------------------------------------------------------ description

namespace {

bool isPlainWord(const std::string& s) {
  if (s.empty()) return false;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '_' || c == '.' || c == '$' || c == '/' || c == ':' || c == '-' || c >= 0x80)
      continue;
    return false;
  }
  return true;
}

std::string quoted(const std::string& s) {
  if (isPlainWord(s)) return s;
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out + "\"";
}

std::string numberText(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  return fmt::format("{}", d);
}

void describe(const Value& v, int indent, std::string& out) {
  const std::string pad(static_cast<size_t>(indent) * 4, ' ');
  const std::string inner(static_cast<size_t>(indent + 1) * 4, ' ');
  using K = Value::Kind;
  switch (v.kind()) {
    case K::Null: out += "<null>"; return;
    case K::Bool: out += v.boolValue() ? "1" : "0"; return;
    case K::Int: out += fmt::format("{}", v.intValue()); return;
    case K::UInt: out += fmt::format("{}", v.unsignedValue()); return;
    case K::Real: out += numberText(v.doubleValue()); return;
    case K::String: out += quoted(*v.getString()); return;
    case K::Bytes: {
      const ValueBytes& b = *v.getBytes();
      out += fmt::format("{{length = {}, bytes = 0x", b.size());
      const size_t shown = b.size() > 24 ? 8 : b.size();
      for (size_t i = 0; i < shown; ++i) out += fmt::format("{:02x}", b[i]);
      if (shown < b.size()) {
        out += " ... ";
        for (size_t i = b.size() - 8; i < b.size(); ++i) out += fmt::format("{:02x}", b[i]);
      }
      out += "}";
      return;
    }
    case K::Date: out += v.getDate()->description(); return;
    case K::List:
    case K::OrderedSet: {
      const ValueList& items = v.isList() ? *v.getList() : v.getOrderedSet()->elements();
      out += v.isList() ? "(" : "{(";
      if (items.empty()) {
        out += v.isList() ? ")" : ")}";
        return;
      }
      out += "\n";
      for (size_t i = 0; i < items.size(); ++i) {
        out += inner;
        describe(items[i], indent + 1, out);
        out += i + 1 < items.size() ? ",\n" : "\n";
      }
      out += pad + (v.isList() ? ")" : ")}");
      return;
    }
    case K::Dictionary: {
      const ValueDictionary& d = *v.getDictionary();
      if (d.empty()) {
        out += "{\n" + pad + "}";
        return;
      }
      out += "{\n";
      for (const auto& [key, value] : d) {
        out += inner + quoted(key) + " = ";
        describe(value, indent + 1, out);
        out += ";\n";
      }
      out += pad + "}";
      return;
    }
    case K::Object: {
      auto o = v.object();
      out += o ? o->description() : "<null>";
      return;
    }
  }
}

}  // namespace

std::string Value::description() const {
  std::string out;
  describe(*this, 0, out);
  return out;
}

}  // namespace vpk
