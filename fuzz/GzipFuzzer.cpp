// Compressed bytes as they arrive from a file or a peer, inflated with an output cap (the
// input's first byte picks it, up to 64 KiB, so that a bomb is stopped quickly). What
// inflates never exceeds the cap, inflates again the same under a cap of exactly its size,
// and fails under a cap one byte short. Independently, the input compresses and inflates
// back to itself.
#include "FuzzSupport.h"

#include <VemraPlatformKit/frame/VPKDataHelpers.h>

using vpk::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t cap = size_t{data[0]} << 8;
  const vpk::ValueBytes input(data + 1, data + size);
  const auto output = VPKCompressionHelpers::decompressedData(input, cap);
  if (output) {
    check(output->size() <= cap, "inflated past the cap");
    check(VPKCompressionHelpers::decompressedData(input, output->size()) == output, "a cap of the exact size refused");
    if (!output->empty())
      check(!VPKCompressionHelpers::decompressedData(input, output->size() - 1), "a cap one byte short accepted");
  }
  const auto compressed = VPKCompressionHelpers::compressedData(input);
  check(compressed.has_value(), "the input does not compress");
  check(VPKCompressionHelpers::decompressedData(*compressed, input.size()) == input, "a round trip changed the bytes");
  return 0;
}
