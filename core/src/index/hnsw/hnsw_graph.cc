#include "index/hnsw/hnsw_graph.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "distance/distance.h"
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
template <class T>
void grow_for(std::vector<T>& v, std::size_t extra) {
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
  grow_for(dist0_, stride0_);
  grow_for(state_, 1);
  grow_for(levels_, 1);
  grow_for(upper_, 1);
  grow_for(live_, 1);
  grow_for(ids_, 1);
  const HnswNode node = static_cast<HnswNode>(n);
  node_of_id_.emplace(id, node);
  vectors_.resize(vectors_.size() + dims_, 0.0f);
  layer0_.resize(layer0_.size() + stride0_, 0);
  dist0_.resize(dist0_.size() + stride0_, 0.0f);
  state_.push_back(kPristine);
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
  dist0_.reserve(checked_mul(total, stride0_));
  state_.reserve(total);
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
  store(node, vector, level);
  if (!entry_point_) {
    entry_point_ = node;
    return;
  }
  level = std::min(level, kMaxLevel);
  const float* query = vectors_.data() + static_cast<std::size_t>(node) * dims_;
  HnswNode ep = *entry_point_;
  const std::uint64_t top = levels_[ep];
  for (std::uint64_t l = top; l > level; --l) ep = greedy_closest(query, ep, l);
  // Linking a layer changes only lists of that layer, which the searches of the layers below never
  // read, so each layer is linked right after its search.
  for (std::uint64_t l = std::min(top, level) + 1; l-- > 0;) {
    const std::span<const HnswPair> w = search_layer(query, ep, ef_construction_, l, scratch);
    const std::size_t limit = l == 0 ? m_max0_ : m_;
    link_layer(node, l, w.first(std::min(w.size(), limit)));
    if (!w.empty()) ep = w.front().node;
  }
  promote_if_higher(node, level);
}

void HnswGraph::store(HnswNode node, const float* vector, std::uint64_t level) {
  level = std::min(level, kMaxLevel);
  std::copy_n(vector, dims_, vectors_.data() + static_cast<std::size_t>(node) * dims_);
  levels_[node] = static_cast<std::uint8_t>(level);
  row0(node)[0] = 0;
  // Rows that name this node may hold distances to its old vector (or to the zero row of an id
  // known only from a file): from now on they are recomputed.
  state_[node] = (state_[node] & kPristine) ? 0 : kReplaced;
  std::vector<std::vector<HnswNode>> lists(level);
  const std::size_t room = std::min<std::size_t>(m_, kChunk);
  for (auto& list : lists) list.reserve(room);
  upper_[node] = std::move(lists);
  if (live_[node] == 0) {
    live_[node] = 1;
    ++count_;
  }
}

void HnswGraph::collect_candidates(HnswNode node, std::uint64_t level, HnswSearchScratch& scratch,
                                   std::vector<HnswPair>& out,
                                   std::vector<std::uint32_t>& layer_ends,
                                   std::vector<float>& reverse0) const {
  out.clear();
  layer_ends.clear();
  reverse0.clear();
  if (!entry_point_) return;
  level = std::min(level, kMaxLevel);
  const float* query = vectors_.data() + static_cast<std::size_t>(node) * dims_;
  HnswNode ep = *entry_point_;
  const std::uint64_t top = levels_[ep];
  for (std::uint64_t l = top; l > level; --l) ep = greedy_closest(query, ep, l);
  const std::uint64_t highest = std::min(top, level);
  layer_ends.resize(highest + 1);
  // Layers are computed top down and stored in that order: layer l spans
  // [layer_ends[l + 1] (0 for the highest), layer_ends[l]).
  for (std::uint64_t l = highest + 1; l-- > 0;) {
    const std::span<const HnswPair> w = search_layer(query, ep, ef_construction_, l, scratch);
    const std::size_t limit = l == 0 ? m_max0_ : m_;
    const std::size_t take = std::min(w.size(), limit);
    out.insert(out.end(), w.begin(), w.begin() + static_cast<std::ptrdiff_t>(take));
    layer_ends[l] = static_cast<std::uint32_t>(out.size());
    if (!w.empty()) ep = w.front().node;
  }
  const std::size_t begin0 = highest > 0 ? layer_ends[1] : 0;
  reverse0.resize(out.size() - begin0);
  const float* base = vectors_.data();
  for (std::size_t i = begin0; i < out.size(); ++i) {
    reverse0[i - begin0] = distance_squared(
        metric_, base + static_cast<std::size_t>(out[i].node) * dims_, query, dims_);
  }
}

