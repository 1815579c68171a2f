#include "platform/bluetooth/simulated/WorldCore.h"

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include "platform/bluetooth/simulated/HeadbandCore.h"
#include "platform/bluetooth/simulated/SimulatedCentral.h"
#include "platform/bluetooth/simulated/SimulatedPeripheral.h"

#include <algorithm>
#include <map>

namespace vpk::detail {

WorldCore::WorldCore(const SimulatedWorld::Options& options)
    : queue(DispatchQueue::createSerial("com.vemra.vpk.simulatedWorld")),
      seed(options.seed),
      adapter(options.adapterState) {}

WorldCore::~WorldCore() = default;

double WorldCore::now() { return Clock::timestamp(); }

void WorldCore::afterLocked(double delay, std::function<void()> fn) {
  queue->after(delay, [weak = weak_from_this(), fn = std::move(fn)] {
    auto self = weak.lock();
    if (!self) return;
    std::lock_guard<std::mutex> lock(self->mutex);
    fn();
  });
}

std::vector<std::shared_ptr<SimulatedCentral>> WorldCore::liveCentrals() {
  std::vector<std::shared_ptr<SimulatedCentral>> live;
  live.reserve(centrals.size());
  for (const auto& weak : centrals)
    if (auto c = weak.lock()) live.push_back(std::move(c));
  if (live.size() != centrals.size())
    centrals.erase(std::remove_if(centrals.begin(), centrals.end(), [](const auto& w) { return w.expired(); }),
                   centrals.end());
  return live;
}

bool WorldCore::anyCentralScanning() {
  for (const auto& c : liveCentrals())
    if (c->scanningLocked()) return true;
  return false;
}

std::shared_ptr<HeadbandCore> WorldCore::headbandWithIdentifier(const BluetoothUUID& identifier) const {
  for (const auto& h : headbands)
    if (h->identifier() == identifier) return h;
  return nullptr;
}

void WorldCore::setAdapterStateLocked(BluetoothAdapterState state) {
  const BluetoothAdapterState old = adapter;
  if (old == state) return;
  adapter = state;
  VPKLog(0, "Simulated world: adapter {}", toString(state));
  const auto live = liveCentrals();
  // Links and pending connections end silently; the peripherals' mirrors turn to
  // Disconnected just before each central hears of the new state.
  std::map<uint64_t, std::vector<std::shared_ptr<SimulatedPeripheral>>> lost;
  if (old == BluetoothAdapterState::PoweredOn) {
    for (const auto& h : headbands) {
      if (!h->isConnected()) continue;
      const uint64_t central = h->linkCentralId();
      if (auto p = h->abandonLink()) lost[central].push_back(std::move(p));
    }
    for (const auto& c : live) {
      c->stopScanLocked();
      for (auto& p : c->dropConnectionRequests()) lost[c->id()].push_back(std::move(p));
    }
  }
  for (const auto& c : live) {
    c->post(
        [peripherals = lost[c->id()], state](SimulatedCentral& central) {
          for (const auto& p : peripherals) {
            p->setState(BluetoothPeripheralState::Disconnected);
            p->clearServices();
          }
          central.setStateMirror(state);
        },
        [](BluetoothCentralDelegate& d, BluetoothCentral& central) { d.didUpdateState(central); });
  }
}

void WorldCore::forgetCentralLocked(uint64_t centralId) {
  for (const auto& h : headbands) {
    if (h->isConnected() && h->linkCentralId() == centralId) {
      h->abandonLink();
      h->kickAdvertising();
    }
  }
  liveCentrals();  // prunes the dead entry
}

}  // namespace vpk::detail
