#include <VemraPlatformKit/platform/values/PropertyList.h>

#include "platform/values/Base64.h"
#include "platform/values/BinaryPlist.h"

#include <VemraPlatformKit/frame/VPKLog.h>

#include <plist/plist.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace vpk {

namespace {

// ------------------------------------------------------------------ checks shared by both writers

// Why `v` cannot be written as a property list, or an empty string when it can.
std::string notPropertyList(const Value& v, int depth) {
  if (depth > Value::kMaxNestingDepth) return fmt::format("nested deeper than {} levels", Value::kMaxNestingDepth);
  switch (v.kind()) {
    case Value::Kind::Null: return "null is not a property-list value";
    case Value::Kind::Object: return fmt::format("object {} is not a property-list value", v.description());
    case Value::Kind::List:
    case Value::Kind::OrderedSet:
      for (const auto& item : v.isList() ? *v.getList() : v.getOrderedSet()->elements()) {
        auto why = notPropertyList(item, depth + 1);
        if (!why.empty()) return why;
      }
      return {};
    case Value::Kind::Dictionary:
      for (const auto& [key, item] : *v.getDictionary()) {
        auto why = notPropertyList(item, depth + 1);
        if (!why.empty()) return why;
      }
      return {};
    default: return {};
  }
}

// ------------------------------------------------------------------ XML writer

void escapeXML(std::string_view s, std::string& out) {
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
}

std::string realText(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
  return fmt::format("{}", d);
}

void writeXML(const Value& v, int depth, std::string& out) {
  const std::string tabs(static_cast<size_t>(depth), '\t');
  out += tabs;
  switch (v.kind()) {
    case Value::Kind::Bool: out += v.boolValue() ? "<true/>\n" : "<false/>\n"; return;
    case Value::Kind::Int: out += fmt::format("<integer>{}</integer>\n", v.intValue()); return;
    case Value::Kind::UInt: out += fmt::format("<integer>{}</integer>\n", v.unsignedValue()); return;
    case Value::Kind::Real: out += "<real>" + realText(v.doubleValue()) + "</real>\n"; return;
    case Value::Kind::String:
      out += "<string>";
      escapeXML(*v.getString(), out);
      out += "</string>\n";
      return;
    case Value::Kind::Bytes: {
      const ValueBytes& b = *v.getBytes();
      out += "<data>\n";
      std::string text = detail::base64Encode(b.data(), b.size(), 68);
      size_t start = 0;
      while (start < text.size()) {
        const size_t nl = text.find('\n', start);
        out += tabs + text.substr(start, nl - start) + "\n";
        start = nl + 1;
      }
      out += tabs + "</data>\n";
      return;
    }
    case Value::Kind::Date: {
      const std::string d = v.getDate()->iso8601();  // "YYYY-MM-DDTHH:MM:SS.mmmZ"
      out += "<date>" + d.substr(0, d.size() - 5) + "Z</date>\n";
      return;
    }
    case Value::Kind::List:
    case Value::Kind::OrderedSet: {
      const ValueList& items = v.isList() ? *v.getList() : v.getOrderedSet()->elements();
      if (items.empty()) {
        out += "<array/>\n";
        return;
      }
      out += "<array>\n";
      for (const auto& item : items) writeXML(item, depth + 1, out);
      out += tabs + "</array>\n";
      return;
    }
    case Value::Kind::Dictionary: {
      if (v.getDictionary()->empty()) {
        out += "<dict/>\n";
        return;
      }
      out += "<dict>\n";
      for (const auto& [key, item] : *v.getDictionary()) {
        out += tabs + "\t<key>";
        escapeXML(key, out);
        out += "</key>\n";
        writeXML(item, depth + 1, out);
      }
      out += tabs + "</dict>\n";
      return;
    }
    case Value::Kind::Null:
    case Value::Kind::Object: return;  // refused before writing
  }
}

// ------------------------------------------------------------------ XML reader (libplist)

// Deepest <array>/<dict> nesting in the text, counted before libplist parses it (its parser
// recurses once per level).
int xmlNesting(const char* p, size_t n) {
  int depth = 0, deepest = 0;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != '<') continue;
    const bool closing = i + 1 < n && p[i + 1] == '/';
    const size_t name = i + (closing ? 2 : 1);
    auto is = [&](const char* tag) {
      const size_t len = std::strlen(tag);
      return name + len <= n && std::memcmp(p + name, tag, len) == 0 &&
             (name + len == n || p[name + len] == '>' || p[name + len] == '/' || p[name + len] == ' ' ||
              p[name + len] == '\t' || p[name + len] == '\n' || p[name + len] == '\r');
    };
    if (!is("array") && !is("dict")) continue;
    size_t close = i;
    while (close < n && p[close] != '>') ++close;
    const bool selfClosing = close < n && close > i && p[close - 1] == '/';
    if (closing)
      --depth;
    else if (!selfClosing)
      deepest = std::max(deepest, ++depth);
  }
  return deepest;
}

