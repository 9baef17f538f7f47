#include "index/hnsw/hnsw_index.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "check.h"
#include "checksum.h"
#include "encoding.h"
#include "index/row_scan.h"
#include "posix_file.h"
#include "str_cat.h"

namespace sorvel {

namespace {

constexpr std::size_t kDefaultMicroBatch = 256;

// A reclaim of a graph of this many nodes or more repairs its lists on a pool of threads, this
// many nodes per task.
constexpr std::size_t kParallelReclaimNodes = 16384;
constexpr std::size_t kReclaimTaskNodes = 1024;

double level_multiplier(std::size_t m) {
  return 1.0 / std::log(static_cast<double>(std::max<std::size_t>(m, 2)));
}

std::size_t doubled(std::size_t m) {
  std::size_t out;
  return __builtin_mul_overflow(m, 2, &out) ? SIZE_MAX : out;
}

void check_matrix(std::span<const float> data, std::size_t rows, std::size_t cols) {
  SORVEL_CHECK(cols == 0 ? data.empty() : data.size() % cols == 0 && data.size() / cols == rows,
               "matrix insert: data does not hold rows x cols floats");
}

struct FileHeader {
  std::uint64_t dimensions;
  Metric metric;
  std::uint64_t ef_construction;
  std::uint64_t ef_search;
  std::uint64_t m;
};

Result<FileHeader> decode_header(Decoder& in) {
  FileHeader h;
  SORVEL_ASSIGN_OR_RETURN(h.dimensions, in.u64());
  SORVEL_ASSIGN_OR_RETURN(h.metric, decode_metric(in));
  SORVEL_ASSIGN_OR_RETURN(h.ef_construction, in.u64());
  SORVEL_ASSIGN_OR_RETURN(h.ef_search, in.u64());
  SORVEL_ASSIGN_OR_RETURN(h.m, in.u64());
  return h;
}

}  // namespace

// Yields live nodes in ascending id order; the index must not change while it is alive. Nodes are
// numbered in order of first insertion, so when ids arrived in ascending order (the usual case)
// node order is id order and the walk needs no table.
class HnswIndexIterator final : public IndexIterator {
 public:
  explicit HnswIndexIterator(const HnswGraph& graph) : graph_(graph) {
    const std::size_t n = graph.node_count();
    bool ascending = true;
    for (std::size_t i = 1; i < n && ascending; ++i) {
      ascending = graph.id_of(static_cast<HnswNode>(i - 1)) < graph.id_of(static_cast<HnswNode>(i));
    }
    if (ascending) return;
    by_id_ = true;
    order_.reserve(graph.count());
    for (std::size_t i = 0; i < n; ++i) {
      if (graph.is_live(static_cast<HnswNode>(i))) order_.push_back(static_cast<HnswNode>(i));
    }
    std::sort(order_.begin(), order_.end(),
              [&](HnswNode a, HnswNode b) { return graph.id_of(a) < graph.id_of(b); });
  }

  std::optional<IndexItem> next() override {
    if (!skip_absent()) return std::nullopt;
    const HnswNode node = by_id_ ? order_[pos_] : static_cast<HnswNode>(pos_);
    ++pos_;
    const std::span<const float> row = graph_.vector(node);
    return IndexItem{graph_.id_of(node), std::vector<float>(row.begin(), row.end())};
  }

  std::pair<std::size_t, std::optional<std::size_t>> size_hint() const override {
    return {0, end() - pos_};
  }

  std::size_t advance_by(std::size_t n) override {
    for (std::size_t i = 0; i < n; ++i) {
      if (!skip_absent()) return n - i;
      ++pos_;
    }
    return 0;
  }

 private:
  std::size_t end() const { return by_id_ ? order_.size() : graph_.node_count(); }

  bool skip_absent() {
    if (!by_id_) {
      while (pos_ < end() && !graph_.is_live(static_cast<HnswNode>(pos_))) ++pos_;
    }
    return pos_ < end();
  }

