#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collection/sparse_index.h"
#include "payload/payload.h"
#include "posix_file.h"
#include "result.h"

// The write-ahead log "wal.log": records one after the other, oldest first, with no header, trailer
// or checksum. All numbers little-endian.
//
// Record:           offset 0  u32 L (body bytes)       offset 4  the body
// Add body:         0  u32 variant 0       4  u64 id          12  u64 n
//                   20 n x f32             20+4n  u8 payload tag (0 absent, 1 present)
//                   [u64 p, p bytes of compact payload text]   u8 sparse tag
//                   [u64 s, s bytes of the SparseVector byte form]
//                   L = 20 + 4n + (payload ? 9 + p : 1) + (sparse ? 9 + s : 1)
// Delete body:      0  u32 variant 1       4  u64 id          L = 12, 16 bytes in the file

namespace sorvel {

// The u32 body length before every record.
inline constexpr std::size_t kWalLengthBytes = 4;
// Where an Add body's vector starts: after the u32 variant, the u64 id and the u64 count.
inline constexpr std::size_t kWalAddVectorOffset = 20;

// Replay reads bodies of at most this many bytes and stops at a longer one, so no writer produces
// one.
inline constexpr std::uint64_t kMaxWalRecordBody = 268435456;

// One log record. Owns its vector and byte strings.
struct WalEntry {
  enum class Kind : std::uint32_t { Add = 0, Delete = 1 };

  Kind kind = Kind::Delete;
  std::uint64_t id = 0;
  // Add only.
  std::vector<float> vector;
  std::optional<std::string> payload;               // the compact JSON text
  std::optional<std::vector<std::uint8_t>> sparse;  // the SparseVector byte form

  static WalEntry add(std::uint64_t id, std::vector<float> vector,
                      std::optional<std::string> payload,
                      std::optional<std::vector<std::uint8_t>> sparse);
  static WalEntry delete_of(std::uint64_t id);

  // The body length L (64-bit: no reduction modulo 2^32).
  std::uint64_t body_size() const;
  // The body without its length prefix, allocated at its exact size.
  std::vector<std::uint8_t> encode() const;
  // Decodes one body. Serialization when it is shorter than its fields, or holds a variant index
  // other than 0 and 1 or a tag other than 0 and 1; bytes after the last field are ignored.
  static Result<WalEntry> decode(std::span<const std::uint8_t> body);
};

// The Add record that describes one live vector of a collection: its vector as the index yields
// it, the compact text of its payload when it has one, the byte form of its sparse vector when it
// has one. The pointers are borrowed for the call.
WalEntry live_record(std::uint64_t id, std::vector<float> vector, const Payload* payload,
                     const SparseVector* sparse);

// InvalidConfig for a record body longer than kMaxWalRecordBody: "log record of {} bytes exceeds
// the limit of 268435456 bytes".
Result<> check_wal_record_size(std::uint64_t body_size);

// One Add record of a batch, without a sparse vector. Borrows its vector and payload text.
struct WalAddRecord {
  std::uint64_t id = 0;
  std::span<const float> vector;
  std::optional<std::string_view> payload;  // the compact JSON text
};

// The appending writer of one collection's log: an 8192-byte buffer in front of the file, and the
// record counter `appended` that decides when the log is compacted.
//
// Records are composed whole before any byte of them reaches the buffer or the file, and the
// buffer only ever ends with whole records, so a failure never leaves half a record behind:
//   - an append that fails adds nothing (a record too large for the buffer goes straight to the
//     file, and a write of it cut short is cut back off the file);
//   - write_add and write_delete, the single writes, append and flush; when the flush fails, their
//     record is taken back out of the buffer and, if part of it reached the file, the file is cut
//     back to the end of the record before it. Records appended earlier and still buffered follow
//     the plain flush rule.
// If cutting the file back fails, every later append and flush first retries it and fails while
// it does, so nothing is ever written behind a partial record.
//
// Owned by one collection and used under its writer's exclusive access; no lock of its own.
// Releasing the writer flushes what it still buffers, ignoring errors, and closes the file. In a
// process forked from the one that opened it, releasing only closes the descriptor: the buffered
// bytes are the opener's, and the file is neither written nor cut back.
//
// A writer can give its descriptor back while it is idle (close_descriptor) and take a new one
// before its next append (reopen), keeping its counter: a collection holds a descriptor only
// while it is being written, so a process can keep more collections than it may open files.
class WalWriter {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  // Opens `path` for appending, creating it with 0o666 before the umask; empty buffer, appended 0.
  // Io on failure.
  static Result<WalWriter> open(std::string path);

