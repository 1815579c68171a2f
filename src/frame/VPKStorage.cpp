#include <VemraPlatformKit/frame/VPKStorage.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKResourceManager.h>
#include <VemraPlatformKit/platform/files/Folders.h>
#include <VemraPlatformKit/platform/files/PathSafety.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>

#include "frame/StorageInternal.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Everything here is touched only in the shared context (see VPKStorage.h).
struct StorageState {
  std::optional<fs::path> support;
  std::optional<bool> needsMigration;
  bool decided = false;  // the root has been decided by a set-up
  VPKLocation root;
};

StorageState& state() {
  static StorageState s;
  return s;
}

fs::path libraryFolder() { return vpk::libraryFolder(); }
fs::path documentsFolder() { return vpk::documentsFolder(); }

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// Creation time where the file system records one, else the modification time.
double creationTime(const fs::path& p) {
  struct statx sx {};
  if (::statx(AT_FDCWD, p.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &sx) == 0) {
    const auto& t = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  }
  return 0;
}

std::string errorText(const std::optional<VPKError>& e) { return e ? e->fullDescription() : "(null)"; }

VPKError fromErrorCode(const std::error_code& ec, const std::string& context) {
  return VPKError::posix(ec.value(), context);
}

bool writeMigrationFile() {
  const fs::path mig = VPKStorage::migrationFileURL();
  return vpk::writeFileData(mig.string(), "1", 1, true);
}

// Moves a folder, copying when it lies on another file system.
std::optional<VPKError> moveFolder(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (!ec) return std::nullopt;
  if (ec != std::errc::cross_device_link) return fromErrorCode(ec, "move " + from.string());
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec) return fromErrorCode(ec, "copy " + from.string());
  fs::remove_all(from, ec);  // the copy is in place; a leftover original is harmless
  return std::nullopt;
}

bool safeRelative(const std::string& name, bool allowSubfolders) {
  bool ok = !name.empty();
  if (ok && allowSubfolders) {
    size_t start = 0;
    while (ok) {
      const size_t slash = name.find('/', start);
      ok = vpk::isSafePathComponent(std::string_view(name).substr(start, slash - start));
      if (slash == std::string::npos) break;
      start = slash + 1;
    }
  } else if (ok) {
    ok = vpk::isSafePathComponent(name);
  }
  if (!ok) VPKLog(1, "Storage: refused unsafe name \"{}\"", name);
  return ok;
}

VPKLocation rootInContext() {
  StorageState& s = state();
  if (!s.decided) {
    VPKLog(0, "Warning file system access requested before intialization...");
    VPKStorage::setupFileSystem();
  }
  return s.root;
}

}  // namespace

namespace vpk::detail {

void resetStorageForTesting() {
  VPKResourceManager::performBlockAndWait([] { state() = StorageState{}; });
}

}  // namespace vpk::detail

fs::path VPKStorage::supportDirectory() {
  return vpkrsrc_return_sync([] {
    StorageState& s = state();
    if (!s.support) s.support = libraryFolder() / "Private Documents" / "Vemra" / "vpk_store";
    return *s.support;
  });
}

fs::path VPKStorage::migrationFileURL() { return supportDirectory() / "mig"; }

bool VPKStorage::needsMigration() {
  return vpkrsrc_return_sync([] {
    StorageState& s = state();
    if (!s.needsMigration) {
      std::error_code ec;
      s.needsMigration = !fs::exists(migrationFileURL(), ec);
    }
    return *s.needsMigration;
  });
}

std::optional<std::vector<fs::path>> VPKStorage::findOldStorageURLs() {
  return vpkrsrc_return_sync([]() -> std::optional<std::vector<fs::path>> {
    std::vector<std::pair<double, fs::path>> found;
    std::error_code ec;
    for (fs::directory_iterator it(documentsFolder(), ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.empty() || name[0] == '.') continue;  // hidden
      if (lower(name).find("vemraplatformkit") == std::string::npos) continue;
      std::error_code dirEc;
      if (!it->is_directory(dirEc)) continue;  // only folders can become the store
      std::fprintf(stderr, "Found old path:%s\n", it->path().c_str());
      found.emplace_back(creationTime(it->path()), it->path());
    }
    std::fflush(stderr);
    if (found.empty()) return std::nullopt;
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<fs::path> out;
    for (auto& f : found) out.push_back(std::move(f.second));
    return out;
  });
}

void VPKStorage::setupFileSystem() {
  VPKResourceManager::performBlockAndWait([] {
    StorageState& s = state();
    if (s.decided) return;
    if (needsMigration()) {
      auto old = findOldStorageURLs();
      if (old) {
        VPKLog(0, "Migrating old SDK storage...");
        const fs::path support = supportDirectory();
        std::error_code ec;
        if (fs::exists(support, ec)) {
          VPKLog(0, "WARNING: Current store missing mig file. May may be corrupt");
          fs::remove_all(support, ec);
        }
        fs::create_directories(support.parent_path(), ec);
        std::optional<VPKError> error = moveFolder(old->front(), support);
        const bool migWritten = !error && writeMigrationFile();
        s.decided = true;
        if (error || !migWritten) {
          s.root = std::nullopt;
          VPKLog(1, "Failed to migrate support directory:{} mig({})", errorText(error), migWritten ? 1 : 0);
        } else {
          s.root = support;
          VPKLog(0, "Sucessfully migrated support directory!");
        }
      } else {
        createNewSupportDirectoryIfNeeded();
      }
    } else {
      s.root = supportDirectory();
      s.decided = true;
      std::error_code ec;
      if (!fs::is_directory(*s.root, ec)) createNewSupportDirectoryIfNeeded();
    }
  });
}

