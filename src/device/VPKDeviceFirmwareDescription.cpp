#include <VemraPlatformKit/device/VPKDeviceFirmwareDescription.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/dispatch/Clock.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>

#include "device/HeadbandText.h"

#include <fmt/format.h>

#include <cmath>
#include <ctime>
#include <functional>

using vpk::Date;
using vpk::Value;
using vpk::ValueDictionary;

namespace {

// The UTC calendar day of a time, through the C library.
std::tm utcDay(double secondsSinceReference) {
  const auto t = static_cast<std::time_t>(std::floor(secondsSinceReference + vpk::kReferenceDateOffset));
  std::tm tm{};
  gmtime_r(&t, &tm);
  return tm;
}

std::optional<int64_t> numberOf(const ValueDictionary& d, std::string_view key) {
  const Value* v = d.find(key);
  if (!v || !v->isNumber()) return std::nullopt;
  return v->intValue();
}

std::string numberText(const auto& n) { return n ? fmt::format("{}", *n) : std::string("(null)"); }

std::shared_ptr<vpk::Archivable> decode(vpk::KeyedUnarchiver& coder) {
  auto number = [&](const char* key) -> std::optional<Value> {
    Value v = coder.decodeValue(key);
    if (!v.isNumber()) return std::nullopt;
    return v;
  };
  std::optional<int64_t> major, minor;
  std::optional<uint64_t> patch;
  if (auto v = number("majorVersion")) major = v->intValue();
  if (auto v = number("minorVersion")) minor = v->intValue();
  if (auto v = number("patchVersion")) patch = v->unsignedValue();
  std::optional<Date> date;
  if (const Value v = coder.decodeValue("releaseDate"); v.getDate()) date = *v.getDate();
  std::optional<std::string> text;
  if (const Value v = coder.decodeValue("firmwareString"); v.getString()) text = *v.getString();
  return std::make_shared<VPKDeviceFirmwareDescription>(major, minor, patch, date, text);
}

const bool registered = vpk::registerArchivableClass("VPKDeviceFirmwareDescription",
                                                     {"VPKDeviceFirmwareDescription", "NSObject"}, &decode);

}  // namespace

VPKDeviceFirmwareDescription::VPKDeviceFirmwareDescription(std::optional<int64_t> major, std::optional<int64_t> minor,
                                                           std::optional<uint64_t> patch,
                                                           std::optional<vpk::Date> releaseDate,
                                                           std::optional<std::string> firmwareString)
    : major_(major), minor_(minor), patch_(patch), releaseDate_(releaseDate), firmwareString_(std::move(firmwareString)) {
  (void)registered;
}

std::optional<Date> VPKDeviceFirmwareDescription::parseReleaseDate(std::string_view text) {
  if (text.size() != 6) return std::nullopt;
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  auto two = [&](size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); };
  std::tm tm{};
  tm.tm_year = 100 + two(0);
  tm.tm_mon = two(2) - 1;
  tm.tm_mday = two(4);
  const std::time_t t = timegm(&tm);  // normalises an impossible day: compare to refuse it
  const Date date = Date::fromUnixTime(static_cast<double>(t));
  const std::tm back = utcDay(date.secondsSinceReferenceDate);
  if (back.tm_year != 100 + two(0) || back.tm_mon != two(2) - 1 || back.tm_mday != two(4)) return std::nullopt;
  return date;
}

std::string VPKDeviceFirmwareDescription::formatReleaseDate(const Date& date) {
  const std::tm tm = utcDay(date.secondsSinceReferenceDate);
  return fmt::format("{:02}{:02}{:02}", tm.tm_year % 100, tm.tm_mon + 1, tm.tm_mday);
}

VPKDeviceFirmwareDescription::Ptr VPKDeviceFirmwareDescription::createWithDictionary(const ValueDictionary& dictionary) {
  std::optional<uint64_t> patch;
  if (auto p = numberOf(dictionary, "patchVersion")) patch = dictionary.find("patchVersion")->unsignedValue();
  std::optional<Date> date;
  if (const Value* v = dictionary.find("releaseDate"); v && v->getString()) date = parseReleaseDate(*v->getString());
  return std::make_shared<VPKDeviceFirmwareDescription>(numberOf(dictionary, "majorVersion"),
                                                        numberOf(dictionary, "minorVersion"), patch, date);
}