  WalWriter(WalWriter&& other) noexcept;
  WalWriter& operator=(WalWriter&& other) noexcept;
  WalWriter(const WalWriter&) = delete;
  WalWriter& operator=(const WalWriter&) = delete;
  ~WalWriter();

  // Appends an Add record, without flushing and without counting it. Checks, in order: the body
  // size (InvalidConfig, nothing written), then Io from writing out the buffer to make room or from
  // writing a large record directly.
  Result<> append_add(std::uint64_t id, std::span<const float> vector,
                      std::optional<std::string_view> payload,
                      std::optional<std::span<const std::uint8_t>> sparse);
  // Appends a Delete record (16 bytes), with the same failures.
  Result<> append_delete(std::uint64_t id);
  // Appends an encoded entry's record.
  Result<> append_entry(const WalEntry& entry);

  // Appends the records of one chunk of a batch, in order, without counting them: they are
  // composed into the buffer, which grows beyond kBufferSize to hold them all, and a buffer that
  // then holds more than kBufferSize bytes is written out in large writes (one record at a time
  // through the 8192-byte buffer costs a system call per 8 KiB).
  // Every body must be within kMaxWalRecordBody (the caller checks with check_wal_record_size;
  // InvariantFailure otherwise). Once composed, every record counts as appended, also when the
  // write-out fails with Io (from cutting back an earlier failed write, or from writing): the
  // write-out is then taken back, the file cut back to its size before it, and every byte stays
  // buffered for the next flush, so the file never ends inside one of these records.
  // std::bad_alloc leaves the writer unchanged.
  Result<> append_adds(std::span<const WalAddRecord> records);

  // A single write: append_add then flush; on any failure no byte of this record stays in the
  // buffer or the file. Does not count the record.
  Result<> write_add(std::uint64_t id, std::span<const float> vector,
                     std::optional<std::string_view> payload,
                     std::optional<std::span<const std::uint8_t>> sparse);
  Result<> write_delete(std::uint64_t id);

  // Writes the whole buffer to the file (to the operating system, not to stable storage),
  // retrying interrupted and partial writes. A write that accepts no bytes fails with "failed to
  // write the buffered data". On failure the bytes written leave the buffer and the rest stays for
  // the next flush. Io on failure. A buffer that append_adds grew returns to kBufferSize bytes of
  // capacity once a flush has emptied it.
  Result<> flush();

  // Whether the writer holds a descriptor of its file (every append and flush needs one).
  bool is_open() const { return static_cast<bool>(fd_); }
  // Closes the descriptor when nothing is waiting to be written: the buffer is flushed first, and
  // a writer whose flush fails, whose file still ends in a partial record, or which was opened by
  // another process (a forked child writes nothing) keeps it. True when the writer holds no
  // descriptor afterwards. Nothing else changes.
  bool close_descriptor();
  // Opens the file for appending again after close_descriptor (nothing to do when the writer is
  // open), as open does; Io on failure, the writer unchanged. The process that reopens it becomes
  // its opener.
  Result<> reopen();

  const std::string& path() const { return path_; }
  std::uint64_t appended() const { return appended_; }
  void set_appended(std::uint64_t count) { appended_ = count; }
  void count_record() { ++appended_; }
  // Bytes waiting in the buffer.
  std::size_t buffered() const { return buffer_.size(); }

