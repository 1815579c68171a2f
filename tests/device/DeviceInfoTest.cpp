// Firmware descriptions, naming, the per-device store and its migration, the error log and
// the device handle.
#include "device/DeviceTestSupport.h"

#include <VemraPlatformKit/frame/VPKStorage.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>

#include <filesystem>
#include <fstream>

namespace vpk::test {
namespace {

using FW = VPKDeviceFirmwareDescription;

TEST(FirmwareDescription, BuiltInsCompareAndMeetTheMinimum) {
  EXPECT_EQ(FW::productLaunchFirmware()->compare(*FW::latestFirmware()), std::strong_ordering::less);
  EXPECT_FALSE(FW::productLaunchFirmware()->isNewerThanOrEqualToMinimumVersion());
  EXPECT_TRUE(FW::latestFirmware()->isNewerThanOrEqualToMinimumVersion());
  EXPECT_TRUE(FW(4, 3, 0u).isNewerThanOrEqualToMinimumVersion());
  EXPECT_TRUE(FW(5, 0, 0u).isNewerThanOrEqualToMinimumVersion());
  EXPECT_FALSE(FW(3, 9, 9999u).isNewerThanOrEqualToMinimumVersion());

  const FW a(4, 2, 7u, FW::parseReleaseDate("140101"), "one"), b(4, 2, 7u, std::nullopt, "two");
  EXPECT_TRUE(a == b);
  EXPECT_EQ(a.hash(), b.hash());
  EXPECT_FALSE(FW(4, 2, std::nullopt).dictionaryValue());
  EXPECT_FALSE(a.copy()->firmwareString());
}

TEST(FirmwareDescription, ParsesAnswersAndSurvivesHostileOnes) {
  auto f = FW::createWithResponse("Q1:VEMRA_V.5_11_RC_210302:HW:B-4F3");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->stringValue(), "5.11.1267");
  EXPECT_EQ(FW::formatReleaseDate(*f->releaseDate()), "210302");
  EXPECT_EQ(f->firmwareString(), "Q1:VEMRA_V.5_11_RC_210302:HW:B-4F3");

