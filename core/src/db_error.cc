#include "db_error.h"

#include <array>
#include <cstring>
#include "str_cat.h"

namespace sorvel {

namespace {

constexpr std::array<std::string_view, kErrorKindCount> kKindNames = {
    "DimensionMismatch",
    "DuplicateId",
    "NotFound",
    "EmptyIndex",
    "InvalidConfig",
    "Serialization",
    "Io",
    "CollectionAlreadyExists",
    "CollectionNotFound",
    "WalCorruption",
    "EmbeddingError",
    "NoEmbedder",
    "SnapshotAlreadyExists",
    "SnapshotNotFound",
};
static_assert(static_cast<std::size_t>(ErrorKind::SnapshotNotFound) + 1 == kErrorKindCount);

// The system's description of an errno value, independent of the locale.
std::string errno_description(int os_code) {
  if (const char* text = strerrordesc_np(os_code)) return text;
  return str_cat("Unknown error ", os_code);
}

}  // namespace

IoError IoError::from_errno(int os_code) {
  IoError e;
  e.os_code_ = os_code;
  return e;
}

IoError IoError::with_message(std::string message) {
  IoError e;
  e.message_ = std::move(message);
  return e;
}

std::string IoError::display() const {
  if (os_code_ != 0) return str_cat(errno_description(os_code_), " (os error ", os_code_, ")");
  return message_;
}

std::string IoError::debug() const {
  if (os_code_ != 0) {
    return str_cat("Os { code: ", os_code_, ", message: ", debug_quote(errno_description(os_code_)),
                   " }");
  }
  return str_cat("Message(", debug_quote(message_), ")");
}

std::string_view error_kind_name(ErrorKind kind) {
  return kKindNames[static_cast<std::size_t>(kind)];
}

DbError DbError::dimension_mismatch(std::uint64_t expected, std::uint64_t got) {
  DbError e(ErrorKind::DimensionMismatch);
  e.a_ = expected;
  e.b_ = got;
  return e;
}

DbError DbError::duplicate_id(std::uint64_t id) {
  DbError e(ErrorKind::DuplicateId);
  e.a_ = id;
  return e;
}

DbError DbError::not_found(std::uint64_t id) {
  DbError e(ErrorKind::NotFound);
  e.a_ = id;
  return e;
}

DbError DbError::empty_index() { return DbError(ErrorKind::EmptyIndex); }

#define SORVEL_TEXT_FACTORY(factory, kind) \
  DbError DbError::factory(std::string text) { \
    DbError e(ErrorKind::kind);                \
    e.text_ = std::move(text);                 \
    return e;                                  \
  }
SORVEL_TEXT_FACTORY(invalid_config, InvalidConfig)
SORVEL_TEXT_FACTORY(serialization, Serialization)
SORVEL_TEXT_FACTORY(collection_already_exists, CollectionAlreadyExists)
SORVEL_TEXT_FACTORY(collection_not_found, CollectionNotFound)
SORVEL_TEXT_FACTORY(embedding_error, EmbeddingError)
SORVEL_TEXT_FACTORY(no_embedder, NoEmbedder)
SORVEL_TEXT_FACTORY(snapshot_already_exists, SnapshotAlreadyExists)
SORVEL_TEXT_FACTORY(snapshot_not_found, SnapshotNotFound)
#undef SORVEL_TEXT_FACTORY

DbError DbError::io(IoError error) {
  DbError e(ErrorKind::Io);
  e.io_ = std::move(error);
  return e;
}

DbError DbError::io_from_errno(int os_code) { return io(IoError::from_errno(os_code)); }

DbError DbError::wal_corruption(std::uint64_t entry, std::string reason) {
  DbError e(ErrorKind::WalCorruption);
  e.a_ = entry;
  e.text_ = std::move(reason);
  return e;
}

std::string DbError::display() const {
  switch (kind_) {
    case ErrorKind::DimensionMismatch:
      return str_cat("dimension mismatch: expected ", a_, ", got ", b_);
    case ErrorKind::DuplicateId:
      return str_cat("duplicate vector ID: ", a_);
    case ErrorKind::NotFound:
      return str_cat("vector ID not found: ", a_);
    case ErrorKind::EmptyIndex:
      return "index is empty";
    case ErrorKind::InvalidConfig:
      return "invalid configuration: " + text_;
    case ErrorKind::Serialization:
      return "serialization error: " + text_;
    case ErrorKind::Io:
      return "I/O error: " + io_.display();
    case ErrorKind::CollectionAlreadyExists:
      return "collection already exists: " + text_;
    case ErrorKind::CollectionNotFound:
      return "collection not found: " + text_;
    case ErrorKind::WalCorruption:
      return str_cat("WAL corruption at entry ", a_, ": ", text_);
    case ErrorKind::EmbeddingError:
      return "embedding error: " + text_;
    case ErrorKind::NoEmbedder:
      return str_cat("no embedder configured for collection '", text_, "'");
    case ErrorKind::SnapshotAlreadyExists:
      return "snapshot already exists: " + text_;
    case ErrorKind::SnapshotNotFound:
      return "snapshot not found: " + text_;
  }
  return {};
}

std::string DbError::debug() const {
  const std::string_view name = error_kind_name(kind_);
  switch (kind_) {
    case ErrorKind::DimensionMismatch:
      return str_cat(name, " { expected: ", a_, ", got: ", b_, " }");
    case ErrorKind::DuplicateId:
    case ErrorKind::NotFound:
      return str_cat(name, "(", a_, ")");
    case ErrorKind::EmptyIndex:
      return std::string(name);
    case ErrorKind::Io:
      return str_cat(name, "(", io_.debug(), ")");
    case ErrorKind::WalCorruption:
      return str_cat(name, " { entry: ", a_, ", reason: ", debug_quote(text_), " }");
    default:
      return str_cat(name, "(", debug_quote(text_), ")");
  }
}

std::string debug_quote(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    // U+0080 to U+009F (UTF-8 C2 80 to C2 9F) are control characters too. Other bytes at or above
    // 0x80, valid UTF-8 or not, pass through unchanged.
    if (byte == 0xc2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9f) {
        out += "\\u{";
        out.push_back(kHex[next >> 4]);
        out.push_back(kHex[next & 0xf]);
        out.push_back('}');
        ++i;
        continue;
      }
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          out += "\\u{";
          if (byte >= 0x10) out.push_back(kHex[byte >> 4]);
          out.push_back(kHex[byte & 0xf]);
          out.push_back('}');
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace sorvel
