// The behaviour every index kind shares through VectorIndex, run over all eight kinds. Where the
// kinds differ (a failed batch, an id that is already live, what a hit's distance is, the file
// hooks), the difference is a column of the table below, so every row is held to the same tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <limits>
#include <map>
#include <memory>
#include <ostream>
#include <span>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "distance/distance.h"
#include "index/binary_flat/binary_flat_index.h"
#include "index/flat/flat_index.h"
#include "index/hnsw/hnsw_index.h"
#include "index/ivf/ivf_index.h"
#include "index/ivf_pq/ivf_pq_index.h"
#include "index/mmap_flat/mmap_flat_index.h"
#include "index/quantized_flat/quantized_flat_index.h"
#include "index/quantized_fp16/fp16.h"
#include "index/quantized_fp16/fp16_flat_index.h"
#include "index/topk.h"
#include "index/vector_index.h"
#include "random.h"
#include "testing/temp_dir.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

// 12 is not a multiple of the 8-lane kernel width, so every scan also runs the kernels' tails.
constexpr std::size_t kDims = 12;
constexpr std::size_t kCount = 40;
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr std::uint64_t kMaxId = std::numeric_limits<std::uint64_t>::max();
constexpr Metric kMetrics[] = {Metric::L2, Metric::Cosine, Metric::DotProduct};

// ---------------------------------------------------------------------------------------------
// The table of kinds.

// What a failed add_batch leaves behind.
enum class BatchFailure {
  kUnchanged,          // every item is checked before anything is stored
  kKeepsEarlierItems,  // items are stored in order up to the first failing one
};
// What an add of an id that is already live does.
enum class ExistingId {
  kRejected,  // DuplicateId(id), nothing changes
  kReplaced,  // the new vector takes the old one's place
};
// The same new id twice in one add_batch.
enum class RepeatedInBatch { kRejected, kLaterWins };
// What the hits of a search are.
enum class Hits {
  kExact,         // the k best of a scan over the stored vectors with distance()
  kTrueDistance,  // distance() to the stored vector, from an approximate candidate set
  kEstimate,      // the kind's own score (sign bits, product-quantized codes)
};
enum class SaveHook { kNothing, kGraphFile };
enum class LoadHook { kNothing, kFlush, kGraphFile };

using Factory = std::function<std::unique_ptr<VectorIndex>(std::size_t dims, Metric metric,
                                                           const std::string& path)>;
// The vector that iteration yields (and that exact scoring sees) for an added vector.
using StoredForm = std::vector<float> (*)(std::span<const float>);

struct KindCase {
  const char* name;
  // `path` is a fresh file name for the kinds that keep a file of their own.
  Factory make;
  // Whether the filled index is flushed before it is checked: the IVF kinds train, the mapped
  // index writes its file, so both of their states meet the same tests.
  bool flush_after_fill;
  StoredForm stored;
  BatchFailure batch_failure;
  ExistingId existing_id;
  RepeatedInBatch repeated_in_batch;
  Hits hits;
  // Whether an empty index refuses a query of the wrong length (else it answers with no hits).
  bool empty_index_checks_query;
  // Whether k >= len() returns every live vector.
  bool large_k_returns_all;
  // Whether equal distances come out in ascending id (else in no defined order).
  bool ties_by_id;
  SaveHook save_hook;
  LoadHook load_hook;
};

void PrintTo(const KindCase& kind, std::ostream* os) { *os << kind.name; }

std::vector<float> as_added(std::span<const float> v) { return {v.begin(), v.end()}; }

std::vector<float> via_fp16(std::span<const float> v) { return decode_f16(encode_f16(v)); }

std::vector<float> via_int8(std::span<const float> v) {
  const QuantizedVector q = quantize_i8(v);
  std::vector<float> out(v.size());
  dequantize_i8(q.codes.data(), q.scale, v.size(), out.data());
  return out;
}

std::vector<float> via_sign_bits(std::span<const float> v) {
  const BinaryCode code = binarize(v);
  std::vector<float> out(v.size());
  BinaryCodec::decode(code.bits.data(), code.norm, v.size(), out.data());
  return out;
}

template <class T>
std::unique_ptr<VectorIndex> unwrap(Result<T> made) {
  if (!made) throw std::runtime_error("index construction failed: " + made.error().display());
  return std::make_unique<T>(std::move(made).value());
}

// Small enough that every list is probed (nprobe = n_lists), so the trained IVF index is exact;
// train_size is out of reach, so only a flush trains.
constexpr IvfConfig kIvfConfig{.n_lists = 4, .nprobe = 4, .train_size = 1u << 20, .max_iter = 10};
constexpr IvfPqConfig kIvfPqConfig{.n_lists = 4,
                                   .nprobe = 4,
                                   .train_size = 1u << 20,
                                   .max_iter = 10,
                                   .pq = {.m = 4, .k_sub = 16, .max_iter = 10}};

std::unique_ptr<VectorIndex> make_flat(std::size_t dims, Metric metric, const std::string&) {
  return std::make_unique<FlatIndex>(dims, metric);
}
std::unique_ptr<VectorIndex> make_hnsw(std::size_t dims, Metric metric, const std::string&) {
  return std::make_unique<HnswIndex>(dims, metric, /*ef_construction=*/64, /*ef_search=*/64,
                                     /*m=*/8);
}
std::unique_ptr<VectorIndex> make_ivf(std::size_t dims, Metric metric, const std::string&) {
  return unwrap(IvfIndex::create(dims, metric, kIvfConfig));
}
std::unique_ptr<VectorIndex> make_ivf_pq(std::size_t dims, Metric metric, const std::string&) {
  return unwrap(IvfPqIndex::create(dims, metric, kIvfPqConfig));
}
std::unique_ptr<VectorIndex> make_fp16(std::size_t dims, Metric metric, const std::string&) {
  return std::make_unique<Fp16FlatIndex>(dims, metric);
}
std::unique_ptr<VectorIndex> make_int8(std::size_t dims, Metric metric, const std::string&) {
  return std::make_unique<QuantizedFlatIndex>(dims, metric);
}
std::unique_ptr<VectorIndex> make_binary(std::size_t dims, Metric metric, const std::string&) {
  return std::make_unique<BinaryFlatIndex>(dims, metric);
}
std::unique_ptr<VectorIndex> make_mmap(std::size_t dims, Metric metric, const std::string& path) {
  return std::make_unique<MmapFlatIndex>(path, dims, metric);
}

