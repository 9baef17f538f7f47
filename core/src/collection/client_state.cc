#include "collection/client_state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

#include "check.h"
#include "str_cat.h"

namespace sorvel {

namespace {

namespace fs = std::filesystem;

// Takes an exclusive, non-blocking flock on a descriptor of the directory `dir` itself, so the lock
// needs no name inside it. flock locks belong to the open file description, so a second client in
// this process conflicts as well as one in another process; O_CLOEXEC keeps a child started with
// exec from inheriting it.
Result<UniqueFd> lock_data_directory(const std::string& dir) {
  int fd;
  do {
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return DbError::io_from_errno(errno);
  UniqueFd owned(fd);
  int rc;
  do {
    rc = ::flock(owned.get(), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno == EWOULDBLOCK) {
      return DbError::io(
          IoError::with_message(str_cat("data directory ", dir, " is in use by another client")));
    }
    return DbError::io_from_errno(errno);
  }
  return owned;
}

// The collection name stored in the metadata at `meta_path`, or nullopt when it does not read or
// parse (Collection::open then reports it like any other failure).
std::optional<std::string> stored_name(const std::string& meta_path) {
  Result<std::vector<std::uint8_t>> bytes = read_regular_file(meta_path);
  if (!bytes) return std::nullopt;
  Result<CollectionMeta> meta = CollectionMeta::from_json(
      std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!meta) return std::nullopt;
  return std::move(meta->name);
}

// Whether `dir` is a directory itself (not a link to one) holding the marker of a deletion.
bool holds_deletion_marker(const std::string& dir) {
  struct stat st {};
  return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         ::lstat(join_path(dir, kDeletedMetaFileName).c_str(), &st) == 0;
}

// The rest of a deletion once its marker is in place: every entry but the marker (links removed
// themselves, never followed), then the marker, then the directory. A crash before the marker goes
// leaves a directory that no opening takes for a collection.
Result<> remove_marked_directory(const std::string& dir) {
  std::error_code ec;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(dir, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    if (it->path().filename() != kDeletedMetaFileName) entries.push_back(it->path());
  }
  if (ec) return io_from_error_code(ec);
  for (const fs::path& entry : entries) SORVEL_TRY(remove_tree(entry.string()));
  // The marker may be anything a "meta.json" was, a directory included.
  SORVEL_TRY(remove_tree(join_path(dir, kDeletedMetaFileName)));
  if (::rmdir(dir.c_str()) != 0 && errno != ENOENT) return DbError::io_from_errno(errno);
  return ok();
}

// Whether `name` is one a directory takes while it is removed (see remove_collection_directory).
bool is_removal_name(std::string_view name) { return name.starts_with(kRemovalDirPrefix); }

// The step after which `dir` is no collection for any opening: its "meta.json" is renamed to the
// marker (a link or a file in place of the directory is removed itself, never followed). A
// directory already gone, or already without "meta.json", counts as done. Io when the step fails:
// nothing changed.
Result<> mark_directory_deleted(const std::string& dir) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    if (errno == ENOENT) return ok();
    return DbError::io_from_errno(errno);
  }
  if (!S_ISDIR(st.st_mode)) {
    if (::unlink(dir.c_str()) != 0 && errno != ENOENT) return DbError::io_from_errno(errno);
    return ok();
  }
  const std::string marker = join_path(dir, kDeletedMetaFileName);
  if (::rename(join_path(dir, kMetaFileName).c_str(), marker.c_str()) != 0 && errno != ENOENT) {
    return DbError::io_from_errno(errno);
  }
  return ok();
}

// The rest of a removal once mark_directory_deleted succeeded. The directory takes a name of
// kRemovalDirPrefix and a number, so that even emptied, with the marker gone, it is still known
// for what it is; then everything in it goes. Io on failure: what is left is no collection, and
// the next opening (or a creation of the name) removes it.
Result<> finish_directory_removal(const std::string& dir) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ok();
  SORVEL_TRY(sync_parent_dir(join_path(dir, kDeletedMetaFileName)));
  const fs::path parent = fs::path(dir).parent_path();
  for (std::uint64_t n = 1;; ++n) {
    const std::string removal = (parent / str_cat(kRemovalDirPrefix, n)).string();
    struct stat taken {};
    if (::lstat(removal.c_str(), &taken) == 0) continue;
    // Where the rename fails the removal goes on in place, the marker still in force.
    if (::rename(dir.c_str(), removal.c_str()) != 0) return remove_marked_directory(dir);
    return remove_marked_directory(removal);
  }
}

// Keeps the first failure of a run of steps that are all tried.
void keep_first(Result<>& first, Result<> step) {
  if (first && !step) first = std::move(step);
}

}  // namespace

