#include <VemraPlatformKit/frame/VPKConversions.h>
#include <VemraPlatformKit/frame/VPKLog.h>

namespace {

constexpr uint64_t kFirstKeptAddress = 0x1000;

/// One walk over the records; appends the kept bytes to `out` when given, else only counts them.
/// nullopt when the text is refused.
std::optional<size_t> walkRecords(std::string_view text, vpk::ValueBytes* out) {
  uint64_t base = 0;
  size_t emitted = 0;
  size_t pos = 0;
  size_t record = 0;
  auto refuse = [&](const char* why) -> std::optional<size_t> {
    VPKLog(1, "Intel HEX: record {} refused: {}", record, why);
    return std::nullopt;
  };
  while (pos < text.size()) {
    ++record;
    if (text[pos] != ':') return refuse("it does not start with ':'");
    ++pos;
    const auto count = VPKConversions::readByte(text.substr(pos));
    const auto address = VPKConversions::readAddress(text.substr(pos + std::min<size_t>(2, text.size() - pos)));
    if (!count || !address) return refuse("bad header digits");
    const size_t digits = 10 + 2 * size_t{*count};  // count, address, type, data, checksum
    if (text.size() - pos < digits) return refuse("the byte count runs past the end of the text");
    const std::string_view body = text.substr(pos, digits);
    uint8_t bytes[4 + 255 + 1];
    unsigned sum = 0;
    for (size_t i = 0; i < digits / 2; ++i) {
      const auto b = VPKConversions::readByte(body.substr(2 * i));
      if (!b) return refuse("a character is not a hex digit");
      bytes[i] = *b;
      sum += *b;
    }
    if ((sum & 0xFF) != 0) return refuse("checksum mismatch");
    const uint8_t type = bytes[3];
    const uint8_t* data = bytes + 4;
    pos += digits;
    if (pos < text.size() && text[pos] == '\r') ++pos;
    if (pos < text.size() && text[pos] == '\n') ++pos;

    if (type == 0x00) {
      if (*address + base >= kFirstKeptAddress) {
        if (out) out->insert(out->end(), data, data + *count);
        emitted += *count;
      }
    } else if (type == 0x01) {
      break;
    } else if (type == 0x02 || type == 0x04) {
      if (*count != 2) return refuse("an address record must carry 2 bytes");
      const uint64_t value = (uint64_t{data[0]} << 8) | data[1];
      const uint64_t nextPage = (base >> 16) + 1;
      if (type == 0x02) {
        if (emitted > 0 && (value >> 12) != nextPage) break;
        base = value << 4;
      } else {
        if (emitted > 0 && value != nextPage) break;
        base = value << 16;
      }
    }
  }
  return emitted;
}

}  // namespace

uint8_t VPKConversions::ascii2char(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  return kNotAHexDigit;
}

std::optional<uint8_t> VPKConversions::readByte(std::string_view digits) {
  if (digits.size() < 2) return std::nullopt;
  const uint8_t hi = ascii2char(digits[0]);
  const uint8_t lo = ascii2char(digits[1]);
  if (hi == kNotAHexDigit || lo == kNotAHexDigit) return std::nullopt;
  return static_cast<uint8_t>(hi * 16 + lo);
}

std::optional<uint16_t> VPKConversions::readAddress(std::string_view digits) {
  const auto hi = readByte(digits);
  const auto lo = readByte(digits.substr(std::min<size_t>(2, digits.size())));
  if (!hi || !lo) return std::nullopt;
  return static_cast<uint16_t>(*hi * 256 + *lo);
}

size_t VPKConversions::calculateBinLength(std::string_view text) { return walkRecords(text, nullptr).value_or(0); }

std::optional<vpk::ValueBytes> VPKConversions::convertHexToBin(std::string_view text) {
  vpk::ValueBytes image;
  if (!walkRecords(text, &image)) return std::nullopt;
  return image;
}

std::optional<vpk::ValueBytes> VPKConversions::binaryRepresentation(const vpk::ValueBytes& hexText) {
  return convertHexToBin(std::string_view(reinterpret_cast<const char*>(hexText.data()), hexText.size()));
}
