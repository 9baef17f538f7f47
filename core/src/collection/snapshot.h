#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "collection/collection.h"
#include "result.h"

// Named snapshots of a collection, kept below its own directory D:
//
//   D/"snapshots"/N/"meta.json"      byte copy of the collection's "meta.json"
//   D/"snapshots"/N/"wal.log"        one Add record per live vector (with payload and sparse
//                                    vector), written through "wal.log.tmp" and a rename
//   D/"snapshots"/N/"sparse.bin"     the sparse index; absent when it held no sparse vector
//   D/"snapshots"/N/"snapshot.json"  SnapshotMeta, written last
//
// No "hnsw.graph" or "vectors.mmap" is part of a snapshot: a restore rebuilds every index from the
// restored log.

namespace sorvel {

inline constexpr std::string_view kSnapshotsDirName = "snapshots";
inline constexpr std::string_view kSnapshotMetaFileName = "snapshot.json";
// The name a snapshot directory takes while it is removed. No valid snapshot name holds "..", so
// listing, restore, create and delete never take it for a snapshot.
inline constexpr std::string_view kDeletedSnapshotDirName = "..deleted";
// The name a snapshot directory is built under before it is renamed to its own.
inline constexpr std::string_view kBuildingSnapshotDirName = "..creating";

// The record of one snapshot, the content of "snapshot.json".
struct SnapshotMeta {
  std::string name;                // the name given at creation
  std::uint64_t created_at = 0;    // whole seconds since the Unix epoch (0 for a clock before it)
  std::uint64_t vector_count = 0;  // Add records in the snapshot's log
  std::uint64_t sparse_count = 0;  // stored sparse vectors at creation

  // The text of "snapshot.json": pretty JSON with a two-space indent, one member per line in the
  // order name, created_at, vector_count, sparse_count, no final line feed. Cannot fail.
  std::string to_json() const;

  // Reads "snapshot.json": one JSON value and nothing but whitespace after it, either an object
  // (the four members in any order, other members skipped with their values; a repeated, missing
  // or mistyped member fails) or an array of exactly the four values in order. `name` must be a
  // string, the counts integers in 0..2^64-1 without fraction or exponent. Failure:
  // Serialization "{message} at line {} column {}".
  static Result<SnapshotMeta> from_json(std::string_view text);