using BF = BatchFailure;
using EI = ExistingId;
using RB = RepeatedInBatch;

// name, factory, flush, stored form, batch failure, existing id, repeated in batch, hits,
// empty index checks query, large k returns all, ties by id, save hook, load hook
const KindCase kKinds[] = {
    {"Flat", make_flat, false, as_added, BF::kUnchanged, EI::kRejected, RB::kRejected, Hits::kExact,
     true, true, false, SaveHook::kNothing, LoadHook::kNothing},
    {"Hnsw", make_hnsw, false, as_added, BF::kUnchanged, EI::kRejected, RB::kLaterWins,
     Hits::kTrueDistance, true, false, true, SaveHook::kGraphFile, LoadHook::kGraphFile},
    {"IvfBuffered", make_ivf, false, as_added, BF::kKeepsEarlierItems, EI::kReplaced,
     RB::kLaterWins, Hits::kExact, true, true, false, SaveHook::kNothing, LoadHook::kFlush},
    {"IvfTrained", make_ivf, true, as_added, BF::kKeepsEarlierItems, EI::kReplaced, RB::kLaterWins,
     Hits::kExact, true, true, false, SaveHook::kNothing, LoadHook::kFlush},
    {"IvfPqBuffered", make_ivf_pq, false, as_added, BF::kKeepsEarlierItems, EI::kReplaced,
     RB::kLaterWins, Hits::kExact, true, true, false, SaveHook::kNothing, LoadHook::kFlush},
    {"IvfPqTrained", make_ivf_pq, true, as_added, BF::kKeepsEarlierItems, EI::kReplaced,
     RB::kLaterWins, Hits::kEstimate, true, true, false, SaveHook::kNothing, LoadHook::kFlush},
    {"Fp16Flat", make_fp16, false, via_fp16, BF::kKeepsEarlierItems, EI::kReplaced, RB::kLaterWins,
     Hits::kExact, false, true, false, SaveHook::kNothing, LoadHook::kNothing},
    {"QuantizedFlat", make_int8, false, via_int8, BF::kKeepsEarlierItems, EI::kReplaced,
     RB::kLaterWins, Hits::kExact, false, true, false, SaveHook::kNothing, LoadHook::kNothing},
    {"BinaryFlat", make_binary, false, via_sign_bits, BF::kKeepsEarlierItems, EI::kReplaced,
     RB::kLaterWins, Hits::kEstimate, false, true, false, SaveHook::kNothing, LoadHook::kNothing},
    // A pending vector is replaced; an id live in the file is refused.
    {"MmapFlatPending", make_mmap, false, as_added, BF::kKeepsEarlierItems, EI::kReplaced,
     RB::kLaterWins, Hits::kExact, true, true, false, SaveHook::kNothing, LoadHook::kFlush},
    {"MmapFlatFlushed", make_mmap, true, as_added, BF::kKeepsEarlierItems, EI::kRejected,
     RB::kLaterWins, Hits::kExact, true, true, false, SaveHook::kNothing, LoadHook::kFlush},
};

// ---------------------------------------------------------------------------------------------
// Helpers.

// Equal bits, or both NaN (a NaN's payload is not part of any contract here).
bool same_float(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) ||
         std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

bool same_vector(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same_float);
}

std::string show(const std::vector<float>& v) {
  std::ostringstream out;
  out << std::setprecision(9) << "[";
  for (float x : v) out << x << ",";
  out << "]";
  return out.str();
}

std::string show(const std::vector<SearchHit>& hits) {
  std::ostringstream out;
  out << std::setprecision(9);
  for (const SearchHit& h : hits) out << "(" << h.id << ", " << h.distance << ") ";
  return out.str();
}

bool same_hits(const std::vector<SearchHit>& a, const std::vector<SearchHit>& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](const SearchHit& x, const SearchHit& y) {
           return x.id == y.id && same_float(x.distance, y.distance);
         });
}

std::vector<float> vector_of(std::initializer_list<float> values) { return values; }

std::vector<float> filled(float value, std::size_t dims = kDims) {
  return std::vector<float>(dims, value);
}

// Ids across the whole u64 range, including both ends.
std::uint64_t test_id(std::size_t i) {
  switch (i) {
    case 0:
      return 0;
    case 1:
      return kMaxId;
    case 2:
      return std::uint64_t{1} << 40;
    default:
      return i * 7919 + 3;
  }
}

// An id no test adds.
constexpr std::uint64_t kAbsentId = 123456789;

// Items in a comparable order: by id, then by vector bits.
std::vector<IndexItem> sorted(std::vector<IndexItem> items) {
  std::sort(items.begin(), items.end(), [](const IndexItem& a, const IndexItem& b) {
    if (a.id != b.id) return a.id < b.id;
    return std::lexicographical_compare(
        a.vector.begin(), a.vector.end(), b.vector.begin(), b.vector.end(), [](float x, float y) {
          return std::bit_cast<std::uint32_t>(x) < std::bit_cast<std::uint32_t>(y);
        });
  });
  return items;
}

