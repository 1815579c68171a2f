#pragma once
/// @file NotificationCenter.h
/// Named notifications: the library's stand-in for the platform's notification centre.
///
/// A notification is a name plus an optional object (std::any: the poster says what it
/// holds, e.g. the finished recording writer). Observers register a handler for one name
/// (or for every name with an empty name) and get a token that removes them again.
///
///   auto token = vpk::NotificationCenter::defaultCenter().addObserver(
///       VPKBluetoothManagerFinishedRecordedNotification,
///       [](const vpk::Notification& n) { ... });   // called on the main queue
///
/// Delivery
/// - post(): calls every matching observer at once, on the posting thread, in the order
///   they registered.
/// - postOnMain(): posts from a task on the main queue (what the library's named
///   notifications use, so observers always run on the main thread).
/// - enqueueWhenIdleOnMain(): as postOnMain, but coalesced on the name: while one such
///   notification with that name is waiting, further ones are dropped.
///
/// Threads: every operation may be called from any thread. Handlers are called without
/// the centre's lock held, from a snapshot taken at posting, so a handler may add or remove
/// observers (a removal takes effect for the next posting).

#include <VemraPlatformKit/VPKExport.h>

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vpk {

struct Notification {
  std::string name;
  std::any object;
};

class VPK_EXPORT NotificationCenter {
 public:
  using Handler = std::function<void(const Notification& notification)>;
  using Token = uint64_t;

  /// The process-wide centre (lives for ever).
  static NotificationCenter& defaultCenter();

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  /// Registers `handler` for `name` (every name when empty); returns its token (never 0).
  Token addObserver(std::string name, Handler handler);
  /// Removes the observer; unknown tokens are ignored.
  void removeObserver(Token token);

  /// Calls the observers of `name` now, on this thread.
  void post(const std::string& name, std::any object = {});
  /// Posts `name` from a main-queue task.
  void postOnMain(std::string name, std::any object = {});
  /// Posts `name` from a main-queue task unless one with that name is already waiting.
  void enqueueWhenIdleOnMain(std::string name, std::any object = {});

 private:
  struct Observer {
    Token token;
    std::string name;
    std::shared_ptr<Handler> handler;
  };
  std::mutex mutex_;
  Token next_ = 1;
  std::vector<Observer> observers_;
  std::set<std::string> pendingCoalesced_;
};

}  // namespace vpk
