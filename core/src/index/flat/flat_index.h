#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "index/vector_index.h"

namespace sorvel {

// The exact index: every vector in full precision, searched by a scan of every live row. Rows are
// only appended: a delete clears the row's live flag and keeps its storage, so the row layout (and
// the saved file) keeps deleted rows.
class FlatIndex final : public VectorIndex {
 public:
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
  // vectors are inserted.
  Result<> add_matrix(std::span<const float> data, std::size_t rows, std::size_t cols,
                      std::uint64_t start_id);
  // DimensionMismatch first (even when empty), then the k nearest live rows by distance().
  Result<std::vector<SearchHit>> search(std::span<const float> query,
                                        std::size_t k) const override;
  bool remove(std::uint64_t id) override;
  std::size_t len() const override { return count_; }
  IndexHeader header() const override { return {dimensions_, metric_}; }
  // Live rows in row order.
  std::unique_ptr<IndexIterator> iter() const override;

  // The FlatIndex file, replaced safely through a temporary file. Io when the file cannot be
  // created, Serialization for a write failure.
  Result<> save_file(const std::string& path) const;
  // Io when the file cannot be opened, Serialization for a short or inconsistent file.
  static Result<FlatIndex> load_file(const std::string& path);

 private:
  std::vector<float> vectors_;
  std::vector<std::uint64_t> ids_;
  std::vector<std::uint8_t> live_;
  std::size_t dimensions_;
  Metric metric_;
  std::unordered_map<std::uint64_t, std::size_t> id_to_row_;
  std::size_t count_ = 0;
};

}  // namespace sorvel
