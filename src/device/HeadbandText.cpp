#include "device/HeadbandText.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace vpk::detail {

namespace {
bool isWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}
template <class P>
std::string_view trimIf(std::string_view text, P pred) {
  size_t b = 0, e = text.size();
  while (b < e && pred(text[b])) ++b;
  while (e > b && pred(text[e - 1])) --e;
  return text.substr(b, e - b);
}
int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::string_view trimWhitespace(std::string_view text) { return trimIf(text, isWhitespace); }
std::string_view trimControl(std::string_view text) { return trimIf(text, isControl); }
std::string_view trimReply(std::string_view text) { return trimControl(trimWhitespace(text)); }

std::vector<std::string> split(std::string_view text, std::string_view separator) {
  std::vector<std::string> out;
  if (separator.empty()) {
    out.emplace_back(text);
    return out;
  }
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      out.emplace_back(text.substr(start));
      return out;
    }
    out.emplace_back(text.substr(start, at - start));
    start = at + separator.size();
  }
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  if (from.empty()) return text;
  size_t at = 0;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

std::string toUpper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::string toLower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string validText(std::string_view text, bool replaceControls) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (replaceControls && isControl(static_cast<char>(c)))
        out += kReplacement;
      else
        out += static_cast<char>(c);
      ++i;
      continue;
    }
    // The length the lead byte announces, and the smallest code point of that length.
    const size_t need = (c >= 0xC2 && c <= 0xDF) ? 1 : (c >= 0xE0 && c <= 0xEF) ? 2 : (c >= 0xF0 && c <= 0xF4) ? 3 : 0;
    bool ok = need > 0 && need < text.size() - i;
    uint32_t cp = c & (0x3Fu >> need);
    for (size_t k = 1; ok && k <= need; ++k) {
      const auto cc = static_cast<unsigned char>(text[i + k]);
      ok = (cc & 0xC0) == 0x80;
      cp = (cp << 6) | (cc & 0x3Fu);
    }
    const uint32_t minimum = need == 1 ? 0x80 : need == 2 ? 0x800 : 0x10000;
    ok = ok && cp >= minimum && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    if (ok) {
      out.append(text.substr(i, need + 1));
      i += need + 1;
    } else {
      out += kReplacement;
      ++i;
    }
  }
  return out;
}

int64_t leadingInteger(std::string_view text) {
  text = trimWhitespace(text);
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint64_t value = 0;
  const uint64_t limit = negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1
                                  : uint64_t(std::numeric_limits<int64_t>::max());
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + uint64_t(text[i] - '0');
    if (value > limit) {
      value = limit;
      for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      }
      break;
    }
  }
  if (negative) return value == limit ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(value);
  return static_cast<int64_t>(value);
}

std::optional<uint32_t> scanHex32(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && isWhitespace(text[i])) ++i;
  if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') && hexDigit(text[i + 2]) >= 0)
    i += 2;
  uint64_t value = 0;
  bool any = false;
  for (; i < text.size(); ++i) {
    const int d = hexDigit(text[i]);
    if (d < 0) break;
    any = true;
    value = std::min<uint64_t>(value * 16 + uint64_t(d), 0xFFFFFFFFull + 1);
  }
  if (!any) return std::nullopt;
  return static_cast<uint32_t>(std::min<uint64_t>(value, 0xFFFFFFFFull));
}

}  // namespace vpk::detail
