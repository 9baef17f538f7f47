#include "index/ivf/kmeans.h"

#include <cblas.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "distance/distance.h"
#include "index/ivf/l2_tile.h"
#include "random.h"
#include "testing/feature_guard.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

// The shuffle the training must draw: from the last position down, each swapped with a uniform
// position at or below it. A change of draw order would renumber every trained index.
TEST(RandomPermutation, DrawsFromTheLastPositionDown) {
  for (const std::size_t n : {0, 1, 2, 7, 100}) {
    seed_thread_random(42);
    std::vector<std::size_t> expected(n);
    std::iota(expected.begin(), expected.end(), 0);
    for (std::size_t i = n; i > 1; --i)
      std::swap(expected[i - 1], expected[thread_random_at_most(i - 1)]);
    const std::uint64_t after_model = thread_random_u64();

    seed_thread_random(42);
    EXPECT_EQ(random_permutation(n), expected) << n;
    EXPECT_EQ(thread_random_u64(), after_model) << "draw count for n=" << n;
  }
}

TEST(NearestCentroid, FirstStrictMinimumWinsAndNonFiniteNeverWins) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* name;
    std::vector<float> centroids;  // d = 2
    std::size_t expected;
  };
  const std::vector<Case> cases = {
      {"no centroid", {}, 0},
      {"tie keeps the first", {5, 5, 1, 1, 1, 1}, 1},
      {"tie across the four-wide block", {9, 9, 9, 9, 9, 9, 1, 1, 1, 1}, 3},
      {"NaN never wins", {nan, 0, 3, 3}, 1},
      {"all NaN gives 0", {nan, 0, nan, 0, nan, 0, nan, 0, nan, 0}, 0},
      {"infinite never wins", {inf, 0, inf, 0}, 0},
      {"beyond the block", {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 0, 0}, 5},
  };
  const float query[2] = {0, 0};
  for (const Case& c : cases) {
    EXPECT_EQ(nearest_centroid(Metric::L2, c.centroids.data(), c.centroids.size() / 2, 2, query),
              c.expected)
        << c.name;
  }
}

// Every value of the tiled L2 kernel carries the bits of the single-row kernel; tile shapes, the
// single-row remainder, the eight-float tail and a stride wider than the centroid count included.
TEST(L2Tile, EachValueHasTheBitsOfTheSingleRowKernel) {
  if (!cpu::use_avx2_fma()) GTEST_SKIP() << "no AVX2 and FMA";
  for (const std::size_t d : {1, 7, 8, 12, 31, 128, 133}) {
    const std::size_t n = 7, k = 11, stride = 13;
    std::vector<float> rows = testing::random_vectors(n, d, d);
    const std::vector<float> centroids = testing::random_vectors(k, d, 100 + d);
    rows[0] = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> out(n * stride, -1.0f);
    l2_tile_avx2::distances(rows.data(), n, centroids.data(), k, d, out.data(), stride);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < k; ++j) {
        const float expected =
            distance_squared(Metric::L2, rows.data() + i * d, centroids.data() + j * d, d);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(out[i * stride + j]),
                  std::bit_cast<std::uint32_t>(expected))
            << "d " << d << " row " << i << " centroid " << j;
      }
      for (std::size_t j = k; j < stride && i + 1 < n; ++j) EXPECT_EQ(out[i * stride + j], -1.0f);
    }
  }
}

