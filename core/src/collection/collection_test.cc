#include "collection/collection.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "checksum.h"
#include "collection/index_factory.h"
#include "collection/snapshot.h"
#include "distance/distance.h"
#include "index/hnsw/hnsw_index.h"
#include "random.h"
#include "testing/collection_state.h"
#include "testing/file_size_limit.h"
#include "testing/temp_dir.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

namespace fs = std::filesystem;
using testing::capture;
using testing::CollectionState;
using testing::TempDir;

Payload obj(std::string key, Payload value) {
  Payload::Object members;
  members.emplace_back(std::move(key), std::move(value));
  return Payload::object(std::move(members));
}

Payload num(std::uint64_t v) { return Payload::unsigned_integer(v); }

SparseVector sparse_of(std::vector<std::uint32_t> indices, std::vector<float> values) {
  SparseVector v;
  v.indices = std::move(indices);
  v.values = std::move(values);
  return v;
}

// Small parameter records so that the IVF kinds train inside a test.
CollectionMeta meta_of(IndexType type, std::uint64_t dims = 4) {
  CollectionMeta meta = CollectionMeta::for_new_collection("c", dims, Metric::L2, type);
  if (type == IndexType::Ivf) meta.ivf_config = IvfConfig{4, 4, 16, 10};
  if (type == IndexType::IvfPq) {
    meta.ivf_pq_config->n_lists = 4;
    meta.ivf_pq_config->nprobe = 4;
    meta.ivf_pq_config->train_size = 16;
    meta.ivf_pq_config->pq.m = 2;
    meta.ivf_pq_config->pq.k_sub = 4;
  }
  return meta;
}

std::unique_ptr<Collection> create_or_die(const std::string& dir, CollectionMeta meta) {
  Result<std::unique_ptr<Collection>> c = Collection::create(dir, std::move(meta));
  EXPECT_TRUE(c.has_value()) << c.error().display();
  return std::move(c).value();
}

std::unique_ptr<Collection> open_or_die(const std::string& dir) {
  Result<std::unique_ptr<Collection>> c = Collection::open(dir);
  EXPECT_TRUE(c.has_value()) << c.error().display();
  return std::move(c).value();
}

std::vector<float> vec(std::uint64_t id, std::size_t dims, std::uint64_t version = 0) {
  return testing::random_vectors(1, dims, id * 1000 + version);
}

std::uint64_t file_size(const std::string& path) { return fs::file_size(path); }

