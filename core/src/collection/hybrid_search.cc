#include "collection/hybrid_search.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#include "index/topk.h"

namespace sorvel {

namespace {

constexpr float kMinRange = 1e-9f;
// How many posting entries ahead the accumulation prefetches its table slot.
constexpr std::size_t kPrefetchAhead = 16;

// Open-addressing map from id to f32 for the working values of one search (linear probing over a
// power-of-two table, at most half full). Sized once for the ids it is expected to receive, so
// filling it does not allocate; it grows only when that estimate was short (a posting list naming
// an id without a stored vector, which a "sparse.bin" written elsewhere may hold).
class IdFloatTable {
 public:
  explicit IdFloatTable(std::size_t expected) { allocate(expected); }

  // The value of `id`, created as 0.0 when the id is new.
  float& at_or_zero(std::uint64_t id) {
    std::size_t i = slot_of(id);
    if (slots_[i].used) return slots_[i].value;
    if (2 * (size_ + 1) > slots_.size()) {
      allocate(2 * (size_ + 1));
      i = slot_of(id);
    }
    Slot& slot = slots_[i];
    slot.used = true;
    slot.id = id;
    slot.value = 0.0f;
    ++size_;
    return slot.value;
  }

  // Inserts or replaces.
  void set(std::uint64_t id, float value) { at_or_zero(id) = value; }

  const float* find(std::uint64_t id) const {
    const Slot& slot = slots_[slot_of(id)];
    return slot.used ? &slot.value : nullptr;
  }

  std::size_t size() const { return size_; }

  // A hint that `id` is looked up soon: its home slot is fetched into the cache meanwhile.
  void prefetch(std::uint64_t id) const { __builtin_prefetch(&slots_[home(id)]); }

  // Visits every (id, value) in table order; `f` gets a reference into the table, valid while
  // nothing is inserted.
  template <class F>
  void for_each(F&& f) const {
    for (const Slot& s : slots_) {
      if (s.used) f(s.id, s.value);
    }
  }

 private:
  struct Slot {
    std::uint64_t id = 0;
    float value = 0.0f;
    bool used = false;
  };

  // Fibonacci hashing of the id with its high half folded in first: consecutive ids (the usual
  // case) spread evenly, and ids that differ only in their high bits still reach every slot.
  std::size_t home(std::uint64_t id) const {
    return static_cast<std::size_t>(((id ^ (id >> 32)) * 0x9e3779b97f4a7c15ULL) >> shift_);
  }

  // The slot holding `id`, or the free slot where it would go.
  std::size_t slot_of(std::uint64_t id) const {
    std::size_t i = home(id);
    while (slots_[i].used && slots_[i].id != id) i = (i + 1) & mask_;
    return i;
  }

