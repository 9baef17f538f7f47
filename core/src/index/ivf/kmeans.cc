#include "index/ivf/kmeans.h"

#include <cblas.h>

#include <algorithm>
#include <utility>

#include "distance/distance.h"
#include "index/ivf/l2_tile.h"
#include "random.h"

namespace sorvel {

namespace {

// Rows per BLAS product: the product block stays near 16 MiB whatever the training set, and a
// block starts at a multiple of 256 rows so the product's tiling of a row never depends on n.
constexpr std::size_t kBlockFloats = std::size_t{1} << 22;
constexpr std::size_t kBlockRowQuantum = 256;

// The tiles of assign_nearest's L2 path: rows per chunk, and centroids per tile (a tile of
// 128-float centroids then fills half of a 32 KiB first-level cache).
constexpr std::size_t kChunkRows = 8;
constexpr std::size_t kTileCentroids = 32;

std::size_t block_rows(std::size_t k) {
  const std::size_t rows = kBlockFloats / std::max<std::size_t>(k, 1);
  return std::max(kBlockRowQuantum, rows / kBlockRowQuantum * kBlockRowQuantum);
}

void squared_norms(const float* rows, std::size_t n, std::size_t d, float* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = dot(rows + i * d, rows + i * d, d);
}

// assign_l2 with the row norms already computed.
void assign_l2_with_norms(const float* rows, const float* row_norms, std::size_t n,
                          const float* centroids, std::size_t k, std::size_t d, std::size_t* out,
                          std::vector<float>& product) {
  if (k == 0 || d == 0) {
    // No centroid: list 0. No dimension: every value is (-0 + -0) - 2 * 0 = -0.0 and list 0 is
    // the first minimum. (BLAS refuses a leading dimension of 0, so it is not called.)
    std::fill(out, out + n, 0);
    return;
  }
  std::vector<float> centroid_norms(k);
  squared_norms(centroids, k, d, centroid_norms.data());
  const std::size_t block = std::min(n, block_rows(k));
  product.resize(block * k);
  for (std::size_t start = 0; start < n; start += block) {
    const std::size_t rows_here = std::min(block, n - start);
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<blasint>(rows_here),
                static_cast<blasint>(k), static_cast<blasint>(d), 1.0f, rows + start * d,
                static_cast<blasint>(d), centroids, static_cast<blasint>(d), 0.0f, product.data(),
                static_cast<blasint>(k));
    for (std::size_t i = 0; i < rows_here; ++i) {
      float* values = product.data() + i * k;
      const float xn = row_norms[start + i];
      for (std::size_t j = 0; j < k; ++j) {
        const float norms = centroid_norms[j] + xn;
        const float twice = 2.0f * values[j];
        values[j] = norms - twice;
      }
      out[start + i] = first_minimum(values, k);
    }
  }
}

}  // namespace

void assign_nearest(Metric metric, const float* rows, std::size_t n, const float* centroids,
                    std::size_t k, std::size_t d, std::size_t* out) {
  if (metric != Metric::L2 || !cpu::use_avx2_fma() || k == 0 || n == 0) {
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = nearest_centroid(metric, centroids, k, d, rows + i * d);
    }
    return;
  }
  // The same values as nearest_centroid, computed a tile at a time: a few rows against as many
  // centroids as stay in the first-level cache, so each centroid block read feeds every row of
  // the chunk. The first strict minimum of the values is nearest_centroid's choice.
  std::vector<float> values(std::min(n, kChunkRows) * k);
  for (std::size_t start = 0; start < n; start += kChunkRows) {
    const std::size_t rows_here = std::min(kChunkRows, n - start);
    for (std::size_t c = 0; c < k; c += kTileCentroids) {
      l2_tile_avx2::distances(rows + start * d, rows_here, centroids + c * d,
                              std::min(kTileCentroids, k - c), d, values.data() + c, k);
    }
    for (std::size_t i = 0; i < rows_here; ++i) {
      out[start + i] = first_minimum(values.data() + i * k, k);
    }
  }
}

