#pragma once
// CPU use of one thread, readable from any thread: the thread registers its CPU-time clock
// when it starts and withdraws it before it ends; sample() reports the thread's CPU time
// over the wall time since the previous sample (or since registration), as a fraction of
// one core. Not locked: the analyzer guards it with its latency lock.

#include <pthread.h>
#include <ctime>

namespace vpk::detail {

class ThreadCPUMeter {
 public:
  /// Called on the thread to be measured.
  void registerCurrentThread();
  /// Called on the measured thread before it ends: forget it. A later registration (a
  /// successor thread) is kept.
  void withdrawCurrentThread();
  bool registered() const { return registered_; }
  /// 0 when no thread is registered, -1 when its clock cannot be read, else the share of
  /// one core (0 to 1) used since the previous sample.
  double sample();

 private:
  bool registered_ = false;
  clockid_t clock_{};
  pthread_t thread_{};
  double lastCpu_ = 0;
  double lastWall_ = 0;
};

}  // namespace vpk::detail
