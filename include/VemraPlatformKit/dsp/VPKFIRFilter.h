#pragma once
/// @file VPKFIRFilter.h
/// A finite-impulse-response filter whose coefficients come from a text file.
///
/// Coefficient file: ASCII text split at every comma; each piece is trimmed of
/// spaces, tabs and line breaks, empty pieces are skipped, and every other piece is
/// read as a float from its leading numeric part ("0.25", "-1e-3", "2x" reads 2; a
/// piece without one, such as "nan", reads 0). The coefficients h[0..L-1] are the
/// values in file order.
///
/// Filtering: each block of n values is filtered on its own (the filter keeps no
/// state between calls) as the centred linear convolution
///   out[i] = sum over p of h[p] * in[i + L/2 - p]   (L/2 rounded down),
/// values outside the block counting as 0. A symmetric (linear-phase) kernel thus
/// keeps features where they were.
///
/// A file that cannot be used leaves the filter without coefficients, and a filter
/// without coefficients passes values through unchanged. That happens, with a log
/// line, when the file is missing, unreadable or not a regular file, is larger than
/// `kMaxFileBytes`, holds more than `kMaxCoefficients` coefficients, or holds a value
/// outside the float range. Filtering never fails.

#include <VemraPlatformKit/dsp/VPKFilter.h>

#include <optional>
#include <string>
#include <string_view>

class VPK_EXPORT VPKFIRFilter : public VPKFilter {
 public:
  /// Largest coefficient file read, in bytes.
  static constexpr std::size_t kMaxFileBytes = 1u << 20;
  /// Largest number of coefficients accepted.
  static constexpr std::size_t kMaxCoefficients = 8192;

  /// A filter without coefficients (passes values through).
  VPKFIRFilter() = default;
  /// Stores `filePath` and loads the coefficients from it.
  explicit VPKFIRFilter(std::string filePath);
  static std::shared_ptr<VPKFIRFilter> create(std::string filePath);

  /// Stores `filePath` and (re)loads the coefficients from it; returns whether the
  /// file gave coefficients. On failure the filter is left without coefficients.
  bool setupWithFile(const std::string& filePath);

  void filter(float* values, std::size_t length) override;
  /// Has no effect on results: the filter keeps no state between calls.
  void reset() override;
  /// A copy: the coefficients do not depend on the sampling rate.
  std::shared_ptr<VPKFilter> filterWithSamplingRate(std::uint64_t rate) const override;
  /// A new filter with the same path and coefficients (the file is not read again).
  std::shared_ptr<VPKFIRFilter> copy() const;

  const std::string& filePath() const { return filePath_; }
  const std::vector<float>& coefficients() const { return coefficients_; }
  std::uint32_t filterLength() const { return static_cast<std::uint32_t>(coefficients_.size()); }

  /// Reads coefficients from the text of a coefficient file (see the file comment);
  /// nothing when a value lies outside the float range or there are more than
  /// `kMaxCoefficients`.
  static std::optional<std::vector<float>> parseCoefficients(std::string_view text);

 protected:
  std::shared_ptr<VPKFilter> copyFilter() const override;

 private:
  std::string filePath_;
  std::vector<float> coefficients_;
};
