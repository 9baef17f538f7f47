#include "index/pq/product_quantizer.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "check.h"
#include "distance/distance.h"
#include "index/ivf/kmeans.h"
#include "index/pq/pq_encode.h"
#include "str_cat.h"

namespace sorvel {

namespace {

// Four f32 lanes; every operation on it is the per-lane IEEE operation of the scalar code.
typedef float Lanes4 __attribute__((vector_size(16)));

Lanes4 load4(const float* p) {
  Lanes4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// k portable squared distances from x (ds floats) to the sub-centroids stored position-major in
// `by_position` (entry x * k + c). Each out[c] is one accumulator from -0.0 with the positions in
// increasing order and every difference, square and sum rounded on its own (no fused operation:
// the build disables contraction); the sub-centroids only sit side by side so 32 of these sums
// run at once in registers.
void portable_distances(const float* x, const float* by_position, std::size_t k, std::size_t ds,
                        float* out) {
  constexpr std::size_t kGroups = 8;  // sums in flight: kGroups x 4 sub-centroids
  std::size_t c = 0;
  for (; c + 4 * kGroups <= k; c += 4 * kGroups) {
    Lanes4 acc[kGroups];
    for (Lanes4& a : acc) a = Lanes4{-0.0f, -0.0f, -0.0f, -0.0f};
    for (std::size_t p = 0; p < ds; ++p) {
      const Lanes4 xp = {x[p], x[p], x[p], x[p]};
      const float* column = by_position + p * k + c;
      for (std::size_t g = 0; g < kGroups; ++g) {
        const Lanes4 diff = xp - load4(column + 4 * g);
        const Lanes4 square = diff * diff;
        acc[g] = acc[g] + square;
      }
    }
    std::memcpy(out + c, acc, sizeof acc);
  }
  for (; c < k; ++c) {
    float acc = -0.0f;
    for (std::size_t p = 0; p < ds; ++p) {
      const float diff = x[p] - by_position[p * k + c];
      const float square = diff * diff;
      acc = acc + square;
    }
    out[c] = acc;
  }
}

// portable_distances through the eight-lane form where the processor has it (the same bits).
void sub_distances(const float* x, const float* by_position, std::size_t k, std::size_t ds,
                   float* out) {
  if (cpu::use_avx2_fma()) {
    pq_avx2::distances(x, by_position, k, ds, out);
  } else {
    portable_distances(x, by_position, k, ds, out);
  }
}

// Writes sub-centroids rows (t rows of ds floats) position-major into `out` (ds * t floats).
void transpose(const float* rows, std::size_t t, std::size_t ds, float* out) {
  for (std::size_t c = 0; c < t; ++c) {
    for (std::size_t p = 0; p < ds; ++p) out[p * t + c] = rows[c * ds + p];
  }
}

// The k-means of one subspace: `t` sub-centroids (ds floats each, row-major) written to `out`.
void train_subspace(std::span<const std::span<const float>> vectors, std::size_t offset,
                    std::size_t ds, std::size_t t, std::size_t max_iter,
                    const std::vector<std::size_t>& perm, float* out) {
  const std::size_t n = vectors.size();
  for (std::size_t j = 0; j < t; ++j) {
    std::copy_n(vectors[perm[j]].data() + offset, ds, out + j * ds);
  }
  std::vector<std::uint32_t> assignment(n, 0);
  std::vector<float> by_position(ds * t);
  std::vector<float> dist(t);
  std::vector<float> sums(t * ds);
  std::vector<std::size_t> counts(t);
  for (std::size_t iter = 0; iter < std::min(max_iter, kMaxKMeansIterations); ++iter) {
    transpose(out, t, ds, by_position.data());
    bool changed = false;
    for (std::size_t i = 0; i < n; ++i) {
      std::uint32_t best_c = 0;
      if (t > 0) {
        sub_distances(vectors[i].data() + offset, by_position.data(), t, ds, dist.data());
        // The running best starts at sub-centroid 0 itself, so a NaN there keeps code 0.
        float best = dist[0];
        for (std::size_t c = 1; c < t; ++c) {
          if (dist[c] < best) {
            best = dist[c];
            best_c = static_cast<std::uint32_t>(c);
          }
        }
      }
      if (best_c != assignment[i]) {
        changed = true;
        assignment[i] = best_c;
      }
    }
    if (!changed) break;
    std::fill(sums.begin(), sums.end(), 0.0f);
    std::fill(counts.begin(), counts.end(), 0);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t c = assignment[i];
      float* sum = sums.data() + c * ds;
      const float* row = vectors[i].data() + offset;
      for (std::size_t p = 0; p < ds; ++p) sum[p] = sum[p] + row[p];
      ++counts[c];
    }
    for (std::size_t c = 0; c < t; ++c) {
      if (counts[c] == 0) continue;
      const float count = static_cast<float>(counts[c]);
      for (std::size_t p = 0; p < ds; ++p) out[c * ds + p] = sums[c * ds + p] / count;
    }
  }
}

}  // namespace

Result<> check_pq_config(std::uint64_t dimensions, const PqConfig& config) {
  if (config.m == 0 || dimensions % config.m != 0) {
    return DbError::invalid_config(
        str_cat("dimensions (", dimensions, ") must be divisible by m (", config.m, ")"));
  }
  // Only 0 dimensions are divisible by an m above them, and every such subspace is empty but still
  // costs a code byte per vector and a training pass: a file naming 2^40 of them would train and
  // encode for hours.
  if (dimensions == 0 && config.m > kMaxEmptySubspaces) {
    return DbError::invalid_config(
        str_cat("m (", config.m, ") must be at most ", kMaxEmptySubspaces, " for 0 dimensions"));
  }
  if (config.k_sub == 0 || config.k_sub > ProductQuantizer::kMaxSubCentroids) {
    return DbError::invalid_config(str_cat("k_sub must be between 1 and 256, got ", config.k_sub));
  }
  return ok();
}

ProductQuantizer::ProductQuantizer(std::uint64_t m, std::uint64_t k, std::uint64_t subspace_dims,
                                   std::vector<float> codebook)
    : m_(m), k_(k), subspace_dims_(subspace_dims), codebook_(std::move(codebook)) {
  const std::size_t ds = static_cast<std::size_t>(subspace_dims_);
  const std::size_t kk = static_cast<std::size_t>(k_);
  by_position_.resize(codebook_.size());
  for (std::size_t s = 0; s < m_; ++s) {
    transpose(codebook_.data() + s * kk * ds, kk, ds, by_position_.data() + s * kk * ds);
  }
}

ProductQuantizer ProductQuantizer::train(std::span<const std::span<const float>> vectors,
                                         const PqConfig& config) {
  SORVEL_CHECK(!vectors.empty(), "cannot train PQ on empty set");
  const std::size_t n = vectors.size();
  const std::size_t d = vectors[0].size();
  const Result<> valid = check_pq_config(d, config);
  SORVEL_CHECK(valid.has_value(), valid ? std::string() : valid.error().display());
  for (const auto& v : vectors) SORVEL_CHECK(v.size() >= d, "range end index out of range");
  const std::size_t m = static_cast<std::size_t>(config.m);
  const std::size_t k = static_cast<std::size_t>(config.k_sub);
  const std::size_t ds = d / m;
  const std::size_t t = std::min(n, k);

  std::vector<float> codebook(m * k * ds, 0.0f);
  for (std::size_t s = 0; s < m; ++s) {
    // Each subspace draws its own permutation, in subspace order.
    const std::vector<std::size_t> perm = random_permutation(n);
    train_subspace(vectors, s * ds, ds, t, static_cast<std::size_t>(config.max_iter), perm,
                   codebook.data() + s * k * ds);
  }
  return ProductQuantizer(config.m, config.k_sub, ds, std::move(codebook));
}

Result<ProductQuantizer> ProductQuantizer::from_parts(std::uint64_t m, std::uint64_t k,
                                                      std::uint64_t subspace_dims,
                                                      std::vector<float> codebook) {
  if (k == 0 || k > kMaxSubCentroids) {
    return DbError::serialization(str_cat("quantizer has ", k, " sub-centroids per subspace"));
  }
  std::uint64_t floats = 0;
  if (__builtin_mul_overflow(m, k, &floats) ||
      __builtin_mul_overflow(floats, subspace_dims, &floats) || floats != codebook.size()) {
    return DbError::serialization(str_cat("quantizer codebook holds ", codebook.size(),
                                          " floats, expected ", m, " x ", k, " x ", subspace_dims));
  }
  return ProductQuantizer(m, k, subspace_dims, std::move(codebook));
}

void ProductQuantizer::subspace_distances(std::size_t s, const float* x, float* out) const {
  const std::size_t ds = static_cast<std::size_t>(subspace_dims_);
  const std::size_t k = static_cast<std::size_t>(k_);
  sub_distances(x, by_position_.data() + s * k * ds, k, ds, out);
}

std::size_t ProductQuantizer::nearest_in_subspace(std::size_t s, const float* x,
                                                  float* dist) const {
  const std::size_t k = static_cast<std::size_t>(k_);
  subspace_distances(s, x, dist);
  if (cpu::use_avx2_fma()) return pq_avx2::first_minimum(dist, k, kNoDistance);
  return first_minimum(dist, k);
}

void ProductQuantizer::encode_into(const float* vector, std::uint8_t* code) const {
  encode_rows(vector, 1, code);
}

void ProductQuantizer::encode_rows(const float* vectors, std::size_t n, std::uint8_t* codes) const {
  const std::size_t ds = static_cast<std::size_t>(subspace_dims_);
  const std::size_t m = static_cast<std::size_t>(m_);
  const std::size_t d = m * ds;
  float dist[kMaxSubCentroids];
  // Subspace outermost: one subspace's sub-centroids stay in the first-level cache for all rows.
  for (std::size_t s = 0; s < m; ++s) {
    for (std::size_t i = 0; i < n; ++i) {
      codes[i * m + s] =
          static_cast<std::uint8_t>(nearest_in_subspace(s, vectors + i * d + s * ds, dist));
    }
  }
}

std::vector<std::uint8_t> ProductQuantizer::encode(std::span<const float> vector) const {
  SORVEL_CHECK(vector.size() >= m_ * subspace_dims_, "range end index out of range");
  std::vector<std::uint8_t> code(static_cast<std::size_t>(m_));
  encode_into(vector.data(), code.data());
  return code;
}

void ProductQuantizer::distance_table_into(const float* query, float* table) const {
  const std::size_t ds = static_cast<std::size_t>(subspace_dims_);
  const std::size_t k = static_cast<std::size_t>(k_);
  for (std::size_t s = 0; s < m_; ++s) subspace_distances(s, query + s * ds, table + s * k);
}

std::vector<float> ProductQuantizer::distance_table(std::span<const float> query) const {
  SORVEL_CHECK(query.size() >= m_ * subspace_dims_, "range end index out of range");
  std::vector<float> table(static_cast<std::size_t>(m_ * k_));
  distance_table_into(query.data(), table.data());
  return table;
}

}  // namespace sorvel
