#pragma once
// Double-precision Fourier kernels behind the public transform functions and the
// FFT buffer's fallback for lengths the real FFT does not handle well.

#include <cstddef>

namespace vpk::detail {

/// In-place forward DFT of any length up to VPKTransformMaxLength (radix-2 for a
/// power of two, chirp-z otherwise). May throw std::bad_alloc.
void fft(double* re, double* im, std::size_t n);

/// In-place radix-2 forward DFT; n a power of two. May throw std::bad_alloc.
void radix2(double* re, double* im, std::size_t n);

/// In-place chirp-z forward DFT of any length n >= 1. May throw std::bad_alloc.
void czt(double* re, double* im, std::size_t n);

constexpr bool isPowerOfTwo(std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }

}  // namespace vpk::detail
