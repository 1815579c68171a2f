#include <VemraPlatformKit/acquisition/VPKSignalStream.h>
#include <VemraPlatformKit/recording/VPKRecordingReader.h>
#include <VemraPlatformKit/recording/VPKSignalStreamFileHandle.h>

#include "recording/RecordingTestSupport.h"
#include "support/VirtualTime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>

namespace {

namespace fs = std::filesystem;
using vpk::test::packet;
using vpk::test::readFile;
using vpk::test::text;
using Writer = VPKSignalStreamFileHandle;
using WriterPtr = std::shared_ptr<Writer>;

using vpk::test::kDefaultJSON;
using vpk::test::kMarker;

uint64_t sizeOnDisk(const WriterPtr& w) { return fs::file_size(*w->temporaryURL()); }

// Sets the process's time zone for one test.
class TimeZone {
 public:
  explicit TimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~TimeZone() {
    if (previous_) ::setenv("TZ", previous_->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> previous_;
};

class FileHandleTest : public vpk::test::VirtualTimeTest {};

TEST_F(FileHandleTest, DefaultHeaderIs35BytesOfJSONBehindTheLengthLine51) {
  auto w = Writer::createForWriting();
  ASSERT_TRUE(w);
  EXPECT_EQ(text(w->encodeHeader()), "51\n" + kDefaultJSON + "\n");
  EXPECT_EQ(w->fileSize(), 0u);

  const auto p = packet(1);
  w->addData(p);
  w->closeFile();
  ASSERT_TRUE(w->URL());
  EXPECT_EQ(readFile(*w->URL()), "51\n" + kDefaultJSON + "\n" + kMarker + text(p));
  EXPECT_EQ(w->fileSize(), 3u + 35 + 1 + 15 + 20);
  EXPECT_DOUBLE_EQ(w->duration(), 0.012);
  EXPECT_EQ(w->URL(), w->temporaryURL());
  EXPECT_EQ(w->temporaryURL()->parent_path(), vpk::temporaryFolder());
  EXPECT_EQ(w->temporaryURL()->filename().string().size(), 36u);
}

TEST_F(FileHandleTest, HeaderLeavesOutNullsAndWritesDatesInTheSystemTimeZone) {
  TimeZone zone("XYZ-1:30");  // 90 minutes east of UTC
  auto w = Writer::createForWriting();
  ASSERT_TRUE(w);
  const vpk::Date newYear = vpk::Date::fromUnixTime(1767225600.75);  // 2026-01-01 00:00:00.75 UTC
  const uint8_t raw[] = {1, 2};
  ASSERT_TRUE(w->setHeader(vpk::ValueDictionary{
      {"absent", nullptr},
      {"when", newYear},
      {"list", vpk::Value::list({1, nullptr, "x", newYear})},
      {"nested", vpk::Value::dictionary({{"gone", nullptr}, {"n", 2.5}})},
      {"bytes", vpk::Value::bytes(raw, 2)},
      {"type", "custom"},
  }));
  const std::string json =
      R"({"bytes":"AQI=","compression":"none","list":[1,"x","2026-01-01 01:30:00 +0130"],)"
      R"("nested":{"n":2.5},"type":"custom","when":"2026-01-01 01:30:00 +0130"})";
  EXPECT_EQ(text(w->encodeHeader()), std::to_string(json.size() + 1 + 15) + "\n" + json + "\n");

  TimeZone west("ABC+5");
  EXPECT_NE(text(w->encodeHeader()).find(R"("when":"2025-12-31 19:00:00 -0500")"), std::string::npos);

  // A comma-separated writer names its type.
  w->setFileType(Writer::kFileTypeCSV);
  w->setHeader(std::nullopt);
  EXPECT_EQ(vpk::Value(w->header()), vpk::Value::dictionary({{"compression", "none"}, {"type", "csv"}}));
}

TEST_F(FileHandleTest, AHeaderThatWouldMakeTheFileUnreadableIsRefused) {
  vpk::test::LogCapture log;
  auto w = Writer::createForWriting();
  ASSERT_TRUE(w);
  ASSERT_TRUE(w->setHeader(vpk::ValueDictionary{{"subject", "s1"}}));

  EXPECT_FALSE(w->setHeader(vpk::ValueDictionary{{"bad", std::numeric_limits<double>::quiet_NaN()}}));
  EXPECT_FALSE(w->setHeader(vpk::ValueDictionary{{"huge", std::string(Writer::kMaxHeaderLength, 'x')}}));
  vpk::Value deep = 1;
  for (int i = 0; i < 100; ++i) deep = vpk::Value(vpk::ValueList{deep});
  EXPECT_FALSE(w->setHeader(vpk::ValueDictionary{{"deep", deep}}));
  // Four digits of year in UTC+14 and UTC-12 alike.
  for (const char* zone : {"AAA-14", "BBB+12"}) {
    TimeZone tz(zone);
    EXPECT_TRUE(w->setHeader(vpk::ValueDictionary{{"first", vpk::Date::fromUnixTime(-62167219200 + 50400 + 43200)},
                                                  {"last", vpk::Date::fromUnixTime(253402300799 - 50400 - 43200)}}));
    EXPECT_FALSE(w->setHeader(vpk::ValueDictionary{{"when", vpk::Date::fromUnixTime(253402300800 + 43200)}}));
    EXPECT_FALSE(w->setHeader(vpk::ValueDictionary{{"when", vpk::Date::fromUnixTime(-62167219200 - 54000)}}));
  }
  EXPECT_FALSE(w->setHeader(vpk::ValueDictionary{{"when", vpk::Date::fromUnixTime(1e300)}}));
  EXPECT_EQ(log.count("VPKSignalStreamFileHandle refused header"), 8u);
  ASSERT_TRUE(w->setHeader(vpk::ValueDictionary{{"subject", "s1"}}));

  // The last good header stays.
  EXPECT_EQ(w->header()["subject"].stringValue(), "s1");
}

TEST_F(FileHandleTest, AWriteThatFailsLeavesAStickyErrorAndNoFinishedFile) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  vpk::test::LogCapture log;
  auto w = Writer::createForWriting(fs::path("/dev/full"));
  ASSERT_TRUE(w);
  std::optional<std::string> seenByHandler;
  bool handlerRan = false;
  w->setFileHandleClosedHandler([&](const WriterPtr& writer) {
    handlerRan = true;
    seenByHandler = writer->writeError();
  });
  const auto p = packet(2);
  w->addData(p);
  EXPECT_FALSE(w->writeError());  // still buffered
  w->synchronize();
  ASSERT_TRUE(w->writeError());
  for (int i = 0; i < 3; ++i) w->addData(p);
  w->closeFile();
  settle();
  EXPECT_TRUE(handlerRan);
  EXPECT_EQ(seenByHandler, w->writeError());
  EXPECT_FALSE(w->URL());
  EXPECT_EQ(w->temporaryURL(), fs::path("/dev/full"));
  EXPECT_EQ(log.count("VPKSignalStreamFileHandle lost data: "), 1u);

  bool headerCallback = false;
  w->writeHeaderAndNotify([&](const WriterPtr&) { headerCallback = true; });
  settle();
  EXPECT_TRUE(headerCallback);
  EXPECT_FALSE(w->URL());
}

TEST_F(FileHandleTest, NineHundredSecondsHold75001ChunksThenTheWriterClosesItself) {
  auto w = Writer::createForWriting();
  ASSERT_TRUE(w);
  int closedCalls = 0;
  w->setFileHandleClosedHandler([&](const WriterPtr& writer) {
    EXPECT_EQ(writer, w);
    ++closedCalls;
  });
  vpk::test::VerboseCapture log;
  const auto p = packet(7);
  for (int i = 0; i < 75002; ++i) w->addData(p);
  settle();

  // 0.012 added 75,001 times first reaches 900 s; the 75,002nd chunk closes the file.
  EXPECT_TRUE(w->isClosed());
  EXPECT_EQ(closedCalls, 1);
  EXPECT_EQ(log.count("Internally closing file..."), 1u);
  const uint64_t expected = 3 + 35 + 1 + 15 + 75001ull * 20;
  EXPECT_EQ(w->fileSize(), expected);
  EXPECT_EQ(sizeOnDisk(w), expected);
  EXPECT_GE(w->duration(), 900.0);
  EXPECT_LT(w->duration() - 0.012, 900.0);
  EXPECT_EQ(w->URL(), w->temporaryURL());

  w->addData(p);
  settle();
  EXPECT_EQ(log.count("File written to while closed!"), 1u);
  EXPECT_EQ(sizeOnDisk(w), expected);
  EXPECT_EQ(closedCalls, 1);
}

TEST_F(FileHandleTest, WithoutClosingAtTheLimitLaterChunksAreDroppedAndZeroMeansNoLimit) {
  auto w = Writer::createForWriting();
  ASSERT_TRUE(w);
  w->setCloseFileAfterMaxDurationEllapsed(false);
  w->setMaxDuration(0.05);
  const auto p = packet(3);
  for (int i = 0; i < 8; ++i) w->addData(p);
  // 0.012, 0.024, 0.036, 0.048 are below 0.05; the fifth chunk is stored and reaches it.
  EXPECT_EQ(w->fileSize(), 54u + 5 * 20);
  EXPECT_FALSE(w->isClosed());

  w->setMaxDuration(0);
  for (int i = 0; i < 3; ++i) w->addData(p);
  EXPECT_EQ(w->fileSize(), 54u + 8 * 20);
}

TEST_F(FileHandleTest, DataReachesTheFileAtOneMebibyteAtSynchronizeAndAtClosing) {
  auto w = Writer::createForWriting();
  ASSERT_TRUE(w);
  const auto p = packet(9);
  for (int i = 0; i < 10; ++i) w->addData(p);
  settle();
  EXPECT_EQ(sizeOnDisk(w), 0u);
  w->synchronize();
  EXPECT_EQ(sizeOnDisk(w), w->fileSize());

  // 52,428 more chunks fill 1,048,560 bytes: still buffered. One more passes 1 MiB.
  const uint64_t before = sizeOnDisk(w);
  for (int i = 0; i < 52428; ++i) w->addData(p);
  settle();
  EXPECT_EQ(sizeOnDisk(w), before);
  w->addData(p);
  settle();
  EXPECT_EQ(sizeOnDisk(w), w->fileSize());

  w->addData(p);
  w->flush();
  settle();
  EXPECT_EQ(sizeOnDisk(w), w->fileSize());
  w->addData(p);
  w->closeFile();
  EXPECT_EQ(sizeOnDisk(w), w->fileSize());
  EXPECT_EQ(w->fileSize(), 54u + (10 + 52428 + 3) * 20ull);
}

TEST_F(FileHandleTest, ClosingTwiceDetachesAgainAndTheClosedHandlerRunsOnce) {
  auto stream = VPKSignalStream::create();
  auto w = Writer::createForWriting();
  ASSERT_TRUE(w);
  stream->addOutput(w);
  EXPECT_EQ(w->stream(), stream);

  std::vector<std::string> calls;
  w->setFileHandleClosedHandler([&](const WriterPtr&) { calls.push_back("handler"); });
  const auto p = packet(5);
  w->addData(p);
  w->closeFileAndNotify([&](const WriterPtr&) { calls.push_back("first"); });
  w->closeFileAndNotify([&](const WriterPtr&) { calls.push_back("second"); });
  settle();

  // The handler is a later step of the first close; the second close may finish before it.
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0], "first");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "handler"), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "second"), 1);
  EXPECT_TRUE(w->isClosed());
  EXPECT_EQ(w->stream(), nullptr);
  EXPECT_TRUE(stream->allOutputs().empty());
  EXPECT_EQ(readFile(*w->URL()), "51\n" + kDefaultJSON + "\n" + kMarker + text(p));

  w->closeFile();
  settle();
  EXPECT_EQ(calls.size(), 3u);
}

