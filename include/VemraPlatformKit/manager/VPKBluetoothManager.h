#pragma once
/// @file VPKBluetoothManager.h
/// The device manager: the one Bluetooth LE central of the SDK.
///
/// It follows the adapter's power state, searches for headbands (plain, timed, and a swipe
/// search started by shaking the machine), turns each discovered radio peripheral into a
/// VPKPeripheral, connects one headband at a time, keeps it polled (status every 2 s, 3 s
/// while streaming, faster while its button is held; signal strength every 5 s), opens and
/// closes its stream, records it, remembers known headbands (history) and the preferred one
/// across launches, and tells the application what happens through update handlers and
/// named notifications.
///
/// Creation: sharedManager() is the process-wide manager on the default backend (the
/// simulated world until a system backend is available). create(queue, options) makes a
/// separate one, e.g. a test's manager on its own SimulatedWorld. Either way set-up (loading
/// the preferred record and the history, the central, the timers, the 15 s save timer) runs
/// on the shared work queue right after creation.
///
/// Threads and queues
/// - All state lives on the shared work queue (VPKResourceManager::sharedQueue()); the
///   central delivers its events there. Every public operation may be called from any
///   thread: operations that change search or connection state re-dispatch themselves to
///   the queue and return at once; readers wait for the queue (inline when already there).
/// - Update handlers, named notifications (VPKBluetoothManagerNotifications.h), connect and
///   disconnect callbacks and the connect sound are delivered on the main queue.
/// - Accelerometer samples arrive on a private serial queue and enter the work queue only
///   when a swipe is detected.
///
/// Linux stand-ins (see docs/manager.md): the application's will-resign-active and
/// will-terminate come from vpk::Application (VemraPlatformKit::applicationWillTerminate());
/// the swipe search reads a vpk::MotionSource; the connect sounds go through
/// vpk::EventSound; the adapter-off alert through vpk::Application::userAlert().
///
/// Ownership: the manager owns the central, every VPKPeripheral (registry) and the
/// recording writer it started. Peripherals hold the manager weakly. sharedManager() lives
/// for the process; a manager made with create() lives while its creator holds it.
///
/// Name mapping (selector -> C++):
///   initWithQueue: / initWithQueue:options:    -> create(queue) / create(queue, options)
///   stopSearchingForDevicesAfterDelay:         -> stopSearchingForDevicesAfterDelay(seconds)
///   distanceForRSSI:                           -> distanceForRSSI(rssi)
///   setUpdateHandler:forKey:                   -> setUpdateHandler(block, key)
///   setNotificationsEnabled:forUpdates:forKey: -> setNotificationsEnabled(enabled, reasons, key)
///   setUpdateNotificationReasons:forKey:       -> setUpdateNotificationReasons(reasons, key)
///   notifyUpdateBlocks:device:                 -> notifyUpdateBlocks(reason, peripheral)
///   startRecordingDataWithHeader:              -> startRecordingDataWithHeader(header)
///   generateDiagnosticsReportForConnectedDevice: -> generateDiagnosticsReportForConnectedDevice(callback)
///   centralManager...:                         -> the vpk::BluetoothCentralDelegate overrides
///   the VPKPeripheralManager operations        -> same names (what a headband asks of us)

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/device/VPKDeviceHandle.h>
#include <VemraPlatformKit/device/VPKPeripheral.h>
#include <VemraPlatformKit/device/VPKPeripheralManager.h>
#include <VemraPlatformKit/frame/VPKTimer.h>
#include <VemraPlatformKit/manager/VPKBluetoothManagerNotifications.h>
#include <VemraPlatformKit/manager/VPKDeviceUpdate.h>
#include <VemraPlatformKit/platform/application/Application.h>
#include <VemraPlatformKit/platform/audio/EventSound.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedWorld.h>
#include <VemraPlatformKit/platform/motion/MotionSource.h>
#include <VemraPlatformKit/platform/notifications/NotificationCenter.h>
#include <VemraPlatformKit/platform/values/Value.h>
#include <VemraPlatformKit/recording/VPKSignalStreamFileHandle.h>

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vpk::detail {
class UpdateHandlerTable;
class RecordingControl;
}  // namespace vpk::detail

