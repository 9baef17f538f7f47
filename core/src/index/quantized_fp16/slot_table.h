#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "check.h"

namespace sorvel {

// The map from vector id to slot of the compressed flat indexes, kept small: one 8-byte bucket
// per entry at a load of 0.35 to 0.7 (11 to 23 bytes per id) instead of a node per entry. A bucket
// holds the slot in its low 40 bits and 24 bits of the id's hash above them, so a probe reads the
// caller's id array only when the tags agree. Linear probing; a removal shifts the following run
// back, so no tombstones build up. The ids live in the caller's array (`ids[slot]`), which every
// call receives. Not thread-safe for writes; lookups may run concurrently.
class SlotTable {
 public:
  static constexpr std::uint64_t kMaxSlots = std::uint64_t{1} << 40;

  // The slot of `id`, if present.
  std::optional<std::size_t> find(std::uint64_t id, const std::uint64_t* ids) const {
    if (buckets_.empty()) return std::nullopt;
    const std::uint64_t h = hash(id);
    const std::uint64_t tag = h >> kSlotBits;
    for (std::size_t b = h & mask_;; b = (b + 1) & mask_) {
      const std::uint64_t v = buckets_[b];
      if (v == kEmpty) return std::nullopt;
      if ((v >> kSlotBits) == tag && ids[v & kSlotMask] == id) return v & kSlotMask;
    }
  }

  // Adds `id` (absent) at `slot`. Grows first; may throw bad_alloc, leaving the table unchanged.
  void insert(std::uint64_t id, std::size_t slot, const std::uint64_t* ids) {
    SORVEL_CHECK(slot < kMaxSlots - 1, "too many vectors for one index");
    reserve(size_ + 1, ids);
    place(id, slot);
    ++size_;
  }

  // Points `id` (present) at `slot`.
  void reassign(std::uint64_t id, std::size_t slot, const std::uint64_t* ids) {
    buckets_[bucket_of(id, ids)] = (hash(id) >> kSlotBits) << kSlotBits | slot;
  }

  // Removes `id` (present).
  void erase(std::uint64_t id, const std::uint64_t* ids) {
    std::size_t hole = bucket_of(id, ids);
    // Backward shift: move later entries of the run into the hole when their home allows it.
    for (std::size_t b = (hole + 1) & mask_;; b = (b + 1) & mask_) {
      const std::uint64_t v = buckets_[b];
      if (v == kEmpty) break;
      const std::size_t home = hash(ids[v & kSlotMask]) & mask_;
      // The entry may move to the hole when the hole lies on its probe path (cyclically between
      // its home and its bucket).
      if (((b - home) & mask_) >= ((b - hole) & mask_)) {
        buckets_[hole] = v;
        hole = b;
      }
    }
    buckets_[hole] = kEmpty;
    --size_;
  }

  // Room for `count` entries without growing. May throw bad_alloc, leaving the table unchanged.
  void reserve(std::size_t count, const std::uint64_t* ids) {
    if (count * 10 <= buckets_.size() * 7) return;
    std::size_t cap = buckets_.empty() ? 16 : buckets_.size();
    while (count * 10 > cap * 7) cap *= 2;
    std::vector<std::uint64_t> old(cap, kEmpty);
    old.swap(buckets_);
    mask_ = cap - 1;
    for (const std::uint64_t v : old) {
      if (v != kEmpty) place(ids[v & kSlotMask], v & kSlotMask);
    }
  }

  std::size_t size() const { return size_; }
  std::size_t bucket_count() const { return buckets_.size(); }

 private:
  static constexpr int kSlotBits = 40;
  static constexpr std::uint64_t kSlotMask = kMaxSlots - 1;
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

  // splitmix64's finaliser: ids are often sequential, and linear probing needs them spread.
  static std::uint64_t hash(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    x ^= x >> 31;
    return x;
  }

  std::size_t bucket_of(std::uint64_t id, const std::uint64_t* ids) const {
    const std::uint64_t h = hash(id);
    const std::uint64_t tag = h >> kSlotBits;
    for (std::size_t b = h & mask_;; b = (b + 1) & mask_) {
      const std::uint64_t v = buckets_[b];
      SORVEL_CHECK(v != kEmpty, "slot table lost an id");
      if ((v >> kSlotBits) == tag && ids[v & kSlotMask] == id) return b;
    }
  }

  void place(std::uint64_t id, std::size_t slot) {
    const std::uint64_t h = hash(id);
    std::size_t b = h & mask_;
    while (buckets_[b] != kEmpty) b = (b + 1) & mask_;
    // A tag of all ones with the largest slot would read as empty; slots stay below 2^40 - 1.
    buckets_[b] = (h >> kSlotBits) << kSlotBits | slot;
  }

  std::vector<std::uint64_t> buckets_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace sorvel
