#pragma once
/// @file VPKSignalValidityMonitor.h
/// The data processor that decides whether the headband delivers a usable signal.
///
/// Each analyzer installs one as its signal validator and updates it every cycle with the
/// left, then the right channel description. It recognises two kinds of bad signal:
///   - a flat line: a channel's raw value keeps the same integer part for at least 250
///     consecutive samples (one second at 250 Hz), as when an electrode has no contact or
///     the amplifier is saturated;
///   - mains-frequency interference: the largest spectral amplitude strictly within 2 Hz of
///     the mains frequency m (58 to 62 Hz at 60 Hz, 48 to 52 Hz at 50 Hz) of the channel's
///     new samples, run through the monitor's own filter chain, averaged exponentially
///     (alpha 0.9), above the channel's threshold (0.7).
/// When either holds on either channel and keeps holding for more than 1.5 s, the monitor
/// reports the idle state (idleSignalRecognized()).
///
/// Per update (one description): a description whose fftStatus is 0 only gets its
/// signalStatus cleared. Otherwise the channel's new samples (analysisSampleRange of
/// rawSignal) are counted for the flat line, filtered, added to the channel's 240-sample
/// spectrum, and the interference measure is taken. Once both channels have been updated,
/// the monitor decides (once per cycle): flat-line verdicts, the raw idle verdict, and its
/// confirmation 1.5 s (library clock, vpk::Clock) after the raw verdict last changed. A
/// verdict that flips back within 1.5 s restarts the wait. A description set without a
/// right channel never completes a decision, so the verdicts keep their values.
///
/// Filter chain per channel, at 250 Hz and Q 3.0: high-pass at m - 1 Hz, low-pass at
/// m + 1 Hz, band-pass 1 to 50 Hz.
///
/// Mains frequency m: the analyzer's (VPKSignalAnalyzer::mainsFrequency()), adopted at every
/// resetWithAnalyzer() with an analyzer; for a monitor used on its own, the one given to
/// setMainsFrequency(), else the library's stored one. The chain and the measure are built
/// for it by rebuild().
///
/// Logs (level 0): "WARNING: Signal flat line values changed:(l,r)" when a flat-line verdict
/// changes, with the verdicts as 1 or 0.
///
/// Threads: updated on the analyzer's processing thread. The thresholds, idealDCOffset, the
/// flat-line verdicts and idleSignalRecognized() may be set and read from any thread; the
/// other read-outs belong to the processing thread (or to whoever drives the monitor when no
/// analyzer does).
///
/// Names: `init` -> create(); `leftFlatline`/`rightFlatline` keep their names; the internal
/// state of the design (leftDSGamma, leftAvg, leftFlatlineCycles, pendingIdle, ...) is
/// readable through the read-outs below.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/analysis/VPKDataProcessor.h>
#include <VemraPlatformKit/dsp/VPKCompoundFilter.h>
#include <VemraPlatformKit/dsp/VPKFFTBuffer.h>
#include <VemraPlatformKit/numeric/VPKMovingAverage.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class VPK_EXPORT VPKSignalValidityMonitor : public VPKDataProcessor {
 public:
  /// Samples of one second at the headband's rate: a flat line needs this many repeats.
  static constexpr std::uint64_t kFlatlineCycles = 250;
  /// Seconds a changed raw verdict must persist before the idle state follows it.
  static constexpr double kIdleConfirmationDelay = 1.5;

  /// Thresholds 0.7, filters and spectra built; the two averages come with the first
  /// resetWithAnalyzer().
  static std::shared_ptr<VPKSignalValidityMonitor> create();
  VPKSignalValidityMonitor();
  ~VPKSignalValidityMonitor() override;
  VPKSignalValidityMonitor(const VPKSignalValidityMonitor&) = delete;
  VPKSignalValidityMonitor& operator=(const VPKSignalValidityMonitor&) = delete;

  // ------------------------------------------------------------ VPKDataProcessor
  /// New averages for both channels and a rebuild of the filters and spectra for the
  /// analyzer's mains frequency (when an analyzer is given); flat-line counters, verdicts and
  /// the idle state are kept.
  void resetWithAnalyzer(VPKSignalAnalyzer* analyzer) override;
  /// 4 (signal validity).
  VPKDataProcesserType dataProcessorType() override { return VPKDataProcesserTypeSignalValidity; }
  /// True when the description's fftStatus is 2.
  bool prepareToUpdateChannelDescription(VPKChannelDescription& description) override;
  /// One channel's update (see the file comment); always true.
  bool updateChannelDescription(VPKChannelDescription& description) override;
  /// -9999.
  std::optional<std::int64_t> dataProcessorPriority() override { return -9999; }
  bool supportsIdleSignalRecognition() override { return true; }
  /// The confirmed idle state.
  bool idleSignalRecognized() override { return detectedIdle_.load(std::memory_order_relaxed); }

  /// Builds both filter chains and both spectra anew for mainsFrequency().
  void rebuild();
  /// The mains frequency the next rebuild() uses: the one set, else the library's stored
  /// one (60 Hz when none is stored). Any thread.
  unsigned mainsFrequency() const;
  /// 0 follows the library's stored frequency. Takes effect at the next rebuild() (or
  /// resetWithAnalyzer(), which adopts the analyzer's frequency instead).
  void setMainsFrequency(unsigned hz);

  // ------------------------------------------------------------ properties
  float leftThreshold() const { return leftThreshold_.load(std::memory_order_relaxed); }
  void setLeftThreshold(float v) { leftThreshold_.store(v, std::memory_order_relaxed); }
  float rightThreshold() const { return rightThreshold_.load(std::memory_order_relaxed); }
  void setRightThreshold(float v) { rightThreshold_.store(v, std::memory_order_relaxed); }
  /// The current flat-line verdicts (decided once per cycle).
  bool leftFlatline() const { return leftFlatline_.load(std::memory_order_relaxed); }
  void setLeftFlatline(bool v) { leftFlatline_.store(v, std::memory_order_relaxed); }
  bool rightFlatline() const { return rightFlatline_.load(std::memory_order_relaxed); }
  void setRightFlatline(bool v) { rightFlatline_.store(v, std::memory_order_relaxed); }
  /// Stored only.
  float idealDCOffset() const { return idealDCOffset_.load(std::memory_order_relaxed); }
  void setIdealDCOffset(float v) { idealDCOffset_.store(v, std::memory_order_relaxed); }
  /// Always 0.
  std::uint64_t status() const { return 0; }

  // ------------------------------------------------------------ read-outs (processing thread)
  /// Latest interference measure per channel.
  float leftDSGamma() const { return leftDSGamma_; }
  float rightDSGamma() const { return rightDSGamma_; }
  /// Exponential averages of the measures; null before the first resetWithAnalyzer().
  const std::shared_ptr<VPKMovingAverage>& leftAvg() const { return leftAvg_; }
  const std::shared_ptr<VPKMovingAverage>& rightAvg() const { return rightAvg_; }
  /// Integer part of the channel's last raw sample and the run of repeats before it.
  std::int32_t leftFlatlineValue() const { return leftFlatlineValue_; }
  std::int32_t rightFlatlineValue() const { return rightFlatlineValue_; }
  std::uint64_t leftFlatlineCycles() const { return leftFlatlineCycles_; }
  std::uint64_t rightFlatlineCycles() const { return rightFlatlineCycles_; }
  /// The latest raw idle verdict and when it last changed (absent once confirmed).
  bool pendingIdle() const { return pendingIdle_; }
  std::optional<vpk::Date> idleChangeDate() const;
  const std::shared_ptr<VPKCompoundFilter>& leftFilter() const { return leftFilter_; }
  const std::shared_ptr<VPKCompoundFilter>& rightFilter() const { return rightFilter_; }
  const std::shared_ptr<VPKFFTBuffer>& leftFFT() const { return leftFFT_; }
  const std::shared_ptr<VPKFFTBuffer>& rightFFT() const { return rightFFT_; }

 private:
  void updateChannel(bool left, VPKChannelDescription& description);
  void decide();

  std::atomic<float> leftThreshold_{0.7f};
  std::atomic<float> rightThreshold_{0.7f};
  std::atomic<bool> leftFlatline_{false};
  std::atomic<bool> rightFlatline_{false};
  std::atomic<float> idealDCOffset_{0.0f};
  std::atomic<bool> detectedIdle_{false};
  std::atomic<unsigned> mains_{0};  // 0: the library's stored frequency
  float builtMains_ = 60.0f;        // what the chain and the measure were built for

  std::shared_ptr<VPKCompoundFilter> leftFilter_, rightFilter_;
  std::shared_ptr<VPKFFTBuffer> leftFFT_, rightFFT_;
  std::shared_ptr<VPKMovingAverage> leftAvg_, rightAvg_;
  float leftDSGamma_ = 0.0f;
  float rightDSGamma_ = 0.0f;
  std::int32_t leftFlatlineValue_ = 0;
  std::int32_t rightFlatlineValue_ = 0;
  std::uint64_t leftFlatlineCycles_ = 0;
  std::uint64_t rightFlatlineCycles_ = 0;
  bool processedLeft_ = false;
  bool processedRight_ = false;
  bool pendingIdle_ = false;
  std::optional<double> idleChangeDate_;
  // Reused every update, so a cycle allocates nothing once they have grown.
  std::vector<float> window_;
  std::vector<float> fresh_;
};