std::string read_text(const std::string& path) {
  const std::vector<std::uint8_t> bytes = testing::read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

// How many live vectors come back as their own nearest neighbour: a check that the graph the
// opening left is searchable, not only that it holds the right vectors.
double own_vector_reach(const Collection& c) {
  std::size_t found = 0, total = 0;
  const auto it = c.index().iter();
  while (auto item = it->next()) {
    ++total;
    const auto hits = c.search(item->vector, 1).value();
    if (!hits.empty() && hits[0].id == item->id) ++found;
  }
  return total == 0 ? 1.0 : static_cast<double>(found) / static_cast<double>(total);
}

// --- durability: write, drop everything, reopen, compare ---

struct KindCase {
  IndexType type;
  // Whether vectors survive a compaction bit for bit (the lossy kinds re-encode what they decoded).
  bool exact_after_compaction;
};

class DurabilityTest : public ::testing::TestWithParam<KindCase> {};

void expect_same_up_to_rounding(const CollectionState& got, const CollectionState& want) {
  EXPECT_EQ(got.payloads, want.payloads);
  EXPECT_EQ(got.sparse, want.sparse);
  ASSERT_EQ(got.vectors.size(), want.vectors.size());
  for (const auto& [id, v] : want.vectors) {
    ASSERT_TRUE(got.vectors.contains(id)) << id;
    const auto& g = got.vectors.at(id);
    ASSERT_EQ(g.size(), v.size());
    for (std::size_t j = 0; j < v.size(); ++j) EXPECT_NEAR(g[j], v[j], 1e-3) << id;
  }
}

TEST_P(DurabilityTest, ReopenRestoresEveryWriteBeforeAndAfterCompaction) {
  const KindCase kind = GetParam();
  constexpr std::size_t kDims = 4;
  TempDir tmp;
  const std::string dir = tmp.file("c");
  CollectionState before;
  {
    auto c = create_or_die(dir, meta_of(kind.type, kDims));
    for (std::uint64_t id = 0; id < 40; ++id) {
      std::optional<Payload> p;
      if (id % 3 != 0) p = obj("i", num(id));
      ASSERT_TRUE(c->upsert(id, vec(id, kDims), std::move(p)));
    }
    std::vector<CollectionEntry> batch;
    for (std::uint64_t id = 35; id < 45; ++id)
      batch.push_back({id, vec(id, kDims, 1), obj("b", num(id))});
    batch.push_back({40, vec(40, kDims, 2), std::nullopt});  // a repeated id: the last entry wins
    ASSERT_TRUE(c->upsert_batch(std::move(batch)));
    ASSERT_TRUE(c->upsert_hybrid(5, vec(5, kDims, 3), sparse_of({1, 9}, {0.5f, 2.0f}), Payload()));
    ASSERT_TRUE(c->upsert_hybrid(6, vec(6, kDims, 3), sparse_of({2}, {1.0f}), std::nullopt));
    ASSERT_TRUE(c->upsert(6, vec(6, kDims, 4), obj("keeps", num(1))));  // keeps its sparse vector
    for (std::uint64_t id : {1, 2, 3, 5}) ASSERT_TRUE(c->remove(id).value());
    EXPECT_FALSE(c->remove(999).value());
    ASSERT_TRUE(c->upsert(2, vec(2, kDims, 5), std::nullopt));
    before = capture(*c);
    EXPECT_EQ(before.vectors.size(), 42u);
    EXPECT_EQ(before.sparse.size(), 1u);
  }
  {
    auto c = open_or_die(dir);
    ASSERT_EQ(capture(*c), before);
    // The replaced and deleted records count toward the next compaction.
    EXPECT_EQ(c->wal_appended(), testing::log_bodies(dir + "/wal.log").size() - c->len());
    // Further writes, a compaction, more writes: the next opening holds all of them too.
    ASSERT_TRUE(c->upsert(100, vec(100, kDims), obj("late", num(1))));
    ASSERT_TRUE(c->compact_wal());
    EXPECT_EQ(testing::log_bodies(dir + "/wal.log").size(), c->len());
    ASSERT_TRUE(c->remove(7));
    ASSERT_TRUE(c->upsert_hybrid(8, vec(8, kDims, 6), sparse_of({4}, {4.0f}), std::nullopt));
    before = capture(*c);
  }
  auto c = open_or_die(dir);
  if (kind.exact_after_compaction) {
    EXPECT_EQ(capture(*c), before);
  } else {
    expect_same_up_to_rounding(capture(*c), before);
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, DurabilityTest,
    ::testing::Values(KindCase{IndexType::Flat, true}, KindCase{IndexType::Hnsw, true},
                      KindCase{IndexType::QuantizedFlat, false}, KindCase{IndexType::Ivf, true},
                      KindCase{IndexType::IvfPq, true}, KindCase{IndexType::Fp16Flat, true},
                      KindCase{IndexType::MmapFlat, true}, KindCase{IndexType::BinaryFlat, false}),
    [](const auto& p) { return std::string(index_type_json_name(p.param.type)); });

// --- replay tolerance ---

struct ReplayCase {
  const char* name;
  // Bytes appended to a log holding Add(1, payload {"a":1}) and Add(2).
  std::function<std::vector<std::uint8_t>()> tail;
  // How the expected state differs from the base state.
  std::function<void(CollectionState&)> change;
  // What opening does with the bytes after the base log: all replayed and left as they are; cut
  // away; kept in the damaged copy, the log going on from the last record read; or kept in the
  // damaged copy while "wal.log" holds exactly the records replayed (`rewritten` after the base).
  enum Tail { kReplayed, kCut, kKept, kRewritten } tail_fate;
  std::function<std::vector<std::uint8_t>()> rewritten = {};
};

std::vector<std::uint8_t> u32_bytes(std::uint32_t v) {
  std::vector<std::uint8_t> b(4);
  std::memcpy(b.data(), &v, 4);
  return b;
}

std::vector<std::uint8_t> concat(std::vector<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) testing::append_bytes(out, p);
  return out;
}

const std::vector<float> kV3 = {3.0f, 3.0f};

std::vector<std::uint8_t> add3() { return testing::framed(WalEntry::add(3, kV3, {}, {})); }

void with3(CollectionState& s) { s.vectors[3] = kV3; }

TEST(ReplayTest, ToleratesDamageCutsATornRecordAndKeepsWhatItStoppedAt) {
  const std::vector<ReplayCase> cases = {
      {"clean end", [] { return std::vector<std::uint8_t>{}; }, [](CollectionState&) {},
       ReplayCase::kReplayed},
      {"torn length", [] { return testing::cut_to(add3(), 2); }, [](CollectionState&) {},
       ReplayCase::kCut},
      {"torn body", [] { return testing::cut_to(add3(), add3().size() - 1); },
       [](CollectionState&) {}, ReplayCase::kCut},
      {"torn record with payload and sparse bytes, cut inside the sparse bytes",
       [] {
         auto rec = testing::framed(
             WalEntry::add(3, kV3, std::string("{\"p\":1}"), std::vector<std::uint8_t>(9, 1)));
         return testing::cut_to(rec, rec.size() - 4);
       },
       [](CollectionState&) {}, ReplayCase::kCut},
      {"torn delete", [] { return testing::cut_to(testing::framed(WalEntry::delete_of(1)), 9); },
       [](CollectionState&) {}, ReplayCase::kCut},
      {"length beyond the file, its bytes too short to judge",
       [] {
         return concat({u32_bytes(1000), std::vector<std::uint8_t>(10)});
       },
       [](CollectionState&) {}, ReplayCase::kCut},
      {"length above the limit, records after it",
       [] {
         return concat({u32_bytes(0xffffffffu), add3(), add3()});
       },
       [](CollectionState&) {}, ReplayCase::kKept},
      {"length at the limit whose fields end early",
       [] {
         return concat({u32_bytes(1u << 28), std::vector<std::uint8_t>(64)});
       },
       [](CollectionState&) {}, ReplayCase::kKept},
      {"length no record has, past the end",
       [] {
         return concat({u32_bytes(5), std::vector<std::uint8_t>(2)});
       },
       [](CollectionState&) {}, ReplayCase::kKept},
      {"delete variant under a longer length",
       [] { return testing::overwrite_u32(testing::framed(WalEntry::delete_of(1)), 0, 40); },
       [](CollectionState&) {}, ReplayCase::kKept},
      {"vector count beyond the length",
       [] {
         auto rec = testing::framed(WalEntry::add(3, std::vector<float>(64, 1.0f), {}, {}));
         rec = testing::overwrite_u32(rec, 0, 100);
         return testing::cut_to(rec, 60);
       },
       [](CollectionState&) {}, ReplayCase::kKept},
      {"bad payload tag in a record past the end",
       [] {
         auto rec = testing::framed(WalEntry::add(3, kV3, {}, {}));
         rec[4 + 20 + 8] = 7;
         rec = testing::overwrite_u32(rec, 0, 200);
         return rec;
       },
       [](CollectionState&) {}, ReplayCase::kKept},
      {"empty record",
       [] {
         return concat({u32_bytes(0), add3()});
       },
       with3, ReplayCase::kRewritten, add3},
      {"three-byte record",
       [] {
         return concat({testing::framed({1, 2, 3}), add3()});
       },
       with3, ReplayCase::kRewritten, add3},
      {"unknown variant",
       [] {
         return concat(
             {testing::overwrite_u32(testing::framed(WalEntry::delete_of(1)), 4, 2), add3()});
       },
       with3, ReplayCase::kRewritten, add3},
      {"bad payload tag",
       [] {
         auto rec = testing::framed(WalEntry::add(1, {9.0f, 9.0f}, {}, {}));
         rec[4 + 20 + 8] = 7;
         return concat({rec, add3()});
       },
       with3, ReplayCase::kRewritten, add3},
      {"vector count past the body",
       [] {
         return concat(
             {testing::overwrite_u64(testing::framed(WalEntry::add(1, {9.0f, 9.0f}, {}, {})),
                                     4 + 12, 1u << 30),
              add3()});
       },
       with3, ReplayCase::kRewritten, add3},
      {"payload text that does not parse",
       [] {
         return testing::framed(WalEntry::add(1, {5.0f, 5.0f}, std::string("{bad"), {}));
       },
       [](CollectionState& s) {
         s.vectors[1] = {5.0f, 5.0f};
       },
       ReplayCase::kReplayed},
      {"absent payload removes it",
       [] {
         return testing::framed(WalEntry::add(1, {5.0f, 5.0f}, {}, {}));
       },
       [](CollectionState& s) {
         s.vectors[1] = {5.0f, 5.0f};
         s.payloads.erase(1);
       },
       ReplayCase::kReplayed},
      {"sparse bytes that do not decode",
       [] {
         return testing::framed(
             WalEntry::add(2, {6.0f, 6.0f}, {}, std::vector<std::uint8_t>{1, 2, 3}));
       },
       [](CollectionState& s) {
         s.vectors[2] = {6.0f, 6.0f};
       },
       ReplayCase::kReplayed},
      {"vector of another length is skipped whole",
       [] {
         return testing::framed(WalEntry::add(1, {1.0f, 2.0f, 3.0f}, std::string("{\"b\":2}"), {}));
       },
       [](CollectionState&) {}, ReplayCase::kRewritten,
       [] { return std::vector<std::uint8_t>{}; }},
      {"bytes after the last field",
       [] {
         auto rec = testing::framed(WalEntry::add(1, {7.0f, 7.0f}, {}, {}));
         rec = testing::overwrite_u32(rec, 0, static_cast<std::uint32_t>(rec.size() - 4 + 5));
         testing::append_bytes(rec, std::vector<std::uint8_t>(5, 0xee));
         return concat({rec, add3()});
       },
       [](CollectionState& s) {
         s.vectors[1] = {7.0f, 7.0f};
         s.payloads.erase(1);
         with3(s);
       },
       ReplayCase::kRewritten,
       [] { return concat({testing::framed(WalEntry::add(1, {7.0f, 7.0f}, {}, {})), add3()}); }},
      {"delete", [] { return testing::framed(WalEntry::delete_of(1)); },
       [](CollectionState& s) {
         s.vectors.erase(1);
         s.payloads.erase(1);
       },
       ReplayCase::kReplayed},
  };
  for (const ReplayCase& tc : cases) {
    SCOPED_TRACE(tc.name);
    TempDir tmp;
    const std::string dir = tmp.file("c");
    {
      auto c = create_or_die(dir, meta_of(IndexType::Flat, 2));
      ASSERT_TRUE(c->upsert(1, std::vector<float>{1.0f, 1.0f}, obj("a", num(1))));
      ASSERT_TRUE(c->upsert(2, std::vector<float>{2.0f, 2.0f}, std::nullopt));
    }
    const std::string wal = dir + "/wal.log";
    const std::uint64_t base_size = file_size(wal);
    std::vector<std::uint8_t> bytes = testing::read_file(wal);
    testing::append_bytes(bytes, tc.tail());
    testing::write_file(wal, bytes);

    CollectionState want;
    want.vectors = {{1, {1.0f, 1.0f}}, {2, {2.0f, 2.0f}}};
    want.payloads = {{1, "{\"a\":1}"}};
    tc.change(want);
    const std::string kept = dir + "/wal.log.damaged-" + std::to_string(base_size);
    const bool damage =
        tc.tail_fate == ReplayCase::kKept || tc.tail_fate == ReplayCase::kRewritten;
    {
      auto c = open_or_die(dir);
      EXPECT_EQ(capture(*c), want);
      // The log goes on from the last record read, holding exactly the records replayed.
      std::vector<std::uint8_t> replayed(
          bytes.begin(),
          bytes.begin() + static_cast<std::ptrdiff_t>(
                              tc.tail_fate == ReplayCase::kReplayed ? bytes.size() : base_size));
      if (tc.tail_fate == ReplayCase::kRewritten) testing::append_bytes(replayed, tc.rewritten());
      EXPECT_EQ(testing::read_file(wal), replayed);
      // Damage is kept on disk, with the whole log as it was.
      ASSERT_EQ(fs::exists(kept), damage);
      if (damage) {
        EXPECT_EQ(testing::read_file(kept), bytes);
      }
      // A record written now is found by the next opening.
      ASSERT_TRUE(c->upsert(9, std::vector<float>{9.0f, 9.0f}, std::nullopt));
    }
    want.vectors[9] = {9.0f, 9.0f};
    EXPECT_EQ(capture(*open_or_die(dir)), want);
    if (damage) {
      EXPECT_EQ(testing::read_file(kept), bytes);
    }
    EXPECT_FALSE(fs::exists(kept + "-2"));
  }
}

TEST(ReplayTest, LeftoverRewriteAndUnreadableSparseFileAreHarmless) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  CollectionState before;
  {
    auto c = create_or_die(dir, meta_of(IndexType::Flat, 2));
    ASSERT_TRUE(
        c->upsert_hybrid(1, std::vector<float>{1.0f, 1.0f}, sparse_of({3}, {1.0f}), std::nullopt));
    before = capture(*c);
  }
  testing::write_file(dir + "/wal.log.tmp", {1, 2, 3, 4, 5});
  testing::write_file(dir + "/sparse.bin", {0xff, 0xff});
  auto c = open_or_die(dir);
  EXPECT_FALSE(fs::exists(dir + "/wal.log.tmp"));
  EXPECT_EQ(capture(*c), before);  // the log's sparse part applies on top of the empty index
}

