// bench-deps: sorvel_flat
// Exact search of FlatIndex: one query, k = 10, L2, over 100,000 and 1,000,000 random 128-d rows.
//
//   search/<family>/<rows>     family: vector (AVX2+FMA) | portable (testing override of the cache)
//   read_baseline/<rows>       sums a buffer of the same size with plain AVX2 loads and eight
//                              independent accumulators: the read bound of this run
//
// Counters: "GB/s" is rows x 128 x 4 bytes per search (or per pass of the baseline) divided by the
// time, decimal; "QPS" is searches per second. The figure to quote is search GB/s divided by
// read_baseline GB/s of the same row count in the same run.
//
// Runs are noisy while other builds share the machine: compare figures of one run, not of two.

#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "distance/distance.h"
#include "index/flat/flat_index.h"

namespace {

constexpr std::size_t kDims = 128;
constexpr std::size_t kQueries = 64;
constexpr std::size_t kK = 10;

std::vector<float> random_floats(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::vector<float> out(n);
  // Two floats per draw: uniform in [-1, 1) from 24 random bits each.
  for (std::size_t i = 0; i < n; i += 2) {
    const std::uint64_t r = gen();
    out[i] = static_cast<float>(r & 0xffffff) * 0x1p-23f - 1.0f;
    if (i + 1 < n) out[i + 1] = static_cast<float>((r >> 32) & 0xffffff) * 0x1p-23f - 1.0f;
  }
  return out;
}

// One index per row count, built once for the whole run.
const sorvel::FlatIndex& index_of(std::size_t rows) {
  static std::map<std::size_t, std::unique_ptr<sorvel::FlatIndex>> indexes;
  auto& slot = indexes[rows];
  if (!slot) {
    slot = std::make_unique<sorvel::FlatIndex>(kDims, sorvel::Metric::L2);
    const std::vector<float> data = random_floats(rows * kDims, rows);
    if (!slot->add_matrix(data, rows, kDims, 0)) std::abort();
  }
  return *slot;
}

const std::vector<float>& queries() {
  static const std::vector<float> q = random_floats(kQueries * kDims, 99);
  return q;
}

void set_family(bool vector_family) {
  const std::uint32_t detected = sorvel::cpu::detect();
  sorvel::cpu::set_features_for_testing(
      vector_family ? detected : detected & ~(sorvel::cpu::kAvx2 | sorvel::cpu::kFma));
}

void report(benchmark::State& state, std::size_t rows) {
  const double bytes = static_cast<double>(rows * kDims * sizeof(float));
  state.counters["GB/s"] = benchmark::Counter(bytes * static_cast<double>(state.iterations()) / 1e9,
                                              benchmark::Counter::kIsRate);
  state.counters["QPS"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void search(benchmark::State& state, bool vector_family) {
  const std::size_t rows = static_cast<std::size_t>(state.range(0));
  const sorvel::FlatIndex& index = index_of(rows);
  set_family(vector_family);
  if (vector_family && !sorvel::cpu::use_avx2_fma()) {
    state.SkipWithError("no AVX2+FMA on this processor");
    return;
  }
  const std::vector<float>& q = queries();
  std::size_t next = 0;
  for (auto _ : state) {
    const std::span<const float> query(q.data() + next * kDims, kDims);
    auto hits = index.search(query, kK);
    benchmark::DoNotOptimize(hits);
    next = (next + 1) % kQueries;
  }
  set_family(true);
  report(state, rows);
}

void search_vector(benchmark::State& state) { search(state, true); }
void search_portable(benchmark::State& state) { search(state, false); }

__attribute__((target("avx2"))) float sum_all(const float* p, std::size_t n) {
  __m256 acc[8];
  for (auto& a : acc) a = _mm256_setzero_ps();
  for (std::size_t i = 0; i + 64 <= n; i += 64) {
    for (int k = 0; k < 8; ++k) acc[k] = _mm256_add_ps(acc[k], _mm256_loadu_ps(p + i + 8 * k));
  }
  for (int k = 1; k < 8; ++k) acc[0] = _mm256_add_ps(acc[0], acc[k]);
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, acc[0]);
  float s = 0.0f;
  for (const float x : lanes) s += x;
  return s;
}

void read_baseline(benchmark::State& state) {
  if (!__builtin_cpu_supports("avx2")) {
    state.SkipWithError("no AVX2 on this processor");
    return;
  }
  const std::size_t rows = static_cast<std::size_t>(state.range(0));
  static std::map<std::size_t, std::vector<float>> buffers;
  std::vector<float>& buf = buffers[rows];
  if (buf.empty()) buf = random_floats(rows * kDims, rows + 1);
  for (auto _ : state) benchmark::DoNotOptimize(sum_all(buf.data(), buf.size()));
  report(state, rows);
}

// Interleaved per size, so each search sits beside its read bound in time.
BENCHMARK(read_baseline)
    ->Name("read_baseline")
    ->Arg(100'000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(search_vector)
    ->Name("search/vector")
    ->Arg(100'000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(search_portable)
    ->Name("search/portable")
    ->Arg(100'000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(read_baseline)
    ->Name("read_baseline")
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(search_vector)
    ->Name("search/vector")
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(search_portable)
    ->Name("search/portable")
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
