#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <vector>

#include "checksum.h"
#include "index/hnsw/hnsw_index.h"
#include "random.h"
#include "testing/temp_dir.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

// Little-endian bytes written by hand, so the pinned layouts do not depend on the encoder.
struct Bytes {
  std::vector<std::uint8_t> out;
  template <class T>
  Bytes& put(T v) {
    std::uint8_t raw[sizeof(T)];
    std::memcpy(raw, &v, sizeof(T));
    out.insert(out.end(), raw, raw + sizeof(T));
    return *this;
  }
  Bytes& u8(std::uint8_t v) { return put(v); }
  Bytes& u32(std::uint32_t v) { return put(v); }
  Bytes& u64(std::uint64_t v) { return put(v); }
  Bytes& f32(float v) { return put(v); }
  Bytes& f64(double v) { return put(v); }
  Bytes& vec(std::initializer_list<float> v) {
    u64(v.size());
    for (const float x : v) f32(x);
    return *this;
  }
  Bytes& ids(std::initializer_list<std::uint64_t> v) {
    u64(v.size());
    for (const std::uint64_t x : v) u64(x);
    return *this;
  }
};

std::vector<std::uint8_t> encode(const HnswGraph& graph) {
  Encoder out = Encoder::to_memory();
  graph.encode(out);
  return out.take_bytes();
}

// `record` as "hnsw.graph" holds it, followed by the trailer of an index of `metric` and `dims`.
std::vector<std::uint8_t> sealed(std::vector<std::uint8_t> record, Metric metric = Metric::L2,
                                 std::uint64_t dims = 4) {
  Bytes b{std::move(record)};
  b.u64(HnswIndex::kGraphTrailerMagic).u32(static_cast<std::uint32_t>(metric)).u64(dims);
  return b.u32(crc32c(b.out)).out;
}

HnswIndex filled_index(std::size_t rows, std::size_t dims, std::uint64_t seed) {
  seed_thread_random(seed);
  HnswIndex index(dims, Metric::L2, 40, 20, 6);
  const std::vector<float> data = testing::random_vectors(rows, dims, seed);
  EXPECT_TRUE(index.add_matrix(data, rows, dims, 0));
  return index;
}

TEST(HnswFileTest, EmptyIndexFileIsSeventySevenBytes) {
  testing::TempDir dir;
  const HnswIndex index(3, Metric::Cosine, 200, 50, 12);
  ASSERT_TRUE(index.save_file(dir.file("empty.hnsw")));
  const std::vector<std::uint8_t> expected = Bytes()
                                                 .u64(3)
                                                 .u32(1)
                                                 .u64(200)
                                                 .u64(50)
                                                 .u64(12)
                                                 .u64(0)   // no node records
                                                 .u8(0)    // no entry point
                                                 .u64(12)  // m
                                                 .u64(24)  // m_max0
                                                 .u64(200)
                                                 .f64(1.0 / std::log(12.0))
                                                 .out;
  EXPECT_EQ(expected.size(), 77u);
  EXPECT_EQ(testing::read_file(dir.file("empty.hnsw")), expected);
  EXPECT_EQ(HnswIndex::kFileHeaderBytes + HnswIndex::kEmptyGraphRecordBytes, 77u);
}

TEST(HnswFileTest, SmallGraphRecordBytes) {
  // Levels fixed by hand: id 7 at level 1, then id 3 at level 0 linking to it.
  HnswGraph graph(2, Metric::L2, 1, 2, 8, 0.0);
  HnswSearchScratch scratch;
  const float a[] = {0, 0};
  const float b[] = {1, 0.5f};
  const HnswNode first = graph.node_for(7);
  const HnswNode second = graph.node_for(3);
  scratch.cover(graph.node_count());
  graph.insert_at_level(first, a, 1, scratch);
  graph.insert_at_level(second, b, 0, scratch);
  const std::vector<std::uint8_t> expected = Bytes()
                                                 .u64(2)
                                                 .u64(7)
                                                 .vec({0, 0})
                                                 .u64(2)  // level + 1 lists
                                                 .ids({3})
                                                 .ids({})
                                                 .u64(1)
                                                 .u64(3)
                                                 .vec({1, 0.5f})
                                                 .u64(1)
                                                 .ids({7})
                                                 .u64(0)
                                                 .u8(1)
                                                 .u64(7)
                                                 .u64(1)
                                                 .u64(2)
                                                 .u64(8)
                                                 .f64(0.0)
                                                 .out;
  EXPECT_EQ(encode(graph), expected);
}

