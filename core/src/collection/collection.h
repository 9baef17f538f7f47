#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "collection/collection_meta.h"
#include "collection/node_pool.h"
#include "collection/sparse_index.h"
#include "collection/wal.h"
#include "collection/wal_tail.h"
#include "index/vector_index.h"
#include "payload/filter_condition.h"
#include "payload/payload.h"
#include "result.h"

namespace sorvel {

class FlatIndex;

// The files of a collection directory.
inline constexpr std::string_view kMetaFileName = "meta.json";
inline constexpr std::string_view kMetaTempFileName = "meta.json.tmp";
inline constexpr std::string_view kWalFileName = "wal.log";
inline constexpr std::string_view kWalTempFileName = "wal.log.tmp";
inline constexpr std::string_view kSparseFileName = "sparse.bin";
inline constexpr std::string_view kHnswGraphFileName = "hnsw.graph";

// The collection's payload store: vector id -> payload. An id without an entry has no payload; a
// stored null is a payload. Its nodes come from a pool, so the payloads of ids stored in order lie
// in order whatever the heap held before.
using PayloadMap = std::unordered_map<std::uint64_t, Payload, std::hash<std::uint64_t>,
                                      std::equal_to<std::uint64_t>,
                                      PoolAllocator<std::pair<const std::uint64_t, Payload>>>;

// One result of a collection search: a copy of the id's payload (absent when it has none), the id
// and the distance the index reported. Owns its payload, so it outlives the client lock.
struct CollectionHit {
  std::optional<Payload> payload;
  std::uint64_t id = 0;
  float distance = 0.0f;
};

// One entry of a batch upsert.
struct CollectionEntry {
  std::uint64_t id = 0;
  std::vector<float> vector;
  std::optional<Payload> payload;
};

class Collection;

// What a collection asks of the owner of its neighbours when its log writer needs a descriptor:
// ClientState implements it over the collections of one client. Called only with the owner's
// exclusive access held (a collection's writes are).
class WriterReleaser {
 public:
  // Before `opening` takes a descriptor: may release the idle writers of the other collections,
  // so that the client's writers keep within their share of the descriptors the process may open.
  virtual void make_room(const Collection* opening) = 0;
  // Releases the descriptor of every idle writer (Collection::release_writer) of the collections
  // but `keep`; returns how many were released.
  virtual std::size_t release_idle_writers(const Collection* keep) = 0;

  virtual ~WriterReleaser() = default;
};

// One collection in memory: its metadata, its write-ahead log writer, its directory, its index,
// its payloads and its sparse vectors. Every write reaches "wal.log" (flushed to the operating
// system, not forced to stable storage) before it changes memory, so Collection::open rebuilds the
// same state from the log.
//
// Thread rule: no lock of its own. The owner (the client state) serialises: the changing
// operations (upsert*, remove, compact_wal, promote_to_hnsw, flush_wal) need exclusive access; the
// const ones may run on several threads at once.
//
// Dropping a collection writes out what its log writer still buffers (errors ignored) and closes
// the file; nothing else on disk is touched.
//
// The log writer holds a descriptor only from the first write on (opening and creation check that
// the log opens for appending, then close it again), and gives it back when its owner releases
// idle writers for want of descriptors (release_writer): a process may keep more collections than
// it may open files.
class Collection {
 public:
  // The fewest rows an HNSW collection inserts through the parallel batch insert; smaller inserts
  // stay on the calling thread (a pool would have little to share out).
  static constexpr std::size_t kParallelInsertRows = 1024;
  // An opening saves "hnsw.graph" when the vectors it inserted into the graph are at least
  // 1 / kGraphSaveShare of the live count (a graph built anew always is): every later opening
  // would repeat those inserts, which then cost more than writing the graph once. Removals alone
  // never save: repeating them costs next to nothing.
  static constexpr std::size_t kGraphSaveShare = 32;
  // A loaded graph is built anew instead of reconciled when more of its live nodes hold no
  // replayed vector than hold one (a foreign graph, or one saved before most of the log's
  // deletes), or when it holds less than 1 / kGraphKeptShare of the replayed vectors: inserting
  // the rest into it would then cost about as much as a fresh build, and its removed nodes would
  // stay behind as waypoints.
  static constexpr std::size_t kGraphKeptShare = 3;
  // A flat collection's index drops its dead rows (bound_dead_rows) once they reach its live rows
  // and at least this many, so a tiny collection does not reallocate its rows every few updates.
  static constexpr std::size_t kMinDeadRows = 1024;

