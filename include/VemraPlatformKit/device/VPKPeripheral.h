#pragma once
/// @file VPKPeripheral.h
/// The library's object for one headband seen over Bluetooth LE: its GATT services, its
/// text command channel, its status (battery, charging, button, signal strength,
/// inactivity), its firmware, its signal stream and its per-device store.
///
/// The device manager creates and owns every VPKPeripheral and is its only regular caller;
/// applications hold a VPKDeviceHandle instead (deviceHandle()).
///
/// The link. The headband serves a UART-style main service (TX: host to headband, RX:
/// headband to host, notifying) and a firmware-update service (control point, packet). A
/// command is ASCII text ending in "\r", written to TX with response. Every command but
/// eight ("S01\r", "S00\r", "!\r", "DW01FF\r", "DW161F\r", "DW1600\r", "@\r", "DW0308\r")
/// is framed: three writes "E<p>\r", the command, "E" + command + "</p>\r". The headband
/// echoes what follows an "E", so a reply arrives on RX as "<p>", the reply text in any
/// number of notifications, then the command as sent followed by "</p>". Notifications
/// whose first byte is 0xA0 or 0xFE are signal packets and go to the stream untouched.
///
/// The command queue runs one command at a time, highest priority first (VeryLow -8 to
/// VeryHigh 8), on its own serial queue. It is created suspended and resumed once TX and
/// RX are known. Each command hands its writes to the shared queue and waits at most 3 s
/// for that hand-over (not for the headband's answer): "Command(<cmd>) may be timing
/// out..." and the queue moves on. A very-high command with the queue running is written
/// at once, ahead of the queue.
///
/// Threads: all state lives on the library's shared work queue
/// (VPKResourceManager::sharedQueue()). Call every member there (the manager does; tests
/// and tools use VPKResourceManager::performBlockAndWait), except the class-level
/// accessors, which any thread may call. The Bluetooth central that owns the platform
/// peripheral must deliver its callbacks on the shared queue too. Connect and disconnect
/// callbacks arrive on the main queue, OTA-reset callbacks on the shared queue.
///
/// Ownership: create() returns the only strong reference the library keeps (the
/// manager's). The peripheral owns its platform peripheral (it is that peripheral's
/// delegate), its command queue, its stream and its store; it holds its manager and
/// hands out its handle, which refers back weakly.
///
/// Faults repaired on purpose: a reply that never ends stops collecting at
/// kMaxResponseLength bytes (logged, the partial reply dropped); a name from the air that
/// cannot be a file name leaves the headband without a store (logged) instead of naming a
/// file outside the store folder; a name from the air is taken as valid UTF-8 text, each
/// malformed sequence and control character replaced by U+FFFD, so that what is shown,
/// stored and read back is the same text and no terminal receives a control sequence.
///
/// Name mapping (selector -> C++):
///   initWithPeripheral:manager:advertisingData:RSSI:  -> create(peripheral, manager, advertisement, rssi)
///   sendCommand: / sendCommand:priority:            -> sendCommand(cmd) / sendCommand(cmd, priority)
///   writeData:type:                                 -> writeData(bytes, type)
///   handleQueryResponseForCommand:error:            -> handleQueryResponseForCommand(cmd, error)
///   handleReadSystemQueryResponse:data:             -> handleReadSystemQueryResponse(text)
///   handleReadFirmwareVersionResponse:data:         -> handleReadFirmwareVersionResponse(text)
///   processSystemState:chargeState:powerButtonState: -> processSystemState(raw, charge, button)
///   connectWithHandler: / disconnectWithHandler:    -> connectWithHandler(cb) / disconnectWithHandler(cb)
///   flushDisconnectConnectHandlersWithError:        -> flushDisconnectConnectHandlersWithError(error)
///   disconnectIfInactiveAfterDelay:                 -> disconnectIfInactiveAfterDelay(seconds)
///   resetOTASystem:                                 -> resetOTASystem(cb)
///   objectForKey: / setObject:forKey:               -> objectForKey(key) / setObject(value, key)
///   logError:forKey:                                -> logError(error, key)
///   generateDiagnosticsReport:                      -> generateDiagnosticsReport(callback)
///   timestampFormatter                              -> timestampString(time)
///   peristentDeviceInfoFile / ...Directory          -> same names (spelling kept)
///   peripheral:didDiscoverServices: ...             -> the vpk::BluetoothPeripheralDelegate overrides

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/device/VPKDeviceFirmwareDescription.h>
#include <VemraPlatformKit/device/VPKDeviceStatus.h>
#include <VemraPlatformKit/device/VPKPeripheralManager.h>
#include <VemraPlatformKit/frame/VPKError.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothAdvertisementData.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothPeripheral.h>
#include <VemraPlatformKit/platform/dispatch/OperationQueue.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class VPKDeviceHandle;
namespace vpk::detail {
class ReplyAssembler;
}