TEST(HnswFileTest, GraphFileRestoresTheSavedGraphWithoutInserting) {
  testing::TempDir dir;
  const std::string path = dir.file("hnsw.graph");
  HnswIndex saved = filled_index(400, 6, 21);
  ASSERT_TRUE(saved.save(path));
  EXPECT_EQ(testing::read_file(path), sealed(encode(saved.graph()), Metric::L2, 6));

  // The loading index had other content: inserted ids the file lacks go, deleted ones come back.
  HnswIndex loaded = filled_index(50, 6, 22);
  ASSERT_TRUE(loaded.remove(3));
  ASSERT_TRUE(loaded.load(path));
  EXPECT_EQ(loaded.graph().to_snapshot(), saved.graph().to_snapshot());
  EXPECT_EQ(loaded.len(), 400u);
  const std::vector<float> queries = testing::random_vectors(30, 6, 23);
  for (std::size_t q = 0; q < 30; ++q) {
    const std::span<const float> query(queries.data() + q * 6, 6);
    const auto a = saved.search(query, 8);
    const auto b = loaded.search(query, 8);
    ASSERT_EQ(a->size(), b->size());
    for (std::size_t i = 0; i < a->size(); ++i) {
      EXPECT_EQ((*a)[i].id, (*b)[i].id);
      EXPECT_EQ((*a)[i].distance, (*b)[i].distance);
    }
  }
  // Saving the loaded graph gives the same bytes: node order survives the round trip.
  EXPECT_EQ(encode(loaded.graph()), encode(saved.graph()));
}

TEST(HnswFileTest, GraphSavedAfterDeletesRoundTrips) {
  testing::TempDir dir;
  const std::string path = dir.file("hnsw.graph");
  HnswIndex saved = filled_index(400, 6, 24);
  // Deletes, the entry point among them, leave links to nodes the file does not hold.
  for (std::uint64_t id = 0; id < 400; id += 9) ASSERT_TRUE(saved.remove(id));
  ASSERT_TRUE(saved.remove(saved.graph().id_of(*saved.graph().entry_point())));
  ASSERT_TRUE(saved.save(path));
  HnswIndex loaded(6, Metric::L2, 40, 20, 6);
  ASSERT_TRUE(loaded.load(path));
  EXPECT_EQ(loaded.graph().to_snapshot(), saved.graph().to_snapshot());
  EXPECT_EQ(encode(loaded.graph()), encode(saved.graph()));
  EXPECT_EQ(loaded.graph().entry_point().has_value(), true);
  EXPECT_TRUE(loaded.graph().is_live(*loaded.graph().entry_point()));
}

// Deleted nodes are not saved, but the lists step over them: after a third of an index is deleted,
// the loaded graph still reaches every vector the in-memory one reaches and finds the same nearest
// neighbours nearly always.
TEST(HnswFileTest, GraphSavedAfterDeletesKeepsItsPaths) {
  testing::TempDir dir;
  const std::string path = dir.file("hnsw.graph");
  constexpr std::size_t kRows = 3000;
  constexpr std::size_t kDims = 8;
  const std::vector<float> data = testing::random_vectors(kRows, kDims, 61);
  seed_thread_random(62);
  HnswIndex saved(kDims, Metric::L2, 100, 16, 8);
  ASSERT_TRUE(saved.add_matrix(data, kRows, kDims, 0));
  for (std::uint64_t id = 0; id < kRows; id += 3) ASSERT_TRUE(saved.remove(id));
  ASSERT_TRUE(saved.save(path));
  HnswIndex loaded(kDims, Metric::L2, 100, 16, 8);
  ASSERT_TRUE(loaded.load(path));
  ASSERT_EQ(loaded.len(), saved.len());
  const std::span<const float> q(data.data(), kDims);
  EXPECT_EQ(loaded.search(q, kRows)->size(), saved.search(q, kRows)->size());
  std::size_t same = 0;
  for (std::size_t i = 1; i < kRows; i += 3) {
    const std::span<const float> own(data.data() + i * kDims, kDims);
    same += (*loaded.search(own, 1))[0].id == (*saved.search(own, 1))[0].id;
  }
  EXPECT_GE(same, 990u);
}

