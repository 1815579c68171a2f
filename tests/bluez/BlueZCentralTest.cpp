// The BlueZ backend against the mock BlueZ on a private system bus: the same headband
// firmware as the simulated backend, reached over D-Bus. Real time, short waits.
#include "bluetooth/BluetoothTestSupport.h"
#include "support/MockBlueZProcess.h"

#include "platform/bluetooth/bluez/BlueZCentral.h"

#include <VemraPlatformKit/platform/notifications/DesktopNotifier.h>

#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <gtest/gtest.h>

namespace vpk::test {
namespace {

using Kind = BluetoothEvent::Kind;

// One private bus per test program.
PrivateBus& bus() {
  static PrivateBus instance;
  return instance;
}

class BlueZCentralTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus().ok()) << "no dbus-daemon";
    DispatchQueue::drainMain();  // the test thread drives the main queue
    start({"--headbands", "2", "--update-mode"});
  }
  void TearDown() override {
    central.reset();
    mock.reset();
  }

  void start(std::vector<std::string> arguments) {
    mock.reset();
    mock = std::make_unique<MockBlueZProcess>(std::move(arguments));
    ASSERT_TRUE(mock->ready());
    delegate = std::make_shared<RecordingDelegate>();
    central = BluetoothCentral::create(delegate, nullptr, {.backend = BluetoothBackend::BlueZ});
    ASSERT_TRUE(central);
    ASSERT_TRUE(waitFor([&] { return central->state() == BluetoothAdapterState::PoweredOn; }));
  }

  static bool waitFor(const std::function<bool()>& done, double seconds = 5) {
    return DispatchQueue::runMainUntil(done, seconds);
  }
  static void pause(double seconds) { DispatchQueue::runMainUntil([] { return false; }, seconds); }

  BluetoothPeripheralPtr discoverHeadband() {
    central->scanForPeripherals({SimulatedHeadband::mainServiceUUID()}, false);
    EXPECT_TRUE(waitFor([&] { return delegate->count(Kind::Discovered) > 0; }));
    central->stopScan();
    auto found = delegate->events(Kind::Discovered);
    return found.empty() ? nullptr : found.front().peripheral;
  }

  struct Link {
    BluetoothPeripheralPtr peripheral;
    BluetoothCharacteristicPtr tx, rx;
  };

  Link connectHeadband() {
    Link link;
    link.peripheral = discoverHeadband();
    if (!link.peripheral) return link;
    link.peripheral->setDelegate(delegate);
    central->connect(link.peripheral);
    EXPECT_TRUE(waitFor([&] { return delegate->count(Kind::Connected) == 1; }));
    link.peripheral->discoverServices({SimulatedHeadband::mainServiceUUID()});
    EXPECT_TRUE(waitFor([&] { return delegate->count(Kind::Services) == 1; }));
    auto service = link.peripheral->service(SimulatedHeadband::mainServiceUUID());
    if (!service) return link;
    link.peripheral->discoverCharacteristics({}, service);
    EXPECT_TRUE(waitFor([&] { return delegate->count(Kind::Characteristics) == 1; }));
    link.tx = service->characteristic(SimulatedHeadband::txCharacteristicUUID());
    link.rx = service->characteristic(SimulatedHeadband::rxCharacteristicUUID());
    if (!link.tx || !link.rx) return link;
    link.peripheral->setNotifyValue(true, link.rx);
    EXPECT_TRUE(waitFor([&] { return delegate->count(Kind::NotificationState) == 1; }));
    return link;
  }

  void write(const Link& link, const std::string& text) {
    link.peripheral->writeValue(bytes(text), link.tx, BluetoothWriteType::WithResponse);
  }

  std::string query(const Link& link, const std::string& command) {
    delegate->clear();
    write(link, "E<p>\r");
    write(link, command);
    write(link, "E" + command + "</p>\r");
    std::string reply;
    waitFor([&] {
      for (const auto& r : ReplyAssembler::of(*delegate).replies)
        if (r.echoed == command) reply = r.response;
      return !reply.empty();
    });
    return reply;
  }

  std::unique_ptr<MockBlueZProcess> mock;
  std::shared_ptr<RecordingDelegate> delegate;
  BluetoothCentralPtr central;
};

