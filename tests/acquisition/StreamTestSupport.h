#pragma once
// Test peers of the signal stream: an output that records what it receives, and packets.

#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace vpk::test {

/// A data packet whose six values all equal `value`; byte 1 carries `tag`.
inline std::vector<uint8_t> dataPacket(uint32_t value, uint8_t tag = 0) {
  std::vector<uint8_t> p{0xA0, tag};
  for (int i = 0; i < 6; ++i) p.insert(p.end(), {uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)});
  return p;
}

struct Pair {
  float left, right;
  double timestamp;
  bool moreComing;
};

/// Records every call by name in `events`; hooks run after recording.
class RecordingOutput : public VPKSignalStreamOutput {
 public:
  explicit RecordingOutput(std::optional<uint64_t> priority = std::nullopt) : priority(priority) {}
  void willBeRemovedFromStream(VPKSignalStream&) override { events.push_back("removed"); }
  void streamDidBeginStreaming(VPKSignalStream&) override { events.push_back("begin"); }
  void streamDidOpen(VPKSignalStream& s) override { events.push_back("open"); hook(onOpen, s); }
  void streamDidClose(VPKSignalStream&) override { events.push_back("close"); }
  void didRecieveValues(VPKSignalStream& s, float l, float r, double t, bool more) override {
    events.push_back("values");
    pairs.push_back({l, r, t, more});
    hook(onValues, s);
  }
  void didRecieveData(VPKSignalStream& s, std::span<const uint8_t> p) override {
    events.push_back("data");
    packets.emplace_back(p.begin(), p.end());
    hook(onData, s);
  }
  std::optional<uint64_t> outputPriorityForStream(VPKSignalStream&) override { return priority; }
  void setStream(const std::shared_ptr<VPKSignalStream>& s) override {
    stream = s;
    events.push_back(s ? "attached" : "detached");
  }

  size_t count(const std::string& e) const { return std::count(events.begin(), events.end(), e); }
  /// Byte 1 of every packet received, in order.
  std::vector<int> tags() const {
    std::vector<int> t;
    for (const auto& p : packets) t.push_back(p.size() > 1 ? p[1] : -1);
    return t;
  }

  std::optional<uint64_t> priority;
  std::vector<std::string> events;
  std::vector<Pair> pairs;
  std::vector<std::vector<uint8_t>> packets;
  std::weak_ptr<VPKSignalStream> stream;
  std::function<void(VPKSignalStream&)> onOpen, onValues, onData;

 private:
  static void hook(const std::function<void(VPKSignalStream&)>& f, VPKSignalStream& s) {
    if (f) f(s);
  }
};

/// Verbose logging for its lifetime (the stream logs at level 0).
struct VerboseLog {
  VerboseLog() { VPKLogSetEnabled(true); }
  ~VerboseLog() { VPKLogSetEnabled(false); }
};

}  // namespace vpk::test
