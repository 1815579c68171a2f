#pragma once
// Test peers of the signal stream: an output and a delegate that record what they receive,
// and packet builders.

#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vpk::test {

/// A 20-byte data packet whose six values are `value` each; byte 1 carries `tag`.
inline std::vector<uint8_t> dataPacket(uint32_t value, uint8_t tag = 0) {
  std::vector<uint8_t> p{0xA0, tag};
  for (int i = 0; i < 6; ++i) {
    p.push_back(static_cast<uint8_t>(value >> 16));
    p.push_back(static_cast<uint8_t>(value >> 8));
    p.push_back(static_cast<uint8_t>(value));
  }
  return p;
}

struct Pair {
  float left;
  float right;
  double timestamp;
  bool moreComing;
};

/// Records every call in `events` ("open", "close", "begin", "values", "data", "removed")
/// and the details in `pairs` and `packets`. Hooks run after recording.
class RecordingOutput : public VPKSignalStreamOutput, public std::enable_shared_from_this<RecordingOutput> {
 public:
  explicit RecordingOutput(std::optional<uint64_t> priority = std::nullopt, std::string name = {})
      : priority_(priority), name_(std::move(name)) {}

  void willBeRemovedFromStream(VPKSignalStream&) override { events.push_back("removed"); }
  void streamDidBeginStreaming(VPKSignalStream& s) override {
    events.push_back("begin");
    if (onBegin) onBegin(s);
  }
  void streamDidOpen(VPKSignalStream& s) override {
    events.push_back("open");
    if (onOpen) onOpen(s);
  }
  void streamDidClose(VPKSignalStream&) override { events.push_back("close"); }
  void didRecieveValues(VPKSignalStream& s, float l, float r, double t, bool more) override {
    events.push_back("values");
    pairs.push_back({l, r, t, more});
    if (log) log->push_back(name_);
    if (onValues) onValues(s);
  }
  void didRecieveData(VPKSignalStream& s, std::span<const uint8_t> p) override {
    events.push_back("data");
    packets.emplace_back(p.begin(), p.end());
    if (onData) onData(s);
  }
  std::optional<uint64_t> outputPriorityForStream(VPKSignalStream&) override { return priority_; }
  void setStream(const std::shared_ptr<VPKSignalStream>& s) override {
    stream = s;
    setStreamCalls.push_back(s != nullptr);
  }

  size_t count(const std::string& e) const {
    size_t n = 0;
    for (const auto& x : events) n += x == e;
    return n;
  }
  /// Byte 1 of every packet received, in order.
  std::vector<int> tags() const {
    std::vector<int> t;
    for (const auto& p : packets) t.push_back(p.size() > 1 ? p[1] : -1);
    return t;
  }

  std::optional<uint64_t> priority_;
  std::string name_;
  std::vector<std::string> events;
  std::vector<Pair> pairs;
  std::vector<std::vector<uint8_t>> packets;
  std::vector<std::string>* log = nullptr;  // shared order of value calls across outputs
  std::weak_ptr<VPKSignalStream> stream;
  std::vector<bool> setStreamCalls;
  std::function<void(VPKSignalStream&)> onBegin, onOpen, onValues, onData;
};

/// Turns verbose logging on for its lifetime (the stream's messages are level 0).
struct VerboseLog {
  VerboseLog() { VPKLogSetEnabled(true); }
  ~VerboseLog() { VPKLogSetEnabled(false); }
};

}  // namespace vpk::test
