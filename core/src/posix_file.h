#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "result.h"

namespace sorvel {

// Sole owner of a file descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);
  // close(2) with its failure reported (the destructor ignores it).
  Result<> close();

 private:
  int fd_ = -1;
};

// open(2) for reading; Io on failure.
Result<UniqueFd> open_read(const std::string& path);
// open(2) for reading of a path that names a regular file (symbolic links followed). Anything else
// there (a FIFO, a device, a directory, a socket) is Io "{path} is not a regular file", and is
// never waited on: a FIFO put in place of an internal file cannot make an opening block.
Result<UniqueFd> open_regular_read(const std::string& path);
// Creates or truncates `path` for writing with the bits 0o666 before the umask; Io on failure.
Result<UniqueFd> create_truncate(const std::string& path);
// Creates a new regular file at `path` for writing (0o666 before the umask), first removing the
// entry there, a symbolic link itself rather than its target. For the files the system names
// itself inside its own directories ("meta.json.tmp", "wal.log.tmp", a restore's staged copies):
// whatever stands at such a name is a leftover, and a FIFO or a link there must neither block the
// write nor redirect it. Io on failure.
Result<UniqueFd> create_anew(const std::string& path);
// Opens `path` for appending, creating it with 0o666 before the umask; Io on failure. As with
// open_regular_read, a path naming anything but a regular file is Io "{path} is not a regular
// file", never waited on.
Result<UniqueFd> open_append(const std::string& path);

// The whole content of a file; Io on failure.
Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path);
// The whole content of a regular file, opened with open_regular_read; Io on failure.
Result<std::vector<std::uint8_t>> read_regular_file(const std::string& path);
// write(2) of all of `bytes`, retrying short writes; Io on failure.
Result<> write_all(int fd, std::span<const std::uint8_t> bytes);
// Copies the bytes of `in` from `offset` on, at most `max_bytes` of them (fewer when `in` ends
// first), to `out` at its current position; returns how many were copied. The kernel copies where
// it can; otherwise one 64 KiB buffer carries the bytes. Io on failure (part of the bytes may
// have been written).
Result<std::uint64_t> copy_file_bytes(int in, std::uint64_t offset, std::uint64_t max_bytes,
                                      int out);
// fsync(2) of a file or of the directory holding `path`; Io on failure.
Result<> sync_fd(int fd);
Result<> sync_parent_dir(const std::string& path);
// rename(2); Io on failure.
Result<> rename_path(const std::string& from, const std::string& to);

// `dir` joined with the directory entry `entry`.
std::string join_path(const std::string& dir, std::string_view entry);
// Whether the path's status can be read (stat(2): a final symbolic link is followed).
bool status_readable(const std::string& path);
// Whether both paths name one file (the same inode), without following final links.
bool same_file(const std::string& a, const std::string& b);
// unlink(2), where a file that is already gone counts as removed; Io otherwise.
Result<> remove_if_present(const std::string& path);
// Removes `path` with everything in it (a symbolic link is removed itself, never followed); a path
// that is already gone counts as removed. Io on failure.
Result<> remove_tree(const std::string& path);
// Io for a failed std::filesystem call (EIO when it gives no error number).
DbError io_from_error_code(const std::error_code& ec);
// Whether `error` is Io for a lack of file descriptors (EMFILE, ENFILE).
bool is_descriptor_shortage(const DbError& error);
// Whether `error` is Io for a resource the process or the system ran short of (descriptors, or
// ENOMEM): a failure of the moment, which says nothing about the files.
bool is_resource_shortage(const DbError& error);

// Writes the whole new content of a file, replacing a regular file safely and respecting what the
// path names. The target is `path` with its symbolic links followed (a chain of them, up to 40; a
// dangling link names the file to create); the links themselves stay as they are. Then:
// - The target is a regular file or missing: the content goes to the temporary file
//   "<target>.tmp-<pid>-<n>" beside it, which commit() forces to stable storage and renames over
//   the target. Until then the previous file stays intact. The temporary gets an existing target's
//   permission bits, and its owner and group where the process may set them (best effort); a new
//   file gets 0o666 before the umask. A target the process may not write is refused with Io, as
//   opening it for writing would be; so is a directory that takes no temporary file (the target is
//   never truncated in place: a memory map of it may still be read).
// - The target exists and is not a regular file (a device, a FIFO): it is opened for writing and
//   truncated, as a create-or-truncate would (a FIFO waits for a reader; a directory fails with
//   EISDIR), and written in place; commit() closes it and reports the close's failure.
// Every failure, and a writer dropped uncommitted, removes the temporary file. One writer belongs
// to one thread at a time; two writers to one target (in any threads) never share a temporary file.
class AtomicFileWriter {
 public:
  // Resolves the target and opens the temporary file (or the target, in place); Io on failure.
  // n counts the writers of this process; a stale file under the same name is never reused.
  static Result<AtomicFileWriter> create(const std::string& path);

  // A moved-from writer owns nothing and removes nothing.
  AtomicFileWriter(AtomicFileWriter&& other) noexcept;
  AtomicFileWriter& operator=(AtomicFileWriter&& other) noexcept;
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
  ~AtomicFileWriter();

  // The descriptor to write the content to (the temporary file's, or the target's in place), for
  // an Encoder or write_all.
  int fd() const { return fd_.get(); }
  // With a temporary file: fsync, close, rename over the target, fsync of the directory; Io on
  // failure (the temporary file is then removed and the target untouched). In place: close; Io on
  // failure.
  Result<> commit();

 private:
  AtomicFileWriter() = default;
  // Closes, and removes the temporary file unless it was committed.
  void discard();

  std::string target_;
  std::string temp_path_;  // empty when writing in place
  UniqueFd fd_;
  bool committed_ = false;
};

// Writes `bytes` as the whole new content of `path` through an AtomicFileWriter.
Result<> replace_file(const std::string& path, std::span<const std::uint8_t> bytes);

// Removes the regular files named like an AtomicFileWriter's temporary ("<file>.tmp-<pid>-<n>")
// that writers of other processes left in `dir` (a crash between creating one and its commit).
// Best effort: a file that cannot be removed, or a directory that cannot be read, stays. Only safe
// while no other process writes into `dir`.
void remove_stale_writer_temporaries(const std::string& dir);

// Best effort: has the kernel map every page of [data, data + bytes) at once (for writing, or for
// reading), which costs less than faulting them in one by one as they are first touched. Only the
// whole pages inside the range are affected; where the kernel lacks the request nothing happens.
void populate_pages(const void* data, std::size_t bytes, bool for_writing);

// A read-only private memory map of a whole regular file (opened with open_regular_read); unmapped
// on destruction. An empty file maps to an empty span without calling mmap.
class MappedFile {
 public:
  MappedFile() = default;
  static Result<MappedFile> open(const std::string& path);
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace sorvel
