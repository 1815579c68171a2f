#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/recording/VPKRecordingReader.h>
#include <VemraPlatformKit/recording/VPKSignalStreamFileHandle.h>

#include "recording/RecordingTestSupport.h"
#include "support/VirtualTime.h"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using vpk::test::packet;
using vpk::test::text;
using E = VPKRecordingReaderError;

using vpk::test::kMarker;
const std::string& kHeader = vpk::test::kDefaultJSON;
const auto recording = vpk::test::recordingBytes;

std::shared_ptr<VPKRecordingReader> openBytes(const std::string& bytes) {
  const fs::path path = vpk::test::scratchPath("case.rec");
  vpk::test::writeFile(path, bytes);
  return VPKRecordingReader::open(path);
}

std::vector<std::string> allPackets(VPKRecordingReader& reader) {
  std::vector<std::string> out;
  VPKRecordingReader::Packet p;
  while (reader.nextPacket(p)) out.emplace_back(p.begin(), p.end());
  return out;
}

class ReaderTest : public vpk::test::VirtualTimeTest {};

TEST_F(ReaderTest, RoundTripThroughTheStreamGivesBackTheSamePackets) {
  auto stream = VPKSignalStream::create();
  auto writer = VPKSignalStreamFileHandle::createForWriting();
  ASSERT_TRUE(writer);
  writer->setHeader(vpk::ValueDictionary{{"subject", "s1"}, {"session", 3}});
  stream->addOutput(writer);
  stream->open();
  std::vector<std::string> sent;
  for (int i = 0; i < 2000; ++i) {
    std::vector<uint8_t> p = i % 500 == 7 ? packet(static_cast<uint32_t>(i), 1, 0xFE)
                                          : [&] {
                                              const auto s = VPKSignalStream::generateSimulatedPacket();
                                              return std::vector<uint8_t>(s.begin(), s.end());
                                            }();
    stream->processData(p);
    sent.push_back(text(p));
  }
  writer->closeFile();

  auto reader = VPKRecordingReader::open(*writer->URL());
  ASSERT_TRUE(reader->ok()) << reader->error();
  EXPECT_EQ(reader->header(), vpk::Value::dictionary({{"compression", "none"}, {"session", 3}, {"subject", "s1"},
                                                       {"type", "raw"}}));
  EXPECT_EQ(reader->packetCount(), sent.size());
  EXPECT_EQ(reader->dataOffset() + reader->dataLength(), fs::file_size(*writer->URL()));
  EXPECT_EQ(allPackets(*reader), sent);

  // for-each after a rewind sees the same bytes again.
  reader->rewind();
  size_t i = 0, same = 0;
  EXPECT_EQ(reader->forEachPacket([&](std::span<const uint8_t> p) {
    same += std::string(p.begin(), p.end()) == sent[i++];
  }),
            sent.size());
  EXPECT_EQ(same, sent.size());

  // Long recordings are read in blocks: packets across block borders come back whole.
  auto large = VPKSignalStreamFileHandle::createForWriting();
  ASSERT_TRUE(large);
  large->setMaxDuration(0);
  std::vector<std::string> many;
  for (uint32_t k = 0; k < 120000; ++k) {
    many.push_back(text(packet(k * 97, static_cast<uint8_t>(k))));
    large->addData(packet(k * 97, static_cast<uint8_t>(k)));
  }
  large->closeFile();
  auto big = VPKRecordingReader::open(*large->URL());
  EXPECT_TRUE(big->ok()) << big->error();
  EXPECT_TRUE(allPackets(*big) == many);
}

TEST_F(ReaderTest, RecordingsWithoutAHeaderOrWithAnEmptyOneAreRead) {
  const std::string data = text(packet(1)) + text(packet(2));
  for (const std::string& bytes : {kMarker + data,                          // header to be added afterwards
                                   "15\n" + kMarker + data,                 // header that failed to encode
                                   "16\n\n" + kMarker + data, recording("{}", data)}) {
    auto reader = openBytes(bytes);
    EXPECT_TRUE(reader->ok()) << reader->error();
    EXPECT_EQ(reader->header(), vpk::Value(vpk::ValueDictionary{}));
    EXPECT_EQ(allPackets(*reader), (std::vector<std::string>{text(packet(1)), text(packet(2))}));
  }
}

