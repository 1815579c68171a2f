// Reply assembly, the status word and battery arithmetic, button timing, the query cycle,
// RSSI and inactivity of a headband object.
#include "device/DeviceTestSupport.h"

#include <VemraPlatformKit/acquisition/VPKSignalStreamOutput.h>

namespace vpk::test {
namespace {

class StatusTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(connectNew(named("Vemra 5e5e")));
    rx = onQueue([&] { return d->peripheral()->service(VPKPeripheral::deviceServiceUUID())->characteristic(
                           VPKPeripheral::rxCharacteristicUUID()); });
    onQueue([&] { manager->calls.clear(); });
  }
  /// Hands `text` to the headband object as one RX notification (on the shared queue).
  void notify(const std::string& text) {
    d->didUpdateValue(d->peripheral(), rx, std::vector<uint8_t>(text.begin(), text.end()), std::nullopt);
  }
  void reply(const std::string& command, const std::string& body) {
    notify("<p>\r\n");
    notify(body);
    notify(command + "</p>\r\n");
  }
  BluetoothCharacteristicPtr rx;
};

struct PacketCounter : VPKSignalStreamOutput {
  int packets = 0;
  void didRecieveData(VPKSignalStream&, std::span<const uint8_t>) override { ++packets; }
};

TEST_F(StatusTest, RepliesAreAssembledBetweenMarkersAndSignalBytesNeverReachTheText) {
  onQueue([&] {
    reply("Q1\r", "Q1:VEMRA_V.4_2_140806:HW:B-4F3\r\n");  // the "\r" before "</p>" stays in the echo
    ASSERT_TRUE(d->firmwareVersion());
    EXPECT_EQ(d->firmwareVersion()->patchVersion(), 1267u);

    notify("<p>partial</p>");  // both markers: only clears the buffer
    EXPECT_TRUE(d->dataBuffer().empty());

    auto counter = std::make_shared<PacketCounter>();
    d->stream()->addOutput(counter);
    d->stream()->open();
    notify(std::string("\xA0") + "<p>abc" + std::string(16, 'x'));
    notify(std::string("\xFE") + "Q1\r</p>" + std::string(12, 'y'));
    EXPECT_EQ(counter->packets, 2);
    EXPECT_TRUE(d->dataBuffer().empty());
    d->stream()->removeAllOutputs();
  });
}

TEST_F(StatusTest, AReplyThatNeverEndsIsCappedAndTheNextStartsCleanly) {
  onQueue([&] {
    const size_t answers = d->systemQueryResponses().size();
    notify("<p>\r\n");
    for (int i = 0; i < 400; ++i) notify("0123456789abcdefghi\n");
    EXPECT_LE(d->dataBuffer().size(), VPKPeripheral::kMaxResponseLength);
    notify("DR0404\r</p>\r\n");  // the dropped reply is not taken as a status word
    EXPECT_EQ(d->systemQueryResponses().size(), answers);
    reply("DR0404\r", "C3000000\r\n");
    EXPECT_EQ(d->systemQueryResponses().size(), answers + 1);
  });
  EXPECT_TRUE(log.contains("without an end"));
}

TEST_F(StatusTest, BatteryLevelFollowsTheRangesAndNeverRisesUntilUnplugged) {
  onQueue([&] {
    d->setBatteryLevel(std::nullopt);
    d->processSystemState(180, false, false);  // 3.6 V
    EXPECT_FLOAT_EQ(*d->batteryLevel(), 0.0f);
    d->processSystemState(195, false, false);  // 3.9 V, just above the top: the level may not rise
    EXPECT_FLOAT_EQ(*d->batteryLevel(), 0.0f);

    d->processSystemState(195, true, false);
    d->processSystemState(190, false, false);  // unplugged: the level starts afresh
    EXPECT_NEAR(*d->batteryLevel(), (3.8f - 3.6f) / 0.299f, 1e-6);
    const size_t updates = manager->count("battery");
    d->processSystemState(190, false, false);  // the same level: no update
    EXPECT_EQ(manager->count("battery"), updates);

    d->setObject(5.1, "chargingVoltage");  // a high charging supply widens the range
    d->setBatteryLevel(std::nullopt);
    d->processSystemState(210, false, false);
    EXPECT_FLOAT_EQ(*d->batteryLevel(), 1.0f);
  });
  EXPECT_FALSE(log.contains("above maximum operating range"));
}

TEST_F(StatusTest, FifthUnchargedReadingInTheChargingRangeIsAnInconsistency) {
  onQueue([&] {
    d->processSystemState(200, true, false);
    for (int i = 0; i < 4; ++i) d->processSystemState(240, false, false);  // 4.8 V
    EXPECT_TRUE(d->objectForKey("errors").isNull());
    d->processSystemState(240, false, false);
    EXPECT_EQ(d->objectForKey("errors")["deviceHardwareInconsistencyErrors"].size(), 1u);
    EXPECT_FLOAT_EQ(d->batteryOperatingRange(), 4.22f);
  });
}