TEST(ReplayTest, DerivedFilesThatAreNoRegularFileGoAndLinksToFilesStay) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  {
    auto c = create_or_die(dir, meta_of(IndexType::Flat, 2));
    ASSERT_TRUE(c->upsert_hybrid(1, std::vector<float>{1.0f, 1.0f}, sparse_of({3}, {1.0f}), {}));
    ASSERT_TRUE(c->compact_wal());
  }
  fs::rename(dir + "/sparse.bin", tmp.file("sparse.elsewhere"));
  fs::create_symlink(tmp.file("sparse.elsewhere"), dir + "/sparse.bin");
  ASSERT_EQ(::mkfifo(tmp.file("fifo").c_str(), 0666), 0);
  fs::create_symlink(tmp.file("fifo"), dir + "/hnsw.graph");
  ASSERT_EQ(::mkfifo((dir + "/vectors.mmap").c_str(), 0666), 0);

  auto c = open_or_die(dir);
  EXPECT_EQ(c->sparse_count(), 1u);
  EXPECT_TRUE(fs::is_symlink(dir + "/sparse.bin"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir + "/hnsw.graph")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir + "/vectors.mmap")));
  EXPECT_TRUE(fs::is_fifo(tmp.file("fifo")));  // what the link named is never reached
}

TEST(ReplayTest, OpeningRemovesTemporariesOfEarlierSaves) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  create_or_die(dir, meta_of(IndexType::Hnsw)).reset();
  // Saves cut short by a crash of some earlier process; "meta.json.tmp" is the promotion's own
  // file and stays.
  for (const char* name : {"sparse.bin.tmp-1-0", "hnsw.graph.tmp-4194304-12", "meta.json.tmp"}) {
    testing::write_file(dir + "/" + name, {1});
  }
  open_or_die(dir).reset();
  EXPECT_FALSE(fs::exists(dir + "/sparse.bin.tmp-1-0"));
  EXPECT_FALSE(fs::exists(dir + "/hnsw.graph.tmp-4194304-12"));
  EXPECT_TRUE(fs::exists(dir + "/meta.json.tmp"));
}

TEST(ReplayTest, DirectoryWithOnlyMetadataOpensEmptyAndGainsALog) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  create_or_die(dir, meta_of(IndexType::Hnsw)).reset();
  fs::remove(dir + "/wal.log");
  auto c = open_or_die(dir);
  EXPECT_EQ(c->len(), 0u);
  EXPECT_TRUE(fs::exists(dir + "/wal.log"));
}

// --- write failures leave memory and log as they were ---

TEST(WriteFailureTest, FailedSingleWritesChangeNothing) {
  for (const std::uint64_t slack : {0, 10}) {  // no byte fits / part of a record fits
    SCOPED_TRACE(slack);
    TempDir tmp;
    const std::string dir = tmp.file("c");
    auto c = create_or_die(dir, meta_of(IndexType::Flat));
    ASSERT_TRUE(c->upsert(1, vec(1, 4), obj("a", num(1))));
    ASSERT_TRUE(c->upsert_hybrid(2, vec(2, 4), sparse_of({1}, {1.0f}), std::nullopt));
    const CollectionState before = capture(*c);
    const std::string wal = dir + "/wal.log";
    const std::uint64_t size = file_size(wal);
    {
      testing::FileSizeLimit limit(size + slack);
      auto upserted = c->upsert(1, vec(1, 4, 9), std::nullopt);
      ASSERT_FALSE(upserted);
      EXPECT_EQ(upserted.error().kind(), ErrorKind::Io);
      EXPECT_FALSE(c->upsert_hybrid(2, vec(2, 4, 9), sparse_of({5}, {5.0f}), obj("x", num(0))));
      EXPECT_FALSE(c->remove(1));
      EXPECT_EQ(capture(*c), before);
      EXPECT_EQ(c->wal_appended(), 2u);
    }
    EXPECT_EQ(file_size(wal), size);
    ASSERT_TRUE(c->upsert(3, vec(3, 4), std::nullopt));
    const CollectionState after = capture(*c);
    c.reset();
    EXPECT_EQ(capture(*open_or_die(dir)), after);
  }
}

TEST(WriteFailureTest, WriterHoldsADescriptorOnlyOnceWrittenAndAReopenThatFailsChangesNothing) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  const std::string wal = dir + "/wal.log";
  auto c = create_or_die(dir, meta_of(IndexType::Flat));
  EXPECT_FALSE(c->wal_open());
  ASSERT_TRUE(c->upsert(1, vec(1, 4), std::nullopt));
  EXPECT_TRUE(c->wal_open());
  // Given back while idle, the counter kept for the compaction rule.
  ASSERT_TRUE(c->release_writer());
  EXPECT_FALSE(c->wal_open());
  EXPECT_EQ(c->wal_appended(), 1u);

  // A log that cannot be opened again fails every write before anything changes.
  fs::rename(wal, dir + "/aside");
  fs::create_directory(wal);
  const CollectionState before = capture(*c);
  auto upserted = c->upsert(2, vec(2, 4), std::nullopt);
  ASSERT_FALSE(upserted);
  EXPECT_EQ(upserted.error().kind(), ErrorKind::Io);
  EXPECT_FALSE(c->upsert_hybrid(1, vec(1, 4, 5), sparse_of({3}, {1.0f}), std::nullopt));
  EXPECT_FALSE(c->remove(1));
  std::vector<CollectionEntry> batch;
  batch.push_back({3, vec(3, 4), std::nullopt});
  EXPECT_FALSE(c->upsert_batch(std::move(batch)));
  EXPECT_EQ(capture(*c), before);
  EXPECT_EQ(c->wal_appended(), 1u);

  fs::remove(wal);
  fs::rename(dir + "/aside", wal);
  ASSERT_TRUE(c->upsert(2, vec(2, 4), std::nullopt));
  EXPECT_EQ(c->wal_appended(), 2u);
  EXPECT_EQ(testing::log_bodies(wal).size(), 2u);
  const CollectionState after = capture(*c);
  c.reset();
  auto reopened = open_or_die(dir);
  EXPECT_FALSE(reopened->wal_open());
  EXPECT_EQ(capture(*reopened), after);
}

TEST(WriteFailureTest, FailedBatchKeepsMemoryAndLogInStep) {
  // 20 entries fit the log buffer, so only the final flush fails; larger batches fail in an
  // append part-way through. Flat inserts logged entries in bulk and writes a chunk's records
  // out in large writes, HNSW appends a whole group before its parallel insert, fp16_flat goes
  // one by one. The slack lets part of a write reach the file before it fails.
  for (const IndexType type : {IndexType::Flat, IndexType::Hnsw, IndexType::Fp16Flat}) {
    for (const std::size_t n : {20, 400, 20000}) {
      for (const std::uint64_t slack : {0, 1000}) {
        SCOPED_TRACE(std::string(index_type_json_name(type)) + " " + std::to_string(n) + " " +
                     std::to_string(slack));
        TempDir tmp;
        const std::string dir = tmp.file("c");
        CollectionMeta meta = meta_of(type);
        meta.hnsw_config = HnswConfig{16, 16, 4};  // a small graph keeps the test quick
        auto c = create_or_die(dir, meta);
        ASSERT_TRUE(c->upsert(1, vec(1, 4), obj("a", num(1))));
        std::vector<CollectionEntry> batch;
        for (std::uint64_t id = 10; id < 10 + n; ++id) {
          batch.push_back({id, vec(id, 4), obj("b", num(id))});
        }
        {
          testing::FileSizeLimit limit(file_size(dir + "/wal.log") + slack);
          auto result = c->upsert_batch(std::move(batch));
          ASSERT_FALSE(result);
          EXPECT_EQ(result.error().kind(), ErrorKind::Io);
        }
        EXPECT_GT(c->len(), 1u);
        EXPECT_EQ(c->wal_appended(), c->len());  // one counted record per applied entry
        // The applied entries' records are still buffered and reach the file with the next write.
        ASSERT_TRUE(c->upsert(2, vec(2, 4), std::nullopt));
        const CollectionState after = capture(*c);
        c.reset();
        EXPECT_EQ(capture(*open_or_die(dir)), after);
      }
    }
  }
}

TEST(BatchTest, LastEntryOfARepeatedIdWinsAcrossChunks) {
  for (const IndexType type : {IndexType::Flat, IndexType::Hnsw, IndexType::Fp16Flat}) {
    SCOPED_TRACE(index_type_json_name(type));
    TempDir tmp;
    const std::string dir = tmp.file("c");
    CollectionMeta meta = meta_of(type, 2);
    meta.hnsw_config = HnswConfig{16, 16, 4};  // a small graph keeps the test quick
    auto c = create_or_die(dir, meta);
    ASSERT_TRUE(c->upsert_hybrid(3, std::vector<float>{0.0f, 0.0f}, sparse_of({1}, {1.0f}),
                                 obj("old", num(1))));
    CollectionState want;
    want.sparse[3] = sparse_of({1}, {1.0f});
    std::vector<CollectionEntry> batch;
    for (std::uint64_t i = 0; i < 12000; ++i) {
      const std::uint64_t id = i % 5000;
      // Small integers, so half precision holds them exactly.
      std::vector<float> v = {static_cast<float>(i % 1024), static_cast<float>(id % 1024)};
      std::optional<Payload> p;
      if (i % 7 != 0) p = obj("i", num(i));
      want.vectors[id] = v;
      if (p) {
        want.payloads[id] = p->to_compact_text();
      } else {
        want.payloads.erase(id);
      }
      batch.push_back({id, std::move(v), std::move(p)});
    }
    ASSERT_TRUE(c->upsert_batch(std::move(batch)));
    EXPECT_EQ(c->len(), 5000u);
    const CollectionState got = capture(*c);
    EXPECT_EQ(got, want) << testing::first_difference(got, want);
    c.reset();
    const CollectionState reopened = capture(*open_or_die(dir));
    EXPECT_EQ(reopened, want) << testing::first_difference(reopened, want);
  }
}