// Both files of an index at the largest settings check_config accepts load again.
TEST(HnswFileTest, LargestAcceptedSettingsLoadAgain) {
  testing::TempDir dir;
  ASSERT_TRUE(HnswIndex::check_config(HnswIndex::kMaxEfConstruction, 50, HnswIndex::kMaxM));
  const auto make = [] {
    return HnswIndex(4, Metric::L2, HnswIndex::kMaxEfConstruction, 50, HnswIndex::kMaxM);
  };
  HnswIndex saved = make();
  ASSERT_TRUE(saved.add_matrix(testing::random_vectors(40, 4, 35), 40, 4, 0));
  ASSERT_TRUE(saved.save(dir.file("hnsw.graph")));
  HnswIndex loaded = make();
  ASSERT_TRUE(loaded.load(dir.file("hnsw.graph")));
  EXPECT_EQ(loaded.graph().to_snapshot(), saved.graph().to_snapshot());
  ASSERT_TRUE(saved.save_file(dir.file("index.hnsw")));
  const auto from_file = HnswIndex::load_file(dir.file("index.hnsw"));
  ASSERT_TRUE(from_file) << from_file.error().display();
  EXPECT_EQ(from_file->graph().to_snapshot(), saved.graph().to_snapshot());
}

TEST(HnswFileTest, IndexFileRoundTripKeepsConfiguration) {
  testing::TempDir dir;
  HnswIndex saved(5, Metric::DotProduct, 33, 17, 7);
  const std::vector<float> data = testing::random_vectors(120, 5, 31);
  ASSERT_TRUE(saved.add_matrix(data, 120, 5, 1000));
  ASSERT_TRUE(saved.remove(1005));
  ASSERT_TRUE(saved.save_file(dir.file("index.hnsw")));
  const auto loaded = HnswIndex::load_file(dir.file("index.hnsw"));
  ASSERT_TRUE(loaded) << loaded.error().display();
  EXPECT_EQ(loaded->dimensions(), 5u);
  EXPECT_EQ(loaded->metric(), Metric::DotProduct);
  EXPECT_EQ(loaded->ef_construction(), 33u);
  EXPECT_EQ(loaded->ef_search(), 17u);
  EXPECT_EQ(loaded->m(), 7u);
  EXPECT_EQ(loaded->graph().to_snapshot(), saved.graph().to_snapshot());
  const auto hits = loaded->search({data.data(), 5}, 3);
  ASSERT_EQ(hits->size(), 3u);
}

TEST(HnswFileTest, GraphFileHooksAtTheEdges) {
  testing::TempDir dir;
  const std::string path = dir.file("hnsw.graph");
  HnswIndex index = filled_index(30, 4, 41);
  const HnswGraphSnapshot before = index.graph().to_snapshot();

  // A missing file changes nothing.
  ASSERT_TRUE(index.load(dir.file("missing")));
  EXPECT_EQ(index.graph().to_snapshot(), before);

  // An index without live vectors writes nothing and leaves an earlier file alone.
  testing::write_file(path, {1, 2, 3});
  HnswIndex empty(4, Metric::L2, 10, 10, 4);
  ASSERT_TRUE(empty.save(path));
  EXPECT_EQ(testing::read_file(path), (std::vector<std::uint8_t>{1, 2, 3}));

  // A directory cannot be mapped.
  const auto dir_load = index.load(dir.path());
  ASSERT_FALSE(dir_load);
  EXPECT_EQ(dir_load.error().kind(), ErrorKind::Io);
  EXPECT_EQ(index.graph().to_snapshot(), before);
}

