#include "index/hnsw/hnsw_graph.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "distance/distance.h"
#include "posix_file.h"
#include "random.h"
#include "str_cat.h"

namespace sorvel {

namespace {

// Neighbours are gathered, measured and admitted in chunks of this many nodes, so any list length
// is safe without allocating. Chunking gives the same result as one pass over the whole list: a
// chunk's admissions touch only the heaps, never the visited stamps that the next chunk reads.
constexpr std::size_t kChunk = 64;

// Cache lines of a vector row prefetched ahead of its distance.
constexpr std::size_t kPrefetchLines = 4;

// Layer-0 row slots ahead of the neighbours: the count.
constexpr std::size_t kRowHeader = 1;

// Memory of a node beside its two rows: level, live byte, id, the upper lists' vector and its entry
// in the id map.
constexpr std::uint64_t kNodeOverheadBytes = 72;

// The largest layer-0 limit whose row (count, m_max0 + 1 slots) is indexable with 32-bit counts.
constexpr std::uint64_t kMaxLayer0Limit = std::numeric_limits<std::uint32_t>::max() - 2;

bool min_first(const HnswPair& a, const HnswPair& b) { return hnsw_pair_less(b, a); }

// Asks for the first cache lines of a row, so the distance kernel finds them on its way.
inline void prefetch_row(const float* row, std::size_t bytes) {
  const char* p = reinterpret_cast<const char*>(row);
  const std::size_t lines = std::min<std::size_t>((bytes + 63) / 64, kPrefetchLines);
  for (std::size_t i = 0; i < lines; ++i) __builtin_prefetch(p + 64 * i);
}

// a * b, or bad_alloc when the product does not fit a size (no array that large can exist).
std::size_t checked_mul(std::size_t a, std::size_t b) {
  std::size_t out;
  if (__builtin_mul_overflow(a, b, &out)) throw std::bad_alloc();
  return out;
}

// bad_alloc when a x b does not fit a size: an array of that many elements cannot exist, and an
// element count computed by a wrapped product would be too small.
void check_product(std::size_t a, std::size_t b) { (void)checked_mul(a, b); }

// Room for `extra` more elements with geometric growth, so single appends stay amortised O(1).
template <class Vector>
void grow_for(Vector& v, std::size_t extra) {
  const std::size_t needed = v.size() + extra;
  if (needed < v.size()) throw std::bad_alloc();
  if (needed > v.capacity()) v.reserve(std::max(needed, 2 * v.capacity()));
}

std::uint64_t physical_memory_bytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::uint64_t>::max();
  std::uint64_t out;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(pages),
                             static_cast<std::uint64_t>(page_size), &out)) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return out;
}

}  // namespace

HnswGraph::HnswGraph(std::size_t dims, Metric metric, std::size_t m, std::size_t m_max0,
                     std::size_t ef_construction, double level_mult)
    : dims_(dims),
      metric_(metric),
      m_(m),
      m_max0_(m_max0),
      stride0_(m_max0 <= kMaxLayer0Limit ? m_max0 + 1 + kRowHeader : 0),
      ef_construction_(ef_construction),
      level_mult_(level_mult) {}

HnswNode HnswGraph::node_for(std::uint64_t id) {
  if (const auto found = find_node(id)) return *found;
  if (stride0_ == 0 || ids_.size() >= std::numeric_limits<HnswNode>::max()) {
    throw std::bad_alloc();
  }
  const std::size_t n = ids_.size();
  // Every allocation happens before the first change, so a failure leaves the graph as it was.
  check_product(n + 1, dims_);
  check_product(n + 1, stride0_);
  grow_for(vectors_, dims_);
  grow_for(layer0_, stride0_);
  grow_for(levels_, 1);
  grow_for(upper_, 1);
  grow_for(live_, 1);
  grow_for(ids_, 1);
  const HnswNode node = static_cast<HnswNode>(n);
  node_of_id_.emplace(id, node);
  vectors_.resize(vectors_.size() + dims_, 0.0f);
  layer0_.resize(layer0_.size() + stride0_, 0);
  levels_.push_back(0);
  upper_.emplace_back();
  live_.push_back(0);
  ids_.push_back(id);
  return node;
}

void HnswGraph::reserve(std::size_t n) {
  const std::size_t total = ids_.size() + n;
  if (total < n) throw std::bad_alloc();
  vectors_.reserve(checked_mul(total, dims_));
  layer0_.reserve(checked_mul(total, stride0_));
  levels_.reserve(total);
  upper_.reserve(total);
  live_.reserve(total);
  ids_.reserve(total);
  node_of_id_.reserve(total);
}

std::uint64_t HnswGraph::draw_level() const {
  const std::uint64_t x = thread_random_u64();
  const double u = static_cast<double>(x >> 11) * 0x1.0p-53;
  const double v = std::floor(-std::log(std::max(u, 1e-15)) * level_mult_);
  // Negative and NaN give 0; anything from kMaxLevel up (infinity included) gives kMaxLevel.
  if (!(v >= 0.0)) return 0;
  if (v >= static_cast<double>(kMaxLevel)) return kMaxLevel;
  return static_cast<std::uint64_t>(v);
}

void HnswGraph::insert(HnswNode node, const float* vector, HnswSearchScratch& scratch) {
  insert_at_level(node, vector, draw_level(), scratch);
}

void HnswGraph::insert_at_level(HnswNode node, const float* vector, std::uint64_t level,
                                HnswSearchScratch& scratch) {
  level = std::min(level, kMaxLevel);
  store(node, vector, level);
  HnswLinkPlan& plan = scratch.plan;
  choose_neighbors(node, level, scratch, plan);
  link(node, level, plan, scratch);
  promote_if_higher(node, level);
}

