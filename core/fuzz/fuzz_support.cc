#include "fuzz_support.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unordered_set>

namespace sorvel::fuzz {
namespace {

namespace fs = std::filesystem;

std::string make_scratch_dir() {
  std::string base = "/dev/shm";
  if (access(base.c_str(), W_OK) != 0) {
    const char* tmp = std::getenv("TMPDIR");
    base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  }
  std::string dir = base + "/sorvel-fuzz-" + std::to_string(getpid());
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir, ec);
  if (ec) finding("cannot create the scratch directory " + dir + ": " + ec.message());
  return dir;
}

void remove_scratch_dir() {
  std::error_code ec;
  fs::remove_all(scratch_dir(), ec);
}

}  // namespace

void finding(const std::string& what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

const std::string& scratch_dir() {
  // Never destroyed: the exit handler that removes the directory still reads it.
  static const std::string* dir = [] {
    auto* d = new std::string(make_scratch_dir());
    std::atexit(remove_scratch_dir);
    return d;
  }();
  return *dir;
}

const std::string& fresh_scratch() {
  const std::string& dir = scratch_dir();
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) fs::remove_all(e.path(), ec);
  return dir;
}

std::string scratch_path(std::string_view name) { return scratch_dir() + "/" + std::string(name); }

std::string write_scratch(std::string_view name, std::span<const std::uint8_t> bytes) {
  const std::string path = scratch_path(name);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) finding("cannot create " + path);
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    finding("cannot write " + path);
  }
  std::fclose(f);
  return path;
}

std::vector<std::uint8_t> read_scratch(std::string_view name) {
  std::ifstream in(scratch_path(name), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void expect_refusal(const DbError& error) {
  if (error.kind() != ErrorKind::Serialization) finding("refused with " + error.debug());
}

Snapshot snapshot_of(const VectorIndex& index) {
  const std::size_t dims = index.header().dimensions;
  std::vector<std::pair<std::uint64_t, std::vector<std::uint32_t>>> items;
  std::unique_ptr<IndexIterator> it = index.iter();
  while (std::optional<IndexItem> item = it->next()) {
    FUZZ_EXPECT(item->vector.size() == dims);
    FUZZ_EXPECT(items.size() < index.len());
    std::vector<std::uint32_t> bits(dims);
    for (std::size_t i = 0; i < dims; ++i) bits[i] = std::bit_cast<std::uint32_t>(item->vector[i]);
    items.emplace_back(item->id, std::move(bits));
  }
  FUZZ_EXPECT(items.size() == index.len());
  std::sort(items.begin(), items.end());
  // No index holds two live vectors for one id.
  FUZZ_EXPECT(std::adjacent_find(items.begin(), items.end(), [](const auto& a, const auto& b) {
                return a.first == b.first;
              }) == items.end());
  Snapshot s;
  for (auto& [id, bits] : items) {
    s.ids.push_back(id);
    s.bits.push_back(std::move(bits));
  }
  return s;
}

namespace {

// Hits: at most k, ascending (NaN after every number), each a live id the filter accepts.
void check_hits(const std::vector<SearchHit>& hits, std::size_t k, std::size_t len, SearchKind kind,
                const std::unordered_set<std::uint64_t>& live, bool (*accept)(std::uint64_t)) {
  FUZZ_EXPECT(hits.size() <= std::min(k, len));
  if (kind == SearchKind::kExact && accept == nullptr) FUZZ_EXPECT(hits.size() == std::min(k, len));
  for (std::size_t i = 0; i < hits.size(); ++i) {
    FUZZ_EXPECT(live.contains(hits[i].id));
    if (accept != nullptr) FUZZ_EXPECT(accept(hits[i].id));
    if (i > 0 && !std::isnan(hits[i].distance)) {
      FUZZ_EXPECT(!std::isnan(hits[i - 1].distance));
      FUZZ_EXPECT(!(hits[i].distance < hits[i - 1].distance));
    }
  }
}

bool odd_id(std::uint64_t id) { return id % 2 == 1; }

void search_and_check(const VectorIndex& index, std::span<const float> query, SearchKind kind) {
  const Snapshot s = snapshot_of(index);
  const std::unordered_set<std::uint64_t> live(s.ids.begin(), s.ids.end());
  for (const std::size_t k : {std::size_t{1}, std::size_t{5}, index.len() + 1}) {
    Result<std::vector<SearchHit>> hits = index.search(query, k);
    FUZZ_EXPECT(hits.has_value());
    check_hits(*hits, k, index.len(), kind, live, nullptr);
  }
  const auto is_odd = [](std::uint64_t id) { return odd_id(id); };
  const IdFilter accept(is_odd);
  Result<std::vector<SearchHit>> filtered = index.search_filtered(query, 3, accept);
  FUZZ_EXPECT(filtered.has_value());
  check_hits(*filtered, 3, index.len(), kind, live, odd_id);
}

}  // namespace

void exercise(VectorIndex& index, SearchKind kind) {
  const std::size_t dims = index.header().dimensions;
  const Snapshot before = snapshot_of(index);
  if (dims >= kMaxExerciseDimensions) return;

  // A query of the wrong length is refused (or, by an empty compressed index, answered with
  // nothing).
  const std::vector<float> wrong(dims + 1, 0.5f);
  Result<std::vector<SearchHit>> refused = index.search(wrong, 3);
  FUZZ_EXPECT(refused ? refused->empty() : refused.error().kind() == ErrorKind::DimensionMismatch);

  std::vector<float> query(dims, 0.25f);
  if (!before.ids.empty()) {
    for (std::size_t i = 0; i < dims; ++i) query[i] = std::bit_cast<float>(before.bits[0][i]);
  }
  search_and_check(index, query, kind);

  // Remove the first id, add a new one, search again.
  const std::size_t len = index.len();
  if (!before.ids.empty()) {
    FUZZ_EXPECT(index.remove(before.ids.front()));
    FUZZ_EXPECT(index.len() < len);
    FUZZ_EXPECT(!index.remove(before.ids.front()));
  }
  std::uint64_t fresh = 0x5eed;
  while (std::binary_search(before.ids.begin(), before.ids.end(), fresh)) ++fresh;
  const std::size_t len_before_add = index.len();
  Result<> added = index.add(fresh, query);
  FUZZ_EXPECT(added.has_value());
  FUZZ_EXPECT(index.len() == len_before_add + 1);
  search_and_check(index, query, kind);
}

}  // namespace sorvel::fuzz
