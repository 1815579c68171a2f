#pragma once
// The BlueZ backend's peripheral: one per remote device and central. Its operations are
// handed to the central's work queue; the central keeps every BlueZ-side fact about the
// device (object paths, link flags) and sets the mirrors through the accessors below.

#include <VemraPlatformKit/platform/bluetooth/BluetoothPeripheral.h>

#include <atomic>
#include <memory>

namespace vpk::detail {

class BlueZCentral;

class BlueZPeripheral final : public BluetoothPeripheral {
 public:
  BlueZPeripheral(BluetoothUUID identifier, std::weak_ptr<BlueZCentral> central, const BlueZCentral* owner);

  void discoverServices(const std::vector<BluetoothUUID>& serviceUUIDs) override;
  void discoverCharacteristics(const std::vector<BluetoothUUID>& uuids, const BluetoothServicePtr& service) override;
  void setNotifyValue(bool enabled, const BluetoothCharacteristicPtr& characteristic) override;
  void writeValue(std::vector<uint8_t> data, const BluetoothCharacteristicPtr& characteristic,
                  BluetoothWriteType type) override;
  void readRSSI() override;
  /// The link's MTU less the 3-byte write header (20 until BlueZ tells the MTU).
  size_t maximumWriteLength(BluetoothWriteType type) const override;

  const BlueZCentral* owner() const { return owner_; }

  // The mirrors, for the central (call them on its delegate queue).
  using BluetoothPeripheral::clearServices;
  using BluetoothPeripheral::mergeServices;
  using BluetoothPeripheral::setName;
  using BluetoothPeripheral::setState;
  void setMTU(int mtu) { mtu_.store(mtu); }
  void resetNotifying();

 private:
  const std::weak_ptr<BlueZCentral> central_;
  const BlueZCentral* const owner_;
  std::atomic<int> mtu_{23};
};

}  // namespace vpk::detail
