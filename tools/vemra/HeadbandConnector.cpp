#include "HeadbandConnector.h"

#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace vemra {

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

constexpr double kChooseStrongestAfter = 2.0;
constexpr double kGiveUpAfter = 30.0;

}  // namespace

bool matchesName(const std::string& want, const std::vector<std::optional<std::string>>& names) {
  const std::string w = lower(want);
  return std::any_of(names.begin(), names.end(), [&](const auto& n) { return n && lower(*n) == w; });
}

void addHeadbandOptions(CLI::App& sub, std::string& name, RadioOptions& radio) {
  sub.add_option("name", name, "Headband name, manual name or hardware identifier");
  addRadioOptions(sub, radio);
}

HeadbandConnector::HeadbandConnector(VPKBluetoothManagerPtr manager, RadioSession& radio, std::string name,
                                     std::function<void(const std::string&)> say)
    : manager_(std::move(manager)), radio_(radio), name_(std::move(name)), say_(std::move(say)) {}

bool HeadbandConnector::handleUpdate(VPKDeviceUpdateReason reason, const VPKDeviceHandlePtr& device) {
  if (!device) return false;
  auto named = [&] {
    return matchesName(name_, {device->name(), device->manualName(), device->hardwareIdentifier(), device->identifier()});
  };
  if (reason == VPKDeviceUpdateDiscovered) {
    if (!name_.empty() && !target_ && named()) {
      target_ = device;
      device->connect();
    }
    return false;
  }
  // With a NAME, a preferred headband that connected itself on discovery is not the one
  // asked for: connecting the named one will end its link.
  if (reason != VPKDeviceUpdateDidConnect || device_ || (!name_.empty() && !named())) return false;
  device_ = device;
  return true;
}

VPKDeviceHandlePtr HeadbandConnector::run(const std::function<bool()>& stop) {
  startedAt_ = vpk::Clock::timestamp();
  const auto preferred = manager_->preferredDeviceInfo();
  if (name_.empty() && preferred) {
    say_(fmt::format("looking for the preferred headband {}",
                     VPKDeviceHandleRecord::manualName(*preferred).value_or(
                         VPKDeviceHandleRecord::name(*preferred).value_or("?"))));
    manager_->attemptToConnectToPreferredDevice();
  }
  manager_->startSearchingForDevices();
  while (!stop() && !device_) {
    if (radio_.runUntil([&] { return stop() || device_ != nullptr; }, 0.25)) continue;
    const double waited = vpk::Clock::timestamp() - startedAt_;
    if (name_.empty() && !target_ && waited >= kChooseStrongestAfter) {
      auto devices = manager_->allDevices();
      if (!devices.empty()) {
        target_ = devices.front()->deviceHandle();
        say_(fmt::format("connecting the strongest headband, {}", target_->name()));
        target_->connect();
      }
    }
    if (waited > kGiveUpAfter) {
      say_(name_.empty() ? "no headband found" : "headband " + name_ + " not found");
      return nullptr;
    }
  }
  return device_;
}

}  // namespace vemra
