#include <VemraPlatformKit/manager/VPKBluetoothManager.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VPKStorage.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>

#include <VemraPlatformKit/platform/files/PathSafety.h>

#include "manager/DeviceHistoryStore.h"
#include "manager/RecordingControl.h"
#include "manager/UpdateHandlerTable.h"
#include "platform/dispatch/ThreadContext.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <mutex>

using vpk::BluetoothAdapterState;
using vpk::BluetoothError;
using vpk::BluetoothPeripheralPtr;

namespace {

constexpr const char* kDisconnectedBeforeConnectedText = "The device was disconnected before finalizing connection";

VPKError toVPKError(const BluetoothError& error) { return VPKError{error.domain, error.code, error.description}; }

// The status timer's interval for a query rate: the rate, at least the floor (NaN too).
double queryInterval(double rate) {
  return rate >= VPKBluetoothManager::kMinimumQueryInterval ? rate : VPKBluetoothManager::kMinimumQueryInterval;
}

std::optional<VPKError> toVPKError(const std::optional<BluetoothError>& error) {
  if (!error) return std::nullopt;
  return toVPKError(*error);
}

std::string describe(const std::optional<BluetoothError>& error) {
  return error ? toVPKError(*error).fullDescription() : std::string("(null)");
}

// The process's connect-sound player (made on first use).
std::shared_ptr<vpk::EventSound>& processSound() {
  static auto* sound = new std::shared_ptr<vpk::EventSound>();
  return *sound;
}
std::mutex& processSoundMutex() {
  static auto* m = new std::mutex();
  return *m;
}

void playSound(const char* event) {
  std::shared_ptr<vpk::EventSound> sound;
  {
    std::lock_guard lock(processSoundMutex());
    if (!processSound()) processSound() = vpk::EventSound::createDefault();
    sound = processSound();
  }
  sound->play(event);
}

template <class T, class F>
T onQueue(F&& f) {
  return vpkrsrc_return_sync(std::forward<F>(f));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Creation
// ---------------------------------------------------------------------------------------

VPKBluetoothManager::VPKBluetoothManager(Token, Options options)
    : options_(std::move(options)),
      updates_(std::make_shared<vpk::detail::UpdateHandlerTable>()),
      recording_(std::make_unique<vpk::detail::RecordingControl>()) {
  motion_ = options_.motionSource ? options_.motionSource : vpk::MotionSource::createDefault();
  if (options_.eventSound) {
    std::lock_guard lock(processSoundMutex());
    processSound() = options_.eventSound;
  }
}

VPKBluetoothManager::~VPKBluetoothManager() {
  for (auto token : observers_) vpk::NotificationCenter::defaultCenter().removeObserver(token);
  if (updateTimer_) updateTimer_->invalidate();
  if (rssiTimer_) rssiTimer_->invalidate();
  if (saveTimer_) saveTimer_->invalidate();
  if (delayedStopTimer_) delayedStopTimer_->invalidate();
  if (motion_) motion_->stop();
}

VPKBluetoothManager::Ptr VPKBluetoothManager::sharedManager() {
  static std::once_flag once;
  static Ptr* shared = nullptr;
  std::call_once(once, [] {
    Options options;
    options.central.showPowerAlert = false;
    shared = new Ptr(create(VPKResourceManager::sharedQueue(), std::move(options)));
    VPKPeripheralManager::setSharedManagerProvider([] { return std::static_pointer_cast<VPKPeripheralManager>(*shared); });
  });
  return *shared;
}

VPKBluetoothManager::Ptr VPKBluetoothManager::create(vpk::DispatchQueuePtr, Options options) {
  auto manager = std::make_shared<VPKBluetoothManager>(Token{}, std::move(options));
  std::weak_ptr<VPKBluetoothManager> weak = manager;
  auto setup = [weak] {
    if (auto self = weak.lock()) self->setupWithOptions();
  };
  // In context the set-up runs at once, so that a caller already on the queue finds the
  // manager ready; elsewhere it is the queue's next task, ahead of anything the caller asks.
  if (VPKResourceManager::executingInContext()) {
    setup();
  } else {
    VPKResourceManager::performBlock(setup);
  }
  return manager;
}

VPKBluetoothManager::Ptr VPKBluetoothManager::create(vpk::DispatchQueuePtr queue) { return create(std::move(queue), {}); }

void VPKBluetoothManager::setupWithOptions() {
  preferred_ = vpk::detail::DeviceHistoryStore::loadPreferredDeviceInfo();
  shouldDiscardUnavailableDevices_ = true;
  std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
  auto queue = VPKResourceManager::sharedQueue();
  if (options_.world) {
    central_ = options_.world->createCentral(weak, queue);
  } else {
    central_ = vpk::BluetoothCentral::create(weak, queue, options_.central);
  }
  if (!central_) VPKLog(1, "No Bluetooth central could be created; searches stay pending");
  devices_.clear();

  updateTimer_ = VPKTimer::create(queue, 2.0, [weak](const std::shared_ptr<VPKTimer>&) {
    if (auto self = weak.lock()) self->connectedDeviceUpdateTimerFired();
  });
  updateTimer_->setName("connectedDeviceUpdateTimer");
  rssiTimer_ = VPKTimer::create(queue, 5.0, [weak](const std::shared_ptr<VPKTimer>&) {
    if (auto self = weak.lock()) self->connectedDeviceRSSITimerFired();
  });
  rssiTimer_->setName("connectedDeviceRSSIUpdateTimer");
  rssiTimer_->setLeeway(2.0);
  rssiTimer_->setContinuous(true);

  if (vpkrsrc_get_file(vpk::detail::DeviceHistoryStore::kHistoryFile,
                       vpk::detail::DeviceHistoryStore::kHistoryDirectory)) {
    history_ = vpk::detail::DeviceHistoryStore::loadHistory();
  } else {
    history_ = {};
  }
  installApplicationObservers();
  saveTimer_ = VPKTimer::create(queue, kSaveInterval, [weak](const std::shared_ptr<VPKTimer>&) {
    if (auto self = weak.lock()) self->saveDeviceInfo();
  });
  saveTimer_->setName("saveDeviceInfoTimer");
  saveTimer_->setLeeway(10.0);
  saveTimer_->setContinuous(true);
  saveTimer_->activate();
  VPKLog(0, "Loaded BLE device history:{}", vpk::Value(history_).description());
}

void VPKBluetoothManager::installApplicationObservers() {
  std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
  auto& center = vpk::NotificationCenter::defaultCenter();
  observers_.push_back(center.addObserver(vpk::kApplicationWillResignActiveNotification, [weak](const vpk::Notification&) {
    if (auto self = weak.lock()) self->handleApplicationEvent(false);
  }));
  observers_.push_back(center.addObserver(vpk::kApplicationWillTerminateNotification, [weak](const vpk::Notification&) {
    if (auto self = weak.lock()) self->handleApplicationEvent(true);
  }));
}

// Runs on the posting thread: the work moves to the queue inside a background task, which
// the application's will-terminate call waits for.
void VPKBluetoothManager::handleApplicationEvent(bool terminating) {
  const uint64_t task = vpk::Application::beginBackgroundTask();
  std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
  VPKResourceManager::performBlock([weak, task, terminating] {
    if (auto self = weak.lock()) {
      if (self->saveTimer_) self->saveTimer_->deactivate();
      self->saveDeviceInfo();
      if (terminating) {
        // The recording is closed whole before the process ends: everything received is
        // written and synchronised (the writer's queue never waits for this one).
        if (auto writer = self->recording_->stop()) writer->closeFile();
      }
    }
    vpk::Application::endBackgroundTask(task);
  });
}

// ---------------------------------------------------------------------------------------
// Adapter
// ---------------------------------------------------------------------------------------

int VPKBluetoothManager::state() const {
  return onQueue<int>([this] { return central_ ? static_cast<int>(central_->state()) : 0; });
}
bool VPKBluetoothManager::isBluetoothPoweredOn() const { return state() == static_cast<int>(BluetoothAdapterState::PoweredOn); }
bool VPKBluetoothManager::isAbleToScan() const { return isBluetoothPoweredOn(); }
bool VPKBluetoothManager::isAuthorizedToUseBluetooth() const {
  return state() != static_cast<int>(BluetoothAdapterState::Unauthorized);
}
const vpk::BluetoothUUID& VPKBluetoothManager::deviceServiceUUID() { return VPKPeripheral::deviceServiceUUID(); }
const vpk::BluetoothUUID& VPKBluetoothManager::deviceOTAUUID() { return VPKPeripheral::deviceOTAUUID(); }
std::vector<vpk::BluetoothUUID> VPKBluetoothManager::devicesUUIDs() const {
  return {deviceServiceUUID(), deviceOTAUUID()};
}
bool VPKBluetoothManager::allowsVemraApplicationSupport() { return false; }
vpk::BluetoothCentralPtr VPKBluetoothManager::central() const {
  return onQueue<vpk::BluetoothCentralPtr>([this] { return central_; });
}

void VPKBluetoothManager::didUpdateState(vpk::BluetoothCentral& central) {
  vpk::NotificationCenter::defaultCenter().postOnMain(VPKBluetoothManagerChangedStateNotification, shared_from_this());
  switch (central.state()) {
    case BluetoothAdapterState::Unknown:
    case BluetoothAdapterState::Resetting:
    case BluetoothAdapterState::Unsupported:
    case BluetoothAdapterState::Unauthorized: {
      static const char* const kText[] = {"Bluetooth state unknown...", "Bluetooth resetting...",
                                          "Bluetooth unsupported...", "Bluetooth unauthorized..."};
      VPKLog(1, "{}", kText[static_cast<int>(central.state())]);
      searchWhenBLEEnabled_ = searching_;
      searching_ = false;
      break;
    }
    case BluetoothAdapterState::PoweredOff: {
      VPKLog(1, "Bluetooth powered off...");
      const bool wasSearching = searching_;
      stopSearchingForDevices();
      searchWhenBLEEnabled_ = wasSearching;
      handleBluetoothPowerOff();
      break;
    }
    case BluetoothAdapterState::PoweredOn:
      VPKLog(1, "Bluetooth powered on...");
      if (searchWhenBLEEnabled_) {
        searchWhenBLEEnabled_ = false;
        startSearchingForDevices();
      }
      break;
  }
}

// Every link is gone with the adapter; the search is asked for again and, refused while the
// adapter is off, waits for the next power-on.
void VPKBluetoothManager::handleBluetoothPowerOff() {
  stopSearchingForDevices();
  terminateAllConnections();
  startSearchingForDevices();
}

void VPKBluetoothManager::displayBluetoothPoweredOffAlertIfNeeded() {
  std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
  VPKResourceManager::performBlock([weak] {
    auto self = weak.lock();
    if (!self || (self->central_ && self->central_->state() == BluetoothAdapterState::PoweredOn)) return;
    vpk::DispatchQueue::main()->async([] {
      vpk::Application::userAlert()->show("Bluetooth is off",
                                          "Turn Bluetooth on to connect to your Vemra headband.");
    });
  });
}

// ---------------------------------------------------------------------------------------
// Search
// ---------------------------------------------------------------------------------------

// Called off the shared queue, posts `method` there (the manager held weakly) and says so.
bool VPKBluetoothManager::redispatched(void (VPKBluetoothManager::*method)()) {
  if (VPKResourceManager::executingInContext()) return false;
  std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
  VPKResourceManager::performBlock([weak, method] {
    if (auto self = weak.lock()) ((*self).*method)();
  });
  return true;
}

void VPKBluetoothManager::cancelDelayedStop() {
  if (!delayedStopTimer_) return;
  delayedStopTimer_->invalidate();
  delayedStopTimer_.reset();
}

bool VPKBluetoothManager::scanWithOptions(unsigned options) {
  if (!central_ || central_->state() != BluetoothAdapterState::PoweredOn) {
    currentScanOptions_ = 0;
    return false;
  }
  currentScanOptions_ = options;
  central_->stopScan();
  central_->scanForPeripherals(devicesUUIDs(), (options & 4) != 0);
  return true;
}

void VPKBluetoothManager::notifySearchStatusChange() {
  VPKLog(0, "Search status changed:{}", searching_ ? 1 : 0);
  vpk::NotificationCenter::defaultCenter().enqueueWhenIdleOnMain(VPKBluetoothManagerChangedSearchingStateNotification,
                                                                 shared_from_this());
}

void VPKBluetoothManager::startSearchingForDevices() {
  if (redispatched(&VPKBluetoothManager::startSearchingForDevices)) return;
  cancelDelayedStop();
  VPKLog(1, "Starting search for devices...");
  if (scanWithOptions(swipeSearch_ ? kScanOptionsSwipe : kScanOptionsSearch)) {
    const bool was = searching_;
    searching_ = true;
    searchWhenBLEEnabled_ = false;
    if (!was) notifySearchStatusChange();
  } else {
    const bool changed = swipeSearch_ || searching_ || !searchWhenBLEEnabled_;
    swipeSearch_ = false;
    searching_ = false;
    searchWhenBLEEnabled_ = true;
    if (changed) notifySearchStatusChange();
    if (central_ && central_->state() == BluetoothAdapterState::PoweredOn) central_->stopScan();
  }
}

void VPKBluetoothManager::stopSearchingForDevices() {
  if (redispatched(&VPKBluetoothManager::stopSearchingForDevices)) return;
  cancelDelayedStop();
  swipeSearch_ = false;
  VPKLog(1, "Stopping all device searches...");
  const bool changed = searching_ || searchWhenBLEEnabled_;
  searching_ = false;
  searchWhenBLEEnabled_ = false;
  currentScanOptions_ = 0;
  if (changed) notifySearchStatusChange();
  if (central_ && central_->state() == BluetoothAdapterState::PoweredOn) central_->stopScan();
}

void VPKBluetoothManager::stopSearchingAfterDelayOnQueue(double seconds) {
  VPKLog(1, "Stopping device search after delay({}s)", seconds);
  if (delayedStopTimer_) delayedStopTimer_->invalidate();
  VPKLog(0, "Stopping delay search canellation...");
  std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
  delayedStopTimer_ = VPKTimer::create(VPKResourceManager::sharedQueue(), seconds,
                                       [weak](const std::shared_ptr<VPKTimer>&) {
                                         if (auto self = weak.lock()) self->stopSearchingForDevices();
                                       });
  delayedStopTimer_->setName("delayedStopSearchingTimer");
  delayedStopTimer_->setContinuous(false);
  delayedStopTimer_->activate();
}

void VPKBluetoothManager::stopSearchingForDevicesAfterDelay(double seconds) {
  if (VPKResourceManager::executingInContext()) {
    stopSearchingAfterDelayOnQueue(seconds);
    return;
  }
  const double asked = vpk::Clock::timestamp();
  std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
  VPKResourceManager::performBlock([weak, asked, seconds] {
    auto self = weak.lock();
    if (!self) return;
    const double remaining = seconds - std::fabs(vpk::Clock::timestamp() - asked);
    if (remaining <= 0) {
      VPKLog(0, "Delay ellapsed before search could be stopped, stopping now:{}", remaining);
      self->stopSearchingForDevices();
    } else {
      self->stopSearchingAfterDelayOnQueue(remaining);
      VPKLog(0, "Adjusted delay:{}", remaining);
    }
  });
}

bool VPKBluetoothManager::isSearchingForDevices() const {
  return onQueue<bool>([this] { return searching_; });
}
bool VPKBluetoothManager::searchWhenBLEEnabled() const {
  return onQueue<bool>([this] { return searchWhenBLEEnabled_; });
}
unsigned VPKBluetoothManager::currentScanOptions() const {
  return onQueue<unsigned>([this] { return currentScanOptions_; });
}
bool VPKBluetoothManager::isPerformingSwipeBasedSearch() const {
  return onQueue<bool>([this] { return swipeSearch_; });
}

void VPKBluetoothManager::startSwipeBasedAutoConnection() {
  if (!motionQueue_) motionQueue_ = vpk::DispatchQueue::createSerial("com.ulko.vpk.motion");
  std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
  motion_->start(1.0, motionQueue_, [weak](const vpk::AccelerometerSample& sample) {
    if (auto self = weak.lock()) self->handleMotion(sample);
  });
}

// Runs on the motion queue; previousMotion_ is shared with the work queue under motionMutex_.
void VPKBluetoothManager::handleMotion(const vpk::AccelerometerSample& sample) {
  std::optional<vpk::AccelerometerSample> previous;
  {
    std::lock_guard lock(motionMutex_);
    previous = previousMotion_;
    previousMotion_ = sample;
  }
  if (previous) {
    const double dx = previous->x - sample.x;
    // std::round rounds halves away from zero: |dx| of 0.55 g and more counts.
    if (std::round(std::fabs(dx) * 10) >= 6) {
      VPKResourceManager::performBlockAndWait([this] {
        if (swipeSearch_) return;
        swipeSearch_ = true;
        startSearchingForDevices();
        stopSearchingForDevicesAfterDelay(1.0);
      });
    }
  }
}

void VPKBluetoothManager::stopSwipeBasedAutoConnection() {
  motion_->stop();
  auto body = [this] {
    if (!swipeSearch_) return;
    swipeSearch_ = false;
    std::lock_guard lock(motionMutex_);
    previousMotion_.reset();
    if (!connected_) stopSearchingForDevicesAfterDelay(8.0);
  };
  if (VPKResourceManager::executingInContext()) {
    body();
  } else {
    VPKResourceManager::performBlockAndWait(body);
  }
}

// ---------------------------------------------------------------------------------------
// Discovery
// ---------------------------------------------------------------------------------------

void VPKBluetoothManager::nameIfUnnamed(const VPKPeripheralPtr& peripheral) {
  const vpk::Value manualName = peripheral->objectForKey("manualName");
  const bool empty = !manualName.isString() || manualName.getString()->empty();
  if (!empty || peripheral->isInOTAMode()) return;
  const std::string hw = peripheral->hardwareIdentifier().value_or("");
  const std::string suffix = hw.size() > 3 ? hw.substr(3, 3) : std::string();
  peripheral->setObject(vpk::Value("Vemra " + suffix), "manualName");
}

void VPKBluetoothManager::didDiscoverPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr& radio,
                                                const vpk::BluetoothAdvertisementData& advertisement,
                                                std::optional<int> rssi) {
  VPKPeripheralPtr peripheral = peripheralFor(radio);
  const unsigned long previousStatus = peripheral ? peripheral->status() : VPKDeviceStatusIdle;
  if (peripheral && previousStatus != VPKDeviceStatusPoweredOff) {
    peripheral->setRSSI(rssi);
    if (rssiTimer_ && rssiTimer_->isActive()) {
      rssiTimer_->deactivate();
      rssiTimer_->activate();
    }
    notifyUpdateBlocks(VPKDeviceUpdateRSSIChanged, peripheral);
    peripheral->setLastDuplicateDiscovery(vpk::Clock::timestamp());
  } else {
    if (!peripheral) peripheral = VPKPeripheral::create(radio, weak_from_this(), advertisement, rssi);
    if (!peripheral) return;
    peripheral->setLastDuplicateDiscovery(std::nullopt);
    peripheral->setDistance(distanceForRSSI(peripheral->RSSI()));
    peripheral->setStatus(VPKDeviceStatusDisconnected);
    peripheral->setRemoveOnDisconnect(false);
    devices_[radio] = peripheral;
    nameIfUnnamed(peripheral);
    VPKLog(1, "Device discovered:{} RSSI:{}", peripheral->name(), peripheral->RSSI());
    if (deviceIsPreferred(peripheral) &&
        (previousStatus == VPKDeviceStatusPoweredOff || !peripheral->manuallyDisconnected())) {
      VPKLog(0, "Found auto connect device:{}", peripheral->name());
      peripheral->connectWithHandler([](const std::optional<VPKError>&) {});
      stopSearchingForDevices();
    } else {
      peripheral->setDistance(distanceForRSSI(peripheral->RSSI()));
      notifyUpdateBlocks(VPKDeviceUpdateDiscovered, peripheral);
    }
  }
  if (swipeSearch_ && peripheral->RSSI() >= kSwipeConnectRSSI) {
    swipeSearch_ = false;
    stopSearchingForDevices();
    stopSwipeBasedAutoConnection();
    peripheral->connectWithHandler(nullptr);
    vpk::DispatchQueue::main()->async([] { playConnectNoise(); });
  }
}

// ---------------------------------------------------------------------------------------
// Connection
// ---------------------------------------------------------------------------------------

void VPKBluetoothManager::moveToEndOfHistory(const std::string& identifier) {
  const vpk::Value id(identifier);
  if (!history_.empty() && history_[history_.size() - 1] == id) return;
  history_.remove(id);
  history_.insert(id);
  unsavedHistory_ = true;
}

void VPKBluetoothManager::connectDevice(const PeripheralPtr& peripheral) {
  if (!peripheral) return;
  stopAllTimers();
  if (connected_ && connected_ != peripheral) {
    connected_->disconnect();
    connected_.reset();
  }
  const unsigned long status = peripheral->status();
  if (status == VPKDeviceStatusIdle || status == VPKDeviceStatusDisconnected || status == VPKDeviceStatusPoweredOff) {
    peripheral->setStatus(VPKDeviceStatusConnecting);
    connected_ = peripheral;
    notifyUpdateBlocks(VPKDeviceUpdateWillConnect, peripheral);
    if (central_) central_->connect(peripheral->peripheral());
  }
  if (!peripheral->identifier().empty()) moveToEndOfHistory(peripheral->identifier());
}

void VPKBluetoothManager::didConnectPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr& radio) {
  auto peripheral = peripheralFor(radio);
  if (!peripheral) {
    // Not ours (a registry emptied meanwhile): do not keep a link nobody follows.
    if (central_) central_->cancelPeripheralConnection(radio);
    return;
  }
  peripheral->setNumberOfConnections(peripheral->numberOfConnections() + 1);
  if (connected_ && connected_ != peripheral) connected_->disconnect();
  connected_ = peripheral;
  stopAllTimers();
  stopSwipeBasedAutoConnection();
  stopSearchingForDevices();
  peripheral->discoverServices();
}

