// The central's side of the simulated world: adapter state, scanning, connections,
// retrieval, queues, and the backend factory.
#include "BluetoothTestSupport.h"

#include "support/LogCapture.h"

#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <thread>

using namespace vpk;
using namespace vpk::test;
using Kind = BluetoothEvent::Kind;

namespace {

class SimulatedCentral : public SimulatedWorldTest {};

TEST_F(SimulatedCentral, LearnsTheAdapterStateShortlyAfterCreation) {
  auto second = std::make_shared<RecordingDelegate>();
  auto c = world->createCentral(second, DispatchQueue::main());
  EXPECT_EQ(c->state(), BluetoothAdapterState::Unknown);
  EXPECT_EQ(c->backend(), BluetoothBackend::Simulated);
  settle();
  EXPECT_EQ(c->state(), BluetoothAdapterState::PoweredOn);
  ASSERT_EQ(second->count(Kind::State), 1u);

  auto dark = SimulatedWorld::create({.seed = 1, .adapterState = BluetoothAdapterState::Unauthorized});
  dark->addHeadband();
  auto d = dark->createCentral(second, DispatchQueue::main());
  settle();
  EXPECT_EQ(d->state(), BluetoothAdapterState::Unauthorized);
  d->scanForPeripherals({}, true);
  advance(1.0);
  EXPECT_FALSE(d->isScanning());
  EXPECT_EQ(second->count(Kind::Discovered), 0u);
}

TEST_F(SimulatedCentral, ScanFiltersByServiceAndReportsEachHeadbandOncePerScanUnlessAskedForDuplicates) {
  auto normal = world->addHeadband();
  SimulatedHeadband::Configuration c;
  c.updateMode = true;
  auto updating = world->addHeadband(c);

  central->scanForPeripherals({SimulatedHeadband::mainServiceUUID()}, false);
  advance(5.0);
  auto heard = delegate->events(Kind::Discovered);
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].peripheral->identifier(), normal->identifier());
  EXPECT_EQ(heard[0].peripheral->name(), std::optional<std::string>(normal->name()));
  EXPECT_EQ(heard[0].advertisement.localName, std::optional<std::string>(normal->name()));
  EXPECT_LE(heard[0].time, now() - 4.9);  // heard within the first advertising interval

  // A changed advertisement is news even without duplicates.
  normal->enterUpdateMode();
  central->scanForPeripherals({}, false);
  advance(5.0);
  heard = delegate->events(Kind::Discovered);
  ASSERT_EQ(heard.size(), 3u);
  std::map<BluetoothUUID, int> per;
  for (const auto& e : heard) per[e.peripheral->identifier()] += 1;
  EXPECT_EQ(per[normal->identifier()], 2);
  EXPECT_EQ(per[updating->identifier()], 1);
  EXPECT_EQ(heard.back().advertisement.localName, std::optional<std::string>("vemraota"));

  // With duplicates, every advertisement: about one per 105 ms, the RSSI jittering around
  // its mean.
  delegate->clear();
  central->scanForPeripherals({SimulatedHeadband::updateServiceUUID()}, true);
  advance(60.0);
  central->stopScan();
  std::vector<int> rssi;
  for (const auto& e : delegate->events(Kind::Discovered))
    if (e.peripheral->identifier() == updating->identifier()) rssi.push_back(*e.rssi);
  EXPECT_NEAR(rssi.size(), 60.0 / 0.105, 20.0);
  double m = 0, v = 0;
  for (int r : rssi) m += r;
  m /= rssi.size();
  for (int r : rssi) v += (r - m) * (r - m);
  EXPECT_NEAR(m, -58.0, 0.5);
  EXPECT_NEAR(std::sqrt(v / rssi.size()), 2.5, 0.4);
  delegate->clear();
  advance(2.0);
  EXPECT_EQ(delegate->count(Kind::Discovered), 0u);
}

TEST_F(SimulatedCentral, NothingIsDiscoveredAfterTheScanStopsEvenWhatIsAlreadyQueued) {
  world->addHeadband();
  // Time moved on another thread leaves the discoveries waiting in the main queue.
  const auto advanceAside = [this](double seconds) { std::thread([&] { advance(seconds); }).join(); };
  const std::function<void()> stops[] = {[&] { central->stopScan(); }, [&] { world->setAdapterPoweredOn(false); }};
  for (const auto& stop : stops) {
    world->setAdapterPoweredOn(true);
    settle();
    delegate->clear();
    central->scanForPeripherals({}, true);
    advanceAside(1.0);
    stop();
    settle();
    EXPECT_EQ(delegate->count(Kind::Discovered), 0u);
  }
}

