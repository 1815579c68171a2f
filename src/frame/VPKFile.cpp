#include <VemraPlatformKit/frame/VPKFile.h>

#include <VemraPlatformKit/frame/VPKLog.h>
#include <VemraPlatformKit/platform/files/Folders.h>
#include <VemraPlatformKit/platform/files/PathSafety.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>
#include <VemraPlatformKit/platform/values/KeyedUnarchiver.h>
#include <VemraPlatformKit/platform/values/PropertyList.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace fs = std::filesystem;

// ---- the shared block cache ----

VPKFileCache::VPKFileCache(size_t totalCostLimit) : limit_(totalCostLimit) {}

VPKFileCache::Block VPKFileCache::objectForKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto it = index_.find(key);
  if (it == index_.end()) return nullptr;
  lru_.splice(lru_.begin(), lru_, it->second);
  return it->second->block;
}

void VPKFileCache::setObject(const std::string& key, Block block, size_t cost) {
  std::lock_guard lock(mutex_);
  if (auto it = index_.find(key); it != index_.end()) {
    total_ -= it->second->cost;
    lru_.erase(it->second);
    index_.erase(it);
  }
  if (!block || cost > limit_) return;
  lru_.push_front(Entry{key, std::move(block), cost});
  index_[key] = lru_.begin();
  total_ += cost;
  evictLocked();
}

void VPKFileCache::removeObjectForKey(const std::string& key) { setObject(key, nullptr, 0); }

void VPKFileCache::removeAllObjects() {
  std::lock_guard lock(mutex_);
  lru_.clear();
  index_.clear();
  total_ = 0;
}

void VPKFileCache::evictLocked() {
  while (total_ > limit_ && !lru_.empty()) {
    total_ -= lru_.back().cost;
    index_.erase(lru_.back().key);
    lru_.pop_back();
  }
}

size_t VPKFileCache::totalCostLimit() const { return limit_; }
size_t VPKFileCache::totalCost() const {
  std::lock_guard lock(mutex_);
  return total_;
}
size_t VPKFileCache::count() const {
  std::lock_guard lock(mutex_);
  return lru_.size();
}

// ---- helpers ----

namespace {

struct SemaphoreHold {
  explicit SemaphoreHold(vpk::Semaphore& s) : s_(s) { s_.wait(); }
  ~SemaphoreHold() { s_.signal(); }
  vpk::Semaphore& s_;
};

std::string newUUIDString() {
  uuid_t id;
  uuid_generate_random(id);
  char text[37];
  uuid_unparse_upper(id, text);
  return text;
}

/// The block number of a decimal block name, or nullopt.
std::optional<uint64_t> blockNumber(const std::string& name) {
  uint64_t n = 0;
  const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), n);
  if (ec != std::errc() || end != name.data() + name.size()) return std::nullopt;
  return n;
}

/// Reads a block file through a read-only memory mapping; the block and its file length.
std::optional<std::pair<VPKFileCache::Block, size_t>> readBlockFile(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    VPKLog(1, "VPKFile: cannot open block {}: {}", path.string(), std::strerror(errno));
    return std::nullopt;
  }
  struct stat st {};
  void* mapped = MAP_FAILED;
  size_t length = 0;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    length = static_cast<size_t>(st.st_size);
    mapped = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
  }
  ::close(fd);
  if (mapped == MAP_FAILED) {
    VPKLog(1, "VPKFile: cannot map block {}", path.string());
    return std::nullopt;
  }
  auto decoded = vpk::KeyedUnarchiver::unarchive(static_cast<const uint8_t*>(mapped), length);
  ::munmap(mapped, length);
  if (!decoded || !decoded->isList()) {
    VPKLog(1, "VPKFile: block {} is damaged, skipped", path.string());
    return std::nullopt;
  }
  return std::pair{std::make_shared<const vpk::ValueList>(std::move(*decoded->getList())), length};
}

std::optional<std::vector<uint8_t>> archiveBlock(const VPKFileCache::Block& block) {
  return vpk::KeyedArchiver::archivedData(vpk::Value(*block));
}

/// Moves a directory, copying it when it lives on another file system.
bool moveDirectory(const fs::path& from, const fs::path& to, std::optional<VPKError>* error) {
  std::error_code ec;
  if (fs::symlink_status(to, ec).type() != fs::file_type::not_found) {
    if (error) *error = VPKError::posix(EEXIST, to.string());
    return false;
  }
  fs::rename(from, to, ec);
  if (ec == std::errc::cross_device_link) {
    ec.clear();
    fs::copy(from, to, fs::copy_options::recursive, ec);
    if (ec) {
      std::error_code ignored;
      fs::remove_all(to, ignored);
    } else {
      fs::remove_all(from, ec);
      ec.clear();  // the copy is complete; a leftover source folder is not a failed move
    }
  }
  if (ec) {
    if (error) *error = VPKError::posix(ec.value(), to.string());
    return false;
  }
  return true;
}

}  // namespace

