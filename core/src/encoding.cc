#include "encoding.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "check.h"
#include "checksum.h"
#include "str_cat.h"

namespace sorvel {

namespace {

constexpr std::string_view kMemoryEnd = "io error: unexpected end of file";
constexpr std::string_view kStreamEnd = "io error: failed to fill whole buffer";

DbError io_failure(int os_code) {
  return DbError::serialization("io error: " + IoError::from_errno(os_code).display());
}

}  // namespace

// ---- Encoder ----

Encoder Encoder::to_memory() { return Encoder(); }

Encoder Encoder::to_fd(int fd) {
  Encoder e;
  e.stream_ = true;
  e.fd_ = fd;
  e.buffer_.reserve(kBufferSize);
  return e;
}

void Encoder::raw(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (!stream_) {
    buffer_.insert(buffer_.end(), bytes, bytes + size);
    return;
  }
  if (failed_) return;
  if (buffer_.size() + size > kBufferSize) {
    flush_buffer();
    if (failed_) return;
  }
  if (size >= kBufferSize) {
    // Large writes go straight to the file; the buffer is empty here.
    if (summing_) crc_ = crc32c({bytes, size}, crc_);
    while (size > 0) {
      const ssize_t n = ::write(fd_, bytes, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        failed_ = true;
        failed_errno_ = errno;
        return;
      }
      bytes += n;
      size -= static_cast<std::size_t>(n);
    }
    return;
  }
  buffer_.insert(buffer_.end(), bytes, bytes + size);
}

void Encoder::flush_buffer() {
  if (summing_) {
    crc_ = crc32c(std::span<const std::uint8_t>(buffer_).subspan(sum_from_), crc_);
    sum_from_ = 0;
  }
  const std::uint8_t* p = buffer_.data();
  std::size_t left = buffer_.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      failed_ = true;
      failed_errno_ = errno;
      break;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  buffer_.clear();
}

void Encoder::text(std::string_view s) {
  length(s.size());
  raw(s.data(), s.size());
}

void Encoder::byte_string(std::span<const std::uint8_t> bytes) {
  length(bytes.size());
  raw(bytes.data(), bytes.size());
}

void Encoder::f32_seq(std::span<const float> v) {
  length(v.size());
  raw(v.data(), v.size_bytes());
}

void Encoder::u32_seq(std::span<const std::uint32_t> v) {
  length(v.size());
  raw(v.data(), v.size_bytes());
}

void Encoder::u64_seq(std::span<const std::uint64_t> v) {
  length(v.size());
  raw(v.data(), v.size_bytes());
}

void Encoder::bool_seq(std::span<const std::uint8_t> v) {
  length(v.size());
  raw(v.data(), v.size());
}

void Encoder::start_checksum() {
  summing_ = true;
  crc_ = 0;
  sum_from_ = buffer_.size();
}

std::uint32_t Encoder::checksum() const {
  if (!summing_) return 0;
  return crc32c(std::span<const std::uint8_t>(buffer_).subspan(sum_from_), crc_);
}

std::vector<std::uint8_t> Encoder::take_bytes() {
  crc_ = checksum();
  sum_from_ = 0;
  return std::exchange(buffer_, {});
}

Result<> Encoder::finish() {
  if (stream_ && !failed_ && !buffer_.empty()) flush_buffer();
  if (failed_) return io_failure(failed_errno_);
  return ok();
}

// ---- Decoder ----

Decoder Decoder::from_memory(std::span<const std::uint8_t> bytes) {
  Decoder d;
  d.data_ = bytes.data();
  d.size_ = bytes.size();
  return d;
}

Decoder Decoder::from_fd(int fd) {
  Decoder d;
  d.stream_ = true;
  d.fd_ = fd;
  d.buffer_.resize(kBufferSize);
  return d;
}

Result<> Decoder::fill(void* out, std::size_t size) {
  auto* dst = static_cast<std::uint8_t*>(out);
  if (!stream_) {
    if (size_ - position_ < size) {
      position_ = size_;
      return DbError::serialization(std::string(kMemoryEnd));
    }
    if (size > 0) std::memcpy(dst, data_ + position_, size);
    position_ += size;
    return ok();
  }
  while (size > 0) {
    if (buffer_pos_ == buffer_len_) {
      if (size >= kBufferSize) {
        // Large reads bypass the buffer.
        const ssize_t n = ::read(fd_, dst, size);
        if (n < 0) {
          if (errno == EINTR) continue;
          return io_failure(errno);
        }
        if (n == 0) return DbError::serialization(std::string(kStreamEnd));
        dst += n;
        size -= static_cast<std::size_t>(n);
        position_ += static_cast<std::uint64_t>(n);
        continue;
      }
      const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return io_failure(errno);
      }
      if (n == 0) return DbError::serialization(std::string(kStreamEnd));
      buffer_pos_ = 0;
      buffer_len_ = static_cast<std::size_t>(n);
    }
    const std::size_t take = std::min(size, buffer_len_ - buffer_pos_);
    std::memcpy(dst, buffer_.data() + buffer_pos_, take);
    buffer_pos_ += take;
    dst += take;
    size -= take;
    position_ += take;
  }
  return ok();
}

