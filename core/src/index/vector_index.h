#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "distance/metric.h"
#include "result.h"

namespace sorvel {

// One search result: a vector id and its distance under the index's metric. Hit lists are ordered
// by ascending distance, best first.
struct SearchHit {
  std::uint64_t id;
  float distance;
};

// An (id, vector) pair; the vector is owned by the receiver.
struct IndexItem {
  std::uint64_t id;
  std::vector<float> vector;
};

// The fixed shape of an index.
struct IndexHeader {
  std::size_t dimensions;
  Metric metric;
};

// Iterator over an index's live items. It borrows the index: the index must not change while an
// iterator is alive.
class IndexIterator {
 public:
  virtual ~IndexIterator() = default;

  // The next item, or nullopt at the end.
  virtual std::optional<IndexItem> next() = 0;
  // A lower bound (0) and an upper bound no smaller than the number of items left.
  virtual std::pair<std::size_t, std::optional<std::size_t>> size_hint() const = 0;
  // Skips up to n items; returns how many of the n could not be skipped.
  virtual std::size_t advance_by(std::size_t n);
  // Skips n items and returns the one after them.
  std::optional<IndexItem> nth(std::size_t n);
};

// A yes/no test on ids for one filtered search. It refers to the callable it was made from and
// owns nothing: the callable must outlive the IdFilter (a filter lives for one call).
//
// test(ids, n, out) answers up to kIdFilterBatch ids at once. A callable with a member
// batch(ids, n, out) answers them itself, for instance by starting every id's memory loads before
// it tests the first: an index that meets ids in no useful memory order (an inverted list) then
// waits for memory once per batch rather than once per id. Otherwise each id is tested in turn.
inline constexpr std::size_t kIdFilterBatch = 16;

class IdFilter {
 public:
  template <class F>
  explicit IdFilter(const F& f)
      : ctx_(&f),
        fn_([](const void* c, std::uint64_t id) {
          return static_cast<bool>((*static_cast<const F*>(c))(id));
        }),
        batch_fn_([](const void* c, const std::uint64_t* ids, std::size_t n, bool* out) {
          const F& fn = *static_cast<const F*>(c);
          if constexpr (requires { fn.batch(ids, n, out); }) {
            fn.batch(ids, n, out);
          } else {
            for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<bool>(fn(ids[i]));
          }
        }) {}

  bool operator()(std::uint64_t id) const { return fn_(ctx_, id); }
  // n at most kIdFilterBatch.
  void test(const std::uint64_t* ids, std::size_t n, bool* out) const {
    batch_fn_(ctx_, ids, n, out);
  }

 private:
  const void* ctx_;
  bool (*fn_)(const void*, std::uint64_t);
  void (*batch_fn_)(const void*, const std::uint64_t*, std::size_t, bool*);
};

// How many ids an approximate index tests with a filter before a filtered search, to estimate the
// share of its vectors that pass. The ids are spread evenly over what the index holds, so every
// query of one filter gets the same estimate.
inline constexpr std::size_t kFilterSampleIds = 256;

// The interface through which a collection holds any index kind. Changing operations (add,
// add_batch, remove, flush, load) need exclusive access; the others only read and may run on
// several threads at once. The index takes no lock for the interface as a whole: its holder
// serialises.
class VectorIndex {
 public:
  virtual ~VectorIndex() = default;

  // DimensionMismatch when the length is not the dimensions; each index documents DuplicateId.
  virtual Result<> add(std::uint64_t id, std::span<const float> vector) = 0;
  // Each index documents whether a failed batch changed anything.
  virtual Result<> add_batch(std::span<const IndexItem> items) = 0;
  // At most k hits, ascending distance; DimensionMismatch for a query of the wrong length.
  virtual Result<std::vector<SearchHit>> search(std::span<const float> query,
                                                std::size_t k) const = 0;
  // The k nearest live vectors whose id passes `accept`, ascending distance, or every passing one
  // when fewer than k pass. Exact indexes give the exact answer; the approximate kinds may miss a
  // near passing vector but never return fewer than min(k, passing). The default widens ordinary
  // searches (10k, then 4 times more each round) until k hits pass or the index returns fewer hits
  // than asked, so an index that does not override it answers within what its search reaches;
  // `accept` may run on any id the index holds, only on the calling thread. The errors of search.
  virtual Result<std::vector<SearchHit>> search_filtered(std::span<const float> query,
                                                         std::size_t k,
                                                         const IdFilter& accept) const;
  // True when a live vector was removed; an absent id is not an error. (The operation is "delete".)
  virtual bool remove(std::uint64_t id) = 0;
  // Number of live vectors.
  virtual std::size_t len() const = 0;
  bool is_empty() const { return len() == 0; }
  virtual IndexHeader header() const = 0;
  // All live (id, vector) pairs, in the index's iteration order.
  virtual std::unique_ptr<IndexIterator> iter() const = 0;

  // Work held back (training, writing a file). Does nothing by default.
  virtual void flush() {}
  // The collection store's hooks for a file kept beside the log. Do nothing by default.
  virtual Result<> save(const std::string& path) const {
    (void)path;
    return ok();
  }
  virtual Result<> load(const std::string& path) {
    (void)path;
    return ok();
  }
};

}  // namespace sorvel
