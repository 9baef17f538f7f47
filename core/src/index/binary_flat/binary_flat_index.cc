#include "index/binary_flat/binary_flat_index.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "index/quantized_fp16/compressed_flat_impl.h"

namespace sorvel {

float binarize_into(std::span<const float> x, std::uint64_t* out) {
  const std::size_t words = binary_words(x.size());
  for (std::size_t w = 0; w < words; ++w) out[w] = 0;
  float s = -0.0f;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (x[i] >= 0.0f) out[i / 64] |= std::uint64_t{1} << (i % 64);
    const float p = x[i] * x[i];
    s = s + p;
  }
  return std::sqrt(s);
}

BinaryCode binarize(std::span<const float> x) {
  BinaryCode c{std::vector<std::uint64_t>(binary_words(x.size())), 0.0f};
  c.norm = binarize_into(x, c.bits.data());
  return c;
}

void BinaryCodec::decode(const Unit* code, float norm, std::size_t dimensions, float* out) {
  if (dimensions == 0) return;
  const float s = norm / std::sqrt(static_cast<float>(dimensions));
  for (std::size_t i = 0; i < dimensions; ++i) {
    out[i] = ((code[i / 64] >> (i % 64)) & 1u) != 0 ? s : -s;
  }
}

BinaryCodec::Query BinaryCodec::prepare(Metric metric, std::span<const float> query) {
  Query q{metric, static_cast<float>(query.size()), std::vector<std::uint64_t>(binary_words(query.size())), {}};
  const float nq = binarize_into(query, q.bits.data());
  const std::size_t max_h = 64 * q.bits.size();
  q.by_h.resize(max_h + 1);
  for (std::size_t h = 0; h <= max_h; ++h) {
    const float hf = static_cast<float>(h);
    if (metric == Metric::DotProduct) {
      const float t = hf + hf;
      const float u = q.d - t;
      q.by_h[h] = u * nq;
    } else {
      q.by_h[h] = hf / q.d;
    }
  }
  return q;
}

void BinaryCodec::score(Query& q, const Unit* codes, const float* norms, std::size_t rows,
                        std::size_t /*dimensions*/, float* out) {
  static const bool popcnt = binary_scan::has_popcnt();
  std::uint32_t h[256];
  const std::size_t words = q.bits.size();
  for (std::size_t start = 0; start < rows; start += 256) {
    const std::size_t m = std::min<std::size_t>(256, rows - start);
    const std::uint64_t* block = codes + start * words;
    if (popcnt) {
      binary_scan::hamming_popcnt(q.bits.data(), block, m, words, h);
    } else {
      binary_scan::hamming_portable(q.bits.data(), block, m, words, h);
    }
    if (q.metric == Metric::DotProduct) {
      for (std::size_t r = 0; r < m; ++r) {
        const float w = (-norms[start + r]) * q.by_h[h[r]];
        out[start + r] = w / q.d;
      }
    } else {
      for (std::size_t r = 0; r < m; ++r) out[start + r] = q.by_h[h[r]];
    }
  }
}

template <class Candidate>
bool BinaryCodec::select(Query& q, const Unit* codes, const float* /*norms*/, std::size_t rows,
                         TopK& top, Candidate&& candidate) {
  static const bool popcnt = binary_scan::has_popcnt();
  if (q.metric == Metric::DotProduct || q.d == 0.0f || !popcnt) return false;
  const std::size_t words = q.bits.size();
  const float* by_h = q.by_h.data();
  const std::size_t table = q.by_h.size();
  // The largest h whose score still enters the collector: all of them until it is full, then
  // those whose score is below its worst one (a prefix of the table, since it is non-decreasing).
  std::int64_t cutoff = static_cast<std::int64_t>(table) - 1;
  constexpr std::size_t kBlock = 256;
  std::uint32_t cand_rows[kBlock];
  std::uint32_t cand_h[kBlock];
  for (std::size_t start = 0; start < rows && cutoff >= 0; start += kBlock) {
    const std::size_t m = std::min(kBlock, rows - start);
    const std::size_t found = binary_scan::filter_popcnt(q.bits.data(), codes + start * words, m,
                                                         words, cutoff, cand_rows, cand_h);
    for (std::size_t c = 0; c < found; ++c) {
      if (static_cast<std::int64_t>(cand_h[c]) > cutoff) continue;
      const std::optional<std::uint64_t> id = candidate(start + cand_rows[c]);
      if (!id) continue;
      top.push(*id, by_h[cand_h[c]]);
      if (top.full()) {
        const float worst = top.worst();
        const float* end = std::partition_point(
            by_h, by_h + table, [worst](float s) { return distance_less(s, worst); });
        cutoff = static_cast<std::int64_t>(end - by_h) - 1;
      }
    }
  }
  return true;
}

std::optional<std::string> BinaryCodec::check_code(const Unit* code, std::size_t dimensions) {
  const std::size_t used = dimensions % 64;
  if (used == 0) return std::nullopt;
  const std::uint64_t extra = code[dimensions / 64] >> used;
  if (extra == 0) return std::nullopt;
  return str_cat("bits set beyond the ", dimensions, " dimensions");
}

namespace binary_scan {

void hamming_portable(const std::uint64_t* query, const std::uint64_t* codes, std::size_t rows,
                      std::size_t words, std::uint32_t* out) {
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint64_t* e = codes + r * words;
    std::uint32_t h = 0;
    for (std::size_t j = 0; j < words; ++j) h += std::popcount(query[j] ^ e[j]);
    out[r] = h;
  }
}

bool has_popcnt() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("popcnt");
#else
  return false;
#endif
}

}  // namespace binary_scan

template class CompressedFlatIndex<BinaryCodec>;

}  // namespace sorvel