TEST_F(FileHandleTest, HeaderWrittenAfterwardsMakesASecondFileInFrontOfTheMarker) {
  auto w = Writer::createForWriting();
  ASSERT_TRUE(w);
  w->setWriteHeaderAutomatically(false);
  w->setHeader(vpk::ValueDictionary{{"subject", "s1"}});
  const auto p1 = packet(1), p2 = packet(2, 0, 0xFE);
  w->addData(p1);
  w->addData(p2);
  w->closeFile();
  EXPECT_FALSE(w->URL());
  EXPECT_EQ(readFile(*w->temporaryURL()), kMarker + text(p1) + text(p2));

  int called = 0;
  w->writeHeaderAndNotify([&](const WriterPtr&) { ++called; });
  settle();
  EXPECT_EQ(called, 1);
  ASSERT_TRUE(w->URL());
  EXPECT_NE(w->URL(), w->temporaryURL());
  const std::string header = text(w->encodeHeader());
  EXPECT_EQ(readFile(*w->URL()), header + kMarker + text(p1) + text(p2));
  EXPECT_EQ(w->fileSize(), header.size() + 15 + 40);
  EXPECT_TRUE(fs::exists(*w->temporaryURL()));

  auto reader = VPKRecordingReader::open(*w->URL());
  EXPECT_TRUE(reader->ok()) << reader->error();
  EXPECT_EQ(reader->header()["subject"].stringValue(), "s1");
  EXPECT_EQ(reader->packetCount(), 2u);

  const fs::path first = *w->URL(), second = *w->temporaryURL();
  w->discardAllAssociatedURLs();
  settle();
  EXPECT_FALSE(fs::exists(first));
  EXPECT_FALSE(fs::exists(second));
  EXPECT_FALSE(w->isValid());

  // Data still buffered in an open writer goes into the second file; a writer without data
  // gets the bare marker, so its file is still a readable recording.
  auto empty = Writer::createForWriting(), open = Writer::createForWriting();
  ASSERT_TRUE(empty && open);
  empty->setWriteHeaderAutomatically(false);
  open->setWriteHeaderAutomatically(false);
  open->addData(p1);
  for (const auto& x : {empty, open}) x->writeHeaderAndNotify();
  settle();
  EXPECT_EQ(readFile(*empty->URL()), text(empty->encodeHeader()) + kMarker);
  EXPECT_EQ(VPKRecordingReader::open(*empty->URL())->packetCount(), 0u);
  EXPECT_EQ(readFile(*open->URL()), text(open->encodeHeader()) + kMarker + text(p1));
}

