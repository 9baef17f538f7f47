#include "collection/wal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "encoding.h"
#include "posix_file.h"
#include "testing/file_size_limit.h"
#include "testing/temp_dir.h"

namespace sorvel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hex(const char* text) {
  Bytes out;
  for (const char* p = text; *p;) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return out;
}

Bytes file_bytes(const std::string& path) {
  auto bytes = read_whole_file(path);
  EXPECT_TRUE(bytes.has_value());
  return bytes.has_value() ? *bytes : Bytes{};
}

Bytes framed(const WalEntry& e) {
  const Bytes body = e.encode();
  Bytes out(4 + body.size());
  const auto length = static_cast<std::uint32_t>(body.size());
  std::memcpy(out.data(), &length, 4);
  if (!body.empty()) std::memcpy(out.data() + 4, body.data(), body.size());
  return out;
}

// The record bodies of a log image; fails the test on a torn or oversized record.
std::vector<WalEntry> records_of(const Bytes& log) {
  std::vector<WalEntry> out;
  std::size_t at = 0;
  while (at < log.size()) {
    std::uint32_t length = 0;
    EXPECT_LE(at + 4, log.size()) << "torn length at " << at;
    if (at + 4 > log.size()) break;
    std::memcpy(&length, log.data() + at, 4);
    EXPECT_LE(at + 4 + length, log.size()) << "torn body at " << at;
    if (at + 4 + length > log.size()) break;
    auto e = WalEntry::decode(std::span(log).subspan(at + 4, length));
    EXPECT_TRUE(e.has_value()) << "undecodable record at " << at;
    if (e.has_value()) out.push_back(std::move(*e));
    at += 4 + length;
  }
  return out;
}

const Bytes kDelete7 = hex("0c000000 01000000 0700000000000000");
const Bytes kAdd1 =
    hex("1e000000 00000000 0100000000000000 0200000000000000 0000803f 00000040 00 00");

TEST(WalEntryTest, WorkedRecords) {
  EXPECT_EQ(framed(WalEntry::delete_of(7)), kDelete7);
  EXPECT_EQ(framed(WalEntry::add(1, {1.0f, 2.0f}, std::nullopt, std::nullopt)), kAdd1);

  const Bytes with_payload = framed(WalEntry::add(1, {1.0f, 2.0f}, "{\"a\":1}", std::nullopt));
  EXPECT_EQ(with_payload, hex("2d000000 00000000 0100000000000000 0200000000000000 0000803f "
                              "00000040 01 0700000000000000 7b2261223a317d 00"));
  // An empty vector without payload and sparse vector: L = 22.
  EXPECT_EQ(framed(WalEntry::add(5, {}, std::nullopt, std::nullopt)).size(), 26u);
  EXPECT_EQ(WalEntry::add(5, {}, std::nullopt, std::nullopt).body_size(), 22u);
  // A null payload is present, as the four bytes of "null".
  const WalEntry null_payload =
      live_record(3, {}, &static_cast<const Payload&>(Payload()), nullptr);
  ASSERT_TRUE(null_payload.payload.has_value());
  EXPECT_EQ(*null_payload.payload, "null");
  EXPECT_EQ(null_payload.body_size(), 20u + 9 + 4 + 1);
}

TEST(WalEntryTest, LiveRecordCarriesPayloadTextAndSparseBytes) {
  const Payload payload =
      Payload::object({{"b", Payload::floating(1.0)}, {"a", Payload::unsigned_integer(1)}});
  const SparseVector sparse{{2}, {0.25f}};
  const WalEntry e = live_record(11, {0.5f}, &payload, &sparse);
  EXPECT_EQ(e.kind, WalEntry::Kind::Add);
  EXPECT_EQ(e.payload, std::optional<std::string>("{\"a\":1,\"b\":1.0}"));
  EXPECT_EQ(e.sparse, std::optional<Bytes>(sparse.encode()));
  const WalEntry bare = live_record(11, {0.5f}, nullptr, nullptr);
  EXPECT_FALSE(bare.payload.has_value());
  EXPECT_FALSE(bare.sparse.has_value());
}

