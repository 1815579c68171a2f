#pragma once
/// @file VPKDadeFocusAnalyzer.h
/// The focus detector: turns one channel's filtered amplitude spectrum into a focus score
/// and an alternate focus score between 0 and 1, once per analysis cycle.
///
/// The focus score rises when the slow rhythms (2 to 8 Hz) are weak and the 16 to 21 Hz
/// activity is strong relative to the 10 to 15 Hz activity; it is a ten-cycle moving average
/// of a per-cycle score. The alternate score measures how long the focus score has stayed
/// high: every five scored cycles the share of "target zone" credit is averaged over the
/// last ten such blocks.
///
/// Per cycle (updateChannelDescription), with band values the mean filtered amplitude over
/// D 2-4 Hz, T 5-8 Hz, B 16-21 Hz, A 10-15 Hz (bounds included, 0 when no bin lies there)
/// and eps = 1.1920929e-7:
///   1. idle channel set: both scores become absent; nothing else changes; returns false;
///   2. |D| < eps or |T| < eps, or any band value not finite (a spectrum with a NaN): both
///      scores repeat the current averages; nothing else changes; returns false;
///   3. B' = 1e-8 when |B| < eps else B; A' = B' when |A| < eps else A; r = B'/A';
///      bara += min(r, 1); bBuffer, bma += B'; dma += D; tma += T;
///      x1 = max((c0 Dm + c1 Tm) / c2, 0); x2 = x1 > 1 ? 0 : 1 - x1;
///      x3 = max((c4 x2 + R c3) / c5, 0); x4 = min(x3, 1) / c6 - c7;
///      s = x4 > 1 ? 1 : (x4 > 0 ? x4 : 0); sa += s; F = sa's moving average (the focus score);
///   4. target-zone credit by F (>= 0.8: 1.0, 0.7: 0.9, 0.6: 0.8, 0.55: 0.6, 0.3: 0.25); every
///      fifth scored cycle the block's rate goes into asa; the alternate score is asa's moving
///      average clamped to [0, 1]. Returns true.
/// Coefficients c0..c7 = 0.6, 1.4, 2.0, 0.75, 1.25, 2.0, 0.9, 0.1.
///
/// Life: create() makes an inert instance; resetWithAnalyzer() starts a fresh history of
/// band values and averages (the analyzer resets its detectors at set-up and on every reset),
/// while an unfinished block of target-zone cycles carries over. An instance updated while
/// it lacks any of its averages or bBuffer (it was never reset) resets itself first.
///
/// The analyzer makes two, for channel 0 and channel 1, and updates each with its channel's
/// description. Threads: everything runs on the analyzer's processing thread; the instance
/// has no lock, so read its state there (or when no analyzer drives it).
///
/// Names: `init` -> create(); `calculateMeanPower:inRange:` -> calculateMeanPower(description,
/// range); `supportsProcessingOfChannel:` -> supportsProcessingOfChannel(channel).

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/analysis/VPKDataProcessor.h>
#include <VemraPlatformKit/dsp/VPKFilter.h>
#include <VemraPlatformKit/numeric/VPKFloatBuffer.h>
#include <VemraPlatformKit/numeric/VPKMovingAverage.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

class VPK_EXPORT VPKDadeFocusAnalyzer : public VPKDataProcessor {
 public:
  using Coefficients = std::array<float, 8>;
  /// c0 ... c7 of the score formula.
  static constexpr Coefficients kDefaultCoefficients = {0.6f, 1.4f, 2.0f, 0.75f, 1.25f, 2.0f, 0.9f, 0.1f};

  /// An inert instance for `channel`.
  static std::shared_ptr<VPKDadeFocusAnalyzer> create(std::uint64_t channel = 0);
  VPKDadeFocusAnalyzer();
  ~VPKDadeFocusAnalyzer() override;
  VPKDadeFocusAnalyzer(const VPKDadeFocusAnalyzer&) = delete;
  VPKDadeFocusAnalyzer& operator=(const VPKDadeFocusAnalyzer&) = delete;

  // ------------------------------------------------------------ VPKDataProcessor
  /// Sets relativeMaximum, samplingPeriod, the buffers, the averages and the coefficients to
  /// their initial values; cycles and cyclesSpentInTargetZone keep theirs. `analyzer` is not
  /// used.
  void resetWithAnalyzer(VPKSignalAnalyzer* analyzer) override;
  /// 2 (focus).
  VPKDataProcesserType dataProcessorType() override { return VPKDataProcesserTypeFocus; }
  /// Always true.
  bool prepareToUpdateChannelDescription(VPKChannelDescription&) override { return true; }
  /// One scoring cycle; true when a new score was computed.
  bool updateChannelDescription(VPKChannelDescription& description) override;
  /// -9998.
  std::optional<std::int64_t> dataProcessorPriority() override { return -9998; }

  /// True when `channel` is this instance's channel.
  bool supportsProcessingOfChannel(std::uint64_t channel) const { return channel == channel_; }
  /// The mean filtered amplitude of `description` over `range` (bounds included); 0 when no
  /// bin lies in the range.
  static float calculateMeanPower(const VPKChannelDescription& description, VPKFrequencyRange range);