// Every damaged or foreign "hnsw.graph" fails with Serialization and leaves the index's graph as it
// was.
TEST(HnswFileTest, DamagedGraphFilesAreRefused) {
  testing::TempDir dir;
  const std::string path = dir.file("hnsw.graph");
  const std::vector<std::uint8_t> valid = encode(filled_index(12, 4, 51).graph());
  // The record's settings, counted from its end.
  const std::size_t m_at = valid.size() - 32;
  const std::size_t m_max0_at = valid.size() - 24;
  const std::size_t ef_at = valid.size() - 16;
  const std::size_t level_mult_at = valid.size() - 8;
  const auto with_level_mult = [&](double v) {
    return testing::overwrite_u64(valid, level_mult_at, std::bit_cast<std::uint64_t>(v));
  };
  const auto beyond = [](const char* setting, const char* value) {
    return std::string("serialization error: HNSW graph setting ") + setting + " of " + value +
           " is beyond what an index can use";
  };
  // 100 nodes of 56 bytes each, whose layer-0 rows of 65,536 slots would take 26 MB.
  Bytes wide = Bytes().u64(100);
  for (std::uint64_t id = 0; id < 100; ++id) wide.u64(id).vec({1, 2, 3, 4}).u64(1).ids({}).u64(0);
  wide.u8(1).u64(5).u64(2).u64(65534).u64(10).f64(0.5);

  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string error;
  };
  const std::string no_trailer = "serialization error: graph file has no trailer";
  const std::string foreign =
      "serialization error: graph file was saved for another metric or number of dimensions";
  std::vector<std::uint8_t> flipped = sealed(valid);
  flipped[28] ^= 1;  // in the first node's vector
  std::vector<std::uint8_t> between = valid;
  between.insert(between.end(), {9, 9, 9});
  std::vector<std::uint8_t> after = sealed(valid);
  after.insert(after.end(), {9, 9, 9});
  std::vector<std::uint8_t> metric_7 = sealed(valid);
  metric_7[valid.size() + 8] = 7;
  HnswIndex other_m(4, Metric::L2, 40, 20, 5);
  ASSERT_TRUE(other_m.add_matrix(testing::random_vectors(3, 4, 53), 3, 4, 0));
  const std::vector<Case> cases = {
      // The trailer's checks.
      {"empty file", {}, no_trailer},
      {"41 zero bytes", std::vector<std::uint8_t>(41, 0), no_trailer},
      {"record without trailer", valid, no_trailer},
      {"bytes after the trailer", after, no_trailer},
      {"another metric", sealed(valid, Metric::Cosine), foreign},
      {"other dimensions", sealed(valid, Metric::L2, 5), foreign},
      {"metric code 7", metric_7, foreign},
      {"a record byte changed", flipped,
       "serialization error: graph file does not match its checksum"},
      {"bytes between record and trailer", sealed(between),
       "serialization error: HNSW graph record is followed by 3 more bytes"},
      {"another m", sealed(encode(other_m.graph())),
       "serialization error: graph file settings m 5, m_max0 10, ef_construction 40, level_mult "
       "0.6213349345596119 are not this index's"},
      // The record's checks, behind a valid trailer.
      {"cut in the record", sealed(testing::cut_to(valid, valid.size() - 1)),
       "serialization error: io error: unexpected end of file"},
      {"short vector",
       sealed(Bytes()
                  .u64(1)
                  .u64(5)
                  .vec({1, 2, 3})
                  .u64(1)
                  .ids({})
                  .u64(0)
                  .u8(1)
                  .u64(5)
                  .u64(2)
                  .u64(4)
                  .u64(10)
                  .f64(0.5)
                  .out),
       "serialization error: HNSW node 5 has a vector of 3 values, expected 4"},
      {"m beyond use", sealed(testing::overwrite_u64(valid, m_at, 65535)), beyond("m", "65535")},
      {"layer-0 limit beyond 32 bits",
       sealed(testing::overwrite_u64(valid, m_max0_at, 1ull << 40)),
       beyond("m_max0", "1099511627776")},
      // Rows of 2^25 slots: 12 nodes would take 1.6 GB and the next insert twice that.
      {"layer-0 limit beyond use", sealed(testing::overwrite_u64(valid, m_max0_at, 1ull << 25)),
       beyond("m_max0", "33554432")},
      {"search width beyond any graph", sealed(testing::overwrite_u64(valid, ef_at, 1ull << 32)),
       beyond("ef_construction", "4294967296")},
      {"level multiplier NaN", sealed(with_level_mult(std::nan(""))), beyond("level_mult", "nan")},
      {"level multiplier negative", sealed(with_level_mult(-1.0)), beyond("level_mult", "-1")},
      {"level multiplier beyond level 255", sealed(with_level_mult(8.0)),
       beyond("level_mult", "8")},
      {"rows far wider than the record", sealed(wide.out),
       "serialization error: HNSW graph of 100 nodes with layer-0 limit 65534 and 4 dimensions "
       "is too large to load"},
      {"entry tag 2", sealed(Bytes().u64(0).u8(2).out),
       "serialization error: tag for enum is not valid, found 2"},
      {"huge node count", sealed(Bytes().u64(1ull << 62).u64(5).vec({1, 2, 3, 4}).out),
       "serialization error: io error: unexpected end of file"},
  };
  HnswIndex index = filled_index(30, 4, 52);
  const HnswGraphSnapshot before = index.graph().to_snapshot();
  for (const Case& c : cases) {
    testing::write_file(path, c.bytes);
    const auto result = index.load(path);
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error().display(), c.error) << c.name;
    EXPECT_EQ(index.graph().to_snapshot(), before) << c.name;
  }
  // Cut anywhere before its last byte, the file fails.
  const std::vector<std::uint8_t> file = sealed(valid);
  for (std::size_t size = 0; size < file.size(); size += 7) {
    testing::write_file(path, testing::cut_to(file, size));
    EXPECT_EQ(index.load(path).error().kind(), ErrorKind::Serialization) << size;
  }
  testing::write_file(path, file);
  ASSERT_TRUE(index.load(path));
  EXPECT_EQ(index.len(), 12u);
}