std::optional<IndexType> creatable_index_type(std::string_view name) {
  static constexpr std::pair<std::string_view, IndexType> kNames[] = {
      {"flat", IndexType::Flat},
      {"hnsw", IndexType::Hnsw},
      {"quantized_flat", IndexType::QuantizedFlat},
      {"ivf", IndexType::Ivf},
      {"ivf_pq", IndexType::IvfPq},
      {"fp16_flat", IndexType::Fp16Flat},
      {"mmap_flat", IndexType::MmapFlat},
      {"binary_flat", IndexType::BinaryFlat},
  };
  for (const auto& [text, type] : kNames) {
    if (text == name) return type;
  }
  return std::nullopt;
}

bool is_plain_collection_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// --- guards ---

const Collection* ClientState::ReadGuard::find(std::string_view name) const {
  const auto it = state_->collections_.find(std::string(name));
  return it == state_->collections_.end() ? nullptr : it->second.get();
}

ClientState::WriteGuard::WriteGuard(ClientState* state)
    : state_(state), lock_(state->mutex_), uncaught_(std::uncaught_exceptions()) {}

ClientState::WriteGuard::~WriteGuard() {
  // Unwinding past a held write lock means a change stopped half-way: nobody may trust the
  // state any more. The flag is set before the lock is released, so the next holder sees it.
  if (lock_.owns_lock() && std::uncaught_exceptions() > uncaught_) {
    state_->poisoned_.store(true, std::memory_order_release);
  }
}

Collection* ClientState::WriteGuard::find(std::string_view name) const {
  const auto it = state_->collections_.find(std::string(name));
  return it == state_->collections_.end() ? nullptr : it->second.get();
}

void ClientState::WriteGuard::unlock() {
  if (lock_.owns_lock()) lock_.unlock();
}

void ClientState::WriteGuard::abandon() {
  if (!lock_.owns_lock()) return;
  state_->poisoned_.store(true, std::memory_order_release);
  lock_.unlock();
}

// --- state ---

ClientState::ClientState(std::string path, UniqueFd directory_lock, CollectionMap collections)
    : path_(std::move(path)),
      directory_lock_(std::move(directory_lock)),
      collections_(std::move(collections)) {}

ClientState::~ClientState() {
  // Drop the collections (each flushes its log buffer) while the directory is still ours. In a
  // forked child nothing is written (see WalWriter), and closing the inherited descriptor keeps
  // the parent's lock: flock(LOCK_UN) would release it for both.
  collections_.clear();
}

Result<> ClientState::check_owning_process() const {
  if (owner_.is_current()) return ok();
  return DbError::io(IoError::with_message(str_cat(
      "the client of data directory ", path_, " was opened in another process (pid ", owner_.pid(),
      "): open a new Client in this process (pid ", ::getpid(), ") to write")));
}

void ClientState::check_not_poisoned() const {
  if (poisoned()) invariant_failure(std::string(kPoisonedMessage));
}

ClientState::ReadGuard ClientState::read() const {
  ReadGuard guard(this);
  check_not_poisoned();
  return guard;
}

ClientState::WriteGuard ClientState::write() {
  SORVEL_CHECK(owner_.is_current(), "client state written outside the process that opened it");
  WriteGuard guard(this);
  if (poisoned()) {
    guard.unlock();
    invariant_failure(std::string(kPoisonedMessage));
  }
  return guard;
}

Result<> ClientState::create_collection(const std::string& name, std::uint64_t dimensions,
                                        Metric metric, IndexType index_type) {
  if (!is_plain_collection_name(name)) {
    return DbError::invalid_config(str_cat("invalid collection name: ", debug_quote(name)));
  }
  if (index_type == IndexType::Faiss) {
    return DbError::invalid_config("no index of type faiss can be built");
  }
  SORVEL_TRY(check_owning_process());
  WriteGuard guard = write();
  if (collections_.contains(name) || passed_over_.contains(name)) {
    return DbError::collection_already_exists(name);
  }
  const std::string dir = join_path(path_, name);
  if (!status_readable(join_path(dir, kMetaFileName)) && holds_deletion_marker(dir)) {
    SORVEL_TRY(remove_marked_directory(dir));  // a deletion that failed half-way
  }
  SORVEL_ASSIGN_OR_RETURN(std::unique_ptr<Collection> collection,
                          Collection::create(dir, CollectionMeta::for_new_collection(
                                                      name, dimensions, metric, index_type)));
  collection->set_writer_releaser(this);
  collections_.emplace(name, std::move(collection));
  return ok();
}

bool ClientState::contains(std::string_view name) const {
  const ReadGuard guard = read();
  return guard.find(name) != nullptr;
}

Result<> ClientState::get_or_create_collection(const std::string& name, std::uint64_t dimensions,
                                               Metric metric) {
  if (contains(name)) return ok();
  return create_collection(name, dimensions, metric, IndexType::Hnsw);
}