  // ------------------------------------------------------------ properties
  std::uint64_t channel() const { return channel_; }
  void setChannel(std::uint64_t v) { channel_ = v; }
  /// Not used by the scoring.
  double relativeMaximum() const { return relativeMaximum_; }
  void setRelativeMaximum(double v) { relativeMaximum_ = v; }
  /// Period of sa (10 after a reset).
  std::uint64_t samplingPeriod() const { return samplingPeriod_; }
  void setSamplingPeriod(std::uint64_t v) { samplingPeriod_ = v; }
  /// Ten values each; dBuffer, tBuffer, aBuffer are not updated by the scoring, bBuffer holds
  /// the last ten B' values. Null before the first reset.
  const VPKFloatBuffer::Ptr& dBuffer() const { return dBuffer_; }
  const VPKFloatBuffer::Ptr& tBuffer() const { return tBuffer_; }
  const VPKFloatBuffer::Ptr& aBuffer() const { return aBuffer_; }
  const VPKFloatBuffer::Ptr& bBuffer() const { return bBuffer_; }
  void setDBuffer(VPKFloatBuffer::Ptr v) { dBuffer_ = std::move(v); }
  void setTBuffer(VPKFloatBuffer::Ptr v) { tBuffer_ = std::move(v); }
  void setABuffer(VPKFloatBuffer::Ptr v) { aBuffer_ = std::move(v); }
  void setBBuffer(VPKFloatBuffer::Ptr v) { bBuffer_ = std::move(v); }
  /// The averages (periods 16, 4, 10, 4, 8, samplingPeriod, 10); ama is not updated by the
  /// scoring. Null before the first reset.
  const VPKMovingAverage::Ptr& dma() const { return dma_; }
  const VPKMovingAverage::Ptr& tma() const { return tma_; }
  const VPKMovingAverage::Ptr& ama() const { return ama_; }
  const VPKMovingAverage::Ptr& bma() const { return bma_; }
  const VPKMovingAverage::Ptr& bara() const { return bara_; }
  const VPKMovingAverage::Ptr& sa() const { return sa_; }
  const VPKMovingAverage::Ptr& asa() const { return asa_; }
  void setDma(VPKMovingAverage::Ptr v) { dma_ = std::move(v); }
  void setTma(VPKMovingAverage::Ptr v) { tma_ = std::move(v); }
  void setAma(VPKMovingAverage::Ptr v) { ama_ = std::move(v); }
  void setBma(VPKMovingAverage::Ptr v) { bma_ = std::move(v); }
  void setBara(VPKMovingAverage::Ptr v) { bara_ = std::move(v); }
  void setSa(VPKMovingAverage::Ptr v) { sa_ = std::move(v); }
  void setAsa(VPKMovingAverage::Ptr v) { asa_ = std::move(v); }
  /// Not used by the scoring.
  const std::optional<vpk::Date>& nextCriticalUpdate() const { return nextCriticalUpdate_; }
  void setNextCriticalUpdate(std::optional<vpk::Date> v) { nextCriticalUpdate_ = v; }
  std::uint64_t criticalDeclines() const { return criticalDeclines_; }
  void setCriticalDeclines(std::uint64_t v) { criticalDeclines_ = v; }
  std::uint64_t criticalInclines() const { return criticalInclines_; }
  void setCriticalInclines(std::uint64_t v) { criticalInclines_ = v; }
  std::uint64_t criticalCycles() const { return criticalCycles_; }
  void setCriticalCycles(std::uint64_t v) { criticalCycles_ = v; }
  /// Target-zone credit gathered in the current block of cycles.
  double cyclesSpentInTargetZone() const { return cyclesSpentInTargetZone_; }
  void setCyclesSpentInTargetZone(double v) { cyclesSpentInTargetZone_ = v; }
  /// Scored cycles counted in the current block.
  std::uint64_t cycles() const { return cycles_; }
  void setCycles(std::uint64_t v) { cycles_ = v; }
  const Coefficients& coefficients() const { return coefficients_; }
  void setCoefficients(const Coefficients& v) { coefficients_ = v; }

 private:
  std::uint64_t channel_ = 0;
  double relativeMaximum_ = 0.0;
  std::uint64_t samplingPeriod_ = 0;
  VPKFloatBuffer::Ptr dBuffer_, tBuffer_, aBuffer_, bBuffer_;
  VPKMovingAverage::Ptr dma_, tma_, ama_, bma_, bara_, sa_, asa_;
  std::optional<vpk::Date> nextCriticalUpdate_;
  std::uint64_t criticalDeclines_ = 0;
  std::uint64_t criticalInclines_ = 0;
  std::uint64_t criticalCycles_ = 0;
  double cyclesSpentInTargetZone_ = 0.0;
  std::uint64_t cycles_ = 0;
  Coefficients coefficients_ = kDefaultCoefficients;
};
