#include "collection/collection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "check.h"
#include "collection/index_factory.h"
#include "collection/snapshot.h"
#include "collection/wal_tail.h"
#include "index/flat/flat_index.h"
#include "index/hnsw/hnsw_index.h"
#include "posix_file.h"
#include "str_cat.h"

namespace sorvel {

namespace {

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::string_view> text_view(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return std::string_view(*text);
}

std::optional<std::span<const std::uint8_t>> bytes_view(
    const std::optional<std::vector<std::uint8_t>>& bytes) {
  if (!bytes) return std::nullopt;
  return std::span<const std::uint8_t>(*bytes);
}

// Body size of an Add record (see wal.h): 20 + 4n + payload field + sparse field.
std::uint64_t add_body_size(std::size_t components, const std::optional<std::string>& payload,
                            const std::optional<std::vector<std::uint8_t>>& sparse) {
  return 20 + 4 * static_cast<std::uint64_t>(components) + (payload ? 9 + payload->size() : 1) +
         (sparse ? 9 + sparse->size() : 1);
}

// Reads "wal.log" front to back through one buffer. Records are handed out as views into the
// buffer when they lie in it whole, else copied into a record buffer of exactly their length; no
// length is trusted beyond the bytes the file still holds.
class LogReader {
 public:
  static constexpr std::size_t kChunk = 1 << 20;

  LogReader(int fd, std::uint64_t file_size) : fd_(fd), file_size_(file_size) {
    buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, file_size)));
  }

  // Where the next record starts: the end of the last record read whole.
  std::uint64_t position() const { return position_; }

  // The next record's body, or nullopt at the end of what can be read: a clean end, a torn
  // length or body, a length beyond the remaining bytes, or one above kMaxWalRecordBody. Io for a
  // failed read.
  Result<std::optional<std::span<const std::uint8_t>>> next() {
    const std::uint64_t left = file_size_ - position_;
    if (left < 4) return std::nullopt;
    std::uint32_t length = 0;
    SORVEL_ASSIGN_OR_RETURN(std::span<const std::uint8_t> prefix, take(4));
    if (prefix.size() < 4) return std::nullopt;
    std::memcpy(&length, prefix.data(), 4);
    if (length > kMaxWalRecordBody || length > left - 4) return std::nullopt;
    SORVEL_ASSIGN_OR_RETURN(std::span<const std::uint8_t> body, take(length));
    if (body.size() < length) return std::nullopt;
    position_ += 4 + static_cast<std::uint64_t>(length);
    return std::optional<std::span<const std::uint8_t>>(body);
  }

 private:
  // Up to `n` next bytes (fewer only at the end of the file), valid until the next call.
  Result<std::span<const std::uint8_t>> take(std::size_t n) {
    if (end_ - begin_ >= n) {
      std::span<const std::uint8_t> out(buffer_.data() + begin_, n);
      begin_ += n;
      return out;
    }
    if (n <= buffer_.size()) {
      // Move the rest to the front and refill behind it.
      const std::size_t rest = end_ - begin_;
      std::memmove(buffer_.data(), buffer_.data() + begin_, rest);
      begin_ = 0;
      end_ = rest;
      SORVEL_TRY(fill(buffer_.data(), buffer_.size(), end_, n));
      const std::size_t got = std::min(n, end_);
      std::span<const std::uint8_t> out(buffer_.data(), got);
      begin_ = got;
      return out;
    }
    // Longer than the buffer: exactly n bytes in a record buffer of their own.
    record_.resize(n);
    const std::size_t rest = end_ - begin_;
    std::memcpy(record_.data(), buffer_.data() + begin_, rest);
    begin_ = end_ = 0;
    std::size_t have = rest;
    SORVEL_TRY(fill(record_.data(), n, have, n));
    return std::span<const std::uint8_t>(record_.data(), have);
  }

  // Reads into dst[have, capacity) until at least `want` bytes are there or the file ends.
  Result<> fill(std::uint8_t* dst, std::size_t capacity, std::size_t& have, std::size_t want) {
    while (have < want) {
      const ssize_t got = ::read(fd_, dst + have, capacity - have);
      if (got < 0) {
        if (errno == EINTR) continue;
        return DbError::io_from_errno(errno);
      }
      if (got == 0) break;
      have += static_cast<std::size_t>(got);
    }
    return ok();
  }

  int fd_;
  std::uint64_t file_size_;
  std::uint64_t position_ = 0;
  std::vector<std::uint8_t> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::vector<std::uint8_t> record_;
};

