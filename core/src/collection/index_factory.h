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
  // or metric, unreadable) is a damaged cache of what the log holds: it is removed and the index
  // starts empty, so the next flush writes it anew.
  kOpen,
  // Start empty whatever the directory holds; the next flush replaces the file. A collection's log
  // holds every live vector, so opening a collection rebuilds the file from the log rather than
  // trusting a cache that may still hold vectors deleted before the last compaction.
  kRebuild,
};

// A new, empty index for a collection: the type, dimensions, metric and the parameter record of
// `meta.index_type` (absent record: the collection defaults, e.g. IVF k-means max_iter 10 rather
// than the standalone classes' 25). Other records, promotion_hnsw_config included, are ignored.
// `dir` is used by the mmap_flat type only (its file is dir/"vectors.mmap").
//
// Errors: InvalidConfig for an IVF-PQ configuration its quantizer cannot be trained with (pq.m 0
// or not dividing the dimensions, pq.k_sub outside 1..256); Io when a damaged "vectors.mmap"
// cannot be removed. The faiss type is an internal invariant failure (InvariantFailure) with the
// message "collection '{name}' uses IndexType::Faiss but sorvel-core was compiled without the
// 'faiss' feature; rebuild with `--features faiss`". The caller owns the index.
Result<std::unique_ptr<VectorIndex>> create_index(const CollectionMeta& meta,
                                                  const std::string& dir,
                                                  MmapFileUse mmap_file = MmapFileUse::kOpen);

}  // namespace sorvel