TEST(WalEntryTest, DecodeRoundTripAndInvalidBodies) {
  const WalEntry full = WalEntry::add(42, {-0.0f, 3.5f}, "[1]", Bytes{1, 2, 3});
  auto back = WalEntry::decode(full.encode());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->id, 42u);
  EXPECT_EQ(std::memcmp(back->vector.data(), full.vector.data(), 8), 0);
  EXPECT_EQ(back->payload, full.payload);
  EXPECT_EQ(back->sparse, full.sparse);

  Bytes trailing = WalEntry::delete_of(9).encode();
  trailing.push_back(0xEE);
  ASSERT_TRUE(WalEntry::decode(trailing).has_value());

  const std::pair<const char*, Bytes> invalid[] = {
      {"empty", {}},
      {"three bytes", hex("000000")},
      {"variant 2", hex("02000000 0700000000000000")},
      {"short id", hex("01000000 070000")},
      {"vector past the body", hex("00000000 0100000000000000 0500000000000000 0000803f")},
      {"payload tag 2", hex("00000000 0100000000000000 0000000000000000 02 00")},
      {"payload past the body", hex("00000000 0100000000000000 0000000000000000 01 "
                                    "0900000000000000 7b7d")},
      {"missing sparse tag", hex("00000000 0100000000000000 0000000000000000 00")},
  };
  for (const auto& [what, body] : invalid) {
    SCOPED_TRACE(what);
    auto r = WalEntry::decode(body);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
  }
}

TEST(WalWriterTest, BuffersAppendsAndFlushesInOrder) {
  testing::TempDir dir;
  const std::string path = dir.file("wal.log");
  {
    auto w = WalWriter::open(path);
    ASSERT_TRUE(w.has_value());
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(w->appended(), 0u);
    ASSERT_TRUE(w->append_delete(7).has_value());
    ASSERT_TRUE(
        w->append_add(1, std::vector<float>{1.0f, 2.0f}, std::nullopt, std::nullopt).has_value());
    EXPECT_TRUE(file_bytes(path).empty());  // still buffered
    ASSERT_TRUE(w->flush().has_value());
    Bytes expected = kDelete7;
    expected.insert(expected.end(), kAdd1.begin(), kAdd1.end());
    EXPECT_EQ(file_bytes(path), expected);

    // A record too large for the buffer goes out after what is buffered, in order.
    ASSERT_TRUE(w->append_delete(8).has_value());
    const std::vector<float> big(3000, 1.5f);
    ASSERT_TRUE(w->append_add(2, big, std::nullopt, std::nullopt).has_value());
    EXPECT_EQ(w->buffered(), 0u);
    ASSERT_TRUE(w->append_delete(9).has_value());
  }  // release writes out the last delete
  const std::vector<WalEntry> records = records_of(file_bytes(path));
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[2].id, 8u);
  EXPECT_EQ(records[3].vector.size(), 3000u);
  EXPECT_EQ(records[4].id, 9u);

  // Reopening appends at the end; the counter starts from 0 again.
  auto again = WalWriter::open(path);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->appended(), 0u);
  ASSERT_TRUE(again->write_delete(10).has_value());
  again->count_record();
  EXPECT_EQ(again->appended(), 1u);
  EXPECT_EQ(records_of(file_bytes(path)).size(), 6u);
}

TEST(WalWriterTest, OpenFailureIsIo) {
  auto w = WalWriter::open("/nonexistent-dir/wal.log");
  ASSERT_FALSE(w.has_value());
  EXPECT_EQ(w.error().kind(), ErrorKind::Io);
}

TEST(WalWriterTest, RecordBeyondTheReplayLimitIsRefusedBeforeWriting) {
  EXPECT_TRUE(check_wal_record_size(kMaxWalRecordBody).has_value());
  auto refused = check_wal_record_size(kMaxWalRecordBody + 1);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().display(),
            "invalid configuration: log record of 268435457 bytes exceeds the limit of 268435456 "
            "bytes");

  testing::TempDir dir;
  const std::string path = dir.file("wal.log");
  auto w = WalWriter::open(path);
  ASSERT_TRUE(w.has_value());
  // A payload that makes the body one byte too long; its pages are never touched.
  const std::size_t text_size = kMaxWalRecordBody + 1 - (20 + 9 + 1);
  void* text =
      ::mmap(nullptr, text_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(text, MAP_FAILED);
  auto r = w->write_add(1, {}, std::string_view(static_cast<const char*>(text), text_size),
                        std::nullopt);
  ::munmap(text, text_size);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidConfig);
  EXPECT_EQ(w->buffered(), 0u);
  EXPECT_TRUE(file_bytes(path).empty());
}

