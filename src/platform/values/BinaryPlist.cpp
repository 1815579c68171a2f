#include "platform/values/BinaryPlist.h"

#include <cstring>

namespace vpk::detail {

namespace {

constexpr size_t kTrailerSize = 32;
constexpr size_t kHeaderSize = 8;

unsigned bytesFor(uint64_t v) {
  if (v <= 0xFF) return 1;
  if (v <= 0xFFFF) return 2;
  if (v <= 0xFFFFFFFFull) return 4;
  return 8;
}

void putBE(std::vector<uint8_t>& out, uint64_t v, unsigned bytes) {
  for (unsigned i = bytes; i-- > 0;) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-8 to UTF-16 code units; malformed sequences become U+FFFD.
std::vector<uint16_t> toUtf16(std::string_view s) {
  std::vector<uint16_t> out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else {
      const size_t need = (c >= 0xC2 && c <= 0xDF) ? 1 : (c >= 0xE0 && c <= 0xEF) ? 2 : (c >= 0xF0 && c <= 0xF4) ? 3 : 0;
      if (need && need <= s.size() - i - 1) {
        uint32_t v = c & (0x3F >> need);
        bool ok = true;
        for (size_t k = 1; ok && k <= need; ++k) {
          const auto cc = static_cast<unsigned char>(s[i + k]);
          if ((cc & 0xC0) != 0x80) ok = false;
          v = (v << 6) | (cc & 0x3F);
        }
        const uint32_t minimum = need == 1 ? 0x80 : need == 2 ? 0x800 : 0x10000;
        if (ok && v >= minimum && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
          cp = v;
          len = need + 1;
        }
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<uint16_t>(cp));
    }
    i += len;
  }
  return out;
}

}  // namespace

// ------------------------------------------------------------------ reader

std::optional<BinaryPlistReader> BinaryPlistReader::open(const uint8_t* data, size_t length, std::string* error) {
  auto fail = [&](const char* why) -> std::optional<BinaryPlistReader> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (!data || length < kHeaderSize + 1 + 1 + kTrailerSize) return fail("too short for a binary property list");
  if (std::memcmp(data, "bplist0", 7) != 0) return fail("not a binary property list");
  BinaryPlistReader r;
  r.data_ = data;
  r.size_ = length;
  const size_t t = length - kTrailerSize;
  r.offsetSize_ = data[t + 6];
  r.refSize_ = data[t + 7];
  r.count_ = r.readBE(t + 8, 8);
  r.top_ = r.readBE(t + 16, 8);
  r.table_ = r.readBE(t + 24, 8);
  if (r.offsetSize_ < 1 || r.offsetSize_ > 8 || r.refSize_ < 1 || r.refSize_ > 8)
    return fail("bad offset or reference size");
  if (r.table_ < kHeaderSize + 1 || r.table_ > t) return fail("offset table outside the file");
  if (r.count_ < 1 || r.count_ > (t - r.table_) / r.offsetSize_) return fail("bad object count");
  if (r.top_ >= r.count_) return fail("top object out of range");
  return r;
}

uint64_t BinaryPlistReader::readBE(size_t at, unsigned bytes) const {
  uint64_t v = 0;
  for (unsigned i = 0; i < bytes; ++i) v = (v << 8) | data_[at + i];
  return v;
}

bool BinaryPlistReader::readLength(uint8_t low, size_t& pos, uint64_t& length) const {
  if (low != 0xF) {
    length = low;
    return true;
  }
  if (pos >= table_) return false;
  const uint8_t m = data_[pos];
  if ((m & 0xF0) != 0x10 || (m & 0x0F) > 3) return false;
  const unsigned n = 1u << (m & 0x0F);
  if (n > table_ - pos - 1) return false;
  length = readBE(pos + 1, n);
  pos += 1 + n;
  return true;
}

bool BinaryPlistReader::object(uint64_t index, BPObject& out) const {
  if (index >= count_) return false;
  const uint64_t offset = readBE(static_cast<size_t>(table_ + index * offsetSize_), offsetSize_);
  if (offset < kHeaderSize || offset >= table_) return false;
  size_t pos = static_cast<size_t>(offset);
  const uint8_t marker = data_[pos++];
  const uint8_t high = marker >> 4, low = marker & 0x0F;
  const uint64_t room = table_ - pos;  // bytes left in the object area
  out = BPObject{};
  switch (high) {
    case 0x0:
      if (marker == 0x00) {
        out.type = BPType::Null;
        return true;
      }
      if (marker == 0x08 || marker == 0x09) {
        out.type = BPType::Bool;
        out.boolValue = marker == 0x09;
        return true;
      }
      return false;
    case 0x1: {
      if (low > 4) return false;
      const unsigned n = 1u << low;
      if (n > room) return false;
      out.type = BPType::Int;
      if (n < 8) {
        out.intValue = static_cast<int64_t>(readBE(pos, n));
      } else if (n == 8) {
        out.intValue = static_cast<int64_t>(readBE(pos, 8));
      } else {
        const uint64_t hi = readBE(pos, 8), lo = readBE(pos + 8, 8);
        if (hi == 0) {
          out.intValue = static_cast<int64_t>(lo);
          out.isUnsigned = lo > static_cast<uint64_t>(INT64_MAX);
        } else if (hi == ~0ull && (lo >> 63)) {
          out.intValue = static_cast<int64_t>(lo);
        } else {
          return false;  // does not fit 64 bits
        }
      }
      return true;
    }
    case 0x2: {
      if (low != 2 && low != 3) return false;
      const unsigned n = 1u << low;
      if (n > room) return false;
      out.type = BPType::Real;
      if (n == 4) {
        const auto bits = static_cast<uint32_t>(readBE(pos, 4));
        float f;
        std::memcpy(&f, &bits, 4);
        out.realValue = f;
      } else {
        const uint64_t bits = readBE(pos, 8);
        std::memcpy(&out.realValue, &bits, 8);
      }
      return true;
    }
    case 0x3: {
      if (marker != 0x33 || room < 8) return false;
      out.type = BPType::Date;
      const uint64_t bits = readBE(pos, 8);
      std::memcpy(&out.realValue, &bits, 8);
      return true;
    }
    case 0x4:
    case 0x5:
    case 0x6:
    case 0x7: {
      uint64_t n = 0;
      if (!readLength(low, pos, n)) return false;
      const uint64_t unit = high == 0x6 ? 2 : 1;
      if (n > (table_ - pos) / unit) return false;
      out.type = high == 0x4 ? BPType::Data : BPType::String;
      out.utf16 = high == 0x6;
      out.payload = pos;
      out.count = n;
      return true;
    }
    case 0x8: {
      const unsigned n = low + 1u;
      if (n > 8 || n > room) return false;
      out.type = BPType::Uid;
      out.uid = readBE(pos, n);
      return true;
    }
    case 0xA:
    case 0xB:
    case 0xC:
    case 0xD: {
      uint64_t n = 0;
      if (!readLength(low, pos, n)) return false;
      const uint64_t per = high == 0xD ? 2ull * refSize_ : refSize_;
      if (n > (table_ - pos) / per) return false;
      out.type = high == 0xA ? BPType::Array : high == 0xD ? BPType::Dict : BPType::Set;
      out.payload = pos;
      out.count = n;
      return true;
    }
    default: return false;
  }
}

bool BinaryPlistReader::reference(const BPObject& c, uint64_t i, uint64_t& index) const {
  const uint64_t limit = c.type == BPType::Dict ? 2 * c.count : c.count;
  if (i >= limit) return false;
  index = readBE(static_cast<size_t>(c.payload + i * refSize_), refSize_);
  return index < count_;
}

std::vector<uint8_t> BinaryPlistReader::data(const BPObject& o) const {
  return std::vector<uint8_t>(data_ + o.payload, data_ + o.payload + o.count);
}

std::string BinaryPlistReader::string(const BPObject& o) const {
  if (!o.utf16) return std::string(reinterpret_cast<const char*>(data_ + o.payload), static_cast<size_t>(o.count));
  std::string out;
  out.reserve(static_cast<size_t>(o.count));
  for (uint64_t i = 0; i < o.count; ++i) {
    uint32_t u = static_cast<uint32_t>(readBE(static_cast<size_t>(o.payload + 2 * i), 2));
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < o.count) {
      const auto v = static_cast<uint32_t>(readBE(static_cast<size_t>(o.payload + 2 * (i + 1)), 2));
      if (v >= 0xDC00 && v <= 0xDFFF) {
        appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
    appendUtf8(out, u);
  }
  return out;
}

std::optional<std::string> BinaryPlistReader::stringAt(uint64_t index) const {
  BPObject o;
  if (!object(index, o) || o.type != BPType::String) return std::nullopt;
  return string(o);
}

std::optional<uint64_t> BinaryPlistReader::dictLookup(const BPObject& dict, std::string_view key) const {
  if (dict.type != BPType::Dict) return std::nullopt;
  for (uint64_t i = 0; i < dict.count; ++i) {
    uint64_t k = 0;
    if (!reference(dict, i, k)) return std::nullopt;
    BPObject ko;
    if (!object(k, ko) || ko.type != BPType::String) continue;
    if (ko.utf16 ? string(ko) != key
                 : std::string_view(reinterpret_cast<const char*>(data_ + ko.payload), ko.count) != key)
      continue;
    uint64_t v = 0;
    if (!reference(dict, dict.count + i, v)) return std::nullopt;
    return v;
  }
  return std::nullopt;
}

// ------------------------------------------------------------------ writer

namespace {

void putMarker(std::vector<uint8_t>& out, uint8_t high, uint64_t count) {
  if (count < 15) {
    out.push_back(static_cast<uint8_t>((high << 4) | count));
    return;
  }
  out.push_back(static_cast<uint8_t>((high << 4) | 0xF));
  const unsigned n = bytesFor(count);
  out.push_back(static_cast<uint8_t>(0x10 | (n == 1 ? 0 : n == 2 ? 1 : n == 4 ? 2 : 3)));
  putBE(out, count, n);
}

}  // namespace

BinaryPlistWriter::Ref BinaryPlistWriter::add(Obj o) {
  objects_.push_back(std::move(o));
  return objects_.size() - 1;
}

BinaryPlistWriter::Ref BinaryPlistWriter::addScalar(std::vector<uint8_t> bytes) {
  std::string key(bytes.begin(), bytes.end());
  auto it = scalars_.find(key);
  if (it != scalars_.end()) return it->second;
  const Ref r = add(Obj{std::move(bytes), {}, false});
  scalars_.emplace(std::move(key), r);
  return r;
}

BinaryPlistWriter::Ref BinaryPlistWriter::addNull() { return addScalar({0x00}); }

BinaryPlistWriter::Ref BinaryPlistWriter::addBool(bool b) { return addScalar({static_cast<uint8_t>(b ? 0x09 : 0x08)}); }

BinaryPlistWriter::Ref BinaryPlistWriter::addInt(int64_t v) {
  if (v < 0) {
    std::vector<uint8_t> b{0x13};
    putBE(b, static_cast<uint64_t>(v), 8);
    return addScalar(std::move(b));
  }
  return addUnsigned(static_cast<uint64_t>(v));
}

BinaryPlistWriter::Ref BinaryPlistWriter::addUnsigned(uint64_t v) {
  std::vector<uint8_t> b;
  if (v > static_cast<uint64_t>(INT64_MAX)) {
    b.push_back(0x14);
    putBE(b, 0, 8);
    putBE(b, v, 8);
  } else {
    const unsigned n = bytesFor(v);
    b.push_back(static_cast<uint8_t>(0x10 | (n == 1 ? 0 : n == 2 ? 1 : n == 4 ? 2 : 3)));
    putBE(b, v, n);
  }
  return addScalar(std::move(b));
}

BinaryPlistWriter::Ref BinaryPlistWriter::addReal(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  std::vector<uint8_t> b{0x23};
  putBE(b, bits, 8);
  return addScalar(std::move(b));
}

BinaryPlistWriter::Ref BinaryPlistWriter::addDate(double seconds) {
  uint64_t bits;
  std::memcpy(&bits, &seconds, 8);
  std::vector<uint8_t> b{0x33};
  putBE(b, bits, 8);
  return addScalar(std::move(b));
}

BinaryPlistWriter::Ref BinaryPlistWriter::addData(const uint8_t* data, size_t length) {
  std::vector<uint8_t> b;
  putMarker(b, 0x4, length);
  if (length) b.insert(b.end(), data, data + length);
  return addScalar(std::move(b));
}

BinaryPlistWriter::Ref BinaryPlistWriter::addString(std::string_view s) {
  bool ascii = true;
  for (unsigned char c : s)
    if (c >= 0x80) ascii = false;
  std::vector<uint8_t> b;
  if (ascii) {
    putMarker(b, 0x5, s.size());
    b.insert(b.end(), s.begin(), s.end());
  } else {
    const auto units = toUtf16(s);
    putMarker(b, 0x6, units.size());
    for (uint16_t u : units) putBE(b, u, 2);
  }
  return addScalar(std::move(b));
}

BinaryPlistWriter::Ref BinaryPlistWriter::addUid(uint64_t uid) {
  const unsigned n = bytesFor(uid);
  std::vector<uint8_t> b{static_cast<uint8_t>(0x80 | (n - 1))};
  putBE(b, uid, n);
  return addScalar(std::move(b));
}

BinaryPlistWriter::Ref BinaryPlistWriter::addArray(const std::vector<Ref>& items) {
  Obj o;
  putMarker(o.bytes, 0xA, items.size());
  o.refs = items;
  o.container = true;
  return add(std::move(o));
}

BinaryPlistWriter::Ref BinaryPlistWriter::addSet(const std::vector<Ref>& items) {
  Obj o;
  putMarker(o.bytes, 0xC, items.size());
  o.refs = items;
  o.container = true;
  return add(std::move(o));
}

BinaryPlistWriter::Ref BinaryPlistWriter::addDict(const std::vector<std::pair<Ref, Ref>>& entries) {
  Obj o;
  putMarker(o.bytes, 0xD, entries.size());
  o.refs.reserve(entries.size() * 2);
  for (const auto& e : entries) o.refs.push_back(e.first);
  for (const auto& e : entries) o.refs.push_back(e.second);
  o.container = true;
  return add(std::move(o));
}

std::vector<uint8_t> BinaryPlistWriter::finish(Ref top) const {
  const uint64_t n = objects_.size();
  const unsigned refSize = bytesFor(n ? n - 1 : 0);
  std::vector<uint8_t> out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
  std::vector<uint64_t> offsets;
  offsets.reserve(n);
  for (const Obj& o : objects_) {
    offsets.push_back(out.size());
    out.insert(out.end(), o.bytes.begin(), o.bytes.end());
    for (Ref r : o.refs) putBE(out, r, refSize);
  }
  const uint64_t table = out.size();
  const unsigned offsetSize = bytesFor(table);
  for (uint64_t off : offsets) putBE(out, off, offsetSize);
  for (int i = 0; i < 6; ++i) out.push_back(0);
  out.push_back(static_cast<uint8_t>(offsetSize));
  out.push_back(static_cast<uint8_t>(refSize));
  putBE(out, n, 8);
  putBE(out, top, 8);
  putBE(out, table, 8);
  return out;
}

}  // namespace vpk::detail
