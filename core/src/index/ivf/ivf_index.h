#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "index/ivf/inverted_file.h"
#include "index/vector_index.h"

namespace sorvel {

// The parameters of an inverted-file index. The member defaults are those of a collection that
// names no parameters; the standalone Python class uses max_iter 25.
struct IvfConfig {
  std::uint64_t n_lists = 256;      // upper bound on the trained centroids; 0 acts as 1
  std::uint64_t nprobe = 16;        // nearest lists a search scans
  std::uint64_t train_size = 4096;  // buffered vectors at which an add trains
  std::uint64_t max_iter = 10;      // k-means iteration limit
};

// The k-means iteration limit of the standalone index classes.
inline constexpr std::uint64_t kStandaloneKMeansIterations = 25;

// One posting list: `dims` floats per row, row r belongs to ids[r]. Rows are contiguous so a scan
// reads one block of memory.
struct PostingList {
  std::vector<std::uint64_t> ids;
  std::vector<float> vectors;
  std::uint64_t dims = 0;
};

// The inverted-file index. Until it is trained it only buffers vectors (and answers searches
// exactly over the buffer); the add that fills the buffer to `train_size`, a flush, or the load
// hook runs k-means once, after which every vector goes straight into the posting list of its
// nearest centroid and a search scans the `nprobe` nearest lists plus anything still buffered.
// An id is held at most once: adding an id that is already held replaces the old entry.
// Changing operations need exclusive access; search and iteration only read and may run on many
// threads at once.
class IvfIndex final : public VectorIndex {
 public:
  // An empty, untrained index. Never fails today; fallible so that every index kind is built the
  // same way. Any dimension (0 included) and any parameter values are accepted.
  static Result<IvfIndex> create(std::size_t dimensions, Metric metric, const IvfConfig& config);

  IvfIndex(IvfIndex&&) noexcept = default;
  IvfIndex& operator=(IvfIndex&&) noexcept = default;

  // DimensionMismatch (nothing changes). Otherwise any entry of `id` is removed and the vector is
  // filed: into its nearest list once trained, else into the buffer, training when the buffer
  // reaches train_size.
  Result<> add(std::uint64_t id, std::span<const float> vector) override;
  // add() for each item in order; the first error is returned and the items before it stay added.
  Result<> add_batch(std::span<const IndexItem> items) override;
  // `data` holds rows x cols floats row after row; row r gets id start_id + r (mod 2^64).
  // DimensionMismatch when cols differs from the dimensions (nothing changes); zero rows do
  // nothing. Untrained: add() per row, so training may start inside the batch. Trained: all rows
  // are assigned first (L2 by one matrix product per block), the receiving lists grow once, then
  // rows are filed in order. With 0 dimensions and 0 columns, `rows` empty vectors are added.
  Result<> add_matrix(std::span<const float> data, std::size_t rows, std::size_t cols,
                      std::uint64_t start_id);
  // DimensionMismatch first; then min(k, len()) hits, ascending by the metric's distance, over the
  // buffer and the nprobe lists whose centroids are nearest to the query, and further lists
  // nearest first while those hold fewer than k rows (lists_to_scan).
  Result<std::vector<SearchHit>> search(std::span<const float> query, std::size_t k) const override;
  // DimensionMismatch first; then the k nearest held vectors whose id `accept` passes (all passing
  // ones when fewer pass), by search's distances: every buffered row, and lists probed nearest
  // first (or every id tested in order) as inverted_file.h describes, so a filter that few ids
  // pass gets the exact answer.
  Result<std::vector<SearchHit>> search_filtered(std::span<const float> query, std::size_t k,
                                                 const IdFilter& accept) const override;
  // True when `id` was held (buffered or listed); its row is replaced by the last row of the same
  // buffer or list. Centroids never change.
  bool remove(std::uint64_t id) override;
  std::size_t len() const override { return buffer_.size() + listed_; }
  IndexHeader header() const override { return {dimensions_, metric_}; }
  // Buffered rows in buffer order, then list 0 to the last, each list in row order.
  std::unique_ptr<IndexIterator> iter() const override;
  // Trains when untrained with a non-empty buffer; otherwise does nothing.
  void flush() override;
  // The collection's hook after its log replay: ignores the path and does what flush() does.
  Result<> load(const std::string& path) override;