TEST(WalWriterTest, FailedSingleWriteLeavesNoTraceWhenTheFileTakesNoByte) {
  testing::TempDir tmp;
  auto w = WalWriter::open(tmp.file("wal.log"));
  ASSERT_TRUE(w.has_value());
  testing::FileSizeLimit limit(0);
  auto add = w->write_add(1, std::vector<float>{1.0f}, "{}", std::nullopt);
  ASSERT_FALSE(add.has_value());
  EXPECT_EQ(add.error().kind(), ErrorKind::Io);
  EXPECT_EQ(w->buffered(), 0u);
  EXPECT_FALSE(w->write_delete(2).has_value());
  EXPECT_EQ(w->buffered(), 0u);

  // A batch's records stay buffered after a failed final flush, for the next flush.
  ASSERT_TRUE(w->append_delete(3).has_value());
  ASSERT_TRUE(w->append_delete(4).has_value());
  EXPECT_FALSE(w->flush().has_value());
  EXPECT_EQ(w->buffered(), 32u);

  // A record too large for the buffer fails as a whole.
  const std::vector<float> big(4096, 1.0f);
  EXPECT_FALSE(w->append_add(5, big, std::nullopt, std::nullopt).has_value());
}

TEST(WalWriterTest, FailedSingleWriteIsCutBackOffTheFile) {
  testing::TempDir dir;
  const std::string path = dir.file("wal.log");
  auto w = WalWriter::open(path);
  ASSERT_TRUE(w.has_value());
  ASSERT_TRUE(w->write_delete(1).has_value());
  ASSERT_EQ(file_bytes(path).size(), 16u);
  const std::vector<float> big(5000, 2.0f);
  {
    // Room for 10 more bytes: each record below starts to reach the file and is cut short.
    testing::FileSizeLimit limit(16 + 10);
    EXPECT_FALSE(
        w->write_add(2, std::vector<float>{1.0f, 2.0f}, std::nullopt, std::nullopt).has_value());
    EXPECT_EQ(w->buffered(), 0u);
    EXPECT_FALSE(w->write_add(3, big, std::nullopt, std::nullopt).has_value());
    EXPECT_FALSE(w->append_add(4, big, "{}", std::nullopt).has_value());
    EXPECT_EQ(file_bytes(path).size(), 16u);
  }
  ASSERT_TRUE(w->write_delete(5).has_value());
  const std::vector<WalEntry> records = records_of(file_bytes(path));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].id, 1u);
  EXPECT_EQ(records[1].id, 5u);
}

TEST(WalWriterTest, FailedSingleWriteKeepsEarlierBufferedRecords) {
  testing::TempDir dir;
  const std::string path = dir.file("wal.log");
  auto w = WalWriter::open(path);
  ASSERT_TRUE(w.has_value());
  ASSERT_TRUE(w->append_delete(1).has_value());  // a batch record whose flush is still due
  {
    testing::FileSizeLimit limit(20);  // the batch record fits, part of the next one does not
    EXPECT_FALSE(w->write_delete(2).has_value());
  }
  ASSERT_TRUE(w->flush().has_value());
  const std::vector<WalEntry> records = records_of(file_bytes(path));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].id, 1u);
}

TEST(WalWriterTest, ReleaseInAForkedChildWritesNothing) {
  testing::TempDir dir;
  const std::string path = dir.file("wal.log");
  auto w = WalWriter::open(path);
  ASSERT_TRUE(w.has_value());
  ASSERT_TRUE(w->append_delete(1).has_value());  // buffered: the opener's to write
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    { WalWriter released(std::move(*w)); }
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(file_bytes(path).empty());
  ASSERT_TRUE(w->flush().has_value());
  const std::vector<WalEntry> records = records_of(file_bytes(path));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].id, 1u);
}