void HnswGraph::store(HnswNode node, const float* vector, std::uint64_t level) {
  level = std::min(level, kMaxLevel);
  std::copy_n(vector, dims_, vectors_.data() + static_cast<std::size_t>(node) * dims_);
  const std::uint8_t old_level = levels_[node];
  levels_[node] = static_cast<std::uint8_t>(level);
  if (live_[node] == 0) {
    live_[node] = 1;
    ++count_;
  }
  // An entry point stored lower would hide the layers above its new level from every descent.
  if (entry_point_ == node && level < old_level) elect_entry_point();
}

void HnswGraph::choose_neighbors(HnswNode node, std::uint64_t level, HnswSearchScratch& scratch,
                                 HnswLinkPlan& plan) const {
  plan.pairs.clear();
  plan.layer_ends.clear();
  if (!entry_point_) return;
  level = std::min(level, kMaxLevel);
  const float* query = row(node);
  HnswNode ep = *entry_point_;
  const std::uint64_t top = levels_[ep];
  for (std::uint64_t l = top; l > level; --l) ep = greedy_closest(query, ep, l);
  const std::uint64_t highest = std::min(top, level);
  plan.layer_ends.resize(highest + 1);
  for (std::uint64_t l = highest + 1; l-- > 0;) {
    const std::span<const HnswPair> w = search_layer(query, ep, ef_construction_, l, scratch);
    const std::size_t limit = l == 0 ? std::min(m_, m_max0_) : m_;
    select_neighbors(w, limit, node, plan.pairs);
    plan.layer_ends[l] = static_cast<std::uint32_t>(plan.pairs.size());
    // The node itself can be found through lists that name it from an earlier insert; its own
    // lists are about to be replaced, so the next layer starts from the nearest other node.
    for (const HnswPair& p : w) {
      if (p.node != node) {
        ep = p.node;
        break;
      }
    }
  }
}

void HnswGraph::select_neighbors(std::span<const HnswPair> candidates, std::size_t limit,
                                 HnswNode exclude, std::vector<HnswPair>& out) const {
  const std::size_t begin = out.size();
  float dist[4];
  for (const HnswPair& c : candidates) {
    if (out.size() - begin >= limit) break;
    if (c.node == exclude) continue;
    const float* v = row(c.node);
    bool keep = true;
    std::size_t k = begin;
    for (; keep && k + 4 <= out.size(); k += 4) {
      const float* rows[4] = {row(out[k].node), row(out[k + 1].node), row(out[k + 2].node),
                              row(out[k + 3].node)};
      distance_batch4(metric_, v, rows, dims_, dist);
      for (const float d : dist) keep = keep && !distance_less(d, c.distance);
    }
    for (; keep && k < out.size(); ++k) {
      keep = !distance_less(distance_squared(metric_, v, row(out[k].node), dims_), c.distance);
    }
    if (keep) out.push_back(c);
  }
}

std::vector<HnswNode>& HnswGraph::upper_list(HnswNode node, std::size_t layer) {
  auto& lists = upper_[node];
  if (lists.size() < layer) lists.resize(layer);
  return lists[layer - 1];
}

void HnswGraph::set_lists(HnswNode node, std::uint64_t level, const HnswLinkPlan& plan) {
  level = std::min(level, kMaxLevel);
  std::uint32_t* own = row0(node);
  own[0] = 0;
  if (plan.layers() > 0) {
    const std::span<const HnswPair> chosen = plan.layer(0);
    own[0] = static_cast<std::uint32_t>(chosen.size());
    for (std::size_t i = 0; i < chosen.size(); ++i) own[kRowHeader + i] = chosen[i].node;
  }
  std::vector<std::vector<HnswNode>> lists(level);
  const std::size_t room = std::min<std::size_t>(m_ + 1, kChunk);
  for (std::size_t l = 1; l <= level; ++l) {
    std::vector<HnswNode>& list = lists[l - 1];
    list.reserve(room);
    if (l < plan.layers()) {
      for (const HnswPair& p : plan.layer(l)) list.push_back(p.node);
    }
  }
  upper_[node] = std::move(lists);
}

void HnswGraph::add_link(HnswNode owner, std::size_t layer, HnswNode node,
                         HnswSearchScratch& scratch) {
  if (layer == 0) {
    // At rest a row holds at most m_max0 entries, so the spare slot takes the back-link.
    std::uint32_t* row = row0(owner);
    HnswNode* list = row + kRowHeader;
    std::size_t size = row[0];
    list[size++] = node;
    if (size > m_max0_) size = reselect(owner, list, size, m_max0_, scratch);
    row[0] = static_cast<std::uint32_t>(size);
    return;
  }
  std::vector<HnswNode>& list = upper_list(owner, layer);
  list.push_back(node);
  if (list.size() > m_) list.resize(reselect(owner, list.data(), list.size(), m_, scratch));
}

void HnswGraph::link(HnswNode node, std::uint64_t level, const HnswLinkPlan& plan,
                     HnswSearchScratch& scratch) {
  set_lists(node, level, plan);
  for (std::size_t l = 0; l < plan.layers(); ++l) {
    for (const HnswPair& p : plan.layer(l)) {
      if (p.node != node) add_link(p.node, l, node, scratch);
    }
  }
}

