#pragma once
// One connection between a simulated headband and a central: its connection-event grid,
// the requests on their way to the headband and the packets on their way back.
// Owned by the headband; used under the world's lock.

#include <VemraPlatformKit/platform/bluetooth/BluetoothCharacteristic.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothError.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothPeripheral.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothService.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace vpk::detail {

class SimulatedCentral;
class SimulatedPeripheral;

/// An operation of the central, delivered to the headband at the next connection event.
struct LinkRequest {
  enum class Kind { DiscoverServices, DiscoverCharacteristics, SetNotify, Write, ReadRSSI };
  Kind kind = Kind::ReadRSSI;
  std::vector<BluetoothUUID> uuids;
  BluetoothServicePtr service;
  BluetoothCharacteristicPtr characteristic;
  std::vector<uint8_t> data;
  BluetoothWriteType writeType = BluetoothWriteType::WithResponse;
  bool enabled = false;
};

/// Something the headband sends, at the first connection event numbered `readyEvent` or
/// later. A notification carries its bytes (the notification faults act on it); anything
/// else carries the call that reports it.
struct LinkDelivery {
  uint64_t readyEvent = 0;
  BluetoothCharacteristicPtr characteristic;  // set for a notification
  std::vector<uint8_t> bytes;
  std::function<void()> deliver;              // set for anything else
};

/// What the headband does once a closing link has sent everything.
enum class AfterClose { Advertise, Sleep, RebootNormal, RebootUpdate };

struct SimulatedLink {
  std::weak_ptr<SimulatedCentral> central;
  uint64_t centralId = 0;
  std::shared_ptr<SimulatedPeripheral> peripheral;
  uint64_t generation = 0;

  // Connection event n happens at start + n x interval; event 1 reports the connection.
  double start = 0;
  double interval = 0.03;
  int64_t intervalMicros = 30000;
  uint64_t lastEvent = 0;
  bool eventScheduled = false;

  std::deque<LinkRequest> requests;
  std::deque<LinkDelivery> deliveries;

  // Subscribed characteristics (nullptr: notifications off).
  BluetoothCharacteristicPtr rx;
  BluetoothCharacteristicPtr controlPoint;

  // Streaming: the event at which "S01" arrived and the packets made since.
  uint64_t streamStartEvent = 0;
  uint64_t streamPackets = 0;

  // Closing: once everything queued has left, the link ends at the next event.
  bool closeWhenDrained = false;
  std::optional<uint64_t> closeAtEvent;
  std::optional<BluetoothError> closeError;
  AfterClose afterClose = AfterClose::Advertise;
};

}  // namespace vpk::detail