  EXPECT_FALSE(FW::createWithResponse("VEMRA_V.4_2_140917:B-0501"));  // no "Q1"
  EXPECT_FALSE(FW::createWithResponse("Q1 VEMRA"));                   // one piece
  EXPECT_FALSE(FW::createWithResponse("Q1:OTHER_V.4_2_140917:B-1"));  // not ours
  auto noBuild = FW::createWithResponse("Q1:vemra_v.4_2_991399:B-zz");
  ASSERT_TRUE(noBuild);
  EXPECT_EQ(noBuild->patchVersion(), 0u);
  EXPECT_FALSE(noBuild->releaseDate());  // month 13
  auto shortVersion = FW::createWithResponse("Q1:VEMRA:");
  ASSERT_TRUE(shortVersion);
  EXPECT_FALSE(shortVersion->minorVersion());
  EXPECT_FALSE(shortVersion->dictionaryValue());
  EXPECT_TRUE(FW::createWithResponse("Q1:VEMRA_V.99999999999999999999_-7_\x01\xff:B-FFFFFFFFFF"));
}

TEST(FirmwareDescription, DictionaryAndArchiveRoundTrips) {
  auto f = FW::createWithResponse("Q1:VEMRA_V.4_2_140917:HW-C:B-0501");
  auto back = FW::createWithDictionary(*f->dictionaryValue());
  EXPECT_TRUE(*back == *f);
  EXPECT_EQ(back->releaseDate(), f->releaseDate());
  auto data = KeyedArchiver::archivedData(Value(f));
  ASSERT_TRUE(data);
  auto decoded = KeyedUnarchiver::unarchive(*data);
  ASSERT_TRUE(decoded);
  auto g = decoded->object<FW>();
  ASSERT_TRUE(g);
  EXPECT_TRUE(*g == *f);
  EXPECT_EQ(g->firmwareString(), f->firmwareString());

  // A malformed text is kept as the valid text an archive holds, so it decodes unchanged.
  auto hostile = FW::createWithResponse("\xff\xffQ1:VEMRA:\xc3");
  ASSERT_TRUE(hostile);
  EXPECT_EQ(hostile->firmwareString(), "\uFFFD\uFFFDQ1:VEMRA:\uFFFD");
  auto hostileBack = KeyedUnarchiver::unarchive(*KeyedArchiver::archivedData(Value(hostile)))->object<FW>();
  EXPECT_EQ(hostileBack->firmwareString(), hostile->firmwareString());
}

TEST(HardwareIdentifier, ComesFromTheCharactersAfterTheLastVemra) {
  EXPECT_EQ(VPKPeripheral::generateHardwareIdentifierWithName("Vemra 1a2b"), "VMR1A2B");
  EXPECT_EQ(VPKPeripheral::generateHardwareIdentifierWithName("VemraAB"), "VMRAB");
  EXPECT_FALSE(VPKPeripheral::generateHardwareIdentifierWithName("Vemra"));
  EXPECT_FALSE(VPKPeripheral::generateHardwareIdentifierWithName("vemra x"));
  EXPECT_FALSE(VPKPeripheral::generateHardwareIdentifierWithName("Vemra a/../b"));
}

class InfoTest : public DeviceTest {
 protected:
  VPKPeripheralPtr make(const BluetoothPeripheralPtr& p, std::optional<std::string> localName) {
    BluetoothAdvertisementData a;
    a.localName = std::move(localName);
    return onQueue([&] { return VPKPeripheral::create(p, manager, a, -50); });
  }
};

TEST_F(InfoTest, UpdateModeNameIsReplacedOnlyWhenItIsExactlyTheLowerCaseName) {
  auto band = world->addHeadband(named("vemraota"));
  auto p = discover(band)->peripheral();
  auto first = make(p, "Vemra 77aa");
  EXPECT_EQ(first->name(), "Vemra 77aa");
  first.reset();
  auto again = make(p, "vemraota");  // the platform's name is "vemraota" too
  EXPECT_EQ(again->name(), "Vemra 77aa");

  auto loud = world->addHeadband(named("VEMRAOTA"));
  auto q = discover(loud)->peripheral();
  auto shouting = make(q, "VEMRAOTA");
  onQueue([&] {
    EXPECT_EQ(shouting->name(), "VEMRAOTA");
    EXPECT_FALSE(shouting->hardwareIdentifier());
    EXPECT_TRUE(shouting->objectForKey("name").isNull());
  });
}

TEST_F(InfoTest, NameFromTheAirIsTakenAsValidTextAndItsStoreReadsBackEqual) {
  // A NUL, a terminal escape and malformed UTF-8: in a property list the NUL would cut the
  // stored name, and a terminal would obey the escape.
  auto c = named(std::string("Vemra 0d\0\x1b[2J\xff\xc3\xa9", 16));
  c.identifier = BluetoothUUID::fromString("0D0D0D0D-0000-4000-8000-000000000D0D");  // a store of its own
  auto d = discover(world->addHeadband(c));
  onQueue([&] {
    EXPECT_EQ(d->name(), "Vemra 0d\uFFFD\uFFFD[2J\uFFFD\u00e9");
    auto stored = VPKPeripheral::persistentDeviceInfoForIdentifier(d->identifier());
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->find("name")->stringValue(), d->name());
  });
}

