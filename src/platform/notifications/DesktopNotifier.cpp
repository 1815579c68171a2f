#include <VemraPlatformKit/platform/notifications/DesktopNotifier.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <map>
#include <vector>

namespace vpk {

namespace {

constexpr const char* kServer = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr auto kTimeout = std::chrono::milliseconds(1000);

}  // namespace

bool DesktopNotifier::isAvailable() {
  try {
    auto connection = sdbus::createSessionBusConnection();
    auto bus = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    bool owned = false;
    bus->callMethod("NameHasOwner")
        .onInterface("org.freedesktop.DBus")
        .withTimeout(kTimeout)
        .withArguments(std::string(kServer))
        .storeResultsTo(owned);
    return owned;
  } catch (const std::exception& x) {
    VPKLog(0, "Desktop notifications: no session bus: {}", x.what());
    return false;
  }
}

std::optional<uint32_t> DesktopNotifier::show(const DesktopNotification& n) {
  try {
    auto connection = sdbus::createSessionBusConnection();
    auto server = sdbus::createProxy(*connection, kServer, kPath);
    std::map<std::string, sdbus::Variant> hints{{"urgency", sdbus::Variant(static_cast<uint8_t>(n.critical ? 2 : 1))}};
    uint32_t id = 0;
    server->callMethod("Notify")
        .onInterface(kServer)
        .withTimeout(kTimeout)
        .withArguments(n.applicationName, uint32_t{0}, n.icon, n.summary, n.body, std::vector<std::string>{}, hints,
                       int32_t{n.timeoutMilliseconds})
        .storeResultsTo(id);
    return id;
  } catch (const std::exception& x) {
    VPKLog(1, "Desktop notifications: \"{}\" not shown: {}", n.summary, x.what());
    return std::nullopt;
  }
}

void DesktopNotifier::showAsync(DesktopNotification notification,
                                std::function<void(std::optional<uint32_t>)> completion) {
  DispatchQueue::global(QueuePriority::Background)->async([n = std::move(notification), completion] {
    auto id = show(n);
    if (completion) completion(id);
  });
}

}  // namespace vpk
