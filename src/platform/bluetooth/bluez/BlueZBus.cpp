#include "platform/bluetooth/bluez/BlueZBus.h"

#include <VemraPlatformKit/frame/VPKLog.h>

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>

namespace vpk::detail {

namespace {

using VariantMap = std::map<std::string, sdbus::Variant>;
using InterfaceMap = std::map<std::string, VariantMap>;

constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";

bool isBlueZPath(const std::string& path) { return path == "/org/bluez" || path.rfind("/org/bluez/", 0) == 0; }

uint64_t microseconds(double seconds) { return static_cast<uint64_t>(seconds * 1e6); }

// Reads one property value. Only the types BlueZ uses for what we read are decoded;
// anything else (a hostile or newer peer) becomes BusUnsupported.
BusValue decode(const sdbus::Variant& v) {
  const std::string t = v.peekValueType();
  if (t == "b") return v.get<bool>();
  if (t == "n") return static_cast<int64_t>(v.get<int16_t>());
  if (t == "q") return static_cast<int64_t>(v.get<uint16_t>());
  if (t == "i") return static_cast<int64_t>(v.get<int32_t>());
  if (t == "u") return static_cast<int64_t>(v.get<uint32_t>());
  if (t == "y") return static_cast<int64_t>(v.get<uint8_t>());
  if (t == "s") return v.get<std::string>();
  if (t == "o") return std::string(v.get<sdbus::ObjectPath>());
  if (t == "as") return v.get<std::vector<std::string>>();
  if (t == "ao") {
    std::vector<std::string> out;
    for (auto& p : v.get<std::vector<sdbus::ObjectPath>>()) out.push_back(p);
    return out;
  }
  if (t == "ay") return v.get<std::vector<uint8_t>>();
  return BusUnsupported{t};
}

BusProperties decode(const VariantMap& in) {
  BusProperties out;
  for (const auto& [key, value] : in) out.emplace(key, decode(value));
  return out;
}

BusInterfaces decode(const InterfaceMap& in) {
  BusInterfaces out;
  for (const auto& [name, props] : in) out.emplace(name, decode(props));
  return out;
}

}  // namespace

struct BlueZBus::Proxies {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<sdbus::IProxy>> byPath;
};

BlueZBus::BlueZBus(Sink sink) : sink_(std::move(sink)), proxies_(std::make_unique<Proxies>()) {}

std::unique_ptr<BlueZBus> BlueZBus::open(Sink sink) {
  std::unique_ptr<BlueZBus> bus(new BlueZBus(std::move(sink)));
  try {
    bus->connection_ = sdbus::createSystemBusConnection();
    BlueZBus* self = bus.get();
    // Subscribe before anything is asked, so that no change falls between the snapshot
    // and the first signal.
    self->connection_->addMatch(
        std::string("type='signal',interface='") + kObjectManager + "'",
        [self](sdbus::Message& msg) {
          try {
            sdbus::ObjectPath path;
            BusEvent e;
            if (msg.getMemberName() == "InterfacesAdded") {
              InterfaceMap interfaces;
              msg >> path >> interfaces;
              e.kind = BusEvent::Kind::InterfacesAdded;
              e.interfaces = decode(interfaces);
            } else if (msg.getMemberName() == "InterfacesRemoved") {
              msg >> path >> e.removed;
              e.kind = BusEvent::Kind::InterfacesRemoved;
            } else {
              return;
            }
            e.path = path;
            if (isBlueZPath(e.path)) self->deliver(std::move(e));
          } catch (const std::exception& x) {
            VPKLog(1, "BlueZ: ignoring a malformed {} signal: {}", msg.getMemberName(), x.what());
          }
        },
        sdbus::floating_slot);
    self->connection_->addMatch(
        std::string("type='signal',interface='") + kProperties + "',member='PropertiesChanged',path_namespace='/org/bluez'",
        [self](sdbus::Message& msg) {
          try {
            BusEvent e;
            e.kind = BusEvent::Kind::PropertiesChanged;
            e.path = msg.getPath();
            VariantMap changed;
            msg >> e.interface >> changed >> e.removed;
            e.interfaces[e.interface] = decode(changed);
            self->deliver(std::move(e));
          } catch (const std::exception& x) {
            VPKLog(1, "BlueZ: ignoring a malformed PropertiesChanged signal on {}: {}", msg.getPath(), x.what());
          }
        },
        sdbus::floating_slot);
    self->connection_->addMatch(
        "type='signal',interface='org.bluez.Device1',member='Disconnected',path_namespace='/org/bluez'",
        [self](sdbus::Message& msg) {
          try {
            BusEvent e;
            e.kind = BusEvent::Kind::Disconnected;
            e.path = msg.getPath();
            msg >> e.text;
            self->deliver(std::move(e));
          } catch (const std::exception& x) {
            VPKLog(1, "BlueZ: ignoring a malformed Disconnected signal: {}", x.what());
          }
        },
        sdbus::floating_slot);
    self->connection_->addMatch(
        "type='signal',interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.bluez'",
        [self](sdbus::Message& msg) {
          try {
            std::string name, before, after;
            msg >> name >> before >> after;
            if (name != kService) return;
            BusEvent e;
            e.kind = BusEvent::Kind::OwnerChanged;
            e.text = after;
            self->deliver(std::move(e));
          } catch (const std::exception& x) {
            VPKLog(1, "BlueZ: ignoring a malformed NameOwnerChanged signal: {}", x.what());
          }
        },
        sdbus::floating_slot);
  } catch (const std::exception& x) {
    VPKLog(1, "BlueZ: no system bus: {}", x.what());
    return nullptr;
  }
  bus->loop_ = std::thread([self = bus.get()] { self->runLoop(); });
  return bus;
}

void BlueZBus::runLoop() {
  try {
    connection_->enterEventLoop();
    return;  // left on purpose
  } catch (const std::exception& x) {
    VPKLog(1, "BlueZ: the system bus connection failed: {}", x.what());
  } catch (...) {
    VPKLog(1, "BlueZ: the system bus connection failed");
  }
  BusEvent e;
  e.kind = BusEvent::Kind::BusLost;
  deliver(std::move(e));
}

BlueZBus::~BlueZBus() {
  try {
    connection_->leaveEventLoop();
  } catch (const std::exception& x) {
    VPKLog(1, "BlueZ: leaving the event loop: {}", x.what());
  }
  if (loop_.joinable()) loop_.join();
  // Proxies drop their pending calls (no reply handler runs) before the connection goes.
  std::lock_guard<std::mutex> lock(proxies_->mutex);
  proxies_->byPath.clear();
}

void BlueZBus::deliver(BusEvent event) {
  try {
    sink_(std::move(event));
  } catch (const std::exception& x) {
    VPKLog(1, "BlueZ: an event handler failed: {}", x.what());
  } catch (...) {
    VPKLog(1, "BlueZ: an event handler failed");
  }
}

sdbus::IProxy& BlueZBus::proxy(const std::string& path) {
  std::lock_guard<std::mutex> lock(proxies_->mutex);
  auto& slot = proxies_->byPath[path];
  if (!slot) slot = sdbus::createProxy(*connection_, kService, path);
  return *slot;
}

void BlueZBus::call(const std::string& path, const std::string& interface, const std::string& method,
                    const Fill& fill, Reply reply, double timeoutSeconds) {
  auto handler = [this, reply](sdbus::MethodReply&, const sdbus::Error* error) {
    if (!reply) return;
    std::optional<BusError> outcome;
    if (error) outcome = BusError{error->getName(), error->getMessage()};
    try {
      reply(outcome);
    } catch (const std::exception& x) {
      VPKLog(1, "BlueZ: a reply handler failed: {}", x.what());
    } catch (...) {
      VPKLog(1, "BlueZ: a reply handler failed");
    }
  };
  try {
    auto& p = proxy(path);
    auto message = p.createMethodCall(interface, method);
    if (fill) fill(message);
    p.callMethod(message, std::move(handler), microseconds(timeoutSeconds));
  } catch (const sdbus::Error& x) {
    if (reply) reply(BusError{x.getName(), x.getMessage()});
  } catch (const std::exception& x) {
    if (reply) reply(BusError{"org.freedesktop.DBus.Error.Failed", x.what()});
  }
}

void BlueZBus::requestSnapshot() {
  try {
    auto& p = proxy("/");
    auto message = p.createMethodCall(kObjectManager, "GetManagedObjects");
    p.callMethod(
        message,
        [this](sdbus::MethodReply& reply, const sdbus::Error* error) {
          BusEvent done;
          done.kind = BusEvent::Kind::SnapshotDone;
          try {
            if (!error) {
              std::map<sdbus::ObjectPath, InterfaceMap> objects;
              reply >> objects;
              for (const auto& [path, interfaces] : objects) {
                if (!isBlueZPath(path)) continue;
                BusEvent e;
                e.kind = BusEvent::Kind::InterfacesAdded;
                e.path = path;
                e.interfaces = decode(interfaces);
                deliver(std::move(e));
              }
              done.text = "ok";
            }
          } catch (const std::exception& x) {
            VPKLog(1, "BlueZ: ignoring a malformed object tree: {}", x.what());
            done.text = "ok";
          }
          deliver(std::move(done));
        },
        microseconds(5));
  } catch (const std::exception& x) {
    VPKLog(1, "BlueZ: cannot ask for the object tree: {}", x.what());
    BusEvent done;
    done.kind = BusEvent::Kind::SnapshotDone;
    deliver(std::move(done));
  }
}

BlueZBus::Presence BlueZBus::probe() {
  Presence presence;
  try {
    auto connection = sdbus::createSystemBusConnection();
    presence.bus = true;
    auto dbus = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    bool owned = false;
    dbus->callMethod("NameHasOwner")
        .onInterface("org.freedesktop.DBus")
        .withTimeout(std::chrono::milliseconds(500))
        .withArguments(std::string(kService))
        .storeResultsTo(owned);
    presence.bluez = owned;
    if (!owned) return presence;
    auto root = sdbus::createProxy(*connection, kService, "/");
    std::map<sdbus::ObjectPath, InterfaceMap> objects;
    root->callMethod("GetManagedObjects")
        .onInterface(kObjectManager)
        .withTimeout(std::chrono::milliseconds(1000))
        .storeResultsTo(objects);
    for (const auto& [path, interfaces] : objects) {
      auto it = interfaces.find("org.bluez.Adapter1");
      if (it == interfaces.end()) continue;
      const BusProperties props = decode(it->second);
      Adapter a;
      a.path = path;
      if (auto s = busGet<std::string>(props, "Address")) a.address = *s;
      if (auto s = busGet<std::string>(props, "Name")) a.name = *s;
      if (auto b = busGet<bool>(props, "Powered")) a.powered = *b;
      presence.adapters.push_back(a);
    }
  } catch (const std::exception& x) {
    VPKLog(0, "BlueZ: probe: {}", x.what());
  }
  return presence;
}

}  // namespace vpk::detail