std::vector<HnswNode>& HnswGraph::upper_list(HnswNode node, std::size_t layer) {
  auto& lists = upper_[node];
  if (lists.size() < layer) lists.resize(layer);
  return lists[layer - 1];
}

void HnswGraph::link_layer(HnswNode node, std::size_t layer, std::span<const HnswPair> chosen,
                           std::span<const float> reverse) {
  const float* vector_of_node = vectors_.data() + static_cast<std::size_t>(node) * dims_;
  if (layer == 0) {
    std::uint32_t* row = row0(node);
    float* dist = dist0(node);
    row[0] = static_cast<std::uint32_t>(chosen.size());
    for (std::size_t i = 0; i < chosen.size(); ++i) {
      row[kRowHeader + i] = chosen[i].node;
      dist[kRowHeader + i] = chosen[i].distance;
    }
    state_[node] &= static_cast<std::uint8_t>(~kRowUnmeasured);
  } else {
    std::vector<HnswNode>& own = upper_list(node, layer);
    own.clear();
    for (const HnswPair& pair : chosen) own.push_back(pair.node);
  }
  for (std::size_t c = 0; c < chosen.size(); ++c) {
    const HnswNode n = chosen[c].node;
    if (n == node) continue;
    if (layer == 0) {
      // At rest a row holds at most m_max0 entries, so the spare slot takes the back-link.
      std::uint32_t* row = row0(n);
      const std::size_t size = row[0];
      row[kRowHeader + size] = node;
      dist0(n)[kRowHeader + size] =
          reverse.empty() ? distance_squared(metric_,
                                             vectors_.data() + static_cast<std::size_t>(n) * dims_,
                                             vector_of_node, dims_)
                          : reverse[c];
      row[0] = static_cast<std::uint32_t>(size + 1);
      if (size + 1 > m_max0_) prune0(n, row);
    } else {
      std::vector<HnswNode>& list = upper_list(n, layer);
      list.push_back(node);
      std::size_t size = list.size();
      if (size > m_) {
        prune(n, list.data(), size);
        list.resize(size);
      }
    }
  }
}

void HnswGraph::promote_if_higher(HnswNode node, std::uint64_t level) {
  if (!entry_point_ || std::min(level, kMaxLevel) > levels_[*entry_point_]) entry_point_ = node;
}

void HnswGraph::prune(HnswNode owner, HnswNode* list, std::size_t& size) {
  std::size_t victim = size;
  for (std::size_t i = 0; i < size; ++i) {
    if (live_[list[i]] == 0) {
      victim = i;
      break;
    }
  }
  if (victim == size) {
    // The farthest entry goes, NaN counting as farther than every number; the first of equal
    // maxima wins.
    const float* base = vectors_.data() + static_cast<std::size_t>(owner) * dims_;
    float farthest = -std::numeric_limits<float>::infinity();
    victim = 0;
    float dist[kChunk];
    for (std::size_t start = 0; start < size; start += kChunk) {
      const std::size_t n = std::min(kChunk, size - start);
      compute_distances(base, list + start, n, dist);
      for (std::size_t i = 0; i < n; ++i) {
        if (distance_less(farthest, dist[i])) {
          farthest = dist[i];
          victim = start + i;
        }
      }
    }
  }
  list[victim] = list[size - 1];
  --size;
}

void HnswGraph::prune0(HnswNode owner, std::uint32_t* row) {
  const std::size_t size = row[0];
  HnswNode* list = row + kRowHeader;
  float* dist = dist0(owner) + kRowHeader;
  std::size_t victim = size;
  for (std::size_t i = 0; i < size; ++i) {
    if (live_[list[i]] == 0) {
      victim = i;
      break;
    }
  }
  if (victim == size) {
    const float* base = vectors_.data() + static_cast<std::size_t>(owner) * dims_;
    if (state_[owner] & kRowUnmeasured) {
      for (std::size_t start = 0; start < size; start += kChunk) {
        compute_distances(base, list + start, std::min(kChunk, size - start), dist + start);
      }
      state_[owner] &= static_cast<std::uint8_t>(~kRowUnmeasured);
    } else {
      for (std::size_t i = 0; i < size; ++i) {
        if (state_[list[i]] & kReplaced) {
          dist[i] = distance_squared(
              metric_, base, vectors_.data() + static_cast<std::size_t>(list[i]) * dims_, dims_);
        }
      }
    }
    // The farthest entry goes, NaN counting as farther than every number; the first of equal
    // maxima wins.
    float farthest = -std::numeric_limits<float>::infinity();
    victim = 0;
    for (std::size_t i = 0; i < size; ++i) {
      if (distance_less(farthest, dist[i])) {
        farthest = dist[i];
        victim = i;
      }
    }
  }
  list[victim] = list[size - 1];
  dist[victim] = dist[size - 1];
  row[0] = static_cast<std::uint32_t>(size - 1);
}

