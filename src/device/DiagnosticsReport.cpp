#include "device/DiagnosticsReport.h"

#include <VemraPlatformKit/platform/files/PathSafety.h>

#include "device/HeadbandText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <fstream>
#include <map>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace vpk::detail {

namespace {

// At most `limit` bytes of a file; "" when it cannot be read.
std::string readSmallFile(const fs::path& file, size_t limit) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::string text(limit, '\0');
  in.read(text.data(), static_cast<std::streamsize>(limit));
  text.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return text;
}

std::string trimmedFile(const fs::path& file) { return std::string(trimWhitespace(readSmallFile(file, 4096))); }

// One os-release value: unquoted, or in double quotes (with \ escaping $ " \ and `), or in
// single quotes.
std::string osReleaseValue(std::string_view v) {
  v = trimWhitespace(v);
  if (v.size() >= 2 && v.front() == '\'' && v.back() == '\'') return std::string(v.substr(1, v.size() - 2));
  if (v.size() < 2 || v.front() != '"' || v.back() != '"') return std::string(v);
  v = v.substr(1, v.size() - 2);
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\\' && i + 1 < v.size()) ++i;
    out += v[i];
  }
  return out;
}

std::map<std::string, std::string> readOsRelease(const fs::path& root) {
  std::string text = readSmallFile(root / "etc/os-release", 65536);
  if (text.empty()) text = readSmallFile(root / "usr/lib/os-release", 65536);
  std::map<std::string, std::string> fields;
  for (const auto& line : split(text, "\n")) {
    const std::string_view l = trimWhitespace(line);
    const size_t eq = l.find('=');
    if (l.empty() || l.front() == '#' || eq == std::string_view::npos) continue;
    fields[std::string(l.substr(0, eq))] = osReleaseValue(l.substr(eq + 1));
  }
  return fields;
}

std::optional<long> hostBatteryCapacity(const fs::path& root) {
  std::vector<fs::path> supplies;
  std::error_code ec;
  for (fs::directory_iterator it(root / "sys/class/power_supply", ec), end; !ec && it != end; it.increment(ec))
    supplies.push_back(it->path());
  std::sort(supplies.begin(), supplies.end());
  for (const auto& supply : supplies) {
    // A battery of a wireless mouse or keyboard reports the scope "Device": not ours.
    if (trimmedFile(supply / "type") != "Battery" || trimmedFile(supply / "scope") == "Device") continue;
    const std::string capacity = trimmedFile(supply / "capacity");
    long value = 0;
    const auto [end, err] = std::from_chars(capacity.data(), capacity.data() + capacity.size(), value);
    if (err != std::errc() || end != capacity.data() + capacity.size() || capacity.empty()) continue;
    return std::clamp(value, 0L, 100L);
  }
  return std::nullopt;
}

}  // namespace

vpk::ValueDictionary localDeviceInfo(const fs::path& root) {
  struct utsname names {};
  const bool haveNames = ::uname(&names) == 0;
  const auto osRelease = readOsRelease(root);
  auto field = [&](const char* key, const char* fallback) {
    const auto it = osRelease.find(key);
    if (it != osRelease.end() && !it->second.empty()) return it->second;
    return haveNames ? std::string(fallback) : std::string();
  };
  vpk::ValueDictionary info;
  info.set("machineName", haveNames ? std::string(names.machine) : std::string());
  info.set("systemOS", field("NAME", names.sysname));
  info.set("systemVersion", field("VERSION_ID", names.release));
  info.set("deviceModel", trimmedFile(root / "sys/class/dmi/id/product_name"));
  info.set("systemBatteryLevel", static_cast<int64_t>(hostBatteryCapacity(root).value_or(kNoHostBatteryLevel)));
  return info;
}

std::optional<size_t> noiseBinIndex(const float* frequencies, size_t count, float target) {
  if (!frequencies) return std::nullopt;
  for (size_t i = 0; i < count; ++i)
    if (std::fabs(frequencies[i] - target) < FLT_EPSILON) return i;
  if (count < 2) return std::nullopt;
  const float spacing = std::fabs(frequencies[1] - frequencies[0]);
  std::optional<size_t> nearest;
  float best = 0;
  for (size_t i = 0; i < count; ++i) {
    const float distance = std::fabs(frequencies[i] - target);
    if (!std::isfinite(distance)) continue;
    if (!nearest || distance < best) {
      nearest = i;
      best = distance;
    }
  }
  if (!nearest || !std::isfinite(spacing) || spacing <= 0 || best > spacing / 2) return std::nullopt;
  return nearest;
}

std::optional<std::string> connectionStateName(vpk::BluetoothPeripheralState state) {
  switch (state) {
    case vpk::BluetoothPeripheralState::Connected: return "Connected";
    case vpk::BluetoothPeripheralState::Connecting: return "Connecting";
    case vpk::BluetoothPeripheralState::Disconnected: return "Disconnected";
    case vpk::BluetoothPeripheralState::Disconnecting: break;
  }
  return std::nullopt;
}

std::optional<fs::path> diagnosticsReportFile(const fs::path& folder, const std::optional<std::string>& hardwareIdentifier,
                                              const std::string& identifier, const std::string& timestamp) {
  const std::string device = hardwareIdentifier ? hardwareIdentifier->substr(std::min<size_t>(3, hardwareIdentifier->size()))
                                                : identifier;
  return vpk::safeChildPath(folder, device + "_" + timestamp);
}

bool isOwnFolder(const fs::path& folder) {
  struct stat st {};
  return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

bool writeReportFile(const fs::path& file, const std::string& text) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0 && done == text.size();
}

}  // namespace vpk::detail
