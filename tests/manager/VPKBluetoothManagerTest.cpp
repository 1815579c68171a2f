// The device manager end to end against the simulated world, in virtual time.

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>
#include <VemraPlatformKit/recording/VPKRecordingReader.h>

#include "ManagerTestSupport.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

using vpk::test::ManagerTest;

std::vector<VPKSignalStreamFileHandlePtr> gFinished;

class VPKBluetoothManagerTest : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    gFinished.clear();
    token = vpk::NotificationCenter::defaultCenter().addObserver(
        VPKBluetoothManagerFinishedRecordedNotification, [](const vpk::Notification& n) {
          gFinished.push_back(std::any_cast<VPKSignalStreamFileHandlePtr>(n.object));
        });
  }
  void TearDown() override {
    vpk::NotificationCenter::defaultCenter().removeObserver(token);
    ManagerTest::TearDown();
  }
  // Starts the stream and a counter on it; true once packets flow.
  bool stream() {
    handle->startStreaming();
    if (!runUntil([&] { return saw(VPKDeviceUpdateStartedStreaming); }, 2)) return false;
    handle->stream()->addOutput(counter);
    return runUntil([&] { return counter->packets > 0; }, 2);
  }
  std::shared_ptr<vpk::test::PacketCounter> counter = std::make_shared<vpk::test::PacketCounter>();
  vpk::NotificationCenter::Token token = 0;
};

TEST_F(VPKBluetoothManagerTest, SessionFromDiscoveryToPowerOffAndStoresSurviveARestart) {
  auto band = addHeadband();
  launch();
  const double start = now();
  ASSERT_TRUE(connectFirst());
  EXPECT_EQ(handle->status(), VPKDeviceStatusConnected);
  ASSERT_TRUE(handle->firmwareDescription());
  auto at = [&](VPKDeviceUpdateReason r) { return std::find(updates.begin(), updates.end(), r) - updates.begin(); };
  EXPECT_EQ(at(VPKDeviceUpdateDiscovered), 0);
  EXPECT_LT(at(VPKDeviceUpdateWillConnect), at(VPKDeviceUpdateDidConnect));
  EXPECT_FALSE(manager->isSearchingForDevices());
  EXPECT_LT(now() - start, 3.0);
  const auto commands = band->receivedCommands();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "DW0308\r"), commands.end());

  ASSERT_TRUE(stream());
  EXPECT_TRUE(saw(VPKDeviceUpdateWillStartStreaming));
  auto writer = manager->startRecordingDataWithHeader(vpk::ValueDictionary{{"subject", vpk::Value("s1")}});
  ASSERT_TRUE(writer);
  const uint64_t before = counter->packets;
  advance(3.0);
  manager->stopRecordingData();
  const uint64_t recorded = counter->packets - before;
  ASSERT_TRUE(runUntil([] { return !gFinished.empty(); }, 1));
  auto reader = VPKRecordingReader::open(*gFinished[0]->URL());
  ASSERT_TRUE(reader);
  EXPECT_NEAR(static_cast<double>(reader->packetCount()), static_cast<double>(recorded), 1.0);

  manager->setPreferredDeviceInfo(handle->dictionaryRepresentation());
  handle->powerDown();
  ASSERT_TRUE(runUntil([&] { return saw(VPKDeviceUpdateDidRemove); }, 5));
  EXPECT_TRUE(saw(VPKDeviceUpdateWillPowerOff));
  EXPECT_TRUE(saw(VPKDeviceUpdateDidPowerOff));
  EXPECT_TRUE(manager->availableDevices().empty());
  EXPECT_TRUE(manager->isSearchingForDevices());  // looking for headbands again

  // A restart finds the history and the preferred record; the powered-off preferred
  // headband is connected on its own as soon as it advertises again.
  manager->saveDeviceInfo();
  const auto identifier = handle->identifier();
  manager->reset();
  settle();
  updates.clear();
  launch();
  EXPECT_EQ(manager->deviceIdentifierHistory(), vpk::ValueOrderedSet{vpk::Value(identifier)});
  ASSERT_TRUE(manager->preferredDeviceInfo());
  band->powerOn();
  manager->startSearchingForDevices();
  ASSERT_TRUE(runUntil([&] { return saw(VPKDeviceUpdateDidConnect); }, 10));
  EXPECT_FALSE(saw(VPKDeviceUpdateDiscovered));
}

