#include "index/mmap_flat/mmap_flat_index.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include "distance/distance.h"
#include "testing/temp_dir.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

using testing::TempDir;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

std::vector<std::uint8_t> kvec_file(std::uint32_t dims, std::uint32_t metric, std::uint64_t count,
                                    const std::vector<std::pair<std::uint64_t, std::vector<float>>>&
                                        records) {
  std::vector<std::uint8_t> out(32, 0);
  std::memcpy(out.data(), "KVEC", 4);
  const std::uint32_t version = 1;
  std::memcpy(out.data() + 4, &version, 4);
  std::memcpy(out.data() + 8, &dims, 4);
  std::memcpy(out.data() + 12, &metric, 4);
  std::memcpy(out.data() + 16, &count, 8);
  for (const auto& [id, v] : records) {
    const std::size_t at = out.size();
    out.resize(at + 8 + 4 * v.size());
    std::memcpy(out.data() + at, &id, 8);
    std::memcpy(out.data() + at + 8, v.data(), 4 * v.size());
  }
  return out;
}

std::map<std::uint64_t, std::vector<float>> contents(const MmapFlatIndex& index) {
  std::map<std::uint64_t, std::vector<float>> out;
  auto it = index.iter();
  while (auto item = it->next()) {
    EXPECT_FALSE(out.contains(item->id)) << item->id;
    out[item->id] = item->vector;
  }
  return out;
}

std::vector<std::uint64_t> ids_of(const Result<std::vector<SearchHit>>& hits) {
  std::vector<std::uint64_t> out;
  for (const SearchHit& h : *hits) out.push_back(h.id);
  return out;
}

TEST(MmapFlatIndex, FlushCreatesAFileThatReopens) {
  TempDir dir;
  const std::string path = dir.file("v.kvec");
  auto index = MmapFlatIndex::open_or_new(path, 2, Metric::L2);
  ASSERT_TRUE(index.has_value());
  EXPECT_EQ(index->len(), 0u);
  ASSERT_TRUE(index->add(7, std::vector<float>{1, 2}).has_value());
  ASSERT_TRUE(index->add(8, std::vector<float>{3, 4}).has_value());
  auto hits = index->search(std::vector<float>{3, 4}, 1);
  ASSERT_TRUE(hits.has_value());
  EXPECT_EQ(ids_of(hits), std::vector<std::uint64_t>{8});
  EXPECT_FALSE(std::filesystem::exists(path));
  index->flush();
  const std::vector<std::uint8_t> bytes = testing::read_file(path);
  EXPECT_EQ(bytes.size(), 32u + 2u * 16u);
  EXPECT_EQ(testing::cut_to(bytes, 32), kvec_file(2, 0, 2, {}));
  EXPECT_EQ(index->pending_count(), 0u);
  EXPECT_EQ(index->file_records(), 2u);
  const auto before = contents(*index);

  auto reopened = MmapFlatIndex::open_or_new(path, 2, Metric::L2);
  ASSERT_TRUE(reopened.has_value());
  EXPECT_EQ(contents(*reopened), before);
  EXPECT_EQ(before.at(8), (std::vector<float>{3, 4}));

  // Dropping without a flush leaves the file as it was.
  ASSERT_TRUE(reopened->add(9, std::vector<float>{0, 0}).has_value());
  reopened = MmapFlatIndex(path, 2, Metric::L2);
  EXPECT_EQ(testing::read_file(path), bytes);
}

struct OpenCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
  const char* error;  // nullptr: opens
};

