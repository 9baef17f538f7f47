// bench-deps: sorvel_distance
// Throughput of the distance kernels, per family, in GB/s (decimal).
//
//   kernel/family/shape/d<dimensions>/<set>
//     kernel  l2 | dot
//     family  vector (AVX2+FMA) | portable (forced through the feature cache's testing override)
//     shape   single: one distance_squared call per row; batch4: one distance_batch4 per four
//             consecutive rows; gather4: distance_batch4 over four rows picked in a fixed random
//             order (graph neighbours, cluster members); rows: distance_rows over blocks of 1024
//             consecutive rows (what the exhaustive scans call)
//     set     cache: rows totalling 512 KiB, resident in L2 after the first pass;
//             scan: 100,000 rows (51 MB at d = 128, more than the last-level cache), walked in
//             order like a flat index's exact search
//
// Counters: "GB/s" counts the bytes of both operands for single (query and row) and of the four
// rows for batch4, "rows_GB/s" the row bytes alone (what a scan has to bring from memory), so it is
// the figure to set beside bench/memory_bandwidth's single-core read bandwidth. "read_baseline"
// sums the same rows with plain AVX2 loads and no arithmetic dependency: the read bound of this
// run, for ratios measured side by side.
//
// Runs are noisy while other builds share the machine: compare figures of one run, not of two.

#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "distance/distance.h"

namespace {

using sorvel::Metric;

constexpr std::size_t kScanRows = 100'000;
constexpr std::size_t kCacheBytes = 512 * 1024;

struct FreeDeleter {
  void operator()(float* p) const { std::free(p); }
};

// One contiguous, 64-byte aligned matrix of rows plus a query, filled with deterministic values
// (every page touched before timing starts).
struct Rows {
  std::size_t dims = 0;
  std::size_t count = 0;
  std::unique_ptr<float, FreeDeleter> data;
  std::vector<float> query;
  std::vector<std::uint32_t> order;  // a fixed permutation of the rows, for gather4

  const float* row(std::size_t i) const { return data.get() + i * dims; }
};

Rows make_rows(std::size_t dims, std::size_t count) {
  Rows r;
  r.dims = dims;
  r.count = count;
  const std::size_t floats = dims * count;
  const std::size_t bytes = (floats * sizeof(float) + 63) / 64 * 64;
  r.data.reset(static_cast<float*>(std::aligned_alloc(64, bytes)));
  std::uint64_t state = 0x9e3779b97f4a7c15ull ^ dims;
  auto next = [&state] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<float>(static_cast<std::int32_t>(state >> 32)) * 0x1p-31f;
  };
  for (std::size_t i = 0; i < floats; ++i) r.data.get()[i] = next();
  r.query.resize(dims);
  for (float& x : r.query) x = next();
  r.order.resize(count);
  for (std::size_t i = 0; i < count; ++i) r.order[i] = static_cast<std::uint32_t>(i);
  for (std::size_t i = count; i > 1; --i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    std::swap(r.order[i - 1], r.order[(state >> 33) % i]);
  }
  return r;
}

// Working sets are built once per (dims, set) and shared by every benchmark that uses them.
const Rows& rows_for(std::size_t dims, bool scan) {
  static std::map<std::pair<std::size_t, bool>, Rows> cache;
  auto it = cache.find({dims, scan});
  if (it == cache.end()) {
    std::size_t count = scan ? kScanRows : kCacheBytes / (dims * sizeof(float));
    count -= count % 4;
    it = cache.emplace(std::pair{dims, scan}, make_rows(dims, count)).first;
  }
  return it->second;
}

// Restores the detected feature word when a benchmark that forced the portable family ends.
class FamilyScope {
 public:
  explicit FamilyScope(bool vector) : saved_(sorvel::cpu::features()) {
    sorvel::cpu::set_features_for_testing(vector ? saved_ : 0);
  }
  ~FamilyScope() { sorvel::cpu::set_features_for_testing(saved_); }

 private:
  std::uint32_t saved_;
};

void set_counters(benchmark::State& state, const Rows& r, bool batch4) {
  const double row_bytes = static_cast<double>(state.iterations()) * static_cast<double>(r.count) *
                           static_cast<double>(r.dims * sizeof(float));
  const double operand_bytes = batch4 ? row_bytes : 2 * row_bytes;
  state.counters["GB/s"] =
      benchmark::Counter(operand_bytes, benchmark::Counter::kIsRate, benchmark::Counter::kIs1000);
  state.counters["rows_GB/s"] =
      benchmark::Counter(row_bytes, benchmark::Counter::kIsRate, benchmark::Counter::kIs1000);
}