TEST_F(VPKBluetoothManagerTest, LinkDroppedMidRecordingKeepsEveryPacketAndSearchResumes) {
  auto band = addHeadband();
  launch();
  ASSERT_TRUE(connectFirst());
  ASSERT_TRUE(stream());
  ASSERT_TRUE(manager->startRecordingDataWithHeader(std::nullopt));
  const uint64_t before = counter->packets;
  advance(2.5);
  band->dropLink();
  ASSERT_TRUE(runUntil([&] { return saw(VPKDeviceUpdateDidDisconnect); }, 2));
  const uint64_t received = counter->packets - before;
  ASSERT_TRUE(runUntil([] { return !gFinished.empty(); }, 1));
  EXPECT_FALSE(manager->currentFileHandle());
  auto reader = VPKRecordingReader::open(*gFinished[0]->URL());
  ASSERT_TRUE(reader);
  EXPECT_GE(reader->packetCount(), received);
  EXPECT_LE(reader->packetCount(), received + 1);  // the packet that was in hand at the start
  // A link lost with an error removes the headband; the search starts again.
  EXPECT_TRUE(saw(VPKDeviceUpdateDidRemove));
  EXPECT_TRUE(manager->isSearchingForDevices());
}

TEST_F(VPKBluetoothManagerTest, RefusedConnectionFailsItsCallerAndLeavesTheHeadbandAvailable) {
  auto band = addHeadband();
  launch();
  ASSERT_TRUE(findFirst());
  band->setRefusesConnections(true);
  std::optional<VPKError> failure;
  bool called = false;
  handle->connectWithHandler([&](const VPKDeviceHandlePtr&, const std::optional<VPKError>& e) {
    called = true;
    failure = e;
  });
  ASSERT_TRUE(runUntil([&] { return called; }, 5));
  EXPECT_TRUE(failure);
  EXPECT_EQ(handle->status(), VPKDeviceStatusDisconnected);
  EXPECT_TRUE(saw(VPKDeviceUpdateDidDisconnect));

  band->setRefusesConnections(false);
  handle->connect();
  EXPECT_TRUE(runUntil([&] { return saw(VPKDeviceUpdateDidConnect); }, 10));
}

TEST_F(VPKBluetoothManagerTest, AdapterOffEndsLinksAndTheSearchResumesAtPowerOn) {
  addHeadband();
  world->setAdapterPoweredOn(false);
  launch();
  manager->startSearchingForDevices();
  settle();
  EXPECT_FALSE(manager->isSearchingForDevices());
  EXPECT_TRUE(manager->searchWhenBLEEnabled());
  world->setAdapterPoweredOn(true);
  settle();
  EXPECT_TRUE(manager->isSearchingForDevices());

  ASSERT_TRUE(connectFirst());
  updates.clear();
  world->setAdapterPoweredOn(false);
  settle();
  EXPECT_TRUE(saw(VPKDeviceUpdateDidDisconnect));
  EXPECT_TRUE(saw(VPKDeviceUpdateDidRemove));
  EXPECT_FALSE(manager->connectedDevice());
  EXPECT_TRUE(manager->searchWhenBLEEnabled());
  world->setAdapterPoweredOn(true);
  settle();
  EXPECT_TRUE(manager->isSearchingForDevices());
}