void VPKBluetoothManager::didDiscoverServices(const PeripheralPtr& peripheral,
                                              const std::optional<BluetoothError>& error) {
  if (!peripheral) return;
  std::string tokens;
  bool ota = false;
  for (const auto& service : peripheral->peripheral()->services()) {
    std::string token;
    if (service->uuid() == deviceServiceUUID()) token = "MAIN";
    if (service->uuid() == deviceOTAUUID()) {
      token = "OTA";
      ota = true;
    }
    if (token.empty()) continue;
    if (!tokens.empty()) tokens += ",";
    tokens += token;
  }
  if (ota) {
    const vpk::Value count = peripheral->objectForKey("otaDiscoveries");
    peripheral->setObject(vpk::Value(count.intValue() + 1), "otaDiscoveries");
  }
  VPKLog(0, "Discovered services({}) on device({}) error({})", tokens, peripheral->name(), describe(error));
  if (error) {
    peripheral->logError(*error, "serivceDiscoveryErrors");
    saveDeviceInfo();
    peripheral->setManuallyDisconnected(false);
    peripheral->setDiscarded(true);
    peripheral->setRemoveOnDisconnect(true);
    disconnectDevice(peripheral);
    std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
    VPKResourceManager::performBlock([weak] {
      if (auto self = weak.lock()) self->startSearchingForDevices();
    });
  }
}

