#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "index/ivf/inverted_file.h"
#include "index/pq/product_quantizer.h"
#include "index/vector_index.h"

namespace sorvel {

// The parameters of an IVF-PQ index: the coarse k-means and the product quantizer. The member
// defaults are those of a collection that names no parameters; the standalone Python class uses
// max_iter 25.
struct IvfPqConfig {
  std::uint64_t n_lists = 256;      // upper bound on the coarse centroids; 0 acts as 1
  std::uint64_t nprobe = 16;        // nearest lists a search scans
  std::uint64_t train_size = 4096;  // buffered vectors at which an add trains
  std::uint64_t max_iter = 10;      // coarse k-means iteration limit
  PqConfig pq;
};

// One code list: entry e is ids[e] with the m code bytes codes[e * m .. e * m + m).
struct CodeList {
  std::vector<std::uint64_t> ids;
  std::vector<std::uint8_t> codes;
};

// The inverted-file index with product-quantized residuals. Untrained it buffers vectors and
// answers exactly over the buffer; the add that fills the buffer to train_size, a flush, or the
// load hook trains once: coarse k-means over the buffer, then a quantizer over every buffered
// vector's residual (vector minus its centroid), and every vector is filed as its id and m code
// bytes in the list of its centroid. A search scores a listed vector by table look-ups: the
// approximate squared Euclidean distance to the query, whatever the metric (the metric only ranks
// the lists); buffered vectors get the metric's exact distance. A full copy of every listed vector
// is kept for iteration and the file; searches never read it. An id is held at most once: adding
// an id already held replaces the old entry. Changing operations need exclusive access; search and
// iteration only read and may run on many threads at once.
class IvfPqIndex final : public VectorIndex {
 public:
  // An empty, untrained index. InvalidConfig (from check_pq_config) when the quantizer could not
  // be trained on vectors of `dimensions` floats: pq.m 0 or not dividing the dimensions, pq.k_sub
  // 0 or above 256. Any other values are accepted.
  static Result<IvfPqIndex> create(std::size_t dimensions, Metric metric,
                                   const IvfPqConfig& config);

  IvfPqIndex(IvfPqIndex&&) noexcept = default;
  IvfPqIndex& operator=(IvfPqIndex&&) noexcept = default;

  // DimensionMismatch (nothing changes). Otherwise any entry of `id` is removed and the vector is
  // filed: encoded into the list of its nearest centroid once trained, else buffered, training
  // when the buffer reaches train_size.
  Result<> add(std::uint64_t id, std::span<const float> vector) override;
  // add() for each item in order; the first error is returned and the items before it stay added.
  Result<> add_batch(std::span<const IndexItem> items) override;
  // `data` holds rows x cols floats row after row; row r gets id start_id + r (mod 2^64). The
  // outcome is that of add() per row in order: DimensionMismatch when cols differs from the
  // dimensions (nothing changes), zero rows do nothing, training may start inside the batch. Rows
  // after the training are assigned and encoded a chunk at a time on the calling thread (the
  // lists and codes add() gives them), then filed in order. With 0 dimensions and 0 columns,
  // `rows` empty vectors are added.
  Result<> add_matrix(std::span<const float> data, std::size_t rows, std::size_t cols,
                      std::uint64_t start_id);
  // DimensionMismatch first; then min(k, len()) hits, ascending: listed vectors of the nprobe
  // lists nearest to the query, and of further lists nearest first while those hold fewer than k
  // rows (lists_to_scan), scored by their codes; buffered vectors by the metric's distance.
  Result<std::vector<SearchHit>> search(std::span<const float> query, std::size_t k) const override;
  // DimensionMismatch first; then the k best held vectors whose id `accept` passes (all passing
  // ones when fewer pass), with search's values: every buffered row by the metric's distance, and
  // lists probed nearest first (or every id tested in order) as inverted_file.h describes, scored
  // by their codes. A filter that few ids pass gets the exact answer over the codes.
  Result<std::vector<SearchHit>> search_filtered(std::span<const float> query, std::size_t k,
                                                 const IdFilter& accept) const override;
  // True when `id` was held; its entry is replaced by the last entry of the same buffer or list and
  // its full copy is dropped. Centroids and quantizer never change.
  bool remove(std::uint64_t id) override;
  std::size_t len() const override { return buffer_.size() + locations_.size(); }
  IndexHeader header() const override { return {dimensions_, metric_}; }
  // Buffered rows in buffer order, then list 0 to the last, each entry with its full copy.
  std::unique_ptr<IndexIterator> iter() const override;
  // Trains when untrained with a non-empty buffer; otherwise does nothing.
  void flush() override;
  // The collection's hook after its log replay: ignores the path and does what flush() does.
  Result<> load(const std::string& path) override;

