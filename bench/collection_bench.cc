// bench-deps: sorvel_collection
// The cost of the write-ahead log: a collection's writes against the bare index on the same data.
//
//   batch/<kind>     upsert_batch of N x 128 vectors with small payloads ({"i":id,"t":"x"}) into a
//                    fresh collection, against the bare index's add_batch of the same vectors
//                    ("no payloads": the same without payloads, the log's share alone).
//                    The ratio collection / bare is the log's overhead (goal: at most 1.25). The
//                    compaction threshold is set above N so no compaction runs inside the timing;
//                    "batch+compaction" repeats it with the default threshold 50000, where the
//                    batch ends with a compaction (a rewrite forced to stable storage).
//   batch/hnsw       upsert_batch of 20,000 x 64 vectors (--hnsw-rows, --hnsw-dims) into a
//                    fresh HNSW collection (200, 50, 12), with and without small payloads,
//                    against HnswIndex::add_batch_parallel of the same rows (all processors,
//                    micro-batches of 256) in the same run (goal: at most 1.3).
//   single/flat      one upsert per call (one record, one flush each) against the bare add.
//   reopen           Collection::open of a log of 1,000,000 records (128-d, payloads): records/s,
//                    against the bare index's add of the same vectors one by one.
//
// Usage: collection_bench [--rows N] [--hnsw-rows N] [--reopen-rows N] [--single N]
//                         [--hnsw-dims D] [--only hnsw]
// Plain timing with steady_clock, best of several runs for the fast cases. Other builds share the
// machine: quote the ratios of one run, not figures of two.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "index/flat/flat_index.h"
#include "index/hnsw/hnsw_index.h"

namespace {

using sorvel::Collection;
using sorvel::CollectionEntry;
using sorvel::CollectionMeta;
using sorvel::IndexItem;
using sorvel::IndexType;
using sorvel::Metric;
using sorvel::Payload;

constexpr std::size_t kDims = 128;

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::vector<float> make_data(std::size_t rows, std::uint64_t seed, std::size_t dims = kDims) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> data(rows * dims);
  for (float& x : data) x = normal(rng);
  return data;
}

std::vector<IndexItem> items_of(const std::vector<float>& data, std::size_t rows) {
  std::vector<IndexItem> items(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    items[r].id = r;
    items[r].vector.assign(data.begin() + r * kDims, data.begin() + (r + 1) * kDims);
  }
  return items;
}

Payload small_payload(std::uint64_t id) {
  Payload::Object members;
  members.emplace_back("i", Payload::unsigned_integer(id));
  members.emplace_back("t", Payload::string("x"));
  return Payload::object(std::move(members));
}

std::vector<CollectionEntry> entries_of(const std::vector<float>& data, std::size_t rows,
                                        bool payloads = true, std::size_t dims = kDims) {
  std::vector<CollectionEntry> entries(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    entries[r].id = r;
    entries[r].vector.assign(data.begin() + r * dims, data.begin() + (r + 1) * dims);
    if (payloads) entries[r].payload = small_payload(r);
  }
  return entries;
}

std::unique_ptr<sorvel::VectorIndex> bare_index(IndexType type) {
  if (type == IndexType::Hnsw)
    return std::make_unique<sorvel::HnswIndex>(kDims, Metric::L2, 200, 50, 12);
  return std::make_unique<sorvel::FlatIndex>(kDims, Metric::L2);
}

struct Scratch {
  std::string dir;
  explicit Scratch(const std::string& name) {
    dir = (std::filesystem::temp_directory_path() /
           ("sorvel_bench_" + std::to_string(::getpid()) + "_" + name))
              .string();
    std::filesystem::remove_all(dir);
  }
  ~Scratch() { std::filesystem::remove_all(dir); }
};

