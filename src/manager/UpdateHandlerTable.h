#pragma once
// The device manager's update handlers: per-key handlers and remembered masks, the
// enable/disable arithmetic, delivery from a snapshot on the main queue, and grouping.
// Every operation except grouping runs on the shared work queue (the manager's context);
// the table has no lock of its own. Own it through std::shared_ptr (held-back deliveries
// refer to it weakly).

#include <VemraPlatformKit/manager/VPKDeviceUpdate.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace vpk::detail {

class UpdateHandlerTable : public std::enable_shared_from_this<UpdateHandlerTable> {
 public:
  /// Registers `block` under `key` (with the remembered mask, or the default reasons), or
  /// with an empty block removes the key's handler and keeps its mask.
  void setUpdateHandler(VPKDeviceUpdateBlock block, const std::string& key);
  void setNotificationsEnabled(bool enabled, VPKDeviceUpdateReason reasons, const std::string& key);
  /// The key's mask becomes exactly `reasons` (0 removes it).
  void setUpdateNotificationReasons(VPKDeviceUpdateReason reasons, const std::string& key);
  /// Drops every handler; the remembered masks stay.
  void removeAllHandlers();

  /// The remembered mask of `key`, if any.
  std::optional<VPKDeviceUpdateReason> allowedReasons(const std::string& key) const;
  /// The mask of the handler under `key`, if one is registered.
  std::optional<VPKDeviceUpdateReason> handlerReasons(const std::string& key) const;

  /// Delivers `reason` for `device` (named `deviceName` in the log) to the handlers that
  /// want it, on the main queue; while grouping, once the group is empty.
  void notify(VPKDeviceUpdateReason reason, std::shared_ptr<VPKDeviceHandle> device, std::string deviceName);

  void beginGrouping() { group_.enter(); }
  void endGrouping() { group_.leave(); }

 private:
  using Handlers = std::map<std::string, std::shared_ptr<VPKBluetoothManagerUpdateHandler>>;
  void remember(const std::string& key, VPKDeviceUpdateReason mask);
  static void deliver(const Handlers& snapshot, VPKDeviceUpdateReason reason,
                      const std::shared_ptr<VPKDeviceHandle>& device, const std::string& deviceName);

  Handlers handlers_;
  std::map<std::string, VPKDeviceUpdateReason> allowed_;
  DispatchGroup group_;
};

}  // namespace vpk::detail
