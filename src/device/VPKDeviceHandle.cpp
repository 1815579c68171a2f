#include <VemraPlatformKit/device/VPKDeviceHandle.h>

#include <VemraPlatformKit/device/VPKPeripheral.h>
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VPKStorage.h>
#include <VemraPlatformKit/platform/files/PathSafety.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>

#include "device/HeadbandText.h"

#include <functional>

using vpk::Value;
using vpk::ValueDictionary;

namespace {

bool isValidIdentifier(const std::optional<std::string>& id) { return id && !id->empty(); }
bool isValidHardwareIdentifier(const std::optional<std::string>& id) {
  return isValidIdentifier(id) && vpk::detail::toLower(*id) != VPKPeripheral::kOTAModeName;
}

Value archivedInfo(const std::optional<std::string>& identifier, const char* what) {
  if (!identifier || !vpk::isSafePathComponent(*identifier)) return Value();
  return vpkrsrc_return_sync([&]() -> Value {
    auto file = vpkrsrc_get_file("info", *identifier);
    if (!file) return Value();
    auto value = vpk::KeyedUnarchiver::unarchiveFile(file->string());
    if (!value) {
      VPKLog(1, "Failed to get device info for {} id({}) with error({})", what, *identifier, "unreadable archive");
      return Value();
    }
    return *value;
  });
}

std::optional<std::string> stringFor(const ValueDictionary& record, std::string_view key) {
  const Value* v = record.find(key);
  if (!v || !v->isString()) return std::nullopt;
  return v->stringValue();
}

}  // namespace

VPKDeviceHandle::VPKDeviceHandle(Token, std::weak_ptr<VPKPeripheral> device) : device_(std::move(device)) {}

VPKDeviceHandle::Ptr VPKDeviceHandle::deviceWithDevice(const std::shared_ptr<VPKPeripheral>& peripheral) {
  return std::make_shared<VPKDeviceHandle>(Token{}, peripheral);
}

VPKDeviceHandle::~VPKDeviceHandle() { VPKLog(0, "Dealloc:VPKDeviceHandle"); }

std::shared_ptr<VPKPeripheral> VPKDeviceHandle::device() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return device_.lock();
}

void VPKDeviceHandle::setDevice(std::weak_ptr<VPKPeripheral> device) {
  std::lock_guard<std::mutex> lock(mutex_);
  device_ = std::move(device);
}

template <class R, class F>
R VPKDeviceHandle::read(F&& f) const {
  std::weak_ptr<VPKPeripheral> weak;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    weak = device_;
  }
  R result{};
  VPKResourceManager::performBlockAndWait([&] {
    if (auto p = weak.lock()) result = f(*p);
  });
  return result;
}

template <class F>
void VPKDeviceHandle::request(F&& f) {
  std::weak_ptr<VPKPeripheral> weak;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    weak = device_;
  }
  VPKResourceManager::performBlock([weak, f = std::forward<F>(f)] {
    if (auto p = weak.lock()) f(*p);
  });
}

// ---- reads ----

std::string VPKDeviceHandle::name() const { return read<std::string>([](VPKPeripheral& p) { return p.name(); }); }

std::optional<std::string> VPKDeviceHandle::manualName() const {
  return read<std::optional<std::string>>([](VPKPeripheral& p) -> std::optional<std::string> {
    const Value v = p.objectForKey("manualName");
    if (!v.isString()) return std::nullopt;
    return v.stringValue();
  });
}

std::string VPKDeviceHandle::identifier() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (isValidIdentifier(identifier_)) return *identifier_;
  }
  std::string id = read<std::string>([](VPKPeripheral& p) { return p.identifier(); });
  std::lock_guard<std::mutex> lock(mutex_);
  identifier_ = id;
  return id;
}

