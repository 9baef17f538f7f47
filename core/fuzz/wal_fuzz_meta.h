#pragma once

// The collection that the wal_replay target replays its input into, shared with the seed
// generator so that seeds and target agree on what the selector byte means.

#include <cstdint>

#include "collection/collection_meta.h"

namespace sorvel::fuzz {

// The collection of selector byte `selector`; make_seeds.cc writes its seeds with the same.
inline CollectionMeta wal_fuzz_meta(std::uint8_t selector) {
  constexpr IndexType kTypes[] = {
      IndexType::Flat,  IndexType::Hnsw,     IndexType::QuantizedFlat, IndexType::Ivf,
      IndexType::IvfPq, IndexType::Fp16Flat, IndexType::MmapFlat,      IndexType::BinaryFlat};
  CollectionMeta meta = CollectionMeta::for_new_collection(
      "fuzz", 4, static_cast<Metric>(selector / 8 % 3), kTypes[selector % 8]);
  if (meta.ivf_config) *meta.ivf_config = IvfConfig{2, 2, 4, 3};
  if (meta.ivf_pq_config) *meta.ivf_pq_config = IvfPqConfig{2, 2, 4, 3, PqConfig{2, 4, 3}};
  if (meta.hnsw_config) *meta.hnsw_config = HnswConfig{16, 16, 4};
  if (meta.index_type == IndexType::Flat) {
    meta.auto_promote_threshold = 6;
    meta.promotion_hnsw_config = HnswConfig{16, 16, 4};
  }
  return meta;
}

}  // namespace sorvel::fuzz
