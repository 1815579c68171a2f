#include "platform/bluetooth/bluez/BlueZCentral.h"

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/notifications/DesktopNotifier.h>

#include "platform/bluetooth/bluez/BlueZPeripheral.h"

#include <openssl/sha.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace vpk::detail {

namespace {

constexpr const char* kAdapter = "org.bluez.Adapter1";
constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kService = "org.bluez.GattService1";
constexpr const char* kCharacteristic = "org.bluez.GattCharacteristic1";

// How long a link loss waits before it is reported: BlueZ tells of the links before it
// tells that the adapter went off, and an adapter going off reports no link losses.
constexpr double kLinkLossGrace = 0.25;
// Delay before a connection attempt that timed out or was aborted is made again.
constexpr double kConnectRetry = 1.0;

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool under(const std::string& path, const std::string& parent) {
  return !parent.empty() && path.size() > parent.size() + 1 && path.compare(0, parent.size(), parent) == 0 &&
         path[parent.size()] == '/';
}

std::vector<BluetoothUUID> uuidsOf(const BusProperties& props, const char* key) {
  std::vector<BluetoothUUID> out;
  if (auto list = busGet<std::vector<std::string>>(props, key))
    for (const auto& s : *list)
      if (auto u = BluetoothUUID::parse(s)) out.push_back(*u);
  return out;
}

std::optional<BluetoothUUID> uuidOf(const BusProperties& props) {
  auto s = busGet<std::string>(props, "UUID");
  return s ? BluetoothUUID::parse(*s) : std::nullopt;
}

std::optional<int> rssiOf(const BusProperties& props) {
  auto v = busGet<int64_t>(props, "RSSI");
  if (!v || *v < -127 || *v > 20) return std::nullopt;
  return static_cast<int>(*v);
}

unsigned propertiesOf(const BusProperties& props) {
  unsigned bits = 0;
  if (auto flags = busGet<std::vector<std::string>>(props, "Flags")) {
    for (const auto& f : *flags) {
      if (f == "read") bits |= BluetoothPropertyRead;
      else if (f == "write-without-response") bits |= BluetoothPropertyWriteWithoutResponse;
      else if (f == "write") bits |= BluetoothPropertyWrite;
      else if (f == "notify") bits |= BluetoothPropertyNotify;
      else if (f == "indicate") bits |= BluetoothPropertyIndicate;
    }
  }
  return bits;
}

BluetoothAdvertisementData advertisementOf(const BusProperties& props) {
  BluetoothAdvertisementData a;
  if (auto name = busGet<std::string>(props, "Name")) a.localName = *name;
  a.serviceUUIDs = uuidsOf(props, "UUIDs");
  if (auto tx = busGet<int64_t>(props, "TxPower"); tx && *tx >= -127 && *tx <= 20) a.txPowerLevel = static_cast<int>(*tx);
  return a;
}

// The type each property we read must have; a value of another type is refused and the
// previous one kept (a peer that sends "yes" for Connected changes nothing).
bool hasExpectedType(const std::string& key, const BusValue& value) {
  static const std::map<std::string, size_t> kExpected = {
      {"Powered", 1},      {"Connected", 1}, {"ServicesResolved", 1}, {"Notifying", 1}, {"Discovering", 1},
      {"RSSI", 2},         {"TxPower", 2},   {"MTU", 2},              {"Name", 3},      {"Alias", 3},
      {"Address", 3},      {"AddressType", 3}, {"PowerState", 3},     {"UUID", 3},      {"UUIDs", 4},
      {"Flags", 4},        {"Value", 5}};
  auto it = kExpected.find(key);
  return it == kExpected.end() || it->second == value.index();
}

void merge(BusProperties& into, const BusProperties& from, const std::string& path) {
  for (const auto& [k, v] : from) {
    if (hasExpectedType(k, v)) {
      into[k] = v;
    } else {
      VPKLog(1, "BlueZ central: ignoring {} of {}: not of the expected type", k, path);
    }
  }
}

}  // namespace

BluetoothUUID blueZIdentifier(const std::string& adapterAddress, const std::string& deviceAddress,
                              const std::string& addressType) {
  // A name-based (version 5) UUID in a namespace of our own.
  static const uint8_t kNamespace[16] = {0x4c, 0x1e, 0x8a, 0x52, 0x3b, 0x0d, 0x4f, 0x61,
                                         0x9e, 0x27, 0xc5, 0x70, 0x13, 0xa8, 0x6b, 0xd4};
  std::string name(reinterpret_cast<const char*>(kNamespace), sizeof kNamespace);
  name += upper(adapterAddress) + "/" + upper(deviceAddress) + "/" + lower(addressType);
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(name.data()), name.size(), digest);
  BluetoothUUID::Bytes bytes{};
  std::copy(digest, digest + 16, bytes.begin());
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x50);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);
  return BluetoothUUID(bytes);
}

