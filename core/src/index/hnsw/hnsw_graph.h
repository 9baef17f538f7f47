#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "distance/metric.h"
#include "encoding.h"
#include "index/scan_memory.h"
#include "index/topk.h"
#include "result.h"

namespace sorvel {

// A node of the graph: a dense number given to a vector id at its first insertion (or at loading),
// which indexes every per-node array. A node is never reused for another id; drop_non_live()
// renumbers the live nodes when it drops the others.
using HnswNode = std::uint32_t;

// A (graph distance, node) pair. Pairs order by distance with NaN after every number (the order of
// hits everywhere in the system), then by node (smaller first): a strict weak ordering, so heaps
// and sorts stay well defined when vectors hold NaN.
struct HnswPair {
  float distance;
  HnswNode node;
};

inline bool hnsw_pair_less(const HnswPair& a, const HnswPair& b) {
  if (distance_less(a.distance, b.distance)) return true;
  if (distance_less(b.distance, a.distance)) return false;
  return a.node < b.node;
}

// The neighbours chosen for one node, every layer from its highest searched one down to 0: layer l
// holds pairs [layer_ends[l + 1] (0 for the highest), layer_ends[l]) of `pairs`, ascending by
// distance. Empty when the graph had no entry point.
struct HnswLinkPlan {
  std::vector<HnswPair> pairs;
  std::vector<std::uint32_t> layer_ends;

  std::size_t layers() const { return layer_ends.size(); }
  std::span<const HnswPair> layer(std::size_t l) const {
    const std::size_t begin = l + 1 < layer_ends.size() ? layer_ends[l + 1] : 0;
    return std::span<const HnswPair>(pairs).subspan(begin, layer_ends[l] - begin);
  }
};

// The working memory of one insert or search: the layer search's visited stamps and heaps, and the
// buffers of neighbour selection. The owner keeps `visited` covering the graph's node count
// (cover()) before it searches; one scratch serves one thread at a time. Buffers only grow, so a
// scratch that has served a few inserts allocates nothing more.
struct HnswSearchScratch {
  // Per node, the epoch of the last search that reached it.
  std::vector<std::uint32_t> visited;
  // Min-heap of nodes still to expand (smallest pair first).
  std::vector<HnswPair> candidates;
  // Max-heap of the best live pairs found (largest on top); sorted ascending when a search ends.
  std::vector<HnswPair> results;
  std::uint32_t epoch = 1;
  // The entries of a list being chosen again, and the ones kept.
  std::vector<HnswPair> pool;
  std::vector<HnswPair> chosen;
  // The neighbours chosen for the node being inserted.
  HnswLinkPlan plan;
  // A list being repaired.
  std::vector<HnswNode> repaired;

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

// The saved form of a graph. `nodes` is in the order written or read; a later record with the same
// id replaces an earlier one.
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
// (node -> id and id -> node), insertion with diversity-chosen neighbours and back-links, greedy
// descent and the width-bounded layer search.
//
// Node states: absent (numbered but never inserted: zero row, level 0, no lists, never live), live,
// deleted (row, level and lists kept, so the node still routes searches until drop_non_live(); it
// is never a result and never chosen as a neighbour). Lists may name deleted or absent nodes, a node twice, or the node
// itself; every algorithm tolerates it.
//
// Neighbour selection (the heuristic of the HNSW paper): from candidates nearest first, a candidate
// is kept only when no neighbour kept before it is closer to it than the base node is, up to the
// limit. A new node keeps up to m at every layer (at most m_max0 at layer 0); a list that a
// back-link makes longer than its limit (m_max0 at layer 0, m above) drops its non-live entries
// and, when it is still too long, is chosen again the same way from what is left.
//
// The graph distance is distance_squared() under the graph's metric. Thread rule: no lock of its
// own. Changing calls need exclusive access, except that add_link() calls for distinct owners may
// run at once on a graph that nothing else changes; greedy_closest, search_layer, select_neighbors
// and choose_neighbors only read, so several threads may run them at once on an unchanging graph,
// each with its own scratch.
class HnswGraph {
 public:
  // The largest level a node can have.
  static constexpr std::uint64_t kMaxLevel = 255;
  // Loaded settings beyond these are refused: neighbour limits (a layer-0 row has m_max0 + 2
  // slots), the insert search width (no graph holds more nodes) and a level multiplier that could
  // draw levels above kMaxLevel (-ln(1e-15) is the largest exponent a draw can see).
  static constexpr std::uint64_t kMaxLoadedLinks = 65534;
  static constexpr std::uint64_t kMaxLoadedWidth = 0xffffffffu;
  static constexpr double kMaxLoadedLevelMult = 255.0 / 34.538776394910684;
  // The loader refuses a record whose arrays would take more than this many bytes per byte of the
  // record, beyond the first kLoadSlackBytes: a saved graph never needs that much, but layer-0 rows
  // far wider than the lists they hold could.
  static constexpr std::uint64_t kLoadBytesPerRecordByte = 256;
  static constexpr std::uint64_t kLoadSlackBytes = 16u << 20;

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
  // kMaxLevel): store(), choose_neighbors(), link() and promote_if_higher() in turn. The vector
  // holds dims() floats. `scratch` must cover node_count().
  void insert(HnswNode node, const float* vector, HnswSearchScratch& scratch);
  void insert_at_level(HnswNode node, const float* vector, std::uint64_t level,
                       HnswSearchScratch& scratch);

