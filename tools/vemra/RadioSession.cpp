#include "RadioSession.h"

#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedWorld.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <fmt/format.h>

namespace vemra {

void addRadioOptions(CLI::App& sub, RadioOptions& o) {
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

RadioSession::RadioSession(const RadioOptions& options)
    : backend_(vpk::BluetoothCentral::preferredBackend()), options_(options) {
  if (options.virtualTime) {
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
  if (backend_ != vpk::BluetoothBackend::Simulated) return "the system's Bluetooth adapter";
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
