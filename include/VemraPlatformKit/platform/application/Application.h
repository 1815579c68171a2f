#pragma once
/// @file Application.h
/// The application's life on Linux: what a phone platform tells a library about its host
/// application (it will resign active, it will terminate), background tasks that finish
/// work before the process ends, and the user-alert interface.
///
/// A Linux program has no platform that announces these moments, so the application says
/// them itself: VemraPlatformKit::applicationWillTerminate() (or Application::willTerminate())
/// on a normal exit and from its SIGINT / SIGTERM handling path (not from inside the signal
/// handler: set a flag there and call it from the main loop). The library then saves its
/// history and stores and closes a running recording whole before the call returns.
///
/// Background tasks: work that must finish before the process may end brackets itself with
/// beginBackgroundTask() / endBackgroundTask(). willTerminate() and willResignActive() post
/// their notification (observers run at once on the calling thread) and then wait until
/// every background task has ended, at most `kBackgroundTaskLimit` seconds of real time.
///
/// Threads: every operation may be called from any thread, except that the waits must not
/// be made from a task that a background task waits for.

#include <VemraPlatformKit/VPKExport.h>

#include <cstdint>
#include <memory>
#include <string>

namespace vpk {

/// Posted (on the calling thread) by Application::willResignActive().
VPK_EXPORT extern const char* const kApplicationWillResignActiveNotification;
/// Posted (on the calling thread) by Application::willTerminate().
VPK_EXPORT extern const char* const kApplicationWillTerminateNotification;

/// The platform's application states.
enum class ApplicationState : int { Active = 0, Inactive = 1, Background = 2 };

/// Shows the user something that needs their action (the adapter is off, ...).
class VPK_EXPORT UserAlert {
 public:
  virtual ~UserAlert();
  /// Called on the main queue.
  virtual void show(const std::string& title, const std::string& message) = 0;
};

/// The default alert: one level-1 log line "<title>: <message>".
class VPK_EXPORT LogUserAlert : public UserAlert {
 public:
  void show(const std::string& title, const std::string& message) override;
};

class VPK_EXPORT Application {
 public:
  /// Longest wait of willTerminate() / willResignActive() for background tasks (seconds).
  static constexpr double kBackgroundTaskLimit = 10.0;

  /// Active until willResignActive() (Inactive) or willTerminate() (Background).
  static ApplicationState state();
  /// Posts kApplicationWillResignActiveNotification and waits for background tasks.
  static void willResignActive();
  /// Posts kApplicationWillTerminateNotification and waits for background tasks.
  static void willTerminate();
  /// Marks the application active again (a long-running program after willResignActive()).
  static void didBecomeActive();

  /// Starts a background task; returns its identifier (never 0).
  static uint64_t beginBackgroundTask();
  /// Ends it; unknown identifiers are ignored.
  static void endBackgroundTask(uint64_t identifier);
  /// Background tasks running now.
  static size_t backgroundTaskCount();

  /// The alert the library uses (LogUserAlert until replaced); nullptr restores it.
  static std::shared_ptr<UserAlert> userAlert();
  static void setUserAlert(std::shared_ptr<UserAlert> alert);
};

}  // namespace vpk
