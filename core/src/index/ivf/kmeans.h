#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "distance/metric.h"

// The k-means of the inverted-file indexes, apart from any index: seeding by a random permutation,
// Lloyd iterations with the assignment rule shared by training, filing and batch inserts. All
// functions take row-major float matrices that the caller owns and keeps alive for the call.

namespace sorvel {

// The largest finite f32: every nearest-centroid search starts from it with list 0, so a NaN or
// infinite distance never wins and, with no centroid at all, the answer is list 0.
inline constexpr float kNoDistance = 3.4028235e38f;

// A uniformly random permutation of 0..n-1: a Fisher-Yates shuffle from the last position down,
// each position swapped with a uniformly drawn position at or below it, from the calling thread's
// generator (n - 1 draws; none for n <= 1).
std::vector<std::size_t> random_permutation(std::size_t n);

// The list whose centroid is nearest to `vector` (d floats) by distance_squared(metric): centroids
// are scanned in order four at a time with distance_batch4, then one at a time; the first strict
// minimum below kNoDistance wins, otherwise list 0.
std::size_t nearest_centroid(Metric metric, const float* centroids, std::size_t n_centroids,
                             std::size_t d, const float* vector);

// The index of the first strict minimum of v[0..k) below kNoDistance, or 0: the element a
// sequential scan from kNoDistance and index 0 with strict less-than keeps (NaN never wins).
std::size_t first_minimum(const float* v, std::size_t k);

// nearest_centroid for each of `n` rows of d floats, written to out[0..n) bit for bit. For L2 with
// the vector kernels the distances are computed a tile of rows and centroids at a time, each in
// the single-row kernel's order. Runs on the calling thread; allocates one scratch block per call.
void assign_nearest(Metric metric, const float* rows, std::size_t n, const float* centroids,
                    std::size_t k, std::size_t d, std::size_t* out);

// L2 assignment of `n` rows to the nearest of `k` centroids through norms and a matrix product:
// the value compared is (|c|^2 + |x|^2) - 2 (x.c) in f32 in exactly that order, with the norms from
// the dot kernel and every x.c from one single-precision BLAS product per block of rows. The first
// strict minimum below kNoDistance wins; with k = 0 every row gets 0. Writes n entries of `out`.
// The result does not depend on the BLAS thread count: blocks start at multiples of the block
// height, and each element of the product is reduced along d alone.
void assign_l2(const float* rows, std::size_t n, const float* centroids, std::size_t k,
               std::size_t d, std::size_t* out);

// The most iterations any training runs, whatever limit its configuration gives. The limit comes
// from files (an index file, "meta.json") as well as from the system's own defaults (10, 25): a
// file naming 2^55 would otherwise hold the next add for years on data that never settles (the
// inner-product and cosine iterations need not converge, and rounding can cycle L2 ones).
inline constexpr std::size_t kMaxKMeansIterations = 1000;

// The outcome of a training: `k` centroid rows of d floats and the last assignment of every row.
struct KMeansResult {
  std::vector<float> centroids;
  std::size_t k = 0;
  std::vector<std::size_t> assignment;
};

// Trains k = min(n, max_centroids) centroids over `n` rows of `d` floats: seeds are the rows named
// by the first k entries of random_permutation(n); assignments start at 0; each of up to
// min(`max_iter`, kMaxKMeansIterations) iterations assigns every row (L2: assign_l2; Cosine and
// DotProduct: nearest_centroid), stops before the update when no assignment changed, and otherwise
// moves each centroid with rows to their mean (sums in row order, divided by the count as f32); a
// centroid without rows stays put. n = 0 gives k = 0 and draws nothing.
KMeansResult train_kmeans(Metric metric, const float* rows, std::size_t n, std::size_t d,
                          std::size_t max_centroids, std::size_t max_iter);

}  // namespace sorvel
