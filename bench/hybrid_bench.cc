// bench-deps: sorvel_collection
// The cost of hybrid search.
//
//   sparse   search_hybrid over an empty dense index, so the time is the sparse side's: posting
//            walks, accumulation, the cut to n, the folds, the fusion and the final sort. The peer
//            is the textbook form of the same algorithm, written here with the standard containers
//            (std::unordered_map accumulation, a full sort, an unordered_set union); both must
//            return the same hits bit for bit (checked before timing, up to the order of ties).
//   whole    search_hybrid over a flat index of N x 128 against the dense search alone with the
//            same over-fetch (index.search of 10 k): the ratio is what the sparse side and the
//            fusion add to a dense query.
//
// Documents carry 60 terms drawn from a Zipf(1.1) vocabulary of 30,000 terms (long lists for the
// common terms, as in learned sparse encodings); queries carry 24 terms from the same law; k = 10.
//
// Usage: hybrid_bench [--docs N] [--queries Q] [--random-ids]
// --random-ids scatters the ids over the whole u64 range instead of numbering them 0..N-1.
// Plain timing with steady_clock, best of 5 rounds over the query set. Other builds share the
// machine: quote the ratios of one run, not figures of two.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "collection/hybrid_search.h"
#include "collection/sparse_index.h"
#include "index/flat/flat_index.h"

namespace {

using sorvel::FlatIndex;
using sorvel::HybridHit;
using sorvel::Metric;
using sorvel::PayloadMap;
using sorvel::SparseIndex;
using sorvel::SparseVector;

constexpr std::size_t kDims = 128;
constexpr std::uint32_t kVocabulary = 30000;
constexpr std::uint64_t kK = 10;

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Draws terms by a Zipf law through its cumulative table.
class ZipfTerms {
 public:
  ZipfTerms(std::uint32_t vocabulary, double s) : cdf_(vocabulary) {
    double sum = 0.0;
    for (std::uint32_t i = 0; i < vocabulary; ++i) {
      sum += 1.0 / std::pow(static_cast<double>(i + 1), s);
      cdf_[i] = sum;
    }
    for (double& c : cdf_) c /= sum;
  }
  std::uint32_t draw(std::mt19937_64& rng) {
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    return static_cast<std::uint32_t>(std::lower_bound(cdf_.begin(), cdf_.end(), u) - cdf_.begin());
  }