TEST_F(InfoTest, StoreSavesOnlyChangesAndDeletesItsFile) {
  auto d = discover(world->addHeadband(named("Vemra 0c0c")));
  onQueue([&] {
    auto file = d->peristentDeviceInfoFile();
    ASSERT_TRUE(file);
    EXPECT_TRUE(std::filesystem::exists(*file));
    EXPECT_FALSE(d->hasUnsavedPersistentDeviceInfoChanges());
    d->setObject(d->objectForKey("hardwareIdentifier"), "hardwareIdentifier");  // equal: no change
    EXPECT_FALSE(d->hasUnsavedPersistentDeviceInfoChanges());
    d->setNumberOfConnections(3);
    EXPECT_TRUE(d->savePersistentDeviceInfo());
    EXPECT_EQ(VPKPeripheral::persistentDeviceInfoForIdentifier(d->identifier())->find("numberOfConnections")->intValue(), 3);
    d->setObject(Value(), "numberOfConnections");
    EXPECT_EQ(d->numberOfConnections(), 0u);
    d->setPersistentDeviceInfo(std::nullopt);
    EXPECT_TRUE(d->savePersistentDeviceInfo());
    EXPECT_FALSE(std::filesystem::exists(*file));
  });
}

TEST_F(InfoTest, OldDeviceFileIsMigratedAndRemovedEvenWhenDamaged) {
  const auto root = *VPKStorage::persistentStorageDirectory();
  for (auto [folder, text] : {std::pair{"VMR1111", R"({"manualName": "Desk band"})"}, {"VMR2222", "{oops"}}) {
    std::filesystem::create_directories(root / folder);
    std::ofstream(root / folder / "device.json") << text;
  }
  auto good = discover(world->addHeadband(named("Vemra 1111")));
  auto bad = discover(world->addHeadband(named("Vemra 2222")));
  onQueue([&] {
    EXPECT_EQ(good->objectForKey("manualName").stringValue(), "Desk band");
    EXPECT_TRUE(bad->objectForKey("manualName").isNull());
  });
  EXPECT_FALSE(std::filesystem::exists(root / "VMR1111/device.json"));
  EXPECT_FALSE(std::filesystem::exists(root / "VMR2222/device.json"));
}

TEST_F(InfoTest, ErrorLogKeepsTheLastFiftyPerCounter) {
  auto d = discover(world->addHeadband());
  onQueue([&] {
    for (int i = 1; i <= 51; ++i) d->logError(VPKError::make(i, fmt::format("failure {}", i)), "deviceWriteErrors");
    const Value list = d->objectForKey("errors")["deviceWriteErrors"];
    ASSERT_EQ(list.size(), 50u);
    EXPECT_EQ(list.at(0)["error"].stringValue(), "failure 2");
    EXPECT_EQ(list.at(49)["timestamp"].stringValue().size(), std::string("2026_01_01_00_00_00_GMT").size());
  });
}

TEST_F(InfoTest, HandleForwardsCachesAndOutlivesItsHeadband) {
  auto d = discover(world->addHeadband(named("Vemra 3c3c")));
  auto handle = onQueue([&] { return d->deviceHandle(); });
  EXPECT_EQ(handle->name(), "Vemra 3c3c");
  EXPECT_EQ(handle->hardwareIdentifier(), "VMR3C3C");
  EXPECT_FALSE(handle->dictionaryRepresentation().contains("manualName"));
  handle->setManualName("Desk");
  EXPECT_EQ(handle->manualName(), "Desk");
  EXPECT_EQ(handle->dictionaryRepresentation().size(), 4u);
  auto other = VPKDeviceHandle::deviceWithDevice(d);
  EXPECT_TRUE(handle->isEqual(*other));

  onQueue([&] { manager->devices.clear(); });
  d.reset();
  settle();
  EXPECT_EQ(handle->name(), "");
  EXPECT_EQ(handle->status(), 0u);
  EXPECT_FALSE(handle->stream());
  EXPECT_EQ(handle->hardwareIdentifier(), "VMR3C3C");  // cached
  handle->connect();
  settle();
  onQueue([&] { EXPECT_EQ(manager->count("connect"), 0u); });
}

}  // namespace
}  // namespace vpk::test
