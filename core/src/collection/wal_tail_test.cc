#include "collection/wal_tail.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "testing/collection_state.h"
#include "testing/temp_dir.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using testing::TempDir;

// A flat collection "c" of 2 dimensions in tmp/c whose log holds Add(1) and Add(2): `base` bytes.
struct LogFixture {
  TempDir tmp;
  std::string dir = tmp.file("c");
  std::string wal = dir + "/wal.log";
  Bytes base;

  LogFixture() {
    Result<std::unique_ptr<Collection>> c = Collection::create(
        dir, CollectionMeta::for_new_collection("c", 2, Metric::L2, IndexType::Flat));
    EXPECT_TRUE(c);
    EXPECT_TRUE((*c)->upsert(1, std::vector<float>{1.0f, 1.0f}, std::nullopt));
    EXPECT_TRUE((*c)->upsert(2, std::vector<float>{2.0f, 2.0f}, std::nullopt));
    c->reset();
    base = testing::read_file(wal);
  }

  std::size_t opened_len() const {
    Result<std::unique_ptr<Collection>> c = Collection::open(dir);
    EXPECT_TRUE(c) << c.error().display();
    return c ? (*c)->len() : 0;
  }
  std::string kept(std::uint64_t offset, const char* suffix = "") const {
    return dir + "/wal.log.damaged-" + std::to_string(offset) + suffix;
  }
};

Bytes damaged(Bytes log) {
  const Bytes length = {0xff, 0xff, 0xff, 0xff};
  testing::append_bytes(log, length);
  testing::append_bytes(log, testing::framed(WalEntry::delete_of(1)));
  return log;
}

