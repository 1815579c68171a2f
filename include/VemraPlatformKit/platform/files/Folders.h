#pragma once
/// @file Folders.h
/// Where the library keeps and looks for files on Linux.
///
/// - library folder: $XDG_DATA_HOME, else ~/.local/share (the platform's per-user library
///   folder; the storage directory lives below it);
/// - documents folder: $XDG_DOCUMENTS_DIR, else ~/Documents;
/// - temporary folder: std::filesystem::temp_directory_path() ($TMPDIR, else /tmp).
/// Relative or empty environment values are ignored, as the XDG rules say. Without HOME the
/// user's home comes from the password database.

#include <VemraPlatformKit/VPKExport.h>

#include <filesystem>

namespace vpk {

VPK_EXPORT std::filesystem::path libraryFolder();
VPK_EXPORT std::filesystem::path documentsFolder();
VPK_EXPORT std::filesystem::path temporaryFolder();

}  // namespace vpk