std::unique_ptr<Collection> fresh_collection(const std::string& dir, IndexType type,
                                             std::uint64_t threshold, std::size_t dims = kDims) {
  std::filesystem::remove_all(dir);
  CollectionMeta meta = CollectionMeta::for_new_collection("bench", dims, Metric::L2, type);
  meta.wal_compact_threshold = threshold;
  auto c = Collection::create(dir, meta);
  if (!c) {
    std::fprintf(stderr, "create failed: %s\n", c.error().display().c_str());
    std::exit(1);
  }
  return std::move(c).value();
}

void batch_case(const char* label, IndexType type, std::size_t rows, int repeats,
                std::uint64_t threshold, bool payloads = true) {
  const std::vector<float> data = make_data(rows, 42);
  Scratch scratch(label);
  double best_bare = 1e300, best_coll = 1e300;
  for (int rep = 0; rep < repeats; ++rep) {
    {
      const std::vector<IndexItem> items = items_of(data, rows);
      auto index = bare_index(type);
      const auto t0 = std::chrono::steady_clock::now();
      if (!index->add_batch(items)) std::exit(1);
      best_bare = std::min(best_bare, seconds_since(t0));
    }
    {
      std::vector<CollectionEntry> entries = entries_of(data, rows, payloads);
      auto c = fresh_collection(scratch.dir, type, threshold);
      const auto t0 = std::chrono::steady_clock::now();
      if (!c->upsert_batch(std::move(entries))) std::exit(1);
      best_coll = std::min(best_coll, seconds_since(t0));
    }
  }
  std::printf("%-28s rows=%-8zu bare=%8.3f s  collection=%8.3f s  ratio=%.3f  (%.0f rec/s)\n",
              label, rows, best_bare, best_coll, best_coll / best_bare, rows / best_coll);
}

void hnsw_parallel_case(std::size_t rows, std::size_t dims, int repeats) {
  const std::vector<float> data = make_data(rows, 11, dims);
  Scratch scratch("hnsw_parallel");
  double best_bare = 1e300, best_plain = 1e300, best_rich = 1e300;
  for (int rep = 0; rep < repeats; ++rep) {
    {
      sorvel::HnswIndex index(dims, Metric::L2, 200, 50, 12);
      const auto t0 = std::chrono::steady_clock::now();
      if (!index.add_batch_parallel(data, rows, dims, 0, 0, 0)) std::exit(1);
      best_bare = std::min(best_bare, seconds_since(t0));
    }
    for (const bool payloads : {false, true}) {
      std::vector<CollectionEntry> entries = entries_of(data, rows, payloads, dims);
      auto c = fresh_collection(scratch.dir, IndexType::Hnsw, 1ull << 62, dims);
      const auto t0 = std::chrono::steady_clock::now();
      if (!c->upsert_batch(std::move(entries))) std::exit(1);
      double& best = payloads ? best_rich : best_plain;
      best = std::min(best, seconds_since(t0));
    }
  }
  std::printf(
      "%-28s rows=%-8zu dims=%zu add_batch_parallel=%.3f s  upsert_batch=%.3f s (ratio %.3f)"
      "  with payloads=%.3f s (ratio %.3f)\n",
      "batch/hnsw", rows, dims, best_bare, best_plain, best_plain / best_bare, best_rich,
      best_rich / best_bare);
}

