#pragma once
/// @file Synchronization.h
/// Dispatch groups and counting semaphores. Timed waits follow the library clock: with a
/// manual clock installed, a wait times out when virtual time passes its deadline.
/// Timeouts are in seconds; a negative or NaN timeout is treated as 0 (do not wait), and
/// an infinite one waits for ever.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace vpk {

namespace detail {
struct WaitSlot;
}

inline constexpr double kWaitForever = std::numeric_limits<double>::infinity();

/// Counting semaphore.
class VPK_EXPORT Semaphore {
 public:
  explicit Semaphore(long value = 0);
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  /// Releases one waiter, or raises the count when nobody waits.
  void signal();
  /// Takes one unit, waiting at most `timeout` seconds; false on timeout.
  bool wait(double timeout = kWaitForever);

 private:
  std::mutex mutex_;
  long value_;
  std::deque<std::shared_ptr<detail::WaitSlot>> waiters_;
};

/// Tracks a set of tasks: enter() before each, leave() after; waiters and notify
/// tasks are released when the count returns to zero.
class VPK_EXPORT DispatchGroup {
 public:
  DispatchGroup();
  ~DispatchGroup();
  DispatchGroup(const DispatchGroup&) = delete;
  DispatchGroup& operator=(const DispatchGroup&) = delete;

  void enter();
  /// An unbalanced leave() is logged and ignored.
  void leave();
  /// Waits until the group is empty or `timeout` seconds pass; false on timeout.
  bool wait(double timeout = kWaitForever);
  /// Runs `task` on `queue` once the group is empty (at once if it is empty now).
  void notify(const DispatchQueuePtr& queue, Task task);
  /// enter(), run `task` on `queue`, leave().
  void async(const DispatchQueuePtr& queue, Task task);

 private:
  std::mutex mutex_;
  long count_ = 0;
  std::vector<std::shared_ptr<detail::WaitSlot>> waiters_;
  std::vector<std::pair<DispatchQueuePtr, Task>> notifies_;
};

}  // namespace vpk
