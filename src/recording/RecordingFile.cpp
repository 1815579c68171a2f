#include "recording/RecordingFile.h"

#include <VemraPlatformKit/recording/VPKSignalStreamFileHandle.h>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vpk::detail {

namespace {

void setError(std::string* error, const char* what) {
  if (error) *error = fmt::format("{}: {}", what, std::strerror(errno));
}

}  // namespace

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

FileDescriptor FileDescriptor::openForWriting(const std::filesystem::path& path, bool truncate, std::string* error) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0);
  const int fd = ::open(path.c_str(), flags, truncate ? 0644 : 0600);
  if (fd < 0) {
    setError(error, "open");
    return {};
  }
  return FileDescriptor(fd, path);
}

FileDescriptor FileDescriptor::openForReading(const std::filesystem::path& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    setError(error, "open");
    return {};
  }
  struct stat st{};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    setError(error, "open");
    return {};
  }
  return FileDescriptor(fd, path);
}

std::string FileDescriptor::describe() const { return fmt::format("fd {}, {}", fd_, path_.string()); }

bool FileDescriptor::appendAtEnd(const void* data, size_t length, std::string* error) {
  if (::lseek(fd_, 0, SEEK_END) < 0) {
    setError(error, "seek");
    return false;
  }
  const auto* p = static_cast<const uint8_t*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd_, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      setError(error, "write");
      return false;
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool FileDescriptor::writeAt(const void* data, size_t length, off_t offset, std::string* error) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (length > 0) {
    const ssize_t n = ::pwrite(fd_, p, length, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      setError(error, "write");
      return false;
    }
    p += n;
    offset += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

ssize_t FileDescriptor::readSome(void* data, size_t length, std::string* error) {
  for (;;) {
    const ssize_t n = ::read(fd_, data, length);
    if (n >= 0) return n;
    if (errno != EINTR) {
      setError(error, "read");
      return -1;
    }
  }
}

ssize_t FileDescriptor::readAt(void* data, size_t length, off_t offset, std::string* error) {
  auto* p = static_cast<uint8_t*>(data);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd_, p + done, length - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      setError(error, "read");
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

off_t FileDescriptor::size(std::string* error) const {
  struct stat st{};
  if (::fstat(fd_, &st) != 0) {
    setError(error, "stat");
    return -1;
  }
  return st.st_size;
}

bool FileDescriptor::synchronize(std::string* error) {
  if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
    setError(error, "fsync");
    return false;
  }
  return true;
}

void FileDescriptor::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool copyFromMarker(FileDescriptor& in, FileDescriptor& out, std::string* error) {
  const std::string_view marker = VPKSignalStreamFileHandle::kDataRegionMarker;
  const size_t keep = marker.size() - 1;  // bytes that may start a marker split across blocks
  std::vector<uint8_t> block(VPKSignalStreamFileHandle::kFlushThreshold + keep);
  size_t carried = 0;
  bool found = false;
  for (;;) {
    const ssize_t n = in.readSome(block.data() + carried, block.size() - carried, error);
    if (n < 0) return false;
    if (n == 0) break;
    const size_t filled = carried + static_cast<size_t>(n);
    if (found) {
      if (!out.appendAtEnd(block.data(), filled, error)) return false;
      carried = 0;
      continue;
    }
    const auto begin = block.begin();
    const auto end = begin + static_cast<std::ptrdiff_t>(filled);
    const auto at = std::search(begin, end, marker.begin(), marker.end());
    if (at != end) {
      found = true;
      if (!out.appendAtEnd(&*at, static_cast<size_t>(end - at), error)) return false;
      carried = 0;
      continue;
    }
    carried = std::min(keep, filled);
    std::copy(end - static_cast<std::ptrdiff_t>(carried), end, begin);
  }
  if (!found) return out.appendAtEnd(marker.data(), marker.size(), error);
  return true;
}

}  // namespace vpk::detail