  // What the opening of an HNSW collection did with its graph.
  struct GraphOpening {
    bool loaded = false;         // "hnsw.graph" loaded and was reconciled (not built anew)
    std::size_t kept = 0;        // nodes of the loaded graph that already held their vector
    std::size_t removed = 0;     // nodes of the loaded graph removed
    std::size_t inserted = 0;    // vectors inserted
    bool saved = false;          // "hnsw.graph" saved
  };

  // What an opening does with the traces of an interrupted snapshot restore in the directory.
  enum class RestoreTraces {
    kFinish,  // finish_interrupted_restore (snapshot.h) before anything else is read
    kKeep,    // left alone: only for the restore's own reopening, whose marker is still in force
  };

  // Opens the collection directory `dir` (the path is kept as given):
  //  0. with kFinish, brings a directory that a restore was cut short in back to one whole
  //     collection (the old one or the restored one; see finish_interrupted_restore in
  //     snapshot.h), with its errors (Io, Serialization for a malformed marker);
  //  1. removes a leftover "wal.log.tmp" (a rewrite that never reached its rename); Io when it
  //     cannot be removed; then, best effort, the temporary files that other processes' saves
  //     (AtomicFileWriter) left in `dir`, and the rest of an interrupted snapshot removal; then
  //     a "sparse.bin", "hnsw.graph" or "vectors.mmap" that is no regular file (nor a link to
  //     one): never readable, and a save would write into it in place (Io when it cannot be
  //     removed);
  //  2. reads "meta.json" (Io, also when it is no regular file: internal files are never opened
  //     in a way that waits on a FIFO) and parses it (Serialization);
  //  3. builds the empty index with create_index (InvalidConfig for settings no index can hold,
  //     promotion_hnsw_config and the faiss type included: check_collection_settings); a
  //     memory-mapped collection rebuilds "vectors.mmap" from the log instead of trusting the old
  //     file;
  //  4. loads "sparse.bin" when it is a regular file; any failure leaves the sparse index empty;
  //  5. replays "wal.log" when it exists (Io when it cannot be opened or read, or is no regular
  //     file). Tolerated silently: a torn last record (length or body cut off), a length the
  //     replay does not accept (above 2^28, or beyond what the file still holds; the rest of the
  //     file is not read), records that do not decode (skipped, the reader stays aligned), vectors
  //     whose length is not `dimensions` (the record is skipped whole), payload text that does not
  //     parse (the id keeps its earlier payload), sparse bytes that do not decode (the sparse
  //     index is untouched). Sparse vectors (of "sparse.bin") whose id ends the replay without a
  //     live vector are dropped;
  //  6. lets the index finish its state (IVF kinds train, the memory-mapped kind writes its file).
  //     An HNSW collection first loads "hnsw.graph" and then makes it agree with the replayed
  //     entries (see open_hnsw_index), so it ends holding exactly the ids and vectors (bit for bit)
  //     that a rebuild from the log would hold. A graph that is missing, does not load or was saved
  //     for other settings (HnswIndex::load), or that fits the log too little (kGraphKeptShare),
  //     is ignored and the graph is built anew through the parallel batch insert. When the opening
  //     inserted many vectors (kGraphSaveShare) it drops the nodes it removed (HnswIndex::reclaim)
  //     and saves "hnsw.graph" (best effort: a failed save only leaves the next opening to repeat
  //     the work);
  //  7. settles a log the replay did not read cleanly (settle_replayed_log, wal_tail.h), so that
  //     records appended later are found by the next replay: a torn final record in a log read in
  //     step is cut away; after any skipped record, bytes ignored after a record's last field, or
  //     a length not accepted, the old log is kept whole as "wal.log.damaged-<offset>" and
  //     "wal.log" becomes exactly the records replayed (Io);
  //  8. opens "wal.log" for appending (Io), creating it when missing, and closes it again: the
  //     writer takes its descriptor at the first write. Its counter holds the records the log
  //     holds beyond the live count, as appended since a compaction that wrote the live count
  //     (compaction_due).
  // A resource the process ran short of (descriptors, memory: is_resource_shortage) fails the
  // opening with its Io wherever it strikes, reading "sparse.bin" included, rather than leaving
  // anything out.
  // On failure nothing built survives; on disk only the finished restore, the removed leftovers,
  // the settled log tail and what the index's finishing step wrote remain changed.
  static Result<std::unique_ptr<Collection>> open(std::string dir,
                                                  RestoreTraces traces = RestoreTraces::kFinish);

