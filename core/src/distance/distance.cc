#include "distance/distance.h"

#include <atomic>
#include <cmath>

#include "check.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace sorvel {
namespace cpu {
namespace {

// The process-wide feature word. 0 means "not detected yet"; every stored value carries kDetected,
// so a detected machine without any feature is still distinguishable. Threads racing at the first
// call each detect and store the same complete value, so relaxed ordering is enough: nothing else
// is published through this word.
std::atomic<std::uint32_t> g_features{0};

#if defined(__x86_64__) || defined(__i386__)
// CPUID leaf 1, ECX.
constexpr unsigned kLeaf1EcxFma = 1u << 12;
constexpr unsigned kLeaf1EcxXsave = 1u << 26;
constexpr unsigned kLeaf1EcxOsxsave = 1u << 27;
constexpr unsigned kLeaf1EcxF16c = 1u << 29;
// CPUID leaf 7 subleaf 0, EBX.
constexpr unsigned kLeaf7EbxAvx2 = 1u << 5;
// XCR0: the SSE (XMM) and AVX (upper YMM) register states, both saved by the operating system.
constexpr std::uint64_t kXcr0SseAvx = (1u << 1) | (1u << 2);

// XGETBV with ECX = 0. Written as inline assembly so this file needs no -mxsave; only executed
// after OSXSAVE has been seen, which guarantees the instruction exists and is enabled.
std::uint64_t read_xcr0() {
  std::uint32_t eax = 0;
  std::uint32_t edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<std::uint64_t>(edx) << 32) | eax;
}
#endif

std::uint32_t load_or_detect() {
  std::uint32_t bits = g_features.load(std::memory_order_relaxed);
  if (bits == 0) [[unlikely]] {
    bits = detect();
    g_features.store(bits, std::memory_order_relaxed);
  }
  return bits;
}

}  // namespace

std::uint32_t detect() {
  std::uint32_t bits = kDetected;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return bits;
  const unsigned leaf1_ecx = ecx;
  // Without XSAVE/OSXSAVE the operating system cannot be saving the YMM state, and XGETBV itself
  // may fault; every AVX-encoded feature is then unusable.
  if ((leaf1_ecx & kLeaf1EcxXsave) == 0 || (leaf1_ecx & kLeaf1EcxOsxsave) == 0) return bits;
  if ((read_xcr0() & kXcr0SseAvx) != kXcr0SseAvx) return bits;
  if ((leaf1_ecx & kLeaf1EcxFma) != 0) bits |= kFma;
  if ((leaf1_ecx & kLeaf1EcxF16c) != 0) bits |= kF16c;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & kLeaf7EbxAvx2) != 0) {
    bits |= kAvx2;
  }
#endif
  return bits;
}

std::uint32_t features() { return load_or_detect(); }

bool use_avx2_fma() {
  constexpr std::uint32_t kBoth = kAvx2 | kFma;
  return (load_or_detect() & kBoth) == kBoth;
}

bool use_f16c() { return (load_or_detect() & kF16c) != 0; }

void set_features_for_testing(std::uint32_t bits) {
  g_features.store(bits | kDetected, std::memory_order_relaxed);
}

}  // namespace cpu

// Each sum reads the feature cache on its own: the cache is fixed once set, so every call in a
// process takes the same family; the relaxed load costs one ordinary memory read.
float l2_squared(const float* a, const float* b, std::size_t n) {
  if (cpu::use_avx2_fma()) return kernels::avx2::l2_squared(a, b, n);
  return kernels::scalar::l2_squared(a, b, n);
}

float dot(const float* a, const float* b, std::size_t n) {
  if (cpu::use_avx2_fma()) return kernels::avx2::dot(a, b, n);
  return kernels::scalar::dot(a, b, n);
}

float cosine_distance(const float* a, const float* b, std::size_t n) {
  const float ab = dot(a, b, n);
  const float aa = dot(a, a, n);
  const float bb = dot(b, b, n);
  return cosine_from_sums(ab, aa, bb);
}

float distance_squared(Metric metric, const float* a, const float* b, std::size_t n) {
  switch (metric) {
    case Metric::L2:
      return l2_squared(a, b, n);
    case Metric::Cosine:
      return cosine_distance(a, b, n);
    case Metric::DotProduct:
      return -dot(a, b, n);
  }
  invariant_failure("unknown metric");
}

float distance(Metric metric, std::span<const float> a, std::span<const float> b) {
  SORVEL_CHECK(a.size() == b.size(), "vector dimension mismatch");
  if (metric == Metric::L2) return std::sqrt(l2_squared(a.data(), b.data(), a.size()));
  return distance_squared(metric, a.data(), b.data(), a.size());
}

void distance_batch4(Metric metric, const float* query, const float* const rows[4], std::size_t n,
                     float out[4]) {
  switch (metric) {
    case Metric::L2:
      if (cpu::use_avx2_fma()) {
        kernels::avx2::l2_squared_batch4(query, rows, n, out);
      } else {
        kernels::scalar::l2_squared_batch4(query, rows, n, out);
      }
      return;
    case Metric::Cosine:
      for (int r = 0; r < 4; ++r) out[r] = cosine_distance(query, rows[r], n);
      return;
    case Metric::DotProduct:
      if (cpu::use_avx2_fma()) {
        kernels::avx2::dot_batch4(query, rows, n, out);
      } else {
        kernels::scalar::dot_batch4(query, rows, n, out);
      }
      for (int r = 0; r < 4; ++r) out[r] = -out[r];
      return;
  }
  invariant_failure("unknown metric");
}

void distance_rows(Metric metric, const float* query, const float* rows, std::size_t stride,
                   std::size_t count, std::size_t n, float* out) {
  const bool vector = cpu::use_avx2_fma();
  switch (metric) {
    case Metric::L2:
      if (vector) {
        kernels::avx2::l2_squared_rows(query, rows, stride, count, n, out);
      } else {
        kernels::scalar::l2_squared_rows(query, rows, stride, count, n, out);
      }
      return;
    case Metric::Cosine: {
      // The same bits as cosine_distance's own dot(a, a) on every row: the sum does not change.
      const float qq = dot(query, query, n);
      if (vector) {
        kernels::avx2::cosine_rows(query, qq, rows, stride, count, n, out);
      } else {
        kernels::scalar::cosine_rows(query, qq, rows, stride, count, n, out);
      }
      return;
    }
    case Metric::DotProduct:
      if (vector) {
        kernels::avx2::dot_rows(query, rows, stride, count, n, out);
      } else {
        kernels::scalar::dot_rows(query, rows, stride, count, n, out);
      }
      for (std::size_t r = 0; r < count; ++r) out[r] = -out[r];
      return;
  }
  invariant_failure("unknown metric");
}

}  // namespace sorvel
