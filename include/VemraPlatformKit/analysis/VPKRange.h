#pragma once
/// @file VPKRange.h
/// A range of indexes (location, length), as the channel description uses for the part of
/// a signal window that a cycle added.

#include <VemraPlatformKit/VPKExport.h>

#include <cstdint>

struct VPKRange {
  std::uint64_t location = 0;
  std::uint64_t length = 0;

  /// location + length (saturating, so a hostile range cannot wrap around).
  std::uint64_t end() const { return length > UINT64_MAX - location ? UINT64_MAX : location + length; }
  /// Whether the range lies within [0, size).
  bool fitsIn(std::uint64_t size) const { return location <= size && length <= size - location; }

  friend bool operator==(const VPKRange&, const VPKRange&) = default;
};