  bool operator==(const SnapshotMeta&) const = default;
};

// A snapshot name is valid when it is not empty, not ".", and holds no '/', no '\\', no NUL and
// no two consecutive '.': so it is always exactly one directory entry below "snapshots" and never
// the directory itself or its parent.
bool is_valid_snapshot_name(std::string_view name);

// InvalidConfig "invalid snapshot name: {}" (the name debug-quoted) unless the name is valid.
Result<> check_snapshot_name(std::string_view name);

// Creates the snapshot `name` of `collection`. The snapshot is built whole in
// D/"snapshots"/"..creating" (its files forced to stable storage, "snapshot.json" last) and then
// renamed to D/"snapshots"/name, so it is listed exactly when it can be restored whole, and a
// failed or killed creation leaves nothing under the name (the next opening, or creation, removes
// the rest). Errors, in order:
//   1. InvalidConfig for an invalid name (nothing touched);
//   2. SnapshotAlreadyExists when anything exists at D/"snapshots"/name (a dangling symbolic link
//      included);
//   3. Io when the directory (and "snapshots") cannot be created;
//   4. Io when "meta.json" cannot be copied;
//   5. the log rewrite's InvalidConfig / Io / Serialization;
//   6. Io when "sparse.bin" cannot be written (only written when a sparse vector is stored);
//   7. Io when "snapshot.json" cannot be written, or the directory cannot be renamed into place.
// Returns the written record. The caller holds the client lock for writing.
Result<SnapshotMeta> create_snapshot(const Collection& collection, std::string_view name);

// The readable snapshots of `collection`, oldest first (stable by created_at: equal times keep
// the directory listing's order). No "snapshots" directory gives an empty list. Entries that are
// not directories (symbolic links are followed), that have no "snapshot.json", or whose
// "snapshot.json" does not parse are skipped. Io when the directory cannot be listed or an
// existing "snapshot.json" cannot be read. Each record holds the name stored in its file. The
// caller holds the client lock (reading suffices).
Result<std::vector<SnapshotMeta>> list_snapshots(const Collection& collection);

// Replaces the collection held in `entry` (a registry entry) by one reopened from the snapshot
// `name`. All or nothing: either the collection directory holds the snapshot's "wal.log",
// "meta.json" and "sparse.bin" (none when the snapshot has none), and of "hnsw.graph" and
// "vectors.mmap" only what the reopening built from the restored log, and `entry` holds the
// collection opened from them; or the error is returned with the directory's files and `entry` as
// they were (the old collection's log writer has written out its buffer).
// Errors, in order: InvalidConfig for an invalid name; SnapshotNotFound when nothing exists at
// D/"snapshots"/name (nothing touched, in both cases); Io from writing out the old log buffer;
// finish_interrupted_restore's errors for traces of an earlier restore in D; Io when a snapshot
// file cannot be copied or forced to stable storage (the copies go to temporary files beside the
// collection's, removed again on failure); Serialization when the copied "meta.json" does not
// parse, and InvalidConfig when it names settings no index can be built with
// (check_collection_settings: the faiss type, unusable HNSW or quantizer settings; nothing live
// touched); Io when the marker cannot be written or the files cannot be exchanged;
// Collection::open's errors. Each check that needs no live file runs before the marker, so a
// crash can only complete a restore whose snapshot read well. Crash safety: see
// finish_interrupted_restore below; a crash at any moment leaves D to reopen as exactly the old
// collection or exactly the restored one. The old files are kept aside under a second name (a hard
// link; where the file system has none, a rename, and a copy for "meta.json", which must never be
// missing), so the old collection's open log keeps its identity and nothing it still writes can
// reach the restored log; they are put back on failure and removed on success. "snapshot.json" is
// not needed. The caller holds the client lock for writing and no other reference to the old
// collection.
Result<> restore_snapshot(std::unique_ptr<Collection>& entry, std::string_view name);

// ---- crash safety of a restore ----
//
// A restore exchanges up to five files of the collection directory D: "wal.log", "meta.json" and
// "sparse.bin" are replaced by the snapshot's (or "sparse.bin" removed when the snapshot has
// none), "hnsw.graph" and "vectors.mmap" are removed. The snapshot's files are first copied to
// "<file>.restore-new" and forced to stable storage; then the marker D/"restore.pending" commits
// the restore; only then is each live file kept aside as "<file>.restore-old" and its copy renamed
// over it. Once the reopened collection is in place, the ".restore-old" files go (forced out)
// before the marker goes. A restore that fails after the marker first rewrites the marker into its
// undo form, then puts every old file back, then removes the marker. The reopening may save a
// "hnsw.graph" (or write "vectors.mmap") of the restored log while the marker is in force: a file
// that the marker says to remove, so finishing forwards removes it again (the next opening builds
// it anew) and undoing puts the old one back over it.
//
// So at every instant the directory is one of: no marker (the live files are the old collection;
// ".restore-new" files are unused copies; a ".restore-old" file is an old file an undo had not put
// back yet); a "pending" marker (the staged set is complete: the restore is finished forwards);
// an "undo" marker (the old files are put back). finish_interrupted_restore brings each state to
// one whole collection, and Collection::open calls it before it reads anything.
//
// The marker is text, written to "restore.pending.tmp", forced to stable storage and renamed into
// place, so it is either absent or complete. Lines, each ending in "\n":
//   line 1     "restore pending" or "restore undo"
//   lines 2-6  "<action> <before> <file>" for wal.log, meta.json, sparse.bin, hnsw.graph,
//              vectors.mmap in this order; <action> "replace" (its "<file>.restore-new" takes the
//              name) or "remove"; <before> "present" (the live file existed and goes aside as
//              "<file>.restore-old") or "absent"; "wal.log" and "meta.json" are always replaced
//   line 7     "end"
// Nothing else is accepted (no other file name can be reached through a marker).

inline constexpr std::string_view kRestoreMarkerFileName = "restore.pending";
inline constexpr std::string_view kRestoreMarkerTempFileName = "restore.pending.tmp";
inline constexpr std::string_view kRestoreStagedSuffix = ".restore-new";
inline constexpr std::string_view kRestoreAsideSuffix = ".restore-old";

// Brings the collection directory `dir` back to one whole collection when a restore was cut short
// there (by a crash, or by a failure that could not undo every step). In order:
//   1. removes a "restore.pending.tmp" (a marker never put in place: nothing was exchanged);
//   2. a "pending" marker: renames every "<file>.restore-new" over its live file, removes the
//      files marked "remove", forces the directory, removes every "<file>.restore-old", forces
//      the directory, removes the marker: the result is the restored snapshot;
//   3. an "undo" marker: renames every "<file>.restore-old" back over its live file (or drops it
//      when it is the live file's second name), removes the live files marked "absent" and every
//      "<file>.restore-new", then removes the marker: the result is the old collection;
//   4. no marker: removes every "<file>.restore-new" and puts every "<file>.restore-old" back as in
//      3 (a restore removes its ".restore-old" files, forced out, before its marker, so without a
//      marker such a file is always an old file that an undo had not put back yet).
// Only a regular file is ever put back under a live name, or under a marker that says the live
// file was present, the symbolic link a restore kept aside; anything else under a ".restore-old"
// name (a FIFO, a device, a socket, a link without a marker) is removed, never put back. Only
// entries that are no directories (links are not followed) under these names are touched; the
// directory is forced to stable storage after each change. Errors: Serialization "malformed
// restore marker {path}" when the marker does not read as above (nothing touched); Io when a file
// cannot be read, renamed or removed or the directory cannot be forced (what was done stays done; a
// second call goes on from there). A directory without any of these files is not touched. The
// caller holds the client lock for writing (or has not shared the directory yet).
Result<> finish_interrupted_restore(const std::string& dir);

// Removes the snapshot `name` with everything in it, all or nothing under a crash: the directory
// is first renamed to D/"snapshots"/"..deleted" (after removing what an earlier failed removal left
// there) and then removed, so at every instant the snapshot is either whole under its name or no
// snapshot at all. Errors, in order: InvalidConfig for an invalid name; SnapshotNotFound when
// nothing exists at D/"snapshots"/name; Io when it cannot be renamed or removed (once renamed it
// is gone as a snapshot), or when it is a plain file. A symbolic link there is removed itself, in
// one step, never followed. The caller holds the client lock for writing.
Result<> delete_snapshot(const Collection& collection, std::string_view name);

// Removes D/"snapshots"/"..deleted" and D/"snapshots"/"..creating", the rest of a snapshot removal
// or creation that a crash or a failure cut short, best effort (neither is a snapshot).
// Collection::open calls it.
void remove_deleted_snapshot(const std::string& dir);

}  // namespace sorvel
