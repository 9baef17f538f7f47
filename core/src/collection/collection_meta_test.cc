#include "collection/collection_meta.h"

#include <gtest/gtest.h>

#include <string>

namespace sorvel {
namespace {

constexpr const char* kHnswDocs = R"({
  "name": "docs",
  "dimensions": 384,
  "metric": "cosine",
  "index_type": "hnsw",
  "hnsw_config": {
    "ef_construction": 200,
    "ef_search": 50,
    "m": 12
  },
  "wal_compact_threshold": 50000
})";

constexpr const char* kIvfPqDocs = R"({
  "name": "docs",
  "dimensions": 384,
  "metric": "cosine",
  "index_type": "ivf_pq",
  "wal_compact_threshold": 50000,
  "ivf_pq_config": {
    "n_lists": 256,
    "nprobe": 16,
    "train_size": 4096,
    "max_iter": 10,
    "pq": {
      "m": 8,
      "k_sub": 256,
      "max_iter": 25
    }
  }
})";

constexpr const char* kIvfDocs = R"({
  "name": "docs",
  "dimensions": 384,
  "metric": "cosine",
  "index_type": "ivf",
  "wal_compact_threshold": 50000,
  "ivf_config": {
    "n_lists": 256,
    "nprobe": 16,
    "train_size": 4096,
    "max_iter": 10
  }
})";

constexpr const char* kFlatDocs = R"({
  "name": "docs",
  "dimensions": 384,
  "metric": "l2",
  "index_type": "binary_flat",
  "wal_compact_threshold": 50000
})";

// A minimal file; cases below change one line of it.
constexpr const char* kMinimal = R"({
  "name": "docs",
  "dimensions": 384,
  "metric": "cosine",
  "index_type": "hnsw"
})";

std::string replace_line(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(CollectionMetaTest, WriterProducesTheExactFiles) {
  struct Case {
    IndexType type;
    Metric metric;
    const char* text;
  };
  const Case cases[] = {
      {IndexType::Hnsw, Metric::Cosine, kHnswDocs},
      {IndexType::IvfPq, Metric::Cosine, kIvfPqDocs},
      {IndexType::Ivf, Metric::Cosine, kIvfDocs},
      {IndexType::BinaryFlat, Metric::L2, kFlatDocs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(index_type_json_name(c.type));
    const CollectionMeta meta = CollectionMeta::for_new_collection("docs", 384, c.metric, c.type);
    EXPECT_EQ(meta.to_json(), c.text);
    auto back = CollectionMeta::from_json(c.text);
    ASSERT_TRUE(back.has_value()) << back.error().display();
    EXPECT_TRUE(*back == meta);
  }
}

TEST(CollectionMetaTest, EveryFieldRoundTrips) {
  CollectionMeta meta = CollectionMeta::for_new_collection("q\"t\ta\xc3\xa9\x01", 0,
                                                           Metric::DotProduct, IndexType::Faiss);
  meta.hnsw_config = HnswConfig{1, 2, 3};
  meta.wal_compact_threshold = 18446744073709551615u;
  meta.auto_promote_threshold = 0;
  meta.promotion_hnsw_config = HnswConfig{16, 64, 16};
  meta.embedding_model = "mini\\lm";
  meta.ivf_config = IvfConfig{1, 2, 3, 4};
  meta.ivf_pq_config = IvfPqConfig{5, 6, 7, 8, PqConfig{9, 10, 11}};
  meta.faiss_factory = "IVF4,Flat";
  const std::string text = meta.to_json();
  EXPECT_NE(text.find("\"name\": \"q\\\"t\\ta\xc3\xa9\\u0001\""), std::string::npos) << text;
  EXPECT_EQ(text.back(), '}');
  auto back = CollectionMeta::from_json(text);
  ASSERT_TRUE(back.has_value()) << back.error().display();
  EXPECT_TRUE(*back == meta);
  EXPECT_EQ(back->to_json(), text);
}

TEST(CollectionMetaTest, ReaderAcceptsTheDocumentedForms) {
  struct Case {
    const char* name;
    std::string text;
    std::string rewritten;  // the writer's text for what was read
  };
  const std::string minimal_written = R"({
  "name": "docs",
  "dimensions": 384,
  "metric": "cosine",
  "index_type": "hnsw",
  "wal_compact_threshold": 50000
})";
  const Case cases[] = {
      {"only the four required fields", kMinimal, minimal_written},
      {"null optional record",
       replace_line(kMinimal, "\"hnsw\"", "\"hnsw\", \"hnsw_config\": null"), minimal_written},
      {"reverse order and unknown members",
       R"({"comment": {"a": [1, 2.5e300, "x", null, true, {"b": -1}]},
           "index_type": "hnsw", "metric": "cosine", "dimensions": 384,
           "Name": 5, "name": "docs"})",
       minimal_written},
      {"array form", R"(["docs", 384, "cosine", "hnsw"])", minimal_written},
      {"array form with every field",
       R"(["docs", 384, "cosine", "hnsw", null, 50000, null, null, null, null, null, null])",
       minimal_written},
      {"records in array form",
       R"(["docs", 384, "cosine", "hnsw", [1, 2, 3], 7, 9, null, "m", null, [1, 2, 3, 4, [5, 6, 7]]])",
       R"({
  "name": "docs",
  "dimensions": 384,
  "metric": "cosine",
  "index_type": "hnsw",
  "hnsw_config": {
    "ef_construction": 1,
    "ef_search": 2,
    "m": 3
  },
  "wal_compact_threshold": 7,
  "auto_promote_threshold": 9,
  "embedding_model": "m",
  "ivf_pq_config": {
    "n_lists": 1,
    "nprobe": 2,
    "train_size": 3,
    "max_iter": 4,
    "pq": {
      "m": 5,
      "k_sub": 6,
      "max_iter": 7
    }
  }
})"},
      {"zero dimensions and negative zero", replace_line(kMinimal, "384", "-0"),
       replace_line(minimal_written, "384", "0")},
      {"metric as a unit-variant object",
       replace_line(kMinimal, "\"cosine\"", "{ \"cosine\" : null }"), minimal_written},
      {"faiss index type", replace_line(kMinimal, "\"hnsw\"", "{\"faiss\": null}"),
       replace_line(minimal_written, "\"hnsw\"", "\"faiss\"")},
      {"trailing blanks", std::string(kMinimal) + "\n \t\r\n", minimal_written},
      {"escapes in strings", replace_line(kMinimal, "\"docs\"", R"("d\u00e9\ud83d\ude00\/\n")"),
       replace_line(minimal_written, "\"docs\"", "\"d\xc3\xa9\xf0\x9f\x98\x80/\\n\"")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto meta = CollectionMeta::from_json(c.text);
    ASSERT_TRUE(meta.has_value()) << meta.error().display();
    EXPECT_EQ(meta->to_json(), c.rewritten);
  }
}