std::vector<IndexItem> collect(const VectorIndex& index) {
  std::vector<IndexItem> out;
  const auto it = index.iter();
  while (auto item = it->next()) out.push_back(std::move(*item));
  return out;
}

template <class T>
void expect_error(const Result<T>& result, const DbError& expected) {
  ASSERT_FALSE(result.has_value()) << "expected " << expected.debug();
  EXPECT_EQ(result.error().debug(), expected.debug());
}

// What the index must hold: its live items, as iteration yields them.
class Model {
 public:
  explicit Model(StoredForm stored) : stored_(stored) {}

  void add(std::uint64_t id, std::span<const float> vector) {
    items_.push_back({id, stored_(vector)});
  }
  void replace(std::uint64_t id, std::span<const float> vector) {
    remove(id);
    add(id, vector);
  }
  void remove(std::uint64_t id) {
    std::erase_if(items_, [id](const IndexItem& item) { return item.id == id; });
  }
  bool holds(std::uint64_t id) const {
    return std::any_of(items_.begin(), items_.end(),
                       [id](const IndexItem& i) { return i.id == id; });
  }
  // The stored vector of an id held once.
  const std::vector<float>& vector(std::uint64_t id) const {
    for (const IndexItem& item : items_) {
      if (item.id == id) return item.vector;
    }
    throw std::out_of_range("id not in the model");
  }
  const std::vector<IndexItem>& items() const { return items_; }
  std::size_t size() const { return items_.size(); }

  // The k best by distance() over the stored vectors, ascending, NaN last.
  std::vector<SearchHit> search(Metric metric, std::span<const float> query, std::size_t k) const {
    std::vector<SearchHit> hits;
    for (const IndexItem& item : items_)
      hits.push_back({item.id, distance(metric, query, item.vector)});
    std::stable_sort(hits.begin(), hits.end(), hit_less);
    if (hits.size() > k) hits.resize(k);
    return hits;
  }

 private:
  StoredForm stored_;
  std::vector<IndexItem> items_;
};

class IndexContractTest : public ::testing::TestWithParam<KindCase> {
 protected:
  void SetUp() override { seed_thread_random(0x5eed5eedULL); }
  // Tests may switch the kernel family; the detected one comes back for the next test.
  void TearDown() override { cpu::set_features_for_testing(cpu::detect()); }

  const KindCase& kind() const { return GetParam(); }

  std::unique_ptr<VectorIndex> make(Metric metric = Metric::L2, std::size_t dims = kDims) {
    return kind().make(dims, metric, dir_.file("index" + std::to_string(made_++) + ".kvec"));
  }

  // Flushes where the row says so (training, writing the mapped file).
  void settle(VectorIndex& index) const {
    if (kind().flush_after_fill) index.flush();
  }

  Model model() const { return Model(kind().stored); }

  // Adds `count` seeded vectors under test_id(0 ..) in one batch, then settles.
  Model fill(VectorIndex& index, std::size_t count = kCount, std::uint64_t seed = 1) const {
    Model m = model();
    const std::vector<float> data = testing::random_vectors(count, kDims, seed);
    std::vector<IndexItem> items;
    for (std::size_t i = 0; i < count; ++i) {
      items.push_back({test_id(i), {data.begin() + i * kDims, data.begin() + (i + 1) * kDims}});
      m.add(items.back().id, items.back().vector);
    }
    const Result<> added = index.add_batch(items);
    EXPECT_TRUE(added.has_value()) << added.error().display();
    settle(index);
    return m;
  }

