#pragma once

// Test-only checks shared by the tests of index kinds that have a file of their own: loading
// hand-built records that disagree in one field, loading cut files, and comparing an index with its
// reloaded copy. Header-only: the templates take each index kind's loader.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "index/vector_index.h"
#include "testing/test_data.h"

namespace sorvel::testing {

// Row i of a row-major matrix of d columns; `data` must outlive the span.
inline std::span<const float> row(const std::vector<float>& data, std::size_t i, std::size_t d) {
  return std::span<const float>(data).subspan(i * d, d);
}

// The same hits: equal lengths, and at every rank the same id with a bit-identical distance.
inline void expect_same_hits(const std::vector<SearchHit>& a, const std::vector<SearchHit>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].id, b[i].id) << i;
    EXPECT_EQ(a[i].distance, b[i].distance) << i;
  }
}

// Both iterations yield the same items in the same order and end together.
inline void expect_same_items(const VectorIndex& a, const VectorIndex& b) {
  auto left = a.iter();
  auto right = b.iter();
  std::size_t at = 0;
  while (auto item = left->next()) {
    const auto other = right->next();
    ASSERT_TRUE(other.has_value()) << "the second iteration ends at " << at;
    EXPECT_EQ(item->id, other->id) << at;
    EXPECT_EQ(item->vector, other->vector) << at;
    ++at;
  }
  EXPECT_FALSE(right->next().has_value()) << "the second iteration goes on after " << at;
}

// One hand-built file: `change` makes a consistent `Record` (one with encode() giving the file's
// bytes) disagree in a field; `error` is the whole display text of the refusal, "" when the changed
// record still loads.
template <class Record>
struct RecordCase {
  const char* name;
  std::function<void(Record&)> change;
  const char* error;
};

// For each case: writes Record{} changed by the case to `path` and loads it with `load` (a function
// of the path giving a Result of the index). A refusal must carry the case's text; an index that
// loads goes to `check(index, case name)`.
template <class Record, class Load, class Check>
void expect_record_outcomes(const std::string& path, const std::vector<RecordCase<Record>>& cases,
                            Load load, Check check) {
  for (const RecordCase<Record>& c : cases) {
    Record record;
    c.change(record);
    write_file(path, record.encode());
    const auto loaded = load(path);
    if (*c.error == '\0') {
      ASSERT_TRUE(loaded.has_value()) << c.name << ": " << loaded.error().display();
      check(*loaded, c.name);
    } else {
      ASSERT_FALSE(loaded.has_value()) << c.name;
      EXPECT_EQ(loaded.error().display(), c.error) << c.name;
    }
  }
}

// Every strict prefix of the file `bytes` (written to `path`) fails to load with the text of a
// premature end, and `bytes` with a few bytes after its last field loads.
template <class Load>
void expect_cut_files_fail(const std::string& path, const std::vector<std::uint8_t>& bytes,
                           Load load) {
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    write_file(path, cut_to(bytes, size));
    const auto loaded = load(path);
    ASSERT_FALSE(loaded.has_value()) << size;
    EXPECT_EQ(loaded.error().display(),
              "serialization error: io error: failed to fill whole buffer")
        << size;
  }
  std::vector<std::uint8_t> longer = bytes;
  longer.insert(longer.end(), {1, 2, 3});
  write_file(path, longer);
  EXPECT_TRUE(load(path).has_value());
}

}  // namespace sorvel::testing
