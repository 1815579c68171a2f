#include "analysis/ThreadCPUMeter.h"

#include <pthread.h>
#include <algorithm>

namespace vpk::detail {

namespace {

bool readSeconds(clockid_t clock, double& seconds) {
  timespec ts{};
  if (clock_gettime(clock, &ts) != 0) return false;
  seconds = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  return true;
}

}  // namespace

void ThreadCPUMeter::registerCurrentThread() {
  thread_ = pthread_self();
  registered_ = pthread_getcpuclockid(thread_, &clock_) == 0 && readSeconds(clock_, lastCpu_) &&
                readSeconds(CLOCK_MONOTONIC, lastWall_);
}

void ThreadCPUMeter::withdrawCurrentThread() {
  if (registered_ && pthread_equal(thread_, pthread_self())) registered_ = false;
}

double ThreadCPUMeter::sample() {
  if (!registered_) return 0;
  double cpu = 0;
  double wall = 0;
  if (!readSeconds(clock_, cpu) || !readSeconds(CLOCK_MONOTONIC, wall)) return -1;
  const double span = wall - lastWall_;
  const double used = cpu - lastCpu_;
  lastCpu_ = cpu;
  lastWall_ = wall;
  if (!(span > 0)) return 0;
  return std::clamp(used / span, 0.0, 1.0);
}

}  // namespace vpk::detail
