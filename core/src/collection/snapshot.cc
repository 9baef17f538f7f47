#include "collection/snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>
#include <span>
#include <system_error>
#include <utility>

#include "check.h"
#include "collection/index_factory.h"
#include "collection/wal.h"
#include "payload/json_text.h"
#include "posix_file.h"
#include "str_cat.h"

namespace sorvel {

namespace {

bool entry_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Copies the whole content of the regular file `from` into a new file `to` (create_anew), forced
// to stable storage before it is closed when `sync`. Io on failure, anything but a regular file as
// `from` included (never waited on); a partly written `to` may remain.
Result<> copy_whole_file(const std::string& from, const std::string& to, bool sync) {
  SORVEL_ASSIGN_OR_RETURN(UniqueFd in, open_regular_read(from));
  SORVEL_ASSIGN_OR_RETURN(UniqueFd out, create_anew(to));
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t copied,
                          copy_file_bytes(in.get(), 0, ~std::uint64_t{0}, out.get()));
  (void)copied;  // the whole file, however long
  if (sync) SORVEL_TRY(sync_fd(out.get()));
  return out.close();
}

std::uint64_t seconds_since_epoch() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  return seconds > 0 ? static_cast<std::uint64_t>(seconds) : 0;
}

// ---- "snapshot.json" reading ----

constexpr std::array<std::string_view, 4> kFieldNames = {"name", "created_at", "vector_count",
                                                         "sparse_count"};

// Turns the events of a "snapshot.json" text into a SnapshotMeta. Only the top-level container
// carries fields; the values of unknown members are skipped whatever their shape.
class SnapshotReader final : public JsonEventSink {
 public:
  SnapshotMeta take() { return std::move(meta_); }

  bool null_value(std::size_t, std::size_t end) override {
    return scalar("unit value", end, [] { return false; });
  }
  bool bool_value(bool value, std::size_t, std::size_t end) override {
    return scalar(str_cat("boolean `", value ? "true" : "false", "`"), end, [] { return false; });
  }
  bool number_value(std::string_view raw, std::size_t, std::size_t end) override {
    const std::optional<JsonNumber> n = classify_json_number(raw);
    if (!n) return stop("number out of range", end);
    std::string found = describe_number(*n);
    const int field = current_field();
    if (field > 0 && n->form == JsonNumber::Form::Negative && !skipping()) {
      return stop(str_cat("invalid value: ", found, ", expected u64"), end);
    }
    return scalar(std::move(found), end, [&] {
      if (field <= 0 || n->form != JsonNumber::Form::Unsigned) return false;
      count(field) = n->u;
      return true;
    });
  }
  bool string_value(std::string_view value, std::size_t end) override {
    return scalar(describe_string(value), end, [&] {
      if (current_field() != 0) return false;
      meta_.name = std::string(value);
      return true;
    });
  }
  bool key(std::string_view name, std::size_t end) override {
    if (depth_ != 1) return true;
    field_ = -1;
    for (std::size_t i = 0; i < kFieldNames.size(); ++i) {
      if (kFieldNames[i] != name) continue;
      if (seen_ & (1u << i)) return stop(str_cat("duplicate field `", name, "`"), end);
      field_ = static_cast<int>(i);
    }
    return true;
  }
  bool start_object(std::size_t begin) override { return open(true, begin); }
  bool start_array(std::size_t begin) override { return open(false, begin); }
  bool end_object(std::size_t end) override {
    if (--depth_ > 0) return nested_done(end);
    for (std::size_t i = 0; i < kFieldNames.size(); ++i) {
      if (!(seen_ & (1u << i))) return stop(str_cat("missing field `", kFieldNames[i], "`"), end);
    }
    return true;
  }
  bool end_array(std::size_t end) override {
    if (--depth_ > 0) return nested_done(end);
    if (elements_ < kFieldNames.size()) {
      return stop(
          str_cat("invalid length ", elements_, ", expected struct SnapshotMeta with 4 elements"),
          end);
    }
    return true;
  }

 private:
  bool stop(std::string message, std::size_t index) {
    fail(std::move(message), index);
    return false;
  }

  // Inside the value of an unknown member (or deeper): nothing is checked.
  bool skipping() const { return depth_ > 1 || (depth_ == 1 && current_field() < 0); }

