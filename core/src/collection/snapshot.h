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

// Creates the snapshot `name` of `collection`, in this order, each failure ending the call with
// what was done so far left in place:
//   1. InvalidConfig for an invalid name (nothing touched);
//   2. SnapshotAlreadyExists when anything exists at D/"snapshots"/name (a dangling symbolic link
//      included);
//   3. Io when the directory (and "snapshots") cannot be created;
//   4. Io when "meta.json" cannot be copied;
//   5. the log rewrite's InvalidConfig / Io / Serialization;
//   6. Io when "sparse.bin" cannot be written (only written when a sparse vector is stored);
//   7. Io when "snapshot.json" cannot be written.
// A failure after step 3 leaves a partial directory that blocks the name, is not listed, and is
// removed by delete_snapshot. Returns the written record. The caller holds the client lock for
// writing.
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
// "meta.json" and "sparse.bin" (none when the snapshot has none), no "hnsw.graph" and no
// "vectors.mmap" (they are rebuilt from the log), and `entry` holds the collection opened from
// them; or the error is returned with the directory's files and `entry` as they were (the old
// collection's log writer has written out its buffer).
// Errors, in order: InvalidConfig for an invalid name; SnapshotNotFound when nothing exists at
// D/"snapshots"/name (nothing touched, in both cases); Io from writing out the old log buffer; Io
// when a snapshot file cannot be copied (the copies go to temporary files beside the collection's,
// removed again on failure); Io when the files cannot be exchanged; Collection::open's errors.
// The old files are kept aside under a second name, never copied over, so the old collection's
// open log keeps its identity and nothing it still writes can reach the restored log; they are
// put back on failure and removed on success. "snapshot.json" is not needed. The caller holds the
// client lock for writing and no other reference to the old collection.
Result<> restore_snapshot(std::unique_ptr<Collection>& entry, std::string_view name);

// Removes the snapshot `name` with everything in it. Errors, in order: InvalidConfig for an
// invalid name; SnapshotNotFound when nothing exists at D/"snapshots"/name; Io when it cannot be
// removed, or when it is a plain file (a symbolic link there is removed itself, never followed).
// The caller holds the client lock for writing.
Result<> delete_snapshot(const Collection& collection, std::string_view name);

}  // namespace sorvel
