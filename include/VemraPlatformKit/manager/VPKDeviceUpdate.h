#pragma once
/// @file VPKDeviceUpdate.h
/// Device update reasons and the handler record of the device manager's update
/// notifications.
///
/// An application registers a callback under a key of its choice with
/// VPKBluetoothManager::setUpdateHandler(); the manager raises one reason at a time for one
/// headband and calls every handler whose mask holds that reason, on the main queue, with
/// the reason and the headband's VPKDeviceHandle. Each key remembers its mask, also while no
/// handler is registered under it; a new key starts with VPKDeviceUpdateDefaultReasons.

#include <VemraPlatformKit/VPKExport.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class VPKDeviceHandle;

/// One reason bit, or a mask of them (unsigned 64-bit).
using VPKDeviceUpdateReason = uint64_t;

inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateDidConnect = 1;              ///< ready (status 3)
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateWillConnect = 2;             ///< connection requested
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateDidDisconnect = 4;           ///< link ended or failed
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateChargingStateChanged = 8;
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateDiscovered = 16;
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateStartedStreaming = 32;
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateStoppedStreaming = 64;
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateWillPowerOff = 128;
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateDidPowerOff = 256;
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateBatteryChanged = 512;
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateWillStartStreaming = 1024;
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateRSSIChanged = 2048;
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateMainButtonPressed = 4096;
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateMainButtonReleased = 8192;
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateDidRemove = 16384;
/// All fifteen reasons (0x7FFF).
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateAllReasons = 0x7FFF;
/// Everything except RSSIChanged, MainButtonPressed and MainButtonReleased (0x47FF).
inline constexpr VPKDeviceUpdateReason VPKDeviceUpdateDefaultReasons = 0x47FF;

/// The constant's name of a single reason ("VPKDeviceUpdateDidConnect"), or
/// "VPKDeviceUpdateUnknown" for any other value.
VPK_EXPORT const std::string& VPKDeviceUpdateReasonName(VPKDeviceUpdateReason reason);

/// Called on the main queue with the reason and the headband's handle.
using VPKDeviceUpdateBlock =
    std::function<void(VPKDeviceUpdateReason reason, const std::shared_ptr<VPKDeviceHandle>& device)>;

/// One registered handler: its reasons mask and the client's callback.
class VPK_EXPORT VPKBluetoothManagerUpdateHandler {
 public:
  VPKDeviceUpdateReason notifiableReasons() const { return notifiableReasons_; }
  void setNotifiableReasons(VPKDeviceUpdateReason reasons) { notifiableReasons_ = reasons; }
  const VPKDeviceUpdateBlock& block() const { return block_; }
  void setBlock(VPKDeviceUpdateBlock block) { block_ = std::move(block); }

 private:
  VPKDeviceUpdateReason notifiableReasons_ = 0;
  VPKDeviceUpdateBlock block_;
};
