#pragma once

// Member definitions of CompressedFlatIndex; included only by the translation unit that
// instantiates the template for one codec.

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "check.h"
#include "encoding.h"
#include "index/quantized_fp16/compressed_flat.h"
#include "index/topk.h"
#include "posix_file.h"
#include "str_cat.h"

namespace sorvel {

// The file of a compressed flat index, all numbers little-endian:
//
//   offset  size  field
//   0       8     dimensions, u64
//   8       4     metric code, u32 (0 L2, 1 Cosine, 2 DotProduct)
//   12      8     n, the number of entries, u64
//   20            n entries, one after another:
//                   8     id, u64
//                   8     c, the number of code units, u64
//                   c*U   the code units (U bytes each: 2 half, 1 int8, 8 bit word), unit 0 first
//                   4     scale or norm, f32 (int8 and bit codes only)
//
// No magic, version or checksum; the file ends after the last entry.
namespace compressed_file {
inline constexpr std::size_t kHeaderSize = 20;
inline constexpr std::size_t kMetricEnd = 12;
inline constexpr std::size_t kEntryPrefix = 16;
}  // namespace compressed_file

namespace compressed_detail {

template <class Unit>
class SlotIterator final : public IndexIterator {
 public:
  using Decode = void (*)(const Unit*, float, std::size_t, float*);
  SlotIterator(const std::uint64_t* ids, const Unit* codes, const float* aux, std::size_t count,
               std::size_t stride, std::size_t dimensions, Decode decode)
      : ids_(ids), codes_(codes), aux_(aux), count_(count), stride_(stride),
        dimensions_(dimensions), decode_(decode) {}

  std::optional<IndexItem> next() override {
    if (pos_ == count_) return std::nullopt;
    IndexItem item{ids_[pos_], std::vector<float>(dimensions_)};
    decode_(codes_ + pos_ * stride_, aux_ != nullptr ? aux_[pos_] : 0.0f, dimensions_,
            item.vector.data());
    ++pos_;
    return item;
  }
  std::pair<std::size_t, std::optional<std::size_t>> size_hint() const override {
    return {0, count_ - pos_};
  }
  std::size_t advance_by(std::size_t n) override {
    const std::size_t step = std::min(n, count_ - pos_);
    pos_ += step;
    return n - step;
  }

