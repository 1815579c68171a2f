#pragma once
/// @file BluetoothError.h
/// The error a Bluetooth operation reports through its callback: a domain, a code and a
/// human-readable description, the same three parts as the library's own error objects.
///
/// Two domains exist:
///   - kBluetoothErrorDomain ("vpk.bluetooth"): failures of the radio link itself, with a
///     BluetoothErrorCode as code;
///   - kBluetoothATTErrorDomain ("vpk.bluetooth.att"): an error response of the
///     peripheral's attribute server, with the attribute protocol's error code as code
///     (0x03 write not permitted, 0x0E unlikely error, ...).
///
/// A plain value: copy it freely, use it from any thread.

#include <VemraPlatformKit/VPKExport.h>

#include <cstdint>
#include <string>

namespace vpk {

inline constexpr const char* kBluetoothErrorDomain = "vpk.bluetooth";
inline constexpr const char* kBluetoothATTErrorDomain = "vpk.bluetooth.att";

enum class BluetoothErrorCode : long {
  Unknown = 0,
  /// The operation needs a connected peripheral.
  NotConnected = 1,
  /// The peripheral did not accept the connection.
  ConnectionFailed = 2,
  /// The link was lost: the peripheral stopped answering (supervision timeout).
  ConnectionTimeout = 3,
  /// The peripheral ended the link.
  PeripheralDisconnected = 4,
  /// The adapter was switched off.
  PoweredOff = 5,
  /// The operation was cancelled by the caller.
  OperationCancelled = 6,
};

/// Attribute protocol error codes the library meets.
enum class BluetoothATTError : uint8_t {
  WriteNotPermitted = 0x03,
  RequestNotSupported = 0x06,
  AttributeNotFound = 0x0A,
  UnlikelyError = 0x0E,
  InsufficientResources = 0x11,
};

struct VPK_EXPORT BluetoothError {
  std::string domain = kBluetoothErrorDomain;
  long code = 0;
  std::string description;

  /// A link error of kBluetoothErrorDomain; an empty description takes the code's text.
  static BluetoothError link(BluetoothErrorCode code, std::string description = {});
  /// An attribute error of kBluetoothATTErrorDomain; an empty description takes the code's text.
  static BluetoothError att(BluetoothATTError code, std::string description = {});

  bool is(BluetoothErrorCode c) const { return domain == kBluetoothErrorDomain && code == static_cast<long>(c); }
  bool is(BluetoothATTError c) const { return domain == kBluetoothATTErrorDomain && code == static_cast<long>(c); }

  /// "description (domain code)".
  std::string toString() const;

  friend bool operator==(const BluetoothError&, const BluetoothError&) = default;
};

}  // namespace vpk