TEST_F(SimulatedCentral, RetrieveGivesOnlyWhatThisCentralDiscovered) {
  auto band = world->addHeadband();
  const auto p = discover(band);
  auto unheard = world->addHeadband();
  const auto found = central->retrievePeripherals({BluetoothUUID::fromRandom(1, 2), unheard->identifier(),
                                                   band->identifier()});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], p);

  // A removed headband stays known but never connects.
  world->removeHeadband(band);
  EXPECT_EQ(central->retrievePeripherals({band->identifier()}), found);
  central->connect(p);
  advance(10.0);
  EXPECT_EQ(p->state(), BluetoothPeripheralState::Connecting);
}

TEST_F(SimulatedCentral, AConnectionAttemptWaitsForTheHeadbandAndCancelEndsItWithoutError) {
  auto band = world->addHeadband();
  auto p = discover(band);
  central->stopScan();
  band->powerOff();
  p->setDelegate(delegate);
  central->connect(p);
  advance(30.0);
  EXPECT_EQ(p->state(), BluetoothPeripheralState::Connecting);
  band->powerOn();
  advance(2.0);
  EXPECT_EQ(p->state(), BluetoothPeripheralState::Connected);
  EXPECT_EQ(delegate->count(Kind::Connected), 1u);
  EXPECT_EQ(p->name(), std::optional<std::string>(band->name()));

  p->discoverServices({});
  advance(0.2);
  ASSERT_EQ(p->services().size(), 1u);
  central->cancelPeripheralConnection(p);
  EXPECT_EQ(p->state(), BluetoothPeripheralState::Disconnecting);
  advance(0.1);
  auto drops = delegate->events(Kind::Disconnected);
  ASSERT_EQ(drops.size(), 1u);
  EXPECT_FALSE(drops[0].error);
  EXPECT_EQ(p->state(), BluetoothPeripheralState::Disconnected);
  EXPECT_TRUE(p->services().empty());
  EXPECT_TRUE(band->isAdvertising());

  // Operations on a peripheral that is not connected are dropped without a callback.
  delegate->clear();
  p->discoverServices({});
  p->readRSSI();
  advance(1.0);
  EXPECT_TRUE(delegate->events().empty());

  // Cancelling a pending attempt reports a disconnection without an error too.
  band->powerOff();
  advance(0.1);
  central->connect(p);
  central->cancelPeripheralConnection(p);
  advance(0.1);
  drops = delegate->events(Kind::Disconnected);
  ASSERT_EQ(drops.size(), 1u);
  EXPECT_FALSE(drops[0].error);
  EXPECT_EQ(p->state(), BluetoothPeripheralState::Disconnected);
  band->powerOn();
  advance(3.0);
  EXPECT_EQ(p->state(), BluetoothPeripheralState::Disconnected);
}

TEST_F(SimulatedCentral, AConnectedHeadbandIsSilentToOtherCentralsUntilItsLinkEnds) {
  auto band = world->addHeadband();
  auto other = std::make_shared<RecordingDelegate>();
  auto second = world->createCentral(other, DispatchQueue::main());
  settle();
  second->scanForPeripherals({}, false);
  advance(0.5);
  auto q = other->events(Kind::Discovered).at(0).peripheral;
  auto link = connect(band);
  other->clear();
  second->scanForPeripherals({}, true);
  advance(2.0);
  EXPECT_EQ(other->count(Kind::Discovered), 0u);
  second->stopScan();
  EXPECT_NE(q, link.peripheral);  // each central has its own object
  second->connect(q);
  advance(2.0);
  EXPECT_EQ(q->state(), BluetoothPeripheralState::Connecting);

  // Handing a central another central's peripheral is refused.
  test::LogCapture log;
  second->connect(link.peripheral);
  EXPECT_TRUE(log.contains("did not create"));

  // Destroying the first central ends its link; the waiting one gets the headband.
  central.reset();
  advance(1.0);
  EXPECT_EQ(q->state(), BluetoothPeripheralState::Connected);
  EXPECT_EQ(other->count(Kind::Connected), 1u);
  EXPECT_EQ(delegate->count(Kind::Disconnected), 0u);
}

TEST_F(SimulatedCentral, SignalStrengthReadsAndARemovedHeadbandsLostLink) {
  SimulatedHeadband::Configuration c;
  c.rssi = -70;
  c.rssiJitter = 0;
  auto band = world->addHeadband(c);
  auto link = connect(band);
  link.peripheral->readRSSI();
  advance(0.2);
  ASSERT_EQ(delegate->count(Kind::RSSI), 1u);
  EXPECT_EQ(delegate->events(Kind::RSSI)[0].rssi, -70);
  band->setRSSI(-200);  // a reading is a radio's: clamped to its range
  link.peripheral->readRSSI();
  advance(0.2);
  EXPECT_EQ(delegate->events(Kind::RSSI)[1].rssi, -127);

  world->removeHeadband(band);
  advance(0.1);
  const auto drops = delegate->events(Kind::Disconnected);
  ASSERT_EQ(drops.size(), 1u);
  EXPECT_TRUE(drops[0].error->is(BluetoothErrorCode::ConnectionTimeout));
  EXPECT_TRUE(world->headbands().empty());
  EXPECT_FALSE(world->headband(band->name()));
}

