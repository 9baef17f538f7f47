#include "index/ivf/ivf_index.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>
#include <utility>

#include "check.h"
#include "distance/distance.h"
#include "encoding.h"
#include "index/ivf/kmeans.h"
#include "index/topk.h"
#include "posix_file.h"
#include "str_cat.h"

namespace sorvel {

// Buffered rows first, then every list in order.
class IvfIter final : public IndexIterator {
 public:
  explicit IvfIter(const IvfIndex& index) : index_(index) {}

  std::optional<IndexItem> next() override {
    if (buffer_row_ < index_.buffer_.size()) {
      ++yielded_;
      return index_.buffer_.item(buffer_row_++);
    }
    while (list_ < index_.lists_.size()) {
      const PostingList& list = index_.lists_[list_];
      if (row_ < list.ids.size()) {
        const std::size_t dims = static_cast<std::size_t>(list.dims);
        const float* row = list.vectors.data() + row_ * dims;
        IndexItem item{list.ids[row_], std::vector<float>(row, row + dims)};
        ++row_;
        ++yielded_;
        return item;
      }
      ++list_;
      row_ = 0;
    }
    return std::nullopt;
  }

  std::pair<std::size_t, std::optional<std::size_t>> size_hint() const override {
    return {0, index_.len() - yielded_};
  }