TEST(CollectionMetaTest, ReaderMessagesForEachBrokenRule) {
  const std::string ops = "one of `l2`, `cosine`, `dot_product`";
  const std::string types =
      "one of `flat`, `hnsw`, `quantized_flat`, `ivf`, `ivf_pq`, `fp16_flat`, `mmap_flat`, "
      "`binary_flat`, `faiss`";
  const std::string dims = "  \"dimensions\": 384,";
  const std::string metric = "  \"metric\": \"cosine\",";
  const std::pair<std::string, std::string> cases[] = {
      // Top-level value.
      {"", "EOF while parsing a value at line 1 column 0"},
      {"5", "invalid type: integer `5`, expected struct CollectionMeta at line 1 column 1"},
      {"\"docs\"",
       "invalid type: string \"docs\", expected struct CollectionMeta at line 1 column 6"},
      {"null", "invalid type: unit value, expected struct CollectionMeta at line 1 column 4"},
      {std::string(kMinimal) + "x", "trailing characters at line 6 column 2"},
      // Array form.
      {R"(["docs", 384, "cosine"])",
       "invalid length 3, expected struct CollectionMeta with 12 elements at line 1 column 23"},
      {R"(["d",1,"l2","flat",null,1,null,null,null,null,null,null,7])",
       "trailing characters at line 1 column 57"},
      {R"(["d",1,"l2","flat",null,1,null,null,null,null,null,null,])",
       "trailing comma at line 1 column 57"},
      {R"(["d",1,"l2","flat",null,1,null,null,null,null,null,null)",
       "EOF while parsing a list at line 1 column 55"},
      // Object form: duplicates and missing fields.
      {replace_line(kMinimal, dims, "  \"name\": \"x\",\n" + dims),
       "duplicate field `name` at line 3 column 8"},
      {replace_line(kMinimal, dims, "  \"name\" : \"x\",\n" + dims),
       "duplicate field `name` at line 3 column 9"},
      {replace_line(kMinimal, "\"hnsw\"", "\"hnsw\", \"hnsw_config\": null, \"hnsw_config\": 1"),
       "duplicate field `hnsw_config` at line 5 column 58"},
      {R"({"name": "docs", "dimensions": 384})", "missing field `metric` at line 1 column 35"},
      {R"({"dimensions": 384})", "missing field `name` at line 1 column 19"},
      {R"({"name": "d", "dimensions": 1, "metric": "l2", "index_type": "flat",
 "hnsw_config": {"ef_construction": 1, "m": 2}})",
       "missing field `ef_search` at line 2 column 46"},
      // Integers.
      {replace_line(kMinimal, dims, "  \"dimensions\": 384.0,"),
       "invalid type: floating point `384.0`, expected usize at line 3 column 21"},
      {replace_line(kMinimal, dims, "  \"dimensions\": 3e2,"),
       "invalid type: floating point `300.0`, expected usize at line 3 column 19"},
      {replace_line(kMinimal, dims, "  \"dimensions\": -1,"),
       "invalid value: integer `-1`, expected usize at line 3 column 18"},
      {replace_line(kMinimal, dims, "  \"dimensions\": 18446744073709551616,"),
       "invalid type: floating point `18446744073709552000.0`, expected usize at line 3 column "
       "36"},
      {replace_line(kMinimal, dims, "  \"dimensions\": 1e400,"),
       "number out of range at line 3 column 21"},
      {replace_line(kMinimal, dims, "  \"dimensions\": \"384\","),
       "invalid type: string \"384\", expected usize at line 3 column 21"},
      {replace_line(kMinimal, dims, "  \"dimensions\": null,"),
       "invalid type: unit value, expected usize at line 3 column 20"},
      {replace_line(kMinimal, dims, "  \"dimensions\": [384],"),
       "invalid type: sequence, expected usize at line 3 column 16"},
      {replace_line(kMinimal, dims, "  \"dimensions\": true,"),
       "invalid type: boolean `true`, expected usize at line 3 column 20"},
      {replace_line(kMinimal, "\"hnsw\"", "\"hnsw\", \"wal_compact_threshold\": null"),
       "invalid type: unit value, expected usize at line 5 column 53"},
      // Strings.
      {replace_line(kMinimal, "\"docs\"", "5"),
       "invalid type: integer `5`, expected a string at line 2 column 11"},
      {replace_line(kMinimal, "\"docs\"", "\"\xff\""),
       "invalid unicode code point at line 2 column 13"},
      // Enumerations.
      {replace_line(kMinimal, metric, "  \"metric\": \"Cosine\","),
       "unknown variant `Cosine`, expected " + ops + " at line 4 column 20"},
      {replace_line(kMinimal, metric, "  \"metric\": {\"Cosine\": null},"),
       "unknown variant `Cosine`, expected " + ops + " at line 4 column 21"},
      {replace_line(kMinimal, metric, "  \"metric\": {\"cosine\": 1},"),
       "invalid type: integer `1`, expected unit at line 4 column 24"},
      {replace_line(kMinimal, metric, "  \"metric\": {\"cosine\": null, \"l2\": null},"),
       "expected value at line 4 column 27"},
      {replace_line(kMinimal, metric, "  \"metric\": {},"), "expected value at line 4 column 14"},
      {replace_line(kMinimal, metric, "  \"metric\": 3,"), "expected value at line 4 column 13"},
      {replace_line(kMinimal, metric, "  \"metric\": [\"l2\"],"),
       "expected value at line 4 column 13"},
      {replace_line(kMinimal, "\"hnsw\"", "\"HNSW\""),
       "unknown variant `HNSW`, expected " + types + " at line 5 column 22"},
      // Parameter records.
      {replace_line(kMinimal, "\"hnsw\"", "\"hnsw\", \"hnsw_config\": 5"),
       "invalid type: integer `5`, expected struct HnswConfig at line 5 column 40"},
      {replace_line(kMinimal, "\"hnsw\"", "\"hnsw\", \"hnsw_config\": [1, 2]"),
       "invalid length 2, expected struct HnswConfig with 3 elements at line 5 column 45"},
      {replace_line(kMinimal, "\"hnsw\"", "\"hnsw\", \"hnsw_config\": [1, 2, 3, 4]"),
       "trailing characters at line 5 column 50"},
      {replace_line(kMinimal, "\"hnsw\"", "\"hnsw\", \"ivf_config\": \"x\""),
       "invalid type: string \"x\", expected struct IvfConfig at line 5 column 41"},
      {replace_line(kMinimal, "\"hnsw\"",
                    "\"hnsw\", \"ivf_pq_config\": {\"n_lists\": 1, \"nprobe\": 1, "
                    "\"train_size\": 1, \"max_iter\": 1, \"pq\": null}"),
       "invalid type: unit value, expected struct PqConfig at line 5 column 111"},
      // Syntax.
      {R"({"name": "docs",})", "trailing comma at line 1 column 17"},
      {R"({"name" "docs"})", "expected `:` at line 1 column 9"},
      {R"({"comment": [1,})", "expected value at line 1 column 16"},
      {R"({"name": "docs")", "EOF while parsing an object at line 1 column 15"},
      {"{\"x\": " + std::string(200, '['), "recursion limit exceeded at line 1 column 134"},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    auto meta = CollectionMeta::from_json(text);
    ASSERT_FALSE(meta.has_value());
    EXPECT_EQ(meta.error().kind(), ErrorKind::Serialization);
    EXPECT_EQ(meta.error().display(), "serialization error: " + message);
  }
}

TEST(CollectionMetaTest, IndexTypeNames) {
  for (std::size_t i = 0; i < kIndexTypeCount; ++i) {
    const auto type = static_cast<IndexType>(i);
    EXPECT_EQ(index_type_from_json_name(index_type_json_name(type)), type);
  }
  EXPECT_EQ(index_type_from_json_name("Hnsw"), std::nullopt);
  EXPECT_EQ(index_type_debug_name(IndexType::Faiss), "Faiss");
}

}  // namespace
}  // namespace sorvel
