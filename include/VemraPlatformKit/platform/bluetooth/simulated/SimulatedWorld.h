#pragma once
/// @file SimulatedWorld.h
/// A simulated radio world: an adapter, any number of virtual headbands, and the centrals
/// that listen to them. It is the library's standard test peer and what the Bluetooth
/// factory picks on a machine without a usable adapter; applications use it for demos.
///
///   auto world = vpk::SimulatedWorld::create({.seed = 7});
///   auto band = world->addHeadband({.scenario = "relaxed"});
///   auto central = world->createCentral(myDelegate, myQueue);
///   ... scan, connect, write "Q1\r" ... (see docs/simulated-headband.md)
///
/// Time: everything runs on the library clock (vpk::Clock): advertising, connection
/// events, streaming, battery drain. Under a vpk::ManualClock a virtual minute of
/// streaming takes milliseconds and two runs with the same seed give the same bytes.
///
/// Ownership: the creator owns the world; every central made by it keeps it alive. The
/// world owns its headbands. BluetoothCentral::create uses SimulatedWorld::shared().
///
/// Threads: every operation may be called from any thread. The world's own work runs on
/// its serial queue under one lock; delegate callbacks run on each central's queue.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedHeadband.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace vpk {

namespace detail {
class WorldCore;
}

class VPK_EXPORT SimulatedWorld : public std::enable_shared_from_this<SimulatedWorld> {
 public:
  struct Options {
    /// Seed of every derived identifier, name and signal.
    uint64_t seed = 1;
    BluetoothAdapterState adapterState = BluetoothAdapterState::PoweredOn;
  };

  static std::shared_ptr<SimulatedWorld> create(Options options);
  static std::shared_ptr<SimulatedWorld> create();
  /// The world BluetoothCentral::create uses. Made on first use: empty, unless the
  /// environment variable VPK_SIMULATED_HEADBANDS lists headbands to put in it, as
  /// comma-separated scenario names, each optionally with ":seed" ("focused,relaxed:7").
  static std::shared_ptr<SimulatedWorld> shared();
  /// Replaces the shared world (nullptr: a new one is made on next use).
  static void setShared(std::shared_ptr<SimulatedWorld> world);

  ~SimulatedWorld();
  SimulatedWorld(const SimulatedWorld&) = delete;
  SimulatedWorld& operator=(const SimulatedWorld&) = delete;

  uint64_t seed() const;

  // ---- headbands ----
  SimulatedHeadbandPtr addHeadband(SimulatedHeadband::Configuration configuration);
  SimulatedHeadbandPtr addHeadband();
  /// Takes a headband out of the world: it is heard no more and its link is lost.
  void removeHeadband(const SimulatedHeadbandPtr& headband);
  std::vector<SimulatedHeadbandPtr> headbands() const;
  /// The headband whose name (any case) or identifier text is `nameOrIdentifier`.
  SimulatedHeadbandPtr headband(std::string_view nameOrIdentifier) const;

  // ---- centrals ----
  /// A central of this world; callbacks on `queue` (nullptr: the main queue).
  std::shared_ptr<BluetoothCentral> createCentral(std::weak_ptr<BluetoothCentralDelegate> delegate,
                                                  DispatchQueuePtr queue);

  // ---- the adapter ----
  BluetoothAdapterState adapterState() const;
  /// Sets the adapter's state; every central hears of the change.
  void setAdapterState(BluetoothAdapterState state);
  void setAdapterPoweredOn(bool on) {
    setAdapterState(on ? BluetoothAdapterState::PoweredOn : BluetoothAdapterState::PoweredOff);
  }

  /// Runs `action` on the world's queue `seconds` of library-clock time from now, for
  /// scripting (the action may call any operation of the world and its headbands).
  void after(double seconds, std::function<void()> action);
  /// The world's serial queue.
  DispatchQueuePtr queue() const;

  explicit SimulatedWorld(Options options);  // use create()

 private:
  std::shared_ptr<detail::WorldCore> core_;
};

using SimulatedWorldPtr = std::shared_ptr<SimulatedWorld>;

}  // namespace vpk