  // k-means over the buffer (k = min(buffered, max(n_lists, 1)) centroids), then every buffered
  // vector is filed into the list of its last assignment and the buffer is emptied. Does nothing
  // when already trained or when the buffer is empty. Draws from the calling thread's generator.
  void train();
  // The list whose centroid is nearest by distance_squared (first strict minimum; 0 without
  // centroids). `vector` holds `dimensions` floats.
  std::size_t nearest_centroid(std::span<const float> vector) const;
  // The L2 assignment of `n` rows of `dimensions` floats through norms and a matrix product (near
  // ties may differ from nearest_centroid, which rounds differently); 0 for every row without
  // centroids.
  std::vector<std::size_t> assign_batch(const float* rows, std::size_t n) const;

  bool trained() const { return trained_; }
  std::size_t n_centroids() const { return static_cast<std::size_t>(n_centroids_); }
  const IvfConfig& config() const { return config_; }
  std::span<const float> centroids() const { return centroids_; }
  std::span<const PostingList> lists() const { return lists_; }

  // Writes the IVF file (below) through an AtomicFileWriter (posix_file.h), which replaces a
  // regular file safely. Io when the file cannot be created or committed, Serialization for a
  // failed write.
  Result<> save_file(const std::string& path) const;
  // Io when the file cannot be opened; Serialization when it cannot be decoded or does not describe
  // a consistent index (the text names the disagreement). No training runs on load.
  static Result<IvfIndex> load_file(const std::string& path);

  // The IVF file, in the binary encoding (little-endian, u64 lengths, no header or checksum):
  //   offset  size       field
  //   0       8          dimensions (u64)
  //   8       4          metric (u32: 0 L2, 1 Cosine, 2 DotProduct)
  //   12      8          n_lists
  //   20      8          nprobe
  //   28      8          train_size
  //   36      8          max_iter
  //   44      8 + 8B     buffer_ids: count B, B u64
  //   then    8 + 4V     buffer_vectors: count V of floats, V f32
  //   then    8 + 4C     centroids: count C of floats, C f32
  //   then    8          n_centroids (u64)
  //   then    8 + ...    lists: count L, then per list: ids (u64 count, u64s), vectors (u64 count
  //                      of floats, f32s), dims (u64)
  //   then    8 + 16P    id_to_list: count P, P pairs (u64 id, u64 list number)
  //   then    1          trained (0 or 1)
  static constexpr std::size_t kFixedHeaderBytes = 44;
  // The size of the file of a new index: the header, three empty sequences, n_centroids, no lists,
  // no pairs and the trained byte.
  static constexpr std::size_t kEmptyFileBytes = kFixedHeaderBytes + 8 + 8 + 8 + 8 + 8 + 8 + 1;

 private:
  IvfIndex(std::size_t dimensions, Metric metric, const IvfConfig& config)
      : buffer_(dimensions), dimensions_(dimensions), metric_(metric), config_(config) {}

  // Removes the entry of `id` from the buffer or its list; false when it holds none.
  bool remove_held(std::uint64_t id);
  // Files `vector` (of a trained index) into list `list`, replacing any entry of `id`.
  void file(std::uint64_t id, std::size_t list, const float* vector);
  // Removes `id` from list `list`; false when the list does not hold it.
  bool remove_from_list(std::size_t list, std::uint64_t id);
  void list_append(std::size_t list, std::uint64_t id, const float* vector);
  // Drops from order_ the ids no longer listed and the later copies of an id listed twice, once
  // they make up half of it, so its walk costs about one test per listed id.
  void compact_order();
  static constexpr std::size_t kMinOrderToCompact = 1024;

  TrainingBuffer buffer_;
  std::vector<float> centroids_;
  std::vector<PostingList> lists_;
  std::size_t dimensions_;
  Metric metric_;
  // List number (not row) of every listed id: a swap-removal inside a list leaves it valid.
  std::unordered_map<std::uint64_t, std::uint64_t> id_to_list_;
  // Every listed id in the order it was first filed (as a rule the order the ids came in), the
  // order a filtered search tests ids in when it tests them all; it may also hold removed ids and
  // an id removed and filed again twice, until compact_order drops them.
  std::vector<std::uint64_t> order_;
  IvfConfig config_;
  std::uint64_t n_centroids_ = 0;
  bool trained_ = false;
  // Rows over all lists.
  std::size_t listed_ = 0;

  friend class IvfIter;
};

}  // namespace sorvel
