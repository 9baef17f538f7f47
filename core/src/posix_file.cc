#include "posix_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
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

DbError not_regular(const std::string& path) {
  return DbError::io(IoError::with_message(str_cat(path, " is not a regular file")));
}

// Opens without waiting on what the path names (O_NONBLOCK: a FIFO opens at once for reading and
// fails with ENXIO for writing when it has no reader), then keeps the descriptor only for a regular
// file, with O_NONBLOCK cleared again.
Result<UniqueFd> open_regular_with(const std::string& path, int flags) {
  Result<UniqueFd> fd = open_with(path, flags | O_NONBLOCK);
  if (!fd) {
    if (fd.error().io_error().os_code() == ENXIO) return not_regular(path);
    return fd;
  }
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0) return DbError::io_from_errno(errno);
  if (!S_ISREG(st.st_mode)) return not_regular(path);
  const int status = ::fcntl(fd->get(), F_GETFL);
  if (status < 0 || ::fcntl(fd->get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
    return DbError::io_from_errno(errno);
  }
  return fd;
}

Result<std::vector<std::uint8_t>> read_all(UniqueFd fd) {
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

Result<UniqueFd> open_regular_read(const std::string& path) {
  return open_regular_with(path, O_RDONLY);
}

Result<UniqueFd> create_truncate(const std::string& path) {
  return open_with(path, O_WRONLY | O_CREAT | O_TRUNC);
}

Result<UniqueFd> create_anew(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return DbError::io_from_errno(errno);
  return open_with(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW);
}

Result<UniqueFd> open_append(const std::string& path) {
  return open_regular_with(path, O_WRONLY | O_CREAT | O_APPEND);
}

Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path) {
  SORVEL_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path));
  return read_all(std::move(fd));
}

Result<std::vector<std::uint8_t>> read_regular_file(const std::string& path) {
  SORVEL_ASSIGN_OR_RETURN(UniqueFd fd, open_regular_read(path));
  return read_all(std::move(fd));
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

Result<std::uint64_t> copy_file_bytes(int in, std::uint64_t offset, std::uint64_t max_bytes,
                                      int out) {
  std::uint64_t copied = 0;
  auto in_offset = static_cast<off_t>(offset);
  while (copied < max_bytes) {
    const auto chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(max_bytes - copied, 1 << 30));
    const ssize_t n = ::copy_file_range(in, &in_offset, out, nullptr, chunk, 0);
    if (n > 0) {
      copied += static_cast<std::uint64_t>(n);
      continue;
    }
    if (n == 0) return copied;
    if (errno == EINTR) continue;
    // File systems and kernels without an in-kernel copy: the buffered loop below goes on from
    // where the copy stopped.
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
    return DbError::io_from_errno(errno);
  }
  std::vector<std::uint8_t> buffer(copied < max_bytes ? 64 * 1024 : 0);
  while (copied < max_bytes) {
    const auto chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(max_bytes - copied, buffer.size()));
    const ssize_t n = ::pread(in, buffer.data(), chunk, in_offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return DbError::io_from_errno(errno);
    }
    if (n == 0) break;
    SORVEL_TRY(write_all(out, std::span(buffer.data(), static_cast<std::size_t>(n))));
    in_offset += n;
    copied += static_cast<std::uint64_t>(n);
  }
  return copied;
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

std::string join_path(const std::string& dir, std::string_view entry) {
  return (std::filesystem::path(dir) / entry).string();
}

bool status_readable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return ::lstat(a.c_str(), &sa) == 0 && ::lstat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

Result<> remove_if_present(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return DbError::io_from_errno(errno);
  return ok();
}

Result<> remove_tree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec) return io_from_error_code(ec);
  return ok();
}

DbError io_from_error_code(const std::error_code& ec) {
  return DbError::io_from_errno(ec.value() != 0 ? ec.value() : EIO);
}

bool is_descriptor_shortage(const DbError& error) {
  if (error.kind() != ErrorKind::Io) return false;
  const int code = error.io_error().os_code();
  return code == EMFILE || code == ENFILE;
}

