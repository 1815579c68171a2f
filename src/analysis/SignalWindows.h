#pragma once
// The signal side of the analyzer's cycle: the raw and filtered signal windows of both
// channels, the four spectra, and the channel set built from them.
//
// One cycle: analyze() pushes the cycle's samples into the raw windows, filters a working
// copy of them into the filtered windows, feeds all four spectra, recomputes the spectra
// that the type masks ask for, and builds a VPKChannelSet of a left and (two-channel
// analysis only) a right description. The descriptions hold immutable copies of the
// windows and the spectra's snapshots, so later cycles never change them.
//
// Not locked: used by whoever runs the analyzer's cycles, one cycle at a time. The filters
// belong to the analyzer's settings, so they are run with the settings lock held.

#include <VemraPlatformKit/analysis/VPKChannelSet.h>
#include <VemraPlatformKit/analysis/VPKSignalAnalyzerSample.h>
#include <VemraPlatformKit/dsp/VPKFFTBuffer.h>
#include <VemraPlatformKit/dsp/VPKFilter.h>
#include <VemraPlatformKit/numeric/VPKFloatBuffer.h>

#include "analysis/AnalyzerSpinLock.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace vpk::detail {

class SignalWindows {
 public:
  /// Samples in each spectrum window.
  static constexpr int kSpectrumSize = 240;

  SignalWindows(uint64_t bufferSize, uint64_t samplingRate, bool twoChannels);

  /// Fresh zero windows and empty spectra.
  void reset();

  struct Cycle {
    const VPKSignalAnalyzerSample* samples = nullptr;
    size_t count = 0;
    uint64_t leftMask = 0;
    uint64_t rightMask = 0;
    /// Samples analysed since the reset, this cycle's included.
    uint64_t cycles = 0;
    float analysisRate = 0;
    bool filteredOnly = false;
    VPKFilter* leftFilter = nullptr;
    VPKFilter* rightFilter = nullptr;
    /// Held while the filters run.
    AnalyzerSpinLock* filterLock = nullptr;
    /// The descriptions' timestamp.
    double now = 0;
  };

  std::shared_ptr<VPKChannelSet> analyze(const Cycle& cycle);

  /// A new, empty spectrum configured like the analyzer's own.
  std::shared_ptr<VPKFFTBuffer> createFFTBuffer() const;

 private:
  struct Channel {
    std::shared_ptr<VPKFloatBuffer> raw;
    std::shared_ptr<VPKFloatBuffer> filtered;
    std::shared_ptr<VPKFFTBuffer> rawFFT;
    std::shared_ptr<VPKFFTBuffer> filteredFFT;
    std::vector<float> rawValues;
    std::vector<float> workValues;
  };

  void push(Channel& channel, const Cycle& cycle, size_t index);
  void updateSpectra(Channel& channel, const Cycle& cycle, uint64_t mask, bool hasFilter);
  VPKChannelDescription::Ptr describe(Channel& channel, const Cycle& cycle, uint64_t number, uint64_t mask,
                                      const std::shared_ptr<VPKFloatBuffer>& frequencies);

  uint64_t bufferSize_;
  uint64_t samplingRate_;
  bool twoChannels_;
  Channel left_;
  Channel right_;
};

}  // namespace vpk::detail