// ---- VPKFile ----

VPKFileCache& VPKFile::cache() {
  static VPKFileCache shared(kCacheCostLimit);
  return shared;
}

VPKFile::VPKFile(Passkey, Path root)
    : queue_(vpk::DispatchQueue::createSerial("com.vemra.vpk.file")), root_(std::move(root)) {
  buffer_.reserve(1025);
}

VPKFile::~VPKFile() = default;

template <class F>
auto VPKFile::locked(F&& f) {
  using R = std::invoke_result_t<F&>;
  if constexpr (std::is_void_v<R>) {
    queue_->sync([&] {
      SemaphoreHold hold(semaphore_);
      f();
    });
  } else {
    std::optional<R> result;
    queue_->sync([&] {
      SemaphoreHold hold(semaphore_);
      result.emplace(f());
    });
    return std::move(*result);
  }
}

std::shared_ptr<VPKFile> VPKFile::file() {
  const Path root = vpk::temporaryFolder() / newUUIDString();
  std::error_code ec;
  fs::create_directories(root, ec);
  if (ec) {
    VPKLog(1, "VPKFile: cannot create {}: {}", root.string(), ec.message());
    return nullptr;
  }
  auto store = std::make_shared<VPKFile>(Passkey{}, root);
  store->locked([&] { return store->writeMapLocked(); });
  return store;
}

std::shared_ptr<VPKFile> VPKFile::fileWithContentsOfURL(const Path& directory) {
  const auto map = vpk::KeyedUnarchiver::unarchiveFile((directory / "map").string());
  if (!map || !map->isDictionary() || map->getDictionary()->empty()) {
    VPKLog(1, "VPKFile: no store at {}", directory.string());
    return nullptr;
  }
  auto store = std::make_shared<VPKFile>(Passkey{}, directory);
  store->count_ = (*map)["count"].unsignedValue();
  if (const auto* blocks = (*map)["blocks"].getList()) {
    for (const auto& entry : *blocks) {
      const std::string name = Path(entry.stringValue()).filename().string();
      if (!vpk::isSafePathComponent(name) || name == "map") {
        VPKLog(1, "VPKFile: map of {} lists an unusable block \"{}\", skipped", directory.string(),
               entry.stringValue());
        continue;
      }
      store->blocks_.push_back(name);
      if (const auto n = blockNumber(name)) store->blockCount_ = std::max(store->blockCount_, *n + 1);
    }
  }
  return store;
}

void VPKFile::addObject(vpk::Value object) {
  writeGroup_.async(queue_, [self = shared_from_this(), object = std::move(object)]() mutable {
    SemaphoreHold hold(self->semaphore_);
    if (self->discarded_) return;
    self->count_ += 1;
    self->buffer_.push_back(std::move(object));
    if (self->buffer_.size() > kFlushThreshold) self->flushLocked();
  });
}

void VPKFile::flushIfNeeded() {
  locked([this] {
    if (buffer_.size() > kFlushThreshold) flushLocked();
  });
}

void VPKFile::flush() {
  locked([this] { flushLocked(); });
}

void VPKFile::flushWithBlock(std::function<void()> done) {
  writeGroup_.async(queue_, [self = shared_from_this(), done = std::move(done)] {
    {
      SemaphoreHold hold(self->semaphore_);
      self->flushLocked();
    }
    if (done) done();
  });
}

void VPKFile::flushLocked() {
  if (buffer_.empty() || discarded_) return;
  const std::string name = std::to_string(blockCount_);
  const Path path = blockPath(name);
  blocks_.push_back(name);
  vpk::Value list(std::move(buffer_));
  buffer_ = vpk::ValueList();
  buffer_.reserve(1025);
  blockCount_ += 1;
  const auto data = vpk::KeyedArchiver::archivedData(list);
  auto block = std::make_shared<const vpk::ValueList>(std::move(*list.getList()));
  if (!data || !vpk::writeFileData(path.string(), data->data(), data->size(), true)) {
    VPKLog(1, "Failed to flush buffer!");
    unwritten_[name] = block;
  }
  if (data) cache().setObject(path.string(), std::move(block), data->size());
}

