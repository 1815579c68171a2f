#include "platform/bluetooth/simulated/HeadbandCore.h"

#include <VemraPlatformKit/frame/VPKLog.h>

#include "platform/bluetooth/simulated/SimulatedCentral.h"
#include "platform/bluetooth/simulated/SimulatedPeripheral.h"
#include "platform/bluetooth/simulated/WorldCore.h"

#include <algorithm>
#include <utility>
#include <cmath>

namespace vpk::detail {

namespace {

constexpr size_t kMaxNotificationLength = 20;
// Notifications and responses the headband's radio can hold before new signal packets
// are dropped.
constexpr size_t kTransmitBuffer = 128;
constexpr size_t kCommandLogLength = 256;
constexpr int64_t kPacketMicros = 12000;  // three samples at 250 Hz
constexpr double kLongPressSeconds = 10.0;
constexpr double kLongPressSleepDelay = 1.0;
// The radio's random advertising delay, seconds.
constexpr double kAdvertisingDelay = 0.01;
constexpr uint8_t kControlPointReset = 0x06;
// Period of the battery watch while awake, seconds.
constexpr double kHousekeepingPeriod = 10.0;
constexpr uint8_t kControlPointResponse = 0x10;
constexpr uint8_t kControlPointNotSupported = 0x03;

SimulatedSignalScenario scenarioOrFocused(const std::string& name) {
  if (auto s = SimulatedSignalScenario::named(name)) return *s;
  VPKLog(1, "Simulated headband: unknown scenario \"{}\", using \"focused\"", name);
  return *SimulatedSignalScenario::named("focused");
}

bool contains(const std::vector<BluetoothUUID>& list, const BluetoothUUID& uuid) {
  return std::find(list.begin(), list.end(), uuid) != list.end();
}

}  // namespace

HeadbandCore::HeadbandCore(const std::shared_ptr<WorldCore>& world, SimulatedHeadband::Configuration configuration,
                           BluetoothUUID identifier, uint64_t seed)
    : world_(world),
      worldRaw_(world.get()),
      config_(std::move(configuration)),
      identifier_(identifier),
      firmware_(config_, WorldCore::now()),
      signal_(scenarioOrFocused(config_.scenario), seed, config_.mainsFrequency),
      radio_(SimRandom::mix(seed, 10)),
      faults_(SimRandom::mix(seed, 11)),
      power_(config_.poweredOn ? Power::On : Power::Off),
      updateMode_(config_.updateMode) {
  config_.connectionInterval = std::clamp(std::isfinite(config_.connectionInterval) ? config_.connectionInterval : 0.03,
                                          0.0075, 4.0);
  if (!(config_.advertisingInterval >= 0.02) || !std::isfinite(config_.advertisingInterval))
    config_.advertisingInterval = std::max(0.02, std::isfinite(config_.advertisingInterval) ? config_.advertisingInterval : 0.1);
  if (config_.maxPacketsPerEvent == 0) config_.maxPacketsPerEvent = 1;
  firmware_.setAwake(power_ == Power::On, WorldCore::now());
}

HeadbandCore::~HeadbandCore() = default;

// ---------------------------------------------------------------- observation

std::string HeadbandCore::advertisedName() const {
  return updateMode_ ? std::string(SimulatedHeadband::kUpdateModeName) : config_.name;
}

BluetoothAdvertisementData HeadbandCore::advertisement() const {
  BluetoothAdvertisementData a;
  a.localName = advertisedName();
  a.serviceUUIDs = {updateMode_ ? SimulatedHeadband::updateServiceUUID() : SimulatedHeadband::mainServiceUUID()};
  a.connectable = true;
  return a;
}

std::vector<HeadbandCore::GattService> HeadbandCore::gattTable() const {
  if (updateMode_) {
    return {{SimulatedHeadband::updateServiceUUID(),
             {{SimulatedHeadband::updateControlPointUUID(), BluetoothPropertyWrite | BluetoothPropertyNotify},
              {SimulatedHeadband::updatePacketUUID(), BluetoothPropertyWriteWithoutResponse}}}};
  }
  return {{SimulatedHeadband::mainServiceUUID(),
           {{SimulatedHeadband::txCharacteristicUUID(), BluetoothPropertyWrite | BluetoothPropertyWriteWithoutResponse},
            {SimulatedHeadband::rxCharacteristicUUID(), BluetoothPropertyNotify}}}};
}

std::optional<HeadbandCore::GattCharacteristic> HeadbandCore::findCharacteristic(
    const BluetoothCharacteristicPtr& characteristic) const {
  const auto service = characteristic->service();
  for (const auto& s : gattTable()) {
    if (service && s.uuid != service->uuid()) continue;
    for (const auto& c : s.characteristics)
      if (c.uuid == characteristic->uuid()) return c;
  }
  return std::nullopt;
}

bool HeadbandCore::isLinkedTo(const SimulatedPeripheral* peripheral) const {
  return link_ && link_->peripheral.get() == peripheral;
}

uint64_t HeadbandCore::linkCentralId() const { return link_ ? link_->centralId : 0; }

bool HeadbandCore::isAdvertising() { return canAdvertise(); }

bool HeadbandCore::canAdvertise() const {
  return !removed_ && power_ == Power::On && !link_ && worldRaw_->adapter == BluetoothAdapterState::PoweredOn;
}

// ---------------------------------------------------------------- advertising

bool HeadbandCore::wantsAdvertisingEvents() {
  if (!canAdvertise()) return false;
  for (const auto& c : worldRaw_->liveCentrals())
    if (c->scanningLocked() || c->wantsConnection(identifier_)) return true;
  return false;
}

void HeadbandCore::kickAdvertising() {
  if (advertisingScheduled_ || !wantsAdvertisingEvents()) return;
  advertisingScheduled_ = true;
  const uint64_t generation = ++advertisingGeneration_;
  // The first advertisement a new listener hears falls anywhere in the interval.
  worldRaw_->afterLocked(radio_.uniform(0.0, config_.advertisingInterval), [weak = weak_from_this(), generation] {
    if (auto self = weak.lock()) self->advertisingEvent(generation);
  });
}

void HeadbandCore::advertisingEvent(uint64_t generation) {
  if (generation != advertisingGeneration_) return;
  advertisingScheduled_ = false;
  checkBattery();
  if (!canAdvertise()) return;
  auto self = shared_from_this();
  const auto centrals = worldRaw_->liveCentrals();
  // A central waiting to connect answers the advertisement with a connection request.
  for (const auto& c : centrals) {
    if (!c->wantsConnection(identifier_)) continue;
    c->takeConnectionRequest(identifier_);
    auto p = c->peripheralFor(self);
    if (refuses_) {
      VPKLog(0, "Simulated headband {}: refusing a connection", config_.name);
      c->post([p](SimulatedCentral&) { p->setState(BluetoothPeripheralState::Disconnected); },
              [p](BluetoothCentralDelegate& d, BluetoothCentral& central) {
                d.didFailToConnectPeripheral(central, p, BluetoothError::link(BluetoothErrorCode::ConnectionFailed));
              });
      continue;
    }
    establish(c, p);
    return;
  }
  const BluetoothAdvertisementData data = advertisement();
  const int rssi = sampleRSSI();
  for (const auto& c : centrals) c->heardLocked(self, data, rssi);
  if (!wantsAdvertisingEvents()) return;
  advertisingScheduled_ = true;
  const uint64_t next = ++advertisingGeneration_;
  worldRaw_->afterLocked(config_.advertisingInterval + radio_.uniform(0.0, kAdvertisingDelay),
                         [weak = weak_from_this(), next] {
                           if (auto s = weak.lock()) s->advertisingEvent(next);
                         });
}

int HeadbandCore::sampleRSSI() {
  const double jitter = std::isfinite(config_.rssiJitter) ? std::max(0.0, config_.rssiJitter) : 0.0;
  const double value = config_.rssi + jitter * radio_.gaussian();
  return static_cast<int>(std::clamp(std::lround(value), -127L, -20L));
}

// ---------------------------------------------------------------- the link

void HeadbandCore::establish(const std::shared_ptr<SimulatedCentral>& central,
                             const std::shared_ptr<SimulatedPeripheral>& peripheral) {
  auto link = std::make_unique<SimulatedLink>();
  link->central = central;
  link->centralId = central->id();
  link->peripheral = peripheral;
  link->generation = ++linkGeneration_;
  link->start = WorldCore::now();
  link->interval = config_.connectionInterval;
  link->intervalMicros = std::llround(config_.connectionInterval * 1e6);
  link_ = std::move(link);
  ++advertisingGeneration_;  // advertising stops
  advertisingScheduled_ = false;
  firmware_.connectionStarted();
  VPKLog(0, "Simulated headband {}: connected", config_.name);
  const std::string gapName = advertisedName();
  std::weak_ptr<SimulatedCentral> weakCentral = central;
  queueDelivery(1, [weakCentral, peripheral, gapName] {
    auto c = weakCentral.lock();
    if (!c) return;
    c->post(
        [peripheral, gapName](SimulatedCentral&) {
          peripheral->setName(gapName);
          peripheral->setState(BluetoothPeripheralState::Connected);
        },
        [peripheral](BluetoothCentralDelegate& d, BluetoothCentral& central) {
          d.didConnectPeripheral(central, peripheral);
        });
  });
  scheduleEvent();
  armAutoDisconnect();
}

void HeadbandCore::submit(LinkRequest request) {
  if (!link_) return;
  link_->requests.push_back(std::move(request));
  scheduleEvent();
}

void HeadbandCore::scheduleEvent() {
  SimulatedLink& link = *link_;
  if (link.eventScheduled) return;
  const double now = WorldCore::now();
  uint64_t n = link.lastEvent + 1;
  const double k = std::ceil((now - link.start) / link.interval - 1e-9);
  if (k > static_cast<double>(n)) n = static_cast<uint64_t>(k);
  link.eventScheduled = true;
  const double at = link.start + static_cast<double>(n) * link.interval;
  worldRaw_->afterLocked(at - now, [weak = weak_from_this(), generation = link.generation, n] {
    if (auto self = weak.lock()) self->connectionEvent(generation, n);
  });
}

void HeadbandCore::connectionEvent(uint64_t linkGeneration, uint64_t n) {
  if (!link_ || link_->generation != linkGeneration) return;
  SimulatedLink& link = *link_;
  link.eventScheduled = false;
  // A late event (a busy machine in real time) joins the grid where it is now.
  const double now = WorldCore::now();
  const double behind = now - (link.start + static_cast<double>(n) * link.interval);
  if (behind > link.interval) n = static_cast<uint64_t>(std::floor((now - link.start) / link.interval));
  if (n <= link.lastEvent) n = link.lastEvent + 1;
  link.lastEvent = n;

  if (link.closeAtEvent && n >= *link.closeAtEvent) {
    closeLink(link.closeError, link.afterClose);
    return;
  }
  checkBattery();
  if (!link_ || link_->generation != linkGeneration) return;

  if (firmware_.streaming()) produceSignal(n);
  while (!link.requests.empty()) {
    LinkRequest request = std::move(link.requests.front());
    link.requests.pop_front();
    handleRequest(request, n);
    if (!link_ || link_->generation != linkGeneration) return;
  }
  unsigned sent = 0;
  while (!link.deliveries.empty() && link.deliveries.front().readyEvent <= n && sent < config_.maxPacketsPerEvent) {
    LinkDelivery delivery = std::move(link.deliveries.front());
    link.deliveries.pop_front();
    deliver(delivery);
    ++sent;
  }
  if (link.closeWhenDrained && link.deliveries.empty() && !link.closeAtEvent) link.closeAtEvent = n + 1;
  if (firmware_.streaming() || !link.requests.empty() || !link.deliveries.empty() || link.closeAtEvent)
    scheduleEvent();
}

void HeadbandCore::produceSignal(uint64_t n) {
  SimulatedLink& link = *link_;
  const int64_t elapsed = static_cast<int64_t>(n - link.streamStartEvent) * link.intervalMicros;
  const uint64_t due = elapsed > 0 ? static_cast<uint64_t>(elapsed / kPacketMicros) : 0;
  while (link.streamPackets < due) {
    ++link.streamPackets;
    ++packetsSent_;
    const auto packet = signal_.nextPacket(sequence_++);
    // Without a subscriber, or with a full radio buffer, the packet goes nowhere.
    if (!link.rx || link.deliveries.size() >= kTransmitBuffer) continue;
    queueNotification(n, link.rx, std::vector<uint8_t>(packet.begin(), packet.end()));
  }
}

void HeadbandCore::queueDelivery(uint64_t ready, std::function<void()> deliver) {
  LinkDelivery d;
  d.readyEvent = ready;
  d.deliver = std::move(deliver);
  link_->deliveries.push_back(std::move(d));
}

void HeadbandCore::queueNotification(uint64_t ready, const BluetoothCharacteristicPtr& characteristic,
                                     std::vector<uint8_t> bytes) {
  LinkDelivery d;
  d.readyEvent = ready;
  d.characteristic = characteristic;
  d.bytes = std::move(bytes);
  link_->deliveries.push_back(std::move(d));
}

void HeadbandCore::queueText(uint64_t ready, const std::string& text) {
  if (!link_ || !link_->rx) return;  // nobody listens on RX: the text is lost
  for (size_t at = 0; at < text.size(); at += kMaxNotificationLength) {
    const size_t n = std::min(kMaxNotificationLength, text.size() - at);
    queueNotification(ready, link_->rx, std::vector<uint8_t>(text.begin() + at, text.begin() + at + n));
  }
}

void HeadbandCore::notifyUnasked(const std::string& text) {
  if (!link_) return;
  queueText(link_->lastEvent + 1, text);
  scheduleEvent();
}

void HeadbandCore::notifyUnasked(std::vector<uint8_t> bytes) {
  if (!link_ || !link_->rx) return;
  queueNotification(link_->lastEvent + 1, link_->rx, std::move(bytes));
  scheduleEvent();
}

void HeadbandCore::postToPeripheral(
    std::function<void()> before,
    std::function<void(BluetoothPeripheralDelegate&, const BluetoothPeripheralPtr&)> call) {
  auto central = link_->central.lock();
  if (!central) return;
  auto p = link_->peripheral;
  central->post(
      [before = std::move(before)](SimulatedCentral&) {
        if (before) before();
      },
      [p, call = std::move(call)](BluetoothCentralDelegate&, BluetoothCentral&) {
        if (auto d = p->delegate()) call(*d, p);
      });
}

void HeadbandCore::deliver(LinkDelivery& delivery) {
  if (!delivery.characteristic) {
    if (delivery.deliver) delivery.deliver();
    return;
  }
  if (faults_.chance(dropRate_)) return;  // lost on the air
  auto c = delivery.characteristic;
  if (notificationError_) {
    BluetoothError error = std::move(*notificationError_);
    notificationError_.reset();
    postToPeripheral({}, [c, error](BluetoothPeripheralDelegate& d, const BluetoothPeripheralPtr& p) {
      d.didUpdateValue(p, c, {}, error);
    });
    return;
  }
  auto bytes = std::make_shared<std::vector<uint8_t>>(std::move(delivery.bytes));
  postToPeripheral([c, bytes] { c->setValue(*bytes); },
                   [c, bytes](BluetoothPeripheralDelegate& d, const BluetoothPeripheralPtr& p) {
                     d.didUpdateValue(p, c, *bytes, std::nullopt);
                   });
}

void HeadbandCore::respond(uint64_t ready, const BluetoothCharacteristicPtr& characteristic,
                           std::optional<BluetoothError> error) {
  queueDelivery(ready, [this, characteristic, error] {
    postToPeripheral({}, [characteristic, error](BluetoothPeripheralDelegate& d, const BluetoothPeripheralPtr& p) {
      d.didWriteValue(p, characteristic, error);
    });
  });
}

void HeadbandCore::handleRequest(LinkRequest& request, uint64_t n) {
  auto p = link_->peripheral;
  const std::weak_ptr<SimulatedPeripheral> weakP = p;
  switch (request.kind) {
    case LinkRequest::Kind::DiscoverServices: {
      std::vector<BluetoothServicePtr> found;
      for (const auto& s : gattTable()) {
        if (!request.uuids.empty() && !contains(request.uuids, s.uuid)) continue;
        auto known = p->service(s.uuid);
        found.push_back(known ? known : std::make_shared<BluetoothService>(s.uuid, weakP));
      }
      std::optional<BluetoothError> error = std::exchange(injection_.serviceDiscoveryError, std::nullopt);
      if (error) found.clear();
      queueDelivery(n + 1, [this, p, found, error] {
        postToPeripheral([p, found] { p->mergeServices(found); },
                         [error](BluetoothPeripheralDelegate& d, const BluetoothPeripheralPtr& peripheral) {
                           d.didDiscoverServices(peripheral, error);
                         });
      });
      break;
    }
    case LinkRequest::Kind::DiscoverCharacteristics: {
      auto service = request.service;
      const GattService* entry = nullptr;
      const auto table = gattTable();
      for (const auto& s : table)
        if (s.uuid == service->uuid()) entry = &s;
      std::optional<BluetoothError> error;
      std::vector<BluetoothCharacteristicPtr> found;
      if (!entry || service->peripheral() != p) {
        error = BluetoothError::att(BluetoothATTError::AttributeNotFound);
      } else if (injection_.characteristicDiscoveryError) {
        error = std::exchange(injection_.characteristicDiscoveryError, std::nullopt);
      } else {
        for (const auto& c : entry->characteristics) {
          if (!request.uuids.empty() && !contains(request.uuids, c.uuid)) continue;
          auto known = service->characteristic(c.uuid);
          found.push_back(known ? known
                                : std::make_shared<BluetoothCharacteristic>(c.uuid, c.properties,
                                                                            std::weak_ptr<BluetoothService>(service)));
        }
      }
      queueDelivery(n + 1, [this, service, found, error] {
        postToPeripheral([service, found] { service->mergeCharacteristics(found); },
                         [service, error](BluetoothPeripheralDelegate& d, const BluetoothPeripheralPtr& peripheral) {
                           d.didDiscoverCharacteristics(peripheral, service, error);
                         });
      });
      break;
    }
    case LinkRequest::Kind::SetNotify: {
      auto c = request.characteristic;
      const auto entry = findCharacteristic(c);
      std::optional<BluetoothError> error;
      const bool enabled = request.enabled;
      if (!entry || !(entry->properties & (BluetoothPropertyNotify | BluetoothPropertyIndicate))) {
        error = BluetoothError::att(BluetoothATTError::RequestNotSupported);
      } else if (c->uuid() == SimulatedHeadband::rxCharacteristicUUID()) {
        link_->rx = enabled ? c : nullptr;
      } else if (c->uuid() == SimulatedHeadband::updateControlPointUUID()) {
        link_->controlPoint = enabled ? c : nullptr;
      }
      queueDelivery(n + 1, [this, c, error, enabled] {
        postToPeripheral(
            [c, error, enabled] {
              if (!error) c->setNotifying(enabled);
            },
            [c, error](BluetoothPeripheralDelegate& d, const BluetoothPeripheralPtr& peripheral) {
              d.didUpdateNotificationState(peripheral, c, error);
            });
      });
      break;
    }
    case LinkRequest::Kind::Write: handleWrite(request, n); break;
    case LinkRequest::Kind::ReadRSSI: {
      std::optional<int> rssi = sampleRSSI();
      std::optional<BluetoothError> error;
      if (injection_.rssiFailures > 0) {
        --injection_.rssiFailures;
        rssi.reset();
        error = injection_.rssiError;
      }
      queueDelivery(n + 1, [this, rssi, error] {
        postToPeripheral({}, [rssi, error](BluetoothPeripheralDelegate& d, const BluetoothPeripheralPtr& peripheral) {
          d.didReadRSSI(peripheral, rssi, error);
        });
      });
      break;
    }
  }
}

void HeadbandCore::handleWrite(LinkRequest& request, uint64_t n) {
  auto c = request.characteristic;
  const bool withResponse = request.writeType == BluetoothWriteType::WithResponse;
  if (failWrites_ > 0) {
    --failWrites_;
    if (withResponse) respond(n + 1, c, writeError_);
    return;
  }
  const auto entry = findCharacteristic(c);
  const unsigned needed = withResponse ? BluetoothPropertyWrite : BluetoothPropertyWriteWithoutResponse;
  if (!entry || !(entry->properties & needed)) {
    if (withResponse) respond(n + 1, c, BluetoothError::att(BluetoothATTError::WriteNotPermitted));
    return;
  }
  if (withResponse) respond(n + 1, c, std::nullopt);

  const double now = WorldCore::now();
  if (c->uuid() == SimulatedHeadband::txCharacteristicUUID()) {
    commandLog_.emplace_back(request.data.begin(), request.data.end());
    if (commandLog_.size() > kCommandLogLength) commandLog_.pop_front();
    const bool autoDisconnectBefore = firmware_.autoDisconnectEnabled();
    HeadbandFirmware::Reply reply = firmware_.handleWrite(request.data, now);
    if (reply.echo) {
      const bool closing = !reply.texts.empty() && reply.texts.front().find("</p>") != std::string::npos;
      if (closing && swallowClosingEcho_) reply.texts.clear();
      if (closing || (!reply.texts.empty() && reply.texts.front().find("<p>") != std::string::npos))
        swallowClosingEcho_ = false;
    }
    if (reply.query) {
      std::string asked(request.data.begin(), request.data.end());
      while (!asked.empty() && (asked.back() == '\r' || asked.back() == '\n')) asked.pop_back();
      if (auto it = injection_.answers.find(asked); it != injection_.answers.end() && it->second.second > 0) {
        reply.texts = {it->second.first + "\r\n"};
        if (--it->second.second == 0) injection_.answers.erase(it);
      }
    }
    if (reply.query) {
      bool lost = false;
      if (loseReplies_ > 0) {
        --loseReplies_;
        lost = true;
      } else {
        lost = faults_.chance(replyLossRate_);
      }
      if (lost) {
        VPKLog(0, "Simulated headband {}: losing the reply to a query", config_.name);
        reply.texts.clear();
        swallowClosingEcho_ = true;
      }
    }
    for (const auto& text : reply.texts) queueText(n + 1, text);
    switch (reply.action) {
      case HeadbandFirmware::Action::StartStream:
        if (!firmware_.streaming()) {
          firmware_.setStreaming(true, now);
          link_->streamStartEvent = n;
          link_->streamPackets = 0;
          ++autoDisconnectGeneration_;
        }
        break;
      case HeadbandFirmware::Action::StopStream:
        if (firmware_.streaming()) {
          firmware_.setStreaming(false, now);
          armAutoDisconnect();
        }
        break;
      case HeadbandFirmware::Action::PowerOff: beginSleep(); break;
      case HeadbandFirmware::Action::None:
        if (!autoDisconnectBefore && firmware_.autoDisconnectEnabled() && !firmware_.streaming()) armAutoDisconnect();
        break;
    }
  } else if (c->uuid() == SimulatedHeadband::updateControlPointUUID()) {
    if (request.data.size() == 1 && request.data[0] == kControlPointReset) {
      VPKLog(0, "Simulated headband {}: leaving update mode", config_.name);
      link_->closeWhenDrained = true;
      link_->closeError = BluetoothError::link(BluetoothErrorCode::PeripheralDisconnected);
      link_->afterClose = AfterClose::RebootNormal;
    } else if (!request.data.empty() && link_->controlPoint) {
      queueNotification(n + 1, link_->controlPoint,
                        {kControlPointResponse, request.data[0], kControlPointNotSupported});
    }
  }
  // The update packet characteristic takes anything and does nothing with it.
}

void HeadbandCore::closeLink(std::optional<BluetoothError> error, AfterClose after) {
  if (!link_) return;
  std::unique_ptr<SimulatedLink> link = std::move(link_);
  // A headband that is already going to sleep or rebooting does so whoever ends the link.
  if (link->closeWhenDrained && after == AfterClose::Advertise) after = link->afterClose;
  ++autoDisconnectGeneration_;
  firmware_.setStreaming(false, WorldCore::now());
  VPKLog(0, "Simulated headband {}: link closed{}", config_.name, error ? " (" + error->description + ")" : "");
  if (auto central = link->central.lock()) {
    auto p = link->peripheral;
    central->post(
        [p](SimulatedCentral&) {
          p->setState(BluetoothPeripheralState::Disconnected);
          p->resetNotifying();
          p->clearServices();
        },
        [p, error](BluetoothCentralDelegate& d, BluetoothCentral& c) { d.didDisconnectPeripheral(c, p, error); });
  }
  switch (after) {
    case AfterClose::Advertise: kickAdvertising(); break;
    case AfterClose::Sleep: goToSleep(); break;
    case AfterClose::RebootNormal: reboot(false); break;
    case AfterClose::RebootUpdate: reboot(true); break;
  }
}

std::shared_ptr<SimulatedPeripheral> HeadbandCore::abandonLink() {
  if (!link_) return nullptr;
  auto p = link_->peripheral;
  link_.reset();
  ++autoDisconnectGeneration_;
  firmware_.setStreaming(false, WorldCore::now());
  return p;
}

void HeadbandCore::markRemoved() {
  removed_ = true;
  ++advertisingGeneration_;
  advertisingScheduled_ = false;
  closeLink(BluetoothError::link(BluetoothErrorCode::ConnectionTimeout), AfterClose::Advertise);
}

void HeadbandCore::dropLinkAfter(double seconds, BluetoothError error) {
  worldRaw_->afterLocked(seconds, [weak = weak_from_this(), error] {
    auto self = weak.lock();
    if (self && self->link_) self->closeLink(error, AfterClose::Advertise);
  });
}

void HeadbandCore::armAutoDisconnect() {
  const uint64_t generation = ++autoDisconnectGeneration_;
  const double timeout = config_.autoDisconnectTimeout;
  if (!(timeout > 0) || !std::isfinite(timeout)) return;
  worldRaw_->afterLocked(timeout, [weak = weak_from_this(), generation] {
    auto self = weak.lock();
    if (!self || generation != self->autoDisconnectGeneration_ || !self->link_) return;
    if (self->firmware_.streaming() || !self->firmware_.autoDisconnectEnabled()) return;
    VPKLog(0, "Simulated headband {}: idle, dropping the link", self->config_.name);
    self->closeLink(BluetoothError::link(BluetoothErrorCode::PeripheralDisconnected), AfterClose::Advertise);
  });
}

// ---------------------------------------------------------------- power and events

void HeadbandCore::startHousekeeping() {
  if (housekeeping_ || removed_ || power_ != Power::On) return;
  housekeeping_ = true;
  worldRaw_->afterLocked(kHousekeepingPeriod, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->housekeeping_ = false;
    self->checkBattery();
    self->startHousekeeping();
  });
}

