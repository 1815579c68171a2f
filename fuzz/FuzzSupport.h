#pragma once
// Shared by every fuzz target: a quiet library in fresh folders, a scratch file for inputs
// that only arrive as files, and a check that aborts (so libFuzzer keeps the input) when an
// invariant of a parser's output fails.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

namespace vpk::fuzz {

/// A file under the fuzzer's private temporary folder holding exactly `data`, rewritten on
/// every call (one path per `slot`, so a target can keep an input and an output apart).
const std::filesystem::path& writeScratchFile(const uint8_t* data, size_t size, int slot = 0);
/// A path under the fuzzer's private temporary folder, for outputs (not created).
std::filesystem::path scratchPath(std::string_view name);

/// Aborts with `what` on standard error when `condition` is false.
void check(bool condition, const char* what);

}  // namespace vpk::fuzz
