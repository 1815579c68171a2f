#include <VemraPlatformKit/platform/files/PathSafety.h>

namespace vpk {

bool isSafePathComponent(std::string_view name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) return false;
  return true;
}

std::optional<std::filesystem::path> safeChildPath(const std::filesystem::path& root, std::string_view name) {
  if (!isSafePathComponent(name)) return std::nullopt;
  return root / std::filesystem::path(std::string(name));
}

bool isPathInside(const std::filesystem::path& root, const std::filesystem::path& path) {
  auto r = root.lexically_normal();
  if (!r.has_filename() && r.has_relative_path()) r = r.parent_path();  // "/a/b/" -> "/a/b"
  const auto p = path.lexically_normal();
  auto pi = p.begin();
  for (const auto& part : r) {
    if (pi == p.end() || part != *pi) return false;
    ++pi;
  }
  for (; pi != p.end(); ++pi)
    if (*pi == "..") return false;
  return true;
}

}  // namespace vpk
