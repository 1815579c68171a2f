#pragma once
/// @file OperationQueue.h
/// An operation queue that runs one operation at a time, highest priority first and in
/// order of addition within a priority, on a private serial queue. It can be suspended
/// and resumed, its pending operations cancelled, and a caller can wait until it is
/// empty. The headband's command queue is built on it.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace vpk {

enum class OperationPriority : int { VeryLow = -8, Low = -4, Normal = 0, High = 4, VeryHigh = 8 };

/// One unit of work of an OperationQueue.
class VPK_EXPORT Operation {
 public:
  Operation(Task task, OperationPriority priority) : task_(std::move(task)), priority_(priority) {}
  /// A pending operation is dropped without running; a running one only sees the flag.
  void cancel() { cancelled_.store(true); }
  bool isCancelled() const { return cancelled_.load(); }
  bool isFinished() const { return finished_.load(); }
  OperationPriority priority() const { return priority_; }

 private:
  friend class OperationQueue;
  Task task_;
  OperationPriority priority_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> finished_{false};
};

using OperationPtr = std::shared_ptr<Operation>;

class VPK_EXPORT OperationQueue : public std::enable_shared_from_this<OperationQueue> {
 public:
  static std::shared_ptr<OperationQueue> create(std::string label = {});
  ~OperationQueue();

  /// Queues `task`; returns its operation (to cancel it or test whether it finished).
  OperationPtr addOperation(Task task, OperationPriority priority = OperationPriority::Normal);
  /// Suspended: no new operation starts (the running one finishes).
  void setSuspended(bool suspended);
  bool isSuspended() const;
  /// Cancels every pending operation and flags the running one.
  void cancelAllOperations();
  /// Waits until no operation is pending or running (or `timeout` seconds pass).
  bool waitUntilAllOperationsAreFinished(double timeout = kWaitForever);
  /// Pending plus running operations.
  size_t operationCount() const;

  explicit OperationQueue(std::string label);  // use create()

 private:
  void pumpLocked();
  void updateIdleLocked();
  void finished();

  DispatchQueuePtr queue_;
  mutable std::mutex mutex_;
  // key: (-priority, sequence) so that the first entry is the next to run
  std::map<std::pair<int, unsigned long long>, OperationPtr> pending_;
  unsigned long long sequence_ = 0;
  bool suspended_ = false;
  bool running_ = false;
  bool busy_ = false;
  OperationPtr runningOp_;
  // entered while any operation is pending or running
  std::shared_ptr<DispatchGroup> idle_;
};

}  // namespace vpk