TEST(MmapFlatIndex, OpenChecksInOrder) {
  const auto good = kvec_file(2, 1, 1, {{5, {1, 2}}});
  std::vector<std::uint8_t> bad_magic = good;
  bad_magic[0] = 'X';
  std::vector<std::uint8_t> odd_version = testing::overwrite_u32(good, 4, 9);
  odd_version = testing::overwrite_u64(odd_version, 24, 77);
  const std::vector<OpenCase> cases = {
      {"empty", {}, "serialization error: mmap file too small"},
      {"31 bytes", testing::cut_to(good, 31), "serialization error: mmap file too small"},
      {"magic", bad_magic, "serialization error: invalid KVEC magic"},
      {"dimensions", kvec_file(3, 1, 0, {}), "dimension mismatch: expected 2, got 3"},
      {"metric 3", kvec_file(2, 3, 0, {}), "serialization error: unknown metric id 3"},
      {"metric differs", kvec_file(2, 0, 0, {}),
       "invalid configuration: metric mismatch: file=L2, expected=Cosine"},
      {"version and reserved unchecked", odd_version, nullptr},
  };
  TempDir dir;
  for (const OpenCase& c : cases) {
    testing::write_file(dir.file("f"), c.bytes);
    auto r = MmapFlatIndex::open(dir.file("f"), 2, Metric::Cosine);
    if (c.error == nullptr) {
      ASSERT_TRUE(r.has_value()) << c.name << ": " << r.error().display();
      EXPECT_EQ(r->len(), 1u);
    } else {
      ASSERT_FALSE(r.has_value()) << c.name;
      EXPECT_EQ(r.error().display(), c.error) << c.name;
    }
  }
  auto missing = MmapFlatIndex::open(dir.file("none"), 2, Metric::Cosine);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
  // A file with a cosine header opened as l2 names the file's metric first.
  testing::write_file(dir.file("c"), good);
  auto mismatch = MmapFlatIndex::open(dir.file("c"), 2, Metric::L2);
  EXPECT_EQ(mismatch.error().display(),
            "invalid configuration: metric mismatch: file=Cosine, expected=L2");
}

TEST(MmapFlatIndex, ACountBeyondTheFileUsesTheWholeRecordsPresent) {
  TempDir dir;
  std::vector<std::uint8_t> bytes = kvec_file(2, 0, 5, {{1, {1, 1}}, {2, {2, 2}}, {3, {3, 3}}});
  bytes.resize(bytes.size() - 3);  // record 3 cut off
  testing::write_file(dir.file("f"), bytes);
  auto index = MmapFlatIndex::open(dir.file("f"), 2, Metric::L2);
  ASSERT_TRUE(index.has_value());
  EXPECT_EQ(index->len(), 2u);
  auto hits = index->search(std::vector<float>{3, 3}, 10);
  ASSERT_TRUE(hits.has_value());
  EXPECT_EQ(ids_of(hits), (std::vector<std::uint64_t>{2, 1}));
  // The next append writes over the partial record and repairs the count.
  ASSERT_TRUE(index->add(4, std::vector<float>{4, 4}).has_value());
  index->flush();
  auto reopened = MmapFlatIndex::open(dir.file("f"), 2, Metric::L2);
  ASSERT_TRUE(reopened.has_value());
  EXPECT_EQ(contents(*reopened),
            (std::map<std::uint64_t, std::vector<float>>{{1, {1, 1}}, {2, {2, 2}}, {4, {4, 4}}}));
}

TEST(MmapFlatIndex, SearchScoresAreDistancesOverFileAndPending) {
  TempDir dir;
  for (const Metric metric : {Metric::L2, Metric::Cosine, Metric::DotProduct}) {
    const std::size_t dims = 13;
    const std::string path = dir.file(std::string("m") + metric_text_name(metric).data());
    MmapFlatIndex index(path, dims, metric);
    const std::vector<float> data = testing::random_vectors(20, dims, 4);
    ASSERT_TRUE(index.add_matrix(std::span(data).first(9 * dims), 9, dims, 0).has_value());
    index.flush();
    ASSERT_TRUE(index.add_matrix(std::span(data).subspan(9 * dims), 11, dims, 9).has_value());
    ASSERT_TRUE(index.remove(3));
    const std::vector<float> q = testing::random_vectors(1, dims, 5);
    auto hits = index.search(q, 100);
    ASSERT_TRUE(hits.has_value());
    ASSERT_EQ(hits->size(), 19u);
    for (std::size_t i = 1; i < hits->size(); ++i) {
      EXPECT_LE((*hits)[i - 1].distance, (*hits)[i].distance);
    }
    for (const SearchHit& h : *hits) {
      const std::span<const float> v = std::span(data).subspan(h.id * dims, dims);
      EXPECT_EQ(bits(h.distance), bits(distance(metric, q, v))) << h.id;
    }
    auto none = index.search(q, 0);
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
    auto wrong = index.search(std::vector<float>{1}, 0);
    ASSERT_FALSE(wrong.has_value());
    EXPECT_EQ(wrong.error().display(), "dimension mismatch: expected 13, got 1");
  }
  MmapFlatIndex empty(dir.file("e"), 3, Metric::L2);
  EXPECT_FALSE(empty.search(std::vector<float>{1}, 3).has_value());
}