std::size_t HnswGraph::reselect(HnswNode owner, HnswNode* list, std::size_t size, std::size_t limit,
                                HnswSearchScratch& scratch) {
  std::vector<HnswPair>& pool = scratch.pool;
  pool.clear();
  for (std::size_t i = 0; i < size; ++i) {
    const HnswNode v = list[i];
    if (live_[v] != 0 && v != owner) pool.push_back({0.0f, v});
  }
  // Dropping the non-live entries (and a name of the owner itself) may be enough: then every live
  // entry stays, in its order.
  if (pool.size() <= limit) {
    for (std::size_t i = 0; i < pool.size(); ++i) list[i] = pool[i].node;
    return pool.size();
  }
  const std::size_t row_bytes = dims_ * sizeof(float);
  for (const HnswPair& p : pool) prefetch_row(row(p.node), row_bytes);
  measure(row(owner), pool);
  std::sort(pool.begin(), pool.end(), hnsw_pair_less);
  std::vector<HnswPair>& chosen = scratch.chosen;
  chosen.clear();
  select_neighbors(pool, limit, owner, chosen);
  for (std::size_t c = 0; c < chosen.size(); ++c) list[c] = chosen[c].node;
  return chosen.size();
}

void HnswGraph::promote_if_higher(HnswNode node, std::uint64_t level) {
  if (!entry_point_ || std::min(level, kMaxLevel) > levels_[*entry_point_]) entry_point_ = node;
}

void HnswGraph::measure(const float* query, std::vector<HnswPair>& pairs) const {
  std::size_t i = 0;
  float dist[4];
  for (; i + 4 <= pairs.size(); i += 4) {
    const float* rows[4] = {row(pairs[i].node), row(pairs[i + 1].node), row(pairs[i + 2].node),
                            row(pairs[i + 3].node)};
    distance_batch4(metric_, query, rows, dims_, dist);
    for (std::size_t j = 0; j < 4; ++j) pairs[i + j].distance = dist[j];
  }
  for (; i < pairs.size(); ++i) {
    pairs[i].distance = distance_squared(metric_, query, row(pairs[i].node), dims_);
  }
}

std::uint32_t HnswGraph::next_epoch(HnswSearchScratch& scratch) {
  if (++scratch.epoch == 0) {
    std::fill(scratch.visited.begin(), scratch.visited.end(), 0u);
    scratch.epoch = 1;
  }
  return scratch.epoch;
}

void HnswGraph::compute_distances(const float* query, const HnswNode* nodes, std::size_t n,
                                  float* out) const {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const float* rows[4] = {row(nodes[i]), row(nodes[i + 1]), row(nodes[i + 2]), row(nodes[i + 3])};
    distance_batch4(metric_, query, rows, dims_, out + i);
  }
  for (; i < n; ++i) out[i] = distance_squared(metric_, query, row(nodes[i]), dims_);
}

std::span<const HnswNode> HnswGraph::neighbors(HnswNode node, std::size_t layer) const {
  if (layer == 0) {
    const std::uint32_t* r = row0(node);
    return {r + kRowHeader, r[0]};
  }
  const auto& lists = upper_[node];
  if (lists.size() < layer) return {};
  return lists[layer - 1];
}

HnswNode HnswGraph::greedy_closest(const float* query, HnswNode start, std::size_t layer) const {
  HnswNode cur = start;
  float best = distance_squared(metric_, query, row(cur), dims_);
  float dist[kChunk];
  for (;;) {
    const std::span<const HnswNode> list = neighbors(cur, layer);
    bool moved = false;
    // Distances do not depend on `best`, so measuring a chunk before walking it changes nothing.
    for (std::size_t start_at = 0; start_at < list.size(); start_at += kChunk) {
      const std::size_t n = std::min(kChunk, list.size() - start_at);
      compute_distances(query, list.data() + start_at, n, dist);
      for (std::size_t i = 0; i < n; ++i) {
        if (distance_less(dist[i], best)) {
          best = dist[i];
          cur = list[start_at + i];
          moved = true;
        }
      }
    }
    if (!moved) return cur;
  }
}

std::span<const HnswPair> HnswGraph::search_layer(const float* query, HnswNode entry,
                                                  std::size_t ef, std::size_t layer,
                                                  HnswSearchScratch& scratch) const {
  (void)walk_layer</*kBudgeted=*/false>(query, entry, ef, layer, scratch, 0,
                                        [](HnswNode) { return true; });
  return scratch.results;
}

std::optional<std::span<const HnswPair>> HnswGraph::search_filtered(
    const float* query, HnswNode entry, std::size_t ef, std::size_t budget, const IdFilter& accept,
    HnswSearchScratch& scratch) const {
  const bool finished = walk_layer</*kBudgeted=*/true>(query, entry, ef, 0, scratch, budget,
                                                       [&](HnswNode v) { return accept(ids_[v]); });
  if (!finished) return std::nullopt;
  return std::span<const HnswPair>(scratch.results);
}