TEST_F(SimulatedCentral, EveryCallbackArrivesOnTheCentralsQueue) {
  auto band = world->addHeadband();
  auto queue = DispatchQueue::createSerial("central");
  auto other = std::make_shared<RecordingDelegate>();
  auto c = world->createCentral(other, queue);
  settle();
  c->scanForPeripherals({}, false);
  advance(0.5);
  auto p = other->events(Kind::Discovered).at(0).peripheral;
  p->setDelegate(other);
  c->connect(p);
  advance(0.5);
  p->discoverServices({});
  advance(0.2);
  p->discoverCharacteristics({}, p->services().at(0));
  advance(0.2);
  auto s = p->services().at(0);
  p->setNotifyValue(true, s->characteristic(SimulatedHeadband::rxCharacteristicUUID()));
  p->writeValue(bytes("S01\r"), s->characteristic(SimulatedHeadband::txCharacteristicUUID()),
                BluetoothWriteType::WithResponse);
  p->readRSSI();
  advance(0.5);
  c->cancelPeripheralConnection(p);
  advance(0.1);
  std::map<Kind, int> kinds;
  for (const auto& e : other->events()) {
    EXPECT_EQ(e.queue, queue.get());
    kinds[e.kind] += 1;
  }
  for (Kind k : {Kind::State, Kind::Discovered, Kind::Connected, Kind::Services, Kind::Characteristics,
                 Kind::NotificationState, Kind::Written, Kind::Value, Kind::RSSI, Kind::Disconnected})
    EXPECT_GT(kinds[k], 0) << static_cast<int>(k);
  EXPECT_TRUE(s->characteristic(SimulatedHeadband::rxCharacteristicUUID())->isNotifying() == false);
}

class BluetoothFactory : public VirtualTimeTest {
 protected:
  void TearDown() override {
    SimulatedWorld::setShared(nullptr);
    unsetenv("VPK_SIMULATED_HEADBANDS");
    unsetenv("VPK_BLUETOOTH_BACKEND");
    VirtualTimeTest::TearDown();
  }
};

TEST_F(BluetoothFactory, PicksTheSharedSimulatedWorldWithoutAnAdapter) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket", 1);  // whatever this machine has
  EXPECT_EQ(BluetoothCentral::preferredBackend(), BluetoothBackend::Simulated);
  auto world = SimulatedWorld::create({.seed = 5});
  auto band = world->addHeadband();
  SimulatedWorld::setShared(world);
  auto delegate = std::make_shared<RecordingDelegate>();
  auto central = BluetoothCentral::create(delegate, DispatchQueue::main());
  ASSERT_TRUE(central);
  settle();
  central->scanForPeripherals({}, false);
  advance(0.5);
  ASSERT_EQ(delegate->count(Kind::Discovered), 1u);
  EXPECT_EQ(delegate->events(Kind::Discovered)[0].peripheral->identifier(), band->identifier());

  test::LogCapture log;
  EXPECT_FALSE(BluetoothCentral::create(delegate, nullptr, {.backend = BluetoothBackend::BlueZ}));
  EXPECT_TRUE(log.contains("the bluez backend is not available"));
  setenv("VPK_BLUETOOTH_BACKEND", "bluez", 1);
  EXPECT_EQ(BluetoothCentral::preferredBackend(), BluetoothBackend::BlueZ);
  EXPECT_FALSE(BluetoothCentral::create(delegate, nullptr));
  setenv("VPK_BLUETOOTH_BACKEND", "simulated", 1);
  EXPECT_TRUE(BluetoothCentral::create(delegate, nullptr));
}

TEST_F(BluetoothFactory, TheEnvironmentCanFillTheSharedWorld) {
  SimulatedWorld::setShared(nullptr);
  setenv("VPK_SIMULATED_HEADBANDS", "relaxed:7,,bogus,not-worn:x,flat-left", 1);
  test::LogCapture log;
  const auto bands = SimulatedWorld::shared()->headbands();
  ASSERT_EQ(bands.size(), 3u);
  EXPECT_EQ(bands[0]->configuration().scenario, "relaxed");
  EXPECT_EQ(bands[0]->configuration().seed, 7u);
  EXPECT_EQ(bands[1]->configuration().scenario, "not-worn");
  EXPECT_EQ(bands[2]->configuration().scenario, "flat-left");
  EXPECT_TRUE(log.contains("unknown scenario \"bogus\""));
  EXPECT_TRUE(log.contains("ignoring the seed \"x\""));
  EXPECT_EQ(SimulatedWorld::shared(), SimulatedWorld::shared());
}

}  // namespace
