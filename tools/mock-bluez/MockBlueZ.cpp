// vemra-mock-bluez: serves a simulated world as org.bluez on the system bus
// (DBUS_SYSTEM_BUS_ADDRESS), so that the library's BlueZ backend, and anyone without a
// radio, meets the same headband firmware the simulated backend runs.
//
// It offers the part of BlueZ's API a central uses: the object manager at "/", one
// adapter (Adapter1), a device object (Device1) for each headband heard while
// discovering, and once connected the headband's GATT table (GattService1,
// GattCharacteristic1 with StartNotify, StopNotify and WriteValue). The world runs on
// the real clock.
//
// Threads: everything D-Bus happens on the main thread, which polls the bus and a wake-up
// descriptor; the world's callbacks arrive on a queue of their own and are handed to the
// main thread as tasks.
//
// Control (for tests and demos): org.vemra.MockBlueZ1.Control(s command) -> s at
// /org/vemra/mock; the commands are listed in control() below.
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/bluetooth/BluetoothCentral.h>
#include <VemraPlatformKit/platform/bluetooth/simulated/SimulatedWorld.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <sdbus-c++/sdbus-c++.h>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <variant>

namespace {

using vpk::BluetoothCharacteristicPtr;
using vpk::BluetoothError;
using vpk::BluetoothPeripheralPtr;
using vpk::BluetoothServicePtr;
using vpk::BluetoothUUID;

constexpr const char* kAdapterPath = "/org/bluez/hci0";
constexpr const char* kAdapter = "org.bluez.Adapter1";
constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kService = "org.bluez.GattService1";
constexpr const char* kCharacteristic = "org.bluez.GattCharacteristic1";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";

std::atomic<bool> quitting{false};
int wakeFd = -1;

void onSignal(int) {
  quitting = true;
  const uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
}

uint64_t monotonicNanoseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A property value of the types this mock serves.
using Prop = std::variant<bool, int16_t, uint16_t, std::string, sdbus::ObjectPath, std::vector<std::string>,
                          std::vector<uint8_t>>;
using Props = std::map<std::string, Prop>;

const char* signatureOf(const Prop& p) {
  static const char* kSignatures[] = {"b", "n", "q", "s", "o", "as", "ay"};
  return kSignatures[p.index()];
}

sdbus::Variant toVariant(const Prop& p) {
  return std::visit([](const auto& v) { return sdbus::Variant(v); }, p);
}

sdbus::Error bluezError(const std::string& name, const std::string& message) {
  return sdbus::Error("org.bluez.Error." + name, message);
}

std::string attFailure(const BluetoothError& e) {
  if (e.domain == vpk::kBluetoothATTErrorDomain) return fmt::format("Operation failed with ATT error: 0x{:02x}", e.code);
  return e.description;
}

// Tasks handed to the main thread.
class Loop {
 public:
  void post(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
  }
  void runPending() {
    std::deque<std::function<void()>> now;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      now.swap(tasks_);
    }
    for (auto& t : now) t();
  }

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
};