template <bool kBudgeted, class Admit>
bool HnswGraph::walk_layer(const float* query, HnswNode entry, std::size_t ef, std::size_t layer,
                           HnswSearchScratch& scratch, std::size_t budget,
                           const Admit& admit) const {
  ef = std::max<std::size_t>(ef, 1);
  const std::uint32_t epoch = next_epoch(scratch);
  std::uint32_t* visited = scratch.visited.data();
  std::vector<HnswPair>& candidates = scratch.candidates;
  std::vector<HnswPair>& results = scratch.results;
  candidates.clear();
  results.clear();

  const float* base = vectors_.data();
  const std::uint8_t* live = live_.data();
  visited[entry] = epoch;
  const float d0 = distance_squared(metric_, query, row(entry), dims_);
  candidates.push_back({d0, entry});
  if (live[entry] != 0 && admit(entry)) results.push_back({d0, entry});
  std::size_t measured = 1;

  // Non-live nodes, and those `admit` refuses, are candidates like any other, so they lead on to
  // their neighbours, but only live admitted ones enter `results`. Until `results` is full every
  // reachable node is admitted, so a search wide enough finds every live node that any path
  // reaches.
  HnswNode buffer[kChunk];
  float dist[kChunk];
  const std::size_t row_bytes = dims_ * sizeof(float);
  if (layer == 0) __builtin_prefetch(row0(entry));
  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end(), min_first);
    const HnswPair c = candidates.back();
    candidates.pop_back();
    const bool full = results.size() >= ef;
    float worst = results.empty() ? 0.0f : results.front().distance;
    if (full && distance_less(worst, c.distance)) break;

    const HnswNode* list;
    std::size_t len;
    if (layer == 0) {
      const std::uint32_t* r = row0(c.node);
      len = r[0];
      list = r + kRowHeader;
    } else {
      const auto& lists = upper_[c.node];
      if (lists.size() < layer) continue;
      list = lists[layer - 1].data();
      len = lists[layer - 1].size();
    }

    // The stamps of the whole list are fetched before any is read.
    for (std::size_t i = 0; i < len; ++i) __builtin_prefetch(visited + list[i]);
    std::size_t i = 0;
    while (i < len) {
      std::size_t n = 0;
      for (; i < len && n < kChunk; ++i) {
        const HnswNode v = list[i];
        if (visited[v] == epoch) continue;
        visited[v] = epoch;
        buffer[n++] = v;
        prefetch_row(base + static_cast<std::size_t>(v) * dims_, row_bytes);
      }
      compute_distances(query, buffer, n, dist);
      if constexpr (kBudgeted) {
        measured += n;
        if (measured > budget) return false;
      }
      for (std::size_t j = 0; j < n; ++j) {
        if (results.size() < ef || distance_less(dist[j], worst)) {
          const HnswNode v = buffer[j];
          candidates.push_back({dist[j], v});
          std::push_heap(candidates.begin(), candidates.end(), min_first);
          // An admitted node is likely to be expanded: its layer-0 row is fetched early.
          if (layer == 0) __builtin_prefetch(row0(v));
          if (live[v] != 0 && admit(v)) {
            results.push_back({dist[j], v});
            std::push_heap(results.begin(), results.end(), hnsw_pair_less);
            if (results.size() > ef) {
              std::pop_heap(results.begin(), results.end(), hnsw_pair_less);
              results.pop_back();
            }
            worst = results.front().distance;
          }
        }
      }
    }
    // The next expansion's layer-0 row is fetched while this iteration ends.
    if (layer == 0 && !candidates.empty()) __builtin_prefetch(row0(candidates.front().node));
  }
  std::sort_heap(results.begin(), results.end(), hnsw_pair_less);
  return true;
}

bool HnswGraph::remove(HnswNode node) {
  if (node >= ids_.size() || live_[node] == 0) return false;
  live_[node] = 0;
  --count_;
  if (entry_point_ == node) elect_entry_point();
  return true;
}

void HnswGraph::repair_lists(HnswNode node, HnswSearchScratch& scratch) {
  std::vector<HnswNode>& repaired = scratch.repaired;
  const std::size_t layers = upper_[node].size();
  for (std::size_t l = 0; l <= layers; ++l) {
    const std::span<const HnswNode> list = neighbors(node, l);
    if (std::all_of(list.begin(), list.end(), [&](HnswNode e) { return live_[e] != 0; })) continue;
    saved_neighbors(node, l, scratch, repaired);
    if (l == 0) {
      std::uint32_t* own = row0(node);
      const std::size_t size = std::min(repaired.size(), m_max0_);
      own[0] = static_cast<std::uint32_t>(size);
      std::copy_n(repaired.begin(), size, own + kRowHeader);
    } else {
      upper_[node][l - 1].assign(repaired.begin(), repaired.end());
    }
  }
}

std::size_t HnswGraph::drop_non_live() {
  const std::size_t old_count = ids_.size();
  if (count_ == old_count) return 0;
  constexpr HnswNode kDropped = std::numeric_limits<HnswNode>::max();
  // Every allocation comes first, so a failure leaves the graph as it was.
  std::vector<HnswNode> new_of(old_count, kDropped);
  ScanVector<float> vectors;
  vectors.reserve(count_ * dims_);
  std::vector<std::uint32_t> layer0(count_ * stride0_, 0);
  std::vector<std::uint8_t> levels;
  levels.reserve(count_);
  std::vector<std::vector<std::vector<HnswNode>>> upper;
  upper.reserve(count_);
  std::vector<std::uint64_t> ids;
  ids.reserve(count_);
  std::unordered_map<std::uint64_t, HnswNode> node_of_id;
  node_of_id.reserve(count_);
  for (std::size_t n = 0; n < old_count; ++n) {
    if (live_[n] == 0) continue;
    const auto fresh = static_cast<HnswNode>(ids.size());
    new_of[n] = fresh;
    ids.push_back(ids_[n]);
    node_of_id.emplace(ids_[n], fresh);
  }
  std::vector<std::uint8_t> live(count_, 1);

  for (std::size_t n = 0; n < old_count; ++n) {
    const HnswNode fresh = new_of[n];
    if (fresh == kDropped) continue;
    const float* src = row(static_cast<HnswNode>(n));
    vectors.insert(vectors.end(), src, src + dims_);
    levels.push_back(levels_[n]);
    const std::uint32_t* from = row0(static_cast<HnswNode>(n));
    std::uint32_t* to = layer0.data() + static_cast<std::size_t>(fresh) * stride0_;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < from[0]; ++i) {
      const HnswNode v = new_of[from[kRowHeader + i]];
      if (v != kDropped) to[kRowHeader + kept++] = v;
    }
    to[0] = static_cast<std::uint32_t>(kept);
    upper.push_back(std::move(upper_[n]));
    for (std::vector<HnswNode>& list : upper.back()) {
      std::size_t out = 0;
      for (const HnswNode e : list) {
        const HnswNode v = new_of[e];
        if (v != kDropped) list[out++] = v;
      }
      list.resize(out);
    }
  }
  const std::optional<HnswNode> entry =
      entry_point_ && new_of[*entry_point_] != kDropped
          ? std::optional<HnswNode>(new_of[*entry_point_])
          : std::nullopt;
  vectors_ = std::move(vectors);
  layer0_ = std::move(layer0);
  levels_ = std::move(levels);
  upper_ = std::move(upper);
  live_ = std::move(live);
  ids_ = std::move(ids);
  node_of_id_ = std::move(node_of_id);
  entry_point_ = entry;
  if (!entry_point_) elect_entry_point();
  return old_count - count_;
}

