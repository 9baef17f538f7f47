#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "index/hnsw/hnsw_index.h"
#include "index/hnsw/worker_pool.h"
#include "random.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

constexpr std::size_t kDims = 8;

HnswIndex make_index() { return HnswIndex(kDims, Metric::L2, 48, 20, 6); }

// The graph that sequential insertion builds with the levels of `seed`.
HnswGraphSnapshot sequential(const std::vector<float>& data, std::size_t rows,
                             std::uint64_t seed) {
  HnswIndex index = make_index();
  seed_thread_random(seed);
  EXPECT_TRUE(index.add_matrix(data, rows, kDims, 0));
  return index.graph().to_snapshot();
}

TEST(HnswParallelTest, SingleRowMicroBatchesBuildTheSequentialGraph) {
  const std::vector<float> data = testing::random_vectors(600, kDims, 1);
  HnswIndex index = make_index();
  seed_thread_random(9);
  ASSERT_TRUE(index.add_batch_parallel(data, 600, kDims, 0, 4, 1));
  EXPECT_EQ(index.graph().to_snapshot(), sequential(data, 600, 9));
}

TEST(HnswParallelTest, OneMicroBatchIsASequentialInsert) {
  const std::vector<float> data = testing::random_vectors(256, kDims, 2);
  HnswIndex index = make_index();
  seed_thread_random(10);
  // micro_batch_size 0 means 256, and 256 rows fit in the first micro-batch.
  ASSERT_TRUE(index.add_batch_parallel(data, 256, kDims, 0, 0, 0));
  EXPECT_EQ(index.graph().to_snapshot(), sequential(data, 256, 10));
}

TEST(HnswParallelTest, GivenIdsBuildWhatConsecutiveIdsBuild) {
  constexpr std::size_t kRows = 700;
  const std::vector<float> data = testing::random_vectors(kRows, kDims, 4);
  std::vector<std::uint64_t> ids(kRows);
  for (std::size_t i = 0; i < kRows; ++i) ids[i] = 1000 + i;
  HnswIndex by_start = make_index();
  seed_thread_random(11);
  ASSERT_TRUE(by_start.add_batch_parallel(data, kRows, kDims, 1000, 4, 1));
  HnswIndex by_ids = make_index();
  seed_thread_random(11);
  ASSERT_TRUE(by_ids.add_batch_parallel(ids, data, kDims, 4, 1));
  EXPECT_EQ(by_ids.graph().to_snapshot(), by_start.graph().to_snapshot());
  const std::vector<std::uint64_t> none;
  EXPECT_TRUE(by_ids.add_batch_parallel(none, {}, kDims, 4, 1));
  EXPECT_FALSE(by_ids.add_batch_parallel(ids, data, kDims + 1, 4, 1));
  EXPECT_EQ(by_ids.len(), kRows);
}

TEST(HnswParallelTest, RowsOfOneMicroBatchNeverLinkToEachOther) {
  constexpr std::size_t kRows = 3000;
  constexpr std::size_t kMicro = 100;
  const std::vector<float> data = testing::random_vectors(kRows, kDims, 3);
  HnswIndex index = make_index();
  ASSERT_TRUE(index.add_batch_parallel(data, kRows, kDims, 0, 8, kMicro));
  ASSERT_EQ(index.len(), kRows);
  const HnswGraph& g = index.graph();
  std::size_t links_across_batches = 0;
  for (HnswNode n = 0; n < g.node_count(); ++n) {
    const std::uint64_t batch = g.id_of(n) / kMicro;
    for (std::size_t l = 0; l <= g.level(n); ++l) {
      for (const HnswNode v : g.neighbors(n, l)) {
        if (v == n) continue;
        // The first micro-batch is inserted one row at a time, so its rows link freely.
        if (batch > 0) {
          EXPECT_NE(g.id_of(v) / kMicro, batch) << g.id_of(n) << " -> " << g.id_of(v);
        }
        links_across_batches += g.id_of(v) / kMicro != batch;
      }
    }
  }
  EXPECT_GT(links_across_batches, kRows);

  // The graph still finds every row as its own nearest neighbour most of the time.
  std::size_t self = 0;
  for (std::size_t q = 0; q < kRows; q += 10) {
    const auto hits = index.search({data.data() + q * kDims, kDims}, 1);
    self += (*hits)[0].id == q;
  }
  EXPECT_GE(self, 290u);
}

TEST(HnswParallelTest, WithoutThreadsTheRestIsInsertedOnTheCallingThread) {
  const std::vector<float> data = testing::random_vectors(700, kDims, 4);
  std::atomic<int> attempts{0};
  const WorkerPool::Launcher refuse = [&](std::function<void()>) -> std::thread {
    ++attempts;
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  HnswIndex index = make_index();
  seed_thread_random(12);
  ASSERT_TRUE(index.add_batch_parallel(data, 700, kDims, 0, 3, 50, refuse));
  EXPECT_EQ(attempts.load(), 2);  // the requested pool, then the default one
  EXPECT_EQ(index.graph().to_snapshot(), sequential(data, 700, 12));
  // The index's own scratch covers the graph: searches work.
  EXPECT_EQ((*index.search({data.data(), kDims}, 1))[0].id, 0u);
}

TEST(HnswParallelTest, OverwritesLiveIdsAndChecksTheWidth) {
  const std::vector<float> data = testing::random_vectors(500, kDims, 5);
  HnswIndex index = make_index();
  ASSERT_TRUE(index.add_batch_parallel(data, 500, kDims, 0, 2, 64));
  ASSERT_TRUE(index.add_batch_parallel(data, 500, kDims, 250, 2, 64));
  EXPECT_EQ(index.len(), 750u);
  EXPECT_EQ(index.add_batch_parallel(data, 250, 2 * kDims, 0, 2, 64).error().display(),
            "dimension mismatch: expected 8, got 16");
  EXPECT_TRUE(index.add_batch_parallel({}, 0, kDims, 99, 2, 64));
  EXPECT_EQ(index.len(), 750u);
}

TEST(WorkerPoolTest, RunsEveryTaskOnceAndRethrowsTheFirstFailure) {
  WorkerPool pool(4);
  std::vector<std::atomic<int>> runs(1000);
  pool.run(1000, [&](std::size_t i, std::size_t worker) {
    ASSERT_LT(worker, 4u);
    ++runs[i];
  });
  for (const auto& r : runs) EXPECT_EQ(r.load(), 1);

  EXPECT_THROW(pool.run(1000,
                        [&](std::size_t i, std::size_t) {
                          if (i == 17) throw std::runtime_error("task 17 failed");
                        }),
               std::runtime_error);
  // The pool stays usable after a failed batch.
  std::atomic<int> after{0};
  pool.run(10, [&](std::size_t, std::size_t) { ++after; });
  EXPECT_EQ(after.load(), 10);
}

TEST(WorkerPoolTest, AFailedStartStopsTheStartedWorkers) {
  int started = 0;
  const WorkerPool::Launcher third_fails = [&](std::function<void()> body) {
    if (++started == 3) throw std::system_error(std::make_error_code(std::errc::not_enough_memory));
    return std::thread(std::move(body));
  };
  EXPECT_THROW(WorkerPool(5, third_fails), std::system_error);
  EXPECT_GE(available_processors(), 1u);
}

}  // namespace
}  // namespace sorvel