void VPKBluetoothManager::didDiscoverCharacteristics(const PeripheralPtr& peripheral,
                                                     const vpk::BluetoothServicePtr& service,
                                                     const std::optional<BluetoothError>& error) {
  if (!peripheral || !service) return;
  stopAllTimers();
  const bool main = service->uuid() == deviceServiceUUID();
  std::string tokens;
  for (const auto& characteristic : service->characteristics()) {
    std::string token;
    const auto& uuid = characteristic->uuid();
    if (uuid == VPKPeripheral::rxCharacteristicUUID()) token = "RX";
    if (uuid == VPKPeripheral::txCharacteristicUUID()) token = "TX";
    if (uuid == VPKPeripheral::dfuCtrlCharacteristicUUID()) token = "OTACTRL";
    if (uuid == VPKPeripheral::dfuPktCharacteristicUUID()) token = "OTAPKT";
    if (token.empty()) continue;
    if (!tokens.empty()) tokens += ",";
    tokens += token;
  }
  VPKLog(0, "Discovered characteristics ({}) for service({}) on device({}) error({})", tokens, main ? "MAIN" : "OTA",
         peripheral->name(), describe(error));
  std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
  if (error) {
    peripheral->logError(*error, "characteristicDiscoveryErrors");
    saveDeviceInfo();
    peripheral->setManuallyDisconnected(false);
    disconnectDevice(peripheral);
    devices_.erase(peripheral->peripheral());
    VPKResourceManager::performBlock([weak] {
      if (auto self = weak.lock()) self->startSearchingForDevices();
    });
    return;
  }
  if (main) {
    std::weak_ptr<VPKPeripheral> weakPeripheral = peripheral;
    VPKResourceManager::performBlock(
        [weakPeripheral] {
          auto p = weakPeripheral.lock();
          if (!p) return;
          p->disableAutoDisconnect();
          p->updateSystemStatus();
          p->readFirmwareVersion();
        },
        0.001);
    watchFirmwareReply(peripheral, 1);
  } else if (service->uuid() == deviceOTAUUID()) {
    peripheral->resetOTASystem([](const std::optional<VPKError>&) {});
  }
}

