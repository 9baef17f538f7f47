#include "index/flat/flat_index.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>
#include <utility>

#include "check.h"
#include "distance/distance.h"
#include "encoding.h"
#include "index/row_scan.h"
#include "index/topk.h"
#include "posix_file.h"
#include "str_cat.h"

namespace sorvel {

namespace {

// Room for `extra` more elements with geometric growth: reserving exact sizes on every append would
// make a sequence of single adds quadratic.
template <class Vector>
void grow_for(Vector& v, std::size_t extra) {
  const std::size_t needed = v.size() + extra;
  if (needed > v.capacity()) v.reserve(std::max(needed, 2 * v.capacity()));
}

// The same for the id map. unordered_map::reserve also shrinks, and a reserve by the exact count
// before each of many batches would rehash every time.
void grow_map_for(std::unordered_map<std::uint64_t, std::size_t>& map, std::size_t extra) {
  const std::size_t needed = map.size() + extra;
  const auto room = static_cast<std::size_t>(static_cast<double>(map.bucket_count()) *
                                             static_cast<double>(map.max_load_factor()));
  if (needed > room) map.reserve(std::max(needed, 2 * map.size()));
}

}  // namespace

// Walks the live flags from row 0; the index must not change while it is alive.
class FlatIndexIterator final : public IndexIterator {
 public:
  explicit FlatIndexIterator(const FlatIndex& index) : index_(index) {}

  std::optional<IndexItem> next() override {
    if (!skip_deleted()) return std::nullopt;
    const std::size_t d = index_.dimensions_;
    const float* row = index_.vectors_.data() + row_ * d;
    IndexItem item{index_.ids_[row_], std::vector<float>(row, row + d)};
    ++row_;
    return item;
  }

  std::pair<std::size_t, std::optional<std::size_t>> size_hint() const override {
    return {0, index_.ids_.size() - row_};
  }

  // Skips without copying the rows.
  std::size_t advance_by(std::size_t n) override {
    for (std::size_t i = 0; i < n; ++i) {
      if (!skip_deleted()) return n - i;
      ++row_;
    }
    return 0;
  }

 private:
  // Moves row_ to the next live row; false at the end.
  bool skip_deleted() {
    const std::size_t rows = index_.ids_.size();
    while (row_ < rows && index_.live_[row_] == 0) ++row_;
    return row_ < rows;
  }

  const FlatIndex& index_;
  std::size_t row_ = 0;
};

FlatIndex::FlatIndex(std::size_t dimensions, Metric metric)
    : dimensions_(dimensions), metric_(metric) {}

Result<> FlatIndex::add(std::uint64_t id, std::span<const float> vector) {
  if (vector.size() != dimensions_) return DbError::dimension_mismatch(dimensions_, vector.size());
  if (id_to_row_.contains(id)) return DbError::duplicate_id(id);
  // Every allocation happens before the first change, so bad_alloc leaves the index as it was.
  grow_for(vectors_, dimensions_);
  grow_for(ids_, 1);
  grow_for(live_, 1);
  const std::size_t row = ids_.size();
  id_to_row_.emplace(id, row);
  vectors_.insert(vectors_.end(), vector.begin(), vector.end());
  ids_.push_back(id);
  live_.push_back(1);
  ++count_;
  return ok();
}

Result<> FlatIndex::add_batch(std::span<const IndexItem> items) {
  std::unordered_set<std::uint64_t> batch_ids;
  if (items.size() > 1) batch_ids.reserve(items.size());
  for (const IndexItem& item : items) {
    if (item.vector.size() != dimensions_) {
      return DbError::dimension_mismatch(dimensions_, item.vector.size());
    }
    if (id_to_row_.contains(item.id)) return DbError::duplicate_id(item.id);
    if (items.size() > 1 && !batch_ids.insert(item.id).second) {
      return DbError::duplicate_id(item.id);
    }
  }
  if (items.empty()) return ok();
  reserve(items.size());
  for (const IndexItem& item : items) {
    id_to_row_.emplace(item.id, ids_.size());
    vectors_.insert(vectors_.end(), item.vector.begin(), item.vector.end());
    ids_.push_back(item.id);
    live_.push_back(1);
    ++count_;
  }
  return ok();
}

void FlatIndex::reserve(std::size_t extra_rows) {
  grow_for(vectors_, extra_rows * dimensions_);
  grow_for(ids_, extra_rows);
  grow_for(live_, extra_rows);
  grow_map_for(id_to_row_, extra_rows);
}

Result<> FlatIndex::add_matrix(std::span<const float> data, std::size_t rows, std::size_t cols,
                               std::uint64_t start_id) {
  if (cols != dimensions_) return DbError::dimension_mismatch(dimensions_, cols);
  SORVEL_CHECK(cols == 0 ? data.empty() : data.size() % cols == 0 && data.size() / cols == rows,
               "add_matrix: data does not hold rows x cols floats");
  // Ids wrap modulo 2^64; a matrix has fewer than 2^64 rows, so its own ids never repeat.
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint64_t id = start_id + r;
    if (id_to_row_.contains(id)) return DbError::duplicate_id(id);
  }
  if (rows == 0) return ok();
  reserve(rows);
  vectors_.insert(vectors_.end(), data.begin(), data.end());
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint64_t id = start_id + r;
    id_to_row_.emplace(id, ids_.size());
    ids_.push_back(id);
    live_.push_back(1);
  }
  count_ += rows;
  return ok();
}

