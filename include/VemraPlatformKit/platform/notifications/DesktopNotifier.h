#pragma once
/// @file DesktopNotifier.h
/// Desktop notifications: a short message shown by the user's notification server
/// (org.freedesktop.Notifications on the session bus), where the desktop offers one.
///
/// The library uses it for the platform's user alerts, such as "Bluetooth is off" when a
/// central is created with BluetoothCentralOptions::showPowerAlert and the adapter is off.
/// Applications may use it for their own alerts.
///
///   vpk::DesktopNotification n;
///   n.summary = "Bluetooth is off";
///   n.body = "Turn on Bluetooth to connect your headband.";
///   vpk::DesktopNotifier::showAsync(n);
///
/// Where no session bus or no notification server is reachable (a server, a container, a
/// test), nothing is shown: show() returns nullopt and a log line says why.
///
/// Threads: every function may be called from any thread. show() blocks for at most
/// about one second; showAsync() returns at once and does its work on a background queue.

#include <VemraPlatformKit/VPKExport.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vpk {

struct DesktopNotification {
  std::string applicationName = "Vemra";
  std::string summary;
  std::string body;
  /// An icon name of the desktop's theme ("bluetooth-disabled"), or empty.
  std::string icon;
  /// How long it stays, in milliseconds; -1: the server's default; 0: until dismissed.
  int timeoutMilliseconds = -1;
  /// Urgency "critical" instead of "normal" (servers keep those on screen).
  bool critical = false;
};

class VPK_EXPORT DesktopNotifier {
 public:
  /// Whether the session bus has a notification server right now.
  static bool isAvailable();
  /// Shows `notification`; the server's identifier of it, or nullopt when none was shown.
  static std::optional<uint32_t> show(const DesktopNotification& notification);
  /// As show(), on a background queue; `completion` (may be empty) is called there.
  static void showAsync(DesktopNotification notification,
                        std::function<void(std::optional<uint32_t>)> completion = nullptr);
};

}  // namespace vpk
