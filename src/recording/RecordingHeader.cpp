#include "recording/RecordingHeader.h"

#include "platform/values/Base64.h"

#include <VemraPlatformKit/platform/dispatch/Clock.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <ctime>

namespace vpk::detail {

namespace {

// Nesting the writer allows: well inside what the JSON reader accepts, so every header that
// is written can be read back.
constexpr int kMaxHeaderDepth = 64;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool readDigits(std::string_view text, size_t at, size_t count, int& out) {
  if (at + count > text.size()) return false;
  out = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

bool convert(const Value& v, int depth, nlohmann::json& out, std::string* error) {
  if (depth > kMaxHeaderDepth) {
    if (error) *error = fmt::format("nested deeper than {} levels", kMaxHeaderDepth);
    return false;
  }
  using K = Value::Kind;
  switch (v.kind()) {
    case K::Null: out = nullptr; return true;
    case K::Bool: out = v.boolValue(); return true;
    case K::Int: out = v.intValue(); return true;
    case K::UInt: out = v.unsignedValue(); return true;
    case K::Real:
      if (!std::isfinite(v.doubleValue())) {
        if (error) *error = fmt::format("number {} is not valid JSON", v.description());
        return false;
      }
      out = v.doubleValue();
      return true;
    case K::String: out = *v.getString(); return true;
    case K::Bytes: out = base64Encode(v.getBytes()->data(), v.getBytes()->size()); return true;
    case K::Date: {
      auto text = formatHeaderDate(*v.getDate());
      if (!text) {
        if (error) *error = fmt::format("date {} is outside the years 0-9999", v.getDate()->unixTime());
        return false;
      }
      out = std::move(*text);
      return true;
    }
    case K::List:
    case K::OrderedSet: {
      const ValueList& items = v.isList() ? *v.getList() : v.getOrderedSet()->elements();
      out = nlohmann::json::array();
      for (const auto& item : items) {
        if (item.isNull()) continue;
        nlohmann::json j;
        if (!convert(item, depth + 1, j, error)) return false;
        out.push_back(std::move(j));
      }
      return true;
    }
    case K::Dictionary: {
      out = nlohmann::json::object();
      for (const auto& [key, item] : *v.getDictionary()) {
        if (item.isNull()) continue;
        nlohmann::json j;
        if (!convert(item, depth + 1, j, error)) return false;
        out[key] = std::move(j);
      }
      return true;
    }
    case K::Object:
      if (error) *error = fmt::format("object {} is not a JSON value", v.description());
      return false;
  }
  return false;
}

}  // namespace

std::optional<std::string> formatHeaderDate(const Date& date) {
  const double unix = std::floor(date.unixTime());
  // Well beyond years 0-9999 in any time zone, and inside what localtime_r handles.
  if (!(unix > -1e11 && unix < 1e12)) return std::nullopt;
  const auto t = static_cast<std::time_t>(unix);
  std::tm tm{};
  if (!localtime_r(&t, &tm) || tm.tm_year + 1900 < 0 || tm.tm_year + 1900 > 9999) return std::nullopt;
  const long offset = tm.tm_gmtoff / 60;
  const long absOffset = offset < 0 ? -offset : offset;
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02} {}{:02}{:02}", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                     tm.tm_hour, tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+', absOffset / 60, absOffset % 60);
}

std::optional<HeaderDateParts> splitHeaderDate(std::string_view text) {
  // yyyy-MM-dd HH:mm:ss +hhmm
  if (text.size() != 25 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' ||
      text[16] != ':' || text[19] != ' ' || (text[20] != '+' && text[20] != '-'))
    return std::nullopt;
  HeaderDateParts p{};
  int oh = 0, om = 0;
  if (!readDigits(text, 0, 4, p.year) || !readDigits(text, 5, 2, p.month) || !readDigits(text, 8, 2, p.day) ||
      !readDigits(text, 11, 2, p.hour) || !readDigits(text, 14, 2, p.minute) || !readDigits(text, 17, 2, p.second) ||
      !readDigits(text, 21, 2, oh) || !readDigits(text, 23, 2, om))
    return std::nullopt;
  static constexpr int kDaysInMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (p.month < 1 || p.month > 12 || p.day < 1 || p.day > kDaysInMonth[p.month - 1] || p.hour > 23 ||
      p.minute > 59 || p.second > 60 || om > 59)
    return std::nullopt;
  p.offsetMinutes = (oh * 60 + om) * (text[20] == '-' ? -1 : 1);
  return p;
}

std::optional<Date> parseHeaderDate(std::string_view text) {
  const auto p = splitHeaderDate(text);
  if (!p) return std::nullopt;
  const int64_t days = daysFromCivil(p->year, static_cast<unsigned>(p->month), static_cast<unsigned>(p->day));
  const double local = static_cast<double>(days) * 86400.0 + p->hour * 3600.0 + p->minute * 60.0 + p->second;
  return Date::fromUnixTime(local - p->offsetMinutes * 60.0);
}

std::optional<std::string> headerJSON(const ValueDictionary& header, std::string* error) {
  nlohmann::json j;
  if (!convert(Value(header), 0, j, error)) return std::nullopt;
  try {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    return std::nullopt;
  }
}

}  // namespace vpk::detail
