#include "collection/snapshot.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "check.h"
#include "collection/collection.h"
#include "collection/collection_meta.h"
#include "collection/index_factory.h"
#include "collection/wal.h"
#include "payload/payload.h"
#include "str_cat.h"
#include "testing/collection_state.h"
#include "testing/temp_dir.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

namespace fs = std::filesystem;

std::string text_of(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

void write_text(const std::string& path, const std::string& text) {
  testing::write_file(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Every record of a log file, in order.
std::vector<WalEntry> read_log(const std::string& path) {
  const std::vector<std::uint8_t> bytes = testing::read_file(path);
  std::vector<WalEntry> out;
  std::size_t at = 0;
  while (at + 4 <= bytes.size()) {
    std::uint32_t length = 0;
    std::memcpy(&length, bytes.data() + at, 4);
    Result<WalEntry> e = WalEntry::decode(std::span(bytes.data() + at + 4, length));
    EXPECT_TRUE(e.has_value());
    if (e) out.push_back(std::move(e).value());
    at += 4 + length;
  }
  EXPECT_EQ(at, bytes.size());
  return out;
}

// The files of a collection directory (snapshots left out): relative path -> content, with
// directories marked, so two states compare byte for byte.
std::map<std::string, std::string> files_of(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
    const std::string rel = fs::relative(e.path(), dir).string();
    if (rel.rfind("snapshots", 0) == 0) continue;
    out[rel] = e.is_directory() ? "<dir>" : text_of(testing::read_file(e.path().string()));
  }
  return out;
}

SparseVector sparse_of(std::vector<std::uint32_t> indices, std::vector<float> values) {
  return SparseVector{std::move(indices), std::move(values)};
}

Payload payload_of(const std::string& json) { return *Payload::from_text(json); }

// What a collection holds, for comparing a restored collection with the state it was snapshotted
// in: id -> (vector, payload text, sparse vector).
struct Held {
  std::vector<float> vector;
  std::optional<std::string> payload;
  std::optional<SparseVector> sparse;
  bool operator==(const Held&) const = default;
};
std::map<std::uint64_t, Held> contents(const Collection& c) {
  std::map<std::uint64_t, Held> out;
  const std::unique_ptr<IndexIterator> it = c.index().iter();
  while (std::optional<IndexItem> item = it->next()) {
    Held h;
    h.vector = item->vector;
    if (const Payload* p = c.payload(item->id)) h.payload = p->to_compact_text();
    if (const SparseVector* s = c.sparse().find(item->id)) h.sparse = *s;
    out.emplace(item->id, std::move(h));
  }
  return out;
}

class SnapshotTest : public ::testing::Test {
 public:
  std::unique_ptr<Collection> make(IndexType type = IndexType::Flat) {
    Result<std::unique_ptr<Collection>> c =
        Collection::create(dir(), CollectionMeta::for_new_collection("docs", 2, Metric::L2, type));
    EXPECT_TRUE(c.has_value());
    return std::move(c).value();
  }

  // Three vectors: 1 with payload and sparse vector, 2 with a sparse vector, 3 with neither.
  void fill(Collection& c) {
    ASSERT_TRUE(c.upsert_hybrid(1, std::vector<float>{1.0f, 0.0f}, sparse_of({3, 7}, {0.5f, 2.0f}),
                                payload_of(R"({"tag": "a"})")));
    ASSERT_TRUE(
        c.upsert_hybrid(2, std::vector<float>{0.0f, 1.0f}, sparse_of({7}, {1.0f}), std::nullopt));
    ASSERT_TRUE(c.upsert(3, std::vector<float>{0.5f, 0.5f}, std::nullopt));
  }

  // Changes every part after a snapshot: a new id, a deleted one, a new payload, a new sparse
  // vector.
  void change(Collection& c) {
    ASSERT_TRUE(c.upsert(4, std::vector<float>{9.0f, 9.0f}, payload_of(R"({"new": 1})")));
    ASSERT_TRUE(c.remove(1));
    ASSERT_TRUE(c.upsert_hybrid(3, std::vector<float>{0.25f, 0.75f}, sparse_of({9}, {4.0f}),
                                payload_of("[1]")));
  }

  std::string dir() const { return tmp_.file("docs"); }
  std::string in_dir(const std::string& name) const { return dir() + "/" + name; }
  std::string snap(const std::string& name) const { return dir() + "/snapshots/" + name; }

  testing::TempDir tmp_;
};

// ---- snapshot.json ----

TEST(SnapshotMetaTest, WritesThePrettyLayout) {
  const SnapshotMeta meta{"nightly", 1700000000, 42, 7};
  EXPECT_EQ(meta.to_json(),
            "{\n"
            "  \"name\": \"nightly\",\n"
            "  \"created_at\": 1700000000,\n"
            "  \"vector_count\": 42,\n"
            "  \"sparse_count\": 7\n"
            "}");
  const SnapshotMeta odd{"q\"b\\t\tn\n\x01\xc3\xbc", 0, UINT64_MAX, 0};
  EXPECT_EQ(odd.to_json(),
            "{\n"
            "  \"name\": \"q\\\"b\\\\t\\tn\\n\\u0001\xc3\xbc\",\n"
            "  \"created_at\": 0,\n"
            "  \"vector_count\": 18446744073709551615,\n"
            "  \"sparse_count\": 0\n"
            "}");
  Result<SnapshotMeta> back = SnapshotMeta::from_json(odd.to_json());
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, odd);
}

TEST(SnapshotMetaTest, ReadsObjectAndArrayFormsAndNothingElse) {
  const SnapshotMeta n123{"n", 1, 2, 3};
  struct Case {
    const char* text;
    std::optional<SnapshotMeta> expected;  // nullopt: refused
  };
  const Case cases[] = {
      {R"({"name": "n", "created_at": 1, "vector_count": 2, "sparse_count": 3})", n123},
      {R"({"sparse_count": 3, "vector_count": 2, "created_at": 1, "name": "n"})", n123},
      {R"({"x": {"name": [1, {"created_at": 9}]}, "name": "n", "created_at": 1, "y": null,)"
       R"( "vector_count": 2, "z": [[]], "sparse_count": 3})",
       n123},
      {"\t\r\n [\"n\", 1, 2, 3] \n", n123},
      {R"(["\u00fc\ud83d\ude00", 18446744073709551615, 0, 0])",
       SnapshotMeta{"\xc3\xbc\xf0\x9f\x98\x80", UINT64_MAX, 0, 0}},
      {"{}", std::nullopt},
      {R"({"name": "n", "created_at": 1, "vector_count": 2})", std::nullopt},
      {R"({"name": "n", "name": "m", "created_at": 1, "vector_count": 2, "sparse_count": 3})",
       std::nullopt},
      {R"({"name": 5, "created_at": 1, "vector_count": 2, "sparse_count": 3})", std::nullopt},
      {R"({"name": null, "created_at": 1, "vector_count": 2, "sparse_count": 3})", std::nullopt},
      {R"({"name": "n", "created_at": "1", "vector_count": 2, "sparse_count": 3})", std::nullopt},
      {R"({"name": "n", "created_at": -1, "vector_count": 2, "sparse_count": 3})", std::nullopt},
      {R"({"name": "n", "created_at": 1.0, "vector_count": 2, "sparse_count": 3})", std::nullopt},
      {R"({"name": "n", "created_at": 1e3, "vector_count": 2, "sparse_count": 3})", std::nullopt},
      {R"({"name": "n", "created_at": 18446744073709551616, "vector_count": 2,)"
       R"( "sparse_count": 3})",
       std::nullopt},
      {R"({"name": "n", "created_at": [1], "vector_count": 2, "sparse_count": 3})", std::nullopt},
      {R"({"name": {"n": null}, "created_at": 1, "vector_count": 2, "sparse_count": 3})",
       std::nullopt},
      {R"(["n", 1, 2])", std::nullopt},
      {R"(["n", 1, 2, 3, 4])", std::nullopt},
      {R"(["n", 1, 2, 3, []])", std::nullopt},
      {R"([1, "n", 2, 3])", std::nullopt},
      {R"({"name": "n", "created_at": 1, "vector_count": 2, "sparse_count": 3} x)", std::nullopt},
      {R"({"name": "n", "created_at": 1, "vector_count": 2, "sparse_count": 3)", std::nullopt},
      {R"("n")", std::nullopt},
      {"7", std::nullopt},
      {"null", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    Result<SnapshotMeta> got = SnapshotMeta::from_json(c.text);
    if (c.expected) {
      ASSERT_TRUE(got) << c.text << ": " << got.error().display();
      EXPECT_EQ(*got, *c.expected) << c.text;
    } else {
      ASSERT_FALSE(got) << c.text;
      EXPECT_EQ(got.error().kind(), ErrorKind::Serialization) << c.text;
    }
  }
}

// ---- names ----

TEST(SnapshotNameTest, OneDirectoryEntryBelowSnapshots) {
  const std::string nul("a\0b", 3);
  for (const std::string& name :
       {std::string(""), std::string("."), std::string(".."), std::string("a..b"),
        std::string("..a"), std::string("a/b"), std::string("/"), std::string("a\\b"), nul}) {
    EXPECT_FALSE(is_valid_snapshot_name(name)) << name;
  }
  for (const char* name : {"a", ".a", "a.", "release.2", "a.b.c", " ", "\xc3\xbc", "-"}) {
    EXPECT_TRUE(is_valid_snapshot_name(name)) << name;
  }
  Result<> refused = check_snapshot_name("a/b\"");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display(), "invalid configuration: invalid snapshot name: \"a/b\\\"\"");
}

// ---- create ----

TEST_F(SnapshotTest, CreateWritesTheCollectionsLiveState) {
  std::unique_ptr<Collection> c = make();
  fill(*c);
  ASSERT_TRUE(c->upsert(3, std::vector<float>{0.5f, 0.5f}, std::nullopt));  // a replaced record
  const auto before = std::chrono::system_clock::now();
  Result<SnapshotMeta> meta = create_snapshot(*c, "s1");
  ASSERT_TRUE(meta) << meta.error().display();
  EXPECT_EQ(meta->name, "s1");
  EXPECT_EQ(meta->vector_count, 3u);
  EXPECT_EQ(meta->sparse_count, 2u);
  const auto seconds = [](auto t) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count());
  };
  EXPECT_GE(meta->created_at, seconds(before));
  EXPECT_LE(meta->created_at, seconds(std::chrono::system_clock::now()));

  EXPECT_EQ(testing::read_file(snap("s1/meta.json")), testing::read_file(in_dir("meta.json")));
  EXPECT_EQ(text_of(testing::read_file(snap("s1/snapshot.json"))), meta->to_json());
  EXPECT_TRUE(exists(snap("s1/sparse.bin")));
  EXPECT_FALSE(exists(snap("s1/wal.log.tmp")));
  const std::vector<WalEntry> records = read_log(snap("s1/wal.log"));
  ASSERT_EQ(records.size(), 3u);
  std::set<std::uint64_t> ids;
  for (const WalEntry& r : records) {
    EXPECT_EQ(r.kind, WalEntry::Kind::Add);
    ids.insert(r.id);
    if (r.id == 1) {
      EXPECT_EQ(r.payload, std::optional<std::string>(R"({"tag":"a"})"));
      ASSERT_TRUE(r.sparse);
      EXPECT_EQ(*SparseVector::decode(*r.sparse), sparse_of({3, 7}, {0.5f, 2.0f}));
    }
    if (r.id == 3) {
      EXPECT_FALSE(r.payload);
      EXPECT_FALSE(r.sparse);
    }
  }
  EXPECT_EQ(ids, (std::set<std::uint64_t>{1, 2, 3}));
}