// The batch assignment computes its L2 distances a tile of rows and centroids at a time; it must
// choose exactly nearest_centroid's list for every row in both kernel families, including rows and
// centroid counts that leave partial tiles, dimensions that leave a tail after the eight-float
// blocks, equal centroids (the first wins) and rows whose distances are all NaN or infinite.
TEST(AssignNearest, ChoosesNearestCentroidsListForEveryRow) {
  struct Case {
    std::size_t n, k, d;
  };
  const std::vector<Case> cases = {{1, 1, 1},     {3, 5, 8},   {17, 37, 12},
                                   {40, 64, 128}, {9, 70, 33}, {2, 4, 0}};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  testing::FeatureGuard guard;
  for (const std::uint32_t features : {cpu::features(), cpu::kDetected}) {
    cpu::set_features_for_testing(features);
    for (const Metric metric : {Metric::L2, Metric::DotProduct}) {
      for (const Case& c : cases) {
        std::vector<float> centroids = testing::random_vectors(c.k, c.d, 11 + c.k);
        // Centroid k/2 repeats centroid 0, so rows near centroid 0 meet a tie.
        if (c.k > 2) std::copy_n(centroids.begin(), c.d, centroids.begin() + c.k / 2 * c.d);
        std::vector<float> rows = testing::random_vectors(c.n, c.d, 5 + c.n);
        if (c.n > 2 && c.d > 0) {
          std::copy_n(centroids.begin(), c.d, rows.begin());  // exactly on the tied centroid
          rows[c.d] = nan;
          rows[2 * c.d] = inf;
        }
        std::vector<std::size_t> got(c.n, 99);
        assign_nearest(metric, rows.data(), c.n, centroids.data(), c.k, c.d, got.data());
        for (std::size_t i = 0; i < c.n; ++i) {
          EXPECT_EQ(got[i],
                    nearest_centroid(metric, centroids.data(), c.k, c.d, rows.data() + i * c.d))
              << "features " << features << " metric " << static_cast<int>(metric) << " n " << c.n
              << " k " << c.k << " d " << c.d << " row " << i;
        }
      }
    }
  }
}

// The matrix-product assignment must agree with the direct one when nothing is near a tie, give
// list 0 without centroids, and keep the first of equal centroids.
TEST(AssignL2, AgreesWithNearestCentroidAwayFromTies) {
  const std::size_t n = 700, k = 37, d = 19;
  const std::vector<float> rows = testing::random_vectors(n, d, 1);
  const std::vector<float> centroids = testing::random_vectors(k, d, 2);
  std::vector<std::size_t> out(n, 99);
  assign_l2(rows.data(), n, centroids.data(), k, d, out.data());
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t direct =
        nearest_centroid(Metric::L2, centroids.data(), k, d, rows.data() + i * d);
    if (out[i] == direct) continue;
    // Only a near tie may differ.
    const float a = l2_squared(rows.data() + i * d, centroids.data() + out[i] * d, d);
    const float b = l2_squared(rows.data() + i * d, centroids.data() + direct * d, d);
    EXPECT_NEAR(a, b, 1e-4f) << i;
  }

  assign_l2(rows.data(), n, centroids.data(), 0, d, out.data());
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], 0u);

  std::vector<float> twins(centroids.begin(), centroids.begin() + d);
  twins.insert(twins.end(), centroids.begin(), centroids.begin() + d);
  twins.insert(twins.begin(), centroids.begin() + d, centroids.begin() + 2 * d);
  const float* row = centroids.data();  // identical to twins 1 and 2
  std::size_t one = 99;
  assign_l2(row, 1, twins.data(), 3, d, &one);
  EXPECT_EQ(one, 1u);
}

// The outcome must not depend on how many threads the BLAS product or the scan use.
TEST(AssignL2, IndependentOfBlasThreads) {
  const std::size_t n = 9000, k = 300, d = 41;
  const std::vector<float> rows = testing::random_vectors(n, d, 3);
  const std::vector<float> centroids = testing::random_vectors(k, d, 4);
  const int before = openblas_get_num_threads();
  std::vector<std::size_t> one(n), many(n);
  openblas_set_num_threads(1);
  assign_l2(rows.data(), n, centroids.data(), k, d, one.data());
  openblas_set_num_threads(8);
  assign_l2(rows.data(), n, centroids.data(), k, d, many.data());
  openblas_set_num_threads(before);
  EXPECT_EQ(one, many);
}

std::vector<float> three_blobs(std::size_t per_blob) {
  std::vector<float> rows;
  const float centres[3][2] = {{-10, 0}, {0, 10}, {10, 0}};
  const std::vector<float> noise = testing::random_vectors(3 * per_blob, 2, 5);
  for (std::size_t b = 0; b < 3; ++b) {
    for (std::size_t i = 0; i < per_blob; ++i) {
      for (std::size_t x = 0; x < 2; ++x) {
        rows.push_back(centres[b][x] + noise[(b * per_blob + i) * 2 + x]);
      }
    }
  }
  return rows;
}

