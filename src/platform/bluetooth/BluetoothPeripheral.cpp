#include <VemraPlatformKit/platform/bluetooth/BluetoothPeripheral.h>

namespace vpk {

BluetoothPeripheralDelegate::~BluetoothPeripheralDelegate() = default;
void BluetoothPeripheralDelegate::didDiscoverServices(const BluetoothPeripheralPtr&,
                                                      const std::optional<BluetoothError>&) {}
void BluetoothPeripheralDelegate::didDiscoverCharacteristics(const BluetoothPeripheralPtr&, const BluetoothServicePtr&,
                                                             const std::optional<BluetoothError>&) {}
void BluetoothPeripheralDelegate::didUpdateValue(const BluetoothPeripheralPtr&, const BluetoothCharacteristicPtr&,
                                                 const std::vector<uint8_t>&, const std::optional<BluetoothError>&) {}
void BluetoothPeripheralDelegate::didWriteValue(const BluetoothPeripheralPtr&, const BluetoothCharacteristicPtr&,
                                                const std::optional<BluetoothError>&) {}
void BluetoothPeripheralDelegate::didUpdateNotificationState(const BluetoothPeripheralPtr&,
                                                             const BluetoothCharacteristicPtr&,
                                                             const std::optional<BluetoothError>&) {}
void BluetoothPeripheralDelegate::didReadRSSI(const BluetoothPeripheralPtr&, std::optional<int>,
                                              const std::optional<BluetoothError>&) {}

BluetoothPeripheral::BluetoothPeripheral(BluetoothUUID identifier) : identifier_(identifier) {}

BluetoothPeripheral::~BluetoothPeripheral() = default;

std::optional<std::string> BluetoothPeripheral::name() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return name_;
}

BluetoothPeripheralState BluetoothPeripheral::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

std::vector<BluetoothServicePtr> BluetoothPeripheral::services() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return services_;
}

BluetoothServicePtr BluetoothPeripheral::service(const BluetoothUUID& uuid) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& s : services_)
    if (s->uuid() == uuid) return s;
  return nullptr;
}

void BluetoothPeripheral::setDelegate(std::weak_ptr<BluetoothPeripheralDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<BluetoothPeripheralDelegate> BluetoothPeripheral::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}

size_t BluetoothPeripheral::maximumWriteLength(BluetoothWriteType) const { return 20; }

void BluetoothPeripheral::setName(std::optional<std::string> name) {
  std::lock_guard<std::mutex> lock(mutex_);
  name_ = std::move(name);
}

void BluetoothPeripheral::setState(BluetoothPeripheralState state) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_ = state;
}

void BluetoothPeripheral::mergeServices(const std::vector<BluetoothServicePtr>& found) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& f : found) {
    if (!f) continue;
    bool known = false;
    for (const auto& s : services_) known = known || s->uuid() == f->uuid();
    if (!known) services_.push_back(f);
  }
}

void BluetoothPeripheral::clearServices() {
  std::vector<BluetoothServicePtr> dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  dropped.swap(services_);
}

}  // namespace vpk