TEST_F(SnapshotTest, CreateWithoutSparseVectorsWritesNoSparseFile) {
  std::unique_ptr<Collection> c = make();
  ASSERT_TRUE(c->upsert(1, std::vector<float>{1.0f, 2.0f}, std::nullopt));
  Result<SnapshotMeta> meta = create_snapshot(*c, "release.2");
  ASSERT_TRUE(meta);
  EXPECT_EQ(meta->sparse_count, 0u);
  EXPECT_TRUE(exists(snap("release.2/wal.log")));
  EXPECT_FALSE(exists(snap("release.2/sparse.bin")));
}

TEST_F(SnapshotTest, CreateRefusals) {
  std::unique_ptr<Collection> c = make();
  fill(*c);
  for (const char* name : {"", "..", "a..b", "x/y", "x\\y"}) {
    Result<SnapshotMeta> r = create_snapshot(*c, name);
    ASSERT_FALSE(r) << name;
    EXPECT_EQ(r.error().display(),
              std::string("invalid configuration: invalid snapshot name: ") + debug_quote(name));
  }
  EXPECT_FALSE(exists(in_dir("snapshots")));  // nothing was created for them

  ASSERT_TRUE(create_snapshot(*c, "s"));
  Result<SnapshotMeta> again = create_snapshot(*c, "s");
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().display(), "snapshot already exists: s");

  write_text(snap("file"), "x");
  ASSERT_TRUE(::symlink("/nonexistent/target", snap("dangling").c_str()) == 0);
  for (const char* name : {"file", "dangling"}) {
    Result<SnapshotMeta> taken = create_snapshot(*c, name);
    ASSERT_FALSE(taken) << name;
    EXPECT_EQ(taken.error().kind(), ErrorKind::SnapshotAlreadyExists) << name;
  }
}