Result<bool> ClientState::delete_collection(const std::string& name) {
  SORVEL_TRY(check_owning_process());
  WriteGuard guard = write();
  const auto it = collections_.find(name);
  const auto failed = passed_over_.find(name);
  if (it == collections_.end() && failed == passed_over_.end()) return false;
  // A directory leaves the registry (or the passed-over list) only once it is no collection on
  // disk, so a failure leaves the name either whole, registered and usable, or free. The
  // directories that did not open go first: the registered collection is then the last to go.
  Result<> cleanup = ok();
  if (failed != passed_over_.end()) {
    std::vector<std::string>& dirs = failed->second;
    while (!dirs.empty()) {
      const std::string dir = dirs.back();
      SORVEL_TRY(mark_directory_deleted(dir));
      dirs.pop_back();
      keep_first(cleanup, finish_directory_removal(dir));
    }
    passed_over_.erase(failed);
  }
  if (it != collections_.end()) {
    // The directory the collection was opened from or created in: path/name may be another
    // directory altogether when its metadata names a directory other than its own.
    const std::string dir = it->second->dir();
    SORVEL_TRY(mark_directory_deleted(dir));
    collections_.erase(it);
    keep_first(cleanup, finish_directory_removal(dir));
  }
  SORVEL_TRY(std::move(cleanup));
  return true;
}

std::vector<std::string> ClientState::list_collections() const {
  const ReadGuard guard = read();
  std::vector<std::string> names;
  names.reserve(collections_.size());
  for (const auto& [name, collection] : collections_) names.push_back(collection->meta().name);
  return names;
}

std::size_t ClientState::count_collections() const {
  const ReadGuard guard = read();
  return collections_.size();
}

void ClientState::make_room(const Collection* opening) {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
  const auto share = static_cast<std::size_t>(limit.rlim_cur / 2);
  std::size_t held = 0;
  for (const auto& [name, collection] : collections_) held += collection->wal_open() ? 1 : 0;
  if (held >= share) release_idle_writers(opening);
}

std::size_t ClientState::release_idle_writers(const Collection* keep) {
  std::size_t released = 0;
  for (const auto& [name, collection] : collections_) {
    if (collection.get() != keep && collection->wal_open() && collection->release_writer()) {
      ++released;
    }
  }
  return released;
}

Result<std::shared_ptr<ClientState>> open_client(std::string path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) return io_from_error_code(ec);
  SORVEL_ASSIGN_OR_RETURN(UniqueFd directory_lock, lock_data_directory(path));

  CollectionMap collections;
  std::unordered_map<std::string, std::vector<std::string>> passed_over;
  fs::directory_iterator it(path, ec);
  if (ec) return io_from_error_code(ec);
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return io_from_error_code(ec);
    const std::string entry = it->path().string();
    std::error_code status_ec;
    if (!fs::is_directory(it->path(), status_ec)) continue;  // follows symbolic links
    const std::string meta_path = join_path(entry, kMetaFileName);
    if (!status_readable(meta_path)) {
      // The rest of an interrupted deletion (best effort: it is no collection either way). An
      // emptied one under a removal name only needs rmdir, which touches no directory that holds
      // anything.
      if (holds_deletion_marker(entry)) {
        (void)remove_marked_directory(entry);
      } else if (is_removal_name(it->path().filename().string())) {
        (void)::rmdir(entry.c_str());
      }
      continue;
    }
    // A name that is no plain directory name would make creation and removal reach outside the
    // data directory: such a directory is passed over before anything in it is touched.
    std::optional<std::string> name = stored_name(meta_path);
    if (name && !is_plain_collection_name(*name)) continue;
    Result<std::unique_ptr<Collection>> opened = Collection::open(entry);
    if (!opened && is_resource_shortage(opened.error())) {
      return DbError::io(IoError::with_message(
          str_cat("collection directory ", entry,
                  " could not be opened: ", opened.error().io_error().display())));
    }
    if (!opened) {
      // Passed over, but its name stays taken until it is deleted.
      passed_over[name.value_or(it->path().filename().string())].push_back(entry);
      continue;
    }
    std::unique_ptr<Collection> collection = std::move(opened).value();
    std::string registered = collection->meta().name;
    collections.insert_or_assign(std::move(registered), std::move(collection));
  }
  if (ec) return io_from_error_code(ec);
  std::shared_ptr<ClientState> state(
      new ClientState(std::move(path), std::move(directory_lock), std::move(collections)));
  state->passed_over_ = std::move(passed_over);
  for (const auto& [name, collection] : state->collections_) {
    collection->set_writer_releaser(state.get());
  }
  return state;
}

}  // namespace sorvel
