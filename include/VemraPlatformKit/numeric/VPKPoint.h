#pragma once
/// @file VPKPoint.h
/// A point of the plane, in double precision (the x/y pairs that index-point and
/// line-simplification helpers produce and consume).

struct VPKPoint {
  double x = 0;
  double y = 0;
  friend bool operator==(const VPKPoint&, const VPKPoint&) = default;
};