bool is_resource_shortage(const DbError& error) {
  return is_descriptor_shortage(error) ||
         (error.kind() == ErrorKind::Io && error.io_error().os_code() == ENOMEM);
}

namespace {

// The kernel's own bound on the symbolic links it follows in one path.
constexpr int kMaxLinkHops = 40;

// What a save writes to: `path` with the symbolic links of its last component followed, and the
// status of what that names (empty when nothing is there yet).
struct SaveTarget {
  std::string path;
  std::optional<struct stat> status;
};

Result<SaveTarget> resolve_save_target(const std::string& path) {
  SaveTarget target{path, std::nullopt};
  for (int hops = 0;; ++hops) {
    struct stat st {};
    if (::lstat(target.path.c_str(), &st) != 0) {
      // Nothing there: a file to create (a missing directory is reported when it is created).
      if (errno == ENOENT) return target;
      return DbError::io_from_errno(errno);
    }
    if (!S_ISLNK(st.st_mode)) {
      target.status = st;
      return target;
    }
    if (hops == kMaxLinkHops) return DbError::io_from_errno(ELOOP);
    std::string text(PATH_MAX, '\0');
    const ssize_t n = ::readlink(target.path.c_str(), text.data(), text.size());
    if (n < 0) return DbError::io_from_errno(errno);
    if (static_cast<std::size_t>(n) >= text.size()) return DbError::io_from_errno(ENAMETOOLONG);
    if (n == 0) return DbError::io_from_errno(ENOENT);  // an empty link names nothing
    text.resize(static_cast<std::size_t>(n));
    // A relative link text is relative to the link's own directory; the kernel resolves any ".."
    // in the joined path from there, as it would have resolved the link.
    if (text.front() != '/') {
      const auto slash = target.path.find_last_of('/');
      if (slash != std::string::npos) text.insert(0, target.path, 0, slash + 1);
    }
    target.path = std::move(text);
  }
}

// Creates `path`, which must not exist yet, for writing with 0o666 before the umask; it is never
// a link followed or an old file reused.
Result<UniqueFd> create_new(const std::string& path) {
  return open_with(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW);
}

// Gives the new file `fd` the owner, group and permission bits of `like`: the owner and group
// where the process may set them, the bits always (Io when that fails).
Result<> copy_owner_and_mode(int fd, const struct stat& like) {
  // Only a privileged process may give a file away, and only to a group it is in: keep what can be
  // kept. fchown first, since it may clear the set-id bits that fchmod then sets.
  if (::fchown(fd, like.st_uid, like.st_gid) != 0) {
    (void)::fchown(fd, static_cast<uid_t>(-1), like.st_gid);
  }
  if (::fchmod(fd, like.st_mode & 07777) != 0) return DbError::io_from_errno(errno);
  return ok();
}

}  // namespace

Result<AtomicFileWriter> AtomicFileWriter::create(const std::string& path) {
  static std::atomic<std::uint64_t> next_writer{0};
  SORVEL_ASSIGN_OR_RETURN(SaveTarget target, resolve_save_target(path));
  AtomicFileWriter w;
  w.target_ = std::move(target.path);
  if (target.status && !S_ISREG(target.status->st_mode)) {
    // A device or a FIFO is the destination itself: a renamed file would replace the node.
    SORVEL_ASSIGN_OR_RETURN(w.fd_, create_truncate(w.target_));
    return w;
  }
  // Replacing a file bypasses its own permission bits; refuse what opening it would refuse.
  if (target.status && ::faccessat(AT_FDCWD, w.target_.c_str(), W_OK, AT_EACCESS) != 0) {
    return DbError::io_from_errno(errno);
  }
  const long pid = static_cast<long>(::getpid());
  for (;;) {
    std::string temp =
        str_cat(w.target_, ".tmp-", pid, "-", next_writer.fetch_add(1, std::memory_order_relaxed));
    Result<UniqueFd> fd = create_new(temp);
    if (fd) {
      w.temp_path_ = std::move(temp);
      w.fd_ = std::move(fd).value();
      break;
    }
    // A stale file of an earlier process with this pid: take the next name.
    if (fd.error().io_error().os_code() != EEXIST) return DbError(std::move(fd).error());
  }
  if (target.status) SORVEL_TRY(copy_owner_and_mode(w.fd_.get(), *target.status));
  return w;
}