  // The field the next value at depth 1 belongs to (-1: an unknown member).
  int current_field() const {
    if (array_form_) return elements_ < kFieldNames.size() ? static_cast<int>(elements_) : -1;
    return field_;
  }

  std::uint64_t& count(int field) {
    return field == 1 ? meta_.created_at : field == 2 ? meta_.vector_count : meta_.sparse_count;
  }

  std::string_view expected(int field) const { return field == 0 ? "a string" : "u64"; }

  // A scalar value: at the top level it is no record; in a record it must be what its field
  // takes (`store` stores it and says whether it fitted).
  template <class Store>
  bool scalar(std::string found, std::size_t end, Store store) {
    if (depth_ == 0) {
      return stop(str_cat("invalid type: ", found, ", expected struct SnapshotMeta"), end);
    }
    if (depth_ > 1) return true;
    if (!element_may_start(end)) return false;
    const int field = current_field();
    if (field >= 0) {
      if (!store()) {
        return stop(str_cat("invalid type: ", found, ", expected ", expected(field)), end);
      }
      seen_ |= 1u << field;
    }
    return value_done();
  }

  bool open(bool object, std::size_t begin) {
    if (depth_ == 0) {
      array_form_ = !object;
      depth_ = 1;
      return true;
    }
    if (depth_ == 1) {
      if (!element_may_start(begin)) return false;
      const int field = current_field();
      if (field >= 0) {
        return stop(
            str_cat("invalid type: ", object ? "map" : "sequence", ", expected ", expected(field)),
            begin);
      }
    }
    ++depth_;
    return true;
  }

  // A skipped container has closed; at depth 1 it was the value of an unknown member.
  bool nested_done(std::size_t) { return depth_ == 1 ? value_done() : true; }

  // The array form takes exactly four elements.
  bool element_may_start(std::size_t index) {
    if (array_form_ && elements_ >= kFieldNames.size()) {
      return stop("trailing characters", index + 1);
    }
    return true;
  }

  bool value_done() {
    if (array_form_) {
      ++elements_;
    } else {
      field_ = -1;
    }
    return true;
  }

  SnapshotMeta meta_;
  std::size_t depth_ = 0;
  bool array_form_ = false;
  std::size_t elements_ = 0;
  int field_ = -1;
  std::uint32_t seen_ = 0;
};

// ---- restore ----

// The files a restore replaces in the collection directory: the three a snapshot holds, then the
// two derived from the log, which are only removed.
constexpr std::array<std::string_view, 5> kReplacedFiles = {
    kWalFileName, kMetaFileName, kSparseFileName, kHnswGraphFileName, kMmapFileName};
constexpr std::size_t kFileCount = kReplacedFiles.size();
constexpr std::size_t kSnapshotFiles = 3;
constexpr std::size_t kMetaIndex = 1;

constexpr std::string_view kMarkerPendingLine = "restore pending";
constexpr std::string_view kMarkerUndoLine = "restore undo";
constexpr std::string_view kMarkerEndLine = "end";

// What a restore does to one file of the directory.
struct FileFate {
  bool replace = false;  // a staged copy takes the name (else the live file is removed)
  bool present = false;  // a live file existed when the marker was written (and goes aside)
  bool operator==(const FileFate&) const = default;
};
using FileFates = std::array<FileFate, kFileCount>;

// The content of "restore.pending" (see snapshot.h).
struct RestoreMarker {
  bool undo = false;
  FileFates fates{};
};

std::string marker_text(const RestoreMarker& marker) {
  std::string out = str_cat(marker.undo ? kMarkerUndoLine : kMarkerPendingLine, "\n");
  for (std::size_t i = 0; i < kFileCount; ++i) {
    const FileFate& f = marker.fates[i];
    out += str_cat(f.replace ? "replace " : "remove ", f.present ? "present " : "absent ",
                   kReplacedFiles[i], "\n");
  }
  return str_cat(out, kMarkerEndLine, "\n");
}