TEST_F(FileHandleTest, AsAStreamOutputItKeepsEveryWholePacketAndFollowsTheStream) {
  auto stream = VPKSignalStream::create();
  auto w = Writer::createForWriting();
  ASSERT_TRUE(w);
  std::vector<std::string> events;
  w->setStreamOpenHandler([&](const WriterPtr&) { events.push_back("open"); });
  w->setStreamCloseHandler([&](const WriterPtr&) { events.push_back("close"); });
  w->setRemovedFromStreamHandler([&](const WriterPtr&) { events.push_back("removed"); });
  stream->addOutput(w);
  stream->open();
  const auto data = packet(1), accel = packet(2, 0, 0xFE);
  std::vector<uint8_t> shortPacket = packet(3);
  shortPacket.pop_back();
  stream->processData(data);
  stream->processData(accel);
  stream->processData(shortPacket);  // would shift every later packet: skipped
  stream->processData(data);
  stream->close();
  w->closeFile();
  settle();

  EXPECT_EQ(events, (std::vector<std::string>{"open", "close", "removed"}));
  EXPECT_TRUE(stream->allOutputs().empty());
  const std::string file = readFile(*w->URL());
  EXPECT_EQ(file.substr(54), text(data) + text(accel) + text(data));
  EXPECT_DOUBLE_EQ(w->duration(), 0.036);
}

