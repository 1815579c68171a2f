// JSON text read into a value (recording headers, settings). What parses must print, and
// the printed text must read back to the same text.
#include "FuzzSupport.h"

#include <VemraPlatformKit/platform/values/Value.h>

#include <string_view>

using vpk::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto value = vpk::Value::fromJSONString(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!value) return 0;
  const auto text = value->toJSONString();
  if (!text) return 0;  // a number beyond the double range reads as infinity, which JSON cannot hold
  const auto reread = vpk::Value::fromJSONString(*text);
  check(reread.has_value(), "printed JSON does not read back");
  check(*reread == *value, "printed JSON reads back to another value");
  check(reread->toJSONString(2).has_value(), "indented JSON cannot be printed");
  return 0;
}