void VPKStorage::createNewSupportDirectoryIfNeeded() {
  VPKResourceManager::performBlockAndWait([] {
    StorageState& s = state();
    const fs::path support = supportDirectory();
    if (!needsMigration()) s.root = support;
    std::error_code ec;
    fs::create_directories(support, ec);
    const bool ok = fs::is_directory(support, ec) && writeMigrationFile();
    s.decided = true;
    if (ok) {
      s.root = support;
      VPKLog(0, "Sucessfully migrated support directory!");
    } else {
      s.root = std::nullopt;
      VPKLog(1, "Failed to migrate support directory:{} mig({})", "(null)", 0);
    }
  });
}

VPKLocation VPKStorage::persistentStorageDirectory() {
  return vpkrsrc_return_sync([] { return rootInContext(); });
}

VPKLocation VPKStorage::storageDirectoryWithName(const std::string& name) {
  return vpkrsrc_return_sync([&]() -> VPKLocation {
    if (!safeRelative(name, true)) return std::nullopt;
    const VPKLocation root = rootInContext();
    if (!root) return std::nullopt;
    const fs::path dir = *root / name;
    std::error_code ec;
    if (fs::is_directory(dir, ec)) {
      VPKLog(0, "Storage directory already exists...");
      return dir;
    }
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir, ec)) {
      // Something that is not a folder (a file) in the way is a failure, not "already exists".
      const VPKError error = ec ? fromErrorCode(ec, dir.string()) : VPKError::posix(EEXIST, dir.string());
      VPKLog(0, "Failed to create storage directory:{}", error.fullDescription());
      return std::nullopt;
    }
    return dir;
  });
}

VPKLocation VPKStorage::existingStorageDirectoryWithName(const std::string& name) {
  return vpkrsrc_return_sync([&]() -> VPKLocation {
    if (name.empty() || !safeRelative(name, true)) return std::nullopt;
    const VPKLocation root = rootInContext();
    if (!root) return std::nullopt;
    std::error_code ec;
    if (!fs::is_directory(*root / name, ec)) return std::nullopt;
    return *root / name;
  });
}

VPKLocation VPKStorage::storageFileWithName(const std::string& name, std::optional<VPKError>* error) {
  return vpkrsrc_return_sync([&]() -> VPKLocation {
    if (error) *error = std::nullopt;
    if (name.empty() || !safeRelative(name, false)) return std::nullopt;
    const VPKLocation root = rootInContext();
    if (!root) return std::nullopt;
    std::error_code ec;
    if (!fs::is_directory(*root, ec)) {
      fs::create_directories(*root, ec);
      if (ec || !fs::is_directory(*root, ec)) {
        const VPKError e = ec ? fromErrorCode(ec, root->string()) : VPKError::posix(ENOTDIR, root->string());
        VPKLog(0, "Resource manager failed to create peristent store with error:{}", e.fullDescription());
        if (error) *error = e;
      }
    }
    return *root / name;
  });
}

VPKLocation vpkrsrc_mkdir(const std::string& name) { return VPKStorage::storageDirectoryWithName(name); }

VPKLocation vpkrsrc_ckdir(const std::string& name) { return VPKStorage::existingStorageDirectoryWithName(name); }

VPKLocation vpkrsrc_touch(const std::string& name, const std::optional<std::string>& group) {
  return vpkrsrc_return_sync([&]() -> VPKLocation {
    if (!safeRelative(name, false) || (group && !safeRelative(*group, true))) return std::nullopt;
    const VPKLocation root = rootInContext();
    if (!root) return std::nullopt;
    if (!group) return *root / name;
    const fs::path dir = *root / *group;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir, ec)) {
      const VPKError e = ec ? fromErrorCode(ec, dir.string()) : VPKError::posix(ENOTDIR, dir.string());
      VPKLog(0, "could not create resource url with error:{}", e.fullDescription());
      return std::nullopt;
    }
    return dir / name;
  });
}

VPKLocation vpkrsrc_get_file(const std::string& name, const std::optional<std::string>& group) {
  return vpkrsrc_return_sync([&]() -> VPKLocation {
    if (!safeRelative(name, false) || (group && !safeRelative(*group, true))) return std::nullopt;
    const VPKLocation root = rootInContext();
    if (!root) return std::nullopt;
    const fs::path p = group ? *root / *group / name : *root / name;
    std::error_code ec;
    if (!fs::exists(p, ec)) return std::nullopt;
    return p;
  });
}