  // Coarse k-means and quantizer training over the buffer, then filing of every buffered vector.
  // Does nothing when already trained or when the buffer is empty. Draws from the calling thread's
  // generator.
  void train();

  bool trained() const { return trained_; }
  std::size_t n_centroids() const { return static_cast<std::size_t>(n_centroids_); }
  const IvfPqConfig& config() const { return config_; }
  std::span<const float> centroids() const { return centroids_; }
  std::span<const CodeList> lists() const { return lists_; }
  const std::optional<ProductQuantizer>& quantizer() const { return pq_; }

  // Writes the IVF-PQ file (below) through an AtomicFileWriter (posix_file.h), which replaces a
  // regular file safely. Io when the file cannot be created or committed, Serialization for a
  // failed write.
  Result<> save_file(const std::string& path) const;
  // Io when the file cannot be opened; Serialization when it cannot be decoded or does not describe
  // a consistent index (the text names the disagreement). No training runs on load.
  static Result<IvfPqIndex> load_file(const std::string& path);

  // The IVF-PQ file, in the binary encoding (little-endian, u64 lengths, no header or checksum):
  //   offset  size       field
  //   0       8          dimensions (u64)
  //   8       4          metric (u32: 0 L2, 1 Cosine, 2 DotProduct)
  //   12      8 x 7      n_lists, nprobe, train_size, max_iter, pq.m, pq.k_sub, pq.max_iter
  //   68      8 + 8B     buffer_ids: count B, B u64
  //   then    8 + 4V     buffer_vectors: count V of floats, V f32
  //   then    8 + 4C     centroids: count C of floats, C f32
  //   then    8          n_centroids (u64)
  //   then    1 (+ ...)  quantizer: tag 0 absent, or 1 then m, k, subspace_dims (u64 each) and the
  //                      codebook (u64 count of floats, f32s)
  //   then    8 + ...    lists: count L, per list a count E, per entry u64 id, u64 code length c,
  //                      c code bytes
  //   then    8 + ...    vectors: count P, per pair u64 id, u64 count n of floats, n f32
  //   then    8 + 16Q    id_to_list: count Q, Q pairs (u64 id, u64 list number)
  //   then    1          trained (0 or 1)
  static constexpr std::size_t kFixedHeaderBytes = 68;
  // A new index: the header, three empty sequences, n_centroids, tag 0, three empty counts and the
  // trained byte.
  static constexpr std::size_t kEmptyFileBytes =
      kFixedHeaderBytes + 8 + 8 + 8 + 8 + 1 + 8 + 8 + 8 + 1;

 private:
  // Where a listed id lives: its list number and the slot of its full copy.
  struct Location {
    std::uint64_t list;
    std::size_t slot;
  };

  IvfPqIndex(std::size_t dimensions, Metric metric, const IvfPqConfig& config)
      : buffer_(dimensions), dimensions_(dimensions), metric_(metric), config_(config) {}

  std::size_t code_bytes() const { return static_cast<std::size_t>(config_.pq.m); }
  std::size_t nearest_centroid(const float* vector) const;
  // The list and code of a vector of a trained index; `residual` holds `dimensions` floats.
  void encode_vector(const float* vector, float* residual, std::size_t& list,
                     std::uint8_t* code) const;
  // Files an encoded vector of a trained index, replacing any entry of the id.
  void file(std::uint64_t id, const float* vector, std::size_t list, const std::uint8_t* code);
  // Removes entry `id` from list `list`; false when the list does not hold it.
  bool remove_from_list(std::size_t list, std::uint64_t id);
  void remove_full_copy(std::size_t slot);
  bool remove_held(std::uint64_t id);

  TrainingBuffer buffer_;
  std::vector<float> centroids_;
  std::vector<CodeList> lists_;
  std::optional<ProductQuantizer> pq_;
  std::size_t dimensions_;
  Metric metric_;
  // Full copies of the listed vectors, slot after slot; full_ids_[slot] owns slot. A delete moves
  // the last slot into the hole.
  std::vector<float> full_vectors_;
  std::vector<std::uint64_t> full_ids_;
  // The list number (not position) and full-copy slot of every listed id.
  std::unordered_map<std::uint64_t, Location> locations_;
  IvfPqConfig config_;
  std::uint64_t n_centroids_ = 0;
  bool trained_ = false;
  // Scratch of the changing operations (exclusive access): one residual.
  std::vector<float> residual_scratch_;

  friend class IvfPqIter;
};

}  // namespace sorvel
