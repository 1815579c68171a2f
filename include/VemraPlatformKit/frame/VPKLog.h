#pragma once
/// @file VPKLog.h
/// The library's one logging function.
///
/// `VPKLog(level, fmt, args...)` writes one line to standard output:
///   - level >= 1 lines are always written, level 0 lines only in verbose mode;
///   - quiet form:   "VemraPlatformKit(HH:MM:SS): message\n"
///   - verbose form: "VPK(HH:MM:SS)(M:1): message\n", M is 1 on the main thread
///     (the thread that drives the main queue), 0 elsewhere.
/// The time of day is UTC, read from the library clock (vpk::Clock), so tests that
/// install a manual clock get reproducible lines.
///
/// Messages are formatted with {fmt}: "{}" takes the place of the platform's "%@".
/// Any thread may log; a line is written whole (lines of two threads never mix).

#include <VemraPlatformKit/VPKExport.h>

#include <fmt/format.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>

/// Sets the verbose flag (false until first set).
VPK_EXPORT void VPKLogSetEnabled(bool enabled);
/// The verbose flag.
VPK_EXPORT bool VPKLogIsEnabled();

/// Writes one already formatted message at `level` (see file comment).
VPK_EXPORT void VPKLogMessage(int level, std::string_view message);

/// Receives every complete line (with its trailing "\n") instead of standard output.
using VPKLogSink = std::function<void(std::string_view line)>;
/// Installs `sink` (or restores standard output with an empty function) and returns
/// the sink that was installed before. Called from any thread; the sink is called on
/// the logging thread, one line at a time (calls are serialised).
VPK_EXPORT VPKLogSink VPKLogSetSink(VPKLogSink sink);

/// Formats and writes one log line; formatting is skipped when the line is not written.
template <typename... Args>
inline void VPKLog(int level, fmt::format_string<Args...> format, Args&&... args) {
  if (level < 1 && !VPKLogIsEnabled()) return;
  VPKLogMessage(level, fmt::format(format, std::forward<Args>(args)...));
}
