#pragma once

// The HNSW loaders refuse a graph only when it would not fit in this machine's physical memory
// (every node, absent ones included, costs its vector and a layer-0 row of m_max0 entries), so a
// few bytes naming a wide layer-0 row or a large dimension may legitimately ask for gigabytes.
// The HNSW targets pass such inputs over instead of reporting them against the fuzzer's 2 GiB
// limit; the system's own files stay far inside these bounds.

#include <cstddef>
#include <cstdint>
#include <span>

#include "encoding.h"
#include "index/hnsw/hnsw_graph.h"

namespace sorvel::fuzz {

inline constexpr std::uint64_t kMaxFuzzLayer0Limit = 4096;
inline constexpr std::uint64_t kMaxFuzzDimensions = 4096;

// Whether the graph record at the start of `record` (or bytes that do not decode as one, which the
// loader refuses) stays within the bounds above.
inline bool graph_within_budget(std::span<const std::uint8_t> record) {
  Decoder in = Decoder::from_memory(record);
  Result<HnswGraphSnapshot> snapshot = HnswGraph::decode_snapshot(in);
  return !snapshot || snapshot->m_max0 <= kMaxFuzzLayer0Limit;
}

}  // namespace sorvel::fuzz
