#include "posix_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

#include "str_cat.h"

namespace sorvel {

namespace {

Result<UniqueFd> open_with(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return DbError::io_from_errno(errno);
  return UniqueFd(fd);
}

std::string parent_dir(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Result<> UniqueFd::close() {
  const int fd = release();
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return DbError::io_from_errno(errno);
  return ok();
}

Result<UniqueFd> open_read(const std::string& path) { return open_with(path, O_RDONLY); }

Result<UniqueFd> create_truncate(const std::string& path) {
  return open_with(path, O_WRONLY | O_CREAT | O_TRUNC);
}

Result<UniqueFd> open_append(const std::string& path) {
  return open_with(path, O_WRONLY | O_CREAT | O_APPEND);
}

Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path) {
  SORVEL_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return DbError::io_from_errno(errno);
  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 0));
  std::uint8_t chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return DbError::io_from_errno(errno);
    }
    if (n == 0) break;
    out.insert(out.end(), chunk, chunk + n);
  }
  return out;
}

Result<> write_all(int fd, std::span<const std::uint8_t> bytes) {
  const std::uint8_t* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return DbError::io_from_errno(errno);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return ok();
}

Result<> sync_fd(int fd) {
  if (::fsync(fd) != 0) return DbError::io_from_errno(errno);
  return ok();
}

Result<> sync_parent_dir(const std::string& path) {
  SORVEL_ASSIGN_OR_RETURN(UniqueFd dir, open_with(parent_dir(path), O_RDONLY | O_DIRECTORY));
  return sync_fd(dir.get());
}

Result<> rename_path(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return DbError::io_from_errno(errno);
  return ok();
}

Result<AtomicFileWriter> AtomicFileWriter::create(const std::string& path) {
  static std::atomic<std::uint64_t> next_writer{0};
  AtomicFileWriter w;
  w.path_ = path;
  w.temp_path_ = str_cat(path, ".tmp-", static_cast<long>(::getpid()), "-",
                         next_writer.fetch_add(1, std::memory_order_relaxed));
  SORVEL_ASSIGN_OR_RETURN(w.fd_, create_truncate(w.temp_path_));
  return w;
}

AtomicFileWriter::AtomicFileWriter(AtomicFileWriter&& other) noexcept
    : path_(std::move(other.path_)),
      temp_path_(std::exchange(other.temp_path_, {})),
      fd_(std::move(other.fd_)),
      committed_(other.committed_) {}

AtomicFileWriter& AtomicFileWriter::operator=(AtomicFileWriter&& other) noexcept {
  if (this != &other) {
    discard();
    path_ = std::move(other.path_);
    temp_path_ = std::exchange(other.temp_path_, {});
    fd_ = std::move(other.fd_);
    committed_ = other.committed_;
  }
  return *this;
}

AtomicFileWriter::~AtomicFileWriter() { discard(); }

void AtomicFileWriter::discard() {
  fd_.reset();
  if (!committed_ && !temp_path_.empty()) ::unlink(temp_path_.c_str());
  temp_path_.clear();
}

Result<> AtomicFileWriter::commit() {
  SORVEL_TRY(sync_fd(fd_.get()));
  SORVEL_TRY(fd_.close());
  SORVEL_TRY(rename_path(temp_path_, path_));
  committed_ = true;
  return sync_parent_dir(path_);
}

Result<> replace_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  SORVEL_ASSIGN_OR_RETURN(AtomicFileWriter w, AtomicFileWriter::create(path));
  SORVEL_TRY(write_all(w.fd(), bytes));
  return w.commit();
}

Result<MappedFile> MappedFile::open(const std::string& path) {
  SORVEL_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return DbError::io_from_errno(errno);
  MappedFile m;
  if (st.st_size <= 0) return m;
  void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd.get(), 0);
  if (p == MAP_FAILED) return DbError::io_from_errno(errno);
  m.data_ = static_cast<const std::uint8_t*>(p);
  m.size_ = static_cast<std::size_t>(st.st_size);
  return m;
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    if (data_) ::munmap(const_cast<std::uint8_t*>(data_), size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

MappedFile::~MappedFile() {
  if (data_) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

}  // namespace sorvel
