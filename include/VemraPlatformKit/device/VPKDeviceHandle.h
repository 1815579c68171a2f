#pragma once
/// @file VPKDeviceHandle.h
/// The application's handle of one headband.
///
/// A handle names a headband and forwards every read and request to the library's object
/// for it (VPKPeripheral), which it refers to weakly: a handle outlives its headband
/// harmlessly (reads then give empty values, requests do nothing).
///
/// Threads: any thread may use a handle. Reads run on the library's shared work queue and
/// wait for the answer (inline when the caller already works there); requests are posted
/// to that queue and return at once. Connect and disconnect callbacks, and
/// retrieveConnectedDevice, call back on the main queue.
///
/// Caches: identifier() and hardwareIdentifier() are fetched once they are valid
/// (present, not empty, and for the hardware identifier not the update-mode name) and
/// kept; until then every call fetches again.
///
/// Equality: two handles are equal when they are the same object or when both have a
/// hardware identifier and those are equal; hash() is that of the hardware identifier.
///
/// The stored-info look-ups read a keyed archive "info" from the storage folder named by an
/// identifier (files the library itself does not write).
///
/// Name mapping:
///   deviceWithDevice:                    -> deviceWithDevice(peripheral)
///   connectWithHandler: (handle, error)  -> connectWithHandler(cb)
///   disconnectIfInactiveAfterDelay:      -> disconnectIfInactiveAfterDelay(seconds)
///   performBlock: / performBlockAndWait: -> performBlock(cb) / performBlockAndWait(cb)
///   deviceInfoForHardwareIdentifier:     -> deviceInfoForHardwareIdentifier(id)
///   isEqual: / hash                      -> isEqual(other), operator== / hash()
///   the dictionary accessors of a preferred-device record -> VPKDeviceHandleRecord

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/device/VPKDeviceFirmwareDescription.h>
#include <VemraPlatformKit/frame/VPKError.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothPeripheral.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class VPKPeripheral;

class VPK_EXPORT VPKDeviceHandle : public std::enable_shared_from_this<VPKDeviceHandle> {
  struct Token {
    explicit Token() = default;
  };

 public:
  using Ptr = std::shared_ptr<VPKDeviceHandle>;
  /// Connect and disconnect completion: this handle, and no error on success.
  using Completion = std::function<void(const Ptr& handle, const std::optional<VPKError>& error)>;

  /// A new handle for `peripheral` (the peripheral makes its own with this).
  static Ptr deviceWithDevice(const std::shared_ptr<VPKPeripheral>& peripheral);
  /// Logs "Dealloc:VPKDeviceHandle" (level 0).
  ~VPKDeviceHandle();

  std::shared_ptr<VPKPeripheral> device() const;
  void setDevice(std::weak_ptr<VPKPeripheral> device);

  // ---- reads (wait on the shared queue) ----
  std::string name() const;
  std::optional<std::string> manualName() const;
  std::string identifier();
  std::optional<std::string> hardwareIdentifier();
  bool hasValidIdentifier() const;
  bool hasValidHardwareIdentifier() const;
  /// RSSI in dBm (0 without a headband).
  int RSSI() const;
  std::optional<float> batteryLevel() const;
  /// Metres, from the signal strength; infinity while no reading is known (0 without a headband).
  double distance() const;
  /// VPKDeviceStatus value.
  unsigned long status() const;
  bool isCharging() const;
  bool isMainButtonPressed() const;
  bool isStreaming() const;
  VPKSignalStreamPtr stream() const;
  VPKDeviceFirmwareDescription::Ptr firmwareDescription() const;
  unsigned long numberOfConnections() const;
  /// The platform peripheral (nullptr without a headband).
  vpk::BluetoothPeripheralPtr peripheral() const;
  /// Kept for the application; the library does not use it.
  std::optional<std::string> cachedIdentifier() const;
  void setCachedIdentifier(std::optional<std::string> identifier);

  /// Stores "manualName" in the headband's store (absent removes it); saved with the
  /// manager's next save of device information. Waits on the shared queue.
  void setManualName(const std::optional<std::string>& name);

  // ---- requests (posted to the shared queue) ----
  void connect();
  void connectWithHandler(Completion handler);
  void disconnect();
  void disconnectWithHandler(Completion handler);
  void powerDown();
  void startStreaming();
  void stopStreaming();
  void disconnectIfInactiveAfterDelay(double seconds);
  void cancelInactivityDisconnectionRequests();
  void forgetDevice();
  /// Queries the status word now.
  void updateBattery();
  void performBlock(std::function<void(const Ptr&)> block);
  void performBlockAndWait(const std::function<void(const Ptr&)>& block);

  /// {"hardwareIdentifier", "identifier", "name", "manualName"}, missing values left out:
  /// the preferred-device record.
  vpk::ValueDictionary dictionaryRepresentation();
  bool isEqual(VPKDeviceHandle& other);
  size_t hash();
  /// Exist for callers of the older interface; they do nothing.
  void clearAllCacheValues() {}
  void clearDynamicCacheValues() {}

  // ---- class look-ups ----
  /// The object archived in "<storage>/<hardwareIdentifier>/info", or null.
  static vpk::Value deviceInfoForHardwareIdentifier(const std::optional<std::string>& hardwareIdentifier);
  static vpk::Value deviceInfoForPeripheralIdentifier(const std::optional<std::string>& identifier);

  // ---- conveniences through the process-wide device manager ----
  /// The connected headband's handle, or nullptr (also when no manager exists).
  static Ptr connectedDevice();
  /// Handles of every known headband.
  static std::vector<Ptr> availableDevices();
  /// Reads the connected handle on the shared queue and calls `callback` with it on the
  /// main queue.
  static void retrieveConnectedDevice(std::function<void(const Ptr&)> callback);

  explicit VPKDeviceHandle(Token, std::weak_ptr<VPKPeripheral> device);  // use deviceWithDevice()

 private:
  template <class R, class F>
  R read(F&& f) const;
  template <class F>
  void request(F&& f);

  mutable std::mutex mutex_;
  std::weak_ptr<VPKPeripheral> device_;
  std::optional<std::string> identifier_;
  std::optional<std::string> hardwareIdentifier_;
  std::optional<std::string> cachedIdentifier_;
};

using VPKDeviceHandlePtr = std::shared_ptr<VPKDeviceHandle>;

/// The dictionary accessors of a preferred-device record (dictionaryRepresentation()):
/// the string under each key, or nullopt.
namespace VPKDeviceHandleRecord {
VPK_EXPORT std::optional<std::string> identifier(const vpk::ValueDictionary& record);
VPK_EXPORT std::optional<std::string> name(const vpk::ValueDictionary& record);
VPK_EXPORT std::optional<std::string> hardwareIdentifier(const vpk::ValueDictionary& record);
VPK_EXPORT std::optional<std::string> manualName(const vpk::ValueDictionary& record);
}  // namespace VPKDeviceHandleRecord