void VPKBluetoothManager::watchFirmwareReply(const PeripheralPtr& peripheral, unsigned attempt) {
  // Stale once the headband is connected (its firmware read), gone, or on another connection.
  const unsigned long connection = peripheral->numberOfConnections();
  std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
  std::weak_ptr<VPKPeripheral> weakPeripheral = peripheral;
  VPKResourceManager::performBlock(
      [weak, weakPeripheral, connection, attempt] {
        auto self = weak.lock();
        auto p = weakPeripheral.lock();
        if (!self || !p || self->connected_ != p || p->numberOfConnections() != connection ||
            p->status() != VPKDeviceStatusConnecting)
          return;
        if (attempt < kFirmwareQueryAttempts) {
          VPKLog(1, "Device({}) did not answer the firmware query, asking again", p->name());
          p->readFirmwareVersion();
          self->watchFirmwareReply(p, attempt + 1);
          return;
        }
        VPKLog(1, "Device({}) never answered the firmware query, disconnecting", p->name());
        self->disconnectDevice(p);
      },
      kFirmwareReplyTimeout);
}

void VPKBluetoothManager::handleDeviceReadFirmwareVersion(const PeripheralPtr& peripheral) {
  if (!peripheral) return;
  if (updateTimer_) updateTimer_->activate();
  if (rssiTimer_) rssiTimer_->activate();
  peripheral->setStatus(VPKDeviceStatusConnected);
  peripheral->flushConnectHandlersWithError(std::nullopt);
  notifyUpdateBlocks(VPKDeviceUpdateDidConnect, peripheral);
}

// ---------------------------------------------------------------------------------------
// Timers of the connected headband
// ---------------------------------------------------------------------------------------

void VPKBluetoothManager::connectedDeviceUpdateTimerFired() {
  if (!connected_) return;
  const double rate = connected_->systemQueryRate();
  const double r = queryInterval(rate);
  if (connected_->status() != VPKDeviceStatusConnected) return;
  // A rate below the floor moves the timer to the floor on one tick and is queried at the
  // floor from then on (compared with the rate alone, it would never be queried again).
  const double eps = std::numeric_limits<double>::epsilon();
  if (std::fabs(r - rate) < eps || std::fabs(updateTimer_->interval() - r) < eps) {
    connected_->updateSystemStatus();
  } else {
    VPKLog(0, "Changing system query rate:{}", rate);
    updateTimer_->setInterval(r);
  }
}

void VPKBluetoothManager::resetConnectionUpdateTimer() {
  if (!updateTimer_) return;
  updateTimer_->deactivate();
  // A timer refuses a rate of 0, a negative one or NaN, which would end the status queries.
  const double rate = connected_ ? connected_->systemQueryRate() : 2.0;
  updateTimer_->setInterval(rate > 0 && std::isfinite(rate) ? rate : kMinimumQueryInterval);
  updateTimer_->activateAndFire();
}