std::optional<std::string> VPKDeviceHandle::hardwareIdentifier() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (isValidHardwareIdentifier(hardwareIdentifier_)) return hardwareIdentifier_;
  }
  auto id = read<std::optional<std::string>>([](VPKPeripheral& p) { return p.hardwareIdentifier(); });
  std::lock_guard<std::mutex> lock(mutex_);
  hardwareIdentifier_ = id;
  return id;
}

bool VPKDeviceHandle::hasValidIdentifier() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return isValidIdentifier(identifier_);
}

bool VPKDeviceHandle::hasValidHardwareIdentifier() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return isValidHardwareIdentifier(hardwareIdentifier_);
}

int VPKDeviceHandle::RSSI() const { return read<int>([](VPKPeripheral& p) { return p.RSSI(); }); }
std::optional<float> VPKDeviceHandle::batteryLevel() const {
  return read<std::optional<float>>([](VPKPeripheral& p) { return p.batteryLevel(); });
}
double VPKDeviceHandle::distance() const { return read<double>([](VPKPeripheral& p) { return p.distance(); }); }
unsigned long VPKDeviceHandle::status() const {
  return read<unsigned long>([](VPKPeripheral& p) { return p.status(); });
}
bool VPKDeviceHandle::isCharging() const { return read<bool>([](VPKPeripheral& p) { return p.isCharging(); }); }
bool VPKDeviceHandle::isMainButtonPressed() const {
  return read<bool>([](VPKPeripheral& p) { return p.isButtonDown(); });
}
bool VPKDeviceHandle::isStreaming() const { return read<bool>([](VPKPeripheral& p) { return p.isStreaming(); }); }
VPKSignalStreamPtr VPKDeviceHandle::stream() const {
  return read<VPKSignalStreamPtr>([](VPKPeripheral& p) { return p.stream(); });
}
VPKDeviceFirmwareDescription::Ptr VPKDeviceHandle::firmwareDescription() const {
  return read<VPKDeviceFirmwareDescription::Ptr>([](VPKPeripheral& p) { return p.firmwareVersion(); });
}
unsigned long VPKDeviceHandle::numberOfConnections() const {
  return read<unsigned long>([](VPKPeripheral& p) { return p.numberOfConnections(); });
}

vpk::BluetoothPeripheralPtr VPKDeviceHandle::peripheral() const {
  auto p = device();
  return p ? p->peripheral() : nullptr;
}

std::optional<std::string> VPKDeviceHandle::cachedIdentifier() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cachedIdentifier_;
}

void VPKDeviceHandle::setCachedIdentifier(std::optional<std::string> identifier) {
  std::lock_guard<std::mutex> lock(mutex_);
  cachedIdentifier_ = std::move(identifier);
}

void VPKDeviceHandle::setManualName(const std::optional<std::string>& name) {
  read<bool>([&](VPKPeripheral& p) {
    p.setObject(name ? Value(*name) : Value(), "manualName");
    return true;
  });
}

// ---- requests ----

void VPKDeviceHandle::connect() { connectWithHandler(nullptr); }

void VPKDeviceHandle::connectWithHandler(Completion handler) {
  VPKPeripheral::Completion wrapped;
  if (handler)
    wrapped = [self = shared_from_this(), handler](const std::optional<VPKError>& e) { handler(self, e); };
  request([wrapped](VPKPeripheral& p) { p.connectWithHandler(wrapped); });
}

void VPKDeviceHandle::disconnect() { disconnectWithHandler(nullptr); }

void VPKDeviceHandle::disconnectWithHandler(Completion handler) {
  VPKPeripheral::Completion wrapped;
  if (handler)
    wrapped = [self = shared_from_this(), handler](const std::optional<VPKError>& e) { handler(self, e); };
  request([wrapped](VPKPeripheral& p) { p.disconnectWithHandler(wrapped); });
}