VPKDeviceFirmwareDescription::Ptr VPKDeviceFirmwareDescription::createWithResponse(std::string_view text) {
  using namespace vpk::detail;
  if (text.find("Q1") == std::string_view::npos) return nullptr;
  const auto pieces = split(text, ":");
  if (pieces.size() < 2) return nullptr;
  const std::string& name = pieces[1];
  const std::string buildText(trimWhitespace(split(pieces.back(), "-").back()));
  if (toUpper(name).rfind("VEMRA", 0) != 0) return nullptr;

  std::string version = replaceAll(name, "VEMRA_V.", "");
  version = replaceAll(std::move(version), "_RC_", "_");
  version = replaceAll(std::move(version), "_", ".");
  const auto parts = split(trimWhitespace(version), ".");

  std::optional<uint32_t> build = scanHex32(buildText);
  if (!build) VPKLog(1, "Failed to get build-version of firmware");

  std::optional<int64_t> major = leadingInteger(parts[0]);
  std::optional<int64_t> minor;
  std::optional<Date> date;
  if (parts.size() > 1) minor = leadingInteger(parts[1]);
  if (parts.size() > 2) date = parseReleaseDate(parts[2]);
  // The text is kept as valid UTF-8, the form every stored or archived copy of it takes.
  return std::make_shared<VPKDeviceFirmwareDescription>(major, minor, uint64_t(build.value_or(0)), date,
                                                        validText(text, false));
}

VPKDeviceFirmwareDescription::Ptr VPKDeviceFirmwareDescription::latestFirmware() {
  return std::make_shared<VPKDeviceFirmwareDescription>(4, 2, 1281u, parseReleaseDate("140917"));
}

VPKDeviceFirmwareDescription::Ptr VPKDeviceFirmwareDescription::productLaunchFirmware() {
  return std::make_shared<VPKDeviceFirmwareDescription>(4, 2, 1267u, parseReleaseDate("140806"));
}

std::optional<ValueDictionary> VPKDeviceFirmwareDescription::dictionaryValue() const {
  if (!major_ || !minor_ || !patch_) return std::nullopt;
  ValueDictionary d{{"majorVersion", *major_}, {"minorVersion", *minor_}, {"patchVersion", *patch_}};
  if (releaseDate_) d.set("releaseDate", formatReleaseDate(*releaseDate_));
  return d;
}

std::string VPKDeviceFirmwareDescription::stringValue() const {
  return fmt::format("{}.{}.{}", numberText(major_), numberText(minor_), numberText(patch_));
}

std::string VPKDeviceFirmwareDescription::description() const {
  return fmt::format("<VPKDeviceFirmwareDescription: {}> {{\n\tMajor = {}, Minor = {}, Patch = {}, Release = {} , "
                     "String = {}\n}}",
                     static_cast<const void*>(this), numberText(major_), numberText(minor_), numberText(patch_),
                     releaseDate_ ? releaseDate_->description() : std::string("(null)"), stringValue());
}

std::strong_ordering VPKDeviceFirmwareDescription::compare(const VPKDeviceFirmwareDescription& other) const {
  if (auto c = major_ <=> other.major_; c != 0) return c;
  if (auto c = minor_ <=> other.minor_; c != 0) return c;
  return patch_ <=> other.patch_;
}

bool VPKDeviceFirmwareDescription::isNewerThanOrEqualToMinimumVersion() const {
  const int64_t major = major_.value_or(0), minor = minor_.value_or(0);
  if (major != 4) return major > 4;
  if (minor != 2) return minor > 2;
  return patch_.value_or(0) >= 1281;
}

bool VPKDeviceFirmwareDescription::isEqual(const VPKDeviceFirmwareDescription& other) const {
  return this == &other || (major_ == other.major_ && minor_ == other.minor_ && patch_ == other.patch_);
}

size_t VPKDeviceFirmwareDescription::hash() const { return patch_ ? std::hash<uint64_t>()(*patch_) : 0; }

VPKDeviceFirmwareDescription::Ptr VPKDeviceFirmwareDescription::copy() const {
  return std::make_shared<VPKDeviceFirmwareDescription>(major_, minor_, patch_, releaseDate_);
}

void VPKDeviceFirmwareDescription::encodeWithCoder(vpk::KeyedArchiver& coder) const {
  coder.encodeValue("majorVersion", major_ ? Value(*major_) : Value());
  coder.encodeValue("minorVersion", minor_ ? Value(*minor_) : Value());
  coder.encodeValue("patchVersion", patch_ ? Value(*patch_) : Value());
  coder.encodeValue("releaseDate", releaseDate_ ? Value(*releaseDate_) : Value());
  coder.encodeValue("firmwareString", firmwareString_ ? Value(*firmwareString_) : Value());
}