  const HnswGraph& graph_;
  // With `by_id_`, the live nodes sorted by id; otherwise positions are nodes.
  bool by_id_ = false;
  std::vector<HnswNode> order_;
  std::size_t pos_ = 0;
};

HnswIndex::ScratchPool::ScratchPool() : keep_(2 * available_processors()) { free_.reserve(keep_); }

HnswIndex::ScratchPool& HnswIndex::ScratchPool::operator=(ScratchPool&& other) noexcept {
  free_ = std::move(other.free_);
  keep_ = other.keep_;
  return *this;
}

HnswIndex::ScratchPool::Lease HnswIndex::ScratchPool::take(std::size_t node_count) const {
  std::unique_ptr<HnswSearchScratch> scratch;
  {
    std::lock_guard lock(mutex_);
    if (!free_.empty()) {
      scratch = std::move(free_.back());
      free_.pop_back();
    }
  }
  try {
    if (!scratch) scratch = std::make_unique<HnswSearchScratch>();
    scratch->cover(node_count);
  } catch (...) {
    give_back(std::move(scratch));
    throw;
  }
  return Lease(this, std::move(scratch));
}

void HnswIndex::ScratchPool::release_free() const noexcept {
  std::vector<std::unique_ptr<HnswSearchScratch>> freed;
  {
    std::lock_guard lock(mutex_);
    for (auto& scratch : free_) freed.push_back(std::move(scratch));
    free_.clear();
  }
}

void HnswIndex::ScratchPool::give_back(std::unique_ptr<HnswSearchScratch> scratch) const noexcept {
  if (!scratch) return;
  {
    std::lock_guard lock(mutex_);
    if (free_.size() < keep_) {
      free_.push_back(std::move(scratch));
      return;
    }
  }
  // More scratches are out than the pool keeps: this one is freed, outside the lock.
}

HnswIndex::HnswIndex(std::size_t dimensions, Metric metric, std::size_t ef_construction,
                     std::size_t ef_search, std::size_t m)
    : graph_(dimensions, metric, m, doubled(m), ef_construction, level_multiplier(m)),
      dimensions_(dimensions),
      metric_(metric),
      ef_construction_(ef_construction),
      ef_search_(ef_search),
      m_(m) {}

Result<> HnswIndex::check_config(std::uint64_t ef_construction, std::uint64_t ef_search,
                                 std::uint64_t m) {
  (void)ef_search;  // any width is usable
  if (ef_construction > kMaxEfConstruction) {
    return DbError::invalid_config(str_cat("HNSW ef_construction of ", ef_construction,
                                           " is above the largest usable, ", kMaxEfConstruction));
  }
  if (m > kMaxM) {
    return DbError::invalid_config(
        str_cat("HNSW m of ", m, " is above the largest usable, ", kMaxM));
  }
  return ok();
}

// The pool's mutex is not moved: each object keeps its own. Moving needs exclusive access to
// `other`.
HnswIndex::HnswIndex(HnswIndex&& other) noexcept
    : graph_(std::move(other.graph_)),
      dimensions_(other.dimensions_),
      metric_(other.metric_),
      ef_construction_(other.ef_construction_),
      ef_search_(other.ef_search_),
      m_(other.m_),
      scratches_(std::move(other.scratches_)) {}

HnswIndex& HnswIndex::operator=(HnswIndex&& other) noexcept {
  graph_ = std::move(other.graph_);
  dimensions_ = other.dimensions_;
  metric_ = other.metric_;
  ef_construction_ = other.ef_construction_;
  ef_search_ = other.ef_search_;
  m_ = other.m_;
  scratches_ = std::move(other.scratches_);
  return *this;
}

template <class IdAt>
std::vector<HnswNode> HnswIndex::assign_nodes(std::size_t rows, IdAt id_at) {
  graph_.reserve(rows);
  std::vector<HnswNode> nodes;
  nodes.reserve(rows);
  for (std::size_t i = 0; i < rows; ++i) nodes.push_back(graph_.node_for(id_at(i)));
  return nodes;
}

Result<> HnswIndex::add(std::uint64_t id, std::span<const float> vector) {
  if (vector.size() != dimensions_) return DbError::dimension_mismatch(dimensions_, vector.size());
  const std::optional<HnswNode> known = graph_.find_node(id);
  if (known && graph_.is_live(*known)) return DbError::duplicate_id(id);
  const HnswNode node = graph_.node_for(id);
  const ScratchPool::Lease scratch = scratches_.take(graph_.node_count());
  graph_.insert(node, vector.data(), *scratch);
  return ok();
}

Result<> HnswIndex::add_batch(std::span<const IndexItem> items) {
  for (const IndexItem& item : items) {
    if (item.vector.size() != dimensions_) {
      return DbError::dimension_mismatch(dimensions_, item.vector.size());
    }
    const std::optional<HnswNode> known = graph_.find_node(item.id);
    if (known && graph_.is_live(*known)) return DbError::duplicate_id(item.id);
  }
  if (items.empty()) return ok();
  const std::vector<HnswNode> nodes =
      assign_nodes(items.size(), [&](std::size_t i) { return items[i].id; });
  const ScratchPool::Lease scratch = scratches_.take(graph_.node_count());
  for (std::size_t i = 0; i < items.size(); ++i) {
    graph_.insert(nodes[i], items[i].vector.data(), *scratch);
  }
  return ok();
}

Result<> HnswIndex::add_matrix(std::span<const float> data, std::size_t rows, std::size_t cols,
                               std::uint64_t start_id) {
  if (cols != dimensions_) return DbError::dimension_mismatch(dimensions_, cols);
  check_matrix(data, rows, cols);
  if (rows == 0) return ok();
  const std::vector<HnswNode> nodes =
      assign_nodes(rows, [&](std::size_t i) { return start_id + i; });
  const ScratchPool::Lease scratch = scratches_.take(graph_.node_count());
  for (std::size_t i = 0; i < rows; ++i) {
    graph_.insert(nodes[i], data.data() + i * cols, *scratch);
  }
  return ok();
}

Result<> HnswIndex::add_batch_parallel(std::span<const float> data, std::size_t rows,
                                       std::size_t cols, std::uint64_t start_id,
                                       std::size_t num_threads, std::size_t micro_batch_size,
                                       const WorkerPool::Launcher& launch) {
  if (cols != dimensions_) return DbError::dimension_mismatch(dimensions_, cols);
  check_matrix(data, rows, cols);
  if (rows == 0) return ok();
  insert_parallel(assign_nodes(rows, [&](std::size_t i) { return start_id + i; }), data,
                  num_threads, micro_batch_size, launch);
  return ok();
}

Result<> HnswIndex::add_batch_parallel(std::span<const std::uint64_t> ids,
                                       std::span<const float> data, std::size_t cols,
                                       std::size_t num_threads, std::size_t micro_batch_size,
                                       const WorkerPool::Launcher& launch) {
  if (cols != dimensions_) return DbError::dimension_mismatch(dimensions_, cols);
  check_matrix(data, ids.size(), cols);
  if (ids.empty()) return ok();
  insert_parallel(assign_nodes(ids.size(), [&](std::size_t i) { return ids[i]; }), data,
                  num_threads, micro_batch_size, launch);
  return ok();
}

namespace {

// A back-link of one micro-batch: `node` joins the list of `owner` at `layer`. `seq` keeps the
// order in which sequential linking would add it.
struct BackLink {
  HnswNode owner;
  std::uint32_t layer;
  HnswNode node;
  std::uint32_t seq;
};

bool back_link_less(const BackLink& a, const BackLink& b) {
  if (a.owner != b.owner) return a.owner < b.owner;
  if (a.layer != b.layer) return a.layer < b.layer;
  return a.seq < b.seq;
}

}  // namespace

void HnswIndex::insert_parallel(const std::vector<HnswNode>& nodes, std::span<const float> data,
                                std::size_t num_threads, std::size_t micro_batch_size,
                                const WorkerPool::Launcher& launch) {
  const std::size_t rows = nodes.size();
  const std::size_t cols = dimensions_;
  const std::size_t micro = micro_batch_size == 0 ? kDefaultMicroBatch : micro_batch_size;
  const std::size_t threads = num_threads == 0 ? available_processors() : num_threads;
  const auto row = [&](std::size_t i) { return data.data() + i * cols; };

  // Every node was numbered before the first insert, so the node count stays fixed from here.
  const std::size_t node_count = graph_.node_count();
  const ScratchPool::Lease scratch = scratches_.take(node_count);
  const std::size_t first = std::min(rows, micro);
  for (std::size_t i = 0; i < first; ++i) graph_.insert(nodes[i], row(i), *scratch);
  if (rows <= micro) return;

  // More workers than rows in a micro-batch would have nothing to do.
  const std::size_t most = std::min(micro, rows - first);
  std::unique_ptr<WorkerPool> pool;
  try {
    pool = std::make_unique<WorkerPool>(std::min(threads, most), launch);
  } catch (const std::system_error&) {
    try {
      pool = std::make_unique<WorkerPool>(std::min(available_processors(), most), launch);
    } catch (const std::system_error&) {
      pool.reset();
    }
  }
  if (!pool) {
    for (std::size_t i = first; i < rows; ++i) graph_.insert(nodes[i], row(i), *scratch);
    return;
  }

  // Per worker one scratch, reused across rows: epoch stamps make a used scratch search exactly
  // like a fresh one. Per row slot its plan, reused across micro-batches.
  const std::size_t slots = most;
  std::vector<HnswSearchScratch> worker_scratch(pool->size());
  for (HnswSearchScratch& s : worker_scratch) s.cover(node_count);
  std::vector<std::uint64_t> levels(slots);
  std::vector<HnswLinkPlan> plans(slots);
  std::vector<BackLink> links;
  std::vector<std::size_t> owner_ends;
  for (std::size_t offset = first; offset < rows; offset += micro) {
    const std::size_t batch = std::min(slots, rows - offset);
    for (std::size_t j = 0; j < batch; ++j) levels[j] = graph_.draw_level();
    for (std::size_t j = 0; j < batch; ++j) {
      graph_.store(nodes[offset + j], row(offset + j), levels[j]);
    }
    // The graph is only read while the pool searches; each task writes its own plan.
    const HnswGraph& graph = graph_;
    pool->run(batch, [&](std::size_t j, std::size_t worker) {
      graph.choose_neighbors(nodes[offset + j], levels[j], worker_scratch[worker], plans[j]);
    });

    // Own lists in row order, then the back-links grouped by the list they join. Each list takes
    // its back-links in row order, as linking row after row would, and a list chosen again reads
    // only its own entries and the vectors, so lists of distinct owners are linked in parallel.
    links.clear();
    for (std::size_t j = 0; j < batch; ++j) {
      const HnswNode node = nodes[offset + j];
      const HnswLinkPlan& plan = plans[j];
      graph_.set_lists(node, levels[j], plan);
      for (std::size_t l = 0; l < plan.layers(); ++l) {
        for (const HnswPair& p : plan.layer(l)) {
          if (p.node == node) continue;
          links.push_back({p.node, static_cast<std::uint32_t>(l), node,
                           static_cast<std::uint32_t>(links.size())});
        }
      }
    }
    std::sort(links.begin(), links.end(), back_link_less);
    owner_ends.clear();
    for (std::size_t i = 1; i <= links.size(); ++i) {
      if (i == links.size() || links[i].owner != links[i - 1].owner) owner_ends.push_back(i);
    }
    pool->run(owner_ends.size(), [&](std::size_t g, std::size_t worker) {
      for (std::size_t i = g == 0 ? 0 : owner_ends[g - 1]; i < owner_ends[g]; ++i) {
        graph_.add_link(links[i].owner, links[i].layer, links[i].node, worker_scratch[worker]);
      }
    });
    for (std::size_t j = 0; j < batch; ++j) graph_.promote_if_higher(nodes[offset + j], levels[j]);
  }
}

std::vector<SearchHit> HnswIndex::to_hits(std::span<const HnswPair> w, std::size_t k) const {
  const auto reported = [&](float d) { return metric_ == Metric::L2 ? std::sqrt(d) : d; };
  const std::size_t n = std::min(k, w.size());
  if (n == 0) return {};
  // `w` is ascending and the square root keeps the order, so ties are runs of equal values.
  const float last = reported(w[n - 1].distance);
  std::size_t end = n;
  while (end < w.size() && !distance_less(last, reported(w[end].distance))) ++end;
  std::vector<SearchHit> hits;
  hits.reserve(end);
  for (std::size_t i = 0; i < end; ++i) {
    hits.push_back({graph_.id_of(w[i].node), reported(w[i].distance)});
  }
  for (std::size_t b = 0; b < end;) {
    std::size_t e = b + 1;
    while (e < end && !distance_less(hits[b].distance, hits[e].distance)) ++e;
    if (e - b > 1) {
      std::sort(hits.begin() + static_cast<std::ptrdiff_t>(b),
                hits.begin() + static_cast<std::ptrdiff_t>(e),
                [](const SearchHit& x, const SearchHit& y) { return x.id < y.id; });
    }
    b = e;
  }
  hits.resize(n);
  return hits;
}

Result<std::vector<SearchHit>> HnswIndex::search(std::span<const float> query,
                                                 std::size_t k) const {
  if (query.size() != dimensions_) return DbError::dimension_mismatch(dimensions_, query.size());
  if (k == 0 || graph_.count() == 0) return std::vector<SearchHit>{};
  const std::optional<HnswNode> entry = graph_.entry_point();
  if (!entry) return std::vector<SearchHit>{};
  const float* q = query.data();
  HnswNode ep = *entry;
  for (std::size_t l = graph_.level(ep); l >= 1; --l) ep = graph_.greedy_closest(q, ep, l);
  const ScratchPool::Lease scratch = scratches_.take(graph_.node_count());
  const std::span<const HnswPair> w =
      graph_.search_layer(q, ep, std::max(ef_search_, k), 0, *scratch);
  // A sparse graph (a small m, many deletions) can leave nodes that no walk from the entry point
  // reaches: the exact scan then answers, so no search comes back short.
  const std::size_t want = std::min(k, graph_.count());
  if (w.size() < want) {
    const auto every = [](std::uint64_t) { return true; };
    return scan_filtered(query, want, IdFilter(every));
  }
  return to_hits(w, k);
}

namespace {

// What a filtered walk may spend before the exact scan answers instead: a third of the scan's
// cost, so a walk that turns out too long costs at most a third more than scanning at once.
// Measured on Fashion-MNIST (784 dimensions) and Gaussian data (64): a walk's step costs about
// 60 ns plus 0.7 ns per dimension (a row read out of order, the heaps, the filter), a scanned row
// 0.2 ns per dimension (rows read end to end), so the walk may measure d / (900 + 10.5 d) of the
// nodes: 8.6 % at 784 dimensions, 4.1 % at 64.
constexpr double kWalkShareOfScan = 1.0 / 3.0;
constexpr double kWalkStepNs = 60.0;
constexpr double kWalkNsPerDimension = 0.7;
constexpr double kScanNsPerDimension = 0.2;
// A walk that keeps ef passing nodes measures at least ef / (passing share) nodes; the walks
// measured took 2 to 4 times that where the graph led them well (Fashion-MNIST, filters
// independent of the images) and 8 to 18 times where it did not (a filter on the image class, or
// Gaussian data). A walk is started only when twice that fits its budget, and it may take at most
// four times that, so a walk the graph leads badly stops early.
constexpr double kWalkMinStepsPerPassingNode = 2.0;
constexpr double kWalkMaxStepsPerPassingNode = 4.0;
constexpr double kGoldenRatioFraction = 0.6180339887498949;

std::size_t filtered_walk_budget(std::size_t nodes, std::size_t dims) {
  const double d = static_cast<double>(dims);
  return static_cast<std::size_t>(static_cast<double>(nodes) * kWalkShareOfScan *
                                  kScanNsPerDimension * d /
                                  (kWalkStepNs + kWalkNsPerDimension * d));
}

}  // namespace

Result<std::vector<SearchHit>> HnswIndex::search_filtered(std::span<const float> query,
                                                          std::size_t k,
                                                          const IdFilter& accept) const {
  if (query.size() != dimensions_) return DbError::dimension_mismatch(dimensions_, query.size());
  const std::size_t live = graph_.count();
  if (k == 0 || live == 0) return std::vector<SearchHit>{};
  const std::size_t want = std::min(k, live);
  const std::size_t ef = std::max(ef_search_, want);
  const std::size_t nodes = graph_.node_count();
  const std::optional<HnswNode> entry = graph_.entry_point();
  std::size_t budget = filtered_walk_budget(nodes, dimensions_);
  bool walk = entry.has_value() && ef < budget;
  if (walk) {
    // The passing share from nodes spread over the node numbers by the golden-ratio sequence,
    // which no period of the ids (a tag of id % 100, say) lines up with; one passing node more is
    // assumed than was seen, so a sample where none passes still predicts a finite walk.
    const std::size_t samples = std::min(kFilterSampleIds, nodes);
    std::size_t seen = 0;
    std::size_t passing = 0;
    for (std::size_t i = 0; i < samples; ++i) {
      const double spread = std::fmod(static_cast<double>(i) * kGoldenRatioFraction, 1.0);
      const auto node = static_cast<HnswNode>(spread * static_cast<double>(nodes));
      if (!graph_.is_live(node)) continue;
      ++seen;
      if (accept(graph_.id_of(node))) ++passing;
    }
    const double least =
        static_cast<double>(ef) * static_cast<double>(seen) / static_cast<double>(passing + 1);
    walk = kWalkMinStepsPerPassingNode * least <= static_cast<double>(budget);
    budget = std::min(budget, static_cast<std::size_t>(kWalkMaxStepsPerPassingNode * least));
  }
  if (walk) {
    const float* q = query.data();
    HnswNode ep = *entry;
    for (std::size_t l = graph_.level(ep); l >= 1; --l) ep = graph_.greedy_closest(q, ep, l);
    const ScratchPool::Lease scratch = scratches_.take(nodes);
    const std::optional<std::span<const HnswPair>> w =
        graph_.search_filtered(q, ep, ef, budget, accept, *scratch);
    // A walk that found fewer than k passing nodes may have missed some: the scan decides.
    if (w && w->size() >= want) return to_hits(*w, k);
  }
  return scan_filtered(query, want, accept);
}

std::vector<SearchHit> HnswIndex::scan_filtered(std::span<const float> query, std::size_t k,
                                                const IdFilter& accept) const {
  BasicTopK<TopKTies::kLowerId> top(k, graph_.count());
  offer_rows(metric_, query.data(), graph_.rows().data(), dimensions_, graph_.node_count(),
             metric_ == Metric::L2, top, [&](std::size_t row) -> std::optional<std::uint64_t> {
               const HnswNode node = static_cast<HnswNode>(row);
               if (!graph_.is_live(node)) return std::nullopt;
               const std::uint64_t id = graph_.id_of(node);
               if (!accept(id)) return std::nullopt;
               return id;
             });
  return top.take_sorted();
}

bool HnswIndex::remove(std::uint64_t id) {
  const std::optional<HnswNode> node = graph_.find_node(id);
  if (!node || !graph_.remove(*node)) return false;
  // Reclaiming costs about one repair per live list; waiting until the deleted nodes are half the
  // live ones makes that a few list repairs per delete, and bounds the graph at 1.5 times its live
  // size.
  const std::size_t dropped = graph_.node_count() - graph_.count();
  if (dropped >= kReclaimMinNodes && 2 * dropped > graph_.count()) reclaim();
  return true;
}

std::size_t HnswIndex::reclaim() {
  const std::size_t nodes = graph_.node_count();
  if (graph_.count() == nodes) return 0;
  // Repairs of distinct nodes are independent (see HnswGraph::repair_lists): a large graph shares
  // them out over a pool, a range of nodes per task.
  std::unique_ptr<WorkerPool> pool;
  if (nodes >= kParallelReclaimNodes) {
    try {
      pool = std::make_unique<WorkerPool>(available_processors());
    } catch (const std::system_error&) {
      pool.reset();
    }
  }
  const auto repair_range = [&](std::size_t begin, std::size_t end, HnswSearchScratch& scratch) {
    for (std::size_t n = begin; n < end; ++n) {
      const auto node = static_cast<HnswNode>(n);
      if (graph_.is_live(node)) graph_.repair_lists(node, scratch);
    }
  };
  if (pool) {
    std::vector<HnswSearchScratch> worker_scratch(pool->size());
    for (HnswSearchScratch& s : worker_scratch) s.cover(nodes);
    const std::size_t tasks = (nodes + kReclaimTaskNodes - 1) / kReclaimTaskNodes;
    pool->run(tasks, [&](std::size_t t, std::size_t worker) {
      repair_range(t * kReclaimTaskNodes, std::min(nodes, (t + 1) * kReclaimTaskNodes),
                   worker_scratch[worker]);
    });
  } else {
    const ScratchPool::Lease scratch = scratches_.take(nodes);
    repair_range(0, nodes, *scratch);
  }
  pool.reset();
  const std::size_t dropped = graph_.drop_non_live();
  graph_.link_unnamed();
  scratches_.release_free();
  return dropped;
}

std::unique_ptr<IndexIterator> HnswIndex::iter() const {
  return std::make_unique<HnswIndexIterator>(graph_);
}

Result<> HnswIndex::save(const std::string& path) const {
  if (graph_.count() == 0) return ok();
  SORVEL_ASSIGN_OR_RETURN(AtomicFileWriter file, AtomicFileWriter::create(path));
  Encoder out = Encoder::to_fd(file.fd());
  out.start_checksum();
  graph_.encode(out);
  encode_graph_trailer(out, metric_, dimensions_);
  SORVEL_TRY(out.finish());
  return file.commit();
}

void HnswIndex::encode_graph_trailer(Encoder& out, Metric metric, std::uint64_t dimensions) {
  out.u64(kGraphTrailerMagic);
  encode_metric(out, metric);
  out.u64(dimensions);
  out.u32(out.checksum());
}

Result<std::span<const std::uint8_t>> HnswIndex::trusted_record(
    std::span<const std::uint8_t> file) const {
  const auto refuse = [](auto&&... parts) {
    return DbError::serialization(str_cat("graph file ", parts...));
  };
  if (file.size() < kGraphTrailerBytes) return refuse("has no trailer");
  const std::span<const std::uint8_t> record = file.first(file.size() - kGraphTrailerBytes);
  Decoder in = Decoder::from_memory(file.last(kGraphTrailerBytes));
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t magic, in.u64());
  if (magic != kGraphTrailerMagic) return refuse("has no trailer");
  const Result<Metric> metric = decode_metric(in);
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t dimensions, in.u64());
  if (!metric || *metric != metric_ || dimensions != dimensions_) {
    return refuse("was saved for another metric or number of dimensions");
  }
  SORVEL_ASSIGN_OR_RETURN(const std::uint32_t sum, in.u32());
  if (crc32c(file.first(file.size() - 4)) != sum) return refuse("does not match its checksum");
  return record;
}

