#include <VemraPlatformKit/recording/VPKRecordingExport.h>
#include <VemraPlatformKit/recording/VPKRecordingReader.h>

#include "recording/RecordingTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using vpk::test::packet;
using vpk::test::readFile;
using vpk::test::text;

constexpr float kScale = 0.047683723f;
fs::path writeRecording(const std::string& json, const std::string& data) {
  const fs::path path = vpk::test::scratchPath("source.rec");
  vpk::test::writeFile(path, vpk::test::recordingBytes(json, data));
  return path;
}

// 84 data packets (252 sample pairs) with counts over the whole 24-bit range, and one
// accelerometer packet after the first.
std::string sampleData() {
  std::string data;
  for (uint32_t i = 0; i < 84; ++i) {
    const uint32_t base = i == 0 ? 0 : i == 83 ? 0xFFFFFA : i * 199999;
    data += text(packet(base));
    if (i == 0) data += text(packet(5, 0, 0xFE));
  }
  return data;
}

// Count of sample `n`'s channel (0 left, 1 right) in sampleData().
uint32_t countAt(uint64_t n, int channel) {
  const uint32_t i = static_cast<uint32_t>(n / 3), s = static_cast<uint32_t>(n % 3);
  const uint32_t base = i == 0 ? 0 : i == 83 ? 0xFFFFFA : i * 199999;
  return (base + s * 2 + static_cast<uint32_t>(channel)) & 0xFFFFFFu;
}

std::string field(const std::string& h, size_t offset, size_t width) {
  std::string f = h.substr(offset, width);
  f.erase(f.find_last_not_of(' ') + 1);
  return f;
}

int32_t sample24(const std::string& b, size_t at) {
  const uint32_t u = static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
                     static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16;
  return static_cast<int32_t>(u << 8) >> 8;
}

TEST(RecordingExport, CSVHasOneRowPerSamplePair4msApart) {
  const fs::path source = writeRecording(R"({"type":"raw"})", sampleData());
  const fs::path out = vpk::test::scratchPath("out.csv");
  const auto result = VPKRecordingExport::exportCSV(source, out);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.dataPackets, 84u);
  EXPECT_EQ(result.samples, 252u);
  EXPECT_EQ(result.skippedPackets, 1u);
  EXPECT_TRUE(result.warning.empty());

  std::istringstream csv(readFile(out));
  std::string line;
  std::getline(csv, line);
  EXPECT_EQ(line, "time,left,right");
  uint64_t n = 0;
  while (std::getline(csv, line)) {
    double time = 0;
    float left = 0, right = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%f,%f", &time, &left, &right), 3) << line;
    EXPECT_EQ(line.substr(0, line.find(',')), [&] {
      char t[32];
      std::snprintf(t, sizeof t, "%.3f", static_cast<double>(n) * 0.004);
      return std::string(t);
    }());
    EXPECT_EQ(left, static_cast<float>(countAt(n, 0)) * kScale) << line;
    EXPECT_EQ(right, static_cast<float>(countAt(n, 1)) * kScale) << line;
    ++n;
  }
  EXPECT_EQ(n, 252u);
}

