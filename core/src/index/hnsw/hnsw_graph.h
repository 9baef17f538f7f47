#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "distance/metric.h"
#include "encoding.h"
#include "index/topk.h"
#include "result.h"

namespace sorvel {

// A node of the graph: a dense number given to a vector id at its first insertion (or at loading),
// which indexes every per-node array. Nodes are never renumbered or reused for another id.
using HnswNode = std::uint32_t;

// A (graph distance, node) pair. Pairs order by distance with NaN after every number (the order of
// hits everywhere in the system), then by node (smaller first): a strict weak ordering, so heaps and
// sorts stay well defined when vectors hold NaN.
struct HnswPair {
  float distance;
  HnswNode node;
};

inline bool hnsw_pair_less(const HnswPair& a, const HnswPair& b) {
  if (distance_less(a.distance, b.distance)) return true;
  if (distance_less(b.distance, a.distance)) return false;
  return a.node < b.node;
}

// The working memory of layer searches. The owner keeps `visited` covering the graph's node count
// (cover()) before it searches; one scratch serves one search at a time.
struct HnswSearchScratch {
  // Per node, the epoch of the last search that reached it.
  std::vector<std::uint32_t> visited;
  // Min-heap of nodes still to expand (smallest pair first).
  std::vector<HnswPair> candidates;
  // Max-heap of the best pairs found (largest on top); sorted ascending when a search ends.
  std::vector<HnswPair> results;
  std::uint32_t epoch = 1;

  // Extends `visited` with zeros to `node_count` entries.
  void cover(std::size_t node_count) {
    if (visited.size() < node_count) visited.resize(node_count, 0);
  }
};

// The saved form of one live node: its id, its vector, its neighbour lists as ids (layer 0 first)
// and its level.
struct HnswNodeSnapshot {
  std::uint64_t id = 0;
  std::vector<float> vector;
  std::vector<std::vector<std::uint64_t>> neighbors;
  std::uint64_t level = 0;

  bool operator==(const HnswNodeSnapshot&) const = default;
};

// The saved form of a graph. `nodes` is in the order written or read; a later record with the same id
// replaces an earlier one.
struct HnswGraphSnapshot {
  std::vector<HnswNodeSnapshot> nodes;
  std::optional<std::uint64_t> entry_point;
  std::uint64_t m = 0;
  std::uint64_t m_max0 = 0;
  std::uint64_t ef_construction = 0;
  double level_mult = 0;

  bool operator==(const HnswGraphSnapshot&) const = default;
};

// The hierarchical navigable small-world graph: flat per-node arrays indexed by node, an id table
// (node -> id and id -> node), insertion with back-links and the pruning rule, greedy descent and
// the width-bounded layer search.
//
// Node states: absent (numbered but never inserted, or only named by a loaded neighbour list: zero
// row, level 0, no lists, never live), live, deleted (row and level kept, own lists emptied). Lists
// may name deleted or absent nodes, a node twice, or the node itself; every algorithm tolerates it.
//
// The graph distance is distance_squared() under the graph's metric. Thread rule: no lock of its
// own. Changing calls need exclusive access; greedy_closest and search_layer only read, so several
// threads may run them at once on an unchanging graph, each with its own scratch.
class HnswGraph {
 public:
  // The largest level a node can have: the level byte and the number of upper lists always agree.
  static constexpr std::uint64_t kMaxLevel = 255;

  // An empty graph. Nothing is range-checked; `m_max0` is the layer-0 neighbour limit, `m` the
  // limit above it. A layer-0 row that cannot be held (m_max0 of 2^32 - 2 or more) makes the first
  // node creation throw std::bad_alloc.
  HnswGraph(std::size_t dims, Metric metric, std::size_t m, std::size_t m_max0,
            std::size_t ef_construction, double level_mult);

  // The node of `id`, if it has one (live, deleted or absent).
  std::optional<HnswNode> find_node(std::uint64_t id) const {
    const auto it = node_of_id_.find(id);
    if (it == node_of_id_.end()) return std::nullopt;
    return it->second;
  }
  // The node of `id`, numbering a new absent node when it has none. Throws std::bad_alloc when no
  // node number is left or memory is exhausted (the graph is then unchanged).
  HnswNode node_for(std::uint64_t id);
  // Room for `n` more nodes in every per-node array; nothing visible changes.
  void reserve(std::size_t n);

  // A level drawn from the calling thread's generator: floor(-ln(max(u, 1e-15)) * level_mult) for
  // u uniform in [0, 1) with 53 bits, 0 for a negative or NaN value, at most kMaxLevel.
  std::uint64_t draw_level() const;

  // Inserts or re-inserts `node` (from node_for) with a drawn level / the given level (at most
  // kMaxLevel). The vector holds dims() floats. `scratch` must cover node_count().
  void insert(HnswNode node, const float* vector, HnswSearchScratch& scratch);
  void insert_at_level(HnswNode node, const float* vector, std::uint64_t level,
                       HnswSearchScratch& scratch);

