#pragma once
// Test peers for the Bluetooth layer: a delegate that records every callback, a reply
// assembler that reads RX the way the headband's host code does, and a fixture that owns a
// simulated world in virtual time.

#include "support/VirtualTime.h"

#include "device/ReplyAssembler.h"

#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedWorld.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace vpk::test {

struct BluetoothEvent {
  enum class Kind {
    State, Discovered, Connected, Disconnected, FailedToConnect, Services, Characteristics, Value, Written,
    NotificationState, RSSI
  };
  Kind kind = Kind::State;
  double time = 0;
  BluetoothPeripheralPtr peripheral;
  BluetoothAdvertisementData advertisement;
  std::optional<int> rssi;
  BluetoothCharacteristicPtr characteristic;
  BluetoothServicePtr service;
  std::vector<uint8_t> value;
  std::optional<BluetoothError> error;
  BluetoothAdapterState state = BluetoothAdapterState::Unknown;
  const DispatchQueue* queue = nullptr;  // the queue the callback ran on
};

class RecordingDelegate : public BluetoothCentralDelegate, public BluetoothPeripheralDelegate {
 public:
  using Kind = BluetoothEvent::Kind;

  std::vector<BluetoothEvent> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<BluetoothEvent> events(Kind kind) const {
    std::vector<BluetoothEvent> out;
    for (auto& e : events())
      if (e.kind == kind) out.push_back(e);
    return out;
  }
  size_t count(Kind kind) const { return events(kind).size(); }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }
  /// Values notified on `uuid`, in order.
  std::vector<std::vector<uint8_t>> values(const BluetoothUUID& uuid) const {
    std::vector<std::vector<uint8_t>> out;
    for (auto& e : events(Kind::Value))
      if (!e.error && e.characteristic->uuid() == uuid) out.push_back(e.value);
    return out;
  }
  /// Signal packets (first byte 0xA0) with their arrival times.
  std::vector<BluetoothEvent> signalPackets() const {
    std::vector<BluetoothEvent> out;
    for (auto& e : events(Kind::Value))
      if (!e.error && !e.value.empty() && e.value[0] == 0xA0) out.push_back(e);
    return out;
  }
  /// Text notifications (anything that is not a signal packet).
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (auto& e : events(Kind::Value))
      if (!e.error && !e.value.empty() && e.value[0] != 0xA0 && e.value[0] != 0xFE)
        out.emplace_back(e.value.begin(), e.value.end());
    return out;
  }

  void didUpdateState(BluetoothCentral& central) override {
    BluetoothEvent e = make(Kind::State);
    e.state = central.state();
    add(std::move(e));
  }
  void didDiscoverPeripheral(BluetoothCentral&, const BluetoothPeripheralPtr& p, const BluetoothAdvertisementData& a,
                             std::optional<int> rssi) override {
    BluetoothEvent e = make(Kind::Discovered);
    e.peripheral = p;
    e.advertisement = a;
    e.rssi = rssi;
    add(std::move(e));
  }
  void didConnectPeripheral(BluetoothCentral&, const BluetoothPeripheralPtr& p) override {
    BluetoothEvent e = make(Kind::Connected);
    e.peripheral = p;
    add(std::move(e));
  }
  void didDisconnectPeripheral(BluetoothCentral&, const BluetoothPeripheralPtr& p,
                               const std::optional<BluetoothError>& error) override {
    BluetoothEvent e = make(Kind::Disconnected);
    e.peripheral = p;
    e.error = error;
    add(std::move(e));
  }
  void didFailToConnectPeripheral(BluetoothCentral&, const BluetoothPeripheralPtr& p,
                                  const std::optional<BluetoothError>& error) override {
    BluetoothEvent e = make(Kind::FailedToConnect);
    e.peripheral = p;
    e.error = error;
    add(std::move(e));
  }
  void didDiscoverServices(const BluetoothPeripheralPtr& p, const std::optional<BluetoothError>& error) override {
    BluetoothEvent e = make(Kind::Services);
    e.peripheral = p;
    e.error = error;
    add(std::move(e));
  }
  void didDiscoverCharacteristics(const BluetoothPeripheralPtr& p, const BluetoothServicePtr& s,
                                  const std::optional<BluetoothError>& error) override {
    BluetoothEvent e = make(Kind::Characteristics);
    e.peripheral = p;
    e.service = s;
    e.error = error;
    add(std::move(e));
  }
  void didUpdateValue(const BluetoothPeripheralPtr& p, const BluetoothCharacteristicPtr& c,
                      const std::vector<uint8_t>& value, const std::optional<BluetoothError>& error) override {
    BluetoothEvent e = make(Kind::Value);
    e.peripheral = p;
    e.characteristic = c;
    e.value = value;
    e.error = error;
    add(std::move(e));
  }
  void didWriteValue(const BluetoothPeripheralPtr& p, const BluetoothCharacteristicPtr& c,
                     const std::optional<BluetoothError>& error) override {
    BluetoothEvent e = make(Kind::Written);
    e.peripheral = p;
    e.characteristic = c;
    e.error = error;
    add(std::move(e));
  }
  void didUpdateNotificationState(const BluetoothPeripheralPtr& p, const BluetoothCharacteristicPtr& c,
                                  const std::optional<BluetoothError>& error) override {
    BluetoothEvent e = make(Kind::NotificationState);
    e.peripheral = p;
    e.characteristic = c;
    e.error = error;
    add(std::move(e));
  }
  void didReadRSSI(const BluetoothPeripheralPtr& p, std::optional<int> rssi,
                   const std::optional<BluetoothError>& error) override {
    BluetoothEvent e = make(Kind::RSSI);
    e.peripheral = p;
    e.rssi = rssi;
    e.error = error;
    add(std::move(e));
  }

 private:
  static BluetoothEvent make(Kind kind) {
    BluetoothEvent e;
    e.kind = kind;
    e.time = Clock::timestamp();
    e.queue = DispatchQueue::current();
    return e;
  }
  void add(BluetoothEvent e) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(e));
  }
  mutable std::mutex mutex_;
  std::vector<BluetoothEvent> events_;
};

