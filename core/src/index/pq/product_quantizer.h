#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "result.h"

namespace sorvel {

// The training parameters of a product quantizer.
struct PqConfig {
  std::uint64_t m = 8;          // subspaces; must be at least 1 and divide the dimensions
  std::uint64_t k_sub = 256;    // sub-centroids per subspace; 1 to 256, so a code fits a byte
  std::uint64_t max_iter = 25;  // k-means iteration limit of every subspace
};

// The most subspaces a 0-dimensional vector is cut into: 0 is divisible by every m, and each
// (empty) subspace still costs a code byte per vector and a training pass.
inline constexpr std::uint64_t kMaxEmptySubspaces = 256;

// InvalidConfig when a quantizer with `config` cannot be trained on vectors of `dimensions`
// floats, in this order of checks: m is 0 or does not divide the dimensions ("dimensions ({d}) must
// be divisible by m ({m})"), more than kMaxEmptySubspaces subspaces of 0 dimensions ("m ({m}) must
// be at most 256 for 0 dimensions"), k_sub is 0 or above 256 ("k_sub must be between 1 and 256,
// got {}").
Result<> check_pq_config(std::uint64_t dimensions, const PqConfig& config);

// Cuts a vector of d floats into m sub-vectors of d / m floats and replaces each by the number of
// the nearest of k sub-centroids of its subspace: m bytes per vector. Every comparison is the
// portable squared Euclidean sum (one accumulator from -0.0, each difference, square and sum
// rounded to f32, positions in increasing order), whatever the processor and whatever metric the
// owner uses. Immutable after construction: encode and distance_table may run on any number of
// threads at once.
class ProductQuantizer {
 public:
  // One k-means per subspace over the sub-vectors of `vectors` (borrowed, all of the length of the
  // first, d): t = min(n, k_sub) seeds from a random permutation of its own per subspace (drawn in
  // subspace order from the calling thread's generator), assignments from 0, up to
  // min(max_iter, kMaxKMeansIterations) iterations (stop before the update when nothing changed; an
  // empty sub-centroid keeps its value), then k_sub - t all-zero sub-centroids. Invariant failures:
  // an empty set ("cannot train PQ on empty set", checked first), a configuration refused by
  // check_pq_config, a vector shorter than the first. The subspaces are trained in order on the
  // calling thread.
  static ProductQuantizer train(std::span<const std::span<const float>> vectors,
                                const PqConfig& config);

  // A quantizer read from a file. Serialization when the fields disagree: k outside 1..256, a
  // codebook that is not m * k * subspace_dims floats.
  static Result<ProductQuantizer> from_parts(std::uint64_t m, std::uint64_t k,
                                             std::uint64_t subspace_dims,
                                             std::vector<float> codebook);

  // m code bytes: per subspace the first sub-centroid strictly nearer than every earlier one,
  // starting from 3.4028235e38 and code 0. `vector` holds at least m * subspace_dims floats.
  std::vector<std::uint8_t> encode(std::span<const float> vector) const;
  void encode_into(const float* vector, std::uint8_t* code) const;
  // encode_into for `n` vectors of exactly m * subspace_dims floats laid end to end; code i is
  // codes[i * m .. i * m + m). Allocates nothing.
  void encode_rows(const float* vectors, std::size_t n, std::uint8_t* codes) const;

  // m * k squared distances: entry s * k + c is from sub-vector s of `query` to sub-centroid c of
  // subspace s. `query` holds at least m * subspace_dims floats.
  std::vector<float> distance_table(std::span<const float> query) const;
  // The same into `table`, which holds m * k floats; allocates nothing.
  void distance_table_into(const float* query, float* table) const;

  std::uint64_t m() const { return m_; }
  std::uint64_t k() const { return k_; }
  std::uint64_t subspace_dims() const { return subspace_dims_; }
  // Subspace-major: sub-centroid c of subspace s is floats (s*k + c) * subspace_dims onwards.
  std::span<const float> codebook() const { return codebook_; }

  static constexpr std::uint64_t kMaxSubCentroids = 256;

 private:
  ProductQuantizer(std::uint64_t m, std::uint64_t k, std::uint64_t subspace_dims,
                   std::vector<float> codebook);
  // k portable squared distances from the sub-vector `x` to the sub-centroids of subspace s.
  void subspace_distances(std::size_t s, const float* x, float* out) const;
  // The code of sub-vector `x` in subspace s; `dist` is scratch of k floats.
  std::size_t nearest_in_subspace(std::size_t s, const float* x, float* dist) const;

  std::uint64_t m_;
  std::uint64_t k_;
  std::uint64_t subspace_dims_;
  std::vector<float> codebook_;
  // The codebook per subspace with positions outermost (entry (s * subspace_dims + x) * k + c), so
  // the k distances of one sub-vector are computed side by side, each in its own sequential order.
  std::vector<float> by_position_;
};

}  // namespace sorvel