TEST(MmapFlatIndex, DeletesAreTombstonesUntilARewrite) {
  TempDir dir;
  const std::string path = dir.file("f");
  testing::write_file(path, kvec_file(1, 0, 3, {{1, {1}}, {2, {2}}, {3, {3}}}));
  auto index = MmapFlatIndex::open(path, 1, Metric::L2);
  ASSERT_TRUE(index.has_value());
  EXPECT_TRUE(index->remove(2));
  EXPECT_EQ(index->len(), 2u);
  EXPECT_FALSE(index->remove(2));
  EXPECT_FALSE(index->remove(99));
  auto hits = index->search(std::vector<float>{2}, 3);
  EXPECT_EQ(ids_of(hits).size(), 2u);
  EXPECT_EQ(contents(*index).count(2), 0u);

  // Delete then add of a file id: the new vector only, len unchanged.
  EXPECT_TRUE(index->remove(3));
  ASSERT_TRUE(index->add(3, std::vector<float>{30}).has_value());
  EXPECT_EQ(index->len(), 2u);
  EXPECT_EQ(contents(*index),
            (std::map<std::uint64_t, std::vector<float>>{{1, {1}}, {3, {30}}}));

  index->flush();
  EXPECT_EQ(testing::read_file(path), kvec_file(1, 0, 2, {{1, {1}}, {3, {30}}}));
  EXPECT_EQ(index->len(), 2u);
  EXPECT_EQ(contents(*index),
            (std::map<std::uint64_t, std::vector<float>>{{1, {1}}, {3, {30}}}));
}

TEST(MmapFlatIndex, AppendWritesOnlyTheNewRecordsAndTheCount) {
  TempDir dir;
  const std::string path = dir.file("f");
  const auto original = kvec_file(1, 2, 1, {{1, {1}}});
  testing::write_file(path, original);
  auto index = MmapFlatIndex::open(path, 1, Metric::DotProduct);
  ASSERT_TRUE(index.has_value());
  index->flush();  // nothing pending, nothing deleted: untouched
  EXPECT_EQ(testing::read_file(path), original);
  ASSERT_TRUE(index->add(2, std::vector<float>{2}).has_value());
  index->flush();
  EXPECT_EQ(testing::read_file(path), kvec_file(1, 2, 2, {{1, {1}}, {2, {2}}}));
  EXPECT_EQ(index->len(), 2u);
}

// The file is written in pieces that end on 2 MiB offsets: creation, an append and a rewrite each
// cross such boundaries and must still give exactly the records in order.
TEST(MmapFlatIndex, FilesLargerThanAWritePieceAreExact) {
  TempDir dir;
  const std::string path = dir.file("big.kvec");
  constexpr std::size_t kDims = 100;  // 408-byte records: no record ends on a piece boundary
  const std::vector<float> data = testing::random_vectors(11000, kDims, 3);
  std::vector<std::pair<std::uint64_t, std::vector<float>>> records;
  for (std::size_t i = 0; i < 11000; ++i) {
    records.push_back({1000 + i, {data.begin() + i * kDims, data.begin() + (i + 1) * kDims}});
  }
  MmapFlatIndex index(path, kDims, Metric::L2);
  auto add = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      ASSERT_TRUE(index.add(records[i].first, records[i].second).has_value());
    }
  };
  add(0, 6000);  // 2.4 MB: creation crosses 2 MiB
  index.flush();
  auto first = records;
  first.resize(6000);
  EXPECT_EQ(testing::read_file(path), kvec_file(kDims, 0, 6000, first));
  add(6000, 11000);  // 4.5 MB: the append crosses 4 MiB
  index.flush();
  EXPECT_EQ(testing::read_file(path), kvec_file(kDims, 0, 11000, records));
  ASSERT_TRUE(index.remove(records[0].first));
  index.flush();  // a rewrite of everything but the first record
  records.erase(records.begin());
  EXPECT_EQ(testing::read_file(path), kvec_file(kDims, 0, 10999, records));
}

