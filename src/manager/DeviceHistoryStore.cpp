#include "manager/DeviceHistoryStore.h"

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKStorage.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>

#include <filesystem>
#include <system_error>

namespace vpk::detail {

namespace {

std::optional<std::filesystem::path> preferredPath() {
  auto dir = vpkrsrc_mkdir(DeviceHistoryStore::kInfoDirectory);
  if (!dir) return std::nullopt;
  return *dir / DeviceHistoryStore::kPreferredFile;
}

void removeQuietly(const std::optional<std::filesystem::path>& path) {
  std::error_code ec;
  if (path) std::filesystem::remove(*path, ec);
}

}  // namespace

ValueOrderedSet DeviceHistoryStore::loadHistory() {
  ValueOrderedSet history;
  auto file = vpkrsrc_get_file(kHistoryFile, kHistoryDirectory);
  if (!file) return history;
  auto root = KeyedUnarchiver::unarchiveFile(file->string());
  if (!root) return history;
  const ValueList* items = nullptr;
  if (auto* set = root->getOrderedSet()) items = &set->elements();
  if (auto* list = root->getList()) items = list;
  if (!items) {
    VPKLog(1, "Ignoring device history of unexpected kind {}", Value::kindName(root->kind()));
    return history;
  }
  for (const auto& item : *items) {
    if (item.isString()) history.insert(item);
  }
  return history;
}

std::optional<ValueDictionary> DeviceHistoryStore::loadPreferredDeviceInfo() {
  auto path = preferredPath();
  if (!path) return std::nullopt;
  std::error_code ec;
  if (!std::filesystem::exists(*path, ec)) return std::nullopt;
  auto root = KeyedUnarchiver::unarchiveFile(path->string());
  if (!root || !root->isDictionary()) return std::nullopt;
  ValueDictionary record;
  for (const auto& [key, value] : *root->getDictionary()) {
    if (value.isString()) record.set(key, value);
  }
  return record;
}

bool DeviceHistoryStore::writeHistory(const std::optional<ValueOrderedSet>& history) {
  if (!history) {
    removeQuietly(vpkrsrc_get_file(kHistoryFile, kHistoryDirectory));
    return true;
  }
  auto path = vpkrsrc_touch(kHistoryFile, kHistoryDirectory);
  return path && KeyedArchiver::archiveToFile(Value(*history), path->string());
}

bool DeviceHistoryStore::writePreferredDeviceInfo(const std::optional<ValueDictionary>& record) {
  auto path = preferredPath();
  if (!record) {
    removeQuietly(path);
    return true;
  }
  return path && KeyedArchiver::archiveToFile(Value(*record), path->string());
}

}  // namespace vpk::detail