// Writes "meta.json" through "meta.json.tmp": written, forced to stable storage, renamed over the
// old file, and the directory forced, so a crash leaves either the old or the new metadata.
// `renamed` tells a caller whose write failed whether "meta.json" already holds the new metadata.
Result<> write_meta_through_temp(const std::string& dir, const CollectionMeta& meta,
                                 bool& renamed) {
  renamed = false;
  const std::string temp = join_path(dir, kMetaTempFileName);
  const std::string text = meta.to_json();
  {
    SORVEL_ASSIGN_OR_RETURN(UniqueFd fd, create_anew(temp));
    SORVEL_TRY(write_all(
        fd.get(), std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
    SORVEL_TRY(sync_fd(fd.get()));
    SORVEL_TRY(fd.close());
  }
  const std::string target = join_path(dir, kMetaFileName);
  SORVEL_TRY(rename_path(temp, target));
  renamed = true;
  return sync_parent_dir(target);
}

// The files a collection rewrites from what its log holds: the sparse checkpoint and the two
// caches. One that is no regular file (a FIFO, a device, a link to either) can never be read, and
// a save would write into it in place, where a FIFO blocks the writer: it is removed (a link
// itself, never what it names). A dangling link names the file a save creates and stays, as does
// a directory, which no save writes into. Io when a removal fails.
Result<> remove_irregular_derived_files(const std::string& dir) {
  for (const std::string_view name : {kSparseFileName, kHnswGraphFileName, kMmapFileName}) {
    const std::string path = join_path(dir, name);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) continue;
    if (S_ISLNK(st.st_mode)) {
      struct stat target {};
      if (::stat(path.c_str(), &target) != 0 || S_ISREG(target.st_mode)) continue;
    }
    SORVEL_TRY(remove_if_present(path));
  }
  return ok();
}

const Payload kNullPayload;

// Entries per log append of a batch, and per index insert of a flat collection's batch.
constexpr std::size_t kBatchChunk = 4096;
// Rows per parallel insert into an HNSW index (a batch's group, a reopening's missing rows): large
// enough that the insert's sequential first micro-batch is a small share, small enough to bound
// the rows copied for it.
constexpr std::size_t kParallelGroup = 65536;

// Reads out.size() floats stored at `offset` of the file `fd`. Io for a failed read, and for a
// file that ends first (the log was cut back while it was read).
Result<> read_floats_at(int fd, std::uint64_t offset, std::span<float> out) {
  auto* dst = reinterpret_cast<std::uint8_t*>(out.data());
  const std::size_t want = out.size_bytes();
  std::size_t have = 0;
  while (have < want) {
    const ssize_t got = ::pread(fd, dst + have, want - have, static_cast<off_t>(offset + have));
    if (got < 0) {
      if (errno == EINTR) continue;
      return DbError::io_from_errno(errno);
    }
    if (got == 0) {
      return DbError::io(IoError::with_message("wal.log ended while its vectors were read back"));
    }
    have += static_cast<std::size_t>(got);
  }
  return ok();
}

// Whether two vectors are the same bit for bit (NaN payloads and signed zeros included).
bool same_bits(std::span<const float> a, std::span<const float> b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
}

// How many entries ahead of the batch checks a payload's members are asked for, and how much of
// them: the payloads of a large batch lie all over the heap, and the first touch of each would
// otherwise stall on memory (most of the checks' time).
constexpr std::size_t kPrefetchAhead = 8;
constexpr std::size_t kPrefetchBytes = 256;

void prefetch_payload(const Payload& payload) {
  const void* data = nullptr;
  std::size_t bytes = 0;
  if (payload.kind() == Payload::Kind::Object) {
    data = payload.as_object().data();
    bytes = payload.as_object().size() * sizeof(Payload::Member);
  } else if (payload.kind() == Payload::Kind::Array) {
    data = payload.as_array().data();
    bytes = payload.as_array().size() * sizeof(Payload);
  }
  for (std::size_t at = 0; at < std::min(bytes, kPrefetchBytes); at += 64) {
    __builtin_prefetch(static_cast<const char*>(data) + at);
  }
}

// A set of ids for one chunk at a time: open addressing over a power-of-two table sized once for
// the largest chunk, emptied in O(1) by moving to a new generation.
class ChunkIdSet {
 public:
  explicit ChunkIdSet(std::size_t max_count) {
    while ((std::size_t{1} << bits_) < 2 * max_count) ++bits_;
    ids_.resize(std::size_t{1} << bits_);
    generations_.assign(std::size_t{1} << bits_, 0);
  }

  void clear() { ++generation_; }  // 2^32 chunks of a batch cannot happen

  // Adds `id`; false when it is already in the set.
  bool insert(std::uint64_t id) {
    const std::size_t mask = ids_.size() - 1;
    std::size_t slot = static_cast<std::size_t>(mix(id) >> (64 - bits_));
    while (generations_[slot] == generation_) {
      if (ids_[slot] == id) return false;
      slot = (slot + 1) & mask;
    }
    generations_[slot] = generation_;
    ids_[slot] = id;
    return true;
  }

 private:
  // The splitmix64 finaliser: spreads ids that differ only in a few bits over the whole table.
  static std::uint64_t mix(std::uint64_t x) {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
  }

  unsigned bits_ = 1;
  std::vector<std::uint64_t> ids_;
  std::vector<std::uint32_t> generations_;
  std::uint32_t generation_ = 1;
};

// Room for `extra` more payloads without a rehash inside the batch, growing at least by doubling:
// unordered_map::reserve by the exact count also shrinks, and would rehash at every small batch.
void grow_payloads_for(PayloadMap& map, std::size_t extra) {
  const std::size_t needed = map.size() + extra;
  const auto room = static_cast<std::size_t>(static_cast<double>(map.bucket_count()) *
                                             static_cast<double>(map.max_load_factor()));
  if (needed > room) map.reserve(std::max(needed, 2 * map.size()));
}

}  // namespace

struct Collection::BatchScratch {
  // `group`: the most entries inserted at once.
  explicit BatchScratch(std::size_t group) : ids(group) {
    records.reserve(std::min(group, kBatchChunk));
    superseded.reserve(group);
  }
  std::vector<WalAddRecord> records;
  ChunkIdSet ids;
  std::vector<std::uint8_t> superseded;
  // A flat collection's items, or an HNSW collection's ids and rows.
  std::vector<IndexItem> items;
  std::vector<std::uint64_t> row_ids;
  std::vector<float> rows;
};

