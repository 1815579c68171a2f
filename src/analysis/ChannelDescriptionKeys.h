#pragma once
// The declared property names of VPKChannelDescription, in declaration order.

namespace vpk {

inline constexpr const char* kChannelDescriptionKeys[] = {
    "channelSet",   "includesRawSignalFFTResults", "cycles",         "channel",      "analysisSampleRange",
    "rawSignal",    "filteredSignal",              "samplingRate",   "analysisRate", "timestamp",
    "filteredDFT",  "rawDFT",                      "focusScore",     "fftStatus",    "signalStatus",
    "idle",         "partialUpdate",               "sampleRange",    "alternateFocusScore",
};

/// Archive key of the custom values.
inline constexpr const char* kCustomValuesKey = "customValues__";

}  // namespace vpk