  // Iteration, len and is_empty against the model (as multisets: order is each kind's own).
  void expect_holds(const VectorIndex& index, const Model& m) const {
    EXPECT_EQ(index.len(), m.size());
    EXPECT_EQ(index.is_empty(), m.size() == 0);
    const std::vector<IndexItem> got = sorted(collect(index));
    const std::vector<IndexItem> want = sorted(m.items());
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].id, want[i].id);
      EXPECT_TRUE(same_vector(got[i].vector, want[i].vector))
          << "id " << got[i].id << ": " << show(got[i].vector) << " vs " << show(want[i].vector);
    }
  }

  // One search against the model, as strictly as the row's Hits column allows. The model holds
  // each id once.
  void expect_search(const VectorIndex& index, const Model& m, Metric metric,
                     std::span<const float> query, std::size_t k) const {
    const Result<std::vector<SearchHit>> result = index.search(query, k);
    ASSERT_TRUE(result.has_value()) << result.error().display();
    const std::vector<SearchHit>& hits = *result;
    const std::size_t all = std::min(k, m.size());
    SCOPED_TRACE("k " + std::to_string(k) + ", hits " + show(hits));
    if (kind().hits == Hits::kExact || kind().large_k_returns_all) {
      ASSERT_EQ(hits.size(), all);
    } else {
      ASSERT_LE(hits.size(), all);
    }
    EXPECT_TRUE(std::is_sorted(hits.begin(), hits.end(), hit_less));
    std::vector<std::uint64_t> ids;
    for (const SearchHit& hit : hits) {
      ASSERT_TRUE(m.holds(hit.id)) << "hit " << hit.id << " is not live";
      ids.push_back(hit.id);
      if (kind().hits != Hits::kEstimate) {
        const float want = distance(metric, query, m.vector(hit.id));
        EXPECT_TRUE(same_float(hit.distance, want))
            << "id " << hit.id << ": " << hit.distance << " vs distance() " << want;
      }
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "an id came twice";
    if (kind().hits == Hits::kExact) {
      // Ties may come in any order and swap at the cut, so the distances are what must agree.
      const std::vector<SearchHit> want = m.search(metric, query, k);
      for (std::size_t i = 0; i < hits.size(); ++i) {
        EXPECT_TRUE(same_float(hits[i].distance, want[i].distance))
            << "rank " << i << ": " << hits[i].distance << " vs " << want[i].distance;
      }
    }
  }

  void check_against_model(Metric metric, std::uint64_t seed) {
    auto index = make(metric);
    Model m = fill(*index, kCount, seed);
    for (std::size_t i : {std::size_t{2}, std::size_t{11}, std::size_t{30}}) {
      ASSERT_TRUE(index->remove(test_id(i)));
      m.remove(test_id(i));
    }
    const std::vector<float> more = testing::random_vectors(4, kDims, seed + 100);
    for (std::size_t i = 0; i < 4; ++i) {
      const std::vector<float> v(more.begin() + i * kDims, more.begin() + (i + 1) * kDims);
      ASSERT_TRUE(index->add(5000 + i, v).has_value());
      m.add(5000 + i, v);
    }
    std::vector<std::vector<float>> queries;
    const std::vector<float> random = testing::random_vectors(6, kDims, seed + 200);
    for (std::size_t q = 0; q < 6; ++q) {
      queries.emplace_back(random.begin() + q * kDims, random.begin() + (q + 1) * kDims);
    }
    queries.push_back(m.items()[5].vector);  // a stored vector
    std::vector<float> far = m.items()[8].vector;
    for (float& x : far) x *= -40.0f;
    queries.push_back(far);
    for (const auto& query : queries) {
      for (std::size_t k : {std::size_t{1}, std::size_t{5}, std::size_t{17}, m.size() + 3}) {
        expect_search(*index, m, metric, query, k);
      }
    }
    // Even where the candidate set is approximate, a stored vector finds its own distance first.
    if (kind().hits != Hits::kTrueDistance) return;
    for (std::size_t i = 0; i < m.size(); i += 5) {
      const std::vector<float>& self = m.items()[i].vector;
      const auto hits = index->search(self, 1);
      ASSERT_TRUE(hits.has_value());
      ASSERT_EQ(hits->size(), 1u);
      EXPECT_TRUE(same_float((*hits)[0].distance, m.search(metric, self, 1)[0].distance))
          << "self query of " << m.items()[i].id;
    }
  }

 private:
  testing::TempDir dir_;
  int made_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Kinds, IndexContractTest, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<KindCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

// ---------------------------------------------------------------------------------------------
// Tests.

TEST_P(IndexContractTest, NewIndexIsEmptyAndAnswersNothing) {
  for (Metric metric : kMetrics) {
    auto index = make(metric);
    EXPECT_EQ(index->header().dimensions, kDims);
    EXPECT_EQ(index->header().metric, metric);
  }
  auto index = make();
  EXPECT_EQ(index->len(), 0u);
  EXPECT_TRUE(index->is_empty());
  EXPECT_FALSE(index->remove(0));
  const auto it = index->iter();
  EXPECT_EQ(it->size_hint().first, 0u);
  EXPECT_EQ(it->advance_by(2), 2u);
  EXPECT_FALSE(index->iter()->nth(0).has_value());
  EXPECT_FALSE(index->iter()->next().has_value());
  for (std::size_t k : {std::size_t{0}, std::size_t{5}}) {
    const auto hits = index->search(filled(0.5f), k);
    ASSERT_TRUE(hits.has_value());
    EXPECT_TRUE(hits->empty());
  }
  const std::vector<float> long_query(kDims + 1, 0.5f);
  if (kind().empty_index_checks_query) {
    expect_error(index->search(long_query, 5), DbError::dimension_mismatch(kDims, kDims + 1));
  } else {
    const auto hits = index->search(long_query, 5);
    ASSERT_TRUE(hits.has_value());
    EXPECT_TRUE(hits->empty());
  }
  // Flushing an empty index is harmless and leaves it empty.
  index->flush();
  expect_holds(*index, model());
}

// The length is the first thing every add, batch and search looks at: before a duplicate id,
// before k = 0, on an empty index too where the kind checks it there.
TEST_P(IndexContractTest, WrongLengthIsRefusedBeforeAnythingElse) {
  auto index = make();
  const Model m = fill(*index);
  const std::uint64_t existing = test_id(3);
  for (std::size_t length : {std::size_t{0}, kDims - 1, kDims + 1, 2 * kDims}) {
    SCOPED_TRACE("length " + std::to_string(length));
    const std::vector<float> v(length, 0.25f);
    const DbError mismatch = DbError::dimension_mismatch(kDims, length);
    expect_error(index->add(kAbsentId, v), mismatch);
    expect_error(index->add(existing, v), mismatch);
    expect_error(index->add_batch(std::vector<IndexItem>{{existing, v}}), mismatch);
    expect_error(
        index->add_batch(std::vector<IndexItem>{{kAbsentId, v}, {kAbsentId + 1, filled(1)}}),
        mismatch);
    expect_error(index->search(v, 0), mismatch);
    expect_error(index->search(v, 5), mismatch);
  }
  expect_holds(*index, m);
  settle(*index);
  expect_holds(*index, m);
}

TEST_P(IndexContractTest, FailedBatchFollowsTheKindsRule) {
  auto index = make();
  Model m = fill(*index);
  const std::vector<IndexItem> batch = {{1001, filled(0.1f)},
                                        {1002, filled(0.2f)},
                                        {1003, std::vector<float>(kDims - 2, 0.3f)},
                                        {1004, filled(0.4f)}};
  expect_error(index->add_batch(batch), DbError::dimension_mismatch(kDims, kDims - 2));
  if (kind().batch_failure == BatchFailure::kKeepsEarlierItems) {
    m.add(1001, batch[0].vector);
    m.add(1002, batch[1].vector);
  }
  expect_holds(*index, m);

  const Result<> empty = index->add_batch({});
  EXPECT_TRUE(empty.has_value());
  expect_holds(*index, m);
  settle(*index);
  expect_holds(*index, m);
}

TEST_P(IndexContractTest, ExistingIdFollowsTheKindsRule) {
  auto index = make();
  Model m = fill(*index);
  // The model after an add of a live id that the kind accepts.
  const auto apply = [&](std::uint64_t id, const std::vector<float>& v) {
    if (kind().existing_id == ExistingId::kReplaced) m.replace(id, v);
  };

  const std::uint64_t first = test_id(3);
  const Result<> single = index->add(first, filled(0.7f));
  if (kind().existing_id == ExistingId::kRejected) {
    expect_error(single, DbError::duplicate_id(first));
  } else {
    EXPECT_TRUE(single.has_value());
    apply(first, filled(0.7f));
  }
  expect_holds(*index, m);

  // A new id and an existing one in one batch.
  const std::uint64_t second = test_id(1);
  const std::vector<IndexItem> batch = {{2001, filled(-0.5f)}, {second, filled(0.9f)}};
  const Result<> both = index->add_batch(batch);
  if (kind().existing_id == ExistingId::kRejected) {
    expect_error(both, DbError::duplicate_id(second));
    if (kind().batch_failure == BatchFailure::kKeepsEarlierItems) m.add(2001, batch[0].vector);
  } else {
    EXPECT_TRUE(both.has_value());
    m.add(2001, batch[0].vector);
    apply(second, batch[1].vector);
  }
  expect_holds(*index, m);

  // An existing id of the right length before an item of the wrong length: the first failing item
  // decides the error.
  const std::uint64_t third = test_id(7);
  const std::vector<IndexItem> mixed = {{third, filled(0.3f)},
                                        {2002, std::vector<float>(kDims + 1, 0.0f)}};
  const Result<> order = index->add_batch(mixed);
  if (kind().existing_id == ExistingId::kRejected) {
    expect_error(order, DbError::duplicate_id(third));
  } else {
    expect_error(order, DbError::dimension_mismatch(kDims, kDims + 1));
    if (kind().batch_failure == BatchFailure::kKeepsEarlierItems) apply(third, mixed[0].vector);
  }
  expect_holds(*index, m);
  settle(*index);
  expect_holds(*index, m);
}

TEST_P(IndexContractTest, RepeatedIdInOneBatch) {
  auto index = make();
  Model m = fill(*index);
  const std::vector<IndexItem> batch = {
      {3001, filled(0.1f)}, {3002, filled(-0.2f)}, {3001, filled(0.3f)}};
  const Result<> added = index->add_batch(batch);
  if (kind().repeated_in_batch == RepeatedInBatch::kRejected) {
    expect_error(added, DbError::duplicate_id(3001));
  } else {
    EXPECT_TRUE(added.has_value());
    m.add(3002, batch[1].vector);
    m.add(3001, batch[2].vector);
  }
  expect_holds(*index, m);
  settle(*index);
  expect_holds(*index, m);
}

// What a collection does for an upsert: delete, then add. Every kind ends with one live vector.
TEST_P(IndexContractTest, DeleteThenAddLeavesOneLiveVector) {
  auto index = make();
  Model m = fill(*index);
  for (std::size_t i : {std::size_t{0}, std::size_t{1}, std::size_t{5}}) {
    const std::uint64_t id = test_id(i);
    const std::vector<float> v = filled(0.05f * static_cast<float>(i + 1));
    EXPECT_TRUE(index->remove(id));
    const Result<> added = index->add(id, v);
    EXPECT_TRUE(added.has_value());
    m.replace(id, v);
  }
  expect_holds(*index, m);
  expect_search(*index, m, Metric::L2, filled(0.1f), m.size());
  settle(*index);
  expect_holds(*index, m);
  expect_search(*index, m, Metric::L2, filled(0.1f), m.size());
}

TEST_P(IndexContractTest, DeleteReportsWhetherAVectorWasLive) {
  auto index = make();
  Model m = fill(*index);
  EXPECT_FALSE(index->remove(kAbsentId));
  expect_holds(*index, m);

  const std::uint64_t gone = test_id(0);
  EXPECT_TRUE(index->remove(gone));
  EXPECT_FALSE(index->remove(gone));
  m.remove(gone);
  expect_holds(*index, m);
  expect_search(*index, m, Metric::L2, testing::random_vectors(1, kDims, 99), m.size() + 1);
  settle(*index);
  EXPECT_FALSE(index->remove(gone));
  expect_holds(*index, m);

  // Down to nothing: the index behaves as a new one, then takes vectors again.
  for (std::size_t i = 1; i < kCount; ++i) EXPECT_TRUE(index->remove(test_id(i))) << i;
  m = model();
  expect_holds(*index, m);
  const auto none = index->search(filled(0.5f), 10);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
  const std::vector<float> short_query(1, 0.5f);
  if (kind().empty_index_checks_query) {
    expect_error(index->search(short_query, 0), DbError::dimension_mismatch(kDims, 1));
  } else {
    const auto hits = index->search(short_query, 3);
    ASSERT_TRUE(hits.has_value());
    EXPECT_TRUE(hits->empty());
  }
  settle(*index);
  expect_holds(*index, m);
  const Result<> again = index->add(gone, filled(0.5f));
  EXPECT_TRUE(again.has_value());
  m.add(gone, filled(0.5f));
  expect_holds(*index, m);
  settle(*index);
  expect_holds(*index, m);
  expect_search(*index, m, Metric::L2, filled(0.5f), 3);
}

TEST_P(IndexContractTest, ZeroKIsEmptyAndLargeKGivesEveryLiveVector) {
  auto index = make();
  Model m = fill(*index);
  for (std::size_t i : {std::size_t{4}, std::size_t{9}}) {
    ASSERT_TRUE(index->remove(test_id(i)));
    m.remove(test_id(i));
  }
  const std::vector<float> query = testing::random_vectors(1, kDims, 7);
  const auto zero = index->search(query, 0);
  ASSERT_TRUE(zero.has_value());
  EXPECT_TRUE(zero->empty());
  // A caller's k is not bounded: a huge one must neither fail an allocation nor return more.
  for (std::size_t k : {std::size_t{1}, std::size_t{7}, m.size(), m.size() + 5,
                        std::size_t{1} << 40, std::numeric_limits<std::size_t>::max()}) {
    expect_search(*index, m, Metric::L2, query, k);
  }
}

// Every metric in each kernel family (the vector one where the processor has it), queries near and
// far from the data, deletes and adds after the fill (the trained and file-backed states take new
// vectors differently from the fill): within a family the index's own scan and the model's
// distance() agree bit for bit.
TEST_P(IndexContractTest, SearchAgreesWithABruteForceScan) {
  constexpr std::uint32_t kVectorBits = cpu::kAvx2 | cpu::kFma | cpu::kF16c;
  const std::uint32_t detected = cpu::detect();
  std::vector<std::pair<const char*, std::uint32_t>> families = {
      {"portable", detected & ~kVectorBits}};
  if ((detected & (cpu::kAvx2 | cpu::kFma)) == (cpu::kAvx2 | cpu::kFma)) {
    families.emplace_back("vector", detected);
  }
  std::uint64_t seed = 10;
  for (const auto& [family, bits] : families) {
    cpu::set_features_for_testing(bits);
    for (Metric metric : kMetrics) {
      SCOPED_TRACE(std::string(family) + " kernels, metric " +
                   std::string(metric_text_name(metric)));
      check_against_model(metric, ++seed);
      if (HasFatalFailure()) return;
    }
  }
}

// NaN and infinite components neither crash a search nor break its order: NaN distances come
// after every number.
TEST_P(IndexContractTest, NanDistancesComeLast) {
  auto index = make();
  Model m = model();
  std::vector<IndexItem> items;
  const std::vector<float> data = testing::random_vectors(12, kDims, 5);
  for (std::size_t i = 0; i < 12; ++i) {
    items.push_back({test_id(i), {data.begin() + i * kDims, data.begin() + (i + 1) * kDims}});
  }
  items[3].vector[0] = kNan;
  items[7].vector[5] = kNan;
  items[9].vector[2] = kInf;
  items[10].vector[1] = -kInf;
  for (const IndexItem& item : items) m.add(item.id, item.vector);
  ASSERT_TRUE(index->add_batch(items).has_value());
  settle(*index);
  expect_holds(*index, m);
  for (const std::vector<float>& query :
       {filled(0.25f), testing::random_vectors(1, kDims, 6), filled(kNan)}) {
    for (std::size_t k : {std::size_t{3}, std::size_t{10}, m.size() + 2}) {
      expect_search(*index, m, Metric::L2, query, k);
    }
  }
}

TEST_P(IndexContractTest, EqualDistancesAreTies) {
  auto index = make();
  Model m = fill(*index, 20, 3);
  const std::vector<float> twin =
      vector_of({0.3f, -0.2f, 0.5f, 0.1f, -0.4f, 0.6f, -0.1f, 0.2f, -0.3f, 0.4f, 0.15f, -0.25f});
  // Added out of id order, so that id order is not insertion order.
  const std::vector<std::uint64_t> twins = {7003, 7000, 7004, 7001, 7002};
  for (std::uint64_t id : twins) {
    ASSERT_TRUE(index->add(id, twin).has_value());
    m.add(id, twin);
  }
  const auto all = index->search(twin, m.size());
  ASSERT_TRUE(all.has_value());
  std::vector<std::uint64_t> seen;
  std::vector<float> seen_distances;
  for (const SearchHit& hit : *all) {
    if (hit.id >= 7000 && hit.id <= 7004) {
      seen.push_back(hit.id);
      seen_distances.push_back(hit.distance);
    }
  }
  if (kind().large_k_returns_all) {
    ASSERT_EQ(seen.size(), twins.size()) << show(*all);
  }
  for (float d : seen_distances) EXPECT_TRUE(same_float(d, seen_distances[0])) << show(*all);
  if (kind().ties_by_id) {
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << show(*all);
  }
  if (kind().hits == Hits::kEstimate) return;
  // A cut inside the tie keeps any of the tied hits, or with the id order the lowest ids.
  const float tied = distance(Metric::L2, twin, kind().stored(twin));
  const auto cut = index->search(twin, 3);
  ASSERT_TRUE(cut.has_value());
  ASSERT_EQ(cut->size(), 3u);
  std::vector<std::uint64_t> kept;
  for (const SearchHit& hit : *cut) {
    EXPECT_TRUE(same_float(hit.distance, tied)) << show(*cut);
    kept.push_back(hit.id);
  }
  for (std::uint64_t id : kept) EXPECT_TRUE(id >= 7000 && id <= 7004) << show(*cut);
  if (kind().ties_by_id) {
    EXPECT_EQ(kept, (std::vector<std::uint64_t>{7000, 7001, 7002})) << show(*cut);
  }
}

// Every kind accepts a dimension of 0: its vectors are empty, and nothing divides by the length.
TEST_P(IndexContractTest, ZeroDimensionsHoldEmptyVectors) {
  for (Metric metric : kMetrics) {
    SCOPED_TRACE(std::string("metric ") + std::string(metric_text_name(metric)));
    auto index = make(metric, 0);
    Model m = model();
    const std::vector<float> empty;
    for (std::uint64_t id : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{3}}) {
      ASSERT_TRUE(index->add(id, empty).has_value());
      m.add(id, empty);
    }
    expect_error(index->add(4, vector_of({1.0f})), DbError::dimension_mismatch(0, 1));
    expect_error(index->search(vector_of({1.0f}), 1), DbError::dimension_mismatch(0, 1));
    settle(*index);
    expect_holds(*index, m);
    expect_search(*index, m, metric, empty, 2);
    expect_search(*index, m, metric, empty, 10);
    ASSERT_TRUE(index->remove(2));
    m.remove(2);
    ASSERT_TRUE(index->add(5, empty).has_value());
    m.add(5, empty);
    settle(*index);
    expect_holds(*index, m);
    expect_search(*index, m, metric, empty, 10);
  }
}

