#pragma once
// Recording headers as JSON: the conversion of a header dictionary into what the file holds,
// the header date format, and the limits every reader and writer of recordings shares.

#include <VemraPlatformKit/platform/values/Value.h>

#include <optional>
#include <string>
#include <string_view>

namespace vpk::detail {

/// "yyyy-MM-dd HH:mm:ss +hhmm" in the system time zone (whole seconds, rounded down);
/// nullopt for a date whose local year is outside 0-9999 (four digits cannot hold it).
std::optional<std::string> formatHeaderDate(const Date& date);
/// Reads "yyyy-MM-dd HH:mm:ss +hhmm" (also "-hhmm"); nullopt for anything else.
std::optional<Date> parseHeaderDate(std::string_view text);
/// The local date and time written in a header date, without its zone:
/// {year, month, day, hour, minute, second}.
struct HeaderDateParts {
  int year, month, day, hour, minute, second, offsetMinutes;
};
std::optional<HeaderDateParts> splitHeaderDate(std::string_view text);

/// The header as compact JSON text: dates as header dates, null entries of dictionaries and
/// lists left out, bytes as base64 text. nullopt with `error` filled when a value cannot be
/// written (archivable object, non-finite number, date outside years 0-9999, nesting deeper than the readers accept).
std::optional<std::string> headerJSON(const ValueDictionary& header, std::string* error);

}  // namespace vpk::detail
