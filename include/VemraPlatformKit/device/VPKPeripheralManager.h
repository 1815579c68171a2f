#pragma once
/// @file VPKPeripheralManager.h
/// What a headband object (VPKPeripheral) asks of the object that owns it.
///
/// A VPKPeripheral speaks to one headband; the decisions that involve more than one
/// headband, the Bluetooth central or the application's update handlers belong to its
/// owner, the device manager. The peripheral reaches its owner only through this
/// interface, so the manager implements it and tests stand in a small fake.
///
/// Ownership: the manager owns its peripherals (std::shared_ptr); a peripheral holds its
/// manager weakly (VPKPeripheral::manager()). A peripheral whose manager is gone, or that
/// was detached with setManager({}), makes no calls at all.
///
/// Threads: every call below is made on the library's shared work queue
/// (VPKResourceManager::sharedQueue()), where all peripheral and manager state lives. The
/// manager may call back into the peripheral from inside any of them. Calls are made
/// synchronously from the peripheral's own work, except handleDeviceReadFirmwareVersion,
/// which the peripheral posts to the shared queue so that the manager never hears of a
/// firmware version in the middle of the parse.
///
/// Operations whose default does nothing are optional: a manager overrides what it needs.
///
/// Name mapping (manager operation -> C++):
///   connectDevice:                              -> connectDevice(peripheral)
///   disconnectDevice: / openDeviceStream: / ... -> same first keyword, peripheral argument
///   handleDevice...:                            -> handleDevice...(peripheral)
///   peripheral:didDiscoverServices:             -> didDiscoverServices(peripheral, error)
///   peripheral:didDiscoverCharacteristicsForService:error:
///                                               -> didDiscoverCharacteristics(peripheral, service, error)
///   peripheral:didReadRSSI:error:               -> didReadRSSI(peripheral, rssi, error)
///   connectedDevice / availableDevices          -> connectedDevice() / availableDevices()

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothError.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothService.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class VPKPeripheral;
class VPKDeviceHandle;

class VPK_EXPORT VPKPeripheralManager {
 public:
  using PeripheralPtr = std::shared_ptr<VPKPeripheral>;

  virtual ~VPKPeripheralManager();

  // ---- requests (the peripheral's public operations delegate the decision) ----
  /// Connect this headband (its connectWithHandler has already queued the callback).
  virtual void connectDevice(const PeripheralPtr& peripheral);
  /// End this headband's link (disconnect, disconnectWithHandler, inactivity, the sleep
  /// announcement). The manager flushes the peripheral's disconnect callbacks once the
  /// link has ended.
  virtual void disconnectDevice(const PeripheralPtr& peripheral);
  /// Start the signal (startStreaming): the manager decides and calls openStream().
  virtual void openDeviceStream(const PeripheralPtr& peripheral);
  /// Stop the signal (stopStreaming, or the headband went on its charger): the manager
  /// calls closeStream().
  virtual void closeDeviceStream(const PeripheralPtr& peripheral);
  /// Power the headband down (powerDown): the manager sends "DW01FF\r" with very high
  /// priority after cancelling pending commands, or, while the button is held, only sets
  /// powerDownOnButtonRelease.
  virtual void powerDownDevice(const PeripheralPtr& peripheral);
  /// Forget the headband (forgetDevice): drop it from the registry and its store.
  virtual void forgetDevice(const PeripheralPtr& peripheral);
  /// Save the per-device information of every headband with unsaved changes.
  virtual void saveDeviceInfo();

  // ---- events of the status cycle ----
  /// The battery level changed (batteryLevel() holds the new value, possibly absent).
  virtual void handleDeviceBatteryUpdate(const PeripheralPtr& peripheral);
  /// The charge state changed (isCharging()).
  virtual void handleDeviceChargeStateChanged(const PeripheralPtr& peripheral);
  /// The main button went down (buttonDownDate() is now).
  virtual void handleDevicePowerButtonPressed(const PeripheralPtr& peripheral);
  /// A status word found the button still down (buttonPressDuration() tells how long).
  virtual void handleDevicePowerButtonHeld(const PeripheralPtr& peripheral);
  /// The button came up; buttonPressDuration() still gives the length of the press (the
  /// press date is forgotten after this call). A press of 10 s or more has already set
  /// the status to VPKDeviceStatusPoweredOff.
  virtual void handleDevicePowerButtonReleased(const PeripheralPtr& peripheral);
  /// The firmware version is known (firmwareVersion()), parsed from the headband's answer or
  /// rebuilt from the per-device store. Posted to the shared queue, never called inline.
  virtual void handleDeviceReadFirmwareVersion(const PeripheralPtr& peripheral);
  /// systemQueryRate() changed: re-arm the status timer with the new interval.
  virtual void resetConnectionUpdateTimer();

  // ---- platform events forwarded after the peripheral's own handling ----
  /// Service discovery ended (error as the platform reported it).
  virtual void didDiscoverServices(const PeripheralPtr& peripheral, const std::optional<vpk::BluetoothError>& error);
  /// Characteristic discovery of `service` ended and the headband can be spoken to: either
  /// both TX and RX are known (the command queue has just been resumed), or `service` is
  /// the firmware-update service and its control point is known (a headband in update mode,
  /// ready for resetOTASystem). Not called otherwise.
  virtual void didDiscoverCharacteristics(const PeripheralPtr& peripheral, const vpk::BluetoothServicePtr& service,
                                          const std::optional<vpk::BluetoothError>& error);
  /// A signal-strength reading (already stored: RSSI() holds it, -10000 when absent).
  virtual void didReadRSSI(const PeripheralPtr& peripheral, std::optional<int> rssi,
                           const std::optional<vpk::BluetoothError>& error);

  // ---- what the device handle's class conveniences read ----
  /// The handle of the connected headband, or nullptr.
  virtual std::shared_ptr<VPKDeviceHandle> connectedDevice();
  /// Handles of every headband in the registry.
  virtual std::vector<std::shared_ptr<VPKDeviceHandle>> availableDevices();

  // ---- the process-wide manager ----
  /// Installs how the process-wide manager is obtained (the device manager installs its
  /// sharedManager once; an empty function removes it). Any thread.
  static void setSharedManagerProvider(std::function<std::shared_ptr<VPKPeripheralManager>()> provider);
  /// The process-wide manager, or nullptr when no provider is installed. Any thread.
  static std::shared_ptr<VPKPeripheralManager> sharedManager();
};
