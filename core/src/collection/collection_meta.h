#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "distance/metric.h"
#include "index/ivf/ivf_index.h"
#include "index/ivf_pq/ivf_pq_index.h"
#include "index/pq/product_quantizer.h"
#include "result.h"

namespace sorvel {

// The kind of index a collection uses. The numeric value is its code; "meta.json" holds it only by
// its JSON name. Faiss is accepted in "meta.json" but no index of that type can be built.
enum class IndexType : std::uint8_t {
  Flat = 0,
  Hnsw = 1,
  QuantizedFlat = 2,
  Ivf = 3,
  IvfPq = 4,
  Fp16Flat = 5,
  MmapFlat = 6,
  BinaryFlat = 7,
  Faiss = 8,
};
inline constexpr std::size_t kIndexTypeCount = 9;

// "flat", "hnsw", "quantized_flat", "ivf", "ivf_pq", "fp16_flat", "mmap_flat", "binary_flat",
// "faiss".
std::string_view index_type_json_name(IndexType type);
// "Flat", "Hnsw", ..., "Faiss": the names used in messages.
std::string_view index_type_debug_name(IndexType type);
// Exact, case-sensitive match of a JSON name ("faiss" included).
std::optional<IndexType> index_type_from_json_name(std::string_view name);

// The parameter records of the other index types are the indexes' own: IvfConfig, PqConfig and
// IvfPqConfig, whose member values are the defaults of a new collection.

// The graph parameters of an HNSW collection. The member values are the defaults a collection gets
// when it is created or promoted without a configuration of its own.
struct HnswConfig {
  std::uint64_t ef_construction = 200;
  std::uint64_t ef_search = 50;
  std::uint64_t m = 12;

  bool operator==(const HnswConfig&) const = default;
};

// The persistent settings of one collection, stored as "meta.json" in its directory. Owned by its
// collection; a plain value. No field is range-checked: zero dimensions, zero thresholds and a
// parameter record that does not match `index_type` are held as they are.
struct CollectionMeta {
  static constexpr std::uint64_t kDefaultWalCompactThreshold = 50000;

  std::string name;
  std::uint64_t dimensions = 0;
  Metric metric = Metric::L2;
  IndexType index_type = IndexType::Flat;
  std::optional<HnswConfig> hnsw_config;
  std::uint64_t wal_compact_threshold = kDefaultWalCompactThreshold;
  std::optional<std::uint64_t> auto_promote_threshold;
  std::optional<HnswConfig> promotion_hnsw_config;
  std::optional<std::string> embedding_model;
  std::optional<IvfConfig> ivf_config;
  std::optional<IvfPqConfig> ivf_pq_config;
  std::optional<std::string> faiss_factory;

  // The metadata of a newly created collection: the threshold 50000 and the default parameter
  // record of `index_type` (HNSW, IVF or IVF-PQ only); every other optional field absent.
  static CollectionMeta for_new_collection(std::string name, std::uint64_t dimensions,
                                           Metric metric, IndexType index_type);

  // The text of "meta.json": pretty JSON with a two-space indent, the members in declared order,
  // absent optional members left out, no final line feed. Cannot fail.
  std::string to_json() const;

  // Parses the whole content of a "meta.json": an object (members in any order, unknown keys
  // skipped, a repeated field refused, `name`, `dimensions`, `metric` and `index_type` required and
  // tested in that order once the object has ended) or an array of the field values in declared
  // order (the first four required, later ones may be left off from the end). Failure:
  // Serialization "{message} at line {} column {}" with the first broken rule as it is met.
  static Result<CollectionMeta> from_json(std::string_view text);

  friend bool operator==(const CollectionMeta& a, const CollectionMeta& b);
};

}  // namespace sorvel