// ---- list ----

TEST_F(SnapshotTest, ListSkipsWhatIsNoReadableSnapshotAndSortsByTime) {
  std::unique_ptr<Collection> c = make();
  Result<std::vector<SnapshotMeta>> none = list_snapshots(*c);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());

  fill(*c);
  ASSERT_TRUE(create_snapshot(*c, "real"));
  // Hand-made records: the listed name is the stored one, not the directory's.
  const std::map<std::string, std::string> records = {
      {"late", SnapshotMeta{"late-name", 4000000000, 1, 0}.to_json()},
      {"early", R"(["early-name", 5, 0, 0])"},
      {"tie-a", SnapshotMeta{"tie-a", 10, 0, 0}.to_json()},
      {"tie-b", SnapshotMeta{"tie-b", 10, 0, 0}.to_json()},
      {"tie-c", SnapshotMeta{"tie-c", 10, 0, 0}.to_json()},
      {"empty-object", "{}"},
      {"broken", "{\"name\": "},
  };
  for (const auto& [dir_name, text] : records) {
    fs::create_directories(snap(dir_name));
    write_text(snap(dir_name + "/snapshot.json"), text);
  }
  fs::create_directories(snap("no-record"));
  write_text(snap("plain-file"), SnapshotMeta{"plain", 1, 0, 0}.to_json());
  fs::create_directories(tmp_.file("elsewhere"));
  write_text(tmp_.file("elsewhere/snapshot.json"), SnapshotMeta{"linked", 7, 0, 0}.to_json());
  ASSERT_EQ(::symlink(tmp_.file("elsewhere").c_str(), snap("link").c_str()), 0);

  // The directory's own listing order decides among equal times.
  std::vector<std::string> ties;
  {
    DIR* d = ::opendir(snap("").c_str());
    ASSERT_NE(d, nullptr);
    while (const dirent* e = ::readdir(d)) {
      const std::string n = e->d_name;
      if (n.rfind("tie-", 0) == 0) ties.push_back(n);
    }
    ::closedir(d);
  }

  Result<std::vector<SnapshotMeta>> listed = list_snapshots(*c);
  ASSERT_TRUE(listed) << listed.error().display();
  std::vector<std::string> names;
  for (const SnapshotMeta& m : *listed) names.push_back(m.name);
  std::vector<std::string> expected = {"early-name", "linked"};
  expected.insert(expected.end(), ties.begin(), ties.end());
  expected.push_back("real");
  expected.push_back("late-name");
  EXPECT_EQ(names, expected);

  // A record that is no regular file is none (a FIFO is never waited on), and neither is a
  // directory whose name no snapshot can have, such as one being deleted.
  fs::create_directories(snap("directory-record/snapshot.json"));
  fs::create_directories(snap("fifo-record"));
  ASSERT_EQ(::mkfifo(snap("fifo-record/snapshot.json").c_str(), 0666), 0);
  fs::create_directories(snap("..deleted"));
  write_text(snap("..deleted/snapshot.json"), SnapshotMeta{"gone", 1, 0, 0}.to_json());
  Result<std::vector<SnapshotMeta>> again = list_snapshots(*c);
  ASSERT_TRUE(again) << again.error().display();
  EXPECT_EQ(again->size(), expected.size());

  // An existing record that cannot be read fails the listing (permission bits do not bind root).
  if (::geteuid() != 0) {
    fs::create_directories(snap("unreadable"));
    write_text(snap("unreadable/snapshot.json"), "{}");
    fs::permissions(snap("unreadable/snapshot.json"), fs::perms::none);
    Result<std::vector<SnapshotMeta>> failed = list_snapshots(*c);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind(), ErrorKind::Io);
  }
}

// ---- restore ----

