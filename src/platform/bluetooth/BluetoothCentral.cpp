#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedWorld.h>

#include "platform/bluetooth/bluez/BlueZBus.h"
#include "platform/bluetooth/bluez/BlueZCentral.h"

#include <cstdlib>
#include <string>

namespace vpk {

std::string_view toString(BluetoothAdapterState state) {
  switch (state) {
    case BluetoothAdapterState::Unknown: return "unknown";
    case BluetoothAdapterState::Resetting: return "resetting";
    case BluetoothAdapterState::Unsupported: return "unsupported";
    case BluetoothAdapterState::Unauthorized: return "unauthorized";
    case BluetoothAdapterState::PoweredOff: return "powered off";
    case BluetoothAdapterState::PoweredOn: return "powered on";
  }
  return "unknown";
}

std::string_view toString(BluetoothBackend backend) {
  switch (backend) {
    case BluetoothBackend::Automatic: return "automatic";
    case BluetoothBackend::Simulated: return "simulated";
    case BluetoothBackend::BlueZ: return "bluez";
  }
  return "automatic";
}

BluetoothCentralDelegate::~BluetoothCentralDelegate() = default;
void BluetoothCentralDelegate::didUpdateState(BluetoothCentral&) {}
void BluetoothCentralDelegate::didDiscoverPeripheral(BluetoothCentral&, const BluetoothPeripheralPtr&,
                                                     const BluetoothAdvertisementData&, std::optional<int>) {}
void BluetoothCentralDelegate::didConnectPeripheral(BluetoothCentral&, const BluetoothPeripheralPtr&) {}
void BluetoothCentralDelegate::didDisconnectPeripheral(BluetoothCentral&, const BluetoothPeripheralPtr&,
                                                       const std::optional<BluetoothError>&) {}
void BluetoothCentralDelegate::didFailToConnectPeripheral(BluetoothCentral&, const BluetoothPeripheralPtr&,
                                                          const std::optional<BluetoothError>&) {}

BluetoothCentral::BluetoothCentral(std::weak_ptr<BluetoothCentralDelegate> delegate, DispatchQueuePtr queue)
    : queue_(queue ? std::move(queue) : DispatchQueue::main()), delegate_(std::move(delegate)) {}

BluetoothCentral::~BluetoothCentral() = default;

std::shared_ptr<BluetoothCentralDelegate> BluetoothCentral::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}

void BluetoothCentral::setDelegate(std::weak_ptr<BluetoothCentralDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
}

// ---------------------------------------------------------------- the factory

namespace {

// The backend named by VPK_BLUETOOTH_BACKEND, if it names one.
std::optional<BluetoothBackend> environmentBackend() {
  const char* value = std::getenv("VPK_BLUETOOTH_BACKEND");
  if (!value || !*value) return std::nullopt;
  const std::string name(value);
  if (name == "simulated") return BluetoothBackend::Simulated;
  if (name == "bluez") return BluetoothBackend::BlueZ;
  if (name != "automatic") VPKLog(1, "Bluetooth: ignoring unknown VPK_BLUETOOTH_BACKEND \"{}\"", name);
  return std::nullopt;
}

}  // namespace

bool BluetoothCentral::isBackendAvailable(BluetoothBackend backend) {
  switch (backend) {
    case BluetoothBackend::Simulated:
    case BluetoothBackend::Automatic: return true;
    case BluetoothBackend::BlueZ: return detail::BlueZBus::probe().bluez;
  }
  return false;
}

BluetoothStackStatus BluetoothCentral::systemStack() {
  const auto presence = detail::BlueZBus::probe();
  BluetoothStackStatus status;
  status.systemBus = presence.bus;
  status.bluez = presence.bluez;
  for (const auto& a : presence.adapters) status.adapters.push_back({a.path, a.address, a.powered});
  return status;
}

BluetoothBackend BluetoothCentral::preferredBackend() {
  if (auto chosen = environmentBackend()) return *chosen;
  const auto stack = systemStack();
  return stack.bluez && !stack.adapters.empty() ? BluetoothBackend::BlueZ : BluetoothBackend::Simulated;
}

std::shared_ptr<BluetoothCentral> BluetoothCentral::create(std::weak_ptr<BluetoothCentralDelegate> delegate,
                                                           DispatchQueuePtr queue, BluetoothCentralOptions options) {
  BluetoothBackend backend = options.backend;
  if (backend == BluetoothBackend::Automatic) backend = preferredBackend();
  if (!isBackendAvailable(backend)) {
    VPKLog(1, "Bluetooth: the {} backend is not available on this machine", toString(backend));
    return nullptr;
  }
  VPKLog(0, "Bluetooth: creating a central on the {} backend", toString(backend));
  if (backend == BluetoothBackend::BlueZ) return detail::BlueZCentral::create(std::move(delegate), std::move(queue), options);
  return SimulatedWorld::shared()->createCentral(std::move(delegate), std::move(queue));
}

}  // namespace vpk
