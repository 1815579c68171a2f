#pragma once
/// @file VPKChannelSet.h
/// The result of one analyzer cycle: one VPKChannelDescription per channel.
///
/// A new set is made every cycle, filled on the analyzer's processing thread, then handed to
/// the analyzer's outputs and its diagnostics handler; from then on it is owned by whoever
/// keeps it and is only read (by any number of threads at once; it has no lock).
///
/// Ownership: the set holds its descriptions strongly; each description refers back to
/// its set weakly (VPKChannelDescription::channelSet), so the two never keep each other
/// alive. create(left, right) makes that link; the plain setters do not.
///
/// Copies: copy() holds a copy() of each description, and those copies still refer to
/// this (the source) set; copyPreservingAnalysisResultsOnly() and
/// copyWithoutPreservingCollections() hold descriptions made by the description operation
/// of the same name (the first carries no set reference, the second refers to this set).
///
/// Keyed archiving (class "VPKChannelSet"): "leftChannel", "rightChannel". Each description
/// archives its set under "channelSet"; the archive keeps object identity, so after
/// unarchiving the set and its descriptions refer to each other again.
///
/// Names: `copyWithZone:` -> copy(); `isIdle` keeps its name.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/analysis/VPKChannelDescription.h>
#include <VemraPlatformKit/platform/values/Archivable.h>

#include <memory>
#include <string>

class VPK_EXPORT VPKChannelSet : public vpk::Archivable {
 public:
  using Ptr = std::shared_ptr<VPKChannelSet>;

  /// An empty set.
  static Ptr create();
  /// A set holding `left` and `right` (either may be null) whose descriptions get the new
  /// set as their channelSet.
  static Ptr create(VPKChannelDescription::Ptr left, VPKChannelDescription::Ptr right);
  VPKChannelSet();
  ~VPKChannelSet() override;
  VPKChannelSet(const VPKChannelSet&) = delete;
  VPKChannelSet& operator=(const VPKChannelSet&) = delete;

  /// Channel 0.
  const VPKChannelDescription::Ptr& leftChannel() const { return leftChannel_; }
  void setLeftChannel(VPKChannelDescription::Ptr d) { leftChannel_ = std::move(d); }
  /// Channel 1; null for a left-only analyzer.
  const VPKChannelDescription::Ptr& rightChannel() const { return rightChannel_; }
  void setRightChannel(VPKChannelDescription::Ptr d) { rightChannel_ = std::move(d); }
  /// Always the left channel.
  const VPKChannelDescription::Ptr& dominantChannel() const { return leftChannel_; }

  /// True when either description is idle (left first).
  bool isIdle() const;

  Ptr copy() const;
  Ptr copyPreservingAnalysisResultsOnly() const;
  Ptr copyWithoutPreservingCollections() const;

  std::string archiveClassName() const override { return "VPKChannelSet"; }
  void encodeWithCoder(vpk::KeyedArchiver& coder) const override;

 private:
  VPKChannelDescription::Ptr leftChannel_;
  VPKChannelDescription::Ptr rightChannel_;

  friend class VPKChannelDescriptionCoding;
};
