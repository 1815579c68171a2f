// Intel HEX to binary: the 0x1000 rule, extended addresses, lower case, hostile records.
#include <VemraPlatformKit/frame/VPKConversions.h>

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = vpk::ValueBytes;
using H = VPKConversions;

/// One record with a correct checksum, upper-case digits and CR LF.
std::string record(uint8_t type, uint16_t address, const Bytes& data) {
  Bytes all{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), type};
  all.insert(all.end(), data.begin(), data.end());
  unsigned sum = 0;
  std::string s = ":";
  char digits[3];
  for (uint8_t b : all) {
    sum += b;
    std::snprintf(digits, sizeof digits, "%02X", b);
    s += digits;
  }
  std::snprintf(digits, sizeof digits, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return s + digits + "\r\n";
}
std::string data(uint16_t address, const Bytes& bytes) { return record(0, address, bytes); }
std::string linear(uint16_t page) { return record(4, 0, {static_cast<uint8_t>(page >> 8), static_cast<uint8_t>(page)}); }
std::string segment(uint16_t v) { return record(2, 0, {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}); }
const std::string kEnd = ":00000001FF\r\n";

TEST(IntelHex, DigitsInEitherCase) {
  EXPECT_EQ(H::readAddress("beEF"), 0xBEEF);
  EXPECT_FALSE(H::readByte(":0"));  // ':' sits between '9' and 'A'
  EXPECT_FALSE(H::readByte("1"));
  std::string lower = data(0x1000, {0xAB, 0xCD});
  for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(H::convertHexToBin(lower), (Bytes{0xAB, 0xCD}));
}

TEST(IntelHex, KeepsRecordsFromAddress0x1000InRecordOrder) {
  EXPECT_EQ(H::convertHexToBin(data(0x0000, {1, 2}) + data(0x0FFE, {3, 4}) + kEnd), Bytes{});
  EXPECT_EQ(H::convertHexToBin(""), Bytes{});

  // The address does not place the bytes: a later record at a lower address still comes after.
  const std::string text = data(0x0FFF, {9}) + data(0x2000, {1, 2, 3}) + data(0x1000, {4}) + record(3, 0, {0, 0, 0, 0}) + kEnd;
  EXPECT_EQ(H::convertHexToBin(text), (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(H::calculateBinLength(text), 4u);
  const Bytes asBytes(text.begin(), text.end());
  EXPECT_EQ(H::binaryRepresentation(asBytes), (Bytes{1, 2, 3, 4}));

  // The end-of-file record ends the walk: whatever follows it is ignored.
  EXPECT_EQ(H::convertHexToBin(data(0x1000, {5}) + kEnd + "\n\n" + data(0x1001, {6})), Bytes{5});
  // Without it the text simply ends; bare line feeds are fine.
  EXPECT_EQ(H::convertHexToBin(":0110000005EA\n:0110010006E8"), (Bytes{5, 6}));
}

TEST(IntelHex, ExtendedAddresses) {
  // A linear base lifts low addresses above 0x1000; consecutive pages continue the image.
  EXPECT_EQ(H::convertHexToBin(linear(1) + data(0x0000, {1}) + linear(2) + data(0x0000, {2}) + kEnd), (Bytes{1, 2}));
  // Once data is out, a jump to a page that is not the next one ends the conversion.
  EXPECT_EQ(H::convertHexToBin(linear(1) + data(0x0000, {1}) + linear(5) + data(0x0000, {2}) + kEnd), Bytes{1});
  // Before any data a jump is fine.
  EXPECT_EQ(H::convertHexToBin(linear(7) + linear(3) + data(0x0000, {1}) + kEnd), Bytes{1});

  // Segment base = value × 16: 0x0100 lifts address 0 to 0x1000.
  EXPECT_EQ(H::convertHexToBin(segment(0x0100) + data(0x0000, {1}) + kEnd), Bytes{1});
  EXPECT_EQ(H::convertHexToBin(segment(0x00F0) + data(0x0000, {1}) + kEnd), Bytes{});
  // After data: the next segment must start the next 64 KiB page (top four bits).
  EXPECT_EQ(H::convertHexToBin(data(0x1000, {1}) + segment(0x1000) + data(0x0000, {2}) + kEnd), (Bytes{1, 2}));
  EXPECT_EQ(H::convertHexToBin(data(0x1000, {1}) + segment(0x2000) + data(0x0000, {2}) + kEnd), Bytes{1});
}

TEST(IntelHex, RefusesHostileRecords) {
  vpk::test::LogCapture log;
  const std::string good = data(0x1000, {1, 2, 3, 4});
  const std::vector<std::string> hostile = {
      ":FF100000" + std::string(20, '0'),         // byte count runs past the end of the text
      good.substr(0, good.size() - 3),           // an odd number of digits (checksum cut in half)
      good.substr(0, 7),                          // header cut short
      ":04100000010203G4EF\r\n",                  // not a hex digit
      "x" + good,                                 // no ':'
      good + "garbage",                           // trailing text that is not a record
      ":0410000001020304E1\r\n",                  // wrong checksum
      record(4, 0, {1}),                          // address record with one byte
      ":",
  };
  for (const auto& text : hostile) {
    EXPECT_FALSE(H::convertHexToBin(text)) << text;
    EXPECT_EQ(H::calculateBinLength(text), 0u) << text;
  }
  EXPECT_TRUE(log.contains("Intel HEX: record"));
}

}  // namespace