TEST_P(IndexContractTest, IteratorStepsAgreeWithAFullWalk) {
  auto index = make();
  Model m = fill(*index);
  for (std::size_t i : {std::size_t{0}, std::size_t{6}, std::size_t{kCount - 1}}) {
    ASSERT_TRUE(index->remove(test_id(i)));
    m.remove(test_id(i));
  }
  for (std::uint64_t id : {std::uint64_t{8001}, std::uint64_t{8002}}) {
    ASSERT_TRUE(index->add(id, filled(0.01f * static_cast<float>(id - 8000))).has_value());
    m.add(id, filled(0.01f * static_cast<float>(id - 8000)));
  }
  expect_holds(*index, m);

  // The order of one walk, which every other walk of the unchanged index repeats.
  const std::vector<IndexItem> order = collect(*index);
  const std::size_t n = order.size();
  const auto same_item = [&](const std::optional<IndexItem>& got, std::size_t at) {
    if (at >= n) return !got.has_value();
    return got.has_value() && got->id == order[at].id && same_vector(got->vector, order[at].vector);
  };

  const auto walk = index->iter();
  for (std::size_t left = n;; --left) {
    const auto [lower, upper] = walk->size_hint();
    EXPECT_EQ(lower, 0u);
    if (upper.has_value()) {
      EXPECT_GE(*upper, left);
    }
    const auto item = walk->next();
    EXPECT_TRUE(same_item(item, n - left)) << "step " << n - left;
    if (!item) break;
  }
  EXPECT_FALSE(walk->next().has_value()) << "an ended iterator must stay ended";

  for (std::size_t skip = 0; skip <= n + 2; ++skip) {
    SCOPED_TRACE("skip " + std::to_string(skip));
    const auto by_advance = index->iter();
    EXPECT_EQ(by_advance->advance_by(skip), skip > n ? skip - n : 0);
    EXPECT_TRUE(same_item(by_advance->next(), skip));
    EXPECT_TRUE(same_item(index->iter()->nth(skip), skip));
  }
  // nth counts from where the iterator stands.
  const auto stepping = index->iter();
  EXPECT_TRUE(same_item(stepping->nth(1), 1));
  EXPECT_TRUE(same_item(stepping->nth(1), 3));
  EXPECT_TRUE(same_item(stepping->next(), 4));
  EXPECT_EQ(stepping->advance_by(n), 5u);
}

