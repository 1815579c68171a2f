// The JSON header of a recording: the input is framed as a well-formed recording with one
// packet and read back; a header the reader accepts must export (its start date), and a
// writer given it must encode it so that it reads back the same.
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

// encodeHeader gives the length line, the JSON and its line feed: add the marker and a packet.
std::vector<uint8_t> withData(std::vector<uint8_t> header) {
  header.insert(header.end(), kMarker.begin(), kMarker.end());
  header.resize(header.size() + VPKRecordingReader::kPacketLength, 0xA0);
  return header;
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

  // Written by a writer and read back, the header must come back as the writer encoded it
  // (null entries are left out, so compare the encodings of two generations).
  static const auto writer = VPKSignalStreamFileHandle::createForWriting(vpk::fuzz::scratchPath("writer"));
  check(writer != nullptr, "cannot create the writer");
  if (!writer->setHeader(*reader->header().getDictionary())) return 0;
  const std::vector<uint8_t> encoded = writer->encodeHeader();
  const auto again = read(withData(encoded));
  check(again->ok(), "a header the writer encoded does not read back");
  check(writer->setHeader(*again->header().getDictionary()), "a header read back cannot be set again");
  check(writer->encodeHeader() == encoded, "an encoded header reads back different");
  return 0;
}