void HnswGraph::link_unnamed() {
  const std::size_t n = ids_.size();
  std::vector<std::uint32_t> named(n, 0);
  for (std::size_t u = 0; u < n; ++u) {
    for (const HnswNode v : neighbors(static_cast<HnswNode>(u), 0)) ++named[v];
  }
  const auto nearest = [&](HnswNode base, std::span<const HnswNode> list, auto&& eligible,
                           bool farthest) {
    std::optional<HnswNode> best;
    float best_distance = 0.0f;
    for (const HnswNode v : list) {
      if (v == base || !eligible(v)) continue;
      const float d = distance_squared(metric_, row(base), row(v), dims_);
      if (!best || (farthest ? distance_less(best_distance, d) : distance_less(d, best_distance))) {
        best = v;
        best_distance = d;
      }
    }
    return best;
  };
  for (std::size_t u = 0; u < n; ++u) {
    const auto node = static_cast<HnswNode>(u);
    if (named[u] != 0 || entry_point_ == node) continue;
    const std::optional<HnswNode> owner =
        nearest(node, neighbors(node, 0), [](HnswNode) { return true; }, false);
    if (!owner) continue;
    std::uint32_t* r = row0(*owner);
    HnswNode* list = r + kRowHeader;
    if (r[0] < m_max0_) {
      list[r[0]++] = node;
      ++named[u];
      continue;
    }
    const std::optional<HnswNode> out = nearest(
        *owner, std::span<const HnswNode>(list, r[0]), [&](HnswNode v) { return named[v] > 1; },
        true);
    if (!out) continue;
    *std::find(list, list + r[0], *out) = node;
    --named[*out];
    ++named[u];
  }
}

void HnswGraph::elect_entry_point() {
  entry_point_.reset();
  for (std::size_t n = 0; n < ids_.size(); ++n) {
    if (live_[n] == 0) continue;
    if (entry_point_) {
      const std::uint8_t best = levels_[*entry_point_];
      if (levels_[n] < best || (levels_[n] == best && ids_[n] < ids_[*entry_point_])) continue;
    }
    entry_point_ = static_cast<HnswNode>(n);
  }
}

void HnswGraph::saved_neighbors(HnswNode node, std::size_t layer, HnswSearchScratch& scratch,
                                std::vector<HnswNode>& out) const {
  out.clear();
  const std::span<const HnswNode> list = neighbors(node, layer);
  for (const HnswNode e : list) {
    if (live_[e] != 0) out.push_back(e);
  }
  if (out.size() == list.size()) return;
  // The deleted entries led on to their own neighbours: live ones that the list lacks fill the
  // room they leave (up to the layer's limit), so the list keeps paths through where they stood.
  const std::uint32_t epoch = next_epoch(scratch);
  std::uint32_t* visited = scratch.visited.data();
  visited[node] = epoch;
  for (const HnswNode e : list) visited[e] = epoch;
  std::vector<HnswPair>& pool = scratch.pool;
  pool.clear();
  for (const HnswNode e : list) {
    if (live_[e] != 0) continue;
    for (const HnswNode v : neighbors(e, layer)) {
      if (live_[v] == 0 || visited[v] == epoch) continue;
      visited[v] = epoch;
      pool.push_back({0.0f, v});
      prefetch_row(row(v), dims_ * sizeof(float));
    }
  }
  measure(row(node), pool);
  // First the candidates that no entry kept so far is closer to than `node` is (the selection
  // rule, with the live entries kept as they are), nearest first, then the nearest of the rest:
  // filling with the nearest alone crowds the list into one direction (after a reclaim of a third
  // of the nodes, walking on through deleted neighbours of deleted entries, recall fell from 1.00
  // to 0.96 that way).
  std::sort(pool.begin(), pool.end(), hnsw_pair_less);
  const std::size_t limit = std::max(layer == 0 ? m_max0_ : m_, list.size());
  std::vector<HnswPair>& passed_over = scratch.chosen;
  passed_over.clear();
  for (const HnswPair& c : pool) {
    if (out.size() >= limit) break;
    const float* v = row(c.node);
    bool keep = true;
    for (std::size_t k = 0; keep && k < out.size(); ++k) {
      keep = !distance_less(distance_squared(metric_, v, row(out[k]), dims_), c.distance);
    }
    if (keep) {
      out.push_back(c.node);
    } else {
      passed_over.push_back(c);
    }
  }
  for (std::size_t i = 0; i < passed_over.size() && out.size() < limit; ++i) {
    out.push_back(passed_over[i].node);
  }
}

