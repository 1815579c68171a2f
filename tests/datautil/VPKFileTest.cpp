// The block file store: the flush boundary, reopen, enumerate with stop, move, delete, discard,
// failed writes, and the cache that all stores share.
#include <VemraPlatformKit/frame/VPKFile.h>
#include <VemraPlatformKit/platform/dispatch/DispatchQueue.h>
#include <VemraPlatformKit/platform/files/Folders.h>
#include <VemraPlatformKit/platform/values/KeyedArchiver.h>

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using vpk::Value;

Value expected(int i) { return i % 3 ? Value(i) : Value("#" + std::to_string(i)); }
void addRange(VPKFile& store, int from, int to) {
  for (int i = from; i < to; ++i) store.addObject(expected(i));
}

std::vector<Value> everything(VPKFile& store) {
  std::vector<Value> all;
  store.enumerateObjects([&](const Value& v, bool&) { all.push_back(v); });
  return all;
}

void expectRange(VPKFile& store, int n) {
  const auto all = everything(store);
  ASSERT_EQ(all.size(), static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) ASSERT_EQ(all[i], expected(i)) << i;
}

class VPKFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = VPKFile::file();
    ASSERT_TRUE(store_);
  }
  void TearDown() override {
    if (store_) store_->discard();
  }
  vpk::test::LogCapture log_;
  std::shared_ptr<VPKFile> store_;
};

TEST_F(VPKFileTest, TheTenThousandAndFirstObjectWritesTheFirstBlock) {
  const fs::path root = store_->rootDirectory();
  EXPECT_EQ(root.parent_path(), vpk::temporaryFolder());
  EXPECT_TRUE(fs::exists(store_->mapFile()));  // written at once

  addRange(*store_, 0, 10000);
  EXPECT_EQ(store_->count(), 10000u);  // waits for the adds
  EXPECT_FALSE(fs::exists(root / "0"));
  addRange(*store_, 10000, 10001);
  EXPECT_EQ(store_->blockCount(), 1u);
  EXPECT_TRUE(fs::exists(root / "0"));
  EXPECT_FALSE(fs::exists(root / "1"));
  expectRange(*store_, 10001);
}

TEST_F(VPKFileTest, ReopensEnumeratesWithStopAndAppends) {
  addRange(*store_, 0, 25000);
  ASSERT_TRUE(store_->synchronizeFile());  // two full blocks and one of 4,998
  VPKFile::cache().removeAllObjects();     // read the files themselves

  auto reopened = VPKFile::fileWithContentsOfURL(store_->rootDirectory());
  ASSERT_TRUE(reopened);
  EXPECT_EQ(reopened->count(), 25000u);
  expectRange(*reopened, 25000);
  EXPECT_EQ(VPKFile::cache().count(), 3u);

  size_t seen = 0;
  reopened->enumerateObjects([&](const Value&, bool& stop) { stop = ++seen == 15000; });
  EXPECT_EQ(seen, 15000u);

  // Adding to a reopened store continues it: no block is overwritten, nothing counted twice.
  addRange(*reopened, 25000, 25010);
  ASSERT_TRUE(reopened->synchronizeFile());
  EXPECT_EQ(reopened->blockCount(), 4u);
  auto again = VPKFile::fileWithContentsOfURL(store_->rootDirectory());
  EXPECT_EQ(again->count(), 25010u);
  expectRange(*again, 25010);
}

TEST_F(VPKFileTest, RefusesDamagedMapsAndStaysInsideItsFolder) {
  EXPECT_FALSE(VPKFile::fileWithContentsOfURL(vpk::temporaryFolder() / "no-such-store"));
  const fs::path root = store_->rootDirectory();
  addRange(*store_, 0, 5);
  store_->flush();
  // A map that names blocks elsewhere: only each entry's file name, inside the store, is read.
  const fs::path outside = vpk::temporaryFolder() / "elsewhere";
  ASSERT_TRUE(vpk::KeyedArchiver::archiveToFile(
      Value::dictionary({{"blocks", Value::list({(outside / "0").string(), "../../etc/passwd", "..", ""})},
                         {"count", 5}}),
      (root / "map").string()));
  auto reopened = VPKFile::fileWithContentsOfURL(root);
  ASSERT_TRUE(reopened);
  expectRange(*reopened, 5);  // "0" of the store; "passwd" is not there; ".." and "" are refused
  EXPECT_TRUE(log_.contains("unusable block"));

  ASSERT_TRUE(vpk::KeyedArchiver::archiveToFile(Value::dictionary({}), (root / "map").string()));
  EXPECT_FALSE(VPKFile::fileWithContentsOfURL(root));
}

