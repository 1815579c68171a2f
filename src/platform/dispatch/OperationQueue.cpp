#include <VemraPlatformKit/platform/dispatch/OperationQueue.h>

#include <VemraPlatformKit/frame/VPKLog.h>

#include <exception>

namespace vpk {

OperationQueue::OperationQueue(std::string label)
    : queue_(DispatchQueue::createSerial(label.empty() ? "com.vemra.vpk.operations" : std::move(label))),
      idle_(std::make_shared<DispatchGroup>()) {}

std::shared_ptr<OperationQueue> OperationQueue::create(std::string label) {
  return std::make_shared<OperationQueue>(std::move(label));
}

OperationQueue::~OperationQueue() = default;

OperationPtr OperationQueue::addOperation(Task task, OperationPriority priority) {
  auto op = std::make_shared<Operation>(std::move(task), priority);
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.emplace(std::make_pair(-static_cast<int>(priority), sequence_++), op);
  pumpLocked();
  return op;
}

void OperationQueue::pumpLocked() {
  while (!suspended_ && !running_ && !pending_.empty()) {
    OperationPtr op = pending_.begin()->second;
    pending_.erase(pending_.begin());
    if (op->isCancelled()) {
      op->finished_.store(true);
      continue;
    }
    running_ = true;
    runningOp_ = op;
    auto self = shared_from_this();
    queue_->async([self, op] {
      if (!op->isCancelled() && op->task_) {
        try {
          op->task_();
        } catch (const std::exception& e) {
          VPKLog(1, "Dispatch: an operation threw and was stopped: {}", e.what());
        } catch (...) {
          VPKLog(1, "Dispatch: an operation threw and was stopped");
        }
      }
      op->task_ = nullptr;
      op->finished_.store(true);
      self->finished();
    });
    break;
  }
  updateIdleLocked();
}

void OperationQueue::updateIdleLocked() {
  const bool busy = running_ || !pending_.empty();
  if (busy == busy_) return;
  busy_ = busy;
  if (busy)
    idle_->enter();
  else
    idle_->leave();
}

void OperationQueue::finished() {
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
  runningOp_.reset();
  pumpLocked();
}

void OperationQueue::setSuspended(bool suspended) {
  std::lock_guard<std::mutex> lock(mutex_);
  suspended_ = suspended;
  pumpLocked();
}

bool OperationQueue::isSuspended() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return suspended_;
}

void OperationQueue::cancelAllOperations() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (runningOp_) runningOp_->cancel();
  if (pending_.empty()) return;
  for (auto& [key, op] : pending_) {
    op->cancel();
    op->finished_.store(true);
  }
  pending_.clear();
  updateIdleLocked();
}

bool OperationQueue::waitUntilAllOperationsAreFinished(double timeout) { return idle_->wait(timeout); }

size_t OperationQueue::operationCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_.size() + (running_ ? 1 : 0);
}

}  // namespace vpk