TEST(BatchTest, HnswBatchEqualsSingleUpsertsAndIsSearchable) {
  constexpr std::size_t kDims = 8;
  TempDir tmp;
  CollectionMeta meta = meta_of(IndexType::Hnsw, kDims);
  meta.hnsw_config = HnswConfig{64, 32, 8};
  auto batched = create_or_die(tmp.file("batch"), meta);
  auto single = create_or_die(tmp.file("single"), meta);
  // Live ids replaced by the batch, and repeats inside it: the parallel insert gets each id once.
  for (std::uint64_t id = 0; id < 100; ++id) {
    ASSERT_TRUE(batched->upsert(id, vec(id, kDims), std::nullopt));
    ASSERT_TRUE(single->upsert(id, vec(id, kDims), std::nullopt));
  }
  std::vector<CollectionEntry> batch;
  for (std::uint64_t i = 0; i < 3000; ++i) {
    const std::uint64_t id = i % 2600;
    batch.push_back({id, vec(id, kDims, i / 2600 + 1), obj("i", num(i))});
  }
  for (const CollectionEntry& e : batch) ASSERT_TRUE(single->upsert(e.id, e.vector, e.payload));
  ASSERT_TRUE(batched->upsert_batch(std::move(batch)));
  const CollectionState got = capture(*batched);
  const CollectionState want = capture(*single);
  EXPECT_EQ(got, want) << testing::first_difference(got, want);
  EXPECT_GE(own_vector_reach(*batched), 0.97);
}

TEST(WriteFailureTest, WrongLengthIsRefusedBeforeAnythingIsLogged) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  auto c = create_or_die(dir, meta_of(IndexType::Hnsw));
  ASSERT_TRUE(c->upsert(1, vec(1, 4), obj("a", num(1))));
  ASSERT_TRUE(c->upsert_hybrid(2, vec(2, 4), sparse_of({1}, {1.0f}), std::nullopt));
  const CollectionState before = capture(*c);
  const std::uint64_t size = file_size(dir + "/wal.log");

  const auto expect_mismatch = [](const Result<>& r) {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "dimension mismatch: expected 4, got 3");
  };
  expect_mismatch(c->upsert(1, vec(1, 3), std::nullopt));
  expect_mismatch(c->upsert_hybrid(2, vec(2, 3), sparse_of({7}, {7.0f}), obj("b", num(2))));
  std::vector<CollectionEntry> batch;
  batch.push_back({5, vec(5, 4), std::nullopt});
  batch.push_back({6, vec(6, 3), std::nullopt});
  batch.push_back({7, vec(7, 4), std::nullopt});
  expect_mismatch(c->upsert_batch(std::move(batch)));

  EXPECT_EQ(capture(*c), before);
  EXPECT_EQ(file_size(dir + "/wal.log"), size);
  EXPECT_EQ(c->wal_appended(), 2u);
}

TEST(WriteFailureTest, PayloadNestedTooDeeplyIsRefused) {
  TempDir tmp;
  auto c = create_or_die(tmp.file("c"), meta_of(IndexType::Flat));
  Payload deep = num(1);
  for (int i = 0; i < 200; ++i) deep = Payload::array({std::move(deep)});
  auto r = c->upsert(1, vec(1, 4), std::move(deep));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidConfig);
  EXPECT_EQ(c->len(), 0u);
}

// --- compaction ---

TEST(CompactionTest, RewritesLiveRecordsAndRestartsTheCounter) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  CollectionMeta meta = meta_of(IndexType::Flat);
  meta.wal_compact_threshold = 3;
  auto c = create_or_die(dir, meta);
  const std::string wal = dir + "/wal.log";
  ASSERT_TRUE(c->upsert(1, vec(1, 4), obj("a", num(1))));
  ASSERT_TRUE(c->upsert_hybrid(2, vec(2, 4), sparse_of({3, 4}, {1.0f, 2.0f}), std::nullopt));
  EXPECT_EQ(c->wal_appended(), 2u);
  EXPECT_FALSE(fs::exists(dir + "/sparse.bin"));
  // The third record, a delete of an id never stored, triggers the compaction.
  EXPECT_FALSE(c->remove(77).value());
  EXPECT_EQ(c->wal_appended(), 0u);
  EXPECT_EQ(testing::log_bodies(wal).size(), 2u);
  EXPECT_TRUE(fs::exists(dir + "/sparse.bin"));
  EXPECT_FALSE(fs::exists(dir + "/wal.log.tmp"));

  // Counting restarts at 0, so two more writes only grow the log, whatever the live count.
  ASSERT_TRUE(c->upsert(3, vec(3, 4), std::nullopt));
  ASSERT_TRUE(c->upsert(4, vec(4, 4), std::nullopt));
  EXPECT_EQ(testing::log_bodies(wal).size(), 4u);
  // The third compacts again; the deleted sparse vector's checkpoint goes with it.
  ASSERT_TRUE(c->remove(2).value());
  EXPECT_EQ(testing::log_bodies(wal).size(), 3u);
  EXPECT_FALSE(fs::exists(dir + "/sparse.bin"));

  const CollectionState before = capture(*c);
  c.reset();
  auto reopened = open_or_die(dir);
  EXPECT_EQ(capture(*reopened), before);
  EXPECT_EQ(reopened->sparse_count(), 0u);
}

TEST(CompactionTest, RepeatedUpdatesOfAFlatCollectionKeepMemoryAtTheLiveCount) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  CollectionMeta meta = meta_of(IndexType::Flat);
  meta.wal_compact_threshold = 10;
  auto c = create_or_die(dir, meta);
  // Every update leaves the old row behind until a compaction drops it.
  for (int round = 0; round < 9; ++round) ASSERT_TRUE(c->upsert(1, vec(round, 4), std::nullopt));
  EXPECT_EQ(c->index().iter()->size_hint().second, 9u);
  ASSERT_TRUE(c->upsert(2, vec(100, 4), std::nullopt));  // the tenth record compacts
  EXPECT_EQ(c->wal_appended(), 0u);
  EXPECT_EQ(c->index().iter()->size_hint().second, 2u);
  EXPECT_EQ(capture(*c).vectors.at(1), vec(8, 4));
}