BluetoothError blueZError(const BusError& error) {
  const std::string text = error.message.empty() ? error.name : error.name + ": " + error.message;
  if (auto at = error.message.find("ATT error: 0x"); at != std::string::npos) {
    char* end = nullptr;
    const long code = std::strtol(error.message.c_str() + at + 13, &end, 16);
    if (end != error.message.c_str() + at + 13 && code > 0 && code <= 0xff) {
      BluetoothError e = BluetoothError::att(static_cast<BluetoothATTError>(code));
      e.code = code;
      return e;
    }
  }
  if (error.name == "org.bluez.Error.NotPermitted") return BluetoothError::att(BluetoothATTError::WriteNotPermitted, text);
  if (error.name == "org.bluez.Error.NotSupported")
    return BluetoothError::att(BluetoothATTError::RequestNotSupported, text);
  if (error.name == "org.bluez.Error.NotConnected") return BluetoothError::link(BluetoothErrorCode::NotConnected, text);
  return BluetoothError::link(BluetoothErrorCode::Unknown, text);
}

// ---------------------------------------------------------------- life

BlueZCentral::BlueZCentral(std::weak_ptr<BluetoothCentralDelegate> delegate, DispatchQueuePtr queue)
    : BluetoothCentral(std::move(delegate), std::move(queue)), work_(DispatchQueue::createSerial("vpk.bluez")) {}

std::shared_ptr<BlueZCentral> BlueZCentral::create(std::weak_ptr<BluetoothCentralDelegate> delegate,
                                                   DispatchQueuePtr queue, BluetoothCentralOptions options) {
  auto central = std::make_shared<BlueZCentral>(std::move(delegate), std::move(queue));
  central->options_ = options;
  std::weak_ptr<BlueZCentral> weak = central;
  central->bus_ = BlueZBus::open([work = central->work_, weak](BusEvent e) {
    work->async([weak, e = std::move(e)]() mutable {
      if (auto c = weak.lock()) c->handle(std::move(e));
    });
  });
  if (!central->bus_) return nullptr;
  central->bus_->requestSnapshot();
  return central;
}

BlueZCentral::~BlueZCentral() { bus_.reset(); }

BluetoothAdapterState BlueZCentral::state() const { return static_cast<BluetoothAdapterState>(state_.load()); }

void BlueZCentral::submit(std::function<void(BlueZCentral&)> work) {
  std::weak_ptr<BlueZCentral> weak = std::static_pointer_cast<BlueZCentral>(shared_from_this());
  work_->async([weak, work = std::move(work)] {
    auto c = weak.lock();
    if (!c) return;
    try {
      work(*c);
    } catch (const std::exception& x) {
      VPKLog(1, "BlueZ central: {}", x.what());
    }
  });
}

BlueZBus::Reply BlueZCentral::onWork(std::function<void(BlueZCentral&, const std::optional<BusError>&)> handler) {
  std::weak_ptr<BlueZCentral> weak = std::static_pointer_cast<BlueZCentral>(shared_from_this());
  // Runs on the bus thread: it must never hold the central there, or the central's last
  // reference could drop on the thread its destructor joins.
  return [work = work_, weak, handler = std::move(handler)](const std::optional<BusError>& error) {
    work->async([weak, handler, error] {
      auto c = weak.lock();
      if (!c) return;
      try {
        handler(*c, error);
      } catch (const std::exception& x) {
        VPKLog(1, "BlueZ central: {}", x.what());
      }
    });
  };
}

void BlueZCentral::post(std::function<void()> before,
                        std::function<void(BluetoothCentralDelegate&, BluetoothCentral&)> call) {
  std::weak_ptr<BlueZCentral> weak = std::static_pointer_cast<BlueZCentral>(shared_from_this());
  queue()->async([weak, before = std::move(before), call = std::move(call)] {
    auto c = weak.lock();
    if (!c) return;
    if (before) before();
    if (auto d = c->delegate()) call(*d, *c);
  });
}