  // Creates the collection directory `dir` for `meta` and returns the empty collection. Errors in
  // order of checks: the index factory's (InvalidConfig; nothing written); CollectionAlreadyExists
  // (meta.name) when `dir` already holds "meta.json" or "wal.log" (nothing touched); Io when the
  // directory cannot be created, "meta.json" cannot be written (it is written to a temporary file
  // and renamed into place, so it is never seen half-written) or "wal.log" cannot be opened (the
  // new "meta.json" is then removed again). Leftover "sparse.bin", "vectors.mmap", "hnsw.graph"
  // and "wal.log.tmp" files, which belong to no log, are removed first.
  static Result<std::unique_ptr<Collection>> create(std::string dir, CollectionMeta meta);

  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;
  ~Collection();

  const CollectionMeta& meta() const { return meta_; }
  const std::string& dir() const { return dir_; }
  const VectorIndex& index() const { return *index_; }
  // Number of live vectors (the index's len).
  std::size_t len() const { return index_->len(); }
  const PayloadMap& payloads() const { return payloads_; }
  // The stored payload of `id`, or null when it has none.
  const Payload* payload(std::uint64_t id) const;
  const SparseIndex& sparse() const { return sparse_; }
  // Number of stored sparse vectors.
  std::size_t sparse_count() const;
  // Records appended since the log last compacted; after an opening, the records the log holds
  // beyond the live count, plus those appended since.
  std::uint64_t wal_appended() const;
  // Whether the log writer holds a descriptor: from a write on, until release_writer, or until a
  // compaction could not reopen the log (the next write retries).
  bool wal_open() const { return wal_ && wal_->is_open(); }
  // Gives the log writer's descriptor back when nothing waits to be written (WalWriter::
  // close_descriptor: the buffer is flushed first); the counter stays. True when no descriptor
  // is held afterwards. The next write takes one again.
  bool release_writer();
  // Who frees descriptors when the writer cannot get one (null: nobody; the write fails with Io).
  // Not owned; it outlives the collection.
  void set_writer_releaser(WriterReleaser* releaser) { releaser_ = releaser; }
  WriterReleaser* writer_releaser() const { return releaser_; }
  // For an HNSW collection, what its opening did with the graph (all zero for a created one).
  const GraphOpening& graph_opening() const { return graph_opening_; }

  // Stores `vector` and `payload` (absent: the id ends without payload) under `id`, replacing what
  // the id had; its sparse vector is kept. Errors in order of checks, each leaving memory and log
  // as they were: DimensionMismatch {dimensions, length}; InvalidConfig for a payload nested deeper
  // than kMaxJsonDepth or a record longer than kMaxWalRecordBody; Io when no log writer can be
  // opened; Io when the record cannot be appended or flushed (it is taken back out of the log).
  // Then the index's refusal of the vector (the id's earlier vector is gone, payload unchanged;
  // replay does the same with the record).
  // After the write is applied: the errors of compaction (when compaction_due) and of promotion
  // (flat collections reaching auto_promote_threshold).
  Result<> upsert(std::uint64_t id, std::span<const float> vector, std::optional<Payload> payload);

  // Upserts every entry in list order with one flush at the end; the last entry of a repeated id
  // wins. Every vector's length, payload nesting and record size is checked before anything is
  // appended (DimensionMismatch or InvalidConfig for the first bad entry; nothing changes); then
  // Io when no log writer can be opened. When an entry
  // fails later (append or index), the entries before it stay applied, their records are flushed
  // so memory and log agree, the failing entry's record is taken back unless the index already
  // saw it, and the error is returned without the compaction and promotion checks. A failed final
  // flush returns Io with every entry applied in memory and the unflushed records still buffered
  // (they reach the file with the next flush). An empty batch still runs both checks.
  // Flat and HNSW collections append records in chunks of 4096 entries (composed into the log
  // buffer, and written out in large writes once it holds more than 8192 bytes), and only then
  // insert the entries whose records were appended. Flat collections insert each chunk through
  // add_batch on the calling thread. HNSW collections insert groups of up to 65536 entries (the
  // records of a whole group are appended first) through the parallel batch insert on a private
  // pool of one thread per available processor, for the duration of the call; groups of fewer
  // than kParallelInsertRows distinct ids go in on the calling thread. When writing a chunk out
  // fails, its records stay buffered whole, the entries appended so far are applied and the Io
  // returned.
  Result<> upsert_batch(std::vector<CollectionEntry> entries);

