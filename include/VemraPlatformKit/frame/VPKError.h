#pragma once
/// @file VPKError.h
/// The error value passed to asynchronous completions and error out-parameters.
///
/// The library's own errors use the domain VPKErrorDomain ("VPKErrorDomain") with these codes:
/// 2 not connected or no firmware-update characteristics; 3 disconnected before the connection
/// was finalised; 6 battery or charging hardware inconsistency. File-system errors use the
/// domain "NSPOSIXErrorDomain" with the errno value as code.

#include <VemraPlatformKit/VPKExport.h>

#include <string>

/// "VPKErrorDomain".
VPK_EXPORT extern const char* const VPKErrorDomain;

struct VPK_EXPORT VPKError {
  std::string domain;
  long code = 0;
  std::string description;  ///< human-readable reason

  /// An error in VPKErrorDomain.
  static VPKError make(long code, std::string description);
  /// A file-system error from an errno value (domain "NSPOSIXErrorDomain").
  static VPKError posix(int err, const std::string& context = {});
  /// "Error Domain=<domain> Code=<code> \"<description>\"", as error objects print in log lines.
  std::string fullDescription() const;

  friend bool operator==(const VPKError&, const VPKError&) = default;
};