TEST_F(SnapshotTest, RestoreBringsBackTheSnapshotState) {
  std::unique_ptr<Collection> c = make();
  fill(*c);
  const auto at_snapshot = contents(*c);
  ASSERT_TRUE(create_snapshot(*c, "s"));
  change(*c);
  ASSERT_NE(contents(*c), at_snapshot);

  const Collection* old = c.get();
  ASSERT_TRUE(restore_snapshot(c, "s"));
  EXPECT_NE(c.get(), old);
  EXPECT_EQ(contents(*c), at_snapshot);
  EXPECT_EQ(c->sparse_count(), 2u);
  EXPECT_EQ(c->wal_appended(), 0u);
  for (const char* leftover :
       {"wal.log.restore-old", "meta.json.restore-old", "wal.log.restore-new",
        "sparse.bin.restore-new", "restore.pending", "restore.pending.tmp"}) {
    EXPECT_FALSE(exists(in_dir(leftover))) << leftover;
  }

  // Writes after the restore go to the restored log and survive a reopening.
  ASSERT_TRUE(c->upsert(5, std::vector<float>{5.0f, 5.0f}, std::nullopt));
  auto expected = contents(*c);
  c.reset();
  Result<std::unique_ptr<Collection>> reopened = Collection::open(dir());
  ASSERT_TRUE(reopened);
  EXPECT_EQ(contents(**reopened), expected);

  // The snapshot can be restored again.
  ASSERT_TRUE(restore_snapshot(*reopened, "s"));
  EXPECT_EQ(contents(**reopened), at_snapshot);
}

TEST_F(SnapshotTest, RestoreReplacesOrRemovesEveryFileDerivedFromTheLog) {
  struct Case {
    const char* name;
    IndexType type;
    bool snapshot_sparse;
  };
  const Case cases[] = {
      {"hnsw with sparse vectors", IndexType::Hnsw, true},
      {"flat without sparse vectors in the snapshot", IndexType::Flat, false},
      {"memory-mapped", IndexType::MmapFlat, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::error_code ignored;
    fs::remove_all(dir(), ignored);
    std::unique_ptr<Collection> c = make(k.type);
    if (k.snapshot_sparse) {
      fill(*c);
    } else {
      ASSERT_TRUE(c->upsert(1, std::vector<float>{1.0f, 0.0f}, std::nullopt));
      ASSERT_TRUE(c->upsert(2, std::vector<float>{0.0f, 1.0f}, std::nullopt));
    }
    const auto at_snapshot = contents(*c);
    ASSERT_TRUE(create_snapshot(*c, "s"));
    // Later vectors reach every derived file: sparse.bin and hnsw.graph through a compaction,
    // vectors.mmap through a reopening.
    ASSERT_TRUE(
        c->upsert_hybrid(8, std::vector<float>{3.0f, 3.0f}, sparse_of({1}, {1.0f}), std::nullopt));
    ASSERT_TRUE(c->compact_wal());
    c.reset();
    Result<std::unique_ptr<Collection>> again = Collection::open(dir());
    ASSERT_TRUE(again);
    c = std::move(again).value();
    EXPECT_TRUE(exists(in_dir("sparse.bin")));
    EXPECT_EQ(exists(in_dir("hnsw.graph")), k.type == IndexType::Hnsw);
    EXPECT_EQ(exists(in_dir(std::string(kMmapFileName))), k.type == IndexType::MmapFlat);

    ASSERT_TRUE(restore_snapshot(c, "s"));
    EXPECT_EQ(contents(*c), at_snapshot);
    EXPECT_EQ(exists(in_dir("sparse.bin")), k.snapshot_sparse);
    // The graph saved by the restore's reopening is built from the restored log.
    EXPECT_EQ(exists(in_dir("hnsw.graph")), k.type == IndexType::Hnsw);
    EXPECT_EQ(c->meta().index_type, k.type);

    // Reopening the directory gives the same state: no derived file brings id 8 back.
    c.reset();
    Result<std::unique_ptr<Collection>> reopened = Collection::open(dir());
    ASSERT_TRUE(reopened);
    EXPECT_EQ(contents(**reopened), at_snapshot);
    EXPECT_EQ((*reopened)->sparse().find(8), nullptr);
    EXPECT_EQ((*reopened)->graph_opening().inserted, 0u);
  }
}

TEST_F(SnapshotTest, RestoreBringsBackTheIndexTypeOfTheSnapshot) {
  std::unique_ptr<Collection> c = make();
  fill(*c);
  ASSERT_TRUE(create_snapshot(*c, "flat"));
  ASSERT_TRUE(c->promote_to_hnsw());
  ASSERT_EQ(c->meta().index_type, IndexType::Hnsw);
  ASSERT_TRUE(restore_snapshot(c, "flat"));
  EXPECT_EQ(c->meta().index_type, IndexType::Flat);
  EXPECT_FALSE(c->meta().hnsw_config);
}

TEST_F(SnapshotTest, RestoreAndDeleteRefuseBadNamesAndUnknownSnapshots) {
  std::unique_ptr<Collection> c = make();
  fill(*c);
  ASSERT_TRUE(create_snapshot(*c, "s"));
  // ".." would name the collection directory itself, "." the snapshots directory.
  fs::create_directories(tmp_.file("docs/snapshots/x/y"));
  const auto files_before = files_of(dir());
  const Collection* old = c.get();
  for (const char* name : {"", ".", "..", "x/y", "../s", "s/..", "a\\b"}) {
    Result<> r = restore_snapshot(c, name);
    ASSERT_FALSE(r) << name;
    EXPECT_EQ(r.error().display(),
              std::string("invalid configuration: invalid snapshot name: ") + debug_quote(name));
    Result<> d = delete_snapshot(*c, name);
    ASSERT_FALSE(d) << name;
    EXPECT_EQ(d.error().display(), r.error().display());
  }
  for (const char* name : {"missing", "t"}) {
    Result<> r = restore_snapshot(c, name);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), std::string("snapshot not found: ") + name);
    Result<> d = delete_snapshot(*c, name);
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error().display(), std::string("snapshot not found: ") + name);
  }
  EXPECT_EQ(c.get(), old);
  EXPECT_EQ(files_of(dir()), files_before);
  EXPECT_TRUE(exists(snap("s/snapshot.json")));
  EXPECT_TRUE(exists(snap("x/y")));
}

