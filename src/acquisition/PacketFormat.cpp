#include "acquisition/PacketFormat.h"

namespace vpk::detail {

std::string describeBytes(std::span<const uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 + bytes.size() * 2 + bytes.size() / 4);
  out.push_back('<');
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && i % 4 == 0) out.push_back(' ');
    out.push_back(kHex[bytes[i] >> 4]);
    out.push_back(kHex[bytes[i] & 0x0F]);
  }
  out.push_back('>');
  return out;
}

}  // namespace vpk::detail
