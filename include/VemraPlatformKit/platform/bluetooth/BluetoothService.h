#pragma once
/// @file BluetoothService.h
/// One GATT service of a peripheral, as a central sees it after service discovery.
///
/// Ownership: a backend creates it; the peripheral owns it (std::shared_ptr) and the
/// service owns its characteristics; the service refers back to its peripheral weakly.
/// The object a discovery produced is the one later callbacks name.
///
/// Threads: every member may be called from any thread. The characteristic list is set
/// by the backend on the central's queue just before the characteristics-discovered
/// callback.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothCharacteristic.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothUUID.h>

#include <memory>
#include <mutex>
#include <vector>

namespace vpk {

class BluetoothPeripheral;

class VPK_EXPORT BluetoothService : public std::enable_shared_from_this<BluetoothService> {
 public:
  BluetoothService(BluetoothUUID uuid, std::weak_ptr<BluetoothPeripheral> peripheral);
  virtual ~BluetoothService();
  BluetoothService(const BluetoothService&) = delete;
  BluetoothService& operator=(const BluetoothService&) = delete;

  const BluetoothUUID& uuid() const { return uuid_; }
  /// The peripheral it belongs to (nullptr once that is gone).
  std::shared_ptr<BluetoothPeripheral> peripheral() const { return peripheral_.lock(); }

  /// The characteristics discovered so far (empty before the first discovery).
  std::vector<BluetoothCharacteristicPtr> characteristics() const;
  /// The discovered characteristic with `uuid`, or nullptr.
  BluetoothCharacteristicPtr characteristic(const BluetoothUUID& uuid) const;

  // ---- for backends ----
  /// Adds the characteristics not known yet (by UUID) and keeps those already known, so
  /// that a repeated discovery hands out the same objects.
  void mergeCharacteristics(const std::vector<BluetoothCharacteristicPtr>& found);

 private:
  const BluetoothUUID uuid_;
  const std::weak_ptr<BluetoothPeripheral> peripheral_;
  mutable std::mutex mutex_;
  std::vector<BluetoothCharacteristicPtr> characteristics_;
};

using BluetoothServicePtr = std::shared_ptr<BluetoothService>;

}  // namespace vpk