// Rewrites the snapshot's "meta.json" with another index type (default parameters).
void set_snapshot_index_type(const SnapshotTest& t, IndexType type) {
  Result<CollectionMeta> meta =
      CollectionMeta::from_json(text_of(testing::read_file(t.snap("s/meta.json"))));
  ASSERT_TRUE(meta);
  meta->index_type = type;
  write_text(t.snap("s/meta.json"), meta->to_json());
}

// A restore that fails at any step leaves the collection's files and the registered collection
// as they were, and the old collection keeps writing to the log that is found again on reopening.
TEST_F(SnapshotTest, FailedRestoreLeavesTheCollectionAsItWas) {
  struct Case {
    const char* name;
    void (*inject)(const SnapshotTest& t);
    ErrorKind kind;
  };
  const Case cases[] = {
      {"snapshot log is a dangling link",
       [](const SnapshotTest& t) {
         fs::remove(t.snap("s/wal.log"));
         ASSERT_EQ(::symlink("/nonexistent/wal.log", t.snap("s/wal.log").c_str()), 0);
       },
       ErrorKind::Io},
      {"snapshot metadata is missing",
       [](const SnapshotTest& t) { fs::remove(t.snap("s/meta.json")); }, ErrorKind::Io},
      {"snapshot sparse file is a directory (after two files were copied)",
       [](const SnapshotTest& t) {
         fs::remove(t.snap("s/sparse.bin"));
         fs::create_directories(t.snap("s/sparse.bin/inner"));
       },
       ErrorKind::Io},
      {"a live file cannot be kept aside (after the log was replaced)",
       [](const SnapshotTest& t) {
         fs::create_directories(t.in_dir("meta.json.restore-old/blocker"));
       },
       ErrorKind::Io},
      {"snapshot metadata does not parse (checked before any live file is touched)",
       [](const SnapshotTest& t) { write_text(t.snap("s/meta.json"), "{not json"); },
       ErrorKind::Serialization},
      {"snapshot metadata names an index that cannot be built (checked before the exchange)",
       [](const SnapshotTest& t) { set_snapshot_index_type(t, IndexType::IvfPq); },
       ErrorKind::InvalidConfig},
      {"snapshot metadata names the faiss type (checked before the exchange)",
       [](const SnapshotTest& t) { set_snapshot_index_type(t, IndexType::Faiss); },
       ErrorKind::InvalidConfig},
      {"the restored files do not open (after every file was swapped)",
       [](const SnapshotTest& t) { fs::create_directories(t.in_dir("wal.log.tmp/blocker")); },
       ErrorKind::Io},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::error_code ignored;
    fs::remove_all(dir(), ignored);
    std::unique_ptr<Collection> c = make(IndexType::Hnsw);
    fill(*c);
    ASSERT_TRUE(create_snapshot(*c, "s"));
    change(*c);
    ASSERT_TRUE(c->compact_wal());  // sparse.bin and hnsw.graph exist
    ASSERT_TRUE(c->upsert(6, std::vector<float>{6.0f, 6.0f}, std::nullopt));  // and a log tail
    k.inject(*this);
    const auto files_before = files_of(dir());
    const auto held_before = contents(*c);
    const Collection* old = c.get();

    Result<> r = restore_snapshot(c, "s");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), k.kind) << r.error().display();
    EXPECT_EQ(c.get(), old);
    EXPECT_EQ(contents(*c), held_before);
    EXPECT_EQ(files_of(dir()), files_before);

    // The old collection still logs into "wal.log": its next write is there after reopening.
    ASSERT_TRUE(c->upsert(7, std::vector<float>{7.0f, 7.0f}, payload_of("true")));
    const auto expected = contents(*c);
    c.reset();
    fs::remove_all(in_dir("wal.log.tmp"), ignored);  // a blocker only the restore had to meet
    Result<std::unique_ptr<Collection>> reopened = Collection::open(dir());
    ASSERT_TRUE(reopened);
    EXPECT_EQ(contents(**reopened), expected);
  }
}

// ---- restores cut short ----

// A collection directory "docs" (HNSW, 2 dimensions, no sparse vectors, a compacted log with a
// tail, so "hnsw.graph" exists and "sparse.bin" does not) holding the snapshot "s" of another
// collection with the same name (flat, 3 dimensions, sparse vectors). Every part differs, so any
// mix of the two sets of files opens as neither.
class InterruptedRestoreTest : public SnapshotTest {
 public:
  void SetUp() override {
    {
      const std::string other = tmp_.file("other");
      Result<std::unique_ptr<Collection>> c = Collection::create(
          other, CollectionMeta::for_new_collection("docs", 3, Metric::L2, IndexType::Flat));
      ASSERT_TRUE(c);
      for (std::uint64_t id = 10; id < 14; ++id) {
        const float f = static_cast<float>(id);
        ASSERT_TRUE((*c)->upsert_hybrid(id, std::vector<float>{f, 1.0f, -f},
                                        sparse_of({static_cast<std::uint32_t>(id)}, {f}),
                                        payload_of(R"({"from": "snapshot"})")));
      }
      ASSERT_TRUE(create_snapshot(**c, "s"));
      restored_ = testing::capture(**c);
      fs::create_directories(dir() + "/snapshots");
      fs::copy(other + "/snapshots/s", snap("s"), fs::copy_options::recursive);
    }
    std::unique_ptr<Collection> c = make(IndexType::Hnsw);
    for (std::uint64_t id = 1; id < 6; ++id) {
      const float f = static_cast<float>(id);
      ASSERT_TRUE(c->upsert(id, std::vector<float>{f, -f}, payload_of("\"old\"")));
    }
    ASSERT_TRUE(c->compact_wal());
    ASSERT_TRUE(c->remove(2));
    old_ = testing::capture(*c);
    c.reset();
    ASSERT_TRUE(exists(in_dir("hnsw.graph")));
    ASSERT_FALSE(exists(in_dir("sparse.bin")));
    old_files_ = files_of(dir());
    // What a complete restore leaves: the snapshot's three files and nothing else.
    for (const char* f : {"wal.log", "meta.json", "sparse.bin"}) {
      restored_files_[f] = text_of(testing::read_file(snap(std::string("s/") + f)));
    }
  }

