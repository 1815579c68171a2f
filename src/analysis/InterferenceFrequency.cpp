#include "analysis/InterferenceFrequency.h"

#include <VemraPlatformKit/frame/VemraPlatformKit.h>

namespace vpk {

unsigned mainsInterferenceFrequency() {
  // A missing or unreadable parameters file reads as 0 Hz, which would put the notch at
  // DC: the parameters' default, 60 Hz, applies instead.
  const unsigned stored = VemraPlatformKit::defaultInterferenceFrequency();
  return stored == 0 ? 60u : stored;
}

}  // namespace vpk
