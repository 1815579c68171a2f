#pragma once
// Test peers of the analyzer: an output that records its calls and the queue they arrived
// on, a validator whose idle verdicts follow a script, and sample feeders.

#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/analysis/VPKDataProcessor.h>
#include <VemraPlatformKit/analysis/VPKSignalAnalyzer.h>
#include <VemraPlatformKit/analysis/VPKSignalAnalyzerOutput.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vpk::test {

class RecordingAnalyzerOutput : public VPKSignalAnalyzerOutput {
 public:
  struct Call {
    std::string kind;  // "enter", "leave", "analysis", "complete"
    std::shared_ptr<VPKChannelSet> channels;
    vpk::DispatchQueue* queue = nullptr;
  };

  explicit RecordingAnalyzerOutput(std::optional<uint64_t> priority = std::nullopt,
                                   vpk::DispatchQueuePtr queue = nullptr)
      : priority_(priority), queue_(std::move(queue)) {}

  vpk::DispatchQueuePtr methodInvocationQueueForSignalAnalyzer(VPKSignalAnalyzer&) override { return queue_; }
  void signalAnalyzerDidEnterIdleState(VPKSignalAnalyzer&) override { record("enter", nullptr); }
  void signalAnalyzerDidLeaveIdleState(VPKSignalAnalyzer&) override { record("leave", nullptr); }
  void signalAnalyzerDidPerformAnalysis(VPKSignalAnalyzer&, const std::shared_ptr<VPKChannelSet>& c) override {
    record("analysis", c);
  }
  void signalAnalyzerDidCompleteCycle(VPKSignalAnalyzer&) override { record("complete", nullptr); }
  std::optional<uint64_t> outputPriorityForSignalAnalyzer(VPKSignalAnalyzer&) override { return priority_; }

  std::vector<Call> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  /// The kinds of the calls, optionally only those in `only`.
  std::vector<std::string> kinds(const std::vector<std::string>& only = {}) const {
    std::vector<std::string> k;
    for (const auto& c : calls())
      if (only.empty() || std::find(only.begin(), only.end(), c.kind) != only.end()) k.push_back(c.kind);
    return k;
  }
  size_t count(const std::string& kind) const { return kinds({kind}).size(); }
  std::vector<std::shared_ptr<VPKChannelSet>> results() const {
    std::vector<std::shared_ptr<VPKChannelSet>> r;
    for (const auto& c : calls())
      if (c.channels) r.push_back(c.channels);
    return r;
  }

 private:
  void record(const char* kind, std::shared_ptr<VPKChannelSet> channels) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({kind, std::move(channels), vpk::DispatchQueue::current()});
  }
  std::optional<uint64_t> priority_;
  vpk::DispatchQueuePtr queue_;
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
};

/// A validator whose idle verdict after cycle k is script[k] (the last entry repeats).
class ScriptedValidator : public VPKDataProcessor {
 public:
  explicit ScriptedValidator(std::vector<bool> script = {false}) : script_(std::move(script)) {}
  void resetWithAnalyzer(VPKSignalAnalyzer*) override { resets.fetch_add(1); }
  VPKDataProcesserType dataProcessorType() override { return VPKDataProcesserTypeSignalValidity; }
  bool prepareToUpdateChannelDescription(VPKChannelDescription&) override { return true; }
  bool updateChannelDescription(VPKChannelDescription& d) override {
    updates.fetch_add(1);
    if (d.channel() == 0) {
      const size_t k = std::min(cycle_++, script_.size() - 1);
      idle_ = script_[k];
    }
    return true;
  }
  bool idleSignalRecognized() override { return idle_; }

  std::atomic<int> resets{0};
  std::atomic<int> updates{0};

 private:
  std::vector<bool> script_;
  size_t cycle_ = 0;
  bool idle_ = false;
};

/// Queues `count` samples: left = a slow sine plus `offset`, right = left / 2.
inline void feedSamples(VPKSignalAnalyzer& analyzer, size_t count, double timestamp = 0, float offset = 1000.0f) {
  static std::atomic<uint64_t> phase{0};
  for (size_t i = 0; i < count; ++i) {
    const float v = offset + 50.0f * std::sin(static_cast<float>(phase.fetch_add(1)) * 0.3f);
    analyzer.processData(v, v / 2.0f, timestamp, false);
  }
}

}  // namespace vpk::test