 private:
  std::vector<double> cdf_;
};

SparseVector random_sparse(ZipfTerms& zipf, std::mt19937_64& rng, std::size_t terms) {
  std::vector<std::uint32_t> indices;
  while (indices.size() < terms) {
    const std::uint32_t t = zipf.draw(rng);
    if (std::find(indices.begin(), indices.end(), t) == indices.end()) indices.push_back(t);
  }
  std::sort(indices.begin(), indices.end());
  std::vector<float> values(indices.size());
  std::uniform_real_distribution<float> weight(0.05f, 2.0f);
  for (float& v : values) v = weight(rng);
  return SparseVector{std::move(indices), std::move(values)};
}

bool greater_nan_last(float a, float b) {
  if (std::isnan(a)) return false;
  return std::isnan(b) || a > b;
}

// The textbook form over the standard containers, for an empty dense side.
std::vector<HybridHit> textbook_sparse_only(const SparseIndex& sparse, const SparseVector& query,
                                            std::uint64_t k, float dense_weight,
                                            float sparse_weight) {
  const std::uint64_t n = 10 * k;
  std::unordered_map<std::uint64_t, float> score;
  const std::size_t pairs = std::min(query.indices.size(), query.values.size());
  for (std::size_t i = 0; i < pairs; ++i) {
    const SparseIndex::PostingList* list = sparse.postings(query.indices[i]);
    if (list == nullptr) continue;
    for (const sorvel::PostingEntry& e : *list) {
      float& acc = score[e.id];
      acc = e.weight * query.values[i] + acc;
    }
  }
  std::vector<std::pair<std::uint64_t, float>> pairs_list(score.begin(), score.end());
  std::sort(pairs_list.begin(), pairs_list.end(),
            [](const auto& a, const auto& b) { return greater_nan_last(a.second, b.second); });
  if (pairs_list.size() > n) pairs_list.resize(n);
  std::unordered_map<std::uint64_t, float> kept(pairs_list.begin(), pairs_list.end());
  float smin = 3.4028235e38f, smax = -3.4028235e38f;
  for (const auto& [id, s] : kept) {
    if (!std::isnan(s)) {
      smin = std::min(smin, s);
      smax = std::max(smax, s);
    }
  }
  if (kept.empty()) {
    smin = 0.0f;
    smax = 1.0f;
  }
  const float srange = smax - smin > 1e-9f ? smax - smin : 1e-9f;
  std::unordered_set<std::uint64_t> ids;
  for (const auto& [id, s] : kept) ids.insert(id);
  std::vector<HybridHit> hits;
  for (const std::uint64_t id : ids) {
    const float d = 1.0f, s = kept.at(id);
    const float a = (d - 0.0f) / 1.0f;
    const float b = 1.0f - a;
    const float c = (s - smin) / srange;
    hits.push_back(HybridHit{std::nullopt, id, c * sparse_weight + b * dense_weight, d, s});
  }
  std::sort(hits.begin(), hits.end(), [](const HybridHit& a, const HybridHit& b) {
    return greater_nan_last(a.score, b.score);
  });
  if (hits.size() > k) hits.resize(k);
  return hits;
}

// Best of 5 rounds: seconds per query.
double time_queries(std::size_t queries, const std::function<void(std::size_t)>& run) {
  double best = 1e300;
  for (int round = 0; round < 5; ++round) {
    const auto t0 = std::chrono::steady_clock::now();
    for (std::size_t q = 0; q < queries; ++q) run(q);
    best = std::min(best, seconds_since(t0) / static_cast<double>(queries));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t docs = 200000;
  std::size_t queries = 200;
  bool random_ids = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--random-ids") == 0) random_ids = true;
  }
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--docs") == 0) docs = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--queries") == 0) queries = std::strtoull(argv[i + 1], nullptr, 10);
  }

  std::mt19937_64 rng(7);
  ZipfTerms zipf(kVocabulary, 1.1);
  SparseIndex sparse;
  // Consecutive ids, or ids scattered over the whole u64 range.
  const auto id_of = [&](std::size_t i) -> std::uint64_t {
    if (!random_ids) return i;
    std::uint64_t z = i + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  };
  for (std::size_t i = 0; i < docs; ++i) sparse.insert(id_of(i), random_sparse(zipf, rng, 60));
  std::vector<SparseVector> qs;
  for (std::size_t q = 0; q < queries; ++q) qs.push_back(random_sparse(zipf, rng, 24));
  std::size_t touched = 0;
  for (const SparseVector& q : qs) {
    for (const std::uint32_t t : q.indices) {
      if (const auto* list = sparse.postings(t)) touched += list->size();
    }
  }
  std::printf("docs %zu (%s ids), queries %zu, mean posting entries walked per query %.0f\n", docs,
              random_ids ? "scattered" : "consecutive", queries,
              static_cast<double>(touched) / static_cast<double>(queries));

  const PayloadMap payloads;
  const FlatIndex empty(kDims, Metric::L2);
  const std::vector<float> dense_query(kDims, 0.5f);

  // Same hits as the textbook form, bit for bit (scores, and ids among distinct scores).
  for (const SparseVector& q : qs) {
    auto ours =
        sorvel::search_hybrid(empty, payloads, sparse, dense_query, q, kK, 0.7f, 0.3f, nullptr);
    const std::vector<HybridHit> ref = textbook_sparse_only(sparse, q, kK, 0.7f, 0.3f);
    if (!ours || ours->size() != ref.size()) {
      std::fprintf(stderr, "result mismatch\n");
      return 1;
    }
    for (std::size_t i = 0; i < ref.size(); ++i) {
      if (std::memcmp(&(*ours)[i].score, &ref[i].score, 4) != 0) {
        std::fprintf(stderr, "score mismatch at %zu\n", i);
        return 1;
      }
    }
  }

  std::size_t sink = 0;
  const double ours_sparse = time_queries(queries, [&](std::size_t q) {
    sink +=
        sorvel::search_hybrid(empty, payloads, sparse, dense_query, qs[q], kK, 0.7f, 0.3f, nullptr)
            ->size();
  });
  const double peer_sparse = time_queries(queries, [&](std::size_t q) {
    sink += textbook_sparse_only(sparse, qs[q], kK, 0.7f, 0.3f).size();
  });
  std::printf("sparse  ours %8.1f us  textbook %8.1f us  ratio ours/textbook %.2f\n",
              ours_sparse * 1e6, peer_sparse * 1e6, ours_sparse / peer_sparse);

  FlatIndex flat(kDims, Metric::L2);
  {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> v(kDims);
    for (std::size_t i = 0; i < docs; ++i) {
      for (float& x : v) x = normal(rng);
      if (!flat.add(id_of(i), v)) return 1;
    }
  }
  const double ours_whole = time_queries(queries, [&](std::size_t q) {
    sink +=
        sorvel::search_hybrid(flat, payloads, sparse, dense_query, qs[q], kK, 0.7f, 0.3f, nullptr)
            ->size();
  });
  const double dense_only = time_queries(
      queries, [&](std::size_t) { sink += flat.search(dense_query, 10 * kK)->size(); });
  std::printf("whole   hybrid %8.1f us  dense only %8.1f us  ratio hybrid/dense %.2f\n",
              ours_whole * 1e6, dense_only * 1e6, ours_whole / dense_only);
  return sink == 0 ? 1 : 0;
}
