#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedHeadband.h>

#include <VemraPlatformKit/device/VPKPeripheral.h>

#include "platform/bluetooth/simulated/HeadbandCore.h"
#include "platform/bluetooth/simulated/WorldCore.h"

#include <mutex>

namespace vpk {

namespace {

// Runs `fn(core)` under the world's lock; `fallback` when the world is gone.
template <typename F, typename R = std::invoke_result_t<F, detail::HeadbandCore&>>
R withCore(const std::shared_ptr<detail::HeadbandCore>& core, F&& fn, R fallback = R()) {
  auto world = core->world().lock();
  if (!world) return fallback;
  std::lock_guard<std::mutex> lock(world->mutex);
  return fn(*core);
}

template <typename F>
void withCoreVoid(const std::shared_ptr<detail::HeadbandCore>& core, F&& fn) {
  auto world = core->world().lock();
  if (!world) return;
  std::lock_guard<std::mutex> lock(world->mutex);
  fn(*core);
}

}  // namespace

const BluetoothUUID& SimulatedHeadband::mainServiceUUID() { return VPKPeripheral::deviceServiceUUID(); }
const BluetoothUUID& SimulatedHeadband::txCharacteristicUUID() { return VPKPeripheral::txCharacteristicUUID(); }
const BluetoothUUID& SimulatedHeadband::rxCharacteristicUUID() { return VPKPeripheral::rxCharacteristicUUID(); }
const BluetoothUUID& SimulatedHeadband::updateServiceUUID() { return VPKPeripheral::deviceOTAUUID(); }
const BluetoothUUID& SimulatedHeadband::updateControlPointUUID() { return VPKPeripheral::dfuCtrlCharacteristicUUID(); }
const BluetoothUUID& SimulatedHeadband::updatePacketUUID() { return VPKPeripheral::dfuPktCharacteristicUUID(); }

SimulatedHeadband::SimulatedHeadband(std::shared_ptr<detail::HeadbandCore> core) : core_(std::move(core)) {}

SimulatedHeadband::~SimulatedHeadband() = default;

const BluetoothUUID& SimulatedHeadband::identifier() const { return core_->identifier(); }
SimulatedHeadband::Configuration SimulatedHeadband::configuration() const {
  return withCore(core_, [](detail::HeadbandCore& c) { return c.configuration(); });
}
std::string SimulatedHeadband::name() const { return core_->name(); }

std::string SimulatedHeadband::advertisedName() const {
  return withCore(core_, [](detail::HeadbandCore& c) { return c.advertisedName(); });
}
bool SimulatedHeadband::isPoweredOn() const {
  return withCore(core_, [](detail::HeadbandCore& c) { return c.power() == detail::HeadbandCore::Power::On; });
}
bool SimulatedHeadband::isAdvertising() const {
  return withCore(core_, [](detail::HeadbandCore& c) { return c.isAdvertising(); });
}
bool SimulatedHeadband::isConnected() const {
  return withCore(core_, [](detail::HeadbandCore& c) { return c.isConnected(); });
}
bool SimulatedHeadband::isStreaming() const {
  return withCore(core_, [](detail::HeadbandCore& c) { return c.firmware().streaming(); });
}
bool SimulatedHeadband::isInUpdateMode() const {
  return withCore(core_, [](detail::HeadbandCore& c) { return c.inUpdateMode(); });
}
bool SimulatedHeadband::isCharging() const {
  return withCore(core_, [](detail::HeadbandCore& c) { return c.firmware().charging(); });
}
bool SimulatedHeadband::isButtonDown() const {
  return withCore(core_, [](detail::HeadbandCore& c) { return c.firmware().buttonDown(); });
}
bool SimulatedHeadband::isAutoDisconnectEnabled() const {
  return withCore(core_, [](detail::HeadbandCore& c) { return c.firmware().autoDisconnectEnabled(); });
}
double SimulatedHeadband::batteryVoltage() const {
  return withCore(core_, [](detail::HeadbandCore& c) { return c.firmware().cellVoltage(detail::WorldCore::now()); });
}
uint32_t SimulatedHeadband::statusWord() const {
  return withCore(core_, [](detail::HeadbandCore& c) { return c.firmware().statusWord(detail::WorldCore::now()); });
}
std::string SimulatedHeadband::firmwareText() const {
  return withCore(core_, [](detail::HeadbandCore& c) { return c.firmware().firmwareText(); });
}
std::vector<std::string> SimulatedHeadband::receivedCommands() const {
  return withCore(core_, [](detail::HeadbandCore& c) {
    return std::vector<std::string>(c.commandLog().begin(), c.commandLog().end());
  });
}
uint64_t SimulatedHeadband::packetsSent() const {
  return withCore(core_, [](detail::HeadbandCore& c) { return c.packetsSent(); });
}

void SimulatedHeadband::pressButton() {
  withCoreVoid(core_, [](detail::HeadbandCore& c) { c.pressButton(); });
}
void SimulatedHeadband::releaseButton() {
  withCoreVoid(core_, [](detail::HeadbandCore& c) { c.releaseButton(); });
}
void SimulatedHeadband::holdButton(double seconds) {
  withCoreVoid(core_, [seconds](detail::HeadbandCore& c) { c.holdButton(seconds); });
}
void SimulatedHeadband::setCharging(bool charging) {
  withCoreVoid(core_, [charging](detail::HeadbandCore& c) { c.setCharging(charging); });
}
void SimulatedHeadband::setBatteryVoltage(double volts) {
  withCoreVoid(core_, [volts](detail::HeadbandCore& c) { c.setBatteryVoltage(volts); });
}
void SimulatedHeadband::powerOff() {
  withCoreVoid(core_, [](detail::HeadbandCore& c) { c.beginSleep(); });
}
void SimulatedHeadband::powerOn() {
  withCoreVoid(core_, [](detail::HeadbandCore& c) { c.powerOn(); });
}
bool SimulatedHeadband::setScenario(const std::string& name) {
  return withCore(core_, [&name](detail::HeadbandCore& c) { return c.setScenario(name); });
}
void SimulatedHeadband::setElectrodeContact(SimulatedChannel channel, ElectrodeContact contact) {
  withCoreVoid(core_, [=](detail::HeadbandCore& c) { c.setElectrodeContact(channel, contact); });
}
void SimulatedHeadband::enterUpdateMode() {
  withCoreVoid(core_, [](detail::HeadbandCore& c) { c.enterUpdateMode(); });
}
void SimulatedHeadband::setRSSI(int rssi) {
  withCoreVoid(core_, [rssi](detail::HeadbandCore& c) { c.setRSSI(rssi); });
}

void SimulatedHeadband::setNotificationDropRate(double fraction) {
  withCoreVoid(core_, [fraction](detail::HeadbandCore& c) { c.setNotificationDropRate(fraction); });
}
void SimulatedHeadband::setReplyLossRate(double fraction) {
  withCoreVoid(core_, [fraction](detail::HeadbandCore& c) { c.setReplyLossRate(fraction); });
}
void SimulatedHeadband::loseNextReplies(unsigned count) {
  withCoreVoid(core_, [count](detail::HeadbandCore& c) { c.loseNextReplies(count); });
}
void SimulatedHeadband::failNextWrites(unsigned count, BluetoothError error) {
  withCoreVoid(core_, [&](detail::HeadbandCore& c) { c.failNextWrites(count, error); });
}
void SimulatedHeadband::failNextNotification(BluetoothError error) {
  withCoreVoid(core_, [&](detail::HeadbandCore& c) { c.failNextNotification(error); });
}
void SimulatedHeadband::setRefusesConnections(bool refuses) {
  withCoreVoid(core_, [refuses](detail::HeadbandCore& c) { c.setRefusesConnections(refuses); });
}
void SimulatedHeadband::failNextServiceDiscovery(BluetoothError error) {
  withCoreVoid(core_, [&](detail::HeadbandCore& c) { c.faultInjection().serviceDiscoveryError = error; });
}
void SimulatedHeadband::failNextCharacteristicDiscovery(BluetoothError error) {
  withCoreVoid(core_, [&](detail::HeadbandCore& c) { c.faultInjection().characteristicDiscoveryError = error; });
}
void SimulatedHeadband::failNextRSSIReads(unsigned count, std::optional<BluetoothError> error) {
  withCoreVoid(core_, [&](detail::HeadbandCore& c) {
    c.faultInjection().rssiFailures = count;
    c.faultInjection().rssiError = error;
  });
}
void SimulatedHeadband::replaceNextAnswers(const std::string& command, const std::string& answer, unsigned count) {
  withCoreVoid(core_, [&](detail::HeadbandCore& c) { c.faultInjection().answers[command] = {answer, count}; });
}
void SimulatedHeadband::notifyText(const std::string& text) {
  withCoreVoid(core_, [&](detail::HeadbandCore& c) { c.notifyUnasked(text); });
}
void SimulatedHeadband::notifyBytes(std::vector<uint8_t> bytes) {
  withCoreVoid(core_, [&](detail::HeadbandCore& c) { c.notifyUnasked(std::move(bytes)); });
}
void SimulatedHeadband::dropLink(double afterSeconds, BluetoothError error) {
  withCoreVoid(core_, [&](detail::HeadbandCore& c) { c.dropLinkAfter(afterSeconds, error); });
}

}  // namespace vpk