 private:
  const std::uint64_t* ids_;
  const Unit* codes_;
  const float* aux_;
  std::size_t count_;
  std::size_t stride_;
  std::size_t dimensions_;
  Decode decode_;
  std::size_t pos_ = 0;
};

}  // namespace compressed_detail

template <class Codec>
CompressedFlatIndex<Codec>::CompressedFlatIndex(std::size_t dimensions, Metric metric)
    : dimensions_(dimensions), metric_(metric), stride_(Codec::units(dimensions)) {}

template <class Codec>
void CompressedFlatIndex<Codec>::reserve_slots(std::size_t extra) {
  const std::size_t needed = ids_.size() + extra;
  if (needed <= ids_.capacity()) return;
  const std::size_t cap = std::max(needed, 2 * ids_.capacity());
  codes_.reserve(cap * stride_);
  if constexpr (Codec::kHasAux) aux_.reserve(cap);
  ids_.reserve(cap);
  slots_.reserve(cap, ids_.data());
}

template <class Codec>
std::size_t CompressedFlatIndex<Codec>::slot_for(std::uint64_t id) {
  if (const auto found = slots_.find(id, ids_.data())) return *found;
  reserve_slots(1);
  // Capacity is reserved everywhere: nothing below throws.
  const std::size_t slot = ids_.size();
  ids_.push_back(id);
  slots_.insert(id, slot, ids_.data());
  codes_.resize(codes_.size() + stride_);
  if constexpr (Codec::kHasAux) aux_.push_back(0.0f);
  return slot;
}

template <class Codec>
void CompressedFlatIndex<Codec>::store(std::size_t slot, std::span<const float> vector) {
  const float aux = Codec::encode(vector, codes_.data() + slot * stride_);
  if constexpr (Codec::kHasAux) aux_[slot] = aux;
}

template <class Codec>
Result<> CompressedFlatIndex<Codec>::add(std::uint64_t id, std::span<const float> vector) {
  if (vector.size() != dimensions_) {
    return DbError::dimension_mismatch(dimensions_, vector.size());
  }
  store(slot_for(id), vector);
  return ok();
}

template <class Codec>
Result<> CompressedFlatIndex<Codec>::add_batch(std::span<const IndexItem> items) {
  for (const IndexItem& item : items) SORVEL_TRY(add(item.id, item.vector));
  return ok();
}

template <class Codec>
Result<> CompressedFlatIndex<Codec>::add_matrix(std::span<const float> data, std::size_t rows,
                                                std::size_t cols, std::uint64_t start_id) {
  if (cols != dimensions_) return DbError::dimension_mismatch(dimensions_, cols);
  SORVEL_CHECK(cols == 0 || data.size() / cols >= rows, "matrix data shorter than its rows");
  reserve_slots(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    store(slot_for(start_id + r), data.subspan(r * cols, cols));
  }
  return ok();
}

template <class Codec>
Result<std::vector<SearchHit>> CompressedFlatIndex<Codec>::search(std::span<const float> query,
                                                                  std::size_t k) const {
  if (ids_.empty()) return std::vector<SearchHit>{};
  if (query.size() != dimensions_) return DbError::dimension_mismatch(dimensions_, query.size());
  return scan(query, k, [](std::uint64_t) { return true; });
}

template <class Codec>
Result<std::vector<SearchHit>> CompressedFlatIndex<Codec>::search_filtered(
    std::span<const float> query, std::size_t k, const IdFilter& accept) const {
  if (ids_.empty()) return std::vector<SearchHit>{};
  if (query.size() != dimensions_) return DbError::dimension_mismatch(dimensions_, query.size());
  return scan(query, k, accept);
}

template <class Codec>
template <class Accept>
std::vector<SearchHit> CompressedFlatIndex<Codec>::scan(std::span<const float> query, std::size_t k,
                                                        const Accept& accept) const {
  if (k == 0) return {};
  const std::size_t n = ids_.size();
  typename Codec::Query q = Codec::prepare(metric_, query);
  TopK top(k, n);
  const std::uint64_t* ids = ids_.data();
  const float* aux = Codec::kHasAux ? aux_.data() : nullptr;
  auto finished = [&] {
    std::vector<SearchHit> hits = top.take_sorted();
    for (SearchHit& hit : hits) hit.distance = Codec::finish(q, hit.distance);
    return hits;
  };
  auto candidate_at = [&](std::size_t slot) -> std::optional<std::uint64_t> {
    if (!accept(ids[slot])) return std::nullopt;
    return ids[slot];
  };
  if constexpr (requires { Codec::select(q, codes_.data(), aux, n, top, candidate_at); }) {
    // A codec that can reject rows before scoring them runs its own selection.
    if (Codec::select(q, codes_.data(), aux, n, top, candidate_at)) return finished();
  }
  // Keys are produced a block at a time into a small stack buffer and offered to a bounded
  // collector: the same hits as sorting every score and keeping the first k (up to ties), without
  // holding n of them.
  constexpr std::size_t kBlock = 1024;
  float keys[kBlock];
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t rows = std::min(kBlock, n - start);
    Codec::score(q, codes_.data() + start * stride_, aux != nullptr ? aux + start : nullptr, rows,
                 dimensions_, keys);
    top.offer(keys, rows, [&](std::size_t r) { return candidate_at(start + r); });
  }
  return finished();
}

template <class Codec>
bool CompressedFlatIndex<Codec>::remove(std::uint64_t id) {
  const auto found = slots_.find(id, ids_.data());
  if (!found) return false;
  const std::size_t slot = *found;
  const std::size_t last = ids_.size() - 1;
  slots_.erase(id, ids_.data());
  if (slot != last) {
    ids_[slot] = ids_[last];
    std::copy_n(codes_.data() + last * stride_, stride_, codes_.data() + slot * stride_);
    if constexpr (Codec::kHasAux) aux_[slot] = aux_[last];
    slots_.reassign(ids_[slot], slot, ids_.data());
  }
  ids_.pop_back();
  codes_.resize(last * stride_);
  if constexpr (Codec::kHasAux) aux_.pop_back();
  return true;
}

template <class Codec>
std::unique_ptr<IndexIterator> CompressedFlatIndex<Codec>::iter() const {
  return std::make_unique<compressed_detail::SlotIterator<Unit>>(
      ids_.data(), codes_.data(), Codec::kHasAux ? aux_.data() : nullptr, ids_.size(), stride_,
      dimensions_, &Codec::decode);
}

template <class Codec>
auto CompressedFlatIndex<Codec>::entry(std::uint64_t id) const -> std::optional<EntryView> {
  const auto found = slots_.find(id, ids_.data());
  if (!found) return std::nullopt;
  const std::size_t slot = *found;
  float aux = 0.0f;
  if constexpr (Codec::kHasAux) aux = aux_[slot];
  return EntryView{{codes_.data() + slot * stride_, stride_}, aux};
}

