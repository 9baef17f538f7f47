#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "result.h"

namespace sorvel {

// A sparse vector: weights[i] belongs to term indices[i]. Vectors built from callers have lists of
// equal length with distinct, ascending indices; a decoded vector is taken as it is, and whatever
// pairs the two lists walks the first min(len(indices), len(values)) pairs.
//
// Byte form (little-endian, no padding), 16 + 4n + 4m bytes:
//   offset 0       u64 n, the number of indices
//   offset 8       n x u32 index
//   offset 8+4n    u64 m, the number of values
//   offset 16+4n   m x f32 value (bit pattern kept)
struct SparseVector {
  std::vector<std::uint32_t> indices;
  std::vector<float> values;

  // The byte form, allocated at its exact size.
  std::vector<std::uint8_t> encode() const;
  // Reads the byte form from the start of `bytes`; bytes after it are ignored. Serialization with
  // the decoder's premature-end text when the bytes end early; a count larger than the bytes
  // reserves at most 1 MiB before that is found.
  static Result<SparseVector> decode(std::span<const std::uint8_t> bytes);

  // Bitwise equality of both lists (NaN weights compare by their bits).
  friend bool operator==(const SparseVector& a, const SparseVector& b);
};

// One entry of a posting list: 12 bytes, so a list is a contiguous run of (id, weight) pairs.
#pragma pack(push, 1)
struct PostingEntry {
  std::uint64_t id;
  float weight;
};
#pragma pack(pop)
static_assert(sizeof(PostingEntry) == 12);

// The sparse vectors of one collection: the forward map id -> vector and the inverted index term ->
// the (id, weight) entries of the vectors that use it. For vectors with distinct indices, every
// pair (t, w) of a stored vector of id has exactly one entry (id, w) in the list of t, and no list
// is empty. Not thread-safe: the owner serialises changes against reads.
//
// Each stored vector keeps, per pair, the position of its entry in its term's list, so a removal
// goes straight to its entries: it costs about the number of the vector's pairs (a binary search
// of the moved entry's vector per pair), whatever the lengths of the lists. A removal moves the
// list's last entry into the freed slot; for vectors with distinct indices the lists therefore end
// exactly as a removal that scanned them for the id's entry would leave them. The positions cost 4
// bytes per pair beside the 12 of its entry and the 8 of the pair itself.
//
// "sparse.bin" (little-endian, no header), entries in each map's iteration order:
//   offset 0   u64 P, the number of posting lists
//   then       P x { u32 term, u64 c, c x { u64 id, f32 weight } }   (12 + 12c bytes each)
//   then       u64 V, the number of stored vectors
//   then       V x { u64 id, the SparseVector byte form }
class SparseIndex {
 public:
  using PostingList = std::vector<PostingEntry>;

  // Stores `vector` for `id`, replacing an earlier one: the earlier vector's entries are removed
  // first, then one entry per pair is appended to the end of its term's list. When the id already
  // holds this very vector (bit for bit) with every entry in place, nothing changes and its
  // entries keep their places: the log replay re-applies every record of a compacted log on top
  // of "sparse.bin", which holds them already, at about a lookup per pair. Never fails (a list of
  // 2^32 - 1 entries is an InvariantFailure).
  void insert(std::uint64_t id, SparseVector vector);
  // Forgets the vector of `id`, if any: each entry its pairs put into a list is replaced by the
  // list's last entry and the list shortened; an emptied list is removed. Never fails.
  void remove(std::uint64_t id);

  // The number of stored vectors.
  std::size_t len() const { return vectors_.size(); }
  bool is_empty() const { return vectors_.empty(); }
  // The stored vector of `id`, or null.
  const SparseVector* find(std::uint64_t id) const;
  // The posting list of `term`, or null.
  const PostingList* postings(std::uint32_t term) const;
  const std::unordered_map<std::uint32_t, PostingList>& posting_lists() const { return postings_; }
  // Calls f(id, vector) for every stored vector, in the map's iteration order.
  template <class F>
  void for_each_vector(F&& f) const {
    for (const auto& [id, stored] : vectors_) f(id, stored.vector);
  }
  // The steps removals took so far (a pair's entry taken out, a slot of the moved entry's vector
  // compared): what tests and benchmarks read to see that a removal's cost does not follow the
  // lengths of the lists.
  std::uint64_t removal_steps() const { return removal_steps_; }

  // The "sparse.bin" image, built in one buffer of its exact size.
  std::vector<std::uint8_t> encode() const;
  // Writes the image to `path` through replace_file (posix_file.h: a regular file is replaced by a
  // synced temporary renamed over it), so a failed write leaves the previous file as it was. Io on
  // failure.
  Result<> write_file(const std::string& path) const;
  // Decodes a "sparse.bin" image. A later list of a repeated term, or a later vector of a repeated
  // id, replaces the earlier one; nothing cross-checks the two parts (an entry that no pair of its
  // id's vector accounts for stays in its list, and no removal takes it out); bytes after the last
  // vector are ignored. Serialization when the image ends early or holds a list of 2^32 - 1
  // entries or more; no list or map reserves more than about 1 MiB ahead of the bytes actually
  // read. Linear in the image: each entry costs one lookup of its id.
  static Result<SparseIndex> read_file(std::span<const std::uint8_t> bytes);

 private:
  // Where a pair has no entry: a "sparse.bin" whose lists miss it.
  static constexpr std::uint32_t kNoPosition = 0xFFFFFFFFu;

  // A stored vector and, for each of its pairs i, the position of the entry (id, values[i]) in the
  // list of indices[i], or kNoPosition.
  struct Stored {
    SparseVector vector;
    std::unique_ptr<std::uint32_t[]> positions;
  };
  using VectorMap = std::unordered_map<std::uint64_t, Stored>;

  // Whether `stored`, the vector of `id`, is `vector` bit for bit and each of its pairs has its
  // entry, with its weight, in place.
  bool holds(const Stored& stored, std::uint64_t id, const SparseVector& vector) const;
  // The slot of `stored`'s positions that holds `position` for `term`, or null.
  std::uint32_t* slot_at(Stored& stored, std::uint32_t term, std::uint32_t position);
  // Takes the entry at `position` out of the list at `list`, moving the last entry in; the moved
  // entry's slot is found in `removing` when the entry is `removing_id`'s (already out of the map),
  // else in the map.
  void erase_entry(std::unordered_map<std::uint32_t, PostingList>::iterator list,
                   std::uint32_t position, std::uint64_t removing_id, Stored& removing);

  std::unordered_map<std::uint32_t, PostingList> postings_;
  VectorMap vectors_;
  std::uint64_t removal_steps_ = 0;
};

}  // namespace sorvel
