// Property-list bytes, XML or binary, as a file or a peer hands them to the library.
// Whatever parses must write back, and the written forms must be stable: writing what was
// read back a second time gives the same bytes.
#include "FuzzSupport.h"

#include <VemraPlatformKit/platform/values/PropertyList.h>

using vpk::fuzz::check;

namespace {

// Writes `value` in `format`, reads it back and writes it again: the two writings agree
// from the second generation on (the first may normalise, e.g. dates to whole seconds).
void checkStable(const vpk::Value& value, vpk::PropertyListFormat format) {
  const auto first = vpk::propertyListData(value, format);
  if (!first) return;  // e.g. a real the writer refuses
  const auto reread = vpk::propertyListFromData(*first);
  check(reread.has_value(), "a written property list does not read back");
  const auto second = vpk::propertyListData(*reread, format);
  check(second.has_value(), "a property list read back cannot be written");
  const auto again = vpk::propertyListFromData(*second);
  check(again.has_value(), "a rewritten property list does not read back");
  const auto third = vpk::propertyListData(*again, format);
  check(third.has_value() && *third == *second, "writing a property list is not stable");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto value = vpk::propertyListFromData(data, size);
  if (!value) return 0;
  checkStable(*value, vpk::PropertyListFormat::Binary);
  checkStable(*value, vpk::PropertyListFormat::XML);
  return 0;
}
