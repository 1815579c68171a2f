#pragma once
/// @file VPKFile.h
/// VPKFile: an append-only store of values kept as keyed-archive blocks in a directory, with one
/// in-memory block cache shared by every store of the process.
///
/// Directory layout:
///   "map"            keyed archive of {"blocks": [block paths, in order], "count": objects stored}
///   "0", "1", ...    keyed archive of the list of objects of that block, in insertion order
/// Objects are vpk::Value (any kind the keyed archiver writes, archivable objects included; an
/// archivable class must be registered to be read back).
///
/// Life of a store:
///   - file() makes a new store in a fresh folder under the temporary folder (named by a new
///     UUID) and writes its empty map at once; fileWithContentsOfURL() reopens a directory whose
///     "map" decodes to a dictionary with entries.
///   - addObject() buffers the object; the add that makes the buffer hold more than 10,000
///     objects (the 10,001st) writes the buffer as the next block. flush() writes whatever is
///     buffered. synchronizeFile() flushes and writes the map: only then does a reopen see the
///     new blocks.
///   - enumerateObjects() reads every block (from the cache, else the file, memory-mapped), then
///     the objects still buffered.
///   - moveToURL() moves the whole directory (also across file systems); discard() deletes it.
///     A store is never deleted on its own: without discard() its folder stays on disk.
///
/// The map names blocks by their paths when written; reading uses only each entry's last
/// component, taken as a file of the store's own directory (an entry that is not a safe file
/// name is skipped with a log line), so a moved store stays readable and a damaged map cannot
/// lead outside the directory. A reopened store continues the object count of its map and
/// numbers new blocks after the highest existing one.
///
/// Failed writes: a block or map that cannot be written is logged at level 1 ("Failed to flush
/// buffer!", "Failed to write map!"). The store behaves as if the write had succeeded (the block
/// is counted, listed in the map and readable while this object lives), keeps the block in
/// memory, retries writing it on the next synchronizeFile(), and synchronizeFile() reports false
/// until every block and the map are on disk.
///
/// Threads: each store serialises its work on a private serial queue and a binary semaphore;
/// every operation may be called from any thread. addObject(), flushWithBlock() and
/// synchronizeFileAndNotify() return at once; the others wait for their work (and for every
/// add made before them). The flushWithBlock() callback runs on the store's private queue, the
/// synchronizeFileAndNotify() callback on the main queue, the enumerateObjects() callback on the
/// calling thread (it may call the store again). The shared cache has its own lock.
///
/// Name mapping:
///   file / init                               -> VPKFile::file()
///   fileWithContentsOfURL: / initWith...       -> VPKFile::fileWithContentsOfURL(path) (nullptr if it does not open)
///   flushWithBlock:                           -> flushWithBlock(callback)
///   synchronizeFileAndNotify:                 -> synchronizeFileAndNotify(callback(bool written))
///   moveToURL:error:                          -> moveToURL(path, &error)
///   enumerateObjects: (callback(obj, stop))   -> enumerateObjects(callback(const Value&, bool& stop))
///   class cache                               -> VPKFile::cache() (a VPKFileCache)

#include <VemraPlatformKit/VPKExport.h>
#include <VemraPlatformKit/frame/VPKError.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/dispatch/Synchronization.h>
#include <VemraPlatformKit/platform/values/Value.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

/// A cost-limited cache of decoded blocks, keyed by block path. When the total cost passes the
/// limit the least recently used blocks are evicted; a block whose cost alone passes the limit is
/// not kept. Blocks are shared, immutable lists. Thread-safe.
class VPK_EXPORT VPKFileCache {
 public:
  using Block = std::shared_ptr<const vpk::ValueList>;

