#pragma once
/// @file VPKDFT.h
/// The record in which one channel's spectrum is handed on with an analysis result:
/// the amplitude per bin, the frequency of each bin and the window's mean.
///
/// A plain record with no lock and no behaviour of its own. Its buffers are shared
/// (strong references): `copy()` makes a new record holding the same objects,
/// `deepCopy()` one holding immutable copies of the buffers, so later changes to the
/// original's buffers do not reach it.
///
/// Names: `copyWithZone:` is `copy()`; the properties are `amplitude()`,
/// `frequencies()`, `DCOffset()` with `set…` setters.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/numeric/VPKFloatBuffer.h>

#include <memory>
#include <optional>

class VPK_EXPORT VPKDFT {
 public:
  VPKDFT() = default;
  VPKDFT(std::shared_ptr<VPKFloatBuffer> amplitude, std::shared_ptr<VPKFloatBuffer> frequencies,
         std::optional<float> DCOffset);
  static std::shared_ptr<VPKDFT> create();
  static std::shared_ptr<VPKDFT> create(std::shared_ptr<VPKFloatBuffer> amplitude,
                                        std::shared_ptr<VPKFloatBuffer> frequencies,
                                        std::optional<float> DCOffset);
  virtual ~VPKDFT();

  /// A new record holding the same three values (the buffers are shared).
  std::shared_ptr<VPKDFT> copy() const;
  /// A new record holding immutable copies of the buffers and the same DC offset.
  std::shared_ptr<VPKDFT> deepCopy() const;

  /// Amplitude per bin; null when not set.
  const std::shared_ptr<VPKFloatBuffer>& amplitude() const { return amplitude_; }
  void setAmplitude(std::shared_ptr<VPKFloatBuffer> v) { amplitude_ = std::move(v); }
  /// Frequency of each bin in Hz; null when not set.
  const std::shared_ptr<VPKFloatBuffer>& frequencies() const { return frequencies_; }
  void setFrequencies(std::shared_ptr<VPKFloatBuffer> v) { frequencies_ = std::move(v); }
  /// Mean of the analysed window; empty when not set.
  std::optional<float> DCOffset() const { return DCOffset_; }
  void setDCOffset(std::optional<float> v) { DCOffset_ = v; }

 private:
  std::shared_ptr<VPKFloatBuffer> amplitude_;
  std::shared_ptr<VPKFloatBuffer> frequencies_;
  std::optional<float> DCOffset_;
};
