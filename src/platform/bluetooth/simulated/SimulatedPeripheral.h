#pragma once
// The simulated backend's peripheral: one per (central, headband). Its operations become
// requests on the headband's link; its mirrors are set by the world through the friend
// accessors below, on the central's queue.

#include <VemraPlatformKit/platform/bluetooth/BluetoothPeripheral.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include "platform/bluetooth/simulated/SimulatedLink.h"

#include <functional>
#include <memory>

namespace vpk::detail {

class WorldCore;
class HeadbandCore;
class SimulatedCentral;

class SimulatedPeripheral final : public BluetoothPeripheral {
 public:
  SimulatedPeripheral(BluetoothUUID identifier, std::weak_ptr<WorldCore> world, std::weak_ptr<SimulatedCentral> central,
                      uint64_t centralId, std::weak_ptr<HeadbandCore> headband);

  void discoverServices(const std::vector<BluetoothUUID>& serviceUUIDs) override;
  void discoverCharacteristics(const std::vector<BluetoothUUID>& uuids, const BluetoothServicePtr& service) override;
  void setNotifyValue(bool enabled, const BluetoothCharacteristicPtr& characteristic) override;
  void writeValue(std::vector<uint8_t> data, const BluetoothCharacteristicPtr& characteristic,
                  BluetoothWriteType type) override;
  void readRSSI() override;

  uint64_t centralId() const { return centralId_; }
  const std::weak_ptr<SimulatedCentral>& central() const { return central_; }
  const std::weak_ptr<HeadbandCore>& headband() const { return headband_; }

  // The mirrors, for the world (call them on the central's queue).
  using BluetoothPeripheral::clearServices;
  using BluetoothPeripheral::mergeServices;
  using BluetoothPeripheral::setName;
  using BluetoothPeripheral::setState;
  /// Notifying flags off on every discovered characteristic (the link ended).
  void resetNotifying();

 private:
  void submit(LinkRequest request, const char* what);

  const std::weak_ptr<WorldCore> world_;
  const std::weak_ptr<SimulatedCentral> central_;
  const uint64_t centralId_;
  const std::weak_ptr<HeadbandCore> headband_;
};

}  // namespace vpk::detail
