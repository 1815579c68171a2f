#pragma once
/// @file VPKResourceManager.h
/// The library's one shared serial work queue ("the shared context").
///
/// All device, stream and storage state is touched only on this queue. Work is handed to
/// it fire-and-forget (performBlock) or waiting for the result (performBlockAndWait); a
/// request made from inside the context runs inline instead of deadlocking. Other queues
/// and threads can be "pushed" into the context while they work for it.
///
/// All of it is class-level state created on first use; there are no instances. The first
/// use logs "Initializing VemraPlatformKit..." and posts the storage set-up to the queue.
///
/// Name mapping (class operation -> C++):
///   performBlock:afterDelay:            -> performBlock(task, seconds)
///   performBlockAndWait:inQueue:        -> performBlockAndWait(task, queue) -> bool
///   repeatPerformBlock:delay:           -> repeatPerformBlock(task, seconds)
///   repeatPerformBlockWithDynamicDelay: -> repeatPerformBlockWithDynamicDelay(task, seconds)
///   setMemoryWarningHandler:forKey:     -> setMemoryWarningHandler(handler, key)
///   pushThread:/popThread: take a std::thread::id (pass std::this_thread::get_id()).

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/TimerSource.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>

class VPK_EXPORT VPKResourceManager {
 public:
  using MemoryWarningHandler = std::function<void(const std::string& key)>;

  /// The shared queue, labelled "com.ulko.vpk.sharedQueue".
  static vpk::DispatchQueuePtr sharedQueue();
  /// Retargets the shared queue: p <= 0 background, 1 low, 2 default, 3 high, > 3 background.
  static void setPriority(long priority);
  /// True on the shared queue, on a pushed queue, or on a pushed thread.
  static bool executingInContext();

  /// Runs `task` asynchronously on the shared queue (an empty task is ignored).
  static void performBlock(vpk::Task task);
  /// Runs `task` on the shared queue after `seconds` of library-clock time.
  static void performBlock(vpk::Task task, double seconds);
  /// Runs `task` in the shared context and waits (inline when already in context).
  static void performBlockAndWait(const vpk::Task& task);
  /// In context only: pushes `queue`, runs `task` synchronously on it, pops it; true.
  /// Outside the context: does nothing and returns false.
  static bool performBlockAndWait(const vpk::Task& task, const vpk::DispatchQueuePtr& queue);
  /// Calls `task` at once in the caller's context; while it returns true, calls it again on
  /// the shared queue after `seconds`.
  static void repeatPerformBlock(std::function<bool()> task, double seconds);
  /// As repeatPerformBlock, but the task may change the delay through its argument.
  static void repeatPerformBlockWithDynamicDelay(std::function<bool(double& delay)> task, double seconds);
  /// Runs `task` inline under the process-wide spin lock. A std::exception thrown by the
  /// task is caught, logged at level 0 and dropped; anything else is re-thrown after the
  /// lock is released.
  static void sync(const vpk::Task& task);

  static void pushQueue(const vpk::DispatchQueuePtr& queue);
  static void popQueue(const vpk::DispatchQueuePtr& queue);
  static void pushThread(std::thread::id thread);
  static void popThread(std::thread::id thread);
  /// On the main thread: push / pop the main queue and return true; elsewhere false.
  static bool pushMainQueue();
  static bool popMainQueue();
  /// Outstanding pushes of `queue` (0 when not pushed).
  static long pushCount(const vpk::DispatchQueuePtr& queue);

  static void setMemoryWarningHandler(MemoryWarningHandler handler, const std::string& key);
  static std::map<std::string, MemoryWarningHandler> memoryWarningHandlers();
  /// Logs "Memory warning triggered..." (level 0) and calls every handler with its key.
  static void handleMemoryWarning();

  /// Free bytes of the file system that holds the documents folder; 0 (and a log line)
  /// when it cannot be read.
  static uint64_t availableDiskSpace();
};

// ---- the same operations as plain functions ----
VPK_EXPORT void vpkrsrc_dispatch_async(vpk::Task task);
VPK_EXPORT void vpkrsrc_dispatch_sync(const vpk::Task& task);
/// Runs `task` through performBlockAndWait and returns its result.
template <typename F>
auto vpkrsrc_return_sync(F&& task) -> decltype(task()) {
  using R = decltype(task());
  if constexpr (std::is_void_v<R>) {
    VPKResourceManager::performBlockAndWait([&] { task(); });
  } else {
    std::optional<R> result;
    VPKResourceManager::performBlockAndWait([&] { result.emplace(task()); });
    return result ? std::move(*result) : R{};
  }
}
VPK_EXPORT void vpkrsrc_dispatch_after(vpk::Task task, double seconds);
VPK_EXPORT void vpkrsrc_dispatch_repeat(std::function<bool()> task, double seconds);
/// Posts to the main queue a step that then hands `task` to the shared queue.
VPK_EXPORT void vpkrsrc_dispatch_after_main_async(vpk::Task task);
VPK_EXPORT vpk::DispatchQueuePtr vpkrsrc_get_shared_queue();
VPK_EXPORT bool vpkrsrc_executing_in_context();
VPK_EXPORT void vpkrsrc_push_queue(const vpk::DispatchQueuePtr& queue);
VPK_EXPORT void vpkrsrc_pop_queue(const vpk::DispatchQueuePtr& queue);
VPK_EXPORT void vpkrsrc_push_thread(std::thread::id thread);
VPK_EXPORT void vpkrsrc_pop_thread(std::thread::id thread);
VPK_EXPORT bool vpkrsrc_push_main_queue();
VPK_EXPORT bool vpkrsrc_pop_main_queue();
/// A started repeating timer source on the shared queue: first event after `startDelay`,
/// then every `interval` with `leeway`; it cancels itself when the handler returns false.
/// An interval that is not a positive number makes it fire once.
VPK_EXPORT vpk::TimerSourcePtr vpkrsrc_create_timer(std::function<bool()> handler, double interval,
                                                    double startDelay, double leeway);
/// Barrier: if `queue` carries the context mark, posts an empty task to it; otherwise posts
/// to it a task that waits for an empty task run through performBlockAndWait.
VPK_EXPORT void vpkrsrc_begin(const vpk::DispatchQueuePtr& queue);
/// Barrier run from the shared queue: posts an empty task to `queue` if it carries the
/// context mark, else runs an empty task on it synchronously.
VPK_EXPORT void vpkrsrc_commit(const vpk::DispatchQueuePtr& queue);