Collection::Collection(CollectionMeta meta, std::string dir, std::unique_ptr<VectorIndex> index)
    : meta_(std::move(meta)), dir_(std::move(dir)), index_(std::move(index)) {}

Collection::~Collection() = default;

std::string Collection::path_in_dir(std::string_view file) const { return join_path(dir_, file); }

// --- open and create ---

Result<std::unique_ptr<Collection>> Collection::open(std::string dir, RestoreTraces traces) {
  if (traces == RestoreTraces::kFinish) SORVEL_TRY(finish_interrupted_restore(dir));
  const std::string temp = join_path(dir, kWalTempFileName);
  if (status_readable(temp)) SORVEL_TRY(remove_if_present(temp));
  // Saves of an earlier run that never reached their rename; the data-directory lock keeps other
  // processes' writers out.
  remove_stale_writer_temporaries(dir);
  remove_deleted_snapshot(dir);
  SORVEL_TRY(remove_irregular_derived_files(dir));

  SORVEL_ASSIGN_OR_RETURN(std::vector<std::uint8_t> meta_bytes,
                          read_regular_file(join_path(dir, kMetaFileName)));
  SORVEL_ASSIGN_OR_RETURN(CollectionMeta meta, CollectionMeta::from_json(std::string_view(
                                                   reinterpret_cast<const char*>(meta_bytes.data()),
                                                   meta_bytes.size())));
  SORVEL_ASSIGN_OR_RETURN(std::unique_ptr<VectorIndex> index,
                          create_index(meta, dir, MmapFileUse::kRebuild));
  std::unique_ptr<Collection> c(new Collection(std::move(meta), std::move(dir), std::move(index)));

  // The sparse checkpoint is optional: any failure just starts from an empty sparse index, and
  // the log's sparse parts still apply on top.
  const std::string sparse_path = c->path_in_dir(kSparseFileName);
  if (is_regular_file(sparse_path)) {
    Result<std::vector<std::uint8_t>> bytes = read_regular_file(sparse_path);
    if (!bytes && is_resource_shortage(bytes.error())) return DbError(std::move(bytes).error());
    if (bytes) {
      Result<SparseIndex> sparse = SparseIndex::read_file(*bytes);
      if (sparse) c->sparse_ = std::move(sparse).value();
    }
  }

  const std::string wal_path = c->path_in_dir(kWalFileName);
  if (c->meta_.index_type == IndexType::Hnsw) {
    SORVEL_TRY(c->open_hnsw_index(wal_path));
  } else {
    SORVEL_TRY(c->replay(wal_path, nullptr));
    // The other kinds finish here (IVF kinds train, the memory-mapped kind writes its file).
    SORVEL_TRY(c->index_->load(c->path_in_dir(kHnswGraphFileName)));
  }
  SORVEL_TRY(settle_replayed_log(wal_path, std::move(c->replayed_log_)));
  if (c->meta_.index_type == IndexType::MmapFlat && c->index_->is_empty()) {
    // Nothing to write, so the flush left the old file alone; it is stale.
    (void)remove_if_present(c->path_in_dir(kMmapFileName));  // ignored at every open anyway
  }

  SORVEL_ASSIGN_OR_RETURN(WalWriter writer, WalWriter::open(wal_path));
  // The log opens for appending; its descriptor waits for the first write.
  writer.close_descriptor();
  c->wal_.emplace(std::move(writer));
  // The log counts as a compaction's live records followed by everything else it holds, so the
  // records earlier sessions appended count toward the next compaction.
  const std::uint64_t live = c->index_->len();
  c->compacted_records_ = live;
  c->wal_->set_appended(c->replayed_records_ > live ? c->replayed_records_ - live : 0);
  return c;
}

Result<> Collection::replay(const std::string& wal_path, ReplayedVectors* deferred) {
  if (!status_readable(wal_path)) return ok();
  SORVEL_ASSIGN_OR_RETURN(UniqueFd fd, open_regular_read(wal_path));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return DbError::io_from_errno(errno);
  const auto file_size = static_cast<std::uint64_t>(st.st_size > 0 ? st.st_size : 0);

  // Sparse vectors of "sparse.bin" whose id the log gives no live vector: the checkpoint is
  // written before the log it belongs to is, so a log read short leaves some behind.
  std::unordered_set<std::uint64_t> unbacked;
  unbacked.reserve(sparse_.len());
  sparse_.for_each_vector([&](std::uint64_t id, const SparseVector&) { unbacked.insert(id); });

  LogReader reader(fd.get(), file_size);
  ReplayedLog log(std::move(fd), file_size);
  auto* flat = dynamic_cast<FlatIndex*>(index_.get());
  for (;;) {
    const std::uint64_t record_start = reader.position();
    SORVEL_ASSIGN_OR_RETURN(std::optional<std::span<const std::uint8_t>> body, reader.next());
    if (!body) break;
    ++replayed_records_;
    Result<WalEntry> entry = WalEntry::decode(*body);
    // An undecodable body is skipped; the reader stays aligned as long as its length was right.
    if (entry && apply_record(*entry, deferred,
                              record_start + kWalLengthBytes + kWalAddVectorOffset, unbacked)) {
      log.note_applied(record_start, static_cast<std::uint32_t>(body->size()), entry->body_size());
    } else {
      log.note_damage(record_start);
    }
    if (flat != nullptr) bound_dead_rows(*flat);
  }
  log.stop(reader.position());
  for (const std::uint64_t id : unbacked) sparse_.remove(id);
  // Settled once the index is complete: a deferred replay reads vectors back from this log.
  replayed_log_ = std::move(log);
  return ok();
}

