#include "platform/bluetooth/simulated/SimulatedPeripheral.h"

#include <VemraPlatformKit/frame/VPKLog.h>

#include "platform/bluetooth/simulated/HeadbandCore.h"
#include "platform/bluetooth/simulated/WorldCore.h"

namespace vpk::detail {

SimulatedPeripheral::SimulatedPeripheral(BluetoothUUID identifier, std::weak_ptr<WorldCore> world,
                                         std::weak_ptr<SimulatedCentral> central, uint64_t centralId,
                                         std::weak_ptr<HeadbandCore> headband)
    : BluetoothPeripheral(identifier),
      world_(std::move(world)),
      central_(std::move(central)),
      centralId_(centralId),
      headband_(std::move(headband)) {}

void SimulatedPeripheral::submit(LinkRequest request, const char* what) {
  auto world = world_.lock();
  if (!world) return;
  std::lock_guard<std::mutex> lock(world->mutex);
  auto headband = headband_.lock();
  if (!headband || !headband->isLinkedTo(this)) {
    VPKLog(0, "Simulated peripheral {}: {} ignored, not connected", identifier().fullString(), what);
    return;
  }
  headband->submit(std::move(request));
}

void SimulatedPeripheral::discoverServices(const std::vector<BluetoothUUID>& serviceUUIDs) {
  LinkRequest r;
  r.kind = LinkRequest::Kind::DiscoverServices;
  r.uuids = serviceUUIDs;
  submit(std::move(r), "service discovery");
}

void SimulatedPeripheral::discoverCharacteristics(const std::vector<BluetoothUUID>& uuids,
                                                  const BluetoothServicePtr& service) {
  if (!service) {
    VPKLog(1, "Simulated peripheral: characteristic discovery without a service ignored");
    return;
  }
  LinkRequest r;
  r.kind = LinkRequest::Kind::DiscoverCharacteristics;
  r.uuids = uuids;
  r.service = service;
  submit(std::move(r), "characteristic discovery");
}

void SimulatedPeripheral::setNotifyValue(bool enabled, const BluetoothCharacteristicPtr& characteristic) {
  if (!characteristic) {
    VPKLog(1, "Simulated peripheral: subscription without a characteristic ignored");
    return;
  }
  LinkRequest r;
  r.kind = LinkRequest::Kind::SetNotify;
  r.characteristic = characteristic;
  r.enabled = enabled;
  submit(std::move(r), "subscription");
}

void SimulatedPeripheral::writeValue(std::vector<uint8_t> data, const BluetoothCharacteristicPtr& characteristic,
                                     BluetoothWriteType type) {
  if (!characteristic) {
    VPKLog(1, "Simulated peripheral: write without a characteristic ignored");
    return;
  }
  LinkRequest r;
  r.kind = LinkRequest::Kind::Write;
  r.characteristic = characteristic;
  r.data = std::move(data);
  r.writeType = type;
  submit(std::move(r), "write");
}

void SimulatedPeripheral::readRSSI() {
  LinkRequest r;
  r.kind = LinkRequest::Kind::ReadRSSI;
  submit(std::move(r), "signal-strength read");
}

void SimulatedPeripheral::resetNotifying() {
  for (const auto& s : services())
    for (const auto& c : s->characteristics()) c->setNotifying(false);
}

}  // namespace vpk::detail