TEST(BlueZMapping, IdentifiersAreStableAndErrorsKeepTheirAttributeCode) {
  const auto a = vpk::detail::blueZIdentifier("00:1A:7D:DA:71:13", "c0:ff:ee:00:00:01", "random");
  EXPECT_EQ(a, vpk::detail::blueZIdentifier("00:1a:7d:da:71:13", "C0:FF:EE:00:00:01", "random"));
  EXPECT_NE(a, vpk::detail::blueZIdentifier("00:1A:7D:DA:71:14", "C0:FF:EE:00:00:01", "random"));
  EXPECT_NE(a, vpk::detail::blueZIdentifier("00:1A:7D:DA:71:13", "C0:FF:EE:00:00:01", "public"));

  EXPECT_TRUE(vpk::detail::blueZError({"org.bluez.Error.Failed", "Operation failed with ATT error: 0x0e"})
                  .is(BluetoothATTError::UnlikelyError));
  EXPECT_TRUE(vpk::detail::blueZError({"org.bluez.Error.NotPermitted", "Write not permitted"})
                  .is(BluetoothATTError::WriteNotPermitted));
  EXPECT_TRUE(vpk::detail::blueZError({"org.bluez.Error.Failed", "ATT error: 0xzz"}).is(BluetoothErrorCode::Unknown));
}

TEST_F(BlueZCentralTest, ScanFiltersByServiceAndReportsNameUUIDsAndRSSI) {
  central->scanForPeripherals({SimulatedHeadband::mainServiceUUID()}, false);
  pause(0.6);
  central->stopScan();
  auto found = delegate->events(Kind::Discovered);
  std::set<BluetoothUUID> distinct;
  for (const auto& e : found) {
    distinct.insert(e.peripheral->identifier());
    ASSERT_TRUE(e.advertisement.localName);
    EXPECT_EQ(e.advertisement.localName->rfind("Vemra ", 0), 0u);  // never the update-mode headband
    EXPECT_TRUE(e.advertisement.advertisesService(SimulatedHeadband::mainServiceUUID()));
    ASSERT_TRUE(e.rssi);
    EXPECT_LT(*e.rssi, -20);
    EXPECT_EQ(e.queue, DispatchQueue::main().get());
  }
  EXPECT_EQ(distinct.size(), 2u);
  EXPECT_EQ(found.size(), 2u) << "without duplicates, one report per headband";

  // With duplicates every advertisement counts; the same objects come back, also by retrieval.
  delegate->clear();
  central->scanForPeripherals({}, true);
  EXPECT_TRUE(waitFor([&] { return delegate->count(Kind::Discovered) > 6; }));
  central->stopScan();
  auto again = central->retrievePeripherals({*distinct.begin()});
  ASSERT_EQ(again.size(), 1u);
  bool same = false;
  for (const auto& e : delegate->events(Kind::Discovered)) same = same || e.peripheral == again[0];
  EXPECT_TRUE(same);
}

TEST_F(BlueZCentralTest, ConnectsDiscoversAndAnswersAFramedCommand) {
  Link link = connectHeadband();
  ASSERT_TRUE(link.rx && link.tx);
  EXPECT_EQ(link.peripheral->state(), BluetoothPeripheralState::Connected);
  EXPECT_TRUE(link.tx->hasProperty(BluetoothPropertyWrite));
  EXPECT_TRUE(link.rx->hasProperty(BluetoothPropertyNotify));
  EXPECT_TRUE(link.rx->isNotifying());
  EXPECT_EQ(link.peripheral->maximumWriteLength(BluetoothWriteType::WithResponse), 20u);

  EXPECT_EQ(query(link, "Q1\r"), "Q1:VEMRA_V.4_2_140917:HW-C:B-0501");
  EXPECT_EQ(delegate->count(Kind::Written), 3u);
  for (const auto& e : delegate->events(Kind::Written)) EXPECT_FALSE(e.error);

  // BlueZ offers no reading on a link: the last advertised one answers.
  link.peripheral->readRSSI();
  ASSERT_TRUE(waitFor([&] { return delegate->count(Kind::RSSI) == 1; }));
  EXPECT_TRUE(delegate->events(Kind::RSSI)[0].rssi);

  // The identifier is the same for a new central on a new run of BlueZ.
  const BluetoothUUID id = link.peripheral->identifier();
  central.reset();
  start({"--headbands", "2"});
  auto p = discoverHeadband();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->identifier(), id);
}