bool Collection::apply_record(const WalEntry& entry, ReplayedVectors* deferred,
                              std::uint64_t vector_offset,
                              std::unordered_set<std::uint64_t>& unbacked) {
  const std::uint64_t id = entry.id;
  if (entry.kind == WalEntry::Kind::Delete) {
    if (deferred != nullptr) {
      deferred->erase(id);
    } else {
      index_->remove(id);
    }
    payloads_.erase(id);
    sparse_.remove(id);
    if (!unbacked.empty()) unbacked.erase(id);
    return true;
  }
  // Writes refuse vectors of another length before logging them, so such a record is foreign to
  // this collection: it is skipped whole and the id keeps what it had.
  if (entry.vector.size() != meta_.dimensions) return false;
  if (deferred != nullptr) {
    // An index that is reconciled later accepts every vector of the right length.
    deferred->insert_or_assign(id, ReplayedVector{vector_offset, index_holds(id, entry.vector)});
  } else {
    index_->remove(id);
    if (!index_->add(id, entry.vector)) {
      // As a live write: the id lost its vector, no more.
      if (sparse_.find(id) != nullptr) unbacked.insert(id);
      return true;
    }
  }
  if (!unbacked.empty()) unbacked.erase(id);
  if (!entry.payload) {
    payloads_.erase(id);
  } else {
    Result<Payload> payload = Payload::from_text(*entry.payload);
    if (payload) payloads_.insert_or_assign(id, std::move(payload).value());
  }
  if (entry.sparse) {
    Result<SparseVector> sparse = SparseVector::decode(*entry.sparse);
    if (sparse) sparse_.insert(id, std::move(sparse).value());
  }
  return true;
}

bool Collection::index_holds(std::uint64_t id, std::span<const float> vector) const {
  const auto* hnsw = dynamic_cast<const HnswIndex*>(index_.get());
  if (hnsw == nullptr) return false;
  const HnswGraph& graph = hnsw->graph();
  const std::optional<HnswNode> node = graph.find_node(id);
  return node && graph.is_live(*node) && same_bits(graph.vector(*node), vector);
}

Result<> Collection::open_hnsw_index(const std::string& wal_path) {
  const std::string graph_path = path_in_dir(kHnswGraphFileName);
  // A graph that does not load leaves the index as it was; a fresh one makes sure of it.
  if (!index_->load(graph_path)) {
    SORVEL_ASSIGN_OR_RETURN(index_, create_index(meta_, dir_, MmapFileUse::kRebuild));
  }
  ReplayedVectors replayed;
  SORVEL_TRY(replay(wal_path, &replayed));
  SORVEL_TRY(reconcile_index(wal_path, std::move(replayed)));

  GraphOpening& g = graph_opening_;
  if (index_->is_empty()) {
    // A graph beside an empty collection would only be loaded and dropped again at every opening.
    if (status_readable(graph_path)) (void)remove_if_present(graph_path);  // best effort
  } else if (g.inserted > 0 && g.inserted * kGraphSaveShare >= index_->len()) {
    // The nodes the reconciliation removed go first, so the saved graph is the one memory holds.
    dynamic_cast<HnswIndex&>(*index_).reclaim();
    // Best effort: a graph that is not saved is only rebuilt again at the next opening.
    g.saved = index_->save(graph_path).has_value();
  }
  return ok();
}

Result<> Collection::reconcile_index(const std::string& wal_path, ReplayedVectors replayed) {
  const auto dims = static_cast<std::size_t>(meta_.dimensions);
  GraphOpening& g = graph_opening_;
  g = GraphOpening{};
  // The graph may come from any earlier compaction or opening (its save can fail after the log
  // rewrite, or later writes and deletes follow it), or from another collection: every node is
  // checked against the log. Each entry the replay found in the index is a live node of its own;
  // every other live node holds no replayed vector.
  const std::size_t live = index_->len();
  for (const auto& [id, r] : replayed) g.kept += r.in_index ? 1 : 0;
  const std::size_t stale = live - g.kept;
  if (live > 0 && (stale > g.kept || g.kept * kGraphKeptShare < replayed.size())) {
    SORVEL_ASSIGN_OR_RETURN(index_, create_index(meta_, dir_, MmapFileUse::kRebuild));
    g.kept = 0;
    for (auto& [id, r] : replayed) r.in_index = false;
  } else if (stale > 0) {
    const HnswGraph& graph = dynamic_cast<const HnswIndex&>(*index_).graph();
    std::vector<std::uint64_t> gone;
    gone.reserve(stale);
    for (std::size_t n = 0; n < graph.node_count(); ++n) {
      const auto node = static_cast<HnswNode>(n);
      if (!graph.is_live(node)) continue;
      const auto found = replayed.find(graph.id_of(node));
      if (found == replayed.end() || !found->second.in_index) gone.push_back(graph.id_of(node));
    }
    for (const std::uint64_t id : gone) index_->remove(id);
    g.removed = gone.size();
  }
  g.loaded = g.kept + g.removed > 0;

  // What is left is missing from the index: inserted in the order of the log, a group of rows at a
  // time.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> missing;  // (offset, id)
  missing.reserve(replayed.size() - g.kept);
  for (const auto& [id, r] : replayed) {
    if (!r.in_index) missing.emplace_back(r.offset, id);
  }
  ReplayedVectors().swap(replayed);
  std::sort(missing.begin(), missing.end());
  g.inserted = missing.size();
  if (missing.empty()) return ok();
  SORVEL_ASSIGN_OR_RETURN(const UniqueFd log, open_read(wal_path));
  std::vector<std::uint64_t> ids;
  std::vector<float> rows;
  for (std::size_t begin = 0; begin < missing.size(); begin += kParallelGroup) {
    const std::size_t stop = std::min(missing.size(), begin + kParallelGroup);
    ids.resize(stop - begin);
    rows.resize((stop - begin) * dims);
    for (std::size_t i = begin; i < stop; ++i) {
      ids[i - begin] = missing[i].second;
      SORVEL_TRY(read_floats_at(log.get(), missing[i].first,
                                std::span(rows).subspan((i - begin) * dims, dims)));
    }
    insert_new_rows(ids, rows);
  }
  return ok();
}

