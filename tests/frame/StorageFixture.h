#pragma once
// Fresh LIB and DOCS folders for one test, and a storage directory that has not been set up.

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/frame/VPKStorage.h>

#include "frame/LaunchInternal.h"
#include "frame/StorageInternal.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>

namespace vpk::test {

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    root_ = fs::temp_directory_path() / ("vpk-storage-" + std::to_string(::getpid()) + "-" +
                                         std::to_string(std::random_device{}()));
    lib_ = root_ / "lib";
    docs_ = root_ / "docs";
    fs::create_directories(lib_);
    fs::create_directories(docs_);
    ::setenv("XDG_DATA_HOME", lib_.c_str(), 1);
    ::setenv("XDG_DOCUMENTS_DIR", docs_.c_str(), 1);
    vpk::detail::resetStorageForTesting();
    vpk::detail::resetLaunchStateForTesting();
    VPKLogSetEnabled(true);
    quiet_ = std::make_unique<LogCapture>();  // keeps lines no test asserts on off the output
  }
  void TearDown() override {
    quiet_.reset();
    VPKLogSetEnabled(false);
    vpk::detail::resetStorageForTesting();
    vpk::detail::resetLaunchStateForTesting();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  std::filesystem::path support() const { return lib_ / "Private Documents" / "Vemra" / "vpk_store"; }

  static void writeFile(const std::filesystem::path& p, const std::string& content) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
  }
  static std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path root_, lib_, docs_;
  std::unique_ptr<LogCapture> quiet_;
};

}  // namespace vpk::test
