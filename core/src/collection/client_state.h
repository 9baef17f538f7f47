#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "collection/collection.h"
#include "collection/collection_meta.h"
#include "distance/metric.h"
#include "owner_process.h"
#include "posix_file.h"
#include "result.h"

namespace sorvel {

// Registry: collection name (its meta.name, compared byte for byte) -> the collection. The map
// owns every collection; iteration order is arbitrary.
using CollectionMap = std::unordered_map<std::string, std::unique_ptr<Collection>>;

// What a collection directory's "meta.json" is renamed to when the collection is deleted: the one
// step after which no opening sees a collection there. The directory is then renamed to
// kRemovalDirPrefix and a number ("..deleted-1") and removed, the marker last; open_client removes
// a directory holding the marker (and no "meta.json"), or an empty one under a removal name, that
// a crash left behind.
inline constexpr std::string_view kDeletedMetaFileName = "meta.json.deleted";
inline constexpr std::string_view kRemovalDirPrefix = "..deleted-";

// The message of every lock taking after the state was poisoned.
inline constexpr std::string_view kPoisonedMessage =
    "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

// The index type names a collection can be created with: "flat", "hnsw", "quantized_flat", "ivf",
// "ivf_pq", "fp16_flat", "mmap_flat", "binary_flat" (exact match). Empty for anything else, "faiss"
// included. The caller reports "unknown index_type {}" with the name quoted.
std::optional<IndexType> creatable_index_type(std::string_view name);

// Whether `name` names exactly one directory entry below the data directory: not empty, not "." or
// "..", no '/' and no NUL.
bool is_plain_collection_name(std::string_view name);

// One open data directory: its path, the registry of its collections, and the one reader-writer
// lock that guards both and every collection in them (there is no lock per collection).
//
// Locking: every access goes through read() or write(), which hand out a guard holding the lock.
// An exception that escapes while a write guard is alive (an InvariantFailure, or bad_alloc in the
// middle of a change) poisons the state: the collection being changed may be half-changed. From
// then on read() and write() throw InvariantFailure(kPoisonedMessage). An exception under a read
// guard does not poison. No operation takes the lock twice; a caller holding a guard must not call
// the registry operations below (they take the lock themselves).
//
// The state holds an exclusive flock on a descriptor of the data directory itself from open_client
// until it is destroyed, so two clients never write one directory. The lock takes no name in the
// directory: every plain name ("LOCK" included) is a collection name. Destruction drops every
// collection (each flushes what its log still buffers) and then releases the lock.
//
// The state belongs to the process that opened it. A child forked from that process inherits it,
// but every change there is refused (check_owning_process) before any lock is taken, so the
// parent's files see one writer. Reads work in the child on the state as of the fork. Destroying
// the state in the child writes nothing: the inherited log writers drop their buffers, and closing
// the inherited descriptor of the directory leaves the lock with the parent.
//
// Descriptors: a collection's log writer holds one only once the collection is written. The
// state is every collection's WriterReleaser: when the writers holding one reach half the
// process's soft limit of open files (RLIMIT_NOFILE), or an open fails for want of descriptors,
// the idle writers of the other collections are flushed and closed (and reopened at their next
// write), so any number of collections can be written, and the other half stays free for the
// files a compaction or a snapshot opens for a while.
class ClientState : public WriterReleaser {
 public:
  // Shared access; find() and collections() read the registry. Movable, so a caller can release
  // it before it retakes the interpreter lock.
  class ReadGuard {
   public:
    const Collection* find(std::string_view name) const;
    const CollectionMap& collections() const { return state_->collections_; }
    const std::string& path() const { return state_->path_; }
    // Releases the lock early (a second call does nothing).
    void unlock() {
      if (lock_.owns_lock()) lock_.unlock();
    }

   private:
    friend class ClientState;
    explicit ReadGuard(const ClientState* state) : state_(state), lock_(state->mutex_) {}
    const ClientState* state_;
    std::shared_lock<std::shared_mutex> lock_;
  };

  // Exclusive access. Poisons the state when destroyed by an exception's unwinding.
  class WriteGuard {
   public:
    WriteGuard(WriteGuard&& other) noexcept
        : state_(other.state_), lock_(std::move(other.lock_)), uncaught_(other.uncaught_) {}
    WriteGuard& operator=(WriteGuard&&) = delete;
    ~WriteGuard();

    Collection* find(std::string_view name) const;
    // The registry itself, for operations that replace an entry (a restored snapshot).
    CollectionMap& collections() const { return state_->collections_; }
    const std::string& path() const { return state_->path_; }
    // Releases the lock early (a second call does nothing; no poisoning afterwards).
    void unlock();
    // For a caller that catches a failure and must give the lock back before it propagates the
    // failure (e.g. before it retakes the interpreter lock): poisons the state and unlocks.
    void abandon();

   private:
    friend class ClientState;
    explicit WriteGuard(ClientState* state);
    ClientState* state_;
    std::unique_lock<std::shared_mutex> lock_;
    int uncaught_;
  };

  ClientState(const ClientState&) = delete;
  ClientState& operator=(const ClientState&) = delete;
  ~ClientState();

  // The data directory exactly as the caller gave it.
  const std::string& path() const { return path_; }
  bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }

  // Io "the client of data directory {path} was opened in another process (pid {n}): open a new
  // Client in this process (pid {m}) to write" when called in any process but the one that opened
  // the state; nothing is locked or changed. No system call (OwnerProcess).
  Result<> check_owning_process() const;