TEST_F(VPKFileTest, MovesWithItsBlocks) {
  addRange(*store_, 0, 10005);
  const fs::path from = store_->rootDirectory();
  const fs::path to = vpk::temporaryFolder() / "moved-store";
  std::optional<VPKError> error;
  ASSERT_TRUE(store_->moveToURL(to, &error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(fs::exists(from));
  EXPECT_EQ(store_->rootDirectory(), to);
  EXPECT_TRUE(fs::exists(to / "1"));  // the buffer was flushed before the move
  VPKFile::cache().removeAllObjects();
  expectRange(*store_, 10005);
  ASSERT_TRUE(store_->synchronizeFile());
  expectRange(*VPKFile::fileWithContentsOfURL(to), 10005);

  auto other = VPKFile::file();
  EXPECT_FALSE(other->moveToURL(to, &error));  // the destination exists
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, EEXIST);
  other->discard();
}

TEST_F(VPKFileTest, DeleteContentsThenDiscard) {
  addRange(*store_, 0, 10003);
  const fs::path root = store_->rootDirectory();
  store_->deleteFileContents();
  EXPECT_EQ(store_->count(), 0u);
  EXPECT_FALSE(fs::exists(root / "0"));
  EXPECT_TRUE(everything(*VPKFile::fileWithContentsOfURL(root)).empty());
  addRange(*store_, 0, 3);
  expectRange(*store_, 3);
  store_->discard();
  EXPECT_FALSE(fs::exists(root));
  addRange(*store_, 0, 3);  // ignored
  EXPECT_TRUE(everything(*store_).empty());
  EXPECT_FALSE(store_->synchronizeFile());
}

TEST_F(VPKFileTest, FailedWritesAreReportedKeptAndRetried) {
  const fs::path root = store_->rootDirectory();
  fs::remove_all(root);  // every write now fails
  addRange(*store_, 0, 10001);
  EXPECT_EQ(store_->blockCount(), 1u);
  EXPECT_TRUE(log_.contains("Failed to flush buffer!"));  // level 1: level 0 is off in these tests
  EXPECT_FALSE(store_->synchronizeFile());
  EXPECT_TRUE(log_.contains("Failed to write map!"));
  VPKFile::cache().removeAllObjects();
  expectRange(*store_, 10001);  // still readable from memory

  fs::create_directories(root);
  EXPECT_TRUE(store_->synchronizeFile());
  expectRange(*VPKFile::fileWithContentsOfURL(root), 10001);
}

TEST_F(VPKFileTest, NotifiesOnTheMainQueueAndFlushesOnItsOwn) {
  vpk::DispatchQueue::drainMain();  // this thread drives the main queue
  addRange(*store_, 0, 7);
  bool flushed = false;
  store_->flushWithBlock([&] { flushed = fs::exists(store_->rootDirectory() / "0"); });
  std::optional<bool> written;  // set on this thread, which drives the main queue
  store_->synchronizeFileAndNotify([&](bool ok) { written = ok; });
  ASSERT_TRUE(vpk::DispatchQueue::runMainUntil([&] { return written.has_value(); }, 10));
  EXPECT_TRUE(flushed);
  EXPECT_TRUE(*written);
}

TEST(VPKFileCacheTest, StoresShareOneCostLimitedCache) {
  vpk::test::LogCapture log;
  VPKFile::cache().removeAllObjects();
  auto a = VPKFile::file();
  auto b = VPKFile::file();
  addRange(*a, 0, 10);
  addRange(*b, 0, 20);
  a->flush();
  b->flush();
  EXPECT_EQ(VPKFile::cache().count(), 2u);
  a->discard();
  EXPECT_EQ(VPKFile::cache().count(), 1u);
  b->discard();

  // Least recently used goes first; a block larger than the limit is not kept.
  VPKFileCache cache(100);
  auto block = std::make_shared<const vpk::ValueList>();
  cache.setObject("a", block, 60);
  cache.setObject("b", block, 30);
  EXPECT_TRUE(cache.objectForKey("a"));
  cache.setObject("c", block, 40);
  EXPECT_FALSE(cache.objectForKey("b"));
  EXPECT_TRUE(cache.objectForKey("a"));
  EXPECT_EQ(cache.totalCost(), 100u);
  cache.setObject("huge", block, 101);
  EXPECT_FALSE(cache.objectForKey("huge"));
}

}  // namespace
