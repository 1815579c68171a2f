#pragma once
// One biquad section's design and state as the filters run it: coefficients in double,
// state in float, each output formed in double and rounded to float. The plain filter and
// the chains' sample-by-sample runs share this step so that both give the same bits.

namespace vpk::detail {

struct BiquadSection {
  double b0, b1, b2, a1, a2;  // already divided by a0
  float x1, x2, y1, y2;       // x[n-1], x[n-2], y[n-1], y[n-2]

  float step(float x) {
    // The feed-forward part and the older output first: only the last product waits for
    // the previous output.
    const double partial = b0 * x + b1 * x1 + b2 * x2 - a2 * y2;
    const float y = static_cast<float>(partial - a1 * y1);
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    return y;
  }
};

}  // namespace vpk::detail
