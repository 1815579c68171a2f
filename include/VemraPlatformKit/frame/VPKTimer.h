#pragma once
/// @file VPKTimer.h
/// A repeating or one-shot timer that calls its handler on a serial queue.
///
/// Ownership: create with VPKTimer::create; the owner keeps the shared_ptr. While the
/// timer is active its own timer source holds it strongly, so an active timer stays alive
/// until it is deactivated, invalidated or (one-shot) has fired.
///
/// Thread: events and the handler run on `queue()`. Properties are meant to be set from
/// the owner's queue; they are guarded, so setting them elsewhere is safe too.
///
/// Intervals: `interval` is the period and the delay before the first event of
/// activate(). A continuous timer needs a positive finite interval: activating one with
/// zero, a negative number or NaN logs "VPKTimer(<name>): refusing to start with interval
/// <n>" and leaves it inactive (it never spins a core). A one-shot timer with such an
/// interval fires at once.
///
/// Name mapping: initWithQueue:interval:handler: -> create(queue, interval, handler).

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/TimerSource.h>

#include <any>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class VPK_EXPORT VPKTimer : public std::enable_shared_from_this<VPKTimer> {
 public:
  using Handler = std::function<void(const std::shared_ptr<VPKTimer>& timer)>;

  /// A new inactive timer: `queue` nullptr makes a private serial queue; leeway is
  /// interval x 0.1; continuous is true.
  static std::shared_ptr<VPKTimer> create(vpk::DispatchQueuePtr queue, double interval, Handler handler);
  /// Logs "Dealloc: VPKTimer(<name>)" at level 0, drops the handler, cancels the source.
  ~VPKTimer();

  /// Cancels any current source and, if a handler is set, starts one: first event at
  /// now + interval, then every interval, with the current leeway.
  void activate();
  /// As activate(), but the first event comes at once.
  void activateAndFire();
  /// Cancels and drops the source; the handler is kept.
  void deactivate();
  /// Deactivates and drops the handler for good.
  void invalidate();

  bool isActive() const;
  bool isValid() const;

  double interval() const;
  /// Stores the interval; an active timer is re-armed (first event at now + interval),
  /// keeping its current leeway.
  void setInterval(double interval);
  double leeway() const;
  void setLeeway(double leeway);
  bool continuous() const;
  void setContinuous(bool continuous);
  std::string name() const;
  void setName(std::string name);
  std::any userInfo() const;
  void setUserInfo(std::any info);
  Handler handler() const;
  vpk::DispatchQueuePtr queue() const;
  void setQueue(vpk::DispatchQueuePtr queue);
  /// The running source (nullptr while inactive).
  vpk::TimerSourcePtr source() const;

  VPKTimer(vpk::DispatchQueuePtr queue, double interval, Handler handler);  // use create()

 private:
  void start(bool fireNow);
  void rearmLocked();
  void onEvent();

  mutable std::mutex mutex_;
  bool continuous_ = true;
  double interval_;
  double leeway_;
  std::string name_;
  std::any userInfo_;
  Handler handler_;
  vpk::TimerSourcePtr source_;
  vpk::DispatchQueuePtr queue_;
};
