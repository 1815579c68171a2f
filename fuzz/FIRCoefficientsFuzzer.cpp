// A FIR coefficient file, read through the filter as an application loads one; the
// coefficients it accepts then filter a short block.
#include "FuzzSupport.h"

#include <VemraPlatformKit/dsp/VPKFIRFilter.h>

#include <cmath>
#include <vector>

using vpk::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto& path = vpk::fuzz::writeScratchFile(data, size);
  const auto filter = VPKFIRFilter::create(path.string());
  check(filter->filterLength() <= VPKFIRFilter::kMaxCoefficients, "more coefficients than the limit");
  for (float c : filter->coefficients()) check(std::isfinite(c), "a coefficient is not a finite number");
  std::vector<float> block(64, 1.0f);
  filter->filter(block.data(), block.size());
  return 0;
}
