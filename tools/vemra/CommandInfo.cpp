// vemra info: what a recording holds.
#include "Command.h"

#include <VemraPlatformKit/recording/VPKRecordingReader.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

int info(const std::string& path) {
  auto reader = VPKRecordingReader::open(path);
  std::printf("file:      %s\n", path.c_str());
  if (reader->errorCode() == VPKRecordingReaderError::CannotOpen) {
    std::fprintf(stderr, "vemra info: %s\n", reader->error().c_str());
    return 1;
  }
  const auto json = reader->header().toJSONString(2);
  std::printf("header:    %s\n", json ? json->c_str() : "(cannot be shown)");
  if (reader->canReadPackets()) {
    unsigned long long data = 0, accelerometer = 0, battery = 0, other = 0;
    reader->forEachPacket([&](std::span<const uint8_t> p) {
      switch (p[0]) {
        case 0xA0: ++data; break;
        case 0xFE: ++accelerometer; break;
        case 0xFF: ++battery; break;
        default: ++other; break;
      }
    });
    const unsigned long long total = data + accelerometer + battery + other;
    std::printf("packets:   %llu (data %llu, accelerometer %llu, battery %llu, other %llu)\n", total, data,
                accelerometer, battery, other);
    std::printf("duration:  %.3f s of signal (%llu samples at 250 Hz)\n", static_cast<double>(data) * 0.012,
                data * 3);
    std::printf("data:      %llu bytes from byte %llu\n", static_cast<unsigned long long>(reader->dataLength()),
                static_cast<unsigned long long>(reader->dataOffset()));
  }
  if (!reader->ok()) {
    std::printf("problem:   %s\n", reader->error().c_str());
    return 1;
  }
  return 0;
}

vemra::VemraCommand infoCommand({"info", "Show a recording's header, packet counts and duration", 41,
                                 [](CLI::App& sub) {
                                   auto path = std::make_shared<std::string>();
                                   sub.add_option("FILE", *path, "The recording")->required();
                                   sub.callback([path] { vemra::exitStatus() = info(*path); });
                                 }});

}  // namespace
