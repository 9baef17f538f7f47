#include "encoding.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "checksum.h"
#include "posix_file.h"
#include "testing/temp_dir.h"
#include "testing/test_data.h"

// The largest single allocation while tracking is on: the decoders promise never to reserve more
// than 1 MiB ahead of the data, whatever count a file declares.
// The replacements pair malloc with free themselves; GCC cannot see that through inlining.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<bool> g_track_allocations{false};
std::atomic<std::size_t> g_largest_allocation{0};
}  // namespace

void* operator new(std::size_t size) {
  if (g_track_allocations.load(std::memory_order_relaxed)) {
    std::size_t seen = g_largest_allocation.load(std::memory_order_relaxed);
    while (size > seen && !g_largest_allocation.compare_exchange_weak(seen, size)) {
    }
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace sorvel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes encode(const std::function<void(Encoder&)>& write) {
  Encoder e = Encoder::to_memory();
  write(e);
  EXPECT_TRUE(e.finish().has_value());
  return e.take_bytes();
}

template <class T>
T value_or_fail(Result<T> r) {
  EXPECT_TRUE(r.has_value()) << r.error().display();
  return r.has_value() ? std::move(*r) : T{};
}

TEST(EncodingTest, ScalarsHaveTheirFixedLittleEndianBytes) {
  const Bytes bytes = encode([](Encoder& e) {
    e.u8(0xab);
    e.u16(0x0102);
    e.u32(0x01020304);
    e.u64(0x0102030405060708ULL);
    e.i32(-2);
    e.boolean(true);
    e.boolean(false);
    e.variant(2);
    e.f32(1.0f);
  });
  const Bytes expected = {0xab, 0x02, 0x01, 0x04, 0x03, 0x02, 0x01, 0x08, 0x07, 0x06,
                          0x05, 0x04, 0x03, 0x02, 0x01, 0xfe, 0xff, 0xff, 0xff, 0x01,
                          0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3f};
  EXPECT_EQ(bytes, expected);
}

TEST(EncodingTest, ScalarsRoundTripBitForBit) {
  const float nan_payload = std::bit_cast<float>(0x7fc01234u);
  const float signalling_nan = std::bit_cast<float>(0xff800001u);
  const double nan64 = std::bit_cast<double>(0x7ff800000000beefULL);
  const Bytes bytes = encode([&](Encoder& e) {
    e.f32(nan_payload);
    e.f32(signalling_nan);
    e.f32(-0.0f);
    e.f32(std::numeric_limits<float>::denorm_min());
    e.f64(nan64);
    e.f64(-0.0);
    e.i64(std::numeric_limits<std::int64_t>::min());
    e.u64(std::numeric_limits<std::uint64_t>::max());
    e.text("h\xc3\xa9llo");
    e.option_tag(true);
    e.u16(65535);
  });
  Decoder d = Decoder::from_memory(bytes);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(value_or_fail(d.f32())), 0x7fc01234u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(value_or_fail(d.f32())), 0xff800001u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(value_or_fail(d.f32())), 0x80000000u);
  EXPECT_EQ(value_or_fail(d.f32()), std::numeric_limits<float>::denorm_min());
  EXPECT_EQ(std::bit_cast<std::uint64_t>(value_or_fail(d.f64())), 0x7ff800000000beefULL);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(value_or_fail(d.f64())), 0x8000000000000000ULL);
  EXPECT_EQ(value_or_fail(d.i64()), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(value_or_fail(d.u64()), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(value_or_fail(d.text()), "h\xc3\xa9llo");
  EXPECT_TRUE(value_or_fail(d.option_tag()));
  EXPECT_EQ(value_or_fail(d.u16()), 65535);
  EXPECT_EQ(d.position(), bytes.size());
}

TEST(EncodingTest, EmptyListsAndAbsentOptionals) {
  const std::vector<float> none;
  EXPECT_EQ(encode([&](Encoder& e) { e.f32_seq(none); }), Bytes(8, 0));
  EXPECT_EQ(encode([](Encoder& e) { e.text(""); }), Bytes(8, 0));
  EXPECT_EQ(encode([](Encoder& e) { e.option_tag(false); }), Bytes{0});
  const Bytes empty(8, 0);
  Decoder d = Decoder::from_memory(empty);
  EXPECT_TRUE(value_or_fail(d.u64_seq()).empty());
}

TEST(EncodingTest, SequencesRoundTripThroughAFile) {
  // Large enough to cross the 8192-byte buffer both by many small writes and by one big one.
  const std::vector<float> floats = testing::random_vectors(5000, 1, 7);
  std::vector<std::uint64_t> ids(3000);
  for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = i * 0x9e3779b97f4a7c15ULL;
  const std::vector<std::uint32_t> small = {1, 2, 3};
  const std::vector<std::uint8_t> flags = {1, 0, 1, 1};

  // The checksum starts after the first 10 bytes.
  constexpr std::size_t kUnsummed = 10;
  std::uint32_t sum = 0;
  const auto write = [&](Encoder& e) {
    for (int i = 0; i < 3000; ++i) {
      if (i == kUnsummed) e.start_checksum();
      e.u8(static_cast<std::uint8_t>(i));
    }
    e.f32_seq(floats);
    e.u32_seq(small);
    e.u64_seq(ids);
    e.bool_seq(flags);
    e.byte_string(flags);
    sum = e.checksum();
  };

  testing::TempDir dir;
  const std::string path = dir.file("seq.bin");
  {
    auto fd = create_truncate(path);
    ASSERT_TRUE(fd.has_value());
    Encoder e = Encoder::to_fd(fd->get());
    write(e);
    ASSERT_TRUE(e.finish().has_value());
  }
  const Bytes file = testing::read_file(path);
  EXPECT_EQ(file.size(), 3000 + 8 + 4 * 5000 + 8 + 12 + 8 + 8 * 3000 + 8 + 4 + 8 + 4);
  const std::span<const std::uint8_t> summed = std::span(file).subspan(kUnsummed);
  EXPECT_EQ(sum, crc32c(summed));
  // The memory encoder produces the same bytes (and checksum) as the stream encoder.
  EXPECT_EQ(file, encode(write));
  EXPECT_EQ(sum, crc32c(summed));

  auto fd = open_read(path);
  ASSERT_TRUE(fd.has_value());
  Decoder d = Decoder::from_fd(fd->get());
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(value_or_fail(d.u8()), static_cast<std::uint8_t>(i));
  const std::vector<float> floats_back = value_or_fail(d.f32_seq());
  ASSERT_EQ(floats_back.size(), floats.size());
  EXPECT_EQ(std::memcmp(floats_back.data(), floats.data(), floats.size() * 4), 0);
  EXPECT_EQ(value_or_fail(d.u32_seq()), small);
  EXPECT_EQ(value_or_fail(d.u64_seq()), ids);
  EXPECT_EQ(value_or_fail(d.bool_seq()), flags);
  EXPECT_EQ(value_or_fail(d.byte_string()), flags);
  EXPECT_EQ(d.position(), file.size());
}

TEST(EncodingTest, TrailingBytesAreIgnored) {
  const Bytes bytes = {7, 0, 0, 0, 0xde, 0xad};
  Decoder d = Decoder::from_memory(bytes);
  EXPECT_EQ(value_or_fail(d.u32()), 7u);
  EXPECT_EQ(d.position(), 4u);
}

struct FailureCase {
  const char* name;
  Bytes bytes;
  std::function<Result<>(Decoder&)> read;
  std::string text;
};

template <class F>
std::function<Result<>(Decoder&)> reading(F f) {
  return [f](Decoder& d) -> Result<> {
    auto r = f(d);
    if (!r) return r.error();
    return ok();
  };
}

std::vector<FailureCase> failure_cases() {
  const auto u32 = reading([](Decoder& d) { return d.u32(); });
  const auto boolean = reading([](Decoder& d) { return d.boolean(); });
  const auto text = reading([](Decoder& d) { return d.text(); });
  const auto variant3 = reading([](Decoder& d) { return d.variant(3); });
  const auto variant2 = reading([](Decoder& d) { return d.variant(2); });
  return {
      {"short scalar", {1, 2}, u32, "io error: unexpected end of file"},
      {"empty input", {}, u32, "io error: unexpected end of file"},
      {"bool byte 2", {2}, boolean, "invalid u8 while decoding bool, expected 0 or 1, found 2"},
      {"bool byte 255",
       {255},
       boolean,
       "invalid u8 while decoding bool, expected 0 or 1, found 255"},
      {"bool in a list",
       {2, 0, 0, 0, 0, 0, 0, 0, 1, 7},
       reading([](Decoder& d) { return d.bool_seq(); }),
       "invalid u8 while decoding bool, expected 0 or 1, found 7"},
      {"option tag 2",
       {2},
       reading([](Decoder& d) { return d.option_tag(); }),
       "tag for enum is not valid, found 2"},
      {"variant 3 of 3",
       {3, 0, 0, 0},
       variant3,
       "invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {"variant 2 of 2",
       {2, 0, 0, 0},
       variant2,
       "invalid value: integer `2`, expected variant index 0 <= i < 2"},
      {"huge variant",
       {0xff, 0xff, 0xff, 0xff},
       variant3,
       "invalid value: integer `4294967295`, expected variant index 0 <= i < 3"},
      {"lone continuation",
       {1, 0, 0, 0, 0, 0, 0, 0, 0x80},
       text,
       "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"overlong",
       {3, 0, 0, 0, 0, 0, 0, 0, 'a', 0xc0, 0xaf},
       text,
       "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 1"},
      {"surrogate",
       {4, 0, 0, 0, 0, 0, 0, 0, 'a', 0xed, 0xa0, 0x80},
       text,
       "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 1"},
      {"bad third byte",
       {4, 0, 0, 0, 0, 0, 0, 0, 'a', 0xe2, 0x82, 'x'},
       text,
       "string is not valid utf8: invalid utf-8 sequence of 2 bytes from index 1"},
      {"truncated sequence",
       {3, 0, 0, 0, 0, 0, 0, 0, 'a', 0xe2, 0x82},
       text,
       "string is not valid utf8: incomplete utf-8 byte sequence from index 1"},
      {"beyond U+10FFFF",
       {4, 0, 0, 0, 0, 0, 0, 0, 0xf4, 0x90, 0x80, 0x80},
       text,
       "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"text shorter than its length",
       {5, 0, 0, 0, 0, 0, 0, 0, 'a', 'b'},
       text,
       "io error: unexpected end of file"},
  };
}

TEST(EncodingTest, DecodingFailuresCarryTheirTexts) {
  for (const FailureCase& c : failure_cases()) {
    SCOPED_TRACE(c.name);
    Decoder d = Decoder::from_memory(c.bytes);
    const Result<> r = c.read(d);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
    EXPECT_EQ(r.error().text(), c.text);
    EXPECT_EQ(r.error().display(), "serialization error: " + c.text);
  }
}

TEST(EncodingTest, StreamDecodingUsesTheStreamTexts) {
  testing::TempDir dir;
  const std::string path = dir.file("in.bin");
  for (const FailureCase& c : failure_cases()) {
    SCOPED_TRACE(c.name);
    testing::write_file(path, c.bytes);
    auto fd = open_read(path);
    ASSERT_TRUE(fd.has_value());
    Decoder d = Decoder::from_fd(fd->get());
    const Result<> r = c.read(d);
    ASSERT_FALSE(r.has_value());
    const std::string expected = c.text == "io error: unexpected end of file"
                                     ? "io error: failed to fill whole buffer"
                                     : c.text;
    EXPECT_EQ(r.error().text(), expected);
  }
}

TEST(EncodingTest, ValidUtf8IsAccepted) {
  for (const std::string s : {"", "ascii", "\xc2\x80", "\xe2\x82\xac", "\xef\xbf\xbf",
                              "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf", "mixed \xe2\x82\xac!"}) {
    EXPECT_EQ(utf8_error(s), "") << s;
  }
}

TEST(EncodingTest, HugeDeclaredCountsFailWithoutReservingMoreThanOneMebibyte) {
  constexpr std::uint64_t kCount = 1ULL << 62;
  struct SeqCase {
    const char* name;
    std::size_t element_bytes;
    std::function<Result<>(Decoder&)> read;
  };
  const SeqCase cases[] = {
      {"f32", 4, reading([](Decoder& d) { return d.f32_seq(); })},
      {"u32", 4, reading([](Decoder& d) { return d.u32_seq(); })},
      {"u64", 8, reading([](Decoder& d) { return d.u64_seq(); })},
      {"bool", 1, reading([](Decoder& d) { return d.bool_seq(); })},
      {"bytes", 1, reading([](Decoder& d) { return d.byte_string(); })},
      {"text", 1, reading([](Decoder& d) { return d.text(); })},
  };
  testing::TempDir dir;
  const std::string path = dir.file("huge.bin");
  for (const SeqCase& c : cases) {
    SCOPED_TRACE(c.name);
    // The count, then three elements.
    const Bytes bytes = encode([&](Encoder& e) {
      e.length(kCount);
      for (int i = 0; i < 3; ++i) {
        for (std::size_t b = 0; b < c.element_bytes; ++b) e.u8(1);
      }
    });
    testing::write_file(path, bytes);
    auto fd = open_read(path);
    ASSERT_TRUE(fd.has_value());
    Decoder from_file = Decoder::from_fd(fd->get());
    Decoder from_memory = Decoder::from_memory(bytes);

    g_largest_allocation = 0;
    g_track_allocations = true;
    const Result<> memory_result = c.read(from_memory);
    const Result<> stream_result = c.read(from_file);
    g_track_allocations = false;

    ASSERT_FALSE(memory_result.has_value());
    EXPECT_EQ(memory_result.error().text(), "io error: unexpected end of file");
    ASSERT_FALSE(stream_result.has_value());
    EXPECT_EQ(stream_result.error().text(), "io error: failed to fill whole buffer");
    EXPECT_LE(g_largest_allocation.load(), Decoder::kReserveBytes);
    EXPECT_GT(g_largest_allocation.load(), 0u);
  }
}

TEST(EncodingTest, ReservationCaps) {
  constexpr std::uint64_t kHuge = 1ULL << 62;
  EXPECT_EQ(Decoder::reserve_count(kHuge, 4), 262144u);
  EXPECT_EQ(Decoder::reserve_count(kHuge, 8), 131072u);
  EXPECT_EQ(Decoder::reserve_count(kHuge, 1), 1048576u);
  EXPECT_EQ(Decoder::reserve_count(kHuge, 16), 65536u);
  EXPECT_EQ(Decoder::reserve_count(kHuge, 3 << 20), 1u);
  EXPECT_EQ(Decoder::reserve_count(10, 8), 10u);
  EXPECT_EQ(Decoder::reserve_count(0, 8), 0u);
}

// Opens `path` with `flags`; the test fails when that is impossible.
UniqueFd open_or_fail(const char* path, int flags) {
  const int fd = ::open(path, flags | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  return UniqueFd(fd);
}

TEST(EncodingTest, StreamEncoderReportsTheFirstWriteFailure) {
  testing::TempDir dir;
  const std::string existing = dir.file("ro.bin");
  testing::write_file(existing, {1, 2, 3});

  struct WriteCase {
    const char* name;
    std::function<UniqueFd()> open;
    std::size_t bytes;
    std::string text;
  };
  const WriteCase cases[] = {
      // A small write stays buffered: the final flush in finish() fails the encode.
      {"read-only fd, small", [&] { return open_or_fail(existing.c_str(), O_RDONLY); }, 10,
       "io error: Bad file descriptor (os error 9)"},
      {"read-only fd, large", [&] { return open_or_fail(existing.c_str(), O_RDONLY); }, 100000,
       "io error: Bad file descriptor (os error 9)"},
      {"full device, small", [] { return open_or_fail("/dev/full", O_WRONLY); }, 10,
       "io error: No space left on device (os error 28)"},
      {"full device, large", [] { return open_or_fail("/dev/full", O_WRONLY); }, 100000,
       "io error: No space left on device (os error 28)"},
      {"no fd at all", [] { return UniqueFd(); }, 10, "io error: Bad file descriptor (os error 9)"},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    UniqueFd fd = c.open();
    Encoder e = Encoder::to_fd(fd.get());
    for (std::size_t i = 0; i < c.bytes; ++i) e.u8(static_cast<std::uint8_t>(i));
    const Result<> r = e.finish();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
    EXPECT_EQ(r.error().text(), c.text);
  }
  // The read-only file was not touched.
  EXPECT_EQ(testing::read_file(existing), (Bytes{1, 2, 3}));
}

TEST(EncodingTest, StreamDecoderReportsReadFailures) {
  Decoder d = Decoder::from_fd(-1);
  const Result<std::uint32_t> r = d.u32();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().text(), "io error: Bad file descriptor (os error 9)");
}

}  // namespace
}  // namespace sorvel
