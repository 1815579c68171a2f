#include <VemraPlatformKit/platform/bluetooth/BluetoothUUID.h>

#include <VemraPlatformKit/frame/VPKLog.h>

namespace vpk {

namespace {

// 00000000-0000-1000-8000-00805F9B34FB
constexpr BluetoothUUID::Bytes kBase = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                        0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `count` hexadecimal digits from `text` into bytes starting at `out`.
bool readHex(std::string_view text, uint8_t* out) {
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = hexValue(text[i]);
    const int lo = hexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i / 2] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return true;
}

bool onBase(const BluetoothUUID::Bytes& b) {
  for (size_t i = 4; i < 16; ++i)
    if (b[i] != kBase[i]) return false;
  return true;
}

}  // namespace

std::optional<BluetoothUUID> BluetoothUUID::parse(std::string_view text) {
  Bytes bytes = kBase;
  if (text.size() == 4) {
    if (!readHex(text, bytes.data() + 2)) return std::nullopt;
    return BluetoothUUID(bytes);
  }
  if (text.size() == 8) {
    if (!readHex(text, bytes.data())) return std::nullopt;
    return BluetoothUUID(bytes);
  }
  if (text.size() != 36) return std::nullopt;
  // 8-4-4-4-12 groups separated by dashes at 8, 13, 18 and 23.
  static constexpr size_t kDashes[] = {8, 13, 18, 23};
  for (size_t d : kDashes)
    if (text[d] != '-') return std::nullopt;
  std::string digits;
  digits.reserve(32);
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) continue;
    digits.push_back(text[i]);
  }
  if (!readHex(digits, bytes.data())) return std::nullopt;
  return BluetoothUUID(bytes);
}

BluetoothUUID BluetoothUUID::fromString(std::string_view text) {
  if (auto uuid = parse(text)) return *uuid;
  VPKLog(1, "Bluetooth: invalid UUID text \"{}\"", text);
  return BluetoothUUID();
}

BluetoothUUID BluetoothUUID::fromAlias16(uint16_t alias) {
  Bytes bytes = kBase;
  bytes[2] = static_cast<uint8_t>(alias >> 8);
  bytes[3] = static_cast<uint8_t>(alias & 0xFF);
  return BluetoothUUID(bytes);
}

BluetoothUUID BluetoothUUID::fromRandom(uint64_t high, uint64_t low) {
  Bytes bytes{};
  for (int i = 0; i < 8; ++i) {
    bytes[i] = static_cast<uint8_t>(high >> (56 - 8 * i));
    bytes[8 + i] = static_cast<uint8_t>(low >> (56 - 8 * i));
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return BluetoothUUID(bytes);
}

bool BluetoothUUID::isNil() const {
  for (uint8_t b : bytes_)
    if (b != 0) return false;
  return true;
}

std::optional<uint16_t> BluetoothUUID::alias16() const {
  if (!onBase(bytes_) || bytes_[0] != 0 || bytes_[1] != 0) return std::nullopt;
  return static_cast<uint16_t>(bytes_[2] << 8 | bytes_[3]);
}

std::string BluetoothUUID::string() const {
  if (onBase(bytes_)) {
    if (bytes_[0] == 0 && bytes_[1] == 0) return fmt::format("{:02X}{:02X}", bytes_[2], bytes_[3]);
    return fmt::format("{:02X}{:02X}{:02X}{:02X}", bytes_[0], bytes_[1], bytes_[2], bytes_[3]);
  }
  return fullString();
}

std::string BluetoothUUID::fullString() const {
  std::string out;
  out.reserve(36);
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kDigits[bytes_[i] >> 4]);
    out.push_back(kDigits[bytes_[i] & 0x0F]);
  }
  return out;
}

size_t BluetoothUUID::hash() const {
  // FNV-1a over the 16 bytes.
  uint64_t h = 1469598103934665603ull;
  for (uint8_t b : bytes_) {
    h ^= b;
    h *= 1099511628211ull;
  }
  return static_cast<size_t>(h);
}

}  // namespace vpk