Result<> Decoder::raw(void* out, std::size_t size) { return fill(out, size); }

Result<std::span<const std::uint8_t>> Decoder::seq_view(std::size_t element_bytes) {
  SORVEL_CHECK(!stream_ && element_bytes > 0, "seq_view needs a memory decoder");
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t count, length());
  if (count > (size_ - position_) / element_bytes) {
    position_ = size_;
    return DbError::serialization(std::string(kMemoryEnd));
  }
  const std::span<const std::uint8_t> out(data_ + position_,
                                          static_cast<std::size_t>(count) * element_bytes);
  position_ += out.size();
  return out;
}

#define SORVEL_SCALAR_READ(name, type)     \
  Result<type> Decoder::name() {           \
    type v;                                \
    SORVEL_TRY(fill(&v, sizeof v));        \
    return v;                              \
  }
SORVEL_SCALAR_READ(u8, std::uint8_t)
SORVEL_SCALAR_READ(u16, std::uint16_t)
SORVEL_SCALAR_READ(u32, std::uint32_t)
SORVEL_SCALAR_READ(u64, std::uint64_t)
SORVEL_SCALAR_READ(i32, std::int32_t)
SORVEL_SCALAR_READ(i64, std::int64_t)
SORVEL_SCALAR_READ(f32, float)
SORVEL_SCALAR_READ(f64, double)
#undef SORVEL_SCALAR_READ

Result<bool> Decoder::boolean() {
  SORVEL_ASSIGN_OR_RETURN(const std::uint8_t b, u8());
  if (b > 1) {
    return DbError::serialization(
        str_cat("invalid u8 while decoding bool, expected 0 or 1, found ", b));
  }
  return b == 1;
}

Result<bool> Decoder::option_tag() {
  SORVEL_ASSIGN_OR_RETURN(const std::uint8_t b, u8());
  if (b > 1) return DbError::serialization(str_cat("tag for enum is not valid, found ", b));
  return b == 1;
}

Result<std::uint32_t> Decoder::variant(std::uint32_t count) {
  SORVEL_ASSIGN_OR_RETURN(const std::uint32_t index, u32());
  if (index >= count) {
    return DbError::serialization(str_cat("invalid value: integer `", index,
                                          "`, expected variant index 0 <= i < ", count));
  }
  return index;
}

template <class T>
Result<std::vector<T>> Decoder::scalar_seq() {
  std::vector<T> out;
  SORVEL_TRY(seq_into(out));
  return out;
}

Result<std::vector<float>> Decoder::f32_seq() { return scalar_seq<float>(); }
Result<std::vector<std::uint32_t>> Decoder::u32_seq() { return scalar_seq<std::uint32_t>(); }
Result<std::vector<std::uint64_t>> Decoder::u64_seq() { return scalar_seq<std::uint64_t>(); }
Result<std::vector<std::uint8_t>> Decoder::byte_string() { return scalar_seq<std::uint8_t>(); }

Result<std::vector<std::uint8_t>> Decoder::bool_seq() {
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t count, length());
  std::vector<std::uint8_t> out;
  out.reserve(reserve_count(count, 1));
  for (std::uint64_t i = 0; i < count; ++i) {
    SORVEL_ASSIGN_OR_RETURN(const bool b, boolean());
    out.push_back(b ? 1 : 0);
  }
  return out;
}

Result<std::string> Decoder::text() {
  SORVEL_ASSIGN_OR_RETURN(std::vector<std::uint8_t> bytes, byte_string());
  std::string s(bytes.begin(), bytes.end());
  if (std::string err = utf8_error(s); !err.empty()) {
    return DbError::serialization("string is not valid utf8: " + err);
  }
  return s;
}

std::string utf8_error(std::string_view bytes) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t width = 0;
    std::uint8_t lo = 0x80, hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
      width = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
      width = 3;
      if (c == 0xe0) lo = 0xa0;
      if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      width = 4;
      if (c == 0xf0) lo = 0x90;
      if (c == 0xf4) hi = 0x8f;
    } else {
      return str_cat("invalid utf-8 sequence of 1 bytes from index ", i);
    }
    // Count the valid continuation bytes that follow the lead byte.
    std::size_t good = 1;
    for (; good < width; ++good) {
      if (i + good >= n) {
        return str_cat("incomplete utf-8 byte sequence from index ", i);
      }
      const std::uint8_t b = s[i + good];
      const std::uint8_t min = good == 1 ? lo : 0x80;
      const std::uint8_t max = good == 1 ? hi : 0xbf;
      if (b < min || b > max) break;
    }
    if (good < width) {
      return str_cat("invalid utf-8 sequence of ", good, " bytes from index ", i);
    }
    i += width;
  }
  return {};
}

}  // namespace sorvel