void HnswGraph::compute_distances(const float* query, const HnswNode* nodes, std::size_t n,
                                  float* out) const {
  const float* base = vectors_.data();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const float* rows[4] = {base + static_cast<std::size_t>(nodes[i]) * dims_,
                            base + static_cast<std::size_t>(nodes[i + 1]) * dims_,
                            base + static_cast<std::size_t>(nodes[i + 2]) * dims_,
                            base + static_cast<std::size_t>(nodes[i + 3]) * dims_};
    distance_batch4(metric_, query, rows, dims_, out + i);
  }
  for (; i < n; ++i) {
    out[i] = distance_squared(metric_, query, base + static_cast<std::size_t>(nodes[i]) * dims_,
                              dims_);
  }
}

std::span<const HnswNode> HnswGraph::neighbors(HnswNode node, std::size_t layer) const {
  if (layer == 0) {
    const std::uint32_t* row = row0(node);
    return {row + kRowHeader, row[0]};
  }
  const auto& lists = upper_[node];
  if (lists.size() < layer) return {};
  return lists[layer - 1];
}

HnswNode HnswGraph::greedy_closest(const float* query, HnswNode start, std::size_t layer) const {
  HnswNode cur = start;
  float best = distance_squared(metric_, query,
                                vectors_.data() + static_cast<std::size_t>(cur) * dims_, dims_);
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
  // The entry point always enters the results, so a width of 0 acts as 1.
  ef = std::max<std::size_t>(ef, 1);
  if (++scratch.epoch == 0) {
    std::fill(scratch.visited.begin(), scratch.visited.end(), 0u);
    scratch.epoch = 1;
  }
  const std::uint32_t epoch = scratch.epoch;
  std::uint32_t* visited = scratch.visited.data();
  std::vector<HnswPair>& candidates = scratch.candidates;
  std::vector<HnswPair>& results = scratch.results;
  candidates.clear();
  results.clear();

  visited[entry] = epoch;
  if (live_[entry] == 0) return {};
  const float* base = vectors_.data();
  const std::uint8_t* live = live_.data();
  const float d0 =
      distance_squared(metric_, query, base + static_cast<std::size_t>(entry) * dims_, dims_);
  candidates.push_back({d0, entry});
  results.push_back({d0, entry});

  HnswNode buffer[kChunk];
  float dist[kChunk];
  const std::size_t row_bytes = dims_ * sizeof(float);
  if (layer == 0) __builtin_prefetch(row0(entry));
  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end(), min_first);
    const HnswPair c = candidates.back();
    candidates.pop_back();
    float worst = results.front().distance;
    if (distance_less(worst, c.distance) && results.size() >= ef) break;

    const HnswNode* list;
    std::size_t len;
    if (layer == 0) {
      const std::uint32_t* row = row0(c.node);
      len = row[0];
      list = row + kRowHeader;
    } else {
      const auto& lists = upper_[c.node];
      if (lists.size() < layer) continue;
      list = lists[layer - 1].data();
      len = lists[layer - 1].size();
    }

    // The stamps and live bytes of the whole list are fetched before any is read.
    for (std::size_t i = 0; i < len; ++i) {
      __builtin_prefetch(visited + list[i]);
      __builtin_prefetch(live + list[i]);
    }
    std::size_t i = 0;
    while (i < len) {
      std::size_t n = 0;
      for (; i < len && n < kChunk; ++i) {
        const HnswNode v = list[i];
        if (visited[v] == epoch) continue;
        visited[v] = epoch;
        if (live[v] != 0) {
          buffer[n++] = v;
          prefetch_row(base + static_cast<std::size_t>(v) * dims_, row_bytes);
        }
      }
      compute_distances(query, buffer, n, dist);
      for (std::size_t j = 0; j < n; ++j) {
        if (results.size() < ef || distance_less(dist[j], worst)) {
          candidates.push_back({dist[j], buffer[j]});
          // An admitted node is likely to be expanded: its layer-0 row is fetched early.
          if (layer == 0) __builtin_prefetch(row0(buffer[j]));
          std::push_heap(candidates.begin(), candidates.end(), min_first);
          results.push_back({dist[j], buffer[j]});
          std::push_heap(results.begin(), results.end(), hnsw_pair_less);
          if (results.size() > ef) {
            std::pop_heap(results.begin(), results.end(), hnsw_pair_less);
            results.pop_back();
          }
          worst = results.front().distance;
        }
      }
    }
    // The next expansion's layer-0 row is fetched while this iteration ends.
    if (layer == 0 && !candidates.empty()) __builtin_prefetch(row0(candidates.front().node));
  }
  std::sort_heap(results.begin(), results.end(), hnsw_pair_less);
  return results;
}

