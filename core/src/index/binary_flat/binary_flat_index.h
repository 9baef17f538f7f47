#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "distance/metric.h"
#include "index/quantized_fp16/compressed_flat.h"
#include "index/topk.h"

namespace sorvel {

// The sign bits of a vector and its Euclidean norm. Component i is bit i % 64 of word i / 64 (from
// the least significant bit), set when the component is >= 0.0 (both zeros set it, NaN does not);
// bits at n and above in the last word are 0.
struct BinaryCode {
  std::vector<std::uint64_t> bits;
  float norm;
};

inline std::size_t binary_words(std::size_t n) { return n / 64 + (n % 64 != 0 ? 1 : 0); }

// Writes binary_words(x.size()) words to `out` and returns the norm: the rounded square root of
// the sum of x_i * x_i from -0.0 in index order, each product rounded before its addition.
float binarize_into(std::span<const float> x, std::uint64_t* out);
BinaryCode binarize(std::span<const float> x);

// The scores of a code against the query: with h the number of differing bits and d the
// dimensions as f32, h / d under L2 and Cosine; under DotProduct, each step rounded to f32,
// t = h + h, u = d - t, v = u * n_q, w = (-n_e) * v, w / d (the negated dot product estimated from
// the agreeing signs). d = 0 gives NaN.
struct BinaryCodec {
  using Unit = std::uint64_t;
  static constexpr bool kHasAux = true;
  static constexpr const char* kUnitName = "words";

  static std::size_t units(std::size_t dimensions) { return binary_words(dimensions); }
  static float encode(std::span<const float> vector, Unit* out) {
    return binarize_into(vector, out);
  }
  // Component i is +s when its bit is set and -s otherwise, s = norm / sqrt(dimensions): the signs
  // and (up to rounding) the norm survive, the magnitudes do not.
  static void decode(const Unit* code, float norm, std::size_t dimensions, float* out);

  struct Query {
    Metric metric;
    float d;
    std::vector<std::uint64_t> bits;
    // The score of each h for L2 and Cosine; v(h) = (d - (h + h)) * n_q for DotProduct.
    std::vector<float> by_h;
  };
  static Query prepare(Metric metric, std::span<const float> query);
  static void score(Query& q, const Unit* codes, const float* norms, std::size_t rows,
                    std::size_t dimensions, float* out);
  static float finish(const Query&, float score) { return score; }
  // Under L2 and Cosine with dimensions > 0 the score is a non-decreasing function of h, so rows
  // are rejected on an integer cutoff of h before any score exists; returns false (nothing done)
  // for the other cases, which go through score(). `candidate(r)` gives row r's id, or nullopt to
  // pass it over; it runs only for rows under the cutoff.
  template <class Candidate>
  static bool select(Query& q, const Unit* codes, const float* norms, std::size_t rows, TopK& top,
                     Candidate&& candidate);
  // Refuses set bits beyond the dimensions, which no add makes.
  static std::optional<std::string> check_code(const Unit* code, std::size_t dimensions);
};

extern template class CompressedFlatIndex<BinaryCodec>;
using BinaryFlatIndex = CompressedFlatIndex<BinaryCodec>;

namespace binary_scan {
// Differing-bit counts of `rows` consecutive codes of `words` words against `query`, through the
// population count instruction (only callable when the processor has it) or portably.
void hamming_popcnt(const std::uint64_t* query, const std::uint64_t* codes, std::size_t rows,
                    std::size_t words, std::uint32_t* out);
void hamming_portable(const std::uint64_t* query, const std::uint64_t* codes, std::size_t rows,
                      std::size_t words, std::uint32_t* out);
bool has_popcnt();
// The rows r (0 .. rows - 1) whose count h is at most `cutoff`, in order, into rows_out / h_out;
// returns how many. A negative cutoff takes none.
std::size_t filter_popcnt(const std::uint64_t* query, const std::uint64_t* codes, std::size_t rows,
                          std::size_t words, std::int64_t cutoff, std::uint32_t* rows_out,
                          std::uint32_t* h_out);
}  // namespace binary_scan

}  // namespace sorvel