TEST_F(BlueZCentralTest, StreamsNotificationsInOrderWithoutGaps) {
  Link link = connectHeadband();
  ASSERT_TRUE(link.rx);
  delegate->clear();
  write(link, "S01\r");
  pause(1.5);
  auto packets = delegate->signalPackets();
  ASSERT_GE(packets.size(), 100u) << "83 packets a second";
  for (size_t i = 1; i < packets.size(); ++i)
    ASSERT_EQ(static_cast<uint8_t>(packets[i - 1].value[1] + 1), packets[i].value[1]) << "gap at packet " << i;
}

TEST_F(BlueZCentralTest, FailedWritesCarryTheAttributeError) {
  Link link = connectHeadband();
  ASSERT_TRUE(link.tx);
  EXPECT_EQ(MockBlueZProcess::control("fail-writes 1"), "ok");
  delegate->clear();
  write(link, "DR0404\r");
  write(link, "DR0404\r");
  ASSERT_TRUE(waitFor([&] { return delegate->count(Kind::Written) == 2; }));
  auto written = delegate->events(Kind::Written);
  ASSERT_TRUE(written[0].error);
  EXPECT_TRUE(written[0].error->is(BluetoothATTError::UnlikelyError));
  EXPECT_FALSE(written[1].error);
}

TEST_F(BlueZCentralTest, LinkLossCancelAndRefusalAreReported) {
  Link link = connectHeadband();
  ASSERT_TRUE(link.peripheral);
  MockBlueZProcess::control("drop-link");
  ASSERT_TRUE(waitFor([&] { return delegate->count(Kind::Disconnected) == 1; }));
  auto lost = delegate->events(Kind::Disconnected)[0];
  ASSERT_TRUE(lost.error);
  EXPECT_TRUE(lost.error->is(BluetoothErrorCode::ConnectionTimeout));
  EXPECT_EQ(link.peripheral->state(), BluetoothPeripheralState::Disconnected);
  EXPECT_FALSE(link.rx->isNotifying());

  // Reconnect, then end the link ourselves: no error.
  delegate->clear();
  central->connect(link.peripheral);
  ASSERT_TRUE(waitFor([&] { return delegate->count(Kind::Connected) == 1; }));
  central->cancelPeripheralConnection(link.peripheral);
  ASSERT_TRUE(waitFor([&] { return delegate->count(Kind::Disconnected) == 1; }));
  EXPECT_FALSE(delegate->events(Kind::Disconnected)[0].error);

  // A headband that refuses: the attempt fails with an error.
  MockBlueZProcess::control("refuse on");
  central->connect(link.peripheral);
  ASSERT_TRUE(waitFor([&] { return delegate->count(Kind::FailedToConnect) == 1; }));
  EXPECT_TRUE(delegate->events(Kind::FailedToConnect)[0].error->is(BluetoothErrorCode::ConnectionFailed));
  EXPECT_EQ(link.peripheral->state(), BluetoothPeripheralState::Disconnected);
}

TEST_F(BlueZCentralTest, AdapterOffAndBlueZLeavingDropLinksQuietlyAndBothComeBack) {
  Link link = connectHeadband();
  ASSERT_TRUE(link.peripheral);
  delegate->clear();
  MockBlueZProcess::control("power off");
  ASSERT_TRUE(waitFor([&] { return central->state() == BluetoothAdapterState::PoweredOff; }));
  EXPECT_EQ(link.peripheral->state(), BluetoothPeripheralState::Disconnected);
  pause(0.5);  // past the link-loss grace period
  EXPECT_EQ(delegate->count(Kind::Disconnected), 0u);
  central->scanForPeripherals({}, false);
  EXPECT_FALSE(central->isScanning());

  MockBlueZProcess::control("power on");
  ASSERT_TRUE(waitFor([&] { return central->state() == BluetoothAdapterState::PoweredOn; }));
  delegate->clear();
  central->connect(link.peripheral);
  ASSERT_TRUE(waitFor([&] { return delegate->count(Kind::Connected) == 1; }));

  // BlueZ itself leaves and returns with the adapter off.
  mock->kill();
  ASSERT_TRUE(waitFor([&] { return central->state() == BluetoothAdapterState::Unknown; }));
  EXPECT_EQ(link.peripheral->state(), BluetoothPeripheralState::Disconnected);

  mock = std::make_unique<MockBlueZProcess>(std::vector<std::string>{"--headbands", "2", "--powered-off"});
  ASSERT_TRUE(mock->ready());
  ASSERT_TRUE(waitFor([&] { return central->state() == BluetoothAdapterState::PoweredOff; }));
  MockBlueZProcess::control("power on");
  ASSERT_TRUE(waitFor([&] { return central->state() == BluetoothAdapterState::PoweredOn; }));
  delegate->clear();
  central->connect(link.peripheral);  // no object for it yet: the backend discovers it itself
  EXPECT_TRUE(waitFor([&] { return delegate->count(Kind::Connected) == 1; }));
}

