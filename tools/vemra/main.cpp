// vemra: the command-line tool of the SDK.
#include "Command.h"

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKVersion.h>
#include <VemraPlatformKit/frame/VemraPlatformKit.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace vemra {

std::vector<CommandSpec>& commandRegistry() {
  static std::vector<CommandSpec> registry;
  return registry;
}

int& exitStatus() {
  static int status = 0;
  return status;
}

}  // namespace vemra

namespace {

// How many -v flags were given: 0 keeps the library's log lines out of sight, 1 shows its
// lines of level 1 and above, 2 shows every line (the library's verbose mode).
std::atomic<int> gVerbosity{0};

// The library logs to standard output for applications; in the tool standard output is
// what the command reports, so log lines go to standard error, and only when asked for.
void routeLibraryLog() {
  VPKLogSetSink([](std::string_view line) {
    if (gVerbosity.load(std::memory_order_relaxed) > 0) std::fwrite(line.data(), 1, line.size(), stderr);
  });
}

}  // namespace

int main(int argc, char** argv) {
  // Rows and reports reach a pipe line by line.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  routeLibraryLog();
  // This thread drives the main queue: it is the library's main thread.
  vpk::DispatchQueue::drainMain();

  CLI::App app{"vemra: find, stream, analyse and record Vemra EEG headbands", "vemra"};
  app.set_version_flag("--version", std::string("vemra ") + VPKLibraryVersion());
  app.require_subcommand(1);
  // Options of the tool itself may also follow the command (vemra doctor -v).
  app.fallthrough();
  int verbosity = 0;
  app.add_flag("-v,--verbose", verbosity,
               "Show the library's log lines on standard error (-v: warnings and errors, -vv: everything)");
  // Every command runs in a launched SDK, as an application does: launch decides the mains
  // frequency from the locale and stores it. This runs once the command line is understood,
  // and not for --help or a mistyped command.
  app.parse_complete_callback([&verbosity] {
    gVerbosity.store(verbosity, std::memory_order_relaxed);
    VPKLogSetEnabled(verbosity >= 2);
    VemraPlatformKit::handleApplicationLaunch();
  });

  auto& registry = vemra::commandRegistry();
  std::stable_sort(registry.begin(), registry.end(),
                   [](const vemra::CommandSpec& a, const vemra::CommandSpec& b) { return a.order < b.order; });
  for (auto& command : registry) {
    CLI::App* sub = app.add_subcommand(command.name, command.description);
    command.setup(*sub);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  std::fflush(stdout);
  return vemra::exitStatus();
}
