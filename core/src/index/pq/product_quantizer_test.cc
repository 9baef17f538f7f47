#include "index/pq/product_quantizer.h"

#include <gtest/gtest.h>

#include <bit>
#include <limits>

#include "check.h"
#include "distance/distance.h"
#include "index/ivf/kmeans.h"
#include "random.h"
#include "testing/feature_guard.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

std::vector<std::span<const float>> rows_of(const std::vector<float>& data, std::size_t d) {
  std::vector<std::span<const float>> rows;
  for (std::size_t i = 0; i < data.size() / d; ++i) rows.emplace_back(data.data() + i * d, d);
  return rows;
}

const float* sub_centroid(const ProductQuantizer& pq, std::size_t s, std::size_t c) {
  return pq.codebook().data() + (s * pq.k() + c) * pq.subspace_dims();
}

TEST(PqConfigCheck, RefusesWhatCannotTrain) {
  struct Case {
    std::uint64_t d, m, k_sub;
    const char* error;  // "" when accepted
  };
  const std::vector<Case> cases = {
      {128, 8, 256, ""},
      {128, 128, 1, ""},
      {0, 4, 16, ""},
      {0, 256, 16, ""},
      {0, 257, 16, "invalid configuration: m (257) must be at most 256 for 0 dimensions"},
      {128, 0, 256, "invalid configuration: dimensions (128) must be divisible by m (0)"},
      {100, 8, 256, "invalid configuration: dimensions (100) must be divisible by m (8)"},
      {128, 8, 0, "invalid configuration: k_sub must be between 1 and 256, got 0"},
      {128, 8, 257, "invalid configuration: k_sub must be between 1 and 256, got 257"},
  };
  for (const Case& c : cases) {
    const Result<> r = check_pq_config(c.d, PqConfig{c.m, c.k_sub, 25});
    if (*c.error == '\0') {
      EXPECT_TRUE(r.has_value()) << c.d << " " << c.m << " " << c.k_sub;
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().display(), c.error);
    }
  }
}

TEST(ProductQuantizer, EmptyTrainingSetIsAnInvariantFailure) {
  EXPECT_THROW(ProductQuantizer::train({}, PqConfig{}), InvariantFailure);
}

TEST(ProductQuantizer, FewerVectorsThanSubCentroidsLeavesZeroEntries) {
  const std::size_t d = 8;
  const std::vector<float> data = testing::random_vectors(10, d, 1);
  const ProductQuantizer pq = ProductQuantizer::train(rows_of(data, d), {4, 256, 25});
  EXPECT_EQ(pq.m(), 4u);
  EXPECT_EQ(pq.k(), 256u);
  EXPECT_EQ(pq.subspace_dims(), 2u);
  ASSERT_EQ(pq.codebook().size(), 4u * 256 * 2);
  for (std::size_t s = 0; s < 4; ++s) {
    for (std::size_t c = 10; c < 256; ++c) {
      EXPECT_EQ(sub_centroid(pq, s, c)[0], 0.0f);
      EXPECT_EQ(sub_centroid(pq, s, c)[1], 0.0f);
    }
  }
  EXPECT_EQ(pq.distance_table(std::span<const float>(data).first(d)).size(), 4u * 256);
  // A vector at the origin is closest to a zero sub-centroid in every subspace.
  const std::vector<std::uint8_t> code = pq.encode(std::vector<float>(d, 0.0f));
  for (std::uint8_t byte : code) EXPECT_GE(byte, 10);
}

TEST(ProductQuantizer, NoIterationKeepsOneSeedPermutationPerSubspace) {
  const std::size_t n = 30, d = 6, m = 3, k = 5;
  const std::vector<float> data = testing::random_vectors(n, d, 2);
  seed_thread_random(5);
  std::vector<std::vector<std::size_t>> perms;
  for (std::size_t s = 0; s < m; ++s) perms.push_back(random_permutation(n));
  seed_thread_random(5);
  const ProductQuantizer pq = ProductQuantizer::train(rows_of(data, d), {m, k, 0});
  for (std::size_t s = 0; s < m; ++s) {
    for (std::size_t c = 0; c < k; ++c) {
      for (std::size_t x = 0; x < 2; ++x) {
        EXPECT_EQ(sub_centroid(pq, s, c)[x], data[perms[s][c] * d + s * 2 + x]) << s << " " << c;
      }
    }
  }
}