std::optional<RestoreMarker> parse_marker(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // every line ends in a line feed
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  if (lines.size() != kFileCount + 2 || lines.back() != kMarkerEndLine) return std::nullopt;
  RestoreMarker marker;
  if (lines[0] == kMarkerUndoLine) {
    marker.undo = true;
  } else if (lines[0] != kMarkerPendingLine) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < kFileCount; ++i) {
    std::string_view line = lines[i + 1];
    FileFate& f = marker.fates[i];
    const auto take = [&line](std::string_view word) {
      if (line.substr(0, word.size()) != word) return false;
      line.remove_prefix(word.size());
      return true;
    };
    if (take("replace ")) {
      f.replace = true;
    } else if (!take("remove ")) {
      return std::nullopt;
    }
    if (take("present ")) {
      f.present = true;
    } else if (!take("absent ")) {
      return std::nullopt;
    }
    if (line != kReplacedFiles[i]) return std::nullopt;
    if (i < kSnapshotFiles - 1 && !f.replace) return std::nullopt;  // the log and the metadata
    if (i >= kSnapshotFiles && f.replace) return std::nullopt;      // only derived from the log
  }
  return marker;
}

// Whether the path names an entry other than a directory, without following a final link: a
// restore only ever puts files (or a live name's link, kept aside) under its names, so a
// directory there is none of its own and is left alone.
bool is_file_entry(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// Paths of file `i` of kReplacedFiles in `dir`.
std::string live_path(const std::string& dir, std::size_t i) {
  return join_path(dir, kReplacedFiles[i]);
}
std::string staged_path(const std::string& dir, std::size_t i) {
  return live_path(dir, i) + std::string(kRestoreStagedSuffix);
}
std::string aside_path(const std::string& dir, std::size_t i) {
  return live_path(dir, i) + std::string(kRestoreAsideSuffix);
}

// Forces the directory entries of `dir` to stable storage.
Result<> sync_dir(const std::string& dir) { return sync_parent_dir(join_path(dir, kMetaFileName)); }

// Writes the marker through its temporary file: written, forced, renamed into place, directory
// forced. A crash leaves the previous marker (or none) or this one, never a part of one.
Result<> write_marker(const std::string& dir, const RestoreMarker& marker) {
  const std::string temp = join_path(dir, kRestoreMarkerTempFileName);
  const std::string text = marker_text(marker);
  {
    SORVEL_ASSIGN_OR_RETURN(UniqueFd fd, create_anew(temp));
    SORVEL_TRY(write_all(fd.get(), as_bytes(text)));
    SORVEL_TRY(sync_fd(fd.get()));
    SORVEL_TRY(fd.close());
  }
  SORVEL_TRY(rename_path(temp, join_path(dir, kRestoreMarkerFileName)));
  return sync_dir(dir);
}

// Keeps the first failure of a run of steps that are all tried.
void keep_first(Result<>& first, Result<> step) {
  if (first && !step) first = std::move(step);
}

// Forwards: every staged copy takes its live name, every file marked "remove" goes.
Result<> complete_exchange(const std::string& dir, const FileFates& fates) {
  for (std::size_t i = 0; i < kFileCount; ++i) {
    if (fates[i].replace) {
      // Without its copy the name already holds it: renames are atomic.
      if (is_file_entry(staged_path(dir, i))) {
        SORVEL_TRY(rename_path(staged_path(dir, i), live_path(dir, i)));
      }
    } else {
      SORVEL_TRY(remove_if_present(live_path(dir, i)));
    }
  }
  return sync_dir(dir);
}

// What stands under an aside name. A restore keeps aside a regular file, or a live name's symbolic
// link itself (link(2) does not follow it).
// A directory there is none of its own and is left alone.
enum class Aside { kNone, kRegular, kLink, kOther };

Aside aside_kind(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return Aside::kNone;
  if (S_ISREG(st.st_mode)) return Aside::kRegular;
  return S_ISLNK(st.st_mode) ? Aside::kLink : Aside::kOther;
}

// Backwards: every old file kept aside takes its name back (a second name of the live file itself
// just goes), every live name that had no old file loses what the restore put there, every staged
// copy goes. Only a regular file is ever put back, or a symbolic link when `marked` (a marker says
// this restore kept the live name's link aside); anything else under an aside name but a
// directory is no old file of a restore and is removed. Each step is tried whatever the others
// did, so one failure leaves as little as possible changed; the first failure is returned.
Result<> undo_exchange(const std::string& dir, const FileFates& fates, bool marked) {
  Result<> first = ok();
  for (std::size_t i = 0; i < kFileCount; ++i) {
    const std::string live = live_path(dir, i);
    const std::string aside = aside_path(dir, i);
    const Aside kind = aside_kind(aside);
    if (kind == Aside::kRegular || (kind == Aside::kLink && marked && fates[i].present)) {
      // Renaming one link of a file over another link of the same file would do nothing.
      keep_first(first,
                 same_file(aside, live) ? remove_if_present(aside) : rename_path(aside, live));
    } else {
      if (kind != Aside::kNone) keep_first(first, remove_if_present(aside));
      if (!fates[i].present && is_file_entry(live)) keep_first(first, remove_if_present(live));
    }
    const std::string staged = staged_path(dir, i);
    if (is_file_entry(staged)) keep_first(first, remove_if_present(staged));
  }
  keep_first(first, sync_dir(dir));
  return first;
}

// The end of every restore: the old files go and are forced out before the marker goes, so that
// no ".restore-old" file outlives its marker.
Result<> drop_old_files_and_marker(const std::string& dir) {
  for (std::size_t i = 0; i < kFileCount; ++i) {
    if (is_file_entry(aside_path(dir, i))) SORVEL_TRY(remove_if_present(aside_path(dir, i)));
  }
  SORVEL_TRY(sync_dir(dir));
  SORVEL_TRY(remove_if_present(join_path(dir, kRestoreMarkerFileName)));
  return sync_dir(dir);
}

// The exchange of a collection directory's files for a snapshot's, in the order snapshot.h gives.
// The snapshot's files are first copied in beside the live ones ("<file>.restore-new"), so a
// failing copy touches no live file. After the marker, file by file, the live file is kept aside
// as "<file>.restore-old" and the copy is renamed over the live name, so the log and the metadata
// never go missing from the directory, even for a moment (where hard links work). The aside file
// keeps each old file's identity: the old collection's open log stays the very file that an undo
// puts back. Until commit(), a destroyed exchange undoes itself.
class FileExchange {
 public:
  explicit FileExchange(std::string dir) : dir_(std::move(dir)) {}
  FileExchange(const FileExchange&) = delete;
  FileExchange& operator=(const FileExchange&) = delete;
  ~FileExchange() {
    if (!committed_) roll_back();
  }

  // Copies the snapshot file `i` of `snapshot` beside its live file and forces the copy to stable
  // storage; an optional file that the snapshot lacks is recorded as absent.
  Result<> stage(std::size_t i, const std::string& snapshot, bool optional) {
    const std::string from = join_path(snapshot, kReplacedFiles[i]);
    if (optional && !status_readable(from)) return ok();
    fates_[i].replace = true;  // before the copy: a partial copy is removed too
    return copy_whole_file(from, staged_path(dir_, i), /*sync=*/true);
  }

  // Writes the "pending" marker after the staged copies' names are forced out: from here on a
  // crash completes the restore.
  Result<> mark() {
    for (std::size_t i = 0; i < kFileCount; ++i) {
      fates_[i].present = entry_exists(live_path(dir_, i));
    }
    SORVEL_TRY(sync_dir(dir_));
    marked_ = true;  // a failed write may still have put the marker in place
    return write_marker(dir_, RestoreMarker{false, fates_});
  }

  // Keeps every live file aside and puts its staged copy in its place, or removes it when there
  // is no copy (a snapshot without "sparse.bin", and the files derived from the log).
  Result<> swap() {
    for (std::size_t i = 0; i < kFileCount; ++i) {
      if (fates_[i].present) SORVEL_TRY(keep_aside(i));
      if (fates_[i].replace) {
        SORVEL_TRY(rename_path(staged_path(dir_, i), live_path(dir_, i)));
      } else if (fates_[i].present) {
        SORVEL_TRY(remove_if_present(live_path(dir_, i)));
      }
    }
    return ok();
  }

  // Keeps the new files; the old ones and the marker are removed. A failure here is not the
  // restore's: the marker then stays, and the next opening (or restore) finishes the removal.
  void commit() {
    committed_ = true;
    (void)drop_old_files_and_marker(dir_);  // see above
  }

 private:
  // A second name for the live file: a hard link; where the file system has none, a rename, or
  // for "meta.json" a forced copy, since a directory without it is no collection at all.
  Result<> keep_aside(std::size_t i) {
    const std::string live = live_path(dir_, i);
    const std::string aside = aside_path(dir_, i);
    if (::link(live.c_str(), aside.c_str()) == 0) return ok();
    if (i != kMetaIndex) return rename_path(live, aside);
    SORVEL_TRY(copy_whole_file(live, aside, /*sync=*/true));
    return sync_dir(dir_);
  }

  // Before the marker only staged copies exist, and they go. After it the marker is first turned
  // into its undo form (so a crash from here on puts the old files back instead of completing),
  // then the exchange is undone; the marker goes only once every step succeeded, else the next
  // opening (or restore) finishes the undo.
  void roll_back() {
    if (!marked_) {
      for (std::size_t i = 0; i < kFileCount; ++i) {
        if (fates_[i].replace) (void)remove_if_present(staged_path(dir_, i));  // best effort
      }
      return;
    }
    if (!write_marker(dir_, RestoreMarker{true, fates_})) {
      // Without an undo marker an absent marker is next best, since ".restore-old" files are then
      // put back by the next opening too; but first the files that had no old one go (a new file
      // without an old one cannot be told from an old file without a marker). Under the "pending"
      // marker that loses nothing: such a file is "sparse.bin" (a checkpoint of what the log
      // holds) or a file the failed opening wrote.
      for (std::size_t i = 0; i < kFileCount; ++i) {
        if (!fates_[i].present) (void)remove_if_present(live_path(dir_, i));  // best effort
      }
      (void)sync_dir(dir_);                                         // best effort
      (void)remove_if_present(join_path(dir_, kRestoreMarkerFileName));  // best effort
    }
    if (!undo_exchange(dir_, fates_, /*marked=*/true)) return;  // the marker stays, see above
    (void)remove_if_present(join_path(dir_, kRestoreMarkerFileName));  // a leftover undoes nothing more
    (void)sync_dir(dir_);                                         // best effort
  }

  std::string dir_;
  FileFates fates_{};
  bool marked_ = false;
  bool committed_ = false;
};

// Fails as Collection::open would for a copied "meta.json" that does not parse or names settings
// no index is built with, while nothing live has been touched.
Result<> check_staged_meta(const std::string& dir) {
  SORVEL_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes,
                          read_regular_file(staged_path(dir, kMetaIndex)));
  SORVEL_ASSIGN_OR_RETURN(const CollectionMeta meta,
                          CollectionMeta::from_json(std::string_view(
                              reinterpret_cast<const char*>(bytes.data()), bytes.size())));
  return check_collection_settings(meta);
}

