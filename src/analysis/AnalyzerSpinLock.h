#pragma once
// The analyzer's two spin locks (settings and the latency read-out): short critical
// sections only, never held across a call into application code.

#include <atomic>
#include <thread>

namespace vpk::detail {

class AnalyzerSpinLock {
 public:
  void lock() {
    while (flag_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  }
  bool try_lock() { return !flag_.test_and_set(std::memory_order_acquire); }
  void unlock() { flag_.clear(std::memory_order_release); }

 private:
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

}  // namespace vpk::detail