TEST_F(VPKBluetoothManagerTest, SwipeNeedsHalfAG_AndConnectsOnlyAClosePeripheral) {
  auto far = addHeadband(-38, "Vemra far1");
  launch();
  manager->startSwipeBasedAutoConnection();
  motion->inject({.x = 0.0});
  motion->inject({.x = 0.54});
  settle();
  EXPECT_FALSE(manager->isSearchingForDevices());
  motion->inject({.x = -0.01});  // 0.55 g from the previous sample
  settle();
  EXPECT_TRUE(manager->isPerformingSwipeBasedSearch());
  EXPECT_EQ(manager->currentScanOptions(), VPKBluetoothManager::kScanOptionsSwipe);
  advance(0.9);
  EXPECT_FALSE(saw(VPKDeviceUpdateWillConnect));  // -38 dBm is too far
  advance(0.2);
  EXPECT_FALSE(manager->isSearchingForDevices());  // the 1 s swipe search ended

  far->setRSSI(-37);
  motion->inject({.x = 0.6});
  ASSERT_TRUE(runUntil([&] { return saw(VPKDeviceUpdateDidConnect); }, 5));
  EXPECT_FALSE(motion->isActive());
  EXPECT_EQ(sound->played(), std::vector<std::string>{VPKBluetoothManager::kConnectSound});
}

TEST_F(VPKBluetoothManagerTest, PreferredHeadbandConnectsItselfUnlessDisconnectedByHand) {
  addHeadband(-60, "Vemra aa11");
  addHeadband(-45, "Vemra bb22");
  launch();
  manager->setPreferredDeviceInfo(vpk::ValueDictionary{{"hardwareIdentifier", vpk::Value("VMRAA11")}});
  manager->startSearchingForDevices();
  ASSERT_TRUE(runUntil([&] { return saw(VPKDeviceUpdateDidConnect); }, 10));
  handle = manager->connectedDevice();
  EXPECT_EQ(handle->name(), "Vemra aa11");
  // The list: the connected headband first, the others by name.
  manager->startSearchingForDevices();
  ASSERT_TRUE(runUntil([&] { return manager->availableDevices().size() == 2; }, 5));
  auto listed = manager->availableDevices();
  EXPECT_TRUE(listed[0]->isEqual(*handle));

  // Disconnected by hand, it stays disconnected when heard again.
  VPKResourceManager::performBlockAndWait([&] { handle->device()->setManuallyDisconnected(true); });
  handle->disconnect();
  updates.clear();
  ASSERT_TRUE(runUntil([&] { return saw(VPKDeviceUpdateDidDisconnect); }, 5));
  advance(3);
  EXPECT_FALSE(saw(VPKDeviceUpdateWillConnect));
}

TEST_F(VPKBluetoothManagerTest, ButtonHeldTenSecondsPowersOffAndAPowerDownWaitsForTheRelease) {
  auto band = addHeadband();
  launch();
  ASSERT_TRUE(connectFirst());
  // A power-down asked for while the button is down waits for the release, which does not
  // power the headband down by itself.
  band->pressButton();
  ASSERT_TRUE(runUntil([&] { return handle->isMainButtonPressed(); }, 3));
  handle->powerDown();
  settle();
  EXPECT_FALSE(saw(VPKDeviceUpdateWillPowerOff));
  band->releaseButton();
  ASSERT_TRUE(runUntil([&] { return saw(VPKDeviceUpdateMainButtonReleased); }, 3));
  advance(3);
  EXPECT_EQ(handle->status(), VPKDeviceStatusConnected);

  // The manager learns of the press at the next status answer, so 12 s on the headband
  // are a little less for the manager.
  band->holdButton(12);
  ASSERT_TRUE(runUntil([&] { return saw(VPKDeviceUpdateWillPowerOff); }, 12));
  EXPECT_FALSE(saw(VPKDeviceUpdateDidPowerOff));
  ASSERT_TRUE(runUntil([&] { return saw(VPKDeviceUpdateDidRemove); }, 5));
  EXPECT_TRUE(saw(VPKDeviceUpdateDidPowerOff));
  EXPECT_TRUE(manager->availableDevices().empty());
}

TEST_F(VPKBluetoothManagerTest, ADelayedStopCountsTheTimeBeforeTheQueueTookItAndAStartCancelsIt) {
  addHeadband();
  launch();
  manager->startSearchingForDevices();
  manager->stopSearchingForDevicesAfterDelay(2.0);
  advance(1.0);
  manager->startSearchingForDevices();  // cancels the pending stop
  advance(1.5);
  EXPECT_TRUE(manager->isSearchingForDevices());
  for (double busy : {1.5, 3.0}) {
    manager->startSearchingForDevices();
    settle();
    vpk::Semaphore never(0);
    VPKResourceManager::performBlock([&never, busy] { never.wait(busy); });
    const double asked = now();
    manager->stopSearchingForDevicesAfterDelay(2.0);  // reaches the queue `busy` s later
    advance(busy);
    ASSERT_TRUE(runUntil([&] { return !manager->isSearchingForDevices(); }, 3));
    EXPECT_NEAR(now() - asked, std::max(2.0, busy), 0.011) << busy;
  }
}

