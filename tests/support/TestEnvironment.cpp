// Points HOME and the XDG folders of every test program at a fresh temporary folder
// before any test runs, so no test ever touches the real user folders.
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>

namespace {

struct FreshFolders {
  std::filesystem::path root;
  FreshFolders() {
    namespace fs = std::filesystem;
    std::random_device rd;
    root = fs::temp_directory_path() / ("vpk-test-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
    fs::create_directories(root / "home");
    ::setenv("HOME", (root / "home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root / "home/.local/share").c_str(), 1);
    ::setenv("XDG_DOCUMENTS_DIR", (root / "home/Documents").c_str(), 1);
    ::setenv("TMPDIR", root.c_str(), 1);
  }
  ~FreshFolders() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
};

FreshFolders gFolders;

}  // namespace
