#include <VemraPlatformKit/frame/VPKError.h>

#include <fmt/format.h>

#include <cstring>

const char* const VPKErrorDomain = "VPKErrorDomain";

VPKError VPKError::make(long code, std::string description) {
  return VPKError{VPKErrorDomain, code, std::move(description)};
}

VPKError VPKError::posix(int err, const std::string& context) {
  std::string text = std::strerror(err);
  if (!context.empty()) text = context + ": " + text;
  return VPKError{"NSPOSIXErrorDomain", err, std::move(text)};
}

std::string VPKError::fullDescription() const {
  return fmt::format("Error Domain={} Code={} \"{}\"", domain, code, description);
}
