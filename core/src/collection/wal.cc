#include "collection/wal.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "check.h"
#include "encoding.h"
#include "str_cat.h"

namespace sorvel {

namespace {

constexpr std::uint32_t kAddVariant = 0;
constexpr std::uint32_t kDeleteVariant = 1;
constexpr std::uint64_t kDeleteBody = 12;

// Writes fields at a position the caller has sized.
class Cursor {
 public:
  explicit Cursor(std::uint8_t* p) : p_(p) {}
  template <class T>
  void put(T value) {
    std::memcpy(p_, &value, sizeof(T));
    p_ += sizeof(T);
  }
  void bytes(const void* data, std::size_t n) {
    if (n > 0) std::memcpy(p_, data, n);
    p_ += n;
  }

 private:
  std::uint8_t* p_;
};

std::uint64_t add_body_size(std::size_t n, std::optional<std::size_t> payload,
                            std::optional<std::size_t> sparse) {
  return kWalAddVectorOffset + 4 * static_cast<std::uint64_t>(n) + (payload ? 9 + *payload : 1) +
         (sparse ? 9 + *sparse : 1);
}

void compose_add_body(Cursor& c, std::uint64_t id, std::span<const float> vector,
                      std::optional<std::string_view> payload,
                      std::optional<std::span<const std::uint8_t>> sparse) {
  c.put<std::uint32_t>(kAddVariant);
  c.put<std::uint64_t>(id);
  c.put<std::uint64_t>(vector.size());
  c.bytes(vector.data(), vector.size_bytes());
  c.put<std::uint8_t>(payload ? 1 : 0);
  if (payload) {
    c.put<std::uint64_t>(payload->size());
    c.bytes(payload->data(), payload->size());
  }
  c.put<std::uint8_t>(sparse ? 1 : 0);
  if (sparse) {
    c.put<std::uint64_t>(sparse->size());
    c.bytes(sparse->data(), sparse->size());
  }
}

std::optional<std::string_view> payload_view(const WalEntry& e) {
  if (!e.payload) return std::nullopt;
  return std::string_view(*e.payload);
}

std::optional<std::span<const std::uint8_t>> sparse_view(const WalEntry& e) {
  if (!e.sparse) return std::nullopt;
  return std::span<const std::uint8_t>(*e.sparse);
}

DbError write_stalled() {
  return DbError::io(IoError::with_message("failed to write the buffered data"));
}

// Writes all of `bytes` at the file's end, retrying interrupted and partial writes. `written`
// receives the bytes that reached the file, also on failure.
Result<> write_fully(int fd, std::span<const std::uint8_t> bytes, std::size_t& written) {
  written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return DbError::io_from_errno(errno);
    }
    if (n == 0) return write_stalled();
    written += static_cast<std::size_t>(n);
  }
  return ok();
}