// Churn at a constant count (deletes, new ids, updates): a compaction drops the nodes of deleted
// ids and saves the graph memory then holds, so "hnsw.graph" holds the live ids only and the next
// opening serves that very graph, with the live recall. After further churn that no compaction
// followed, the opening's recall is within 0.01 of the live one.
TEST(CompactionTest, HnswChurnSavesTheLiveGraphAndReopensWithItsRecall) {
  constexpr std::size_t kDims = 8;
  constexpr std::uint64_t kLive = 1500;
  constexpr std::uint64_t kChurn = 200;
  TempDir tmp;
  const std::string dir = tmp.file("c");
  CollectionMeta meta = meta_of(IndexType::Hnsw, kDims);
  meta.hnsw_config = HnswConfig{64, 32, 8};
  meta.wal_compact_threshold = 1000000;  // compactions only where the test asks for one
  seed_thread_random(51);
  auto c = create_or_die(dir, meta);
  std::map<std::uint64_t, std::vector<float>> live;
  std::vector<CollectionEntry> batch;
  for (std::uint64_t id = 0; id < kLive; ++id) {
    live[id] = vec(id, kDims);
    batch.push_back({id, live[id], {}});
  }
  ASSERT_TRUE(c->upsert_batch(std::move(batch)));
  std::uint64_t next_id = kLive;
  std::uint64_t version = 1;
  const auto churn = [&](int rounds) {
    for (int r = 0; r < rounds; ++r) {
      std::vector<std::uint64_t> ids;
      for (const auto& [id, v] : live) ids.push_back(id);
      std::vector<CollectionEntry> writes;
      for (std::uint64_t i = 0; i < 2 * kChurn; ++i) {
        const std::uint64_t id = ids[(i * 7 + static_cast<std::uint64_t>(r) * 3) % ids.size()];
        if (i < kChurn) {
          ASSERT_TRUE(c->remove(id).value());
          live.erase(id);
          live[next_id] = vec(next_id, kDims);
          writes.push_back({next_id, live[next_id], {}});
          ++next_id;
        } else if (live.count(id) != 0) {
          live[id] = vec(id, kDims, version++);
          writes.push_back({id, live[id], {}});
        }
      }
      ASSERT_TRUE(c->upsert_batch(std::move(writes)));
    }
  };
  const std::vector<float> queries = testing::random_vectors(100, kDims, 52);
  const auto recall = [&](const Collection& col) {
    std::size_t found = 0;
    for (std::size_t q = 0; q < 100; ++q) {
      const std::span<const float> query(queries.data() + q * kDims, kDims);
      std::vector<std::pair<float, std::uint64_t>> exact;
      for (const auto& [id, v] : live) exact.push_back({distance(Metric::L2, query, v), id});
      std::partial_sort(exact.begin(), exact.begin() + 10, exact.end());
      std::set<std::uint64_t> truth;
      for (std::size_t i = 0; i < 10; ++i) truth.insert(exact[i].second);
      const std::vector<CollectionHit> hits = col.search(query, 10).value();
      for (const CollectionHit& h : hits) found += truth.count(h.id);
    }
    return static_cast<double>(found) / 1000.0;
  };
  const auto graph_of = [](const Collection& col) -> const HnswGraph& {
    return dynamic_cast<const HnswIndex&>(col.index()).graph();
  };

  churn(6);
  ASSERT_EQ(c->len(), kLive);
  EXPECT_GT(graph_of(*c).node_count(), kLive);
  ASSERT_TRUE(c->compact_wal());
  EXPECT_EQ(graph_of(*c).node_count(), kLive);
  HnswIndex saved(kDims, Metric::L2, 64, 32, 8);
  ASSERT_TRUE(saved.load(dir + "/hnsw.graph"));
  std::set<std::uint64_t> saved_ids;
  const auto it = saved.iter();
  while (const auto item = it->next()) saved_ids.insert(item->id);
  std::set<std::uint64_t> live_ids;
  for (const auto& [id, v] : live) live_ids.insert(id);
  EXPECT_EQ(saved_ids, live_ids);
  const HnswGraphSnapshot in_memory = graph_of(*c).to_snapshot();
  EXPECT_EQ(saved.graph().to_snapshot(), in_memory);
  const double compacted = recall(*c);
  EXPECT_GE(compacted, 0.9);
  c.reset();
  c = open_or_die(dir);
  EXPECT_EQ(graph_of(*c).to_snapshot(), in_memory);
  EXPECT_EQ(recall(*c), compacted);

  churn(2);
  const double before_reopening = recall(*c);
  c.reset();
  c = open_or_die(dir);
  EXPECT_GE(recall(*c), before_reopening - 0.01);
}

// The log sizes (in records) at which the writes compacted, and the log size after each write.
struct CompactionTrace {
  std::vector<std::size_t> compacted_at;
  std::size_t largest_log = 0;
};

// Runs `write` n times, noting every write that compacted (the counter drops to 0).
template <class Write>
void trace_writes(Collection& c, std::size_t n, CompactionTrace& trace, const Write& write) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t before = c.wal_appended();
    write(i);
    const std::size_t log = testing::log_bodies(c.dir() + "/wal.log").size();
    if (c.wal_appended() < before + 1) trace.compacted_at.push_back(c.len());
    trace.largest_log = std::max(trace.largest_log, log);
  }
}

TEST(CompactionTest, LogCompactsOnceItHasGrownByTheLiveRecordsOfTheLastRewrite) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  CollectionMeta meta = meta_of(IndexType::Flat);
  meta.wal_compact_threshold = 5;
  auto c = create_or_die(dir, meta);
  CompactionTrace ingest;
  trace_writes(*c, 40, ingest, [&](std::size_t i) {
    ASSERT_TRUE(c->upsert(i, vec(i, 4), std::nullopt));
  });
  // Below the threshold every 5 records, as a small collection always did; beyond it the log
  // doubles between rewrites.
  EXPECT_EQ(ingest.compacted_at, (std::vector<std::size_t>{5, 10, 20, 40}));

  // Updates: the next rewrite comes after as many records as the last one wrote.
  CompactionTrace updates;
  trace_writes(*c, 80, updates, [&](std::size_t i) {
    ASSERT_TRUE(c->upsert(i % 40, vec(i % 40, 4, 1 + i / 40), std::nullopt));
  });
  EXPECT_EQ(updates.compacted_at.size(), 2u);
  EXPECT_LE(updates.largest_log, 80u);

  // Deletes: the log is rewritten once it holds twice the live records, long before the deletes
  // reach the 40 records of the last rewrite.
  CompactionTrace deletes;
  trace_writes(*c, 14, deletes, [&](std::size_t i) { ASSERT_TRUE(c->remove(i).value()); });
  EXPECT_EQ(deletes.compacted_at, (std::vector<std::size_t>{26}));
  EXPECT_LE(deletes.largest_log, 2 * 27u);

  const CollectionState before = capture(*c);
  c.reset();
  EXPECT_EQ(capture(*open_or_die(dir)), before);
}

// Sessions that each write fewer records than the threshold: the opening counts what earlier
// sessions appended, so the log stays within twice the live records plus the threshold.
TEST(CompactionTest, ShortSessionsStillCompact) {
  for (const IndexType type : {IndexType::Flat, IndexType::Hnsw}) {
    SCOPED_TRACE(static_cast<int>(type));
    TempDir tmp;
    const std::string dir = tmp.file("c");
    CollectionMeta meta = meta_of(type);
    meta.wal_compact_threshold = 20;
    constexpr std::size_t kLive = 50;
    {
      auto c = create_or_die(dir, meta);
      for (std::uint64_t id = 0; id < kLive; ++id) ASSERT_TRUE(c->upsert(id, vec(id, 4), {}));
    }
    std::size_t largest = 0;
    std::size_t compactions = 0;
    for (std::uint64_t session = 1; session <= 12; ++session) {
      auto c = open_or_die(dir);
      const std::size_t log_at_open = testing::log_bodies(dir + "/wal.log").size();
      EXPECT_EQ(c->wal_appended(), log_at_open - kLive);
      for (std::uint64_t i = 0; i < 15; ++i) {
        const std::uint64_t id = (session * 15 + i) % kLive;
        ASSERT_TRUE(c->upsert(id, vec(id, 4, session), std::nullopt));
        if (c->wal_appended() == 0) ++compactions;
      }
      largest = std::max(largest, testing::log_bodies(dir + "/wal.log").size());
    }
    EXPECT_GE(compactions, 3u);
    EXPECT_LE(largest, 2 * kLive + meta.wal_compact_threshold);
  }
}

// A flat collection updated by many sessions keeps about one row per live vector after the
// replay, and the live writes keep at most about two between compactions.
TEST(CompactionTest, FlatRowsStayNearTheLiveCount) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  constexpr std::size_t kLive = 3 * Collection::kMinDeadRows;
  CollectionMeta meta = meta_of(IndexType::Flat);
  meta.wal_compact_threshold = 1000000;  // out of reach: only the rows are bounded
  CollectionState before;
  {
    auto c = create_or_die(dir, meta);
    for (std::uint64_t round = 0; round < 4; ++round) {
      std::vector<CollectionEntry> batch;
      for (std::uint64_t id = 0; id < kLive; ++id) batch.push_back({id, vec(id, 4, round), {}});
      ASSERT_TRUE(c->upsert_batch(std::move(batch)));
      EXPECT_LE(c->index().iter()->size_hint().second, 2 * kLive);
    }
    for (std::uint64_t i = 0; i < 2 * kLive; ++i) {
      ASSERT_TRUE(c->upsert(i % kLive, vec(i % kLive, 4, 9 + i), std::nullopt));
      ASSERT_LE(c->index().iter()->size_hint().second, 2 * kLive);
    }
    before = capture(*c);
  }
  auto c = open_or_die(dir);
  EXPECT_EQ(testing::log_bodies(dir + "/wal.log").size(), 6 * kLive);
  EXPECT_LE(c->index().iter()->size_hint().second, 2 * kLive);
  EXPECT_EQ(capture(*c), before);
}

TEST(CompactionTest, EmptyCollectionLeavesEmptyLogAndNoHnswGraph) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  auto c = create_or_die(dir, meta_of(IndexType::Hnsw));
  ASSERT_TRUE(c->upsert_hybrid(1, vec(1, 4), sparse_of({1}, {1.0f}), std::nullopt));
  ASSERT_TRUE(c->compact_wal());
  EXPECT_TRUE(fs::exists(dir + "/hnsw.graph"));
  EXPECT_TRUE(fs::exists(dir + "/sparse.bin"));
  ASSERT_TRUE(c->remove(1));
  ASSERT_TRUE(c->compact_wal());
  EXPECT_EQ(file_size(dir + "/wal.log"), 0u);
  EXPECT_FALSE(fs::exists(dir + "/sparse.bin"));
  c.reset();
  // The graph saved at the first compaction is not brought back by the opening.
  EXPECT_EQ(open_or_die(dir)->len(), 0u);
}