// Files of earlier versions hold a second record for an id that was added again while its first
// record was live.
TEST(MmapFlatIndex, OfAnIdsRecordsInTheFileTheLastIsLive) {
  TempDir dir;
  const std::string path = dir.file("f");
  testing::write_file(path, kvec_file(1, 0, 4, {{1, {1}}, {2, {2}}, {1, {5}}, {1, {6}}}));
  auto index = MmapFlatIndex::open(path, 1, Metric::L2);
  ASSERT_TRUE(index.has_value());
  const auto live = std::map<std::uint64_t, std::vector<float>>{{1, {6}}, {2, {2}}};
  EXPECT_EQ(index->len(), 2u);
  EXPECT_EQ(contents(*index), live);
  EXPECT_EQ(ids_of(index->search(std::vector<float>{5}, 5)), (std::vector<std::uint64_t>{1, 2}));
  auto again = index->add(1, std::vector<float>{7});
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().display(), DbError::duplicate_id(1).display());

  // An append keeps the earlier records hidden; a rewrite drops them.
  ASSERT_TRUE(index->add(3, std::vector<float>{3}).has_value());
  ASSERT_TRUE(index->flush_file().has_value());
  EXPECT_EQ(index->file_records(), 5u);
  EXPECT_EQ(index->len(), 3u);
  EXPECT_TRUE(index->remove(2));
  ASSERT_TRUE(index->flush_file().has_value());
  EXPECT_EQ(testing::read_file(path), kvec_file(1, 0, 2, {{1, {6}}, {3, {3}}}));
  EXPECT_TRUE(index->remove(1));
  EXPECT_EQ(ids_of(index->search(std::vector<float>{0}, 5)), std::vector<std::uint64_t>{3});
}

TEST(MmapFlatIndex, AFailedFlushKeepsTheIndexConsistent) {
  TempDir dir;
  const std::string sub = dir.file("sub");
  std::filesystem::create_directory(sub);
  const std::string path = sub + "/f";
  testing::write_file(path, kvec_file(1, 0, 2, {{1, {1}}, {2, {2}}}));
  auto index = MmapFlatIndex::open(path, 1, Metric::L2);
  ASSERT_TRUE(index.has_value());
  // The file disappears: the append cannot open it, the rewrite cannot create beside it.
  std::filesystem::remove_all(sub);
  ASSERT_TRUE(index->add(3, std::vector<float>{3}).has_value());
  const Result<> append = index->flush_file();
  ASSERT_FALSE(append.has_value());
  EXPECT_EQ(append.error().display(), DbError::io_from_errno(ENOENT).display());
  EXPECT_EQ(index->pending_count(), 1u);
  EXPECT_EQ(index->len(), 3u);
  EXPECT_TRUE(index->remove(1));
  index->flush();  // the same failure, dropped
  EXPECT_EQ(index->len(), 2u);
  // The tombstone stays: the id is still refused, its record still hidden.
  EXPECT_FALSE(index->remove(1));
  ASSERT_TRUE(index->add(1, std::vector<float>{10}).has_value());
  EXPECT_TRUE(index->remove(1));
  // The old mapping still serves reads.
  EXPECT_EQ(contents(*index), (std::map<std::uint64_t, std::vector<float>>{{2, {2}}, {3, {3}}}));
  // Once the directory is back the same flush succeeds.
  std::filesystem::create_directory(sub);
  ASSERT_TRUE(index->flush_file().has_value());
  EXPECT_EQ(testing::read_file(path), kvec_file(1, 0, 2, {{2, {2}}, {3, {3}}}));
  EXPECT_EQ(index->pending_count(), 0u);
}

TEST(MmapFlatIndex, MatrixInsertAndLoadHook) {
  TempDir dir;
  MmapFlatIndex index(dir.file("f"), 0, Metric::L2);
  ASSERT_TRUE(index.add_matrix({}, 3, 0, ~0ull).has_value());
  EXPECT_EQ(index.len(), 3u);
  auto bad = index.add_matrix(std::vector<float>{1, 2}, 1, 2, 0);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().display(), "dimension mismatch: expected 0, got 2");
  ASSERT_TRUE(index.load("ignored").has_value());
  EXPECT_EQ(testing::read_file(dir.file("f")).size(), 32u + 3u * 8u);
  auto reopened = MmapFlatIndex::open(dir.file("f"), 0, Metric::L2);
  ASSERT_TRUE(reopened.has_value());
  EXPECT_EQ(contents(*reopened).count(1), 1u);  // ids 2^64 - 1, 0, 1
}

}  // namespace
}  // namespace sorvel
