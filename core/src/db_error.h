#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sorvel {

// An I/O failure: either an operating-system error (an errno value) or a failure with a message of
// its own ("failed to fill whole buffer", "unexpected end of file").
class IoError {
 public:
  static IoError from_errno(int os_code);
  static IoError with_message(std::string message);

  // 0 for a failure with a message of its own.
  int os_code() const { return os_code_; }

  // "No such file or directory (os error 2)", or the message of its own.
  std::string display() const;
  // Os { code: 2, message: "No such file or directory" }, or Message("...").
  std::string debug() const;

 private:
  int os_code_ = 0;
  std::string message_;
};

// The kinds of DbError, in their fixed order (the order is the variant number).
enum class ErrorKind : std::uint8_t {
  DimensionMismatch,
  DuplicateId,
  NotFound,
  EmptyIndex,
  InvalidConfig,
  Serialization,
  Io,
  CollectionAlreadyExists,
  CollectionNotFound,
  WalCorruption,
  EmbeddingError,
  NoEmbedder,
  SnapshotAlreadyExists,
  SnapshotNotFound,
};
inline constexpr std::size_t kErrorKindCount = 14;

// The name of a kind as the debug form prints it ("DimensionMismatch").
std::string_view error_kind_name(ErrorKind kind);

// The one error type of the core library and the collection store. A value: cheap to move, compared by
// its display text in tests.
class DbError {
 public:
  static DbError dimension_mismatch(std::uint64_t expected, std::uint64_t got);
  static DbError duplicate_id(std::uint64_t id);
  static DbError not_found(std::uint64_t id);
  static DbError empty_index();
  static DbError invalid_config(std::string text);
  static DbError serialization(std::string text);
  static DbError io(IoError error);
  static DbError io_from_errno(int os_code);
  static DbError collection_already_exists(std::string name);
  static DbError collection_not_found(std::string name);
  static DbError wal_corruption(std::uint64_t entry, std::string reason);
  static DbError embedding_error(std::string text);
  static DbError no_embedder(std::string collection);
  static DbError snapshot_already_exists(std::string name);
  static DbError snapshot_not_found(std::string name);

  ErrorKind kind() const { return kind_; }
  // DimensionMismatch: the index's dimensions and the offending length.
  std::uint64_t expected() const { return a_; }
  std::uint64_t got() const { return b_; }
  // DuplicateId, NotFound: the vector id. WalCorruption: the entry number.
  std::uint64_t id() const { return a_; }
  std::uint64_t entry() const { return a_; }
  // The text field of the text-carrying kinds (WalCorruption: the reason).
  const std::string& text() const { return text_; }
  // Io only.
  const IoError& io_error() const { return io_; }

  // The user-facing message, e.g. "dimension mismatch: expected 3, got 4".
  std::string display() const;
  // The structural form, e.g. DimensionMismatch { expected: 3, got: 4 } or InvalidConfig("x").
  std::string debug() const;

 private:
  DbError(ErrorKind kind) : kind_(kind) {}

  ErrorKind kind_;
  std::uint64_t a_ = 0;
  std::uint64_t b_ = 0;
  std::string text_;
  IoError io_;
};

// A text in double quotes with backslash escapes, as debug forms print texts: "a\"b\n". The quote
// and the backslash get a backslash; \n \r \t \0 stand for themselves; every other control
// character, U+0080 to U+009F (UTF-8 C2 80 to C2 9F) included, becomes \u{hex}. All other bytes
// are copied, so a text that is not valid UTF-8 keeps its bytes.
std::string debug_quote(std::string_view text);

}  // namespace sorvel
