// The system location source against a stand-in service on a private bus (dbus-daemon and
// tests/auxiliary/location-service-mock.py), and with no bus at all.
#include <VemraPlatformKit/auxiliary/VPKLocationManager.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using vpk::LocationAuthorization;

fs::path mockScript() {
  if (const char* source = std::getenv("VPK_TEST_SOURCE_DIR")) return fs::path(source) / "tests/auxiliary/location-service-mock.py";
  fs::path file = __FILE__;  // relative to the build folder, two levels above this program
  if (file.is_relative()) file = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / file;
  return file.parent_path() / "location-service-mock.py";
}

// Starts `argv` with its standard output on a pipe; the child dies with the test.
pid_t spawn(const std::vector<std::string>& argv, int& out) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(fds[1], 1);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  out = fds[0];
  return pid;
}

std::string readLine(int fd, int timeoutMs = 10000) {
  std::string line;
  char c;
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, timeoutMs) == 1 && ::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

void stop(pid_t& pid, int& fd) {
  if (pid > 0) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
  if (fd >= 0) ::close(fd);
  pid = -1;
  fd = -1;
}

class SystemLocationSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/usr/bin/dbus-daemon") || !fs::exists("/usr/bin/python3")) GTEST_SKIP() << "no dbus-daemon";
    if (std::system("/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null") != 0) GTEST_SKIP() << "no python3-dbus";
    const fs::path dir = fs::temp_directory_path() / "bus";
    fs::create_directories(dir);
    std::ofstream(dir / "bus.conf")
        << "<busconfig><type>system</type><listen>unix:dir=" << dir.string() << "</listen><auth>EXTERNAL</auth>"
        << "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/><allow send_type=\"method_call\"/>"
        << "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
    daemon_ = spawn({"/usr/bin/dbus-daemon", "--nofork", "--print-address=1", "--config-file=" + (dir / "bus.conf").string()},
                    daemonOut_);
    const std::string address = readLine(daemonOut_);
    ASSERT_FALSE(address.empty());
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  }
  void TearDown() override {
    manager_.reset();
    stop(mock_, mockOut_);
    stop(daemon_, daemonOut_);
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
  void startService(bool deny) {
    std::vector<std::string> argv{"/usr/bin/python3", mockScript().string()};
    if (deny) argv.push_back("--deny");
    mock_ = spawn(argv, mockOut_);
    ASSERT_EQ(readLine(mockOut_), "ready");
    manager_ = VPKLocationManager::create(vpk::LocationSource::createSystemSource("vpk-test"), nullptr);
  }
  bool waitFor(const std::function<bool()>& done) { return vpk::DispatchQueue::runMainUntil(done, 10.0); }
  LocationAuthorization status() const { return manager_->manager()->authorizationStatus(); }

  pid_t daemon_ = -1, mock_ = -1;
  int daemonOut_ = -1, mockOut_ = -1;
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