void single_case(std::size_t rows) {
  const std::vector<float> data = make_data(rows, 7);
  Scratch scratch("single");
  double best_bare = 1e300, best_coll = 1e300;
  for (int rep = 0; rep < 3; ++rep) {
    {
      sorvel::FlatIndex index(kDims, Metric::L2);
      const auto t0 = std::chrono::steady_clock::now();
      for (std::size_t r = 0; r < rows; ++r) {
        if (!index.add(r, std::span(data.data() + r * kDims, kDims))) std::exit(1);
      }
      best_bare = std::min(best_bare, seconds_since(t0));
    }
    {
      auto c = fresh_collection(scratch.dir, IndexType::Flat, 1ull << 62);
      const auto t0 = std::chrono::steady_clock::now();
      for (std::size_t r = 0; r < rows; ++r) {
        if (!c->upsert(r, std::span(data.data() + r * kDims, kDims), small_payload(r))) {
          std::exit(1);
        }
      }
      best_coll = std::min(best_coll, seconds_since(t0));
    }
  }
  std::printf(
      "%-28s rows=%-8zu bare=%8.3f s  collection=%8.3f s  ratio=%.1f  (%.0f upserts/s, "
      "%.2f us each)\n",
      "single/flat", rows, best_bare, best_coll, best_coll / best_bare, rows / best_coll,
      1e6 * best_coll / rows);
}

void reopen_case(std::size_t rows) {
  Scratch scratch("reopen");
  constexpr std::size_t kChunk = 50000;
  {
    auto c = fresh_collection(scratch.dir, IndexType::Flat, 1ull << 62);
    for (std::size_t start = 0; start < rows; start += kChunk) {
      const std::size_t n = std::min(kChunk, rows - start);
      const std::vector<float> data = make_data(n, start);
      std::vector<CollectionEntry> entries = entries_of(data, n);
      for (std::size_t i = 0; i < n; ++i) entries[i].id = start + i;
      if (!c->upsert_batch(std::move(entries))) std::exit(1);
    }
  }
  const auto log_bytes = std::filesystem::file_size(scratch.dir + "/wal.log");
  double best_open = 1e300;
  for (int rep = 0; rep < 3; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    auto c = Collection::open(scratch.dir);
    const double t = seconds_since(t0);
    if (!c || (*c)->len() != rows) std::exit(1);
    best_open = std::min(best_open, t);
  }
  double best_bare = 1e300;
  for (int rep = 0; rep < 3; ++rep) {
    sorvel::FlatIndex index(kDims, Metric::L2);
    std::vector<float> data = make_data(kChunk, 0);
    const auto t0 = std::chrono::steady_clock::now();
    for (std::size_t r = 0; r < rows; ++r) {
      index.remove(r);
      if (!index.add(r, std::span(data.data() + (r % kChunk) * kDims, kDims))) std::exit(1);
    }
    best_bare = std::min(best_bare, seconds_since(t0));
  }
  std::printf(
      "%-28s rows=%-8zu open=%8.3f s  (%.0f records/s, %.0f MB/s of log)  bare adds=%.3f s"
      "  ratio=%.2f\n",
      "reopen/flat", rows, best_open, rows / best_open, log_bytes / best_open / 1e6, best_bare,
      best_open / best_bare);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t rows = 100000, hnsw_rows = 20000, hnsw_dims = 64, reopen_rows = 1000000,
              single = 100000;
  bool only_hnsw = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::size_t v = std::strtoull(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--rows")) rows = v;
    if (!std::strcmp(argv[i], "--hnsw-rows")) hnsw_rows = v;
    if (!std::strcmp(argv[i], "--hnsw-dims")) hnsw_dims = v;
    if (!std::strcmp(argv[i], "--reopen-rows")) reopen_rows = v;
    if (!std::strcmp(argv[i], "--single")) single = v;
    if (!std::strcmp(argv[i], "--only")) only_hnsw = !std::strcmp(argv[i + 1], "hnsw");
  }
  if (!only_hnsw) {
    batch_case("batch/flat", IndexType::Flat, rows, 5, 1ull << 62);
    batch_case("batch/flat, no payloads", IndexType::Flat, rows, 5, 1ull << 62, false);
    batch_case("batch+compaction/flat", IndexType::Flat, rows, 3,
               CollectionMeta::kDefaultWalCompactThreshold);
    single_case(single);
    reopen_case(reopen_rows);
  }
  if (hnsw_rows > 0) hnsw_parallel_case(hnsw_rows, hnsw_dims, 3);
  return 0;
}
