// The JSON header of a recording: the input is framed as a well-formed recording with one
// packet and read back; a header the reader accepts is then given to a writer, whose
// encoding must read back to the header the writer holds, and its start date must export.
#include "FuzzSupport.h"

#include <VemraPlatformKit/recording/VPKRecordingExport.h>
#include <VemraPlatformKit/recording/VPKRecordingReader.h>
#include <VemraPlatformKit/recording/VPKSignalStreamFileHandle.h>

#include <string>
#include <vector>

using vpk::fuzz::check;

namespace {

constexpr std::string_view kMarker = VPKSignalStreamFileHandle::kDataRegionMarker;

std::vector<uint8_t> recording(std::string_view headerWithLineFeed) {
  const std::string lengthLine = std::to_string(headerWithLineFeed.size() + kMarker.size()) + "\n";
  std::vector<uint8_t> file(lengthLine.begin(), lengthLine.end());
  file.insert(file.end(), headerWithLineFeed.begin(), headerWithLineFeed.end());
  file.insert(file.end(), kMarker.begin(), kMarker.end());
  const uint8_t packet[VPKRecordingReader::kPacketLength] = {0xA0, 0x00, 0x12, 0x34, 0x56};
  file.insert(file.end(), std::begin(packet), std::end(packet));
  return file;
}

VPKRecordingReaderPtr read(const std::vector<uint8_t>& file) {
  return VPKRecordingReader::open(vpk::fuzz::writeScratchFile(file.data(), file.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string header(reinterpret_cast<const char*>(data), size);
  header += '\n';
  const auto reader = read(recording(header));
  check(reader->canReadPackets() && reader->packetCount() == 1, "a framed header hides the packet");
  if (!reader->ok()) return 0;

  const auto bdf = VPKRecordingExport::exportBDF(*reader, vpk::fuzz::scratchPath("export.bdf"));
  check(bdf.ok && bdf.dataPackets == 1, "a recording with a readable header does not export");

  static const auto writer = VPKSignalStreamFileHandle::createForWriting(vpk::fuzz::scratchPath("writer"));
  check(writer != nullptr, "cannot create the writer");
  if (!writer->setHeader(*reader->header().getDictionary())) return 0;
  const std::vector<uint8_t> encoded = writer->encodeHeader();
  // encodeHeader gives the length line, the JSON and its line feed: add the marker and data.
  std::vector<uint8_t> file(encoded);
  file.insert(file.end(), kMarker.begin(), kMarker.end());
  file.resize(file.size() + VPKRecordingReader::kPacketLength, 0xA0);
  const auto again = read(file);
  check(again->ok(), "a header the writer encoded does not read back");
  check(again->header() == vpk::Value(writer->header()), "an encoded header reads back different");
  return 0;
}
