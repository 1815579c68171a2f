// The device manager's parts that need no headband: update handlers, the history files,
// the recording length rule, and the Linux stand-ins (motion, application end).

#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/frame/VPKStorage.h>
#include <VemraPlatformKit/manager/VPKBluetoothManagerNotifications.h>
#include <VemraPlatformKit/platform/application/Application.h>
#include <VemraPlatformKit/platform/motion/MotionSource.h>
#include <VemraPlatformKit/platform/notifications/NotificationCenter.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>

#include "manager/DeviceHistoryStore.h"
#include "manager/RecordingControl.h"
#include "manager/UpdateHandlerTable.h"
#include "support/VirtualTime.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;
using vpk::detail::DeviceHistoryStore;
using vpk::detail::UpdateHandlerTable;

namespace {

class UpdateHandlersTest : public vpk::test::VirtualTimeTest {
 protected:
  // Raises `reason` and returns what the handler under "k" received.
  std::vector<VPKDeviceUpdateReason> raise(VPKDeviceUpdateReason reason) {
    received.clear();
    table->notify(reason, nullptr, "Vemra 1a2b");
    settle();
    return received;
  }
  void registerHandler(const std::string& key = "k") {
    table->setUpdateHandler([this](VPKDeviceUpdateReason r, const auto&) { received.push_back(r); }, key);
  }
  std::shared_ptr<UpdateHandlerTable> table = std::make_shared<UpdateHandlerTable>();
  std::vector<VPKDeviceUpdateReason> received;
};

TEST_F(UpdateHandlersTest, MasksFollowTheEnableDisableArithmetic) {
  registerHandler();
  EXPECT_EQ(raise(VPKDeviceUpdateDidConnect).size(), 1u);
  EXPECT_TRUE(raise(VPKDeviceUpdateRSSIChanged).empty());

  // Enabling RSSI alone on the default mask keeps only what both allow: nothing.
  table->setNotificationsEnabled(true, VPKDeviceUpdateRSSIChanged, "k");
  EXPECT_EQ(table->handlerReasons("k"), 0u);
  EXPECT_FALSE(table->allowedReasons("k"));
  // An empty mask takes the enabled reasons as they are.
  table->setNotificationsEnabled(true, VPKDeviceUpdateRSSIChanged, "k");
  EXPECT_EQ(raise(VPKDeviceUpdateRSSIChanged).size(), 1u);

  table->setUpdateNotificationReasons(VPKDeviceUpdateRSSIChanged | VPKDeviceUpdateDidRemove, "k");
  table->setNotificationsEnabled(false, VPKDeviceUpdateDidRemove, "k");
  EXPECT_EQ(table->allowedReasons("k"), VPKDeviceUpdateRSSIChanged);
  table->setUpdateNotificationReasons(0, "k");
  EXPECT_FALSE(table->allowedReasons("k"));
  EXPECT_TRUE(raise(VPKDeviceUpdateRSSIChanged).empty());

  // Without a handler, disabling starts from all reasons; the mask is remembered across
  // removal of every handler and used by the next registration.
  table->setNotificationsEnabled(false, VPKDeviceUpdateDidConnect, "other");
  EXPECT_EQ(table->allowedReasons("other"), VPKDeviceUpdateAllReasons & ~VPKDeviceUpdateDidConnect);
  table->setUpdateNotificationReasons(VPKDeviceUpdateMainButtonPressed, "k");
  table->removeAllHandlers();
  registerHandler();
  EXPECT_EQ(table->handlerReasons("k"), VPKDeviceUpdateMainButtonPressed);
}

TEST_F(UpdateHandlersTest, DeliveryUsesTheSnapshotAndGroupingHoldsItBack) {
  registerHandler();
  table->notify(VPKDeviceUpdateDidConnect, nullptr, "x");
  table->setUpdateHandler(nullptr, "k");  // after the decision: the delivery still happens
  settle();
  EXPECT_EQ(received.size(), 1u);

  registerHandler();
  received.clear();
  table->beginGrouping();
  table->beginGrouping();
  table->notify(VPKDeviceUpdateBatteryChanged, nullptr, "x");
  settle();
  table->endGrouping();
  settle();
  EXPECT_TRUE(received.empty());
  table->endGrouping();
  settle();
  EXPECT_EQ(received, std::vector<VPKDeviceUpdateReason>{VPKDeviceUpdateBatteryChanged});
}

TEST(DeviceHistoryStoreTest, FilesRoundTripAndBadFilesAreIgnored) {
  VPKResourceManager::performBlockAndWait([] {
    ASSERT_TRUE(DeviceHistoryStore::writeHistory(vpk::ValueOrderedSet{vpk::Value("B"), vpk::Value("A")}));
    auto history = DeviceHistoryStore::loadHistory();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0], vpk::Value("B"));

    vpk::ValueDictionary record{{"identifier", vpk::Value("ID")}, {"hardwareIdentifier", vpk::Value("VMR1A2")}};
    ASSERT_TRUE(DeviceHistoryStore::writePreferredDeviceInfo(record));
    EXPECT_EQ(DeviceHistoryStore::loadPreferredDeviceInfo(), record);
    ASSERT_TRUE(DeviceHistoryStore::writePreferredDeviceInfo(std::nullopt));
    EXPECT_FALSE(DeviceHistoryStore::loadPreferredDeviceInfo());

    // Damaged, or of the wrong shape: nothing is loaded, non-strings are dropped.
    auto preferred = *vpkrsrc_mkdir("peripheral_info_store") / "auto_connected_device";
    std::ofstream(preferred) << "bplist00 not really";
    EXPECT_FALSE(DeviceHistoryStore::loadPreferredDeviceInfo());
    auto historyFile = *vpkrsrc_touch("info", "ble_history");
    vpk::KeyedArchiver::archiveToFile(vpk::Value::list({vpk::Value("C"), vpk::Value(7)}), historyFile.string());
    history = DeviceHistoryStore::loadHistory();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0], vpk::Value("C"));
    std::ofstream(historyFile) << "garbage";
    EXPECT_TRUE(DeviceHistoryStore::loadHistory().empty());
    fs::remove(preferred);
  });
}