void VPKDeviceHandle::powerDown() {
  request([](VPKPeripheral& p) { p.powerDown(); });
}
void VPKDeviceHandle::startStreaming() {
  request([](VPKPeripheral& p) { p.startStreaming(); });
}
void VPKDeviceHandle::stopStreaming() {
  request([](VPKPeripheral& p) { p.stopStreaming(); });
}
void VPKDeviceHandle::disconnectIfInactiveAfterDelay(double seconds) {
  request([seconds](VPKPeripheral& p) { p.disconnectIfInactiveAfterDelay(seconds); });
}
void VPKDeviceHandle::cancelInactivityDisconnectionRequests() {
  request([](VPKPeripheral& p) { p.cancelInactivityDisconnectionRequests(); });
}
void VPKDeviceHandle::forgetDevice() {
  request([](VPKPeripheral& p) { p.forgetDevice(); });
}
void VPKDeviceHandle::updateBattery() {
  request([](VPKPeripheral& p) { p.updateSystemStatus(); });
}

void VPKDeviceHandle::performBlock(std::function<void(const Ptr&)> block) {
  if (!block) return;
  VPKResourceManager::performBlock([self = shared_from_this(), block] { block(self); });
}

void VPKDeviceHandle::performBlockAndWait(const std::function<void(const Ptr&)>& block) {
  if (!block) return;
  auto self = shared_from_this();
  VPKResourceManager::performBlockAndWait([&] { block(self); });
}

ValueDictionary VPKDeviceHandle::dictionaryRepresentation() {
  ValueDictionary d;
  VPKResourceManager::performBlockAndWait([&] {
    auto put = [&d](const char* key, const std::optional<std::string>& v) {
      if (v && !v->empty()) d.set(key, *v);
    };
    put("hardwareIdentifier", hardwareIdentifier());
    put("identifier", identifier());
    put("name", name());
    put("manualName", manualName());
  });
  return d;
}

bool VPKDeviceHandle::isEqual(VPKDeviceHandle& other) {
  if (this == &other) return true;
  const auto mine = hardwareIdentifier();
  const auto theirs = other.hardwareIdentifier();
  return mine && theirs && *mine == *theirs;
}

size_t VPKDeviceHandle::hash() { return std::hash<std::string>()(hardwareIdentifier().value_or("")); }

// ---- class look-ups and conveniences ----

Value VPKDeviceHandle::deviceInfoForHardwareIdentifier(const std::optional<std::string>& hardwareIdentifier) {
  return archivedInfo(hardwareIdentifier, "hardware");
}

Value VPKDeviceHandle::deviceInfoForPeripheralIdentifier(const std::optional<std::string>& identifier) {
  return archivedInfo(identifier, "peripheral");
}

VPKDeviceHandle::Ptr VPKDeviceHandle::connectedDevice() {
  auto manager = VPKPeripheralManager::sharedManager();
  if (!manager) return nullptr;
  return vpkrsrc_return_sync([&] { return manager->connectedDevice(); });
}

std::vector<VPKDeviceHandle::Ptr> VPKDeviceHandle::availableDevices() {
  auto manager = VPKPeripheralManager::sharedManager();
  if (!manager) return {};
  return vpkrsrc_return_sync([&] { return manager->availableDevices(); });
}

void VPKDeviceHandle::retrieveConnectedDevice(std::function<void(const Ptr&)> callback) {
  if (!callback) return;
  VPKResourceManager::performBlock([callback] {
    auto manager = VPKPeripheralManager::sharedManager();
    Ptr handle = manager ? manager->connectedDevice() : nullptr;
    vpk::DispatchQueue::main()->async([callback, handle] { callback(handle); });
  });
}

namespace VPKDeviceHandleRecord {
std::optional<std::string> identifier(const ValueDictionary& r) { return stringFor(r, "identifier"); }
std::optional<std::string> name(const ValueDictionary& r) { return stringFor(r, "name"); }
std::optional<std::string> hardwareIdentifier(const ValueDictionary& r) { return stringFor(r, "hardwareIdentifier"); }
std::optional<std::string> manualName(const ValueDictionary& r) { return stringFor(r, "manualName"); }
}  // namespace VPKDeviceHandleRecord