HnswGraphSnapshot HnswGraph::to_snapshot() const {
  HnswGraphSnapshot out;
  out.nodes.reserve(count_);
  HnswSearchScratch scratch;
  scratch.cover(ids_.size());
  std::vector<HnswNode> list;
  for (std::size_t n = 0; n < ids_.size(); ++n) {
    if (live_[n] == 0) continue;
    const HnswNode node = static_cast<HnswNode>(n);
    HnswNodeSnapshot rec;
    rec.id = ids_[n];
    const std::span<const float> row = vector(node);
    rec.vector.assign(row.begin(), row.end());
    rec.level = levels_[n];
    rec.neighbors.resize(rec.level + 1);
    for (std::size_t l = 0; l <= rec.level; ++l) {
      saved_neighbors(node, l, scratch, list);
      for (const HnswNode v : list) rec.neighbors[l].push_back(ids_[v]);
    }
    out.nodes.push_back(std::move(rec));
  }
  if (entry_point_) out.entry_point = ids_[*entry_point_];
  out.m = m_;
  out.m_max0 = m_max0_;
  out.ef_construction = ef_construction_;
  out.level_mult = level_mult_;
  return out;
}

// The graph record, fields in order:
//   u64 N, then N node records:
//     u64 id | u64 V, V x f32 vector | u64 L, L lists (u64 count, count x u64 ids), layer 0 first |
//     u64 level
//   u8 entry tag (0 absent, 1 present) [+ u64 entry id] | u64 m | u64 m_max0 | u64 ef_construction
//   | f64 level_mult
// An empty graph is 1 + 8 * 5 = 41 bytes without an entry point.
void HnswGraph::encode(Encoder& out) const {
  HnswSearchScratch scratch;
  scratch.cover(ids_.size());
  std::vector<HnswNode> list;
  out.length(count_);
  for (std::size_t n = 0; n < ids_.size(); ++n) {
    if (live_[n] == 0) continue;
    const HnswNode node = static_cast<HnswNode>(n);
    out.u64(ids_[n]);
    out.f32_seq(vector(node));
    const std::size_t level = levels_[n];
    out.length(level + 1);
    for (std::size_t l = 0; l <= level; ++l) {
      saved_neighbors(node, l, scratch, list);
      out.length(list.size());
      for (const HnswNode v : list) out.u64(ids_[v]);
    }
    out.u64(level);
  }
  out.option_tag(entry_point_.has_value());
  if (entry_point_) out.u64(ids_[*entry_point_]);
  out.u64(m_);
  out.u64(m_max0_);
  out.u64(ef_construction_);
  out.f64(level_mult_);
}

namespace {

// The fields of a graph record after its nodes: the entry point and the settings.
Result<> decode_record_tail(Decoder& in, HnswGraphSnapshot& out) {
  SORVEL_ASSIGN_OR_RETURN(const bool has_entry, in.option_tag());
  if (has_entry) {
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t entry, in.u64());
    out.entry_point = entry;
  }
  SORVEL_ASSIGN_OR_RETURN(out.m, in.u64());
  SORVEL_ASSIGN_OR_RETURN(out.m_max0, in.u64());
  SORVEL_ASSIGN_OR_RETURN(out.ef_construction, in.u64());
  SORVEL_ASSIGN_OR_RETURN(out.level_mult, in.f64());
  return ok();
}

}  // namespace

Result<HnswGraphSnapshot> HnswGraph::decode_snapshot(Decoder& in) {
  HnswGraphSnapshot out;
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t n, in.length());
  out.nodes.reserve(Decoder::reserve_count(n, sizeof(HnswNodeSnapshot)));
  for (std::uint64_t i = 0; i < n; ++i) {
    HnswNodeSnapshot rec;
    SORVEL_ASSIGN_OR_RETURN(rec.id, in.u64());
    SORVEL_ASSIGN_OR_RETURN(rec.vector, in.f32_seq());
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t lists, in.length());
    rec.neighbors.reserve(Decoder::reserve_count(lists, sizeof(std::vector<std::uint64_t>)));
    for (std::uint64_t l = 0; l < lists; ++l) {
      SORVEL_ASSIGN_OR_RETURN(std::vector<std::uint64_t> list, in.u64_seq());
      rec.neighbors.push_back(std::move(list));
    }
    SORVEL_ASSIGN_OR_RETURN(rec.level, in.u64());
    out.nodes.push_back(std::move(rec));
  }
  SORVEL_TRY(decode_record_tail(in, out));
  return out;
}

Result<> HnswGraph::check_settings(std::uint64_t m, std::uint64_t m_max0,
                                   std::uint64_t ef_construction, double level_mult) {
  const auto refuse = [](const char* name, auto value) {
    return DbError::serialization(
        str_cat("HNSW graph setting ", name, " of ", value, " is beyond what an index can use"));
  };
  if (m > kMaxLoadedLinks) return refuse("m", m);
  if (m_max0 > kMaxLoadedLinks) return refuse("m_max0", m_max0);
  if (ef_construction > kMaxLoadedWidth) return refuse("ef_construction", ef_construction);
  if (!(level_mult >= 0.0 && level_mult <= kMaxLoadedLevelMult)) {
    return refuse("level_mult", level_mult);
  }
  return ok();
}

