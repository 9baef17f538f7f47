#include "distance/distance.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "check.h"

namespace sorvel {
namespace {

// ---- Scalar models of the two orders of roundings, written independently of the kernels. ----

// Portable order: -0.0 start, strictly sequential, product rounded before the sum.
float model_portable_l2(const float* a, const float* b, std::size_t n) {
  float s = -0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float d = a[i] - b[i];
    s = s + d * d;
  }
  return s;
}

float model_portable_dot(const float* a, const float* b, std::size_t n) {
  float s = -0.0f;
  for (std::size_t i = 0; i < n; ++i) s = s + a[i] * b[i];
  return s;
}

// Vector order: eight lanes from +0.0 updated with a single-rounding fma per block, the fixed
// pairwise reduction, then a rounded (not fused) scalar tail.
template <bool kL2>
float model_vector(const float* a, const float* b, std::size_t n) {
  float acc[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  const std::size_t blocks = n / 8;
  for (std::size_t j = 0; j < blocks; ++j) {
    for (std::size_t l = 0; l < 8; ++l) {
      const float x = a[8 * j + l];
      const float y = b[8 * j + l];
      if constexpr (kL2) {
        const float d = x - y;
        acc[l] = std::fma(d, d, acc[l]);
      } else {
        acc[l] = std::fma(x, y, acc[l]);
      }
    }
  }
  float h[4];
  for (int l = 0; l < 4; ++l) h[l] = acc[l] + acc[l + 4];
  float s = (h[0] + h[1]) + (h[2] + h[3]);
  for (std::size_t i = 8 * blocks; i < n; ++i) {
    if constexpr (kL2) {
      const float d = a[i] - b[i];
      const float p = d * d;
      s = s + p;
    } else {
      const float p = a[i] * b[i];
      s = s + p;
    }
  }
  return s;
}

using SumFn = float (*)(const float*, const float*, std::size_t);

struct Family {
  const char* name;
  bool vector;  // the AVX2+FMA family
  SumFn model_l2;
  SumFn model_dot;
};

void PrintTo(const Family& f, std::ostream* os) { *os << f.name; }

const Family kPortable{"portable", false, model_portable_l2, model_portable_dot};
const Family kVector{"vector", true, model_vector<true>, model_vector<false>};

float model_distance_squared(const Family& f, Metric metric, const float* a, const float* b,
                             std::size_t n) {
  switch (metric) {
    case Metric::L2:
      return f.model_l2(a, b, n);
    case Metric::DotProduct:
      return -f.model_dot(a, b, n);
    case Metric::Cosine: {
      const float ab = f.model_dot(a, b, n);
      const float aa = f.model_dot(a, a, n);
      const float bb = f.model_dot(b, b, n);
      if (aa == 0.0f || bb == 0.0f) return 1.0f;
      const float sa = std::sqrt(aa);
      const float sb = std::sqrt(bb);
      const float p = sa * sb;
      return 1.0f - ab / p;
    }
  }
  return std::numeric_limits<float>::quiet_NaN();
}

float model_distance(const Family& f, Metric metric, const float* a, const float* b,
                     std::size_t n) {
  const float v = model_distance_squared(f, metric, a, b, n);
  return metric == Metric::L2 ? std::sqrt(v) : v;
}

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// Compares bit patterns (so -0.0 and +0.0 differ); NaN matches any NaN, since payloads are not part
// of the contract.
::testing::AssertionResult same_bits(float expected, float actual) {
  if (std::isnan(expected) && std::isnan(actual)) return ::testing::AssertionSuccess();
  if (bits(expected) == bits(actual)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "expected " << expected << " (0x" << std::hex << bits(expected) << "), got " << actual
         << " (0x" << bits(actual) << ")";
}

// Runs the dispatching functions with one family for the lifetime of the scope and restores the
// detected word afterwards, also when an assertion ends the test early.
class FamilyScope {
 public:
  explicit FamilyScope(const Family& f) : saved_(cpu::features()) {
    cpu::set_features_for_testing(f.vector ? saved_ : 0);
  }
  ~FamilyScope() { cpu::set_features_for_testing(saved_); }
  FamilyScope(const FamilyScope&) = delete;
  FamilyScope& operator=(const FamilyScope&) = delete;

 private:
  std::uint32_t saved_;
};

bool machine_has_vector_family() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

// Values spread over many binades so the two orders of roundings give different bits.
std::vector<float> random_vector(std::mt19937& gen, std::size_t n) {
  std::normal_distribution<float> value(0.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-6, 6);
  std::vector<float> v(n);
  for (float& x : v) x = std::ldexp(value(gen), exponent(gen));
  return v;
}

constexpr std::size_t kLengths[] = {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 100};
constexpr Metric kMetrics[] = {Metric::L2, Metric::Cosine, Metric::DotProduct};
constexpr int kTrials = 20;

std::string label(const Family& f, Metric m, std::size_t n, int trial) {
  return std::string(f.name) + " " + std::string(metric_debug_name(m)) + " n=" + std::to_string(n) +
         " trial=" + std::to_string(trial);
}

class VectorFamilyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cpu::use_avx2_fma()) GTEST_SKIP() << "processor lacks AVX2+FMA";
  }
};

