// bench-deps: sorvel_base
// Single-core memory read bandwidth of this machine: sums a buffer with AVX2 loads into eight
// independent accumulators (so only the loads limit the loop) and reports the best and the median
// of several passes in GB/s (decimal). Four ways of reading, since each can be the fastest:
//
//   4k/1    ordinary 4 KiB pages, one ascending stream
//   4k/4    ordinary pages, the buffer cut into four runs read side by side (on 4 KiB pages the
//           hardware prefetchers stop at every page boundary; four streams keep more requests in
//           flight, as the index scans do)
//   2m/1    a 2 MiB-aligned mapping advised for transparent huge pages, one stream
//   2m/4    huge pages, four streams
//
// and a last line per size, "bound <bytes> <GB/s>": the highest median, the read bound a scan of
// that many bytes is measured against. By default two sizes: 1 GiB, far beyond every cache (the
// DRAM figure), and 51.2 MB, the size of 100,000 rows of 128 floats. Sizes given after the pass
// count replace them, so a benchmark can probe exactly the bytes its scan reads
// (bench/scan_bench.py does).
//
// Usage: memory_bandwidth [passes [bytes ...]]   (default 7 passes)

#include <immintrin.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// An anonymous mapping, optionally 2 MiB-aligned and advised for huge pages; unmapped at the end.
class Buffer {
 public:
  Buffer(std::size_t bytes, bool huge) : size_(bytes + kHugePage) {
    void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      std::fprintf(stderr, "mapping %zu bytes failed\n", size_);
      std::exit(1);
    }
    base_ = static_cast<char*>(p);
    const auto start = reinterpret_cast<std::uintptr_t>(base_);
    // Ordinary pages: deliberately 4 KiB past a 2 MiB boundary, so the kernel's alignment of large
    // mappings cannot hand out huge pages unasked.
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    data_ = reinterpret_cast<float*>(huge ? aligned : start + 4096);
    if (huge) (void)::madvise(data_, bytes, MADV_HUGEPAGE);
    if (!huge) (void)::madvise(base_, size_, MADV_NOHUGEPAGE);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { ::munmap(base_, size_); }
  float* data() const { return data_; }

 private:
  std::size_t size_;
  char* base_;
  float* data_;
};

// Sums n floats (n a multiple of 64 * streams) as `streams` runs read side by side.
__attribute__((target("avx2"))) float sum_all(const float* p, std::size_t n, int streams) {
  __m256 acc[8];
  for (auto& a : acc) a = _mm256_setzero_ps();
  if (streams == 1) {
    for (std::size_t i = 0; i + 64 <= n; i += 64) {
      for (int k = 0; k < 8; ++k) acc[k] = _mm256_add_ps(acc[k], _mm256_load_ps(p + i + 8 * k));
    }
  } else {
    const std::size_t part = n / 4;
    for (std::size_t i = 0; i + 16 <= part; i += 16) {
      for (int s = 0; s < 4; ++s) {
        acc[2 * s] = _mm256_add_ps(acc[2 * s], _mm256_load_ps(p + s * part + i));
        acc[2 * s + 1] = _mm256_add_ps(acc[2 * s + 1], _mm256_load_ps(p + s * part + i + 8));
      }
    }
  }
  for (int k = 1; k < 8; ++k) acc[0] = _mm256_add_ps(acc[0], acc[k]);
  alignas(32) float lanes[8];
  _mm256_store_ps(lanes, acc[0]);
  float s = 0.0f;
  for (float x : lanes) s += x;
  return s;
}

// Prints best and median of `passes` passes; returns the median, in GB/s.
double measure(const char* label, std::size_t bytes, bool huge, int streams, int passes) {
  const std::size_t n = bytes / sizeof(float) / 256 * 256;
  const Buffer buf(n * sizeof(float), huge);
  for (std::size_t i = 0; i < n; ++i) buf.data()[i] = static_cast<float>(i & 1023) * 0x1p-10f;
  volatile float sink = sum_all(buf.data(), n, streams);  // warm-up: page tables, TLB, frequency
  std::vector<double> all;
  for (int p = 0; p < passes; ++p) {
    const auto t0 = std::chrono::steady_clock::now();
    sink = sum_all(buf.data(), n, streams);
    const auto t1 = std::chrono::steady_clock::now();
    all.push_back(static_cast<double>(n * 4) / std::chrono::duration<double>(t1 - t0).count() /
                  1e9);
  }
  (void)sink;
  std::sort(all.begin(), all.end());
  const double median = all[all.size() / 2];
  std::printf("%-24s %s/%d %8.1f MB  best %6.1f GB/s  median %6.1f GB/s  (%d passes)\n", label,
              huge ? "2m" : "4k", streams, static_cast<double>(n * 4) / 1e6, all.back(), median,
              passes);
  return median;
}

void measure_all(const char* label, std::size_t bytes, int passes) {
  double bound = 0.0;
  for (const bool huge : {false, true}) {
    for (const int streams : {1, 4}) {
      bound = std::max(bound, measure(label, bytes, huge, streams, passes));
    }
  }
  std::printf("bound %zu %.1f\n", bytes, bound);
}

}  // namespace

int main(int argc, char** argv) {
  if (!__builtin_cpu_supports("avx2")) {
    std::fprintf(stderr, "this program needs AVX2\n");
    return 1;
  }
  const int passes = argc > 1 ? std::atoi(argv[1]) : 7;
  if (passes < 1) {
    std::fprintf(stderr, "usage: %s [passes >= 1 [bytes ...]]\n", argv[0]);
    return 2;
  }
  std::printf("single-core read bandwidth (AVX2 loads, sum into 8 accumulators)\n");
  if (argc > 2) {
    for (int i = 2; i < argc; ++i) {
      const long long bytes = std::atoll(argv[i]);
      if (bytes < 4096) {
        std::fprintf(stderr, "a size must be at least 4096 bytes: %s\n", argv[i]);
        return 2;
      }
      measure_all(argv[i], static_cast<std::size_t>(bytes), passes);
    }
    return 0;
  }
  measure_all("1 GiB (DRAM)", std::size_t{1} << 30, passes);
  measure_all("100,000 x 128 f32 rows", std::size_t{100'000} * 128 * 4, passes);
  return 0;
}
