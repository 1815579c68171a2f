#include <VemraPlatformKit/platform/bluetooth/BluetoothService.h>

namespace vpk {

BluetoothService::BluetoothService(BluetoothUUID uuid, std::weak_ptr<BluetoothPeripheral> peripheral)
    : uuid_(uuid), peripheral_(std::move(peripheral)) {}

BluetoothService::~BluetoothService() = default;

std::vector<BluetoothCharacteristicPtr> BluetoothService::characteristics() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return characteristics_;
}

BluetoothCharacteristicPtr BluetoothService::characteristic(const BluetoothUUID& uuid) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& c : characteristics_)
    if (c->uuid() == uuid) return c;
  return nullptr;
}

void BluetoothService::mergeCharacteristics(const std::vector<BluetoothCharacteristicPtr>& found) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& f : found) {
    if (!f) continue;
    bool known = false;
    for (const auto& c : characteristics_) known = known || c->uuid() == f->uuid();
    if (!known) characteristics_.push_back(f);
  }
}

}  // namespace vpk
