// Keyed-archive bytes as they come from a file (channel descriptions, float buffers,
// settings), decoded with every archivable class of the library registered. An archive
// that decodes must archive again, and that archive must decode.
#include "FuzzSupport.h"

#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>

using vpk::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto value = vpk::KeyedUnarchiver::unarchive(data, size);
  if (!value) return 0;
  const auto archived = vpk::KeyedArchiver::archivedData(*value);
  if (!archived) return 0;
  check(vpk::KeyedUnarchiver::unarchive(*archived).has_value(), "a re-archived value does not decode");
  return 0;
}