void HeadbandCore::checkBattery() {
  if (power_ != Power::On || !firmware_.isDepleted(WorldCore::now())) return;
  if (link_ && link_->closeWhenDrained) return;
  VPKLog(0, "Simulated headband {}: battery empty", config_.name);
  beginSleep();
}

void HeadbandCore::beginSleep() {
  if (power_ != Power::On) return;
  if (!link_) {
    goToSleep();
    return;
  }
  SimulatedLink& link = *link_;
  if (link.closeWhenDrained) return;
  firmware_.setStreaming(false, WorldCore::now());
  const uint64_t ready = link.lastEvent + 1;
  // The headband frames what it says on its own between "<p>" and "</p>".
  queueText(ready, "<p>\r\n");
  queueText(ready, std::string(SimulatedHeadband::kSleepAnnouncement) + "\r\n");
  queueText(ready, "</p>\r\n");
  link.closeWhenDrained = true;
  link.closeError = BluetoothError::link(BluetoothErrorCode::PeripheralDisconnected);
  link.afterClose = AfterClose::Sleep;
  scheduleEvent();
}

void HeadbandCore::goToSleep() {
  if (link_) abandonLink();
  VPKLog(0, "Simulated headband {}: asleep", config_.name);
  power_ = Power::Off;
  ++advertisingGeneration_;
  advertisingScheduled_ = false;
  ++bootGeneration_;
  firmware_.setAwake(false, WorldCore::now());
}