struct PlistFree {
  void operator()(void* p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

bool fromLibplist(plist_t node, int depth, Value& out, std::string& why) {
  if (depth > Value::kMaxNestingDepth) {
    why = "nested too deeply";
    return false;
  }
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      out = Value(b != 0);
      return true;
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      out = Value(static_cast<int64_t>(u));
      return true;
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      out = Value(d);
      return true;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      uint64_t len = 0;
      const char* s = plist_get_string_ptr(node, &len);
      out = Value(std::string(s ? s : "", s ? static_cast<size_t>(len) : 0));
      return true;
    }
    case PLIST_DATA: {
      uint64_t len = 0;
      const char* d = plist_get_data_ptr(node, &len);
      out = Value::bytes(d, d ? static_cast<size_t>(len) : 0);
      return true;
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      out = Value(Date{static_cast<double>(sec) + static_cast<double>(usec) / 1e6});
      return true;
    }
    case PLIST_UID: {
      uint64_t u = 0;
      plist_get_uid_val(node, &u);
      out = Value::dictionary({{"CF$UID", Value(u)}});
      return true;
    }
    case PLIST_ARRAY: {
      ValueList list;
      const uint32_t n = plist_array_get_size(node);
      list.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        Value item;
        if (!fromLibplist(plist_array_get_item(node, i), depth + 1, item, why)) return false;
        list.push_back(std::move(item));
      }
      out = Value(std::move(list));
      return true;
    }
    case PLIST_DICT: {
      ValueDictionary dict;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      bool ok = true;
      while (ok) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, it, &key, &item);
        if (!item) {
          std::free(key);
          break;
        }
        Value v;
        ok = fromLibplist(item, depth + 1, v, why);
        if (ok) dict.set(key ? key : "", std::move(v));
        std::free(key);
      }
      std::free(it);
      if (!ok) return false;
      out = Value(std::move(dict));
      return true;
    }
    default: why = "unknown element"; return false;
  }
}

std::optional<Value> fromXML(const uint8_t* data, size_t length) {
  if (length > UINT32_MAX) {
    VPKLog(1, "Property list: {} bytes is too large, refused", length);
    return std::nullopt;
  }
  const char* text = reinterpret_cast<const char*>(data);
  if (xmlNesting(text, length) > Value::kMaxNestingDepth) {
    VPKLog(1, "Property list: nested deeper than {} levels, refused", Value::kMaxNestingDepth);
    return std::nullopt;
  }
  plist_t raw = nullptr;
  plist_from_xml(text, static_cast<uint32_t>(length), &raw);
  PlistPtr root(raw);
  if (!root) {
    VPKLog(1, "Property list: damaged XML refused");
    return std::nullopt;
  }
  Value v;
  std::string why;
  if (!fromLibplist(root.get(), 0, v, why)) {
    VPKLog(1, "Property list: damaged XML refused ({})", why);
    return std::nullopt;
  }
  return v;
}

