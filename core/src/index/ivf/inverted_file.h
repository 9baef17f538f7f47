#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "distance/metric.h"
#include "encoding.h"
#include "index/ivf/kmeans.h"
#include "index/row_scan.h"
#include "index/topk.h"
#include "index/vector_index.h"
#include "result.h"

// The pieces both inverted-file indexes (plain and product-quantized) are built from: the buffer of
// vectors held before training, the choice of the lists a search scans, the exact scan of rows, and
// the parts of their files and file checks that are the same in both. Nothing here locks: the
// owning index's thread rule applies.

namespace sorvel {

// True, with `out` = a * b, when the product fits in 64 bits.
inline bool checked_product(std::uint64_t a, std::uint64_t b, std::uint64_t& out) {
  return !__builtin_mul_overflow(a, b, &out);
}

// Room for `extra` more elements of `v`. The capacity grows to at least twice its old value, so
// many small batches in a row copy the contents only a few times in all (reserving the exact sum
// at every batch would copy everything held at every batch).
template <class T>
void reserve_more(std::vector<T>& v, std::size_t extra) {
  const std::size_t needed = v.size() + extra;
  if (needed > v.capacity()) v.reserve(std::max(needed, 2 * v.capacity()));
}
// The same for the buckets of a hash map: a rehash at most when `extra` more entries would pass
// the load factor, then to at least twice the entries held.
template <class K, class V>
void reserve_more(std::unordered_map<K, V>& map, std::size_t extra) {
  const std::size_t needed = map.size() + extra;
  if (static_cast<double>(needed) >
      static_cast<double>(map.bucket_count()) * static_cast<double>(map.max_load_factor())) {
    map.reserve(std::max(needed, 2 * map.size()));
  }
}

// The vectors an index holds before training, in arrival order: row r is the `dims` floats at
// vectors()[r * dims] and belongs to ids()[r]. An id is held at most once (the owner removes an old
// entry before appending), except in a file being checked, which the held-once check refuses.
class TrainingBuffer {
 public:
  explicit TrainingBuffer(std::size_t dims) : dims_(dims) {}

  std::size_t size() const { return ids_.size(); }
  bool empty() const { return ids_.empty(); }
  const std::vector<std::uint64_t>& ids() const { return ids_; }
  const std::vector<float>& vectors() const { return vectors_; }
  const float* row(std::size_t r) const { return vectors_.data() + r * dims_; }
  // Row r (below size()) as an item with a copy of its vector.
  IndexItem item(std::size_t r) const {
    return IndexItem{ids_[r], std::vector<float>(row(r), row(r) + dims_)};
  }

  // Appends `id` with `dims` floats read from `vector`; `id` must not be held.
  void append(std::uint64_t id, const float* vector);
  // False when `id` is not held. Otherwise its row is replaced by the last row and true comes back.
  // A trained index calls this on every add, so the empty buffer is answered inline.
  bool remove(std::uint64_t id) { return !rows_.empty() && remove_if_held(id); }

  // The ids and rows, handed over whole; the buffer is left empty with its memory freed.
  struct Taken {
    std::vector<std::uint64_t> ids;
    std::vector<float> vectors;
  };
  Taken take();

  // Writes ids (u64 count, u64s) then rows (u64 count of floats, f32s).
  void encode(Encoder& out) const;
  // Reads what encode() writes, replacing the contents; the decoder's error when it cannot.
  Result<> decode(Decoder& in);
  // After decode(): Serialization "buffer holds F floats for B ids of D dimensions" unless the rows
  // are exactly `dims` floats per id.
  Result<> check_shape() const;

 private:
  bool remove_if_held(std::uint64_t id);