  // The steps of an insert, for inserts whose searches run elsewhere:
  // store() writes the row and the level and makes the node live. Its lists stay as they were
  // until link(), so a node stored again still routes the searches that place it. When the node
  // is the entry point and its level drops, the entry point is elected again (see remove()).
  void store(HnswNode node, const float* vector, std::uint64_t level);
  // choose_neighbors() runs the descent and the layer searches of the stored node from the current
  // entry point and chooses its neighbours at each searched layer, read-only. The node never
  // chooses itself, and the search of the next layer down starts at the nearest other node found.
  void choose_neighbors(HnswNode node, std::uint64_t level, HnswSearchScratch& scratch,
                        HnswLinkPlan& plan) const;
  // set_lists() gives the node `level` upper lists and its lists from `plan` (empty lists for the
  // layers the plan lacks), dropping its old ones.
  void set_lists(HnswNode node, std::uint64_t level, const HnswLinkPlan& plan);
  // add_link() appends `node` to the list of `owner` at `layer` (adding missing upper lists) and
  // chooses the list again when it grows past its limit (see the class comment).
  void add_link(HnswNode owner, std::size_t layer, HnswNode node, HnswSearchScratch& scratch);
  // link() is set_lists() followed by add_link() from every chosen node other than `node`.
  void link(HnswNode node, std::uint64_t level, const HnswLinkPlan& plan,
            HnswSearchScratch& scratch);
  // promote_if_higher() makes `node` the entry point when there is none or when `level` exceeds
  // the entry point's level.
  void promote_if_higher(HnswNode node, std::uint64_t level);

  // Appends to `out` at most `limit` of `candidates` (ascending by distance to a base vector, each
  // pair's distance measured from it), skipping `exclude`: a candidate is kept when none kept
  // before it in this call is strictly closer to it than its distance to the base.
  void select_neighbors(std::span<const HnswPair> candidates, std::size_t limit, HnswNode exclude,
                        std::vector<HnswPair>& out) const;

  // From `start`, moves to the closest neighbour at `layer` (>= 1) while one is strictly closer.
  // Deleted nodes are passed through.
  HnswNode greedy_closest(const float* query, HnswNode start, std::size_t layer) const;

  // The best max(ef, 1) live nodes reachable from `entry` at `layer`, ascending by (distance,
  // node). Deleted and absent nodes are walked through but never returned. The span points into
  // `scratch`, valid until its next search.
  std::span<const HnswPair> search_layer(const float* query, HnswNode entry, std::size_t ef,
                                         std::size_t layer, HnswSearchScratch& scratch) const;
  // search_layer at layer 0 with a filter: only live nodes whose id `accept` passes are returned,
  // the others are walked through as deleted ones are. `accept` runs on the calling thread, only
  // for live nodes whose distance would admit them. The walk gives up once it has measured the
  // distances of more than `budget` nodes: nullopt then (the scratch holds no result).
  std::optional<std::span<const HnswPair>> search_filtered(const float* query, HnswNode entry,
                                                           std::size_t ef, std::size_t budget,
                                                           const IdFilter& accept,
                                                           HnswSearchScratch& scratch) const;

  // Deletes a live node: it stops being live and keeps its lists, so searches still pass through
  // it. When it was the entry point, the live node with the highest level becomes the entry point
  // (at equal levels the one with the highest id); none when no node is live. False when not live.
  bool remove(HnswNode node);

  // Reclaiming the nodes that are not live (deleted or absent), in three steps:
  // repair_lists() rewrites each list of the live `node` that names a node that is not live as
  // saved_neighbors() gives it, so the paths those nodes gave stay. (Choosing such a list again by
  // the selection rule alone cuts it to its diverse entries, where most lists also hold back-links:
  // after a reclaim of a third of the nodes recall fell from 1.00 to 0.94 that way.) It writes only
  // `node`'s lists and reads only them, the lists of nodes that are not live and the vectors, so
  // repairs of distinct live nodes may run at once. `scratch` must cover node_count().
  void repair_lists(HnswNode node, HnswSearchScratch& scratch);
  // drop_non_live() drops every node that is not live and renumbers the live ones, in their order,
  // into arrays of exactly their size; list entries that name a dropped node are dropped (none
  // after repair_lists() of every live node). Returns the number of nodes dropped. Throws
  // std::bad_alloc before any change when the new arrays cannot be had.
  std::size_t drop_non_live();
  // After a repair, a node that only dropped nodes named at layer 0 is named by no list there, and
  // no layer-0 search reaches it. link_unnamed() gives each such node with neighbours a place in
  // the layer-0 list of its nearest neighbour: a free slot, or else the slot of that list's
  // farthest entry that another list names too. Call it when every node is live.
  void link_unnamed();

