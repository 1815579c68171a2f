#pragma once
/// @file BluetoothCharacteristic.h
/// One characteristic of a peripheral's GATT service, as a central sees it after
/// characteristic discovery.
///
/// Ownership: a backend creates it; its service owns it (std::shared_ptr); it refers back
/// to its service weakly. Identity matters: the object a discovery produced is the one
/// later callbacks name, so callers may compare pointers as well as UUIDs.
///
/// Threads: every member may be called from any thread. The value and notifying flag are
/// set by the backend on the central's queue just before the callback that reports them.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothUUID.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace vpk {

class BluetoothService;

/// Characteristic property bits, as the attribute server declares them.
enum BluetoothCharacteristicProperty : unsigned {
  BluetoothPropertyRead = 0x02,
  BluetoothPropertyWriteWithoutResponse = 0x04,
  BluetoothPropertyWrite = 0x08,
  BluetoothPropertyNotify = 0x10,
  BluetoothPropertyIndicate = 0x20,
};

class VPK_EXPORT BluetoothCharacteristic {
 public:
  BluetoothCharacteristic(BluetoothUUID uuid, unsigned properties, std::weak_ptr<BluetoothService> service);
  virtual ~BluetoothCharacteristic();
  BluetoothCharacteristic(const BluetoothCharacteristic&) = delete;
  BluetoothCharacteristic& operator=(const BluetoothCharacteristic&) = delete;

  const BluetoothUUID& uuid() const { return uuid_; }
  /// BluetoothCharacteristicProperty bits.
  unsigned properties() const { return properties_; }
  bool hasProperty(BluetoothCharacteristicProperty p) const { return (properties_ & p) != 0; }
  /// The service it belongs to (nullptr once that is gone).
  std::shared_ptr<BluetoothService> service() const { return service_.lock(); }

  /// The last value notified or read (empty before the first).
  std::vector<uint8_t> value() const;
  /// Whether notifications are enabled.
  bool isNotifying() const;

  // ---- for backends ----
  void setValue(std::vector<uint8_t> value);
  void setNotifying(bool notifying);

 private:
  const BluetoothUUID uuid_;
  const unsigned properties_;
  const std::weak_ptr<BluetoothService> service_;
  mutable std::mutex mutex_;
  std::vector<uint8_t> value_;
  bool notifying_ = false;
};

using BluetoothCharacteristicPtr = std::shared_ptr<BluetoothCharacteristic>;

}  // namespace vpk
