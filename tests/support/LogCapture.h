#pragma once
// Captures the library's log lines for the lifetime of the object.

#include <VemraPlatformKit/frame/VPKLog.h>

#include <mutex>
#include <string>
#include <vector>

namespace vpk::test {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  /// Every captured line, each with its trailing newline.
  std::vector<std::string> lines() const;
  /// Number of captured lines that contain `text`.
  size_t count(const std::string& text) const;
  bool contains(const std::string& text) const { return count(text) > 0; }
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  VPKLogSink previous_;
};

}  // namespace vpk::test