// ---- The kernels themselves. ----

TEST(KernelTest, PortableKernelsMatchTheirModel) {
  std::mt19937 gen(1);
  for (std::size_t n : kLengths) {
    for (int t = 0; t < kTrials; ++t) {
      const auto a = random_vector(gen, n);
      const auto b = random_vector(gen, n);
      SCOPED_TRACE(label(kPortable, Metric::L2, n, t));
      EXPECT_TRUE(same_bits(model_portable_l2(a.data(), b.data(), n),
                            kernels::scalar::l2_squared(a.data(), b.data(), n)));
      EXPECT_TRUE(same_bits(model_portable_dot(a.data(), b.data(), n),
                            kernels::scalar::dot(a.data(), b.data(), n)));
    }
  }
}

TEST_F(VectorFamilyTest, VectorKernelsMatchTheirModel) {
  std::mt19937 gen(2);
  int differs_from_portable = 0;
  for (std::size_t n : kLengths) {
    for (int t = 0; t < kTrials; ++t) {
      const auto a = random_vector(gen, n);
      const auto b = random_vector(gen, n);
      SCOPED_TRACE(label(kVector, Metric::L2, n, t));
      const float l2 = kernels::avx2::l2_squared(a.data(), b.data(), n);
      const float ip = kernels::avx2::dot(a.data(), b.data(), n);
      EXPECT_TRUE(same_bits(model_vector<true>(a.data(), b.data(), n), l2));
      EXPECT_TRUE(same_bits(model_vector<false>(a.data(), b.data(), n), ip));
      differs_from_portable += bits(l2) != bits(model_portable_l2(a.data(), b.data(), n));
      differs_from_portable += bits(ip) != bits(model_portable_dot(a.data(), b.data(), n));
    }
  }
  // The data must be able to tell the two orders apart, or the comparisons above prove little.
  EXPECT_GT(differs_from_portable, 100);
}