TEST_F(StatusTest, StatusWordsAreDecodedKeptAndGarbageIsSkipped) {
  onQueue([&] {
    d->handleReadSystemQueryResponse("C300C000");  // 3.9 V, charging (bit 15), no button
    EXPECT_TRUE(d->isCharging());
    EXPECT_FALSE(d->isButtonDown());
    EXPECT_DOUBLE_EQ(d->objectForKey("chargingVoltage").doubleValue(), double(3.9f));
    d->handleReadSystemQueryResponse("zz-not-a-word");
    EXPECT_TRUE(d->isCharging());  // not read as 0: nothing changed
    for (int i = 0; i < 100; ++i) d->handleReadSystemQueryResponse(fmt::format("{:08X}", 0xB4000000u + i));
    ASSERT_EQ(d->systemQueryResponses().size(), 100u);
    EXPECT_EQ(d->systemQueryResponses().front()["raw"].stringValue(), "B4000000");
    EXPECT_EQ(d->systemQueryResponses().back()["batteryRaw"].intValue(), 0xB4);
  });
}

TEST_F(StatusTest, ButtonHeldTenSecondsPowersOffBeforeTheReleaseIsReported) {
  onQueue([&] { d->processSystemState(200, false, true); });
  advance(1.0);
  onQueue([&] {
    d->processSystemState(200, false, true);
    EXPECT_DOUBLE_EQ(d->systemQueryRate(), 0.3);
  });
  advance(9.0);
  onQueue([&] {
    d->processSystemState(200, false, false);
    EXPECT_EQ(manager->count("pressed"), 1u);
    EXPECT_EQ(manager->count("held"), 1u);
    EXPECT_EQ(manager->statusAtButtonRelease, std::vector<unsigned long>{VPKDeviceStatusPoweredOff});
    EXPECT_FALSE(d->buttonDownDate());
    EXPECT_DOUBLE_EQ(d->systemQueryRate(), 2.0);
  });
}

TEST_F(StatusTest, HeldButtonSendsTheStatusQueryAheadOfQueuedCommands) {
  onQueue([&] { d->processSystemState(200, false, true); });
  advance(3.0);
  const size_t before = band->receivedCommands().size();
  onQueue([&] {
    d->sendCommand("DR0505\r");  // starts and waits for this task
    d->sendCommand("DR0606\r");
    d->updateSystemStatus();
  });
  advance(0.5);
  const auto all = band->receivedCommands();
  ASSERT_GT(all.size(), before + 3);
  EXPECT_EQ(all[before + 1], "DR0404\r");
}

TEST_F(StatusTest, TenSkippedTicksOrANewLinkDropTheOutstandingQuery) {
  band->loseNextReplies(5);
  onQueue([&] { d->updateSystemStatus(); });
  advance(0.5);
  const long sent = received(band, "DR0404\r");
  onQueue([&] {
    for (int i = 0; i < 9; ++i) d->updateSystemStatus();
    EXPECT_TRUE(d->isUpdatingSystemStatus());
    d->updateSystemStatus();  // the tenth skip clears the mark and sends nothing
    EXPECT_FALSE(d->isUpdatingSystemStatus());
  });
  advance(0.5);
  EXPECT_EQ(received(band, "DR0404\r"), sent);
  onQueue([&] { d->updateSystemStatus(); });
  advance(0.5);
  EXPECT_EQ(received(band, "DR0404\r"), sent + 1);

  // That answer is lost too: left outstanding on this link, it does not hold back the next
  // link's own status query.
  onQueue([&] {
    EXPECT_TRUE(d->isUpdatingSystemStatus());
    d->disconnect();
  });
  advance(1.0);
  onQueue([&] { d->connectWithHandler(nullptr); });
  advance(2.0);
  EXPECT_EQ(received(band, "DR0404\r"), sent + 2);
}

TEST_F(StatusTest, RSSILogKeepsTwentyAndAMissingReadingIsLoggedAsSentinel) {
  onQueue([&] {
    for (int i = 1; i <= 21; ++i) d->setRSSI(-i);
    ASSERT_EQ(d->rssiLog().size(), 20u);
    EXPECT_EQ(d->rssiLog().front(), -2);
    d->didReadRSSI(d->peripheral(), std::nullopt, std::nullopt);  // also stored and counted (HostileAnswersAndPacketsAreSurvived)
    EXPECT_EQ(d->rssiLog().back(), VPKPeripheral::kMissingRSSI);
  });
}

TEST_F(StatusTest, InactiveHeadbandIsDisconnectedOnATick) {
  onQueue([&] {
    d->disconnectIfInactiveAfterDelay(5.0);
    d->updateSystemStatus();
  });
  advance(6.0);
  onQueue([&] {
    d->updateSystemStatus();
    EXPECT_EQ(manager->count("disconnect"), 1u);
  });
}

TEST_F(StatusTest, ConnectCallbacksArriveOnTheMainQueueAndANotificationErrorIsCounted) {
  int called = 0;
  onQueue([&] {
    d->connectWithHandler([&](const std::optional<VPKError>& e) {
      EXPECT_FALSE(e);
      EXPECT_TRUE(DispatchQueue::main()->isCurrent());
      ++called;
    });
    d->didUpdateValue(d->peripheral(), rx, {}, BluetoothError::att(BluetoothATTError::UnlikelyError));
    EXPECT_EQ(d->objectForKey("errors")["deviceReadErrors"].size(), 1u);
  });
  EXPECT_EQ(called, 0);
  settle();
  EXPECT_EQ(called, 1);
  onQueue([&] { EXPECT_EQ(manager->count("connect"), 0u); });
}

}  // namespace
}  // namespace vpk::test
