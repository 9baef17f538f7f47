// bench-deps: sorvel_base
// Single-core memory read bandwidth of this machine: sums a buffer with AVX2 loads into eight
// independent accumulators (so only the loads limit the loop) and reports the best of several
// passes in GB/s (decimal). Two sizes: 1 GiB, far beyond every cache (the DRAM figure), and
// 51.2 MB, the size of 100,000 rows of 128 floats (what a flat scan of that size can at best read).
//
// Usage: memory_bandwidth [passes]   (default 7)

#include <immintrin.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

namespace {

struct FreeDeleter {
  void operator()(float* p) const { std::free(p); }
};

__attribute__((target("avx2"))) float sum_all(const float* p, std::size_t n) {
  __m256 acc[8];
  for (auto& a : acc) a = _mm256_setzero_ps();
  for (std::size_t i = 0; i + 64 <= n; i += 64) {
    for (int k = 0; k < 8; ++k) acc[k] = _mm256_add_ps(acc[k], _mm256_load_ps(p + i + 8 * k));
  }
  for (int k = 1; k < 8; ++k) acc[0] = _mm256_add_ps(acc[0], acc[k]);
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, acc[0]);
  float s = 0.0f;
  for (float x : lanes) s += x;
  return s;
}

// Best and median pass, in GB/s.
void measure(const char* label, std::size_t bytes, int passes) {
  const std::size_t n = bytes / sizeof(float) / 64 * 64;
  std::unique_ptr<float, FreeDeleter> buf(static_cast<float*>(std::aligned_alloc(64, n * 4)));
  if (!buf) {
    std::fprintf(stderr, "allocation of %zu bytes failed\n", n * 4);
    std::exit(1);
  }
  for (std::size_t i = 0; i < n; ++i) buf.get()[i] = static_cast<float>(i & 1023) * 0x1p-10f;
  volatile float sink = sum_all(buf.get(), n);  // warm-up pass: page tables, TLB, frequency
  double best = 0.0;
  double all[64];
  if (passes > 64) passes = 64;
  for (int p = 0; p < passes; ++p) {
    const auto t0 = std::chrono::steady_clock::now();
    sink = sum_all(buf.get(), n);
    const auto t1 = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(t1 - t0).count();
    const double gbps = static_cast<double>(n * 4) / seconds / 1e9;
    all[p] = gbps;
    if (gbps > best) best = gbps;
  }
  (void)sink;
  // Median by insertion sort: a handful of values.
  for (int i = 1; i < passes; ++i) {
    for (int j = i; j > 0 && all[j - 1] > all[j]; --j) std::swap(all[j - 1], all[j]);
  }
  std::printf("%-28s %8.1f MB  best %6.1f GB/s  median %6.1f GB/s  (%d passes)\n", label,
              static_cast<double>(n * 4) / 1e6, best, all[passes / 2], passes);
}

}  // namespace

int main(int argc, char** argv) {
  if (!__builtin_cpu_supports("avx2")) {
    std::fprintf(stderr, "this program needs AVX2\n");
    return 1;
  }
  const int passes = argc > 1 ? std::atoi(argv[1]) : 7;
  if (passes < 1) {
    std::fprintf(stderr, "usage: %s [passes >= 1]\n", argv[0]);
    return 2;
  }
  std::printf("single-core read bandwidth (AVX2 loads, sum into 8 accumulators)\n");
  measure("1 GiB (DRAM)", std::size_t{1} << 30, passes);
  measure("100,000 x 128 f32 rows", std::size_t{100'000} * 128 * 4, passes);
  return 0;
}