// Against the single-row kernel of the same family (itself checked against its model above), for
// every tail size (0 to 7 elements) after zero, one and several loop steps, and for the layouts the
// kernels treat differently: rows end to end in one matrix (a
// scan), rows scattered and out of order (graph neighbours), and one row passed four times.
TEST(KernelTest, BatchRowsAreBitIdenticalToSingleRowKernels) {
  using BatchFn = void (*)(const float*, const float* const[4], std::size_t, float[4]);
  const struct {
    const char* name;
    bool vector;
    BatchFn batch;
    SumFn single;
  } kernels[] = {
      {"scalar l2", false, kernels::scalar::l2_squared_batch4, kernels::scalar::l2_squared},
      {"scalar dot", false, kernels::scalar::dot_batch4, kernels::scalar::dot},
      {"avx2 l2", true, kernels::avx2::l2_squared_batch4, kernels::avx2::l2_squared},
      {"avx2 dot", true, kernels::avx2::dot_batch4, kernels::avx2::dot},
  };
  std::mt19937 gen(3);
  for (std::size_t n = 0; n <= 80; ++n) {
    const auto q = random_vector(gen, n);
    const auto matrix = random_vector(gen, 4 * n);
    std::vector<std::vector<float>> rows;
    for (int r = 0; r < 4; ++r) rows.push_back(random_vector(gen, n));
    const float* m = matrix.data();
    const struct {
      const char* name;
      const float* ptrs[4];
    } layouts[] = {
        {"consecutive", {m, m + n, m + 2 * n, m + 3 * n}},
        {"scattered", {rows[2].data(), rows[0].data(), rows[3].data(), rows[1].data()}},
        {"repeated", {rows[1].data(), rows[1].data(), rows[1].data(), rows[1].data()}},
    };
    for (const auto& k : kernels) {
      if (k.vector && !cpu::use_avx2_fma()) continue;
      for (const auto& layout : layouts) {
        float out[4];
        k.batch(q.data(), layout.ptrs, n, out);
        for (int r = 0; r < 4; ++r) {
          SCOPED_TRACE(std::string(k.name) + " " + layout.name + " n=" + std::to_string(n) +
                       " row=" + std::to_string(r));
          EXPECT_TRUE(same_bits(k.single(q.data(), layout.ptrs[r], n), out[r]));
        }
      }
    }
  }
}

// ---- The dispatching functions, through each family. ----

class FamilyTest : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    if (GetParam().vector && !cpu::use_avx2_fma()) GTEST_SKIP() << "processor lacks AVX2+FMA";
  }
};

TEST_P(FamilyTest, DistancesFollowTheFamilyOrder) {
  const Family& f = GetParam();
  FamilyScope scope(f);
  std::mt19937 gen(4);
  for (std::size_t n : kLengths) {
    for (int t = 0; t < kTrials; ++t) {
      const auto a = random_vector(gen, n);
      const auto b = random_vector(gen, n);
      EXPECT_TRUE(same_bits(f.model_l2(a.data(), b.data(), n), l2_squared(a.data(), b.data(), n)));
      EXPECT_TRUE(same_bits(f.model_dot(a.data(), b.data(), n), dot(a.data(), b.data(), n)));
      for (Metric m : kMetrics) {
        SCOPED_TRACE(label(f, m, n, t));
        EXPECT_TRUE(same_bits(model_distance(f, m, a.data(), b.data(), n), distance(m, a, b)));
        EXPECT_TRUE(same_bits(model_distance_squared(f, m, a.data(), b.data(), n),
                              distance_squared(m, a.data(), b.data(), n)));
      }
    }
  }
}

TEST_P(FamilyTest, BatchRowsEqualDistanceSquared) {
  const Family& f = GetParam();
  FamilyScope scope(f);
  std::mt19937 gen(5);
  for (std::size_t n : kLengths) {
    const auto q = random_vector(gen, n);
    const auto matrix = random_vector(gen, 4 * n);
    std::vector<std::vector<float>> rows;
    for (int r = 0; r < 4; ++r) rows.push_back(random_vector(gen, n));
    const float* m = matrix.data();
    const float* consecutive[4] = {m, m + n, m + 2 * n, m + 3 * n};
    const float* scattered[4] = {rows[0].data(), rows[1].data(), rows[2].data(), rows[3].data()};
    for (const float* const* ptrs : {consecutive, scattered}) {
      for (Metric metric : kMetrics) {
        float out[4];
        distance_batch4(metric, q.data(), ptrs, n, out);
        for (int r = 0; r < 4; ++r) {
          SCOPED_TRACE(label(f, metric, n, r) + (ptrs == consecutive ? " consecutive" : ""));
          EXPECT_TRUE(same_bits(distance_squared(metric, q.data(), ptrs[r], n), out[r]));
          EXPECT_TRUE(same_bits(model_distance_squared(f, metric, q.data(), ptrs[r], n), out[r]));
        }
      }
    }
  }
}

