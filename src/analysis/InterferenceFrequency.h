#pragma once
// The mains-interference frequency the analysis places its notch and interference filters
// around.

namespace vpk {

/// The library's mains-interference frequency in Hz: the one chosen at launch from the
/// locale (50 or 60), or 60 when none has been chosen.
unsigned mainsInterferenceFrequency();

}  // namespace vpk
