#pragma once
/// @file TimerSource.h
/// A timer event source: calls its handler on a queue at a start time and then every
/// interval, following the library clock (vpk::Clock), so tests drive it in virtual time.
///
/// - schedule(startDelay, interval, leeway): the first event comes `startDelay` seconds
///   from now, then every `interval` seconds. An interval that is not a positive finite
///   number makes a one-shot source. `leeway` is the lateness the caller allows; events are
///   never delivered early.
/// - Events that fell behind (a busy queue, a suspended process) are merged: a periodic
///   source delivers one event and continues on its grid, it never bursts to catch up.
/// - While resumed and not cancelled, the source is kept alive by the scheduler.
/// - cancel() stops further events (an event already handed to the queue is dropped
///   unless its handler has started), releases the handler and runs the cancel handler
///   on the queue.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <memory>
#include <mutex>

namespace vpk {

class VPK_EXPORT TimerSource : public std::enable_shared_from_this<TimerSource> {
 public:
  /// A suspended source whose events run on `queue` (nullptr: a new private serial queue).
  static std::shared_ptr<TimerSource> create(DispatchQueuePtr queue);
  ~TimerSource();

  void setEventHandler(Task handler);
  void setCancelHandler(Task handler);
  /// Sets (or resets, when already running) the timing; the first event comes
  /// `startDelay` seconds from now.
  void schedule(double startDelay, double interval, double leeway);
  /// Starts delivering events.
  void resume();
  /// Stops for good (see file comment). Safe to call more than once, from any thread.
  void cancel();

  bool isCancelled() const;
  bool isRunning() const;
  double interval() const;
  double leeway() const;
  const DispatchQueuePtr& queue() const { return queue_; }

  /// Events delivered so far.
  unsigned long long fireCount() const;

  explicit TimerSource(DispatchQueuePtr queue);  // use create()

 private:
  void armLocked(double deadline);
  void fire(double deadline, unsigned long long generation);

  DispatchQueuePtr queue_;
  mutable std::mutex mutex_;
  Task handler_;
  Task cancelHandler_;
  double startDelay_ = 0;
  double interval_ = 0;
  double leeway_ = 0;
  bool scheduled_ = false;
  bool running_ = false;
  bool cancelled_ = false;
  unsigned long long entry_ = 0;
  unsigned long long generation_ = 0;
  unsigned long long fires_ = 0;
};

using TimerSourcePtr = std::shared_ptr<TimerSource>;

}  // namespace vpk
