#include "db_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "result.h"

namespace sorvel {
namespace {

struct ErrorCase {
  DbError error;
  ErrorKind kind;
  std::string display;
  std::string debug;
};

std::vector<ErrorCase> all_kinds() {
  return {
      {DbError::dimension_mismatch(3, 4), ErrorKind::DimensionMismatch,
       "dimension mismatch: expected 3, got 4", "DimensionMismatch { expected: 3, got: 4 }"},
      {DbError::duplicate_id(18446744073709551615ULL), ErrorKind::DuplicateId,
       "duplicate vector ID: 18446744073709551615", "DuplicateId(18446744073709551615)"},
      {DbError::not_found(7), ErrorKind::NotFound, "vector ID not found: 7", "NotFound(7)"},
      {DbError::empty_index(), ErrorKind::EmptyIndex, "index is empty", "EmptyIndex"},
      {DbError::invalid_config("m must be > 0"), ErrorKind::InvalidConfig,
       "invalid configuration: m must be > 0", "InvalidConfig(\"m must be > 0\")"},
      {DbError::serialization("io error: unexpected end of file"), ErrorKind::Serialization,
       "serialization error: io error: unexpected end of file",
       "Serialization(\"io error: unexpected end of file\")"},
      {DbError::io_from_errno(ENOENT), ErrorKind::Io,
       "I/O error: No such file or directory (os error 2)",
       "Io(Os { code: 2, message: \"No such file or directory\" })"},
      {DbError::collection_already_exists("docs"), ErrorKind::CollectionAlreadyExists,
       "collection already exists: docs", "CollectionAlreadyExists(\"docs\")"},
      {DbError::collection_not_found("docs"), ErrorKind::CollectionNotFound,
       "collection not found: docs", "CollectionNotFound(\"docs\")"},
      {DbError::wal_corruption(5, "bad \"crc\""), ErrorKind::WalCorruption,
       "WAL corruption at entry 5: bad \"crc\"",
       "WalCorruption { entry: 5, reason: \"bad \\\"crc\\\"\" }"},
      {DbError::embedding_error("model missing"), ErrorKind::EmbeddingError,
       "embedding error: model missing", "EmbeddingError(\"model missing\")"},
      {DbError::no_embedder("docs"), ErrorKind::NoEmbedder,
       "no embedder configured for collection 'docs'", "NoEmbedder(\"docs\")"},
      {DbError::snapshot_already_exists("s1"), ErrorKind::SnapshotAlreadyExists,
       "snapshot already exists: s1", "SnapshotAlreadyExists(\"s1\")"},
      {DbError::snapshot_not_found("s1"), ErrorKind::SnapshotNotFound, "snapshot not found: s1",
       "SnapshotNotFound(\"s1\")"},
  };
}

TEST(DbErrorTest, EveryKindDisplaysAndDebugsInItsFixedForm) {
  const std::vector<ErrorCase> cases = all_kinds();
  ASSERT_EQ(cases.size(), kErrorKindCount);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const ErrorCase& c = cases[i];
    SCOPED_TRACE(c.display);
    EXPECT_EQ(c.error.kind(), c.kind);
    // The variant number is the position in the fixed order.
    EXPECT_EQ(static_cast<std::size_t>(c.error.kind()), i);
    EXPECT_EQ(error_kind_name(c.kind), c.debug.substr(0, error_kind_name(c.kind).size()));
    EXPECT_EQ(c.error.display(), c.display);
    EXPECT_EQ(c.error.debug(), c.debug);
  }
}

TEST(DbErrorTest, FieldsAreReadBack) {
  const DbError mismatch = DbError::dimension_mismatch(128, 3);
  EXPECT_EQ(mismatch.expected(), 128u);
  EXPECT_EQ(mismatch.got(), 3u);
  EXPECT_EQ(DbError::duplicate_id(9).id(), 9u);
  const DbError wal = DbError::wal_corruption(12, "torn record");
  EXPECT_EQ(wal.entry(), 12u);
  EXPECT_EQ(wal.text(), "torn record");
  EXPECT_EQ(DbError::io_from_errno(EACCES).io_error().os_code(), EACCES);
}

TEST(DbErrorTest, IoErrorForms) {
  EXPECT_EQ(IoError::from_errno(ENOENT).display(), "No such file or directory (os error 2)");
  EXPECT_EQ(IoError::from_errno(ENOSPC).display(), "No space left on device (os error 28)");
  const IoError own = IoError::with_message("failed to fill whole buffer");
  EXPECT_EQ(own.os_code(), 0);
  EXPECT_EQ(own.display(), "failed to fill whole buffer");
  EXPECT_EQ(DbError::io(own).display(), "I/O error: failed to fill whole buffer");
  EXPECT_EQ(DbError::io(own).debug(), "Io(Message(\"failed to fill whole buffer\"))");
  // An errno value without a system description still shows its number.
  EXPECT_EQ(IoError::from_errno(100000).display(), "Unknown error 100000 (os error 100000)");
}

TEST(DbErrorTest, DebugQuoteEscapes) {
  const struct {
    std::string text;
    std::string quoted;
  } cases[] = {
      {"", "\"\""},
      {"plain", "\"plain\""},
      {"a\"b", "\"a\\\"b\""},
      {"back\\slash", "\"back\\\\slash\""},
      {"line\nnext\ttab\r", "\"line\\nnext\\ttab\\r\""},
      {std::string("nul\0x", 5), "\"nul\\0x\""},
      {"\x01\x1f\x7f", "\"\\u{1}\\u{1f}\\u{7f}\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      // U+0080, U+0085 and U+009F are control characters; U+00A0 and U+0100 (C4 80) are not.
      {"\xc2\x80|\xc2\x85|\xc2\x9f|\xc2\xa0|\xc4\x80",
       "\"\\u{80}|\\u{85}|\\u{9f}|\xc2\xa0|\xc4\x80\""},
      // Bytes that are not UTF-8 are copied, a lone C2 at the end included.
      {"\x85\xff\xc2", "\"\x85\xff\xc2\""},
  };
  for (const auto& c : cases) EXPECT_EQ(debug_quote(c.text), c.quoted) << c.quoted;
}

Result<int> parse_positive(int x) {
  if (x <= 0) return DbError::invalid_config("not positive");
  return x;
}

Result<int> doubled(int x) {
  SORVEL_ASSIGN_OR_RETURN(const int v, parse_positive(x));
  return 2 * v;
}

Result<> check_positive(int x) {
  SORVEL_TRY(parse_positive(x));
  return ok();
}

TEST(ResultTest, ErrorsPropagateThroughTheMacros) {
  ASSERT_TRUE(doubled(4).has_value());
  EXPECT_EQ(*doubled(4), 8);
  const Result<int> failed = doubled(-1);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().display(), "invalid configuration: not positive");
  EXPECT_TRUE(check_positive(1).has_value());
  EXPECT_EQ(check_positive(0).error().kind(), ErrorKind::InvalidConfig);
}

}  // namespace
}  // namespace sorvel