template <class Codec>
Result<> CompressedFlatIndex<Codec>::save_file(const std::string& path) const {
  using namespace compressed_file;
  const std::size_t code_bytes = stride_ * sizeof(Unit);
  const std::size_t entry_bytes = kEntryPrefix + code_bytes + (Codec::kHasAux ? 4 : 0);
  std::vector<std::uint8_t> bytes(kHeaderSize + ids_.size() * entry_bytes);
  std::uint8_t* p = bytes.data();
  auto put = [&p](const void* src, std::size_t size) {
    if (size > 0) std::memcpy(p, src, size);
    p += size;
  };
  const std::uint64_t dims = dimensions_;
  const std::uint32_t metric = static_cast<std::uint32_t>(metric_);
  const std::uint64_t n = ids_.size();
  const std::uint64_t units = stride_;
  put(&dims, 8);
  put(&metric, 4);
  put(&n, 8);
  for (std::size_t slot = 0; slot < ids_.size(); ++slot) {
    put(&ids_[slot], 8);
    put(&units, 8);
    put(codes_.data() + slot * stride_, code_bytes);
    if constexpr (Codec::kHasAux) put(&aux_[slot], 4);
  }
  return replace_file(path, bytes);
}

template <class Codec>
auto CompressedFlatIndex<Codec>::load_file(const std::string& path)
    -> Result<CompressedFlatIndex> {
  using namespace compressed_file;
  SORVEL_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, read_whole_file(path));
  Decoder in = Decoder::from_memory(bytes);
  // The decoder's own reads give the checks in their order: under 12 bytes ends early, then the
  // metric code, then under 20 bytes ends early.
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t dims, in.u64());
  SORVEL_ASSIGN_OR_RETURN(const Metric metric, decode_metric(in));
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t n, in.u64());
  if (dims > std::numeric_limits<std::size_t>::max()) {
    return DbError::serialization(str_cat("dimensions ", dims, " do not fit in memory"));
  }
  CompressedFlatIndex index(static_cast<std::size_t>(dims), metric);
  const std::size_t stride = index.stride_;
  // An entry takes at least this many bytes of the file; the count is never trusted for more
  // slots than the file can hold.
  const std::size_t max_units = (std::numeric_limits<std::size_t>::max() - 64) / sizeof(Unit);
  const std::size_t code_bytes = stride <= max_units ? stride * sizeof(Unit) : 0;
  const std::size_t entry_bytes = kEntryPrefix + code_bytes + (Codec::kHasAux ? 4 : 0);
  const std::size_t remaining = bytes.size() - kHeaderSize;
  index.reserve_slots(static_cast<std::size_t>(
      std::min<std::uint64_t>(n, stride <= max_units ? remaining / entry_bytes : 0)));
  for (std::uint64_t i = 0; i < n; ++i) {
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t id, in.u64());
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t units, in.u64());
    if (units != stride) {
      return DbError::serialization(str_cat("entry ", i, " (id ", id, ") holds ", units, " ",
                                            Codec::kUnitName, " where ", dims,
                                            " dimensions need ", stride));
    }
    // A code the file cannot hold ends early before any room is made for it (a header may name
    // any dimension, and one entry's code would then be the whole allocation).
    if (stride > max_units || bytes.size() - in.position() < code_bytes) {
      return DbError::serialization("io error: unexpected end of file");
    }
    // Read into a fresh slot at the end; a repeated id then moves its code to the earlier slot.
    index.reserve_slots(1);
    const std::size_t slot = index.ids_.size();
    index.codes_.resize(index.codes_.size() + stride);
    SORVEL_TRY(in.raw(index.codes_.data() + slot * stride, code_bytes));
    float aux = 0.0f;
    if constexpr (Codec::kHasAux) {
      SORVEL_ASSIGN_OR_RETURN(aux, in.f32());
    }
    if (auto problem = Codec::check_code(index.codes_.data() + slot * stride, index.dimensions_)) {
      return DbError::serialization(str_cat("entry ", i, " (id ", id, "): ", *problem));
    }
    if (const auto earlier = index.slots_.find(id, index.ids_.data())) {
      std::copy_n(index.codes_.data() + slot * stride, stride,
                  index.codes_.data() + *earlier * stride);
      if constexpr (Codec::kHasAux) index.aux_[*earlier] = aux;
      index.codes_.resize(slot * stride);
    } else {
      index.ids_.push_back(id);
      if constexpr (Codec::kHasAux) index.aux_.push_back(aux);
      index.slots_.insert(id, slot, index.ids_.data());
    }
  }
  return index;
}

}  // namespace sorvel
