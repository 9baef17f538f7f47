// The portable kernel family: one accumulator starting at -0.0, every product and sum rounded to
// f32 on its own, additions strictly in index order. The project builds with -ffp-contract=off, so
// the compiler never fuses d * d + s into one rounding, and without -ffast-math it never reorders
// the sum; these loops are therefore exactly the order they spell.

#include "distance/distance.h"

namespace sorvel::kernels::scalar {

float l2_squared(const float* a, const float* b, std::size_t n) {
  float s = -0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float d = a[i] - b[i];
    const float p = d * d;
    s = s + p;
  }
  return s;
}

float dot(const float* a, const float* b, std::size_t n) {
  float s = -0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float p = a[i] * b[i];
    s = s + p;
  }
  return s;
}

namespace {

// Four rows laid end to end (a flat scan): taking them one after another keeps the loads in one
// ascending stream that the hardware prefetchers follow; interleaving them measured slower than
// the single-row loop on rows streamed from memory.
bool consecutive(const float* const rows[4], std::size_t n) {
  return rows[1] == rows[0] + n && rows[2] == rows[1] + n && rows[3] == rows[2] + n;
}

}  // namespace

// Otherwise four independent sums advance together: each row's additions stay in index order (so
// its bits are those of the single-row loop), while the processor overlaps the four dependency
// chains.
void l2_squared_batch4(const float* query, const float* const rows[4], std::size_t n,
                       float out[4]) {
  if (consecutive(rows, n)) {
    for (int r = 0; r < 4; ++r) out[r] = l2_squared(query, rows[r], n);
    return;
  }
  const float* r0 = rows[0];
  const float* r1 = rows[1];
  const float* r2 = rows[2];
  const float* r3 = rows[3];
  float s0 = -0.0f, s1 = -0.0f, s2 = -0.0f, s3 = -0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float q = query[i];
    const float d0 = q - r0[i];
    const float d1 = q - r1[i];
    const float d2 = q - r2[i];
    const float d3 = q - r3[i];
    s0 = s0 + d0 * d0;
    s1 = s1 + d1 * d1;
    s2 = s2 + d2 * d2;
    s3 = s3 + d3 * d3;
  }
  out[0] = s0;
  out[1] = s1;
  out[2] = s2;
  out[3] = s3;
}

void dot_batch4(const float* query, const float* const rows[4], std::size_t n, float out[4]) {
  if (consecutive(rows, n)) {
    for (int r = 0; r < 4; ++r) out[r] = dot(query, rows[r], n);
    return;
  }
  const float* r0 = rows[0];
  const float* r1 = rows[1];
  const float* r2 = rows[2];
  const float* r3 = rows[3];
  float s0 = -0.0f, s1 = -0.0f, s2 = -0.0f, s3 = -0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float q = query[i];
    s0 = s0 + q * r0[i];
    s1 = s1 + q * r1[i];
    s2 = s2 + q * r2[i];
    s3 = s3 + q * r3[i];
  }
  out[0] = s0;
  out[1] = s1;
  out[2] = s2;
  out[3] = s3;
}

void l2_squared_rows(const float* query, const float* rows, std::size_t stride, std::size_t count,
                     std::size_t n, float* out) {
  for (std::size_t r = 0; r < count; ++r) out[r] = l2_squared(query, rows + r * stride, n);
}

void dot_rows(const float* query, const float* rows, std::size_t stride, std::size_t count,
              std::size_t n, float* out) {
  for (std::size_t r = 0; r < count; ++r) out[r] = dot(query, rows + r * stride, n);
}

void cosine_rows(const float* query, float qq, const float* rows, std::size_t stride,
                 std::size_t count, std::size_t n, float* out) {
  for (std::size_t r = 0; r < count; ++r) {
    const float* x = rows + r * stride;
    out[r] = cosine_from_sums(dot(query, x, n), qq, dot(x, x, n));
  }
}

}  // namespace sorvel::kernels::scalar
