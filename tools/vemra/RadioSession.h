#pragma once
// What `vemra scan` and `vemra probe` share: the radio options, the choice of backend
// (--backend, else VPK_BLUETOOTH_BACKEND, else BlueZ when it has an adapter, else the
// simulated world; said on standard error), and the loop that drives the main queue in
// real or virtual time.

#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>
#include <VemraPlatformKit/platform/dispatch/ManualClock.h>

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vemra {

struct RadioOptions {
  std::string scenario = "focused";
  uint64_t seed = 1;
  int headbands = 2;
  bool updateMode = false;
  bool virtualTime = false;
  /// "bluez" or "simulated"; empty: the automatic choice.
  std::string backend;
};

/// Adds --backend, --scenario, --seed, --headbands, --update-mode and --virtual to `sub`.
void addRadioOptions(CLI::App& sub, RadioOptions& options);

class RadioSession {
 public:
  /// Installs the virtual clock when asked and, when the simulated world is the backend,
  /// fills it: `headbands` headbands of `scenario` (seeds derived from `seed`), plus one in
  /// update mode with --update-mode.
  explicit RadioSession(const RadioOptions& options);
  ~RadioSession();
  RadioSession(const RadioSession&) = delete;
  RadioSession& operator=(const RadioSession&) = delete;

  vpk::BluetoothBackend backend() const { return backend_; }
  /// What to create the central with (the backend chosen here).
  vpk::BluetoothCentralOptions centralOptions() const { return {.backend = backend_}; }
  bool isVirtual() const { return clock_ != nullptr; }
  /// One line saying what the tool talks to.
  std::string description() const;

  /// Drives the main queue until `done()` or `seconds` of session time have passed;
  /// returns done().
  bool runUntil(const std::function<bool()>& done, double seconds);
  void runFor(double seconds);
  /// Session time, seconds (the library clock).
  double now() const;

 private:
  vpk::BluetoothBackend backend_ = vpk::BluetoothBackend::Simulated;
  std::string adapter_;  // BlueZ's adapter, for the description
  std::shared_ptr<vpk::ManualClock> clock_;
  std::shared_ptr<vpk::Clock> previous_;
  RadioOptions options_;
};

}  // namespace vemra