TEST_F(ReaderTest, ATruncatedLastPacketIsReportedAfterEveryCompletePacket) {
  const std::string data = text(packet(1)) + text(packet(2)) + text(packet(3)).substr(0, 7);
  auto reader = openBytes(recording(kHeader, data));
  EXPECT_EQ(reader->errorCode(), E::TruncatedPacket);
  EXPECT_NE(reader->error().find("7 of 20 bytes"), std::string::npos) << reader->error();
  EXPECT_NE(reader->error().find("2 complete packets"), std::string::npos) << reader->error();
  EXPECT_TRUE(reader->canReadPackets());
  EXPECT_EQ(allPackets(*reader), (std::vector<std::string>{text(packet(1)), text(packet(2))}));
  EXPECT_EQ(reader->header()["type"].stringValue(), "raw");
}

TEST_F(ReaderTest, DamagedStructureIsNamedAndNothingIsReadPastTheEnd) {
  const std::string p = text(packet(1));
  struct Case {
    std::string name, bytes;
    E code;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"empty", "", E::BadLengthLine, "empty"},
      {"not a recording", "hello world\n", E::BadLengthLine, "length line"},
      {"ends in the length line", "51", E::BadLengthLine, "ends inside the length line"},
      {"no line feed", "51x" + kHeader, E::BadLengthLine, "line feed"},
      {"shorter than the marker", "9\n" + kHeader, E::BadLengthLine, "fewer than"},
      {"huge length", "99999999999999999999999999\n" + kHeader, E::HeaderTooLong, "more than 7 digits"},
      {"too long", "9999999\n" + kHeader, E::HeaderTooLong, "9999999"},
      {"truncated header", recording(kHeader, "").substr(0, 30), E::TruncatedHeader, "51 bytes"},
      {"marker damaged", "51\n" + kHeader + "\n.__data_regioN\n" + p, E::MissingDataMarker, "byte 39"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto reader = openBytes(c.bytes);
    EXPECT_EQ(reader->errorCode(), c.code);
    EXPECT_NE(reader->error().find(c.says), std::string::npos) << reader->error();
    EXPECT_FALSE(reader->canReadPackets());
    VPKRecordingReader::Packet packet;
    EXPECT_FALSE(reader->nextPacket(packet));
    EXPECT_TRUE(reader->header().isDictionary());
  }

  auto missing = VPKRecordingReader::open(vpk::temporaryFolder() / "no-such-file");
  EXPECT_EQ(missing->errorCode(), E::CannotOpen);
  EXPECT_NE(missing->error().find("no-such-file"), std::string::npos);
  EXPECT_EQ(VPKRecordingReader::open(vpk::temporaryFolder())->errorCode(), E::CannotOpen);
}

TEST_F(ReaderTest, HostileOrBrokenHeadersAreRefusedButTheirPacketsStillRead) {
  const std::string data = text(packet(1)) + text(packet(2));
  const std::string deep(200000, '[');
  struct Case {
    std::string name, bytes;
    E code;
  };
  const std::vector<Case> cases = {
      {"deep JSON", recording(deep, data), E::BadHeader},
      {"malformed JSON", recording(R"({"a":)", data), E::BadHeader},
      {"array", recording("[1,2]", data), E::HeaderNotObject},
      {"string", recording(R"("raw")", data), E::HeaderNotObject},
      {"no end byte", "50\n" + kHeader + kMarker + data, E::BadHeader},
      // A wrong length line: the marker is found where the header ends.
      {"length off by two", "53\n" + kHeader + "\n" + kMarker + data, E::MissingDataMarker},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    vpk::test::LogCapture quiet;
    auto reader = openBytes(c.bytes);
    EXPECT_EQ(reader->errorCode(), c.code) << reader->error();
    EXPECT_EQ(reader->header(), vpk::Value(vpk::ValueDictionary{}));
    ASSERT_TRUE(reader->canReadPackets());
    EXPECT_EQ(allPackets(*reader), (std::vector<std::string>{text(packet(1)), text(packet(2))}));
  }
}

}  // namespace
