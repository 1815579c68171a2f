// A headband through its whole session, and the command channel's framing, ordering and
// hand-over limits, against the simulated headband.
#include "device/DeviceTestSupport.h"

#include <VemraPlatformKit/analysis/VPKSignalAnalyzer.h>
#include <VemraPlatformKit/analysis/VPKSignalAnalyzerOutput.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>

#include <atomic>

namespace vpk::test {
namespace {

struct CountingOutput : VPKSignalAnalyzerOutput {
  std::atomic<int> results{0};
  void signalAnalyzerDidPerformAnalysis(VPKSignalAnalyzer&, const std::shared_ptr<VPKChannelSet>&) override {
    ++results;
  }
};

TEST_F(DeviceTest, SessionConnectsReadsStatusStreamsIntoAnAnalyzerAndPowersDown) {
  ASSERT_NO_FATAL_FAILURE(connectNew(named("Vemra 1a2b")));
  EXPECT_EQ(commands(band), (std::vector<std::string>{"DW0308\r", "DR0404\r", "Q1\r"}));

  onQueue([&] {
    ASSERT_TRUE(d->firmwareVersion());
    EXPECT_EQ(d->objectForKey("firmware")["patchVersion"].intValue(), 1281);
    ASSERT_TRUE(d->batteryLevel());  // 3.95 V reads above the top of the range
    EXPECT_FLOAT_EQ(*d->batteryLevel(), 1.0f);
    EXPECT_FALSE(d->isCharging());
    EXPECT_EQ(d->hardwareIdentifier(), "VMR1A2B");
    EXPECT_EQ(d->systemQueryResponses().size(), 1u);
  });

  auto analyzer = VPKSignalAnalyzer::analyzer();
  auto output = std::make_shared<CountingOutput>();
  analyzer->addOutput(output);
  auto handle = onQueue([&] { return d->deviceHandle(); });
  handle->stream()->addOutput(analyzer);
  handle->startStreaming();
  advance(3.0);
  EXPECT_TRUE(band->isStreaming());
  EXPECT_TRUE(handle->isStreaming());
  EXPECT_GT(output->results.load(), 10);

  handle->powerDown();
  advance(2.0);
  EXPECT_FALSE(band->isPoweredOn());
  EXPECT_FALSE(band->isConnected());
  EXPECT_EQ(handle->status(), VPKDeviceStatusPoweredOff);
  onQueue([&] { EXPECT_FALSE(d->stream()->isOpened()); });
  analyzer->removeFromSignalStream();
}

TEST_F(DeviceTest, StoredFirmwareIsUsedWithoutAskingAgain) {
  ASSERT_NO_FATAL_FAILURE(connectNew());
  onQueue([&] { EXPECT_TRUE(d->savePersistentDeviceInfo()); });
  onQueue([&] { d->disconnect(); });
  advance(1.0);
  const long asked = received(band, "Q1\r");
  onQueue([&] { d->connectWithHandler(nullptr); });
  advance(2.0);
  EXPECT_EQ(received(band, "Q1\r"), asked);
  onQueue([&] { EXPECT_EQ(d->status(), VPKDeviceStatusConnected); });
}

TEST_F(DeviceTest, FramedCommandsTakeThreeWritesAndTheQueueRunsByPriority) {
  ASSERT_NO_FATAL_FAILURE(connectNew());
  const size_t before = band->receivedCommands().size();
  onQueue([&] {
    d->sendCommand("DR0505\r", OperationPriority::Normal);   // starts, then waits for this queue
    d->sendCommand("DR0606\r", OperationPriority::Low);
    d->sendCommand("DR0707\r", OperationPriority::High);
    d->sendCommand("S00\r", OperationPriority::VeryHigh);   // written at once, ahead of all
  });
  advance(1.0);
  const auto all = band->receivedCommands();
  const std::vector<std::string> sent(all.begin() + long(before), all.end());
  EXPECT_EQ(sent, (std::vector<std::string>{"S00\r", "E<p>\r", "DR0505\r", "EDR0505\r</p>\r", "E<p>\r", "DR0707\r",
                                            "EDR0707\r</p>\r", "E<p>\r", "DR0606\r", "EDR0606\r</p>\r"}));
}

TEST_F(DeviceTest, SuspendedQueueHoldsEvenVeryHighCommandsAndCancelKeepsItSuspended) {
  band = world->addHeadband();
  d = discover(band);
  ASSERT_TRUE(d);
  onQueue([&] {
    EXPECT_TRUE(d->isCommandQueueSuspended());
    d->sendCommand("DW01FF\r", OperationPriority::VeryHigh);
  });
  EXPECT_TRUE(log.contains("WARNING: Command sent while write queue suspended!"));
  onQueue([&] {
    d->cancelPendingCommands();
    EXPECT_TRUE(d->isCommandQueueSuspended());
    EXPECT_TRUE(d->dataBuffer().empty());
  });
  onQueue([&] { d->connectWithHandler(nullptr); });
  advance(2.0);
  EXPECT_EQ(received(band, "DW01FF\r"), 0);
  EXPECT_TRUE(band->isPoweredOn());
}

TEST_F(DeviceTest, CancelReleasesAHandOverQueuedBehindItAndNothingIsWritten) {
  ASSERT_NO_FATAL_FAILURE(connectNew());
  const size_t before = band->receivedCommands().size();
  // The command's hand-over waits behind this very task; without the release the cancel
  // would hold the shared queue (and, here, virtual time) for the 3 s limit.
  onQueue([&] {
    d->sendCommand("DR0909\r", OperationPriority::Normal);
    d->cancelPendingCommands();
  });
  advance(0.5);
  EXPECT_FALSE(log.contains("may be timing out"));
  EXPECT_EQ(band->receivedCommands().size(), before);
}

TEST_F(DeviceTest, AStuckHandOverIsAbandonedAfterThreeSecondsAndTheNextCommandGoesOut) {
  ASSERT_NO_FATAL_FAILURE(connectNew());
  const size_t before = band->receivedCommands().size();
  // The shared queue is held for 4 s: the first command's hand-over cannot run in time.
  vpk::Semaphore never(0);
  VPKResourceManager::performBlock([&] {
    d->sendCommand("DR0909\r");
    d->sendCommand("DR0A0A\r");
    never.wait(4.0);
  });
  advance(2.9);
  EXPECT_FALSE(log.contains("may be timing out"));
  advance(0.2);
  EXPECT_EQ(log.count("Command(DR0909\r) may be timing out..."), 1u);
  EXPECT_FALSE(log.contains("DR0A0A\r) may be timing out"));
  advance(1.0);  // freed: the late hand-over writes nothing, the second command is written
  EXPECT_TRUE(log.contains("Command DR0909\r cancelled..."));
  const auto all = band->receivedCommands();
  EXPECT_EQ(std::vector<std::string>(all.begin() + long(before), all.end()),
            (std::vector<std::string>{"E<p>\r", "DR0A0A\r", "EDR0A0A\r</p>\r"}));
}

TEST_F(DeviceTest, SleepAnnouncementPowersOffAndAsksForDisconnection) {
  ASSERT_NO_FATAL_FAILURE(connectNew());
  band->powerOff();
  advance(1.0);
  EXPECT_TRUE(log.contains("Device sent shutdown notification"));
  onQueue([&] {
    EXPECT_EQ(d->status(), VPKDeviceStatusPoweredOff);
    EXPECT_TRUE(d->removeOnDisconnect());
    EXPECT_EQ(manager->count("disconnect"), 1u);
  });
}

TEST_F(DeviceTest, UpdateModeHeadbandIsResetThroughItsControlPoint) {
  SimulatedHeadband::Configuration updating;
  updating.updateMode = true;
  band = world->addHeadband(updating);
  d = discover(band);
  ASSERT_TRUE(d);
  onQueue([&] {
    EXPECT_TRUE(d->isInOTAMode());
    d->resetOTASystem([this](const std::optional<VPKError>& e) {
      ASSERT_TRUE(e);
      EXPECT_EQ(e->code, 2);
      EXPECT_EQ(e->description, "No valid OTA characteristics discovered.");
      manager->calls.push_back("refused");
    });
  });
  settle();
  onQueue([&] { d->connectWithHandler(nullptr); });
  advance(1.0);
  onQueue([&] {
    EXPECT_EQ(manager->count("refused"), 1u);
    EXPECT_EQ(manager->count("otaReady"), 1u);
    EXPECT_EQ(manager->count("otaReset"), 1u);
  });
  advance(2.0);
  EXPECT_FALSE(band->isInUpdateMode());
}

TEST_F(DeviceTest, DiscoveryErrorsAreCountedAndLeaveTheQueueSuspended) {
  band = world->addHeadband();
  d = discover(band);
  ASSERT_TRUE(d);
  band->failNextServiceDiscovery();
  onQueue([&] { d->connectWithHandler(nullptr); });
  advance(1.0);
  onQueue([&] {
    EXPECT_EQ(d->objectForKey("errors")["deviceDiscoverServicesErrors"].size(), 1u);
    EXPECT_TRUE(d->isCommandQueueSuspended());
    band->failNextCharacteristicDiscovery();
    d->discoverServices();
  });
  advance(1.0);
  onQueue([&] {
    EXPECT_EQ(d->objectForKey("errors")["deviceDiscoverCharacteristicsErrors"].size(), 1u);
    EXPECT_TRUE(d->isCommandQueueSuspended());
    EXPECT_EQ(manager->count("ready"), 0u);
  });
}

TEST_F(DeviceTest, HostileAnswersAndPacketsAreSurvived) {
  ASSERT_NO_FATAL_FAILURE(connectNew());
  const auto firmware = onQueue([&] { return d->firmwareVersion(); });
  band->replaceNextAnswers("DR0404", "not a status word");
  band->replaceNextAnswers("Q1", "Q1:VEMRA\x01_V.\x7f__\xff:" + std::string(300, ':') + "B-");
  band->failNextRSSIReads(1, BluetoothError::link(BluetoothErrorCode::NotConnected));
  onQueue([&] {
    d->objectForKey("firmware");
    d->setObject(Value(), "firmware");
    d->updateSystemStatus();
    d->readFirmwareVersion();
    d->peripheral()->readRSSI();
  });
  advance(0.5);
  band->notifyBytes({0xFF, 1, 2, 3});
  band->notifyBytes({0xFE, 'Q', '1', '\r', '<', '/', 'p', '>'});
  band->notifyText("<p>\r\n" + std::string(6000, 'z'));
  advance(3.0);
  onQueue([&] {
    EXPECT_FLOAT_EQ(*d->batteryLevel(), 1.0f);  // the garbled word changed nothing
    EXPECT_EQ(d->RSSI(), VPKPeripheral::kMissingRSSI);
    EXPECT_EQ(d->objectForKey("errors")["readRSSIErrors"].size(), 1u);
    EXPECT_LE(d->dataBuffer().size(), VPKPeripheral::kMaxResponseLength);
    ASSERT_TRUE(d->firmwareVersion());
    EXPECT_NE(d->firmwareVersion().get(), firmware.get());  // the strange text still parsed, to zeros
  });
}

}  // namespace
}  // namespace vpk::test
