#include <VemraPlatformKit/numeric/VPKNumericExceptions.h>

VPKInternalInconsistencyException::VPKInternalInconsistencyException(const std::string& message)
    : std::logic_error(message) {}
VPKInternalInconsistencyException::~VPKInternalInconsistencyException() = default;

VPKRangeException::VPKRangeException(const std::string& message) : std::out_of_range(message) {}
VPKRangeException::~VPKRangeException() = default;
