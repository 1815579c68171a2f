#pragma once
// The pieces of a diagnostics report that do not need a headband: the host's facts, the
// spectrum bin a noise list reads, the link state's name and the report's file location.

#include <VemraPlatformKit/platform/bluetooth/BluetoothPeripheral.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace vpk::detail {

/// "systemBatteryLevel" of a host without a readable battery: the unknown level, -1, times
/// 100, so the key keeps its integer type and cannot be taken for an empty battery.
inline constexpr long kNoHostBatteryLevel = -100;

/// The "localDeviceInfo" object of the host whose file system starts at `root` ("/" on a
/// running system; tests pass a fake root):
/// - "machineName": uname's machine field ("x86_64");
/// - "systemOS", "systemVersion": NAME and VERSION_ID of etc/os-release (else
///   usr/lib/os-release), each falling back to uname's system name and release;
/// - "deviceModel": sys/class/dmi/id/product_name, trimmed, else "";
/// - "systemBatteryLevel": the capacity (0-100) of the first battery, in name order, under
///   sys/class/power_supply (a supply whose "type" is "Battery"), else kNoHostBatteryLevel.
/// Files are read up to a few kilobytes; nothing here fails.
vpk::ValueDictionary localDeviceInfo(const std::filesystem::path& root);

/// The index of the spectrum bin a noise list reads for `target` Hz: the first bin within
/// the single-precision epsilon of the target; else the bin nearest to it when it lies
/// within half a bin spacing (the lower one on a tie); else none. Non-finite frequencies are
/// never taken. A spectrum of one bin has no spacing: only an exact bin counts.
std::optional<size_t> noiseBinIndex(const float* frequencies, size_t count, float target);

/// "Connected", "Connecting" or "Disconnected"; none while the link is disconnecting.
std::optional<std::string> connectionStateName(vpk::BluetoothPeripheralState state);

/// folder/"<hardware identifier without its first 3 characters>_<timestamp>". A headband
/// without a hardware identifier is named by `identifier` instead. None (the caller logs)
/// when the name would not be one safe file name inside `folder`.
std::optional<std::filesystem::path> diagnosticsReportFile(const std::filesystem::path& folder,
                                                           const std::optional<std::string>& hardwareIdentifier,
                                                           const std::string& identifier,
                                                           const std::string& timestamp);

/// The temporary folder is shared with other users: the report folder must be a folder of
/// this user's, not a link to somewhere else.
bool isOwnFolder(const std::filesystem::path& folder);
/// Writes `text` to `file` (created or truncated, never through a symbolic link); false
/// when that failed.
bool writeReportFile(const std::filesystem::path& file, const std::string& text);

}  // namespace vpk::detail
