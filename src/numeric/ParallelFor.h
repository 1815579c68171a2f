#pragma once
// Parallel-for with a per-chunk stop flag, as the float buffer's concurrent enumeration needs
// it. Until the dispatch layer's parallel-for is available this visits the indexes in order
// on the calling thread, which is one valid schedule of the parallel one.

#include <cstddef>
#include <functional>

namespace vpk::detail {

inline void parallelForWithStop(size_t count, const std::function<void(size_t index, bool& stop)>& block) {
  bool stop = false;
  for (size_t i = 0; i < count && !stop; ++i) block(i, stop);
}

}  // namespace vpk::detail
