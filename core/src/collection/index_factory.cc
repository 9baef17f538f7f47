#include "collection/index_factory.h"

#include <sys/stat.h>

#include <utility>

#include "check.h"
#include "index/binary_flat/binary_flat_index.h"
#include "index/flat/flat_index.h"
#include "index/hnsw/hnsw_index.h"
#include "index/ivf/ivf_index.h"
#include "index/ivf_pq/ivf_pq_index.h"
#include "index/mmap_flat/mmap_flat_index.h"
#include "index/quantized_flat/quantized_flat_index.h"
#include "index/quantized_fp16/fp16_flat_index.h"
#include "posix_file.h"
#include "str_cat.h"

namespace sorvel {

namespace {

template <class Index, class... Args>
std::unique_ptr<VectorIndex> boxed(Args&&... args) {
  return std::make_unique<Index>(std::forward<Args>(args)...);
}

Result<std::unique_ptr<VectorIndex>> mmap_index(const CollectionMeta& meta, const std::string& dir,
                                                MmapFileUse use) {
  const std::string path = join_path(dir, kMmapFileName);
  const auto dims = static_cast<std::size_t>(meta.dimensions);
  struct stat st {};
  if (use == MmapFileUse::kOpen && ::stat(path.c_str(), &st) == 0) {
    // Only a regular file is opened (a FIFO would block the opening); anything else is no cache.
    if (S_ISREG(st.st_mode)) {
      Result<MmapFlatIndex> opened = MmapFlatIndex::open(path, dims, meta.metric);
      if (opened) return std::unique_ptr<VectorIndex>(new MmapFlatIndex(std::move(opened).value()));
    }
    // Damaged cache: the log rebuilds it, so the file only has to go out of the way.
    SORVEL_TRY(remove_if_present(path));
  }
  return boxed<MmapFlatIndex>(path, dims, meta.metric);
}

Result<> check_hnsw_record(std::string_view record, const HnswConfig& config) {
  const Result<> usable =
      HnswIndex::check_config(config.ef_construction, config.ef_search, config.m);
  if (!usable) return DbError::invalid_config(str_cat(record, ": ", usable.error().text()));
  return ok();
}

}  // namespace

Result<> check_collection_settings(const CollectionMeta& meta) {
  if (meta.index_type == IndexType::Faiss) {
    return DbError::invalid_config(str_cat(
        "collection '", meta.name, "' uses index type faiss, which this build does not have"));
  }
  if (meta.index_type == IndexType::Hnsw) {
    SORVEL_TRY(check_hnsw_record("hnsw_config", meta.hnsw_config.value_or(HnswConfig{})));
  }
  if (meta.index_type == IndexType::IvfPq) {
    SORVEL_TRY(check_pq_config(meta.dimensions, meta.ivf_pq_config.value_or(IvfPqConfig{}).pq));
  }
  if (meta.promotion_hnsw_config) {
    SORVEL_TRY(check_hnsw_record("promotion_hnsw_config", *meta.promotion_hnsw_config));
  }
  return ok();
}

Result<std::unique_ptr<VectorIndex>> create_index(const CollectionMeta& meta,
                                                  const std::string& dir, MmapFileUse mmap_file) {
  SORVEL_TRY(check_collection_settings(meta));
  const auto dims = static_cast<std::size_t>(meta.dimensions);
  const Metric metric = meta.metric;
  switch (meta.index_type) {
    case IndexType::Flat:
      return boxed<FlatIndex>(dims, metric);
    case IndexType::Hnsw: {
      const HnswConfig config = meta.hnsw_config.value_or(HnswConfig{});
      return boxed<HnswIndex>(dims, metric, static_cast<std::size_t>(config.ef_construction),
                              static_cast<std::size_t>(config.ef_search),
                              static_cast<std::size_t>(config.m));
    }
    case IndexType::QuantizedFlat:
      return boxed<QuantizedFlatIndex>(dims, metric);
    case IndexType::Ivf: {
      SORVEL_ASSIGN_OR_RETURN(
          IvfIndex index, IvfIndex::create(dims, metric, meta.ivf_config.value_or(IvfConfig{})));
      return std::unique_ptr<VectorIndex>(new IvfIndex(std::move(index)));
    }
    case IndexType::IvfPq: {
      SORVEL_ASSIGN_OR_RETURN(
          IvfPqIndex index,
          IvfPqIndex::create(dims, metric, meta.ivf_pq_config.value_or(IvfPqConfig{})));
      return std::unique_ptr<VectorIndex>(new IvfPqIndex(std::move(index)));
    }
    case IndexType::Fp16Flat:
      return boxed<Fp16FlatIndex>(dims, metric);
    case IndexType::MmapFlat:
      return mmap_index(meta, dir, mmap_file);
    case IndexType::BinaryFlat:
      return boxed<BinaryFlatIndex>(dims, metric);
    case IndexType::Faiss:
      break;  // refused by the settings check
  }
  invariant_failure(str_cat("no index for type code ", static_cast<int>(meta.index_type)));
}

}  // namespace sorvel