void BlueZCentral::post(const std::shared_ptr<BlueZPeripheral>& p, std::function<void()> before,
                        std::function<void(BluetoothPeripheralDelegate&)> call) {
  std::weak_ptr<BlueZCentral> weak = std::static_pointer_cast<BlueZCentral>(shared_from_this());
  queue()->async([weak, p, before = std::move(before), call = std::move(call)] {
    if (!weak.lock()) return;
    if (before) before();
    if (auto d = p->delegate()) call(*d);
  });
}

std::shared_ptr<BlueZPeripheral> BlueZCentral::ours(const BluetoothPeripheralPtr& peripheral) const {
  auto p = std::dynamic_pointer_cast<BlueZPeripheral>(peripheral);
  if (!p || p->owner() != this) {
    VPKLog(1, "BlueZ central: ignoring a peripheral this central did not create");
    return nullptr;
  }
  return p;
}

// ---------------------------------------------------------------- bus events

void BlueZCentral::handle(BusEvent e) {
  using Kind = BusEvent::Kind;
  switch (e.kind) {
    case Kind::InterfacesAdded: objectAdded(e.path, e.interfaces); break;
    case Kind::InterfacesRemoved: objectRemoved(e.path, e.removed); break;
    case Kind::PropertiesChanged:
      propertiesChanged(e.path, e.interface, e.interfaces[e.interface], e.removed);
      break;
    case Kind::Disconnected:
      if (auto d = deviceAt(e.path)) d->lossReason = e.text;
      break;
    case Kind::OwnerChanged:
      if (e.text.empty()) {
        VPKLog(1, "BlueZ central: BlueZ left the system bus");
        bluezGone();
      } else {
        VPKLog(0, "BlueZ central: BlueZ is on the system bus");
        bus_->requestSnapshot();
      }
      break;
    case Kind::SnapshotDone:
      bluezPresent_ = e.text == "ok";
      updateAdapterState();
      if (!stateReported_) setAdapterState(adapterState_);  // the first report, even if unchanged
      break;
    case Kind::BusLost: bluezGone(); break;
  }
}

bool BlueZCentral::isDevicePath(const std::string& path) const {
  return under(path, adapterPath_) && path.find('/', adapterPath_.size() + 1) == std::string::npos;
}

BlueZCentral::Device* BlueZCentral::deviceAt(const std::string& path) {
  auto it = byPath_.find(path);
  return it == byPath_.end() ? nullptr : &devices_[it->second];
}

BlueZCentral::Device* BlueZCentral::deviceOf(const std::shared_ptr<BlueZPeripheral>& p) {
  auto it = devices_.find(p->identifier());
  return it == devices_.end() ? nullptr : &it->second;
}

BlueZCentral::Device& BlueZCentral::track(const std::string& path) {
  if (auto d = deviceAt(path)) return *d;
  const BusProperties& props = tree_[path][kDevice];
  std::string adapterAddress = adapterPath_;
  if (auto a = busGet<std::string>(tree_[adapterPath_][kAdapter], "Address")) adapterAddress = *a;
  const auto* address = busGet<std::string>(props, "Address");
  const auto* type = busGet<std::string>(props, "AddressType");
  const BluetoothUUID id =
      blueZIdentifier(adapterAddress, address ? *address : path, type ? *type : std::string("public"));
  Device& d = devices_[id];
  d.path = path;
  byPath_[path] = id;
  if (!d.peripheral) {
    d.peripheral = std::make_shared<BlueZPeripheral>(id, std::static_pointer_cast<BlueZCentral>(shared_from_this()), this);
    std::lock_guard<std::mutex> lock(peripheralsMutex_);
    peripherals_[id] = d.peripheral;
  }
  return d;
}

void BlueZCentral::objectAdded(const std::string& path, const BusInterfaces& interfaces) {
  for (const auto& [name, props] : interfaces) merge(tree_[path][name], props, path);
  if (interfaces.count(kAdapter)) {
    if (adapterPath_.empty()) adapterPath_ = path;
    updateAdapterState();
  }
  if (interfaces.count(kDevice) && isDevicePath(path) && busGet<std::string>(tree_[path][kDevice], "Address")) {
    Device& d = track(path);
    if (auto rssi = rssiOf(tree_[path][kDevice])) d.rssi = rssi;
    if (d.wanted) issueConnect(d.peripheral->identifier());
    updateBackgroundDiscovery();
    heard(d);
    updateLink(d);
  }
}

