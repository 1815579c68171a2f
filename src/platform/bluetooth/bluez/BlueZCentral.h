#pragma once
// The BlueZ backend's central. BlueZ's object tree and every fact about a device live on
// the central's private serial work queue: bus events, replies and the public operations
// all become tasks there, so the state needs no lock. Delegate calls leave that queue for
// the central's delegate queue, with the mirrors updated just before each call.

#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>

#include "platform/bluetooth/bluez/BlueZBus.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vpk::detail {

class BlueZPeripheral;

/// The stable identifier of a device: a name-based UUID of the adapter's address, the
/// device's address and its address type (the same on every run).
BluetoothUUID blueZIdentifier(const std::string& adapterAddress, const std::string& deviceAddress,
                              const std::string& addressType);
/// The error a failed BlueZ call stands for: ATT errors BlueZ reports as "ATT error: 0x0e"
/// (or as NotPermitted / NotSupported) in the attribute domain, the rest as link errors.
BluetoothError blueZError(const BusError& error);

class BlueZCentral final : public BluetoothCentral {
 public:
  /// nullptr when no system bus can be reached.
  static std::shared_ptr<BlueZCentral> create(std::weak_ptr<BluetoothCentralDelegate> delegate,
                                              DispatchQueuePtr queue, BluetoothCentralOptions options = {});
  ~BlueZCentral() override;

  BluetoothBackend backend() const override { return BluetoothBackend::BlueZ; }
  BluetoothAdapterState state() const override;
  void scanForPeripherals(const std::vector<BluetoothUUID>& serviceUUIDs, bool allowDuplicates) override;
  void stopScan() override;
  bool isScanning() const override { return scanning_.load(); }
  void connect(const BluetoothPeripheralPtr& peripheral) override;
  void cancelPeripheralConnection(const BluetoothPeripheralPtr& peripheral) override;
  std::vector<BluetoothPeripheralPtr> retrievePeripherals(const std::vector<BluetoothUUID>& identifiers) override;

  /// Runs `work` on the work queue while the central lives.
  void submit(std::function<void(BlueZCentral&)> work);

  // ---- on the work queue, for the peripherals ----
  void discoverServicesOf(const std::shared_ptr<BlueZPeripheral>& p, const std::vector<BluetoothUUID>& uuids);
  void discoverCharacteristicsOf(const std::shared_ptr<BlueZPeripheral>& p, const std::vector<BluetoothUUID>& uuids,
                                 const BluetoothServicePtr& service);
  void setNotifyOf(const std::shared_ptr<BlueZPeripheral>& p, bool enabled, const BluetoothCharacteristicPtr& c);
  void writeOf(const std::shared_ptr<BlueZPeripheral>& p, const std::vector<uint8_t>& data,
               const BluetoothCharacteristicPtr& c, BluetoothWriteType type);
  void readRSSIOf(const std::shared_ptr<BlueZPeripheral>& p);

  BlueZCentral(std::weak_ptr<BluetoothCentralDelegate> delegate, DispatchQueuePtr queue);  // use create()

 private:
  // What the central knows of one remote device (work queue only).
  struct Device {
    std::shared_ptr<BlueZPeripheral> peripheral;
    std::string path;        ///< its object path now ("" while BlueZ has no object for it)
    bool wanted = false;     ///< a connection attempt is pending
    bool linked = false;     ///< didConnectPeripheral was reported
    bool cancelling = false; ///< the owner asked to end the link
    bool lost = false;       ///< the link ended; its report waits out the grace period
    std::string lossReason;  ///< the reason BlueZ gave for the last disconnection
    std::optional<int> rssi;
    std::map<std::string, BluetoothServicePtr> services;               ///< by object path
    std::map<std::string, BluetoothCharacteristicPtr> characteristics; ///< by object path
    std::set<std::string> notifying;                                   ///< characteristic paths
  };

  void handle(BusEvent event);
  void objectAdded(const std::string& path, const BusInterfaces& interfaces);
  void objectRemoved(const std::string& path, const std::vector<std::string>& interfaces);
  void propertiesChanged(const std::string& path, const std::string& interface, const BusProperties& changed,
                         const std::vector<std::string>& invalidated);
  void valueChanged(const std::string& path, const BusProperties& changed);
  void bluezGone();
  void updateAdapterState();
  void setAdapterState(BluetoothAdapterState state);

  Device* deviceAt(const std::string& path);
  Device* deviceOf(const std::shared_ptr<BlueZPeripheral>& p);
  Device& track(const std::string& path);
  bool isDevicePath(const std::string& path) const;
  void heard(Device& d);
  void updateBackgroundDiscovery();
  void updateLink(Device& d);
  void linkEnded(Device& d);
  void issueConnect(const BluetoothUUID& id);
  std::string pathOf(const Device& d, const BluetoothCharacteristicPtr& c) const;

  /// A reply handler that hands the outcome to the work queue.
  BlueZBus::Reply onWork(std::function<void(BlueZCentral&, const std::optional<BusError>&)> handler);
  std::shared_ptr<BlueZPeripheral> ours(const BluetoothPeripheralPtr& peripheral) const;
  void post(std::function<void()> before, std::function<void(BluetoothCentralDelegate&, BluetoothCentral&)> call);
  void post(const std::shared_ptr<BlueZPeripheral>& p, std::function<void()> before,
            std::function<void(BluetoothPeripheralDelegate&)> call);

  const DispatchQueuePtr work_;
  BluetoothCentralOptions options_;
  std::unique_ptr<BlueZBus> bus_;
  std::atomic<int> state_{static_cast<int>(BluetoothAdapterState::Unknown)};
  std::atomic<bool> scanning_{false};

  // work queue only
  BluetoothAdapterState adapterState_ = BluetoothAdapterState::Unknown;
  bool stateReported_ = false;
  bool bluezPresent_ = false;
  std::map<std::string, BusInterfaces> tree_;
  std::string adapterPath_;
  bool allowDuplicates_ = false;
  bool backgroundDiscovery_ = false;  ///< discovering for a pending connection
  std::vector<BluetoothUUID> filter_;
  std::map<BluetoothUUID, BluetoothAdvertisementData> reported_;
  std::map<BluetoothUUID, Device> devices_;
  std::map<std::string, BluetoothUUID> byPath_;            ///< device object path -> identifier
  std::map<std::string, BluetoothUUID> characteristicOwner_;  ///< characteristic path -> identifier

  mutable std::mutex peripheralsMutex_;  // guards peripherals_ (retrievePeripherals reads it from any thread)
  std::map<BluetoothUUID, std::shared_ptr<BlueZPeripheral>> peripherals_;
};

}  // namespace vpk::detail
