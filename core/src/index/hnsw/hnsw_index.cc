#include "index/hnsw/hnsw_index.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "check.h"
#include "encoding.h"
#include "posix_file.h"
#include "str_cat.h"

namespace sorvel {

namespace {

constexpr std::size_t kDefaultMicroBatch = 256;

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

// Walks the live bytes from node 0; the index must not change while it is alive.
class HnswIndexIterator final : public IndexIterator {
 public:
  explicit HnswIndexIterator(const HnswGraph& graph) : graph_(graph) {}

  std::optional<IndexItem> next() override {
    if (!skip_absent()) return std::nullopt;
    const HnswNode node = static_cast<HnswNode>(node_++);
    const std::span<const float> row = graph_.vector(node);
    return IndexItem{graph_.id_of(node), std::vector<float>(row.begin(), row.end())};
  }

  std::pair<std::size_t, std::optional<std::size_t>> size_hint() const override {
    return {0, graph_.node_count() - node_};
  }

  std::size_t advance_by(std::size_t n) override {
    for (std::size_t i = 0; i < n; ++i) {
      if (!skip_absent()) return n - i;
      ++node_;
    }
    return 0;
  }

 private:
  bool skip_absent() {
    while (node_ < graph_.node_count() && !graph_.is_live(static_cast<HnswNode>(node_))) ++node_;
    return node_ < graph_.node_count();
  }

