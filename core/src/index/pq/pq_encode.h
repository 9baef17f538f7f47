#pragma once

#include <cstddef>

// The eight-lane forms of the quantizer's inner loops. Only callable when cpu::use_avx2_fma() is
// true; both allocate nothing and give the bits of the portable loops they replace.

namespace sorvel::pq_avx2 {

// k portable squared distances from x (ds floats) to sub-centroids stored position-major in
// `by_position` (entry p * k + c): out[c] is the sum from -0.0 over p in increasing order of
// (x[p] - entry)^2, difference, square and sum each rounded to f32.
void distances(const float* x, const float* by_position, std::size_t k, std::size_t ds, float* out);

// The index of the first strict minimum of v[0..k) below `none`, or 0 (NaN never wins).
std::size_t first_minimum(const float* v, std::size_t k, float none);

}  // namespace sorvel::pq_avx2