  // Opens the directory and requires exactly one of the two collections, files included; a
  // second opening finds nothing more to do.
  void expect_whole(bool restored) {
    Result<std::unique_ptr<Collection>> c = Collection::open(dir());
    ASSERT_TRUE(c) << c.error().display();
    EXPECT_EQ(testing::capture(**c), restored ? restored_ : old_);
    EXPECT_EQ((*c)->meta().dimensions, restored ? 3u : 2u);
    c->reset();
    EXPECT_EQ(files_of(dir()), restored ? restored_files_ : old_files_);
  }

  testing::CollectionState old_;
  testing::CollectionState restored_;
  std::map<std::string, std::string> old_files_;
  std::map<std::string, std::string> restored_files_;
};

// The marker the restore of the fixture writes, in its two forms.
std::string fixture_marker(const char* state) {
  return std::string("restore ") + state +
         "\n"
         "replace present wal.log\n"
         "replace present meta.json\n"
         "replace absent sparse.bin\n"
         "remove present hnsw.graph\n"
         "remove absent vectors.mmap\n"
         "end\n";
}

// Each row performs the restore's file operations by hand up to the moment of a crash: the
// boundaries of the marker, the middle of the exchange (a new log beside old metadata of other
// dimensions), the fallback without hard links (a live name briefly empty) and the undo states.
TEST_F(InterruptedRestoreTest, EveryCrashStateReopensAsOneWholeCollection) {
  enum Step {
    kStage,           // the three copies, as "<file>.restore-new"
    kTempMarker,      // a marker written but not yet renamed into place
    kMarkPending,     // "restore.pending" in place
    kAsideLog,        // "wal.log.restore-old" as a second link
    kPlaceLog,        // the copy renamed over "wal.log"
    kRenameLogAway,   // "wal.log" renamed to "wal.log.restore-old" (no hard links)
    kExchangeRest,    // metadata aside and placed, sparse file placed, graph aside and removed
    kSaveGraph,       // the reopening saved "hnsw.graph" of the restored log
    kDropAsides,      // the ".restore-old" files removed
    kMarkUndo,        // the marker rewritten into its undo form
    kPutBackLog,      // "wal.log.restore-old" renamed back over "wal.log"
    kRemoveNewFiles,  // the live files that had no old one removed ("sparse.bin")
    kRemoveMarker,
  };
  const auto link = [](const std::string& from, const std::string& to) {
    ASSERT_EQ(::link(from.c_str(), to.c_str()), 0) << from;
  };
  const auto move = [](const std::string& from, const std::string& to) {
    ASSERT_EQ(::rename(from.c_str(), to.c_str()), 0) << from;
  };
  const auto perform = [&](Step step) {
    switch (step) {
      case kStage:
        for (const char* f : {"wal.log", "meta.json", "sparse.bin"}) {
          fs::copy_file(snap(std::string("s/") + f), in_dir(std::string(f) + ".restore-new"));
        }
        break;
      case kTempMarker:
        write_text(in_dir("restore.pending.tmp"), fixture_marker("pending").substr(0, 20));
        break;
      case kMarkPending:
        write_text(in_dir("restore.pending"), fixture_marker("pending"));
        break;
      case kAsideLog:
        link(in_dir("wal.log"), in_dir("wal.log.restore-old"));
        break;
      case kPlaceLog:
        move(in_dir("wal.log.restore-new"), in_dir("wal.log"));
        break;
      case kRenameLogAway:
        move(in_dir("wal.log"), in_dir("wal.log.restore-old"));
        break;
      case kExchangeRest:
        link(in_dir("meta.json"), in_dir("meta.json.restore-old"));
        move(in_dir("meta.json.restore-new"), in_dir("meta.json"));
        move(in_dir("sparse.bin.restore-new"), in_dir("sparse.bin"));
        link(in_dir("hnsw.graph"), in_dir("hnsw.graph.restore-old"));
        ASSERT_EQ(::unlink(in_dir("hnsw.graph").c_str()), 0);
        break;
      case kSaveGraph:
        write_text(in_dir("hnsw.graph"), "a graph of the restored log");
        break;
      case kDropAsides:
        for (const char* f : {"wal.log", "meta.json", "hnsw.graph"}) {
          ASSERT_EQ(::unlink(in_dir(std::string(f) + ".restore-old").c_str()), 0) << f;
        }
        break;
      case kMarkUndo:
        write_text(in_dir("restore.pending"), fixture_marker("undo"));
        break;
      case kPutBackLog:
        move(in_dir("wal.log.restore-old"), in_dir("wal.log"));
        break;
      case kRemoveNewFiles:
        ASSERT_EQ(::unlink(in_dir("sparse.bin").c_str()), 0);
        break;
      case kRemoveMarker:
        ASSERT_EQ(::unlink(in_dir("restore.pending").c_str()), 0);
        break;
    }
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    bool restored;
  };
  const std::vector<Step> exchanged = {kStage, kMarkPending, kAsideLog, kPlaceLog, kExchangeRest};
  const auto then = [&](std::vector<Step> more) {
    std::vector<Step> all = exchanged;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  const Case cases[] = {
      {"copies staged, marker not yet in place", {kStage, kTempMarker}, false},
      {"marker in place, nothing exchanged", {kStage, kMarkPending}, true},
      {"new log beside the old metadata", {kStage, kMarkPending, kAsideLog, kPlaceLog}, true},
      {"old log aside, its second name made", {kStage, kMarkPending, kAsideLog}, true},
      {"no hard links: the log's name empty", {kStage, kMarkPending, kRenameLogAway}, true},
      {"everything exchanged, old files aside", exchanged, true},
      {"old files removed, marker left", then({kDropAsides}), true},
      // The graph saved by the reopening is derived from the restored log: finishing the restore
      // removes it with the other derived files, undoing it puts the old graph back over it.
      {"reopening saved its graph, marker left", then({kSaveGraph}), true},
      {"reopening saved its graph, then undo", then({kSaveGraph, kMarkUndo}), false},
      {"undo marker, nothing put back", then({kMarkUndo}), false},
      {"undo marker, old log back beside the new metadata", then({kMarkUndo, kPutBackLog}), false},
      {"undo that lost its marker, the log's name empty", {kStage, kRenameLogAway}, false},
      {"undo that lost its marker, old files aside", then({kRemoveNewFiles, kRemoveMarker}), false},
  };
  const std::string pristine = tmp_.file("pristine");
  fs::copy(dir(), pristine, fs::copy_options::recursive);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    fs::remove_all(dir());
    fs::copy(pristine, dir(), fs::copy_options::recursive);
    for (Step step : k.steps) perform(step);
    expect_whole(k.restored);
  }
}

