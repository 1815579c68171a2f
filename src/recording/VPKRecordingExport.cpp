#include <VemraPlatformKit/recording/VPKRecordingExport.h>

#include <VemraPlatformKit/recording/VPKRecordingReader.h>

#include "acquisition/PacketFormat.h"
#include "recording/RecordingFile.h"
#include "recording/RecordingHeader.h"

#include <fmt/format.h>

#include <array>
#include <vector>

namespace {

using vpk::detail::FileDescriptor;
using vpk::detail::kDataKind;
using vpk::detail::readValue;
using vpk::detail::valueOffset;

constexpr size_t kWriteChunk = 1 << 20;

// Output buffered in memory and appended to the file in large pieces.
class Output {
 public:
  explicit Output(const std::filesystem::path& path) {
    file_ = FileDescriptor::openForWriting(path, true, &error_);
    if (file_.valid()) buffer_.reserve(kWriteChunk + 4096);
  }
  bool valid() const { return file_.valid() && error_.empty(); }
  const std::string& error() const { return error_; }
  std::vector<uint8_t>& buffer() { return buffer_; }
  void append(std::string_view text) { buffer_.insert(buffer_.end(), text.begin(), text.end()); }
  void maybeWrite() {
    if (buffer_.size() >= kWriteChunk) flushBuffer();
  }
  bool finish() {
    flushBuffer();
    file_.close();
    return error_.empty();
  }
  bool writeAt(const std::string& bytes, off_t offset) {
    flushBuffer();
    return error_.empty() && file_.writeAt(bytes.data(), bytes.size(), offset, &error_);
  }
  void flushBuffer() {
    if (error_.empty() && !buffer_.empty()) file_.appendAtEnd(buffer_.data(), buffer_.size(), &error_);
    buffer_.clear();
  }

