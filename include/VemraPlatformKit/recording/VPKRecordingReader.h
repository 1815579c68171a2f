#pragma once
/// @file VPKRecordingReader.h
/// Reads a raw recording written by VPKSignalStreamFileHandle: checks the length line and
/// the data-region marker, gives the header as a vpk::Value dictionary, and hands out the
/// 20-byte packets in the order they were recorded.
///
///   auto reader = VPKRecordingReader::open(path);
///   if (!reader->ok()) std::cerr << reader->error() << "\n";   // may still have packets
///   const vpk::Value& header = reader->header();                 // {"type": "raw", ...}
///   VPKRecordingReader::Packet p;
///   while (reader->nextPacket(p)) { ... }
///
/// Damaged files: open() never fails outright; error() names the first problem found
/// (errorCode() classifies it). Whenever the data region can still be located (the header's
/// JSON is bad, or the length line is damaged but the marker is where a header would end),
/// canReadPackets() is true and every complete packet is handed out; a truncated last packet
/// is reported, not returned. Nothing is read past the end of the file as it was when
/// opened. Hostile headers are refused without building them: a length line of more than
/// 7 digits or above VPKSignalStreamFileHandle::kMaxHeaderLength, JSON nested deeper than
/// vpk::Value::kMaxNestingDepth, and JSON that is not an object.
///
/// A file that starts with the marker (a writer whose header was to be added afterwards)
/// reads as a recording with an empty header.
///
/// Threads: a reader is used by one thread at a time; different readers are independent.
/// Ownership: the reader owns its file descriptor and closes it when destroyed.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>

enum class VPKRecordingReaderError {
  None = 0,
  CannotOpen,         ///< the file cannot be opened or read
  BadLengthLine,      ///< no decimal length line at the start
  HeaderTooLong,      ///< the length line announces more than kMaxHeaderLength bytes
  TruncatedHeader,    ///< the file ends inside the header
  MissingDataMarker,  ///< no ".__data_region\n" where the header ends
  BadHeader,          ///< the header is not valid JSON (or nests too deep)
  HeaderNotObject,    ///< the header is JSON but not an object
  TruncatedPacket,    ///< the file ends inside a packet
  ReadFailed,         ///< reading failed (or the file shrank) while reading packets
};

class VPK_EXPORT VPKRecordingReader {
  struct Token {};

 public:
  static constexpr size_t kPacketLength = 20;
  using Packet = std::array<uint8_t, kPacketLength>;

  /// Opens and checks `path`. Never nullptr; see ok(), error() and canReadPackets().
  static std::shared_ptr<VPKRecordingReader> open(const std::filesystem::path& path);
  ~VPKRecordingReader();
  VPKRecordingReader(const VPKRecordingReader&) = delete;
  VPKRecordingReader& operator=(const VPKRecordingReader&) = delete;

  const std::filesystem::path& path() const;
  /// True while no problem was found.
  bool ok() const;
  /// The first problem found, as a sentence ("" while ok()).
  const std::string& error() const;
  VPKRecordingReaderError errorCode() const;

  /// The header entries: a dictionary (empty when the file has none or it is damaged).
  const vpk::Value& header() const;
  /// True when the data region was found.
  bool canReadPackets() const;
  /// Byte offset of the first packet in the file and the bytes from there to the end.
  uint64_t dataOffset() const;
  uint64_t dataLength() const;
  /// Complete packets in the data region.
  uint64_t packetCount() const;

  /// The next complete packet; false at the end of the data (or after a read error, which
  /// error() then names).
  bool nextPacket(Packet& packet);
  /// Calls `body` with each remaining complete packet (the span is valid for the call
  /// only); returns how many were handed out.
  uint64_t forEachPacket(const std::function<void(std::span<const uint8_t>)>& body);
  /// Starts again at the first packet.
  void rewind();

  explicit VPKRecordingReader(Token);  // use open()

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

using VPKRecordingReaderPtr = std::shared_ptr<VPKRecordingReader>;
