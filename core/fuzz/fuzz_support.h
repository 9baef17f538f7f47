#pragma once

// What the fuzz targets share: a scratch directory for the files a loader reads and writes, the
// finding report, and the exercise every loaded index goes through, so that a decoder that
// "succeeds" into a state the index cannot work with is caught as surely as one that crashes.
//
// A finding ends the process with abort(), which libFuzzer reports and saves the input for. An
// InvariantFailure thrown while a target works on its input is a finding too: no file may ever
// raise one in the interpreter.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "check.h"
#include "db_error.h"
#include "index/vector_index.h"

namespace sorvel::fuzz {

// Reports `what` on stderr and aborts.
[[noreturn]] void finding(const std::string& what);

#define FUZZ_EXPECT(cond)                                                            \
  do {                                                                               \
    if (!(cond)) [[unlikely]]                                                        \
      ::sorvel::fuzz::finding(std::string(__FILE__ ":") + std::to_string(__LINE__) + \
                              ": expected " #cond);                                  \
  } while (0)

// Runs `body` on one input; an InvariantFailure escaping it is a finding. std::bad_alloc is the
// documented answer to memory that cannot be had (MemoryError in Python), not a finding; an
// allocation beyond the fuzzer's malloc limit is reported by libFuzzer before it could be thrown.
template <class Body>
int run_input(const Body& body) {
  try {
    body();
  } catch (const InvariantFailure& e) {
    finding(std::string("InvariantFailure: ") + e.what());
  } catch (const std::bad_alloc&) {
  }
  return 0;
}

// A directory of this process (under /dev/shm when it exists, else $TMPDIR or /tmp), emptied by
// every call of fresh() and removed at exit.
const std::string& scratch_dir();
// Empties the scratch directory and returns it.
const std::string& fresh_scratch();
// scratch_dir() + "/" + name.
std::string scratch_path(std::string_view name);
// Writes `bytes` to scratch_path(name) and returns that path.
std::string write_scratch(std::string_view name, std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> read_scratch(std::string_view name);

// The little-endian T at `offset` of an input, or 0 when the input is shorter (for targets that
// take a loader's parameters from the header it is about to read).
template <class T>
T read_field(std::span<const std::uint8_t> bytes, std::size_t offset) {
  T v = 0;
  if (bytes.size() >= offset + sizeof(T)) std::memcpy(&v, bytes.data() + offset, sizeof(T));
  return v;
}

// Vectors longer than this are not built for searches and adds (a header may name any dimension).
inline constexpr std::size_t kMaxExerciseDimensions = 4096;

// The live items of `index`, sorted by id, with their vectors' bit patterns. Checks that the
// iteration yields len() items, each of the header's dimension.
struct Snapshot {
  std::vector<std::uint64_t> ids;
  std::vector<std::vector<std::uint32_t>> bits;  // per id, the vector's bit patterns
  bool operator==(const Snapshot&) const = default;
};
Snapshot snapshot_of(const VectorIndex& index);

enum class SearchKind {
  kExact,        // every search returns min(k, len) hits
  kApproximate,  // at most that many
};

// Searches, filtered searches, a wrong-length query, a remove and an add on a loaded index, each
// checked against the interface's contract.
void exercise(VectorIndex& index, SearchKind kind);

// A loader refused its input: the only acceptable way is a Serialization error.
void expect_refusal(const DbError& error);

// Saves `index` with save_file, loads it back with Index::load_file and checks that the same
// items come back.
template <class Index>
void expect_round_trip(const Index& index) {
  const std::string path = scratch_path("round-trip");
  Result<> saved = index.save_file(path);
  FUZZ_EXPECT(saved.has_value());
  Result<Index> again = Index::load_file(path);
  FUZZ_EXPECT(again.has_value());
  FUZZ_EXPECT(snapshot_of(*again) == snapshot_of(index));
}

// The whole treatment of one standalone index file: load it; a refusal must be a Serialization
// error; otherwise the loaded index must round-trip, work through exercise(), and round-trip again
// after the changes exercise() made.
template <class Index>
void fuzz_index_file(std::span<const std::uint8_t> bytes, SearchKind kind) {
  fresh_scratch();
  Result<Index> loaded = Index::load_file(write_scratch("input", bytes));
  if (!loaded) {
    expect_refusal(loaded.error());
    return;
  }
  expect_round_trip(*loaded);
  exercise(*loaded, kind);
  expect_round_trip(*loaded);
}

}  // namespace sorvel::fuzz
