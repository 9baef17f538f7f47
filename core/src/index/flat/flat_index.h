#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "index/scan_memory.h"
#include "index/vector_index.h"

namespace sorvel {

// The exact index: every vector in full precision, searched by a scan of every live row. Rows are
// only appended: a delete clears the row's live flag and keeps its storage, so the row layout (and
// the saved file) keeps deleted rows.
//
// Invariants: vectors_ holds rows x dimensions_ floats, ids_ and live_ one entry per row;
// id_to_row_ maps exactly the ids of the live rows to their rows; count_ is the number of live
// rows. No id has two live rows. Every failed operation leaves all of it unchanged.
//
// Thread rule: no lock inside. add, add_batch, add_matrix and remove need exclusive access; search,
// iter, len, header and save_file may run on several threads at once.
//
// The FlatIndex file, in the binary encoding (little-endian, no magic, no version):
//
//   offset        size  field
//   0             8     dimensions, u64
//   8             4     metric code, u32 (0 L2, 1 Cosine, 2 DotProduct)
//   12            8     V = number of floats in vectors, u64
//   20            4V    vectors, f32 each, row after row, deleted rows included
//   20+4V         8     R = number of ids, u64
//   28+4V         8R    ids, u64 each
//   28+4V+8R      8     L = number of live flags, u64
//   36+4V+8R      L     live flags, one byte each: 0 deleted, 1 live
//
// A consistent file has V = R x dimensions and L = R and is kFileFixedBytes + 4V + 8R + L bytes
// long; bytes after the last field are ignored.
class FlatIndex final : public VectorIndex {
 public:
  static constexpr std::size_t kFileFixedBytes = 36;

  // Checks nothing: a dimension of 0 is accepted.
  FlatIndex(std::size_t dimensions, Metric metric);

  // DimensionMismatch, then DuplicateId (a deleted id may come back in a new row).
  Result<> add(std::uint64_t id, std::span<const float> vector) override;
  // Checks every item first (length, then id against the index and the earlier items); the first
  // failure is returned and nothing is inserted.
  Result<> add_batch(std::span<const IndexItem> items) override;
  // `data` holds rows x cols floats row after row; row r gets id start_id + r (mod 2^64).
  // DimensionMismatch when cols differs from the dimensions, then DuplicateId for the first id
  // already present; nothing is inserted on failure. With 0 columns and 0 dimensions, `rows` empty
  // vectors are inserted. `data` must hold exactly rows x cols floats (InvariantFailure otherwise:
  // a caller's bug, never input).
  Result<> add_matrix(std::span<const float> data, std::size_t rows, std::size_t cols,
                      std::uint64_t start_id);
  // Makes room for `extra_rows` more rows, so that adds of that many rows allocate nothing more;
  // the contents do not change. Growth is geometric (at least doubling), so a holder that reserves
  // before each of many small batches stays linear. std::bad_alloc leaves the index unchanged.
  void reserve(std::size_t extra_rows);
  // DimensionMismatch first (even when empty); then the min(k, len()) nearest live rows, ascending
  // distance() (L2 square-rooted), ties in no defined order, NaN distances last. Allocates only the
  // returned list.
  Result<std::vector<SearchHit>> search(std::span<const float> query, std::size_t k) const override;
  // As search, over the live rows whose id `accept` passes: the min(k, passing) nearest, with the
  // bits and order of search. `accept` runs only for rows that would enter the k best so far.
  Result<std::vector<SearchHit>> search_filtered(std::span<const float> query, std::size_t k,
                                                 const IdFilter& accept) const override;
  // Returns false when `id` is not live; otherwise clears its row's live flag (the row's storage
  // stays) and returns true.
  bool remove(std::uint64_t id) override;
  // Number of live rows.
  std::size_t len() const override { return count_; }
  // Number of deleted rows whose storage is still held.
  std::size_t dead_rows() const { return ids_.size() - count_; }
  IndexHeader header() const override { return {dimensions_, metric_}; }
  // Live rows in row order, each as (id, copy of the row). size_hint is (0, rows not yet walked,
  // deleted ones included). Borrows the index.
  std::unique_ptr<IndexIterator> iter() const override;

  // Drops the storage of deleted rows, keeping the live rows in their order. The standalone file
  // keeps deleted rows, so only a holder that never saves the row layout (a collection, which
  // rebuilds from its log) calls this, to bound memory under repeated updates of the same ids.
  void compact_rows();

  // Writes the FlatIndex file (all rows, deleted ones included) through an AtomicFileWriter
  // (posix_file.h: links followed, an existing file's mode kept, a regular file replaced by a
  // synced temporary renamed over it, a device written in place), so a failed save leaves a
  // previous regular file intact. Io when the target is refused or cannot be opened, Serialization
  // ("io error: ...") when a write fails, Io when the sync, rename or close fails. The index is
  // never changed.
  Result<> save_file(const std::string& path) const;
  // Reads a FlatIndex file. Io when it cannot be opened; Serialization with the decoder's text for
  // a short file, a metric code above 2 or a live byte other than 0 or 1; Serialization for lists
  // that disagree (V != R x dimensions, L != R) or an id live in two rows.
  static Result<FlatIndex> load_file(const std::string& path);

 private:
  // The search behind search and search_filtered (the query's length already checked).
  template <class Accept>
  std::vector<SearchHit> scan(std::span<const float> query, std::size_t k,
                              const Accept& accept) const;

  ScanVector<float> vectors_;  // rows, end to end: what a search reads
  std::vector<std::uint64_t> ids_;
  std::vector<std::uint8_t> live_;
  std::size_t dimensions_;
  Metric metric_;
  std::unordered_map<std::uint64_t, std::size_t> id_to_row_;
  std::size_t count_ = 0;

  friend class FlatIndexIterator;
};

}  // namespace sorvel