// ------------------------------------------------------------------ binary

detail::BinaryPlistWriter::Ref toBinary(const Value& v, detail::BinaryPlistWriter& w) {
  switch (v.kind()) {
    case Value::Kind::Bool: return w.addBool(v.boolValue());
    case Value::Kind::Int: return w.addInt(v.intValue());
    case Value::Kind::UInt: return w.addUnsigned(v.unsignedValue());
    case Value::Kind::Real: return w.addReal(v.doubleValue());
    case Value::Kind::String: return w.addString(*v.getString());
    case Value::Kind::Bytes: return w.addData(v.getBytes()->data(), v.getBytes()->size());
    case Value::Kind::Date: return w.addDate(v.getDate()->secondsSinceReferenceDate);
    case Value::Kind::List:
    case Value::Kind::OrderedSet: {
      std::vector<detail::BinaryPlistWriter::Ref> refs;
      for (const auto& item : v.isList() ? *v.getList() : v.getOrderedSet()->elements())
        refs.push_back(toBinary(item, w));
      return w.addArray(refs);
    }
    case Value::Kind::Dictionary: {
      std::vector<std::pair<detail::BinaryPlistWriter::Ref, detail::BinaryPlistWriter::Ref>> entries;
      for (const auto& [key, item] : *v.getDictionary()) entries.emplace_back(w.addString(key), toBinary(item, w));
      return w.addDict(entries);
    }
    case Value::Kind::Null:
    case Value::Kind::Object: break;  // refused before writing
  }
  return w.addNull();
}

struct BinaryDecoder {
  const detail::BinaryPlistReader& r;
  uint64_t budget;  // values still allowed, so shared containers cannot expand exponentially
  std::string why;

  bool decode(uint64_t index, int depth, Value& out) {
    if (depth > Value::kMaxNestingDepth) return fail("nested too deeply (or a reference cycle)");
    if (budget == 0) return fail("expands to too many values");
    --budget;
    detail::BPObject o;
    if (!r.object(index, o)) return fail(fmt::format("object {} is damaged", index));
    switch (o.type) {
      case detail::BPType::Null: out = Value(); return true;
      case detail::BPType::Bool: out = Value(o.boolValue); return true;
      case detail::BPType::Int:
        out = o.isUnsigned ? Value(static_cast<uint64_t>(o.intValue)) : Value(o.intValue);
        return true;
      case detail::BPType::Real: out = Value(o.realValue); return true;
      case detail::BPType::Date: out = Value(Date{o.realValue}); return true;
      case detail::BPType::Data: out = Value(r.data(o)); return true;
      case detail::BPType::String: out = Value(r.string(o)); return true;
      case detail::BPType::Uid: out = Value::dictionary({{"CF$UID", Value(o.uid)}}); return true;
      case detail::BPType::Array:
      case detail::BPType::Set: {
        ValueList list;
        for (uint64_t i = 0; i < o.count; ++i) {
          uint64_t ref = 0;
          Value item;
          if (!r.reference(o, i, ref)) return fail("reference out of range");
          if (!decode(ref, depth + 1, item)) return false;
          list.push_back(std::move(item));
        }
        out = o.type == detail::BPType::Set ? Value(ValueOrderedSet(list)) : Value(std::move(list));
        return true;
      }
      case detail::BPType::Dict: {
        ValueDictionary dict;
        for (uint64_t i = 0; i < o.count; ++i) {
          uint64_t k = 0, ref = 0;
          if (!r.reference(o, i, k) || !r.reference(o, o.count + i, ref)) return fail("reference out of range");
          auto key = r.stringAt(k);
          if (!key) return fail("dictionary key is not a string");
          Value item;
          if (!decode(ref, depth + 1, item)) return false;
          dict.set(std::move(*key), std::move(item));
        }
        out = Value(std::move(dict));
        return true;
      }
    }
    return fail("unknown object");
  }