// The scan kernel cuts its rows into four runs and scores the leftovers one by one; every row, in
// either part, at either stride, must get distance_squared's bits. Row counts around multiples of
// four (and under four: no runs at all), strides with and without a gap between rows.
TEST_P(FamilyTest, ScanRowsEqualDistanceSquared) {
  const Family& f = GetParam();
  FamilyScope scope(f);
  std::mt19937 gen(6);
  for (std::size_t n : kLengths) {
    const auto q = random_vector(gen, n);
    for (const std::size_t count : {0, 1, 3, 4, 5, 8, 11, 17}) {
      for (const std::size_t stride : {n, n + 3}) {
        const auto rows = random_vector(gen, count * stride);
        for (Metric metric : kMetrics) {
          std::vector<float> out(count, -1.0f);
          distance_rows(metric, q.data(), rows.data(), stride, count, n, out.data());
          for (std::size_t r = 0; r < count; ++r) {
            SCOPED_TRACE(label(f, metric, n, static_cast<int>(r)) + " count=" +
                         std::to_string(count) + " stride=" + std::to_string(stride));
            const float* row = rows.data() + r * stride;
            EXPECT_TRUE(same_bits(distance_squared(metric, q.data(), row, n), out[r]));
            EXPECT_TRUE(same_bits(model_distance_squared(f, metric, q.data(), row, n), out[r]));
          }
        }
      }
    }
  }
}

TEST_P(FamilyTest, DimensionZeroSigns) {
  const Family& f = GetParam();
  FamilyScope scope(f);
  const std::vector<float> empty;
  // The portable sum starts at -0.0 and the vector one at +0.0; sqrt keeps the sign of a zero and
  // the DotProduct negation flips it.
  const float l2 = f.vector ? 0.0f : -0.0f;
  const float dp = f.vector ? -0.0f : 0.0f;
  EXPECT_TRUE(same_bits(l2, distance(Metric::L2, empty, empty)));
  EXPECT_TRUE(same_bits(dp, distance(Metric::DotProduct, empty, empty)));
  EXPECT_TRUE(same_bits(1.0f, distance(Metric::Cosine, empty, empty)));
  const float* rows[4] = {empty.data(), empty.data(), empty.data(), empty.data()};
  const struct {
    Metric metric;
    float expected;
  } cases[] = {{Metric::L2, l2}, {Metric::DotProduct, dp}, {Metric::Cosine, 1.0f}};
  for (const auto& c : cases) {
    SCOPED_TRACE(metric_debug_name(c.metric));
    float out[4];
    distance_batch4(c.metric, empty.data(), rows, 0, out);
    for (float v : out) EXPECT_TRUE(same_bits(c.expected, v));
  }
}

TEST_P(FamilyTest, ZeroNormCosineIsOne) {
  const Family& f = GetParam();
  FamilyScope scope(f);
  constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
  std::mt19937 gen(6);
  for (std::size_t n : {1, 7, 9, 33, 100}) {
    const auto other = random_vector(gen, n);
    const struct {
      const char* name;
      std::vector<float> zero_norm;
    } cases[] = {
        {"zeros", std::vector<float>(n, 0.0f)},
        {"negative zeros", std::vector<float>(n, -0.0f)},
        // 1e-23 squared is below the smallest subnormal f32.
        {"squares underflow", std::vector<float>(n, 1e-23f)},
    };
    std::vector<float> nan_other = other;
    nan_other[n / 2] = kNan;
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " n=" + std::to_string(n));
      EXPECT_EQ(1.0f, distance(Metric::Cosine, c.zero_norm, other));
      EXPECT_EQ(1.0f, distance(Metric::Cosine, other, c.zero_norm));
      EXPECT_EQ(1.0f, distance(Metric::Cosine, c.zero_norm, c.zero_norm));
      // A zero norm wins even when the other vector is NaN.
      EXPECT_EQ(1.0f, distance(Metric::Cosine, nan_other, c.zero_norm));
    }
  }
}