std::string snapshot_path(const Collection& collection, std::string_view name) {
  return join_path(join_path(collection.dir(), kSnapshotsDirName), name);
}

std::string deleted_snapshot_path(const std::string& dir) {
  return join_path(join_path(dir, kSnapshotsDirName), kDeletedSnapshotDirName);
}

std::string building_snapshot_path(const std::string& dir) {
  return join_path(join_path(dir, kSnapshotsDirName), kBuildingSnapshotDirName);
}

// rename(2) that fails with EEXIST instead of replacing an empty directory at `to`; where the file
// system lacks the flag, a plain rename (the caller found nothing there).
Result<> rename_no_replace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return ok();
  if (errno != EINVAL && errno != ENOSYS) return DbError::io_from_errno(errno);
  return rename_path(from, to);
}

// Forces the built directory's entries out, renames it to `to` and forces that rename out.
Result<> move_into_place(const std::string& building, const std::string& to) {
  SORVEL_TRY(sync_dir(building));
  SORVEL_TRY(rename_no_replace(building, to));
  return sync_parent_dir(to);
}

// Writes the files of the snapshot `name` into the directory `dir`, each forced to stable storage:
// the metadata copy, the log of the live records, the sparse index when it holds a vector, and
// "snapshot.json" last. Returns the record written.
Result<SnapshotMeta> build_snapshot(const Collection& collection, std::string_view name,
                                    const std::string& dir) {
  SORVEL_TRY(copy_whole_file(join_path(collection.dir(), kMetaFileName),
                             join_path(dir, kMetaFileName), /*sync=*/true));
  std::vector<WalEntry> records = collection.collect_live_records();
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t vector_count,
                          rewrite_wal(join_path(dir, kWalFileName), std::move(records)));
  const SparseIndex& sparse = collection.sparse();
  if (!sparse.is_empty()) SORVEL_TRY(sparse.write_file(join_path(dir, kSparseFileName)));
  SnapshotMeta meta{std::string(name), seconds_since_epoch(), vector_count, sparse.len()};
  const std::string text = meta.to_json();
  SORVEL_ASSIGN_OR_RETURN(UniqueFd fd, create_anew(join_path(dir, kSnapshotMetaFileName)));
  SORVEL_TRY(write_all(fd.get(), as_bytes(text)));
  SORVEL_TRY(sync_fd(fd.get()));
  SORVEL_TRY(fd.close());
  return meta;
}

}  // namespace