TEST_P(IndexContractTest, SaveAndLoadHooks) {
  testing::TempDir files;
  const std::string target = files.file("hook.bin");
  const std::string missing = files.file("missing.bin");
  const std::string garbage = files.file("garbage.bin");
  const std::vector<std::uint8_t> garbage_bytes = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'n'};
  testing::write_file(garbage, garbage_bytes);

  // An empty index writes nothing through the hook, whatever the kind.
  auto index = make();
  EXPECT_TRUE(index->save(target).has_value());
  EXPECT_FALSE(std::filesystem::exists(target));

  Model m = fill(*index);
  const Result<> saved = index->save(target);
  ASSERT_TRUE(saved.has_value()) << saved.error().display();
  if (kind().save_hook == SaveHook::kNothing) {
    EXPECT_FALSE(std::filesystem::exists(target));
    // Nor does it touch a file that is already there.
    EXPECT_TRUE(index->save(garbage).has_value());
    EXPECT_EQ(testing::read_file(garbage), garbage_bytes);
  } else {
    ASSERT_TRUE(std::filesystem::exists(target));
    auto restored = make();
    const Result<> loaded = restored->load(target);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
    expect_holds(*restored, m);
    const std::vector<float> query = testing::random_vectors(1, kDims, 21);
    const auto a = index->search(query, 10);
    const auto b = restored->search(query, 10);
    ASSERT_TRUE(a.has_value() && b.has_value());
    EXPECT_TRUE(same_hits(*a, *b))
        << "the restored graph searches as the saved one: " << show(*a) << " vs " << show(*b);
  }

  // A missing file is not an error and changes nothing.
  EXPECT_TRUE(index->load(missing).has_value());
  expect_holds(*index, m);
  EXPECT_FALSE(std::filesystem::exists(missing));

  const Result<> from_garbage = index->load(garbage);
  if (kind().load_hook == LoadHook::kGraphFile) {
    ASSERT_FALSE(from_garbage.has_value());
    EXPECT_EQ(from_garbage.error().kind(), ErrorKind::Serialization)
        << from_garbage.error().display();
  } else {
    EXPECT_TRUE(from_garbage.has_value());
  }
  expect_holds(*index, m);
  EXPECT_EQ(testing::read_file(garbage), garbage_bytes);

  if (kind().load_hook == LoadHook::kFlush) {
    // The hook did the flush's work; the state after it is what a flush leaves.
    index->flush();
    expect_holds(*index, m);
  }
}

