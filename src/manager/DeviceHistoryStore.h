#pragma once
// The device manager's two files in the storage directory, as keyed archives:
//   ble_history/info                          ordered set of headband identifiers, oldest first
//   peripheral_info_store/auto_connected_device  the preferred-headband record (string keys
//                                             "identifier", "name", "hardwareIdentifier",
//                                             "manualName")
// Reading is forgiving: a missing or damaged file, or entries of the wrong kind, give an empty
// set / no record (entries that are not strings are dropped). Writing replaces the file
// atomically; writing "none" removes it. Called in the shared context.

#include <VemraPlatformKit/platform/values/Value.h>

#include <optional>

namespace vpk::detail {

struct DeviceHistoryStore {
  static constexpr const char* kHistoryDirectory = "ble_history";
  static constexpr const char* kHistoryFile = "info";
  static constexpr const char* kInfoDirectory = "peripheral_info_store";
  static constexpr const char* kPreferredFile = "auto_connected_device";

  static ValueOrderedSet loadHistory();
  static std::optional<ValueDictionary> loadPreferredDeviceInfo();
  /// false when the file could not be written (the caller keeps its dirty flag).
  static bool writeHistory(const std::optional<ValueOrderedSet>& history);
  static bool writePreferredDeviceInfo(const std::optional<ValueDictionary>& record);
};

}  // namespace vpk::detail
