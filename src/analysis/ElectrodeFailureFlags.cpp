#include "analysis/ElectrodeFailureFlags.h"

#include <mutex>

namespace vpk::detail {

namespace {

struct LookupSlot {
  std::mutex mutex;
  ElectrodeFlagsLookup lookup;
};

LookupSlot& slot() {
  static LookupSlot* s = new LookupSlot();  // lives for the process
  return *s;
}

}  // namespace

void setElectrodeFlagsLookup(ElectrodeFlagsLookup lookup) {
  std::lock_guard<std::mutex> lock(slot().mutex);
  slot().lookup = std::move(lookup);
}

std::shared_ptr<ElectrodeFailureFlags> electrodeFlagsOf(VPKSignalStream& stream) {
  ElectrodeFlagsLookup lookup;
  {
    std::lock_guard<std::mutex> lock(slot().mutex);
    lookup = slot().lookup;
  }
  return lookup ? lookup(stream) : nullptr;
}

void applyFlatlineVerdicts(ElectrodeFailureFlags& flags, bool leftFlatline, bool rightFlatline) {
  if (leftFlatline) flags.setHasLeftElectrodeFailure(true);
  if (rightFlatline) flags.setHasRightElectrodeFailure(true);
  if (!leftFlatline && !rightFlatline) {
    if (!flags.hasLeftElectrodeFailure())
      flags.setHasLeftElectrodeFailure(false);
    else if (!flags.hasRightElectrodeFailure())
      flags.setHasRightElectrodeFailure(false);
    return;
  }
  if (!leftFlatline && !flags.hasLeftElectrodeFailure()) flags.setHasLeftElectrodeFailure(false);
  if (!rightFlatline && !flags.hasRightElectrodeFailure()) flags.setHasRightElectrodeFailure(false);
}

}  // namespace vpk::detail