void BlueZCentral::objectRemoved(const std::string& path, const std::vector<std::string>& interfaces) {
  auto node = tree_.find(path);
  if (node == tree_.end()) return;
  for (const auto& name : interfaces) node->second.erase(name);
  const bool deviceGone = std::find(interfaces.begin(), interfaces.end(), kDevice) != interfaces.end();
  const bool adapterGone = path == adapterPath_ &&
                           std::find(interfaces.begin(), interfaces.end(), kAdapter) != interfaces.end();
  if (node->second.empty()) tree_.erase(node);
  if (deviceGone) {
    if (auto d = deviceAt(path)) {
      if (d->linked) linkEnded(*d);
      d->path.clear();
    }
    byPath_.erase(path);
  }
  if (adapterGone) {
    VPKLog(1, "BlueZ central: the adapter {} went away", path);
    adapterPath_.clear();
    for (const auto& [p, ifaces] : tree_)
      if (ifaces.count(kAdapter)) {
        adapterPath_ = p;
        break;
      }
    updateAdapterState();
  }
}

void BlueZCentral::propertiesChanged(const std::string& path, const std::string& interface,
                                     const BusProperties& changed, const std::vector<std::string>& invalidated) {
  auto node = tree_.find(path);
  if (node == tree_.end() || !node->second.count(interface)) return;  // not an object we were told of
  BusProperties& props = node->second[interface];
  merge(props, changed, path);
  for (const auto& k : invalidated) props.erase(k);

  if (interface == kAdapter && path == adapterPath_) {
    updateAdapterState();
  } else if (interface == kDevice) {
    Device* d = deviceAt(path);
    if (!d) return;
    if (changed.count("RSSI")) d->rssi = rssiOf(props);
    if (changed.count("RSSI") || changed.count("ManufacturerData") || changed.count("ServiceData")) heard(*d);
    if (changed.count("Connected") || changed.count("ServicesResolved")) updateLink(*d);
  } else if (interface == kCharacteristic && changed.count("Value")) {
    valueChanged(path, changed);  // a Value of another type is refused there
  }
}

void BlueZCentral::valueChanged(const std::string& path, const BusProperties& changed) {
  auto owner = characteristicOwner_.find(path);
  if (owner == characteristicOwner_.end()) return;
  Device& d = devices_[owner->second];
  if (!d.linked || !d.notifying.count(path)) return;
  auto c = d.characteristics[path];
  const auto* value = busGet<std::vector<uint8_t>>(changed, "Value");
  if (!value || !c) {
    VPKLog(1, "BlueZ central: ignoring a Value of {} that is not a byte array", path);
    return;
  }
  auto p = d.peripheral;
  post(p, [c, v = *value] { c->setValue(v); },
       [p, c, v = *value](BluetoothPeripheralDelegate& del) { del.didUpdateValue(p, c, v, std::nullopt); });
}

void BlueZCentral::bluezGone() {
  bluezPresent_ = false;
  tree_.clear();
  adapterPath_.clear();
  for (auto& [id, d] : devices_) d.path.clear();
  byPath_.clear();
  updateAdapterState();
}

// ---------------------------------------------------------------- adapter state

void BlueZCentral::updateAdapterState() {
  BluetoothAdapterState s = BluetoothAdapterState::Unknown;
  if (bluezPresent_) {
    if (adapterPath_.empty()) {
      s = BluetoothAdapterState::Unsupported;
    } else {
      const BusProperties& props = tree_[adapterPath_][kAdapter];
      const auto* powered = busGet<bool>(props, "Powered");
      const auto* power = busGet<std::string>(props, "PowerState");
      const bool blocked = power && *power == "off-blocked";
      s = powered && *powered && !blocked ? BluetoothAdapterState::PoweredOn : BluetoothAdapterState::PoweredOff;
    }
  }
  if (!bluezPresent_ && !stateReported_) {
    adapterState_ = s;  // reported once the first snapshot is in
    return;
  }
  if (s != adapterState_ || !stateReported_) setAdapterState(s);
}

void BlueZCentral::setAdapterState(BluetoothAdapterState s) {
  const bool wasOn = adapterState_ == BluetoothAdapterState::PoweredOn;
  if (!stateReported_ && options_.showPowerAlert && s == BluetoothAdapterState::PoweredOff) {
    // The platform's power alert: the user learns that Bluetooth is off.
    DesktopNotification alert;
    alert.summary = "Bluetooth is off";
    alert.body = "Turn on Bluetooth to connect to your Vemra headband.";
    alert.icon = "bluetooth-disabled";
    DesktopNotifier::showAsync(std::move(alert));
  }
  adapterState_ = s;
  stateReported_ = true;
  std::vector<std::shared_ptr<BlueZPeripheral>> dropped;
  if (wasOn && s != BluetoothAdapterState::PoweredOn) {
    scanning_.store(false);
    backgroundDiscovery_ = false;
    reported_.clear();
    for (auto& [id, d] : devices_) {
      if (d.wanted || d.linked || d.lost || d.cancelling) dropped.push_back(d.peripheral);
      d.wanted = d.linked = d.lost = d.cancelling = false;
      d.notifying.clear();
    }
  }
  VPKLog(0, "BlueZ central: the adapter is {}", toString(s));
  post(
      [this, s, dropped] {
        for (const auto& p : dropped) {
          p->setState(BluetoothPeripheralState::Disconnected);
          p->resetNotifying();
        }
        state_.store(static_cast<int>(s));
      },
      [](BluetoothCentralDelegate& d, BluetoothCentral& c) { d.didUpdateState(c); });
}