Result<> HnswIndex::load(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return ok();
  SORVEL_ASSIGN_OR_RETURN(const MappedFile map, MappedFile::open(path));
  // The checksum reads the whole file: its pages are mapped at once rather than fault by fault.
  populate_pages(map.bytes().data(), map.bytes().size(), /*for_writing=*/false);
  SORVEL_ASSIGN_OR_RETURN(const std::span<const std::uint8_t> record, trusted_record(map.bytes()));
  SORVEL_ASSIGN_OR_RETURN(HnswGraph graph, HnswGraph::from_record(record, dimensions_, metric_));
  // A graph built with other settings would go on growing with them, not with the index's own.
  if (graph.m() != m_ || graph.m_max0() != doubled(m_) ||
      graph.ef_construction() != ef_construction_ || graph.level_mult() != level_multiplier(m_)) {
    return DbError::serialization(str_cat("graph file settings m ", graph.m(), ", m_max0 ",
                                          graph.m_max0(), ", ef_construction ",
                                          graph.ef_construction(), ", level_mult ",
                                          graph.level_mult(), " are not this index's"));
  }
  graph_ = std::move(graph);
  return ok();
}

Result<> HnswIndex::save_file(const std::string& path) const {
  SORVEL_ASSIGN_OR_RETURN(AtomicFileWriter file, AtomicFileWriter::create(path));
  Encoder out = Encoder::to_fd(file.fd());
  out.u64(dimensions_);
  encode_metric(out, metric_);
  out.u64(ef_construction_);
  out.u64(ef_search_);
  out.u64(m_);
  graph_.encode(out);
  SORVEL_TRY(out.finish());
  return file.commit();
}