  // As upsert, with a sparse vector: present, it replaces the id's sparse vector; absent, the
  // stored one is kept.
  Result<> upsert_hybrid(std::uint64_t id, std::span<const float> vector,
                         std::optional<SparseVector> sparse, std::optional<Payload> payload);

  // Deletes `id` (its vector, sparse vector and payload); true when the index held a live vector.
  // An absent id still logs and counts a record. Errors: Io (no writer, append or flush; memory and
  // log unchanged); then compaction's errors (the delete itself is applied). Never promotes.
  Result<bool> remove(std::uint64_t id);

  // The index's n nearest hits (n capped at len(), which changes no result), each with a copy of
  // its payload. The index's errors (DimensionMismatch) unchanged.
  Result<std::vector<CollectionHit>> search(std::span<const float> query, std::uint64_t n) const;
  // Without a filter: search(query, k). With one: the k nearest vectors whose payload (null when
  // the id has none) matches, ascending distance, or every matching one when fewer than k match
  // (the index's search_filtered). Exact indexes give the exact answer; the approximate ones
  // return as many hits, and answer by an exact scan where their own search would cost about as
  // much. k = 0 gives an empty list (after the index checked the query).
  Result<std::vector<CollectionHit>> search_filtered(std::span<const float> query, std::uint64_t k,
                                                     const FilterCondition* filter) const;

  // Rewrites "wal.log" as one Add record per live vector. In order: write "sparse.bin" through a
  // temporary file and a rename (or remove a stale one when no sparse vector is stored) so the
  // sparse checkpoint never lags behind a rewritten log; rewrite the log through "wal.log.tmp"
  // and a rename, streaming the records from the index; open a new writer with `appended` = 0;
  // save the index's "hnsw.graph". Errors: Io / Serialization of the step that failed. A failure
  // before the log rename leaves the old log and its writer in force. Once the rename is done the
  // collection counts the log as compacted, and its writer follows "wal.log" even when the
  // directory sync after the rename fails; when the open fails the collection has no writer and
  // every write retries the open first. The graph is saved only after a compaction that succeeded
  // up to there.
  Result<> compact_wal();

  // Replaces the index by an HNSW index (promotion_hnsw_config or {200, 50, 12}) holding every
  // current vector, inserted as insert_new_rows does, sets index_type hnsw and hnsw_config, writes
  // "meta.json" through "meta.json.tmp" (forced to stable storage, then renamed), then saves
  // "hnsw.graph" (best effort, as at opening). Errors: the HNSW index's refusal of a vector (the
  // new index is dropped: nothing changes); Io for the metadata file, where memory follows the
  // disk: a failure before the rename changes nothing (the next upsert retries), one after it (the
  // directory's sync) keeps the promotion; no graph is saved. The log is not touched.
  Result<> promote_to_hnsw();

  // The Add record that describes `item` (a live vector of this collection's index): its id and
  // vector, the compact text of its payload and the byte form of its sparse vector when present.
  WalEntry live_record(IndexItem item) const;
  // live_record of every item of the index, in iteration order (compaction and snapshots).
  std::vector<WalEntry> collect_live_records() const;

  // Writes out whatever the log writer buffers (a snapshot restore calls this before it replaces
  // the log). Io on failure.
  Result<> flush_wal();

 private:
  Collection(CollectionMeta meta, std::string dir, std::unique_ptr<VectorIndex> index);

