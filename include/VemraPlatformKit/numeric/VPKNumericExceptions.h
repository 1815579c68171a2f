#pragma once
/// @file VPKNumericExceptions.h
/// The exceptions of the numeric core.
///
/// The numeric core is the one part of the library that throws across its API, and only
/// for programming errors of the caller (pushing into a snapshot, reading a range that is
/// not there). Each exception carries the exact message text in what().

#include <VemraPlatformKit/VPKExport.h>

#include <stdexcept>
#include <string>

/// An operation was called in a state that forbids it, e.g. a push into an immutable
/// VPKFloatBuffer.
class VPK_EXPORT VPKInternalInconsistencyException : public std::logic_error {
 public:
  explicit VPKInternalInconsistencyException(const std::string& message);
  ~VPKInternalInconsistencyException() override;
};

/// A range or index lies outside a container.
class VPK_EXPORT VPKRangeException : public std::out_of_range {
 public:
  explicit VPKRangeException(const std::string& message);
  ~VPKRangeException() override;
};
