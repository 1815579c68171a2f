#pragma once
// Base64 (RFC 4648, standard alphabet, padded) for property-list <data> and JSON bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vpk::detail {

/// Encodes `length` bytes; when lineLength > 0 a line feed follows every lineLength characters.
std::string base64Encode(const uint8_t* data, size_t length, size_t lineLength = 0);
/// Decodes text, skipping white space; nullopt for any other character or bad padding.
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);

}  // namespace vpk::detail
