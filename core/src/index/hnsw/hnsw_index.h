#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "index/hnsw/hnsw_graph.h"
#include "index/hnsw/worker_pool.h"
#include "index/vector_index.h"

namespace sorvel {

// The approximate nearest-neighbour index over an HnswGraph. Every u64 id is accepted: ids get
// dense nodes in order of first insertion, and a deleted id that comes back reuses its node. Ids
// order what the caller sees: hits at equal distance come out in ascending id, iteration yields
// ascending ids, and the entry-point election after a delete prefers the highest id.
//
// Thread rule: changing operations (add, add_batch, add_matrix, add_batch_parallel, remove,
// reclaim, load) need exclusive access from the holder. search needs only shared access; searches
// of one index run in parallel, each with a scratch of its own taken from the index's pool (its
// mutex is held only to take and to give back a scratch), and give the results a single-threaded
// search would give.
class HnswIndex final : public VectorIndex {
 public:
  // The HnswIndex file written by save_file: this header, then the graph record.
  //   offset 0  u64 dimensions
  //   offset 8  u32 metric code (0 L2, 1 Cosine, 2 DotProduct)
  //   offset 12 u64 ef_construction (the index's copy)
  //   offset 20 u64 ef_search
  //   offset 28 u64 m (the index's copy)
  //   offset 36 the graph record (see HnswGraph::encode)
  // The older layout, still read by load_file: the same 36 bytes, u64 (unused), u64 n, then n
  // entries of u64 id and a length-prefixed f32 vector.
  static constexpr std::size_t kFileHeaderBytes = 36;
  // The graph record of an empty graph: N = 0, no entry point, m, m_max0, ef_construction,
  // level_mult.
  static constexpr std::size_t kEmptyGraphRecordBytes = 8 + 1 + 8 * 4;

  // An empty index; the graph gets m, m_max0 = 2m, ef_construction and 1 / ln(max(m, 2)). An ef of
  // 0 acts as 1, an m of 0 gives a graph without edges. Callers that take settings from a user or a
  // file check them with check_config first, so that every graph the index saves loads again.
  HnswIndex(std::size_t dimensions, Metric metric, std::size_t ef_construction,
            std::size_t ef_search, std::size_t m);

  // The largest settings whose saved graph the loader takes back (m_max0 = 2m included).
  static constexpr std::uint64_t kMaxM = HnswGraph::kMaxLoadedLinks / 2;
  static constexpr std::uint64_t kMaxEfConstruction = HnswGraph::kMaxLoadedWidth;
  // InvalidConfig for the first setting no index can hold, in this order: ef_construction above
  // kMaxEfConstruction, m above kMaxM. Any ef_search is accepted: a search never holds more
  // candidates than the nodes it reaches.
  static Result<> check_config(std::uint64_t ef_construction, std::uint64_t ef_search,
                               std::uint64_t m);

  HnswIndex(HnswIndex&& other) noexcept;
  HnswIndex& operator=(HnswIndex&& other) noexcept;

  // DimensionMismatch, then DuplicateId when the id is live (a deleted id comes back).
  Result<> add(std::uint64_t id, std::span<const float> vector) override;
  // Every item is checked first in list order (length, then whether its id is live now); the first
  // failure is returned and nothing changes. The same id twice in one batch is inserted twice: the
  // second vector replaces the first.
  Result<> add_batch(std::span<const IndexItem> items) override;
  // `data` holds rows x cols floats; row i gets id start_id + i (mod 2^64). DimensionMismatch when
  // cols is not the dimensions. No duplicate check: a live id is re-inserted (len counts it once).
  Result<> add_matrix(std::span<const float> data, std::size_t rows, std::size_t cols,
                      std::uint64_t start_id);
  // As add_matrix, with the layer searches of each micro-batch (micro_batch_size rows, 0 = 256) run
  // on a private pool of num_threads threads (0 = the processors available) after the first
  // micro-batch went in sequentially; rows of one micro-batch never link to each other. When no
  // pool can be started the remaining rows are inserted on the calling thread. A worker's exception
  // is rethrown here after the pool stopped (the graph may then hold unlinked rows). `launch`
  // starts the workers (tests replace it).
  Result<> add_batch_parallel(std::span<const float> data, std::size_t rows, std::size_t cols,
                              std::uint64_t start_id, std::size_t num_threads,
                              std::size_t micro_batch_size,
                              const WorkerPool::Launcher& launch = WorkerPool::default_launch);
  // As above with row i stored under ids[i] (rows = ids.size()). A collection's batch passes ids
  // that are distinct and not live, so no row overwrites another.
  Result<> add_batch_parallel(std::span<const std::uint64_t> ids, std::span<const float> data,
                              std::size_t cols, std::size_t num_threads,
                              std::size_t micro_batch_size,
                              const WorkerPool::Launcher& launch = WorkerPool::default_launch);

