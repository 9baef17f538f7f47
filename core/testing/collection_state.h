#pragma once

// Test-only helpers for collection tests (header-only: they use the collection module, which the
// testing library does not link).

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "collection/wal.h"
#include "testing/test_data.h"

namespace sorvel::testing {

// Everything a collection holds, in a comparable form: vectors as the index yields them, payloads
// as compact text, sparse vectors.
struct CollectionState {
  std::map<std::uint64_t, std::vector<float>> vectors;
  std::map<std::uint64_t, std::string> payloads;
  std::map<std::uint64_t, SparseVector> sparse;

  bool operator==(const CollectionState&) const = default;
};

inline CollectionState capture(const Collection& c) {
  CollectionState s;
  const auto it = c.index().iter();
  while (auto item = it->next()) s.vectors[item->id] = std::move(item->vector);
  for (const auto& [id, p] : c.payloads()) s.payloads[id] = p.to_compact_text();
  c.sparse().for_each_vector([&](std::uint64_t id, const SparseVector& v) { s.sparse[id] = v; });
  return s;
}

// A short form for failure messages: the sizes and the first few entries of each part.
inline std::ostream& operator<<(std::ostream& os, const CollectionState& s) {
  constexpr std::size_t kShown = 4;
  os << "{" << s.vectors.size() << " vectors:";
  std::size_t shown = 0;
  for (const auto& [id, v] : s.vectors) {
    if (shown++ == kShown) break;
    os << " " << id << "[";
    for (float f : v) os << f << ",";
    os << "]";
  }
  os << " " << s.payloads.size() << " payloads:";
  shown = 0;
  for (const auto& [id, p] : s.payloads) {
    if (shown++ == kShown) break;
    os << " " << id << "=" << p;
  }
  os << " " << s.sparse.size() << " sparse:";
  shown = 0;
  for (const auto& [id, v] : s.sparse) {
    if (shown++ == kShown) break;
    os << " " << id << "(" << v.indices.size() << ")";
  }
  return os << "}";
}

// The first id at which two states differ, for failure messages.
inline std::string first_difference(const CollectionState& a, const CollectionState& b) {
  for (const auto& [id, v] : a.vectors) {
    if (!b.vectors.contains(id)) return "vector " + std::to_string(id) + " only left";
    if (b.vectors.at(id) != v) return "vector " + std::to_string(id) + " differs";
  }
  for (const auto& [id, v] : b.vectors) {
    if (!a.vectors.contains(id)) return "vector " + std::to_string(id) + " only right";
  }
  for (const auto& [id, p] : a.payloads) {
    if (!b.payloads.contains(id)) return "payload " + std::to_string(id) + " only left: " + p;
    if (b.payloads.at(id) != p)
      return "payload " + std::to_string(id) + ": " + p + " vs " + b.payloads.at(id);
  }
  for (const auto& [id, p] : b.payloads) {
    if (!a.payloads.contains(id)) return "payload " + std::to_string(id) + " only right: " + p;
  }
  if (a.sparse != b.sparse) return "sparse vectors differ";
  return "equal";
}

// The record bodies of a log file, in order; stops at the first incomplete record.
inline std::vector<std::vector<std::uint8_t>> log_bodies(const std::string& path) {
  const std::vector<std::uint8_t> bytes = read_file(path);
  std::vector<std::vector<std::uint8_t>> out;
  std::size_t at = 0;
  while (bytes.size() - at >= 4) {
    std::uint32_t length = 0;
    std::memcpy(&length, bytes.data() + at, 4);
    if (bytes.size() - at - 4 < length) break;
    out.emplace_back(bytes.begin() + at + 4, bytes.begin() + at + 4 + length);
    at += 4 + length;
  }
  return out;
}

// A record as the file holds it: u32 length, then the body.
inline std::vector<std::uint8_t> framed(const std::vector<std::uint8_t>& body) {
  std::vector<std::uint8_t> out(4 + body.size());
  const auto length = static_cast<std::uint32_t>(body.size());
  std::memcpy(out.data(), &length, 4);
  if (!body.empty()) std::memcpy(out.data() + 4, body.data(), body.size());
  return out;
}

inline std::vector<std::uint8_t> framed(const WalEntry& entry) { return framed(entry.encode()); }

inline void append_bytes(std::vector<std::uint8_t>& to, const std::vector<std::uint8_t>& bytes) {
  to.insert(to.end(), bytes.begin(), bytes.end());
}

}  // namespace sorvel::testing
