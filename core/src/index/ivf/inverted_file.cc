#include "index/ivf/inverted_file.h"

#include <algorithm>
#include <cmath>

#include "distance/distance.h"
#include "str_cat.h"

namespace sorvel {

namespace {

template <bool kRoot>
void scan_rows_impl(Metric metric, const float* query, const float* rows, const std::uint64_t* ids,
                    std::size_t count, std::size_t d, TopK& top) {
  const auto score = [](float squared) { return kRoot ? std::sqrt(squared) : squared; };
  std::size_t r = 0;
  for (; r + 4 <= count; r += 4) {
    const float* four[4] = {rows + r * d, rows + (r + 1) * d, rows + (r + 2) * d,
                            rows + (r + 3) * d};
    float out[4];
    distance_batch4(metric, query, four, d, out);
    for (std::size_t i = 0; i < 4; ++i) top.push(ids[r + i], score(out[i]));
  }
  for (; r < count; ++r) {
    top.push(ids[r], score(distance_squared(metric, query, rows + r * d, d)));
  }
}

}  // namespace

void TrainingBuffer::append(std::uint64_t id, const float* vector) {
  rows_[id] = ids_.size();
  ids_.push_back(id);
  vectors_.insert(vectors_.end(), vector, vector + dims_);
}

bool TrainingBuffer::remove_if_held(std::uint64_t id) {
  const auto found = rows_.find(id);
  if (found == rows_.end()) return false;
  const std::size_t row = found->second;
  const std::size_t d = dims_;
  const std::size_t last = ids_.size() - 1;
  rows_.erase(found);
  if (row != last) {
    ids_[row] = ids_[last];
    std::copy_n(vectors_.begin() + static_cast<std::ptrdiff_t>(last * d), d,
                vectors_.begin() + static_cast<std::ptrdiff_t>(row * d));
    rows_[ids_[row]] = row;
  }
  ids_.pop_back();
  vectors_.resize(last * d);
  return true;
}

TrainingBuffer::Taken TrainingBuffer::take() {
  Taken taken{std::move(ids_), std::move(vectors_)};
  ids_ = {};
  vectors_ = {};
  rows_ = {};
  return taken;
}

void TrainingBuffer::encode(Encoder& out) const {
  out.u64_seq(ids_);
  out.f32_seq(vectors_);
}

Result<> TrainingBuffer::decode(Decoder& in) {
  SORVEL_ASSIGN_OR_RETURN(ids_, in.u64_seq());
  SORVEL_ASSIGN_OR_RETURN(vectors_, in.f32_seq());
  rows_.clear();
  rows_.reserve(ids_.size());
  for (std::size_t r = 0; r < ids_.size(); ++r) rows_[ids_[r]] = r;
  return ok();
}

Result<> TrainingBuffer::check_shape() const {
  std::uint64_t expected = 0;
  if (!checked_product(ids_.size(), dims_, expected) || expected != vectors_.size()) {
    return DbError::serialization(str_cat("buffer holds ", vectors_.size(), " floats for ",
                                          ids_.size(), " ids of ", dims_, " dimensions"));
  }
  return ok();
}

std::vector<std::pair<float, std::size_t>> nearest_lists(Metric metric, const float* query,
                                                         const float* centroids, std::size_t n,
                                                         std::size_t d, std::uint64_t nprobe) {
  std::vector<std::pair<float, std::size_t>> ranked(n);
  std::size_t c = 0;
  for (; c + 4 <= n; c += 4) {
    const float* four[4] = {centroids + c * d, centroids + (c + 1) * d, centroids + (c + 2) * d,
                            centroids + (c + 3) * d};
    float out[4];
    distance_batch4(metric, query, four, d, out);
    for (std::size_t i = 0; i < 4; ++i) ranked[c + i] = {out[i], c + i};
  }
  for (; c < n; ++c) ranked[c] = {distance_squared(metric, query, centroids + c * d, d), c};
  const std::size_t probes = static_cast<std::size_t>(std::min<std::uint64_t>(nprobe, n));
  const auto closer = [](const auto& a, const auto& b) { return distance_less(a.first, b.first); };
  std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(probes),
                    ranked.end(), closer);
  ranked.resize(probes);
  return ranked;
}

