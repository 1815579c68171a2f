#pragma once
// A stable 64-bit string hash (FNV-1a), the same in every process and build.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vpk::detail {

constexpr std::size_t stringHash(std::string_view text) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (char ch : text) {
    h ^= static_cast<unsigned char>(ch);
    h *= 0x100000001b3ull;
  }
  return static_cast<std::size_t>(h);
}

}  // namespace vpk::detail
