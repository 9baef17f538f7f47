#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
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
// Creates or truncates `path` for writing with the bits 0o666 before the umask; Io on failure.
Result<UniqueFd> create_truncate(const std::string& path);
// Opens `path` for appending, creating it with 0o666 before the umask; Io on failure.
Result<UniqueFd> open_append(const std::string& path);

// The whole content of a file; Io on failure.
Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path);
// write(2) of all of `bytes`, retrying short writes; Io on failure.
Result<> write_all(int fd, std::span<const std::uint8_t> bytes);
// fsync(2) of a file or of the directory holding `path`; Io on failure.
Result<> sync_fd(int fd);
Result<> sync_parent_dir(const std::string& path);
// rename(2); Io on failure.
Result<> rename_path(const std::string& from, const std::string& to);

// Replaces a file safely: the content goes to a temporary file beside the target (created with
// 0o666 before the umask, as the target would be), which is forced to stable storage and renamed
// over the target by commit(). Until commit() succeeds the previous file stays intact; an
// uncommitted writer removes its temporary file when it goes away.
class AtomicFileWriter {
 public:
  // Creates the temporary file "<path>.tmp-<pid>-<n>" (n counts the writers of this process, so
  // two threads saving to one path never share a temporary file); Io on failure.
  static Result<AtomicFileWriter> create(const std::string& path);

  // A moved-from writer owns nothing and removes nothing.
  AtomicFileWriter(AtomicFileWriter&& other) noexcept;
  AtomicFileWriter& operator=(AtomicFileWriter&& other) noexcept;
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
  ~AtomicFileWriter();

  // The temporary file's descriptor, for an Encoder or write_all.
  int fd() const { return fd_.get(); }
  // fsync, close, rename over the target, fsync of the directory; Io on failure (the temporary file
  // is then removed and the target untouched).
  Result<> commit();

 private:
  AtomicFileWriter() = default;
  // Closes and removes the temporary file unless it was committed.
  void discard();

  std::string path_;
  std::string temp_path_;
  UniqueFd fd_;
  bool committed_ = false;
};

// Writes `bytes` as the whole new content of `path` through an AtomicFileWriter.
Result<> replace_file(const std::string& path, std::span<const std::uint8_t> bytes);

// A read-only private memory map of a whole file; unmapped on destruction. An empty file maps to an
// empty span without calling mmap.
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