std::string SnapshotMeta::to_json() const {
  std::string out = "{\n  \"name\": ";
  append_json_string(out, name);
  out += str_cat(",\n  \"created_at\": ", created_at, ",\n  \"vector_count\": ", vector_count,
                 ",\n  \"sparse_count\": ", sparse_count, "\n}");
  return out;
}

Result<SnapshotMeta> SnapshotMeta::from_json(std::string_view text) {
  SnapshotReader reader;
  if (std::optional<JsonFailure> f = parse_json_events(text, reader)) {
    return json_failure_error(text, *f);
  }
  return reader.take();
}

bool is_valid_snapshot_name(std::string_view name) {
  if (name.empty() || name == ".") return false;
  if (name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) return false;
  return name.find("..") == std::string_view::npos;
}

Result<> check_snapshot_name(std::string_view name) {
  if (!is_valid_snapshot_name(name)) {
    return DbError::invalid_config(str_cat("invalid snapshot name: ", debug_quote(name)));
  }
  return ok();
}

Result<SnapshotMeta> create_snapshot(const Collection& collection, std::string_view name) {
  SORVEL_TRY(check_snapshot_name(name));
  const std::string s = snapshot_path(collection, name);
  if (entry_exists(s)) return DbError::snapshot_already_exists(std::string(name));
  // Built whole under a name no snapshot can have, then renamed into place: a snapshot is listed
  // exactly when it is complete, and a failed or killed creation leaves nothing under its name.
  const std::string building = building_snapshot_path(collection.dir());
  SORVEL_TRY(remove_tree(building));  // what an earlier creation left
  std::error_code ec;
  std::filesystem::create_directories(building, ec);
  if (ec) return DbError::io_from_errno(ec.value());
  Result<SnapshotMeta> meta = build_snapshot(collection, name, building);
  if (meta) {
    Result<> placed = move_into_place(building, s);
    if (!placed) meta = DbError(std::move(placed).error());
  }
  if (!meta) (void)remove_tree(building);  // best effort: the next opening removes it too
  return meta;
}

