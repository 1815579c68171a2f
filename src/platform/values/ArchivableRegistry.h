#pragma once
// The process-wide table of decodable Archivable classes (see Archivable.h).

#include <VemraPlatformKit/platform/values/Archivable.h>

#include <optional>
#include <string>
#include <vector>

namespace vpk::detail {

struct ArchivableClass {
  std::vector<std::string> chain;
  ArchivableFactory factory;     // single-step form
  ArchivableMaker make;          // two-step form
  ArchivableDecoder decodeInto;  // two-step form
};

/// A copy of the registration of `className`, or nullopt.
std::optional<ArchivableClass> findArchivableClass(const std::string& className);

}  // namespace vpk::detail