Result<HnswIndex> HnswIndex::load_file(const std::string& path) {
  {
    SORVEL_ASSIGN_OR_RETURN(const UniqueFd fd, open_read(path));
    Decoder in = Decoder::from_fd(fd.get());
    Result<FileHeader> header = decode_header(in);
    if (header) {
      Result<HnswGraphSnapshot> snapshot = HnswGraph::decode_snapshot(in);
      // A file that reads whole as the current layout is that layout: a refusal stands.
      if (snapshot) {
        SORVEL_ASSIGN_OR_RETURN(
            HnswGraph graph,
            HnswGraph::from_snapshot(std::move(*snapshot), header->dimensions, header->metric));
        HnswIndex index(header->dimensions, header->metric, header->ef_construction,
                        header->ef_search, header->m);
        index.graph_ = std::move(graph);
        return index;
      }
    }
  }

  // The older layout: header, an unused u64, then (id, vector) entries that are inserted again.
  SORVEL_ASSIGN_OR_RETURN(const UniqueFd fd, open_read(path));
  Decoder in = Decoder::from_fd(fd.get());
  SORVEL_ASSIGN_OR_RETURN(const FileHeader h, decode_header(in));
  SORVEL_TRY(
      HnswGraph::check_settings(h.m, doubled(h.m), h.ef_construction, level_multiplier(h.m)));
  SORVEL_TRY(in.u64());
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t n, in.length());
  std::vector<IndexItem> items;
  items.reserve(Decoder::reserve_count(n, sizeof(IndexItem)));
  std::unordered_map<std::uint64_t, std::size_t> position;
  for (std::uint64_t i = 0; i < n; ++i) {
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t id, in.u64());
    SORVEL_ASSIGN_OR_RETURN(std::vector<float> vector, in.f32_seq());
    if (vector.size() != h.dimensions) {
      return DbError::serialization(str_cat("HNSW file entry ", id, " has a vector of ",
                                            vector.size(), " values, expected ", h.dimensions));
    }
    // A later duplicate id replaces the earlier vector in its place.
    const auto [it, inserted] = position.try_emplace(id, items.size());
    if (inserted) {
      items.push_back({id, std::move(vector)});
    } else {
      items[it->second].vector = std::move(vector);
    }
  }
  HnswIndex index(h.dimensions, h.metric, h.ef_construction, h.ef_search, h.m);
  index.graph_.reserve(items.size());
  std::vector<HnswNode> nodes;
  nodes.reserve(items.size());
  for (const IndexItem& item : items) nodes.push_back(index.graph_.node_for(item.id));
  {
    const ScratchPool::Lease scratch = index.scratches_.take(index.graph_.node_count());
    for (std::size_t i = 0; i < items.size(); ++i) {
      index.graph_.insert(nodes[i], items[i].vector.data(), *scratch);
    }
  }
  return index;
}

}  // namespace sorvel
