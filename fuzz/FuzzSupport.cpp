#include "FuzzSupport.h"

#include <VemraPlatformKit/frame/VPKLog.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace vpk::fuzz {
namespace {

std::filesystem::path& root() {
  static std::filesystem::path path;
  return path;
}

// Removes the private folder when the fuzzer exits normally.
struct RootCleanup {
  ~RootCleanup() {
    std::error_code ec;
    if (!root().empty()) std::filesystem::remove_all(root(), ec);
  }
} gCleanup;

}  // namespace

const std::filesystem::path& writeScratchFile(const uint8_t* data, size_t size, int slot) {
  static std::filesystem::path paths[4];
  auto& path = paths[slot & 3];
  if (path.empty()) path = root() / ("input-" + std::to_string(slot & 3));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  check(fd >= 0, "cannot create the scratch file");
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    check(n > 0, "cannot write the scratch file");
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return path;
}

std::filesystem::path scratchPath(std::string_view name) { return root() / std::string(name); }

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

}  // namespace vpk::fuzz

// Runs once before the first input: the library's folders point into a fresh private folder
// (memory-backed when /dev/shm is there), and its log lines are dropped, so the fuzzer's own
// output stays readable and no run touches the user's files.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
  auto& root = vpk::fuzz::root();
  root = base / ("vpk-fuzz-" + std::to_string(::getpid()));
  fs::create_directories(root / "home", ec);
  vpk::fuzz::check(!ec, "cannot create the fuzzer's folder");
  ::setenv("HOME", (root / "home").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (root / "home/.local/share").c_str(), 1);
  ::setenv("XDG_DOCUMENTS_DIR", (root / "home/Documents").c_str(), 1);
  ::setenv("TMPDIR", root.c_str(), 1);
  VPKLogSetSink([](std::string_view) {});
  return 0;
}