TEST_F(VPKBluetoothManagerTest, StatusRatesBelowTheFloorAreQueriedAtTheFloor) {
  auto band = addHeadband();
  launch();
  ASSERT_TRUE(connectFirst());
  auto device = handle->device();
  vpk::test::LogCapture log;
  VPKLogSetEnabled(true);
  for (double rate : {0.01, 0.0}) {
    advance(2.5);
    log.clear();
    const long before = received(band, "DR0404\r");
    VPKResourceManager::performBlockAndWait([&] { device->setSystemQueryRate(rate); });
    advance(1.0);
    EXPECT_GT(received(band, "DR0404\r"), before + 10) << rate;
    // Below the floor the timer is moved once, on a tick that asks nothing; 0 starts there.
    EXPECT_EQ(log.count("Changing system query rate:"), rate > 0 ? 1u : 0u) << rate;
  }
  VPKLogSetEnabled(false);
}

TEST_F(VPKBluetoothManagerTest, LostRepliesAndWriteErrorsWhileConnectingAreAskedAgainAndSilenceFailsTheCaller) {
  auto band = addHeadband();
  launch();
  ASSERT_TRUE(findFirst());
  std::vector<std::optional<VPKError>> results;
  auto connect = [&] {
    results.clear();
    handle->connectWithHandler([&](const VPKDeviceHandlePtr&, const std::optional<VPKError>& e) { results.push_back(e); });
    return runUntil([&] { return !results.empty(); }, 12);
  };
  // A headband that answers nothing is asked three times, then its caller hears of it.
  band->setReplyLossRate(1.0);
  const double start = now();
  ASSERT_TRUE(connect());
  ASSERT_TRUE(results[0]);
  EXPECT_EQ(results[0]->domain, VPKErrorDomain);
  EXPECT_EQ(results[0]->code, 3);
  EXPECT_NEAR(now() - start, 3 * VPKBluetoothManager::kFirmwareReplyTimeout, 0.5);
  EXPECT_EQ(received(band, "Q1\r"), 3);
  EXPECT_TRUE(saw(VPKDeviceUpdateDidDisconnect));
  EXPECT_EQ(handle->status(), VPKDeviceStatusDisconnected);
  EXPECT_TRUE(manager->isSearchingForDevices());

  // A lost status and firmware reply, or a failed write: a later query connects it.
  band->setReplyLossRate(0);
  band->loseNextReplies(2);
  ASSERT_TRUE(connect());
  EXPECT_FALSE(results[0]);
  handle->disconnect();
  ASSERT_TRUE(runUntil([&] { return count(VPKDeviceUpdateDidDisconnect) == 2; }, 3));
  // Failed writes cost the first firmware query (the stored identification is removed).
  VPKResourceManager::performBlockAndWait([&] { handle->device()->setObject(vpk::Value(), "firmware"); });
  band->failNextWrites(7);
  const double again = now();
  ASSERT_TRUE(connect());
  EXPECT_FALSE(results[0]);
  EXPECT_GT(now() - again, VPKBluetoothManager::kFirmwareReplyTimeout);
  VPKResourceManager::performBlockAndWait(
      [&] { EXPECT_EQ(handle->device()->objectForKey("errors")["deviceWriteErrors"].size(), 7u); });
}