  // Take the lock (blocking). InvariantFailure(kPoisonedMessage) when the state is poisoned.
  // write() is for the owning process only: every caller that changes anything passes
  // check_owning_process() first (InvariantFailure otherwise, before the lock is taken).
  ReadGuard read() const;
  WriteGuard write();

  // Creates, registers and returns nothing else of a new collection `name` (directory path/name)
  // with the defaults of a new collection: wal_compact_threshold 50000, hnsw_config {200, 50, 12}
  // only for hnsw, ivf_config {256, 16, 4096, 10} only for ivf, ivf_pq_config {256, 16, 4096, 10,
  // {8, 256, 25}} only for ivf_pq. Errors in order: InvalidConfig "invalid collection name: {}"
  // (the name debug-quoted; before the lock); InvalidConfig for IndexType::Faiss (before the
  // lock); check_owning_process's Io; then, under the write lock, CollectionAlreadyExists when the
  // name is registered or names a directory that did not open (delete_collection frees it); Io
  // when path/name is a directory whose deletion was cut short and its removal cannot be finished;
  // InvalidConfig from the index factory (an IVF-PQ configuration that does not fit the
  // dimensions; nothing written); then Collection::create's errors (CollectionAlreadyExists when
  // the directory holds "meta.json" or "wal.log", Io).
  Result<> create_collection(const std::string& name, std::uint64_t dimensions, Metric metric,
                             IndexType index_type);
  // True when `name` is registered (read lock).
  bool contains(std::string_view name) const;
  // contains() under the read lock; when absent, the read lock is released and create_collection
  // with the hnsw type runs. An existing collection is kept whatever its dimensions and metric. A
  // collection registered by another thread in between gives CollectionAlreadyExists.
  Result<> get_or_create_collection(const std::string& name, std::uint64_t dimensions,
                                    Metric metric);
  // Removes the directory the collection was opened from or created in (its dir(), never
  // path/name, which may be another directory), and every directory that the opening passed over
  // under this name because it did not open. Each removal is all or nothing under a crash:
  // "meta.json" is first renamed to kDeletedMetaFileName (from then on no opening sees a
  // collection there, and open_client finishes the removal), then the directory is renamed to a
  // removal name and everything in it goes, the marker last (whatever it is, a directory
  // included). A directory leaves the registry only after its first step, so a failure leaves the
  // name either registered with its collection untouched and usable, or free. A symbolic link in
  // place of a directory is removed itself, never followed; a directory already gone counts as
  // removed. check_owning_process's Io comes first (nothing touched). False when the name is
  // neither registered nor passed over (nothing touched). Io when a first step fails (the name
  // stays registered), or when a later step fails (the name is already free; what is left is no
  // collection, and the next opening or a creation of the name removes it).
  Result<bool> delete_collection(const std::string& name);
  // Every registered name, in the map's order (read lock).
  std::vector<std::string> list_collections() const;
  // Number of registered collections (read lock).
  std::size_t count_collections() const;

  // WriterReleaser, called by a collection's write under the write lock.
  void make_room(const Collection* opening) override;
  std::size_t release_idle_writers(const Collection* keep) override;

 private:
  friend Result<std::shared_ptr<ClientState>> open_client(std::string path);
  ClientState(std::string path, UniqueFd directory_lock, CollectionMap collections);
  void check_not_poisoned() const;

  std::string path_;
  // The locked descriptor of the data directory. Declared before the registry so it is released
  // after every collection has been dropped.
  UniqueFd directory_lock_;
  OwnerProcess owner_;
  mutable std::shared_mutex mutex_;
  std::atomic<bool> poisoned_{false};
  CollectionMap collections_;
  // The directories open_client passed over because their opening failed, by the collection name
  // their "meta.json" stores (by the directory's own name when it does not read): such a name
  // stays taken until delete_collection removes them.
  std::unordered_map<std::string, std::vector<std::string>> passed_over_;
};

// Opens the data directory `path` (used as given, never normalised):
//  1. creates it with any missing parents (0o777 before the umask); Io on failure;
//  2. takes an exclusive flock on a descriptor of the directory itself; Io "data directory {path}
//     is in use by another client" when another client, in this process or another, holds it. A
//     "LOCK" file that earlier versions locked instead is an ordinary entry (passed over);
//  3. lists the directory (Io when the listing or an entry cannot be read) and opens every
//     subdirectory (symbolic links followed) whose "meta.json" has a readable status with
//     Collection::open, registering it under its meta.name; a later directory with the same name
//     replaces the earlier one. An opening that fails because the process ran short of a
//     resource (is_resource_shortage: descriptors, memory) fails open_client with Io "collection
//     directory {dir} could not be opened: {reason}": the directory is healthy as far as anyone
//     knows. A directory whose opening fails with another DbError (unreadable or foreign files,
//     settings no index can hold) is passed over and remembered for delete_collection; one whose
//     meta.name is not a plain collection name is passed over untouched. A directory (never one
//     reached through a link) without "meta.json" that holds kDeletedMetaFileName, or is empty
//     under a removal name, is the rest of an interrupted deletion and is removed, best effort.
// An InvariantFailure from an opening propagates (no client is made).
Result<std::shared_ptr<ClientState>> open_client(std::string path);

}  // namespace sorvel
