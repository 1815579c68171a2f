// vemra: the command-line tool of the SDK.
#include "Command.h"

#include <VemraPlatformKit/frame/VPKVersion.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <algorithm>
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

int main(int argc, char** argv) {
  // Lines from the tool and log lines from the library interleave in order.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // This thread drives the main queue: it is the library's main thread.
  vpk::DispatchQueue::drainMain();

  CLI::App app{"vemra: find, stream, analyse and record Vemra EEG headbands", "vemra"};
  app.set_version_flag("--version", std::string("vemra ") + VPKLibraryVersion());
  app.require_subcommand(1);

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