void VPKBluetoothManager::connectedDeviceRSSITimerFired() {
  if (connected_ && connected_->peripheral() &&
      connected_->peripheral()->state() == vpk::BluetoothPeripheralState::Connected) {
    connected_->peripheral()->readRSSI();
  }
}

void VPKBluetoothManager::didReadRSSI(const PeripheralPtr& peripheral, std::optional<int> rssi,
                                      const std::optional<BluetoothError>&) {
  if (!peripheral) return;
  const double distance = distanceForRSSI(rssi.value_or(peripheral->RSSI()));
  peripheral->setDistance(distance);
  VPKLog(0, "Distance:{:.3f} ft {}", distance * 3.28084, rssi.value_or(peripheral->RSSI()));
  if (isRegistered(peripheral)) notifyUpdateBlocks(VPKDeviceUpdateRSSIChanged, peripheral);
}

double VPKBluetoothManager::distanceForRSSI(int rssi) {
  // Without a reading there is no estimate, and -10000 dBm put into the formula would
  // claim 10^292 m: as far as can be instead, so it never counts as the nearest.
  const double distance = rssi == VPKPeripheral::kMissingRSSI ? std::numeric_limits<double>::infinity()
                                                             : std::pow(10.0, (static_cast<double>(rssi) + 62.0) / -34.0);
  VPKLog(0, "Distance:{:.3f} ft {}", distance * 3.28084, rssi);
  return distance;
}

void VPKBluetoothManager::stopAllTimers() {
  if (updateTimer_) updateTimer_->deactivate();
  if (rssiTimer_) rssiTimer_->deactivate();
}

// ---------------------------------------------------------------------------------------
// Disconnection
// ---------------------------------------------------------------------------------------

void VPKBluetoothManager::disconnectDevice(const PeripheralPtr& peripheral) {
  if (!peripheral) return;
  if (connected_ == peripheral) connected_.reset();
  const auto& radio = peripheral->peripheral();
  if (radio && radio->state() != vpk::BluetoothPeripheralState::Disconnected) {
    if (central_) central_->cancelPeripheralConnection(radio);
  } else if (radio) {
    peripheral->flushDisconnectConnectHandlersWithError(std::nullopt);
    processDisconnectedDevice(peripheral, std::nullopt);
  } else {
    peripheral->flushDisconnectConnectHandlersWithError(std::nullopt);
  }
}

void VPKBluetoothManager::didDisconnectPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr& radio,
                                                  const std::optional<BluetoothError>& error) {
  if (auto peripheral = peripheralFor(radio)) processDisconnectedDevice(peripheral, error);
}

// Steps 2-4 of a disconnection: pending commands dropped, the link's flags cleared without
// callbacks into the manager, the stream closed and reset, a running recording stopped.
void VPKBluetoothManager::resetLinkState(const VPKPeripheralPtr& peripheral) {
  peripheral->cancelPendingCommands();
  const bool wasStreaming = peripheral->isStreaming();
  peripheral->setManager({});
  peripheral->setStreaming(false);
  peripheral->setPowerDownOnButtonRelease(false);
  peripheral->setCharging(false);
  peripheral->stream()->close();
  peripheral->stream()->reset();
  peripheral->setManager(weak_from_this());
  // A recording of this headband ends with its link, also when the stream had not been
  // marked open: every packet received so far is in the file.
  if (wasStreaming || recording_->isRecording(peripheral->stream())) processDeviceStoppedStreaming(peripheral);
}

void VPKBluetoothManager::processDisconnectedDevice(const VPKPeripheralPtr& peripheral,
                                                    const std::optional<BluetoothError>& error) {
  bool wasConnected = false;
  if (connected_ == peripheral) {
    wasConnected = true;
    connected_.reset();
  }
  wasConnected = wasConnected || peripheral->status() == VPKDeviceStatusConnecting ||
                 peripheral->status() == VPKDeviceStatusConnected;
  resetLinkState(peripheral);
  const unsigned long s = peripheral->status();
  VPKLog(0, "Device({}) disconnected with error: {}", peripheral->name(), describe(error));
  if (error || s == VPKDeviceStatusIdle || s == VPKDeviceStatusPoweredOff) {
    if (s == VPKDeviceStatusPoweredOff) {
      VPKLog(0, "Device({}) was powered down", peripheral->name());
      if (shouldDiscardUnavailableDevices_) {
        peripheral->setDiscarded(true);
        peripheral->setRemoveOnDisconnect(true);
      }
    } else if (error) {
      peripheral->logError(*error, "genericDisconnectErrors");
      peripheral->setRemoveOnDisconnect(true);
      peripheral->setDiscarded(true);
    }
  }
  if (!terminatingAllConnections_ && peripheral->hasUnsavedPersistentDeviceInfoChanges()) saveDeviceInfo();
  if (peripheral->status() != VPKDeviceStatusPoweredOff) peripheral->setStatus(VPKDeviceStatusDisconnected);
  if (s == VPKDeviceStatusPoweredOff) {
    notifyUpdateBlocks(VPKDeviceUpdateDidPowerOff, peripheral);
    if (shouldDiscardUnavailableDevices_) {
      VPKLog(1, "Removing device:{}", peripheral->name());
      peripheral->setRemoveOnDisconnect(true);
      peripheral->setDiscarded(true);
    }
  }
  if (peripheral->connectHandlerCount() > 0) {
    peripheral->flushConnectHandlersWithError(
        error ? toVPKError(*error) : VPKError::make(3, kDisconnectedBeforeConnectedText));
  }
  if (peripheral->disconnectHandlerCount() > 0) peripheral->flushDisconnectConnectHandlersWithError(toVPKError(error));
  if (wasConnected) notifyUpdateBlocks(VPKDeviceUpdateDidDisconnect, peripheral);
  if (peripheral->removeOnDisconnect() || peripheral->isDiscarded()) {
    peripheral->setDiscarded(true);
    notifyUpdateBlocks(VPKDeviceUpdateDidRemove, peripheral);
    devices_.erase(peripheral->peripheral());
  }
  if (!connected_ && !terminatingAllConnections_) startSearchingForDevices();
}

void VPKBluetoothManager::didFailToConnectPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr& radio,
                                                     const std::optional<BluetoothError>& error) {
  auto peripheral = peripheralFor(radio);
  if (!peripheral) return;
  if (connected_ == peripheral) connected_.reset();
  resetLinkState(peripheral);
  VPKLog(0, "Device({}) failed to connect with error: {}", peripheral->name(), describe(error));
  if (error) {
    peripheral->logError(*error, "connectionFailureErrors");
    saveDeviceInfo();
  }
  // A failed attempt leaves the headband available again (it would otherwise stay
  // "connecting" for ever, and a connecting headband is never connected again).
  if (peripheral->status() == VPKDeviceStatusConnecting) peripheral->setStatus(VPKDeviceStatusDisconnected);
  // Callers waiting for the connection learn that it failed, also when the platform gave
  // no reason.
  const VPKError failure = error ? toVPKError(*error) : VPKError::make(3, kDisconnectedBeforeConnectedText);
  peripheral->flushConnectHandlersWithError(failure);
  peripheral->flushDisconnectConnectHandlersWithError(failure);
  notifyUpdateBlocks(VPKDeviceUpdateDidDisconnect, peripheral);
  startSearchingForDevices();
}

