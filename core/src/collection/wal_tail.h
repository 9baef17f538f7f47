#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "result.h"

// What an opening does with the bytes at the end of "wal.log" that its replay stopped short of.
// The log carries no checksum, so a crash and a damaged length are told apart by how the stopped
// record's bytes fit together:
//   - a final record cut short by a crash (its length is one the replay accepts, it runs past the
//     end of the file, and every field its bytes hold agrees with that length, as
//     is_torn_final_record says) is cut away, so that records appended later follow the last one
//     read;
//   - anything else is damage the replay did not read past. The log is kept whole under a name of
//     its own, "wal.log.damaged-<offset>" in the collection directory (<offset>: where the replay
//     stopped, in decimal; "-2", "-3" ... follow when an earlier log took that name), and a new
//     "wal.log" holds exactly the bytes before <offset>, the records replayed.
// A "wal.log" that is a symbolic link is never cut or written through: whatever stopped the replay,
// the link itself is kept under that name (its target untouched) and a regular "wal.log" with the
// replayed bytes takes its place.

namespace sorvel {

inline constexpr std::string_view kWalDamagedPrefix = "wal.log.damaged-";

// Whether the bytes of the log `fd` from `start` to `file_size` (less than one whole record the
// replay accepts) are a final record cut short: fewer than the 4 bytes of a length, or a length of
// 12 or from 22 to kMaxWalRecordBody (the sizes the writer produces) that runs past the end of the
// file, whose fields, as far as its bytes reach, agree with it (variant 1 with length 12; variant 0
// with a vector, payload and sparse field that fit the length, tags 0 or 1, and a length that the
// fields give exactly once they are all there). Io when the bytes cannot be read.
Result<bool> is_torn_final_record(int fd, std::uint64_t start, std::uint64_t file_size);

// Settles a log whose replay stopped at `read_end`, before `file_size` (see above). `fd` is the
// replay's descriptor of the log. The new "wal.log" is written to "wal.log.tmp" and forced to
// stable storage, the old one gets its second name by a hard link (the one step that keeps it, so
// a crash at any point loses neither the old bytes nor the replayed records; an opening after a
// crash finds the second name already given and gives it no other), then the new file is renamed
// over "wal.log" and the directory forced. Io on failure: before the rename "wal.log" is as it
// was; a file system without hard links fails the opening rather than lose the old log.
Result<> settle_unread_tail(const std::string& wal_path, int fd, std::uint64_t read_end,
                            std::uint64_t file_size);

}  // namespace sorvel