Result<std::vector<SnapshotMeta>> list_snapshots(const Collection& collection) {
  std::vector<SnapshotMeta> out;
  const std::string d = join_path(collection.dir(), kSnapshotsDirName);
  if (!status_readable(d)) return out;

  const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(d.c_str()), ::closedir);
  if (!listing) return DbError::io_from_errno(errno);
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(listing.get());
    if (e == nullptr) {
      if (errno != 0) return DbError::io_from_errno(errno);
      break;
    }
    const std::string_view entry_name = e->d_name;
    // Only a valid name is a snapshot ("." and "..", and a snapshot being deleted, are not).
    if (!is_valid_snapshot_name(entry_name)) continue;
    const std::string entry = join_path(d, entry_name);
    if (!is_directory(entry)) continue;
    const std::string file = join_path(entry, kSnapshotMetaFileName);
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    SORVEL_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, read_regular_file(file));
    Result<SnapshotMeta> meta = SnapshotMeta::from_json(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (meta) out.push_back(std::move(meta).value());  // a malformed record is skipped
  }
  std::stable_sort(out.begin(), out.end(), [](const SnapshotMeta& a, const SnapshotMeta& b) {
    return a.created_at < b.created_at;
  });
  return out;
}

Result<> restore_snapshot(std::unique_ptr<Collection>& entry, std::string_view name) {
  SORVEL_CHECK(entry != nullptr, "restore_snapshot: empty registry entry");
  SORVEL_TRY(check_snapshot_name(name));
  Collection& old = *entry;
  const std::string s = snapshot_path(old, name);
  if (!status_readable(s)) return DbError::snapshot_not_found(std::string(name));

  // Everything the old collection logged reaches its log now, so that log is complete whether it
  // is put back or replaced.
  SORVEL_TRY(old.flush_wal());

  const std::string dir = old.dir();
  SORVEL_TRY(finish_interrupted_restore(dir));
  FileExchange exchange(dir);
  for (std::size_t i = 0; i < kSnapshotFiles; ++i) {
    SORVEL_TRY(exchange.stage(i, s, /*optional=*/kReplacedFiles[i] == kSparseFileName));
  }
  SORVEL_TRY(check_staged_meta(dir));
  SORVEL_TRY(exchange.mark());
  SORVEL_TRY(exchange.swap());
  // The marker is this restore's own: the opening must not complete (and so end) it early.
  SORVEL_ASSIGN_OR_RETURN(std::unique_ptr<Collection> reopened,
                          Collection::open(dir, Collection::RestoreTraces::kKeep));
  reopened->set_writer_releaser(old.writer_releaser());

  // The old collection goes before its files: its writer holds nothing more, and it closes the
  // old log, which then leaves with the other old files.
  std::unique_ptr<Collection> replaced = std::exchange(entry, std::move(reopened));
  replaced.reset();
  exchange.commit();
  return ok();
}