bool is_link(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

TEST(WalTailTest, LinkedLogIsNeverCutOrWrittenThroughOnceTheReplayStopped) {
  const struct {
    const char* name;
    Bytes (*target)(const Bytes& base);
    std::size_t replayed;  // records read before the stop
  } cases[] = {
      {"a text file", [](const Bytes&) { return Bytes{'h', 'e', 'l', 'l', 'o', '\n'}; }, 0},
      {"a log with a torn final record",
       [](const Bytes& base) { return testing::cut_to(base, base.size() - 1); }, 1},
      {"a damaged log", [](const Bytes& base) { return damaged(base); }, 2},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    LogFixture f;
    const Bytes target = tc.target(f.base);
    const std::string outside = f.tmp.file("target");
    testing::write_file(outside, target);
    fs::remove(f.wal);
    fs::create_symlink(outside, f.wal);

    EXPECT_EQ(f.opened_len(), tc.replayed);
    EXPECT_EQ(testing::read_file(outside), target);  // its target untouched
    EXPECT_FALSE(is_link(f.wal));
    const Bytes prefix = testing::read_file(f.wal);
    ASSERT_LE(prefix.size(), target.size());
    EXPECT_EQ(Bytes(target.begin(), target.begin() + static_cast<std::ptrdiff_t>(prefix.size())),
              prefix);
    // The link itself is what was kept, under the offset where the replay stopped.
    const std::string kept = f.kept(prefix.size());
    EXPECT_TRUE(is_link(kept));
    EXPECT_EQ(fs::read_symlink(kept), outside);
    EXPECT_EQ(f.opened_len(), tc.replayed);
    EXPECT_EQ(testing::read_file(outside), target);
  }
}

TEST(WalTailTest, LinkedLogThatReadsWholeIsAppendedThrough) {
  LogFixture f;
  const std::string outside = f.tmp.file("target");
  fs::rename(f.wal, outside);
  fs::create_symlink(outside, f.wal);
  {
    Result<std::unique_ptr<Collection>> c = Collection::open(f.dir);
    ASSERT_TRUE(c);
    ASSERT_TRUE((*c)->remove(1));
  }
  EXPECT_TRUE(is_link(f.wal));
  EXPECT_EQ(fs::file_size(outside), f.base.size() + 16);
  EXPECT_EQ(f.opened_len(), 1u);
}

TEST(WalTailTest, OpeningsAfterACrashKeepTheOldLogOnceAndAnEarlierOneBeside) {
  LogFixture f;
  const Bytes log = damaged(f.base);
  testing::write_file(f.wal, log);
  // An earlier damage at the same offset, already kept, and an opening that crashed after giving
  // this log its second name: the second name is not given twice, the earlier file stays.
  const Bytes earlier = {1, 2, 3};
  testing::write_file(f.kept(f.base.size()), earlier);
  fs::create_hard_link(f.wal, f.kept(f.base.size(), "-2"));
  testing::write_file(f.dir + "/wal.log.tmp", {9, 9});  // a copy the crash cut short

  EXPECT_EQ(f.opened_len(), 2u);
  EXPECT_EQ(testing::read_file(f.wal), f.base);
  EXPECT_EQ(testing::read_file(f.kept(f.base.size())), earlier);
  EXPECT_EQ(testing::read_file(f.kept(f.base.size(), "-2")), log);
  EXPECT_FALSE(fs::exists(f.kept(f.base.size(), "-3")));
  EXPECT_FALSE(fs::exists(f.dir + "/wal.log.tmp"));
  EXPECT_EQ(fs::hard_link_count(f.kept(f.base.size(), "-2")), 1u);
}

// Every single-bit flip of every length field of a 10-record log with payloads and sparse vectors:
// the opening applies every record or keeps the damaged log whole, and a second opening (after a
// write) finds exactly what the first one served.
TEST(WalTailTest, AFlippedLengthBitIsReadPastOrKeptWhole) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  {
    Result<std::unique_ptr<Collection>> c = Collection::create(
        dir, CollectionMeta::for_new_collection("c", 2, Metric::L2, IndexType::Flat));
    ASSERT_TRUE(c);
    for (std::uint64_t i = 0; i < 10; ++i) {
      const float x = static_cast<float>(i);
      ASSERT_TRUE((*c)->upsert_hybrid(i, std::vector<float>{x, x},
                                      SparseVector{{static_cast<std::uint32_t>(i)}, {x}},
                                      Payload::object({{"i", Payload::unsigned_integer(i)}})));
    }
  }
  const Bytes base = testing::read_file(dir + "/wal.log");
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at < base.size();) {
    starts.push_back(at);
    std::uint32_t length = 0;
    std::memcpy(&length, base.data() + at, 4);
    at += 4 + length;
  }
  ASSERT_EQ(starts.size(), 10u);
  const std::string copy = tmp.file("copy");
  fs::copy(dir, copy);
  const testing::CollectionState whole = [&] {
    Result<std::unique_ptr<Collection>> c = Collection::open(copy);
    EXPECT_TRUE(c);
    return testing::capture(**c);
  }();

  for (std::size_t record = 0; record < starts.size(); ++record) {
    for (int bit = 0; bit < 32; ++bit) {
      SCOPED_TRACE(::testing::Message() << "record " << record << " bit " << bit);
      fs::remove_all(copy);
      fs::copy(dir, copy);
      Bytes log = base;
      log[starts[record] + static_cast<std::size_t>(bit / 8)] ^=
          static_cast<std::uint8_t>(1u << (bit % 8));
      testing::write_file(copy + "/wal.log", log);

      testing::CollectionState served;
      {
        Result<std::unique_ptr<Collection>> c = Collection::open(copy);
        ASSERT_TRUE(c) << c.error().display();
        served = testing::capture(**c);
        ASSERT_TRUE((*c)->remove(1000));
      }
      bool kept_whole = false;
      for (const auto& entry : fs::directory_iterator(copy)) {
        if (entry.path().filename().string().starts_with("wal.log.damaged-")) {
          kept_whole = kept_whole || testing::read_file(entry.path().string()) == log;
        }
      }
      EXPECT_TRUE(served == whole || kept_whole);
      EXPECT_LE(served.sparse.size(), served.vectors.size());
      Result<std::unique_ptr<Collection>> again = Collection::open(copy);
      ASSERT_TRUE(again);
      EXPECT_EQ(testing::capture(**again), served);
    }
  }
}

}  // namespace
}  // namespace sorvel
