#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include "platform/dispatch/ThreadContext.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace {

std::atomic<bool> gVerbose{false};

std::mutex& sinkMutex() {
  static auto* m = new std::mutex();  // never destroyed: threads may log during exit
  return *m;
}

VPKLogSink& sinkSlot() {
  static auto* sink = new VPKLogSink();
  return *sink;
}

// UTC time of day of the library clock as "HH:MM:SS".
std::string timeOfDay() {
  const double t = vpk::Clock::timestamp() + vpk::kReferenceDateOffset;
  long long secs = static_cast<long long>(std::floor(t));
  long long day = ((secs % 86400) + 86400) % 86400;
  return fmt::format("{:02}:{:02}:{:02}", day / 3600, (day / 60) % 60, day % 60);
}

void writeAll(std::string_view line) {
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDOUT_FILENO, p, left);
    if (n <= 0) return;  // standard output closed: drop the line
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void VPKLogSetEnabled(bool enabled) { gVerbose.store(enabled, std::memory_order_relaxed); }

bool VPKLogIsEnabled() { return gVerbose.load(std::memory_order_relaxed); }

void VPKLogMessage(int level, std::string_view message) {
  const bool verbose = VPKLogIsEnabled();
  if (!verbose && level < 1) return;
  std::string line;
  if (verbose) {
    line = fmt::format("VPK({})(M:{}): {}\n", timeOfDay(), vpk::detail::isMainThread() ? 1 : 0, message);
  } else {
    line = fmt::format("VemraPlatformKit({}): {}\n", timeOfDay(), message);
  }
  std::lock_guard<std::mutex> lock(sinkMutex());
  if (sinkSlot()) {
    try {
      sinkSlot()(line);
    } catch (...) {
      // A failing sink must not take the logging thread down.
    }
  } else {
    writeAll(line);
  }
}

VPKLogSink VPKLogSetSink(VPKLogSink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  VPKLogSink previous = std::move(sinkSlot());
  sinkSlot() = std::move(sink);
  return previous;
}
