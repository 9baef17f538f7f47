#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "index/vector_index.h"

namespace sorvel {

// The order of hits: ascending distance with NaN after every number. Equal distances (and -0.0 with
// +0.0, and NaN with NaN) are ties. A strict weak ordering, so std::sort and friends are defined.
inline bool distance_less(float a, float b) {
  if (std::isnan(a)) return false;
  return std::isnan(b) || a < b;
}

inline bool hit_less(const SearchHit& a, const SearchHit& b) {
  return distance_less(a.distance, b.distance);
}

// Keeps the min(k, n) best of `hits` (any ties at the boundary: which are kept is not defined) and
// sorts them by ascending distance (ties in no defined order). Expected linear time plus the sort of
// the kept hits.
void select_top_k(std::vector<SearchHit>& hits, std::size_t k);

// Which of two hits at equal distance a collector keeps and puts first.
enum class TopKTies {
  kAny,      // either: which of them are kept at the cut is not defined
  kLowerId,  // the lower id, so the kept hits are the k smallest by (distance, id)
};

// A bounded top-k collector for scans: keeps the k best hits pushed so far in a max-heap, so a scan
// over n rows costs O(n log k) comparisons at worst and rarely more than one comparison per row.
// With TopKTies::kAny it returns what select_top_k would return over the full candidate list (up
// to the order of ties); with TopKTies::kLowerId, the k smallest by (distance, id), in that order.
//
// `candidates` is how many hits the caller will push, when it knows: the heap then reserves
// min(k, candidates) up front and never allocates during the scan. Without it the reservation is
// capped, so a huge k (a caller's k is not bounded) cannot fail an allocation before any hit exists;
// pushing more than `candidates` hits is still correct, it only allocates.
template <TopKTies kTies>
class BasicTopK {
 public:
  static constexpr std::size_t kUnboundedReserve = 1024;

  explicit BasicTopK(std::size_t k, std::size_t candidates = SIZE_MAX) : k_(k) {
    heap_.reserve(std::min(k, candidates == SIZE_MAX ? kUnboundedReserve : candidates));
  }

  // The distance a new hit must beat to be kept (only meaningful once full()).
  float worst() const { return heap_.front().distance; }
  bool full() const { return heap_.size() == k_; }
  std::size_t capacity() const { return k_; }

  void push(std::uint64_t id, float distance) {
    if (k_ == 0) return;
    if (heap_.size() < k_) {
      heap_.push_back({id, distance});
      std::push_heap(heap_.begin(), heap_.end(), Better{});
    } else if (Better{}({id, distance}, heap_.front())) {
      replace_worst({id, distance});
    } else {
      return;
    }
    if (full()) {
      worst_ = heap_.front().distance;
      // A NaN worst hit is beaten by every number, which the plain comparison below would miss.
      gated_ = !std::isnan(worst_);
    }
  }

  // Offers the scores of one scanned block of rows, scores[r] for r in [0, count), in order. Once
  // the collector is full, a row costs one comparison against the worst kept distance; only a row
  // that would enter goes on to `candidate(r)`, which returns the row's id, or nullopt to pass the
  // row over (a deleted row, an id a filter refuses). So the per-row bookkeeping of a scan, and any
  // filter, runs for the few rows that can still make the top k.
  template <class Candidate>
  void offer(const float* scores, std::size_t count, Candidate&& candidate) {
    constexpr std::size_t kGroup = 8;
    for (std::size_t r = 0; r < count; r += kGroup) {
      const std::size_t end = std::min(count, r + kGroup);
      // Whole groups that cannot enter are skipped with one vector comparison (a fixed-length
      // loop the compiler vectorises); the row-by-row test below runs for the rest.
      if (gated_ && end - r == kGroup) {
        const float worst = worst_;
        bool any = false;
        for (std::size_t j = 0; j < kGroup; ++j) any |= may_enter(scores[r + j], worst);
        if (!any) continue;
      }
      for (std::size_t j = r; j < end; ++j) {
        const float s = scores[j];
        if (gated_ && !may_enter(s, worst_)) continue;
        if (const std::optional<std::uint64_t> id = candidate(j)) push(*id, s);
      }
    }
  }

  // The kept hits, best first; the collector is left empty.
  std::vector<SearchHit> take_sorted() {
    std::sort_heap(heap_.begin(), heap_.end(), Better{});
    return std::move(heap_);
  }

 private:
  // A function object rather than a function, so the heap algorithms inline it.
  struct Better {
    bool operator()(const SearchHit& a, const SearchHit& b) const {
      if constexpr (kTies == TopKTies::kAny) {
        return hit_less(a, b);
      } else {
        if (distance_less(a.distance, b.distance)) return true;
        if (distance_less(b.distance, a.distance)) return false;
        return a.id < b.id;
      }
    }
  };
  // Puts `hit` (better than the worst) in place of the worst kept hit: one pass down the heap,
  // where popping the worst and pushing `hit` takes two.
  void replace_worst(const SearchHit& hit) {
    const Better better;
    const std::size_t n = heap_.size();
    std::size_t at = 0;
    for (;;) {
      std::size_t child = 2 * at + 1;
      if (child >= n) break;
      if (child + 1 < n && better(heap_[child], heap_[child + 1])) ++child;
      if (!better(hit, heap_[child])) break;
      heap_[at] = heap_[child];
      at = child;
    }
    heap_[at] = hit;
  }
  // Whether a row scored `s` can enter a full collector whose worst kept distance is the number
  // `worst`: only a smaller one, or with kLowerId an equal one (its id decides).
  static bool may_enter(float s, float worst) {
    if constexpr (kTies == TopKTies::kAny) {
      return s < worst;
    } else {
      return s <= worst;
    }
  }

  std::size_t k_;
  std::vector<SearchHit> heap_;
  // Once full with a number as its worst distance: that distance, which a new hit must beat.
  bool gated_ = false;
  float worst_ = 0.0f;
};

using TopK = BasicTopK<TopKTies::kAny>;

}  // namespace sorvel
