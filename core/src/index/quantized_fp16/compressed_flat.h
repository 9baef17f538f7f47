#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "index/quantized_fp16/slot_table.h"
#include "index/scan_memory.h"
#include "index/vector_index.h"

namespace sorvel {

// The frame of the exhaustive indexes that keep each vector as a compact code (half precision, int8
// with a scale, sign bits with a norm). The codec decides the code, how a search scores it and what
// iteration yields; everything else lives here once.
//
// Storage: one contiguous array of codes (`units(dimensions)` code units per slot), a parallel array
// of ids and, when the codec has one, of per-vector floats (scale or norm), plus a map from id to slot.
// A delete moves the last slot into the hole, so the slots stay dense and a scan reads memory in
// order. Iteration, saves and scans visit slots in slot order, which depends on the history of adds
// and deletes: callers must not rely on it.
//
// A Codec provides:
//   using Unit;                        the code unit (u16, i8, u64)
//   static constexpr bool kHasAux;     whether a per-vector float follows the code
//   static constexpr const char* kUnitName;  "components", "codes", "words" (for messages)
//   static std::size_t units(std::size_t dimensions);
//   static float encode(std::span<const float> vector, Unit* out);  returns the per-vector float
//   static void decode(const Unit* code, float aux, std::size_t dimensions, float* out);
//   struct Query; static Query prepare(Metric, std::span<const float> query);
//   static void score(Query&, const Unit* codes, const float* aux, std::size_t rows,
//                     std::size_t dimensions, float* out);   the rank key of each row
//   static float finish(const Query&, float key);  a kept row's score from its key (monotone)
//   static std::optional<std::string> check_code(const Unit* code, std::size_t dimensions);
// and optionally
//   template <class Candidate>
//   static bool select(Query&, const Unit* codes, const float* aux, std::size_t rows, TopK&,
//                      Candidate&& candidate);
// which fills the collector itself (rejecting rows before scoring them, pushing the key of each
// row r whose candidate(r) gives an id, as TopK::offer does) and returns true, or returns false to
// leave the search to score().
//
// Thread rule: no lock of its own. add, add_batch, add_matrix and remove need exclusive access;
// search, iter, len, header and save_file only read, and any number of searches may run at once.
template <class Codec>
class CompressedFlatIndex final : public VectorIndex {
 public:
  using Unit = typename Codec::Unit;

  // Checks nothing: any dimension, 0 included, is accepted.
  CompressedFlatIndex(std::size_t dimensions, Metric metric);

  // DimensionMismatch when the length is not the dimensions (nothing changes). An id already
  // present is updated in place: len() does not change.
  Result<> add(std::uint64_t id, std::span<const float> vector) override;
  // Items in order as by add(); stops at the first failing item and returns its DimensionMismatch:
  // the items before it stay, the items after it are not looked at. A repeated id ends with its
  // later vector.
  Result<> add_batch(std::span<const IndexItem> items) override;
  // `data` holds rows x cols floats row after row; row r is stored under start_id + r (mod 2^64), as
  // by add(). DimensionMismatch {dimensions, cols} when cols differs, before anything is stored;
  // otherwise every row is stored. With 0 columns and 0 dimensions, `rows` empty vectors.
  Result<> add_matrix(std::span<const float> data, std::size_t rows, std::size_t cols,
                      std::uint64_t start_id);
  // An empty index answers any query with an empty list. Otherwise DimensionMismatch for a query of
  // the wrong length; then the min(k, len) best entries by the codec's score, ascending, NaN scores
  // after every number, ties in no defined order.
  Result<std::vector<SearchHit>> search(std::span<const float> query, std::size_t k) const override;
  // As search, over the entries whose id `accept` passes: the min(k, passing) best, with the bits
  // and order of search. `accept` runs only for entries that would enter the k best so far.
  Result<std::vector<SearchHit>> search_filtered(std::span<const float> query, std::size_t k,
                                                 const IdFilter& accept) const override;
  // True when the id had an entry.
  bool remove(std::uint64_t id) override;
  std::size_t len() const override { return ids_.size(); }
  IndexHeader header() const override { return {dimensions_, metric_}; }
  // (id, decoded vector) per entry in slot order, the order save_file writes.
  std::unique_ptr<IndexIterator> iter() const override;

  // The stored code and per-vector float of an id (0.0 for codecs without one), if present. The span
  // is valid until the index changes.
  struct EntryView {
    std::span<const Unit> code;
    float aux;
  };
  std::optional<EntryView> entry(std::uint64_t id) const;

  // Writes the file (layout in the .cc) in one whole-file write through replace_file
  // (posix_file.h): a failed save leaves a previous regular file as it was. Io on failure.
  Result<> save_file(const std::string& path) const;
  // Reads a file written by save_file. Io when it cannot be read; Serialization, in this order of
  // checks: a file shorter than 12 bytes ("io error: unexpected end of file"), a metric code above 2
  // ("invalid value: integer `7`, expected variant index 0 <= i < 3"), a file shorter than 20 bytes,
  // then per entry in file order: a count that does not fit the dimensions, an entry cut off by the
  // end of the file, a code the codec refuses. A later entry of a repeated id replaces the earlier
  // one. Bytes after the last entry are ignored.
  static Result<CompressedFlatIndex> load_file(const std::string& path);

 private:
  // The search behind search and search_filtered, once the index is known not to be empty and the
  // query's length is checked.
  template <class Accept>
  std::vector<SearchHit> scan(std::span<const float> query, std::size_t k,
                              const Accept& accept) const;
  // Makes room for `extra` more slots in every array, growing geometrically; may throw bad_alloc,
  // and changes nothing else.
  void reserve_slots(std::size_t extra);
  // The slot of `id`, appending a new one when absent. Never leaves a partial slot behind.
  std::size_t slot_for(std::uint64_t id);
  void store(std::size_t slot, std::span<const float> vector);

  std::size_t dimensions_;
  Metric metric_;
  std::size_t stride_;  // code units per slot
  std::vector<std::uint64_t> ids_;
  ScanVector<Unit> codes_;  // stride_ units per slot, end to end: what a search reads
  std::vector<float> aux_;  // empty unless Codec::kHasAux
  SlotTable slots_;          // id -> slot, over ids_
};

}  // namespace sorvel