// A chunk of a batch: `count` records of `dims` components, every third without a payload.
struct Chunk {
  std::vector<std::vector<float>> vectors;
  std::vector<std::string> texts;
  std::vector<WalAddRecord> records;

  Chunk(std::uint64_t first_id, std::size_t count, std::size_t dims) {
    vectors.reserve(count);
    texts.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      vectors.emplace_back(dims, 0.25f * static_cast<float>(first_id + i));
      texts.push_back("{\"i\":" + std::to_string(first_id + i) + "}");
    }
    for (std::size_t i = 0; i < count; ++i) {
      std::optional<std::string_view> text;
      if (i % 3 != 0) text = texts[i];
      records.push_back({first_id + i, vectors[i], text});
    }
  }
};

TEST(WalWriterTest, BatchAppendWritesTheBytesOfSingleAppends) {
  struct Case {
    const char* what;
    std::size_t count, dims;
    bool reaches_file;  // before the flush
  };
  const Case cases[] = {
      {"empty chunk", 0, 4, false},
      {"fits the buffer", 20, 4, false},
      {"empty vectors", 50, 0, false},
      {"beyond the buffer", 600, 4, true},
      {"records larger than the buffer", 3, 3000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir dir;
    const Chunk first(1, c.count, c.dims);
    const Chunk second(1000, 7, c.dims);
    {
      auto single = WalWriter::open(dir.file("single.log"));
      ASSERT_TRUE(single.has_value());
      ASSERT_TRUE(single->append_delete(99).has_value());
      for (const Chunk* chunk : {&first, &second}) {
        for (const WalAddRecord& r : chunk->records) {
          ASSERT_TRUE(single->append_add(r.id, r.vector, r.payload, std::nullopt).has_value());
        }
      }
      ASSERT_TRUE(single->flush().has_value());
    }
    const std::string path = dir.file("wal.log");
    auto w = WalWriter::open(path);
    ASSERT_TRUE(w.has_value());
    ASSERT_TRUE(w->append_delete(99).has_value());  // buffered ahead of the chunk
    ASSERT_TRUE(w->append_adds(first.records).has_value());
    if (c.reaches_file) {
      EXPECT_EQ(w->buffered(), 0u);
      EXPECT_EQ(records_of(file_bytes(path)).size(), 1 + c.count);
    } else {
      EXPECT_TRUE(file_bytes(path).empty());
    }
    EXPECT_EQ(w->appended(), 0u);  // the caller counts
    ASSERT_TRUE(w->append_adds(second.records).has_value());
    ASSERT_TRUE(w->flush().has_value());
    EXPECT_EQ(file_bytes(path), file_bytes(dir.file("single.log")));
  }
}

TEST(WalWriterTest, FailedBatchWriteOutIsTakenBackWhole) {
  // Room for no byte more, or for part of the chunk: either way the file keeps its old end and
  // the chunk stays buffered whole, for the next flush.
  for (const std::uint64_t slack : {0, 5000}) {
    SCOPED_TRACE(slack);
    testing::TempDir dir;
    const std::string path = dir.file("wal.log");
    auto w = WalWriter::open(path);
    ASSERT_TRUE(w.has_value());
    ASSERT_TRUE(w->write_delete(1).has_value());
    const Chunk chunk(10, 600, 4);
    {
      testing::FileSizeLimit limit(16 + slack);
      auto r = w->append_adds(chunk.records);
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind(), ErrorKind::Io);
      EXPECT_EQ(file_bytes(path).size(), 16u);
      EXPECT_GT(w->buffered(), WalWriter::kBufferSize);
      EXPECT_FALSE(w->flush().has_value());
    }
    // The failed flush wrote part of the chunk and kept the rest; this one completes it.
    ASSERT_TRUE(w->flush().has_value());
    EXPECT_EQ(w->buffered(), 0u);
    ASSERT_TRUE(w->write_delete(2).has_value());
    const std::vector<WalEntry> records = records_of(file_bytes(path));
    ASSERT_EQ(records.size(), 2 + chunk.records.size());
    EXPECT_EQ(records.front().id, 1u);
    for (std::size_t i = 0; i < chunk.records.size(); ++i) {
      EXPECT_EQ(records[1 + i].id, chunk.records[i].id);
      EXPECT_EQ(records[1 + i].payload.has_value(), chunk.records[i].payload.has_value());
    }
    EXPECT_EQ(records.back().id, 2u);
  }
}