TEST_P(FamilyTest, IdenticalVectorsAreAtL2DistanceZero) {
  const Family& f = GetParam();
  FamilyScope scope(f);
  std::mt19937 gen(7);
  for (std::size_t n : kLengths) {
    if (n == 0) continue;  // the sign of an empty sum is the family's, covered above
    const auto a = random_vector(gen, n);
    const std::vector<float> b = a;
    SCOPED_TRACE(n);
    EXPECT_TRUE(same_bits(0.0f, distance(Metric::L2, a, b)));
    EXPECT_TRUE(same_bits(0.0f, distance_squared(Metric::L2, a.data(), b.data(), n)));
  }
}

TEST_P(FamilyTest, NanPropagates) {
  const Family& f = GetParam();
  FamilyScope scope(f);
  constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
  std::mt19937 gen(8);
  constexpr std::size_t kN = 37;  // one four-block step, one block and a five-element tail
  // Positions in the first step, in the single block after it and in the tail.
  for (std::size_t at : {0u, 31u, 33u, 36u}) {
    const auto q = random_vector(gen, kN);
    auto bad = random_vector(gen, kN);
    bad[at] = kNan;
    const auto good = random_vector(gen, kN);
    const float* rows[4] = {good.data(), bad.data(), good.data(), good.data()};
    for (Metric m : kMetrics) {
      SCOPED_TRACE(label(f, m, kN, static_cast<int>(at)));
      EXPECT_TRUE(std::isnan(distance(m, q, bad)));
      EXPECT_TRUE(std::isnan(distance(m, bad, q)));
      float out[4];
      distance_batch4(m, q.data(), rows, kN, out);
      EXPECT_FALSE(std::isnan(out[0]));
      EXPECT_TRUE(std::isnan(out[1]));
      EXPECT_FALSE(std::isnan(out[2]));
      EXPECT_FALSE(std::isnan(out[3]));
    }
  }
  // A NaN norm is not a zero norm.
  const std::vector<float> nan_vector(9, kNan);
  EXPECT_TRUE(std::isnan(distance(Metric::Cosine, nan_vector, random_vector(gen, 9))));
}

TEST_P(FamilyTest, DotProductPrefersTheAlignedVector) {
  const Family& f = GetParam();
  FamilyScope scope(f);
  const std::vector<float> q = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  std::vector<float> same = q;
  std::vector<float> opposite = q;
  for (float& x : opposite) x = -x;
  EXPECT_LT(distance(Metric::DotProduct, q, same), 0.0f);
  EXPECT_GT(distance(Metric::DotProduct, q, opposite), 0.0f);
  EXPECT_FLOAT_EQ(0.0f, distance(Metric::Cosine, q, same));
  EXPECT_FLOAT_EQ(2.0f, distance(Metric::Cosine, q, opposite));
}

// 1 - q is reported as computed: a vector against itself can round to slightly below 0 (and an
// opposite one above 2), and clamping would change the order of hits near those ends.
TEST_P(FamilyTest, CosineIsNotClamped) {
  const Family& f = GetParam();
  FamilyScope scope(f);
  std::mt19937 gen(10);
  int outside = 0;
  for (int t = 0; t < 2000 && outside < 5; ++t) {
    const auto a = random_vector(gen, 33);
    std::vector<float> neg = a;
    for (float& x : neg) x = -x;
    const std::vector<float>* others[] = {&a, &neg};
    for (const auto* b : others) {
      const float expected = model_distance(f, Metric::Cosine, a.data(), b->data(), a.size());
      if (expected >= 0.0f && expected <= 2.0f) continue;
      ++outside;
      EXPECT_TRUE(same_bits(expected, distance(Metric::Cosine, a, *b)));
    }
  }
  EXPECT_GT(outside, 0) << "no vector rounded outside [0, 2]";
}