void Collection::insert_new_rows(VectorIndex& index, std::span<const std::uint64_t> ids,
                                 std::span<const float> rows) {
  const std::size_t dims = index.header().dimensions;
  SORVEL_CHECK(rows.size() == ids.size() * dims, "insert_new_rows: rows do not match the ids");
  if (auto* hnsw = dynamic_cast<HnswIndex*>(&index);
      hnsw != nullptr && ids.size() >= kParallelInsertRows) {
    const Result<> added = hnsw->add_batch_parallel(ids, rows, dims, /*num_threads=*/0,
                                                    /*micro_batch_size=*/0);
    SORVEL_CHECK(added.has_value(),
                 str_cat("parallel insert refused after its checks: ", added.error().display()));
    return;
  }
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const Result<> added = index.add(ids[i], rows.subspan(i * dims, dims));
    SORVEL_CHECK(added.has_value(),
                 str_cat("insert refused after its checks: ", added.error().display()));
  }
}

Result<std::unique_ptr<Collection>> Collection::create(std::string dir, CollectionMeta meta) {
  SORVEL_ASSIGN_OR_RETURN(std::unique_ptr<VectorIndex> index,
                          create_index(meta, dir, MmapFileUse::kRebuild));
  const std::string meta_path = join_path(dir, kMetaFileName);
  const std::string wal_path = join_path(dir, kWalFileName);
  // A directory holding a log or metadata is some collection's data (one that the last opening
  // passed over, or another writer's): never adopt or overwrite it.
  if (status_readable(meta_path) || status_readable(wal_path)) {
    return DbError::collection_already_exists(meta.name);
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return io_from_error_code(ec);
  // Files derived from a log that no longer exists would come back at the next opening.
  for (std::string_view leftover :
       {kSparseFileName, kMmapFileName, kHnswGraphFileName, kWalTempFileName}) {
    SORVEL_TRY(remove_if_present(join_path(dir, leftover)));
  }
  const std::string text = meta.to_json();
  SORVEL_TRY(replace_file(
      meta_path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
  Result<WalWriter> writer = WalWriter::open(wal_path);
  if (!writer) {
    (void)remove_if_present(meta_path);  // best effort: the creation failed as a whole
    return DbError(std::move(writer).error());
  }
  std::unique_ptr<Collection> c(new Collection(std::move(meta), std::move(dir), std::move(index)));
  writer->close_descriptor();  // taken again at the first write
  c->wal_.emplace(std::move(writer).value());
  return c;
}

// --- accessors ---

const Payload* Collection::payload(std::uint64_t id) const {
  const auto it = payloads_.find(id);
  return it == payloads_.end() ? nullptr : &it->second;
}

std::size_t Collection::sparse_count() const { return sparse_.len(); }

std::uint64_t Collection::wal_appended() const { return wal_ ? wal_->appended() : 0; }

// --- writes ---

bool Collection::release_writer() { return !wal_ || wal_->close_descriptor(); }

Result<> Collection::ensure_writer() {
  if (wal_open()) return ok();
  if (releaser_ != nullptr) releaser_->make_room(this);
  Result<> opened = open_writer();
  if (!opened && is_descriptor_shortage(opened.error()) && releaser_ != nullptr &&
      releaser_->release_idle_writers(this) > 0) {
    opened = open_writer();
  }
  return opened;
}

Result<> Collection::open_writer() {
  if (wal_) return wal_->reopen();
  SORVEL_ASSIGN_OR_RETURN(WalWriter writer, WalWriter::open(path_in_dir(kWalFileName)));
  wal_.emplace(std::move(writer));
  return ok();
}

Result<> Collection::check_vector(std::span<const float> vector) const {
  if (vector.size() != meta_.dimensions) {
    return DbError::dimension_mismatch(meta_.dimensions, vector.size());
  }
  return ok();
}

Result<> Collection::replace_vector(std::uint64_t id, std::span<const float> vector) {
  index_->remove(id);  // the result only matters to a delete
  return index_->add(id, vector);
}

void Collection::store_payload(std::uint64_t id, std::optional<Payload> payload) {
  if (payload) {
    payloads_.insert_or_assign(id, std::move(*payload));
  } else {
    payloads_.erase(id);
  }
}

void Collection::bound_dead_rows(FlatIndex& flat) {
  if (flat.dead_rows() >= std::max(flat.len(), kMinDeadRows)) flat.compact_rows();
}

bool Collection::compaction_due() const {
  if (!wal_) return false;
  const std::uint64_t appended = wal_->appended();
  if (appended < meta_.wal_compact_threshold) return false;
  // A rewrite costs the live records. Waiting until the appends since the last one reach the
  // records it wrote pays for it (an ingest writes each record a bounded number of times), and
  // so does waiting until the log holds twice the live records: every append adds at most two
  // records the rewrite drops (a delete and the Add it ends), so then the appends are at least
  // half the live count. The second arm bounds the log when deletes shrink the collection.
  return appended >= compacted_records_ || compacted_records_ + appended >= 2 * index_->len();
}

Result<> Collection::after_write(bool may_promote) {
  if (auto* flat = dynamic_cast<FlatIndex*>(index_.get())) bound_dead_rows(*flat);
  if (compaction_due()) SORVEL_TRY(compact_wal());
  if (may_promote && meta_.auto_promote_threshold && meta_.index_type == IndexType::Flat &&
      index_->len() >= *meta_.auto_promote_threshold) {
    SORVEL_TRY(promote_to_hnsw());
  }
  return ok();
}

Result<> Collection::upsert(std::uint64_t id, std::span<const float> vector,
                            std::optional<Payload> payload) {
  return upsert_hybrid(id, vector, std::nullopt, std::move(payload));
}

Result<> Collection::upsert_hybrid(std::uint64_t id, std::span<const float> vector,
                                   std::optional<SparseVector> sparse,
                                   std::optional<Payload> payload) {
  SORVEL_TRY(check_vector(vector));
  if (payload) SORVEL_TRY(check_payload_nesting(*payload));
  std::optional<std::string> text;
  if (payload) text = payload->to_compact_text();
  std::optional<std::vector<std::uint8_t>> sparse_bytes;
  if (sparse) sparse_bytes = sparse->encode();
  SORVEL_TRY(check_wal_record_size(add_body_size(vector.size(), text, sparse_bytes)));
  SORVEL_TRY(ensure_writer());

  // write_add takes its record back out of the log when it fails, so an error here leaves log
  // and memory as they were.
  SORVEL_TRY(wal_->write_add(id, vector, text_view(text), bytes_view(sparse_bytes)));
  wal_->count_record();

  SORVEL_TRY(replace_vector(id, vector));
  if (sparse) sparse_.insert(id, std::move(*sparse));
  store_payload(id, std::move(payload));
  return after_write(/*may_promote=*/true);
}

Result<> Collection::upsert_batch(std::vector<CollectionEntry> entries) {
  // Every check that depends only on the entries runs before the first record is appended, so a
  // refused batch changes nothing. The payload texts go into one arena: entry i's text is
  // texts[text_begin[i], text_begin[i + 1]), absent when has_text[i] is 0.
  const std::size_t n = entries.size();
  std::string texts;
  std::vector<std::size_t> text_begin(n + 1, 0);
  std::vector<std::uint8_t> has_text(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kPrefetchAhead < n && entries[i + kPrefetchAhead].payload) {
      prefetch_payload(*entries[i + kPrefetchAhead].payload);
    }
    const CollectionEntry& e = entries[i];
    SORVEL_TRY(check_vector(e.vector));
    text_begin[i] = texts.size();
    if (e.payload) {
      SORVEL_TRY(check_payload_nesting(*e.payload));
      e.payload->append_compact_text(texts);
      has_text[i] = 1;
    }
    const std::uint64_t text_bytes = texts.size() - text_begin[i];
    SORVEL_TRY(check_wal_record_size(20 + 4 * static_cast<std::uint64_t>(e.vector.size()) +
                                     (has_text[i] ? 9 + text_bytes : 1) + 1));
  }
  text_begin[n] = texts.size();
  SORVEL_TRY(ensure_writer());
  const auto text_of = [&](std::size_t i) -> std::optional<std::string_view> {
    if (!has_text[i]) return std::nullopt;
    return std::string_view(texts).substr(text_begin[i], text_begin[i + 1] - text_begin[i]);
  };

  if (batch_insert_cannot_fail()) {
    // Group by group: append the group's records chunk by chunk, then insert the group, so an
    // entry reaches the index only after its record was appended and the index takes many entries
    // at a time. An HNSW group is large, so the parallel insert's pool has rows to share out.
    if (auto* flat = dynamic_cast<FlatIndex*>(index_.get())) flat->reserve(n);
    grow_payloads_for(payloads_,
                      static_cast<std::size_t>(std::count(has_text.begin(), has_text.end(), 1)));
    const std::size_t group = meta_.index_type == IndexType::Hnsw ? kParallelGroup : kBatchChunk;
    BatchScratch scratch(std::min(n, group));
    for (std::size_t begin = 0; begin < n; begin += group) {
      const std::size_t stop = std::min(n, begin + group);
      std::size_t logged = begin;
      Result<> appended = ok();
      while (logged < stop && appended) {
        const std::size_t end = std::min(stop, logged + kBatchChunk);
        scratch.records.clear();
        for (std::size_t i = logged; i < end; ++i) {
          scratch.records.push_back(WalAddRecord{entries[i].id, entries[i].vector, text_of(i)});
        }
        // The records are appended even when writing them out fails (they stay buffered), so
        // they are applied either way and memory keeps in step with the log.
        appended = wal_->append_adds(scratch.records);
        wal_->set_appended(wal_->appended() + (end - logged));
        logged = end;
      }
      insert_logged_entries(std::span(entries).subspan(begin, logged - begin), scratch);
      if (!appended) {
        (void)wal_->flush();  // the append's error is the one reported
        return appended;
      }
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      CollectionEntry& e = entries[i];
      Result<> appended = wal_->append_add(e.id, e.vector, text_of(i), std::nullopt);
      if (!appended) {
        // The failed append left nothing of its record; the earlier ones must reach the file so
        // the log holds exactly what memory holds.
        (void)wal_->flush();  // the append's error is the one reported
        return appended;
      }
      wal_->count_record();
      Result<> added = replace_vector(e.id, e.vector);
      if (!added) {
        // The record stays: replay refuses it the same way, leaving the id without a vector.
        (void)wal_->flush();  // the index's error is the one reported
        return added;
      }
      store_payload(e.id, std::move(e.payload));
    }
  }
  SORVEL_TRY(wal_->flush());
  return after_write(/*may_promote=*/true);
}

bool Collection::batch_insert_cannot_fail() const {
  // These check only the length (done) and whether the id is live (every id is deleted first, and
  // the inverted files replace a held id), check everything before inserting anything, and accept
  // any u64 id.
  switch (meta_.index_type) {
    case IndexType::Flat:
    case IndexType::Hnsw:
    case IndexType::Ivf:
    case IndexType::IvfPq:
      return true;
    default:
      return false;
  }
}

void Collection::insert_logged_entries(std::span<CollectionEntry> entries, BatchScratch& scratch) {
  // The last entry of a repeated id wins, as it would entry by entry. Repeats are rare: one pass
  // finds whether there are any, and only then a backward pass marks the earlier entries.
  scratch.ids.clear();
  bool repeated = false;
  for (const CollectionEntry& e : entries) {
    if (!scratch.ids.insert(e.id)) {
      repeated = true;
      break;
    }
  }
  scratch.superseded.assign(entries.size(), 0);
  if (repeated) {
    scratch.ids.clear();
    for (std::size_t i = entries.size(); i-- > 0;) {
      scratch.superseded[i] = scratch.ids.insert(entries[i].id) ? 0 : 1;
    }
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!scratch.superseded[i]) index_->remove(entries[i].id);
  }
  if (meta_.index_type == IndexType::Hnsw) {
    // The parallel insert takes one matrix: each row is copied in and its entry's vector released
    // at once, so the batch is not held twice.
    const auto dims = static_cast<std::size_t>(meta_.dimensions);
    scratch.row_ids.clear();
    scratch.rows.clear();
    scratch.rows.reserve(entries.size() * dims);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (scratch.superseded[i]) continue;
      CollectionEntry& e = entries[i];
      scratch.row_ids.push_back(e.id);
      scratch.rows.insert(scratch.rows.end(), e.vector.begin(), e.vector.begin() + dims);
      std::vector<float>().swap(e.vector);
    }
    insert_new_rows(scratch.row_ids, scratch.rows);
  } else {
    scratch.items.clear();
    for (std::size_t i = 0; i < entries.size(); ++i) {
      CollectionEntry& e = entries[i];
      if (!scratch.superseded[i]) scratch.items.push_back(IndexItem{e.id, std::move(e.vector)});
    }
    const Result<> added = index_->add_batch(scratch.items);
    SORVEL_CHECK(added.has_value(),
                 str_cat("batch insert refused after its checks: ", added.error().display()));
    scratch.items.clear();
  }
  for (CollectionEntry& e : entries) store_payload(e.id, std::move(e.payload));
}