 private:
  const IvfIndex& index_;
  std::size_t buffer_row_ = 0;
  std::size_t list_ = 0;
  std::size_t row_ = 0;
  std::size_t yielded_ = 0;
};

Result<IvfIndex> IvfIndex::create(std::size_t dimensions, Metric metric, const IvfConfig& config) {
  return IvfIndex(dimensions, metric, config);
}

void IvfIndex::list_append(std::size_t list, std::uint64_t id, const float* vector) {
  PostingList& l = lists_[list];
  l.ids.push_back(id);
  l.vectors.insert(l.vectors.end(), vector, vector + dimensions_);
  ++listed_;
}

bool IvfIndex::remove_from_list(std::size_t list, std::uint64_t id) {
  if (list >= lists_.size()) return false;
  PostingList& l = lists_[list];
  const auto found = std::find(l.ids.begin(), l.ids.end(), id);
  if (found == l.ids.end()) return false;
  const std::size_t row = static_cast<std::size_t>(found - l.ids.begin());
  const std::size_t last = l.ids.size() - 1;
  const std::size_t dims = static_cast<std::size_t>(l.dims);
  if (row != last) {
    l.ids[row] = l.ids[last];
    std::copy_n(l.vectors.begin() + static_cast<std::ptrdiff_t>(last * dims), dims,
                l.vectors.begin() + static_cast<std::ptrdiff_t>(row * dims));
  }
  l.ids.pop_back();
  l.vectors.resize(last * dims);
  --listed_;
  return true;
}

bool IvfIndex::remove_held(std::uint64_t id) {
  if (buffer_.remove(id)) return true;
  const auto listed = id_to_list_.find(id);
  if (listed == id_to_list_.end()) return false;
  const std::uint64_t list = listed->second;
  id_to_list_.erase(listed);
  const bool removed = remove_from_list(static_cast<std::size_t>(list), id);
  if (order_.size() > 2 * listed_ + kMinOrderToCompact) compact_order();
  return removed;
}

void IvfIndex::compact_order() {
  std::unordered_set<std::uint64_t> kept;
  kept.reserve(listed_);
  std::erase_if(order_, [&](std::uint64_t id) {
    return !id_to_list_.contains(id) || !kept.insert(id).second;
  });
}

void IvfIndex::file(std::uint64_t id, std::size_t list, const float* vector) {
  (void)buffer_.remove(id);  // replacing: an absent id is the usual case
  const auto [entry, inserted] = id_to_list_.try_emplace(id, list);
  if (inserted) {
    order_.push_back(id);
  } else {
    (void)remove_from_list(static_cast<std::size_t>(entry->second), id);  // may be absent
    entry->second = list;
  }
  list_append(list, id, vector);
}

Result<> IvfIndex::add(std::uint64_t id, std::span<const float> vector) {
  if (vector.size() != dimensions_) {
    return DbError::dimension_mismatch(dimensions_, vector.size());
  }
  if (trained_) {
    file(id, nearest_centroid(vector), vector.data());
    return ok();
  }
  (void)remove_held(id);  // replacing: an absent id is the usual case
  buffer_.append(id, vector.data());
  if (buffer_.size() >= config_.train_size) train();
  return ok();
}

Result<> IvfIndex::add_batch(std::span<const IndexItem> items) {
  for (const IndexItem& item : items) SORVEL_TRY(add(item.id, item.vector));
  return ok();
}

Result<> IvfIndex::add_matrix(std::span<const float> data, std::size_t rows, std::size_t cols,
                              std::uint64_t start_id) {
  if (cols != dimensions_) return DbError::dimension_mismatch(dimensions_, cols);
  std::uint64_t floats = 0;
  SORVEL_CHECK(checked_product(rows, cols, floats) && floats == data.size(),
               "matrix shape does not match its data");
  if (rows == 0) return ok();
  const std::size_t d = dimensions_;
  if (!trained_) {
    for (std::size_t r = 0; r < rows; ++r) {
      SORVEL_TRY(add(start_id + r, data.subspan(r * d, d)));
    }
    return ok();
  }
  std::vector<std::size_t> assignment(rows);
  const std::size_t k = n_centroids();
  if (metric_ == Metric::L2) {
    assign_l2(data.data(), rows, centroids_.data(), k, d, assignment.data());
  } else {
    assign_nearest(metric_, data.data(), rows, centroids_.data(), k, d, assignment.data());
  }
  const std::vector<std::size_t> incoming = count_per_list(assignment, lists_.size());
  for (std::size_t c = 0; c < lists_.size(); ++c) {
    if (incoming[c] == 0) continue;
    reserve_more(lists_[c].ids, incoming[c]);
    reserve_more(lists_[c].vectors, incoming[c] * d);
  }
  reserve_more(id_to_list_, rows);
  reserve_more(order_, rows);
  for (std::size_t r = 0; r < rows; ++r) file(start_id + r, assignment[r], data.data() + r * d);
  return ok();
}

Result<std::vector<SearchHit>> IvfIndex::search(std::span<const float> query, std::size_t k) const {
  if (query.size() != dimensions_) {
    return DbError::dimension_mismatch(dimensions_, query.size());
  }
  if (k == 0) return std::vector<SearchHit>{};
  const std::size_t d = dimensions_;

  std::vector<std::pair<float, std::size_t>> probed;
  if (trained_ && n_centroids_ > 0) {
    const std::size_t needed = k > buffer_.size() ? k - buffer_.size() : 0;
    probed = lists_to_scan(metric_, query.data(), centroids_.data(), d, config_.nprobe,
                           std::span<const PostingList>(lists_), needed);
  }
  std::size_t candidates = buffer_.size();
  for (const auto& probe : probed) candidates += lists_[probe.second].ids.size();

  TopK top(std::min(k, candidates));
  for (const auto& probe : probed) {
    const PostingList& list = lists_[probe.second];
    scan_rows(metric_, query.data(), list.vectors.data(), list.ids.data(), list.ids.size(), d, top);
  }
  scan_rows(metric_, query.data(), buffer_.vectors().data(), buffer_.ids().data(), buffer_.size(),
            d, top);
  std::vector<SearchHit> hits = top.take_sorted();
  // Rows were ranked by the squared distance, which orders like the Euclidean one.
  if (metric_ == Metric::L2) {
    for (SearchHit& hit : hits) hit.distance = std::sqrt(hit.distance);
  }
  return hits;
}

Result<std::vector<SearchHit>> IvfIndex::search_filtered(std::span<const float> query,
                                                         std::size_t k,
                                                         const IdFilter& accept) const {
  if (query.size() != dimensions_) {
    return DbError::dimension_mismatch(dimensions_, query.size());
  }
  if (k == 0) return std::vector<SearchHit>{};
  const std::size_t d = dimensions_;
  const float* q = query.data();
  TopK top(std::min(k, len()));
  offer_buffer(metric_, q, buffer_, d, /*root=*/false, top, accept);
  if (trained_ && n_centroids_ > 0) {
    const std::span<const PostingList> lists(lists_);
    const std::pair<std::size_t, std::size_t> sample = sample_passing(lists, listed_, accept);
    const std::size_t probe_rows =
        expected_probe_rows(config_.nprobe, lists_.size(), sample, listed_);
    if (prefer_in_order_pass(listed_, d, k, sample, probe_rows)) {
      std::vector<std::pair<std::size_t, std::uint64_t>> passing;
      for_each_passing(order_, accept, [&](std::uint64_t id) {
        const auto listed = id_to_list_.find(id);
        if (listed != id_to_list_.end()) {
          passing.emplace_back(static_cast<std::size_t>(listed->second), id);
        }
      });
      // Only the passing rows are read: the rest of a list's vectors would only push the
      // payloads the next search tests out of the cache.
      for_each_list_run(passing, [&](std::size_t c, std::span<const std::uint64_t> ids) {
        const PostingList& list = lists_[c];
        for (std::size_t r = 0; r < list.ids.size(); ++r) {
          if (!std::binary_search(ids.begin(), ids.end(), list.ids[r])) continue;
          top.push(list.ids[r], distance_squared(metric_, q, list.vectors.data() + r * d, d));
        }
      });
    } else {
      probe_filtered(
          metric_, q, centroids_.data(), d, config_.nprobe, lists, sample, listed_, top,
          [&](std::size_t c, TopK& into) {
            const PostingList& list = lists_[c];
            const float* rows = list.vectors.data();
            offer_filtered(
                list.ids.data(), list.ids.size(), into, accept,
                [&](std::size_t r) { return distance_squared(metric_, q, rows + r * d, d); },
                [&](std::size_t begin, std::size_t count, float* out) {
                  distance_rows(metric_, q, rows + begin * d, d, count, d, out);
                });
          });
    }
  }
  std::vector<SearchHit> hits = top.take_sorted();
  if (metric_ == Metric::L2) {
    for (SearchHit& hit : hits) hit.distance = std::sqrt(hit.distance);
  }
  return hits;
}

bool IvfIndex::remove(std::uint64_t id) { return remove_held(id); }

std::unique_ptr<IndexIterator> IvfIndex::iter() const { return std::make_unique<IvfIter>(*this); }

void IvfIndex::flush() {
  if (!trained_ && !buffer_.empty()) train();
}

Result<> IvfIndex::load(const std::string& path) {
  (void)path;  // the index is rebuilt from the log; this hook only finishes it
  flush();
  return ok();
}

void IvfIndex::train() {
  if (trained_ || buffer_.empty()) return;
  const std::size_t n = buffer_.size();
  const std::size_t d = dimensions_;
  KMeansResult kmeans = train_coarse(metric_, buffer_, d, config_.n_lists, config_.max_iter);
  centroids_ = std::move(kmeans.centroids);
  n_centroids_ = kmeans.k;

  const std::vector<std::size_t> sizes = count_per_list(kmeans.assignment, kmeans.k);
  lists_.clear();
  lists_.resize(kmeans.k);
  for (std::size_t c = 0; c < kmeans.k; ++c) {
    lists_[c].dims = d;
    lists_[c].ids.reserve(sizes[c]);
    lists_[c].vectors.reserve(sizes[c] * d);
  }
  id_to_list_.reserve(id_to_list_.size() + n);
  listed_ = 0;
  order_.clear();
  order_.reserve(n);
  const TrainingBuffer::Taken buffered = buffer_.take();
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t c = kmeans.assignment[i];
    id_to_list_[buffered.ids[i]] = c;
    order_.push_back(buffered.ids[i]);
    list_append(c, buffered.ids[i], buffered.vectors.data() + i * d);
  }
  trained_ = true;
}