class VPK_EXPORT VPKPeripheral : public vpk::BluetoothPeripheralDelegate,
                                 public std::enable_shared_from_this<VPKPeripheral> {
  struct Token {
    explicit Token() = default;
  };

 public:
  /// Completion of connect, disconnect and the OTA reset: no error on success.
  using Completion = std::function<void(const std::optional<VPKError>& error)>;

  /// Longest reply text collected between "<p>" and "</p>"; beyond it the partial reply
  /// is dropped with a log line and the peripheral waits for the next "<p>".
  static constexpr size_t kMaxResponseLength = 4096;  // the reply assembler's limit
  /// Status answers kept in systemQueryResponses().
  static constexpr size_t kMaxSystemQueryResponses = 100;
  /// Readings kept in rssiLog().
  static constexpr size_t kMaxRSSILogLength = 20;
  /// RSSI stored when a reading returns none.
  static constexpr int kMissingRSSI = -10000;
  /// Records kept per counter of the error log.
  static constexpr size_t kMaxErrorsPerKey = 50;

  // ---- the headband's GATT table (any thread) ----
  static const vpk::BluetoothUUID& deviceServiceUUID();          ///< 6E400001-B5A3-F393-E0A9-E50E24DCCA9E
  static const vpk::BluetoothUUID& txCharacteristicUUID();       ///< 6E400002-...
  static const vpk::BluetoothUUID& rxCharacteristicUUID();       ///< 6E400003-...
  static const vpk::BluetoothUUID& deviceOTAUUID();              ///< 00001530-1212-EFDE-1523-785FEABCD123
  static const vpk::BluetoothUUID& dfuCtrlCharacteristicUUID();  ///< 00001531-...
  static const vpk::BluetoothUUID& dfuPktCharacteristicUUID();   ///< 00001532-...
  /// [main service, firmware-update service].
  static std::vector<vpk::BluetoothUUID> deviceServiceUUIDs();
  /// [TX, RX].
  static std::vector<vpk::BluetoothUUID> devicCharacteristicUUIDs();
  /// The name a headband advertises in firmware-update mode.
  static constexpr const char* kOTAModeName = "vemraota";
  /// Whether `command` is one of the eight commands sent without framing.
  static bool isUnframedCommand(std::string_view command);

  // ---- construction ----
  /// Names the headband, loads its store, creates its stream (type 0) and its handle,
  /// becomes the platform peripheral's delegate and creates the command queue suspended.
  /// `rssi` absent stores kMissingRSSI. Call on the shared queue.
  static std::shared_ptr<VPKPeripheral> create(vpk::BluetoothPeripheralPtr peripheral,
                                               std::weak_ptr<VPKPeripheralManager> manager,
                                               const vpk::BluetoothAdvertisementData& advertisingData,
                                               std::optional<int> rssi);
  /// Clears the inactivity settings, removes the stream's outputs, cancels pending
  /// commands and logs "Dealloc:VPKPeripheral".
  ~VPKPeripheral() override;
  VPKPeripheral(const VPKPeripheral&) = delete;
  VPKPeripheral& operator=(const VPKPeripheral&) = delete;
  /// The same object (a peripheral has identity).
  std::shared_ptr<VPKPeripheral> copy() { return shared_from_this(); }

  // ---- identity ----
  const vpk::BluetoothPeripheralPtr& peripheral() const { return peripheral_; }
  std::shared_ptr<VPKPeripheralManager> manager() const { return manager_.lock(); }
  /// Detaches (empty) or re-attaches the manager; a detached peripheral calls nobody.
  void setManager(std::weak_ptr<VPKPeripheralManager> manager) { manager_ = std::move(manager); }
  /// The platform peripheral's identifier as an upper-case UUID string.
  const std::string& identifier() const { return identifier_; }
  const std::string& name() const { return name_; }
  /// "VMR" and the name's characters after its last "vemra", upper case; absent when
  /// fewer than two remain.
  const std::optional<std::string>& hardwareIdentifier() const { return hardwareIdentifier_; }
  const vpk::BluetoothAdvertisementData& advertismentData() const { return advertismentData_; }
  const VPKSignalStreamPtr& stream() const { return stream_; }
  /// The application's handle of this headband (made at construction, kept).
  std::shared_ptr<VPKDeviceHandle> deviceHandle() const { return handle_; }
  /// "<VPKPeripheral 0x...> {\n\t Name = ...,\n\tUUID = ...\n\t,Serial = ...\n\t, RSSI = ...\n}".
  std::string description() const;

  // ---- commands ----
  void sendCommand(const std::string& command);
  void sendCommand(const std::string& command, vpk::OperationPriority priority);
  bool isCommandQueueSuspended() const;
  /// Drops every queued command, waits for the running one (at most its 3 s hand-over
  /// wait), empties the reply buffer and restores the queue's suspension.
  void cancelPendingCommands();
  /// Writes raw bytes to TX (nothing without TX or a connected link).
  void writeData(const std::vector<uint8_t>& data, vpk::BluetoothWriteType type);
  /// Inactivity time to 0, then "DW0308\r" with high priority.
  void disableAutoDisconnect();
  /// The stored "firmware" entry when there is one, else "Q1\r" with high priority.
  void readFirmwareVersion();
  /// The reply being collected.
  const std::string& dataBuffer() const;
  /// A list kept for the diagnostics report; the library adds nothing to it.
  const vpk::ValueList& commandLog() const { return commandLog_; }
  void setCommandLog(vpk::ValueList log) { commandLog_ = std::move(log); }

  // ---- discovery and replies ----
  /// Forgets the services and characteristics, cancels pending commands and discovers
  /// [main service, firmware-update service].
  void discoverServices();
  /// Dispatches the collected reply to the handler of `command` (its echo, with "\r").
  void handleQueryResponseForCommand(const std::string& command, const std::optional<VPKError>& error);
  /// The status word: decodes it and runs processSystemState, then logs the answer.
  void handleReadSystemQueryResponse(const std::string& response);
  /// The identification text: parses it, stores and sets the firmware version.
  void handleReadFirmwareVersionResponse(const std::string& response);
  bool hasTXCharacteristic() const { return tx_ != nullptr; }
  bool hasRXCharacteristic() const { return rx_ != nullptr; }
  bool hasOTAControlCharacteristic() const { return dfuCtrl_ != nullptr; }

  // ---- status ----
  unsigned long status() const { return status_; }
  /// Stores the status; 0, 1 and 4 also reset and close the stream.
  void setStatus(unsigned long status);
  bool isCharging() const { return charging_; }
  void setCharging(bool charging);
  /// Fraction 0..1; absent until the first status answer and after the charger is removed.
  std::optional<float> batteryLevel() const { return batteryLevel_; }
  void setBatteryLevel(std::optional<float> level);
  float batteryOperatingRange() const { return batteryOperatingRange_; }
  unsigned long nonChargingCycles() const { return nonChargingCycles_; }
  unsigned long updateCycles() const { return updateCycles_; }
  bool isButtonDown() const { return buttonDown_; }
  void setButtonDown(bool down);
  std::optional<double> buttonDownDate() const { return buttonDownDate_; }
  /// Seconds since the button went down (0 when it is not known to be down).
  double buttonPressDuration() const;
  bool powerDownOnButtonRelease() const { return powerDownOnButtonRelease_; }
  void setPowerDownOnButtonRelease(bool v) { powerDownOnButtonRelease_ = v; }
  double systemQueryRate() const { return systemQueryRate_; }
  /// Stores a rate that differs by at least the double epsilon, then asks the manager to
  /// resetConnectionUpdateTimer.
  void setSystemQueryRate(double seconds);
  /// 0.5 s while performing diagnostics or just pressed, 0.3 s once held 1 s, else 2.0 s.
  void updateSystemQueryRate();
  /// The last 100 status answers, oldest first: "raw", "batteryRaw", "batteryVoltage",
  /// "buttonState", "buttonPressDuration", "charging".
  const vpk::ValueList& systemQueryResponses() const { return systemQueryResponses_; }
  bool isUpdatingSystemStatus() const { return updatingSystemStatus_; }
  unsigned long systemUpdateAttempts() const { return systemUpdateAttempts_; }
  /// One status tick (the manager's status timer): inactivity accounting and disconnect,
  /// then "DR0404\r" unless a query is outstanding (10 skipped ticks drop the mark).
  void updateSystemStatus();
  /// Battery raw value (volts x 50), charge bit, button bit of one status word.
  void processSystemState(uint8_t batteryRaw, bool chargeState, bool powerButtonState);
  int RSSI() const { return rssi_; }
  /// Stores the reading and appends it to the log of the last 20.
  void setRSSI(std::optional<int> rssi);
  const std::vector<int>& rssiLog() const { return rssiLog_; }
  /// Metres, estimated by the manager from the signal strength; infinity while no reading
  /// is known (never the nearest headband).
  double distance() const { return distance_; }
  void setDistance(double metres) { distance_ = metres; }
  std::optional<double> lastUpdateTime() const { return lastUpdateTime_; }
  double inactiveTime() const { return inactiveTime_; }
  double maxInactiveTime() const { return maxInactiveTime_; }
  bool disconnectsWhenInactive() const { return disconnectsWhenInactive_; }
  void disconnectIfInactiveAfterDelay(double seconds);
  void cancelInactivityDisconnectionRequests();
  std::optional<bool> hasLeftElectrodeFailure() const { return leftElectrodeFailure_; }
  std::optional<bool> hasRightElectrodeFailure() const { return rightElectrodeFailure_; }
  void setHasLeftElectrodeFailure(std::optional<bool> v) { leftElectrodeFailure_ = v; }
  void setHasRightElectrodeFailure(std::optional<bool> v) { rightElectrodeFailure_ = v; }
  /// Set while a diagnostics run goes (status every 0.5 s until its stream opens).
  bool performingDiagnostics() const { return performingDiagnostics_; }
  void setPerformingDiagnostics(bool v) { performingDiagnostics_ = v; }

  // ---- flags kept for the manager ----
  bool isStreaming() const { return streaming_; }
  void setStreaming(bool v) { streaming_ = v; }
  bool isPreferred() const { return preferred_; }
  void setPreferred(bool v) { preferred_ = v; }
  bool isDiscarded() const { return discarded_; }
  void setDiscarded(bool v) { discarded_ = v; }
  bool removeOnDisconnect() const { return removeOnDisconnect_; }
  void setRemoveOnDisconnect(bool v) { removeOnDisconnect_ = v; }
  bool manuallyDisconnected() const { return manuallyDisconnected_; }
  void setManuallyDisconnected(bool v) { manuallyDisconnected_ = v; }
  std::optional<double> lastDuplicateDiscovery() const { return lastDuplicateDiscovery_; }
  void setLastDuplicateDiscovery(std::optional<double> t) { lastDuplicateDiscovery_ = t; }

  // ---- stream and power ----
  /// Inactivity 0; close, reset and open the stream; rate 3.0 s; "S01\r".
  void openStream();
  /// Inactivity 0; rate 2.0 s; close and reset the stream; "S00\r".
  void closeStream();
  /// Ask the manager to open / close the stream.
  void startStreaming();
  void stopStreaming();
  /// Forget lastUpdateTime, cancel the inactivity disconnect, ask the manager to power down.
  void powerDown();
  void forgetDevice();

  // ---- connection ----
  /// Connected (status 3): "Device already connected" and `handler` on the main queue
  /// with no error. Otherwise keeps `handler`, empties the reply buffer and asks the
  /// manager to connect; the manager flushes the handlers later.
  void connectWithHandler(Completion handler);
  void disconnectWithHandler(Completion handler);
  void disconnect() { disconnectWithHandler(nullptr); }
  size_t connectHandlerCount() const { return connectHandlers_.size(); }
  size_t disconnectHandlerCount() const { return disconnectHandlers_.size(); }
  /// Empties the list first, then calls each callback on the main queue, in order.
  void flushConnectHandlersWithError(const std::optional<VPKError>& error);
  void flushDisconnectConnectHandlersWithError(const std::optional<VPKError>& error);

  // ---- firmware ----
  VPKDeviceFirmwareDescription::Ptr firmwareVersion() const { return firmwareVersion_; }
  /// Stores it and posts handleDeviceReadFirmwareVersion to the manager.
  void setFirmwareVersion(VPKDeviceFirmwareDescription::Ptr firmware);
  /// The headband advertised the firmware-update service when it was found.
  bool isInOTAMode() const { return inOTAMode_; }
  bool isResettingOTASystem() const { return resettingOTASystem_; }
  /// Writes 0x06 to the update control point; `handler` is called on the shared queue
  /// once the write completes, or at once with VPKErrorDomain code 2 ("No valid OTA
  /// characteristics discovered." / "Device not connected.").
  void resetOTASystem(Completion handler);

  // ---- per-device store ("peripheral_info_store/<identifier>", a property list) ----
  /// The store, loaded from its file on first use; nullopt when there is none.
  const std::optional<vpk::ValueDictionary>& persistentDeviceInfo();
  /// Replaces the store (nullopt: delete it at the next save) and marks it unsaved.
  void setPersistentDeviceInfo(std::optional<vpk::ValueDictionary> info);
  /// The value under `key`, null when absent.
  vpk::Value objectForKey(std::string_view key);
  /// Sets (a null value removes) the entry; an equal value changes nothing.
  void setObject(const vpk::Value& value, const std::string& key);
  bool hasUnsavedPersistentDeviceInfoChanges() const { return unsavedChanges_; }
  /// Writes (or deletes) the store file when there are unsaved changes; false when that
  /// failed or there is no file location (the changes stay marked).
  bool savePersistentDeviceInfo();
  /// The store file, or nullopt when the identifier is empty or not a safe file name.
  std::optional<std::filesystem::path> peristentDeviceInfoFile() const;
  /// The store folder (created on first use), or nullopt without storage.
  static std::optional<std::filesystem::path> peristentDeviceInfoDirectory();
  /// Another headband's store read from its file.
  static std::optional<vpk::ValueDictionary> persistentDeviceInfoForIdentifier(const std::string& identifier);
  unsigned long numberOfConnections();
  void setNumberOfConnections(unsigned long n);
  static std::optional<std::string> generateHardwareIdentifierWithName(const std::optional<std::string>& name);
  /// Moves "manualName" from the old "<hardware identifier>/device.json" file into the store.
  void migrateOldDeviceInfo();

  // ---- error log ----
  /// Appends {"timestamp", "error"} to the list under `key` of the store's "errors"
  /// (50 kept) and logs "Logged error <error> for device(<name>)".
  void logError(const VPKError& error, const std::string& key);
  void logError(const vpk::BluetoothError& error, const std::string& key);
  /// "yyyy_MM_dd_HH_mm_ss_z" of `time` (UTC): the error log's and report's timestamps.
  static std::string timestampString(double time);

  // ---- diagnostics report (docs/diagnostics.md) ----
  /// Called once, on the main queue: true and the report file, or false and nothing.
  using DiagnosticsCompletion =
      std::function<void(bool success, const std::optional<std::filesystem::path>& report)>;
  /// The folder, in the temporary folder, that holds the reports.
  static constexpr const char* kDiagnosticsFolderName = "com_ulko_vpk_diagnostics";
  /// Length of a run, from the call to the report: 5 s of preparation (status every 0.5 s),
  /// then 25 s of streaming into an analyzer made for the run; the noise at 50 and 60 Hz is
  /// collected over the first kDiagnosticsNoiseSeconds of it.
  static constexpr double kDiagnosticsSeconds = 30.0;
  static constexpr double kDiagnosticsNoiseSeconds = 10.0;
  /// Runs the diagnostics run and writes its JSON report to
  /// <temporary folder>/com_ulko_vpk_diagnostics/<hardware identifier without "VMR">_<timestamp>.
  /// A countdown logs "Diagnostics time remaining <n>s" every second. The status rate is
  /// 0.5 s until the stream opens and back to its usual choice when the run ends, whether it
  /// succeeded or failed. A lost link does not stop the run: the report says what was
  /// collected. A second call while a run is going answers false at once (logged). The
  /// electrode verdicts are those of this run (earlier flags are cleared when it streams).
  void generateDiagnosticsReport(DiagnosticsCompletion callback);
  /// A diagnostics run is going.
  bool isGeneratingDiagnosticsReport() const { return generatingDiagnostics_; }

  // ---- vpk::BluetoothPeripheralDelegate (on the shared queue) ----
  void didDiscoverServices(const vpk::BluetoothPeripheralPtr& peripheral,
                           const std::optional<vpk::BluetoothError>& error) override;
  void didDiscoverCharacteristics(const vpk::BluetoothPeripheralPtr& peripheral, const vpk::BluetoothServicePtr& service,
                                  const std::optional<vpk::BluetoothError>& error) override;
  void didUpdateValue(const vpk::BluetoothPeripheralPtr& peripheral,
                      const vpk::BluetoothCharacteristicPtr& characteristic, const std::vector<uint8_t>& value,
                      const std::optional<vpk::BluetoothError>& error) override;
  void didWriteValue(const vpk::BluetoothPeripheralPtr& peripheral,
                     const vpk::BluetoothCharacteristicPtr& characteristic,
                     const std::optional<vpk::BluetoothError>& error) override;
  void didReadRSSI(const vpk::BluetoothPeripheralPtr& peripheral, std::optional<int> rssi,
                   const std::optional<vpk::BluetoothError>& error) override;

  VPKPeripheral(Token, vpk::BluetoothPeripheralPtr peripheral, std::weak_ptr<VPKPeripheralManager> manager,
                const vpk::BluetoothAdvertisementData& advertisingData);  // use create()

 private:
  struct CommandQueue;
  struct DiagnosticsRun;
  void setUp(std::optional<int> rssi);
  void nameHeadband();
  void writeCommand(const std::string& command);
  void dispatchResponse(const std::string& command, const std::string& response);
  void resetInactivity() { inactiveTime_ = 0; }
  template <class F>
  void tellManager(F&& call);

  vpk::BluetoothPeripheralPtr peripheral_;
  std::weak_ptr<VPKPeripheralManager> manager_;
  std::string identifier_;
  std::string name_;
  std::optional<std::string> hardwareIdentifier_;
  vpk::BluetoothAdvertisementData advertismentData_;
  VPKSignalStreamPtr stream_;
  std::shared_ptr<VPKDeviceHandle> handle_;
  std::shared_ptr<CommandQueue> commands_;

  vpk::BluetoothServicePtr mainService_, dfuService_;
  vpk::BluetoothCharacteristicPtr tx_, rx_, dfuCtrl_, dfuPkt_;
  std::unique_ptr<vpk::detail::ReplyAssembler> replies_;
  vpk::ValueList commandLog_;
  std::vector<Completion> connectHandlers_, disconnectHandlers_, otaResetHandlers_;

  unsigned long status_ = VPKDeviceStatusIdle;
  bool charging_ = false;
  std::optional<float> batteryLevel_;
  float batteryOperatingRange_ = 0;
  unsigned long nonChargingCycles_ = 0;
  unsigned long updateCycles_ = 0;
  bool buttonDown_ = false;
  std::optional<double> buttonDownDate_;
  bool powerDownOnButtonRelease_ = false;
  double systemQueryRate_ = 0;
  vpk::ValueList systemQueryResponses_;
  bool updatingSystemStatus_ = false;
  unsigned long systemUpdateAttempts_ = 0;
  int rssi_ = 0;
  std::vector<int> rssiLog_;
  double distance_ = std::numeric_limits<double>::infinity();
  std::optional<double> lastUpdateTime_;
  double inactiveTime_ = 0;
  double maxInactiveTime_ = 0;
  bool disconnectsWhenInactive_ = false;
  std::optional<bool> leftElectrodeFailure_, rightElectrodeFailure_;
  bool performingDiagnostics_ = false;
  bool generatingDiagnostics_ = false;
  bool streaming_ = false, preferred_ = false, discarded_ = false, removeOnDisconnect_ = false,
       manuallyDisconnected_ = false;
  std::optional<double> lastDuplicateDiscovery_;

  VPKDeviceFirmwareDescription::Ptr firmwareVersion_;
  bool inOTAMode_ = false;
  bool resettingOTASystem_ = false;

  std::optional<vpk::ValueDictionary> store_;
  bool storeLoaded_ = false;
  bool unsavedChanges_ = false;
};

using VPKPeripheralPtr = std::shared_ptr<VPKPeripheral>;
