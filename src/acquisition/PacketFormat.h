#pragma once
// The headband's signal packet: 20 bytes, a kind byte, one byte the decoder skips, then
// three samples of two 24-bit big-endian unsigned values (left, right).

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace vpk::detail {

inline constexpr size_t kPacketLength = 20;
inline constexpr uint8_t kDataKind = 0xA0;
inline constexpr uint8_t kAccelerometerKind = 0xFE;
inline constexpr uint8_t kBatteryKind = 0xFF;
inline constexpr uint8_t kEndByte = 0xC0;

/// Counts to the float handed to outputs (full scale 0xFFFFFF is just above 800000).
inline constexpr float kValueScale = 0.047683723f;
static_assert(std::bit_cast<uint32_t>(kValueScale) == 0x3D435002u);

/// Offset of the first byte of sample `sample` (0-2), channel `channel` (0 left, 1 right).
constexpr size_t valueOffset(size_t sample, size_t channel) { return 2 + sample * 6 + channel * 3; }

/// The 24-bit value at `p`, most significant byte first, never sign-extended.
inline uint32_t readValue(const uint8_t* p) {
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | uint32_t{p[2]};
}

inline float scaledValue(const uint8_t* p) { return static_cast<float>(readValue(p)) * kValueScale; }

/// Bytes as the log shows them: "<a0000102 03040506 ...>", lowercase hex, a space every four bytes.
std::string describeBytes(std::span<const uint8_t> bytes);

}  // namespace vpk::detail