std::size_t IvfIndex::nearest_centroid(std::span<const float> vector) const {
  return sorvel::nearest_centroid(metric_, centroids_.data(), n_centroids(), dimensions_,
                                  vector.data());
}

std::vector<std::size_t> IvfIndex::assign_batch(const float* rows, std::size_t n) const {
  std::vector<std::size_t> out(n, 0);
  assign_l2(rows, n, centroids_.data(), n_centroids(), dimensions_, out.data());
  return out;
}

Result<> IvfIndex::save_file(const std::string& path) const {
  SORVEL_ASSIGN_OR_RETURN(AtomicFileWriter writer, AtomicFileWriter::create(path));
  Encoder out = Encoder::to_fd(writer.fd());
  out.u64(dimensions_);
  encode_metric(out, metric_);
  encode_list_params(out, config_);
  buffer_.encode(out);
  out.f32_seq(centroids_);
  out.u64(n_centroids_);
  out.length(lists_.size());
  for (const PostingList& list : lists_) {
    out.u64_seq(list.ids);
    out.f32_seq(list.vectors);
    out.u64(list.dims);
  }
  out.length(id_to_list_.size());
  for (const auto& [id, list] : id_to_list_) {
    out.u64(id);
    out.u64(list);
  }
  out.boolean(trained_);
  SORVEL_TRY(out.finish());
  return writer.commit();
}

