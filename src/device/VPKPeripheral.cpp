#include <VemraPlatformKit/device/VPKPeripheral.h>

#include <VemraPlatformKit/device/VPKDeviceHandle.h>
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>

#include "analysis/ElectrodeFailureFlags.h"
#include "device/HeadbandText.h"
#include "device/ReplyAssembler.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <mutex>

using vpk::BluetoothCharacteristicPtr;
using vpk::BluetoothError;
using vpk::BluetoothPeripheralPtr;
using vpk::BluetoothPeripheralState;
using vpk::BluetoothServicePtr;
using vpk::BluetoothUUID;
using vpk::OperationPriority;
using vpk::Value;
using vpk::ValueDictionary;
using vpk::ValueList;
using namespace vpk::detail;

namespace {

constexpr double kHandOverTimeout = 3.0;
static_assert(VPKPeripheral::kMaxResponseLength == ReplyAssembler::kMaxLength);
constexpr float kFloatEpsilon = FLT_EPSILON;

// The analyzer reaches a stream's headband through this view to set its electrode flags.
class PeripheralElectrodeFlags final : public ElectrodeFailureFlags {
 public:
  explicit PeripheralElectrodeFlags(std::shared_ptr<VPKPeripheral> p) : p_(std::move(p)) {}
  std::optional<bool> hasLeftElectrodeFailure() const override { return p_->hasLeftElectrodeFailure(); }
  std::optional<bool> hasRightElectrodeFailure() const override { return p_->hasRightElectrodeFailure(); }
  void setHasLeftElectrodeFailure(std::optional<bool> f) override { p_->setHasLeftElectrodeFailure(f); }
  void setHasRightElectrodeFailure(std::optional<bool> f) override { p_->setHasRightElectrodeFailure(f); }

 private:
  std::shared_ptr<VPKPeripheral> p_;
};

void installElectrodeFlagsLookup() {
  static std::once_flag once;
  std::call_once(once, [] {
    setElectrodeFlagsLookup([](VPKSignalStream& stream) -> std::shared_ptr<ElectrodeFailureFlags> {
      auto device = stream.device();
      if (!device) return nullptr;
      return std::make_shared<PeripheralElectrodeFlags>(std::move(device));
    });
  });
}


std::vector<uint8_t> ascii(std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string errorText(const std::optional<VPKError>& e) { return e ? e->fullDescription() : std::string("(null)"); }

VPKError toVPKError(const BluetoothError& e) { return VPKError{e.domain, e.code, e.description}; }

// Rounds half away from zero, as the status log line shows percentages.
long roundedPercent(float fraction) { return std::lround(static_cast<double>(fraction) * 100.0); }

}  // namespace

// ---- the command queue ----

struct VPKPeripheral::CommandQueue {
  std::shared_ptr<vpk::OperationQueue> queue = vpk::OperationQueue::create("com.ulko.vpk.peripheral.commands");
  // The hand-over the running command waits for; a cancel releases it at once.
  std::mutex mutex;
  std::shared_ptr<vpk::Semaphore> handOver;

