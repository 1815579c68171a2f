// Intel HEX text as a firmware image arrives (vemra hex2bin, an update's image): converted
// to the binary image. The three ways in agree (the text, the same text as bytes, and the
// length alone), and an image never holds more bytes than the records' digits describe.
#include "FuzzSupport.h"

#include <VemraPlatformKit/frame/VPKConversions.h>

#include <string_view>

using vpk::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto image = VPKConversions::convertHexToBin(text);
  const auto fromBytes = VPKConversions::binaryRepresentation(vpk::ValueBytes(data, data + size));
  check(image == fromBytes, "the text and its bytes convert differently");
  check(VPKConversions::calculateBinLength(text) == (image ? image->size() : 0), "the length disagrees with the image");
  if (image) check(image->size() <= size / 2, "an image larger than its digits");
  return 0;
}