  std::size_t node_count() const { return ids_.size(); }
  std::uint64_t id_of(HnswNode node) const { return ids_[node]; }
  bool is_live(HnswNode node) const { return live_[node] != 0; }
  std::uint8_t level(HnswNode node) const { return levels_[node]; }
  std::span<const float> vector(HnswNode node) const { return {row(node), dims_}; }
  // Every node's row, node after node: node_count() x dims() floats.
  std::span<const float> rows() const { return vectors_; }
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

  // The live nodes as saved, in node order, neighbours and entry point as ids. A file holds live
  // nodes only, so each list is saved as saved_neighbors() gives it.
  HnswGraphSnapshot to_snapshot() const;
  // The node's list at `layer` as a file holds it: its live entries in order, then, when some
  // entries are not live, the live nodes that those entries name and the list does not name yet,
  // as many as fit under the layer's limit (or the list's length when that is longer): first,
  // nearest first, those that no node kept before is closer to than `node` is, then the nearest
  // of the others. `scratch` must cover node_count().
  void saved_neighbors(HnswNode node, std::size_t layer, HnswSearchScratch& scratch,
                       std::vector<HnswNode>& out) const;
  // Serialization when loaded settings are beyond what any graph could use: m or m_max0 above
  // kMaxLoadedLinks, ef_construction above kMaxLoadedWidth, a level multiplier that is not a
  // number in [0, kMaxLoadedLevelMult].
  static Result<> check_settings(std::uint64_t m, std::uint64_t m_max0,
                                 std::uint64_t ef_construction, double level_mult);
  // Rebuilds a graph from a snapshot for an index of `dims` dimensions, without inserting: nodes
  // are numbered in record order. List entries naming ids without a record are dropped (they name
  // vectors the record does not hold), and layer-0 lists are cut to m_max0 entries; an entry point
  // without a record is elected as remove() elects one. Serialization, in this order, for settings
  // that check_settings() refuses, a vector whose length is not `dims`, more than 2^32 - 1 nodes,
  // and arrays larger than this machine's memory or than the record can account for
  // (kLoadBytesPerRecordByte); nothing large is allocated before these checks.
  static Result<HnswGraph> from_snapshot(HnswGraphSnapshot snapshot, std::size_t dims,
                                         Metric metric);
  // As decode_snapshot() then from_snapshot(), with their failures in that order, reading
  // `record` in place (no snapshot is built): it must hold exactly one graph record (Serialization
  // "HNSW graph record is followed by {} more bytes" otherwise).
  static Result<HnswGraph> from_record(std::span<const std::uint8_t> record, std::size_t dims,
                                       Metric metric);

  // The graph record, written straight from the graph (the snapshot's bytes, without building it).
  void encode(Encoder& out) const;
  // Reads one graph record; Serialization with the encoding's texts on failure.
  static Result<HnswGraphSnapshot> decode_snapshot(Decoder& in);

 private:
  // Layer-0 rows: slot 0 holds the count, then m_max0 + 1 neighbour slots (one spare for a
  // back-link before the list is chosen again).
  std::uint32_t* row0(HnswNode node) { return layer0_.data() + node * stride0_; }
  const std::uint32_t* row0(HnswNode node) const { return layer0_.data() + node * stride0_; }
  const float* row(HnswNode node) const {
    return vectors_.data() + static_cast<std::size_t>(node) * dims_;
  }

  // from_snapshot and from_record: the records as SnapshotRecords or EncodedRecords (the .cc)
  // give them.
  template <class Records>
  static Result<HnswGraph> from_records(const Records& records, std::size_t dims, Metric metric);

  std::vector<HnswNode>& upper_list(HnswNode node, std::size_t layer);
  // Chooses the `size` entries of `list` (the owner's, just grown past `limit`) again in place;
  // returns the new size.
  std::size_t reselect(HnswNode owner, HnswNode* list, std::size_t size, std::size_t limit,
                       HnswSearchScratch& scratch);
  void elect_entry_point();
  // Sets each pair's distance from `query`.
  void measure(const float* query, std::vector<HnswPair>& pairs) const;
  // The scratch's next epoch, clearing its stamps when the counter wraps.
  static std::uint32_t next_epoch(HnswSearchScratch& scratch);
  // The layer search behind search_layer and search_filtered, leaving the sorted results in the
  // scratch: a live node enters them only when admit(node) holds; with kBudgeted it gives up
  // (false) once more than `budget` distances were measured.
  template <bool kBudgeted, class Admit>
  bool walk_layer(const float* query, HnswNode entry, std::size_t ef, std::size_t layer,
                  HnswSearchScratch& scratch, std::size_t budget, const Admit& admit) const;
  void compute_distances(const float* query, const HnswNode* nodes, std::size_t n,
                         float* out) const;

  ScanVector<float> vectors_;
  std::vector<std::uint8_t> levels_;
  std::vector<std::uint32_t> layer0_;
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
