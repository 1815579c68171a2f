#pragma once
// The shared state of a simulated world: one lock, one serial queue, the adapter, the
// centrals and the headbands. Every member is used with `mutex` held unless noted.
//
// Lock discipline: code holding `mutex` never waits for another queue and never calls a
// delegate; it only posts work. Destructors of the simulation's objects never take
// `mutex`, so dropping the last reference under the lock is safe.

#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedWorld.h>

#include "platform/bluetooth/simulated/SimRandom.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace vpk::detail {

class HeadbandCore;
class SimulatedCentral;

class WorldCore : public std::enable_shared_from_this<WorldCore> {
 public:
  explicit WorldCore(const SimulatedWorld::Options& options);
  ~WorldCore();

  /// The library clock's time.
  static double now();

  /// Runs `fn` on the world's queue, with `mutex` held, `delay` seconds from now (nothing
  /// when the world is gone by then). May be called with or without the lock.
  void afterLocked(double delay, std::function<void()> fn);

  /// The centrals still alive, in creation order.
  std::vector<std::shared_ptr<SimulatedCentral>> liveCentrals();
  bool anyCentralScanning();
  std::shared_ptr<HeadbandCore> headbandWithIdentifier(const BluetoothUUID& identifier) const;

  void setAdapterStateLocked(BluetoothAdapterState state);
  /// A central was destroyed: its links end and its requests are dropped.
  void forgetCentralLocked(uint64_t centralId);

  std::mutex mutex;
  const DispatchQueuePtr queue;  // immutable: usable without the lock
  const uint64_t seed;           // immutable
  BluetoothAdapterState adapter;
  uint64_t nextCentralId = 1;
  uint64_t headbandsMade = 0;
  std::vector<std::weak_ptr<SimulatedCentral>> centrals;
  std::vector<std::shared_ptr<HeadbandCore>> headbands;
  std::vector<SimulatedHeadbandPtr> handles;  // public handles, index-aligned with `headbands`
};

}  // namespace vpk::detail