TEST(CompactionTest, MemoryMappedCacheNeverBringsBackDeletedVectors) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  create_or_die(dir, meta_of(IndexType::MmapFlat)).reset();
  {
    auto c = open_or_die(dir);
    ASSERT_TRUE(c->upsert(1, vec(1, 4), std::nullopt));
    ASSERT_TRUE(c->upsert(2, vec(2, 4), std::nullopt));
  }
  open_or_die(dir).reset();  // writes "vectors.mmap" holding 1 and 2
  ASSERT_TRUE(fs::exists(dir + "/vectors.mmap"));
  {
    auto c = open_or_die(dir);
    ASSERT_TRUE(c->remove(2).value());
    ASSERT_TRUE(c->compact_wal());  // the log no longer mentions 2 at all
  }
  auto c = open_or_die(dir);
  EXPECT_EQ(c->len(), 1u);
  EXPECT_EQ(capture(*c).vectors.count(2), 0u);
}

TEST(CompactionTest, DamagedMemoryMappedCacheIsRebuiltFromTheLog) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  CollectionState before;
  {
    auto c = create_or_die(dir, meta_of(IndexType::MmapFlat));
    ASSERT_TRUE(c->upsert(1, vec(1, 4), obj("a", num(1))));
    before = capture(*c);
  }
  testing::write_file(dir + "/vectors.mmap", {'K', 'V', 'E', 'C', 0, 0});
  EXPECT_EQ(capture(*open_or_die(dir)), before);
  EXPECT_GE(file_size(dir + "/vectors.mmap"), 32u);  // the opening wrote it anew

  // The factory on its own also treats a damaged file as an empty cache.
  testing::write_file(dir + "/vectors.mmap", {'X', 'X'});
  auto index = create_index(meta_of(IndexType::MmapFlat), dir);
  ASSERT_TRUE(index);
  EXPECT_EQ((*index)->len(), 0u);
  EXPECT_FALSE(fs::exists(dir + "/vectors.mmap"));
}

// --- reopening an HNSW collection from its saved graph ---

// Every opening ends with the replayed vectors in a graph of the collection's own settings, as
// searchable as one built from the log; a graph that cannot be trusted is built anew and saved, so
// the next opening loads it and inserts nothing.
TEST(ReopenTest, HnswGraphIsMadeToAgreeWithTheReplayedLog) {
  constexpr std::size_t kDims = 8;
  const auto rewrite_graph = [](const std::string& dir,
                                const std::function<void(std::vector<std::uint8_t>&)>& change) {
    std::vector<std::uint8_t> bytes = testing::read_file(dir + "/hnsw.graph");
    change(bytes);
    testing::write_file(dir + "/hnsw.graph", bytes);
  };
  // Graphs of the collection's settings: ids [begin, end), the first `same` of them with the
  // vector the log ends with for them.
  const auto write_graph = [](std::uint64_t begin, std::uint64_t end, std::uint64_t same) {
    return [=](const std::string& dir) {
      HnswIndex graph(kDims, Metric::L2, 64, 32, 8);
      for (std::uint64_t id = begin; id < end; ++id) {
        ASSERT_TRUE(graph.add(id, vec(id, kDims, id < begin + same ? 0 : 9)));
      }
      ASSERT_TRUE(graph.save(dir + "/hnsw.graph"));
    };
  };
  struct Case {
    const char* name;
    std::function<void(const std::string& dir)> tamper;  // run on the closed directory
    bool loaded;  // the compaction's graph was reconciled rather than built anew
  };
  const Case cases[] = {
      {"saved at the compaction", [](const std::string&) {}, true},
      {"settings changed in meta.json",
       [](const std::string& dir) {
         CollectionMeta changed = *CollectionMeta::from_json(read_text(dir + "/meta.json"));
         changed.hnsw_config->m = 6;
         const std::string text = changed.to_json();
         testing::write_file(dir + "/meta.json",
                             std::vector<std::uint8_t>(text.begin(), text.end()));
       },
       false},
      // 280 of its nodes hold a replayed vector, 320 another one.
      {"foreign graph of the same settings", write_graph(100, 700, 280), false},
      // 300 of the 1180 replayed vectors, and nothing else.
      {"graph holding too few of the vectors", write_graph(100, 400, 300), false},
      {"zero-filled graph",
       [](const std::string& dir) {
         testing::write_file(dir + "/hnsw.graph", std::vector<std::uint8_t>(41, 0));
       },
       false},
      {"graph of another metric",
       [&](const std::string& dir) {
         rewrite_graph(dir, [](std::vector<std::uint8_t>& b) { b[b.size() - 16] = 1; });
       },
       false},
      {"graph saved without a trailer",
       [&](const std::string& dir) {
         rewrite_graph(dir, [](std::vector<std::uint8_t>& b) {
           b.resize(b.size() - HnswIndex::kGraphTrailerBytes);
         });
       },
       false},
      {"graph under the earlier trailer magic",
       [&](const std::string& dir) {
         rewrite_graph(dir, [](std::vector<std::uint8_t>& b) {
           std::memcpy(b.data() + b.size() - HnswIndex::kGraphTrailerBytes, "HNSWSUM1", 8);
           const std::uint32_t sum = crc32c(std::span(b.data(), b.size() - 4));
           std::memcpy(b.data() + b.size() - 4, &sum, 4);
         });
       },
       false},
      {"damaged graph that still parses",  // a bit of the first node's vector
       [&](const std::string& dir) {
         rewrite_graph(dir, [](std::vector<std::uint8_t>& b) { b[28] ^= 0x40; });
       },
       false},
      {"truncated graph",
       [&](const std::string& dir) {
         rewrite_graph(dir, [](std::vector<std::uint8_t>& b) { b.resize(b.size() / 2); });
       },
       false},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TempDir tmp;
    const std::string dir = tmp.file("c");
    CollectionState before;
    {
      CollectionMeta meta = meta_of(IndexType::Hnsw, kDims);
      meta.hnsw_config = HnswConfig{64, 32, 8};
      auto c = create_or_die(dir, meta);
      for (std::uint64_t id = 0; id < 600; ++id) {
        ASSERT_TRUE(c->upsert(id, vec(id, kDims), obj("i", num(id))));
      }
      ASSERT_TRUE(c->compact_wal());
      ASSERT_TRUE(fs::exists(dir + "/hnsw.graph"));
      // Later writes that the graph does not know: 42 of its nodes change or go.
      for (std::uint64_t id = 0; id < 20; ++id) ASSERT_TRUE(c->upsert(id, vec(id, kDims, 1), {}));
      ASSERT_TRUE(c->upsert(30, vec(30, kDims), obj("same", num(1))));  // the vector it had
      for (std::uint64_t id = 40; id < 60; ++id) ASSERT_TRUE(c->remove(id).value());
      ASSERT_TRUE(c->remove(70).value());
      ASSERT_TRUE(c->upsert(70, vec(70, kDims, 2), std::nullopt));
      ASSERT_TRUE(c->upsert_hybrid(80, vec(80, kDims, 3), sparse_of({2}, {1.0f}), std::nullopt));
      std::vector<CollectionEntry> batch;
      for (std::uint64_t id = 1000; id < 1600; ++id) batch.push_back({id, vec(id, kDims), {}});
      ASSERT_TRUE(c->upsert_batch(std::move(batch)));
      before = capture(*c);
    }
    tc.tamper(dir);
    const std::uint64_t m = CollectionMeta::from_json(read_text(dir + "/meta.json"))->hnsw_config->m;
    fs::copy(dir, tmp.file("rebuilt"), fs::copy_options::recursive);
    fs::remove(tmp.file("rebuilt/hnsw.graph"));

    auto c = open_or_die(dir);
    const CollectionState got = capture(*c);
    EXPECT_EQ(got, before) << testing::first_difference(got, before);
    EXPECT_EQ(c->len(), before.vectors.size());
    EXPECT_EQ(dynamic_cast<const HnswIndex&>(c->index()).graph().m(), m);
    EXPECT_GE(own_vector_reach(*c), 0.97);
    const Collection::GraphOpening& opened = c->graph_opening();
    EXPECT_EQ(opened.loaded, tc.loaded);
    EXPECT_EQ(opened.kept, tc.loaded ? 558u : 0u);
    EXPECT_EQ(opened.removed, tc.loaded ? 42u : 0u);
    EXPECT_EQ(opened.inserted, before.vectors.size() - opened.kept);
    EXPECT_TRUE(opened.saved);
    const CollectionState rebuilt = capture(*open_or_die(tmp.file("rebuilt")));
    EXPECT_EQ(got, rebuilt) << testing::first_difference(got, rebuilt);

    // The saved graph is the one the next opening uses as it stands.
    const HnswGraphSnapshot graph = dynamic_cast<const HnswIndex&>(c->index()).graph().to_snapshot();
    c.reset();
    c = open_or_die(dir);
    EXPECT_EQ(capture(*c), before);
    const Collection::GraphOpening& again = c->graph_opening();
    EXPECT_TRUE(again.loaded);
    EXPECT_EQ(again.kept, before.vectors.size());
    EXPECT_EQ(again.inserted + again.removed, 0u);
    EXPECT_FALSE(again.saved);
    EXPECT_EQ(dynamic_cast<const HnswIndex&>(c->index()).graph().to_snapshot(), graph);
  }
}