TEST(RewriteWalTest, WritesTheSameBytesAsAppending) {
  testing::TempDir dir;
  const std::string appended = dir.file("appended.log");
  const std::string rewritten = dir.file("wal.log");
  std::vector<WalEntry> entries;
  entries.push_back(WalEntry::add(1, {1.0f, 2.0f}, std::nullopt, std::nullopt));
  entries.push_back(WalEntry::add(2, std::vector<float>(3000, 0.5f), "{\"k\":[1]}",
                                  SparseVector{{1}, {1.0f}}.encode()));
  entries.push_back(WalEntry::delete_of(7));
  // Past the rewriter's buffer: one record larger than all of it, and many that fill it.
  entries.push_back(WalEntry::add(3, std::vector<float>(WalRewriter::kBufferSize / 4 + 1, 0.25f),
                                  std::nullopt, std::nullopt));
  for (std::uint64_t id = 10; id < 3010; ++id) {
    entries.push_back(WalEntry::add(id, std::vector<float>(100, 1.0f * id), "{}", std::nullopt));
  }
  const std::size_t n = entries.size();
  {
    auto w = WalWriter::open(appended);
    ASSERT_TRUE(w.has_value());
    for (const WalEntry& e : entries) ASSERT_TRUE(w->append_entry(e).has_value());
    ASSERT_TRUE(w->flush().has_value());
  }
  ASSERT_TRUE(replace_file(rewritten, hex("ff")).has_value());  // an older log to replace
  ASSERT_TRUE(replace_file(dir.file("wal.log.tmp"), hex("ee")).has_value());  // a leftover
  auto count = rewrite_wal(rewritten, std::move(entries));
  ASSERT_TRUE(count.has_value()) << count.error().display();
  EXPECT_EQ(*count, n);
  EXPECT_EQ(file_bytes(rewritten), file_bytes(appended));
  EXPECT_FALSE(std::filesystem::exists(dir.file("wal.log.tmp")));
}

TEST(RewriteWalTest, EmptyListLeavesAnEmptyLog) {
  testing::TempDir dir;
  const std::string path = dir.file("wal.log");
  ASSERT_TRUE(replace_file(path, kDelete7).has_value());
  auto count = rewrite_wal(path, {});
  ASSERT_TRUE(count.has_value());
  EXPECT_EQ(*count, 0u);
  EXPECT_TRUE(file_bytes(path).empty());
}

TEST(RewriteWalTest, FailureLeavesTheLogUntouched) {
  testing::TempDir dir;
  // The temporary file cannot be created inside a missing directory.
  auto missing = rewrite_wal(dir.file("gone/wal.log"), {});
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);

  // The rename cannot replace a directory that holds something.
  const std::string path = dir.file("wal.log");
  std::filesystem::create_directories(path + "/occupied");
  std::vector<WalEntry> entries;
  entries.push_back(WalEntry::delete_of(7));
  auto blocked = rewrite_wal(path, std::move(entries));
  ASSERT_FALSE(blocked.has_value());
  EXPECT_EQ(blocked.error().kind(), ErrorKind::Io);
  EXPECT_TRUE(std::filesystem::is_directory(path + "/occupied"));
  EXPECT_EQ(file_bytes(dir.file("wal.log.tmp")), kDelete7);  // the temporary file stays
}

TEST(RewriteWalTest, TemporaryPathReplacesTheExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"wal.log", "wal.log.tmp"},
      {"data/docs/wal.log", "data/docs/wal.log.tmp"},
      {"snap/wal", "snap/wal.log.tmp"},
      {"a.b/wal", "a.b/wal.log.tmp"},
      {"dir/.hidden", "dir/.hidden.log.tmp"},
      {"x/archive.old", "x/archive.log.tmp"},
  };
  for (const auto& [path, temp] : cases) EXPECT_EQ(wal_temp_path(path), temp) << path;
}

}  // namespace
}  // namespace sorvel
