#include "platform/dispatch/DispatchInternal.h"

#include <chrono>

namespace vpk::detail {

Pool& Pool::instance() {
  static Pool* p = new Pool();  // lives for the process
  return *p;
}

void Pool::submit(QueuePriority priority, std::function<void()> job) {
  std::unique_lock<std::mutex> lock(mutex_);
  jobs_[static_cast<int>(priority)].push_back(std::move(job));
  size_t queued = 0;
  for (auto& q : jobs_) queued += q.size();
  if (idle_ < queued && threads_ < kMaxThreads) {
    ++threads_;
    lock.unlock();
    std::thread([this] { worker(); }).detach();
    return;
  }
  cv_.notify_one();
}

size_t Pool::threadCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return threads_;
}

void Pool::worker() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    std::function<void()> job;
    for (int p = 3; p >= 0 && !job; --p) {
      if (!jobs_[p].empty()) {
        job = std::move(jobs_[p].front());
        jobs_[p].pop_front();
      }
    }
    if (job) {
      lock.unlock();
      job();
      job = nullptr;
      lock.lock();
      continue;
    }
    ++idle_;
    const bool woke = cv_.wait_for(lock, std::chrono::seconds(5), [this] {
      for (auto& q : jobs_)
        if (!q.empty()) return true;
      return false;
    });
    --idle_;
    if (!woke) {
      --threads_;
      return;
    }
  }
}

}  // namespace vpk::detail
