#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// IEEE 754 binary16 conversions. binary16: sign in bit 15, five exponent bits (bias 15) in bits 14-10,
// ten fraction bits. Encoding rounds to nearest, ties to even; decoding is exact. A NaN keeps the top
// ten (encode) or all (decode) fraction bits and always comes out quiet. The F16C instructions give
// exactly these bits, so which path runs is invisible; the dispatching functions use them when
// cpu::use_f16c() is true. All functions are pure and may run on any number of threads.

namespace sorvel {

// The portable conversions, one value at a time.
std::uint16_t f32_to_f16_portable(float value);
float f16_to_f32_portable(std::uint16_t code);

// `n` values from `in` to `out` (the ranges must not overlap), through F16C when it is usable.
void encode_f16(const float* in, std::size_t n, std::uint16_t* out);
void decode_f16(const std::uint16_t* in, std::size_t n, float* out);

// The same, returning a new list of the input's length.
std::vector<std::uint16_t> encode_f16(std::span<const float> values);
std::vector<float> decode_f16(std::span<const std::uint16_t> codes);

// The F16C path, callable directly so tests can compare it with the portable one. Only callable when
// cpu::use_f16c() is true.
namespace fp16_f16c {
void encode(const float* in, std::size_t n, std::uint16_t* out);
void decode(const std::uint16_t* in, std::size_t n, float* out);
}  // namespace fp16_f16c

}  // namespace sorvel