 private:
  static constexpr std::size_t kNoRecord = static_cast<std::size_t>(-1);
  static constexpr std::size_t kDirect = static_cast<std::size_t>(-2);

  WalWriter() = default;
  template <class Compose>
  Result<> append_record(std::uint64_t body_size, const Compose& compose);
  Result<> flush_taking_back();
  // Writes out the buffer; `written` receives the bytes that reached the file.
  Result<> write_out(std::size_t& written);
  Result<> write_direct(std::span<const std::uint8_t> bytes, std::size_t& written);
  // Cuts the file back to `size`; on failure remembers to retry before the next write.
  void cut_back(std::uint64_t size);
  Result<> repair();

  // Leaves grown bytes uninitialised: every byte of the buffer is composed before it is written,
  // and a batch grows it by megabytes per chunk.
  template <class T>
  struct UninitializedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
      using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
      ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  };
  using Buffer = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;

  std::string path_;
  UniqueFd fd_;
  Buffer buffer_;
  std::uint64_t file_size_ = 0;         // bytes of the file, as written through this writer
  std::size_t last_begin_ = kNoRecord;  // where the last appended record starts in the buffer
  bool torn_ = false;                   // the file ends in a partial record not yet cut back
  std::uint64_t appended_ = 0;
  pid_t opener_ = 0;  // the process that opened the file
};

// Writes a complete log in place of `path`, one record at a time: the records go behind a
// kBufferSize buffer into the path with its extension replaced by "log.tmp" ("wal.log.tmp" beside
// "wal.log"), created anew by create; commit forces it to stable storage, renames it over `path`
// and then forces the directory, so the new log survives a power loss. Nothing of a record is held
// beyond the buffer, so a rewrite of any size needs no more memory than that.
//
// A rewriter that is dropped uncommitted, or whose commit failed before the rename, leaves `path`
// untouched and the temporary file behind (an opening removes it). Single-threaded; owns its file.
class WalRewriter {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

  // Creates the temporary file. Io on failure.
  static Result<WalRewriter> create(std::string path);

  WalRewriter(WalRewriter&&) noexcept = default;
  WalRewriter& operator=(WalRewriter&&) noexcept = default;
  ~WalRewriter() = default;

  // Appends one Add record, byte for byte what WalWriter::append_add writes. InvalidConfig for a
  // body above kMaxWalRecordBody (nothing written), else Io from writing out the buffer.
  Result<> add(std::uint64_t id, std::span<const float> vector,
               std::optional<std::string_view> payload,
               std::optional<std::span<const std::uint8_t>> sparse);
  // Appends an entry's record (Add or Delete), with the same failures.
  Result<> add_entry(const WalEntry& entry);

  // Writes out the buffer, forces and closes the file, renames it over `path` and forces the
  // directory. Io from the first step that fails; replaced() tells whether the rename was done.
  // Called at most once.
  Result<> commit();

  // Whether `path` now names the rewritten file (also when commit failed after the rename).
  bool replaced() const { return replaced_; }
  // Records appended so far.
  std::uint64_t records() const { return records_; }

 private:
  WalRewriter() = default;
  Result<> reserve(std::size_t bytes);

  std::string path_;
  std::string temp_;
  UniqueFd fd_;
  std::vector<std::uint8_t> buffer_;
  std::size_t used_ = 0;
  std::uint64_t records_ = 0;
  bool replaced_ = false;
};

// A whole rewrite with WalRewriter, holding `entries` in their order (the list is consumed; each
// entry is released once written). Returns the number of records written. Checks, in order: every
// body's size (InvalidConfig, nothing created), then the rewriter's Io. On a failure before the
// rename the file at `path` is untouched and the temporary file stays.
Result<std::uint64_t> rewrite_wal(const std::string& path, std::vector<WalEntry> entries);

// The temporary path rewrite_wal writes through: `path` with its extension replaced by "log.tmp".
std::string wal_temp_path(const std::string& path);

}  // namespace sorvel
