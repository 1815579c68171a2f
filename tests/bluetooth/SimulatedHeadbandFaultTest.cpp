// Every fault switch of the simulated headband, and the reproducibility of a seed.
#include "BluetoothTestSupport.h"

#include <set>

using namespace vpk;
using namespace vpk::test;
using Kind = BluetoothEvent::Kind;

namespace {

class SimulatedHeadbandFaults : public SimulatedWorldTest {};

TEST_F(SimulatedHeadbandFaults, DroppedNotificationsLeaveGapsInThePacketCounter) {
  auto band = world->addHeadband();
  auto link = connect(band);
  band->setNotificationDropRate(0.25);
  write(link, "S01\r");
  advance(20.0);
  const auto packets = delegate->signalPackets();
  const uint64_t made = band->packetsSent();
  EXPECT_NEAR(static_cast<double>(packets.size()) / static_cast<double>(made), 0.75, 0.03);
  size_t gaps = 0;
  for (size_t i = 1; i < packets.size(); ++i)
    if (static_cast<uint8_t>(packets[i - 1].value[1] + 1) != packets[i].value[1]) ++gaps;
  EXPECT_GT(gaps, made / 8);

  // Text is lost the same way; switched off, everything arrives again.
  band->setNotificationDropRate(1.0);
  EXPECT_EQ(query(link, "Q1\r"), "");
  band->setNotificationDropRate(0);
  EXPECT_EQ(query(link, "Q1\r"), band->firmwareText());
}

TEST_F(SimulatedHeadbandFaults, ANotificationCanArriveAsAnError) {
  auto band = world->addHeadband();
  auto link = connect(band);
  band->failNextNotification();
  write(link, "S01\r");
  advance(0.3);
  const auto values = delegate->events(Kind::Value);
  ASSERT_GE(values.size(), 3u);
  ASSERT_TRUE(values[0].error);
  EXPECT_TRUE(values[0].error->is(BluetoothATTError::UnlikelyError));
  EXPECT_TRUE(values[0].value.empty());
  for (size_t i = 1; i < values.size(); ++i) EXPECT_FALSE(values[i].error);
}

TEST_F(SimulatedHeadbandFaults, ARefusingHeadbandFailsEachConnectionAttempt) {
  auto band = world->addHeadband();
  band->setRefusesConnections(true);
  auto p = discover(band);
  central->connect(p);
  EXPECT_EQ(p->state(), BluetoothPeripheralState::Connecting);
  advance(0.5);
  ASSERT_EQ(delegate->count(Kind::FailedToConnect), 1u);
  EXPECT_TRUE(delegate->events(Kind::FailedToConnect)[0].error->is(BluetoothErrorCode::ConnectionFailed));
  EXPECT_EQ(p->state(), BluetoothPeripheralState::Disconnected);
  EXPECT_FALSE(band->isConnected());
  band->setRefusesConnections(false);
  central->connect(p);
  advance(0.5);
  EXPECT_EQ(delegate->count(Kind::Connected), 1u);
}

TEST_F(SimulatedHeadbandFaults, TheLinkDropsAtTheGivenTimeAndTheHeadbandAdvertisesAgain) {
  auto band = world->addHeadband();
  auto link = connect(band);
  write(link, "S01\r");
  const double at = now() + 5.0;
  band->dropLink(5.0);
  advance(4.9);
  EXPECT_EQ(delegate->count(Kind::Disconnected), 0u);
  advance(0.2);
  const auto drops = delegate->events(Kind::Disconnected);
  ASSERT_EQ(drops.size(), 1u);
  EXPECT_NEAR(drops[0].time, at, 1e-6);
  EXPECT_TRUE(drops[0].error->is(BluetoothErrorCode::ConnectionTimeout));
  EXPECT_FALSE(band->isStreaming());
  EXPECT_TRUE(band->isAdvertising());
  delegate->clear();
  advance(1.0);
  EXPECT_TRUE(delegate->signalPackets().empty());
}

TEST_F(SimulatedHeadbandFaults, AdapterPowerLossEndsLinksSilentlyAndStopsScans) {
  auto band = world->addHeadband();
  auto link = connect(band);
  central->scanForPeripherals({}, true);
  world->after(2.0, [w = world] { w->setAdapterPoweredOn(false); });
  advance(2.5);
  auto states = delegate->events(Kind::State);
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states[0].state, BluetoothAdapterState::PoweredOff);
  EXPECT_EQ(central->state(), BluetoothAdapterState::PoweredOff);
  EXPECT_EQ(delegate->count(Kind::Disconnected), 0u);
  EXPECT_EQ(link.peripheral->state(), BluetoothPeripheralState::Disconnected);
  EXPECT_FALSE(central->isScanning());
  EXPECT_FALSE(band->isConnected());

