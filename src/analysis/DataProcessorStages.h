#pragma once
// How the analyzer runs its data processors each cycle: the processor order and the three
// stages with their type masks. The analyzer calls these on its processing thread with the
// masks and the copy of the processor list it took at the start of the cycle.

#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/analysis/VPKDataProcessor.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace vpk {

using DataProcessorList = std::vector<std::shared_ptr<VPKDataProcessor>>;

/// Sorts `processors` in running order: those that report a priority first, by ascending
/// priority; those that report none after them, in their current (insertion) order. Each
/// processor's priority is asked once.
void sortDataProcessors(DataProcessorList& processors);

/// Validity stage. When bit 4 (signal validity) is set in either mask: updates `validator`
/// with the left, then the right description (when there is one), sets both descriptions'
/// idle to the validator's idleSignalRecognized() and returns true. Otherwise marks both
/// descriptions not idle and returns false. A null validator counts as never idle.
bool runValidityStage(VPKDataProcessor* validator, const VPKChannelSet& set, std::uint64_t leftMask,
                      std::uint64_t rightMask);

/// Focus stage: with bit 2 of a channel's mask set, that channel's detector is updated with
/// that channel's description (no prepare step).
void runFocusStage(VPKDataProcessor* leftDetector, VPKDataProcessor* rightDetector, const VPKChannelSet& set,
                   std::uint64_t leftMask, std::uint64_t rightMask);

/// The listed processors, in list order. A processor of type t runs on a channel when
/// t & mask == t or when it requires updating all channels: prepare, and update when the
/// preparation says so; left description first, then right.
void runProcessorStage(const DataProcessorList& processors, const VPKChannelSet& set, std::uint64_t leftMask,
                       std::uint64_t rightMask);

/// resetWithAnalyzer on the validator, the left and right detectors, then every listed
/// processor, in list order (null entries are skipped).
void resetDataProcessors(VPKSignalAnalyzer* analyzer, VPKDataProcessor* validator, VPKDataProcessor* leftDetector,
                         VPKDataProcessor* rightDetector, const DataProcessorList& processors);

/// The fftStatus of a channel's description: 0 (not ready) until more than 255 samples have
/// been analysed, while bit 0 (spectra) of the channel's mask is clear, or without a
/// spectrum; otherwise 4 when
/// the filtered amplitudes contain a NaN, else 2.
std::uint64_t channelFFTStatus(std::uint64_t cycles, std::uint64_t mask, const VPKFloatBuffer* filteredAmplitude);

}  // namespace vpk
