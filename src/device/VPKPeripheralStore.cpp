// The per-device store of a headband (a property list named by its identifier), its
// hardware identifier, the migration of the older per-device file, and the error log.
#include <VemraPlatformKit/device/VPKPeripheral.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKStorage.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/files/PathSafety.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>

#include "device/HeadbandText.h"

#include <cctype>
#include <cmath>
#include <ctime>
#include <filesystem>

using vpk::Value;
using vpk::ValueDictionary;
using vpk::ValueList;
namespace fs = std::filesystem;

namespace {
constexpr const char* kStoreFolder = "peripheral_info_store";
constexpr size_t kMaxOldInfoFile = 1u << 20;

bool isAlnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }
}  // namespace

std::optional<fs::path> VPKPeripheral::peristentDeviceInfoDirectory() { return vpkrsrc_mkdir(kStoreFolder); }

std::optional<fs::path> VPKPeripheral::peristentDeviceInfoFile() const {
  if (identifier_.empty()) return std::nullopt;
  if (!vpk::isSafePathComponent(identifier_)) {
    VPKLog(1, "WARNING: Device({}) has an identifier that cannot name its store; keeping no store", name_);
    return std::nullopt;
  }
  auto dir = peristentDeviceInfoDirectory();
  if (!dir) return std::nullopt;
  return *dir / identifier_;
}

std::optional<ValueDictionary> VPKPeripheral::persistentDeviceInfoForIdentifier(const std::string& identifier) {
  if (identifier.empty() || !vpk::isSafePathComponent(identifier)) return std::nullopt;
  auto dir = peristentDeviceInfoDirectory();
  if (!dir) return std::nullopt;
  const fs::path file = *dir / identifier;
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return std::nullopt;
  auto value = vpk::readPropertyListFile(file.string());
  if (!value || !value->getDictionary()) return std::nullopt;
  return *value->getDictionary();
}

const std::optional<ValueDictionary>& VPKPeripheral::persistentDeviceInfo() {
  if (!storeLoaded_) {
    storeLoaded_ = true;
    if (auto file = peristentDeviceInfoFile()) {
      std::error_code ec;
      if (fs::is_regular_file(*file, ec)) {
        auto value = vpk::readPropertyListFile(file->string());
        if (value && value->getDictionary()) store_ = *value->getDictionary();
      }
    }
  }
  return store_;
}

void VPKPeripheral::setPersistentDeviceInfo(std::optional<ValueDictionary> info) {
  store_ = std::move(info);
  storeLoaded_ = true;
  unsavedChanges_ = true;
}

Value VPKPeripheral::objectForKey(std::string_view key) {
  const auto& store = persistentDeviceInfo();
  if (!store) return Value();
  const Value* v = store->find(key);
  return v ? *v : Value();
}

void VPKPeripheral::setObject(const Value& value, const std::string& key) {
  if (key.empty()) return;
  if (objectForKey(key) == value) return;
  ValueDictionary copy = store_.value_or(ValueDictionary());
  if (value.isNull())
    copy.remove(key);
  else
    copy.set(key, value);
  setPersistentDeviceInfo(std::move(copy));
}

bool VPKPeripheral::savePersistentDeviceInfo() {
  if (!unsavedChanges_) return true;
  auto file = peristentDeviceInfoFile();
  if (!file) return false;
  if (store_) {
    const Value v(*store_);
    if (!vpk::writePropertyListFile(v, file->string(), false) && !vpk::writePropertyListFile(v, file->string(), true)) {
      VPKLog(1, "Failed to write peristent store for device:{}", name_);
      return false;
    }
  } else {
    std::error_code ec;
    fs::remove(*file, ec);
    if (ec) return false;
  }
  unsavedChanges_ = false;
  return true;
}

unsigned long VPKPeripheral::numberOfConnections() {
  return static_cast<unsigned long>(objectForKey("numberOfConnections").unsignedValue());
}

void VPKPeripheral::setNumberOfConnections(unsigned long n) { setObject(Value(n), "numberOfConnections"); }

std::optional<std::string> VPKPeripheral::generateHardwareIdentifierWithName(const std::optional<std::string>& name) {
  using namespace vpk::detail;
  if (!name) return std::nullopt;
  const std::string last = split(toLower(*name), "vemra").back();
  size_t b = 0, e = last.size();
  while (b < e && !isAlnum(last[b])) ++b;
  while (e > b && !isAlnum(last[e - 1])) --e;
  if (e - b < 2) return std::nullopt;
  std::string id = "VMR" + toUpper(last.substr(b, e - b));
  // The identifier names folders and files (the old per-device folder, reports): a name
  // from the air that would make it anything but one plain file name gives none.
  if (!vpk::isSafePathComponent(id)) {
    VPKLog(1, "WARNING: No hardware identifier for the name \"{}\": it cannot name a file", *name);
    return std::nullopt;
  }
  return id;
}

void VPKPeripheral::migrateOldDeviceInfo() {
  if (!hardwareIdentifier_) {
    VPKLog(0, "Cant migrate old device info. No HW Identifier for device:{}", name_);
    return;
  }
  const auto root = VPKStorage::persistentStorageDirectory();
  if (!root) return;
  const auto folder = vpk::safeChildPath(*root, *hardwareIdentifier_);
  if (!folder) return;
  const fs::path file = *folder / "device.json";
  std::error_code ec;
  if (!fs::exists(file, ec)) {
    VPKLog(0, "No info to migrate!");
    return;
  }
  VPKLog(0, "Migrating old device info...");
  if (auto data = vpk::readFileData(file.string(), kMaxOldInfoFile)) {
    const auto json = Value::fromJSONString(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
    if (json && (*json)["manualName"].isString()) setObject((*json)["manualName"], "manualName");
  }
  VPKLog(0, "Migrated device info!");
  fs::remove(file, ec);
}

std::string VPKPeripheral::timestampString(double time) {
  const double unix = std::floor(time + vpk::kReferenceDateOffset);
  const std::time_t t = static_cast<std::time_t>(unix);
  std::tm tm{};
  gmtime_r(&t, &tm);
  return fmt::format("{:04}_{:02}_{:02}_{:02}_{:02}_{:02}_GMT", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                     tm.tm_hour, tm.tm_min, tm.tm_sec);
}

void VPKPeripheral::logError(const VPKError& error, const std::string& key) {
  if (key.empty()) return;
  ValueDictionary errors;
  if (const Value stored = objectForKey("errors"); stored.getDictionary()) errors = *stored.getDictionary();
  ValueList list;
  if (const Value* stored = errors.find(key); stored && stored->getList()) list = *stored->getList();
  list.push_back(Value::dictionary({{"timestamp", timestampString(vpk::Clock::timestamp())},
                                    {"error", error.description}}));
  if (list.size() > kMaxErrorsPerKey) list.erase(list.begin(), list.end() - kMaxErrorsPerKey);
  errors.set(key, Value(std::move(list)));
  setObject(Value(std::move(errors)), "errors");
  VPKLog(0, "Logged error {} for device({})", error.fullDescription(), name_);
}

void VPKPeripheral::logError(const vpk::BluetoothError& error, const std::string& key) {
  logError(VPKError{error.domain, error.code, error.description}, key);
}
