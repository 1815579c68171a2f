#pragma once
/// @file VPKStorage.h
/// The library's private storage directory and the operations that name folders and files
/// in it. (On the platform these are class operations of the resource manager; here they are
/// gathered in their own class, VPKStorage, plus the vpkrsrc_ functions.)
///
/// Locations (LIB = $XDG_DATA_HOME, default ~/.local/share; DOCS = $XDG_DOCUMENTS_DIR,
/// default ~/Documents; both read when first needed):
///   support directory  LIB/Private Documents/Vemra/vpk_store/
///   migration file     LIB/Private Documents/Vemra/vpk_store/mig   (content "1")
///   storage root       the support directory once set-up succeeded; none if it failed.
///
/// Set-up (setupFileSystem) is posted to the shared queue by the resource manager's first
/// use. It moves the newest older storage folder (a folder directly in DOCS whose name
/// contains "vemraplatformkit" in any case) into place once, or creates a fresh support
/// directory, and writes the migration file. The root is decided once per process.
///
/// Threads: every operation runs in the shared context (VPKResourceManager
/// performBlockAndWait), so it may be called from any thread, blocks until done, and nests.
///
/// Names: a file name must be one safe path component, a folder name (or group) one or more
/// safe components joined by "/" (see PathSafety.h). A refused name is logged ("Storage:
/// refused unsafe name ...") and answers as missing: no location.
///
/// Name mapping:
///   storageDirectoryWithName:error:      -> storageDirectoryWithName(name)  / vpkrsrc_mkdir
///   existingStorageDirectoryWithName:    -> existingStorageDirectoryWithName / vpkrsrc_ckdir
///   storageFileWithName:error:           -> storageFileWithName(name, &error)

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/frame/VPKError.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using VPKLocation = std::optional<std::filesystem::path>;

class VPK_EXPORT VPKStorage {
 public:
  /// LIB/Private Documents/Vemra/vpk_store (computed once; not created).
  static std::filesystem::path supportDirectory();
  /// supportDirectory()/mig (computed once).
  static std::filesystem::path migrationFileURL();
  /// True if the migration file did not exist the first time this was asked (once per process).
  static bool needsMigration();
  /// Older storage folders in DOCS, newest (by creation date) first; none when there is none.
  /// Each match is also written to standard error as "Found old path:<path>".
  static std::optional<std::vector<std::filesystem::path>> findOldStorageURLs();
  /// The one-time set-up described in the file comment (a no-op once the root is decided).
  static void setupFileSystem();
  static void createNewSupportDirectoryIfNeeded();
  /// The storage root; runs the set-up first (with a level-0 warning) if it has not run yet.
  static VPKLocation persistentStorageDirectory();
  /// Creates root/name (with intermediate folders) and returns it; an existing folder is
  /// returned as is (logged at level 0 "Storage directory already exists...").
  static VPKLocation storageDirectoryWithName(const std::string& name);
  /// root/name if that folder exists.
  static VPKLocation existingStorageDirectoryWithName(const std::string& name);
  /// root/name (the file is not created); creates the root folder when it is missing, and on
  /// failure passes the error out. `error` (may be null) is set to none first.
  static VPKLocation storageFileWithName(const std::string& name, std::optional<VPKError>* error = nullptr);
};

VPK_EXPORT VPKLocation vpkrsrc_mkdir(const std::string& name);
VPK_EXPORT VPKLocation vpkrsrc_ckdir(const std::string& name);
/// root/group/name (or root/name without a group); creates the group folder, not the file.
VPK_EXPORT VPKLocation vpkrsrc_touch(const std::string& name, const std::optional<std::string>& group = std::nullopt);
/// root/group/name (or root/name) if something exists there.
VPK_EXPORT VPKLocation vpkrsrc_get_file(const std::string& name,
                                        const std::optional<std::string>& group = std::nullopt);