TEST(ProductQuantizer, DegenerateTrainingSets) {
  const std::vector<float> one = {1, 2, 3, 4};
  const ProductQuantizer single = ProductQuantizer::train(rows_of(one, 4), {2, 8, 25});
  for (std::size_t s = 0; s < 2; ++s) {
    EXPECT_EQ(sub_centroid(single, s, 0)[0], one[s * 2]);
    EXPECT_EQ(sub_centroid(single, s, 0)[1], one[s * 2 + 1]);
    for (std::size_t c = 1; c < 8; ++c) EXPECT_EQ(sub_centroid(single, s, c)[0], 0.0f);
  }
  EXPECT_EQ(single.encode(one), (std::vector<std::uint8_t>{0, 0}));

  // All vectors equal: nothing beats sub-centroid 0 strictly, training stops at once and every
  // seed stays the same vector.
  std::vector<float> same;
  for (int i = 0; i < 20; ++i) same.insert(same.end(), {7, -1});
  const ProductQuantizer equal = ProductQuantizer::train(rows_of(same, 2), {1, 4, 25});
  for (std::size_t c = 0; c < 4; ++c) {
    EXPECT_EQ(sub_centroid(equal, 0, c)[0], 7.0f);
    EXPECT_EQ(sub_centroid(equal, 0, c)[1], -1.0f);
  }
  EXPECT_EQ(equal.encode(std::vector<float>{7, -1}), (std::vector<std::uint8_t>{0}));
}

// Tables and codes use the portable sum whatever the processor offers: every table entry equals
// the scalar kernel bit for bit, and every code byte is the first strict minimum of its row.
TEST(ProductQuantizer, TablesAndCodesUseThePortableSum) {
  // k = 40: sub-centroids are scored in blocks of 32 plus a remainder; both must match.
  const std::size_t n = 400, d = 24, m = 3, k = 40;
  const std::vector<float> data = testing::random_vectors(n, d, 3);
  const ProductQuantizer pq = ProductQuantizer::train(rows_of(data, d), {m, k, 10});
  const std::vector<float> queries = testing::random_vectors(20, d, 4);
  for (std::size_t q = 0; q < 20; ++q) {
    const float* query = queries.data() + q * d;
    const std::vector<float> table = pq.distance_table(std::span<const float>(query, d));
    const std::vector<std::uint8_t> code = pq.encode(std::span<const float>(query, d));
    for (std::size_t s = 0; s < m; ++s) {
      float best = kNoDistance;
      std::size_t best_c = 0;
      for (std::size_t c = 0; c < k; ++c) {
        const float expected =
            kernels::scalar::l2_squared(query + s * 8, sub_centroid(pq, s, c), 8);
        ASSERT_EQ(table[s * k + c], expected) << s << " " << c;
        if (expected < best) {
          best = expected;
          best_c = c;
        }
      }
      EXPECT_EQ(code[s], best_c);
    }
  }
  // A sub-vector equal to a sub-centroid is encoded to it.
  std::vector<float> exact(d);
  for (std::size_t s = 0; s < m; ++s)
    std::copy_n(sub_centroid(pq, s, 5 + s), 8, exact.begin() + s * 8);
  const std::vector<std::uint8_t> code = pq.encode(exact);
  for (std::size_t s = 0; s < m; ++s) EXPECT_EQ(code[s], 5 + s);
}

