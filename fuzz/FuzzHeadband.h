#pragma once
// What the headband targets share: a headband object on a stand-in radio link, driven the
// way the Bluetooth central drives it (on the shared work queue, through the delegate
// callbacks), in virtual time and without a simulated world's threads.
//
// The stand-in link is connected from the start and serves the main service with TX and
// RX; writes are counted, nothing answers. The manager is the library's default one, which
// ignores every call, so a target sees the headband object alone.

#include "FuzzSupport.h"

#include <VemraPlatformKit/device/VPKPeripheral.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothCharacteristic.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothService.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/ManualClock.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace vpk::fuzz {

class StandInLink : public BluetoothPeripheral {
 public:
  StandInLink(const BluetoothUUID& identifier, std::optional<std::string> name) : BluetoothPeripheral(identifier) {
    setName(std::move(name));
    setState(BluetoothPeripheralState::Connected);
  }
  /// Adds the main service with TX and RX (call once the object is owned by a shared_ptr).
  void serveMainService() {
    service = std::make_shared<BluetoothService>(VPKPeripheral::deviceServiceUUID(), weak_from_this());
    tx = std::make_shared<BluetoothCharacteristic>(VPKPeripheral::txCharacteristicUUID(), BluetoothPropertyWrite,
                                                   service);
    rx = std::make_shared<BluetoothCharacteristic>(VPKPeripheral::rxCharacteristicUUID(), BluetoothPropertyNotify,
                                                   service);
    service->mergeCharacteristics({tx, rx});
    mergeServices({service});
  }
  void discoverServices(const std::vector<BluetoothUUID>&) override {}
  void discoverCharacteristics(const std::vector<BluetoothUUID>&, const BluetoothServicePtr&) override {}
  void setNotifyValue(bool, const BluetoothCharacteristicPtr&) override {}
  void writeValue(std::vector<uint8_t>, const BluetoothCharacteristicPtr&, BluetoothWriteType) override { ++writes; }
  void readRSSI() override {}

  BluetoothServicePtr service;
  BluetoothCharacteristicPtr tx, rx;
  size_t writes = 0;
};

/// The manual clock every headband target runs on, installed on first use; the calling
/// thread drives the main queue.
inline const std::shared_ptr<ManualClock>& fuzzClock() {
  static const std::shared_ptr<ManualClock> clock = [] {
    auto c = std::make_shared<ManualClock>();
    Clock::install(c);
    DispatchQueue::drainMain();
    return c;
  }();
  return clock;
}

/// One headband object named `name` (advertised; `gapName` is the name the link learnt)
/// on a fresh stand-in link with a fixed identifier. Construct and use it on the shared
/// queue (VPKResourceManager::performBlockAndWait). Its store file is removed when it goes,
/// so every input starts from an empty store. Without a name nothing is written to the
/// store file (its entries live in memory), which keeps the targets that do not test
/// names fast.
class FuzzHeadband {
 public:
  explicit FuzzHeadband(std::optional<std::string> name, std::optional<std::string> gapName = std::nullopt) {
    static const BluetoothUUID identifier = BluetoothUUID::fromString("5E5E5E5E-0000-4000-8000-00000000F022");
    link = std::make_shared<StandInLink>(identifier, std::move(gapName));
    link->serveMainService();
    BluetoothAdvertisementData advertisement;
    advertisement.localName = std::move(name);
    advertisement.serviceUUIDs = {VPKPeripheral::deviceServiceUUID()};
    device = VPKPeripheral::create(link, manager, advertisement, -60);
    check(device != nullptr, "no headband object for a connected link");
    device->didDiscoverServices(link, std::nullopt);
    device->didDiscoverCharacteristics(link, link->service, std::nullopt);
  }
  ~FuzzHeadband() {
    const auto file = device->peristentDeviceInfoFile();
    device->cancelPendingCommands();
    device.reset();
    std::error_code ec;
    if (file) std::filesystem::remove(*file, ec);
  }
  FuzzHeadband(const FuzzHeadband&) = delete;
  FuzzHeadband& operator=(const FuzzHeadband&) = delete;

  /// One RX notification, as the central hands it over.
  void notify(std::string_view bytes) {
    device->didUpdateValue(link, link->rx, std::vector<uint8_t>(bytes.begin(), bytes.end()), std::nullopt);
  }
  /// `text` as the headband answers `command`: "<p>", the text in notifications of at most
  /// 20 bytes, then the echoed command and "</p>".
  void reply(std::string_view command, std::string_view text) {
    notify("<p>\r\n");
    for (size_t at = 0; at < text.size(); at += 20) notify(text.substr(at, 20));
    notify(std::string(command) + "</p>\r\n");
  }

  std::shared_ptr<VPKPeripheralManager> manager = std::make_shared<VPKPeripheralManager>();
  std::shared_ptr<StandInLink> link;
  VPKPeripheralPtr device;
};

/// Checks what holds of a headband object whatever it was sent.
inline void checkHeadbandState(const VPKPeripheral& device) {
  check(device.dataBuffer().size() <= VPKPeripheral::kMaxResponseLength, "a reply collected past its limit");
  check(device.systemQueryResponses().size() <= VPKPeripheral::kMaxSystemQueryResponses,
        "more status answers kept than the limit");
  if (auto level = device.batteryLevel()) check(*level >= 0 && *level <= 1, "a battery level outside 0..1");
  const double rate = device.systemQueryRate();
  check(rate == 0.3 || rate == 0.5 || rate == 2.0 || rate == 3.0, "a status query rate outside its steps");
}

}  // namespace vpk::fuzz