// ---------------------------------------------------------------- scanning

void BlueZCentral::scanForPeripherals(const std::vector<BluetoothUUID>& serviceUUIDs, bool allowDuplicates) {
  if (state() != BluetoothAdapterState::PoweredOn) {
    VPKLog(0, "BlueZ central: scan ignored, the adapter is {}", toString(state()));
    return;
  }
  scanning_.store(true);
  submit([serviceUUIDs, allowDuplicates](BlueZCentral& c) {
    if (c.adapterPath_.empty() || !c.scanning_.load()) return;
    c.filter_ = serviceUUIDs;
    c.allowDuplicates_ = allowDuplicates;
    c.reported_.clear();
    std::vector<std::string> uuids;
    for (const auto& u : serviceUUIDs) uuids.push_back(lower(u.fullString()));
    std::map<std::string, sdbus::Variant> filter{{"Transport", sdbus::Variant(std::string("le"))},
                                                 {"DuplicateData", sdbus::Variant(allowDuplicates)}};
    if (!uuids.empty()) filter.emplace("UUIDs", sdbus::Variant(uuids));
    const std::string adapter = c.adapterPath_;
    c.bus_->call(adapter, kAdapter, "SetDiscoveryFilter", [filter](sdbus::MethodCall& m) { m << filter; },
                 c.onWork([adapter](BlueZCentral& c, const std::optional<BusError>& error) {
                   if (error) VPKLog(1, "BlueZ central: SetDiscoveryFilter failed: {}", error->message);
                   if (!c.scanning_.load()) return;
                   c.bus_->call(adapter, kAdapter, "StartDiscovery", {}, [](const std::optional<BusError>& error) {
                     if (error && error->name != "org.bluez.Error.InProgress")
                       VPKLog(1, "BlueZ central: StartDiscovery failed: {} {}", error->name, error->message);
                   });
                 }));
  });
}

void BlueZCentral::stopScan() {
  if (!scanning_.exchange(false)) return;
  submit([](BlueZCentral& c) {
    c.reported_.clear();
    if (c.adapterPath_.empty() || c.backgroundDiscovery_) return;
    c.bus_->call(c.adapterPath_, kAdapter, "StopDiscovery", {}, [](const std::optional<BusError>& error) {
      if (error) VPKLog(0, "BlueZ central: StopDiscovery: {}", error->message);
    });
  });
}

void BlueZCentral::updateBackgroundDiscovery() {
  // A device BlueZ has no object for is found only by discovering: keep discovery on while
  // a connection to such a device is pending.
  bool needed = false;
  for (const auto& [id, d] : devices_) needed = needed || (d.wanted && d.path.empty());
  needed = needed && adapterState_ == BluetoothAdapterState::PoweredOn && !adapterPath_.empty();
  if (needed == backgroundDiscovery_) return;
  backgroundDiscovery_ = needed;
  if (scanning_.load() || adapterPath_.empty()) return;
  bus_->call(adapterPath_, kAdapter, needed ? "StartDiscovery" : "StopDiscovery", {},
             [](const std::optional<BusError>& error) {
               if (error) VPKLog(0, "BlueZ central: discovery for a pending connection: {}", error->message);
             });
}

void BlueZCentral::heard(Device& d) {
  if (!scanning_.load() || d.path.empty()) return;
  const BusProperties& props = tree_[d.path][kDevice];
  BluetoothAdvertisementData advertisement = advertisementOf(props);
  if (!filter_.empty()) {
    bool match = false;
    for (const auto& u : filter_) match = match || advertisement.advertisesService(u);
    if (!match) return;
  }
  const BluetoothUUID id = d.peripheral->identifier();
  if (!allowDuplicates_) {
    auto it = reported_.find(id);
    if (it != reported_.end() && it->second == advertisement) return;
    reported_[id] = advertisement;
  }
  auto p = d.peripheral;
  post([p, name = advertisement.localName] { if (name) p->setName(name); },
       [p, advertisement, rssi = d.rssi](BluetoothCentralDelegate& del, BluetoothCentral& c) {
         del.didDiscoverPeripheral(c, p, advertisement, rssi);
       });
}