Result<bool> Collection::remove(std::uint64_t id) {
  SORVEL_TRY(ensure_writer());
  SORVEL_TRY(wal_->write_delete(id));
  wal_->count_record();
  const bool removed = index_->remove(id);
  sparse_.remove(id);
  payloads_.erase(id);
  SORVEL_TRY(after_write(/*may_promote=*/false));
  return removed;
}

Result<> Collection::flush_wal() {
  if (!wal_) return ok();
  return wal_->flush();
}

// --- search ---

std::vector<CollectionHit> Collection::with_payloads(std::span<const SearchHit> hits) const {
  std::vector<CollectionHit> out;
  out.reserve(hits.size());
  for (const SearchHit& h : hits) {
    const Payload* p = payload(h.id);
    out.push_back(CollectionHit{p ? std::optional<Payload>(*p) : std::nullopt, h.id, h.distance});
  }
  return out;
}

Result<std::vector<CollectionHit>> Collection::search(std::span<const float> query,
                                                      std::uint64_t n) const {
  // No index returns more than len() hits, and an HNSW width at or above len() already reaches
  // every node, so the cap changes no result; it keeps a huge n from sizing anything.
  const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, index_->len()));
  SORVEL_ASSIGN_OR_RETURN(std::vector<SearchHit> hits, index_->search(query, k));
  return with_payloads(hits);
}

