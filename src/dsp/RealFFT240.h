#pragma once
// The spectrum of a 240-sample real window (the analyzer's spectrum window), computed by a
// transform written for that one length: the 240 real samples are taken as 120 complex
// ones (even samples real, odd samples imaginary), transformed as 4 x 2 x 3 x 5 with
// precomputed twiddles, and split back into the real window's spectrum. It performs the
// general real transform's (kissfft's) float operations in the same order, so its
// results are that transform's bit for bit, at about half the cost. Four lanes at a time
// where the processor has SSE2.

#include <cstddef>

namespace vpk::detail {

/// True where the specialised transform is built (SSE2); elsewhere callers keep their
/// general transform.
bool hasRealFFT240();

/// True where the FFT buffer uses it for its 240-sample windows: wherever it is built and,
/// checked once per process, gives the linked kissfft's bits, unless the build option
/// VPK_FAST_WINDOW_TRANSFORM is turned off.
bool usesRealFFT240();

/// X[k] = sum_j x[j] e^(-2 pi i j k / 240) for 0 <= k < 120, unscaled, into re[k] and
/// im[k] (im[0] = 0), exactly as kiss_fftr computes them. `x` holds 240 samples; no alignment is needed. Allocates nothing.
void realFFT240(const float* x, float* re, float* im);

}  // namespace vpk::detail