bool HnswGraph::remove(HnswNode node) {
  if (node >= ids_.size() || live_[node] == 0) return false;
  live_[node] = 0;
  --count_;

  std::uint32_t* own = row0(node);
  const std::vector<HnswNode> layer0_copy(own + kRowHeader, own + kRowHeader + own[0]);
  for (const HnswNode n : layer0_copy) {
    std::uint32_t* row = row0(n);
    std::uint32_t* first = row + kRowHeader;
    std::uint32_t* last = first + row[0];
    std::uint32_t* hit = std::find(first, last, node);
    if (hit != last) {
      float* dist = dist0(n) + kRowHeader;
      dist[hit - first] = dist[last - 1 - first];
      *hit = *(last - 1);
      --row[0];
    }
  }
  row0(node)[0] = 0;

  const std::size_t level = levels_[node];
  for (std::size_t l = 1; l <= level; ++l) {
    if (upper_[node].size() < l) break;
    const std::vector<HnswNode> copy = upper_[node][l - 1];
    for (const HnswNode n : copy) {
      if (upper_[n].size() >= l) std::erase(upper_[n][l - 1], node);
    }
  }
  std::vector<std::vector<HnswNode>>().swap(upper_[node]);

  if (entry_point_ == node) {
    entry_point_.reset();
    int best_level = -1;
    for (std::size_t n = 0; n < ids_.size(); ++n) {
      if (live_[n] != 0 && levels_[n] >= best_level) {
        best_level = levels_[n];
        entry_point_ = static_cast<HnswNode>(n);
      }
    }
  }
  return true;
}

