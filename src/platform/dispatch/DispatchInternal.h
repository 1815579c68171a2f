#pragma once
// Internals of the dispatch layer: the worker pool, the time-keeping scheduler, the
// activity count behind ManualClock::settle, and the wait slot every blocking wait uses.

#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace vpk::detail {

// ---------------------------------------------------------------- activity
// Counts work that is queued or running on library queues, minus the threads of such
// work that are blocked in a library wait. Zero means "settled": nothing can happen
// until time moves or something outside the library acts. Whoever wakes a blocked
// waiter adds it back, so the count never dips to zero while a woken waiter is about
// to run.
class Activity {
 public:
  static Activity& instance();

  void add(long n = 1);
  void remove(long n = 1);
  long value() const { return active_.load(); }

  /// Whether the calling thread is counted (running a queue task or inside an
  /// ActivityScope); blocking waits only adjust the count for counted threads.
  static bool threadCounted();
  static void setThreadCounted(int delta);

  /// Wakes settle() waiters (main-queue work arrived, the count changed).
  void poke();
  /// Waits until the count is zero (and, on the main thread, the main queue is empty).
  bool settle(double realSeconds);

 private:
  std::atomic<long> active_{0};
  std::atomic<int> settleWaiters_{0};
  std::mutex mutex_;
  std::condition_variable cv_;
};

/// A serial queue whose running task blocks in a library wait cannot run the tasks queued
/// behind it until that wait ends, so while it lasts they do not count as active: a manual
/// clock then sees the work settle and moves time on to the wait's deadline. The serial
/// queue running a task on this thread (none elsewhere) is told when the task blocks and
/// when it resumes.
class BlockableQueue {
 public:
  virtual void runningTaskBlocked() = 0;
  virtual void runningTaskResumed() = 0;
  /// The serial queue whose task the calling thread runs, or nullptr.
  static BlockableQueue* current();
  /// Makes `queue` the calling thread's current one for the scope's lifetime.
  class Scope {
   public:
    explicit Scope(BlockableQueue* queue);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    BlockableQueue* previous_;
  };

 protected:
  ~BlockableQueue() = default;
};

/// Marks the calling thread as doing counted work for its lifetime (for library threads
/// that are not queue workers, such as the analyzer's processing thread, while they run
/// a cycle). The count itself must have been raised by whoever handed the work over.
class CountedThreadScope {
 public:
  CountedThreadScope() { Activity::setThreadCounted(1); }
  ~CountedThreadScope() { Activity::setThreadCounted(-1); }
};

// ---------------------------------------------------------------- wait slot
struct WaitSlot {
  enum class Result { Pending, Signalled, TimedOut };
  std::mutex mutex;
  std::condition_variable cv;
  Result result = Result::Pending;
  bool counted = false;

  /// Blocks until `slot` is woken or the clock reaches `deadline` (absolute library
  /// time, may be infinite). Returns how it ended.
  static Result blockOn(const std::shared_ptr<WaitSlot>& slot, double deadline);
  /// Wakes the waiter with `why`; false when it was already woken.
  bool wake(Result why);
};

// ---------------------------------------------------------------- scheduler
// Entries fire at library-clock deadlines. With the real clock a scheduler thread fires
// them; with a manual clock ManualClock::advance does. Fire callbacks must be short: they
// hand work to a queue or wake a waiter.
class Scheduler {
 public:
  using Fire = std::function<void()>;
  static Scheduler& instance();

  uint64_t schedule(double deadline, Fire fire);
  /// Removes a pending entry; false when it already fired (or never existed).
  bool cancel(uint64_t id);
  std::optional<double> earliest();
  /// Fires every entry due at `now` or before, earliest first.
  size_t fireDue(double now);
  /// The installed clock changed: recompute the wait.
  void clockChanged();

 private:
  Scheduler();
  void run();
  /// The scheduler thread's firing: entries due on the installed real clock, stopping as
  /// soon as a manual clock is installed.
  size_t fireDueOnInstalledClock();
  // Fires entries, earliest first, while `due(deadline)` (asked under the lock) says so.
  size_t fireWhile(const std::function<bool(double deadline)>& due);
  struct Key {
    double deadline;
    uint64_t id;
    bool operator<(const Key& o) const { return deadline < o.deadline || (deadline == o.deadline && id < o.id); }
  };
  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<Key, Fire> entries_;
  std::map<uint64_t, double> deadlines_;
  uint64_t nextId_ = 1;
  std::thread thread_;
};

// ---------------------------------------------------------------- worker pool
// One elastic pool of worker threads with four priority levels. A thread is added when
// work arrives and no worker is idle (up to a cap), so a blocked worker never starves
// the pool; idle workers retire after a while.
class Pool {
 public:
  static Pool& instance();
  void submit(QueuePriority priority, std::function<void()> job);
  size_t threadCount();

 private:
  Pool() = default;
  void worker();
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_[4];
  size_t threads_ = 0;
  size_t idle_ = 0;
  static constexpr size_t kMaxThreads = 256;
};

/// The high-priority global pool's processor count for the parallel-for helpers
/// (tests may override it; 0 restores the hardware count).
unsigned parallelProcessorCount();
void setParallelProcessorCount(unsigned count);

/// Runs the main queue's waiting tasks on the calling thread (settle uses it).
size_t drainMainQueue();
bool mainQueueEmpty();

}  // namespace vpk::detail
