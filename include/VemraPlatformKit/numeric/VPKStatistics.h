#pragma once
/// @file VPKStatistics.h
/// Statistics and small numeric helpers over plain arrays.
///
/// Float functions compute in single precision with sums taken in index order, so their
/// results are those of float arithmetic on every machine. Arrays returned by create-style
/// functions (vpk_fibul) belong to the caller and are released with std::free(). None of
/// these functions keeps state; all may be called from any thread.

#include <VemraPlatformKit/VPKExport.h>

#include <cstddef>
#include <cstdint>

/// Arithmetic mean Σx / n in float; 0 for n = 0.
VPK_EXPORT float vpk_mean(const float* x, size_t n);
/// Population standard deviation √(Σ(x − mean)² / n) in float; 0 for n = 0.
VPK_EXPORT float vpk_sdev(const float* x, size_t n);
/// Pearson correlation: sums in float, the final quotient in double, returned as float.
/// NaN when either series is constant (the correlation is undefined).
VPK_EXPORT float vpk_pearson_cc(const float* x, const float* y, size_t n);
/// Spearman rank correlation 1 − 6·Σd² / (n(n² − 1)) in float; ranks are positions in
/// ascending order from 0 (equal values take consecutive ranks in index order, NaNs rank
/// last). NaN for fewer than two values.
VPK_EXPORT float vpk_spearman_cc(const float* x, const float* y, size_t n);
/// New std::malloc'ed array of n values 1, 2, 3, 5, 8, 13, … (each the sum of the two
/// before; wraps modulo 2^64 past the 92nd); nullptr for n = 0.
VPK_EXPORT uint64_t* vpk_fibul(size_t n);
/// Angle of the direction from (x0, y0) to (x1, y1), atan2(y1 − y0, x1 − x0), in radians.
VPK_EXPORT float vpk_rotf(float x0, float y0, float x1, float y1);
/// Slope of the series x at relative position t ∈ [0, 1]: a central difference of
/// f(u) = x[⌊n·u⌋] with a step of 1e−6 on each side of t, divided by the distance between
/// the two positions. Positions are clamped to [0, 1] (so the difference becomes one-sided at
/// the ends) and indexes to the series. 0 for an empty series; NaN for a NaN t.
VPK_EXPORT double vpk_der(const double* x, size_t n, double t);
/// As vpk_der over floats with f(u) = x[⌊(n − 1)·u⌋] and a step of 1/n on each side.
VPK_EXPORT float vpk_derf(const float* x, size_t n, float t);

/// Debug prints to standard output: "[\n", one "\t<value>,\n" line per value (the last
/// without the comma), "]\n". Formats: %f, %g, %Lg, %llu, %lu, %u, %d, %hu, %hd, %hhu, %hhd.
VPK_EXPORT void vpk_print_numf(const float* x, size_t n);
VPK_EXPORT void vpk_print_numd(const double* x, size_t n);
VPK_EXPORT void vpk_print_numld(const long double* x, size_t n);
VPK_EXPORT void vpk_print_numull(const unsigned long long* x, size_t n);
VPK_EXPORT void vpk_print_numul(const unsigned long* x, size_t n);
VPK_EXPORT void vpk_print_numui(const unsigned int* x, size_t n);
VPK_EXPORT void vpk_print_numi(const int* x, size_t n);
VPK_EXPORT void vpk_print_numus(const unsigned short* x, size_t n);
VPK_EXPORT void vpk_print_nums(const short* x, size_t n);
VPK_EXPORT void vpk_print_numuc(const unsigned char* x, size_t n);
VPK_EXPORT void vpk_print_numc(const signed char* x, size_t n);
