#pragma once
/// @file VPKDeviceFirmwareDescription.h
/// A headband's firmware: major, minor and patch (build) numbers, release date and the
/// identification text the headband answered.
///
/// A plain value class held by std::shared_ptr (it is archivable, so it can live in a
/// vpk::Value). Every number may be absent. Two descriptions are equal when their three
/// numbers are (date and text are ignored); the hash is that of the patch number.
///
/// Two built-in reference versions: latestFirmware() 4.2.1281 (140917), the minimum an
/// application should accept, and productLaunchFirmware() 4.2.1267 (140806).
///
/// Dictionary form (the per-device store's "firmware" entry): "majorVersion",
/// "minorVersion", "patchVersion" and, when there is a date, "releaseDate" as "yyMMdd".
/// It exists only when all three numbers are present; the text is not part of it.
/// Keyed archive (class "VPKDeviceFirmwareDescription"): "majorVersion", "minorVersion",
/// "patchVersion", "releaseDate" (a date object), "firmwareString".
///
/// Dates: "yyMMdd" is read and written in UTC (the library runs in the process's UTC
/// view of time everywhere), the date being the start of that day.
///
/// Threads: a description is not changed after it is built; read it from any thread.
///
/// Name mapping:
///   initWithDictionary:                 -> createWithDictionary(dictionary)
///   dictionaryValue / stringValue       -> dictionaryValue() / stringValue()
///   compare: / isEqual: / hash          -> compare(other) / isEqual(other), == / hash()
///   copyWithZone:                       -> copy()
///   firmwareDateFormatter               -> parseReleaseDate(text) / formatReleaseDate(date)

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/platform/values/Archivable.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class VPK_EXPORT VPKDeviceFirmwareDescription : public vpk::Archivable {
 public:
  using Ptr = std::shared_ptr<VPKDeviceFirmwareDescription>;

  VPKDeviceFirmwareDescription() = default;
  VPKDeviceFirmwareDescription(std::optional<int64_t> major, std::optional<int64_t> minor,
                               std::optional<uint64_t> patch, std::optional<vpk::Date> releaseDate = std::nullopt,
                               std::optional<std::string> firmwareString = std::nullopt);

  /// From the dictionary form: numbers as they are (a non-number entry counts as absent),
  /// "releaseDate" parsed as "yyMMdd" when present.
  static Ptr createWithDictionary(const vpk::ValueDictionary& dictionary);
  /// Parses the headband's answer to "Q1\r" ("Q1:VEMRA_V.4_2_140917:HW-C:B-0501").
  /// nullptr when the text is not an identification (no "Q1", a single ":"-piece, a name
  /// that does not begin with "VEMRA"); a build text without hexadecimal digits gives
  /// patch 0 and the log "Failed to get build-version of firmware". A version with fewer
  /// than three "."-parts leaves the missing numbers (and date) absent. The text is kept as
  /// valid UTF-8 (a malformed sequence becomes U+FFFD), the form an archive keeps.
  static Ptr createWithResponse(std::string_view text);

  static Ptr latestFirmware();
  static Ptr productLaunchFirmware();
  /// "yyMMdd" to the start of that day (UTC); nullopt when the text is not six digits of
  /// a real date.
  static std::optional<vpk::Date> parseReleaseDate(std::string_view text);
  static std::string formatReleaseDate(const vpk::Date& date);

  std::optional<int64_t> majorVersion() const { return major_; }
  std::optional<int64_t> minorVersion() const { return minor_; }
  std::optional<uint64_t> patchVersion() const { return patch_; }
  std::optional<vpk::Date> releaseDate() const { return releaseDate_; }
  std::optional<std::string> firmwareString() const { return firmwareString_; }

  /// The dictionary form, or nullopt when a number is missing.
  std::optional<vpk::ValueDictionary> dictionaryValue() const;
  /// "4.2.1281" ("(null)" stands for a missing number).
  std::string stringValue() const;
  /// "<VPKDeviceFirmwareDescription 0x...> {\n\tMajor = 4, Minor = 2, Patch = 1281,
  /// Release = ... , String = 4.2.1281\n}".
  std::string description() const override;

  /// Major, then minor, then patch; an absent number sorts before any present one.
  std::strong_ordering compare(const VPKDeviceFirmwareDescription& other) const;
  /// True when this version is at least 4.2.1281 (absent numbers count as 0).
  bool isNewerThanOrEqualToMinimumVersion() const;
  bool isEqual(const VPKDeviceFirmwareDescription& other) const;
  friend bool operator==(const VPKDeviceFirmwareDescription& a, const VPKDeviceFirmwareDescription& b) {
    return a.isEqual(b);
  }
  size_t hash() const;
  /// Same numbers and date; no firmware text.
  Ptr copy() const;

  std::string archiveClassName() const override { return "VPKDeviceFirmwareDescription"; }
  void encodeWithCoder(vpk::KeyedArchiver& coder) const override;

 private:
  std::optional<int64_t> major_;
  std::optional<int64_t> minor_;
  std::optional<uint64_t> patch_;
  std::optional<vpk::Date> releaseDate_;
  std::optional<std::string> firmwareString_;
};