// ---------------------------------------------------------------------------------------
// Streams, power, buttons, battery
// ---------------------------------------------------------------------------------------

void VPKBluetoothManager::openDeviceStream(const PeripheralPtr& peripheral) {
  if (!peripheral) return;
  if (peripheral->isStreaming()) {
    VPKLog(1, "Stream already open for device: {}", peripheral->name());
    return;
  }
  if (peripheral->isCharging()) {
    VPKLog(1, "Stream failed be opened for device: {}", peripheral->name());
    peripheral->setStreaming(false);
    peripheral->closeStream();
    notifyUpdateBlocks(VPKDeviceUpdateStoppedStreaming, peripheral);
    return;
  }
  VPKLog(1, "Opening stream for device: {}", peripheral->name());
  peripheral->setStreaming(true);
  notifyUpdateBlocks(VPKDeviceUpdateWillStartStreaming, peripheral);
  std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
  std::weak_ptr<VPKPeripheral> weakPeripheral = peripheral;
  vpkrsrc_dispatch_after_main_async([weak, weakPeripheral] {
    auto self = weak.lock();
    auto p = weakPeripheral.lock();
    if (!self || !p || !p->isStreaming()) return;
    if (!p->isCharging()) {
      p->openStream();
      self->notifyUpdateBlocks(VPKDeviceUpdateStartedStreaming, p);
    } else {
      VPKLog(1, "Stream cannot be opened while charging for device: {}", p->name());
      p->setStreaming(false);
      p->closeStream();
      self->notifyUpdateBlocks(VPKDeviceUpdateStoppedStreaming, p);
    }
  });
}

void VPKBluetoothManager::closeDeviceStream(const PeripheralPtr& peripheral) {
  if (!peripheral || !peripheral->isStreaming()) return;
  VPKLog(1, "Stream closed for device: {}", peripheral->name());
  peripheral->setStreaming(false);
  peripheral->closeStream();
  notifyUpdateBlocks(VPKDeviceUpdateStoppedStreaming, peripheral);
}

void VPKBluetoothManager::processDeviceStoppedStreaming(const VPKPeripheralPtr&) {
  if (recording_->isRecording()) recording_->stop();
}

void VPKBluetoothManager::powerDownDevice(const PeripheralPtr& peripheral) {
  if (!peripheral || peripheral->status() == VPKDeviceStatusPoweredOff) return;
  if (peripheral->isButtonDown()) {
    peripheral->setPowerDownOnButtonRelease(true);
    return;
  }
  peripheral->cancelPendingCommands();
  peripheral->setStreaming(false);
  peripheral->setRemoveOnDisconnect(true);
  peripheral->setDiscarded(true);
  peripheral->closeStream();
  peripheral->setStatus(VPKDeviceStatusPoweredOff);
  peripheral->setManuallyDisconnected(true);
  notifyUpdateBlocks(VPKDeviceUpdateWillPowerOff, peripheral);
  peripheral->cancelPendingCommands();
  peripheral->sendCommand("DW01FF\r", vpk::OperationPriority::VeryHigh);
}

void VPKBluetoothManager::handleDevicePowerButtonPressed(const PeripheralPtr& peripheral) {
  if (peripheral) notifyUpdateBlocks(VPKDeviceUpdateMainButtonPressed, peripheral);
}

void VPKBluetoothManager::handleDevicePowerButtonHeld(const PeripheralPtr& peripheral) {
  if (!peripheral || peripheral->buttonPressDuration() < kPowerOffPressDuration) return;
  peripheral->setDiscarded(true);
  peripheral->setRemoveOnDisconnect(true);
  peripheral->setStatus(VPKDeviceStatusPoweredOff);
  notifyUpdateBlocks(VPKDeviceUpdateWillPowerOff, peripheral);
}

void VPKBluetoothManager::handleDevicePowerButtonReleased(const PeripheralPtr& peripheral) {
  if (!peripheral) return;
  if (peripheral->buttonPressDuration() >= kPowerOffPressDuration) {
    peripheral->setDiscarded(true);
    peripheral->setRemoveOnDisconnect(true);
    disconnectDevice(peripheral);
  }
  notifyUpdateBlocks(VPKDeviceUpdateMainButtonReleased, peripheral);
}

void VPKBluetoothManager::handleDeviceBatteryUpdate(const PeripheralPtr& peripheral) {
  if (peripheral) notifyUpdateBlocks(VPKDeviceUpdateBatteryChanged, peripheral);
}

void VPKBluetoothManager::handleDeviceChargeStateChanged(const PeripheralPtr& peripheral) {
  if (peripheral) notifyUpdateBlocks(VPKDeviceUpdateChargingStateChanged, peripheral);
}

// ---------------------------------------------------------------------------------------
// Teardown
// ---------------------------------------------------------------------------------------

void VPKBluetoothManager::terminateAllConnections() {
  if (redispatched(&VPKBluetoothManager::terminateAllConnections)) return;
  VPKLog(1, "Terminating all device connections...");
  terminatingAllConnections_ = true;
  stopSearchingForDevices();
  if (central_) central_->stopScan();
  stopAllTimers();
  const auto snapshot = devices_;
  for (const auto& [radio, peripheral] : snapshot) {
    peripheral->setDiscarded(true);
    if (connected_ == peripheral) connected_.reset();
    peripheral->setRemoveOnDisconnect(true);
    if (central_) central_->cancelPeripheralConnection(radio);
    processDisconnectedDevice(peripheral, std::nullopt);
  }
  devices_.clear();
  terminatingAllConnections_ = false;
}

void VPKBluetoothManager::reset() {
  VPKResourceManager::performBlockAndWait([this] {
    stopAllTimers();
    cancelDelayedStop();
    updates_->removeAllHandlers();
    stopSwipeBasedAutoConnection();
    stopSearchingForDevices();
    terminateAllConnections();
  });
}

// ---------------------------------------------------------------------------------------
// Sounds and queue helpers
// ---------------------------------------------------------------------------------------

void VPKBluetoothManager::playPreConnectNoise() { playSound(kPreConnectSound); }
void VPKBluetoothManager::playConnectNoise() { playSound(kConnectSound); }

void VPKBluetoothManager::performBlock(vpk::Task task) { VPKResourceManager::performBlock(std::move(task)); }
void VPKBluetoothManager::performBlockAndWait(const vpk::Task& task) { VPKResourceManager::performBlockAndWait(task); }
void VPKBluetoothManager::performBlockWaitIfPossible(vpk::Task task) {
  if (!task) return;
  if (VPKResourceManager::executingInContext()) {
    task();
  } else {
    VPKResourceManager::performBlock(std::move(task));
  }
}
bool VPKBluetoothManager::isCurrentlyInQueue() const { return VPKResourceManager::executingInContext(); }

void VPKBluetoothManager::performAsynchronousBlock(vpk::Task task) {
  if (!task) return;
  VPKResourceManager::performBlock([task = std::move(task)] {
    vpk::DispatchQueue::main()->async([task] {
      VPKResourceManager::pushMainQueue();
      task();
      VPKResourceManager::popMainQueue();
    });
  });
}

