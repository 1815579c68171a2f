#include "frame/StorageFixture.h"

#include <chrono>
#include <cstdlib>
#include <unistd.h>

namespace fs = std::filesystem;
using vpk::test::LogCapture;

namespace {

class Storage : public vpk::test::StorageTest {};

TEST_F(Storage, FreshInstallCreatesTheSupportDirectoryAndMigrationFile) {
  LogCapture log;
  EXPECT_TRUE(VPKStorage::needsMigration());
  VPKStorage::setupFileSystem();
  EXPECT_EQ(VPKStorage::persistentStorageDirectory(), support());
  EXPECT_TRUE(fs::is_directory(support()));
  EXPECT_EQ(readFile(support() / "mig"), "1");
  EXPECT_EQ(log.count("Sucessfully migrated support directory!"), 1u);
  EXPECT_FALSE(log.contains("Migrating old SDK storage..."));
  // Decided once: a second set-up changes nothing and the answer stays cached.
  VPKStorage::setupFileSystem();
  EXPECT_EQ(log.count("Sucessfully migrated support directory!"), 1u);
  EXPECT_TRUE(VPKStorage::needsMigration());
}

TEST_F(Storage, MigrationMovesTheNewestOfTwoOldFoldersAndIgnoresOthers) {
  writeFile(docs_ / "Old-VemraPlatformKit-store" / "older.txt", "old");
  fs::last_write_time(docs_ / "Old-VemraPlatformKit-store", fs::file_time_type::clock::now() - std::chrono::hours(48));
  writeFile(docs_ / "vemraplatformkit_NEWER" / "core" / "params", "new");
  writeFile(docs_ / "VEMRAPLATFORMKIT.txt", "a file, not a store");
  writeFile(docs_ / ".vemraplatformkit-hidden" / "x", "hidden");
  writeFile(docs_ / "unrelated" / "x", "other");

  LogCapture log;
  testing::internal::CaptureStderr();
  VPKStorage::setupFileSystem();
  const std::string console = testing::internal::GetCapturedStderr();

  EXPECT_EQ(VPKStorage::persistentStorageDirectory(), support());
  EXPECT_EQ(readFile(support() / "core" / "params"), "new");
  EXPECT_EQ(readFile(support() / "mig"), "1");
  EXPECT_FALSE(fs::exists(docs_ / "vemraplatformkit_NEWER"));
  EXPECT_TRUE(fs::exists(docs_ / "Old-VemraPlatformKit-store" / "older.txt"));
  EXPECT_TRUE(log.contains("Migrating old SDK storage..."));
  EXPECT_TRUE(log.contains("Sucessfully migrated support directory!"));
  EXPECT_NE(console.find("Found old path:" + (docs_ / "vemraplatformkit_NEWER").string()), std::string::npos);
  EXPECT_NE(console.find("Found old path:" + (docs_ / "Old-VemraPlatformKit-store").string()), std::string::npos);
  EXPECT_EQ(console.find("VEMRAPLATFORMKIT.txt"), std::string::npos);
  EXPECT_EQ(console.find("hidden"), std::string::npos);
}

TEST_F(Storage, MigrationReplacesAStoreThatLacksItsMigrationFile) {
  writeFile(support() / "stale", "x");
  writeFile(docs_ / "VemraPlatformKit" / "info", "kept");
  LogCapture log;
  testing::internal::CaptureStderr();
  VPKStorage::setupFileSystem();
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(log.contains("WARNING: Current store missing mig file. May may be corrupt"));
  EXPECT_FALSE(fs::exists(support() / "stale"));
  EXPECT_EQ(readFile(support() / "info"), "kept");
}

TEST_F(Storage, AnExistingStoreIsUsedAsIsAndOldFoldersStay) {
  writeFile(support() / "mig", "1");
  writeFile(docs_ / "VemraPlatformKit" / "info", "old");
  LogCapture log;
  VPKStorage::setupFileSystem();
  EXPECT_FALSE(VPKStorage::needsMigration());
  EXPECT_EQ(VPKStorage::persistentStorageDirectory(), support());
  EXPECT_TRUE(fs::exists(docs_ / "VemraPlatformKit" / "info"));
  EXPECT_FALSE(log.contains("Migrating"));
}

// A failed set-up is logged once, leaves no root for the rest of the process, and throws nothing.
// Exit code of the check, so it can also run in a child process: 0 when all of that holds.
int failedSetUpStatus() {
  LogCapture log;
  VPKStorage::setupFileSystem();
  VPKStorage::setupFileSystem();
  const bool noRoot = !VPKStorage::persistentStorageDirectory() && !vpkrsrc_touch("params", "core") &&
                      !vpkrsrc_mkdir("core") && !VPKStorage::storageFileWithName("x");
  return noRoot && log.count("Failed to migrate support directory:(null) mig(0)") == 1 ? 0 : 1;
}

TEST_F(Storage, AFileInTheWayOrALoopingLibraryFolderLeavesNoRoot) {
  writeFile(lib_ / "Private Documents", "a file where a folder belongs");
  EXPECT_EQ(failedSetUpStatus(), 0);

  vpk::detail::resetStorageForTesting();
  fs::create_directory_symlink(root_ / "loop", root_ / "loop");
  ::setenv("XDG_DATA_HOME", (root_ / "loop").c_str(), 1);
  EXPECT_EQ(failedSetUpStatus(), 0);
}

TEST_F(Storage, AnUnreadableLibraryFolderLeavesNoRoot) {
  // Permissions do not stop root, so the check runs in a child process (a fresh run of this
  // test) that hands its folders to an ordinary user, becomes that user and cleans up after itself.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  fs::permissions(lib_, fs::perms::none);
  const auto asOrdinaryUser = [this] {
    constexpr uid_t kNobody = 65534;
    if (::geteuid() == 0) {
      for (const auto& p : {root_, lib_, docs_})
        if (::chown(p.c_str(), kNobody, kNobody) != 0) std::_Exit(2);
      if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) std::_Exit(2);
    }
    const int status = failedSetUpStatus();
    fs::permissions(lib_, fs::perms::owner_all);
    std::error_code ec;
    fs::remove_all(root_, ec);
    std::_Exit(status);
  };
  EXPECT_EXIT(asOrdinaryUser(), testing::ExitedWithCode(0), "");
  fs::permissions(lib_, fs::perms::owner_all);
}