// ---------------------------------------------------------------- connections

void BlueZCentral::connect(const BluetoothPeripheralPtr& peripheral) {
  auto p = ours(peripheral);
  if (!p) return;
  if (state() != BluetoothAdapterState::PoweredOn) {
    VPKLog(0, "BlueZ central: connect ignored, the adapter is {}", toString(state()));
    return;
  }
  submit([p](BlueZCentral& c) {
    Device* d = c.deviceOf(p);
    if (!d || d->linked || d->wanted || c.adapterState_ != BluetoothAdapterState::PoweredOn) return;
    d->wanted = true;
    d->cancelling = false;
    p->setState(BluetoothPeripheralState::Connecting);
    if (!d->path.empty()) c.issueConnect(p->identifier());
    c.updateBackgroundDiscovery();
  });
}

void BlueZCentral::issueConnect(const BluetoothUUID& id) {
  Device& d = devices_[id];
  if (!d.wanted || d.path.empty()) return;
  bus_->call(
      d.path, kDevice, "Connect", {},
      onWork([id](BlueZCentral& c, const std::optional<BusError>& outcome) {
        if (!outcome) return;  // the link is reported once its services are resolved
        const BusError& error = *outcome;
        Device& d = c.devices_[id];
        if (!d.wanted) return;
        if (error.name == "org.bluez.Error.InProgress" || error.name == "org.bluez.Error.AlreadyConnected") return;
        const bool transient = error.name == "org.freedesktop.DBus.Error.NoReply" ||
                               error.name == "org.freedesktop.DBus.Error.UnknownObject" ||
                               error.name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
                               error.message.find("abort") != std::string::npos;
        if (transient) {
          // The attempt never times out: try again while the owner still wants it.
          VPKLog(0, "BlueZ central: connection attempt interrupted ({}), trying again", error.name);
          std::weak_ptr<BlueZCentral> weak = std::static_pointer_cast<BlueZCentral>(c.shared_from_this());
          c.work_->after(kConnectRetry, [weak, id] {
            if (auto c = weak.lock()) c->issueConnect(id);
          });
          return;
        }
        d.wanted = false;
        c.updateBackgroundDiscovery();
        auto p = d.peripheral;
        auto e = BluetoothError::link(BluetoothErrorCode::ConnectionFailed, error.name + ": " + error.message);
        c.post([p] { p->setState(BluetoothPeripheralState::Disconnected); },
               [p, e](BluetoothCentralDelegate& del, BluetoothCentral& central) {
                 del.didFailToConnectPeripheral(central, p, e);
               });
      }),
      60);
}

void BlueZCentral::updateLink(Device& d) {
  const BusProperties& props = tree_[d.path][kDevice];
  const auto* connected = busGet<bool>(props, "Connected");
  const auto* resolved = busGet<bool>(props, "ServicesResolved");
  const bool up = connected && *connected;
  if (up && resolved && *resolved && d.wanted && !d.linked) {
    d.wanted = false;
    d.linked = true;
    d.lost = false;
    d.lossReason.clear();
    d.services.clear();
    d.characteristics.clear();
    d.notifying.clear();
    for (auto it = characteristicOwner_.begin(); it != characteristicOwner_.end();)
      it = it->second == d.peripheral->identifier() ? characteristicOwner_.erase(it) : std::next(it);
    auto p = d.peripheral;
    post(
        [p] {
          p->clearServices();
          p->setState(BluetoothPeripheralState::Connected);
        },
        [p](BluetoothCentralDelegate& del, BluetoothCentral& c) { del.didConnectPeripheral(c, p); });
  } else if (!up && d.linked) {
    linkEnded(d);
  }
}