// A filter over the collection's payloads. An id without a payload is tested as null: only
// filters that null passes keep it.
struct Collection::PayloadTest {
  const Collection& collection;
  const FilterCondition& filter;

  bool operator()(std::uint64_t id) const {
    const Payload* p = collection.payload(id);
    return filter.matches(p ? *p : kNullPayload);
  }
  // Every id's lookup first, then its members asked for, then the tests: the lookups of ids in no
  // memory order are independent, so their cache misses overlap instead of coming one at a time.
  void batch(const std::uint64_t* ids, std::size_t n, bool* out) const {
    const Payload* found[kIdFilterBatch];
    for (std::size_t i = 0; i < n; ++i) {
      found[i] = collection.payload(ids[i]);
      if (found[i] != nullptr) __builtin_prefetch(found[i]->elements());
    }
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = filter.matches(found[i] ? *found[i] : kNullPayload);
    }
  }
};

Result<std::vector<CollectionHit>> Collection::search_filtered(
    std::span<const float> query, std::uint64_t k, const FilterCondition* filter) const {
  if (filter == nullptr) return search(query, k);
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(k, index_->len()));
  const PayloadTest passes{*this, *filter};
  SORVEL_ASSIGN_OR_RETURN(std::vector<SearchHit> hits,
                          index_->search_filtered(query, want, IdFilter(passes)));
  return with_payloads(hits);
}

