#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

// The binary encoding of every binary file except the KVEC file, and of every log record body:
// fixed-width little-endian integers and IEEE-754 floats, bool as one byte, lengths as u64,
// enumeration variants as a u32 index, an optional value as a tag byte (0 absent, 1 present) and the
// value. No header, no padding, no checksum.

namespace sorvel {

static_assert(std::endian::native == std::endian::little,
              "the encoding copies scalars in host order, which must be little-endian");

// Encodes values into memory (cannot fail) or into a file descriptor through an 8192-byte buffer.
// A stream encoder keeps the first write failure; later writes do nothing, and finish() reports it.
class Encoder {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  // Appends to a byte list owned by the encoder; take_bytes() hands it over.
  static Encoder to_memory();
  // Writes to `fd`, which the caller owns and keeps open until finish().
  static Encoder to_fd(int fd);

  Encoder(Encoder&&) noexcept = default;
  Encoder& operator=(Encoder&&) noexcept = default;

  void u8(std::uint8_t v) { raw(&v, 1); }
  void u16(std::uint16_t v) { raw(&v, 2); }
  void u32(std::uint32_t v) { raw(&v, 4); }
  void u64(std::uint64_t v) { raw(&v, 8); }
  void i32(std::int32_t v) { raw(&v, 4); }
  void i64(std::int64_t v) { raw(&v, 8); }
  void f32(float v) { raw(&v, 4); }
  void f64(double v) { raw(&v, 8); }
  void boolean(bool v) { u8(v ? 1 : 0); }
  void length(std::uint64_t n) { u64(n); }
  void variant(std::uint32_t index) { u32(index); }
  void option_tag(bool present) { u8(present ? 1 : 0); }
  // Length-prefixed UTF-8 text / byte string.
  void text(std::string_view s);
  void byte_string(std::span<const std::uint8_t> bytes);
  // Length-prefixed sequences of scalars.
  void f32_seq(std::span<const float> v);
  void u32_seq(std::span<const std::uint32_t> v);
  void u64_seq(std::span<const std::uint64_t> v);
  // A sequence of bools held one byte each (0 or 1).
  void bool_seq(std::span<const std::uint8_t> v);

  // Bytes without a length prefix.
  void raw(const void* data, std::size_t size);

  // Starts a CRC-32C (checksum.h) over every byte taken from here on.
  void start_checksum();
  // The CRC-32C of the bytes taken since start_checksum() (0 when it was not called).
  std::uint32_t checksum() const;

  // Memory encoder: the bytes written so far; the encoder is left empty.
  std::vector<std::uint8_t> take_bytes();
  // Stream encoder: writes out the buffer. The first failure of any write, this one included, comes
  // back as Serialization("io error: ..."). Memory encoder: always succeeds.
  Result<> finish();

 private:
  Encoder() = default;
  void flush_buffer();

  // A stream encoder writes to fd_ (even an invalid one, whose failure finish() reports); a memory
  // encoder keeps everything in buffer_.
  bool stream_ = false;
  int fd_ = -1;
  std::vector<std::uint8_t> buffer_;
  bool failed_ = false;
  int failed_errno_ = 0;
  // With `summing_`, crc_ covers the summed bytes before buffer_[sum_from_].
  bool summing_ = false;
  std::uint32_t crc_ = 0;
  std::size_t sum_from_ = 0;
};

// Decodes values from memory or from a file descriptor through an 8192-byte buffer. Every failure
// is Serialization with the encoding's texts: a premature end reads "io error: unexpected end of
// file" from memory and "io error: failed to fill whole buffer" from a stream.
class Decoder {
 public:
  static constexpr std::size_t kBufferSize = 8192;
  // No decoder reserves more than this many bytes ahead of the data it has read.
  static constexpr std::size_t kReserveBytes = 1 << 20;

  // Reads `bytes`, which must outlive the decoder.
  static Decoder from_memory(std::span<const std::uint8_t> bytes);
  // Reads `fd`, which the caller owns and keeps open.
  static Decoder from_fd(int fd);

  Decoder(Decoder&&) noexcept = default;
  Decoder& operator=(Decoder&&) noexcept = default;

  Result<std::uint8_t> u8();
  Result<std::uint16_t> u16();
  Result<std::uint32_t> u32();
  Result<std::uint64_t> u64();
  Result<std::int32_t> i32();
  Result<std::int64_t> i64();
  Result<float> f32();
  Result<double> f64();
  Result<bool> boolean();
  // Sequence, text, byte-string and map lengths.
  Result<std::uint64_t> length() { return u64(); }
  // A u32 variant index below `count`.
  Result<std::uint32_t> variant(std::uint32_t count);
  // An optional value's tag: true when present.
  Result<bool> option_tag();
  Result<std::string> text();
  Result<std::vector<std::uint8_t>> byte_string();
  Result<std::vector<float>> f32_seq();
  // As f32_seq, into `out` (its contents replaced): for storage with an allocator of its own.
  template <class Alloc>
  Result<> f32_seq_into(std::vector<float, Alloc>& out) {
    return seq_into(out);
  }
  Result<std::vector<std::uint32_t>> u32_seq();
  Result<std::vector<std::uint64_t>> u64_seq();
  // Bools as 0/1 bytes; any other byte fails as a bool does.
  Result<std::vector<std::uint8_t>> bool_seq();

  // Exactly `size` bytes into `out`.
  Result<> raw(void* out, std::size_t size);
  // Memory decoders only: a length-prefixed sequence of `element_bytes`-byte scalars read in place
  // (its bytes, valid as long as the decoded memory). A count beyond the bytes left fails with the
  // premature end, as the copying reads do.
  Result<std::span<const std::uint8_t>> seq_view(std::size_t element_bytes);

  // How many elements to reserve for a declared count, for elements of `element_bytes` bytes of
  // memory each: never more than kReserveBytes ahead of the data.
  static std::size_t reserve_count(std::uint64_t count, std::size_t element_bytes) {
    const std::size_t cap = std::max<std::size_t>(1, kReserveBytes / element_bytes);
    return count < cap ? static_cast<std::size_t>(count) : cap;
  }

  // Bytes consumed so far.
  std::uint64_t position() const { return position_; }

 private:
  Decoder() = default;
  Result<> fill(void* out, std::size_t size);
  template <class T>
  Result<std::vector<T>> scalar_seq();
  // A u64 count, then that many T, read into `out` chunk by chunk, so that a false huge count fails
  // with a premature end after reading what is there, never by exhausting memory.
  template <class T, class Alloc>
  Result<> seq_into(std::vector<T, Alloc>& out) {
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t count, length());
    out.clear();
    const std::size_t chunk = reserve_count(count, sizeof(T));
    out.reserve(chunk);
    std::uint64_t left = count;
    while (left > 0) {
      const std::size_t n = left < chunk ? static_cast<std::size_t>(left) : chunk;
      const std::size_t old = out.size();
      out.resize(old + n);
      SORVEL_TRY(fill(out.data() + old, n * sizeof(T)));
      left -= n;
    }
    return ok();
  }

  // Memory form.
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  // Stream form (an invalid fd fails at the first read with the system's text).
  bool stream_ = false;
  int fd_ = -1;
  std::vector<std::uint8_t> buffer_;
  std::size_t buffer_pos_ = 0;
  std::size_t buffer_len_ = 0;

  std::uint64_t position_ = 0;
};

// The UTF-8 check of decoded texts. Empty when `bytes` is valid, otherwise the validator's
// description ("invalid utf-8 sequence of 1 bytes from index 3").
std::string utf8_error(std::string_view bytes);

}  // namespace sorvel
