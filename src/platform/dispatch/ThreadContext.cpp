#include "platform/dispatch/ThreadContext.h"

#include <atomic>
#include <thread>

namespace vpk::detail {
namespace {
std::atomic<std::thread::id> gMainThread{};
}

bool isMainThread() { return gMainThread.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

void markMainThread() { gMainThread.store(std::this_thread::get_id(), std::memory_order_relaxed); }

}  // namespace vpk::detail