bool VPKFile::writeMapLocked() {
  vpk::ValueList paths;
  paths.reserve(blocks_.size());
  for (const auto& name : blocks_) paths.emplace_back(blockPath(name).string());
  const vpk::Value map = vpk::Value::dictionary({{"blocks", std::move(paths)}, {"count", count_}});
  if (!vpk::KeyedArchiver::archiveToFile(map, (root_ / "map").string())) {
    VPKLog(1, "Failed to write map!");
    return false;
  }
  return true;
}

bool VPKFile::synchronizeFile() {
  return locked([this] {
    if (discarded_) return false;
    flushLocked();
    for (auto it = unwritten_.begin(); it != unwritten_.end();) {
      const auto data = archiveBlock(it->second);
      if (data && vpk::writeFileData(blockPath(it->first).string(), data->data(), data->size(), true)) {
        it = unwritten_.erase(it);
      } else {
        VPKLog(1, "Failed to flush buffer!");
        ++it;
      }
    }
    const bool mapWritten = writeMapLocked();
    return mapWritten && unwritten_.empty();
  });
}

void VPKFile::synchronizeFileAndNotify(std::function<void(bool written)> done) {
  writeGroup_.async(queue_, [self = shared_from_this(), done = std::move(done)] {
    const bool written = self->synchronizeFile();  // runs inline: we are on the private queue
    if (done) vpk::DispatchQueue::main()->async([done, written] { done(written); });
  });
}

bool VPKFile::moveToURL(const Path& destination, std::optional<VPKError>* error) {
  if (error) error->reset();
  return locked([&] {
    if (discarded_) {
      if (error) *error = VPKError::posix(ENOENT, root_.string());
      return false;
    }
    flushLocked();
    const Path from = root_;
    if (!moveDirectory(from, destination, error)) {
      VPKLog(1, "VPKFile: cannot move {} to {}", from.string(), destination.string());
      return false;
    }
    for (const auto& name : blocks_) cache().removeObjectForKey((from / name).string());
    root_ = destination;
    return true;
  });
}

void VPKFile::deleteFileContents() {
  locked([this] {
    if (discarded_) return;
    buffer_.clear();
    std::error_code ec;
    for (const auto& name : blocks_) {
      cache().removeObjectForKey(blockPath(name).string());
      fs::remove(blockPath(name), ec);
    }
    blocks_.clear();
    unwritten_.clear();
    count_ = 0;
    writeMapLocked();
  });
}

void VPKFile::discard() {
  locked([this] {
    if (discarded_) return;
    std::fprintf(stderr, "Discarding VPKFile!\n");
    for (const auto& name : blocks_) cache().removeObjectForKey(blockPath(name).string());
    std::error_code ec;
    fs::remove_all(root_, ec);
    blocks_.clear();
    buffer_.clear();
    unwritten_.clear();
    discarded_ = true;
  });
}

void VPKFile::enumerateObjects(const EnumerationCallback& callback) {
  if (!callback) return;
  struct Snapshot {
    Path root;
    std::vector<std::string> blocks;
    std::map<std::string, VPKFileCache::Block> unwritten;
    vpk::ValueList buffer;
  };
  const Snapshot s = locked([this] { return Snapshot{root_, blocks_, unwritten_, buffer_}; });
  bool stop = false;
  for (const auto& name : s.blocks) {
    const Path path = s.root / name;
    VPKFileCache::Block block = cache().objectForKey(path.string());
    if (!block) {
      if (auto it = s.unwritten.find(name); it != s.unwritten.end()) block = it->second;
    }
    if (!block) {
      auto read = readBlockFile(path);
      if (!read) continue;
      block = read->first;
      cache().setObject(path.string(), block, read->second);
    }
    for (const auto& object : *block) {
      callback(object, stop);
      if (stop) return;
    }
  }
  for (const auto& object : s.buffer) {
    callback(object, stop);
    if (stop) return;
  }
}

std::string VPKFile::description() const {
  return fmt::format("VPKFile<{}> FS = {}", static_cast<const void*>(this), rootDirectory().string());
}

uint64_t VPKFile::count() const {
  uint64_t n = 0;
  queue_->sync([&] { n = count_; });
  return n;
}

uint64_t VPKFile::blockCount() const {
  uint64_t n = 0;
  queue_->sync([&] { n = blockCount_; });
  return n;
}

VPKFile::Path VPKFile::rootDirectory() const {
  Path p;
  queue_->sync([&] { p = root_; });
  return p;
}

VPKFile::Path VPKFile::mapFile() const { return rootDirectory() / "map"; }