TEST_F(Storage, FirstAccessBeforeSetUpRunsItWithAWarning) {
  LogCapture log;
  EXPECT_EQ(VPKStorage::persistentStorageDirectory(), support());
  EXPECT_TRUE(log.contains("Warning file system access requested before intialization..."));
  EXPECT_TRUE(fs::exists(support() / "mig"));
}

TEST_F(Storage, TouchMakesTheGroupButNotTheFileAndGetFileFindsOnlyWrittenFiles) {
  VPKStorage::setupFileSystem();
  auto url = vpkrsrc_touch("info", "ble_history");
  ASSERT_TRUE(url);
  EXPECT_EQ(*url, support() / "ble_history" / "info");
  EXPECT_TRUE(fs::is_directory(support() / "ble_history"));
  EXPECT_FALSE(fs::exists(*url));
  EXPECT_FALSE(vpkrsrc_get_file("info", "ble_history"));
  writeFile(*url, "x");
  EXPECT_EQ(vpkrsrc_get_file("info", "ble_history"), *url);
  EXPECT_EQ(vpkrsrc_touch("loose"), support() / "loose");
  EXPECT_FALSE(vpkrsrc_get_file("loose"));

  // A file where the group folder belongs.
  writeFile(support() / "blocked", "file");
  LogCapture log;
  EXPECT_FALSE(vpkrsrc_touch("info", "blocked"));
  EXPECT_TRUE(log.contains("could not create resource url with error:"));
}

TEST_F(Storage, DirectoriesAreCreatedCheckedAndReportedWhenTheyExist) {
  VPKStorage::setupFileSystem();
  LogCapture log;
  EXPECT_FALSE(vpkrsrc_ckdir("peripheral_info_store"));
  EXPECT_EQ(vpkrsrc_mkdir("peripheral_info_store"), support() / "peripheral_info_store");
  EXPECT_FALSE(log.contains("Storage directory already exists..."));
  EXPECT_EQ(vpkrsrc_mkdir("peripheral_info_store"), support() / "peripheral_info_store");
  EXPECT_TRUE(log.contains("Storage directory already exists..."));
  EXPECT_EQ(vpkrsrc_ckdir("peripheral_info_store"), support() / "peripheral_info_store");
  EXPECT_EQ(vpkrsrc_mkdir("a/b/c"), support() / "a" / "b" / "c");
  EXPECT_FALSE(vpkrsrc_ckdir(""));

  writeFile(support() / "plainfile", "x");
  EXPECT_FALSE(vpkrsrc_mkdir("plainfile"));
  EXPECT_TRUE(log.contains("Failed to create storage directory:Error Domain=NSPOSIXErrorDomain"));
  EXPECT_FALSE(vpkrsrc_ckdir("plainfile"));
}

TEST_F(Storage, StorageFileRecreatesAMissingRootAndReportsFailure) {
  VPKStorage::setupFileSystem();
  std::optional<VPKError> error = VPKError::make(1, "stale");
  EXPECT_FALSE(VPKStorage::storageFileWithName("", &error));
  EXPECT_FALSE(error);
  fs::remove_all(support());
  EXPECT_EQ(VPKStorage::storageFileWithName("report.json", &error), support() / "report.json");
  EXPECT_FALSE(error);
  EXPECT_TRUE(fs::is_directory(support()));

  fs::remove_all(support());
  writeFile(support(), "a file where the root belongs");
  LogCapture log;
  EXPECT_TRUE(VPKStorage::storageFileWithName("report.json", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "NSPOSIXErrorDomain");
  EXPECT_TRUE(log.contains("Resource manager failed to create peristent store with error:"));
}

TEST_F(Storage, UnsafeNamesAreRefusedAndNothingIsCreatedOutsideTheRoot) {
  VPKStorage::setupFileSystem();
  LogCapture log;
  EXPECT_FALSE(vpkrsrc_touch("../escape"));
  EXPECT_FALSE(vpkrsrc_touch("a/b"));
  EXPECT_FALSE(vpkrsrc_touch("info", std::string("../../outside")));
  EXPECT_FALSE(vpkrsrc_touch("info", std::string("ok/../..")));
  EXPECT_FALSE(vpkrsrc_get_file("..", std::string("core")));
  EXPECT_FALSE(vpkrsrc_mkdir("../../outside"));
  EXPECT_FALSE(vpkrsrc_mkdir("/absolute"));
  EXPECT_FALSE(vpkrsrc_ckdir(".."));
  EXPECT_FALSE(VPKStorage::storageFileWithName("a/../../b"));
  EXPECT_FALSE(vpkrsrc_touch(std::string("nul\0byte", 8)));
  EXPECT_EQ(log.count("Storage: refused unsafe name"), 10u);
  EXPECT_FALSE(fs::exists(lib_ / "Private Documents" / "outside"));
  EXPECT_FALSE(fs::exists(lib_ / "outside"));
}

}  // namespace
