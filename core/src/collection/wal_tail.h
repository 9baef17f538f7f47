#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "posix_file.h"
#include "result.h"

// What an opening does with a "wal.log" that its replay did not read cleanly. The log carries no
// checksum, so a crash and a damaged length are told apart by how the records fit together:
//   - a final record cut short by a crash, in a log read in step up to it (its length is one the
//     replay accepts, it runs past the end of the file, and every field its bytes hold agrees with
//     that length, as is_torn_final_record says), is cut away, so that records appended later
//     follow the last one read;
//   - anything else is damage: a record the replay skipped (a body that does not decode, a vector
//     of another length), a body with bytes after its last field, or a length the replay does not
//     accept. The log is kept whole under a name of its own, "wal.log.damaged-<offset>" in the
//     collection directory (<offset>: where the first damaged record starts, in decimal; "-2",
//     "-3" ... follow when an earlier log took that name), and a new "wal.log" holds exactly the
//     records the replay applied, in their order, so the next replay reads it in step and applies
//     the same. Once the reader has skipped a record, nothing it stops at is taken for a torn one.
// A "wal.log" that is a symbolic link is never cut or written through: whatever stopped the replay,
// the link itself is kept under that name (its target untouched) and a regular "wal.log" with the
// replayed records takes its place.

namespace sorvel {

inline constexpr std::string_view kWalDamagedPrefix = "wal.log.damaged-";

// Whether the bytes of the log `fd` from `start` to `file_size` (less than one whole record the
// replay accepts) are a final record cut short: fewer than the 4 bytes of a length, or a length of
// 12 or from 22 to kMaxWalRecordBody (the sizes the writer produces) that runs past the end of the
// file, whose fields, as far as its bytes reach, agree with it (variant 1 with length 12; variant 0
// with a vector, payload and sparse field that fit the length, tags 0 or 1, and a length that the
// fields give exactly once they are all there). Io when the bytes cannot be read.
Result<bool> is_torn_final_record(int fd, std::uint64_t start, std::uint64_t file_size);

// A run of a log's bytes that the rewritten log keeps: `bytes` bytes from `offset`, behind a new
// u32 length prefix when `length` is set (a record whose body went on past its last field keeps
// its fields only).
struct LogPiece {
  std::uint64_t offset = 0;
  std::uint64_t bytes = 0;
  std::optional<std::uint32_t> length;
};

// What a replay learnt about the log it read: whether anything is left to settle, and what.
// Filled record by record (note_applied, note_damage), then stop() at the end of the reading.
class ReplayedLog {
 public:
  ReplayedLog() = default;
  ReplayedLog(UniqueFd fd, std::uint64_t file_size) : fd_(std::move(fd)), file_size_(file_size) {}

  // The record at `start` with body length `length` was applied; its fields end after
  // `field_bytes` of the body (less than `length` when bytes follow its last field, which is
  // damage).
  void note_applied(std::uint64_t start, std::uint32_t length, std::uint64_t field_bytes);
  // The record at `start` was skipped.
  void note_damage(std::uint64_t start);
  // The reading ended at `read_end`: the end of the last record read whole.
  void stop(std::uint64_t read_end) { read_end_ = read_end; }

  // Whether the log needs settling: something was skipped or trimmed, or the reading stopped
  // before the end of the file.
  bool needs_settling() const { return damage_ || read_end_ < file_size_; }

 private:
  friend Result<> settle_replayed_log(const std::string& wal_path, ReplayedLog log);

  UniqueFd fd_;
  std::uint64_t file_size_ = 0;
  std::uint64_t read_end_ = 0;
  std::optional<std::uint64_t> damage_;  // where the first damaged record starts
  std::vector<LogPiece> kept_;           // the applied records, adjacent runs merged
};

// Settles the log at `wal_path` that `log` was read from (see above). A torn final record is cut
// away by truncation. Otherwise the new "wal.log" is written to "wal.log.tmp" and forced to stable
// storage, the old one gets its second name by a hard link (the one step that keeps it, so a crash
// at any point loses neither the old bytes nor the replayed records; an opening after a crash
// finds the second name already given and gives it no other), then the new file is renamed over
// "wal.log" and the directory forced. Io on failure: before the rename "wal.log" is as it was; a
// file system without hard links fails the opening rather than lose the old log. Closes the
// replay's descriptor.
Result<> settle_replayed_log(const std::string& wal_path, ReplayedLog log);

}  // namespace sorvel