// The main thread runs the task itself; another thread posts it to the main queue and waits
// for it (the main thread must be driving its queue, as the library's main thread does).
void VPKBluetoothManager::performSynchronousBlock(const vpk::Task& task) {
  if (!task) return;
  if (vpk::detail::isMainThread()) {
    task();
    return;
  }
  vpk::Semaphore done;
  vpk::DispatchQueue::main()->async([&] {
    VPKResourceManager::pushMainQueue();
    task();
    VPKResourceManager::popMainQueue();
    done.signal();
  });
  done.wait();
}

vpk::ApplicationState VPKBluetoothManager::applicationState() const { return vpk::Application::state(); }

// ---------------------------------------------------------------------------------------
// Registry, history, preferred headband
// ---------------------------------------------------------------------------------------

VPKPeripheralPtr VPKBluetoothManager::peripheralFor(const BluetoothPeripheralPtr& radio) const {
  auto it = devices_.find(radio);
  return it == devices_.end() ? nullptr : it->second;
}

bool VPKBluetoothManager::isRegistered(const VPKPeripheralPtr& peripheral) const {
  return std::any_of(devices_.begin(), devices_.end(), [&](const auto& e) { return e.second == peripheral; });
}

std::vector<VPKPeripheralPtr> VPKBluetoothManager::allDevices() const {
  return onQueue<std::vector<VPKPeripheralPtr>>([this] {
    std::vector<VPKPeripheralPtr> all;
    for (const auto& [radio, peripheral] : devices_) all.push_back(peripheral);
    // Stronger first (for the negative dBm of real readings, smaller magnitude first); no
    // reading last, where its -10000 already falls, and nothing overflows.
    auto rank = [](int rssi) { return rssi == VPKPeripheral::kMissingRSSI ? INT64_MAX : -int64_t{rssi}; };
    std::stable_sort(all.begin(), all.end(),
                     [&](const auto& a, const auto& b) { return rank(a->RSSI()) < rank(b->RSSI()); });
    return all;
  });
}

std::vector<VPKDeviceHandlePtr> VPKBluetoothManager::availableDevices() {
  return onQueue<std::vector<VPKDeviceHandlePtr>>([this] {
    std::vector<VPKDeviceHandlePtr> handles;
    if (terminatingAllConnections_) return handles;
    std::vector<VPKPeripheralPtr> ordered;
    for (const auto& [radio, peripheral] : devices_) {
      if (peripheral != connected_) ordered.push_back(peripheral);
    }
    std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a->name() < b->name(); });
    if (connected_) ordered.insert(ordered.begin(), connected_);
    for (const auto& peripheral : ordered) {
      if (peripheral->isDiscarded()) continue;
      if (shouldDiscardUnavailableDevices_ && peripheral->status() == VPKDeviceStatusPoweredOff) continue;
      if (auto handle = peripheral->deviceHandle()) handles.push_back(handle);
    }
    return handles;
  });
}

VPKDeviceHandlePtr VPKBluetoothManager::connectedDevice() {
  return onQueue<VPKDeviceHandlePtr>([this] { return connected_ ? connected_->deviceHandle() : nullptr; });
}

VPKPeripheralPtr VPKBluetoothManager::connectedPeripheral() const {
  return onQueue<VPKPeripheralPtr>([this] { return connected_; });
}

void VPKBluetoothManager::retrieveConnectedDevice(std::function<void(const VPKDeviceHandlePtr&)> callback) {
  if (!callback) return;
  std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
  VPKResourceManager::performBlock([weak, callback = std::move(callback)] {
    auto self = weak.lock();
    VPKDeviceHandlePtr handle = self && self->connected_ ? self->connected_->deviceHandle() : nullptr;
    vpk::DispatchQueue::main()->async([callback, handle] { callback(handle); });
  });
}

vpk::ValueOrderedSet VPKBluetoothManager::deviceIdentifierHistory() const {
  return onQueue<vpk::ValueOrderedSet>([this] { return history_; });
}

std::optional<vpk::ValueDictionary> VPKBluetoothManager::preferredDeviceInfo() const {
  return onQueue<std::optional<vpk::ValueDictionary>>([this] { return preferred_; });
}

void VPKBluetoothManager::setPreferredDeviceInfo(std::optional<vpk::ValueDictionary> record) {
  std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
  performBlockWaitIfPossible([weak, record = std::move(record)] {
    if (auto self = weak.lock()) {
      self->preferred_ = record;
      self->unsavedPreferred_ = true;
    }
  });
}

bool VPKBluetoothManager::hasUnsavedDeviceHistoryChanges() const {
  return onQueue<bool>([this] { return unsavedHistory_; });
}
bool VPKBluetoothManager::hasUnsavedAutoConnectChanges() const {
  return onQueue<bool>([this] { return unsavedPreferred_; });
}
bool VPKBluetoothManager::shouldDiscardUnavailableDevices() const {
  return onQueue<bool>([this] { return shouldDiscardUnavailableDevices_; });
}
void VPKBluetoothManager::setShouldDiscardUnavailableDevices(bool discard) {
  std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
  performBlockWaitIfPossible([weak, discard] {
    if (auto self = weak.lock()) self->shouldDiscardUnavailableDevices_ = discard;
  });
}

vpk::BluetoothPeripheralPtr VPKBluetoothManager::preferredPeripheral() {
  return onQueue<vpk::BluetoothPeripheralPtr>([this]() -> vpk::BluetoothPeripheralPtr {
    if (!preferred_ || !central_) return nullptr;
    auto identifier = VPKDeviceHandleRecord::identifier(*preferred_);
    if (!identifier) return nullptr;
    auto uuid = vpk::BluetoothUUID::parse(*identifier);
    if (!uuid) return nullptr;
    auto known = central_->retrievePeripherals({*uuid});
    return known.empty() ? nullptr : known.back();
  });
}

bool VPKBluetoothManager::deviceIsPreferred(const VPKPeripheralPtr& peripheral) const {
  if (!peripheral || !preferred_) return false;
  auto wanted = VPKDeviceHandleRecord::hardwareIdentifier(*preferred_);
  const auto& have = peripheral->hardwareIdentifier();
  return wanted && have && *wanted == *have;
}

bool VPKBluetoothManager::deviceIsAutoConnectableDevice(const VPKPeripheralPtr& peripheral) const {
  if (!peripheral || history_.empty() || history_[history_.size() - 1] != vpk::Value(peripheral->identifier())) {
    return false;
  }
  VPKLog(0, "Device {} is auto-connectable", peripheral->description());
  return true;
}

bool VPKBluetoothManager::attemptToConnectToPreferredDevice() {
  auto radio = preferredPeripheral();
  if (!radio) return false;
  return onQueue<bool>([this, radio] {
    if (auto known = peripheralFor(radio)) {
      switch (known->status()) {
        case VPKDeviceStatusConnected:
        case VPKDeviceStatusConnecting:
          return true;
        case VPKDeviceStatusDisconnected:
          known->connectWithHandler(nullptr);
          return true;
        default:
          return false;
      }
    }
    vpk::BluetoothAdvertisementData advertisement;
    advertisement.localName = VPKDeviceHandleRecord::name(*preferred_);
    auto peripheral = VPKPeripheral::create(radio, weak_from_this(), advertisement, std::nullopt);
    if (!peripheral) return false;
    peripheral->setStatus(VPKDeviceStatusDisconnected);
    peripheral->setRemoveOnDisconnect(false);
    peripheral->setPreferred(true);
    devices_[radio] = peripheral;
    nameIfUnnamed(peripheral);
    VPKLog(1, "Attempt to auto connect device: {}", peripheral->name());
    stopSearchingForDevices();
    peripheral->connectWithHandler(nullptr);
    return true;
  });
}

