#pragma once

#include <cstddef>

namespace sorvel::l2_tile_avx2 {

// Only callable when cpu::use_avx2_fma() is true. For rows i < n and centroids j < k (both
// row-major, d floats each): out[i * stride + j] = distance_squared(Metric::L2, row i, centroid j)
// bit for bit. `stride` is at least k; `out` holds (n - 1) * stride + k floats. Allocates nothing.
void distances(const float* rows, std::size_t n, const float* centroids, std::size_t k,
               std::size_t d, float* out, std::size_t stride);

}  // namespace sorvel::l2_tile_avx2
