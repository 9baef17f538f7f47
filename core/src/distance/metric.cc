#include "distance/metric.h"

#include <array>

namespace sorvel {

namespace {
constexpr std::array<std::string_view, kMetricCount> kTextNames = {"l2", "cosine", "dot_product"};
constexpr std::array<std::string_view, kMetricCount> kDebugNames = {"L2", "Cosine", "DotProduct"};
}  // namespace

std::string_view metric_text_name(Metric metric) {
  return kTextNames[static_cast<std::size_t>(metric)];
}

std::string_view metric_debug_name(Metric metric) {
  return kDebugNames[static_cast<std::size_t>(metric)];
}

std::optional<Metric> metric_from_text(std::string_view name) {
  for (std::uint32_t i = 0; i < kMetricCount; ++i) {
    if (kTextNames[i] == name) return static_cast<Metric>(i);
  }
  return std::nullopt;
}

void encode_metric(Encoder& out, Metric metric) {
  out.variant(static_cast<std::uint32_t>(metric));
}

Result<Metric> decode_metric(Decoder& in) {
  SORVEL_ASSIGN_OR_RETURN(const std::uint32_t code, in.variant(kMetricCount));
  return static_cast<Metric>(code);
}

}  // namespace sorvel
