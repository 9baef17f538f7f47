#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "index/vector_index.h"

namespace sorvel {

// The KVEC file, all numbers little-endian:
//
//   offset                 size       field
//   0                      4          magic "KVEC"
//   4                      4          version, u32: written as 1, not checked when read
//   8                      4          dimensions, u32
//   12                     4          metric, u32: 0 l2, 1 cosine, 2 dot_product
//   16                     8          count, u64: number of records
//   24                     8          reserved, u64: written as 0, not checked when read
//   32 + i * stride        stride     record i: id u64, then dimensions f32
//
// stride = 8 + 4 * dimensions, so every float lies on a 4-byte boundary. Bytes after the last
// counted record are ignored. Ids need not be unique: of the records of one id, the last is the
// live one (an earlier version appended a second record for an id).
namespace kvec {
inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::size_t kMagicOffset = 0;
inline constexpr std::size_t kVersionOffset = 4;
inline constexpr std::size_t kDimensionsOffset = 8;
inline constexpr std::size_t kMetricOffset = 12;
inline constexpr std::size_t kCountOffset = 16;
inline constexpr std::size_t kReservedOffset = 24;
inline constexpr char kMagic[4] = {'K', 'V', 'E', 'C'};
inline constexpr std::uint32_t kVersion = 1;
inline std::size_t stride(std::size_t dimensions) { return 8 + 4 * dimensions; }
}  // namespace kvec

// A whole file mapped shared and read-only; unmapped on destruction. Never maps a file shorter than
// the KVEC header: a byte of the mapping past the end of the file would fault when read.
class KvecMapping {
 public:
  KvecMapping() = default;
  // Io when the file cannot be opened, sized or mapped; Serialization "mmap file too small" for a
  // file shorter than 32 bytes (checked before mapping). The descriptor is closed on return.
  static Result<KvecMapping> map_file_readonly(const std::string& path);
  KvecMapping(KvecMapping&& other) noexcept;
  KvecMapping& operator=(KvecMapping&& other) noexcept;
  KvecMapping(const KvecMapping&) = delete;
  KvecMapping& operator=(const KvecMapping&) = delete;
  ~KvecMapping();

