#include <VemraPlatformKit/platform/files/Folders.h>

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace vpk {

namespace {

std::filesystem::path homeFolder() {
  if (const char* h = std::getenv("HOME"); h && *h == '/') return h;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir == '/') return pw->pw_dir;
  return "/";
}

std::filesystem::path fromEnvironment(const char* name, const std::filesystem::path& fallback) {
  if (const char* v = std::getenv(name); v && *v == '/') return v;
  return fallback;
}

}  // namespace

std::filesystem::path libraryFolder() { return fromEnvironment("XDG_DATA_HOME", homeFolder() / ".local/share"); }

std::filesystem::path documentsFolder() { return fromEnvironment("XDG_DOCUMENTS_DIR", homeFolder() / "Documents"); }

std::filesystem::path temporaryFolder() {
  std::error_code ec;
  auto p = std::filesystem::temp_directory_path(ec);
  return ec ? std::filesystem::path("/tmp") : p;
}

}  // namespace vpk