// The minimum is found lane-wise first (a NaN never replaces a lane's value), then its first
// occurrence, which is the element the sequential strict-less scan would keep (-0.0 and +0.0
// compare equal in both).
std::size_t first_minimum(const float* v, std::size_t k) {
  constexpr std::size_t kLanes = 8;
  float lane[kLanes];
  for (float& l : lane) l = kNoDistance;
  std::size_t j = 0;
  for (; j + kLanes <= k; j += kLanes) {
    for (std::size_t l = 0; l < kLanes; ++l) lane[l] = v[j + l] < lane[l] ? v[j + l] : lane[l];
  }
  float m = kNoDistance;
  for (float l : lane) m = l < m ? l : m;
  for (; j < k; ++j) m = v[j] < m ? v[j] : m;
  if (!(m < kNoDistance)) return 0;
  for (j = 0; j < k; ++j) {
    if (v[j] == m) return j;
  }
  return 0;
}

std::vector<std::size_t> random_permutation(std::size_t n) {
  std::vector<std::size_t> p(n);
  for (std::size_t i = 0; i < n; ++i) p[i] = i;
  for (std::size_t i = n; i > 1; --i) {
    const std::size_t j = static_cast<std::size_t>(thread_random_at_most(i - 1));
    std::swap(p[i - 1], p[j]);
  }
  return p;
}

std::size_t nearest_centroid(Metric metric, const float* centroids, std::size_t n_centroids,
                             std::size_t d, const float* vector) {
  float best = kNoDistance;
  std::size_t best_list = 0;
  std::size_t c = 0;
  for (; c + 4 <= n_centroids; c += 4) {
    const float* rows[4] = {centroids + c * d, centroids + (c + 1) * d, centroids + (c + 2) * d,
                            centroids + (c + 3) * d};
    float out[4];
    distance_batch4(metric, vector, rows, d, out);
    for (std::size_t r = 0; r < 4; ++r) {
      if (out[r] < best) {
        best = out[r];
        best_list = c + r;
      }
    }
  }
  for (; c < n_centroids; ++c) {
    const float dist = distance_squared(metric, vector, centroids + c * d, d);
    if (dist < best) {
      best = dist;
      best_list = c;
    }
  }
  return best_list;
}

void assign_l2(const float* rows, std::size_t n, const float* centroids, std::size_t k,
               std::size_t d, std::size_t* out) {
  if (n == 0) return;
  std::vector<float> row_norms(n);
  squared_norms(rows, n, d, row_norms.data());
  std::vector<float> product;
  assign_l2_with_norms(rows, row_norms.data(), n, centroids, k, d, out, product);
}

KMeansResult train_kmeans(Metric metric, const float* rows, std::size_t n, std::size_t d,
                          std::size_t max_centroids, std::size_t max_iter) {
  KMeansResult result;
  if (n == 0) return result;
  const std::size_t k = std::min(n, max_centroids);
  const std::vector<std::size_t> perm = random_permutation(n);

  std::vector<float>& centroids = result.centroids;
  centroids.resize(k * d);
  for (std::size_t j = 0; j < k; ++j) {
    std::copy_n(rows + perm[j] * d, d, centroids.begin() + static_cast<std::ptrdiff_t>(j * d));
  }

  std::vector<std::size_t>& assignment = result.assignment;
  assignment.assign(n, 0);
  std::vector<std::size_t> next(n, 0);
  std::vector<float> row_norms;
  std::vector<float> product;
  if (metric == Metric::L2 && max_iter > 0) {
    row_norms.resize(n);
    squared_norms(rows, n, d, row_norms.data());
  }
  std::vector<float> sums;
  std::vector<std::size_t> counts;

  for (std::size_t iter = 0; iter < std::min(max_iter, kMaxKMeansIterations); ++iter) {
    if (metric == Metric::L2) {
      assign_l2_with_norms(rows, row_norms.data(), n, centroids.data(), k, d, next.data(), product);
    } else {
      assign_nearest(metric, rows, n, centroids.data(), k, d, next.data());
    }
    if (next == assignment) break;
    assignment.swap(next);

    sums.assign(k * d, 0.0f);
    counts.assign(k, 0);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t c = assignment[i];
      float* sum = sums.data() + c * d;
      const float* row = rows + i * d;
      for (std::size_t x = 0; x < d; ++x) sum[x] = sum[x] + row[x];
      ++counts[c];
    }
    for (std::size_t c = 0; c < k; ++c) {
      if (counts[c] == 0) continue;
      const float count = static_cast<float>(counts[c]);
      float* centroid = centroids.data() + c * d;
      const float* sum = sums.data() + c * d;
      for (std::size_t x = 0; x < d; ++x) centroid[x] = sum[x] / count;
    }
  }
  result.k = k;
  return result;
}

}  // namespace sorvel