TEST_F(VPKBluetoothManagerTest, AMissingSignalReadingGivesNoDistanceAndSortsLast) {
  auto strong = addHeadband(-50, "Vemra aa11");
  addHeadband(-80, "Vemra bb22");
  launch();
  manager->startSearchingForDevices();
  ASSERT_TRUE(runUntil([&] { return manager->allDevices().size() == 2; }, 5));
  auto names = [&] {
    std::vector<std::string> out;
    VPKResourceManager::performBlockAndWait([&] {
      for (const auto& p : manager->allDevices()) out.push_back(p->name());
    });
    return out;
  };
  EXPECT_EQ(names(), (std::vector<std::string>{"Vemra aa11", "Vemra bb22"}));
  handle = manager->availableDevices().front();
  handle->connect();
  ASSERT_TRUE(runUntil([&] { return saw(VPKDeviceUpdateDidConnect); }, 10));
  EXPECT_LT(handle->distance(), 1.0);
  strong->failNextRSSIReads(1);
  advance(7.5);  // one signal-strength read
  EXPECT_EQ(handle->RSSI(), VPKPeripheral::kMissingRSSI);
  EXPECT_TRUE(std::isinf(handle->distance()));
  EXPECT_EQ(names(), (std::vector<std::string>{"Vemra bb22", "Vemra aa11"}));
}

TEST_F(VPKBluetoothManagerTest, HistoryKeepsEachHeadbandOnceMostRecentLast) {
  addHeadband(-50, "Vemra aa11");
  addHeadband(-52, "Vemra bb22");
  launch();
  manager->setShouldDiscardUnavailableDevices(false);
  manager->startSearchingForDevices();
  ASSERT_TRUE(runUntil([&] { return manager->availableDevices().size() == 2; }, 5));
  auto devices = manager->availableDevices();
  auto idOf = [](const VPKDeviceHandlePtr& h) { return vpk::Value(h->identifier()); };
  devices[0]->connect();
  ASSERT_TRUE(runUntil([&] { return count(VPKDeviceUpdateDidConnect) == 1; }, 10));
  devices[1]->connect();
  ASSERT_TRUE(runUntil([&] { return count(VPKDeviceUpdateDidConnect) == 2; }, 10));
  EXPECT_EQ(manager->deviceIdentifierHistory(), (vpk::ValueOrderedSet{idOf(devices[0]), idOf(devices[1])}));
  manager->saveDeviceInfo();
  EXPECT_FALSE(manager->hasUnsavedDeviceHistoryChanges());
  devices[1]->connect();  // already the last entry: nothing changes
  settle();
  EXPECT_FALSE(manager->hasUnsavedDeviceHistoryChanges());
  devices[0]->connect();
  settle();
  EXPECT_EQ(manager->deviceIdentifierHistory(), (vpk::ValueOrderedSet{idOf(devices[1]), idOf(devices[0])}));

  // Forgetting drops the entry; the file follows at the next save.
  manager->forgetDeviceWithIdentifier(devices[1]->identifier());
  manager->saveDeviceInfo();
  manager->reset();
  settle();
  launch();
  EXPECT_EQ(manager->deviceIdentifierHistory(), vpk::ValueOrderedSet{idOf(devices[0])});
}

}  // namespace

TEST_F(VPKBluetoothManagerTest, DiagnosticsReportOfTheConnectedHeadbandOrNoneWithout) {
  addHeadband();
  launch();
  std::vector<std::optional<std::filesystem::path>> reports;
  auto collect = [&](const std::optional<std::filesystem::path>& report, const std::optional<VPKError>& error) {
    EXPECT_FALSE(error);
    reports.push_back(report);
  };
  manager->generateDiagnosticsReportForConnectedDevice(collect);
  settle();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_FALSE(reports[0]);

  ASSERT_TRUE(connectFirst());
  manager->generateDiagnosticsReportForConnectedDevice(collect);
  advance(1);
  auto statusInterval = [&] {
    return vpkrsrc_return_sync([&] { return manager->connectedDeviceUpdateTimer()->interval(); });
  };
  EXPECT_EQ(statusInterval(), 0.5);
  ASSERT_TRUE(runUntil([&] { return reports.size() == 2; }, 32));
  ASSERT_TRUE(reports[1]);
  EXPECT_TRUE(std::filesystem::is_regular_file(*reports[1]));
  // The status polling goes back to its usual rate once the report is written.
  EXPECT_EQ(statusInterval(), 2.0);
}