// Allocates the blocks of `length` bytes at `offset`, the file's end, without changing its size.
// Blocks allocated in one step ahead of a large write spare the write the file system's delayed
// allocation page by page (about a quarter of a chunk's write time on ext4). Only a hint: false
// when the file system refuses.
bool preallocate(int fd, std::uint64_t offset, std::size_t length) {
  int rc;
  do {
    rc = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                     static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace

// ---- WalEntry ----

WalEntry WalEntry::add(std::uint64_t id, std::vector<float> vector,
                       std::optional<std::string> payload,
                       std::optional<std::vector<std::uint8_t>> sparse) {
  WalEntry e;
  e.kind = Kind::Add;
  e.id = id;
  e.vector = std::move(vector);
  e.payload = std::move(payload);
  e.sparse = std::move(sparse);
  return e;
}

WalEntry WalEntry::delete_of(std::uint64_t id) {
  WalEntry e;
  e.kind = Kind::Delete;
  e.id = id;
  return e;
}

std::uint64_t WalEntry::body_size() const {
  if (kind == Kind::Delete) return kDeleteBody;
  return add_body_size(vector.size(), payload ? std::optional(payload->size()) : std::nullopt,
                       sparse ? std::optional(sparse->size()) : std::nullopt);
}

std::vector<std::uint8_t> WalEntry::encode() const {
  std::vector<std::uint8_t> body(body_size());
  Cursor c(body.data());
  if (kind == Kind::Delete) {
    c.put<std::uint32_t>(kDeleteVariant);
    c.put<std::uint64_t>(id);
  } else {
    compose_add_body(c, id, vector, payload_view(*this), sparse_view(*this));
  }
  return body;
}

Result<WalEntry> WalEntry::decode(std::span<const std::uint8_t> body) {
  Decoder in = Decoder::from_memory(body);
  SORVEL_ASSIGN_OR_RETURN(const std::uint32_t variant, in.variant(2));
  WalEntry e;
  SORVEL_ASSIGN_OR_RETURN(e.id, in.u64());
  if (variant == kDeleteVariant) {
    e.kind = Kind::Delete;
    return e;
  }
  e.kind = Kind::Add;
  SORVEL_ASSIGN_OR_RETURN(e.vector, in.f32_seq());
  SORVEL_ASSIGN_OR_RETURN(const bool has_payload, in.option_tag());
  if (has_payload) {
    SORVEL_ASSIGN_OR_RETURN(std::vector<std::uint8_t> text, in.byte_string());
    e.payload.emplace(text.begin(), text.end());
  }
  SORVEL_ASSIGN_OR_RETURN(const bool has_sparse, in.option_tag());
  if (has_sparse) {
    SORVEL_ASSIGN_OR_RETURN(e.sparse, in.byte_string());
  }
  return e;
}

WalEntry live_record(std::uint64_t id, std::vector<float> vector, const Payload* payload,
                     const SparseVector* sparse) {
  std::optional<std::string> text;
  if (payload != nullptr) text = payload->to_compact_text();
  std::optional<std::vector<std::uint8_t>> bytes;
  if (sparse != nullptr) bytes = sparse->encode();
  return WalEntry::add(id, std::move(vector), std::move(text), std::move(bytes));
}

Result<> check_wal_record_size(std::uint64_t body_size) {
  if (body_size > kMaxWalRecordBody) {
    return DbError::invalid_config(str_cat(
        "log record of ", body_size, " bytes exceeds the limit of ", kMaxWalRecordBody, " bytes"));
  }
  return ok();
}

// ---- WalWriter ----

Result<WalWriter> WalWriter::open(std::string path) {
  WalWriter w;
  SORVEL_ASSIGN_OR_RETURN(w.fd_, open_append(path));
  struct stat st {};
  if (::fstat(w.fd_.get(), &st) != 0) return DbError::io_from_errno(errno);
  w.file_size_ = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  w.path_ = std::move(path);
  w.opener_ = ::getpid();
  w.buffer_.reserve(kBufferSize);
  return w;
}

bool WalWriter::close_descriptor() {
  if (!fd_) return true;
  if (::getpid() != opener_ || !flush()) return false;
  // A failed close still leaves the descriptor closed; every byte reached the file before it.
  (void)fd_.close();
  return true;
}

Result<> WalWriter::reopen() {
  if (fd_) return ok();
  SORVEL_ASSIGN_OR_RETURN(UniqueFd fd, open_append(path_));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return DbError::io_from_errno(errno);
  fd_ = std::move(fd);
  file_size_ = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  opener_ = ::getpid();
  return ok();
}

WalWriter::WalWriter(WalWriter&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::move(other.fd_)),
      buffer_(std::move(other.buffer_)),
      file_size_(other.file_size_),
      last_begin_(std::exchange(other.last_begin_, kNoRecord)),
      torn_(std::exchange(other.torn_, false)),
      appended_(other.appended_),
      opener_(other.opener_) {
  other.buffer_.clear();
}

WalWriter& WalWriter::operator=(WalWriter&& other) noexcept {
  if (this != &other) {
    WalWriter released(std::move(*this));  // flushed and closed when it goes out of scope
    path_ = std::move(other.path_);
    fd_ = std::move(other.fd_);
    buffer_ = std::move(other.buffer_);
    other.buffer_.clear();
    file_size_ = other.file_size_;
    last_begin_ = std::exchange(other.last_begin_, kNoRecord);
    torn_ = std::exchange(other.torn_, false);
    appended_ = other.appended_;
    opener_ = other.opener_;
  }
  return *this;
}

WalWriter::~WalWriter() {
  // A forked child drops the writer it inherited without touching the opener's file.
  if (!fd_ || buffer_.empty() || ::getpid() != opener_) return;
  // Release: write out what is buffered, ignoring errors, unless the file still ends in a
  // partial record (bytes behind it would be lost to replay anyway).
  if (!repair()) return;
  std::size_t written = 0;
  (void)write_out(written);  // errors are ignored on release
}

template <class Compose>
Result<> WalWriter::append_record(std::uint64_t body_size, const Compose& compose) {
  SORVEL_TRY(check_wal_record_size(body_size));
  SORVEL_TRY(repair());
  last_begin_ = kNoRecord;
  const std::size_t total = kWalLengthBytes + static_cast<std::size_t>(body_size);
  if (!buffer_.empty() && buffer_.size() + total > kBufferSize) {
    std::size_t written = 0;
    SORVEL_TRY(write_out(written));
  }
  if (total >= kBufferSize) {
    // Too large for the buffer, which is empty now: compose it whole and write it directly.
    std::vector<std::uint8_t> record(total);
    compose(record.data());
    const std::uint64_t before = file_size_;
    std::size_t written = 0;
    Result<> r = write_direct(record, written);
    if (!r) {
      if (written > 0) cut_back(before);
      return r;
    }
    last_begin_ = kDirect;
    return ok();
  }
  last_begin_ = buffer_.size();
  buffer_.resize(last_begin_ + total);
  compose(buffer_.data() + last_begin_);
  return ok();
}

Result<> WalWriter::append_add(std::uint64_t id, std::span<const float> vector,
                               std::optional<std::string_view> payload,
                               std::optional<std::span<const std::uint8_t>> sparse) {
  const std::uint64_t body =
      add_body_size(vector.size(), payload ? std::optional(payload->size()) : std::nullopt,
                    sparse ? std::optional(sparse->size()) : std::nullopt);
  return append_record(body, [&](std::uint8_t* dst) {
    Cursor c(dst);
    c.put<std::uint32_t>(static_cast<std::uint32_t>(body));
    compose_add_body(c, id, vector, payload, sparse);
  });
}

Result<> WalWriter::append_delete(std::uint64_t id) {
  return append_record(kDeleteBody, [&](std::uint8_t* dst) {
    Cursor c(dst);
    c.put<std::uint32_t>(static_cast<std::uint32_t>(kDeleteBody));
    c.put<std::uint32_t>(kDeleteVariant);
    c.put<std::uint64_t>(id);
  });
}

Result<> WalWriter::append_entry(const WalEntry& entry) {
  if (entry.kind == WalEntry::Kind::Delete) return append_delete(entry.id);
  return append_add(entry.id, entry.vector, payload_view(entry), sparse_view(entry));
}

Result<> WalWriter::append_adds(std::span<const WalAddRecord> records) {
  std::size_t total = 0;
  for (const WalAddRecord& r : records) {
    const std::uint64_t body = add_body_size(
        r.vector.size(), r.payload ? std::optional(r.payload->size()) : std::nullopt, std::nullopt);
    SORVEL_CHECK(body <= kMaxWalRecordBody, "append_adds: record body beyond the replay limit");
    total += kWalLengthBytes + static_cast<std::size_t>(body);
  }
  last_begin_ = kNoRecord;
  // One resize for the chunk: it either fails before anything changed or holds every record.
  const std::size_t start = buffer_.size();
  buffer_.resize(start + total);
  Cursor c(buffer_.data() + start);
  for (const WalAddRecord& r : records) {
    const std::uint64_t body = add_body_size(
        r.vector.size(), r.payload ? std::optional(r.payload->size()) : std::nullopt, std::nullopt);
    c.put<std::uint32_t>(static_cast<std::uint32_t>(body));
    compose_add_body(c, r.id, r.vector, r.payload, std::nullopt);
  }
  if (buffer_.size() <= kBufferSize) return ok();

  SORVEL_TRY(repair());
  const std::uint64_t before = file_size_;
  const bool preallocated = preallocate(fd_.get(), before, buffer_.size());
  std::size_t written = 0;
  Result<> r = write_fully(fd_.get(), buffer_, written);
  if (!r) {
    // Taken back whole: the bytes stay buffered and the file returns to where it was (the cut
    // also releases blocks allocated beyond the end).
    if (written > 0 || preallocated) cut_back(before);
    return r;
  }
  file_size_ += written;
  buffer_.clear();
  return ok();
}

Result<> WalWriter::write_add(std::uint64_t id, std::span<const float> vector,
                              std::optional<std::string_view> payload,
                              std::optional<std::span<const std::uint8_t>> sparse) {
  SORVEL_TRY(append_add(id, vector, payload, sparse));
  return flush_taking_back();
}

Result<> WalWriter::write_delete(std::uint64_t id) {
  SORVEL_TRY(append_delete(id));
  return flush_taking_back();
}

Result<> WalWriter::flush() {
  SORVEL_TRY(repair());
  last_begin_ = kNoRecord;
  std::size_t written = 0;
  SORVEL_TRY(write_out(written));
  if (buffer_.capacity() > kBufferSize) {
    // A batch grew it: give the memory back rather than keep megabytes per idle collection.
    Buffer fresh;
    fresh.reserve(kBufferSize);
    buffer_.swap(fresh);
  }
  return ok();
}

Result<> WalWriter::flush_taking_back() {
  const std::size_t begin = last_begin_;
  last_begin_ = kNoRecord;
  std::size_t written = 0;
  Result<> r = write_out(written);
  if (r || begin == kNoRecord || begin == kDirect) return r;
  // The record is the tail of the buffer as it was: [begin, old size).
  if (written <= begin) {
    buffer_.resize(begin - written);
  } else {
    const std::uint64_t reached_file = written - begin;
    buffer_.clear();
    cut_back(file_size_ - reached_file);
  }
  return r;
}

Result<> WalWriter::write_out(std::size_t& written) {
  Result<> r = write_fully(fd_.get(), buffer_, written);
  file_size_ += written;
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(written));
  return r;
}

Result<> WalWriter::write_direct(std::span<const std::uint8_t> bytes, std::size_t& written) {
  Result<> r = write_fully(fd_.get(), bytes, written);
  file_size_ += written;
  return r;
}

void WalWriter::cut_back(std::uint64_t size) {
  file_size_ = size;
  torn_ = true;
  (void)repair();  // a failure is retried before the next write
}

Result<> WalWriter::repair() {
  if (!torn_) return ok();
  int rc;
  do {
    rc = ::ftruncate(fd_.get(), static_cast<off_t>(file_size_));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return DbError::io_from_errno(errno);
  torn_ = false;
  return ok();
}

// ---- rewrite ----

std::string wal_temp_path(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = path.find_last_of('.');
  // A leading dot starts a name, not an extension.
  if (dot != std::string::npos && dot > name_start) return path.substr(0, dot) + ".log.tmp";
  return path + ".log.tmp";
}

Result<WalRewriter> WalRewriter::create(std::string path) {
  WalRewriter w;
  w.temp_ = wal_temp_path(path);
  SORVEL_ASSIGN_OR_RETURN(w.fd_, create_anew(w.temp_));
  w.path_ = std::move(path);
  w.buffer_.resize(kBufferSize);
  return w;
}

Result<> WalRewriter::reserve(std::size_t bytes) {
  if (buffer_.size() - used_ >= bytes) return ok();
  std::size_t written = 0;
  SORVEL_TRY(write_fully(fd_.get(), std::span(buffer_.data(), used_), written));
  used_ = 0;
  // A record larger than the whole buffer gets a buffer of its own size, for this record only.
  if (bytes > kBufferSize) buffer_.resize(bytes);
  return ok();
}

Result<> WalRewriter::add(std::uint64_t id, std::span<const float> vector,
                          std::optional<std::string_view> payload,
                          std::optional<std::span<const std::uint8_t>> sparse) {
  const std::uint64_t body =
      add_body_size(vector.size(), payload ? std::optional(payload->size()) : std::nullopt,
                    sparse ? std::optional(sparse->size()) : std::nullopt);
  SORVEL_TRY(check_wal_record_size(body));
  const std::size_t total = kWalLengthBytes + static_cast<std::size_t>(body);
  SORVEL_TRY(reserve(total));
  Cursor c(buffer_.data() + used_);
  c.put<std::uint32_t>(static_cast<std::uint32_t>(body));
  compose_add_body(c, id, vector, payload, sparse);
  used_ += total;
  ++records_;
  if (buffer_.size() > kBufferSize && used_ > 0) {
    std::size_t written = 0;
    SORVEL_TRY(write_fully(fd_.get(), std::span(buffer_.data(), used_), written));
    used_ = 0;
    buffer_.resize(kBufferSize);
    buffer_.shrink_to_fit();
  }
  return ok();
}

Result<> WalRewriter::add_entry(const WalEntry& entry) {
  if (entry.kind == WalEntry::Kind::Add) {
    return add(entry.id, entry.vector, payload_view(entry), sparse_view(entry));
  }
  SORVEL_TRY(reserve(kWalLengthBytes + kDeleteBody));
  Cursor c(buffer_.data() + used_);
  c.put<std::uint32_t>(static_cast<std::uint32_t>(kDeleteBody));
  c.put<std::uint32_t>(kDeleteVariant);
  c.put<std::uint64_t>(entry.id);
  used_ += kWalLengthBytes + kDeleteBody;
  ++records_;
  return ok();
}

Result<> WalRewriter::commit() {
  std::size_t written = 0;
  SORVEL_TRY(write_fully(fd_.get(), std::span(buffer_.data(), used_), written));
  used_ = 0;
  std::vector<std::uint8_t>().swap(buffer_);
  SORVEL_TRY(sync_fd(fd_.get()));
  SORVEL_TRY(fd_.close());
  SORVEL_TRY(rename_path(temp_, path_));
  replaced_ = true;
  return sync_parent_dir(path_);
}

Result<std::uint64_t> rewrite_wal(const std::string& path, std::vector<WalEntry> entries) {
  for (const WalEntry& e : entries) SORVEL_TRY(check_wal_record_size(e.body_size()));
  SORVEL_ASSIGN_OR_RETURN(WalRewriter log, WalRewriter::create(path));
  for (WalEntry& e : entries) {
    SORVEL_TRY(log.add_entry(e));
    e = WalEntry();  // consumed: release its vector while the log is written
  }
  SORVEL_TRY(log.commit());
  return log.records();
}

}  // namespace sorvel