TEST_F(BlueZCentralTest, IgnoresHostilePropertyTypes) {
  Link link = connectHeadband();
  ASSERT_TRUE(link.tx);
  central->scanForPeripherals({}, false);
  delegate->clear();
  EXPECT_EQ(MockBlueZProcess::control("hostile"), "ok");
  EXPECT_EQ(query(link, "DR0404\r").size(), 8u) << "the link still works";
  central->stopScan();
  EXPECT_EQ(central->state(), BluetoothAdapterState::PoweredOn);
  EXPECT_EQ(link.peripheral->state(), BluetoothPeripheralState::Connected);
  for (const auto& e : delegate->events(Kind::Value)) EXPECT_NE(std::string(e.value.begin(), e.value.end()), "oops");
  for (const auto& e : delegate->events(Kind::Discovered)) EXPECT_TRUE(e.advertisement.localName);  // no fake device
}

TEST(BlueZBusLoss, ACentralSurvivesItsBusDying) {
  PrivateBus own;
  ASSERT_TRUE(own.ok());
  DispatchQueue::drainMain();
  {
    MockBlueZProcess mock;
    ASSERT_TRUE(mock.ready());
    auto delegate = std::make_shared<RecordingDelegate>();
    auto central = BluetoothCentral::create(delegate, nullptr, {.backend = BluetoothBackend::BlueZ});
    ASSERT_TRUE(central);
    ASSERT_TRUE(DispatchQueue::runMainUntil([&] { return central->state() == BluetoothAdapterState::PoweredOn; }, 5));
    own.kill();
    EXPECT_TRUE(DispatchQueue::runMainUntil([&] { return central->state() == BluetoothAdapterState::Unknown; }, 5));
    central->scanForPeripherals({}, false);  // ignored, no crash
  }
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus().address().c_str(), 1);
}

// A notification server on a private session bus that records what it is asked to show.
class NotificationServer {
 public:
  NotificationServer() : bus_("session") {
    connection_ = sdbus::createSessionBusConnection("org.freedesktop.Notifications");
    object_ = sdbus::createObject(*connection_, "/org/freedesktop/Notifications");
    object_->registerMethod("org.freedesktop.Notifications", "Notify", "susssasa{sv}i", "u", [this](sdbus::MethodCall call) {
      std::string app, icon, summary, body;
      uint32_t replaces = 0;
      call >> app >> replaces >> icon >> summary >> body;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        summaries_.push_back(summary + ": " + body);
      }
      auto reply = call.createReply();
      reply << uint32_t{7};
      reply.send();
    });
    object_->finishRegistration();
    connection_->enterEventLoopAsync();
  }
  ~NotificationServer() {
    connection_->leaveEventLoop();
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  std::vector<std::string> summaries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return summaries_;
  }

 private:
  PrivateBus bus_;
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IObject> object_;
  std::mutex mutex_;
  std::vector<std::string> summaries_;
};

TEST_F(BlueZCentralTest, PowerAlertIsADesktopNotification) {
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
  DesktopNotification hello;
  hello.summary = "Hello";
  EXPECT_FALSE(DesktopNotifier::show(hello));  // no session bus: nothing, no crash

  NotificationServer server;
  EXPECT_TRUE(DesktopNotifier::isAvailable());
  EXPECT_EQ(DesktopNotifier::show(hello), 7u);

  MockBlueZProcess::control("power off");
  auto quiet = BluetoothCentral::create(delegate, nullptr, {.backend = BluetoothBackend::BlueZ});
  auto alerting = BluetoothCentral::create(delegate, nullptr, {.showPowerAlert = true, .backend = BluetoothBackend::BlueZ});
  ASSERT_TRUE(waitFor([&] { return server.summaries().size() == 2; }));
  EXPECT_EQ(server.summaries()[1], "Bluetooth is off: Turn on Bluetooth to connect to your Vemra headband.");
  pause(0.2);
  EXPECT_EQ(server.summaries().size(), 2u) << "only the central that asked alerts";
}

}  // namespace
}  // namespace vpk::test