  // Re-creates the table with room for at least `expected` ids, keeping its entries.
  void allocate(std::size_t expected) {
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(2 * expected, 16));
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
    mask_ = capacity - 1;
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
    for (const Slot& s : old) {
      if (s.used) slots_[slot_of(s.id)] = s;
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  std::size_t size_ = 0;
};

struct ScoredId {
  std::uint64_t id;
  float score;
};

bool scored_greater(const ScoredId& a, const ScoredId& b) {
  return hybrid_score_greater(a.score, b.score);
}

// Keeps the `n` best of `items` by `greater` (which of equal items survive the cut is not
// defined); the kept ones are sorted when `sort` is set.
template <class T, class Greater>
void keep_best(std::vector<T>& items, std::uint64_t n, Greater greater, bool sort) {
  if (items.size() > n) {
    const auto cut = items.begin() + static_cast<std::ptrdiff_t>(n);
    std::nth_element(items.begin(), cut, items.end(), greater);
    items.erase(cut, items.end());
  }
  if (sort) std::sort(items.begin(), items.end(), greater);
}

// The sparse side: the accumulated dot products of every id met in the query terms' posting
// lists, in the accumulation table's order.
std::vector<ScoredId> sparse_scores(const SparseIndex& sparse, const SparseVector& query) {
  const std::size_t pairs = std::min(query.indices.size(), query.values.size());
  if (pairs == 0 || sparse.posting_lists().empty()) return {};

  // One probe per term; the lists met bound the number of distinct ids.
  struct Term {
    const SparseIndex::PostingList* list;
    float weight;
  };
  std::vector<Term> terms;
  terms.reserve(pairs);
  std::size_t entries = 0;
  for (std::size_t i = 0; i < pairs; ++i) {
    const SparseIndex::PostingList* list = sparse.postings(query.indices[i]);
    if (list == nullptr) continue;
    terms.push_back({list, query.values[i]});
    entries += list->size();
  }
  if (terms.empty()) return {};

  IdFloatTable scores(std::min(entries, sparse.len()));
  for (const Term& term : terms) {
    const float q = term.weight;
    const PostingEntry* entry = term.list->data();
    const std::size_t count = term.list->size();
    for (std::size_t i = 0; i < count; ++i) {
      // The table is far larger than the cache when many ids are touched: fetching the slot of
      // an entry a little ahead hides most of the miss.
      if (i + kPrefetchAhead < count) scores.prefetch(entry[i + kPrefetchAhead].id);
      const float p = entry[i].weight * q;
      float& acc = scores.at_or_zero(entry[i].id);
      acc = p + acc;
    }
  }

  std::vector<ScoredId> out;
  out.reserve(scores.size());
  scores.for_each([&](std::uint64_t id, float score) { out.push_back({id, score}); });
  return out;
}

const Payload* find_payload(const PayloadMap& payloads, std::uint64_t id) {
  const auto it = payloads.find(id);
  return it == payloads.end() ? nullptr : &it->second;
}

const Payload kNullPayload;

}  // namespace

void HybridRangeFold::add(float value) {
  any_ = true;
  if (std::isnan(min_)) {
    min_ = value;
  } else if (!std::isnan(value)) {
    min_ = value < min_ ? value : min_;
  }
  if (std::isnan(max_)) {
    max_ = value;
  } else if (!std::isnan(value)) {
    max_ = value > max_ ? value : max_;
  }
}

HybridRange HybridRangeFold::finish() const {
  HybridRange r;
  if (any_) {
    r.min = min_;
    r.max = max_;
  }
  const float range = r.max - r.min;
  r.range = range > kMinRange ? range : kMinRange;  // false for NaN too
  return r;
}

HybridRange hybrid_range(std::span<const float> values) {
  HybridRangeFold fold;
  for (const float v : values) fold.add(v);
  return fold.finish();
}

float hybrid_fused_score(float d, float s, const HybridRange& dense, const HybridRange& sparse,
                         float dense_weight, float sparse_weight) {
  // Each step is its own f32 operation (contraction is off project-wide), so the rounding is that
  // of this exact sequence.
  const float a = (d - dense.min) / dense.range;
  const float b = 1.0f - a;
  const float c = (s - sparse.min) / sparse.range;
  const float dense_term = b * dense_weight;
  const float sparse_term = c * sparse_weight;
  return sparse_term + dense_term;
}

std::optional<HybridScore> hybrid_fuse(std::uint64_t id, const float* dense_distance,
                                       const float* sparse_score, const HybridRange& dense,
                                       const HybridRange& sparse, float dense_weight,
                                       float sparse_weight, const Payload* payload,
                                       const FilterCondition* filter) {
  if (filter != nullptr && !filter->matches(payload != nullptr ? *payload : kNullPayload)) {
    return std::nullopt;
  }
  const float d = dense_distance != nullptr ? *dense_distance : dense.max;
  const float s = sparse_score != nullptr ? *sparse_score : 0.0f;
  return HybridScore{id, hybrid_fused_score(d, s, dense, sparse, dense_weight, sparse_weight), d,
                     s};
}

bool hybrid_score_greater(float a, float b) {
  if (std::isnan(a)) return false;
  return std::isnan(b) || a > b;
}

bool hybrid_better(const HybridScore& a, const HybridScore& b) {
  if (hybrid_score_greater(a.score, b.score)) return true;
  if (hybrid_score_greater(b.score, a.score)) return false;
  if (distance_less(a.dense_distance, b.dense_distance)) return true;
  if (distance_less(b.dense_distance, a.dense_distance)) return false;
  if (hybrid_score_greater(a.sparse_score, b.sparse_score)) return true;
  if (hybrid_score_greater(b.sparse_score, a.sparse_score)) return false;
  return a.id < b.id;
}

Result<std::vector<HybridHit>> search_hybrid(const VectorIndex& index, const PayloadMap& payloads,
                                             const SparseIndex& sparse,
                                             std::span<const float> dense_query,
                                             const SparseVector& sparse_query, std::uint64_t k,
                                             float dense_weight, float sparse_weight,
                                             const FilterCondition* filter) {
  if (k == 0) return std::vector<HybridHit>{};
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t n = k > kMax / 10 ? kMax : 10 * k;

  // A filter is applied while each side picks its candidates, so each side keeps its n best
  // passing ids: a filtered search is the unfiltered one over the passing vectors alone, and a
  // selective filter still finds k hits when k pass. An id without payload is tested as null.
  const auto passes = [&](std::uint64_t id) {
    const Payload* p = find_payload(payloads, id);
    return filter->matches(p != nullptr ? *p : kNullPayload);
  };

  // Dense side. No index returns more than len() hits, so the cap changes no result; it keeps a
  // huge n from sizing anything.
  const auto fetch = static_cast<std::size_t>(std::min<std::uint64_t>(n, index.len()));
  SORVEL_ASSIGN_OR_RETURN(std::vector<SearchHit> hits,
                          filter == nullptr
                              ? index.search(dense_query, fetch)
                              : index.search_filtered(dense_query, fetch, IdFilter(passes)));
  IdFloatTable dense(hits.size());
  for (const SearchHit& h : hits) dense.set(h.id, h.distance);  // a repeated id keeps its last

  // Sparse side: the n best accumulated scores of passing ids. Only the kept set matters, not its
  // order.
  std::vector<ScoredId> scored = sparse_scores(sparse, sparse_query);
  if (filter != nullptr) {
    std::erase_if(scored, [&](const ScoredId& s) { return !passes(s.id); });
  }
  keep_best(scored, n, scored_greater, /*sort=*/false);
  IdFloatTable kept(scored.size());
  for (const ScoredId& s : scored) kept.set(s.id, s.score);

  // Both ranges cover every candidate.
  HybridRangeFold dense_fold;
  dense.for_each([&](std::uint64_t, float d) { dense_fold.add(d); });
  HybridRangeFold sparse_fold;
  kept.for_each([&](std::uint64_t, float s) { sparse_fold.add(s); });
  const HybridRange dense_range = dense_fold.finish();
  const HybridRange sparse_range = sparse_fold.finish();

  // The union: every dense id, then every sparse id the dense side did not find. Every candidate
  // passed the filter already.
  std::vector<HybridScore> fused;
  fused.reserve(dense.size() + kept.size());
  const auto fuse = [&](std::uint64_t id, const float* d, const float* s) {
    std::optional<HybridScore> hit = hybrid_fuse(id, d, s, dense_range, sparse_range, dense_weight,
                                                 sparse_weight, nullptr, nullptr);
    if (hit) fused.push_back(*hit);
  };
  dense.for_each([&](std::uint64_t id, const float& d) { fuse(id, &d, kept.find(id)); });
  kept.for_each([&](std::uint64_t id, const float& s) {
    if (dense.find(id) == nullptr) fuse(id, nullptr, &s);
  });

  keep_best(fused, k, hybrid_better, /*sort=*/true);

  std::vector<HybridHit> out;
  out.reserve(fused.size());
  for (const HybridScore& f : fused) {
    const Payload* p = find_payload(payloads, f.id);
    out.push_back(HybridHit{p != nullptr ? std::optional<Payload>(*p) : std::nullopt, f.id, f.score,
                            f.dense_distance, f.sparse_score});
  }
  return out;
}

Result<std::vector<HybridHit>> search_hybrid(const Collection& collection,
                                             std::span<const float> dense_query,
                                             const SparseVector& sparse_query, std::uint64_t k,
                                             float dense_weight, float sparse_weight,
                                             const FilterCondition* filter) {
  return search_hybrid(collection.index(), collection.payloads(), collection.sparse(), dense_query,
                       sparse_query, k, dense_weight, sparse_weight, filter);
}

}  // namespace sorvel
