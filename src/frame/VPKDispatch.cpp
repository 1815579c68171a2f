#include <VemraPlatformKit/frame/VPKDispatch.h>

#include <VemraPlatformKit/platform/dispatch/Synchronization.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

// The library's private queue key; a queue made by vpk_queue_create_serial carries
// itself as the value.
const char kQueueTagKey = 0;

std::atomic<unsigned> gProcessorOverride{0};

unsigned hardwareProcessors() {
  static const unsigned n = [] {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) return static_cast<unsigned>(online);
    long configured = sysconf(_SC_NPROCESSORS_CONF);
    if (configured > 0) return static_cast<unsigned>(configured);
    return 1u;
  }();
  return n;
}

double threadCpuSeconds() {
  timespec ts{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return -1;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Seconds the calling thread has existed, from /proc (start time in clock ticks since boot).
double threadAgeSeconds() {
  const long tid = syscall(SYS_gettid);
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return -1;
  const auto close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  unsigned long long start = 0;
  // Fields after the command name start at field 3; the start time is field 22.
  for (int i = 3; i <= 22 && rest >> field; ++i)
    if (i == 22) start = std::strtoull(field.c_str(), nullptr, 10);
  std::ifstream up("/proc/uptime");
  double uptime = 0;
  if (!(up >> uptime)) return -1;
  const long ticks = sysconf(_SC_CLK_TCK);
  if (ticks <= 0) return -1;
  return uptime - static_cast<double>(start) / static_cast<double>(ticks);
}

}  // namespace

namespace vpk {

unsigned parallelProcessorCount() {
  unsigned o = gProcessorOverride.load();
  return o ? o : hardwareProcessors();
}

void setParallelProcessorCount(unsigned count) { gProcessorOverride.store(count); }

}  // namespace vpk

double VPKCPUUsage() {
  thread_local double lastCpu = -1;
  thread_local double lastWall = 0;
  thread_local double lastUsage = 0;
  const double cpu = threadCpuSeconds();
  const double wall = monotonicSeconds();
  if (cpu < 0) return 0;
  double usage;
  if (lastCpu < 0) {
    const double age = threadAgeSeconds();
    usage = age > 0 ? cpu / age : 0;
  } else if (wall - lastWall < 0.001) {
    return lastUsage;  // too short a window to say anything new
  } else {
    usage = (cpu - lastCpu) / (wall - lastWall);
  }
  lastCpu = cpu;
  lastWall = wall;
  lastUsage = std::clamp(usage, 0.0, 1.0);
  return lastUsage;
}

vpk::DispatchQueuePtr vpk_queue_create_serial() {
  auto q = vpk::DispatchQueue::createSerial();
  q->setSpecific(&kQueueTagKey, q.get());
  return q;
}

void vpk_dispatch_sync(const vpk::DispatchQueuePtr& queue, const vpk::Task& task) {
  if (!queue || !task) return;
  if (vpk::DispatchQueue::currentSpecific(&kQueueTagKey) == queue.get()) {
    task();
    return;
  }
  queue->sync(task);
}

void vpk_dispatch_async(const vpk::DispatchQueuePtr& queue, vpk::Task task) {
  if (!queue || !task) return;
  queue->async(std::move(task));
}

namespace {

template <typename Visit>
void parallelFor(size_t count, Visit visitChunk) {
  if (count == 0) return;
  const size_t processors = vpk::parallelProcessorCount();
  const size_t chunk = count / processors;
  const size_t rounds = chunk > 0 ? count / chunk : 0;
  if (rounds > 0) {
    vpk::DispatchGroup group;
    auto pool = vpk::DispatchQueue::global(vpk::QueuePriority::High);
    for (size_t r = 0; r < rounds; ++r) group.async(pool, [&visitChunk, r, chunk] { visitChunk(r * chunk, (r + 1) * chunk); });
    visitChunk(rounds * chunk, count);
    group.wait();
  } else {
    visitChunk(0, count);
  }
}

}  // namespace

void vpk_parallel(size_t count, const std::function<void(size_t)>& body) {
  if (!body) return;
  parallelFor(count, [&body](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) body(i);
  });
}

void __vpk_parallel(size_t count, const std::function<void(size_t, bool&)>& body) {
  if (!body) return;
  parallelFor(count, [&body](size_t from, size_t to) {
    bool stop = false;
    for (size_t i = from; i < to && !stop; ++i) body(i, stop);
  });
}

void vpk_dispatch_apply(size_t count, const std::function<bool(size_t)>& body) {
  if (!body || count == 0) return;
  auto queue = vpk::DispatchQueue::createConcurrent("com.vemra.vpk.apply");
  std::atomic<bool> stopped{false};
  std::atomic<size_t> next{0};
  vpk::DispatchGroup group;
  const size_t workers = std::min<size_t>(count, vpk::parallelProcessorCount());
  for (size_t w = 0; w < workers; ++w) {
    group.async(queue, [&] {
      for (size_t i = next.fetch_add(1); i < count && !stopped.load(); i = next.fetch_add(1))
        if (!body(i)) stopped.store(true);
    });
  }
  group.wait();
}
