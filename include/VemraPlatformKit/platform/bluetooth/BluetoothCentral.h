#pragma once
/// @file BluetoothCentral.h
/// The Bluetooth LE central: the adapter's state, scanning, connections, and the factory
/// that picks a backend.
///
/// The library reaches headbands only through this interface. Backends sit behind it
/// side by side: the simulated radio world (platform/bluetooth/simulated/) and the system's
/// stack, BlueZ over D-Bus (platform/bluetooth/bluez/, see docs/bluez.md).
/// BluetoothCentral::create picks one.
///
/// Ownership: the creator owns the central (std::shared_ptr) and the peripherals it keeps.
/// The central holds its delegate weakly and keeps one peripheral object per remote device.
///
/// Threads: every operation may be called from any thread and returns at once. Every
/// callback of the central's delegate, and of the delegates of the peripherals it created,
/// arrives on the queue given at creation (the main queue when none), in event order.
///
/// Adapter state: a new central reports Unknown until its first didUpdateState callback,
/// which follows creation shortly. Scanning and connecting need PoweredOn; asked for
/// otherwise, they are ignored with a log line. When the adapter leaves PoweredOn, scans
/// stop, pending connections are dropped and every connected peripheral's state turns to
/// Disconnected before didUpdateState is called; no didDisconnectPeripheral follows for
/// them (the owner learns of the loss from the state change).
///
/// Name mapping (platform operation -> C++):
///   initWithDelegate:queue:options:             -> create(delegate, queue, options)
///   state                                       -> state()
///   scanForPeripheralsWithServices:options:     -> scanForPeripherals(services, allowDuplicates)
///   stopScan                                    -> stopScan()
///   connectPeripheral:options:                  -> connect(peripheral)
///   cancelPeripheralConnection:                 -> cancelPeripheralConnection(peripheral)
///   retrievePeripheralsWithIdentifiers:         -> retrievePeripherals(identifiers)
///   centralManagerDidUpdateState:               -> didUpdateState(central)
///   centralManager:didDiscoverPeripheral:advertisementData:RSSI:
///                                               -> didDiscoverPeripheral(central, peripheral, advertisement, rssi)
///   centralManager:didConnectPeripheral:        -> didConnectPeripheral(central, peripheral)
///   centralManager:didDisconnectPeripheral:error:
///                                               -> didDisconnectPeripheral(central, peripheral, error)
///   centralManager:didFailToConnectPeripheral:error:
///                                               -> didFailToConnectPeripheral(central, peripheral, error)

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothAdvertisementData.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothError.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothPeripheral.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothUUID.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vpk {

class BluetoothCentral;

/// Adapter states, with the platform's values.
enum class BluetoothAdapterState : int {
  Unknown = 0,
  Resetting = 1,
  Unsupported = 2,
  Unauthorized = 3,
  PoweredOff = 4,
  PoweredOn = 5,
};

/// "unknown", "resetting", "unsupported", "unauthorized", "powered off", "powered on".
VPK_EXPORT std::string_view toString(BluetoothAdapterState state);

/// Hears a central. Every operation is optional (does nothing by default). Called on the
/// central's queue.
class VPK_EXPORT BluetoothCentralDelegate {
 public:
  virtual ~BluetoothCentralDelegate();
  /// The adapter's state changed; read it with central.state().
  virtual void didUpdateState(BluetoothCentral& central);
  /// One advertisement heard during a scan. `rssi` in dBm, absent when not measured.
  virtual void didDiscoverPeripheral(BluetoothCentral& central, const BluetoothPeripheralPtr& peripheral,
                                     const BluetoothAdvertisementData& advertisement, std::optional<int> rssi);
  virtual void didConnectPeripheral(BluetoothCentral& central, const BluetoothPeripheralPtr& peripheral);
  /// The link ended; no error when this central cancelled it.
  virtual void didDisconnectPeripheral(BluetoothCentral& central, const BluetoothPeripheralPtr& peripheral,
                                       const std::optional<BluetoothError>& error);
  virtual void didFailToConnectPeripheral(BluetoothCentral& central, const BluetoothPeripheralPtr& peripheral,
                                          const std::optional<BluetoothError>& error);
};

/// Which implementation stands behind a central.
enum class BluetoothBackend : int {
  /// The system's adapter when one is usable, the simulated world otherwise.
  Automatic = 0,
  /// The simulated radio world (SimulatedWorld::shared()).
  Simulated = 1,
  /// The system's Bluetooth stack over D-Bus.
  BlueZ = 2,
};

/// "automatic", "simulated", "bluez".
VPK_EXPORT std::string_view toString(BluetoothBackend backend);

/// What the system's Bluetooth stack offers, as BluetoothCentral::systemStack() finds it.
struct BluetoothStackStatus {
  struct Adapter {
    std::string name;     ///< BlueZ's object path ("/org/bluez/hci0")
    std::string address;  ///< "00:1A:7D:DA:71:13"
    bool poweredOn = false;
  };
  /// A system bus answered (DBUS_SYSTEM_BUS_ADDRESS, or the standard socket).
  bool systemBus = false;
  /// org.bluez is on it.
  bool bluez = false;
  std::vector<Adapter> adapters;
};

struct BluetoothCentralOptions {
  /// Ask the system to alert the user when the adapter is off at creation (ignored where
  /// unsupported). On BlueZ the alert is a desktop notification ("Bluetooth is off"),
  /// shown where the session bus has a notification server (see DesktopNotifier).
  bool showPowerAlert = false;
  BluetoothBackend backend = BluetoothBackend::Automatic;
};

class VPK_EXPORT BluetoothCentral : public std::enable_shared_from_this<BluetoothCentral> {
 public:
  /// A central on the backend `options.backend` names, or for Automatic the one
  /// preferredBackend() picks. The environment variable VPK_BLUETOOTH_BACKEND ("simulated"
  /// or "bluez") overrides Automatic. nullptr (and a log line) when the chosen backend is
  /// not available. `queue` nullptr means the main queue.
  static std::shared_ptr<BluetoothCentral> create(std::weak_ptr<BluetoothCentralDelegate> delegate,
                                                  DispatchQueuePtr queue, BluetoothCentralOptions options = {});
  /// What Automatic resolves to on this machine: BlueZ when org.bluez is on the system bus
  /// with an adapter, the simulated world otherwise (VPK_BLUETOOTH_BACKEND overrides).
  static BluetoothBackend preferredBackend();
  /// Simulated: always; BlueZ: org.bluez is on the system bus (DBUS_SYSTEM_BUS_ADDRESS
  /// names another bus).
  static bool isBackendAvailable(BluetoothBackend backend);
  /// Asks the system bus, with short timeouts, whether BlueZ runs and which adapters it
  /// has. Blocks for at most about 1.5 s; never fails (a missing bus reads as absent).
  static BluetoothStackStatus systemStack();

  virtual ~BluetoothCentral();
  BluetoothCentral(const BluetoothCentral&) = delete;
  BluetoothCentral& operator=(const BluetoothCentral&) = delete;

  virtual BluetoothBackend backend() const = 0;
  virtual BluetoothAdapterState state() const = 0;

  /// Scans for advertisements of peripherals advertising any of `serviceUUIDs` (all
  /// peripherals when empty). Without `allowDuplicates`, each peripheral is reported once
  /// per scan, and again only when its advertisement changes; with it, every
  /// advertisement is reported. A new call replaces the running scan.
  virtual void scanForPeripherals(const std::vector<BluetoothUUID>& serviceUUIDs, bool allowDuplicates) = 0;
  virtual void stopScan() = 0;
  virtual bool isScanning() const = 0;

  /// Connects `peripheral`. The attempt never times out: it completes when the device is
  /// next heard (didConnectPeripheral or didFailToConnectPeripheral), or ends with
  /// cancelPeripheralConnection.
  virtual void connect(const BluetoothPeripheralPtr& peripheral) = 0;
  /// Ends a link or a pending attempt; didDisconnectPeripheral follows without an error.
  virtual void cancelPeripheralConnection(const BluetoothPeripheralPtr& peripheral) = 0;
  /// The peripherals this machine knows among `identifiers` (unknown ones are left out),
  /// as the same objects discovery hands out.
  virtual std::vector<BluetoothPeripheralPtr> retrievePeripherals(const std::vector<BluetoothUUID>& identifiers) = 0;

  const DispatchQueuePtr& queue() const { return queue_; }
  std::shared_ptr<BluetoothCentralDelegate> delegate() const;
  void setDelegate(std::weak_ptr<BluetoothCentralDelegate> delegate);

 protected:
  BluetoothCentral(std::weak_ptr<BluetoothCentralDelegate> delegate, DispatchQueuePtr queue);

 private:
  const DispatchQueuePtr queue_;
  mutable std::mutex mutex_;
  std::weak_ptr<BluetoothCentralDelegate> delegate_;
};

using BluetoothCentralPtr = std::shared_ptr<BluetoothCentral>;

}  // namespace vpk