AtomicFileWriter::AtomicFileWriter(AtomicFileWriter&& other) noexcept
    : target_(std::move(other.target_)),
      temp_path_(std::exchange(other.temp_path_, {})),
      fd_(std::move(other.fd_)),
      committed_(other.committed_) {}

AtomicFileWriter& AtomicFileWriter::operator=(AtomicFileWriter&& other) noexcept {
  if (this != &other) {
    discard();
    target_ = std::move(other.target_);
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
  if (temp_path_.empty()) {
    SORVEL_TRY(fd_.close());
    committed_ = true;
    return ok();
  }
  SORVEL_TRY(sync_fd(fd_.get()));
  SORVEL_TRY(fd_.close());
  SORVEL_TRY(rename_path(temp_path_, target_));
  committed_ = true;
  return sync_parent_dir(target_);
}

Result<> replace_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  SORVEL_ASSIGN_OR_RETURN(AtomicFileWriter w, AtomicFileWriter::create(path));
  SORVEL_TRY(write_all(w.fd(), bytes));
  return w.commit();
}

namespace {

// The pid in a name of the form "<file>.tmp-<pid>-<n>" (both numbers decimal), if it has that form.
std::optional<long> writer_temporary_pid(std::string_view name) {
  const auto mark = name.rfind(".tmp-");
  if (mark == std::string_view::npos || mark == 0) return std::nullopt;
  const std::string_view numbers = name.substr(mark + 5);
  const auto dash = numbers.find('-');
  if (dash == std::string_view::npos) return std::nullopt;
  const std::string_view pid_text = numbers.substr(0, dash);
  const std::string_view n_text = numbers.substr(dash + 1);
  const auto all_digits = [](std::string_view t) {
    return !t.empty() &&
           std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!all_digits(pid_text) || !all_digits(n_text)) return std::nullopt;
  long pid = 0;
  const auto parsed = std::from_chars(pid_text.data(), pid_text.data() + pid_text.size(), pid);
  if (parsed.ec != std::errc()) return std::nullopt;
  return pid;
}

}  // namespace

void remove_stale_writer_temporaries(const std::string& dir) {
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) return;  // best effort: the caller reads the directory anyway
  const long own_pid = static_cast<long>(::getpid());
  while (const dirent* entry = ::readdir(stream)) {
    const std::optional<long> pid = writer_temporary_pid(entry->d_name);
    // This process's own temporaries belong to writers that may still be running.
    if (!pid || *pid == own_pid) continue;
    struct stat st {};
    if (::fstatat(::dirfd(stream), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode)) continue;
    (void)::unlinkat(::dirfd(stream), entry->d_name, 0);  // best effort, as documented
  }
  ::closedir(stream);
}

void populate_pages(const void* data, std::size_t bytes, bool for_writing) {
#if defined(MADV_POPULATE_WRITE) && defined(MADV_POPULATE_READ)
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGE_SIZE));
  const auto at = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (at + page - 1) / page * page;
  const std::uintptr_t end = (at + bytes) / page * page;
  if (end <= begin) return;
  // Only a speed-up: a kernel without the request, or one that cannot map every page now, leaves
  // the rest to the faults.
  (void)::madvise(reinterpret_cast<void*>(begin), end - begin,
                  for_writing ? MADV_POPULATE_WRITE : MADV_POPULATE_READ);
#else
  (void)data;
  (void)bytes;
  (void)for_writing;
#endif
}

Result<MappedFile> MappedFile::open(const std::string& path) {
  SORVEL_ASSIGN_OR_RETURN(UniqueFd fd, open_regular_read(path));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return DbError::io_from_errno(errno);
  MappedFile m;
  if (st.st_size <= 0) return m;
  void* p =
      ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd.get(), 0);
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