/// The replies in recorded RX notifications, read by the headband object's own assembler.
struct ReplyAssembler {
  using Reply = vpk::detail::ReplyAssembler::Reply;
  std::vector<Reply> replies;

  static ReplyAssembler of(const RecordingDelegate& d) {
    ReplyAssembler a;
    vpk::detail::ReplyAssembler assembler;
    for (const auto& v : d.values(SimulatedHeadband::rxCharacteristicUUID())) {
      Reply r;
      if (assembler.feed(v, &r) == vpk::detail::ReplyAssembler::Event::Completed) a.replies.push_back(std::move(r));
    }
    return a;
  }
};

inline std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

/// A simulated world in virtual time with one central whose callbacks arrive on the main
/// queue (the test thread) and go to `delegate`.
class SimulatedWorldTest : public VirtualTimeTest {
 protected:
  void SetUp() override {
    VirtualTimeTest::SetUp();
    world = SimulatedWorld::create({.seed = 42});
    delegate = std::make_shared<RecordingDelegate>();
    central = world->createCentral(delegate, DispatchQueue::main());
    settle();
  }
  void TearDown() override {
    central.reset();
    world.reset();
    VirtualTimeTest::TearDown();
  }

  struct Link {
    BluetoothPeripheralPtr peripheral;
    BluetoothCharacteristicPtr tx, rx, control, packet;
  };

  /// Scans until `band` is heard and returns its peripheral.
  BluetoothPeripheralPtr discover(const SimulatedHeadbandPtr& band) {
    central->scanForPeripherals({}, false);
    for (int i = 0; i < 100; ++i) {
      for (const auto& e : delegate->events(BluetoothEvent::Kind::Discovered))
        if (e.peripheral->identifier() == band->identifier()) {
          central->stopScan();
          return e.peripheral;
        }
      advance(0.05);
    }
    ADD_FAILURE() << "headband never heard";
    return nullptr;
  }

  /// Connects `band`, discovers its table and subscribes to RX (or the control point).
  Link connect(const SimulatedHeadbandPtr& band) {
    Link link;
    link.peripheral = discover(band);
    if (!link.peripheral) return link;
    link.peripheral->setDelegate(delegate);
    central->connect(link.peripheral);
    advance(0.5);
    EXPECT_EQ(link.peripheral->state(), BluetoothPeripheralState::Connected);
    link.peripheral->discoverServices({SimulatedHeadband::mainServiceUUID(), SimulatedHeadband::updateServiceUUID()});
    advance(0.2);
    for (const auto& s : link.peripheral->services()) link.peripheral->discoverCharacteristics({}, s);
    advance(0.2);
    for (const auto& s : link.peripheral->services()) {
      for (const auto& c : s->characteristics()) {
        if (c->uuid() == SimulatedHeadband::txCharacteristicUUID()) link.tx = c;
        if (c->uuid() == SimulatedHeadband::rxCharacteristicUUID()) link.rx = c;
        if (c->uuid() == SimulatedHeadband::updateControlPointUUID()) link.control = c;
        if (c->uuid() == SimulatedHeadband::updatePacketUUID()) link.packet = c;
      }
    }
    if (link.rx) link.peripheral->setNotifyValue(true, link.rx);
    if (link.control) link.peripheral->setNotifyValue(true, link.control);
    advance(0.2);
    delegate->clear();
    return link;
  }

  void write(const Link& link, const std::string& text) {
    link.peripheral->writeValue(bytes(text), link.tx, BluetoothWriteType::WithResponse);
  }
  /// Sends `command` framed: "E<p>\r", the command, then "E" + command + "</p>\r".
  void sendFramed(const Link& link, const std::string& command) {
    write(link, "E<p>\r");
    write(link, command);
    write(link, "E" + command + "</p>\r");
  }
  /// Sends a framed query and returns its assembled reply text (empty when none came).
  std::string query(const Link& link, const std::string& command) {
    delegate->clear();
    sendFramed(link, command);
    advance(0.5);
    for (const auto& r : ReplyAssembler::of(*delegate).replies)
      if (r.echoed == command) return r.response;
    return {};
  }

  std::shared_ptr<SimulatedWorld> world;
  std::shared_ptr<RecordingDelegate> delegate;
  std::shared_ptr<BluetoothCentral> central;
};

}  // namespace vpk::test
