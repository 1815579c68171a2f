#pragma once
// Internal entry points of VPKSignalStream for benchmarks: the decoding step on its own,
// without the arrival bookkeeping of processData(). Call it where the stream's state
// belongs (the shared queue, or a thread that is the stream's only user).

#include <VemraPlatformKit/acquisition/VPKSignalStream.h>

#include <span>

namespace vpk::detail {

struct SignalStreamAccess {
  static void decode(VPKSignalStream& stream, std::span<const uint8_t> packet, double now) {
    stream.decodePacket(packet, now);
  }
};

}  // namespace vpk::detail