  explicit operator bool() const { return data_ != nullptr; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// An exact index whose vectors live in a KVEC file mapped read-only; searches read them in place.
// Changes wait in memory until flush(): adds in `pending` (one vector per id), deletes of file
// records as tombstones. Dropping the index discards both without writing.
//
// Every id has at most one live vector: the sorted ids of the file's records tell an add whether
// the id is live in the file (DuplicateId; a caller that replaces deletes first) and a delete
// whether there is a record to hide, without a scan; they cost 8 bytes per record. Thread rule: no
// lock of its own; add, add_batch, add_matrix, remove and flush need exclusive access, the rest
// only read. The file is not locked against other processes: one that truncates it while it is
// mapped makes reads fault.
class MmapFlatIndex final : public VectorIndex {
 public:
  // An index bound to `path` with no file yet; the first flush that has vectors creates it.
  MmapFlatIndex(std::string path, std::size_t dimensions, Metric metric);

  // Maps an existing KVEC file. Errors in order of checks: Io (open, size, map); Serialization
  // "mmap file too small" (under 32 bytes, before mapping); Serialization "invalid KVEC magic";
  // DimensionMismatch {dimensions, the file's value}; Serialization "unknown metric id 3";
  // InvalidConfig "metric mismatch: file=Cosine, expected=L2". A header count larger than the file
  // holds is cut to the whole records present. Reads the id of every record once and sorts them.
  static Result<MmapFlatIndex> open(const std::string& path, std::size_t dimensions,
                                    Metric metric);
  // open() when the path's status can be read, otherwise an index with no file yet.
  static Result<MmapFlatIndex> open_or_new(const std::string& path, std::size_t dimensions,
                                           Metric metric);

  MmapFlatIndex(MmapFlatIndex&&) noexcept = default;
  MmapFlatIndex& operator=(MmapFlatIndex&&) noexcept = default;

  // Errors in order, each changing nothing: DimensionMismatch for the wrong length; DuplicateId
  // when the id's file record is live. Otherwise the vector becomes the pending vector of the id,
  // replacing a pending one. Tombstones are untouched: delete then add leaves the new vector only.
  Result<> add(std::uint64_t id, std::span<const float> vector) override;
  // add() per item in order; the first error is returned and earlier items stay added.
  Result<> add_batch(std::span<const IndexItem> items) override;
  // DimensionMismatch {dimensions, cols} when cols differs; otherwise add() of row r under
  // start_id + r (mod 2^64) in row order. With 0 columns and 0 dimensions, `rows` empty vectors.
  Result<> add_matrix(std::span<const float> data, std::size_t rows, std::size_t cols,
                      std::uint64_t start_id);
  // DimensionMismatch first; k = 0 gives an empty list; otherwise the k best of the live file
  // records (file order) and the pending vectors by distance(), NaN after every number.
  Result<std::vector<SearchHit>> search(std::span<const float> query, std::size_t k) const override;
  // As search, over the live vectors whose id `accept` passes: the min(k, passing) nearest, with
  // the bits and order of search. `accept` runs only for vectors that would enter the k best so
  // far.
  Result<std::vector<SearchHit>> search_filtered(std::span<const float> query, std::size_t k,
                                                 const IdFilter& accept) const override;
  // Removes a pending vector and hides the live file record of the id; true if anything was.
  bool remove(std::uint64_t id) override;
  std::size_t len() const override {
    return count_ - superseded_.size() - deleted_.size() + pending_ids_.size();
  }
  IndexHeader header() const override { return {dimensions_, metric_}; }
  // Live file records in file order, then pending vectors, as copies.
  std::unique_ptr<IndexIterator> iter() const override;

  // Brings the file up to date. Exactly one case, in this order:
  //  - tombstones present: every live record and pending vector is written to a new file beside
  //    the old one, which is renamed over it;
  //  - nothing pending: nothing is touched;
  //  - a file mapped: the pending records are written after the counted ones, then the count;
  //  - no file yet: the file is created (beside, then renamed) with the pending vectors.
  // Errors: Io (creating, opening, writing, renaming or mapping the file); InvalidConfig for
  // dimensions beyond the header's u32 (a new file); Serialization when the file mapped after the
  // write is shorter than its records. The old mapping, record count, pending vectors and
  // tombstones stay until the new mapping exists, so a failed flush leaves a consistent index and
  // the next flush tries again.
  Result<> flush_file();
  // flush_file with its failure dropped.
  void flush() override;
  // Ignores its path and flushes, dropping a failure (a collection's log holds what stays
  // pending); always succeeds.
  Result<> load(const std::string& path) override;

  const std::string& path() const { return path_; }
  // Records the index reads from the file (the header count, or fewer when the file is short).
  std::size_t file_records() const { return count_; }
  std::size_t pending_count() const { return pending_ids_.size(); }

 private:
  // Rows scored per kernel call: the scores fit in 4 KiB of stack.
  static constexpr std::size_t kScanBlock = 1024;

  // The search behind search and search_filtered (the query's length already checked).
  template <class Accept>
  std::vector<SearchHit> scan(std::span<const float> query, std::size_t k,
                              const Accept& accept) const;
  friend class MmapFlatIter;
  const std::uint8_t* record(std::size_t i) const {
    return map_.data() + kvec::kHeaderSize + i * stride_;
  }
  std::uint64_t record_id(std::size_t i) const;
  const float* record_vector(std::size_t i) const {
    return reinterpret_cast<const float*>(record(i) + 8);
  }
  bool record_live(std::size_t i) const;
  // Whether the file holds a record of the id (live or hidden by a tombstone).
  bool file_holds(std::uint64_t id) const;
  // Fills file_ids_ and superseded_ from the mapped records.
  void index_file_records();
  // file_ids_ as it will be after a successful flush: the ids without tombstones and the pending
  // ones, ascending.
  std::vector<std::uint64_t> ids_after_flush() const;
  // The two ways of writing; `ids` (ids_after_flush) becomes file_ids_ on success.
  Result<> write_whole_file(std::vector<std::uint64_t> ids);
  Result<> append_pending(std::vector<std::uint64_t> ids);
  // Maps `path_` again and checks it holds `records` records.
  Result<KvecMapping> remap(std::size_t records) const;

  KvecMapping map_;
  std::string path_;
  std::size_t dimensions_;
  Metric metric_;
  std::size_t stride_;
  // Pending vectors: one contiguous row per id, a delete moves the last row into the hole.
  std::vector<std::uint64_t> pending_ids_;
  std::vector<float> pending_vectors_;
  std::unordered_map<std::uint64_t, std::size_t> pending_slot_;
  // Tombstones: ids whose live file record is hidden.
  std::unordered_set<std::uint64_t> deleted_;
  // The distinct ids of the records, ascending.
  std::vector<std::uint64_t> file_ids_;
  // Records hidden because a later record has the same id.
  std::unordered_set<std::size_t> superseded_;
  std::size_t count_ = 0;
};

}  // namespace sorvel
