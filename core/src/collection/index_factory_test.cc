#include "collection/index_factory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "index/binary_flat/binary_flat_index.h"
#include "index/flat/flat_index.h"
#include "index/hnsw/hnsw_index.h"
#include "index/ivf/ivf_index.h"
#include "index/mmap_flat/mmap_flat_index.h"
#include "index/quantized_flat/quantized_flat_index.h"
#include "index/quantized_fp16/fp16_flat_index.h"
#include "testing/temp_dir.h"

namespace sorvel {
namespace {

CollectionMeta meta_of(IndexType type, std::uint64_t dims = 8) {
  CollectionMeta meta;
  meta.name = std::string("c");
  meta.dimensions = dims;
  meta.metric = Metric::Cosine;
  meta.index_type = type;
  return meta;
}

std::unique_ptr<VectorIndex> build(const CollectionMeta& meta,
                                   const std::string& dir = "/nowhere") {
  auto index = create_index(meta, dir);
  EXPECT_TRUE(index) << index.error().display();
  return std::move(index).value();
}

TEST(IndexFactoryTest, EachTypeGetsItsIndexWithTheCollectionsShape) {
  testing::TempDir tmp;
  const struct {
    IndexType type;
    bool (*is_kind)(const VectorIndex&);
  } cases[] = {
      {IndexType::Flat,
       [](const VectorIndex& i) { return dynamic_cast<const FlatIndex*>(&i) != nullptr; }},
      {IndexType::Hnsw,
       [](const VectorIndex& i) { return dynamic_cast<const HnswIndex*>(&i) != nullptr; }},
      {IndexType::QuantizedFlat,
       [](const VectorIndex& i) { return dynamic_cast<const QuantizedFlatIndex*>(&i) != nullptr; }},
      {IndexType::Ivf,
       [](const VectorIndex& i) { return dynamic_cast<const IvfIndex*>(&i) != nullptr; }},
      {IndexType::IvfPq, [](const VectorIndex& i) { return i.header().dimensions == 8; }},
      {IndexType::Fp16Flat,
       [](const VectorIndex& i) { return dynamic_cast<const Fp16FlatIndex*>(&i) != nullptr; }},
      {IndexType::MmapFlat,
       [](const VectorIndex& i) { return dynamic_cast<const MmapFlatIndex*>(&i) != nullptr; }},
      {IndexType::BinaryFlat,
       [](const VectorIndex& i) { return dynamic_cast<const BinaryFlatIndex*>(&i) != nullptr; }},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(index_type_json_name(tc.type));
    auto index = build(meta_of(tc.type), tmp.path());
    EXPECT_TRUE(tc.is_kind(*index));
    EXPECT_EQ(index->header().dimensions, 8u);
    EXPECT_EQ(index->header().metric, Metric::Cosine);
    EXPECT_EQ(index->len(), 0u);
  }
  // No file is written by building: the memory-mapped kind creates its file at its first flush.
  EXPECT_FALSE(std::filesystem::exists(tmp.file("vectors.mmap")));
}

TEST(IndexFactoryTest, ParameterRecordsAndTheirDefaults) {
  auto hnsw = build(meta_of(IndexType::Hnsw));
  const auto& h = dynamic_cast<const HnswIndex&>(*hnsw);
  EXPECT_EQ(h.ef_construction(), 200u);
  EXPECT_EQ(h.ef_search(), 50u);
  EXPECT_EQ(h.m(), 12u);

  CollectionMeta configured = meta_of(IndexType::Hnsw);
  configured.hnsw_config = HnswConfig{100, 10, 4};
  configured.promotion_hnsw_config = HnswConfig{1, 1, 1};  // not the factory's business
  configured.ivf_config = IvfConfig{1, 1, 1, 1};
  auto custom = build(configured);
  const auto& c = dynamic_cast<const HnswIndex&>(*custom);
  EXPECT_EQ(c.ef_construction(), 100u);
  EXPECT_EQ(c.ef_search(), 10u);
  EXPECT_EQ(c.m(), 4u);

  auto ivf = build(meta_of(IndexType::Ivf));
  const IvfConfig& config = dynamic_cast<const IvfIndex&>(*ivf).config();
  EXPECT_EQ(config.n_lists, 256u);
  EXPECT_EQ(config.nprobe, 16u);
  EXPECT_EQ(config.train_size, 4096u);
  EXPECT_EQ(config.max_iter, 10u);  // the collection default, not the standalone class's 25

  EXPECT_EQ(build(meta_of(IndexType::Flat, 0))->header().dimensions, 0u);
}

TEST(IndexFactoryTest, SettingsNoIndexCanHoldAreInvalidConfigBeforeAnythingIsBuilt) {
  const struct {
    const char* name;
    IndexType type;
    std::function<void(CollectionMeta&)> change;
    const char* message;  // empty: the settings are usable
  } cases[] = {
      {"faiss", IndexType::Faiss, [](CollectionMeta&) {},
       "collection 'c' uses index type faiss, which this build does not have"},
      {"hnsw m", IndexType::Hnsw,
       [](CollectionMeta& m) {
         m.hnsw_config = {200, 50, 1u << 31};
       },
       "hnsw_config: HNSW m of 2147483648 is above the largest usable, 32767"},
      {"hnsw ef_construction", IndexType::Hnsw,
       [](CollectionMeta& m) {
         m.hnsw_config = {1ull << 33, 50, 12};
       },
       "hnsw_config: HNSW ef_construction of 8589934592 is above the largest usable, 4294967295"},
      {"largest usable hnsw", IndexType::Hnsw,
       [](CollectionMeta& m) {
         m.hnsw_config = {HnswIndex::kMaxEfConstruction, ~0ull, HnswIndex::kMaxM};
       },
       ""},
      {"promotion m of a flat collection", IndexType::Flat,
       [](CollectionMeta& m) {
         m.promotion_hnsw_config = {200, 50, 1u << 31};
       },
       "promotion_hnsw_config: HNSW m of 2147483648 is above the largest usable, 32767"},
      {"quantizer m that does not divide the dimensions", IndexType::IvfPq,
       [](CollectionMeta& m) { m.dimensions = 3; }, "dimensions (3) must be divisible by m (8)"},
      {"hnsw settings of another type are not used", IndexType::Flat,
       [](CollectionMeta& m) {
         m.hnsw_config = {200, 50, 1u << 31};
       },
       ""},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    CollectionMeta meta = meta_of(tc.type);
    tc.change(meta);
    const Result<> checked = check_collection_settings(meta);
    auto index = create_index(meta, "/nowhere");
    if (*tc.message == '\0') {
      EXPECT_TRUE(checked.has_value());
      EXPECT_TRUE(index.has_value());
      continue;
    }
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(checked.error().kind(), ErrorKind::InvalidConfig);
    EXPECT_EQ(checked.error().text(), tc.message);
    ASSERT_FALSE(index.has_value());
    EXPECT_EQ(index.error().text(), tc.message);
  }
}

TEST(IndexFactoryTest, MemoryMappedFileIsOpenedOrIgnoredOnRequest) {
  testing::TempDir tmp;
  const std::string path = tmp.file("vectors.mmap");
  {
    MmapFlatIndex writer(path, 8, Metric::Cosine);
    ASSERT_TRUE(writer.add(5, std::vector<float>(8, 1.0f)));
    writer.flush();
  }
  EXPECT_EQ(build(meta_of(IndexType::MmapFlat), tmp.path())->len(), 1u);
  auto rebuilt = create_index(meta_of(IndexType::MmapFlat), tmp.path(), MmapFileUse::kRebuild);
  ASSERT_TRUE(rebuilt);
  EXPECT_EQ((*rebuilt)->len(), 0u);
  EXPECT_TRUE(std::filesystem::exists(path));  // left for the next flush to replace

  // A file of other dimensions is a damaged cache: removed, and the index starts empty.
  auto other = create_index(meta_of(IndexType::MmapFlat, 4), tmp.path());
  ASSERT_TRUE(other);
  EXPECT_EQ((*other)->len(), 0u);
  EXPECT_FALSE(std::filesystem::exists(path));

  // So is anything but a regular file, which is never opened (a FIFO would block).
  ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
  auto fifo = create_index(meta_of(IndexType::MmapFlat), tmp.path());
  ASSERT_TRUE(fifo);
  EXPECT_EQ((*fifo)->len(), 0u);
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace sorvel