void scan_rows(Metric metric, const float* query, const float* rows, const std::uint64_t* ids,
               std::size_t count, std::size_t d, TopK& top) {
  scan_rows_impl<false>(metric, query, rows, ids, count, d, top);
}

void scan_rows_root(Metric metric, const float* query, const float* rows, const std::uint64_t* ids,
                    std::size_t count, std::size_t d, TopK& top) {
  scan_rows_impl<true>(metric, query, rows, ids, count, d, top);
}

KMeansResult train_coarse(Metric metric, const TrainingBuffer& buffer, std::size_t dims,
                          std::uint64_t n_lists, std::uint64_t max_iter) {
  const std::size_t max_lists = static_cast<std::size_t>(std::max<std::uint64_t>(n_lists, 1));
  return train_kmeans(metric, buffer.vectors().data(), buffer.size(), dims, max_lists,
                      static_cast<std::size_t>(max_iter));
}

std::vector<std::size_t> count_per_list(const std::vector<std::size_t>& assignment,
                                        std::size_t n_lists) {
  std::vector<std::size_t> counts(n_lists, 0);
  for (const std::size_t c : assignment) ++counts[c];
  return counts;
}

Result<> check_buffer_and_centroids(const TrainingBuffer& buffer,
                                    const std::vector<float>& centroids, std::uint64_t n_centroids,
                                    std::size_t n_lists, std::uint64_t dimensions) {
  SORVEL_TRY(buffer.check_shape());
  std::uint64_t expected = 0;
  if (!checked_product(n_centroids, dimensions, expected) || expected != centroids.size()) {
    return DbError::serialization(str_cat(centroids.size(), " centroid floats for ", n_centroids,
                                          " centroids of ", dimensions, " dimensions"));
  }
  if (n_lists != n_centroids) {
    return DbError::serialization(str_cat(n_lists, " lists for ", n_centroids, " centroids"));
  }
  return ok();
}

Result<> check_list_numbers(const std::unordered_map<std::uint64_t, std::uint64_t>& id_to_list,
                            std::size_t n_lists) {
  for (const auto& [id, list] : id_to_list) {
    if (list >= n_lists) {
      return DbError::serialization(str_cat("id ", id, " names list ", list, " of ", n_lists));
    }
  }
  return ok();
}

Result<> check_held_once(std::vector<std::uint64_t> held) {
  std::sort(held.begin(), held.end());
  const auto twice = std::adjacent_find(held.begin(), held.end());
  if (twice != held.end()) {
    return DbError::serialization(str_cat("id ", *twice, " is held twice"));
  }
  return ok();
}

std::size_t filtered_probe_rows(std::size_t unfiltered_rows,
                                std::pair<std::size_t, std::size_t> sample, std::size_t total) {
  const auto [passing, sampled] = sample;
  if (passing == 0) return total;
  const double rows = static_cast<double>(unfiltered_rows) * static_cast<double>(sampled) /
                      static_cast<double>(passing);
  return rows >= static_cast<double>(total) ? total : static_cast<std::size_t>(rows);
}

bool prefer_in_order_pass(std::size_t total, std::size_t dims, std::size_t k,
                          std::pair<std::size_t, std::size_t> sample, std::size_t probe_rows) {
  const auto [passing, sampled] = sample;
  // One passing id in the sample tells too little: a probe that meets fewer passing ids than
  // expected tests every row it scans, while the in-order pass costs the same at every share.
  if (passing <= 1) return true;
  const double share = static_cast<double>(passing) / static_cast<double>(sampled);
  const double row = kRowCostPerDimension * static_cast<double>(dims);
  const double rows = static_cast<double>(probe_rows);
  const double until_k = std::min(rows, static_cast<double>(k) / share);
  const double spread = std::log(std::max(1.0, rows * share / static_cast<double>(k)));
  const double after_k = std::min(rows - until_k, until_k * spread);
  const double probing = rows * row + until_k * kBatchedTestCost + after_k * kListOrderTestCost;
  const double in_order = static_cast<double>(total) * (1.0 + share * row);
  return in_order < probing;
}

}  // namespace sorvel
