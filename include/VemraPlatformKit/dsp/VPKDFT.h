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
/// Keyed archiving (class "VPKDFT"): "amplitude" and "frequencies" reference
/// `VPKFloatBuffer` objects, "DCOffset" a number; an absent value is archived as the
/// null reference and decodes as absent. A buffer shared by both properties, or by
/// several records of one archive, is written once and decodes as one object.
///
/// Names: `copyWithZone:` is `copy()`; `initWithCoder:` is `createWithCoder`; the
/// properties are `amplitude()`, `frequencies()`, `DCOffset()` with `set…` setters.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/numeric/VPKFloatBuffer.h>
#include <VemraPlatformKit/platform/values/Archivable.h>

#include <memory>
#include <optional>

class VPK_EXPORT VPKDFT : public vpk::Archivable {
 public:
  VPKDFT() = default;
  VPKDFT(std::shared_ptr<VPKFloatBuffer> amplitude, std::shared_ptr<VPKFloatBuffer> frequencies,
         std::optional<float> DCOffset);
  static std::shared_ptr<VPKDFT> create();
  static std::shared_ptr<VPKDFT> create(std::shared_ptr<VPKFloatBuffer> amplitude,
                                        std::shared_ptr<VPKFloatBuffer> frequencies,
                                        std::optional<float> DCOffset);
  ~VPKDFT() override;

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

  std::string archiveClassName() const override { return "VPKDFT"; }
  /// Writes "amplitude", "frequencies" and "DCOffset", in this order.
  void encodeWithCoder(vpk::KeyedArchiver& coder) const override;
  /// The record the unarchiver is reading; nullptr (and the archive refused) when a
  /// buffer key holds an object that is not a `VPKFloatBuffer`.
  static std::shared_ptr<VPKDFT> createWithCoder(vpk::KeyedUnarchiver& coder);

 private:
  std::shared_ptr<VPKFloatBuffer> amplitude_;
  std::shared_ptr<VPKFloatBuffer> frequencies_;
  std::optional<float> DCOffset_;
};
