#include "acquisition/PacketQueue.h"

#include <algorithm>
#include <utility>

namespace vpk::detail {

void QueuedPacket::assign(std::span<const uint8_t> bytes) {
  size_ = bytes.size();
  if (size_ <= kInlineBytes) {
    std::copy(bytes.begin(), bytes.end(), inline_.begin());
  } else {
    heap_.assign(bytes.begin(), bytes.end());
  }
}

PacketQueue::PacketQueue(size_t capacity) : slots_(std::max<size_t>(capacity, 1)) {}

void PacketQueue::push(std::span<const uint8_t> bytes) {
  if (count_ == slots_.size()) grow();
  slots_[(head_ + count_) % slots_.size()].assign(bytes);
  ++count_;
}

void PacketQueue::pop(QueuedPacket& out) {
  std::swap(out, slots_[head_]);
  head_ = (head_ + 1) % slots_.size();
  --count_;
}

void PacketQueue::grow() {
  std::vector<QueuedPacket> bigger(slots_.size() * 2);
  for (size_t i = 0; i < count_; ++i) std::swap(bigger[i], slots_[(head_ + i) % slots_.size()]);
  slots_ = std::move(bigger);
  head_ = 0;
}

}  // namespace vpk::detail
