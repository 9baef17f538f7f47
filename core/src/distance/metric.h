#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "encoding.h"
#include "result.h"

namespace sorvel {

// The three metrics; in each a smaller value is a better match. The numeric value is the code
// stored in binary files.
enum class Metric : std::uint8_t { L2 = 0, Cosine = 1, DotProduct = 2 };
inline constexpr std::uint32_t kMetricCount = 3;

// "l2", "cosine", "dot_product": the spellings of Python arguments and "meta.json".
std::string_view metric_text_name(Metric metric);
// "L2", "Cosine", "DotProduct": the debug form, used in messages.
std::string_view metric_debug_name(Metric metric);
// Exact, case-sensitive match of a text name.
std::optional<Metric> metric_from_text(std::string_view name);

// The encoding of a Metric: its code as a u32 variant index.
void encode_metric(Encoder& out, Metric metric);
// Serialization "invalid value: integer `3`, expected variant index 0 <= i < 3" for a bad code.
Result<Metric> decode_metric(Decoder& in);

}  // namespace sorvel