// Codebooks of every width the eight-lane scoring splits differently (full groups of 64, single
// groups of 8, a scalar remainder), in both kernel families: each table entry has the bits of the
// portable sum, and encode_rows and encode give the first strict minimum, also when sub-centroid
// 1 repeats sub-centroid 0 (a tie), for a NaN sub-vector (code 0) and for one lying on a
// sub-centroid.
TEST(ProductQuantizer, EveryCodebookWidthScoresAndEncodesLikeThePortableSum) {
  struct Case {
    std::size_t m, k, ds;
  };
  const std::vector<Case> cases = {{1, 1, 1},  {2, 7, 3},  {3, 8, 8},   {2, 63, 5},
                                   {2, 64, 8}, {1, 72, 2}, {4, 256, 8}, {2, 129, 0}};
  testing::FeatureGuard guard;
  for (const std::uint32_t features : {cpu::features(), cpu::kDetected}) {
    cpu::set_features_for_testing(features);
    for (const Case& c : cases) {
      const std::size_t d = c.m * c.ds, n = 9;
      std::vector<float> book = testing::random_vectors(c.m * c.k, c.ds, 20 + c.k);
      if (c.k > 1) {
        for (std::size_t s = 0; s < c.m; ++s) {
          std::copy_n(book.begin() + s * c.k * c.ds, c.ds, book.begin() + (s * c.k + 1) * c.ds);
        }
      }
      const ProductQuantizer pq = ProductQuantizer::from_parts(c.m, c.k, c.ds, book).value();
      std::vector<float> rows = testing::random_vectors(n, d, 30 + c.k);
      if (c.ds > 0) {
        rows[0] = std::numeric_limits<float>::quiet_NaN();
        std::copy_n(sub_centroid(pq, 0, c.k - 1), c.ds, rows.begin() + d);
        std::copy_n(sub_centroid(pq, 0, 0), c.ds, rows.begin() + 2 * d);  // tie: 0 wins
      }
      std::vector<std::uint8_t> codes(n * c.m, 0xee);
      pq.encode_rows(rows.data(), n, codes.data());
      for (std::size_t i = 0; i < n; ++i) {
        const float* x = rows.data() + i * d;
        const std::vector<float> table = pq.distance_table(std::span<const float>(x, d));
        const std::vector<std::uint8_t> one = pq.encode(std::span<const float>(x, d));
        for (std::size_t s = 0; s < c.m; ++s) {
          float best = kNoDistance;
          std::size_t best_c = 0;
          for (std::size_t j = 0; j < c.k; ++j) {
            const float expected =
                kernels::scalar::l2_squared(x + s * c.ds, sub_centroid(pq, s, j), c.ds);
            ASSERT_EQ(std::bit_cast<std::uint32_t>(table[s * c.k + j]),
                      std::bit_cast<std::uint32_t>(expected))
                << "k " << c.k << " ds " << c.ds << " row " << i << " s " << s << " c " << j;
            if (expected < best) {
              best = expected;
              best_c = j;
            }
          }
          EXPECT_EQ(codes[i * c.m + s], best_c) << "k " << c.k << " row " << i << " s " << s;
          EXPECT_EQ(one[s], best_c) << "k " << c.k << " row " << i << " s " << s;
        }
      }
      if (c.ds > 0) {
        EXPECT_EQ(codes[0], 0u);
        EXPECT_EQ(codes[c.m], c.k - 1);
        EXPECT_EQ(codes[2 * c.m], 0u);
      }
    }
  }
}

TEST(ProductQuantizer, SameSeedSameCodebookWhateverTheThreads) {
  const std::vector<float> data = testing::random_vectors(2000, 32, 6);
  seed_thread_random(8);
  const ProductQuantizer a = ProductQuantizer::train(rows_of(data, 32), {8, 64, 25});
  seed_thread_random(8);
  const ProductQuantizer b = ProductQuantizer::train(rows_of(data, 32), {8, 64, 25});
  EXPECT_TRUE(std::equal(a.codebook().begin(), a.codebook().end(), b.codebook().begin(),
                         b.codebook().end()));
}

TEST(ProductQuantizer, FromPartsChecksTheCodebook) {
  EXPECT_TRUE(ProductQuantizer::from_parts(2, 3, 1, std::vector<float>(6)).has_value());
  const auto short_book = ProductQuantizer::from_parts(2, 3, 1, std::vector<float>(5));
  ASSERT_FALSE(short_book.has_value());
  EXPECT_EQ(short_book.error().display(),
            "serialization error: quantizer codebook holds 5 floats, expected 2 x 3 x 1");
  EXPECT_FALSE(ProductQuantizer::from_parts(1, 0, 1, {}).has_value());
  EXPECT_FALSE(ProductQuantizer::from_parts(1, 257, 1, std::vector<float>(257)).has_value());
}

}  // namespace
}  // namespace sorvel
