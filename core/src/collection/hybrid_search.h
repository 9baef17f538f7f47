#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "collection/collection.h"
#include "collection/sparse_index.h"
#include "index/vector_index.h"
#include "payload/filter_condition.h"
#include "payload/payload.h"
#include "result.h"

// Hybrid search: a dense nearest-neighbour search and a sparse dot-product search over the posting
// lists, each side normalised to a common range and mixed with two weights. All arithmetic on
// distances, scores and weights is f32 in one fixed order, so results are reproducible bit for bit.

namespace sorvel {

// One result of a hybrid search. Owns its payload copy, so it outlives the client lock.
struct HybridHit {
  std::optional<Payload> payload;  // absent when the id has no payload
  std::uint64_t id = 0;
  float score = 0.0f;           // fused score; larger is better
  float dense_distance = 0.0f;  // the dense side's distance, or the dense maximum when it missed
  float sparse_score = 0.0f;    // the sparse dot product, or 0 when the sparse side missed
};

// A hit before its payload is copied: the fused values of one id.
struct HybridScore {
  std::uint64_t id = 0;
  float score = 0.0f;
  float dense_distance = 0.0f;
  float sparse_score = 0.0f;
};

// The normalisation values of one side. The defaults are those of a side with no values.
struct HybridRange {
  float min = 0.0f;
  float max = 1.0f;
  float range = 1.0f;
};

// The running min/max fold of one side's values, skipping NaN: the minimum starts at the largest
// finite f32 (3.4028235e38) and the maximum at its negation; a step takes the value when the
// running value is NaN, keeps the running value when the value is NaN, else keeps the smaller
// (larger) of the two. range = max - min, replaced by 1e-9 when it is not greater than 1e-9 (a NaN
// range included). A side with no value at all has {min 0, max 1, range 1}.
class HybridRangeFold {
 public:
  void add(float value);
  HybridRange finish() const;

 private:
  bool any_ = false;
  float min_ = 3.4028235e38f;
  float max_ = -3.4028235e38f;
};

// The fold over `values`.
HybridRange hybrid_range(std::span<const float> values);

// The fused score of an id with dense distance `d` and sparse score `s`, in exactly this f32 order:
// a = (d - dmin) / drange, b = 1 - a, c = (s - smin) / srange, then (c * sparse_weight) +
// (b * dense_weight).
float hybrid_fused_score(float d, float s, const HybridRange& dense, const HybridRange& sparse,
                         float dense_weight, float sparse_weight);

// The per-id step of the fusion. `dense_distance` / `sparse_score` point at the id's value of
// each side, or are null when that side did not find the id: d then defaults to the dense maximum
// and s to 0.0 (not the sparse minimum: 0 is the true dot product of an id sharing no term with
// the query). With a filter, the id's payload (null when `payload` is null) must match, else the
// id is dropped (nullopt). Never fails.
std::optional<HybridScore> hybrid_fuse(std::uint64_t id, const float* dense_distance,
                                       const float* sparse_score, const HybridRange& dense,
                                       const HybridRange& sparse, float dense_weight,
                                       float sparse_weight, const Payload* payload,
                                       const FilterCondition* filter);

// The order of hybrid results: descending score with NaN after every number. Equal scores are
// ties (a strict weak ordering).
bool hybrid_score_greater(float a, float b);

// The order of fused hits: hybrid_score_greater, equal scores by dense distance (nearest first,
// NaN last), then by the higher sparse score (NaN last), then by the lower id. A total order, so
// the result of a search is fixed. A degenerate range (a single sparse score, say) can make the
// other side's term vanish next to it in f32: the dense order then still holds among the ties.
bool hybrid_better(const HybridScore& a, const HybridScore& b);

// Hybrid search over a collection's parts:
//  1. k = 0 gives an empty list at once (no search, whatever the query).
//  2. Both sides fetch n = max(10 k, k) candidates (10 k saturating at the largest u64).
//  3. Dense: the index's n nearest (n capped at len(), which changes no result); with a filter,
//     the n nearest whose payload (null when the id has none) passes (the index's
//     search_filtered). Its error (DimensionMismatch) is the only error of the call and is
//     returned unchanged.
//  4. Sparse, when the query has at least one index and one value and some posting list exists:
//     for each of the first min(len(indices), len(values)) query pairs (t, q) in query order, each
//     entry (id, w) of t's list in list order adds w * q to the id's score (a new score starts at
//     0.0, so it holds p + 0.0). The n best scores (NaN last; ties at the cut in no defined order)
//     are kept; with a filter, the n best of the passing ids.
//  5. Each side's values (all of them passing ids) are folded into its HybridRange.
//  6. Every id of either side is fused (hybrid_fuse), and the k best by hybrid_better are
//     returned best first, each with a copy of its payload.
//     Payloads are copied only for the returned hits.
// So a filtered search answers as the unfiltered one would over a collection holding only the
// passing vectors (with an exact index, bit for bit up to the order of equal scores).
// Reads the index, the payloads and the sparse index only; callers may run it on several threads
// at once while nothing changes the collection.
Result<std::vector<HybridHit>> search_hybrid(const VectorIndex& index, const PayloadMap& payloads,
                                             const SparseIndex& sparse,
                                             std::span<const float> dense_query,
                                             const SparseVector& sparse_query, std::uint64_t k,
                                             float dense_weight, float sparse_weight,
                                             const FilterCondition* filter);

// The same over a registered collection; the caller holds the client lock for reading.
Result<std::vector<HybridHit>> search_hybrid(const Collection& collection,
                                             std::span<const float> dense_query,
                                             const SparseVector& sparse_query, std::uint64_t k,
                                             float dense_weight, float sparse_weight,
                                             const FilterCondition* filter);

}  // namespace sorvel
