#pragma once
// The stream's queue of packets waiting for the pacing timer: a ring of slots that keep
// packets of up to 20 bytes inline, so that queueing and releasing the headband's packets
// allocates nothing once the ring has grown to the longest burst seen. Longer (corrupt)
// packets are kept on the heap.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vpk::detail {

class QueuedPacket {
 public:
  static constexpr size_t kInlineBytes = 20;

  void assign(std::span<const uint8_t> bytes);
  std::span<const uint8_t> bytes() const {
    return size_ <= kInlineBytes ? std::span<const uint8_t>(inline_.data(), size_)
                                 : std::span<const uint8_t>(heap_.data(), heap_.size());
  }

 private:
  std::array<uint8_t, kInlineBytes> inline_{};
  size_t size_ = 0;
  std::vector<uint8_t> heap_;  // used only for packets longer than kInlineBytes
};

class PacketQueue {
 public:
  explicit PacketQueue(size_t capacity = 100);

  void push(std::span<const uint8_t> bytes);
  /// Moves the oldest packet into `out` and drops it from the queue. The queue must not be
  /// empty. Taking the packet out first keeps it valid while it is decoded, whatever the
  /// decoding's callbacks do to the queue.
  void pop(QueuedPacket& out);
  void clear() { head_ = count_ = 0; }
  bool empty() const { return count_ == 0; }
  size_t size() const { return count_; }
  size_t capacity() const { return slots_.size(); }

 private:
  void grow();

  std::vector<QueuedPacket> slots_;
  size_t head_ = 0;
  size_t count_ = 0;
};

}  // namespace vpk::detail