 private:
  FileDescriptor file_;
  std::vector<uint8_t> buffer_;
  std::string error_;
};

VPKRecordingExportResult failed(VPKRecordingExportResult& result, std::string error,
                                const std::filesystem::path* written = nullptr) {
  result.ok = false;
  result.error = std::move(error);
  if (written) {
    std::error_code ec;
    std::filesystem::remove(*written, ec);
  }
  return std::move(result);
}

// Starts an export: the reader must have packets; its damage becomes the warning.
bool begin(VPKRecordingReader& reader, VPKRecordingExportResult& result) {
  if (!reader.canReadPackets()) {
    result.error = reader.error();
    return false;
  }
  if (!reader.ok()) result.warning = reader.error();
  reader.rewind();
  return true;
}

// ---------------------------------------------------------------- BDF+

constexpr int kRecordSamples = VPKRecordingExport::kBDFSamplesPerRecord;
constexpr int kAnnotationSamples = 20;  // 60 bytes of time-stamped annotation lists per record
constexpr int kSignals = 3;
constexpr int32_t kDigitalMin = -8388608;
constexpr int32_t kDigitalMax = 8388607;
// 0xFFFFFF counts times the stream's scale, 800000.077, in the 8 characters the field has.
constexpr const char* kPhysicalMax = "800000.1";

// One fixed-width ASCII field: left-justified, padded with spaces, printable characters only.
void field(std::string& out, std::string_view text, size_t width) {
  size_t n = 0;
  for (char c : text) {
    if (n == width) break;
    out += (c >= 32 && c <= 126) ? c : '_';
    ++n;
  }
  out.append(width - n, ' ');
}

struct StartTime {
  std::string date = "01.01.85";
  std::string time = "00.00.00";
  std::string recordingField = "Startdate X X X Vemra_headband";
};

StartTime startTime(const vpk::Value& header) {
  static constexpr const char* kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                            "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  StartTime s;
  for (const char* key : {"date", "startDate"}) {
    const auto parts = vpk::detail::splitHeaderDate(header[key].stringValue());
    if (!parts) continue;
    if (parts->year < 1985 || parts->year > 2084) break;  // the format's two-digit years cover 1985-2084
    s.date = fmt::format("{:02}.{:02}.{:02}", parts->day, parts->month, parts->year % 100);
    s.time = fmt::format("{:02}.{:02}.{:02}", parts->hour, parts->minute, std::min(parts->second, 59));
    s.recordingField =
        fmt::format("Startdate {:02}-{}-{:04} X X Vemra_headband", parts->day, kMonths[parts->month - 1], parts->year);
    break;
  }
  return s;
}

std::string bdfHeader(const StartTime& start, uint64_t records) {
  std::string h;
  h.reserve(256 * (kSignals + 1));
  h += '\xFF';
  field(h, "BIOSEMI", 7);
  field(h, "X X X X", 80);  // patient: code, sex, birth date, name unknown
  field(h, start.recordingField, 80);
  field(h, start.date, 8);
  field(h, start.time, 8);
  field(h, std::to_string(256 * (kSignals + 1)), 8);
  field(h, "BDF+C", 44);
  field(h, std::to_string(records), 8);
  field(h, "1", 8);  // seconds per data record
  field(h, std::to_string(kSignals), 4);
  const std::array<const char*, kSignals> labels = {"Left", "Right", "BDF Annotations"};
  for (const char* l : labels) field(h, l, 16);
  for (int i = 0; i < kSignals; ++i) field(h, i < 2 ? "EEG electrode" : "", 80);
  for (int i = 0; i < kSignals; ++i) field(h, i < 2 ? "uV" : "", 8);
  for (int i = 0; i < kSignals; ++i) field(h, i < 2 ? "0" : "-1", 8);
  for (int i = 0; i < kSignals; ++i) field(h, i < 2 ? kPhysicalMax : "1", 8);
  for (int i = 0; i < kSignals; ++i) field(h, std::to_string(kDigitalMin), 8);
  for (int i = 0; i < kSignals; ++i) field(h, std::to_string(kDigitalMax), 8);
  for (int i = 0; i < kSignals; ++i) field(h, "", 80);  // prefiltering
  for (int i = 0; i < kSignals; ++i) field(h, std::to_string(i < 2 ? kRecordSamples : kAnnotationSamples), 8);
  for (int i = 0; i < kSignals; ++i) field(h, "", 32);
  return h;
}

// A 24-bit count as a BDF sample: c - 8388608, little-endian two's complement.
void appendSample(std::vector<uint8_t>& out, uint32_t count) {
  const uint32_t digital = count ^ 0x800000u;
  out.push_back(static_cast<uint8_t>(digital));
  out.push_back(static_cast<uint8_t>(digital >> 8));
  out.push_back(static_cast<uint8_t>(digital >> 16));
}

struct RecordBuilder {
  std::array<uint32_t, kRecordSamples> left{}, right{};
  int filled = 0;
  uint64_t index = 0;

  // Writes the record holding `filled` samples, repeating the last one to fill it up.
  void write(Output& out, VPKRecordingExportResult& result) {
    auto& b = out.buffer();
    for (int i = filled; i < kRecordSamples; ++i) {
      left[static_cast<size_t>(i)] = left[static_cast<size_t>(filled - 1)];
      right[static_cast<size_t>(i)] = right[static_cast<size_t>(filled - 1)];
    }
    for (uint32_t v : left) appendSample(b, v);
    for (uint32_t v : right) appendSample(b, v);
    std::string tal = fmt::format("+{}\x14\x14", index);
    tal += '\0';
    if (filled < kRecordSamples) {
      tal += fmt::format("+{:.3f}\x14Recording ends\x14", static_cast<double>(index) + filled * VPKRecordingExport::kSampleInterval);
      tal += '\0';
      result.paddedSamples += static_cast<uint64_t>(kRecordSamples - filled);
    }
    tal.resize(kAnnotationSamples * 3, '\0');
    out.append(tal);
    ++index;
    filled = 0;
    out.maybeWrite();
  }
};

}  // namespace