  // DimensionMismatch first (also when empty); then the k best of max(ef_search, k) candidates,
  // ascending distance, equal distances in ascending id. L2 distances are square-rooted. When the
  // walk reaches fewer than min(k, len()) live nodes, an exact scan of every node's row answers.
  Result<std::vector<SearchHit>> search(std::span<const float> query, std::size_t k) const override;
  // DimensionMismatch first (also when empty); then the k nearest live vectors whose id `accept`
  // passes, or all passing ones when fewer pass, with search's distances and order. The layer-0
  // walk runs with the filter (refused nodes lead on, as deleted ones do) and keeps max(ef_search,
  // k) passing nodes. An exact scan of every node's row answers instead when a sample of the
  // filter predicts the walk too long, when the walk grows past its budget (see the .cc: at most a
  // third of the scan's cost), and when it finds fewer than k. `accept` runs on the calling
  // thread.
  Result<std::vector<SearchHit>> search_filtered(std::span<const float> query, std::size_t k,
                                                 const IdFilter& accept) const override;
  // False when the id is not live. The node stays in the graph as a waypoint of later searches
  // until the next reclaim(), which runs here once the nodes of deleted ids outnumber half the
  // live ones (and kReclaimMinNodes). Deleting the entry point elects the live node with the
  // highest level (ties: the highest id).
  bool remove(std::uint64_t id) override;
  // Drops the nodes of deleted ids: every list that names one is repaired (its live entries, then
  // live nodes the deleted ones led to; HnswGraph::repair_lists), the live nodes are
  // renumbered, in their order, into arrays of their own size (HnswGraph::drop_non_live), and a
  // node no layer-0 list names any more is linked from its nearest neighbour
  // (HnswGraph::link_unnamed). Memory then follows the live vectors, searches walk only live
  // nodes, and a save writes the graph as it is. Returns the number of nodes dropped; 0 changes
  // nothing. Throws std::bad_alloc when memory is exhausted (the graph stays usable).
  std::size_t reclaim();
  // The fewest nodes of deleted ids that make remove() reclaim: a small graph is not worth it.
  static constexpr std::size_t kReclaimMinNodes = 1024;
  std::size_t len() const override { return graph_.count(); }
  IndexHeader header() const override { return {dimensions_, metric_}; }
  // Live items in ascending id order.
  std::unique_ptr<IndexIterator> iter() const override;

  // "hnsw.graph": the graph record (see HnswGraph::encode), then a trailer that ties it to the
  // index that saved it:
  //   offset 0      the graph record
  //   offset R      u64 kGraphTrailerMagic
  //   offset R + 8  u32 metric code
  //   offset R + 12 u64 dimensions
  //   offset R + 20 u32 CRC-32C (checksum.h) of bytes 0 .. R + 20
  // Readers of the bare record ignore what follows level_mult, so they still read the file.
  // Graphs under the earlier magic "HNSWSUM1" may have been saved while memory still held deleted
  // nodes, each list patched around them; after long churn such a graph searched far worse than a
  // fresh build (recall 0.78 against 0.92), so load refuses them and they are built anew once.
  static constexpr std::uint64_t kGraphTrailerMagic = 0x324d555357534e48;  // "HNSWSUM2"
  static constexpr std::size_t kGraphTrailerBytes = 24;
  // Writes the trailer after the record `out` has written since its start_checksum(): the magic,
  // `metric`, `dimensions` and the checksum of everything before the checksum field.
  static void encode_graph_trailer(Encoder& out, Metric metric, std::uint64_t dimensions);

  // Writes "hnsw.graph". Nothing when no vector is live; otherwise the file is replaced safely (Io
  // to create it, Serialization for a write failure).
  Result<> save(const std::string& path) const override;
  // A path whose metadata cannot be read changes nothing and succeeds. Io when it cannot be opened
  // or mapped. Serialization, leaving the index unchanged, for a file this index cannot trust: no
  // trailer (a graph saved before there was one, or not a graph at all), one saved for another
  // metric or dimensions, a checksum that does not match, a record that does not end where the
  // trailer starts or does not decode (the encoding's texts, a vector of the wrong length, a graph
  // too large to hold), and settings (m, m_max0, ef_construction, level multiplier) other than
  // those this index builds with. Otherwise the saved graph replaces the current one entirely.
  Result<> load(const std::string& path) override;

