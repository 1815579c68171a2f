// The system location source against a stand-in service on a private bus (dbus-daemon and
// tests/auxiliary/location-service-mock.py), and with no bus at all.
#include <VemraPlatformKit/auxiliary/VPKLocationManager.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/ManualClock.h>

// The shared bus and process helpers; the BlueZ mock they also offer is not started here.
#define VPK_MOCK_BLUEZ_PATH ""
#include "support/MockBlueZProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using vpk::LocationAuthorization;

fs::path mockScript() {
  if (const char* source = std::getenv("VPK_TEST_SOURCE_DIR")) return fs::path(source) / "tests/auxiliary/location-service-mock.py";
  fs::path file = __FILE__;  // relative to the build folder, two levels above this program
  if (file.is_relative()) file = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / file;
  return file.parent_path() / "location-service-mock.py";
}

class SystemLocationSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/usr/bin/dbus-daemon") || !fs::exists("/usr/bin/python3")) GTEST_SKIP() << "no dbus-daemon";
    if (std::system("/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null") != 0) GTEST_SKIP() << "no python3-dbus";
    bus_ = std::make_unique<vpk::test::PrivateBus>();
    ASSERT_TRUE(bus_->ok());
  }
  void TearDown() override {
    manager_.reset();
    vpk::test::process::stop(mock_, mockOut_, SIGTERM);
    bus_.reset();
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
  void startService(bool deny) {
    std::vector<std::string> argv{"/usr/bin/python3", mockScript().string()};
    if (deny) argv.push_back("--deny");
    mock_ = vpk::test::process::spawn(argv, mockOut_);
    ASSERT_EQ(vpk::test::process::readLine(mockOut_, 10), "ready");
    manager_ = VPKLocationManager::create(vpk::LocationSource::createSystemSource("vpk-test"), nullptr);
  }
  bool waitFor(const std::function<bool()>& done) { return vpk::DispatchQueue::runMainUntil(done, 10.0); }
  LocationAuthorization status() const { return manager_->manager()->authorizationStatus(); }

  std::unique_ptr<vpk::test::PrivateBus> bus_;
  pid_t mock_ = -1;
  int mockOut_ = -1;
  std::shared_ptr<VPKLocationManager> manager_;
};

TEST_F(SystemLocationSourceTest, AFixArrivesWithItsPlacemark) {
  startService(false);
  manager_->startUpdating();
  ASSERT_TRUE(waitFor([&] { return manager_->currentPlacemark().has_value(); }));
  EXPECT_EQ(status(), LocationAuthorization::AuthorizedWhenInUse);
  EXPECT_NEAR(manager_->currentLocation()->latitude, 52.5163, 1e-9);
  EXPECT_EQ(manager_->currentLocation()->horizontalAccuracy, 25.0);
  EXPECT_LT(std::abs(manager_->currentLocation()->timestamp - vpk::Clock::timestamp()), 5.0);
  if (fs::exists("/usr/share/zoneinfo/zone1970.tab")) {
    EXPECT_EQ(manager_->currentPlacemark()->timeZone, "Europe/Berlin");
  }
}

// Access taken away while the client runs: the service's notice, or at the latest the next
// minute's check of the running client, denies and clears. The minutes pass on a manual clock.
TEST_F(SystemLocationSourceTest, AccessTakenAwayWhileRunningIsDeniedAndClears) {
  using namespace std::chrono;
  const double realNow = duration<double>(system_clock::now().time_since_epoch()).count() - 978307200.0;
  struct Restore {
    std::shared_ptr<vpk::Clock> previous;
    ~Restore() { vpk::Clock::install(previous); }
  } restore{vpk::Clock::install(std::make_shared<vpk::ManualClock>(realNow - 30))};  // real-time fixes stay fresh
  auto clock = std::static_pointer_cast<vpk::ManualClock>(vpk::Clock::current());
  // Due work runs when the clock settles; replies from the bus arrive in real time.
  auto pump = [&](const std::function<bool()>& done) {
    for (int i = 0; i < 200 && !done(); ++i) {
      vpk::ManualClock::settle();
      vpk::DispatchQueue::runMainUntil(done, 0.05);
    }
    return done();
  };
  startService(false);
  manager_->startUpdating();
  ASSERT_TRUE(pump([&] { return manager_->currentPlacemark().has_value(); }));
  const double first = manager_->currentLocation()->timestamp;
  clock->advance(VPKLocationManager::kUpdateInterval);  // starts the client again: a second fix
  ASSERT_TRUE(pump([&] { return manager_->currentLocation() && manager_->currentLocation()->timestamp != first; }));
  ::kill(mock_, SIGUSR1);
  ASSERT_EQ(vpk::test::process::readLine(mockOut_, 10), "withdrawn");
  clock->advance(VPKLocationManager::kUpdateInterval);
  EXPECT_TRUE(pump([&] { return status() == LocationAuthorization::Denied; }));
  EXPECT_FALSE(manager_->currentLocation());
  EXPECT_FALSE(manager_->updating());
  manager_.reset();
  vpk::ManualClock::settle();
}

TEST_F(SystemLocationSourceTest, ARefusedStartIsDeniedWithAReason) {
  startService(true);
  manager_->startUpdating();
  ASSERT_TRUE(waitFor([&] { return status() != LocationAuthorization::NotDetermined; }));
  EXPECT_EQ(status(), LocationAuthorization::Denied);
  EXPECT_NE(manager_->manager()->unavailableReason().find("refused"), std::string::npos);
  EXPECT_FALSE(manager_->updating());
}

TEST(SystemLocationSourceWithoutBusTest, IsUnavailableWithAReason) {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vpk-test-bus", 1);
  auto manager = VPKLocationManager::create(vpk::LocationSource::createSystemSource("vpk-test"), nullptr);
  manager->startUpdating();
  ASSERT_TRUE(vpk::DispatchQueue::runMainUntil(
      [&] { return manager->manager()->authorizationStatus() != LocationAuthorization::NotDetermined; }, 10.0));
  EXPECT_EQ(manager->manager()->authorizationStatus(), LocationAuthorization::Restricted);
  EXPECT_NE(manager->manager()->unavailableReason().find("no location service"), std::string::npos);
  EXPECT_FALSE(manager->updating());
  ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

}  // namespace
