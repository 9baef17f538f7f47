#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "collection/collection_meta.h"
#include "index/vector_index.h"
#include "result.h"

namespace sorvel {

// The cache file of a memory-mapped collection, in its directory.
inline constexpr std::string_view kMmapFileName = "vectors.mmap";

// What the memory-mapped kind does with an existing "vectors.mmap".
enum class MmapFileUse {
  // Map it when its status can be read. A file that does not open (bad header, other dimensions
  // or metric, unreadable, no regular file: never opened) is a damaged cache of what the log
  // holds: it is removed and the index starts empty, so the next flush writes it anew.
  kOpen,
  // Start empty whatever the directory holds; the next flush replaces the file. A collection's log
  // holds every live vector, so opening a collection rebuilds the file from the log rather than
  // trusting a cache that may still hold vectors deleted before the last compaction.
  kRebuild,
};

// InvalidConfig for settings of `meta` that no index can be built with, before anything is
// allocated, in this order of checks: the faiss type ("collection '{name}' uses index type faiss,
// which this build does not have"); an hnsw_config of an hnsw collection that
// HnswIndex::check_config refuses ("hnsw_config: {its message}"); an IVF-PQ configuration its
// quantizer cannot be trained with (check_pq_config); a promotion_hnsw_config that
// HnswIndex::check_config refuses ("promotion_hnsw_config: {its message}"), for every type, since
// it is what a flat collection would promote with. Settings whose memory only grows with the
// vectors stored (dimensions, the IVF list counts and training sizes, iteration limits) are not
// refused.
Result<> check_collection_settings(const CollectionMeta& meta);

// A new, empty index for a collection: the type, dimensions, metric and the parameter record of
// `meta.index_type` (absent record: the collection defaults, e.g. IVF k-means max_iter 10 rather
// than the standalone classes' 25). Other records are not used. `dir` is used by the mmap_flat
// type only (its file is dir/"vectors.mmap").
//
// Errors: check_collection_settings's (nothing built); Io when a damaged "vectors.mmap" cannot be
// removed. The caller owns the index.
Result<std::unique_ptr<VectorIndex>> create_index(const CollectionMeta& meta,
                                                  const std::string& dir,
                                                  MmapFileUse mmap_file = MmapFileUse::kOpen);

}  // namespace sorvel
