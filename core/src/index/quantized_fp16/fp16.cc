#include "index/quantized_fp16/fp16.h"

#include <bit>

#include "distance/distance.h"

namespace sorvel {

std::uint16_t f32_to_f16_portable(float value) {
  const std::uint32_t x = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t s = (x >> 16) & 0x8000u;
  const std::uint32_t e = (x >> 23) & 0xFFu;
  const std::uint32_t f = x & 0x7FFFFFu;
  std::uint32_t r;
  if (e == 255) {
    // The quiet bit is forced so a signalling NaN never survives as one.
    r = f != 0 ? (s | 0x7C00u | 0x0200u | (f >> 13)) : (s | 0x7C00u);
  } else if (e >= 143) {
    r = s | 0x7C00u;
  } else if (e >= 113) {
    r = s | ((e - 112) << 10) | (f >> 13);
    // Round half to even: the dropped bit 12 is set and either a lower bit or the kept lsb is.
    // The carry may ripple into the exponent, up to infinity.
    if ((f & 0x1000u) != 0 && (f & 0x2FFFu) != 0) r += 1;
  } else if (e >= 102) {
    const std::uint32_t m = f | 0x800000u;
    const std::uint32_t t = 126 - e;  // 14 to 24
    r = s | (m >> t);
    const bool half = ((m >> (t - 1)) & 1u) != 0;
    const bool rest = (m & ((1u << (t - 1)) - 1u)) != 0 || ((m >> t) & 1u) != 0;
    if (half && rest) r += 1;
  } else {
    r = s;
  }
  return static_cast<std::uint16_t>(r);
}

float f16_to_f32_portable(std::uint16_t code) {
  const std::uint32_t h = code;
  const std::uint32_t s = (h & 0x8000u) << 16;
  const std::uint32_t e = (h >> 10) & 0x1Fu;
  const std::uint32_t f = h & 0x3FFu;
  std::uint32_t r;
  if (e == 0) {
    if (f == 0) {
      r = s;
    } else {
      const std::uint32_t p = 31u - static_cast<std::uint32_t>(std::countl_zero(f));
      r = s | ((103u + p) << 23) | ((f << (23u - p)) & 0x7FFFFFu);
    }
  } else if (e == 31) {
    r = f == 0 ? (s | 0x7F800000u) : (s | 0x7FC00000u | (f << 13));
  } else {
    r = s | ((e + 112u) << 23) | (f << 13);
  }
  return std::bit_cast<float>(r);
}

void encode_f16(const float* in, std::size_t n, std::uint16_t* out) {
  if (cpu::use_f16c()) return fp16_f16c::encode(in, n, out);
  for (std::size_t i = 0; i < n; ++i) out[i] = f32_to_f16_portable(in[i]);
}

void decode_f16(const std::uint16_t* in, std::size_t n, float* out) {
  if (cpu::use_f16c()) return fp16_f16c::decode(in, n, out);
  for (std::size_t i = 0; i < n; ++i) out[i] = f16_to_f32_portable(in[i]);
}

std::vector<std::uint16_t> encode_f16(std::span<const float> values) {
  std::vector<std::uint16_t> out(values.size());
  encode_f16(values.data(), values.size(), out.data());
  return out;
}

std::vector<float> decode_f16(std::span<const std::uint16_t> codes) {
  std::vector<float> out(codes.size());
  decode_f16(codes.data(), codes.size(), out.data());
  return out;
}

}  // namespace sorvel