void BlueZCentral::linkEnded(Device& d) {
  d.linked = false;
  d.notifying.clear();
  auto p = d.peripheral;
  if (d.cancelling) {
    d.cancelling = false;
    post(
        [p] {
          p->setState(BluetoothPeripheralState::Disconnected);
          p->resetNotifying();
        },
        [p](BluetoothCentralDelegate& del, BluetoothCentral& c) { del.didDisconnectPeripheral(c, p, std::nullopt); });
    return;
  }
  d.lost = true;
  const BluetoothError error = BluetoothError::link(d.lossReason == "org.bluez.Reason.Remote"
                                                        ? BluetoothErrorCode::PeripheralDisconnected
                                                        : BluetoothErrorCode::ConnectionTimeout);
  d.lossReason.clear();
  std::weak_ptr<BlueZCentral> weak = std::static_pointer_cast<BlueZCentral>(shared_from_this());
  work_->after(kLinkLossGrace, [weak, id = p->identifier(), error] {
    auto c = weak.lock();
    if (!c) return;
    Device& d = c->devices_[id];
    if (!d.lost) return;  // the adapter went off meanwhile, or the owner cancelled
    d.lost = false;
    auto p = d.peripheral;
    c->post(
        [p] {
          p->setState(BluetoothPeripheralState::Disconnected);
          p->resetNotifying();
        },
        [p, error](BluetoothCentralDelegate& del, BluetoothCentral& central) {
          del.didDisconnectPeripheral(central, p, error);
        });
  });
}

void BlueZCentral::cancelPeripheralConnection(const BluetoothPeripheralPtr& peripheral) {
  auto p = ours(peripheral);
  if (!p) return;
  submit([p](BlueZCentral& c) {
    Device* d = c.deviceOf(p);
    if (!d) return;
    const bool report = d->wanted || d->lost;
    if (d->wanted || d->linked) {
      if (!d->path.empty())
        c.bus_->call(d->path, kDevice, "Disconnect", {}, [](const std::optional<BusError>& error) {
          if (error) VPKLog(0, "BlueZ central: Disconnect: {}", error->message);
        });
    }
    if (d->linked) {
      d->cancelling = true;
      p->setState(BluetoothPeripheralState::Disconnecting);
      return;
    }
    if (report) {
      d->wanted = d->lost = false;
      c.updateBackgroundDiscovery();
      c.post(
          [p] {
            p->setState(BluetoothPeripheralState::Disconnected);
            p->resetNotifying();
          },
          [p](BluetoothCentralDelegate& del, BluetoothCentral& central) {
            del.didDisconnectPeripheral(central, p, std::nullopt);
          });
    }
  });
}

std::vector<BluetoothPeripheralPtr> BlueZCentral::retrievePeripherals(const std::vector<BluetoothUUID>& identifiers) {
  std::vector<BluetoothPeripheralPtr> found;
  std::lock_guard<std::mutex> lock(peripheralsMutex_);
  for (const auto& id : identifiers)
    if (auto it = peripherals_.find(id); it != peripherals_.end()) found.push_back(it->second);
  return found;
}

// ---------------------------------------------------------------- GATT

void BlueZCentral::discoverServicesOf(const std::shared_ptr<BlueZPeripheral>& p,
                                      const std::vector<BluetoothUUID>& uuids) {
  Device* d = deviceOf(p);
  if (!d || !d->linked) {
    VPKLog(0, "BlueZ peripheral {}: service discovery ignored, not connected", p->identifier().fullString());
    return;
  }
  std::vector<BluetoothServicePtr> found;
  for (const auto& [path, interfaces] : tree_) {
    auto it = interfaces.find(kService);
    if (it == interfaces.end() || !under(path, d->path)) continue;
    auto uuid = uuidOf(it->second);
    if (!uuid || (!uuids.empty() && std::find(uuids.begin(), uuids.end(), *uuid) == uuids.end())) continue;
    BluetoothServicePtr s = d->services[path];
    if (!s) s = p->service(*uuid);
    if (!s) s = std::make_shared<BluetoothService>(*uuid, p);
    d->services[path] = s;
    found.push_back(s);
  }
  post(p, [p, found] { p->mergeServices(found); },
       [p](BluetoothPeripheralDelegate& del) { del.didDiscoverServices(p, std::nullopt); });
}