  explicit VPKFileCache(size_t totalCostLimit);
  /// The block under `key` (nullptr when absent); marks it recently used.
  Block objectForKey(const std::string& key);
  /// Stores (or replaces) the block under `key` with `cost`, then evicts down to the limit.
  void setObject(const std::string& key, Block block, size_t cost);
  void removeObjectForKey(const std::string& key);
  void removeAllObjects();
  size_t totalCostLimit() const;
  size_t totalCost() const;
  size_t count() const;

 private:
  struct Entry {
    std::string key;
    Block block;
    size_t cost;
  };
  void evictLocked();
  mutable std::mutex mutex_;
  size_t limit_;
  size_t total_ = 0;
  std::list<Entry> lru_;  // most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

class VPK_EXPORT VPKFile : public std::enable_shared_from_this<VPKFile> {
  struct Passkey {};

 public:
  using Path = std::filesystem::path;
  using EnumerationCallback = std::function<void(const vpk::Value& object, bool& stop)>;

  /// A buffer of more than this many objects is written as a block.
  static constexpr size_t kFlushThreshold = 10000;
  /// Cost limit of the shared cache: 20 MiB of archived block bytes.
  static constexpr size_t kCacheCostLimit = 20971520;

  /// A new, empty store in a fresh temporary folder; nullptr (with a log line) when the folder
  /// cannot be created.
  static std::shared_ptr<VPKFile> file();
  /// Opens the store in `directory`; nullptr when its "map" is missing, damaged or empty.
  static std::shared_ptr<VPKFile> fileWithContentsOfURL(const Path& directory);
  /// The block cache shared by every store (limit kCacheCostLimit, no count limit).
  static VPKFileCache& cache();

  VPKFile(Passkey, Path root);
  ~VPKFile();
  VPKFile(const VPKFile&) = delete;
  VPKFile& operator=(const VPKFile&) = delete;

  /// Appends `object` (asynchronously, in call order).
  void addObject(vpk::Value object);
  /// Writes the buffer as a block when it holds more than kFlushThreshold objects.
  void flushIfNeeded();
  /// Writes the buffer (if not empty) as the next block.
  void flush();
  /// flush() on the private queue, then `done` there.
  void flushWithBlock(std::function<void()> done);
  /// Flushes, rewrites failed blocks and writes the map; true when everything is on disk.
  bool synchronizeFile();
  /// synchronizeFile() on the private queue, then `done(written)` on the main queue.
  void synchronizeFileAndNotify(std::function<void(bool written)> done);
  /// Flushes, then moves the store's directory to `destination` (which must not exist). On
  /// success the store lives there; on failure `error` (may be null) says why.
  bool moveToURL(const Path& destination, std::optional<VPKError>* error = nullptr);
  /// Drops the buffer and every block (files and cache), and writes an empty map.
  void deleteFileContents();
  /// Drops the blocks from the cache and deletes the whole directory. Later operations do nothing.
  void discard();
  /// Calls `callback` for every object in order until it sets its stop flag.
  void enumerateObjects(const EnumerationCallback& callback);

  /// "VPKFile<0x...> FS = <root directory>".
  std::string description() const;
  /// Objects in the store (added, plus the count of a reopened map).
  uint64_t count() const;
  /// Blocks written by this object, plus the numbering of a reopened store.
  uint64_t blockCount() const;
  Path rootDirectory() const;
  /// rootDirectory() / "map".
  Path mapFile() const;

 private:
  template <class F>
  auto locked(F&& f);
  void flushLocked();
  bool writeMapLocked();
  Path blockPath(const std::string& name) const { return root_ / name; }

  vpk::DispatchQueuePtr queue_;
  vpk::DispatchGroup writeGroup_;
  vpk::Semaphore semaphore_{1};
  // Everything below belongs to the private queue.
  Path root_;
  std::vector<std::string> blocks_;  // block file names, in order
  vpk::ValueList buffer_;
  uint64_t count_ = 0;
  uint64_t blockCount_ = 0;
  std::map<std::string, VPKFileCache::Block> unwritten_;  // blocks whose write failed
  bool discarded_ = false;
};