namespace {

// One neighbour list of a loaded record: `size` little-endian u64 ids at `data` (not aligned).
struct LoadedList {
  const std::uint8_t* data;
  std::size_t size;
  std::uint64_t operator[](std::size_t k) const {
    std::uint64_t id;
    std::memcpy(&id, data + 8 * k, 8);
    return id;
  }
};

// The records of a decoded snapshot, as HnswGraph::from_records reads them.
class SnapshotRecords {
 public:
  explicit SnapshotRecords(const HnswGraphSnapshot& snapshot) : s_(snapshot) {}
  const HnswGraphSnapshot& settings() const { return s_; }
  std::size_t size() const { return s_.nodes.size(); }
  std::uint64_t id(std::size_t r) const { return s_.nodes[r].id; }
  std::size_t vector_size(std::size_t r) const { return s_.nodes[r].vector.size(); }
  const std::uint8_t* vector_bytes(std::size_t r) const {
    return reinterpret_cast<const std::uint8_t*>(s_.nodes[r].vector.data());
  }
  std::uint64_t level(std::size_t r) const { return s_.nodes[r].level; }
  std::size_t list_count(std::size_t r) const { return s_.nodes[r].neighbors.size(); }
  template <class F>
  void for_each_list(std::size_t r, F&& f) const {
    const auto& lists = s_.nodes[r].neighbors;
    for (std::size_t l = 0; l < lists.size(); ++l) {
      f(l, LoadedList{reinterpret_cast<const std::uint8_t*>(lists[l].data()), lists[l].size()});
    }
  }
  // The encoded size of the record: what the loader may spend memory on.
  std::uint64_t record_bytes() const {
    std::uint64_t bytes = 8 + 1 + (s_.entry_point ? 8 : 0) + 4 * 8;
    for (const HnswNodeSnapshot& rec : s_.nodes) {
      bytes += 8 + 8 + 4 * rec.vector.size() + 8 + 8;
      for (const auto& list : rec.neighbors) bytes += 8 + 8 * list.size();
    }
    return bytes;
  }

 private:
  const HnswGraphSnapshot& s_;
};

// The records of an encoded graph record, read in place: one pass checks the record's structure
// as decode_snapshot would (with its failures) and notes where each node record's parts lie.
class EncodedRecords {
 public:
  static Result<EncodedRecords> read(std::span<const std::uint8_t> record) {
    EncodedRecords out;
    out.bytes_ = record.size();
    Decoder in = Decoder::from_memory(record);
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t n, in.length());
    out.nodes_.reserve(Decoder::reserve_count(n, sizeof(Node)));
    for (std::uint64_t i = 0; i < n; ++i) {
      Node node;
      SORVEL_ASSIGN_OR_RETURN(node.id, in.u64());
      SORVEL_ASSIGN_OR_RETURN(const std::span<const std::uint8_t> vector, in.seq_view(4));
      node.vector = vector.data();
      node.vector_size = vector.size() / 4;
      SORVEL_ASSIGN_OR_RETURN(const std::uint64_t lists, in.length());
      node.lists = record.data() + in.position();
      node.list_count = lists;
      for (std::uint64_t l = 0; l < lists; ++l) SORVEL_TRY(in.seq_view(8));
      SORVEL_ASSIGN_OR_RETURN(node.level, in.u64());
      out.nodes_.push_back(node);
    }
    SORVEL_TRY(decode_record_tail(in, out.settings_));
    if (in.position() != record.size()) {
      return DbError::serialization(str_cat("HNSW graph record is followed by ",
                                            record.size() - in.position(), " more bytes"));
    }
    return out;
  }

  // The record's fields after its nodes (its `nodes` stay empty).
  const HnswGraphSnapshot& settings() const { return settings_; }
  std::size_t size() const { return nodes_.size(); }
  std::uint64_t id(std::size_t r) const { return nodes_[r].id; }
  std::size_t vector_size(std::size_t r) const { return nodes_[r].vector_size; }
  const std::uint8_t* vector_bytes(std::size_t r) const { return nodes_[r].vector; }
  std::uint64_t level(std::size_t r) const { return nodes_[r].level; }
  std::size_t list_count(std::size_t r) const { return nodes_[r].list_count; }
  template <class F>
  void for_each_list(std::size_t r, F&& f) const {
    const std::uint8_t* at = nodes_[r].lists;
    for (std::size_t l = 0; l < nodes_[r].list_count; ++l) {
      std::uint64_t size;
      std::memcpy(&size, at, 8);
      f(l, LoadedList{at + 8, static_cast<std::size_t>(size)});
      at += 8 + 8 * size;
    }
  }
  std::uint64_t record_bytes() const { return bytes_; }

 private:
  struct Node {
    std::uint64_t id = 0;
    const std::uint8_t* vector = nullptr;
    std::size_t vector_size = 0;
    const std::uint8_t* lists = nullptr;  // the first list's count
    std::size_t list_count = 0;
    std::uint64_t level = 0;
  };

  std::vector<Node> nodes_;
  HnswGraphSnapshot settings_;
  std::uint64_t bytes_ = 0;
};

}  // namespace

Result<HnswGraph> HnswGraph::from_snapshot(HnswGraphSnapshot snapshot, std::size_t dims,
                                           Metric metric) {
  return from_records(SnapshotRecords(snapshot), dims, metric);
}

Result<HnswGraph> HnswGraph::from_record(std::span<const std::uint8_t> record, std::size_t dims,
                                         Metric metric) {
  SORVEL_ASSIGN_OR_RETURN(const EncodedRecords records, EncodedRecords::read(record));
  return from_records(records, dims, metric);
}

