#include <VemraPlatformKit/recording/VPKRecordingReader.h>

#include <VemraPlatformKit/recording/VPKSignalStreamFileHandle.h>

#include "recording/RecordingFile.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

using Error = VPKRecordingReaderError;
using vpk::detail::FileDescriptor;

constexpr std::string_view kMarker = VPKSignalStreamFileHandle::kDataRegionMarker;
constexpr uint64_t kMaxHeaderLength = VPKSignalStreamFileHandle::kMaxHeaderLength;
// Digits of the largest length line accepted (1048576).
constexpr size_t kMaxLengthDigits = 7;
// Packets read from the file at a time.
constexpr size_t kBlockPackets = 52428;  // about 1 MiB

}  // namespace

struct VPKRecordingReader::Impl {
  std::filesystem::path path;
  FileDescriptor file;
  Error code = Error::None;
  std::string error;
  vpk::Value header = vpk::Value(vpk::ValueDictionary{});
  bool hasData = false;
  uint64_t fileSize = 0;
  uint64_t dataOffset = 0;
  uint64_t dataLength = 0;
  // Reading position.
  uint64_t nextIndex = 0;  // packet index of block[blockPos]
  std::vector<uint8_t> block;
  size_t blockPos = 0;  // byte offset in block
  size_t blockFill = 0;

  void fail(Error c, std::string message) {
    if (code != Error::None) return;  // keep the first problem
    code = c;
    error = std::move(message);
  }

  uint64_t packetCount() const { return dataLength / kPacketLength; }

  void startData(uint64_t offset) {
    hasData = true;
    dataOffset = offset;
    dataLength = fileSize - offset;
    if (const uint64_t rest = dataLength % kPacketLength; rest != 0)
      fail(Error::TruncatedPacket,
           fmt::format("the file ends inside packet {}: {} of {} bytes at byte {} ({} complete packets before it)",
                       packetCount() + 1, rest, kPacketLength, dataOffset + packetCount() * kPacketLength,
                       packetCount()));
  }

  // Reads the fixed structure: length line, header, marker. False when it is broken.
  bool readStructure() {
    char line[kMaxLengthDigits + 2] = {};
    std::string readError;
    const ssize_t got = file.readAt(line, sizeof line, 0, &readError);
    if (got < 0) {
      fail(Error::CannotOpen, fmt::format("cannot read {}: {}", path.string(), readError));
      return false;
    }
    const std::string_view head(line, static_cast<size_t>(got));
    if (!head.empty() && head[0] == kMarker[0] && fileSize >= kMarker.size()) {
      // A headerless recording (the header was to be added afterwards).
      std::string first(kMarker.size(), '\0');
      if (file.readAt(first.data(), first.size(), 0, &readError) == static_cast<ssize_t>(first.size()) &&
          first == kMarker) {
        startData(kMarker.size());
        return true;
      }
    }
    size_t digits = 0;
    while (digits < head.size() && head[digits] >= '0' && head[digits] <= '9') ++digits;
    if (digits == 0) {
      fail(Error::BadLengthLine, fileSize == 0 ? "the file is empty"
                                               : "the file does not start with a length line (decimal digits, then a line feed)");
      return false;
    }
    if (digits > kMaxLengthDigits) {
      fail(Error::HeaderTooLong,
           fmt::format("the length line has more than {} digits; headers are at most {} bytes", kMaxLengthDigits,
                       kMaxHeaderLength));
      return false;
    }
    if (digits == head.size() || head[digits] != '\n') {
      fail(Error::BadLengthLine, digits == head.size() ? "the file ends inside the length line"
                                                       : "the length line does not end with a line feed");
      return false;
    }
    uint64_t length = 0;
    for (size_t i = 0; i < digits; ++i) length = length * 10 + static_cast<uint64_t>(head[i] - '0');
    if (length > kMaxHeaderLength) {
      fail(Error::HeaderTooLong,
           fmt::format("the length line announces {} header bytes; at most {} are accepted", length, kMaxHeaderLength));
      return false;
    }
    if (length < kMarker.size()) {
      fail(Error::BadLengthLine,
           fmt::format("the length line announces {} header bytes, fewer than the {}-byte data-region marker", length,
                       kMarker.size()));
      return false;
    }
    const uint64_t regionStart = digits + 1;
    if (regionStart + length > fileSize) {
      fail(Error::TruncatedHeader, fmt::format("the header announces {} bytes but the file ends {} bytes after the "
                                               "length line",
                                               length, fileSize - regionStart));
      return false;
    }
    std::string region(length, '\0');
    if (file.readAt(region.data(), region.size(), static_cast<off_t>(regionStart), &readError) !=
        static_cast<ssize_t>(region.size())) {
      fail(Error::CannotOpen, fmt::format("cannot read the header: {}", readError));
      return false;
    }
    if (std::string_view(region).substr(region.size() - kMarker.size()) != kMarker) {
      fail(Error::MissingDataMarker,
           fmt::format("no data-region marker at byte {}, where the length line says the header ends",
                       regionStart + length - kMarker.size()));
      return false;
    }
    startDataAfterHeader(region, regionStart + length);
    return true;
  }

  void startDataAfterHeader(std::string& region, uint64_t offset) {
    region.resize(region.size() - kMarker.size());
    // A writer that failed to encode its header leaves "" or "\n": an empty header.
    if (!region.empty()) {
      if (region.back() != '\n') {
        fail(Error::BadHeader, "the header does not end with a line feed before the data-region marker");
      } else {
        region.pop_back();
        if (!region.empty()) parseHeader(region);
      }
    }
    startData(offset);
  }

