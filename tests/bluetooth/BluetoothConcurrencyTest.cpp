// The simulated world on the real clock, driven from several threads at once.
#include "BluetoothTestSupport.h"

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

using namespace vpk;
using namespace vpk::test;
using Kind = BluetoothEvent::Kind;

namespace {

bool waitFor(const std::function<bool()>& done, double seconds = 5.0) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

struct RealTimeLink {
  std::shared_ptr<SimulatedWorld> world = SimulatedWorld::create({.seed = 3});
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  DispatchQueuePtr queue = DispatchQueue::createSerial("central");
  SimulatedHeadbandPtr band;
  std::shared_ptr<BluetoothCentral> central;
  BluetoothPeripheralPtr peripheral;
  BluetoothCharacteristicPtr tx;

  explicit RealTimeLink(double connectionInterval = 0.0075) {
    SimulatedHeadband::Configuration c;
    c.advertisingInterval = 0.02;
    c.connectionInterval = connectionInterval;
    band = world->addHeadband(c);
    central = world->createCentral(delegate, queue);
    EXPECT_TRUE(waitFor([&] { return central->state() == BluetoothAdapterState::PoweredOn; }));
    central->scanForPeripherals({}, false);
    EXPECT_TRUE(waitFor([&] { return delegate->count(Kind::Discovered) > 0; }));
    peripheral = delegate->events(Kind::Discovered)[0].peripheral;
    peripheral->setDelegate(delegate);
    central->connect(peripheral);
    EXPECT_TRUE(waitFor([&] { return peripheral->state() == BluetoothPeripheralState::Connected; }));
    peripheral->discoverServices({});
    EXPECT_TRUE(waitFor([&] { return !peripheral->services().empty(); }));
    auto s = peripheral->services()[0];
    peripheral->discoverCharacteristics({}, s);
    EXPECT_TRUE(waitFor([&] { return s->characteristics().size() == 2; }));
    tx = s->characteristic(SimulatedHeadband::txCharacteristicUUID());
    peripheral->setNotifyValue(true, s->characteristic(SimulatedHeadband::rxCharacteristicUUID()));
    EXPECT_TRUE(waitFor([&] { return delegate->count(Kind::NotificationState) > 0; }));
  }
};

TEST(BluetoothConcurrency, WritesFromManyThreadsAreAllAnsweredOnTheCentralsQueueWhileStreaming) {
  RealTimeLink link;
  link.peripheral->writeValue(bytes("S01\r"), link.tx, BluetoothWriteType::WithResponse);
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i)
        link.peripheral->writeValue(bytes("E" + std::to_string(t * 100 + i) + "\r"), link.tx,
                                    BluetoothWriteType::WithResponse);
    });
  }
  writers.emplace_back([&] {
    for (int i = 0; i < 50; ++i) {
      link.band->pressButton();
      (void)link.band->statusWord();
      link.band->releaseButton();
      link.band->setCharging(i % 2 == 0);
    }
  });
  for (auto& w : writers) w.join();
  ASSERT_TRUE(waitFor([&] { return link.delegate->count(Kind::Written) == 101; }));
  ASSERT_TRUE(waitFor([&] { return link.delegate->texts().size() == 100; }));
  std::set<std::string> echoes;
  for (const auto& t : link.delegate->texts()) echoes.insert(t);
  EXPECT_EQ(echoes.size(), 100u);
  ASSERT_TRUE(waitFor([&] { return link.delegate->signalPackets().size() >= 20; }));
  for (const auto& e : link.delegate->events()) EXPECT_EQ(e.queue, link.queue.get());
}

// Beyond its start-up check this one is for the sanitizers: a use after free or a race shows there.
TEST(BluetoothConcurrency, DroppingTheCentralAndWorldWhileBusyIsSafe) {
  for (int round = 0; round < 3; ++round) {
    auto link = std::make_unique<RealTimeLink>();
    link->peripheral->writeValue(bytes("S01\r"), link->tx, BluetoothWriteType::WithResponse);
    ASSERT_TRUE(waitFor([&] { return link->delegate->signalPackets().size() >= 5; }));
    std::atomic<bool> stop{false};
    auto peripheral = link->peripheral;
    auto tx = link->tx;
    auto band = link->band;
    std::thread writer([&] {
      while (!stop) {
        peripheral->writeValue(bytes("DR0404\r"), tx, BluetoothWriteType::WithResponse);
        band->pressButton();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (round == 1) link->world->setAdapterPoweredOn(false);
    link->central.reset();
    link->world.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the writer keeps going on what is left
    stop = true;
    writer.join();
    link.reset();
  }
}

}  // namespace
