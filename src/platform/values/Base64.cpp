#include "platform/values/Base64.h"

namespace vpk::detail {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string base64Encode(const uint8_t* data, size_t length, size_t lineLength) {
  std::string out;
  out.reserve((length + 2) / 3 * 4 + (lineLength ? length / lineLength + 1 : 0));
  size_t column = 0;
  auto put = [&](char c) {
    out += c;
    if (lineLength && ++column == lineLength) {
      out += '\n';
      column = 0;
    }
  };
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const uint32_t n = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
    put(kAlphabet[(n >> 18) & 63]);
    put(kAlphabet[(n >> 12) & 63]);
    put(kAlphabet[(n >> 6) & 63]);
    put(kAlphabet[n & 63]);
  }
  if (i < length) {
    uint32_t n = uint32_t(data[i]) << 16;
    if (i + 1 < length) n |= uint32_t(data[i + 1]) << 8;
    put(kAlphabet[(n >> 18) & 63]);
    put(kAlphabet[(n >> 12) & 63]);
    put(i + 1 < length ? kAlphabet[(n >> 6) & 63] : '=');
    put('=');
  }
  if (lineLength && column) out += '\n';
  return out;
}

std::optional<std::vector<uint8_t>> base64Decode(std::string_view text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  uint32_t acc = 0;
  int bits = 0;
  int padding = 0;
  for (char c : text) {
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    if (padding) return std::nullopt;  // data after padding
    const int s = sextet(c);
    if (s < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<uint32_t>(s);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>((acc >> bits) & 0xFF));
    }
  }
  if (padding > 2 || bits >= 6) return std::nullopt;
  return out;
}

}  // namespace vpk::detail
