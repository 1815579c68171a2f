#pragma once
// The spectrum of a 240-sample real window (the analyzer's one-second window at 240
// samples), computed by a transform written for that one length: the 240 real samples
// are taken as 120 complex ones (even samples real, odd samples imaginary), transformed
// as 8 x 15 (15 = 3 x 5) with precomputed twiddles, and split back into the real
// window's spectrum. Four lanes at a time where the processor has SSE2.

#include <cstddef>

namespace vpk::detail {

/// True where the specialised transform is built (SSE2); elsewhere callers keep their
/// general transform.
bool hasRealFFT240();

/// True where the FFT buffer uses it for its 240-sample windows: a build option, off by
/// default because the scores of the analysis amplify the transform's float rounding, so
/// a different operation order moves them by up to a few 1e-4 relative.
bool usesRealFFT240();

/// X[k] = sum_j x[j] e^(-2 pi i j k / 240) for 0 <= k < 120, unscaled, into re[k] and
/// im[k]. `x` holds 240 samples; no alignment is needed. Allocates nothing.
void realFFT240(const float* x, float* re, float* im);

}  // namespace vpk::detail
