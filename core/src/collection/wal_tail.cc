#include "collection/wal_tail.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "collection/wal.h"
#include "posix_file.h"
#include "str_cat.h"

namespace sorvel {

namespace {

// Where an Add body's vector count stands (after the u32 variant and the u64 id), and the shortest
// Add body: variant, id, count and two absent tags.
constexpr std::uint64_t kAddCountOffset = 12;
constexpr std::uint64_t kMinAddBody = kWalAddVectorOffset + 2;
constexpr std::uint64_t kDeleteBody = 12;

// Reads the fixed-width field at `offset` of a body whose first `available` bytes are in the file
// at `body_start`: nullopt when the field reaches past them.
template <class T>
Result<std::optional<T>> field_at(int fd, std::uint64_t body_start, std::uint64_t available,
                                  std::uint64_t offset) {
  if (offset > available || available - offset < sizeof(T)) return std::optional<T>();
  std::uint8_t bytes[sizeof(T)];
  std::size_t have = 0;
  while (have < sizeof(T)) {
    const ssize_t n =
        ::pread(fd, bytes + have, sizeof(T) - have, static_cast<off_t>(body_start + offset + have));
    if (n < 0) {
      if (errno == EINTR) continue;
      return DbError::io_from_errno(errno);
    }
    if (n == 0) return DbError::io(IoError::with_message("wal.log ended while its tail was read"));
    have += static_cast<std::size_t>(n);
  }
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  return std::optional<T>(value);
}

// Whether the fields of a body of `length` bytes, as far as its `available` bytes reach, are those
// of a record the writer could have written with that length.
Result<bool> fields_agree(int fd, std::uint64_t body_start, std::uint64_t available,
                          std::uint64_t length) {
  if (length != kDeleteBody && length < kMinAddBody) return false;
  SORVEL_ASSIGN_OR_RETURN(const auto variant,
                          field_at<std::uint32_t>(fd, body_start, available, 0));
  if (!variant) return true;
  if (*variant == static_cast<std::uint32_t>(WalEntry::Kind::Delete)) return length == kDeleteBody;
  if (*variant != static_cast<std::uint32_t>(WalEntry::Kind::Add) || length < kMinAddBody) {
    return false;
  }
  SORVEL_ASSIGN_OR_RETURN(const auto count,
                          field_at<std::uint64_t>(fd, body_start, available, kAddCountOffset));
  if (!count) return true;
  if (*count > (length - kMinAddBody) / 4) return false;
  std::uint64_t at = kWalAddVectorOffset + 4 * *count;
  // The payload field, then the sparse field: a tag, and when it is 1 a u64 size and that many
  // bytes. Each must leave room for the fixed bytes still to come (the sparse tag after the
  // payload).
  for (const std::uint64_t still_to_come : {std::uint64_t{1}, std::uint64_t{0}}) {
    SORVEL_ASSIGN_OR_RETURN(const auto tag, field_at<std::uint8_t>(fd, body_start, available, at));
    if (!tag) return true;
    if (*tag > 1) return false;
    at += 1;
    if (*tag == 0) continue;
    if (length - at < 8 + still_to_come) return false;
    SORVEL_ASSIGN_OR_RETURN(const auto size,
                            field_at<std::uint64_t>(fd, body_start, available, at));
    if (!size) return true;
    if (*size > length - at - 8 - still_to_come) return false;
    at += 8 + *size;
  }
  return at == length;
}

// Gives the log its second name: the first free "wal.log.damaged-<offset>[-k]", unless one of them
// already names it (an opening that crashed after this step).
Result<> keep_old_log(const std::string& wal_path, std::uint64_t read_end) {
  const std::string base = join_path(std::filesystem::path(wal_path).parent_path().string(),
                                      str_cat(kWalDamagedPrefix, read_end));
  for (std::uint64_t k = 1;; ++k) {
    const std::string name = k == 1 ? base : str_cat(base, "-", k);
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0) {
      if (errno != ENOENT) return DbError::io_from_errno(errno);
      // link(2) gives a symbolic link itself the second name, never what it names.
      if (::link(wal_path.c_str(), name.c_str()) != 0) return DbError::io_from_errno(errno);
      return ok();
    }
    if (same_file(name, wal_path)) return ok();
  }
}

}  // namespace

Result<bool> is_torn_final_record(int fd, std::uint64_t start, std::uint64_t file_size) {
  const std::uint64_t left = file_size - start;
  if (left < kWalLengthBytes) return true;
  SORVEL_ASSIGN_OR_RETURN(const auto length, field_at<std::uint32_t>(fd, start, left, 0));
  const std::uint64_t available = left - kWalLengthBytes;
  if (*length > kMaxWalRecordBody || *length <= available) return false;
  return fields_agree(fd, start + kWalLengthBytes, available, *length);
}

void ReplayedLog::note_applied(std::uint64_t start, std::uint32_t length,
                               std::uint64_t field_bytes) {
  if (field_bytes < length) {
    if (!damage_) damage_ = start;
    kept_.push_back(
        LogPiece{start + kWalLengthBytes, field_bytes, static_cast<std::uint32_t>(field_bytes)});
    return;
  }
  const std::uint64_t bytes = kWalLengthBytes + std::uint64_t{length};
  if (!kept_.empty() && !kept_.back().length && kept_.back().offset + kept_.back().bytes == start) {
    kept_.back().bytes += bytes;
  } else {
    kept_.push_back(LogPiece{start, bytes, std::nullopt});
  }
}

void ReplayedLog::note_damage(std::uint64_t start) {
  if (!damage_) damage_ = start;
}

Result<> settle_replayed_log(const std::string& wal_path, ReplayedLog log) {
  UniqueFd fd = std::move(log.fd_);
  if (!log.needs_settling()) return fd.close();
  struct stat st {};
  if (::lstat(wal_path.c_str(), &st) != 0) return DbError::io_from_errno(errno);
  const bool link = S_ISLNK(st.st_mode);
  // Only a reader still in step may take what it stopped at for a torn record: after a skip, the
  // bytes it reads as a length are some other field.
  if (!link && !log.damage_) {
    SORVEL_ASSIGN_OR_RETURN(const bool torn,
                            is_torn_final_record(fd.get(), log.read_end_, log.file_size_));
    if (torn) {
      if (::truncate(wal_path.c_str(), static_cast<off_t>(log.read_end_)) != 0) {
        return DbError::io_from_errno(errno);
      }
      return fd.close();
    }
  }

  const std::string temp = wal_temp_path(wal_path);
  {
    SORVEL_ASSIGN_OR_RETURN(UniqueFd out, create_anew(temp));
    for (const LogPiece& piece : log.kept_) {
      if (piece.length) {
        std::uint8_t prefix[kWalLengthBytes];
        std::memcpy(prefix, &*piece.length, kWalLengthBytes);
        SORVEL_TRY(write_all(out.get(), prefix));
      }
      SORVEL_ASSIGN_OR_RETURN(const std::uint64_t copied,
                              copy_file_bytes(fd.get(), piece.offset, piece.bytes, out.get()));
      if (copied != piece.bytes) {
        return DbError::io(IoError::with_message("wal.log ended while its records were copied"));
      }
    }
    SORVEL_TRY(sync_fd(out.get()));
    SORVEL_TRY(out.close());
  }
  SORVEL_TRY(keep_old_log(wal_path, log.damage_.value_or(log.read_end_)));
  SORVEL_TRY(sync_parent_dir(wal_path));
  SORVEL_TRY(rename_path(temp, wal_path));
  SORVEL_TRY(sync_parent_dir(wal_path));
  return fd.close();
}

}  // namespace sorvel