  std::string path_in_dir(std::string_view file) const;
  // Makes the log writer hold a descriptor: the releaser's make_room first; when the open fails
  // for want of descriptors (is_descriptor_shortage), the releaser gives back the idle writers of
  // the other collections and the open is tried once more. Io when it cannot; nothing changed.
  Result<> ensure_writer();
  // Reopens the writer, or opens a new one when there is none (after a failed reopen at
  // compaction); Io when it cannot.
  Result<> open_writer();
  // DimensionMismatch unless the vector has `dimensions` components.
  Result<> check_vector(std::span<const float> vector) const;
  // Index half of an upsert: delete, then add.
  Result<> replace_vector(std::uint64_t id, std::span<const float> vector);
  void store_payload(std::uint64_t id, std::optional<Payload> payload);
  // Whether the index's add_batch, after this collection's own checks and a delete of every id,
  // cannot refuse anything (and so a batch may change the index in one call).
  bool batch_insert_cannot_fail() const;
  // Working space that the chunks of one batch share (collection.cc).
  struct BatchScratch;
  // Deletes every entry's id, adds the vectors at once (the last entry of an id wins: add_batch
  // of a flat index, insert_new_rows of an HNSW index) and stores the payloads. Takes the vectors
  // and payloads out of `entries`.
  void insert_logged_entries(std::span<CollectionEntry> entries, BatchScratch& scratch);
  // Whether the log is due for a compaction (see compaction_due in collection.cc for why): the
  // records appended since the last one reach wal_compact_threshold and either the records it
  // wrote or the live count again (the log holds twice the live records).
  bool compaction_due() const;
  // Compacts the rows of a flat index once its dead rows reach its live rows (and kMinDeadRows),
  // so updates between compactions, and a replay of a log full of them, keep at most about two
  // rows per live vector. Keeps the live rows in their order, which changes no search result.
  static void bound_dead_rows(FlatIndex& flat);
  // Dead-row bounding, then the compaction check, then (upserts only) the promotion check.
  Result<> after_write(bool may_promote);
  // The hits with copies of their payloads.
  std::vector<CollectionHit> with_payloads(std::span<const SearchHit> hits) const;
  // Where a deferred replay left the vectors: per id whose last record is an applied Add, the
  // file offset in "wal.log" of that record's vector, and whether the index held that very vector
  // (bit for bit) while the log was replayed.
  struct ReplayedVector {
    std::uint64_t offset = 0;
    bool in_index = false;
  };
  using ReplayedVectors = std::unordered_map<std::uint64_t, ReplayedVector>;
  // Replays "wal.log". With `deferred`, the index is not touched: the vectors' offsets are noted
  // there instead (payloads and sparse vectors are applied either way).
  // Sparse vectors whose id ends the replay without a live vector are dropped. What the log needs
  // settling (replayed_log_) is settled by open() once the index is complete.
  Result<> replay(const std::string& wal_path, ReplayedVectors* deferred);
  // Applies one record; false when it is skipped whole. `unbacked` holds the ids whose sparse
  // vector has no live vector so far.
  bool apply_record(const WalEntry& entry, ReplayedVectors* deferred, std::uint64_t vector_offset,
                    std::unordered_set<std::uint64_t>& unbacked);
  // Whether the index holds `vector` under `id` (an HNSW index only; false for every other kind).
  bool index_holds(std::uint64_t id, std::span<const float> vector) const;
  // The index of an HNSW collection at opening: "hnsw.graph" when it loads, then a deferred replay
  // and reconcile_index, then the reclaim and save that kGraphSaveShare asks for; graph_opening_
  // tells what happened.
  Result<> open_hnsw_index(const std::string& wal_path);
  // Makes the index hold exactly the replayed vectors: nodes whose id the replay does not hold, or
  // whose vector differs in any bit from the replayed one, are removed (or the index is replaced by
  // an empty one, see kGraphKeptShare); replayed entries the index then lacks are inserted in log
  // order (through insert_new_rows), read back from the log a group of rows at a time. Io when the
  // log cannot be read back.
  Result<> reconcile_index(const std::string& wal_path, ReplayedVectors replayed);
  // Inserts rows (rows.size() / dimensions of them) under `ids`, which are distinct and not live
  // in `index`: an HNSW index takes kParallelInsertRows or more through its parallel batch insert,
  // everything else goes in one add at a time.
  static void insert_new_rows(VectorIndex& index, std::span<const std::uint64_t> ids,
                              std::span<const float> rows);
  void insert_new_rows(std::span<const std::uint64_t> ids, std::span<const float> rows) {
    insert_new_rows(*index_, ids, rows);
  }

  CollectionMeta meta_;
  std::optional<WalWriter> wal_;
  std::string dir_;
  std::unique_ptr<VectorIndex> index_;
  struct PayloadTest;
  PayloadMap payloads_;
  SparseIndex sparse_;
  GraphOpening graph_opening_;
  ReplayedLog replayed_log_;
  WriterReleaser* releaser_ = nullptr;
  // Records the last compaction wrote (at opening: the live count, see open).
  std::uint64_t compacted_records_ = 0;
  // Records the opening's replay read, skipped ones included.
  std::uint64_t replayed_records_ = 0;
};

}  // namespace sorvel
