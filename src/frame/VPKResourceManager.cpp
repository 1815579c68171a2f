#include <VemraPlatformKit/frame/VPKResourceManager.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/files/Folders.h>

#include "frame/StorageSetup.h"
#include "platform/dispatch/ThreadContext.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sys/statvfs.h>
#include <unordered_map>

namespace {

// The queue-specific key/value pair that marks a queue as inside the shared context.
const char kContextKey = 0;
char kContextValue = 1;

class SpinLock {
 public:
  void lock() {
    while (flag_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  }
  void unlock() { flag_.clear(std::memory_order_release); }

 private:
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

struct State {
  vpk::DispatchQueuePtr sharedQueue;
  SpinLock spin;
  std::unordered_map<const vpk::DispatchQueue*, long> queuePushes;   // guarded by spin
  std::unordered_map<std::thread::id, long> threadPushes;            // guarded by spin
  std::mutex handlersMutex;
  std::map<std::string, VPKResourceManager::MemoryWarningHandler> handlers;
};

State& state() {
  static State* s = [] {
    auto* st = new State();  // class-level state lives for the process
    st->sharedQueue = vpk::DispatchQueue::createSerial("com.ulko.vpk.sharedQueue", vpk::QueuePriority::High);
    st->sharedQueue->setSpecific(&kContextKey, &kContextValue);
    return st;
  }();
  return *s;
}

// Class start-up: runs once, on the first use of any operation.
State& started() {
  static std::once_flag once;
  State& s = state();
  std::call_once(once, [&s] {
    VPKLog(1, "Initializing VemraPlatformKit...");
    s.sharedQueue->async([] { vpk::detail::runStorageSetup(); });
  });
  return s;
}

std::string describe(const vpk::DispatchQueuePtr& q) {
  return fmt::format("<DispatchQueue: {}[{}]>", q->label(), static_cast<const void*>(q.get()));
}

}  // namespace

vpk::DispatchQueuePtr VPKResourceManager::sharedQueue() { return started().sharedQueue; }

void VPKResourceManager::setPriority(long p) {
  vpk::QueuePriority priority = vpk::QueuePriority::Background;
  if (p == 1) priority = vpk::QueuePriority::Low;
  if (p == 2) priority = vpk::QueuePriority::Default;
  if (p == 3) priority = vpk::QueuePriority::High;
  started().sharedQueue->setTargetPriority(priority);
}

bool VPKResourceManager::executingInContext() {
  State& s = started();
  if (vpk::DispatchQueue::currentSpecific(&kContextKey) == &kContextValue) return true;
  std::lock_guard<SpinLock> lock(s.spin);
  auto it = s.threadPushes.find(std::this_thread::get_id());
  return it != s.threadPushes.end() && it->second > 0;
}

void VPKResourceManager::performBlock(vpk::Task task) {
  if (!task) return;
  started().sharedQueue->async(std::move(task));
}

void VPKResourceManager::performBlock(vpk::Task task, double seconds) {
  if (!task) return;
  started().sharedQueue->after(seconds, std::move(task));
}

void VPKResourceManager::performBlockAndWait(const vpk::Task& task) {
  if (!task) return;
  if (executingInContext()) {
    task();
    return;
  }
  const auto me = std::this_thread::get_id();
  pushThread(me);
  struct Pop {
    std::thread::id id;
    ~Pop() { VPKResourceManager::popThread(id); }
  } pop{me};
  started().sharedQueue->sync(task);
}

bool VPKResourceManager::performBlockAndWait(const vpk::Task& task, const vpk::DispatchQueuePtr& queue) {
  if (!task || !queue || !executingInContext()) return false;
  pushQueue(queue);
  queue->sync(task);
  popQueue(queue);
  return true;
}

void VPKResourceManager::repeatPerformBlock(std::function<bool()> task, double seconds) {
  if (!task) return;
  if (task()) {
    performBlock([task = std::move(task), seconds]() mutable { repeatPerformBlock(std::move(task), seconds); },
                 seconds);
  }
}

void VPKResourceManager::repeatPerformBlockWithDynamicDelay(std::function<bool(double&)> task, double seconds) {
  if (!task) return;
  double delay = seconds;
  if (task(delay)) {
    performBlock([task = std::move(task), delay]() mutable { repeatPerformBlockWithDynamicDelay(std::move(task), delay); },
                 delay);
  }
}

void VPKResourceManager::sync(const vpk::Task& task) {
  if (!task) return;
  State& s = started();
  std::exception_ptr rethrow;
  s.spin.lock();
  try {
    task();
  } catch (const std::exception& e) {
    s.spin.unlock();
    VPKLog(0, "Resource manager: exception dropped: {}", e.what());
    return;
  } catch (...) {
    rethrow = std::current_exception();
  }
  s.spin.unlock();
  if (rethrow) std::rethrow_exception(rethrow);
}

void VPKResourceManager::pushQueue(const vpk::DispatchQueuePtr& queue) {
  State& s = started();
  if (!queue || queue == s.sharedQueue) return;
  sync([&] {
    ++s.queuePushes[queue.get()];
    queue->setSpecific(&kContextKey, &kContextValue);
  });
}

void VPKResourceManager::popQueue(const vpk::DispatchQueuePtr& queue) {
  State& s = started();
  if (!queue || queue == s.sharedQueue) return;
  bool popped = false;
  sync([&] {
    auto it = s.queuePushes.find(queue.get());
    if (it == s.queuePushes.end() || it->second <= 0) return;  // unbalanced pop: nothing to undo
    if (--it->second == 0) {
      s.queuePushes.erase(it);
      queue->setSpecific(&kContextKey, nullptr);
      popped = true;
    }
  });
  if (popped) VPKLog(0, "Popping queue:{}", describe(queue));
}

long VPKResourceManager::pushCount(const vpk::DispatchQueuePtr& queue) {
  State& s = started();
  long n = 0;
  sync([&] {
    auto it = s.queuePushes.find(queue.get());
    n = it == s.queuePushes.end() ? 0 : it->second;
  });
  return n;
}

void VPKResourceManager::pushThread(std::thread::id thread) {
  State& s = started();
  sync([&] { ++s.threadPushes[thread]; });
}

void VPKResourceManager::popThread(std::thread::id thread) {
  State& s = started();
  sync([&] {
    auto it = s.threadPushes.find(thread);
    if (it == s.threadPushes.end()) return;
    if (--it->second <= 0) s.threadPushes.erase(it);
  });
}

bool VPKResourceManager::pushMainQueue() {
  if (!vpk::detail::isMainThread()) return false;
  pushQueue(vpk::DispatchQueue::main());
  return true;
}

bool VPKResourceManager::popMainQueue() {
  if (!vpk::detail::isMainThread()) return false;
  popQueue(vpk::DispatchQueue::main());
  return true;
}

void VPKResourceManager::setMemoryWarningHandler(MemoryWarningHandler handler, const std::string& key) {
  State& s = started();
  std::lock_guard<std::mutex> lock(s.handlersMutex);
  if (handler)
    s.handlers[key] = std::move(handler);
  else
    s.handlers.erase(key);
}

std::map<std::string, VPKResourceManager::MemoryWarningHandler> VPKResourceManager::memoryWarningHandlers() {
  State& s = started();
  std::lock_guard<std::mutex> lock(s.handlersMutex);
  return s.handlers;
}

void VPKResourceManager::handleMemoryWarning() {
  VPKLog(0, "Memory warning triggered...");
  for (auto& [key, handler] : memoryWarningHandlers())  // a copy: handlers may change the table
    if (handler) handler(key);
}

uint64_t VPKResourceManager::availableDiskSpace() {
  namespace fs = std::filesystem;
  started();
  fs::path docs = vpk::documentsFolder();
  // The folder may not exist yet: measure the file system that would hold it.
  std::error_code ec;
  while (!docs.empty() && !fs::exists(docs, ec) && docs != docs.root_path()) docs = docs.parent_path();
  struct statvfs st {};
  if (docs.empty() || statvfs(docs.c_str(), &st) != 0) {
    VPKLog(1, "Could not get disk space:{}", std::strerror(errno));
    return 0;
  }
  return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

// ---------------------------------------------------------------- functions

void vpkrsrc_dispatch_async(vpk::Task task) { VPKResourceManager::performBlock(std::move(task)); }
void vpkrsrc_dispatch_sync(const vpk::Task& task) { VPKResourceManager::performBlockAndWait(task); }
void vpkrsrc_dispatch_after(vpk::Task task, double seconds) {
  VPKResourceManager::performBlock(std::move(task), seconds);
}
void vpkrsrc_dispatch_repeat(std::function<bool()> task, double seconds) {
  VPKResourceManager::repeatPerformBlock(std::move(task), seconds);
}
void vpkrsrc_dispatch_after_main_async(vpk::Task task) {
  if (!task) return;
  vpk::DispatchQueue::main()->async([t = std::move(task)]() mutable { VPKResourceManager::performBlock(std::move(t)); });
}
vpk::DispatchQueuePtr vpkrsrc_get_shared_queue() { return VPKResourceManager::sharedQueue(); }
bool vpkrsrc_executing_in_context() { return VPKResourceManager::executingInContext(); }
void vpkrsrc_push_queue(const vpk::DispatchQueuePtr& queue) { VPKResourceManager::pushQueue(queue); }
void vpkrsrc_pop_queue(const vpk::DispatchQueuePtr& queue) { VPKResourceManager::popQueue(queue); }
void vpkrsrc_push_thread(std::thread::id thread) { VPKResourceManager::pushThread(thread); }
void vpkrsrc_pop_thread(std::thread::id thread) { VPKResourceManager::popThread(thread); }
bool vpkrsrc_push_main_queue() { return VPKResourceManager::pushMainQueue(); }
bool vpkrsrc_pop_main_queue() { return VPKResourceManager::popMainQueue(); }

vpk::TimerSourcePtr vpkrsrc_create_timer(std::function<bool()> handler, double interval, double startDelay,
                                         double leeway) {
  auto source = vpk::TimerSource::create(VPKResourceManager::sharedQueue());
  std::weak_ptr<vpk::TimerSource> weak = source;
  source->setEventHandler([weak, handler = std::move(handler)] {
    const bool again = handler ? handler() : false;
    if (!again)
      if (auto s = weak.lock()) s->cancel();
  });
  source->schedule(startDelay, interval, leeway);
  source->resume();
  return source;
}

void vpkrsrc_begin(const vpk::DispatchQueuePtr& queue) {
  if (!queue) return;
  if (queue->getSpecific(&kContextKey) == &kContextValue) {
    queue->async([] {});
  } else {
    queue->async([] { VPKResourceManager::performBlockAndWait([] {}); });
  }
}

void vpkrsrc_commit(const vpk::DispatchQueuePtr& queue) {
  if (!queue) return;
  VPKResourceManager::performBlock([queue] {
    if (queue->getSpecific(&kContextKey) == &kContextValue)
      queue->async([] {});
    else
      queue->sync([] {});
  });
}
