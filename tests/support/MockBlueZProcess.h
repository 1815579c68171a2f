#pragma once
// A private system bus and the mock BlueZ on it, for the BlueZ tests and benchmark.
//
// PrivateBus starts a dbus-daemon of its own (a socket in a fresh temporary folder,
// everyone allowed everything) and points DBUS_SYSTEM_BUS_ADDRESS (or the session's) at it.
// MockBlueZProcess starts vemra-mock-bluez on that bus and waits for its "ready" line.
// Both children get a parent-death signal, so a crashed test leaves nothing behind.

#include <sdbus-c++/sdbus-c++.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vpk::test {

namespace process {

// Starts `argv` with its standard output on a pipe; returns the pid and the pipe's read end.
inline pid_t spawn(const std::vector<std::string>& argv, int& out) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(fds[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  out = fds[0];
  return pid;
}

// The next line the child prints, waiting at most `seconds`; `eof` tells that it closed.
inline std::string readLine(int fd, double seconds, bool* eof = nullptr) {
  std::string line;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char c;
    if (::read(fd, &c, 1) != 1) {
      if (eof) *eof = true;
      break;
    }
    if (c == '\n') return line;
    line += c;
  }
  return line;
}

inline void stop(pid_t& pid, int& fd, int signal) {
  if (pid > 0) {
    ::kill(pid, signal);
    ::waitpid(pid, nullptr, 0);
  }
  if (fd >= 0) ::close(fd);
  pid = -1;
  fd = -1;
}

}  // namespace process

class PrivateBus {
 public:
  /// `type` "system" (DBUS_SYSTEM_BUS_ADDRESS) or "session" (DBUS_SESSION_BUS_ADDRESS).
  explicit PrivateBus(const std::string& type = "system") {
    folder_ = std::filesystem::temp_directory_path() / ("vpk-bus-" + std::to_string(::getpid()) + "-" +
                                                         std::to_string(counter()++));
    std::filesystem::create_directories(folder_);
    std::ofstream(folder_ / "bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>"
        << type << "</type><listen>unix:dir="
        << folder_.string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
           "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
    pid_ = process::spawn({"/usr/bin/dbus-daemon", "--config-file=" + (folder_ / "bus.conf").string(), "--nofork",
                          "--print-address"},
                         out_);
    address_ = process::readLine(out_, 5);
    if (!address_.empty())
      ::setenv(type == "system" ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  }
  ~PrivateBus() { kill(); }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  bool ok() const { return !address_.empty(); }
  const std::string& address() const { return address_; }
  /// Ends the bus at once (every connection on it fails).
  void kill() {
    process::stop(pid_, out_, SIGKILL);
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

 private:
  static int& counter() {
    static int n = 0;
    return n;
  }
  std::filesystem::path folder_;
  pid_t pid_ = -1;
  int out_ = -1;
  std::string address_;
};

class MockBlueZProcess {
 public:
  /// Starts the mock with `arguments` (see vemra-mock-bluez --help) on the bus that
  /// DBUS_SYSTEM_BUS_ADDRESS names.
  explicit MockBlueZProcess(std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), VPK_MOCK_BLUEZ_PATH);
    pid_ = process::spawn(arguments, out_);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool eof = false;
    while (!ready_ && !eof && std::chrono::steady_clock::now() < end) ready_ = process::readLine(out_, 10, &eof) == "ready";
  }
  ~MockBlueZProcess() { process::stop(pid_, out_, SIGTERM); }
  MockBlueZProcess(const MockBlueZProcess&) = delete;
  MockBlueZProcess& operator=(const MockBlueZProcess&) = delete;

  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  /// Ends the mock without a goodbye, as a crashing daemon does.
  void kill() { process::stop(pid_, out_, SIGKILL); }

  /// Sends a control command ("power off", "fail-writes 1", "drop-link", "hostile", ...).
  static std::string control(const std::string& command) {
    auto connection = sdbus::createSystemBusConnection();
    auto proxy = sdbus::createProxy(*connection, "org.bluez", "/org/vemra/mock");
    std::string reply;
    proxy->callMethod("Control").onInterface("org.vemra.MockBlueZ1").withArguments(command).storeResultsTo(reply);
    return reply;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool ready_ = false;
};

}  // namespace vpk::test
