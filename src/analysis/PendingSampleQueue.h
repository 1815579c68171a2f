#pragma once
// The analyzer's queue of samples received but not yet analysed: a ring that starts with
// room for 256 samples, grows by doubling, and never holds more than its bound (the oldest
// sample makes room for a new one). Not locked: the analyzer guards it with its mutex.

#include <VemraPlatformKit/analysis/VPKSignalAnalyzerSample.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace vpk::detail {

class PendingSampleQueue {
 public:
  static constexpr size_t kInitialCapacity = 256;

  explicit PendingSampleQueue(size_t bound) : bound_(std::max<size_t>(bound, 1)), ring_(kInitialCapacity) {}

  size_t size() const { return size_; }
  size_t bound() const { return bound_; }

  /// Appends `sample`; returns false when the oldest sample had to be dropped for it.
  bool push(const VPKSignalAnalyzerSample& sample) {
    bool kept = true;
    if (size_ == bound_) {
      head_ = (head_ + 1) % ring_.size();
      --size_;
      kept = false;
    } else if (size_ == ring_.size()) {
      grow();
    }
    ring_[(head_ + size_) % ring_.size()] = sample;
    ++size_;
    return kept;
  }

  /// Moves the oldest `n` samples (at most size()) into `dest`, which is resized to them.
  void take(size_t n, std::vector<VPKSignalAnalyzerSample>& dest) {
    n = std::min(n, size_);
    dest.resize(n);
    const size_t first = std::min(n, ring_.size() - head_);
    std::copy_n(ring_.begin() + static_cast<std::ptrdiff_t>(head_), first, dest.begin());
    std::copy_n(ring_.begin(), n - first, dest.begin() + static_cast<std::ptrdiff_t>(first));
    head_ = (head_ + n) % ring_.size();
    size_ -= n;
  }

  void clear() {
    head_ = 0;
    size_ = 0;
  }

 private:
  void grow() {
    std::vector<VPKSignalAnalyzerSample> bigger(std::min(ring_.size() * 2, std::max(bound_, ring_.size())));
    for (size_t i = 0; i < size_; ++i) bigger[i] = ring_[(head_ + i) % ring_.size()];
    ring_.swap(bigger);
    head_ = 0;
  }

  size_t bound_;
  std::vector<VPKSignalAnalyzerSample> ring_;
  size_t head_ = 0;
  size_t size_ = 0;
};

}  // namespace vpk::detail