INSTANTIATE_TEST_SUITE_P(Families, FamilyTest, ::testing::Values(kPortable, kVector),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(DistanceTest, LengthMismatchIsAnInvariantFailure) {
  const std::vector<float> a(8, 1.0f);
  const std::vector<float> b(9, 1.0f);
  const std::vector<float> empty;
  const struct { std::span<const float> x, y; } cases[] = {{a, b}, {b, a}, {empty, a}};
  for (Metric m : kMetrics) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(metric_debug_name(m)) + " " + std::to_string(c.x.size()) + " vs " +
                   std::to_string(c.y.size()));
      try {
        (void)distance(m, c.x, c.y);
        ADD_FAILURE() << "no InvariantFailure";
      } catch (const InvariantFailure& e) {
        EXPECT_STREQ("vector dimension mismatch", e.what());
      }
    }
  }
}

// ---- The feature cache and the choice of family. ----

TEST(FeatureCacheTest, CacheHoldsWhatDetectionFinds) {
  const std::uint32_t cached = cpu::features();
  EXPECT_EQ(cpu::detect(), cached);
  EXPECT_NE(0u, cached & cpu::kDetected);
  constexpr std::uint32_t kBoth = cpu::kAvx2 | cpu::kFma;
  EXPECT_EQ((cached & kBoth) == kBoth, cpu::use_avx2_fma());
  EXPECT_EQ((cached & cpu::kF16c) != 0, cpu::use_f16c());
  // The compiler's own run-time check (CPUID plus the OS register-state test) is an independent
  // opinion on the same question.
  EXPECT_EQ(machine_has_vector_family(), cpu::use_avx2_fma());
  EXPECT_EQ(static_cast<bool>(__builtin_cpu_supports("f16c")), cpu::use_f16c());
}

TEST(FeatureCacheTest, TestingOverrideReplacesTheWordAndIsRestored) {
  const std::uint32_t saved = cpu::features();
  cpu::set_features_for_testing(0);
  EXPECT_EQ(cpu::kDetected, cpu::features());  // still "detected": detection must not re-run
  EXPECT_FALSE(cpu::use_avx2_fma());
  EXPECT_FALSE(cpu::use_f16c());
  cpu::set_features_for_testing(cpu::kAvx2);  // AVX2 without FMA is not enough
  EXPECT_FALSE(cpu::use_avx2_fma());
  cpu::set_features_for_testing(saved);
  EXPECT_EQ(saved, cpu::features());
}

// Proves which kernels dispatch actually runs, by the bits they produce on data where the two
// families disagree. This machine has AVX2 and FMA, so the vector family must be the one.
TEST(FeatureCacheTest, DispatchPicksTheVectorFamilyOnThisMachine) {
  ASSERT_TRUE(machine_has_vector_family()) << "expected a processor with AVX2 and FMA";
  ASSERT_TRUE(cpu::use_avx2_fma());
  std::mt19937 gen(9);
  int told_apart = 0;
  for (int t = 0; t < kTrials; ++t) {
    const auto a = random_vector(gen, 100);
    const auto b = random_vector(gen, 100);
    const float vec = kernels::avx2::l2_squared(a.data(), b.data(), 100);
    const float port = kernels::scalar::l2_squared(a.data(), b.data(), 100);
    if (bits(vec) == bits(port)) continue;
    ++told_apart;
    EXPECT_TRUE(same_bits(vec, l2_squared(a.data(), b.data(), 100)));
    EXPECT_TRUE(same_bits(vec, distance_squared(Metric::L2, a.data(), b.data(), 100)));
  }
  EXPECT_GT(told_apart, 0);
}

}  // namespace
}  // namespace sorvel
