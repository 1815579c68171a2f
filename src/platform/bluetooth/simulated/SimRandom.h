#pragma once
// A small, fast, reproducible random source for the simulation (xoshiro256** seeded through
// splitmix64). Unlike the standard distributions, its sequences are the same with every
// compiler and library, so a seed names the same world everywhere.

#include <cmath>
#include <cstdint>

namespace vpk::detail {

class SimRandom {
 public:
  explicit SimRandom(uint64_t seed = 1) {
    uint64_t x = seed;
    for (auto& s : s_) s = splitmix(x);
  }

  /// A seed derived from two values (for independent streams of one seed).
  static uint64_t mix(uint64_t a, uint64_t b) {
    uint64_t x = a ^ (b * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull);
    return splitmix(x);
  }

  uint64_t next() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  /// Uniform in [0, 1).
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }

  /// Standard normal (Box-Muller, the second value kept for the next call).
  double gaussian() {
    if (haveSpare_) {
      haveSpare_ = false;
      return spare_;
    }
    double u1 = uniform();
    if (u1 < 1e-300) u1 = 1e-300;
    const double u2 = uniform();
    const double r = std::sqrt(-2.0 * std::log(u1));
    const double a = 2.0 * 3.14159265358979323846 * u2;
    spare_ = r * std::sin(a);
    haveSpare_ = true;
    return r * std::cos(a);
  }

  /// True with probability `p` (never for p <= 0 or NaN, always for p >= 1).
  bool chance(double p) {
    if (!(p > 0)) return false;
    if (p >= 1) return true;
    return uniform() < p;
  }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  static uint64_t splitmix(uint64_t& x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  uint64_t s_[4];
  double spare_ = 0;
  bool haveSpare_ = false;
};

}  // namespace vpk::detail