  bool fail(std::string w) {
    if (why.empty()) why = std::move(w);
    return false;
  }
};

std::optional<Value> fromBinary(const uint8_t* data, size_t length) {
  std::string why;
  auto reader = detail::BinaryPlistReader::open(data, length, &why);
  if (!reader) {
    VPKLog(1, "Property list: damaged binary data refused ({})", why);
    return std::nullopt;
  }
  BinaryDecoder d{*reader, 8 * static_cast<uint64_t>(length) + 65536, {}};
  Value v;
  if (!d.decode(reader->topObject(), 0, v)) {
    VPKLog(1, "Property list: damaged binary data refused ({})", d.why);
    return std::nullopt;
  }
  return v;
}

}  // namespace

// ------------------------------------------------------------------ public

std::optional<std::string> propertyListXML(const Value& value) {
  const std::string why = notPropertyList(value, 0);
  if (!why.empty()) {
    VPKLog(1, "Property list: not written, {}", why);
    return std::nullopt;
  }
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
  writeXML(value, 0, out);
  out += "</plist>\n";
  return out;
}

std::optional<std::vector<uint8_t>> propertyListBinary(const Value& value) {
  const std::string why = notPropertyList(value, 0);
  if (!why.empty()) {
    VPKLog(1, "Property list: not written, {}", why);
    return std::nullopt;
  }
  detail::BinaryPlistWriter w;
  const auto top = toBinary(value, w);
  return w.finish(top);
}

std::optional<std::vector<uint8_t>> propertyListData(const Value& value, PropertyListFormat format) {
  if (format == PropertyListFormat::Binary) return propertyListBinary(value);
  auto xml = propertyListXML(value);
  if (!xml) return std::nullopt;
  return std::vector<uint8_t>(xml->begin(), xml->end());
}

std::optional<Value> propertyListFromData(const uint8_t* data, size_t length) {
  if (!data || length == 0) {
    VPKLog(1, "Property list: empty data refused");
    return std::nullopt;
  }
  if (length >= 8 && std::memcmp(data, "bplist", 6) == 0) return fromBinary(data, length);
  return fromXML(data, length);
}

std::optional<Value> propertyListFromData(const std::vector<uint8_t>& data) {
  return propertyListFromData(data.data(), data.size());
}

std::optional<Value> readPropertyListFile(const std::string& path) {
  auto data = readFileData(path);
  if (!data) return std::nullopt;
  auto v = propertyListFromData(*data);
  if (!v) VPKLog(1, "Property list: damaged file {}", path);
  return v;
}

bool writePropertyListFile(const Value& value, const std::string& path, bool atomically, PropertyListFormat format) {
  auto data = propertyListData(value, format);
  if (!data) return false;
  return writeFileData(path, data->data(), data->size(), atomically);
}

// ------------------------------------------------------------------ files

namespace {

bool writeAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

bool writeFileData(const std::string& path, const void* data, size_t length, bool atomically) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (path.empty()) return false;
  if (!atomically) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
      VPKLog(0, "File: cannot write {} ({})", path, std::strerror(errno));
      return false;
    }
    const bool ok = writeAll(fd, bytes, length);
    return (::close(fd) == 0) && ok;
  }
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    VPKLog(0, "File: cannot write {} ({})", path, std::strerror(errno));
    return false;
  }
  bool ok = writeAll(fd, bytes, length) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
  VPKLog(0, "File: cannot write {} ({})", path, std::strerror(errno));
  ::unlink(temp.c_str());
  return false;
}

std::optional<std::vector<uint8_t>> readFileData(const std::string& path, size_t maxLength) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > maxLength) {
    ::close(fd);
    VPKLog(1, "File: {} is not a readable file of at most {} bytes", path, maxLength);
    return std::nullopt;
  }
  std::vector<uint8_t> out(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < out.size()) {
    const ssize_t r = ::read(fd, out.data() + got, out.size() - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  ::close(fd);
  out.resize(got);
  return out;
}

}  // namespace vpk