  void parseHeader(std::string_view json) {
    // Refuse deep nesting before the parser sees it (the value reader refuses it too, after
    // logging); cheap, and keeps hostile files quiet.
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : json) {
      if (inString) {
        if (escaped) escaped = false;
        else if (c == '\\') escaped = true;
        else if (c == '"') inString = false;
      } else if (c == '"') {
        inString = true;
      } else if (c == '{' || c == '[') {
        if (++depth > vpk::Value::kMaxNestingDepth) {
          fail(Error::BadHeader,
               fmt::format("the header nests deeper than {} levels", vpk::Value::kMaxNestingDepth));
          return;
        }
      } else if (c == '}' || c == ']') {
        --depth;
      }
    }
    auto value = vpk::Value::fromJSONString(json);
    if (!value) {
      fail(Error::BadHeader, "the header is not valid JSON");
      return;
    }
    if (!value->isDictionary()) {
      fail(Error::HeaderNotObject,
           fmt::format("the header is a JSON {}, not an object", vpk::Value::kindName(value->kind())));
      return;
    }
    header = std::move(*value);
  }

  // The structure is broken: look for the marker where a header could end, so the packets
  // after it can still be read.
  void recoverData() {
    const uint64_t limit = std::min<uint64_t>(fileSize, kMaxHeaderLength + kMaxLengthDigits + 1);
    std::string prefix(limit, '\0');
    std::string readError;
    if (file.readAt(prefix.data(), prefix.size(), 0, &readError) != static_cast<ssize_t>(prefix.size())) return;
    const size_t at = prefix.find(kMarker);
    if (at == std::string::npos) return;
    error += fmt::format("; the packets after the data-region marker at byte {} can still be read", at);
    startData(at + kMarker.size());
  }

  bool fillBlock() {
    const uint64_t total = packetCount();
    if (nextIndex >= total) return false;
    const uint64_t packets = std::min<uint64_t>(kBlockPackets, total - nextIndex);
    const size_t bytes = static_cast<size_t>(packets * kPacketLength);
    // Grown to what is read, not to a whole block: a short recording costs a short buffer.
    if (block.size() < bytes) block.resize(bytes);
    std::string readError;
    const ssize_t got =
        file.readAt(block.data(), bytes, static_cast<off_t>(dataOffset + nextIndex * kPacketLength), &readError);
    if (got != static_cast<ssize_t>(bytes)) {
      fail(Error::ReadFailed, got < 0 ? fmt::format("reading packet {} failed: {}", nextIndex + 1, readError)
                                      : fmt::format("the file shrank while packet {} was read", nextIndex + 1));
      dataLength = nextIndex * kPacketLength;  // nothing more to hand out
      return false;
    }
    blockPos = 0;
    blockFill = bytes;
    return true;
  }

  const uint8_t* next() {
    if (!hasData) return nullptr;
    if (blockPos >= blockFill && !fillBlock()) return nullptr;
    const uint8_t* p = block.data() + blockPos;
    blockPos += kPacketLength;
    ++nextIndex;
    return p;
  }
};

VPKRecordingReader::VPKRecordingReader(Token) : d_(std::make_unique<Impl>()) {}
VPKRecordingReader::~VPKRecordingReader() = default;

std::shared_ptr<VPKRecordingReader> VPKRecordingReader::open(const std::filesystem::path& path) {
  auto reader = std::make_shared<VPKRecordingReader>(Token{});
  Impl& d = *reader->d_;
  d.path = path;
  std::string error;
  d.file = FileDescriptor::openForReading(path, &error);
  const off_t size = d.file.valid() ? d.file.size(&error) : -1;
  if (size < 0) {
    d.fail(Error::CannotOpen, fmt::format("cannot open {}: {}", path.string(), error));
    return reader;
  }
  d.fileSize = static_cast<uint64_t>(size);
  if (!d.readStructure() && d.code != Error::CannotOpen) d.recoverData();
  return reader;
}

const std::filesystem::path& VPKRecordingReader::path() const { return d_->path; }
bool VPKRecordingReader::ok() const { return d_->code == Error::None; }
const std::string& VPKRecordingReader::error() const { return d_->error; }
VPKRecordingReaderError VPKRecordingReader::errorCode() const { return d_->code; }
const vpk::Value& VPKRecordingReader::header() const { return d_->header; }
bool VPKRecordingReader::canReadPackets() const { return d_->hasData; }
uint64_t VPKRecordingReader::dataOffset() const { return d_->dataOffset; }
uint64_t VPKRecordingReader::dataLength() const { return d_->dataLength; }
uint64_t VPKRecordingReader::packetCount() const { return d_->packetCount(); }

bool VPKRecordingReader::nextPacket(Packet& packet) {
  const uint8_t* p = d_->next();
  if (!p) return false;
  std::memcpy(packet.data(), p, kPacketLength);
  return true;
}

uint64_t VPKRecordingReader::forEachPacket(const std::function<void(std::span<const uint8_t>)>& body) {
  uint64_t count = 0;
  while (const uint8_t* p = d_->next()) {
    body(std::span<const uint8_t>(p, kPacketLength));
    ++count;
  }
  return count;
}

void VPKRecordingReader::rewind() {
  d_->nextIndex = 0;
  d_->blockPos = 0;
  d_->blockFill = 0;
}
