#pragma once
/// @file BluetoothAdvertisementData.h
/// What a peripheral's advertisement (and scan response) carries, as a central decodes it.
/// A plain value.

#include <VemraPlatformKit/platform/bluetooth/BluetoothUUID.h>

#include <optional>
#include <string>
#include <vector>

namespace vpk {

struct BluetoothAdvertisementData {
  /// The advertised local name (complete or shortened), if any.
  std::optional<std::string> localName;
  /// The advertised service UUID list.
  std::vector<BluetoothUUID> serviceUUIDs;
  /// The advertised transmit power in dBm, if any.
  std::optional<int> txPowerLevel;
  /// Whether the advertisement invites connections.
  bool connectable = true;

  bool advertisesService(const BluetoothUUID& uuid) const {
    for (const auto& u : serviceUUIDs)
      if (u == uuid) return true;
    return false;
  }

  friend bool operator==(const BluetoothAdvertisementData&, const BluetoothAdvertisementData&) = default;
};

}  // namespace vpk
