#pragma once
/// @file VPKConversions.h
/// Intel HEX text to a binary firmware image.
///
/// Firmware images for the headband travel as Intel HEX. The conversion walks the records in
/// order and appends the data bytes of every data record (type 00) whose address, plus the
/// current base, lies at or above 0x1000; records below 0x1000 (the headband's boot loader)
/// are left out. The address does not place the bytes: they are appended in record order, so
/// the image is exactly the concatenation of the kept records' data.
///
/// Record: ":" byte-count(2 digits) address(4) type(2) data(2 per byte) checksum(2), then an
/// optional carriage return and an optional line feed. Digits may be upper or lower case.
///   - type 02 (extended segment address): base := value × 16. Once data has been emitted, a
///     value whose top four bits are not the next 64 KiB page ((base ÷ 65536) + 1) ends the
///     conversion: the image is what was emitted so far.
///   - type 04 (extended linear address): base := value × 65536. Once data has been emitted, a
///     value other than (base ÷ 65536) + 1 ends the conversion likewise.
///   - type 01 (end of file) ends the conversion; anything after it is ignored.
///   - other types are skipped.
/// Without an end-of-file record the walk ends at the end of the text.
///
/// Hostile or damaged text never reads past its end: a record that does not start with ":",
/// has a non-hex character or too few digits, a byte count that runs past the end of the text,
/// a wrong checksum, or an address record whose byte count is not 2, refuses the whole
/// conversion (nullopt, level-1 log line naming the record).
///
/// Threads: pure functions, callable from any thread.
///
/// Name mapping: binaryRepresentation (category on byte data) -> binaryRepresentation(bytes);
/// class forms convertHexToBin:, calculateBinLength:, readAddress:, readByte:, ascii2char: ->
/// the static functions of the same names.

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

class VPK_EXPORT VPKConversions {
 public:
  /// What ascii2char gives for a character that is not a hexadecimal digit.
  static constexpr uint8_t kNotAHexDigit = 255;

  /// The binary image of the Intel HEX text held in `hexText` (see the file comment).
  static std::optional<vpk::ValueBytes> binaryRepresentation(const vpk::ValueBytes& hexText);
  /// The binary image of `text`; an empty image when no data record lies at or above 0x1000.
  static std::optional<vpk::ValueBytes> convertHexToBin(std::string_view text);
  /// The number of bytes convertHexToBin emits for `text`; 0 for empty or refused text.
  static size_t calculateBinLength(std::string_view text);
  /// The 16-bit value of the first four hex digits of `digits`; nullopt when there are fewer
  /// than four or one is not a hex digit.
  static std::optional<uint16_t> readAddress(std::string_view digits);
  /// The byte of the first two hex digits of `digits`; nullopt as for readAddress.
  static std::optional<uint8_t> readByte(std::string_view digits);
  /// The value of one hex digit ('0'-'9', 'A'-'F', 'a'-'f'), else kNotAHexDigit.
  static uint8_t ascii2char(char c);
};
