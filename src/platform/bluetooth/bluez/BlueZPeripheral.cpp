#include "platform/bluetooth/bluez/BlueZPeripheral.h"

#include <VemraPlatformKit/frame/VPKLog.h>

#include "platform/bluetooth/bluez/BlueZCentral.h"

namespace vpk::detail {

BlueZPeripheral::BlueZPeripheral(BluetoothUUID identifier, std::weak_ptr<BlueZCentral> central,
                                 const BlueZCentral* owner)
    : BluetoothPeripheral(identifier), central_(std::move(central)), owner_(owner) {}

namespace {

template <typename F>
void submit(const std::weak_ptr<BlueZCentral>& weak, BlueZPeripheral* self, F f) {
  auto central = weak.lock();
  if (!central) return;
  auto p = std::static_pointer_cast<BlueZPeripheral>(self->shared_from_this());
  central->submit([p, f = std::move(f)](BlueZCentral& c) { f(c, p); });
}

}  // namespace

void BlueZPeripheral::discoverServices(const std::vector<BluetoothUUID>& serviceUUIDs) {
  submit(central_, this, [serviceUUIDs](BlueZCentral& c, const std::shared_ptr<BlueZPeripheral>& p) {
    c.discoverServicesOf(p, serviceUUIDs);
  });
}

void BlueZPeripheral::discoverCharacteristics(const std::vector<BluetoothUUID>& uuids,
                                              const BluetoothServicePtr& service) {
  if (!service) {
    VPKLog(1, "BlueZ peripheral: characteristic discovery without a service ignored");
    return;
  }
  submit(central_, this, [uuids, service](BlueZCentral& c, const std::shared_ptr<BlueZPeripheral>& p) {
    c.discoverCharacteristicsOf(p, uuids, service);
  });
}

void BlueZPeripheral::setNotifyValue(bool enabled, const BluetoothCharacteristicPtr& characteristic) {
  if (!characteristic) {
    VPKLog(1, "BlueZ peripheral: subscription without a characteristic ignored");
    return;
  }
  submit(central_, this, [enabled, characteristic](BlueZCentral& c, const std::shared_ptr<BlueZPeripheral>& p) {
    c.setNotifyOf(p, enabled, characteristic);
  });
}

void BlueZPeripheral::writeValue(std::vector<uint8_t> data, const BluetoothCharacteristicPtr& characteristic,
                                 BluetoothWriteType type) {
  if (!characteristic) {
    VPKLog(1, "BlueZ peripheral: write without a characteristic ignored");
    return;
  }
  submit(central_, this,
         [data = std::move(data), characteristic, type](BlueZCentral& c, const std::shared_ptr<BlueZPeripheral>& p) {
           c.writeOf(p, data, characteristic, type);
         });
}

void BlueZPeripheral::readRSSI() {
  submit(central_, this, [](BlueZCentral& c, const std::shared_ptr<BlueZPeripheral>& p) { c.readRSSIOf(p); });
}

size_t BlueZPeripheral::maximumWriteLength(BluetoothWriteType) const {
  const int mtu = mtu_.load();
  return mtu > 23 ? static_cast<size_t>(mtu - 3) : 20;
}

void BlueZPeripheral::resetNotifying() {
  for (const auto& s : services())
    for (const auto& c : s->characteristics()) c->setNotifying(false);
}

}  // namespace vpk::detail
