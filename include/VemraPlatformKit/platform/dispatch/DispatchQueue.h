#pragma once
/// @file DispatchQueue.h
/// Work queues: the library's stand-in for the platform's dispatch queues.
///
/// - Serial queues run their tasks one at a time, in the order they were added, on
///   threads of the shared worker pool. Each targets one of the four global pools
///   (background, low, default, high); the target may be changed at any time.
/// - Global queues (DispatchQueue::global) and private concurrent queues run tasks
///   concurrently on the worker pool.
/// - The main queue runs its tasks on "the main thread": whichever thread drives it
///   through DispatchQueue::runMain(), drainMain(), or an executor that the
///   application installs to hand work to its own event loop (setMainExecutor).
///
/// Every queue can carry queue-specific values (setSpecific/getSpecific) that a task
/// reads back with DispatchQueue::currentSpecific while it runs on that queue.
///
/// A task that throws is caught and logged; it never takes a library thread down.
/// Queues are owned by std::shared_ptr; a queue stays alive while it has work.

#include <VemraPlatformKit/VPKExport.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace vpk {

using Task = std::function<void()>;

/// Priorities of the global worker pools, lowest first.
enum class QueuePriority { Background = 0, Low = 1, Default = 2, High = 3 };

class VPK_EXPORT DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  enum class Kind { Serial, Concurrent, Main };

  virtual ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  /// A new serial queue targeting the global pool of `priority`.
  static std::shared_ptr<DispatchQueue> createSerial(std::string label = {},
                                                     QueuePriority priority = QueuePriority::Default);
  /// A new private concurrent queue on the default pool.
  static std::shared_ptr<DispatchQueue> createConcurrent(std::string label = {});
  /// The global concurrent queue of `priority` (one per priority, lives forever).
  static std::shared_ptr<DispatchQueue> global(QueuePriority priority);
  /// The main queue.
  static std::shared_ptr<DispatchQueue> main();
  /// The queue whose task is running on the calling thread, or nullptr.
  static DispatchQueue* current();

  /// Adds `task` to the queue and returns at once. An empty task is ignored.
  virtual void async(Task task) = 0;
  /// Runs `task` on the queue and waits until it has run. Called from a task that is
  /// already running on this queue, the task runs inline (it would otherwise deadlock).
  void sync(const Task& task);
  /// Adds `task` to the queue after `seconds` of library-clock time.
  void after(double seconds, Task task);

  /// True when the calling thread is running a task of this queue.
  bool isCurrent() const;

  Kind kind() const { return kind_; }
  const std::string& label() const { return label_; }

  /// Serial and private concurrent queues: the global pool they run on. Changing it
  /// affects tasks that start afterwards. Ignored for global queues and the main queue.
  virtual void setTargetPriority(QueuePriority priority);
  virtual QueuePriority targetPriority() const;

  /// Queue-specific values (not owned). A null value removes the key.
  void setSpecific(const void* key, void* value);
  void* getSpecific(const void* key) const;
  /// The value under `key` of the queue running the calling task (nullptr outside a queue).
  static void* currentSpecific(const void* key);

  // ---- main queue driver (the calling thread becomes the main thread) ----
  /// Runs main-queue tasks until stopMain() is called.
  static void runMain();
  /// Asks runMain() to return after the task it is running.
  static void stopMain();
  /// Runs every main-queue task that is waiting now and returns how many ran.
  static size_t drainMain();
  /// Drives the main queue until `done()` is true or `realSeconds` of real time
  /// passed; returns done(). For tools and tests.
  static bool runMainUntil(const std::function<bool()>& done, double realSeconds);
  /// Installs an executor that hands main-queue work to the application's event loop
  /// (Qt, GLib...): it is called once per posted task with a function that the loop
  /// must call on its main thread. An empty executor restores the built-in driver.
  static void setMainExecutor(std::function<void(std::function<void()>)> executor);

 protected:
  DispatchQueue(Kind kind, std::string label);
  /// Runs one task with the bookkeeping every queue shares (current-queue tracking,
  /// exception guard, activity accounting).
  void runTask(Task& task);

 private:
  struct Specifics;
  Kind kind_;
  std::string label_;
  std::unique_ptr<Specifics> specifics_;
};

using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;

/// Runs `body(i)` for i in [0, count) concurrently on the global pool of `priority` and
/// returns when all have run.
VPK_EXPORT void dispatchApply(size_t count, const std::function<void(size_t)>& body,
                              QueuePriority priority = QueuePriority::Default);

}  // namespace vpk
