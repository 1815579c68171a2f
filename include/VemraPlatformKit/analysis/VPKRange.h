#pragma once
/// @file VPKRange.h
/// A range of indexes (location, length), as the channel description uses for the part of
/// a signal window that a cycle added.
///
/// As a vpk::Value (a channel description's subscripts, keyed archives) a range is an
/// archivable box of class "NSValue" with the keys "NS.rangeval.location",
/// "NS.rangeval.length" and "NS.special" = 4, the layout the platform's archives use.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <cstdint>
#include <optional>

struct VPKRange {
  std::uint64_t location = 0;
  std::uint64_t length = 0;

  /// location + length (saturating, so a hostile range cannot wrap around).
  std::uint64_t end() const { return length > UINT64_MAX - location ? UINT64_MAX : location + length; }
  /// Whether the range lies within [0, size).
  bool fitsIn(std::uint64_t size) const { return location <= size && length <= size - location; }

  friend bool operator==(const VPKRange&, const VPKRange&) = default;
};

/// The range boxed as a vpk::Value.
VPK_EXPORT vpk::Value VPKValueWithRange(VPKRange range);
/// The range held by `value`: a box made by VPKValueWithRange (or decoded from an archive),
/// or a dictionary with the numbers "location" and "length"; nullopt for anything else.
VPK_EXPORT std::optional<VPKRange> VPKRangeFromValue(const vpk::Value& value);