bool FlatIndex::remove(std::uint64_t id) {
  const auto it = id_to_row_.find(id);
  if (it == id_to_row_.end()) return false;
  live_[it->second] = 0;
  id_to_row_.erase(it);
  --count_;
  return true;
}

void FlatIndex::compact_rows() {
  if (count_ == ids_.size()) return;
  std::size_t kept = 0;
  for (std::size_t row = 0; row < ids_.size(); ++row) {
    if (!live_[row]) continue;
    if (kept != row) {
      std::copy_n(vectors_.begin() + static_cast<std::ptrdiff_t>(row * dimensions_), dimensions_,
                  vectors_.begin() + static_cast<std::ptrdiff_t>(kept * dimensions_));
      ids_[kept] = ids_[row];
      id_to_row_[ids_[kept]] = kept;
    }
    live_[kept] = 1;
    ++kept;
  }
  vectors_.resize(kept * dimensions_);
  vectors_.shrink_to_fit();
  ids_.resize(kept);
  ids_.shrink_to_fit();
  live_.resize(kept);
  live_.shrink_to_fit();
}

Result<std::vector<SearchHit>> FlatIndex::search(std::span<const float> query,
                                                 std::size_t k) const {
  if (query.size() != dimensions_) return DbError::dimension_mismatch(dimensions_, query.size());
  return scan(query, k, [](std::uint64_t) { return true; });
}

Result<std::vector<SearchHit>> FlatIndex::search_filtered(std::span<const float> query,
                                                          std::size_t k,
                                                          const IdFilter& accept) const {
  if (query.size() != dimensions_) return DbError::dimension_mismatch(dimensions_, query.size());
  return scan(query, k, accept);
}

template <class Accept>
std::vector<SearchHit> FlatIndex::scan(std::span<const float> query, std::size_t k,
                                       const Accept& accept) const {
  if (k == 0 || count_ == 0) return {};
  // L2 rows are ranked by their squared distance (sqrt is monotone) and only the kept ones are
  // square-rooted, which gives exactly the bits of distance(). The other metrics' squared form is
  // their distance.
  TopK top(k, count_);
  // Deleted rows are scored with the rest (their storage is read anyway) and passed over only if
  // they would enter the collector, so the kernel sees long runs of rows.
  offer_rows(metric_, query.data(), vectors_.data(), dimensions_, ids_.size(), /*root=*/false, top,
             [&](std::size_t row) -> std::optional<std::uint64_t> {
               if (live_[row] == 0 || !accept(ids_[row])) return std::nullopt;
               return ids_[row];
             });
  std::vector<SearchHit> hits = top.take_sorted();
  if (metric_ == Metric::L2) {
    for (SearchHit& hit : hits) hit.distance = std::sqrt(hit.distance);
  }
  return hits;
}

std::unique_ptr<IndexIterator> FlatIndex::iter() const {
  return std::make_unique<FlatIndexIterator>(*this);
}

Result<> FlatIndex::save_file(const std::string& path) const {
  SORVEL_ASSIGN_OR_RETURN(AtomicFileWriter file, AtomicFileWriter::create(path));
  Encoder out = Encoder::to_fd(file.fd());
  out.u64(dimensions_);
  encode_metric(out, metric_);
  out.f32_seq(vectors_);
  out.u64_seq(ids_);
  out.bool_seq(live_);
  SORVEL_TRY(out.finish());
  return file.commit();
}

Result<FlatIndex> FlatIndex::load_file(const std::string& path) {
  SORVEL_ASSIGN_OR_RETURN(const UniqueFd fd, open_read(path));
  Decoder in = Decoder::from_fd(fd.get());
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t dimensions, in.u64());
  SORVEL_ASSIGN_OR_RETURN(const Metric metric, decode_metric(in));
  FlatIndex index(dimensions, metric);
  SORVEL_TRY(in.f32_seq_into(index.vectors_));
  SORVEL_ASSIGN_OR_RETURN(index.ids_, in.u64_seq());
  SORVEL_ASSIGN_OR_RETURN(index.live_, in.bool_seq());

  // A loaded index is scanned and iterated as rows x dimensions floats, so lists that disagree
  // would be read out of bounds: refuse them.
  const std::uint64_t values = index.vectors_.size();
  const std::uint64_t rows = index.ids_.size();
  const bool values_match =
      dimensions == 0 ? values == 0 : values % dimensions == 0 && values / dimensions == rows;
  if (!values_match) {
    return DbError::serialization(str_cat("inconsistent flat index file: ", values,
                                          " vector values for ", rows, " ids of ", dimensions,
                                          " dimensions"));
  }
  if (index.live_.size() != rows) {
    return DbError::serialization(str_cat("inconsistent flat index file: ", index.live_.size(),
                                          " live flags for ", rows, " ids"));
  }
  index.id_to_row_.reserve(static_cast<std::size_t>(rows));
  for (std::size_t r = 0; r < rows; ++r) {
    if (index.live_[r] == 0) continue;
    const auto [it, inserted] = index.id_to_row_.emplace(index.ids_[r], r);
    if (!inserted) {
      return DbError::serialization(str_cat("inconsistent flat index file: id ", index.ids_[r],
                                            " is live in rows ", it->second, " and ", r));
    }
    ++index.count_;
  }
  return index;
}

}  // namespace sorvel
