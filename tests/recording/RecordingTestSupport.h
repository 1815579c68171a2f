#pragma once
// Helpers of the recording tests: files as strings, packet builders, verbose log capture.

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/files/Folders.h>

#include "support/LogCapture.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vpk::test {

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

/// The line that ends a recording's header, and the header a default writer makes.
inline const std::string kMarker = ".__data_region\n";
inline const std::string kDefaultJSON = R"({"compression":"none","type":"raw"})";

/// A recording's bytes: the length line, the header `json`, the marker and `data`.
inline std::string recordingBytes(const std::string& json, const std::string& data) {
  return std::to_string(json.size() + 1 + kMarker.size()) + "\n" + json + "\n" + kMarker + data;
}

/// A 20-byte packet of `kind` whose six 24-bit values are `value`, `value`+1, ... (in file
/// order: left 1, right 1, left 2, ...); byte 1 carries `tag`.
inline std::vector<uint8_t> packet(uint32_t value, uint8_t tag = 0, uint8_t kind = 0xA0) {
  std::vector<uint8_t> p{kind, tag};
  for (uint32_t i = 0; i < 6; ++i) {
    const uint32_t v = (value + i) & 0xFFFFFFu;
    p.push_back(static_cast<uint8_t>(v >> 16));
    p.push_back(static_cast<uint8_t>(v >> 8));
    p.push_back(static_cast<uint8_t>(v));
  }
  return p;
}

/// A fresh path under the temporary folder.
inline std::filesystem::path scratchPath(const std::string& name) {
  static int counter = 0;
  const auto dir = vpk::temporaryFolder() / "scratch";
  std::filesystem::create_directories(dir);
  return dir / (std::to_string(++counter) + "-" + name);
}

/// Verbose logging captured for the lifetime of the object.
class VerboseCapture : public LogCapture {
 public:
  VerboseCapture() { VPKLogSetEnabled(true); }
  ~VerboseCapture() { VPKLogSetEnabled(false); }
};

}  // namespace vpk::test
