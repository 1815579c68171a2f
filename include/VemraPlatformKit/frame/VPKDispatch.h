#pragma once
/// @file VPKDispatch.h
/// Work-queue helpers used across the library: a serial queue that knows when it is
/// current, a re-entrant synchronous dispatch, two parallel-for helpers, an apply that
/// can stop early, and the calling thread's processor load.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <cstddef>
#include <functional>

/// The calling thread's processor usage as a fraction of one core (0 to 1), averaged
/// since the previous call on the same thread (since the thread started, on the first
/// call). 0 when the kernel's per-thread accounting cannot be read.
VPK_EXPORT double VPKCPUUsage();

/// A new serial queue, tagged with itself under the library's queue key so that
/// vpk_dispatch_sync can tell when it is already running on it.
VPK_EXPORT vpk::DispatchQueuePtr vpk_queue_create_serial();

/// Runs `task` at once when the calling code already runs on `queue` (per the queue
/// tag), otherwise runs it on `queue` and waits. A null queue or empty task is ignored.
VPK_EXPORT void vpk_dispatch_sync(const vpk::DispatchQueuePtr& queue, const vpk::Task& task);

/// Adds `task` to `queue`. A null queue or empty task is ignored.
VPK_EXPORT void vpk_dispatch_async(const vpk::DispatchQueuePtr& queue, vpk::Task task);

/// Parallel for over [0, count): count / processors indexes per job, the jobs run
/// concurrently on the high-priority pool, the remainder runs in order on the calling
/// thread; returns when every index has been visited. Callbacks must touch disjoint data.
VPK_EXPORT void vpk_parallel(size_t count, const std::function<void(size_t index)>& body);

/// The same parallel for, where a call may set `stop` to end its own chunk (the job, or
/// the calling thread's remainder, ends after that call).
VPK_EXPORT void __vpk_parallel(size_t count, const std::function<void(size_t index, bool& stop)>& body);

/// Runs `body` for every index concurrently on a new private concurrent queue; once any
/// call returns false no further calls begin. Returns when all calls that began have ended.
VPK_EXPORT void vpk_dispatch_apply(size_t count, const std::function<bool(size_t index)>& body);

namespace vpk {
/// The processor count the parallel-for helpers use (read once from the hardware).
VPK_EXPORT unsigned parallelProcessorCount();
/// Overrides that count (tests); 0 restores the hardware count.
VPK_EXPORT void setParallelProcessorCount(unsigned count);
}  // namespace vpk
