#include "RadioSession.h"

#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedWorld.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>

namespace vemra {

void addRadioOptions(CLI::App& sub, RadioOptions& o) {
  sub.add_option("--backend", o.backend,
                 "Bluetooth backend: bluez (the system's stack) or simulated (default: bluez when it has an "
                 "adapter; VPK_BLUETOOTH_BACKEND overrides)")
      ->check(CLI::IsMember({"bluez", "simulated"}));
  sub.add_option("--scenario", o.scenario, "Signal of the simulated headbands")
      ->check(CLI::IsMember(vpk::SimulatedSignalScenario::names()))
      ->capture_default_str();
  sub.add_option("--seed", o.seed, "Seed of the simulated world (same seed, same headbands and signal)")
      ->capture_default_str();
  sub.add_option("--headbands", o.headbands, "Number of simulated headbands")
      ->check(CLI::Range(1, 16))
      ->capture_default_str();
  sub.add_flag("--update-mode", o.updateMode, "Add a simulated headband waiting in firmware-update mode");
  sub.add_flag("--virtual", o.virtualTime, "Run on a virtual clock (finishes at once, same output every run)");
}

namespace {

// Says on standard error which backend the tool uses and why.
vpk::BluetoothBackend chooseBackend(const std::string& option, std::string& adapter) {
  const char* env = std::getenv("VPK_BLUETOOTH_BACKEND");
  const auto stack = vpk::BluetoothCentral::systemStack();
  if (!stack.adapters.empty()) adapter = stack.adapters.front().name + " " + stack.adapters.front().address;
  vpk::BluetoothBackend chosen;
  std::string why;
  if (!option.empty()) {
    chosen = option == "bluez" ? vpk::BluetoothBackend::BlueZ : vpk::BluetoothBackend::Simulated;
    why = "--backend";
  } else if (env && (std::string(env) == "bluez" || std::string(env) == "simulated")) {
    chosen = std::string(env) == "bluez" ? vpk::BluetoothBackend::BlueZ : vpk::BluetoothBackend::Simulated;
    why = "VPK_BLUETOOTH_BACKEND";
  } else if (stack.bluez && !stack.adapters.empty()) {
    chosen = vpk::BluetoothBackend::BlueZ;
    why = "BlueZ is on the system bus with adapter " + adapter;
  } else {
    chosen = vpk::BluetoothBackend::Simulated;
    why = !stack.systemBus ? "no system bus" : !stack.bluez ? "BlueZ is not on the system bus" : "BlueZ has no adapter";
  }
  std::fprintf(stderr, "vemra: Bluetooth backend %s (%s)\n", std::string(vpk::toString(chosen)).c_str(), why.c_str());
  return chosen;
}

}  // namespace

RadioSession::RadioSession(const RadioOptions& options) : options_(options) {
  backend_ = chooseBackend(options.backend, adapter_);
  if (options.virtualTime && backend_ == vpk::BluetoothBackend::BlueZ) {
    std::fprintf(stderr, "vemra: --virtual ignored, BlueZ runs in real time\n");
  } else if (options.virtualTime) {
    clock_ = std::make_shared<vpk::ManualClock>();
    previous_ = vpk::Clock::install(clock_);
  }
  vpk::DispatchQueue::drainMain();  // this thread drives the main queue from now on
  if (backend_ != vpk::BluetoothBackend::Simulated) return;
  auto world = vpk::SimulatedWorld::create({.seed = options.seed});
  for (int i = 0; i < options.headbands; ++i) {
    vpk::SimulatedHeadband::Configuration c;
    c.scenario = options.scenario;
    c.rssi = -52 - 9 * i;  // one close by, the others further away
    world->addHeadband(c);
  }
  if (options.updateMode) {
    vpk::SimulatedHeadband::Configuration c;
    c.updateMode = true;
    c.rssi = -64;
    world->addHeadband(c);
  }
  vpk::SimulatedWorld::setShared(world);
}

RadioSession::~RadioSession() {
  if (backend_ == vpk::BluetoothBackend::Simulated) vpk::SimulatedWorld::setShared(nullptr);
  if (clock_) {
    vpk::ManualClock::settle();
    vpk::Clock::install(previous_);
  }
}

std::string RadioSession::description() const {
  if (backend_ != vpk::BluetoothBackend::Simulated)
    return adapter_.empty() ? "BlueZ (no adapter)" : "BlueZ adapter " + adapter_;
  return fmt::format("simulated headbands (no Bluetooth adapter in use), scenario {}, seed {}{}", options_.scenario,
                     options_.seed, clock_ ? ", virtual time" : "");
}

double RadioSession::now() const { return vpk::Clock::timestamp(); }

bool RadioSession::runUntil(const std::function<bool()>& done, double seconds) {
  if (!clock_) return vpk::DispatchQueue::runMainUntil(done, seconds);
  const double end = clock_->now() + seconds;
  while (!done()) {
    if (clock_->now() >= end) return false;
    clock_->advance(std::min(0.005, end - clock_->now()));
  }
  return true;
}

void RadioSession::runFor(double seconds) {
  runUntil([] { return false; }, seconds);
}

}  // namespace vemra