  void releaseHandOver() {
    std::lock_guard<std::mutex> lock(mutex);
    if (handOver) handOver->signal();
  }
};

// ---- GATT table ----

const BluetoothUUID& VPKPeripheral::deviceServiceUUID() {
  static const BluetoothUUID u = BluetoothUUID::fromString("6e400001-b5a3-f393-e0a9-e50e24dcca9e");
  return u;
}
const BluetoothUUID& VPKPeripheral::txCharacteristicUUID() {
  static const BluetoothUUID u = BluetoothUUID::fromString("6e400002-b5a3-f393-e0a9-e50e24dcca9e");
  return u;
}
const BluetoothUUID& VPKPeripheral::rxCharacteristicUUID() {
  static const BluetoothUUID u = BluetoothUUID::fromString("6e400003-b5a3-f393-e0a9-e50e24dcca9e");
  return u;
}
const BluetoothUUID& VPKPeripheral::deviceOTAUUID() {
  static const BluetoothUUID u = BluetoothUUID::fromString("00001530-1212-EFDE-1523-785FEABCD123");
  return u;
}
const BluetoothUUID& VPKPeripheral::dfuCtrlCharacteristicUUID() {
  static const BluetoothUUID u = BluetoothUUID::fromString("00001531-1212-EFDE-1523-785FEABCD123");
  return u;
}
const BluetoothUUID& VPKPeripheral::dfuPktCharacteristicUUID() {
  static const BluetoothUUID u = BluetoothUUID::fromString("00001532-1212-EFDE-1523-785FEABCD123");
  return u;
}
std::vector<BluetoothUUID> VPKPeripheral::deviceServiceUUIDs() { return {deviceServiceUUID(), deviceOTAUUID()}; }
std::vector<BluetoothUUID> VPKPeripheral::devicCharacteristicUUIDs() {
  return {txCharacteristicUUID(), rxCharacteristicUUID()};
}

bool VPKPeripheral::isUnframedCommand(std::string_view command) {
  static constexpr std::array<std::string_view, 8> kUnframed = {"S01\r",    "S00\r",    "!\r",  "DW01FF\r",
                                                                "DW161F\r", "DW1600\r", "@\r", "DW0308\r"};
  return std::find(kUnframed.begin(), kUnframed.end(), command) != kUnframed.end();
}

// ---- construction ----

VPKPeripheral::VPKPeripheral(Token, BluetoothPeripheralPtr peripheral, std::weak_ptr<VPKPeripheralManager> manager,
                             const vpk::BluetoothAdvertisementData& advertisingData)
    : peripheral_(std::move(peripheral)),
      manager_(std::move(manager)),
      advertismentData_(advertisingData),
      replies_(std::make_unique<ReplyAssembler>()) {}

const std::string& VPKPeripheral::dataBuffer() const { return replies_->buffer(); }

std::shared_ptr<VPKPeripheral> VPKPeripheral::create(BluetoothPeripheralPtr peripheral,
                                                     std::weak_ptr<VPKPeripheralManager> manager,
                                                     const vpk::BluetoothAdvertisementData& advertisingData,
                                                     std::optional<int> rssi) {
  if (!peripheral) return nullptr;
  auto p = std::make_shared<VPKPeripheral>(Token{}, std::move(peripheral), std::move(manager), advertisingData);
  p->setUp(rssi);
  return p;
}

void VPKPeripheral::setUp(std::optional<int> rssi) {
  installElectrodeFlagsLookup();
  identifier_ = peripheral_->identifier().fullString();
  nameHeadband();
  inOTAMode_ = advertismentData_.advertisesService(deviceOTAUUID());

  stream_ = VPKSignalStream::create(0);
  stream_->setDevice(weak_from_this());
  stream_->setIdentifier(identifier_);
  stream_->setName(name_);
  peripheral_->setDelegate(std::static_pointer_cast<vpk::BluetoothPeripheralDelegate>(shared_from_this()));

  commands_ = std::make_shared<CommandQueue>();
  commands_->queue->setSuspended(true);
  setRSSI(rssi.value_or(kMissingRSSI));

  if (toLower(name_) != kOTAModeName) migrateOldDeviceInfo();
  VPKLog(0, "Loaded device info:{}", store_ ? Value(*store_).description() : std::string("(null)"));
  handle_ = VPKDeviceHandle::deviceWithDevice(shared_from_this());
  systemQueryRate_ = 2.0;
}

void VPKPeripheral::nameHeadband() {
  std::optional<std::string> name = advertismentData_.localName;
  if (!name || toLower(*name) == kOTAModeName) name = peripheral_->name();
  if (name && *name == kOTAModeName) {
    const Value stored = objectForKey("name");
    if (stored.isString()) name = stored.stringValue();
  }
  // A name from the air is shown and stored: it becomes valid text first (no malformed
  // UTF-8, no control characters), so the store reads back what was seen.
  name_ = validText(name.value_or(""), true);
  if (!name_.empty() && toLower(name_) != kOTAModeName) {
    if (objectForKey("name").isNull()) setObject(name_, "name");
    hardwareIdentifier_ = generateHardwareIdentifierWithName(name_);
    if (hardwareIdentifier_) setObject(*hardwareIdentifier_, "hardwareIdentifier");
  }
  savePersistentDeviceInfo();
}

VPKPeripheral::~VPKPeripheral() {
  inactiveTime_ = 0;
  disconnectsWhenInactive_ = false;
  if (commands_) commands_->queue->cancelAllOperations();
  if (stream_) stream_->removeAllOutputs();
  VPKLog(0, "Dealloc:VPKPeripheral");
}

std::string VPKPeripheral::description() const {
  return fmt::format("<VPKPeripheral {}> {{\n\t Name = {},\n\tUUID = {}\n\t,Serial = {}\n\t, RSSI = {}\n}}",
                     static_cast<const void*>(this), name_, identifier_, hardwareIdentifier_.value_or("(null)"),
                     rssi_);
}

template <class F>
void VPKPeripheral::tellManager(F&& call) {
  if (auto m = manager_.lock()) call(*m, shared_from_this());
}

// ---- commands ----

void VPKPeripheral::sendCommand(const std::string& command) { sendCommand(command, OperationPriority::Normal); }

void VPKPeripheral::sendCommand(const std::string& command, OperationPriority priority) {
  auto& queue = commands_->queue;
  if (priority == OperationPriority::VeryHigh && !queue->isSuspended()) {
    writeCommand(command);
    return;
  }
  if (queue->isSuspended()) VPKLog(1, "WARNING: Command sent while write queue suspended!");

  // The operation learns its own handle through `slot`, filled before it can start; weakly,
  // or a cancelled operation (whose task is never run nor released) would keep itself.
  struct Slot {
    std::mutex mutex;
    std::weak_ptr<vpk::Operation> op;
  };
  auto slot = std::make_shared<Slot>();
  std::weak_ptr<VPKPeripheral> weak = weak_from_this();
  std::weak_ptr<CommandQueue> weakQueue = commands_;
  std::lock_guard<std::mutex> lock(slot->mutex);
  slot->op = queue->addOperation(
      [slot, weak, weakQueue, command] {
        vpk::OperationPtr op;
        {
          std::lock_guard<std::mutex> l(slot->mutex);
          op = slot->op.lock();
        }
        auto commands = weakQueue.lock();
        if (!op || !commands) return;
        auto handedOver = std::make_shared<vpk::Semaphore>(0);
        {
          // Registered before the cancel check: a cancel after the check releases the wait.
          std::lock_guard<std::mutex> l(commands->mutex);
          commands->handOver = handedOver;
        }
        auto done = [&commands] {
          std::lock_guard<std::mutex> l(commands->mutex);
          commands->handOver.reset();
        };
        if (op->isCancelled()) {
          VPKLog(0, "Command {} cancelled...", command);
          done();
          return;
        }
        VPKResourceManager::performBlock([op, weak, command, handedOver] {
          if (op->isCancelled()) {
            VPKLog(0, "Command {} cancelled...", command);
          } else if (auto self = weak.lock()) {
            self->writeCommand(command);
          }
          handedOver->signal();
        });
        if (!handedOver->wait(kHandOverTimeout)) {
          VPKLog(1, "Command({}) may be timing out...", command);
          op->cancel();
        }
        done();
      },
      priority);
}

void VPKPeripheral::writeCommand(const std::string& command) {
  if (!tx_ || peripheral_->state() != BluetoothPeripheralState::Connected) return;
  if (isUnframedCommand(command)) {
    writeData(ascii(command), vpk::BluetoothWriteType::WithResponse);
    return;
  }
  writeData(ascii("E<p>\r"), vpk::BluetoothWriteType::WithResponse);
  writeData(ascii(command), vpk::BluetoothWriteType::WithResponse);
  writeData(ascii("E" + command + "</p>\r"), vpk::BluetoothWriteType::WithResponse);
}

void VPKPeripheral::writeData(const std::vector<uint8_t>& data, vpk::BluetoothWriteType type) {
  if (!tx_) return;
  peripheral_->writeValue(data, tx_, type);
}

bool VPKPeripheral::isCommandQueueSuspended() const { return commands_->queue->isSuspended(); }

void VPKPeripheral::cancelPendingCommands() {
  auto& queue = commands_->queue;
  queue->cancelAllOperations();
  // A command waiting for its hand-over on this very queue would hold it for the whole
  // 3 s limit (and every signal packet with it): release it now; its hand-over, when it
  // runs, sees the cancel and writes nothing.
  commands_->releaseHandOver();
  const bool wasSuspended = queue->isSuspended();
  queue->setSuspended(false);
  queue->waitUntilAllOperationsAreFinished();
  replies_->clear();
  queue->setSuspended(wasSuspended);
}

void VPKPeripheral::disableAutoDisconnect() {
  resetInactivity();
  sendCommand("DW0308\r", OperationPriority::High);
}

void VPKPeripheral::readFirmwareVersion() {
  const Value stored = objectForKey("firmware");
  if (const auto* d = stored.getDictionary()) {
    setFirmwareVersion(VPKDeviceFirmwareDescription::createWithDictionary(*d));
    return;
  }
  sendCommand("Q1\r", OperationPriority::High);
}

// ---- discovery ----

void VPKPeripheral::discoverServices() {
  VPKLog(0, "Discovering services for device:{}", name_);
  tx_ = rx_ = dfuPkt_ = dfuCtrl_ = nullptr;
  dfuService_ = mainService_ = nullptr;
  cancelPendingCommands();
  peripheral_->discoverServices(deviceServiceUUIDs());
}

void VPKPeripheral::didDiscoverServices(const BluetoothPeripheralPtr&, const std::optional<BluetoothError>& error) {
  auto self = shared_from_this();
  if (error) {
    logError(*error, "deviceDiscoverServicesErrors");
  } else {
    for (const auto& s : peripheral_->services()) {
      if (s->uuid() == deviceServiceUUID()) mainService_ = s;
      if (s->uuid() == deviceOTAUUID()) dfuService_ = s;
    }
    if (mainService_) peripheral_->discoverCharacteristics(devicCharacteristicUUIDs(), mainService_);
    if (dfuService_)
      peripheral_->discoverCharacteristics({dfuCtrlCharacteristicUUID(), dfuPktCharacteristicUUID()}, dfuService_);
  }
  tellManager([&](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.didDiscoverServices(p, error); });
}

void VPKPeripheral::didDiscoverCharacteristics(const BluetoothPeripheralPtr&, const BluetoothServicePtr& service,
                                               const std::optional<BluetoothError>& error) {
  auto self = shared_from_this();
  if (error) {
    logError(*error, "deviceDiscoverCharacteristicsErrors");
  } else if (service) {
    for (const auto& c : service->characteristics()) {
      if (service == mainService_) {
        if (c->uuid() == txCharacteristicUUID()) {
          tx_ = c;
        } else if (c->uuid() == rxCharacteristicUUID()) {
          rx_ = c;
          peripheral_->setNotifyValue(true, c);
        }
      } else if (service == dfuService_) {
        if (c->uuid() == dfuPktCharacteristicUUID()) {
          dfuPkt_ = c;
        } else if (c->uuid() == dfuCtrlCharacteristicUUID()) {
          dfuCtrl_ = c;
          peripheral_->setNotifyValue(true, c);
        }
      }
    }
  }
  const bool commandChannelReady = tx_ && rx_;
  // A headband in update mode serves only the update service: its owner still has to hear
  // of the control point, or the headband could never be reset to normal operation.
  const bool updateChannelReady = !error && service && service == dfuService_ && dfuCtrl_;
  if (commandChannelReady) commands_->queue->setSuspended(false);
  if (commandChannelReady || updateChannelReady)
    tellManager(
        [&](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.didDiscoverCharacteristics(p, service, error); });
}

// ---- notifications and replies ----

void VPKPeripheral::didUpdateValue(const BluetoothPeripheralPtr&, const BluetoothCharacteristicPtr& characteristic,
                                   const std::vector<uint8_t>& value, const std::optional<BluetoothError>& error) {
  auto self = shared_from_this();
  if (error) {
    logError(*error, "deviceReadErrors");
    VPKLog(1, "Device recieved error while updating characteristic:{}", toVPKError(*error).fullDescription());
    return;
  }
  if (!characteristic || characteristic->uuid() != rxCharacteristicUUID()) return;
  if (ReplyAssembler::isSignalPacket(value)) {
    stream_->processData(value);
    return;
  }
  ReplyAssembler::Reply reply;
  switch (replies_->feed(value, &reply)) {
    case ReplyAssembler::Event::Completed: dispatchResponse(reply.echoed, reply.response); break;
    case ReplyAssembler::Event::Discarded: VPKLog(1, "Dropped the over-long reply to {}", reply.echoed); break;
    case ReplyAssembler::Event::Overflowed:
      VPKLog(1, "WARNING: Device({}) reply exceeds {} bytes without an end; dropping it", name_,
             ReplyAssembler::kMaxLength);
      break;
    default: break;
  }
}

void VPKPeripheral::handleQueryResponseForCommand(const std::string& command, const std::optional<VPKError>&) {
  dispatchResponse(command, std::string(trimReply(replies_->buffer())));
}

void VPKPeripheral::dispatchResponse(const std::string& command, const std::string& response) {
  if (command == "Q1\r") {
    VPKLog(0, "Recieved firmware reading:{}", response);
    handleReadFirmwareVersionResponse(response);
  } else if (command == "DR0404\r") {
    handleReadSystemQueryResponse(response);
  } else {
    if (response.find("QI:Entering Sleep Mode") != std::string::npos) {
      VPKLog(1, "Device sent shutdown notification");
      setStatus(VPKDeviceStatusPoweredOff);
      removeOnDisconnect_ = true;
      tellManager([](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.disconnectDevice(p); });
    }
    VPKLog(0, "Device recieved unrequested data:{}", response);
  }
}

void VPKPeripheral::didWriteValue(const BluetoothPeripheralPtr&, const BluetoothCharacteristicPtr& characteristic,
                                  const std::optional<BluetoothError>& error) {
  auto self = shared_from_this();
  if (characteristic && characteristic->uuid() == dfuCtrlCharacteristicUUID() && resettingOTASystem_) {
    resettingOTASystem_ = false;
    auto handlers = std::move(otaResetHandlers_);
    otaResetHandlers_.clear();
    std::optional<VPKError> result;
    if (error) result = toVPKError(*error);
    VPKResourceManager::performBlock([handlers, result] {
      for (const auto& h : handlers) h(result);
    });
  }
  if (error) {
    VPKLog(1, "Failed to write command...");
    cancelPendingCommands();
    logError(*error, "deviceWriteErrors");
  }
}

// ---- status ----

void VPKPeripheral::setStatus(unsigned long status) {
  status_ = status;
  if (status == VPKDeviceStatusIdle || status == VPKDeviceStatusDisconnected || status == VPKDeviceStatusPoweredOff) {
    stream_->reset();
    stream_->close();
  }
}

void VPKPeripheral::handleReadSystemQueryResponse(const std::string& response) {
  const std::optional<StatusWord> word = decodeStatusWord(response);
  if (!word) {
    // A garbled answer read as 0 would report an empty battery that, by the level rule,
    // could never rise again until the charger is plugged in: skip it instead.
    VPKLog(1, "WARNING: Device({}) sent a status answer that is not hexadecimal:{}", name_, response);
    updatingSystemStatus_ = false;
    systemUpdateAttempts_ = 0;
    return;
  }
  const uint8_t raw = word->batteryRaw;
  const bool button = word->button;
  processSystemState(raw, word->charging, button);
  systemQueryResponses_.push_back(Value::dictionary({
      {"raw", response},
      {"batteryRaw", raw},
      {"batteryVoltage", batteryLevel_ ? Value(*batteryLevel_) : Value("N/A")},
      {"buttonState", button},
      {"buttonPressDuration", buttonPressDuration()},
      {"charging", charging_},
  }));
  if (systemQueryResponses_.size() > kMaxSystemQueryResponses) systemQueryResponses_.erase(systemQueryResponses_.begin());
}

void VPKPeripheral::processSystemState(uint8_t batteryRaw, bool chargeState, bool powerButtonState) {
  if (std::fabs(batteryOperatingRange_) < kFloatEpsilon) batteryOperatingRange_ = 3.985f;
  const Value storedChargingVoltage = objectForKey("chargingVoltage");
  const float chargingVoltage = static_cast<float>(storedChargingVoltage.doubleValue());
  float span, upperLimit;
  if (chargingVoltage >= 5.0f) {
    span = 4.2f - 3.6f;
    upperLimit = 4.22f;
  } else {
    span = 3.899f - 3.6f;
    upperLimit = batteryOperatingRange_;
  }
  const float volts = static_cast<float>(batteryRaw + batteryRaw) / 100.0f;
  const float fraction = (volts - 3.6f) / span;
  const float level = std::clamp(fraction, 0.0f, 1.0f);

  if (chargeState) {
    nonChargingCycles_ = 0;
  } else if (++nonChargingCycles_ >= 5) {
    if (volts > 4.7f || std::fabs(volts - 4.7f) < kFloatEpsilon) {
      logError(VPKError::make(6, "Device battery operating in charging range without charging bit set"),
               "deviceHardwareInconsistencyErrors");
      VPKLog(1, "WARNING: Device battery operating in charging range without charging bit set!");
    }
    if (volts > upperLimit || std::fabs(volts - upperLimit) < kFloatEpsilon) {
      VPKLog(1, "WARNING: Device battery operating above maximum operating range!");
      batteryOperatingRange_ = 4.22f;
    }
  }

  bool changed = powerButtonState || buttonDown_;
  setButtonDown(powerButtonState);

  changed = changed || charging_ != chargeState;
  if (charging_ && !chargeState) {
    setBatteryLevel(std::nullopt);
    changed = true;
  }
  setCharging(chargeState);

  float newLevel = level;
  if (batteryLevel_)
    newLevel = std::min(*batteryLevel_, level);
  else
    changed = true;
  const bool levelChanged = newLevel != batteryLevel_.value_or(0.0f);
  setBatteryLevel(newLevel);

  if (chargeState) setObject(static_cast<double>(volts), "chargingVoltage");

  changed = changed || levelChanged;
  ++updateCycles_;
  updatingSystemStatus_ = false;
  systemUpdateAttempts_ = 0;
  if (buttonPressDuration() >= 1.0) updateSystemQueryRate();

  if (changed || updateCycles_ % 5 == 0) {
    const Value cv = objectForKey("chargingVoltage");
    VPKLog(0,
           "System State({}): rssi = {}, chg = {:d}, btn = {:d}, batV = {:.2f}, bat = {:d}%, c-bat = {:d}%, NCC = {}, "
           "SQR = {:0.2f}, chg-bat = {}",
           name_, rssi_, int(chargeState), int(powerButtonState), volts, roundedPercent(fraction),
           roundedPercent(level), nonChargingCycles_, systemQueryRate_, cv.isNull() ? "(null)" : cv.description());
  }
}

void VPKPeripheral::setCharging(bool charging) {
  if (charging == charging_) return;
  charging_ = charging;
  tellManager([](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.handleDeviceChargeStateChanged(p); });
  if (charging && streaming_) stopStreaming();
  updateSystemQueryRate();
}

void VPKPeripheral::setBatteryLevel(std::optional<float> level) {
  // Clearing always takes effect: an empty battery (level 0) must be forgotten when the
  // charger is removed, or the level, which never rises while present, would stay at 0.
  if (batteryLevel_ && level && std::fabs(*level - *batteryLevel_) < kFloatEpsilon) return;
  if (!batteryLevel_ && !level) return;
  batteryLevel_ = level;
  tellManager([](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.handleDeviceBatteryUpdate(p); });
}

void VPKPeripheral::setButtonDown(bool down) {
  if (down == buttonDown_) {
    if (down) tellManager([](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.handleDevicePowerButtonHeld(p); });
    return;
  }
  buttonDown_ = down;
  updateSystemQueryRate();
  if (down) {
    buttonDownDate_ = vpk::Clock::timestamp();
    tellManager([](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.handleDevicePowerButtonPressed(p); });
    return;
  }
  if (buttonPressDuration() >= 10.0) setStatus(VPKDeviceStatusPoweredOff);
  powerDownOnButtonRelease_ = false;
  tellManager([](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.handleDevicePowerButtonReleased(p); });
  buttonDownDate_.reset();
}

double VPKPeripheral::buttonPressDuration() const {
  if (!buttonDownDate_) return 0;
  return std::fabs(vpk::Clock::timestamp() - *buttonDownDate_);
}

void VPKPeripheral::setSystemQueryRate(double seconds) {
  if (!(std::fabs(seconds - systemQueryRate_) >= DBL_EPSILON)) return;
  systemQueryRate_ = seconds;
  tellManager([](VPKPeripheralManager& m, const VPKPeripheralPtr&) { m.resetConnectionUpdateTimer(); });
}

void VPKPeripheral::updateSystemQueryRate() {
  double rate = 2.0;
  if (performingDiagnostics_)
    rate = 0.5;
  else if (buttonDown_)
    rate = buttonPressDuration() >= 1.0 ? 0.3 : 0.5;
  setSystemQueryRate(rate);
}

void VPKPeripheral::updateSystemStatus() {
  auto self = shared_from_this();
  const double now = vpk::Clock::timestamp();
  if (!streaming_) {
    if (lastUpdateTime_) inactiveTime_ += std::fabs(now - *lastUpdateTime_);
    VPKLog(0, "Device({}) inactive for {:.2f}s", name_, inactiveTime_);
  } else {
    inactiveTime_ = 0;
  }
  lastUpdateTime_ = now;
  if (disconnectsWhenInactive_ && inactiveTime_ >= maxInactiveTime_) {
    VPKLog(1, "Disconnecting due to inactivity");
    disconnect();
    return;
  }
  if (!updatingSystemStatus_) {
    updatingSystemStatus_ = true;
    const bool held = buttonDown_ && buttonPressDuration() >= 3.0;
    sendCommand("DR0404\r", held ? OperationPriority::VeryHigh : OperationPriority::High);
    return;
  }
  if (++systemUpdateAttempts_ == 10) {
    updatingSystemStatus_ = false;
    systemUpdateAttempts_ = 0;
  }
}

void VPKPeripheral::setRSSI(std::optional<int> rssi) {
  rssi_ = rssi.value_or(kMissingRSSI);
  if (rssiLog_.capacity() < kMaxRSSILogLength + 1) rssiLog_.reserve(kMaxRSSILogLength + 1);
  if (!rssi) return;
  rssiLog_.push_back(*rssi);
  if (rssiLog_.size() > kMaxRSSILogLength) rssiLog_.erase(rssiLog_.begin());
}

void VPKPeripheral::didReadRSSI(const BluetoothPeripheralPtr&, std::optional<int> rssi,
                                const std::optional<BluetoothError>& error) {
  auto self = shared_from_this();
  if (error) logError(*error, "readRSSIErrors");
  setRSSI(rssi.value_or(kMissingRSSI));
  tellManager([&](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.didReadRSSI(p, rssi, error); });
}

void VPKPeripheral::disconnectIfInactiveAfterDelay(double seconds) {
  VPKLog(0, "Will disconnect device({}) after {} seconds of inactivity", name_, seconds);
  disconnectsWhenInactive_ = true;
  maxInactiveTime_ = seconds;
  inactiveTime_ = 0;
}

void VPKPeripheral::cancelInactivityDisconnectionRequests() {
  VPKLog(0, "Cancelled inactivty disconnect requests for device device({})", name_);
  disconnectsWhenInactive_ = false;
  maxInactiveTime_ = 5.0;
  inactiveTime_ = 0;
}

// ---- stream and power ----

void VPKPeripheral::openStream() {
  resetInactivity();
  stream_->close();
  stream_->reset();
  stream_->open();
  setSystemQueryRate(3.0);
  sendCommand("S01\r", OperationPriority::Normal);
}

void VPKPeripheral::closeStream() {
  resetInactivity();
  setSystemQueryRate(2.0);
  stream_->close();
  stream_->reset();
  sendCommand("S00\r", OperationPriority::Normal);
}

void VPKPeripheral::startStreaming() {
  resetInactivity();
  tellManager([](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.openDeviceStream(p); });
}

void VPKPeripheral::stopStreaming() {
  resetInactivity();
  tellManager([](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.closeDeviceStream(p); });
}

void VPKPeripheral::powerDown() {
  lastUpdateTime_.reset();
  cancelInactivityDisconnectionRequests();
  tellManager([](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.powerDownDevice(p); });
}

void VPKPeripheral::forgetDevice() {
  tellManager([](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.forgetDevice(p); });
}

// ---- connection ----

void VPKPeripheral::connectWithHandler(Completion handler) {
  lastUpdateTime_.reset();
  resetInactivity();
  if (status_ == VPKDeviceStatusConnected) {
    VPKLog(0, "Device already connected");
    if (handler) vpk::DispatchQueue::main()->async([handler] { handler(std::nullopt); });
    return;
  }
  if (handler) connectHandlers_.push_back(std::move(handler));
  replies_->clear();
  // A status query of an earlier link can no longer be answered: left outstanding, it would
  // hold back the new link's own query for ten ticks.
  updatingSystemStatus_ = false;
  systemUpdateAttempts_ = 0;
  tellManager([](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.connectDevice(p); });
}

void VPKPeripheral::disconnectWithHandler(Completion handler) {
  auto self = shared_from_this();
  resetInactivity();
  cancelInactivityDisconnectionRequests();
  if (handler) disconnectHandlers_.push_back(std::move(handler));
  replies_->clear();
  tellManager([](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.disconnectDevice(p); });
}

namespace {
void flushOnMain(std::vector<VPKPeripheral::Completion>& list, const std::optional<VPKError>& error) {
  auto handlers = std::move(list);
  list.clear();
  if (handlers.empty()) return;
  vpk::DispatchQueue::main()->async([handlers = std::move(handlers), error] {
    for (const auto& h : handlers) h(error);
  });
}
}  // namespace

void VPKPeripheral::flushConnectHandlersWithError(const std::optional<VPKError>& error) {
  VPKLog(0, "Flushing connect handlers with error:{}", errorText(error));
  flushOnMain(connectHandlers_, error);
}

void VPKPeripheral::flushDisconnectConnectHandlersWithError(const std::optional<VPKError>& error) {
  VPKLog(0, "Flushing disconnect handlers with error:{}", errorText(error));
  flushOnMain(disconnectHandlers_, error);
}

// ---- firmware ----

void VPKPeripheral::handleReadFirmwareVersionResponse(const std::string& response) {
  auto firmware = VPKDeviceFirmwareDescription::createWithResponse(response);
  if (!firmware) return;
  if (auto d = firmware->dictionaryValue()) setObject(*d, "firmware");
  setFirmwareVersion(firmware);
  VPKLog(0, "Device({}) firmware:{}", name_, firmware->description());
}

void VPKPeripheral::setFirmwareVersion(VPKDeviceFirmwareDescription::Ptr firmware) {
  firmwareVersion_ = std::move(firmware);
  std::weak_ptr<VPKPeripheral> weak = weak_from_this();
  VPKResourceManager::performBlock([weak] {
    if (auto self = weak.lock())
      self->tellManager(
          [](VPKPeripheralManager& m, const VPKPeripheralPtr& p) { m.handleDeviceReadFirmwareVersion(p); });
  });
}

void VPKPeripheral::resetOTASystem(Completion handler) {
  auto fail = [&handler](const char* why) {
    if (handler) VPKResourceManager::performBlock([handler, e = VPKError::make(2, why)] { handler(e); });
  };
  if (!dfuCtrl_) {
    resettingOTASystem_ = false;
    fail("No valid OTA characteristics discovered.");
    return;
  }
  resettingOTASystem_ = true;
  VPKLog(1, "Reseting OTA System for device:{}", name_);
  if (peripheral_->state() != BluetoothPeripheralState::Connected) {
    resettingOTASystem_ = false;
    fail("Device not connected.");
    return;
  }
  if (handler) otaResetHandlers_.push_back(std::move(handler));
  peripheral_->writeValue({0x06}, dfuCtrl_, vpk::BluetoothWriteType::WithResponse);
}