template <class Records>
Result<HnswGraph> HnswGraph::from_records(const Records& records, std::size_t dims,
                                          Metric metric) {
  const HnswGraphSnapshot& settings = records.settings();
  SORVEL_TRY(
      check_settings(settings.m, settings.m_max0, settings.ef_construction, settings.level_mult));
  HnswGraph graph(dims, metric, settings.m, settings.m_max0, settings.ef_construction,
                  settings.level_mult);
  const std::size_t n_records = records.size();
  if (n_records == 0) return graph;

  for (std::size_t r = 0; r < n_records; ++r) {
    if (records.vector_size(r) != dims) {
      return DbError::serialization(str_cat("HNSW node ", records.id(r), " has a vector of ",
                                            records.vector_size(r), " values, expected ", dims));
    }
  }

  // Numbering: records in order; a later duplicate replaces the earlier record's content but keeps
  // its node.
  std::unordered_map<std::uint64_t, HnswNode> node_of_id;
  node_of_id.reserve(n_records);
  std::vector<std::size_t> record_of_node;
  record_of_node.reserve(n_records);
  for (std::size_t r = 0; r < n_records; ++r) {
    if (record_of_node.size() == std::numeric_limits<HnswNode>::max()) {
      return DbError::serialization("HNSW graph holds more than 2^32 - 1 nodes");
    }
    const auto [it, inserted] =
        node_of_id.try_emplace(records.id(r), static_cast<HnswNode>(record_of_node.size()));
    if (inserted) {
      record_of_node.push_back(r);
    } else {
      record_of_node[it->second] = r;
    }
  }
  const std::size_t m_max0 = settings.m_max0;

  // Every node costs its row, its layer-0 row and a few bytes. Wide layer-0 rows cost memory that
  // the record does not hold; refuse what goes far beyond the record's own size, and what this
  // machine cannot hold, before allocating.
  const std::size_t total = record_of_node.size();
  std::uint64_t per_node = 0;
  std::uint64_t bytes = 0;
  const bool overflows =
      __builtin_mul_overflow(static_cast<std::uint64_t>(dims) + graph.stride0_, 4, &per_node) ||
      __builtin_add_overflow(per_node, kNodeOverheadBytes, &per_node) ||
      __builtin_mul_overflow(per_node, static_cast<std::uint64_t>(total), &bytes);
  // The record is in memory already, so its size times the factor cannot wrap.
  const std::uint64_t allowed = records.record_bytes() * kLoadBytesPerRecordByte + kLoadSlackBytes;
  if (overflows || bytes > allowed || bytes > physical_memory_bytes()) {
    return DbError::serialization(str_cat("HNSW graph of ", total, " nodes with layer-0 limit ",
                                          m_max0, " and ", dims,
                                          " dimensions is too large to load"));
  }

  // Rows are appended node by node: each is zeroed and filled while it is in cache, so the large
  // array is written once, into pages mapped beforehand all at once.
  graph.vectors_.reserve(total * dims);
  populate_pages(graph.vectors_.data(), total * dims * sizeof(float), /*for_writing=*/true);
  graph.layer0_.assign(total * graph.stride0_, 0);
  graph.levels_.assign(total, 0);
  graph.upper_.resize(total);
  graph.live_.assign(total, 1);
  graph.ids_.resize(total);
  bool ids_are_nodes = true;
  for (const auto& [id, node] : node_of_id) {
    graph.ids_[node] = id;
    ids_are_nodes = ids_are_nodes && id == node;
  }
  graph.node_of_id_ = std::move(node_of_id);
  // Ids without a record name vectors the file does not hold (deleted before the save, or never
  // written): entries naming them are dropped, as they could only lead to rows of zeros. When
  // every id is its own node (ids 0 .. total - 1), no table lookup is needed.
  const auto node_of = [&](std::uint64_t id) -> std::optional<HnswNode> {
    if (ids_are_nodes) {
      return id < total ? std::optional<HnswNode>(static_cast<HnswNode>(id)) : std::nullopt;
    }
    const auto it = graph.node_of_id_.find(id);
    if (it == graph.node_of_id_.end()) return std::nullopt;
    return it->second;
  };
  for (std::size_t n = 0; n < total; ++n) {
    const HnswNode node = static_cast<HnswNode>(n);
    const std::size_t r = record_of_node[n];
    graph.vectors_.resize(graph.vectors_.size() + dims);
    if (dims > 0) {
      std::memcpy(graph.vectors_.data() + n * dims, records.vector_bytes(r), dims * sizeof(float));
    }
    graph.levels_[n] = static_cast<std::uint8_t>(records.level(r) & 0xff);
    if (records.list_count(r) == 0) continue;
    auto& upper = graph.upper_[n];
    upper.resize(records.list_count(r) - 1);
    records.for_each_list(r, [&](std::size_t l, const LoadedList& list) {
      if (l == 0) {
        std::uint32_t* row = graph.row0(node);
        std::size_t kept = 0;
        for (std::size_t k = 0; k < list.size && kept < m_max0; ++k) {
          if (const auto v = node_of(list[k])) row[kRowHeader + kept++] = *v;
        }
        row[0] = static_cast<std::uint32_t>(kept);
        return;
      }
      for (std::size_t k = 0; k < list.size; ++k) {
        if (const auto v = node_of(list[k])) upper[l - 1].push_back(*v);
      }
    });
  }
  graph.count_ = total;
  // An entry point without a record is elected afresh among the loaded nodes.
  graph.entry_point_ = settings.entry_point ? node_of(*settings.entry_point) : std::nullopt;
  if (!graph.entry_point_) graph.elect_entry_point();
  return graph;
}

}  // namespace sorvel