// After writes that no compaction followed, the first opening (for a restore, the restore's own)
// saves the graph; the opening after it loads that graph and inserts nothing.
TEST(ReopenTest, FirstOpeningAfterUncompactedWritesSavesTheGraph) {
  constexpr std::size_t kDims = 8;
  const auto rows = [](std::uint64_t begin, std::uint64_t end) {
    std::vector<CollectionEntry> batch;
    for (std::uint64_t id = begin; id < end; ++id) batch.push_back({id, vec(id, kDims), {}});
    return batch;
  };
  struct Case {
    const char* name;
    // Leaves 2000 live vectors in `dir`; returns the collection that a restore reopened, if any.
    std::function<std::unique_ptr<Collection>(const std::string& dir)> event;
  };
  const Case cases[] = {
      {"a writer that exits",
       [&](const std::string& dir) {
         EXPECT_TRUE(open_or_die(dir)->upsert_batch(rows(0, 2000)));
         return std::unique_ptr<Collection>();
       }},
      {"a writer killed after acknowledged writes",
       [&](const std::string& dir) {
         EXPECT_TRUE(open_or_die(dir)->upsert_batch(rows(0, 1200)));
         open_or_die(dir).reset();  // saves the graph of the first 1200
         const pid_t child = ::fork();
         if (child == 0) {
           Result<std::unique_ptr<Collection>> c = Collection::open(dir);
           if (c && (*c)->upsert_batch(rows(1200, 2000))) ::raise(SIGKILL);
           ::_exit(1);
         }
         int status = 0;
         EXPECT_EQ(::waitpid(child, &status, 0), child);
         EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
         return std::unique_ptr<Collection>();
       }},
      {"a restore",
       [&](const std::string& dir) {
         std::unique_ptr<Collection> c = open_or_die(dir);
         EXPECT_TRUE(c->upsert_batch(rows(0, 2000)));
         EXPECT_TRUE(create_snapshot(*c, "s"));
         for (std::uint64_t id = 0; id < 2000; id += 2) EXPECT_TRUE(c->remove(id));
         EXPECT_TRUE(restore_snapshot(c, "s"));
         return c;
       }},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TempDir tmp;
    const std::string dir = tmp.file("c");
    CollectionMeta meta = meta_of(IndexType::Hnsw, kDims);
    meta.hnsw_config = HnswConfig{32, 16, 6};
    create_or_die(dir, meta).reset();
    std::unique_ptr<Collection> c = tc.event(dir);
    if (!c) c = open_or_die(dir);
    EXPECT_EQ(c->len(), 2000u);
    EXPECT_TRUE(c->graph_opening().saved);
    EXPECT_GT(c->graph_opening().inserted, 0u);
    const CollectionState first = capture(*c);
    c.reset();
    c = open_or_die(dir);
    EXPECT_EQ(capture(*c), first);
    EXPECT_TRUE(c->graph_opening().loaded);
    EXPECT_EQ(c->graph_opening().kept, 2000u);
    EXPECT_EQ(c->graph_opening().inserted + c->graph_opening().removed, 0u);
    EXPECT_FALSE(c->graph_opening().saved);
  }
}

TEST(ReopenTest, HnswGraphBesideAnEmptyLogOpensEmpty) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  {
    auto c = create_or_die(dir, meta_of(IndexType::Hnsw));
    ASSERT_TRUE(c->upsert(1, vec(1, 4), obj("a", num(1))));
    ASSERT_TRUE(c->compact_wal());
  }
  for (const bool log_present : {true, false}) {
    SCOPED_TRACE(log_present);
    if (log_present) {
      testing::write_file(dir + "/wal.log", {});
    } else {
      fs::remove(dir + "/wal.log");
    }
    auto c = open_or_die(dir);
    EXPECT_EQ(c->len(), 0u);
    EXPECT_TRUE(c->search(vec(1, 4), 1).value().empty());
    // The graph of vectors the log no longer holds is not loaded again.
    EXPECT_FALSE(fs::exists(dir + "/hnsw.graph"));
  }
}

// --- promotion ---

TEST(PromotionTest, FlatCollectionBecomesHnswAtTheThreshold) {
  struct Case {
    std::optional<HnswConfig> promotion;
    HnswConfig recorded;
  };
  for (const Case& tc : {Case{std::nullopt, HnswConfig{200, 50, 12}},
                         Case{HnswConfig{100, 10, 16}, HnswConfig{100, 10, 16}}}) {
    TempDir tmp;
    const std::string dir = tmp.file("c");
    CollectionMeta meta = meta_of(IndexType::Flat);
    meta.auto_promote_threshold = 3;
    meta.promotion_hnsw_config = tc.promotion;
    auto c = create_or_die(dir, meta);
    ASSERT_TRUE(c->upsert(1, vec(1, 4), obj("a", num(1))));
    ASSERT_TRUE(c->upsert(2, vec(2, 4), std::nullopt));
    EXPECT_EQ(c->meta().index_type, IndexType::Flat);
    ASSERT_TRUE(c->upsert(3, vec(3, 4), std::nullopt));
    EXPECT_EQ(c->meta().index_type, IndexType::Hnsw);
    EXPECT_EQ(c->meta().hnsw_config, tc.recorded);
    EXPECT_EQ(c->meta().auto_promote_threshold, std::optional<std::uint64_t>(3));
    const auto* hnsw = dynamic_cast<const HnswIndex*>(&c->index());
    ASSERT_NE(hnsw, nullptr);
    EXPECT_EQ(hnsw->m(), tc.recorded.m);

    const auto on_disk = CollectionMeta::from_json(read_text(dir + "/meta.json"));
    ASSERT_TRUE(on_disk);
    EXPECT_EQ(*on_disk, c->meta());
    EXPECT_FALSE(fs::exists(dir + "/meta.json.tmp"));

    // The promoted graph is saved, and the reopening uses it as it stands.
    const CollectionState before = capture(*c);
    c.reset();
    auto reopened = open_or_die(dir);
    EXPECT_EQ(reopened->meta().index_type, IndexType::Hnsw);
    EXPECT_EQ(capture(*reopened), before);
    EXPECT_TRUE(reopened->graph_opening().loaded);
    EXPECT_EQ(reopened->graph_opening().inserted, 0u);
  }
}

// A promotion whose "meta.json" cannot be replaced leaves the collection flat in memory, as the
// disk names it, and the next upsert promotes it.
TEST(PromotionTest, FailedMetadataRenameLeavesTheCollectionAsTheDiskNamesIt) {
  TempDir tmp;
  const std::string dir = tmp.file("c");
  CollectionMeta meta = meta_of(IndexType::Flat);
  meta.auto_promote_threshold = 2;
  auto c = create_or_die(dir, meta);
  ASSERT_TRUE(c->upsert(1, vec(1, 4), std::nullopt));
  const std::string saved = read_text(dir + "/meta.json");
  // A non-empty directory in its place refuses the rename.
  fs::remove(dir + "/meta.json");
  fs::create_directories(dir + "/meta.json/blocker");
  const Result<> r = c->upsert(2, vec(2, 4), std::nullopt);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
  EXPECT_EQ(c->meta().index_type, IndexType::Flat);
  EXPECT_EQ(dynamic_cast<const HnswIndex*>(&c->index()), nullptr);
  const CollectionState live = capture(*c);
  EXPECT_EQ(live.vectors.size(), 2u);

  fs::remove_all(dir + "/meta.json");
  testing::write_file(dir + "/meta.json", std::vector<std::uint8_t>(saved.begin(), saved.end()));
  {
    auto reopened = open_or_die(dir);
    EXPECT_EQ(reopened->meta().index_type, IndexType::Flat);
    EXPECT_EQ(capture(*reopened), live);
  }
  ASSERT_TRUE(c->upsert(3, vec(3, 4), std::nullopt));
  EXPECT_EQ(c->meta().index_type, IndexType::Hnsw);
}

TEST(PromotionTest, OnlyFlatCollectionsPromote) {
  TempDir tmp;
  CollectionMeta meta = meta_of(IndexType::Fp16Flat);
  meta.auto_promote_threshold = 1;
  auto c = create_or_die(tmp.file("c"), meta);
  ASSERT_TRUE(c->upsert(1, vec(1, 4), std::nullopt));
  EXPECT_EQ(c->meta().index_type, IndexType::Fp16Flat);
}

// --- search ---