// --- compaction and promotion ---

WalEntry Collection::live_record(IndexItem item) const {
  const std::uint64_t id = item.id;
  return ::sorvel::live_record(id, std::move(item.vector), payload(id), sparse_.find(id));
}

std::vector<WalEntry> Collection::collect_live_records() const {
  std::vector<WalEntry> records;
  records.reserve(index_->len());
  const std::unique_ptr<IndexIterator> it = index_->iter();
  while (std::optional<IndexItem> item = it->next()) {
    records.push_back(live_record(std::move(*item)));
  }
  return records;
}

Result<> Collection::compact_wal() {
  // The sparse checkpoint goes first: with a stale "sparse.bin" beside a rewritten log, sparse
  // vectors of ids deleted before the rewrite would come back at every opening. Beside the old
  // log a current checkpoint is harmless, since replaying the old log on top of it ends in the
  // same state.
  const std::string sparse_path = path_in_dir(kSparseFileName);
  if (!sparse_.is_empty()) {
    SORVEL_TRY(sparse_.write_file(sparse_path));
  } else {
    SORVEL_TRY(remove_if_present(sparse_path));
  }

  // Streamed from the index into the rewriter: no record is held beyond its buffer.
  const std::string wal_path = path_in_dir(kWalFileName);
  SORVEL_ASSIGN_OR_RETURN(WalRewriter log, WalRewriter::create(wal_path));
  {
    std::string text;
    const std::unique_ptr<IndexIterator> it = index_->iter();
    while (std::optional<IndexItem> item = it->next()) {
      const Payload* p = payload(item->id);
      text.clear();
      if (p != nullptr) p->append_compact_text(text);
      std::optional<std::vector<std::uint8_t>> sparse;
      if (const SparseVector* v = sparse_.find(item->id)) sparse = v->encode();
      SORVEL_TRY(log.add(item->id, item->vector,
                         p != nullptr ? std::optional<std::string_view>(text) : std::nullopt,
                         bytes_view(sparse)));
    }
  }
  const Result<> committed = log.commit();
  if (!committed && !log.replaced()) return committed;  // the old log is still in force

  // "wal.log" is the rewritten file from here on, whatever failed after the rename: the old
  // writer's file is gone from the directory, and records appended to it would never be replayed.
  // Every record it took was flushed before the compaction started. Without a writer every write
  // retries the open before changing anything.
  wal_.reset();
  compacted_records_ = log.records();
  // An update of a flat collection leaves the old row behind; the rewritten log holds only the live
  // rows, so the index drops the dead ones too and memory follows the live count.
  if (auto* flat = dynamic_cast<FlatIndex*>(index_.get())) flat->compact_rows();
  // Likewise the graph drops the nodes of deleted ids, so the saved graph is the one memory holds.
  if (auto* hnsw = dynamic_cast<HnswIndex*>(index_.get())) hnsw->reclaim();
  Result<WalWriter> writer = WalWriter::open(wal_path);
  if (writer) wal_.emplace(std::move(writer).value());
  SORVEL_TRY(committed);
  if (!writer) return DbError(std::move(writer).error());
  return index_->save(path_in_dir(kHnswGraphFileName));
}

Result<> Collection::promote_to_hnsw() {
  const HnswConfig config = meta_.promotion_hnsw_config.value_or(HnswConfig{});
  const auto dims = static_cast<std::size_t>(meta_.dimensions);
  auto hnsw = std::make_unique<HnswIndex>(dims, meta_.metric,
                                          static_cast<std::size_t>(config.ef_construction),
                                          static_cast<std::size_t>(config.ef_search),
                                          static_cast<std::size_t>(config.m));
  {
    // A group of rows at a time, each checked before it goes in: a refusal drops the new index
    // and leaves the collection as it was. The flat index yields each live id once.
    std::vector<std::uint64_t> ids;
    std::vector<float> rows;
    const auto insert_group = [&] {
      insert_new_rows(*hnsw, ids, rows);
      ids.clear();
      rows.clear();
    };
    const std::unique_ptr<IndexIterator> it = index_->iter();
    while (std::optional<IndexItem> item = it->next()) {
      if (item->vector.size() != dims) {
        return DbError::dimension_mismatch(dims, item->vector.size());
      }
      ids.push_back(item->id);
      rows.insert(rows.end(), item->vector.begin(), item->vector.end());
      if (ids.size() == kParallelGroup) insert_group();
    }
    insert_group();
  }
  CollectionMeta promoted = meta_;
  promoted.index_type = IndexType::Hnsw;
  promoted.hnsw_config = config;
  bool renamed = false;
  Result<> written = write_meta_through_temp(dir_, promoted, renamed);
  // Memory follows what "meta.json" names, so a reopening serves what this collection serves: an
  // error before the rename leaves the flat collection (the next upsert promotes again).
  if (renamed) {
    index_ = std::move(hnsw);
    meta_ = std::move(promoted);
  }
  SORVEL_TRY(std::move(written));
  // Best effort, as at opening: without it the next opening builds the graph again.
  (void)index_->save(path_in_dir(kHnswGraphFileName));
  return ok();
}

}  // namespace sorvel
