#include "collection/sparse_index.h"

#include <algorithm>
#include <cstring>

#include "encoding.h"
#include "posix_file.h"

namespace sorvel {

namespace {

// Room one map entry takes, for the 1 MiB reservation rule: the node, its key and value, and the
// bucket pointer.
constexpr std::size_t kPostingNodeBytes = 64;
constexpr std::size_t kVectorNodeBytes = 80;

// Appends raw little-endian bytes at `p`; the caller sized the buffer.
template <class T>
std::uint8_t* put(std::uint8_t* p, const T& value) {
  std::memcpy(p, &value, sizeof(T));
  return p + sizeof(T);
}

std::size_t vector_bytes(const SparseVector& v) {
  return 16 + 4 * v.indices.size() + 4 * v.values.size();
}

std::uint8_t* put_vector(std::uint8_t* p, const SparseVector& v) {
  p = put<std::uint64_t>(p, v.indices.size());
  if (!v.indices.empty()) std::memcpy(p, v.indices.data(), 4 * v.indices.size());
  p += 4 * v.indices.size();
  p = put<std::uint64_t>(p, v.values.size());
  if (!v.values.empty()) std::memcpy(p, v.values.data(), 4 * v.values.size());
  return p + 4 * v.values.size();
}

Result<SparseVector> decode_vector(Decoder& in) {
  SparseVector v;
  SORVEL_ASSIGN_OR_RETURN(v.indices, in.u32_seq());
  SORVEL_ASSIGN_OR_RETURN(v.values, in.f32_seq());
  return v;
}

}  // namespace

std::vector<std::uint8_t> SparseVector::encode() const {
  std::vector<std::uint8_t> out(vector_bytes(*this));
  put_vector(out.data(), *this);
  return out;
}

Result<SparseVector> SparseVector::decode(std::span<const std::uint8_t> bytes) {
  Decoder in = Decoder::from_memory(bytes);
  return decode_vector(in);
}

bool operator==(const SparseVector& a, const SparseVector& b) {
  return a.indices == b.indices && a.values.size() == b.values.size() &&
         (a.values.empty() ||
          std::memcmp(a.values.data(), b.values.data(), 4 * a.values.size()) == 0);
}

void SparseIndex::insert(std::uint64_t id, SparseVector vector) {
  remove(id);
  const std::size_t pairs = std::min(vector.indices.size(), vector.values.size());
  for (std::size_t i = 0; i < pairs; ++i) {
    postings_[vector.indices[i]].push_back(PostingEntry{id, vector.values[i]});
  }
  vectors_.insert_or_assign(id, std::move(vector));
}

void SparseIndex::remove(std::uint64_t id) {
  const auto it = vectors_.find(id);
  if (it == vectors_.end()) return;
  const SparseVector vector = std::move(it->second);
  vectors_.erase(it);
  // Every index, not only the paired ones: a list holds at most what the pairs put there.
  for (const std::uint32_t term : vector.indices) {
    const auto list_it = postings_.find(term);
    if (list_it == postings_.end()) continue;
    PostingList& list = list_it->second;
    const auto entry =
        std::find_if(list.begin(), list.end(), [id](const PostingEntry& e) { return e.id == id; });
    if (entry == list.end()) continue;
    *entry = list.back();
    list.pop_back();
    if (list.empty()) postings_.erase(list_it);
  }
}

const SparseVector* SparseIndex::find(std::uint64_t id) const {
  const auto it = vectors_.find(id);
  return it == vectors_.end() ? nullptr : &it->second;
}

const SparseIndex::PostingList* SparseIndex::postings(std::uint32_t term) const {
  const auto it = postings_.find(term);
  return it == postings_.end() ? nullptr : &it->second;
}

std::vector<std::uint8_t> SparseIndex::encode() const {
  std::size_t size = 8 + 8;
  for (const auto& [term, list] : postings_) size += 4 + 8 + sizeof(PostingEntry) * list.size();
  for (const auto& [id, vector] : vectors_) size += 8 + vector_bytes(vector);
  std::vector<std::uint8_t> out(size);
  std::uint8_t* p = out.data();
  p = put<std::uint64_t>(p, postings_.size());
  for (const auto& [term, list] : postings_) {
    p = put<std::uint32_t>(p, term);
    p = put<std::uint64_t>(p, list.size());
    if (!list.empty()) std::memcpy(p, list.data(), sizeof(PostingEntry) * list.size());
    p += sizeof(PostingEntry) * list.size();
  }
  p = put<std::uint64_t>(p, vectors_.size());
  for (const auto& [id, vector] : vectors_) {
    p = put<std::uint64_t>(p, id);
    p = put_vector(p, vector);
  }
  return out;
}

Result<> SparseIndex::write_file(const std::string& path) const {
  return replace_file(path, encode());
}

Result<SparseIndex> SparseIndex::read_file(std::span<const std::uint8_t> bytes) {
  Decoder in = Decoder::from_memory(bytes);
  SparseIndex index;
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t list_count, in.length());
  index.postings_.reserve(Decoder::reserve_count(list_count, kPostingNodeBytes));
  for (std::uint64_t l = 0; l < list_count; ++l) {
    SORVEL_ASSIGN_OR_RETURN(const std::uint32_t term, in.u32());
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t entries, in.length());
    // The entries are stored exactly as they lie in memory: read them in chunks that never run
    // more than the reservation ahead of the bytes actually present.
    PostingList list;
    const std::size_t chunk = Decoder::reserve_count(entries, sizeof(PostingEntry));
    list.reserve(chunk);
    for (std::uint64_t left = entries; left > 0;) {
      const std::size_t n = left < chunk ? static_cast<std::size_t>(left) : chunk;
      const std::size_t old = list.size();
      list.resize(old + n);
      SORVEL_TRY(in.raw(list.data() + old, n * sizeof(PostingEntry)));
      left -= n;
    }
    index.postings_.insert_or_assign(term, std::move(list));
  }
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t vector_count, in.length());
  index.vectors_.reserve(Decoder::reserve_count(vector_count, kVectorNodeBytes));
  for (std::uint64_t v = 0; v < vector_count; ++v) {
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t id, in.u64());
    SORVEL_ASSIGN_OR_RETURN(SparseVector vector, decode_vector(in));
    index.vectors_.insert_or_assign(id, std::move(vector));
  }
  return index;
}

}  // namespace sorvel