TEST_F(FileHandleTest, DiscardingDeletesTheFilesAndStopsWriting) {
  vpk::test::VerboseCapture log;
  auto stream = VPKSignalStream::create();
  auto discardable = Writer::createForWriting();
  ASSERT_TRUE(discardable);
  discardable->setDiscardable(true);
  stream->addOutput(discardable);
  discardable->addData(packet(1));
  const fs::path path = *discardable->temporaryURL();
  stream->removeOutput(discardable);
  settle();
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(discardable->isValid());
  EXPECT_EQ(log.count("Discarding associated URLs"), 1u);

  // Discarded while still open: nothing more lands anywhere.
  discardable->addData(packet(2));
  settle();
  EXPECT_TRUE(discardable->isClosed());
  EXPECT_EQ(log.count("File written to while closed!"), 1u);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(FileHandleTest, CommaSeparatedRowsFromCallersAndFromTheStream) {
  auto w = Writer::createForWriting();
  ASSERT_TRUE(w);
  w->setFileType(Writer::kFileTypeCSV);
  w->setTags({"a"});
  const float values[] = {1.5f, -2.0f};
  w->didOutputValues(nullptr, values, vpk::Value(), 10.0, false);
  w->addCSVData({"x", "y"});

  auto stream = VPKSignalStream::create();
  stream->addOutput(w);
  stream->open();
  stream->processData(packet(1));  // three rows, one per sample pair
  w->closeFile();

  const std::string file = readFile(*w->URL());
  ASSERT_EQ(file.substr(0, 16), "1.5,-2,10,a\nx,y\n");
  std::vector<std::string> rows;
  for (size_t at = 16, end; (end = file.find('\n', at)) != std::string::npos; at = end + 1)
    rows.push_back(file.substr(at, end - at));
  ASSERT_EQ(rows.size(), 3u);
  float left = 0, right = 0;
  double time = 0;
  char tag[8] = {};
  ASSERT_EQ(std::sscanf(rows[2].c_str(), "%f,%f,%lf,%7s", &left, &right, &time, tag), 4);
  EXPECT_EQ(left, 5.0f * 0.047683723f);  // third sample pair: counts 5 and 6
  EXPECT_EQ(right, 6.0f * 0.047683723f);
  EXPECT_DOUBLE_EQ(time, now());
  EXPECT_STREQ(tag, "a");
  EXPECT_EQ(file.find(kMarker), std::string::npos);
  EXPECT_NEAR(w->duration(), 2 * 0.012 + 3 * 0.004, 1e-12);

  // A raw writer ignores rows.
  auto raw = Writer::createForWriting();
  raw->didOutputValues(nullptr, values, vpk::Value(), 10.0, false);
  EXPECT_EQ(raw->fileSize(), 0u);
}

TEST_F(FileHandleTest, CreationFailsCleanlyAndADestinationIsReplaced) {
  vpk::test::VerboseCapture log;
  EXPECT_EQ(Writer::createForWriting(vpk::temporaryFolder() / "missing" / "file"), nullptr);
  EXPECT_EQ(log.count("VPKSignalStreamFileHandle failed to init with error:"), 1u);
  EXPECT_EQ(Writer::createForWriting(vpk::temporaryFolder()), nullptr);  // a folder

  const fs::path destination = vpk::test::scratchPath("chosen.rec");
  vpk::test::writeFile(destination, "old contents that must go");
  auto w = Writer::createForWriting(destination);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->temporaryURL(), destination);
  w->addData(packet(1));
  w->closeFile();
  EXPECT_EQ(readFile(destination).substr(0, 3), "51\n");
  EXPECT_EQ(fs::file_size(destination), 74u);
}

TEST_F(FileHandleTest, AWriterDroppedWithoutClosingStillWritesItsBuffer) {
  fs::path path;
  {
    auto w = Writer::createForWriting();
    ASSERT_TRUE(w);
    path = *w->temporaryURL();
    w->addData(packet(1));
    w->addData(packet(2));
  }
  settle();
  EXPECT_EQ(fs::file_size(path), 54u + 40);
  EXPECT_EQ(VPKRecordingReader::open(path)->packetCount(), 2u);
}

}  // namespace