// Ids without a record name vectors the file lacks: entries naming them are dropped, and an entry
// point without a record is elected among the loaded nodes.
TEST(HnswFileTest, EntriesWithoutRecordsAreDropped) {
  testing::TempDir dir;
  const std::string path = dir.file("hnsw.graph");
  // Node 5 (level 1) names 99, which has no record, at both layers, and node 6 at layer 0.
  const auto file = [](std::initializer_list<std::uint64_t> list0,
                       std::initializer_list<std::uint64_t> list1, std::uint64_t entry) {
    Bytes b = Bytes().u64(2);
    b.u64(5).vec({1, 0}).u64(2).ids(list0).ids(list1).u64(1);
    b.u64(6).vec({0, 1}).u64(1).ids({5}).u64(0);
    return b.u8(1).u64(entry).u64(2).u64(4).u64(10).f64(1 / std::log(2.0)).out;
  };
  HnswIndex index(2, Metric::L2, 10, 10, 2);
  testing::write_file(path, sealed(file({99, 6}, {99}, 5), Metric::L2, 2));
  ASSERT_TRUE(index.load(path));
  EXPECT_EQ(index.len(), 2u);
  EXPECT_EQ(index.graph().node_count(), 2u);
  EXPECT_FALSE(index.graph().find_node(99).has_value());
  const std::vector<float> q = {1, 0};
  EXPECT_EQ(index.search(q, 5)->size(), 2u);
  // Saved again, the file no longer names 99; 99 added later is an ordinary new node.
  EXPECT_EQ(encode(index.graph()), file({6}, {}, 5));
  ASSERT_TRUE(index.add(99, q));
  EXPECT_EQ(index.len(), 3u);

  // An entry point without a record: node 5 holds the highest level.
  HnswIndex lost(2, Metric::L2, 10, 10, 2);
  testing::write_file(path, sealed(file({99, 6}, {99}, 77), Metric::L2, 2));
  ASSERT_TRUE(lost.load(path));
  EXPECT_EQ(lost.graph().id_of(*lost.graph().entry_point()), 5u);
  EXPECT_EQ(lost.search(q, 5)->size(), 2u);

  // No records: an empty graph without entry point, whatever the record names.
  HnswIndex none(2, Metric::L2, 10, 10, 2);
  testing::write_file(
      path,
      sealed(Bytes().u64(0).u8(1).u64(5).u64(2).u64(4).u64(10).f64(1 / std::log(2.0)).out,
             Metric::L2, 2));
  ASSERT_TRUE(none.load(path));
  EXPECT_FALSE(none.graph().entry_point().has_value());
  EXPECT_EQ(none.graph().node_count(), 0u);
  EXPECT_EQ(none.graph().m_max0(), 4u);
}