  // The HnswIndex file (header, then the graph record), replaced safely; written even when empty.
  // Io when the file cannot be created, Serialization for a write failure.
  Result<> save_file(const std::string& path) const;
  // Io when the file cannot be opened. A file that reads completely as the current layout (header
  // and graph record) loads as it, or fails with the refusal of HnswGraph::from_snapshot. Any other
  // file is read as the older layout, whose vectors are inserted again, and fails with that
  // layout's failure (Serialization, also for settings that HnswGraph::check_settings refuses).
  static Result<HnswIndex> load_file(const std::string& path);

  const HnswGraph& graph() const { return graph_; }
  std::size_t dimensions() const { return dimensions_; }
  Metric metric() const { return metric_; }
  std::size_t ef_construction() const { return ef_construction_; }
  std::size_t ef_search() const { return ef_search_; }
  std::size_t m() const { return m_; }

 private:
  // Scratches for searches and inserts, one per caller at a time. A caller takes one (a new one
  // when none is free) and gives it back when its lease ends; the mutex is held only for that. At
  // most two per processor are kept, so a burst of threads does not leave a visited list per
  // thread behind.
  class ScratchPool {
   public:
    class Lease {
     public:
      Lease(const ScratchPool* pool, std::unique_ptr<HnswSearchScratch> scratch)
          : pool_(pool), scratch_(std::move(scratch)) {}
      Lease(const Lease&) = delete;
      Lease& operator=(const Lease&) = delete;
      ~Lease() { pool_->give_back(std::move(scratch_)); }
      HnswSearchScratch& operator*() const { return *scratch_; }

     private:
      const ScratchPool* pool_;
      std::unique_ptr<HnswSearchScratch> scratch_;
    };

    ScratchPool();
    // Moving takes the free scratches; it needs exclusive access to `other`.
    ScratchPool(ScratchPool&& other) noexcept : free_(std::move(other.free_)), keep_(other.keep_) {}
    ScratchPool& operator=(ScratchPool&& other) noexcept;

    // A scratch covering `node_count` nodes. Throws std::bad_alloc when memory is exhausted.
    Lease take(std::size_t node_count) const;
    // Frees the scratches not taken (their visited lists cover a graph that has shrunk).
    void release_free() const noexcept;

   private:
    void give_back(std::unique_ptr<HnswSearchScratch> scratch) const noexcept;

    mutable std::mutex mutex_;
    // Capacity for `keep_` scratches, reserved up front, so giving one back never allocates.
    mutable std::vector<std::unique_ptr<HnswSearchScratch>> free_;
    std::size_t keep_;
  };

  // The nodes of the ids id_at(0) .. id_at(rows - 1), numbering new ones, with room reserved for
  // all of them first (defined in the .cc, its only user).
  template <class IdAt>
  std::vector<HnswNode> assign_nodes(std::size_t rows, IdAt id_at);
  // The parallel insert of `data` into the given nodes (one row each).
  void insert_parallel(const std::vector<HnswNode>& nodes, std::span<const float> data,
                       std::size_t num_threads, std::size_t micro_batch_size,
                       const WorkerPool::Launcher& launch);
  // The graph record of a "hnsw.graph" file whose trailer names this index's metric and dimensions
  // and whose checksum matches; Serialization otherwise (see load).
  Result<std::span<const std::uint8_t>> trusted_record(std::span<const std::uint8_t> file) const;
  // The first k pairs of `w` as hits; a run of equal reported distances is ordered by id, also
  // where it crosses the cut.
  std::vector<SearchHit> to_hits(std::span<const HnswPair> w, std::size_t k) const;
  // The exact filtered answer: a scan of every node's row.
  std::vector<SearchHit> scan_filtered(std::span<const float> query, std::size_t k,
                                       const IdFilter& accept) const;

  HnswGraph graph_;
  std::size_t dimensions_;
  Metric metric_;
  std::size_t ef_construction_;
  std::size_t ef_search_;
  std::size_t m_;
  ScratchPool scratches_;
};

}  // namespace sorvel