Result<> finish_interrupted_restore(const std::string& dir) {
  const std::string temp = join_path(dir, kRestoreMarkerTempFileName);
  if (is_file_entry(temp)) {
    SORVEL_TRY(remove_if_present(temp));
    SORVEL_TRY(sync_dir(dir));
  }
  const std::string marker_path = join_path(dir, kRestoreMarkerFileName);
  if (!entry_exists(marker_path)) {
    // No marker: nothing was exchanged, or an undo lost its marker (see snapshot.h). Fates that
    // say "present" everywhere keep every live name whose old file is not aside.
    FileFates keep_live{};
    bool any = false;
    for (std::size_t i = 0; i < kFileCount; ++i) {
      keep_live[i].present = true;
      any = any || is_file_entry(staged_path(dir, i)) || is_file_entry(aside_path(dir, i));
    }
    return any ? undo_exchange(dir, keep_live, /*marked=*/false) : ok();
  }
  SORVEL_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, read_regular_file(marker_path));
  const std::optional<RestoreMarker> marker =
      parse_marker(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  if (!marker) {
    return DbError::serialization(str_cat("malformed restore marker ", debug_quote(marker_path)));
  }
  if (marker->undo) {
    SORVEL_TRY(undo_exchange(dir, marker->fates, /*marked=*/true));
    SORVEL_TRY(remove_if_present(marker_path));
    return sync_dir(dir);
  }
  SORVEL_TRY(complete_exchange(dir, marker->fates));
  return drop_old_files_and_marker(dir);
}

Result<> delete_snapshot(const Collection& collection, std::string_view name) {
  SORVEL_TRY(check_snapshot_name(name));
  const std::string s = snapshot_path(collection, name);
  struct stat st {};
  if (::lstat(s.c_str(), &st) != 0) return DbError::snapshot_not_found(std::string(name));
  if (S_ISLNK(st.st_mode)) {
    // Never followed: removing the link cannot reach outside "snapshots".
    if (::unlink(s.c_str()) != 0) return DbError::io_from_errno(errno);
    return ok();
  }
  if (!S_ISDIR(st.st_mode)) return DbError::io_from_errno(ENOTDIR);
  // One rename takes the snapshot away whole: a crash in the removal that follows leaves a
  // directory that is no snapshot, which the next opening removes.
  const std::string deleted = deleted_snapshot_path(collection.dir());
  SORVEL_TRY(remove_tree(deleted));  // what an earlier failed removal left
  SORVEL_TRY(rename_path(s, deleted));
  SORVEL_TRY(sync_parent_dir(deleted));
  return remove_tree(deleted);
}

void remove_deleted_snapshot(const std::string& dir) {
  // Best effort: listing never shows either anyway.
  (void)remove_tree(deleted_snapshot_path(dir));
  (void)remove_tree(building_snapshot_path(dir));
}

}  // namespace sorvel