void HeadbandCore::reboot(bool updateMode) {
  if (link_) abandonLink();
  power_ = Power::Booting;
  updateMode_ = updateMode;
  ++advertisingGeneration_;
  advertisingScheduled_ = false;
  firmware_.setAwake(false, WorldCore::now());
  const uint64_t generation = ++bootGeneration_;
  worldRaw_->afterLocked(std::max(0.0, config_.bootTime), [weak = weak_from_this(), generation] {
    auto self = weak.lock();
    if (!self || generation != self->bootGeneration_ || self->power_ != Power::Booting) return;
    self->power_ = Power::On;
    self->firmware_.setAwake(true, WorldCore::now());
    self->startHousekeeping();
    VPKLog(0, "Simulated headband {}: up{}", self->config_.name, self->updateMode_ ? " in update mode" : "");
    self->kickAdvertising();
  });
}

void HeadbandCore::powerOn() {
  if (power_ == Power::Off) reboot(updateMode_);
}

void HeadbandCore::pressButton() {
  if (power_ == Power::Off) powerOn();
  ++sleepGeneration_;
  firmware_.pressButton(WorldCore::now());
}

void HeadbandCore::releaseButton() {
  const double held = firmware_.releaseButton(WorldCore::now());
  if (held >= kLongPressSeconds && power_ == Power::On) {
    const uint64_t generation = ++sleepGeneration_;
    worldRaw_->afterLocked(kLongPressSleepDelay, [weak = weak_from_this(), generation] {
      auto self = weak.lock();
      if (self && generation == self->sleepGeneration_) self->beginSleep();
    });
  }
}

void HeadbandCore::holdButton(double seconds) {
  pressButton();
  worldRaw_->afterLocked(seconds, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->releaseButton();
  });
}

void HeadbandCore::setCharging(bool charging) { firmware_.setCharging(charging, WorldCore::now()); }

void HeadbandCore::setBatteryVoltage(double volts) { firmware_.setCellVoltage(volts, WorldCore::now()); }

bool HeadbandCore::setScenario(const std::string& name) {
  auto scenario = SimulatedSignalScenario::named(name);
  if (!scenario) return false;
  signal_.setScenario(std::move(*scenario));
  config_.scenario = name;
  return true;
}

void HeadbandCore::setElectrodeContact(SimulatedChannel channel, ElectrodeContact contact) {
  signal_.setContact(channel, contact);
}

void HeadbandCore::enterUpdateMode() {
  if (updateMode_ && power_ != Power::Off) return;
  if (link_) {
    closeLink(BluetoothError::link(BluetoothErrorCode::PeripheralDisconnected), AfterClose::RebootUpdate);
  } else {
    reboot(true);
  }
}

}  // namespace vpk::detail
