#include <VemraPlatformKit/platform/bluetooth/BluetoothCharacteristic.h>

namespace vpk {

BluetoothCharacteristic::BluetoothCharacteristic(BluetoothUUID uuid, unsigned properties,
                                                 std::weak_ptr<BluetoothService> service)
    : uuid_(uuid), properties_(properties), service_(std::move(service)) {}

BluetoothCharacteristic::~BluetoothCharacteristic() = default;

std::vector<uint8_t> BluetoothCharacteristic::value() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return value_;
}

bool BluetoothCharacteristic::isNotifying() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return notifying_;
}

void BluetoothCharacteristic::setValue(std::vector<uint8_t> value) {
  std::lock_guard<std::mutex> lock(mutex_);
  value_ = std::move(value);
}

void BluetoothCharacteristic::setNotifying(bool notifying) {
  std::lock_guard<std::mutex> lock(mutex_);
  notifying_ = notifying;
}

}  // namespace vpk