class RecordingRuleTest : public vpk::test::VirtualTimeTest {};

TEST_F(RecordingRuleTest, ShortRecordingsAreDeletedLongerOnesAnnounced) {
  std::vector<VPKSignalStreamFileHandlePtr> announced;
  auto token = vpk::NotificationCenter::defaultCenter().addObserver(
      VPKBluetoothManagerFinishedRecordedNotification, [&](const vpk::Notification& n) {
        announced.push_back(std::any_cast<VPKSignalStreamFileHandlePtr>(n.object));
      });
  const std::vector<uint8_t> chunk(20, 0xA0);
  for (int chunks : {166, 167}) {
    auto writer = VPKSignalStreamFileHandle::createForWriting();
    for (int i = 0; i < chunks; ++i) writer->addData(chunk);
    writer->closeFile();
    auto file = *writer->URL();
    vpk::detail::RecordingControl::handleClosed(writer);
    settle();
    EXPECT_EQ(fs::exists(file), chunks == 167) << chunks;
  }
  // A writer without a finished file (it lost data) is not announced.
  auto broken = VPKSignalStreamFileHandle::createForWriting();
  for (int i = 0; i < 200; ++i) broken->addData(chunk);
  broken->discardAllAssociatedURLs();
  broken->closeFile();
  vpk::detail::RecordingControl::handleClosed(broken);
  settle();
  ASSERT_EQ(announced.size(), 1u);
  EXPECT_GE(announced[0]->duration(), 2.0);
  vpk::NotificationCenter::defaultCenter().removeObserver(token);
}

TEST(MotionSourceTest, IIOReadsRawTimesScaleInG) {
  const auto root = fs::temp_directory_path() / "iio-test";
  fs::create_directories(root / "iio:device0");
  fs::create_directories(root / "iio:device1");
  std::ofstream(root / "iio:device1" / "in_accel_x_raw") << "-512\n";
  std::ofstream(root / "iio:device1" / "in_accel_y_raw") << "0\n";
  std::ofstream(root / "iio:device1" / "in_accel_scale") << "0.019154\n";
  auto source = vpk::IIOMotionSource::find(root);
  ASSERT_TRUE(source);
  auto sample = source->read();
  ASSERT_TRUE(sample);
  EXPECT_NEAR(sample->x, -512 * 0.019154 / 9.80665, 1e-9);
  std::ofstream(root / "iio:device1" / "in_accel_x_raw") << "nan\n";
  EXPECT_FALSE(source->isAvailable());
  EXPECT_FALSE(vpk::IIOMotionSource::find(root / "missing"));
  fs::remove_all(root);
}

TEST(ApplicationTest, WillTerminateWaitsForBackgroundTasks) {
  bool saved = false;
  auto token = vpk::NotificationCenter::defaultCenter().addObserver(
      vpk::kApplicationWillTerminateNotification, [&](const vpk::Notification&) {
        auto task = vpk::Application::beginBackgroundTask();
        VPKResourceManager::performBlock([&saved, task] {
          saved = true;
          vpk::Application::endBackgroundTask(task);
        });
      });
  vpk::Application::willTerminate();
  EXPECT_TRUE(saved);
  EXPECT_EQ(vpk::Application::backgroundTaskCount(), 0u);
  vpk::Application::didBecomeActive();
  vpk::NotificationCenter::defaultCenter().removeObserver(token);
}

}  // namespace