TEST_F(InterruptedRestoreTest, MalformedMarkerRefusesToOpenAndTouchesNothing) {
  const std::string good = fixture_marker("pending");
  const auto replaced = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::string texts[] = {
      "",
      good.substr(0, good.size() - 1),  // the last line unterminated
      good.substr(0, good.rfind("end")),
      good + "end\n",
      replaced("restore pending", "restore later"),
      replaced("remove present hnsw.graph", "remove present ../hnsw.graph"),
      replaced("remove present hnsw.graph", "remove present sparse.bin"),
      replaced("replace present wal.log", "remove present wal.log"),
      replaced("remove present hnsw.graph", "replace present hnsw.graph"),
      replaced("replace absent sparse.bin", "replace maybe sparse.bin"),
      replaced("replace present meta.json", "replace  present meta.json"),
  };
  // A mixed directory: whatever the marker, opening must not guess what to do with it.
  for (const char* f : {"wal.log", "meta.json", "sparse.bin"}) {
    fs::copy_file(snap(std::string("s/") + f), in_dir(std::string(f) + ".restore-new"));
  }
  ASSERT_EQ(::link(in_dir("wal.log").c_str(), in_dir("wal.log.restore-old").c_str()), 0);
  fs::rename(in_dir("wal.log.restore-new"), in_dir("wal.log"));
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    write_text(in_dir("restore.pending"), text);
    const auto before = files_of(dir());
    Result<std::unique_ptr<Collection>> c = Collection::open(dir());
    ASSERT_FALSE(c);
    EXPECT_EQ(c.error().kind(), ErrorKind::Serialization);
    EXPECT_EQ(c.error().display(), "serialization error: malformed restore marker " +
                                       debug_quote(in_dir("restore.pending")));
    EXPECT_EQ(files_of(dir()), before);
  }
}

