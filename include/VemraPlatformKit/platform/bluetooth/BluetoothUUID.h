#pragma once
/// @file BluetoothUUID.h
/// A Bluetooth UUID: the 128-bit identifier of a GATT service or characteristic, and the
/// form in which a peripheral's stable identifier is kept.
///
/// Parsing accepts the three textual forms of the Bluetooth standard, in either case:
/// a 16-bit alias ("180D"), a 32-bit alias ("0000180D") and the full 128-bit form
/// ("6e400001-b5a3-f393-e0a9-e50e24dcca9e"). Aliases expand onto the Bluetooth base UUID
/// 00000000-0000-1000-8000-00805F9B34FB. Anything else is refused.
///
/// string() renders upper case: the 4-digit alias when the UUID is a 16-bit alias of the
/// base UUID, the 8-digit alias for a 32-bit one, and the 36-character form otherwise.
/// Two UUIDs are equal when their 128 bits are, whatever text they were parsed from.
///
/// A plain value: copy it freely, use it from any thread.

#include <VemraPlatformKit/VPKExport.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vpk {

class VPK_EXPORT BluetoothUUID {
 public:
  using Bytes = std::array<uint8_t, 16>;

  /// The nil UUID (all bits zero).
  constexpr BluetoothUUID() = default;
  explicit constexpr BluetoothUUID(const Bytes& bytes) : bytes_(bytes) {}

  /// Parses one of the three textual forms; nullopt for anything else.
  static std::optional<BluetoothUUID> parse(std::string_view text);
  /// As parse(), but an invalid text logs a line and gives the nil UUID. Meant for the
  /// fixed UUID strings of a protocol, written in the program.
  static BluetoothUUID fromString(std::string_view text);
  /// The UUID of a 16-bit alias on the Bluetooth base UUID.
  static BluetoothUUID fromAlias16(uint16_t alias);
  /// A version-4 (random) UUID built from two 64-bit random numbers (the caller's source,
  /// so that simulations stay reproducible).
  static BluetoothUUID fromRandom(uint64_t high, uint64_t low);

  const Bytes& bytes() const { return bytes_; }
  bool isNil() const;
  /// The 16-bit alias when this UUID is one on the base UUID.
  std::optional<uint16_t> alias16() const;

  /// Upper-case text, shortest form (see file comment).
  std::string string() const;
  /// Always the 36-character upper-case form (identifiers are rendered this way).
  std::string fullString() const;

  friend bool operator==(const BluetoothUUID& a, const BluetoothUUID& b) { return a.bytes_ == b.bytes_; }
  friend bool operator!=(const BluetoothUUID& a, const BluetoothUUID& b) { return !(a == b); }
  friend bool operator<(const BluetoothUUID& a, const BluetoothUUID& b) { return a.bytes_ < b.bytes_; }

  size_t hash() const;

 private:
  Bytes bytes_{};
};

}  // namespace vpk

template <>
struct std::hash<vpk::BluetoothUUID> {
  size_t operator()(const vpk::BluetoothUUID& uuid) const noexcept { return uuid.hash(); }
};
