#include <VemraPlatformKit/platform/bluetooth/BluetoothError.h>

#include <fmt/format.h>

namespace vpk {

namespace {

const char* linkText(BluetoothErrorCode code) {
  switch (code) {
    case BluetoothErrorCode::NotConnected: return "The peripheral is not connected.";
    case BluetoothErrorCode::ConnectionFailed: return "The connection failed.";
    case BluetoothErrorCode::ConnectionTimeout: return "The connection timed out.";
    case BluetoothErrorCode::PeripheralDisconnected: return "The peripheral ended the connection.";
    case BluetoothErrorCode::PoweredOff: return "Bluetooth is powered off.";
    case BluetoothErrorCode::OperationCancelled: return "The operation was cancelled.";
    case BluetoothErrorCode::Unknown: break;
  }
  return "Unknown error.";
}

const char* attText(BluetoothATTError code) {
  switch (code) {
    case BluetoothATTError::WriteNotPermitted: return "Writing is not permitted.";
    case BluetoothATTError::RequestNotSupported: return "The request is not supported.";
    case BluetoothATTError::AttributeNotFound: return "No attribute found.";
    case BluetoothATTError::UnlikelyError: return "Unlikely error.";
    case BluetoothATTError::InsufficientResources: return "Insufficient resources.";
  }
  return "Attribute error.";
}

}  // namespace

BluetoothError BluetoothError::link(BluetoothErrorCode code, std::string description) {
  if (description.empty()) description = linkText(code);
  return BluetoothError{kBluetoothErrorDomain, static_cast<long>(code), std::move(description)};
}

BluetoothError BluetoothError::att(BluetoothATTError code, std::string description) {
  if (description.empty()) description = attText(code);
  return BluetoothError{kBluetoothATTErrorDomain, static_cast<long>(code), std::move(description)};
}

std::string BluetoothError::toString() const { return fmt::format("{} ({} {})", description, domain, code); }

}  // namespace vpk
