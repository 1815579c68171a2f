#pragma once
/// @file BluetoothPeripheral.h
/// A Bluetooth LE peripheral as a central sees it, and the delegate that hears from it.
///
/// Ownership: a central's backend creates one object per remote device and per central,
/// and hands out the same object for that device every time (discovery, retrieval,
/// callbacks). Whoever keeps it holds a std::shared_ptr. The delegate is held weakly: the
/// object that owns a peripheral is usually its delegate.
///
/// Threads: every operation may be called from any thread; it returns at once and its
/// result comes later through the delegate. Every delegate call arrives on the queue of
/// the central that created the peripheral, in the order the events happened. The
/// mirrored properties (state, name, services) are updated on that queue just before the
/// callback that reports their change, so a delegate sees them consistent with the call.
///
/// Operations on a peripheral that is not connected are ignored with a log line (no
/// callback), as a platform stack does.
///
/// Name mapping (platform operation -> C++):
///   discoverServices:                              -> discoverServices(uuids)
///   discoverCharacteristics:forService:            -> discoverCharacteristics(uuids, service)
///   setNotifyValue:forCharacteristic:              -> setNotifyValue(enabled, characteristic)
///   writeValue:forCharacteristic:type:             -> writeValue(bytes, characteristic, type)
///   readRSSI                                       -> readRSSI()
///   peripheral:didDiscoverServices:                -> didDiscoverServices(peripheral, error)
///   peripheral:didDiscoverCharacteristicsForService:error:
///                                                  -> didDiscoverCharacteristics(peripheral, service, error)
///   peripheral:didUpdateValueForCharacteristic:error:
///                                                  -> didUpdateValue(peripheral, characteristic, value, error)
///   peripheral:didWriteValueForCharacteristic:error:
///                                                  -> didWriteValue(peripheral, characteristic, error)
///   peripheral:didUpdateNotificationStateForCharacteristic:error:
///                                                  -> didUpdateNotificationState(peripheral, characteristic, error)
///   peripheral:didReadRSSI:error:                  -> didReadRSSI(peripheral, rssi, error)

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothCharacteristic.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothError.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothService.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothUUID.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vpk {

class BluetoothPeripheral;
using BluetoothPeripheralPtr = std::shared_ptr<BluetoothPeripheral>;

/// Connection state of a peripheral; "connected" is 2.
enum class BluetoothPeripheralState : int { Disconnected = 0, Connecting = 1, Connected = 2, Disconnecting = 3 };

enum class BluetoothWriteType : int { WithResponse = 0, WithoutResponse = 1 };

/// Hears a peripheral's results. Every operation is optional (does nothing by default).
/// Called on the queue of the central that created the peripheral.
class VPK_EXPORT BluetoothPeripheralDelegate {
 public:
  virtual ~BluetoothPeripheralDelegate();
  /// Service discovery ended; the peripheral's services() holds what was found.
  virtual void didDiscoverServices(const BluetoothPeripheralPtr& peripheral, const std::optional<BluetoothError>& error);
  /// Characteristic discovery for `service` ended; service->characteristics() holds them.
  virtual void didDiscoverCharacteristics(const BluetoothPeripheralPtr& peripheral, const BluetoothServicePtr& service,
                                          const std::optional<BluetoothError>& error);
  /// A notification (or read) of `characteristic`: `value` holds its bytes unchanged.
  /// With an error, `value` is empty.
  virtual void didUpdateValue(const BluetoothPeripheralPtr& peripheral, const BluetoothCharacteristicPtr& characteristic,
                              const std::vector<uint8_t>& value, const std::optional<BluetoothError>& error);
  /// One call per write with response.
  virtual void didWriteValue(const BluetoothPeripheralPtr& peripheral, const BluetoothCharacteristicPtr& characteristic,
                             const std::optional<BluetoothError>& error);
  /// A subscription was switched on or off (characteristic->isNotifying() tells which).
  virtual void didUpdateNotificationState(const BluetoothPeripheralPtr& peripheral,
                                          const BluetoothCharacteristicPtr& characteristic,
                                          const std::optional<BluetoothError>& error);
  /// A signal-strength reading in dBm (absent when none could be taken).
  virtual void didReadRSSI(const BluetoothPeripheralPtr& peripheral, std::optional<int> rssi,
                           const std::optional<BluetoothError>& error);
};

class VPK_EXPORT BluetoothPeripheral : public std::enable_shared_from_this<BluetoothPeripheral> {
 public:
  virtual ~BluetoothPeripheral();
  BluetoothPeripheral(const BluetoothPeripheral&) = delete;
  BluetoothPeripheral& operator=(const BluetoothPeripheral&) = delete;

  /// Stable identifier of the remote device on this machine (render with fullString()).
  const BluetoothUUID& identifier() const { return identifier_; }
  /// The device's name as last learnt (advertised local name or GAP name), if any.
  std::optional<std::string> name() const;
  BluetoothPeripheralState state() const;
  /// Services found by the discoveries so far.
  std::vector<BluetoothServicePtr> services() const;
  /// The discovered service with `uuid`, or nullptr.
  BluetoothServicePtr service(const BluetoothUUID& uuid) const;

  void setDelegate(std::weak_ptr<BluetoothPeripheralDelegate> delegate);
  std::shared_ptr<BluetoothPeripheralDelegate> delegate() const;

  /// Discovers the services among `serviceUUIDs` (all services when empty).
  virtual void discoverServices(const std::vector<BluetoothUUID>& serviceUUIDs) = 0;
  /// Discovers the characteristics among `uuids` (all when empty) of a discovered service.
  virtual void discoverCharacteristics(const std::vector<BluetoothUUID>& uuids, const BluetoothServicePtr& service) = 0;
  /// Switches notifications of `characteristic` on or off.
  virtual void setNotifyValue(bool enabled, const BluetoothCharacteristicPtr& characteristic) = 0;
  /// Writes `data` to `characteristic`. With response: one didWriteValue follows.
  virtual void writeValue(std::vector<uint8_t> data, const BluetoothCharacteristicPtr& characteristic,
                          BluetoothWriteType type) = 0;
  /// Reads the link's signal strength; didReadRSSI follows.
  virtual void readRSSI() = 0;
  /// The largest value a single write of `type` carries (20 on a default link).
  virtual size_t maximumWriteLength(BluetoothWriteType type) const;

 protected:
  explicit BluetoothPeripheral(BluetoothUUID identifier);

  // ---- for backends: the mirrored properties ----
  void setName(std::optional<std::string> name);
  void setState(BluetoothPeripheralState state);
  /// Adds the services not known yet (by UUID) and keeps the known objects.
  void mergeServices(const std::vector<BluetoothServicePtr>& found);
  /// Forgets every service (a new connection starts without them).
  void clearServices();

 private:
  const BluetoothUUID identifier_;
  mutable std::mutex mutex_;
  std::optional<std::string> name_;
  BluetoothPeripheralState state_ = BluetoothPeripheralState::Disconnected;
  std::vector<BluetoothServicePtr> services_;
  std::weak_ptr<BluetoothPeripheralDelegate> delegate_;
};

}  // namespace vpk
