#pragma once
// The D-Bus side of the BlueZ backend: one system-bus connection, its event loop in a
// thread of our own, every org.bluez signal decoded into plain values, and asynchronous
// method calls whose replies are decoded the same way.
//
// Threads: the sink and every reply handler are called on the event-loop thread. They
// receive plain values (no D-Bus types), so the receiver copies nothing that is tied to
// the connection; it must return quickly and never call back into the bus synchronously.
// call() may be used from any thread. A failure inside the loop (the bus going away)
// ends the loop, logs a line and reports a BusLost event; it never ends the process.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace sdbus {
class IConnection;
class IProxy;
class MethodCall;
}  // namespace sdbus

namespace vpk::detail {

/// A property value as far as the backend cares: the types BlueZ uses for the properties
/// we read. Anything else decodes to Unsupported (the key is still present).
struct BusUnsupported {
  std::string signature;
  friend bool operator==(const BusUnsupported&, const BusUnsupported&) = default;
};
using BusValue = std::variant<BusUnsupported, bool, int64_t, std::string, std::vector<std::string>, std::vector<uint8_t>>;
using BusProperties = std::map<std::string, BusValue>;
/// Interfaces of one object and their properties.
using BusInterfaces = std::map<std::string, BusProperties>;

template <typename T>
const T* busGet(const BusProperties& props, const std::string& key) {
  auto it = props.find(key);
  return it == props.end() ? nullptr : std::get_if<T>(&it->second);
}

struct BusError {
  std::string name;
  std::string message;
};

struct BusEvent {
  enum class Kind {
    InterfacesAdded,    ///< path, interfaces
    InterfacesRemoved,  ///< path, removed
    PropertiesChanged,  ///< path, interface, interfaces[interface] (changed), removed (invalidated)
    Disconnected,       ///< path: Device1's Disconnected signal, text = reason name
    OwnerChanged,       ///< text = the new owner of org.bluez ("" when it left)
    SnapshotDone,       ///< the managed objects (sent as InterfacesAdded) are all delivered
    BusLost,            ///< the connection failed; nothing more will come
  };
  Kind kind = Kind::InterfacesAdded;
  std::string path;
  std::string interface;
  BusInterfaces interfaces;
  std::vector<std::string> removed;
  std::string text;
};

class BlueZBus {
 public:
  using Sink = std::function<void(BusEvent)>;
  using Reply = std::function<void(const std::optional<BusError>&)>;
  using Fill = std::function<void(sdbus::MethodCall&)>;

  static constexpr const char* kService = "org.bluez";

  /// Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set), subscribes to
  /// org.bluez's signals and starts the event loop. nullptr (and a log line) when there is
  /// no system bus.
  static std::unique_ptr<BlueZBus> open(Sink sink);
  ~BlueZBus();
  BlueZBus(const BlueZBus&) = delete;
  BlueZBus& operator=(const BlueZBus&) = delete;

  /// Asks for org.bluez's object tree; its objects come to the sink as InterfacesAdded
  /// events followed by SnapshotDone (or only SnapshotDone when BlueZ does not answer).
  void requestSnapshot();
  /// Calls `method` of `interface` on org.bluez's object `path`; `fill` adds the
  /// arguments; `reply` (may be empty) hears the outcome. A call that cannot be sent is
  /// answered at once with an error.
  void call(const std::string& path, const std::string& interface, const std::string& method, const Fill& fill,
            Reply reply, double timeoutSeconds = 25);

  /// What the system bus tells about BlueZ, asked synchronously with short timeouts.
  struct Adapter {
    std::string path, address, name;
    bool powered = false;
  };
  struct Presence {
    bool bus = false;    ///< a system bus answered
    bool bluez = false;  ///< org.bluez has an owner
    std::vector<Adapter> adapters;
  };
  static Presence probe();

 private:
  explicit BlueZBus(Sink sink);
  sdbus::IProxy& proxy(const std::string& path);
  void deliver(BusEvent event);
  void runLoop();

  Sink sink_;
  std::unique_ptr<sdbus::IConnection> connection_;
  struct Proxies;
  std::unique_ptr<Proxies> proxies_;
  std::thread loop_;
};

}  // namespace vpk::detail