// One pass over all rows per iteration, keeping the smallest value as a flat scan's top-1 would,
// so no call can be dropped.
void bm_single(benchmark::State& state, Metric metric, bool vector, std::size_t dims, bool scan) {
  const Rows& r = rows_for(dims, scan);
  FamilyScope family(vector);
  const float* q = r.query.data();
  for (auto _ : state) {
    float best = 3.4e38f;
    for (std::size_t i = 0; i < r.count; ++i) {
      const float v = sorvel::distance_squared(metric, q, r.row(i), dims);
      best = v < best ? v : best;
    }
    benchmark::DoNotOptimize(best);
  }
  set_counters(state, r, false);
}

void bm_batch4(benchmark::State& state, Metric metric, bool vector, std::size_t dims, bool scan,
               bool gather) {
  const Rows& r = rows_for(dims, scan);
  FamilyScope family(vector);
  const float* q = r.query.data();
  const std::uint32_t* order = r.order.data();
  for (auto _ : state) {
    float best = 3.4e38f;
    for (std::size_t i = 0; i < r.count; i += 4) {
      const float* rows[4] = {r.row(i), r.row(i + 1), r.row(i + 2), r.row(i + 3)};
      if (gather) {
        for (int k = 0; k < 4; ++k) rows[k] = r.row(order[i + k]);
      }
      float out[4];
      sorvel::distance_batch4(metric, q, rows, dims, out);
      for (float v : out) best = v < best ? v : best;
    }
    benchmark::DoNotOptimize(best);
  }
  set_counters(state, r, true);
}

void bm_rows(benchmark::State& state, Metric metric, bool vector, std::size_t dims, bool scan) {
  constexpr std::size_t kBlock = 1024;
  const Rows& r = rows_for(dims, scan);
  FamilyScope family(vector);
  std::vector<float> out(kBlock);
  for (auto _ : state) {
    float best = 3.4e38f;
    for (std::size_t i = 0; i < r.count; i += kBlock) {
      const std::size_t m = std::min(kBlock, r.count - i);
      sorvel::distance_rows(metric, r.query.data(), r.row(i), dims, m, dims, out.data());
      for (std::size_t j = 0; j < m; ++j) best = out[j] < best ? out[j] : best;
    }
    benchmark::DoNotOptimize(best);
  }
  set_counters(state, r, true);
}

// The read bound: eight independent accumulators, so only the loads limit the loop.
__attribute__((target("avx2"))) float sum_all(const float* p, std::size_t n) {
  __m256 acc[8];
  for (auto& a : acc) a = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    for (int k = 0; k < 8; ++k) acc[k] = _mm256_add_ps(acc[k], _mm256_load_ps(p + i + 8 * k));
  }
  for (int k = 1; k < 8; ++k) acc[0] = _mm256_add_ps(acc[0], acc[k]);
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, acc[0]);
  float s = 0.0f;
  for (float x : lanes) s += x;
  for (; i < n; ++i) s += p[i];
  return s;
}

void bm_read_baseline(benchmark::State& state, std::size_t dims, bool scan) {
  const Rows& r = rows_for(dims, scan);
  for (auto _ : state) benchmark::DoNotOptimize(sum_all(r.data.get(), r.count * dims));
  const double row_bytes = static_cast<double>(state.iterations()) * static_cast<double>(r.count) *
                           static_cast<double>(dims * sizeof(float));
  state.counters["rows_GB/s"] =
      benchmark::Counter(row_bytes, benchmark::Counter::kIsRate, benchmark::Counter::kIs1000);
}

void register_all() {
  const bool have_vector = sorvel::cpu::use_avx2_fma();
  for (bool scan : {false, true}) {
    for (std::size_t dims : {128, 384, 768}) {
      const std::string tail = "/d" + std::to_string(dims) + (scan ? "/scan" : "/cache");
      if (have_vector) {
        benchmark::RegisterBenchmark(("read_baseline" + tail).c_str(), bm_read_baseline, dims,
                                     scan);
      }
      for (Metric metric : {Metric::L2, Metric::DotProduct}) {
        const std::string kernel = metric == Metric::L2 ? "l2" : "dot";
        for (bool vector : {true, false}) {
          if (vector && !have_vector) continue;
          const std::string family = vector ? "/vector" : "/portable";
          benchmark::RegisterBenchmark((kernel + family + "/single" + tail).c_str(), bm_single,
                                       metric, vector, dims, scan);
          benchmark::RegisterBenchmark((kernel + family + "/batch4" + tail).c_str(), bm_batch4,
                                       metric, vector, dims, scan, false);
          benchmark::RegisterBenchmark((kernel + family + "/gather4" + tail).c_str(), bm_batch4,
                                       metric, vector, dims, scan, true);
          benchmark::RegisterBenchmark((kernel + family + "/rows" + tail).c_str(), bm_rows, metric,
                                       vector, dims, scan);
        }
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
