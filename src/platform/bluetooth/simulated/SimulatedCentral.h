#pragma once
// The simulated backend's central. Its public operations take the world's lock; the
// members marked "locked" expect the caller to hold it.

#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace vpk::detail {

class WorldCore;
class HeadbandCore;
class SimulatedPeripheral;

class SimulatedCentral final : public BluetoothCentral {
 public:
  SimulatedCentral(std::shared_ptr<WorldCore> world, uint64_t id, std::weak_ptr<BluetoothCentralDelegate> delegate,
                   DispatchQueuePtr queue);
  ~SimulatedCentral() override;

  BluetoothBackend backend() const override { return BluetoothBackend::Simulated; }
  BluetoothAdapterState state() const override;
  void scanForPeripherals(const std::vector<BluetoothUUID>& serviceUUIDs, bool allowDuplicates) override;
  void stopScan() override;
  bool isScanning() const override;
  void connect(const BluetoothPeripheralPtr& peripheral) override;
  void cancelPeripheralConnection(const BluetoothPeripheralPtr& peripheral) override;
  std::vector<BluetoothPeripheralPtr> retrievePeripherals(const std::vector<BluetoothUUID>& identifiers) override;

  uint64_t id() const { return id_; }

  // ---- locked ----
  std::shared_ptr<SimulatedPeripheral> peripheralFor(const std::shared_ptr<HeadbandCore>& headband);
  bool scanningLocked() const { return scanning_; }
  void stopScanLocked();
  /// An advertisement of `headband` reached the antenna.
  void heardLocked(const std::shared_ptr<HeadbandCore>& headband, const BluetoothAdvertisementData& advertisement,
                   int rssi);
  bool wantsConnection(const BluetoothUUID& identifier) const;
  void takeConnectionRequest(const BluetoothUUID& identifier);
  /// Drops every pending connection; returns their peripherals.
  std::vector<std::shared_ptr<SimulatedPeripheral>> dropConnectionRequests();

  /// Posts to the central's queue: `before` (mirror updates) then the delegate call, if
  /// the central and its delegate are still alive then. Usable with or without the lock.
  void post(std::function<void(SimulatedCentral&)> before,
            std::function<void(BluetoothCentralDelegate&, BluetoothCentral&)> call);
  void setStateMirror(BluetoothAdapterState state) { state_.store(static_cast<int>(state)); }

 private:
  std::shared_ptr<SimulatedPeripheral> ours(const BluetoothPeripheralPtr& peripheral) const;

  const std::shared_ptr<WorldCore> world_;
  const uint64_t id_;
  std::atomic<int> state_{static_cast<int>(BluetoothAdapterState::Unknown)};

  // locked
  bool scanning_ = false;
  // Counts scan starts and stops: a discovery is delivered only while the scan that heard
  // it is still on, so nothing arrives after stopScan or power-off, even if already queued.
  uint64_t scanSession_ = 0;
  bool allowDuplicates_ = false;
  std::vector<BluetoothUUID> filter_;
  std::map<BluetoothUUID, BluetoothAdvertisementData> reported_;
  std::vector<BluetoothUUID> connectionRequests_;
  std::map<BluetoothUUID, std::shared_ptr<SimulatedPeripheral>> peripherals_;
};

}  // namespace vpk::detail
