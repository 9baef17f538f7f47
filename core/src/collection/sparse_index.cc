#include "collection/sparse_index.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "check.h"
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

// The pairs of a vector: what its lists pair up.
std::size_t pair_count(const SparseVector& v) {
  return std::min(v.indices.size(), v.values.size());
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
  if (const auto it = vectors_.find(id); it != vectors_.end() && holds(it->second, id, vector)) {
    return;
  }
  remove(id);
  const std::size_t pairs = pair_count(vector);
  Stored stored{std::move(vector), nullptr};
  if (pairs > 0) stored.positions = std::make_unique_for_overwrite<std::uint32_t[]>(pairs);
  for (std::size_t i = 0; i < pairs; ++i) {
    PostingList& list = postings_[stored.vector.indices[i]];
    SORVEL_CHECK(list.size() < kNoPosition, "sparse posting list of 2^32 - 1 entries");
    stored.positions[i] = static_cast<std::uint32_t>(list.size());
    list.push_back(PostingEntry{id, stored.vector.values[i]});
  }
  vectors_.insert_or_assign(id, std::move(stored));
}

void SparseIndex::remove(std::uint64_t id) {
  const auto it = vectors_.find(id);
  if (it == vectors_.end()) return;
  Stored stored = std::move(it->second);
  vectors_.erase(it);
  const std::size_t pairs = pair_count(stored.vector);
  for (std::size_t i = 0; i < pairs; ++i) {
    ++removal_steps_;
    const std::uint32_t position = stored.positions[i];
    if (position == kNoPosition) continue;
    const auto list = postings_.find(stored.vector.indices[i]);
    SORVEL_CHECK(list != postings_.end() && position < list->second.size(),
                 "sparse entry position outside its list");
    erase_entry(list, position, id, stored);
  }
}

void SparseIndex::erase_entry(std::unordered_map<std::uint32_t, PostingList>::iterator list_it,
                              std::uint32_t position, std::uint64_t removing_id, Stored& removing) {
  PostingList& list = list_it->second;
  const auto last = static_cast<std::uint32_t>(list.size() - 1);
  if (position != last) {
    const PostingEntry moved = list[last];
    list[position] = moved;
    const std::uint64_t moved_id = moved.id;
    Stored* owner = &removing;
    if (moved_id != removing_id) {
      const auto found = vectors_.find(moved_id);
      owner = found == vectors_.end() ? nullptr : &found->second;
    }
    // An entry that no pair accounts for (from a foreign "sparse.bin") has no slot to follow it.
    if (owner != nullptr) {
      if (std::uint32_t* slot = slot_at(*owner, list_it->first, last)) *slot = position;
    }
  }
  list.pop_back();
  if (list.empty()) postings_.erase(list_it);
}

bool SparseIndex::holds(const Stored& stored, std::uint64_t id, const SparseVector& vector) const {
  if (!(stored.vector == vector)) return false;
  const std::size_t pairs = pair_count(vector);
  for (std::size_t i = 0; i < pairs; ++i) {
    const std::uint32_t position = stored.positions[i];
    if (position == kNoPosition) return false;
    const auto list = postings_.find(vector.indices[i]);
    if (list == postings_.end() || position >= list->second.size()) return false;
    const PostingEntry& entry = list->second[position];
    const float weight = entry.weight;  // a packed field: copied
    if (entry.id != id ||
        std::bit_cast<std::uint32_t>(weight) != std::bit_cast<std::uint32_t>(vector.values[i])) {
      return false;
    }
  }
  return true;
}

std::uint32_t* SparseIndex::slot_at(Stored& stored, std::uint32_t term, std::uint32_t position) {
  const std::vector<std::uint32_t>& indices = stored.vector.indices;
  const std::size_t pairs = pair_count(stored.vector);
  // Vectors built from callers have ascending indices: a binary search finds the pair. It never
  // reads outside the pairs, whatever their order, and the answer is checked.
  std::size_t lo = 0;
  std::size_t hi = pairs;
  while (lo < hi) {
    ++removal_steps_;
    const std::size_t mid = lo + (hi - lo) / 2;
    if (indices[mid] < term) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo < pairs && indices[lo] == term && stored.positions[lo] == position) {
    return &stored.positions[lo];
  }
  // Unordered or repeated indices (a decoded vector is taken as it is): every pair is looked at.
  for (std::size_t i = 0; i < pairs; ++i) {
    ++removal_steps_;
    if (indices[i] == term && stored.positions[i] == position) return &stored.positions[i];
  }
  return nullptr;
}

const SparseVector* SparseIndex::find(std::uint64_t id) const {
  const auto it = vectors_.find(id);
  return it == vectors_.end() ? nullptr : &it->second.vector;
}

const SparseIndex::PostingList* SparseIndex::postings(std::uint32_t term) const {
  const auto it = postings_.find(term);
  return it == postings_.end() ? nullptr : &it->second;
}

std::vector<std::uint8_t> SparseIndex::encode() const {
  std::size_t size = 8 + 8;
  for (const auto& [term, list] : postings_) size += 4 + 8 + sizeof(PostingEntry) * list.size();
  for (const auto& [id, stored] : vectors_) size += 8 + vector_bytes(stored.vector);
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
  for (const auto& [id, stored] : vectors_) {
    p = put<std::uint64_t>(p, id);
    p = put_vector(p, stored.vector);
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
    if (list.size() >= kNoPosition) {
      return DbError::serialization("sparse posting list of 2^32 - 1 entries or more");
    }
    index.postings_.insert_or_assign(term, std::move(list));
  }
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t vector_count, in.length());
  index.vectors_.reserve(Decoder::reserve_count(vector_count, kVectorNodeBytes));
  for (std::uint64_t v = 0; v < vector_count; ++v) {
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t id, in.u64());
    SORVEL_ASSIGN_OR_RETURN(SparseVector vector, decode_vector(in));
    index.vectors_.insert_or_assign(id, Stored{std::move(vector), nullptr});
  }

  // Each pair takes the first entry of its id in its term's list that no other pair took, as a
  // removal that scanned the list would find it.
  for (auto& [id, stored] : index.vectors_) {
    const std::size_t pairs = pair_count(stored.vector);
    if (pairs == 0) continue;
    stored.positions = std::make_unique_for_overwrite<std::uint32_t[]>(pairs);
    std::fill_n(stored.positions.get(), pairs, kNoPosition);
  }
  for (const auto& [term, list] : index.postings_) {
    for (std::size_t p = 0; p < list.size(); ++p) {
      const std::uint64_t id = list[p].id;  // a packed field: copied, never bound to a reference
      const auto found = index.vectors_.find(id);
      if (found == index.vectors_.end()) continue;
      if (std::uint32_t* slot = index.slot_at(found->second, term, kNoPosition)) {
        *slot = static_cast<std::uint32_t>(p);
      }
    }
  }
  index.removal_steps_ = 0;
  return index;
}

}  // namespace sorvel
