#include "analysis/InterferenceFrequency.h"

namespace vpk {

unsigned mainsInterferenceFrequency() {
  // The launch parameters do not record a frequency yet; 60 Hz is their default.
  return 60;
}

}  // namespace vpk
