#pragma once
// Text handling shared by the headband's reply assembly and the firmware parse: trimming
// as the headband's host code does, splitting, and the two number scans.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vpk::detail {

/// Trims spaces, tabs and line ends (" \t\n\v\f\r") from both ends.
std::string_view trimWhitespace(std::string_view text);
/// Trims control characters (0x00-0x1F, 0x7F) from both ends.
std::string_view trimControl(std::string_view text);
/// trimWhitespace, then trimControl: how a reply or a notification is compared.
std::string_view trimReply(std::string_view text);
/// Splits at every `separator` (empty pieces kept; "" gives one empty piece).
std::vector<std::string> split(std::string_view text, std::string_view separator);
/// Replaces every `from` by `to`.
std::string replaceAll(std::string text, std::string_view from, std::string_view to);
std::string toUpper(std::string text);
std::string toLower(std::string text);
/// `text` as valid UTF-8: every malformed sequence (and, with `replaceControls`, every
/// control character, 0x00-0x1F and 0x7F) becomes U+FFFD. Names and identification texts
/// from the air go through it before they are shown, stored or archived: the stored forms
/// hold only valid text, and a terminal never receives a control sequence from a headband.
std::string validText(std::string_view text, bool replaceControls);
/// The leading decimal integer after optional white space and sign; 0 when there is none,
/// saturating at the int64 range.
int64_t leadingInteger(std::string_view text);
/// A hexadecimal unsigned 32-bit number after optional white space and "0x"; reading stops
/// at the first non-digit; nullopt without a digit; saturates at 0xFFFFFFFF.
std::optional<uint32_t> scanHex32(std::string_view text);

}  // namespace vpk::detail