TEST(TrainKMeans, CentroidsAreTheMeansOfTheirLastRows) {
  for (const Metric metric : {Metric::L2, Metric::Cosine}) {
    const std::size_t per = 50;
    const std::vector<float> rows = three_blobs(per);
    for (std::uint64_t seed = 0; seed < 5; ++seed) {
      seed_thread_random(seed);
      const KMeansResult r = train_kmeans(metric, rows.data(), 3 * per, 2, 3, 25);
      ASSERT_EQ(r.k, 3u);
      // Whether the iterations converge or run out, every centroid with rows is the f32 mean
      // (sums in row order) of the rows of the returned assignment.
      for (std::size_t c = 0; c < 3; ++c) {
        float sum[2] = {0, 0};
        std::size_t count = 0;
        for (std::size_t i = 0; i < 3 * per; ++i) {
          if (r.assignment[i] != c) continue;
          sum[0] = sum[0] + rows[i * 2];
          sum[1] = sum[1] + rows[i * 2 + 1];
          ++count;
        }
        if (count == 0) continue;
        EXPECT_EQ(r.centroids[c * 2], sum[0] / static_cast<float>(count));
        EXPECT_EQ(r.centroids[c * 2 + 1], sum[1] / static_cast<float>(count));
      }
    }
  }
}

TEST(TrainKMeans, RulesFixedBySeed) {
  const std::vector<float> rows = testing::random_vectors(40, 3, 6);
  struct Case {
    const char* name;
    std::size_t n, max_centroids, max_iter;
    std::size_t expected_k;
  };
  const std::vector<Case> cases = {
      {"empty set draws nothing", 0, 4, 25, 0},
      {"fewer rows than lists", 5, 16, 25, 5},
      {"no iteration keeps the seeds", 40, 6, 0, 6},
      {"one iteration", 40, 6, 1, 6},
  };
  for (const Case& c : cases) {
    seed_thread_random(9);
    const std::vector<std::size_t> perm = random_permutation(c.n);
    const std::uint64_t next_draw = thread_random_u64();
    seed_thread_random(9);
    const KMeansResult r =
        train_kmeans(Metric::L2, rows.data(), c.n, 3, c.max_centroids, c.max_iter);
    EXPECT_EQ(thread_random_u64(), next_draw) << c.name << ": the shuffle is the only draw";
    ASSERT_EQ(r.k, c.expected_k) << c.name;
    ASSERT_EQ(r.assignment.size(), c.n) << c.name;
    if (c.max_iter == 0) {
      for (std::size_t j = 0; j < r.k; ++j) {
        for (std::size_t x = 0; x < 3; ++x) {
          EXPECT_EQ(r.centroids[j * 3 + x], rows[perm[j] * 3 + x]) << c.name;
        }
      }
      for (std::size_t a : r.assignment) EXPECT_EQ(a, 0u) << c.name;
    }
    if (c.n == c.expected_k && c.n > 0) {
      // Each row seeds its own centroid and stays with it.
      for (std::size_t i = 0; i < c.n; ++i) EXPECT_EQ(perm[r.assignment[i]], i) << c.name;
    }
  }
}

TEST(TrainKMeans, OneIterationMovesCentroidsToTheMeansOfTheFirstAssignment) {
  const std::size_t n = 30, d = 4, k = 3;
  const std::vector<float> rows = testing::random_vectors(n, d, 7);
  seed_thread_random(11);
  const KMeansResult seeds = train_kmeans(Metric::L2, rows.data(), n, d, k, 0);
  std::vector<std::size_t> first(n);
  assign_l2(rows.data(), n, seeds.centroids.data(), k, d, first.data());
  seed_thread_random(11);
  const KMeansResult r = train_kmeans(Metric::L2, rows.data(), n, d, k, 1);
  EXPECT_EQ(r.assignment, first);
  for (std::size_t c = 0; c < k; ++c) {
    std::vector<float> sum(d, 0.0f);
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (first[i] != c) continue;
      for (std::size_t x = 0; x < d; ++x) sum[x] = sum[x] + rows[i * d + x];
      ++count;
    }
    for (std::size_t x = 0; x < d; ++x) {
      const float expected =
          count ? sum[x] / static_cast<float>(count) : seeds.centroids[c * d + x];
      EXPECT_EQ(r.centroids[c * d + x], expected);
    }
  }
}

}  // namespace
}  // namespace sorvel