void BlueZCentral::discoverCharacteristicsOf(const std::shared_ptr<BlueZPeripheral>& p,
                                             const std::vector<BluetoothUUID>& uuids,
                                             const BluetoothServicePtr& service) {
  Device* d = deviceOf(p);
  if (!d || !d->linked) {
    VPKLog(0, "BlueZ peripheral {}: characteristic discovery ignored, not connected", p->identifier().fullString());
    return;
  }
  std::string servicePath;
  for (const auto& [path, s] : d->services)
    if (s == service) servicePath = path;
  if (servicePath.empty()) {
    VPKLog(1, "BlueZ peripheral: characteristic discovery of a service not discovered on this link ignored");
    return;
  }
  std::vector<BluetoothCharacteristicPtr> found;
  for (const auto& [path, interfaces] : tree_) {
    auto it = interfaces.find(kCharacteristic);
    if (it == interfaces.end() || !under(path, servicePath)) continue;
    auto uuid = uuidOf(it->second);
    if (!uuid || (!uuids.empty() && std::find(uuids.begin(), uuids.end(), *uuid) == uuids.end())) continue;
    BluetoothCharacteristicPtr c = service->characteristic(*uuid);
    if (!c) c = std::make_shared<BluetoothCharacteristic>(*uuid, propertiesOf(it->second), service);
    if (auto mtu = busGet<int64_t>(it->second, "MTU"); mtu && *mtu >= 23 && *mtu <= 517) p->setMTU(static_cast<int>(*mtu));
    d->characteristics[path] = c;
    characteristicOwner_[path] = p->identifier();
    found.push_back(c);
  }
  post(p, [service, found] { service->mergeCharacteristics(found); },
       [p, service](BluetoothPeripheralDelegate& del) { del.didDiscoverCharacteristics(p, service, std::nullopt); });
}

std::string BlueZCentral::pathOf(const Device& d, const BluetoothCharacteristicPtr& c) const {
  for (const auto& [path, known] : d.characteristics)
    if (known == c) return path;
  return {};
}

void BlueZCentral::setNotifyOf(const std::shared_ptr<BlueZPeripheral>& p, bool enabled,
                               const BluetoothCharacteristicPtr& c) {
  Device* d = deviceOf(p);
  const std::string path = d && d->linked ? pathOf(*d, c) : std::string();
  if (path.empty()) {
    VPKLog(0, "BlueZ peripheral {}: subscription ignored, not connected or not discovered", p->identifier().fullString());
    return;
  }
  // Values are accepted from now on, so that none sent before StartNotify's reply is lost.
  if (enabled) d->notifying.insert(path);
  else d->notifying.erase(path);
  bus_->call(path, kCharacteristic, enabled ? "StartNotify" : "StopNotify", {},
             onWork([p, c, path, enabled](BlueZCentral& central, const std::optional<BusError>& error) {
               std::optional<BluetoothError> e;
               if (error) {
                 e = blueZError(*error);
                 if (Device* d = central.deviceOf(p); d && enabled) d->notifying.erase(path);
               }
               central.post(p, [c, enabled, e] { if (!e) c->setNotifying(enabled); },
                            [p, c, e](BluetoothPeripheralDelegate& del) { del.didUpdateNotificationState(p, c, e); });
             }));
}

void BlueZCentral::writeOf(const std::shared_ptr<BlueZPeripheral>& p, const std::vector<uint8_t>& data,
                           const BluetoothCharacteristicPtr& c, BluetoothWriteType type) {
  Device* d = deviceOf(p);
  const std::string path = d && d->linked ? pathOf(*d, c) : std::string();
  if (path.empty()) {
    VPKLog(0, "BlueZ peripheral {}: write ignored, not connected or not discovered", p->identifier().fullString());
    return;
  }
  const bool withResponse = type == BluetoothWriteType::WithResponse;
  bus_->call(
      path, kCharacteristic, "WriteValue",
      [data, withResponse](sdbus::MethodCall& m) {
        std::map<std::string, sdbus::Variant> options{
            {"type", sdbus::Variant(std::string(withResponse ? "request" : "command"))}};
        m << data << options;
      },
      // Through the work queue, so that the completion keeps its place among the values.
      onWork([p, c, withResponse](BlueZCentral& central, const std::optional<BusError>& error) {
        if (!withResponse) {
          if (error) VPKLog(1, "BlueZ peripheral: a write without response failed: {}", error->message);
          return;
        }
        std::optional<BluetoothError> e;
        if (error) e = blueZError(*error);
        central.post(p, nullptr, [p, c, e](BluetoothPeripheralDelegate& del) { del.didWriteValue(p, c, e); });
      }));
}

void BlueZCentral::readRSSIOf(const std::shared_ptr<BlueZPeripheral>& p) {
  Device* d = deviceOf(p);
  if (!d || !d->linked) {
    VPKLog(0, "BlueZ peripheral {}: signal-strength read ignored, not connected", p->identifier().fullString());
    return;
  }
  // BlueZ offers no reading on a link: answer with the last one its scans reported.
  post(p, nullptr, [p, rssi = d->rssi](BluetoothPeripheralDelegate& del) { del.didReadRSSI(p, rssi, std::nullopt); });
}

}  // namespace vpk::detail