TEST(SearchTest, FilterKeepsIndexOrderAndFindsKPassingHits) {
  TempDir tmp;
  auto c = create_or_die(tmp.file("c"), meta_of(IndexType::Flat, 1));
  for (std::uint64_t id = 0; id < 100; ++id) {
    std::optional<Payload> p;
    if (id == 7 || id == 23 || id == 41 || id == 77) p = obj("keep", Payload::boolean(true));
    if (id == 2) p = Payload();  // a stored null
    if (id == 3) p = obj("keep", Payload::boolean(false));
    ASSERT_TRUE(c->upsert(id, std::vector<float>{static_cast<float>(id)}, std::move(p)));
  }
  const std::vector<float> q = {0.0f};
  const auto keep = FilterCondition::deserialize(obj("keep", obj("$eq", Payload::boolean(true))));
  const auto all = FilterCondition::deserialize(obj("$and", Payload::array({})));
  const auto none = FilterCondition::deserialize(obj("$or", Payload::array({})));
  ASSERT_TRUE(keep && all && none);
  const auto ids = [&](std::uint64_t k, const FilterCondition* f) {
    auto hits = c->search_filtered(q, k, f);
    EXPECT_TRUE(hits);
    std::vector<std::uint64_t> out;
    for (const auto& h : *hits) out.push_back(h.id);
    return out;
  };
  using Ids = std::vector<std::uint64_t>;
  EXPECT_EQ(ids(3, &*keep), (Ids{7, 23, 41}));
  EXPECT_EQ(ids(5, &*keep), (Ids{7, 23, 41, 77}));  // 77 lies beyond ten times k: all 4 pass
  EXPECT_EQ(ids(std::numeric_limits<std::uint64_t>::max(), &*keep), (Ids{7, 23, 41, 77}));
  EXPECT_EQ(ids(0, &*keep), Ids{});
  EXPECT_EQ(ids(4, &*all), (Ids{0, 1, 2, 3}));  // ids without payload are tested as null
  EXPECT_EQ(ids(4, &*none), Ids{});
  EXPECT_EQ(ids(3, nullptr), (Ids{0, 1, 2}));

  auto hits = c->search_filtered(q, 4, nullptr).value();
  EXPECT_FALSE(hits[1].payload.has_value());
  ASSERT_TRUE(hits[2].payload.has_value());
  EXPECT_TRUE(hits[2].payload->is_null());
  EXPECT_EQ(hits[3].payload->to_compact_text(), "{\"keep\":false}");
  EXPECT_EQ(hits[3].distance, 3.0f);

  auto wrong = c->search_filtered(std::vector<float>{1.0f, 2.0f}, 3, &*keep);
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().kind(), ErrorKind::DimensionMismatch);
}

FilterCondition filter_of(const std::string& json) {
  Result<Payload> value = Payload::from_text(json);
  EXPECT_TRUE(value.has_value()) << json;
  auto f = FilterCondition::deserialize(*value);
  EXPECT_TRUE(f.has_value()) << json;
  return std::move(f).value();
}

// A collection of `count` random vectors whose payload is {"t": id % 100}, except that every
// seventh id has none and ids 5, 505 and 1505 also carry "rare". The inverted files have 4 lists
// and probe `nprobe` of them.
std::unique_ptr<Collection> tagged_collection(const std::string& dir, IndexType type,
                                              std::size_t count, std::size_t dims,
                                              std::uint64_t nprobe = 4) {
  CollectionMeta meta = meta_of(type, dims);
  if (type == IndexType::Ivf) meta.ivf_config->nprobe = nprobe;
  if (type == IndexType::IvfPq) {
    meta.ivf_pq_config->pq.m = 4;
    meta.ivf_pq_config->nprobe = nprobe;
  }
  auto c = create_or_die(dir, meta);
  const std::vector<float> data = testing::random_vectors(count, dims, 99);
  std::vector<CollectionEntry> entries;
  for (std::uint64_t id = 0; id < count; ++id) {
    std::optional<Payload> p;
    if (id % 7 != 0) {
      Payload::Object members;
      if (id == 5 || id == 505 || id == 1505) members.emplace_back("rare", Payload::boolean(true));
      members.emplace_back("t", num(id % 100));
      p = Payload::object(std::move(members));
    }
    entries.push_back({id,
                       std::vector<float>(data.begin() + id * dims, data.begin() + (id + 1) * dims),
                       std::move(p)});
  }
  EXPECT_TRUE(c->upsert_batch(std::move(entries)));
  c->flush_wal().value();
  return c;
}

bool passes(const Collection& c, const FilterCondition& f, std::uint64_t id) {
  const Payload* p = c.payload(id);
  return f.matches(p ? *p : Payload());
}

const char* const kFilters[] = {
    R"({"t": {"$eq": 7}})",        // 1 %
    R"({"t": {"$lt": 10}})",       // 10 %
    R"({"t": {"$gte": 50}})",      // 50 %
    R"({"rare": {"$eq": true}})",  // 3 vectors: fewer than k
    R"({"t": {"$eq": 1000}})",     // none
    R"({"$and": []})",             // all, those without payload included
    R"({"t": {"$ne": 3}})",        // no payload: no match
};

TEST(SearchTest, FilteredSearchOfExactIndexesIsTheExactAnswer) {
  constexpr std::size_t kCount = 2000, kDims = 16;
  // IVF probes all of its lists here, so it is exact too.
  for (const IndexType type : {IndexType::Flat, IndexType::Fp16Flat, IndexType::QuantizedFlat,
                               IndexType::BinaryFlat, IndexType::MmapFlat, IndexType::Ivf}) {
    SCOPED_TRACE(index_type_json_name(type));
    TempDir tmp;
    const auto c = tagged_collection(tmp.file("c"), type, kCount, kDims);
    const std::vector<float> queries = testing::random_vectors(3, kDims, 5);
    for (std::size_t qi = 0; qi < 3; ++qi) {
      const std::span<const float> q(queries.data() + qi * kDims, kDims);
      // The index's own ranking of every vector; the filtered answer is its passing prefix.
      const std::vector<CollectionHit> all = c->search(q, kCount).value();
      ASSERT_EQ(all.size(), kCount);
      std::map<std::uint64_t, float> distance_of;
      for (const CollectionHit& h : all) distance_of[h.id] = h.distance;
      for (const char* text : kFilters) {
        const FilterCondition f = filter_of(text);
        for (const std::uint64_t k : {1, 10, 50}) {
          SCOPED_TRACE(std::string(text) + " k=" + std::to_string(k));
          std::vector<float> want;
          for (const CollectionHit& h : all) {
            if (want.size() < k && passes(*c, f, h.id)) want.push_back(h.distance);
          }
          const std::vector<CollectionHit> got = c->search_filtered(q, k, &f).value();
          // Distances decide, not the order of equal ones (binary distances tie often).
          std::vector<float> got_distances;
          std::set<std::uint64_t> seen;
          for (const CollectionHit& h : got) {
            EXPECT_TRUE(passes(*c, f, h.id)) << h.id;
            EXPECT_TRUE(seen.insert(h.id).second) << h.id;
            EXPECT_EQ(h.distance, distance_of.at(h.id)) << h.id;
            got_distances.push_back(h.distance);
          }
          EXPECT_EQ(got_distances, want);
        }
      }
    }
  }
}

TEST(SearchTest, FilteredSearchOfApproximateIndexesFindsKPassingHits) {
  constexpr std::size_t kCount = 2000, kDims = 16;
  for (const IndexType type : {IndexType::Hnsw, IndexType::Ivf, IndexType::IvfPq}) {
    SCOPED_TRACE(index_type_json_name(type));
    TempDir tmp;
    // The inverted files probe one list of four: a filtered search probes further.
    const auto c = tagged_collection(tmp.file("c"), type, kCount, kDims, /*nprobe=*/1);
    const std::vector<float> q = testing::random_vectors(1, kDims, 5);
    for (const char* text : kFilters) {
      const FilterCondition f = filter_of(text);
      std::size_t passing = 0;
      for (std::uint64_t id = 0; id < kCount; ++id) passing += passes(*c, f, id) ? 1 : 0;
      for (const std::uint64_t k : {1, 10, 50}) {
        SCOPED_TRACE(std::string(text) + " k=" + std::to_string(k));
        const std::vector<CollectionHit> got = c->search_filtered(q, k, &f).value();
        EXPECT_EQ(got.size(), std::min<std::size_t>(k, passing));
        for (std::size_t i = 0; i < got.size(); ++i) {
          EXPECT_TRUE(passes(*c, f, got[i].id)) << got[i].id;
          if (i > 0) {
            EXPECT_LE(got[i - 1].distance, got[i].distance);
          }
        }
      }
    }
  }
}

TEST(LiveRecordTest, CarriesPayloadAndSparseBytes) {
  TempDir tmp;
  auto c = create_or_die(tmp.file("c"), meta_of(IndexType::Flat, 2));
  ASSERT_TRUE(c->upsert_hybrid(4, std::vector<float>{1.0f, 2.0f}, sparse_of({3}, {0.5f}),
                               obj("a", num(1))));
  ASSERT_TRUE(c->upsert(5, std::vector<float>{3.0f, 4.0f}, std::nullopt));
  const auto records = c->collect_live_records();
  ASSERT_EQ(records.size(), 2u);
  for (const WalEntry& r : records) {
    EXPECT_EQ(r.kind, WalEntry::Kind::Add);
    if (r.id == 4) {
      EXPECT_EQ(r.payload, std::optional<std::string>("{\"a\":1}"));
      EXPECT_EQ(r.sparse, sparse_of({3}, {0.5f}).encode());
    } else {
      EXPECT_EQ(r.id, 5u);
      EXPECT_FALSE(r.payload || r.sparse);
    }
  }
}

}  // namespace
}  // namespace sorvel