bool VPKBluetoothManager::writeDeviceHistory() {
  VPKLog(0, "Writing device history...");
  auto history = onQueue<vpk::ValueOrderedSet>([this] { return history_; });
  const std::string text = vpk::Value(history).description();
  if (!vpk::detail::DeviceHistoryStore::writeHistory(history)) {
    VPKLog(0, "Failed to write device history:{}", text);
    return false;
  }
  VPKLog(0, "Wrote device history:{}", text);
  return true;
}

bool VPKBluetoothManager::writeAutoConnectInfo() {
  VPKLog(0, "Writing auto connect history...");
  auto record = onQueue<std::optional<vpk::ValueDictionary>>([this] { return preferred_; });
  const std::string text = record ? vpk::Value(*record).description() : std::string("(null)");
  if (!vpk::detail::DeviceHistoryStore::writePreferredDeviceInfo(record)) {
    VPKLog(0, "Failed to write auto connect history:{}", text);
    return false;
  }
  if (record) VPKLog(0, "Wrote auto connect history:{}", text);
  return true;
}

void VPKBluetoothManager::saveDeviceInfo() {
  VPKResourceManager::performBlockAndWait([this] {
    if (unsavedHistory_ && writeDeviceHistory()) unsavedHistory_ = false;
    if (unsavedPreferred_ && writeAutoConnectInfo()) unsavedPreferred_ = false;
    for (const auto& [radio, peripheral] : devices_) {
      if (!peripheral->hasUnsavedPersistentDeviceInfoChanges()) continue;
      VPKLog(0, "Trying to save unsaved peripheral info for device:{}", peripheral->name());
      if (peripheral->savePersistentDeviceInfo()) {
        VPKLog(0, "Saved peripheral info for device:{}", peripheral->name());
      } else {
        VPKLog(0, "Failed to save peripheral info for device:{}", peripheral->name());
      }
    }
  });
}

void VPKBluetoothManager::forgetDevice(const PeripheralPtr& peripheral) {
  if (!peripheral) return;
  VPKLog(1, "Forgetting device:{}", peripheral->name());
  history_.remove(vpk::Value(peripheral->identifier()));
  unsavedHistory_ = true;
  peripheral->setPersistentDeviceInfo(std::nullopt);
  peripheral->savePersistentDeviceInfo();
  peripheral->setRemoveOnDisconnect(true);
  peripheral->disconnect();
}

void VPKBluetoothManager::forgetDeviceWithIdentifier(const std::string& identifier) {
  if (!vpk::isSafePathComponent(identifier)) {
    VPKLog(1, "Refusing to forget a device with identifier {}", identifier);
    return;
  }
  VPKResourceManager::performBlockAndWait([this, &identifier] {
    if (preferred_ && VPKDeviceHandleRecord::identifier(*preferred_) == identifier) {
      preferred_.reset();
      unsavedPreferred_ = true;
    }
    for (const auto& [radio, peripheral] : devices_) {
      if (peripheral->identifier() == identifier) {
        forgetDevice(peripheral);
        return;
      }
    }
    VPKLog(1, "Forgetting device:{}", identifier);
    if (history_.remove(vpk::Value(identifier))) unsavedHistory_ = true;
    if (auto dir = VPKPeripheral::peristentDeviceInfoDirectory()) {
      std::error_code ec;
      std::filesystem::remove(*dir / identifier, ec);
    }
  });
}

// ---------------------------------------------------------------------------------------
// Update handlers
// ---------------------------------------------------------------------------------------

void VPKBluetoothManager::setUpdateHandler(VPKDeviceUpdateBlock block, const std::string& key) {
  if (key.empty()) return;
  auto updates = updates_;
  performBlockWaitIfPossible([updates, block = std::move(block), key]() mutable {
    updates->setUpdateHandler(std::move(block), key);
  });
}

void VPKBluetoothManager::setNotificationsEnabled(bool enabled, VPKDeviceUpdateReason reasons,
                                                  const std::string& key) {
  if (key.empty()) return;
  auto updates = updates_;
  performBlockWaitIfPossible([updates, enabled, reasons, key] { updates->setNotificationsEnabled(enabled, reasons, key); });
}

void VPKBluetoothManager::setUpdateNotificationReasons(VPKDeviceUpdateReason reasons, const std::string& key) {
  if (key.empty()) return;
  VPKResourceManager::performBlockAndWait([this, reasons, &key] { updates_->setUpdateNotificationReasons(reasons, key); });
}

std::optional<VPKDeviceUpdateReason> VPKBluetoothManager::updateNotificationReasons(const std::string& key) const {
  return onQueue<std::optional<VPKDeviceUpdateReason>>([this, &key] { return updates_->allowedReasons(key); });
}

void VPKBluetoothManager::notifyUpdateBlocks(VPKDeviceUpdateReason reason, const VPKPeripheralPtr& peripheral) {
  if (!peripheral) return;
  updates_->notify(reason, peripheral->deviceHandle(), peripheral->name());
}

void VPKBluetoothManager::beginNotificationGrouping() { updates_->beginGrouping(); }
void VPKBluetoothManager::endNotificationGrouping() { updates_->endGrouping(); }

// ---------------------------------------------------------------------------------------
// Recording
// ---------------------------------------------------------------------------------------

VPKSignalStreamFileHandlePtr VPKBluetoothManager::startRecordingDataWithHeader(
    const std::optional<vpk::ValueDictionary>& header) {
  return onQueue<VPKSignalStreamFileHandlePtr>(
      [this, &header] { return recording_->start(connected_ ? connected_->stream() : nullptr, header); });
}

void VPKBluetoothManager::stopRecordingData() {
  VPKResourceManager::performBlockAndWait([this] { recording_->stop(); });
}

bool VPKBluetoothManager::recordData() const {
  return onQueue<bool>([this] { return recording_->recordData(); });
}

VPKSignalStreamFileHandlePtr VPKBluetoothManager::currentFileHandle() const {
  return onQueue<VPKSignalStreamFileHandlePtr>([this] { return recording_->currentFileHandle(); });
}

// ---------------------------------------------------------------------------------------
// Diagnostics
// ---------------------------------------------------------------------------------------

void VPKBluetoothManager::generateDiagnosticsReportForConnectedDevice(DiagnosticsReportCallback callback) {
  std::weak_ptr<VPKBluetoothManager> weak = weak_from_this();
  VPKResourceManager::performBlock([weak, callback = std::move(callback)] {
    auto self = weak.lock();
    if (!self || !self->connected_) {
      if (callback) vpk::DispatchQueue::main()->async([callback] { callback(std::nullopt, std::nullopt); });
      return;
    }
    // The headband calls back on the main queue already.
    self->connected_->generateDiagnosticsReport(
        [callback](bool success, const std::optional<std::filesystem::path>& report) {
          if (callback) callback(success ? report : std::nullopt, std::nullopt);
        });
  });
}
