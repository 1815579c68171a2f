#pragma once
/// @file VPKDataProcessor.h
/// The interface of one step of the analyzer's cycle, and the processor type bits.
///
/// A data processor receives each cycle's channel descriptions (VPKChannelDescription) and
/// may add its results to them. The library's own processors are the signal validity
/// monitor (VPKSignalValidityMonitor) and the focus detector (VPKDadeFocusAnalyzer);
/// applications add their own, most simply as a VPKBlockDataProcessor.
///
/// How the analyzer runs processors:
///   - Each processor has one type (bits below). The analyzer keeps one enabled-types mask
///     per channel (left 15, right 5 by default). A listed processor runs on a channel only
///     when every bit of its type is enabled there (t & mask == t; type 0 runs everywhere),
///     or when it answers true to requiresUpdateToApplyToAllChannels().
///   - For a listed processor the analyzer first asks prepareToUpdateChannelDescription()
///     and calls updateChannelDescription() only when that returns true. The validity
///     monitor and the focus detectors are not listed: the analyzer updates them directly,
///     without the prepare step.
///   - Listed processors run in priority order: those that report a priority first, by
///     ascending priority; those that report none last, in the order they were added.
///   - resetWithAnalyzer() is called at analyzer set-up and on every analyzer reset.
///
/// Threads: every operation is called on the analyzer's processing thread, one processor at
/// a time, so work done inside these calls needs no lock of its own. Processors are held by
/// std::shared_ptr; the analyzer holds its processors strongly.
///
/// Names: `resetWithAnalyzer:` -> resetWithAnalyzer(analyzer); `prepareToUpdateChannelDescription:`
/// and `updateChannelDescription:` keep their first keyword and take the description by
/// reference. An optional operation is a virtual function with a default; a priority that
/// is not implemented is std::nullopt (it sorts last).

#include <VemraPlatformKit/VPKExport.h>

#include <cstdint>
#include <optional>

class VPKSignalAnalyzer;
class VPKChannelDescription;

/// The type bits of a data processor (an unsigned integer; a processor has one type).
using VPKDataProcesserType = std::uint64_t;
/// Spectra: the analyzer updates a channel's spectra only when this bit is enabled for it.
inline constexpr VPKDataProcesserType VPKDataProcesserTypeFFT = 1;
/// Focus detection (the focus detectors report this type).
inline constexpr VPKDataProcesserType VPKDataProcesserTypeFocus = 2;
/// Signal validity and idle recognition (the validity monitor reports this type).
inline constexpr VPKDataProcesserType VPKDataProcesserTypeSignalValidity = 4;
/// The type of a block processor that does not say otherwise.
inline constexpr VPKDataProcesserType VPKDataProcesserTypeCustom = 8;
/// Every type above.
inline constexpr VPKDataProcesserType VPKDataProcesserTypeAll = 15;

class VPK_EXPORT VPKDataProcessor {
 public:
  virtual ~VPKDataProcessor();

  /// Starts a fresh history. `analyzer` is the analyzer that owns the processor, or null when
  /// the processor is reset outside an analyzer; it is valid only during the call.
  virtual void resetWithAnalyzer(VPKSignalAnalyzer* analyzer) = 0;
  /// The processor's type bits.
  virtual VPKDataProcesserType dataProcessorType() = 0;
  /// Whether to update `description` this cycle.
  virtual bool prepareToUpdateChannelDescription(VPKChannelDescription& description) = 0;
  /// Adds the processor's results to `description`. The analyzer ignores the result.
  virtual bool updateChannelDescription(VPKChannelDescription& description) = 0;

  /// The processor's priority (lower runs first); std::nullopt when it has none.
  virtual std::optional<std::int64_t> dataProcessorPriority() { return std::nullopt; }
  /// Whether the processor can recognise an idle (not worn, no signal) state.
  virtual bool supportsIdleSignalRecognition() { return false; }
  /// Whether the processor currently recognises an idle state.
  virtual bool idleSignalRecognized() { return false; }
  /// True: run on every channel whatever the analyzer's masks.
  virtual bool requiresUpdateToApplyToAllChannels() { return false; }

 protected:
  VPKDataProcessor() = default;
  VPKDataProcessor(const VPKDataProcessor&) = default;
  VPKDataProcessor& operator=(const VPKDataProcessor&) = default;
};
