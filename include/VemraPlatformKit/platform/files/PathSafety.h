#pragma once
/// @file PathSafety.h
/// Checks a name from a device or a caller before it becomes part of a path.
///
/// A safe name is one path component: not empty, not "." or "..", no "/" (nor "\\"), no NUL
/// and no other control character, at most 255 bytes. Joining a safe name to a folder can
/// only name a direct child of that folder. Whoever refuses a name logs it and treats it as
/// missing (no file, no folder).

#include <VemraPlatformKit/VPKExport.h>

#include <filesystem>
#include <optional>
#include <string_view>

namespace vpk {

/// True when `name` is one safe path component (see above).
VPK_EXPORT bool isSafePathComponent(std::string_view name);

/// root/name when `name` is a safe component, else nullopt (no log line: callers say what
/// they refused).
VPK_EXPORT std::optional<std::filesystem::path> safeChildPath(const std::filesystem::path& root,
                                                              std::string_view name);

/// True when `path`, once "." and ".." are resolved lexically, lies inside `root` (or is it).
/// Symbolic links are not followed: the storage root is the library's own folder.
VPK_EXPORT bool isPathInside(const std::filesystem::path& root, const std::filesystem::path& path);

}  // namespace vpk