class VPK_EXPORT VPKBluetoothManager : public VPKPeripheralManager,
                                       public vpk::BluetoothCentralDelegate,
                                       public std::enable_shared_from_this<VPKBluetoothManager> {
  struct Token {
    explicit Token() = default;
  };

 public:
  using Ptr = std::shared_ptr<VPKBluetoothManager>;

  struct Options {
    /// Central options (the power alert flag; the backend when no world is given).
    vpk::BluetoothCentralOptions central;
    /// A simulated world to use instead of the backend (tests, demos).
    vpk::SimulatedWorldPtr world;
    /// The accelerometer of the swipe search (default: vpk::MotionSource::createDefault()).
    vpk::MotionSourcePtr motionSource;
    /// The connect sounds (default: the process's vpk::EventSound::createDefault()).
    std::shared_ptr<vpk::EventSound> eventSound;
  };

  /// Scan option bits: 1 and 2 on every search, 4 (allow duplicates) for a swipe search.
  static constexpr unsigned kScanOptionsSearch = 3;
  static constexpr unsigned kScanOptionsSwipe = 7;
  /// Swipe: an x change of at least 0.55 g starts a 1 s duplicate-reporting search, and the
  /// first headband heard at -37 dBm or stronger is connected.
  static constexpr int kSwipeConnectRSSI = -37;
  /// Shortest status-query interval.
  static constexpr double kMinimumQueryInterval = 0.025;
  /// A button press this long powers the headband down.
  static constexpr double kPowerOffPressDuration = 10.0;
  /// A headband whose firmware identification has not arrived this long after its
  /// characteristics were ready is asked again ("Q1": its reply or a write may have been
  /// lost); after kFirmwareQueryAttempts unanswered queries it is disconnected, so its
  /// connect callbacks receive the code-3 error instead of waiting for ever.
  static constexpr double kFirmwareReplyTimeout = 3.0;
  static constexpr unsigned kFirmwareQueryAttempts = 3;
  /// Period of the save of history, preferred record and device stores.
  static constexpr double kSaveInterval = 15.0;
  /// Pre-connect and connect sound events.
  static constexpr const char* kPreConnectSound = "device-added";
  static constexpr const char* kConnectSound = "device-removed";

  /// The process-wide manager, created on first use (central options: no power alert).
  static Ptr sharedManager();
  /// A separate manager; `queue` has no effect (the central always runs on the shared
  /// work queue).
  static Ptr create(vpk::DispatchQueuePtr queue, Options options);
  static Ptr create(vpk::DispatchQueuePtr queue);
  /// Stops the timers and the motion source.
  ~VPKBluetoothManager() override;
  VPKBluetoothManager(const VPKBluetoothManager&) = delete;
  VPKBluetoothManager& operator=(const VPKBluetoothManager&) = delete;

  // ---- adapter ----
  /// The central's state (vpk::BluetoothAdapterState values 0-5; 0 before set-up).
  int state() const;
  bool isBluetoothPoweredOn() const;
  bool isAbleToScan() const;
  bool isAuthorizedToUseBluetooth() const;
  static const vpk::BluetoothUUID& deviceServiceUUID();
  static const vpk::BluetoothUUID& deviceOTAUUID();
  /// [main service, update service].
  std::vector<vpk::BluetoothUUID> devicesUUIDs() const;
  /// Whether the companion application is part of this process: never on Linux.
  static bool allowsVemraApplicationSupport();
  /// The central (nullptr before set-up). Shared work queue.
  vpk::BluetoothCentralPtr central() const;

  // ---- search ----
  void startSearchingForDevices();
  void stopSearchingForDevices();
  /// Stops the search `seconds` from now; called off the work queue, the time until the
  /// request reaches the queue counts against the delay.
  void stopSearchingForDevicesAfterDelay(double seconds);
  void startSwipeBasedAutoConnection();
  void stopSwipeBasedAutoConnection();
  bool isSearchingForDevices() const;
  /// A search was asked for while the adapter could not scan; it starts at power-on.
  bool searchWhenBLEEnabled() const;
  /// Options of the running scan (0 when none).
  unsigned currentScanOptions() const;
  bool isPerformingSwipeBasedSearch() const;
  /// The swipe search's motion source.
  vpk::MotionSourcePtr motionSource() const { return motion_; }

  // ---- teardown ----
  /// Disconnects every headband (each goes through the disconnection steps without an
  /// error) and empties the registry.
  void terminateAllConnections();
  /// Timers, delayed stop, update handlers (their masks stay), swipe, search, connections.
  void reset();
  /// When the adapter is not on: asks the user (vpk::Application::userAlert()) to turn it on.
  void displayBluetoothPoweredOffAlertIfNeeded();

  // ---- sounds, distance ----
  static void playPreConnectNoise();
  static void playConnectNoise();
  /// Metres: 10 ^ ((rssi + 62) / -34); infinity for VPKPeripheral::kMissingRSSI (no reading).
  static double distanceForRSSI(int rssi);

  // ---- work-queue helpers ----
  void performBlock(vpk::Task task);
  void performBlockAndWait(const vpk::Task& task);
  /// At once when already on the work queue, else asynchronously.
  void performBlockWaitIfPossible(vpk::Task task);
  bool isCurrentlyInQueue() const;
  /// From the work queue, runs `task` on the main queue (asynchronously for the caller).
  void performAsynchronousBlock(vpk::Task task);
  /// Runs `task` on the main queue and waits (at once when called on the main thread).
  void performSynchronousBlock(const vpk::Task& task);
  vpk::ApplicationState applicationState() const;

  // ---- registry, history, preferred headband ----
  /// Registered headbands, strongest signal first; those without a reading
  /// (VPKPeripheral::kMissingRSSI) last.
  std::vector<VPKPeripheralPtr> allDevices() const;
  /// Handles: the connected headband first, the rest by name; discarded headbands, headbands
  /// without a handle and (with shouldDiscardUnavailableDevices) powered-off ones left out;
  /// empty while all connections are being terminated.
  std::vector<VPKDeviceHandlePtr> availableDevices() override;
  VPKDeviceHandlePtr connectedDevice() override;
  /// The connected headband's object (nullptr when none). Waits for the work queue.
  VPKPeripheralPtr connectedPeripheral() const;
  /// Calls `callback` on the main queue with the connected handle (or nullptr).
  void retrieveConnectedDevice(std::function<void(const VPKDeviceHandlePtr&)> callback);
  /// Identifiers of headbands asked to connect, oldest first.
  vpk::ValueOrderedSet deviceIdentifierHistory() const;
  std::optional<vpk::ValueDictionary> preferredDeviceInfo() const;
  void setPreferredDeviceInfo(std::optional<vpk::ValueDictionary> record);
  void clearAutoConnectedDeviceInfo() { setPreferredDeviceInfo(std::nullopt); }
  /// The radio peripheral the central knows under the record's identifier, or nullptr.
  vpk::BluetoothPeripheralPtr preferredPeripheral();
  /// The record and the headband have the same hardware identifier.
  bool deviceIsPreferred(const VPKPeripheralPtr& peripheral) const;
  /// The headband is the most recent history entry.
  bool deviceIsAutoConnectableDevice(const VPKPeripheralPtr& peripheral) const;
  /// Connects the preferred headband if the central knows it; true when connected,
  /// connecting or asked to connect.
  bool attemptToConnectToPreferredDevice();
  /// Forgets a headband known only by its identifier (e.g. from an earlier launch): the
  /// registered headband as forgetDevice() does; otherwise its history entry and its store
  /// file. A preferred record naming it is cleared too. Unsafe identifiers are refused.
  void forgetDeviceWithIdentifier(const std::string& identifier);
  bool writeDeviceHistory();
  bool writeAutoConnectInfo();
  bool hasUnsavedDeviceHistoryChanges() const;
  bool hasUnsavedAutoConnectChanges() const;
  bool shouldDiscardUnavailableDevices() const;
  void setShouldDiscardUnavailableDevices(bool discard);
  /// Client flags kept for the application.
  bool hasAutoConnectInfo() const { return hasAutoConnectInfo_; }
  void setHasAutoConnectInfo(bool v) { hasAutoConnectInfo_ = v; }
  bool autoConnectNearestDisabled() const { return autoConnectNearestDisabled_; }
  void setAutoConnectNearestDisabled(bool v) { autoConnectNearestDisabled_ = v; }
  bool allowMultipleConnections() const { return false; }
  bool performingDiagnostics() const { return performingDiagnostics_; }
  void setPerformingDiagnostics(bool v) { performingDiagnostics_ = v; }

  // ---- update handlers ----
  /// Registers `block` under `key` (nullptr removes the key's handler; its mask stays).
  void setUpdateHandler(VPKDeviceUpdateBlock block, const std::string& key);
  void removeUpdateHandlerForKey(const std::string& key) { setUpdateHandler(nullptr, key); }
  /// Enabling keeps the reasons allowed already and in `reasons`; disabling removes them.
  void setNotificationsEnabled(bool enabled, VPKDeviceUpdateReason reasons, const std::string& key);
  /// The key's mask becomes exactly `reasons`.
  void setUpdateNotificationReasons(VPKDeviceUpdateReason reasons, const std::string& key);
  /// The key's remembered mask.
  std::optional<VPKDeviceUpdateReason> updateNotificationReasons(const std::string& key) const;
  /// Raises `reason` for `peripheral` (shared work queue).
  void notifyUpdateBlocks(VPKDeviceUpdateReason reason, const VPKPeripheralPtr& peripheral);
  /// Notifications raised between these two are delivered when the last end is reached.
  void beginNotificationGrouping();
  void endNotificationGrouping();

  // ---- recording ----
  /// Starts recording the connected headband's stream to a new temporary file with
  /// `header`; returns the writer (the running one when already recording), or nullptr
  /// without a connected headband. When it closes, a recording of 2.0 s or more is posted
  /// as VPKBluetoothManagerFinishedRecordedNotification, a shorter one is deleted.
  VPKSignalStreamFileHandlePtr startRecordingDataWithHeader(const std::optional<vpk::ValueDictionary>& header);
  /// Stops the recording (the file is closed after everything received so far).
  void stopRecordingData();
  bool recordData() const;
  VPKSignalStreamFileHandlePtr currentFileHandle() const;

  // ---- diagnostics ----
  /// The report file on success; no file (and, today, no error) on failure.
  using DiagnosticsReportCallback =
      std::function<void(const std::optional<std::filesystem::path>& report, const std::optional<VPKError>& error)>;
  /// Any thread. With a connected headband, runs its diagnostics run (about 30 s,
  /// VPKPeripheral::generateDiagnosticsReport) and passes the result on; without one, calls
  /// back at once with neither. The callback arrives once, on the main queue.
  void generateDiagnosticsReportForConnectedDevice(DiagnosticsReportCallback callback);

  // ---- VPKPeripheralManager (what a headband asks of its manager; shared work queue) ----
  void connectDevice(const PeripheralPtr& peripheral) override;
  void disconnectDevice(const PeripheralPtr& peripheral) override;
  void openDeviceStream(const PeripheralPtr& peripheral) override;
  void closeDeviceStream(const PeripheralPtr& peripheral) override;
  void powerDownDevice(const PeripheralPtr& peripheral) override;
  void forgetDevice(const PeripheralPtr& peripheral) override;
  /// Writes unsaved history, preferred record and headband stores.
  void saveDeviceInfo() override;
  void handleDeviceBatteryUpdate(const PeripheralPtr& peripheral) override;
  void handleDeviceChargeStateChanged(const PeripheralPtr& peripheral) override;
  void handleDevicePowerButtonPressed(const PeripheralPtr& peripheral) override;
  void handleDevicePowerButtonHeld(const PeripheralPtr& peripheral) override;
  void handleDevicePowerButtonReleased(const PeripheralPtr& peripheral) override;
  void handleDeviceReadFirmwareVersion(const PeripheralPtr& peripheral) override;
  void resetConnectionUpdateTimer() override;
  void didDiscoverServices(const PeripheralPtr& peripheral, const std::optional<vpk::BluetoothError>& error) override;
  void didDiscoverCharacteristics(const PeripheralPtr& peripheral, const vpk::BluetoothServicePtr& service,
                                  const std::optional<vpk::BluetoothError>& error) override;
  void didReadRSSI(const PeripheralPtr& peripheral, std::optional<int> rssi,
                   const std::optional<vpk::BluetoothError>& error) override;

  // ---- vpk::BluetoothCentralDelegate (shared work queue) ----
  void didUpdateState(vpk::BluetoothCentral& central) override;
  void didDiscoverPeripheral(vpk::BluetoothCentral& central, const vpk::BluetoothPeripheralPtr& peripheral,
                             const vpk::BluetoothAdvertisementData& advertisement, std::optional<int> rssi) override;
  void didConnectPeripheral(vpk::BluetoothCentral& central, const vpk::BluetoothPeripheralPtr& peripheral) override;
  void didDisconnectPeripheral(vpk::BluetoothCentral& central, const vpk::BluetoothPeripheralPtr& peripheral,
                               const std::optional<vpk::BluetoothError>& error) override;
  void didFailToConnectPeripheral(vpk::BluetoothCentral& central, const vpk::BluetoothPeripheralPtr& peripheral,
                                  const std::optional<vpk::BluetoothError>& error) override;

  // ---- inspection (shared work queue; for tests and tools) ----
  std::shared_ptr<VPKTimer> connectedDeviceUpdateTimer() const { return updateTimer_; }
  std::shared_ptr<VPKTimer> connectedDeviceRSSIUpdateTimer() const { return rssiTimer_; }
  /// The registered headband of a radio peripheral, or nullptr.
  VPKPeripheralPtr peripheralFor(const vpk::BluetoothPeripheralPtr& peripheral) const;

  VPKBluetoothManager(Token, Options options);  // use create()

 private:
  void setupWithOptions();
  bool redispatched(void (VPKBluetoothManager::*method)());
  void cancelDelayedStop();
  void installApplicationObservers();
  void handleApplicationEvent(bool terminating);
  bool scanWithOptions(unsigned options);
  void notifySearchStatusChange();
  void handleBluetoothPowerOff();
  void stopAllTimers();
  void watchFirmwareReply(const VPKPeripheralPtr& peripheral, unsigned attempt);
  void connectedDeviceUpdateTimerFired();
  void connectedDeviceRSSITimerFired();
  void processDisconnectedDevice(const VPKPeripheralPtr& peripheral, const std::optional<vpk::BluetoothError>& error);
  void processDeviceStoppedStreaming(const VPKPeripheralPtr& peripheral);
  void resetLinkState(const VPKPeripheralPtr& peripheral);
  void handleMotion(const vpk::AccelerometerSample& sample);
  void nameIfUnnamed(const VPKPeripheralPtr& peripheral);
  void moveToEndOfHistory(const std::string& identifier);
  void stopSearchingAfterDelayOnQueue(double seconds);
  bool isRegistered(const VPKPeripheralPtr& peripheral) const;

  Options options_;
  vpk::MotionSourcePtr motion_;
  vpk::BluetoothCentralPtr central_;
  std::map<vpk::BluetoothPeripheralPtr, VPKPeripheralPtr> devices_;
  VPKPeripheralPtr connected_;
  bool searching_ = false;
  bool searchWhenBLEEnabled_ = false;
  unsigned currentScanOptions_ = 0;
  std::shared_ptr<VPKTimer> delayedStopTimer_;
  bool swipeSearch_ = false;
  vpk::DispatchQueuePtr motionQueue_;
  std::mutex motionMutex_;
  std::optional<vpk::AccelerometerSample> previousMotion_;
  std::shared_ptr<VPKTimer> updateTimer_;
  std::shared_ptr<VPKTimer> rssiTimer_;
  bool terminatingAllConnections_ = false;
  bool performingDiagnostics_ = false;

  std::shared_ptr<vpk::detail::UpdateHandlerTable> updates_;
  std::unique_ptr<vpk::detail::RecordingControl> recording_;

  vpk::ValueOrderedSet history_;
  bool unsavedHistory_ = false;
  std::optional<vpk::ValueDictionary> preferred_;
  bool unsavedPreferred_ = false;
  std::shared_ptr<VPKTimer> saveTimer_;
  bool shouldDiscardUnavailableDevices_ = false;
  bool hasAutoConnectInfo_ = false;
  bool autoConnectNearestDisabled_ = false;
  std::vector<vpk::NotificationCenter::Token> observers_;
};

using VPKBluetoothManagerPtr = std::shared_ptr<VPKBluetoothManager>;