// A child process restores the snapshot and is killed at a random moment; whatever the moment,
// the directory reopens as exactly the old collection or exactly the restored one.
// SORVEL_RESTORE_KILLS (default 25 per row) and SORVEL_RESTORE_SEED change the run.
TEST_F(InterruptedRestoreTest, KilledRestoreReopensAsOldOrRestored) {
  const char* kills_env = std::getenv("SORVEL_RESTORE_KILLS");
  const char* seed_env = std::getenv("SORVEL_RESTORE_SEED");
  const int kills = kills_env ? std::atoi(kills_env) : 25;
  std::mt19937_64 random(seed_env ? std::strtoull(seed_env, nullptr, 10) : 20261210);

  struct Row {
    const char* name;
    IndexType old_type;  // the live collection's kind (the fixture's is HNSW)
  };
  const Row rows[] = {
      {"hnsw collection with a graph file", IndexType::Hnsw},
      {"memory-mapped collection with its vector file", IndexType::MmapFlat},
  };
  const std::string pristine = tmp_.file("pristine");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.old_type != IndexType::Hnsw) {
      // The same old vectors under another kind; the snapshot stays.
      fs::remove_all(dir() + "/wal.log");
      fs::remove_all(dir() + "/meta.json");
      fs::remove_all(dir() + "/hnsw.graph");
      Result<std::unique_ptr<Collection>> c = Collection::create(
          dir(), CollectionMeta::for_new_collection("docs", 2, Metric::L2, row.old_type));
      ASSERT_TRUE(c);
      for (std::uint64_t id = 1; id < 6; ++id) {
        const float f = static_cast<float>(id);
        ASSERT_TRUE((*c)->upsert(id, std::vector<float>{f, -f}, payload_of("\"old\"")));
      }
      ASSERT_TRUE((*c)->remove(2));
      ASSERT_EQ(testing::capture(**c), old_);
      c->reset();
      ASSERT_TRUE(Collection::open(dir()));  // which writes the vector file
      ASSERT_TRUE(exists(in_dir(std::string(kMmapFileName))));
    }
    std::error_code ignored;
    fs::remove_all(pristine, ignored);
    fs::copy(dir(), pristine, fs::copy_options::recursive);

    // Runs one child on a fresh copy; kills it `delay` after it starts restoring (never, when
    // nullopt). Returns how long the child ran from then on.
    const auto run = [&](std::optional<std::chrono::nanoseconds> delay) {
      fs::remove_all(dir());
      fs::copy(pristine, dir(), fs::copy_options::recursive);
      int ready[2];
      EXPECT_EQ(::pipe(ready), 0);
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::close(ready[0]);
        int code = 3;
        try {
          Result<std::unique_ptr<Collection>> c = Collection::open(dir());
          if (c) {
            const char byte = 1;
            if (::write(ready[1], &byte, 1) == 1) code = restore_snapshot(*c, "s") ? 0 : 1;
          }
        } catch (...) {
          code = 2;
        }
        ::_exit(code);
      }
      ::close(ready[1]);
      char byte = 0;
      EXPECT_EQ(::read(ready[0], &byte, 1), 1);
      const auto start = std::chrono::steady_clock::now();
      ::close(ready[0]);
      if (delay) {
        std::this_thread::sleep_for(*delay);
        ::kill(pid, SIGKILL);
      }
      int status = 0;
      EXPECT_EQ(::waitpid(pid, &status, 0), pid);
      if (!delay) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      }
      return std::chrono::steady_clock::now() - start;
    };
    const auto whole = [&]() -> std::optional<bool> {
      Result<std::unique_ptr<Collection>> c = Collection::open(dir());
      EXPECT_TRUE(c) << c.error().display();
      if (!c) return std::nullopt;
      const testing::CollectionState got = testing::capture(**c);
      const std::uint64_t dims = (*c)->meta().dimensions;
      c->reset();
      for (const char* trace :
           {"restore.pending", "restore.pending.tmp", "wal.log.restore-new", "wal.log.restore-old",
            "meta.json.restore-new", "meta.json.restore-old", "sparse.bin.restore-new",
            "hnsw.graph.restore-old", "vectors.mmap.restore-old"}) {
        EXPECT_FALSE(exists(in_dir(trace))) << trace;
      }
      if (got == restored_ && dims == 3) {
        EXPECT_FALSE(exists(in_dir("hnsw.graph")));
        return true;
      }
      EXPECT_EQ(got, old_) << testing::first_difference(got, old_);
      EXPECT_EQ(dims, 2u);
      return false;
    };

    // A run without a kill finishes the restore and tells how long a restore takes here.
    const auto span =
        std::max<std::chrono::nanoseconds>(run(std::nullopt), std::chrono::microseconds(100));
    ASSERT_EQ(whole(), std::optional<bool>(true));

    int inside = 0;  // kills that left traces of the restore
    for (int i = 0; i < kills; ++i) {
      const auto delay = std::chrono::nanoseconds(
          std::uniform_int_distribution<std::int64_t>(0, span.count() * 3 / 2)(random));
      run(delay);
      inside += exists(in_dir("restore.pending")) || exists(in_dir("wal.log.restore-new"));
      SCOPED_TRACE(::testing::Message() << "kill " << i << " after " << delay.count() << " ns");
      ASSERT_TRUE(whole().has_value());
      if (HasFailure()) break;
    }
    RecordProperty(str_cat("kills_inside_", index_type_json_name(row.old_type)), inside);
    // The delays spread over the whole restore, so some kills land inside it.
    if (kills >= 10) {
      EXPECT_GT(inside, 0);
    }
  }
}

// ---- delete ----

TEST_F(SnapshotTest, DeleteRemovesTheSnapshotOnly) {
  std::unique_ptr<Collection> c = make();
  fill(*c);
  ASSERT_TRUE(create_snapshot(*c, "a"));
  ASSERT_TRUE(create_snapshot(*c, "b"));
  ASSERT_TRUE(delete_snapshot(*c, "a"));
  EXPECT_FALSE(exists(snap("a")));
  Result<std::vector<SnapshotMeta>> listed = list_snapshots(*c);
  ASSERT_TRUE(listed);
  ASSERT_EQ(listed->size(), 1u);
  EXPECT_EQ((*listed)[0].name, "b");
  ASSERT_TRUE(create_snapshot(*c, "a"));  // the name is free again

  // A partial snapshot (no record yet) blocks its name, is not listed, and is deleted.
  fs::create_directories(snap("partial"));
  write_text(snap("partial/meta.json"), "{}");
  EXPECT_EQ(create_snapshot(*c, "partial").error().kind(), ErrorKind::SnapshotAlreadyExists);
  ASSERT_TRUE(list_snapshots(*c));
  EXPECT_EQ(list_snapshots(*c)->size(), 2u);
  ASSERT_TRUE(delete_snapshot(*c, "partial"));
  EXPECT_FALSE(exists(snap("partial")));

  // A plain file is no snapshot directory: refused and kept.
  write_text(snap("file"), "x");
  Result<> file = delete_snapshot(*c, "file");
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().kind(), ErrorKind::Io);
  EXPECT_TRUE(exists(snap("file")));

  // A link is removed itself; what it points at is never reached.
  fs::create_directories(tmp_.file("outside"));
  write_text(tmp_.file("outside/keep"), "k");
  ASSERT_EQ(::symlink(tmp_.file("outside").c_str(), snap("link").c_str()), 0);
  ASSERT_TRUE(delete_snapshot(*c, "link"));
  EXPECT_FALSE(exists(snap("link")));
  EXPECT_TRUE(exists(tmp_.file("outside/keep")));

  // What a removal cut short leaves is no snapshot; the next deletion and the next opening remove
  // it.
  EXPECT_FALSE(exists(snap(std::string(kDeletedSnapshotDirName))));
  fs::create_directories(snap("..deleted/inner"));
  ASSERT_TRUE(delete_snapshot(*c, "b"));
  EXPECT_FALSE(exists(snap("..deleted")));
  fs::create_directories(snap("..deleted/inner"));
  EXPECT_EQ(contents(*c).size(), 3u);
  c.reset();
  ASSERT_TRUE(Collection::open(dir()));
  EXPECT_FALSE(exists(snap("..deleted")));
}

}  // namespace
}  // namespace sorvel
