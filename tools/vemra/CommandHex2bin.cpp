// vemra hex2bin: an Intel HEX firmware image as the binary the headband's updater sends.
#include "Command.h"

#include <VemraPlatformKit/frame/VPKConversions.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

struct Hex2binOptions {
  std::string input;
  std::string output;
};

// Intel HEX text is about 2.2 times the image; firmware images are far below this.
constexpr size_t kMaxHexFileLength = size_t{64} << 20;

int hex2bin(const Hex2binOptions& o) {
  const auto text = vpk::readFileData(o.input, kMaxHexFileLength);
  if (!text) {
    std::fprintf(stderr, "vemra hex2bin: cannot read %s (missing, unreadable or over 64 MiB)\n", o.input.c_str());
    return 1;
  }
  const auto image = VPKConversions::binaryRepresentation(*text);
  if (!image) {
    std::fprintf(stderr, "vemra hex2bin: %s is not valid Intel HEX (-v names the refused record)\n", o.input.c_str());
    return 1;
  }
  if (!vpk::writeFileData(o.output, image->data(), image->size(), true)) {
    std::fprintf(stderr, "vemra hex2bin: cannot write %s\n", o.output.c_str());
    return 1;
  }
  if (image->empty()) std::fprintf(stderr, "vemra hex2bin: warning: no data at or above address 0x1000\n");
  std::printf("wrote %zu bytes to %s\n", image->size(), o.output.c_str());
  return 0;
}

vemra::VemraCommand hex2binCommand({"hex2bin", "Convert an Intel HEX firmware image to binary", 60,
                                    [](CLI::App& sub) {
                                      auto o = std::make_shared<Hex2binOptions>();
                                      sub.add_option("IN", o->input, "The Intel HEX file")->required();
                                      sub.add_option("-o,--output", o->output, "The binary file to write")
                                          ->required();
                                      sub.callback([o] { vemra::exitStatus() = hex2bin(*o); });
                                    }});

}  // namespace
