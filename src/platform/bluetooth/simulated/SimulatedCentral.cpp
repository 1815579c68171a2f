#include "platform/bluetooth/simulated/SimulatedCentral.h"

#include <VemraPlatformKit/frame/VPKLog.h>

#include "platform/bluetooth/simulated/HeadbandCore.h"
#include "platform/bluetooth/simulated/SimulatedPeripheral.h"
#include "platform/bluetooth/simulated/WorldCore.h"

#include <algorithm>

namespace vpk::detail {

SimulatedCentral::SimulatedCentral(std::shared_ptr<WorldCore> world, uint64_t id,
                                   std::weak_ptr<BluetoothCentralDelegate> delegate, DispatchQueuePtr queue)
    : BluetoothCentral(std::move(delegate), std::move(queue)), world_(std::move(world)), id_(id) {}

SimulatedCentral::~SimulatedCentral() {
  // Never take the world's lock here: the last reference may be dropped under it.
  world_->queue->async([weak = std::weak_ptr<WorldCore>(world_), id = id_] {
    auto world = weak.lock();
    if (!world) return;
    std::lock_guard<std::mutex> lock(world->mutex);
    world->forgetCentralLocked(id);
  });
}

BluetoothAdapterState SimulatedCentral::state() const {
  return static_cast<BluetoothAdapterState>(state_.load());
}

void SimulatedCentral::post(std::function<void(SimulatedCentral&)> before,
                            std::function<void(BluetoothCentralDelegate&, BluetoothCentral&)> call) {
  auto self = std::static_pointer_cast<SimulatedCentral>(shared_from_this());
  queue()->async([weak = std::weak_ptr<SimulatedCentral>(self), before = std::move(before), call = std::move(call)] {
    auto central = weak.lock();
    if (!central) return;
    if (before) before(*central);
    if (auto d = central->delegate()) call(*d, *central);
  });
}

std::shared_ptr<SimulatedPeripheral> SimulatedCentral::ours(const BluetoothPeripheralPtr& peripheral) const {
  auto p = std::dynamic_pointer_cast<SimulatedPeripheral>(peripheral);
  if (!p || p->centralId() != id_) {
    VPKLog(1, "Simulated central: ignoring a peripheral this central did not create");
    return nullptr;
  }
  return p;
}

std::shared_ptr<SimulatedPeripheral> SimulatedCentral::peripheralFor(const std::shared_ptr<HeadbandCore>& headband) {
  auto& slot = peripherals_[headband->identifier()];
  if (!slot) {
    slot = std::make_shared<SimulatedPeripheral>(
        headband->identifier(), world_, std::static_pointer_cast<SimulatedCentral>(shared_from_this()), id_, headband);
  }
  return slot;
}

void SimulatedCentral::scanForPeripherals(const std::vector<BluetoothUUID>& serviceUUIDs, bool allowDuplicates) {
  std::lock_guard<std::mutex> lock(world_->mutex);
  if (world_->adapter != BluetoothAdapterState::PoweredOn) {
    VPKLog(0, "Simulated central: scan ignored, the adapter is {}", toString(world_->adapter));
    return;
  }
  scanning_ = true;
  ++scanSession_;
  allowDuplicates_ = allowDuplicates;
  filter_ = serviceUUIDs;
  reported_.clear();
  for (const auto& h : world_->headbands) h->kickAdvertising();
}

void SimulatedCentral::stopScanLocked() {
  if (scanning_) ++scanSession_;
  scanning_ = false;
  reported_.clear();
}

void SimulatedCentral::stopScan() {
  std::lock_guard<std::mutex> lock(world_->mutex);
  stopScanLocked();
}

bool SimulatedCentral::isScanning() const {
  std::lock_guard<std::mutex> lock(world_->mutex);
  return scanning_;
}

void SimulatedCentral::heardLocked(const std::shared_ptr<HeadbandCore>& headband,
                                   const BluetoothAdvertisementData& advertisement, int rssi) {
  if (!scanning_) return;
  if (!filter_.empty()) {
    bool match = false;
    for (const auto& uuid : filter_) match = match || advertisement.advertisesService(uuid);
    if (!match) return;
  }
  if (!allowDuplicates_) {
    auto it = reported_.find(headband->identifier());
    if (it != reported_.end() && it->second == advertisement) return;
    reported_[headband->identifier()] = advertisement;
  }
  auto p = peripheralFor(headband);
  auto self = std::static_pointer_cast<SimulatedCentral>(shared_from_this());
  queue()->async([weak = std::weak_ptr<SimulatedCentral>(self), session = scanSession_, p, advertisement, rssi] {
    auto central = weak.lock();
    if (!central) return;
    {
      std::lock_guard<std::mutex> lock(central->world_->mutex);
      if (!central->scanning_ || central->scanSession_ != session) return;  // stopped since
    }
    if (advertisement.localName) p->setName(advertisement.localName);
    if (auto d = central->delegate()) d->didDiscoverPeripheral(*central, p, advertisement, rssi);
  });
}

bool SimulatedCentral::wantsConnection(const BluetoothUUID& identifier) const {
  return std::find(connectionRequests_.begin(), connectionRequests_.end(), identifier) != connectionRequests_.end();
}

void SimulatedCentral::takeConnectionRequest(const BluetoothUUID& identifier) {
  connectionRequests_.erase(std::remove(connectionRequests_.begin(), connectionRequests_.end(), identifier),
                            connectionRequests_.end());
}

std::vector<std::shared_ptr<SimulatedPeripheral>> SimulatedCentral::dropConnectionRequests() {
  std::vector<std::shared_ptr<SimulatedPeripheral>> dropped;
  for (const auto& id : connectionRequests_) {
    auto it = peripherals_.find(id);
    if (it != peripherals_.end()) dropped.push_back(it->second);
  }
  connectionRequests_.clear();
  return dropped;
}

void SimulatedCentral::connect(const BluetoothPeripheralPtr& peripheral) {
  auto p = ours(peripheral);
  if (!p) return;
  std::lock_guard<std::mutex> lock(world_->mutex);
  if (world_->adapter != BluetoothAdapterState::PoweredOn) {
    VPKLog(0, "Simulated central: connect ignored, the adapter is {}", toString(world_->adapter));
    return;
  }
  auto headband = p->headband().lock();
  if (headband && headband->isLinkedTo(p.get())) return;  // already connected
  if (wantsConnection(p->identifier())) return;           // already connecting
  p->setState(BluetoothPeripheralState::Connecting);
  connectionRequests_.push_back(p->identifier());
  if (headband) headband->kickAdvertising();
}

void SimulatedCentral::cancelPeripheralConnection(const BluetoothPeripheralPtr& peripheral) {
  auto p = ours(peripheral);
  if (!p) return;
  std::lock_guard<std::mutex> lock(world_->mutex);
  if (wantsConnection(p->identifier())) {
    takeConnectionRequest(p->identifier());
    post([p](SimulatedCentral&) { p->setState(BluetoothPeripheralState::Disconnected); },
         [p](BluetoothCentralDelegate& d, BluetoothCentral& central) {
           d.didDisconnectPeripheral(central, p, std::nullopt);
         });
    return;
  }
  auto headband = p->headband().lock();
  if (headband && headband->isLinkedTo(p.get())) {
    p->setState(BluetoothPeripheralState::Disconnecting);
    headband->closeLink(std::nullopt, AfterClose::Advertise);
  }
}

std::vector<BluetoothPeripheralPtr> SimulatedCentral::retrievePeripherals(const std::vector<BluetoothUUID>& identifiers) {
  std::vector<BluetoothPeripheralPtr> found;
  std::lock_guard<std::mutex> lock(world_->mutex);
  // Only what this central has discovered; a removed headband
  // stays known but never connects.
  for (const auto& id : identifiers)
    if (auto it = peripherals_.find(id); it != peripherals_.end()) found.push_back(it->second);
  return found;
}

}  // namespace vpk::detail
