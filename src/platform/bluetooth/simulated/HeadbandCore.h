#pragma once
// A virtual headband inside a world: its radio (advertising, connection, link timing), its
// GATT table, its firmware and signal, its scripted events and its faults.
// Every member function expects the world's lock to be held by the caller, who also keeps
// the world alive.

#include <VemraPlatformKit/platform/bluetooth/BluetoothAdvertisementData.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedHeadband.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedSignalModel.h>

#include "platform/bluetooth/simulated/HeadbandFirmware.h"
#include "platform/bluetooth/simulated/SimRandom.h"
#include "platform/bluetooth/simulated/SimulatedLink.h"

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vpk::detail {

class WorldCore;
class SimulatedCentral;
class SimulatedPeripheral;

class HeadbandCore : public std::enable_shared_from_this<HeadbandCore> {
 public:
  enum class Power { Off, Booting, On };

  struct GattCharacteristic {
    BluetoothUUID uuid;
    unsigned properties;
  };
  struct GattService {
    BluetoothUUID uuid;
    std::vector<GattCharacteristic> characteristics;
  };

  HeadbandCore(const std::shared_ptr<WorldCore>& world, SimulatedHeadband::Configuration configuration,
               BluetoothUUID identifier, uint64_t seed);
  ~HeadbandCore();

  const std::weak_ptr<WorldCore>& world() const { return world_; }
  const BluetoothUUID& identifier() const { return identifier_; }
  const std::string& name() const { return config_.name; }
  const SimulatedHeadband::Configuration& configuration() const { return config_; }

  // ---- observation ----
  Power power() const { return power_; }
  bool inUpdateMode() const { return updateMode_; }
  bool isAdvertising();
  bool isConnected() const { return link_ != nullptr; }
  bool isLinkedTo(const SimulatedPeripheral* peripheral) const;
  HeadbandFirmware& firmware() { return firmware_; }
  std::string advertisedName() const;
  BluetoothAdvertisementData advertisement() const;
  std::vector<GattService> gattTable() const;
  const std::deque<std::string>& commandLog() const { return commandLog_; }
  uint64_t packetsSent() const { return packetsSent_; }

  // ---- radio ----
  /// Starts advertising events if a central listens or waits to connect.
  void kickAdvertising();
  /// Starts the slow tick that watches the battery while the headband is awake.
  void startHousekeeping();
  /// A request of the linked central.
  void submit(LinkRequest request);
  /// Ends the link: the central hears didDisconnect with `error`, then `after` happens.
  void closeLink(std::optional<BluetoothError> error, AfterClose after);
  /// Ends the link without a word to the central (the adapter went off, the central is
  /// gone); returns the peripheral that was linked.
  std::shared_ptr<SimulatedPeripheral> abandonLink();
  uint64_t linkCentralId() const;
  void markRemoved();

  // ---- scripted events ----
  void pressButton();
  void releaseButton();
  void holdButton(double seconds);
  void setCharging(bool charging);
  void setBatteryVoltage(double volts);
  /// Goes to sleep: announces it and closes the link first when connected.
  void beginSleep();
  void powerOn();
  bool setScenario(const std::string& name);
  void setElectrodeContact(SimulatedChannel channel, ElectrodeContact contact);
  void enterUpdateMode();
  void setRSSI(int rssi) { config_.rssi = rssi; }

  // ---- faults ----
  void setNotificationDropRate(double f) { dropRate_ = f; }
  void setReplyLossRate(double f) { replyLossRate_ = f; }
  void loseNextReplies(unsigned n) { loseReplies_ += n; }
  void failNextWrites(unsigned n, BluetoothError e) {
    failWrites_ = n;
    writeError_ = std::move(e);
  }
  void failNextNotification(BluetoothError e) { notificationError_ = std::move(e); }
  void setRefusesConnections(bool r) { refuses_ = r; }
  void dropLinkAfter(double seconds, BluetoothError error);
  /// Faults of discovery, signal-strength reads and answers (taken when they fire).
  struct FaultInjection {
    std::optional<BluetoothError> serviceDiscoveryError;
    std::optional<BluetoothError> characteristicDiscoveryError;
    unsigned rssiFailures = 0;
    std::optional<BluetoothError> rssiError;
    std::map<std::string, std::pair<std::string, unsigned>> answers;  // command -> (answer, count)
  };
  FaultInjection& faultInjection() { return injection_; }
  /// Sends text, or one notification of raw bytes, on RX at the next connection event.
  void notifyUnasked(const std::string& text);
  void notifyUnasked(std::vector<uint8_t> bytes);

 private:
  bool canAdvertise() const;
  bool wantsAdvertisingEvents();
  void advertisingEvent(uint64_t generation);
  void establish(const std::shared_ptr<SimulatedCentral>& central, const std::shared_ptr<SimulatedPeripheral>& peripheral);
  void scheduleEvent();
  void connectionEvent(uint64_t linkGeneration, uint64_t n);
  void produceSignal(uint64_t n);
  void handleRequest(LinkRequest& request, uint64_t n);
  void handleWrite(LinkRequest& request, uint64_t n);
  void deliver(LinkDelivery& delivery);
  void queueDelivery(uint64_t ready, std::function<void()> deliver);
  void queueText(uint64_t ready, const std::string& text);
  void queueNotification(uint64_t ready, const BluetoothCharacteristicPtr& characteristic, std::vector<uint8_t> bytes);
  /// Posts a call to the linked peripheral's delegate, `before` updating its mirrors.
  void postToPeripheral(std::function<void()> before,
                        std::function<void(BluetoothPeripheralDelegate&, const BluetoothPeripheralPtr&)> call);
  void respond(uint64_t ready, const BluetoothCharacteristicPtr& characteristic, std::optional<BluetoothError> error);
  std::optional<GattCharacteristic> findCharacteristic(const BluetoothCharacteristicPtr& characteristic) const;
  void armAutoDisconnect();
  void checkBattery();
  void goToSleep();
  void reboot(bool updateMode);
  int sampleRSSI();

  std::weak_ptr<WorldCore> world_;
  WorldCore* worldRaw_;  // valid while the lock is held (the holder keeps the world alive)
  SimulatedHeadband::Configuration config_;
  const BluetoothUUID identifier_;
  HeadbandFirmware firmware_;
  SimulatedSignalModel signal_;
  SimRandom radio_;
  SimRandom faults_;

  Power power_ = Power::On;
  bool updateMode_ = false;
  bool removed_ = false;
  std::unique_ptr<SimulatedLink> link_;
  uint64_t linkGeneration_ = 0;
  bool advertisingScheduled_ = false;
  uint64_t advertisingGeneration_ = 0;
  uint64_t autoDisconnectGeneration_ = 0;
  uint64_t bootGeneration_ = 0;
  uint64_t sleepGeneration_ = 0;
  bool housekeeping_ = false;

  double dropRate_ = 0;
  double replyLossRate_ = 0;
  unsigned loseReplies_ = 0;
  unsigned failWrites_ = 0;
  BluetoothError writeError_;
  std::optional<BluetoothError> notificationError_;
  bool refuses_ = false;
  bool swallowClosingEcho_ = false;
  FaultInjection injection_;

  std::deque<std::string> commandLog_;
  uint64_t packetsSent_ = 0;
  uint8_t sequence_ = 0;
};

}  // namespace vpk::detail