VPKRecordingExportResult VPKRecordingExport::exportCSV(const std::filesystem::path& recording,
                                                       const std::filesystem::path& output) {
  auto reader = VPKRecordingReader::open(recording);
  return exportCSV(*reader, output);
}

VPKRecordingExportResult VPKRecordingExport::exportBDF(const std::filesystem::path& recording,
                                                       const std::filesystem::path& output) {
  auto reader = VPKRecordingReader::open(recording);
  return exportBDF(*reader, output);
}

VPKRecordingExportResult VPKRecordingExport::exportCSV(VPKRecordingReader& reader,
                                                       const std::filesystem::path& output) {
  VPKRecordingExportResult result;
  if (!begin(reader, result)) return failed(result, result.error);
  Output out(output);
  if (!out.valid()) return failed(result, fmt::format("cannot write {}: {}", output.string(), out.error()));
  out.append("time,left,right\n");
  auto& b = out.buffer();
  reader.forEachPacket([&](std::span<const uint8_t> p) {
    if (p[0] != kDataKind) {
      ++result.skippedPackets;
      return;
    }
    ++result.dataPackets;
    for (size_t s = 0; s < 3; ++s) {
      const float left = vpk::detail::scaledValue(p.data() + valueOffset(s, 0));
      const float right = vpk::detail::scaledValue(p.data() + valueOffset(s, 1));
      fmt::format_to(std::back_inserter(b), "{:.3f},{},{}\n",
                     static_cast<double>(result.samples) * kSampleInterval, left, right);
      ++result.samples;
    }
    out.maybeWrite();
  });
  if (!out.finish()) return failed(result, fmt::format("cannot write {}: {}", output.string(), out.error()), &output);
  result.ok = true;
  return result;
}

VPKRecordingExportResult VPKRecordingExport::exportBDF(VPKRecordingReader& reader,
                                                       const std::filesystem::path& output) {
  VPKRecordingExportResult result;
  if (!begin(reader, result)) return failed(result, result.error);
  uint64_t dataPackets = 0;
  reader.forEachPacket([&](std::span<const uint8_t> p) { dataPackets += p[0] == kDataKind; });
  if (dataPackets == 0) return failed(result, "the recording holds no samples");
  const uint64_t samples = dataPackets * 3;
  const uint64_t records = (samples + kRecordSamples - 1) / kRecordSamples;
  if (records > 99999999) return failed(result, "the recording is too long for one BDF file");

  Output out(output);
  if (!out.valid()) return failed(result, fmt::format("cannot write {}: {}", output.string(), out.error()));
  out.append(bdfHeader(startTime(reader.header()), records));

  reader.rewind();
  RecordBuilder record;
  reader.forEachPacket([&](std::span<const uint8_t> p) {
    if (p[0] != kDataKind) {
      ++result.skippedPackets;
      return;
    }
    if (result.dataPackets == dataPackets) return;  // the file grew since it was counted
    ++result.dataPackets;
    for (size_t s = 0; s < 3; ++s) {
      record.left[static_cast<size_t>(record.filled)] = readValue(p.data() + valueOffset(s, 0));
      record.right[static_cast<size_t>(record.filled)] = readValue(p.data() + valueOffset(s, 1));
      ++record.filled;
      ++result.samples;
      if (record.filled == kRecordSamples) record.write(out, result);
    }
  });
  if (record.filled > 0) record.write(out, result);
  result.dataRecords = record.index;
  if (result.dataRecords != records) {
    // The file changed between the two passes: make the header tell the truth.
    out.writeAt(fmt::format("{:<8}", result.dataRecords), 236);
  }
  if (!out.finish()) return failed(result, fmt::format("cannot write {}: {}", output.string(), out.error()), &output);
  if (result.dataRecords == 0) return failed(result, "the recording holds no samples", &output);
  result.ok = true;
  return result;
}