TEST(HnswFileTest, LayerZeroListsAreCutToTheFilesLimit) {
  testing::TempDir dir;
  const std::string path = dir.file("hnsw.graph");
  // clang-format off
  const std::vector<std::uint8_t> bytes = Bytes()
      .u64(4)
      .u64(0).vec({0, 0}).u64(1).ids({1, 2, 3}).u64(0)
      .u64(1).vec({1, 0}).u64(1).ids({0}).u64(0)
      .u64(2).vec({2, 0}).u64(1).ids({0}).u64(0)
      .u64(3).vec({3, 0}).u64(1).ids({0}).u64(0)
      .u8(1).u64(0)
      .u64(1).u64(2).u64(10).f64(1 / std::log(2.0))
      .out;
  // clang-format on
  testing::write_file(path, sealed(bytes, Metric::L2, 2));
  HnswIndex index(2, Metric::L2, 10, 10, 1);
  ASSERT_TRUE(index.load(path));
  const auto list = index.graph().neighbors(0, 0);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(index.graph().id_of(list[0]), 1u);
  EXPECT_EQ(index.graph().id_of(list[1]), 2u);
}

TEST(HnswFileTest, IndexFileFallsBackToTheOlderLayout) {
  testing::TempDir dir;
  const std::string path = dir.file("old.hnsw");
  const auto header = [](std::uint32_t metric) {
    return Bytes().u64(2).u32(metric).u64(30).u64(7).u64(5).u64(0);
  };
  testing::write_file(
      path, header(1).u64(3).u64(4).vec({1, 0}).u64(9).vec({0, 1}).u64(4).vec({2, 2}).out);
  const auto loaded = HnswIndex::load_file(path);
  ASSERT_TRUE(loaded) << loaded.error().display();
  EXPECT_EQ(loaded->metric(), Metric::Cosine);
  EXPECT_EQ(loaded->ef_search(), 7u);
  EXPECT_EQ(loaded->len(), 2u);
  // The later duplicate's vector stands, in the first one's place.
  const auto first = loaded->iter()->next();
  EXPECT_EQ(first->id, 4u);
  EXPECT_EQ(first->vector, (std::vector<float>{2, 2}));
  EXPECT_EQ(loaded->graph().m_max0(), 10u);

  // The current layout: the header of a 2-d index, then one node of 3 floats.
  const auto short_node_file = [](std::uint64_t id) {
    Bytes b = Bytes().u64(2).u32(0).u64(30).u64(7).u64(5);
    b.u64(1).u64(id).vec({1, 2, 3}).u64(1).ids({}).u64(0);
    b.u8(1).u64(id).u64(5).u64(10).u64(30).f64(0.5);
    return b.out;
  };
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"older vector of the wrong length", header(0).u64(1).u64(4).vec({1}).out,
       "serialization error: HNSW file entry 4 has a vector of 1 values, expected 2"},
      {"metric code 3", header(3).u64(0).out,
       "serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {"fits neither layout", header(0).u64(5).out,
       "serialization error: io error: failed to fill whole buffer"},
      {"current layout read whole but refused", short_node_file(8),
       "serialization error: HNSW node 8 has a vector of 3 values, expected 2"},
      // Read as the older layout this file is valid and empty (n is the record's id 0); it reads
      // whole as the current layout, so that layout's refusal stands.
      {"current layout refused where the older one reads", short_node_file(0),
       "serialization error: HNSW node 0 has a vector of 3 values, expected 2"},
      {"current layout with settings beyond use",
       Bytes()
           .u64(2)
           .u32(0)
           .u64(30)
           .u64(7)
           .u64(5)
           .u64(0)
           .u8(0)
           .u64(5)
           .u64(1ull << 30)
           .u64(30)
           .f64(0.5)
           .out,
       "serialization error: HNSW graph setting m_max0 of 1073741824 is beyond what an index can "
       "use"},
      {"older layout with an m beyond use",
       Bytes().u64(2).u32(0).u64(30).u64(7).u64(1ull << 40).u64(0).u64(1).u64(4).vec({1, 0}).out,
       "serialization error: HNSW graph setting m of 1099511627776 is beyond what an index can "
       "use"},
  };
  for (const Case& c : cases) {
    testing::write_file(path, c.bytes);
    const auto result = HnswIndex::load_file(path);
    ASSERT_FALSE(result) << c.name;
    EXPECT_EQ(result.error().display(), c.error) << c.name;
  }
  const auto missing = HnswIndex::load_file(dir.file("missing"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
}

}  // namespace
}  // namespace sorvel
