#pragma once
/// @file VPKTransforms.h
/// Complex discrete Fourier transforms of any length and circular convolution, on
/// separate arrays of real and imaginary parts (32-bit floats).
///
/// The arithmetic inside is double precision, so results are the exact transforms
/// rounded once to float. Each function returns true on success and false, leaving
/// its outputs unchanged, when a length is unusable (see each function; every
/// function refuses lengths above `VPKTransformMaxLength`), an array is null while
/// the length is not 0, or working memory cannot be obtained.
///
/// Any thread may call these functions at the same time; each thread keeps its own
/// tables of twiddle factors and chirps, built on first use of a length.

#include <VemraPlatformKit/VPKExport.h>

#include <cstddef>

/// Longest sequence the transform functions accept.
inline constexpr std::size_t VPKTransformMaxLength = std::size_t{1} << 20;

/// In-place forward transform X[k] = sum_j x[j] e^(-2 pi i jk/n), not normalised.
/// n = 0 succeeds doing nothing and n = 1 leaves the value as it is; a power of two
/// uses `vpk_radix2`, any other length `vpk_czt`.
VPK_EXPORT bool vpk_tfsm(float* re, float* im, std::size_t n);

/// In-place inverse transform without the 1/n factor (the forward transform of the
/// arrays with real and imaginary parts swapped), so `vpk_itfsm` after `vpk_tfsm`
/// gives the input multiplied by n.
VPK_EXPORT bool vpk_itfsm(float* re, float* im, std::size_t n);

/// In-place iterative radix-2 transform; n must be a power of two, at least 2.
VPK_EXPORT bool vpk_radix2(float* re, float* im, std::size_t n);

/// In-place chirp-z (Bluestein) transform for any n: the chirp-weighted input is
/// convolved with the chirp at a power-of-two length of at least 2n + 1.
VPK_EXPORT bool vpk_czt(float* re, float* im, std::size_t n);

/// Circular convolution of two complex sequences of length n:
///   out[k] = sum_j x[j] y[(k - j) mod n].
/// The inputs are not changed; the output arrays may be input arrays.
VPK_EXPORT bool vpk_cnv(const float* xre, const float* xim, const float* yre, const float* yim,
                        float* outre, float* outim, std::size_t n);