  std::vector<std::uint64_t> ids_;
  std::vector<float> vectors_;
  // Row of every id, so a replacing add finds an old buffered entry without a scan.
  std::unordered_map<std::uint64_t, std::size_t> rows_;
  std::size_t dims_;
};

// The lists a search scans: every one of the `n` centroids (d floats each) is scored against the
// query by distance_squared(metric), four at a time with distance_batch4, and the min(nprobe, n)
// nearest come back nearest first (distance_less order; ties in no promised order), each as
// (distance, list number). Empty when n or nprobe is 0.
std::vector<std::pair<float, std::size_t>> nearest_lists(Metric metric, const float* query,
                                                         const float* centroids, std::size_t n,
                                                         std::size_t d, std::uint64_t nprobe);

// The lists an unfiltered search scans: the nprobe nearest (nearest_lists), and when those hold
// fewer than `needed` rows, further lists nearest first until the lists hold `needed` rows or every
// list is in, so a search never comes back with fewer than min(k, held) hits. Where the nprobe
// nearest hold enough, the lists are exactly those of nearest_lists. `centroids` holds d floats
// for each of `lists`.
template <class List>
std::vector<std::pair<float, std::size_t>> lists_to_scan(Metric metric, const float* query,
                                                         const float* centroids, std::size_t d,
                                                         std::uint64_t nprobe,
                                                         std::span<const List> lists,
                                                         std::size_t needed) {
  const std::size_t n = lists.size();
  std::vector<std::pair<float, std::size_t>> probed =
      nearest_lists(metric, query, centroids, n, d, nprobe);
  std::size_t rows = 0;
  for (const auto& probe : probed) rows += lists[probe.second].ids.size();
  if (rows >= needed || probed.size() == n) return probed;
  std::vector<std::pair<float, std::size_t>> ranked =
      nearest_lists(metric, query, centroids, n, d, n);
  rows = 0;
  std::size_t end = 0;
  while (end < n && (end < probed.size() || rows < needed)) {
    rows += lists[ranked[end++].second].ids.size();
  }
  ranked.resize(end);
  return ranked;
}

// Scores `count` rows of `d` floats (row r belongs to ids[r]) against `query` into `top` by
// distance_squared(metric), four rows at a time with distance_batch4.
void scan_rows(Metric metric, const float* query, const float* rows, const std::uint64_t* ids,
               std::size_t count, std::size_t d, TopK& top);
// scan_rows, pushing the square root of each score (the Euclidean distance when the metric is L2).
void scan_rows_root(Metric metric, const float* query, const float* rows, const std::uint64_t* ids,
                    std::size_t count, std::size_t d, TopK& top);

// The coarse k-means of an index over its buffer of `dims`-float rows: k = min(buffered,
// max(n_lists, 1)) centroids (n_lists 0 acts as 1) within `max_iter` iterations, drawing from the
// calling thread's generator. See train_kmeans.
KMeansResult train_coarse(Metric metric, const TrainingBuffer& buffer, std::size_t dims,
                          std::uint64_t n_lists, std::uint64_t max_iter);

// How many of `assignment`'s entries name each of the lists 0..n_lists-1 (every entry must be
// below n_lists).
std::vector<std::size_t> count_per_list(const std::vector<std::size_t>& assignment,
                                        std::size_t n_lists);

// The list parameters both file formats begin their configuration with, as four u64 in this order.
// `Config` has the u64 members n_lists, nprobe, train_size and max_iter.
template <class Config>
void encode_list_params(Encoder& out, const Config& config) {
  out.u64(config.n_lists);
  out.u64(config.nprobe);
  out.u64(config.train_size);
  out.u64(config.max_iter);
}
template <class Config>
Result<> decode_list_params(Decoder& in, Config& config) {
  SORVEL_ASSIGN_OR_RETURN(config.n_lists, in.u64());
  SORVEL_ASSIGN_OR_RETURN(config.nprobe, in.u64());
  SORVEL_ASSIGN_OR_RETURN(config.train_size, in.u64());
  SORVEL_ASSIGN_OR_RETURN(config.max_iter, in.u64());
  return ok();
}

// The checks of a decoded file that both formats make first, in this order (Serialization):
// the buffer's shape, "C centroid floats for N centroids of D dimensions", "L lists for N
// centroids".
Result<> check_buffer_and_centroids(const TrainingBuffer& buffer,
                                    const std::vector<float>& centroids, std::uint64_t n_centroids,
                                    std::size_t n_lists, std::uint64_t dimensions);
// Serialization "id I names list L of N" for the first pair (in map order) naming no list.
Result<> check_list_numbers(const std::unordered_map<std::uint64_t, std::uint64_t>& id_to_list,
                            std::size_t n_lists);
// Serialization "id I is held twice" for the smallest id that stands twice in `held`.
Result<> check_held_once(std::vector<std::uint64_t> held);

// Filtered searches rank at least as many passing rows as the unfiltered search ranks rows: lists
// are probed nearest first until the rows scanned reach those of the nprobe nearest lists divided
// by the filter's passing share (estimated from a sample), and past that until k rows passed; at
// worst every list is scanned, which is the exact answer over what the index stores. Probing
// tests the ids of the rows it meets in list order, an order that scatters the caller's lookups;
// where it would test so many that testing every id once costs less (prefer_in_order_pass), the
// ids are tested in the order the index keeps them (as a rule the order they came in), as a flat
// scan tests them, and only the rows of passing ids are scored: the exact answer again.

// The candidate test of a scan over rows whose ids are `ids`: the id of row r when `accept`
// passes it.
inline auto passing_row(const std::uint64_t* ids, const IdFilter& accept) {
  return [ids, &accept](std::size_t r) -> std::optional<std::uint64_t> {
    if (!accept(ids[r])) return std::nullopt;
    return ids[r];
  };
}

// A filtered search's scan of the buffer: every buffered row whose id `accept` passes, scored by
// distance_squared (its square root when `root`).
inline void offer_buffer(Metric metric, const float* query, const TrainingBuffer& buffer,
                         std::size_t d, bool root, TopK& top, const IdFilter& accept) {
  offer_rows(metric, query, buffer.vectors().data(), d, buffer.size(), root, top,
             passing_row(buffer.ids().data(), accept));
}

// Up to this many ids, an index tests every id in order one at a time: the payloads of so few
// stay in the cache, where a batch only adds its own work.
inline constexpr std::size_t kSmallIndexIds = 32768;

// Calls each(id) for the ids of `ids` that `accept` passes, in order; beyond kSmallIndexIds ids
// they are tested kIdFilterBatch at a time.
template <class Each>
void for_each_passing(std::span<const std::uint64_t> ids, const IdFilter& accept, Each&& each) {
  if (ids.size() <= kSmallIndexIds) {
    for (const std::uint64_t id : ids) {
      if (accept(id)) each(id);
    }
    return;
  }
  bool pass[kIdFilterBatch];
  for (std::size_t at = 0; at < ids.size(); at += kIdFilterBatch) {
    const std::size_t batch = std::min(kIdFilterBatch, ids.size() - at);
    accept.test(ids.data() + at, batch, pass);
    for (std::size_t i = 0; i < batch; ++i) {
      if (pass[i]) each(ids[at + i]);
    }
  }
}

// Calls each(list, ids) for every run of one list in `passing` ((list, id) pairs), in ascending
// order of list and then id; `passing` is sorted first.
template <class Each>
void for_each_list_run(std::vector<std::pair<std::size_t, std::uint64_t>>& passing, Each&& each) {
  std::sort(passing.begin(), passing.end());
  std::vector<std::uint64_t> ids;
  for (std::size_t i = 0; i < passing.size();) {
    const std::size_t list = passing[i].first;
    ids.clear();
    for (; i < passing.size() && passing[i].first == list; ++i) ids.push_back(passing[i].second);
    each(list, std::span<const std::uint64_t>(ids));
  }
}

// (passing, sampled): `accept` run on up to `count` ids spread evenly over the ids of `lists`
// taken end to end, `total` ids in all.
template <class List>
std::pair<std::size_t, std::size_t> sample_passing_of(std::span<const List> lists,
                                                      std::size_t total, const IdFilter& accept,
                                                      std::size_t count) {
  const std::size_t step = std::max<std::size_t>(1, total / count);
  std::size_t passing = 0;
  std::size_t sampled = 0;
  std::size_t next = 0;  // the next sampled position, counted over the lists end to end
  std::size_t offset = 0;
  // The ids go to the filter a batch at a time: they lie in no memory order.
  std::uint64_t batch[kIdFilterBatch];
  bool pass[kIdFilterBatch];
  std::size_t held = 0;
  const auto test_held = [&] {
    accept.test(batch, held, pass);
    for (std::size_t i = 0; i < held; ++i) passing += pass[i] ? 1 : 0;
    held = 0;
  };
  for (const List& list : lists) {
    const std::size_t n = list.ids.size();
    for (; next < offset + n && sampled < count; next += step, ++sampled) {
      batch[held++] = list.ids[next - offset];
      if (held == kIdFilterBatch) test_held();
    }
    if (sampled == count) break;
    offset += n;
  }
  if (held > 0) test_held();
  return {passing, sampled};
}

// A first sample with fewer passing ids than this, none included, cannot tell the shares where
// every id is best tested in order (below about 0.1 %) from those where probing is: at 0.25 % a
// sample of kFilterSampleIds finds none about half the time. Those take a sample
// kFilterResampleFactor times as large instead, whose tests (in batches) cost a few percent of
// testing every id.
inline constexpr std::size_t kFilterResampleBelow = 4;
inline constexpr std::size_t kFilterResampleFactor = 4;

// (passing, sampled) from kFilterSampleIds ids, or from kFilterResampleFactor times as many when
// fewer than kFilterResampleBelow of those passed (when the index holds more than
// kFilterSampleIds).
template <class List>
std::pair<std::size_t, std::size_t> sample_passing(std::span<const List> lists, std::size_t total,
                                                   const IdFilter& accept) {
  const std::pair<std::size_t, std::size_t> first =
      sample_passing_of(lists, total, accept, kFilterSampleIds);
  if (first.first >= kFilterResampleBelow || first.second < kFilterSampleIds) return first;
  return sample_passing_of(lists, total, accept, kFilterSampleIds * kFilterResampleFactor);
}

// The rows a filtered search scans before it may stop: `unfiltered_rows` (those of the nprobe
// nearest lists) times sampled / passing, at most `total`; `total` when no sampled id passed.
std::size_t filtered_probe_rows(std::size_t unfiltered_rows,
                                std::pair<std::size_t, std::size_t> sample, std::size_t total);

// The cost model behind the choice, in units of one filter test of an id in the order the index
// keeps them (about 25 ns with a payload filter), a row's distance 0.01 per dimension. Probing
// tests every row it meets until k passed, about k / share rows, in batches; after that, one by
// one, the rows that would enter the top k: over r rows scanned in random order about
// k / (share r) of the next ones, so (k / share) ln(rows share / k) in all.
inline constexpr double kBatchedTestCost = 1.0;
inline constexpr double kListOrderTestCost = 1.5;
inline constexpr double kRowCostPerDimension = 0.01;

// True when testing all `total` ids in order and scoring the passing ones costs less than probing
// `probe_rows` rows (filtered_probe_rows) of `dims` dimensions for k hits with the share of
// `sample`; always when at most one sampled id passed.
bool prefer_in_order_pass(std::size_t total, std::size_t dims, std::size_t k,
                          std::pair<std::size_t, std::size_t> sample, std::size_t probe_rows);

// The rows a filtered search would probe: filtered_probe_rows with the nprobe lists' rows taken as
// nprobe average lists (the lists are not ranked yet when the choice is made).
inline std::size_t expected_probe_rows(std::uint64_t nprobe, std::size_t n_lists,
                                       std::pair<std::size_t, std::size_t> sample,
                                       std::size_t total) {
  const std::size_t lists = static_cast<std::size_t>(std::min<std::uint64_t>(nprobe, n_lists));
  const std::size_t rows = n_lists == 0 ? 0 : total / n_lists * lists;
  return filtered_probe_rows(rows, sample, total);
}

// A scan of `count` rows (row r belongs to ids[r]) for a filtered search into `top`, with the
// result of testing and scoring every row. Until `top` is full the ids are tested first,
// kIdFilterBatch at a time, and only passing rows are scored (score_one(r)); after that blocks of
// rows are scored (score_block(begin, count, out)) and only rows that would enter are tested. The
// ids of an inverted list lie in no memory order, and tests in batches overlap their cache misses.
template <class ScoreOne, class ScoreBlock>
void offer_filtered(const std::uint64_t* ids, std::size_t count, TopK& top,
                    const IdFilter& accept, ScoreOne&& score_one, ScoreBlock&& score_block) {
  if (top.capacity() == 0) return;
  std::size_t r = 0;
  bool pass[kIdFilterBatch];
  while (r < count && !top.full()) {
    const std::size_t batch = std::min(kIdFilterBatch, count - r);
    accept.test(ids + r, batch, pass);
    for (std::size_t i = 0; i < batch; ++i) {
      if (pass[i]) top.push(ids[r + i], score_one(r + i));
    }
    r += batch;
  }
  // Past that, the rows whose score beats the worst kept one when their block was scored are
  // tested in batches too; a row that a push in between has put out of reach is tested for
  // nothing, and the collector turns it away.
  float scores[kScanBlockRows];
  std::uint64_t near_ids[kIdFilterBatch];
  float near_scores[kIdFilterBatch];
  for (std::size_t start = r; start < count; start += kScanBlockRows) {
    const std::size_t m = std::min(kScanBlockRows, count - start);
    score_block(start, m, scores);
    const float worst = top.worst();
    std::size_t held = 0;
    const auto test_held = [&] {
      accept.test(near_ids, held, pass);
      for (std::size_t i = 0; i < held; ++i) {
        if (pass[i]) top.push(near_ids[i], near_scores[i]);
      }
      held = 0;
    };
    for (std::size_t i = 0; i < m; ++i) {
      if (!distance_less(scores[i], worst)) continue;
      near_ids[held] = ids[start + i];
      near_scores[held++] = scores[i];
      if (held == kIdFilterBatch) test_held();
    }
    if (held > 0) test_held();
  }
}

// The probing of a filtered search: the centroids of `lists` (d floats each) ranked by
// distance_squared to the query, and scan(c, top) called for lists c nearest first until the rows
// scanned reach filtered_probe_rows for `sample` and `top` is full, or every list was scanned.
template <class List, class Scan>
void probe_filtered(Metric metric, const float* query, const float* centroids, std::size_t d,
                    std::uint64_t nprobe, std::span<const List> lists,
                    std::pair<std::size_t, std::size_t> sample, std::size_t total, TopK& top,
                    Scan&& scan) {
  const std::size_t n = lists.size();
  const std::vector<std::pair<float, std::size_t>> ranked =
      nearest_lists(metric, query, centroids, n, d, n);
  std::size_t unfiltered_rows = 0;
  for (std::size_t i = 0; i < std::min<std::uint64_t>(nprobe, n); ++i) {
    unfiltered_rows += lists[ranked[i].second].ids.size();
  }
  const std::size_t target = filtered_probe_rows(unfiltered_rows, sample, total);
  std::size_t scanned = 0;
  for (const auto& probe : ranked) {
    if (scanned >= target && top.full()) break;
    scan(probe.second, top);
    scanned += lists[probe.second].ids.size();
  }
}

}  // namespace sorvel
