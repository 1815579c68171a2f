#pragma once
// A small owner of a POSIX file descriptor for the recording code: whole writes at the end of
// the file, reads that retry on interruption, errors as text instead of exceptions.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>

namespace vpk::detail {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  ~FileDescriptor() { close(); }
  FileDescriptor(FileDescriptor&& other) noexcept;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  /// Opens (creating when missing) for writing. `truncate` empties an existing file and
  /// gives a new file the usual permissions (0644 less the umask) for a file the caller
  /// chose; otherwise the file is kept and a new one is private to the user (0600).
  static FileDescriptor openForWriting(const std::filesystem::path& path, bool truncate, std::string* error);
  static FileDescriptor openForReading(const std::filesystem::path& path, std::string* error);

  bool valid() const { return fd_ >= 0; }
  const std::filesystem::path& path() const { return path_; }
  /// "fd 7, /tmp/..." for log lines.
  std::string describe() const;

  /// Writes all `length` bytes at the end of the file.
  bool appendAtEnd(const void* data, size_t length, std::string* error);
  /// Writes all `length` bytes at `offset`.
  bool writeAt(const void* data, size_t length, off_t offset, std::string* error);
  /// Reads up to `length` bytes; 0 at the end of the file, -1 on error.
  ssize_t readSome(void* data, size_t length, std::string* error);
  /// Reads exactly `length` bytes at `offset` unless the file ends first; returns the count
  /// read, -1 on error.
  ssize_t readAt(void* data, size_t length, off_t offset, std::string* error);
  /// Size of the file in bytes, -1 on error.
  off_t size(std::string* error) const;
  /// Synchronises the file to storage.
  bool synchronize(std::string* error);
  void close();

 private:
  FileDescriptor(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::filesystem::path path_;
};

/// Appends to `out` everything of `in` from the first data-region marker on (read in blocks
/// of 1 MiB; a marker split across two blocks is found too). Without a marker `out` gets the
/// bare marker, so the result is still a readable recording.
bool copyFromMarker(FileDescriptor& in, FileDescriptor& out, std::string* error);

}  // namespace vpk::detail