class MockBlueZ : public vpk::BluetoothCentralDelegate,
                  public vpk::BluetoothPeripheralDelegate,
                  public std::enable_shared_from_this<MockBlueZ> {
 public:
  struct Options {
    int headbands = 1;
    std::string scenario = "focused";
    uint64_t seed = 1;
    bool updateMode = false;
    bool poweredOff = false;
  };

  MockBlueZ(sdbus::IConnection& connection, Loop& loop, Options options)
      : connection_(connection), loop_(loop), options_(options) {}

  void start() {
    world_ = vpk::SimulatedWorld::create({.seed = options_.seed});
    for (int i = 0; i < options_.headbands; ++i) {
      vpk::SimulatedHeadband::Configuration c;
      c.scenario = options_.scenario;
      c.rssi = -52 - 9 * i;
      world_->addHeadband(c);
    }
    if (options_.updateMode) {
      vpk::SimulatedHeadband::Configuration c;
      c.updateMode = true;
      c.rssi = -64;
      world_->addHeadband(c);
    }
    world_->setAdapterPoweredOn(!options_.poweredOff);
    central_ = world_->createCentral(weak_from_this(), vpk::DispatchQueue::createSerial("mock-bluez.world"));

    root_ = sdbus::createObject(connection_, "/");
    root_->addObjectManager();

    Props adapter{{"Address", std::string("00:1A:7D:DA:71:13")},
                  {"AddressType", std::string("public")},
                  {"Name", std::string("vemra-mock")},
                  {"Alias", std::string("vemra-mock")},
                  {"Powered", !options_.poweredOff},
                  {"PowerState", std::string(options_.poweredOff ? "off" : "on")},
                  {"Discovering", false},
                  {"Discoverable", false},
                  {"Pairable", false},
                  {"UUIDs", std::vector<std::string>{}}};
    addNode(kAdapterPath, kAdapter, adapter, [this](sdbus::IObject& o) { registerAdapter(o); });

    control_ = sdbus::createObject(connection_, "/org/vemra/mock");
    control_->registerMethod("org.vemra.MockBlueZ1", "Control", "s", "s", [this](sdbus::MethodCall call) {
      std::string command;
      call >> command;
      auto reply = call.createReply();
      reply << control(command);
      reply.send();
    });
    control_->finishRegistration();
  }

  /// Sends the timestamped test notifications that are due; returns the delay until the
  /// next one in milliseconds (-1: none).
  int tick() {
    if (stampsLeft_ == 0) return -1;
    const uint64_t now = monotonicNanoseconds();
    if (now >= nextStamp_) {
      --stampsLeft_;
      nextStamp_ = now + stampInterval_;
      emitStamp();
      if (stampsLeft_ == 0) return -1;
    }
    return static_cast<int>((nextStamp_ - std::min(nextStamp_, monotonicNanoseconds())) / 1000000);
  }

  // ---- the world's callbacks (on the world's queue): handed to the main thread ----
  void didDiscoverPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr& p,
                             const vpk::BluetoothAdvertisementData& a, std::optional<int> rssi) override {
    loop_.post([self = shared_from_this(), p, a, rssi] { self->heard(p, a, rssi); });
  }
  void didConnectPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr& p) override {
    loop_.post([self = shared_from_this(), p] { self->connected(p); });
  }
  void didDisconnectPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr& p,
                               const std::optional<BluetoothError>& error) override {
    loop_.post([self = shared_from_this(), p, error] { self->disconnected(p, error); });
  }
  void didFailToConnectPeripheral(vpk::BluetoothCentral&, const BluetoothPeripheralPtr& p,
                                  const std::optional<BluetoothError>& error) override {
    loop_.post([self = shared_from_this(), p, error] {
      self->replyConnects(p, bluezError("Failed", error ? error->description : "Connection refused"));
    });
  }
  void didDiscoverServices(const BluetoothPeripheralPtr& p, const std::optional<BluetoothError>&) override {
    for (const auto& s : p->services()) p->discoverCharacteristics({}, s);
    loop_.post([self = shared_from_this(), p, n = p->services().size()] { self->devices_[p->identifier()].pendingServices = n; });
  }
  void didDiscoverCharacteristics(const BluetoothPeripheralPtr& p, const BluetoothServicePtr&,
                                  const std::optional<BluetoothError>&) override {
    loop_.post([self = shared_from_this(), p] {
      auto& d = self->devices_[p->identifier()];
      if (d.pendingServices > 0 && --d.pendingServices == 0) self->servicesResolved(p);
    });
  }
  void didUpdateValue(const BluetoothPeripheralPtr& p, const BluetoothCharacteristicPtr& c,
                      const std::vector<uint8_t>& value, const std::optional<BluetoothError>& error) override {
    if (error) return;  // BlueZ passes on no failed notifications
    loop_.post([self = shared_from_this(), p, c, value] { self->notified(p, c, value); });
  }
  void didWriteValue(const BluetoothPeripheralPtr& p, const BluetoothCharacteristicPtr& c,
                     const std::optional<BluetoothError>& error) override {
    loop_.post([self = shared_from_this(), p, c, error] {
      auto& calls = self->devices_[p->identifier()].writes[c.get()];
      if (calls.empty()) return;
      auto call = calls.front();
      calls.pop_front();
      if (error) call.createErrorReply(bluezError("Failed", attFailure(*error))).send();
      else call.createReply().send();
    });
  }
  void didUpdateNotificationState(const BluetoothPeripheralPtr& p, const BluetoothCharacteristicPtr& c,
                                  const std::optional<BluetoothError>& error) override {
    loop_.post([self = shared_from_this(), p, c, error] {
      auto& d = self->devices_[p->identifier()];
      auto& calls = d.notifies[c.get()];
      if (calls.empty()) return;
      auto call = calls.front();
      calls.pop_front();
      if (error) {
        call.createErrorReply(bluezError("NotSupported", attFailure(*error))).send();
        return;
      }
      call.createReply().send();
      if (auto path = self->pathOf(d, c); !path.empty()) self->set(path, kCharacteristic, {{"Notifying", c->isNotifying()}});
    });
  }

 private:
  struct Node {
    std::unique_ptr<sdbus::IObject> object;
    std::map<std::string, Props> props;
  };
  struct Device {
    BluetoothPeripheralPtr peripheral;
    std::string path;
    bool connected = false;
    size_t pendingServices = 0;
    std::vector<sdbus::MethodCall> connects;
    std::map<std::string, BluetoothCharacteristicPtr> characteristics;  // path -> characteristic
    std::vector<std::string> gattPaths;
    std::map<const void*, std::deque<sdbus::MethodCall>> writes, notifies;
  };

  // ---- the object store ----
  void addNode(const std::string& path, const std::string& interface, const Props& props,
               const std::function<void(sdbus::IObject&)>& methods) {
    Node& node = nodes_[path];
    node.props[interface] = props;
    node.object = sdbus::createObject(connection_, path);
    for (const auto& [name, value] : props) {
      auto getter = [this, path, interface, name = name](sdbus::PropertyGetReply& reply) {
        std::visit([&reply](const auto& v) { reply << v; }, nodes_[path].props[interface][name]);
      };
      if (interface == kAdapter && name == "Powered") {
        node.object->registerProperty(interface, name, signatureOf(value), getter,
                                      [this](sdbus::PropertySetCall& call) {
                                        bool on = false;
                                        call >> on;
                                        setPowered(on);
                                      });
      } else {
        node.object->registerProperty(interface, name, signatureOf(value), getter);
      }
    }
    if (methods) methods(*node.object);
    node.object->finishRegistration();
    node.object->emitInterfacesAddedSignal();
  }

  void removeNode(const std::string& path) {
    auto it = nodes_.find(path);
    if (it == nodes_.end()) return;
    it->second.object->emitInterfacesRemovedSignal();
    nodes_.erase(it);
  }

  void set(const std::string& path, const std::string& interface, const Props& changed) {
    auto it = nodes_.find(path);
    if (it == nodes_.end()) return;
    std::map<std::string, sdbus::Variant> values;
    for (const auto& [k, v] : changed) {
      it->second.props[interface][k] = v;
      values.emplace(k, toVariant(v));
    }
    emitChanged(path, interface, values);
  }

  void emitChanged(const std::string& path, const std::string& interface,
                   const std::map<std::string, sdbus::Variant>& values) {
    auto signal = makeSignal(path, kProperties, "PropertiesChanged");
    signal << interface << values << std::vector<std::string>{};
    signal.send();
  }

  sdbus::Signal makeSignal(const std::string& path, const std::string& interface, const std::string& member) {
    auto it = nodes_.find(path);
    if (it != nodes_.end()) return it->second.object->createSignal(interface, member);
    // A path with no object (hostile traffic): borrow a short-lived one.
    scratch_ = sdbus::createObject(connection_, path);
    return scratch_->createSignal(interface, member);
  }

  // ---- the adapter ----
  void registerAdapter(sdbus::IObject& o) {
    o.registerMethod(kAdapter, "StartDiscovery", "", "", [this](sdbus::MethodCall call) {
      if (!powered()) return call.createErrorReply(bluezError("NotReady", "Resource Not Ready")).send();
      discovering_ = true;
      central_->scanForPeripherals({}, true);
      set(kAdapterPath, kAdapter, {{"Discovering", true}});
      call.createReply().send();
    });
    o.registerMethod(kAdapter, "StopDiscovery", "", "", [this](sdbus::MethodCall call) {
      if (!discovering_) return call.createErrorReply(bluezError("Failed", "No discovery started")).send();
      stopDiscovery();
      call.createReply().send();
    });
    o.registerMethod(kAdapter, "SetDiscoveryFilter", "a{sv}", "", [this](sdbus::MethodCall call) {
      std::map<std::string, sdbus::Variant> filter;
      call >> filter;
      filter_.clear();
      if (auto it = filter.find("UUIDs"); it != filter.end() && it->second.containsValueOfType<std::vector<std::string>>())
        for (const auto& s : it->second.get<std::vector<std::string>>())
          if (auto u = BluetoothUUID::parse(s)) filter_.push_back(*u);
      call.createReply().send();
    });
    o.registerMethod(kAdapter, "RemoveDevice", "o", "", [this](sdbus::MethodCall call) {
      sdbus::ObjectPath path;
      call >> path;
      for (auto it = devices_.begin(); it != devices_.end(); ++it) {
        if (it->second.path != path) continue;
        if (it->second.connected) central_->cancelPeripheralConnection(it->second.peripheral);
        removeGatt(it->second);
        removeNode(path);
        devices_.erase(it);
        return call.createReply().send();
      }
      call.createErrorReply(bluezError("DoesNotExist", "Does Not Exist")).send();
    });
  }

  bool powered() const { return world_->adapterState() == vpk::BluetoothAdapterState::PoweredOn; }

  void stopDiscovery() {
    discovering_ = false;
    central_->stopScan();
    set(kAdapterPath, kAdapter, {{"Discovering", false}});
  }

  void setPowered(bool on) {
    if (on == powered()) return;
    if (!on) {
      // As BlueZ does: the links go first, then the adapter.
      for (auto& [id, d] : devices_)
        if (d.connected) linkDown(d, "org.bluez.Reason.Local");
      if (discovering_) stopDiscovery();
      world_->setAdapterPoweredOn(false);
      set(kAdapterPath, kAdapter, {{"Powered", false}, {"PowerState", std::string("off")}});
      for (auto& [id, d] : devices_) replyConnects(d.peripheral, bluezError("Failed", "Not powered"));
    } else {
      world_->setAdapterPoweredOn(true);
      set(kAdapterPath, kAdapter, {{"Powered", true}, {"PowerState", std::string("on")}});
    }
  }

  // ---- devices ----
  static std::string addressOf(const BluetoothUUID& id) {
    const auto& b = id.bytes();
    return fmt::format("{:02X}:{:02X}:{:02X}:{:02X}:{:02X}:{:02X}", b[10], b[11], b[12], b[13], b[14], b[15]);
  }

  void heard(const BluetoothPeripheralPtr& p, const vpk::BluetoothAdvertisementData& a, std::optional<int> rssi) {
    if (!discovering_) return;
    if (!filter_.empty()) {
      bool match = false;
      for (const auto& u : filter_) match = match || a.advertisesService(u);
      if (!match) return;
    }
    std::vector<std::string> uuids;
    for (const auto& u : a.serviceUUIDs) uuids.push_back(lower(u.fullString()));
    Device& d = devices_[p->identifier()];
    Props changed{{"RSSI", static_cast<int16_t>(rssi.value_or(-127))}, {"UUIDs", uuids}};
    if (a.localName) {
      changed["Name"] = *a.localName;
      changed["Alias"] = *a.localName;
    }
    if (!d.path.empty()) {
      set(d.path, kDevice, changed);
      return;
    }
    d.peripheral = p;
    const std::string address = addressOf(p->identifier());
    std::string path = std::string(kAdapterPath) + "/dev_" + address;
    std::replace(path.begin(), path.end(), ':', '_');
    d.path = path;
    Props props{{"Address", address},
                {"AddressType", std::string("random")},
                {"Adapter", sdbus::ObjectPath(kAdapterPath)},
                {"Alias", a.localName.value_or(address)},
                {"Paired", false},
                {"Trusted", false},
                {"Connected", false},
                {"ServicesResolved", false}};
    for (const auto& [k, v] : changed) props[k] = v;
    const BluetoothUUID id = p->identifier();
    addNode(path, kDevice, props, [this, id](sdbus::IObject& o) { registerDevice(o, id); });
  }

  void registerDevice(sdbus::IObject& o, BluetoothUUID id) {
    o.registerMethod(kDevice, "Connect", "", "", [this, id](sdbus::MethodCall call) {
      Device& d = devices_[id];
      if (d.connected) return call.createErrorReply(bluezError("AlreadyConnected", "Already Connected")).send();
      if (!powered()) return call.createErrorReply(bluezError("NotReady", "Resource Not Ready")).send();
      d.connects.push_back(call);
      if (d.connects.size() == 1) central_->connect(d.peripheral);
    });
    o.registerMethod(kDevice, "Disconnect", "", "", [this, id](sdbus::MethodCall call) {
      Device& d = devices_[id];
      central_->cancelPeripheralConnection(d.peripheral);
      if (!d.connected) replyConnects(d.peripheral, bluezError("Failed", "Operation canceled"));
      call.createReply().send();
    });
    o.registerMethod(kDevice, "Pair", "", "", [](sdbus::MethodCall call) {
      call.createErrorReply(bluezError("NotSupported", "Pairing is not needed")).send();
    });
  }

  void replyConnects(const BluetoothPeripheralPtr& p, const std::optional<sdbus::Error>& error) {
    if (!p) return;
    auto& calls = devices_[p->identifier()].connects;
    for (auto& call : calls) {
      if (error) call.createErrorReply(*error).send();
      else call.createReply().send();
    }
    calls.clear();
  }

  void connected(const BluetoothPeripheralPtr& p) {
    Device& d = devices_[p->identifier()];
    d.connected = true;
    set(d.path, kDevice, {{"Connected", true}});
    p->setDelegate(weak_from_this());
    p->discoverServices({});
  }

  void servicesResolved(const BluetoothPeripheralPtr& p) {
    Device& d = devices_[p->identifier()];
    if (!d.connected) return;
    unsigned handle = 0x0c;
    for (const auto& s : p->services()) {
      const std::string servicePath = fmt::format("{}/service{:04x}", d.path, handle++);
      addNode(servicePath, kService,
              {{"UUID", lower(s->uuid().fullString())}, {"Primary", true}, {"Device", sdbus::ObjectPath(d.path)}}, {});
      d.gattPaths.push_back(servicePath);
      for (const auto& c : s->characteristics()) {
        const std::string path = fmt::format("{}/char{:04x}", servicePath, handle);
        handle += 2;
        std::vector<std::string> flags;
        if (c->hasProperty(vpk::BluetoothPropertyRead)) flags.push_back("read");
        if (c->hasProperty(vpk::BluetoothPropertyWriteWithoutResponse)) flags.push_back("write-without-response");
        if (c->hasProperty(vpk::BluetoothPropertyWrite)) flags.push_back("write");
        if (c->hasProperty(vpk::BluetoothPropertyNotify)) flags.push_back("notify");
        if (c->hasProperty(vpk::BluetoothPropertyIndicate)) flags.push_back("indicate");
        Props props{{"UUID", lower(c->uuid().fullString())},
                    {"Service", sdbus::ObjectPath(servicePath)},
                    {"Flags", flags},
                    {"Value", std::vector<uint8_t>{}},
                    {"Notifying", false},
                    {"MTU", static_cast<uint16_t>(23)}};
        const BluetoothUUID id = p->identifier();
        addNode(path, kCharacteristic, props, [this, id, c](sdbus::IObject& o) { registerCharacteristic(o, id, c); });
        d.characteristics[path] = c;
        d.gattPaths.push_back(path);
      }
    }
    set(d.path, kDevice, {{"ServicesResolved", true}});
    replyConnects(p, std::nullopt);
  }

  void registerCharacteristic(sdbus::IObject& o, BluetoothUUID id, BluetoothCharacteristicPtr c) {
    o.registerMethod(kCharacteristic, "StartNotify", "", "", [this, id, c](sdbus::MethodCall call) {
      Device& d = devices_[id];
      if (!d.connected) return call.createErrorReply(bluezError("NotConnected", "Not Connected")).send();
      d.notifies[c.get()].push_back(call);
      d.peripheral->setNotifyValue(true, c);
    });
    o.registerMethod(kCharacteristic, "StopNotify", "", "", [this, id, c](sdbus::MethodCall call) {
      Device& d = devices_[id];
      if (!d.connected) return call.createErrorReply(bluezError("NotConnected", "Not Connected")).send();
      d.notifies[c.get()].push_back(call);
      d.peripheral->setNotifyValue(false, c);
    });
    o.registerMethod(kCharacteristic, "WriteValue", "aya{sv}", "", [this, id, c](sdbus::MethodCall call) {
      std::vector<uint8_t> value;
      std::map<std::string, sdbus::Variant> options;
      call >> value >> options;
      Device& d = devices_[id];
      if (!d.connected) return call.createErrorReply(bluezError("NotConnected", "Not Connected")).send();
      std::string type = "request";
      if (auto it = options.find("type"); it != options.end() && it->second.containsValueOfType<std::string>())
        type = it->second.get<std::string>();
      if (type == "command") {
        d.peripheral->writeValue(value, c, vpk::BluetoothWriteType::WithoutResponse);
        return call.createReply().send();
      }
      d.writes[c.get()].push_back(call);
      d.peripheral->writeValue(value, c, vpk::BluetoothWriteType::WithResponse);
    });
    o.registerMethod(kCharacteristic, "ReadValue", "a{sv}", "ay", [](sdbus::MethodCall call) {
      call.createErrorReply(bluezError("NotPermitted", "Read not permitted")).send();
    });
  }

  std::string pathOf(const Device& d, const BluetoothCharacteristicPtr& c) const {
    for (const auto& [path, known] : d.characteristics)
      if (known == c) return path;
    return {};
  }

  void notified(const BluetoothPeripheralPtr& p, const BluetoothCharacteristicPtr& c, const std::vector<uint8_t>& value) {
    Device& d = devices_[p->identifier()];
    if (auto path = pathOf(d, c); !path.empty()) set(path, kCharacteristic, {{"Value", value}});
  }

  void removeGatt(Device& d) {
    for (auto it = d.gattPaths.rbegin(); it != d.gattPaths.rend(); ++it) removeNode(*it);
    d.gattPaths.clear();
    d.characteristics.clear();
    for (auto* pending : {&d.writes, &d.notifies})
      for (auto& [c, calls] : *pending)
        for (auto& call : calls) call.createErrorReply(bluezError("NotConnected", "Not Connected")).send();
    d.writes.clear();
    d.notifies.clear();
  }

  void linkDown(Device& d, const std::string& reason) {
    d.connected = false;
    auto signal = makeSignal(d.path, kDevice, "Disconnected");
    signal << reason << std::string("Disconnected");
    signal.send();
    removeGatt(d);
    set(d.path, kDevice, {{"ServicesResolved", false}, {"Connected", false}});
  }

  void disconnected(const BluetoothPeripheralPtr& p, const std::optional<BluetoothError>& error) {
    Device& d = devices_[p->identifier()];
    if (!d.connected) {
      replyConnects(p, bluezError("Failed", "Operation canceled"));
      return;
    }
    std::string reason = "org.bluez.Reason.Local";
    if (error) reason = error->is(vpk::BluetoothErrorCode::PeripheralDisconnected) ? "org.bluez.Reason.Remote"
                                                                                    : "org.bluez.Reason.Timeout";
    linkDown(d, reason);
  }

  // ---- control ----
  Device* firstConnected() {
    for (auto& [id, d] : devices_)
      if (d.connected) return &d;
    return nullptr;
  }

  std::string rxPath(const Device& d) const {
    for (const auto& [path, c] : d.characteristics)
      if (c->uuid() == vpk::SimulatedHeadband::rxCharacteristicUUID()) return path;
    return {};
  }

  void emitStamp() {
    Device* d = firstConnected();
    if (!d) return;
    const uint64_t ns = monotonicNanoseconds();
    std::vector<uint8_t> value{0xFD};
    for (int i = 0; i < 8; ++i) value.push_back(static_cast<uint8_t>(ns >> (8 * i)));
    if (auto path = rxPath(*d); !path.empty()) set(path, kCharacteristic, {{"Value", value}});
  }

  // Property values of the wrong types, and signals with the wrong bodies.
  void hostile() {
    using V = std::map<std::string, sdbus::Variant>;
    const std::string fake = std::string(kAdapterPath) + "/dev_66_66_66_66_66_66";
    {
      auto s = makeSignal("/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
      std::map<std::string, V> interfaces{
          {kDevice, V{{"Address", sdbus::Variant(int32_t{7})}, {"Name", sdbus::Variant(uint32_t{5})},
                      {"RSSI", sdbus::Variant(std::string("loud"))}, {"UUIDs", sdbus::Variant(int32_t{3})},
                      {"Connected", sdbus::Variant(std::string("yes"))}}}};
      s << sdbus::ObjectPath(fake) << interfaces;
      s.send();
    }
    {
      auto s = makeSignal("/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
      s << std::string("not an object path");
      s.send();
    }
    for (auto& [id, d] : devices_) {
      emitChanged(d.path, kDevice,
                  V{{"RSSI", sdbus::Variant(std::string("strong"))}, {"Connected", sdbus::Variant(std::string("yes"))},
                    {"ServicesResolved", sdbus::Variant(int32_t{1})}, {"Name", sdbus::Variant(std::vector<uint8_t>{0xff})},
                    {"UUIDs", sdbus::Variant(std::vector<std::string>{"not-a-uuid", "zz"})}});
      for (const auto& [path, c] : d.characteristics)
        emitChanged(path, kCharacteristic, V{{"Value", sdbus::Variant(std::string("oops"))}});
      auto s = makeSignal(d.path, kProperties, "PropertiesChanged");
      s << std::string(kDevice) << int32_t{42};
      s.send();
    }
    emitChanged(kAdapterPath, kAdapter, V{{"Powered", sdbus::Variant(std::string("maybe"))}});
  }

  std::string control(const std::string& line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    auto bands = world_->headbands();
    if (command == "power") {
      std::string state;
      in >> state;
      setPowered(state == "on");
    } else if (command == "fail-writes") {
      unsigned n = 1;
      in >> n;
      for (auto& b : bands) b->failNextWrites(n);
    } else if (command == "drop-link") {
      for (auto& b : bands) b->dropLink(0);
    } else if (command == "power-off-headband") {
      for (auto& b : bands) b->powerOff();
    } else if (command == "refuse") {
      std::string state;
      in >> state;
      for (auto& b : bands) b->setRefusesConnections(state == "on");
    } else if (command == "hostile") {
      hostile();
    } else if (command == "stamp") {
      unsigned count = 0, milliseconds = 12;
      in >> count >> milliseconds;
      stampsLeft_ = count;
      stampInterval_ = uint64_t{milliseconds} * 1000000ull;
      nextStamp_ = monotonicNanoseconds();
    } else if (command == "packets") {
      uint64_t n = 0;
      for (auto& b : bands) n += b->packetsSent();
      return std::to_string(n);
    } else if (command == "quit") {
      quitting = true;
    } else {
      return "unknown command";
    }
    return "ok";
  }

  sdbus::IConnection& connection_;
  Loop& loop_;
  Options options_;
  vpk::SimulatedWorldPtr world_;
  std::shared_ptr<vpk::BluetoothCentral> central_;
  std::unique_ptr<sdbus::IObject> root_, control_, scratch_;
  std::map<std::string, Node> nodes_;
  std::map<BluetoothUUID, Device> devices_;
  std::vector<BluetoothUUID> filter_;
  bool discovering_ = false;
  unsigned stampsLeft_ = 0;
  uint64_t stampInterval_ = 0, nextStamp_ = 0;
};

int run(const MockBlueZ::Options& options) {
  wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  std::signal(SIGTERM, onSignal);
  std::signal(SIGINT, onSignal);
  std::unique_ptr<sdbus::IConnection> connection;
  try {
    connection = sdbus::createSystemBusConnection();
  } catch (const sdbus::Error& e) {
    std::fprintf(stderr, "vemra-mock-bluez: no system bus: %s\n", e.what());
    return 1;
  }
  Loop loop;
  auto mock = std::make_shared<MockBlueZ>(*connection, loop, options);
  try {
    mock->start();
  } catch (const sdbus::Error& e) {
    std::fprintf(stderr, "vemra-mock-bluez: cannot serve org.bluez: %s\n", e.what());
    return 1;
  }
  // A predecessor that was just killed may hold the name a little longer.
  for (int attempt = 0;; ++attempt) {
    try {
      connection->requestName("org.bluez");
      break;
    } catch (const sdbus::Error& e) {
      if (attempt == 100) {
        std::fprintf(stderr, "vemra-mock-bluez: cannot own org.bluez: %s\n", e.what());
        return 1;
      }
      ::usleep(20000);
    }
  }
  std::printf("ready\n");
  std::fflush(stdout);
  try {
    while (!quitting) {
      while (connection->processPendingRequest()) {
      }
      const auto poll = connection->getEventLoopPollData();
      int timeout = -1;
      if (poll.timeout_usec != UINT64_MAX) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const uint64_t now = static_cast<uint64_t>(ts.tv_sec) * 1000000ull + static_cast<uint64_t>(ts.tv_nsec) / 1000;
        timeout = poll.timeout_usec > now ? static_cast<int>((poll.timeout_usec - now + 999) / 1000) : 0;
      }
      const int stamp = mock->tick();
      if (stamp >= 0 && (timeout < 0 || stamp < timeout)) timeout = stamp;
      pollfd fds[2] = {{poll.fd, poll.events, 0}, {wakeFd, POLLIN, 0}};
      ::poll(fds, 2, timeout);
      if (fds[1].revents & POLLIN) {
        uint64_t n = 0;
        [[maybe_unused]] auto r = ::read(wakeFd, &n, sizeof n);
      }
      loop.runPending();
    }
  } catch (const sdbus::Error& e) {
    std::fprintf(stderr, "vemra-mock-bluez: the bus failed: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Standard output carries only the "ready" line; the library's log lines go to standard error.
  VPKLogSetSink([](std::string_view line) { std::fwrite(line.data(), 1, line.size(), stderr); });
  CLI::App app{"Serves simulated Vemra headbands as org.bluez on the system bus (DBUS_SYSTEM_BUS_ADDRESS)"};
  MockBlueZ::Options options;
  app.add_option("--headbands", options.headbands, "Number of simulated headbands")->check(CLI::Range(0, 16));
  app.add_option("--scenario", options.scenario, "Signal scenario of the headbands")
      ->check(CLI::IsMember(vpk::SimulatedSignalScenario::names()));
  app.add_option("--seed", options.seed, "Seed of the simulated world");
  app.add_flag("--update-mode", options.updateMode, "Add a headband waiting in firmware-update mode");
  app.add_flag("--powered-off", options.poweredOff, "Start with the adapter off");
  CLI11_PARSE(app, argc, argv);
  return run(options);
}