// A filtered search is the ordinary ranking with the refused ids taken out: the k nearest passing
// vectors (all of them when fewer pass; never fewer, for any kind), with search's bits and order,
// across selectivities from nothing to everything, over deleted rows and (for the mapped index)
// file and pending vectors.
TEST_P(IndexContractTest, FilteredSearchKeepsTheNearestPassingIds) {
  constexpr std::size_t kRows = 300;
  for (Metric metric : kMetrics) {
    SCOPED_TRACE(std::string("metric ") + std::string(metric_text_name(metric)));
    auto index = make(metric);
    Model m = fill(*index, kRows, 21);
    for (std::size_t i = 0; i < kRows; i += 7) {
      ASSERT_TRUE(index->remove(test_id(i)));
      m.remove(test_id(i));
    }
    const std::vector<float> more = testing::random_vectors(5, kDims, 22);
    for (std::size_t i = 0; i < 5; ++i) {
      const std::vector<float> v(more.begin() + i * kDims, more.begin() + (i + 1) * kDims);
      ASSERT_TRUE(index->add(9000 + i, v).has_value());
      m.add(9000 + i, v);
    }
    const std::vector<float> random = testing::random_vectors(2, kDims, 23);
    const std::vector<std::vector<float>> queries = {
        {random.begin(), random.begin() + kDims}, {random.begin() + kDims, random.end()},
        m.items()[40].vector};
    for (const int percent : {0, 1, 50, 100}) {
      // A fixed pseudo-random share of the ids passes.
      const auto accept = [percent](std::uint64_t id) {
        return static_cast<int>(((id * 0x9E3779B97F4A7C15ULL) >> 32) % 100) < percent;
      };
      const IdFilter filter(accept);
      for (const auto& query : queries) {
        const auto full = index->search(query, m.size());
        ASSERT_TRUE(full.has_value());
        std::map<std::uint64_t, float> unfiltered;
        std::vector<SearchHit> passing;
        for (const SearchHit& h : *full) {
          unfiltered[h.id] = h.distance;
          if (accept(h.id)) passing.push_back(h);
        }
        std::vector<SearchHit> model_passing;
        for (const SearchHit& h : m.search(metric, query, m.size())) {
          if (accept(h.id)) model_passing.push_back(h);
        }
        for (const std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{10}, m.size() + 5}) {
          SCOPED_TRACE("passing " + std::to_string(percent) + "%, k " + std::to_string(k));
          const auto got = index->search_filtered(query, k, filter);
          ASSERT_TRUE(got.has_value()) << got.error().display();
          const std::vector<SearchHit>& hits = *got;
          SCOPED_TRACE("hits " + show(hits));
          EXPECT_TRUE(std::is_sorted(hits.begin(), hits.end(), hit_less));
          std::set<std::uint64_t> ids;
          for (const SearchHit& h : hits) {
            EXPECT_TRUE(accept(h.id)) << "id " << h.id << " was refused";
            EXPECT_TRUE(ids.insert(h.id).second) << "id " << h.id << " came twice";
            ASSERT_TRUE(m.holds(h.id)) << "hit " << h.id << " is not live";
            // Where search ranks every vector, a hit carries the bits search gives it.
            if (kind().large_k_returns_all) {
              EXPECT_TRUE(same_float(h.distance, unfiltered.at(h.id))) << "id " << h.id;
            }
          }
          // No kind comes back short because of the filter.
          ASSERT_EQ(hits.size(), std::min(k, model_passing.size()));
          if (!kind().large_k_returns_all) continue;
          // Ties may swap at the cut, so the distances are what must agree rank by rank: with the
          // index's own ranking, and for exact kinds with a brute-force scan of the stored vectors.
          for (std::size_t i = 0; i < hits.size(); ++i) {
            EXPECT_TRUE(same_float(hits[i].distance, passing[i].distance)) << "rank " << i;
            if (kind().hits == Hits::kExact) {
              EXPECT_TRUE(same_float(hits[i].distance, model_passing[i].distance)) << "rank " << i;
            }
          }
        }
      }
    }
  }
  // The checks of search come first, in its order: a wrong length, or an empty index's answer.
  const IdFilter everything([](std::uint64_t) { return true; });
  auto empty = make();
  const auto plain_empty = empty->search(filled(0.5f, kDims + 1), 3);
  const auto filtered_empty = empty->search_filtered(filled(0.5f, kDims + 1), 3, everything);
  EXPECT_EQ(plain_empty.has_value(), filtered_empty.has_value());
  auto index = make();
  fill(*index, 5);
  expect_error(index->search_filtered(filled(0.5f, kDims + 1), 3, everything),
               DbError::dimension_mismatch(kDims, kDims + 1));
}

TEST_P(IndexContractTest, ConcurrentSearchesMatchSerialOnes) {
  auto index = make();
  const Model m = fill(*index);
  constexpr std::size_t kQueries = 16;
  const std::vector<float> data = testing::random_vectors(kQueries, kDims, 77);
  std::vector<std::vector<SearchHit>> serial;
  for (std::size_t q = 0; q < kQueries; ++q) {
    const auto hits = index->search(std::span<const float>(data).subspan(q * kDims, kDims), 8);
    ASSERT_TRUE(hits.has_value());
    serial.push_back(*hits);
  }
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 10; ++round) {
        for (std::size_t q = 0; q < kQueries; ++q) {
          const auto hits =
              index->search(std::span<const float>(data).subspan(q * kDims, kDims), 8);
          if (!hits.has_value() || !same_hits(*hits, serial[q])) ++mismatches;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace sorvel
