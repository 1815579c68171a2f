#pragma once
// Counts every operator new of the benchmark program that includes this header, so a
// benchmark can report the allocations its loop makes. Include it in exactly one source
// file of a program (each bench/*.cpp is a program of its own).

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace vpk::bench {
/// Calls of operator new so far.
inline std::atomic<uint64_t> gAllocations{0};
}  // namespace vpk::bench

void* operator new(std::size_t size) {
  vpk::bench::gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// GCC takes the replaced pair for a mismatch once it inlines them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
