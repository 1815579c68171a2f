#include <VemraPlatformKit/device/VPKDeviceHandle.h>
#include <VemraPlatformKit/device/VPKPeripheralManager.h>

#include <mutex>
#include <utility>

namespace {
std::mutex providerMutex;
std::function<std::shared_ptr<VPKPeripheralManager>()>& provider() {
  static std::function<std::shared_ptr<VPKPeripheralManager>()> p;
  return p;
}
}  // namespace

VPKPeripheralManager::~VPKPeripheralManager() = default;

void VPKPeripheralManager::connectDevice(const PeripheralPtr&) {}
void VPKPeripheralManager::disconnectDevice(const PeripheralPtr&) {}
void VPKPeripheralManager::openDeviceStream(const PeripheralPtr&) {}
void VPKPeripheralManager::closeDeviceStream(const PeripheralPtr&) {}
void VPKPeripheralManager::powerDownDevice(const PeripheralPtr&) {}
void VPKPeripheralManager::forgetDevice(const PeripheralPtr&) {}
void VPKPeripheralManager::saveDeviceInfo() {}
void VPKPeripheralManager::handleDeviceBatteryUpdate(const PeripheralPtr&) {}
void VPKPeripheralManager::handleDeviceChargeStateChanged(const PeripheralPtr&) {}
void VPKPeripheralManager::handleDevicePowerButtonPressed(const PeripheralPtr&) {}
void VPKPeripheralManager::handleDevicePowerButtonHeld(const PeripheralPtr&) {}
void VPKPeripheralManager::handleDevicePowerButtonReleased(const PeripheralPtr&) {}
void VPKPeripheralManager::handleDeviceReadFirmwareVersion(const PeripheralPtr&) {}
void VPKPeripheralManager::resetConnectionUpdateTimer() {}
void VPKPeripheralManager::didDiscoverServices(const PeripheralPtr&, const std::optional<vpk::BluetoothError>&) {}
void VPKPeripheralManager::didDiscoverCharacteristics(const PeripheralPtr&, const vpk::BluetoothServicePtr&,
                                                      const std::optional<vpk::BluetoothError>&) {}
void VPKPeripheralManager::didReadRSSI(const PeripheralPtr&, std::optional<int>,
                                       const std::optional<vpk::BluetoothError>&) {}
std::shared_ptr<VPKDeviceHandle> VPKPeripheralManager::connectedDevice() { return nullptr; }
std::vector<std::shared_ptr<VPKDeviceHandle>> VPKPeripheralManager::availableDevices() { return {}; }

void VPKPeripheralManager::setSharedManagerProvider(std::function<std::shared_ptr<VPKPeripheralManager>()> p) {
  std::lock_guard<std::mutex> lock(providerMutex);
  provider() = std::move(p);
}

std::shared_ptr<VPKPeripheralManager> VPKPeripheralManager::sharedManager() {
  std::function<std::shared_ptr<VPKPeripheralManager>()> p;
  {
    std::lock_guard<std::mutex> lock(providerMutex);
    p = provider();
  }
  return p ? p() : nullptr;
}
