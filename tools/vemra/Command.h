#pragma once
// The vemra tool's command registry: each Command*.cpp file defines one
// subcommand and registers it with a static VemraCommand object, so commands
// can be added without touching main.cpp.

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace vemra {

/// Adds the subcommand's options to `sub` and sets its callback. `order` sorts the
/// commands in --help (lower first).
struct CommandSpec {
  std::string name;
  std::string description;
  int order = 100;
  std::function<void(CLI::App& sub)> setup;
};

std::vector<CommandSpec>& commandRegistry();

struct VemraCommand {
  explicit VemraCommand(CommandSpec command) { commandRegistry().push_back(std::move(command)); }
};

/// Exit status a command callback asks for (main returns it).
int& exitStatus();

}  // namespace vemra