  // While off, scanning and connecting are ignored.
  delegate->clear();
  central->scanForPeripherals({}, true);
  central->connect(link.peripheral);
  advance(2.0);
  EXPECT_EQ(delegate->count(Kind::Discovered), 0u);
  EXPECT_EQ(link.peripheral->state(), BluetoothPeripheralState::Disconnected);

  world->setAdapterPoweredOn(true);
  advance(0.1);
  states = delegate->events(Kind::State);
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states[0].state, BluetoothAdapterState::PoweredOn);
  link = connect(band);
  EXPECT_TRUE(band->isConnected());
}

// ---------------------------------------------------------------- determinism

class SimulatedHeadbandDeterminism : public VirtualTimeTest {
 protected:
  struct Run {
    std::string identity;
    std::vector<std::vector<uint8_t>> packets;
    std::vector<int> rssi;
  };
  Run run(uint64_t worldSeed, const std::string& scenario, uint64_t seed = 0) {
    auto world = SimulatedWorld::create({.seed = worldSeed});
    auto delegate = std::make_shared<RecordingDelegate>();
    auto central = world->createCentral(delegate, DispatchQueue::main());
    SimulatedHeadband::Configuration c;
    c.scenario = scenario;
    c.seed = seed;
    auto band = world->addHeadband(c);
    settle();
    central->scanForPeripherals({}, true);
    advance(1.0);
    Run r;
    r.identity = band->name() + " " + band->identifier().fullString();
    for (const auto& e : delegate->events(BluetoothEvent::Kind::Discovered)) r.rssi.push_back(*e.rssi);
    const auto p = delegate->events(BluetoothEvent::Kind::Discovered).at(0).peripheral;
    p->setDelegate(delegate);
    central->stopScan();
    central->connect(p);
    advance(0.5);
    p->discoverServices({});
    advance(0.2);
    p->discoverCharacteristics({}, p->services().at(0));
    advance(0.2);
    auto svc = p->services().at(0);
    p->setNotifyValue(true, svc->characteristic(SimulatedHeadband::rxCharacteristicUUID()));
    p->writeValue(bytes("S01\r"), svc->characteristic(SimulatedHeadband::txCharacteristicUUID()),
                  BluetoothWriteType::WithResponse);
    advance(2.0);
    for (const auto& e : delegate->signalPackets()) r.packets.push_back(e.value);
    central.reset();
    settle();
    return r;
  }
};

TEST_F(SimulatedHeadbandDeterminism, TheSameSeedGivesTheSameBytesAndADifferentOneDoesNot) {
  const Run a = run(7, "relaxed");
  const Run b = run(7, "relaxed");
  ASSERT_GT(a.packets.size(), 100u);
  EXPECT_EQ(a.identity, b.identity);
  EXPECT_EQ(a.rssi, b.rssi);
  EXPECT_EQ(a.packets, b.packets);

  const Run otherWorld = run(8, "relaxed");
  EXPECT_NE(a.identity, otherWorld.identity);
  EXPECT_NE(a.packets, otherWorld.packets);

  // A headband's own seed fixes its signal whatever world it is in.
  EXPECT_EQ(run(1, "focused", 99).packets, run(2, "focused", 99).packets);
  EXPECT_NE(run(1, "focused", 99).packets, run(1, "relaxed", 99).packets);
}

}  // namespace
