// A whole recording file, opened with the reader as `vemra` and applications open one,
// then read to the end both ways and exported to CSV and BDF+.
#include "FuzzSupport.h"

#include <VemraPlatformKit/recording/VPKRecordingExport.h>
#include <VemraPlatformKit/recording/VPKRecordingReader.h>

using vpk::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto reader = VPKRecordingReader::open(vpk::fuzz::writeScratchFile(data, size));
  check(reader->ok() == reader->error().empty(), "ok() and error() disagree");
  check(reader->header().isDictionary(), "the header is not a dictionary");
  if (!reader->canReadPackets()) return 0;
  check(reader->dataOffset() + reader->dataLength() <= size, "the data region lies outside the file");

  uint64_t count = 0;
  VPKRecordingReader::Packet packet;
  while (reader->nextPacket(packet)) ++count;
  check(count == reader->packetCount(), "nextPacket hands out another number of packets than packetCount");
  reader->rewind();
  check(reader->forEachPacket([](std::span<const uint8_t> p) {
    check(p.size() == VPKRecordingReader::kPacketLength, "a packet of the wrong length");
  }) == count, "forEachPacket hands out another number of packets than nextPacket");

  const auto output = vpk::fuzz::scratchPath("export");
  const auto csv = VPKRecordingExport::exportCSV(*reader, output);
  check(csv.ok && csv.dataPackets + csv.skippedPackets == count, "the CSV export loses packets");
  const auto bdf = VPKRecordingExport::exportBDF(*reader, output);
  check(csv.dataPackets == 0 ? !bdf.ok : bdf.ok && bdf.dataPackets == csv.dataPackets, "the BDF export loses packets");
  return 0;
}