TEST(RecordingExport, BDFFollowsTheHeaderLayoutAndKeepsEvery24BitSample) {
  const fs::path source = writeRecording(R"({"date":"2026-01-01 01:30:00 +0130","type":"raw"})", sampleData());
  const fs::path out = vpk::test::scratchPath("out.bdf");
  const auto result = VPKRecordingExport::exportBDF(source, out);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.samples, 252u);
  EXPECT_EQ(result.dataRecords, 2u);
  EXPECT_EQ(result.paddedSamples, 248u);

  const std::string b = readFile(out);
  constexpr size_t kRecord = 250 * 3 * 2 + 20 * 3;
  ASSERT_EQ(b.size(), 1024 + 2 * kRecord);
  // Main header.
  EXPECT_EQ(b.substr(0, 8), "\xFF" "BIOSEMI");
  EXPECT_EQ(field(b, 8, 80), "X X X X");
  EXPECT_EQ(field(b, 88, 80), "Startdate 01-JAN-2026 X X Vemra_headband");
  EXPECT_EQ(field(b, 168, 8), "01.01.26");
  EXPECT_EQ(field(b, 176, 8), "01.30.00");
  EXPECT_EQ(field(b, 184, 8), "1024");
  EXPECT_EQ(field(b, 192, 44), "BDF+C");
  EXPECT_EQ(field(b, 236, 8), "2");
  EXPECT_EQ(field(b, 244, 8), "1");
  EXPECT_EQ(field(b, 252, 4), "3");
  // Signal headers: each field holds the three signals' values one after the other.
  enum : size_t { kLabel = 0, kDimension = 288, kPhysMin = 312, kPhysMax = 336, kDigMin = 360, kDigMax = 384,
                  kSamples = 648, kReserved = 672 };
  auto signal = [&](size_t base, size_t width, int i) { return field(b, 256 + base + static_cast<size_t>(i) * width, width); };
  const char* labels[] = {"Left", "Right", "BDF Annotations"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(labels[i]);
    EXPECT_EQ(signal(kLabel, 16, i), labels[i]);
    EXPECT_EQ(signal(kDimension, 8, i), i < 2 ? "uV" : "");
    EXPECT_EQ(signal(kDigMin, 8, i), "-8388608");
    EXPECT_EQ(signal(kDigMax, 8, i), "8388607");
    EXPECT_EQ(signal(kSamples, 8, i), i < 2 ? "250" : "20");
    EXPECT_EQ(signal(kReserved, 32, i), "");
  }
  for (char c : b.substr(8, 1016)) ASSERT_TRUE(c >= 32 && c <= 126) << "header byte " << int(c);

  // Samples: c - 8388608, and the physical value within half a float step of the stream's.
  const double physMin = std::stod(signal(kPhysMin, 8, 0)), physMax = std::stod(signal(kPhysMax, 8, 0));
  const double gain = (physMax - physMin) / (8388607.0 + 8388608.0);
  for (uint64_t n = 0; n < 500; ++n) {
    const size_t record = n / 250, i = n % 250;
    const uint64_t source_n = std::min<uint64_t>(n, 251);  // the last record repeats sample 251
    for (int ch = 0; ch < 2; ++ch) {
      const int32_t digital = sample24(b, 1024 + record * kRecord + static_cast<size_t>(ch) * 750 + i * 3);
      ASSERT_EQ(static_cast<uint32_t>(digital + 8388608), countAt(source_n, ch)) << n;
      const double physical = physMin + (digital + 8388608.0) * gain;
      const float stream = static_cast<float>(countAt(source_n, ch)) * kScale;
      ASSERT_LE(std::abs(physical - stream), std::nextafter(stream, 1e9f) - stream) << n;
    }
  }
  // Annotations: each record's time stamp; the end of the real samples in the last one.
  const std::string tal0 = b.substr(1024 + 1500, 60), tal1 = b.substr(1024 + kRecord + 1500, 60);
  EXPECT_EQ(tal0, std::string("+0\x14\x14\0", 5) + std::string(55, '\0'));
  const std::string end = std::string("+1\x14\x14\0", 5) + std::string("+1.008\x14Recording ends\x14\0", 23);
  EXPECT_EQ(tal1, end + std::string(60 - end.size(), '\0'));
}

TEST(RecordingExport, UnknownStartDamagedSourcesAndFailures) {
  // No date in the header: the start is unknown.
  const fs::path undated = writeRecording(R"({"date":"yesterday"})", text(packet(1)));
  const fs::path bdf = vpk::test::scratchPath("undated.bdf");
  ASSERT_TRUE(VPKRecordingExport::exportBDF(undated, bdf).ok);
  const std::string b = readFile(bdf);
  EXPECT_EQ(field(b, 88, 80), "Startdate X X X Vemra_headband");
  EXPECT_EQ(field(b, 168, 16), "01.01.8500.00.00");

  // A truncated source: its complete packets are exported and the damage is passed on.
  const fs::path damaged = writeRecording("{}", text(packet(1)) + text(packet(2)).substr(0, 5));
  const auto partial = VPKRecordingExport::exportCSV(damaged, vpk::test::scratchPath("partial.csv"));
  EXPECT_TRUE(partial.ok);
  EXPECT_EQ(partial.samples, 3u);
  EXPECT_NE(partial.warning.find("ends inside packet 2"), std::string::npos) << partial.warning;

  // Nothing to export, nothing readable, nowhere to write.
  const fs::path noSamples = writeRecording("{}", text(packet(1, 0, 0xFF)));
  const fs::path none = vpk::test::scratchPath("none.bdf");
  const auto empty = VPKRecordingExport::exportBDF(noSamples, none);
  EXPECT_FALSE(empty.ok);
  EXPECT_EQ(empty.error, "the recording holds no samples");
  EXPECT_FALSE(fs::exists(none));

  const fs::path garbage = vpk::test::scratchPath("garbage.rec");
  vpk::test::writeFile(garbage, "not a recording");
  const auto unreadable = VPKRecordingExport::exportCSV(garbage, vpk::test::scratchPath("g.csv"));
  EXPECT_FALSE(unreadable.ok);
  EXPECT_NE(unreadable.error.find("length line"), std::string::npos);

  const auto nowhere = VPKRecordingExport::exportCSV(undated, vpk::temporaryFolder() / "missing" / "x.csv");
  EXPECT_FALSE(nowhere.ok);
  EXPECT_NE(nowhere.error.find("cannot write"), std::string::npos);
}

}  // namespace