  // The three steps of an insert, for inserts whose searches run elsewhere:
  // store() writes the row, level and empty lists and makes the node live (no links);
  void store(HnswNode node, const float* vector, std::uint64_t level);
  // collect_candidates() runs the descent and the layer searches of the stored node from the
  // current entry point, read-only, and fills `out` with the first min(|W_l|, limit) pairs of each
  // layer's result, the highest layer first, with `layer_ends[l]` the end offset of layer l in
  // `out` (layer l starts where layer l + 1 ends, the highest at 0). `reverse0` receives, per
  // layer-0 pair, the distance from that neighbour's vector to the node's (what its back-link
  // needs). Without an entry point everything is left empty.
  void collect_candidates(HnswNode node, std::uint64_t level, HnswSearchScratch& scratch,
                          std::vector<HnswPair>& out, std::vector<std::uint32_t>& layer_ends,
                          std::vector<float>& reverse0) const;
  // link_layer() makes `chosen` (pairs in ascending order, at most the layer's limit) the node's
  // list at `layer` and back-links each chosen node other than `node`, pruning overfull lists. At
  // layer 0 `reverse` may give the distances from each chosen node to `node` (collect_candidates
  // computes them); empty means they are computed here.
  void link_layer(HnswNode node, std::size_t layer, std::span<const HnswPair> chosen,
                  std::span<const float> reverse = {});
  // promote_if_higher() makes `node` the entry point when `level` exceeds the entry point's level.
  void promote_if_higher(HnswNode node, std::uint64_t level);

  // From `start`, moves to the closest neighbour at `layer` (>= 1) while one is strictly closer.
  // Deleted nodes are passed through.
  HnswNode greedy_closest(const float* query, HnswNode start, std::size_t layer) const;

  // The best max(ef, 1) live nodes reachable from `entry` at `layer`, ascending by (distance, node).
  // The span points into `scratch`, valid until its next search. Empty when `entry` is not live.
  std::span<const HnswPair> search_layer(const float* query, HnswNode entry, std::size_t ef,
                                         std::size_t layer, HnswSearchScratch& scratch) const;

  // Deletes a live node: unlinks it from the lists it names, drops its own lists and re-elects the
  // entry point if it was the node (highest level, then highest node). False when not live.
  bool remove(HnswNode node);

  std::size_t node_count() const { return ids_.size(); }
  std::uint64_t id_of(HnswNode node) const { return ids_[node]; }
  bool is_live(HnswNode node) const { return live_[node] != 0; }
  std::uint8_t level(HnswNode node) const { return levels_[node]; }
  std::span<const float> vector(HnswNode node) const {
    return {vectors_.data() + static_cast<std::size_t>(node) * dims_, dims_};
  }
  // The node's list at `layer`; empty when it has none.
  std::span<const HnswNode> neighbors(HnswNode node, std::size_t layer) const;
  // How many upper lists the node holds.
  std::size_t upper_list_count(HnswNode node) const { return upper_[node].size(); }

  std::optional<HnswNode> entry_point() const { return entry_point_; }
  std::size_t count() const { return count_; }
  std::size_t dims() const { return dims_; }
  Metric metric() const { return metric_; }
  std::size_t m() const { return m_; }
  std::size_t m_max0() const { return m_max0_; }
  std::size_t ef_construction() const { return ef_construction_; }
  double level_mult() const { return level_mult_; }

  // The live nodes as saved, in node order, neighbours and entry point as ids.
  HnswGraphSnapshot to_snapshot() const;
  // Rebuilds a graph from a snapshot for an index of `dims` dimensions, without inserting: nodes
  // are numbered in record order, then ids that only lists or the entry point name become absent
  // nodes in order of first mention. Layer-0 lists are cut to m_max0 entries. Serialization when a
  // vector's length is not `dims` or the layer-0 table could not be held.
  static Result<HnswGraph> from_snapshot(HnswGraphSnapshot snapshot, std::size_t dims,
                                         Metric metric);

  // The graph record, written straight from the graph (the snapshot's bytes, without building it).
  void encode(Encoder& out) const;
  // Reads one graph record; Serialization with the encoding's texts on failure.
  static Result<HnswGraphSnapshot> decode_snapshot(Decoder& in);

 private:
  // Layer-0 rows: slot 0 holds the count, then m_max0 + 1 neighbour slots (one spare for a
  // back-link before pruning).
  std::uint32_t* row0(HnswNode node) { return layer0_.data() + node * stride0_; }
  const std::uint32_t* row0(HnswNode node) const { return layer0_.data() + node * stride0_; }
  // The distances from a node to each entry of its layer-0 row, slot for slot, so the pruning
  // rule needs no distance computation. An entry's value is exact unless the entry's vector was
  // replaced after it was written (kReplaced: recomputed then) or the row came from a file
  // (kRowUnmeasured: the whole row is measured at its first pruning).
  float* dist0(HnswNode node) { return dist0_.data() + node * stride0_; }
  static constexpr std::uint8_t kPristine = 1;       // numbered for an insert, never stored
  static constexpr std::uint8_t kReplaced = 2;       // stored more than once (or over a loaded id)
  static constexpr std::uint8_t kRowUnmeasured = 4;  // layer-0 row loaded without distances

  std::vector<HnswNode>& upper_list(HnswNode node, std::size_t layer);
  void prune(HnswNode owner, HnswNode* list, std::size_t& size);
  void prune0(HnswNode owner, std::uint32_t* row);
  void compute_distances(const float* query, const HnswNode* nodes, std::size_t n,
                         float* out) const;

  std::vector<float> vectors_;
  std::vector<std::uint8_t> levels_;
  std::vector<std::uint32_t> layer0_;
  std::vector<float> dist0_;
  std::vector<std::uint8_t> state_;
  std::vector<std::vector<std::vector<HnswNode>>> upper_;
  std::vector<std::uint8_t> live_;
  std::vector<std::uint64_t> ids_;
  std::unordered_map<std::uint64_t, HnswNode> node_of_id_;
  std::optional<HnswNode> entry_point_;
  std::size_t count_ = 0;
  std::size_t dims_;
  Metric metric_;
  std::size_t m_;
  std::size_t m_max0_;
  std::size_t stride0_;
  std::size_t ef_construction_;
  double level_mult_;
};

}  // namespace sorvel
