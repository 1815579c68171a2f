#include "manager/UpdateHandlerTable.h"

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <unordered_map>

const std::string& VPKDeviceUpdateReasonName(VPKDeviceUpdateReason reason) {
  static const auto* names = new std::unordered_map<VPKDeviceUpdateReason, std::string>{
      {VPKDeviceUpdateDidConnect, "VPKDeviceUpdateDidConnect"},
      {VPKDeviceUpdateWillConnect, "VPKDeviceUpdateWillConnect"},
      {VPKDeviceUpdateDidDisconnect, "VPKDeviceUpdateDidDisconnect"},
      {VPKDeviceUpdateChargingStateChanged, "VPKDeviceUpdateChargingStateChanged"},
      {VPKDeviceUpdateDiscovered, "VPKDeviceUpdateDiscovered"},
      {VPKDeviceUpdateStartedStreaming, "VPKDeviceUpdateStartedStreaming"},
      {VPKDeviceUpdateStoppedStreaming, "VPKDeviceUpdateStoppedStreaming"},
      {VPKDeviceUpdateWillPowerOff, "VPKDeviceUpdateWillPowerOff"},
      {VPKDeviceUpdateDidPowerOff, "VPKDeviceUpdateDidPowerOff"},
      {VPKDeviceUpdateBatteryChanged, "VPKDeviceUpdateBatteryChanged"},
      {VPKDeviceUpdateWillStartStreaming, "VPKDeviceUpdateWillStartStreaming"},
      {VPKDeviceUpdateRSSIChanged, "VPKDeviceUpdateRSSIChanged"},
      {VPKDeviceUpdateMainButtonPressed, "VPKDeviceUpdateMainButtonPressed"},
      {VPKDeviceUpdateMainButtonReleased, "VPKDeviceUpdateMainButtonReleased"},
      {VPKDeviceUpdateDidRemove, "VPKDeviceUpdateDidRemove"},
  };
  static const auto* unknown = new std::string("VPKDeviceUpdateUnknown");
  auto it = names->find(reason);
  return it == names->end() ? *unknown : it->second;
}

namespace vpk::detail {

void UpdateHandlerTable::remember(const std::string& key, VPKDeviceUpdateReason mask) {
  if (mask == 0) {
    allowed_.erase(key);
  } else {
    allowed_[key] = mask;
  }
}

void UpdateHandlerTable::setUpdateHandler(VPKDeviceUpdateBlock block, const std::string& key) {
  if (!block) {
    if (auto it = handlers_.find(key); it != handlers_.end()) {
      it->second->setBlock(nullptr);
      handlers_.erase(it);
    }
    return;
  }
  auto handler = std::make_shared<VPKBluetoothManagerUpdateHandler>();
  auto it = allowed_.find(key);
  VPKDeviceUpdateReason mask = it == allowed_.end() ? VPKDeviceUpdateDefaultReasons : it->second;
  handler->setNotifiableReasons(mask);
  remember(key, mask);
  handler->setBlock(std::move(block));
  handlers_[key] = std::move(handler);
}

void UpdateHandlerTable::setNotificationsEnabled(bool enabled, VPKDeviceUpdateReason reasons,
                                                 const std::string& key) {
  const VPKDeviceUpdateReason m = enabled ? reasons : ~reasons;
  if (auto it = handlers_.find(key); it != handlers_.end()) {
    auto& handler = *it->second;
    if (handler.notifiableReasons() == 0) handler.setNotifiableReasons(reasons);
    handler.setNotifiableReasons(handler.notifiableReasons() & m);
    remember(key, handler.notifiableReasons());
    return;
  }
  auto remembered = allowed_.find(key);
  VPKDeviceUpdateReason r = remembered == allowed_.end() ? VPKDeviceUpdateAllReasons : remembered->second;
  remember(key, r & m);
}

void UpdateHandlerTable::setUpdateNotificationReasons(VPKDeviceUpdateReason reasons, const std::string& key) {
  setNotificationsEnabled(false, VPKDeviceUpdateAllReasons, key);
  if (reasons != 0) setNotificationsEnabled(true, reasons, key);
}

void UpdateHandlerTable::removeAllHandlers() {
  for (auto& [key, handler] : handlers_) handler->setBlock(nullptr);
  handlers_.clear();
}

std::optional<VPKDeviceUpdateReason> UpdateHandlerTable::allowedReasons(const std::string& key) const {
  auto it = allowed_.find(key);
  if (it == allowed_.end()) return std::nullopt;
  return it->second;
}

std::optional<VPKDeviceUpdateReason> UpdateHandlerTable::handlerReasons(const std::string& key) const {
  auto it = handlers_.find(key);
  if (it == handlers_.end()) return std::nullopt;
  return it->second->notifiableReasons();
}

void UpdateHandlerTable::deliver(const Handlers& snapshot, VPKDeviceUpdateReason reason,
                                 const std::shared_ptr<VPKDeviceHandle>& device, const std::string& deviceName) {
  bool wanted = false;
  for (const auto& [key, handler] : snapshot) wanted = wanted || (handler->notifiableReasons() & reason) != 0;
  if (!wanted) return;
  // Each handler record is copied too: a mask change made after this point does not change
  // this delivery.
  std::vector<std::pair<std::string, VPKBluetoothManagerUpdateHandler>> records;
  for (const auto& [key, handler] : snapshot) records.emplace_back(key, *handler);
  DispatchQueue::main()->async([records = std::move(records), reason, device, deviceName] {
    const std::string& reasonName = VPKDeviceUpdateReasonName(reason);
    for (const auto& [key, handler] : records) {
      if (handler.notifiableReasons() & reason) {
        VPKLog(0, "Sending notification for reason:{} to handler:{} for device:{}", reasonName, key, deviceName);
        if (handler.block()) handler.block()(reason, device);
      } else {
        VPKLog(0, "Notifications disabled for reason:{} on handler:{}", reasonName, key);
      }
    }
  });
}

void UpdateHandlerTable::notify(VPKDeviceUpdateReason reason, std::shared_ptr<VPKDeviceHandle> device,
                                std::string deviceName) {
  if (!group_.wait(0)) {
    // Held back while grouping: the snapshot is taken when the group empties.
    group_.notify(VPKResourceManager::sharedQueue(),
                  [weak = weak_from_this(), reason, device = std::move(device), deviceName = std::move(deviceName)] {
                    if (auto self = weak.lock()) deliver(self->handlers_, reason, device, deviceName);
                  });
    return;
  }
  deliver(handlers_, reason, device, deviceName);
}

}  // namespace vpk::detail
