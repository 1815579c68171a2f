#pragma once
/// @file VPKSignalAnalyzerSample.h
/// The small record in which the analyzer queues one incoming left/right sample pair until
/// its processing thread takes it.
///
/// A plain value type (copyable, no identity, no lock): the analyzer keeps its pending
/// samples in a container of these, so queueing a sample allocates nothing once the
/// container has grown. A new sample has both values 0, count 0, timestamp 0.
///
/// Names: `setData:count:timestamp:` -> setData(values, count, timestamp); the properties
/// are data(), count(), timestamp(), processed() / setProcessed().

#include <VemraPlatformKit/VPKExport.h>

#include <cstdint>

class VPK_EXPORT VPKSignalAnalyzerSample {
 public:
  /// Number of values a sample holds (left, right).
  static constexpr std::uint64_t kCapacity = 2;

  VPKSignalAnalyzerSample() = default;
  /// A sample of both channels (count 2).
  VPKSignalAnalyzerSample(float left, float right, double timestamp)
      : data_{left, right}, count_(2), timestamp_(timestamp) {}

  /// Copies `count` values (at most 2; more are cut to 2, a null `values` copies none) into
  /// data(); values past `count` become 0.
  void setData(const float* values, std::uint64_t count, double timestamp);

  /// The two values: left, right.
  const float* data() const { return data_; }
  float left() const { return data_[0]; }
  float right() const { return data_[1]; }
  /// Number of valid values, at most 2.
  std::uint64_t count() const { return count_; }
  /// Seconds since 2001-01-01 00:00:00 UTC, as delivered by the stream.
  double timestamp() const { return timestamp_; }
  /// Stored only.
  bool processed() const { return processed_; }
  void setProcessed(bool processed) { processed_ = processed; }

 private:
  float data_[kCapacity] = {0.0f, 0.0f};
  std::uint64_t count_ = 0;
  double timestamp_ = 0.0;
  bool processed_ = false;
};
