#pragma once
// How the commands that work on one connected headband (`vemra session`, `vemra
// diagnostics`) get it: the preferred headband when it is heard, or NAME, or else the
// strongest one heard after two seconds of listening, through the device manager.

#include "RadioSession.h"

#include <VemraPlatformKit/device/VPKDeviceHandle.h>
#include <VemraPlatformKit/manager/VPKBluetoothManager.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vemra {

/// NAME matches an advertised name, manual name, hardware identifier or identifier, in
/// any case.
bool matchesName(const std::string& want, const std::vector<std::optional<std::string>>& names);

/// The optional NAME argument and the radio options (addRadioOptions) of such a command.
void addHeadbandOptions(CLI::App& sub, std::string& name, RadioOptions& radio);

class HeadbandConnector {
 public:
  /// `name` empty: the preferred headband, else the strongest. `say` prints a line the
  /// user keeps.
  HeadbandConnector(VPKBluetoothManagerPtr manager, RadioSession& radio, std::string name,
                    std::function<void(const std::string&)> say);

  /// Feed every device update (main queue). True when `device` is the headband asked for
  /// and has just connected; device() is then set.
  bool handleUpdate(VPKDeviceUpdateReason reason, const VPKDeviceHandlePtr& device);
  /// Searches and connects; drives the main queue until the headband asked for is
  /// connected (returns it), `stop()` holds or 30 s pass without one (says so; nullptr).
  VPKDeviceHandlePtr run(const std::function<bool()>& stop);

  const VPKDeviceHandlePtr& device() const { return device_; }
  /// When run() started (library clock).
  double startedAt() const { return startedAt_; }

 private:
  VPKBluetoothManagerPtr manager_;
  RadioSession& radio_;
  std::string name_;
  std::function<void(const std::string&)> say_;
  VPKDeviceHandlePtr target_, device_;
  double startedAt_ = 0;
};

}  // namespace vemra