  const HnswGraph& graph_;
  std::size_t node_ = 0;
};

HnswIndex::HnswIndex(std::size_t dimensions, Metric metric, std::size_t ef_construction,
                     std::size_t ef_search, std::size_t m)
    : graph_(dimensions, metric, m, doubled(m), ef_construction, level_multiplier(m)),
      dimensions_(dimensions),
      metric_(metric),
      ef_construction_(ef_construction),
      ef_search_(ef_search),
      m_(m) {}

// The mutex is not moved: each object keeps its own. Moving needs exclusive access to `other`.
HnswIndex::HnswIndex(HnswIndex&& other) noexcept
    : graph_(std::move(other.graph_)),
      dimensions_(other.dimensions_),
      metric_(other.metric_),
      ef_construction_(other.ef_construction_),
      ef_search_(other.ef_search_),
      m_(other.m_),
      scratch_(std::move(other.scratch_)) {}

HnswIndex& HnswIndex::operator=(HnswIndex&& other) noexcept {
  graph_ = std::move(other.graph_);
  dimensions_ = other.dimensions_;
  metric_ = other.metric_;
  ef_construction_ = other.ef_construction_;
  ef_search_ = other.ef_search_;
  m_ = other.m_;
  scratch_ = std::move(other.scratch_);
  return *this;
}

Result<> HnswIndex::add(std::uint64_t id, std::span<const float> vector) {
  if (vector.size() != dimensions_) return DbError::dimension_mismatch(dimensions_, vector.size());
  const std::optional<HnswNode> known = graph_.find_node(id);
  if (known && graph_.is_live(*known)) return DbError::duplicate_id(id);
  const HnswNode node = graph_.node_for(id);
  scratch_.cover(graph_.node_count());
  graph_.insert(node, vector.data(), scratch_);
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
  graph_.reserve(items.size());
  std::vector<HnswNode> nodes;
  nodes.reserve(items.size());
  for (const IndexItem& item : items) nodes.push_back(graph_.node_for(item.id));
  scratch_.cover(graph_.node_count());
  for (std::size_t i = 0; i < items.size(); ++i) {
    graph_.insert(nodes[i], items[i].vector.data(), scratch_);
  }
  return ok();
}

std::vector<HnswNode> HnswIndex::assign_nodes(std::uint64_t start_id, std::size_t rows) {
  graph_.reserve(rows);
  std::vector<HnswNode> nodes;
  nodes.reserve(rows);
  for (std::size_t i = 0; i < rows; ++i) nodes.push_back(graph_.node_for(start_id + i));
  // Covered before the first insert, so a search after any way out of an insert stays in bounds.
  scratch_.cover(graph_.node_count());
  return nodes;
}

std::vector<HnswNode> HnswIndex::assign_nodes(std::span<const std::uint64_t> ids) {
  graph_.reserve(ids.size());
  std::vector<HnswNode> nodes;
  nodes.reserve(ids.size());
  for (const std::uint64_t id : ids) nodes.push_back(graph_.node_for(id));
  scratch_.cover(graph_.node_count());
  return nodes;
}

Result<> HnswIndex::add_matrix(std::span<const float> data, std::size_t rows, std::size_t cols,
                               std::uint64_t start_id) {
  if (cols != dimensions_) return DbError::dimension_mismatch(dimensions_, cols);
  check_matrix(data, rows, cols);
  if (rows == 0) return ok();
  const std::vector<HnswNode> nodes = assign_nodes(start_id, rows);
  for (std::size_t i = 0; i < rows; ++i) {
    graph_.insert(nodes[i], data.data() + i * cols, scratch_);
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
  insert_parallel(assign_nodes(start_id, rows), data, num_threads, micro_batch_size, launch);
  return ok();
}

Result<> HnswIndex::add_batch_parallel(std::span<const std::uint64_t> ids,
                                       std::span<const float> data, std::size_t cols,
                                       std::size_t num_threads, std::size_t micro_batch_size,
                                       const WorkerPool::Launcher& launch) {
  if (cols != dimensions_) return DbError::dimension_mismatch(dimensions_, cols);
  check_matrix(data, ids.size(), cols);
  if (ids.empty()) return ok();
  insert_parallel(assign_nodes(ids), data, num_threads, micro_batch_size, launch);
  return ok();
}

void HnswIndex::insert_parallel(const std::vector<HnswNode>& nodes, std::span<const float> data,
                                std::size_t num_threads, std::size_t micro_batch_size,
                                const WorkerPool::Launcher& launch) {
  const std::size_t rows = nodes.size();
  const std::size_t cols = dimensions_;
  const std::size_t micro = micro_batch_size == 0 ? kDefaultMicroBatch : micro_batch_size;
  const std::size_t threads = num_threads == 0 ? available_processors() : num_threads;
  const auto row = [&](std::size_t i) { return data.data() + i * cols; };

  // The call's own scratch; the index's scratch is left for searches after the call.
  HnswSearchScratch scratch;
  scratch.cover(graph_.node_count());
  const std::size_t first = std::min(rows, micro);
  for (std::size_t i = 0; i < first; ++i) graph_.insert(nodes[i], row(i), scratch);
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
    for (std::size_t i = first; i < rows; ++i) graph_.insert(nodes[i], row(i), scratch);
    return;
  }

  // Per worker one scratch, reused across rows: epoch stamps make a used scratch search exactly
  // like a fresh one. Per row slot the candidate lists, reused across micro-batches.
  const std::size_t slots = most;
  std::vector<HnswSearchScratch> worker_scratch(pool->size());
  std::vector<std::uint64_t> levels(slots);
  std::vector<std::vector<HnswPair>> candidates(slots);
  std::vector<std::vector<std::uint32_t>> layer_ends(slots);
  std::vector<std::vector<float>> reverse0(slots);
  const std::size_t node_count = graph_.node_count();
  for (std::size_t offset = first; offset < rows; offset += micro) {
    const std::size_t batch = std::min(slots, rows - offset);
    for (std::size_t j = 0; j < batch; ++j) levels[j] = graph_.draw_level();
    for (std::size_t j = 0; j < batch; ++j) {
      graph_.store(nodes[offset + j], row(offset + j), levels[j]);
    }
    // The graph is only read while the pool runs; each task writes its own row slot.
    const HnswGraph& graph = graph_;
    pool->run(batch, [&](std::size_t j, std::size_t worker) {
      HnswSearchScratch& s = worker_scratch[worker];
      s.cover(node_count);
      graph.collect_candidates(nodes[offset + j], levels[j], s, candidates[j], layer_ends[j],
                               reverse0[j]);
    });
    for (std::size_t j = 0; j < batch; ++j) {
      const std::vector<std::uint32_t>& ends = layer_ends[j];
      if (ends.empty()) continue;
      const HnswNode node = nodes[offset + j];
      const std::span<const HnswPair> all(candidates[j]);
      for (std::size_t l = 0; l < ends.size(); ++l) {
        const std::size_t begin = l + 1 < ends.size() ? ends[l + 1] : 0;
        graph_.link_layer(node, l, all.subspan(begin, ends[l] - begin),
                          l == 0 ? std::span<const float>(reverse0[j]) : std::span<const float>());
      }
      graph_.promote_if_higher(node, levels[j]);
    }
  }
}

Result<std::vector<SearchHit>> HnswIndex::search(std::span<const float> query,
                                                 std::size_t k) const {
  if (query.size() != dimensions_) return DbError::dimension_mismatch(dimensions_, query.size());
  if (k == 0 || graph_.count() == 0) return std::vector<SearchHit>{};
  std::lock_guard lock(scratch_mutex_);
  const std::optional<HnswNode> entry = graph_.entry_point();
  if (!entry) return std::vector<SearchHit>{};
  const float* q = query.data();
  HnswNode ep = *entry;
  for (std::size_t l = graph_.level(ep); l >= 1; --l) ep = graph_.greedy_closest(q, ep, l);
  const std::span<const HnswPair> w =
      graph_.search_layer(q, ep, std::max(ef_search_, k), 0, scratch_);
  const std::size_t n = std::min(k, w.size());
  std::vector<SearchHit> hits;
  hits.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const float d = metric_ == Metric::L2 ? std::sqrt(w[i].distance) : w[i].distance;
    hits.push_back({graph_.id_of(w[i].node), d});
  }
  return hits;
}

bool HnswIndex::remove(std::uint64_t id) {
  const std::optional<HnswNode> node = graph_.find_node(id);
  return node && graph_.remove(*node);
}

std::unique_ptr<IndexIterator> HnswIndex::iter() const {
  return std::make_unique<HnswIndexIterator>(graph_);
}

Result<> HnswIndex::save(const std::string& path) const {
  if (graph_.count() == 0) return ok();
  SORVEL_ASSIGN_OR_RETURN(AtomicFileWriter file, AtomicFileWriter::create(path));
  Encoder out = Encoder::to_fd(file.fd());
  graph_.encode(out);
  SORVEL_TRY(out.finish());
  return file.commit();
}

Result<> HnswIndex::load(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return ok();
  SORVEL_ASSIGN_OR_RETURN(const MappedFile map, MappedFile::open(path));
  Decoder in = Decoder::from_memory(map.bytes());
  SORVEL_ASSIGN_OR_RETURN(HnswGraphSnapshot snapshot, HnswGraph::decode_snapshot(in));
  SORVEL_ASSIGN_OR_RETURN(HnswGraph graph,
                          HnswGraph::from_snapshot(std::move(snapshot), dimensions_, metric_));
  graph_ = std::move(graph);
  scratch_.cover(graph_.node_count());
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
  std::optional<DbError> refusal;
  {
    SORVEL_ASSIGN_OR_RETURN(const UniqueFd fd, open_read(path));
    Decoder in = Decoder::from_fd(fd.get());
    Result<FileHeader> header = decode_header(in);
    if (header) {
      Result<HnswGraphSnapshot> snapshot = HnswGraph::decode_snapshot(in);
      if (snapshot) {
        Result<HnswGraph> graph = HnswGraph::from_snapshot(std::move(*snapshot),
                                                           header->dimensions, header->metric);
        if (graph) {
          HnswIndex index(header->dimensions, header->metric, header->ef_construction,
                          header->ef_search, header->m);
          index.graph_ = std::move(*graph);
          index.scratch_.cover(index.graph_.node_count());
          return index;
        }
        refusal = graph.error();
      }
    }
  }

  // The older layout: header, an unused u64, then (id, vector) entries that are inserted again.
  SORVEL_ASSIGN_OR_RETURN(const UniqueFd fd, open_read(path));
  Decoder in = Decoder::from_fd(fd.get());
  const auto older = [&]() -> Result<HnswIndex> {
    SORVEL_ASSIGN_OR_RETURN(const FileHeader h, decode_header(in));
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
                                              vector.size(), " values, expected ",
                                              h.dimensions));
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
    for (const IndexItem& item : items) {
      const HnswNode node = index.graph_.node_for(item.id);
      index.scratch_.cover(index.graph_.node_count());
      index.graph_.insert(node, item.vector.data(), index.scratch_);
    }
    return index;
  };
  Result<HnswIndex> result = older();
  if (!result && refusal) return *refusal;
  return result;
}

}  // namespace sorvel