Result<IvfIndex> IvfIndex::load_file(const std::string& path) {
  SORVEL_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path));
  Decoder in = Decoder::from_fd(fd.get());
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t dimensions, in.u64());
  SORVEL_ASSIGN_OR_RETURN(const Metric metric, decode_metric(in));
  IvfConfig config;
  SORVEL_TRY(decode_list_params(in, config));
  IvfIndex index(static_cast<std::size_t>(dimensions), metric, config);
  SORVEL_TRY(index.buffer_.decode(in));
  SORVEL_ASSIGN_OR_RETURN(index.centroids_, in.f32_seq());
  SORVEL_ASSIGN_OR_RETURN(index.n_centroids_, in.u64());
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t n_lists_in_file, in.length());
  index.lists_.reserve(Decoder::reserve_count(n_lists_in_file, sizeof(PostingList)));
  for (std::uint64_t l = 0; l < n_lists_in_file; ++l) {
    PostingList list;
    SORVEL_ASSIGN_OR_RETURN(list.ids, in.u64_seq());
    SORVEL_ASSIGN_OR_RETURN(list.vectors, in.f32_seq());
    SORVEL_ASSIGN_OR_RETURN(list.dims, in.u64());
    index.lists_.push_back(std::move(list));
  }
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t pairs, in.length());
  index.id_to_list_.reserve(Decoder::reserve_count(pairs, 2 * sizeof(std::uint64_t)));
  for (std::uint64_t p = 0; p < pairs; ++p) {
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t id, in.u64());
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t list, in.u64());
    index.id_to_list_[id] = list;  // a later pair for the same id replaces an earlier one
  }
  SORVEL_ASSIGN_OR_RETURN(index.trained_, in.boolean());

  // The record decoded; now it must describe an index whose operations stay inside its data.
  SORVEL_TRY(check_buffer_and_centroids(index.buffer_, index.centroids_, index.n_centroids_,
                                        index.lists_.size(), dimensions));
  if (!index.trained_ && index.n_centroids_ != 0) {
    return DbError::serialization("an untrained index holds centroids");
  }
  if (index.trained_ && index.n_centroids_ == 0) {
    return DbError::serialization("a trained index has no centroids");
  }
  SORVEL_TRY(check_list_numbers(index.id_to_list_, index.lists_.size()));
  std::uint64_t expected = 0;
  std::vector<std::uint64_t> held(index.buffer_.ids());
  for (std::size_t l = 0; l < index.lists_.size(); ++l) {
    const PostingList& list = index.lists_[l];
    if (list.dims != dimensions) {
      return DbError::serialization(
          str_cat("list ", l, " has rows of ", list.dims, " floats, expected ", dimensions));
    }
    if (!checked_product(list.ids.size(), list.dims, expected) || expected != list.vectors.size()) {
      return DbError::serialization(str_cat("list ", l, " holds ", list.vectors.size(),
                                            " floats for ", list.ids.size(), " ids"));
    }
    for (const std::uint64_t id : list.ids) {
      const auto entry = index.id_to_list_.find(id);
      if (entry == index.id_to_list_.end() || entry->second != l) {
        return DbError::serialization(str_cat("id ", id, " of list ", l, " is not mapped to it"));
      }
    }
    index.listed_ += list.ids.size();
    held.insert(held.end(), list.ids.begin(), list.ids.end());
  }
  if (index.id_to_list_.size() != index.listed_) {
    return DbError::serialization(str_cat("id_to_list holds ", index.id_to_list_.size(),
                                          " entries for ", index.listed_, " listed ids"));
  }
  SORVEL_TRY(check_held_once(std::move(held)));
  // The file keeps no order of arrival; ascending ids are as a rule that order.
  index.order_.reserve(index.listed_);
  for (const auto& entry : index.id_to_list_) index.order_.push_back(entry.first);
  std::sort(index.order_.begin(), index.order_.end());
  return index;
}

}  // namespace sorvel