HnswGraphSnapshot HnswGraph::to_snapshot() const {
  HnswGraphSnapshot out;
  out.nodes.reserve(count_);
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
      for (const HnswNode v : neighbors(node, l)) rec.neighbors[l].push_back(ids_[v]);
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
//   u8 entry tag (0 absent, 1 present) [+ u64 entry id] | u64 m | u64 m_max0 | u64 ef_construction |
//   f64 level_mult
// An empty graph is 1 + 8 * 5 = 41 bytes without an entry point.
void HnswGraph::encode(Encoder& out) const {
  out.length(count_);
  for (std::size_t n = 0; n < ids_.size(); ++n) {
    if (live_[n] == 0) continue;
    const HnswNode node = static_cast<HnswNode>(n);
    out.u64(ids_[n]);
    out.f32_seq(vector(node));
    const std::size_t level = levels_[n];
    out.length(level + 1);
    for (std::size_t l = 0; l <= level; ++l) {
      const std::span<const HnswNode> list = neighbors(node, l);
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
  SORVEL_ASSIGN_OR_RETURN(const bool has_entry, in.option_tag());
  if (has_entry) {
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t entry, in.u64());
    out.entry_point = entry;
  }
  SORVEL_ASSIGN_OR_RETURN(out.m, in.u64());
  SORVEL_ASSIGN_OR_RETURN(out.m_max0, in.u64());
  SORVEL_ASSIGN_OR_RETURN(out.ef_construction, in.u64());
  SORVEL_ASSIGN_OR_RETURN(out.level_mult, in.f64());
  return out;
}

Result<HnswGraph> HnswGraph::from_snapshot(HnswGraphSnapshot snapshot, std::size_t dims,
                                           Metric metric) {
  if (snapshot.m_max0 > kMaxLayer0Limit) {
    return DbError::serialization(
        str_cat("HNSW layer-0 neighbour limit ", snapshot.m_max0, " is too large"));
  }
  HnswGraph graph(dims, metric, snapshot.m, snapshot.m_max0, snapshot.ef_construction,
                  snapshot.level_mult);
  if (snapshot.nodes.empty()) return graph;

  for (const HnswNodeSnapshot& rec : snapshot.nodes) {
    if (rec.vector.size() != dims) {
      return DbError::serialization(str_cat("HNSW node ", rec.id, " has a vector of ",
                                            rec.vector.size(), " values, expected ", dims));
    }
  }

  // Numbering: records in order (a later duplicate replaces the earlier record's content but keeps
  // its node), then ids named only by kept list entries or the entry point, as absent nodes.
  std::unordered_map<std::uint64_t, HnswNode> node_of_id;
  node_of_id.reserve(snapshot.nodes.size());
  std::vector<std::size_t> record_of_node;
  for (std::size_t i = 0; i < snapshot.nodes.size(); ++i) {
    const auto [it, inserted] =
        node_of_id.try_emplace(snapshot.nodes[i].id, static_cast<HnswNode>(record_of_node.size()));
    if (inserted) {
      record_of_node.push_back(i);
    } else {
      record_of_node[it->second] = i;
    }
  }
  const std::size_t live_nodes = record_of_node.size();
  std::vector<std::uint64_t> ids(live_nodes);
  for (const auto& [id, node] : node_of_id) ids[node] = id;
  const auto mention = [&](std::uint64_t id) -> HnswNode {
    const auto [it, inserted] = node_of_id.try_emplace(id, static_cast<HnswNode>(ids.size()));
    if (inserted) ids.push_back(id);
    return it->second;
  };
  const std::size_t m_max0 = snapshot.m_max0;
  for (std::size_t node = 0; node < live_nodes; ++node) {
    const HnswNodeSnapshot& rec = snapshot.nodes[record_of_node[node]];
    for (std::size_t l = 0; l < rec.neighbors.size(); ++l) {
      const auto& list = rec.neighbors[l];
      const std::size_t kept = l == 0 ? std::min(list.size(), m_max0) : list.size();
      for (std::size_t i = 0; i < kept; ++i) mention(list[i]);
    }
    if (ids.size() > std::numeric_limits<HnswNode>::max()) {
      return DbError::serialization("HNSW graph names more than 2^32 - 1 nodes");
    }
  }
  std::optional<HnswNode> entry;
  if (snapshot.entry_point) entry = mention(*snapshot.entry_point);

  // Every node costs its row, its layer-0 row and a few bytes; refuse what this machine cannot hold
  // instead of exhausting it.
  const std::size_t total = ids.size();
  std::uint64_t per_node = 0;
  std::uint64_t bytes = 0;
  const bool overflows =
      __builtin_mul_overflow(static_cast<std::uint64_t>(dims) + 2 * graph.stride0_, 4, &per_node) ||
      __builtin_add_overflow(per_node, 48, &per_node) ||
      __builtin_mul_overflow(per_node, static_cast<std::uint64_t>(total), &bytes);
  if (overflows || bytes > physical_memory_bytes()) {
    return DbError::serialization(str_cat("HNSW graph of ", total, " nodes with layer-0 limit ",
                                          m_max0, " and ", dims,
                                          " dimensions is too large to load"));
  }

  graph.vectors_.assign(total * dims, 0.0f);
  graph.layer0_.assign(total * graph.stride0_, 0);
  graph.dist0_.assign(total * graph.stride0_, 0.0f);
  // Nothing here is pristine: storing any of these ids later replaces what rows already name.
  graph.state_.assign(total, 0);
  graph.levels_.assign(total, 0);
  graph.upper_.resize(total);
  graph.live_.assign(total, 0);
  graph.ids_ = std::move(ids);
  graph.node_of_id_ = std::move(node_of_id);
  for (std::size_t n = 0; n < live_nodes; ++n) {
    const HnswNode node = static_cast<HnswNode>(n);
    HnswNodeSnapshot& rec = snapshot.nodes[record_of_node[n]];
    std::copy(rec.vector.begin(), rec.vector.end(), graph.vectors_.begin() + n * dims);
    graph.levels_[n] = static_cast<std::uint8_t>(rec.level & 0xff);
    if (!rec.neighbors.empty()) {
      const auto& list0 = rec.neighbors[0];
      const std::size_t kept = std::min(list0.size(), m_max0);
      std::uint32_t* row = graph.row0(node);
      row[0] = static_cast<std::uint32_t>(kept);
      graph.state_[n] = kRowUnmeasured;
      for (std::size_t i = 0; i < kept; ++i) {
        row[kRowHeader + i] = graph.node_of_id_.find(list0[i])->second;
      }
      auto& upper = graph.upper_[n];
      upper.resize(rec.neighbors.size() - 1);
      for (std::size_t l = 1; l < rec.neighbors.size(); ++l) {
        const auto& list = rec.neighbors[l];
        upper[l - 1].reserve(list.size());
        for (const std::uint64_t id : list) {
          upper[l - 1].push_back(graph.node_of_id_.find(id)->second);
        }
      }
    }
    graph.live_[n] = 1;
  }
  graph.count_ = live_nodes;
  graph.entry_point_ = entry;
  return graph;
}

}  // namespace sorvel
