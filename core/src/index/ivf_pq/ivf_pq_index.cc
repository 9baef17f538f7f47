#include "index/ivf_pq/ivf_pq_index.h"

#include <algorithm>
#include <utility>

#include "check.h"
#include "encoding.h"
#include "index/ivf/kmeans.h"
#include "index/row_scan.h"
#include "index/topk.h"
#include "posix_file.h"
#include "str_cat.h"

namespace sorvel {

namespace {

void residual_of(const float* vector, const float* centroid, std::size_t d, float* out) {
  for (std::size_t i = 0; i < d; ++i) out[i] = vector[i] - centroid[i];
}

// The scores of entries [begin, begin + count) of `list` into out[0 .. count): the table entries
// each code's bytes select, summed in byte order from -0.0. Four entries are summed side by side,
// each in its own order. Kept out of line: inlined into search() its loop compiled about a fifth
// slower (measured), and how fast it runs should not hang on the shape of its caller.
[[gnu::noinline]] void score_codes(const CodeList& list, std::size_t begin, std::size_t count,
                                   const float* table, std::size_t m, std::size_t k, float* out) {
  const std::uint8_t* codes = list.codes.data() + begin * m;
  std::size_t e = 0;
  for (; e + 4 <= count; e += 4) {
    const std::uint8_t* c0 = codes + e * m;
    const std::uint8_t* c1 = c0 + m;
    const std::uint8_t* c2 = c1 + m;
    const std::uint8_t* c3 = c2 + m;
    float s0 = -0.0f, s1 = -0.0f, s2 = -0.0f, s3 = -0.0f;
    const float* t = table;
    for (std::size_t j = 0; j < m; ++j, t += k) {
      s0 = s0 + t[c0[j]];
      s1 = s1 + t[c1[j]];
      s2 = s2 + t[c2[j]];
      s3 = s3 + t[c3[j]];
    }
    out[e] = s0;
    out[e + 1] = s1;
    out[e + 2] = s2;
    out[e + 3] = s3;
  }
  for (; e < count; ++e) {
    const std::uint8_t* c = codes + e * m;
    float s = -0.0f;
    for (std::size_t j = 0; j < m; ++j) s = s + table[j * k + c[j]];
    out[e] = s;
  }
}

// Scores every entry of `list` by its code into `top`, a block of entries at a time.
void scan_codes(const CodeList& list, const float* table, std::size_t m, std::size_t k,
                TopK& top) {
  float scores[kScanBlockRows];
  for (std::size_t begin = 0; begin < list.ids.size(); begin += kScanBlockRows) {
    const std::size_t count = std::min(kScanBlockRows, list.ids.size() - begin);
    score_codes(list, begin, count, table, m, k, scores);
    const std::uint64_t* ids = list.ids.data() + begin;
    top.offer(scores, count, [ids](std::size_t e) -> std::optional<std::uint64_t> {
      return ids[e];
    });
  }
}

// Rows of a matrix insert assigned and encoded together: their residuals stay in the second-level
// cache (64 KiB at 128 dimensions).
constexpr std::size_t kEncodeChunkRows = 128;

}  // namespace

// Buffered rows first, then every list's entries in order with their full copies.
class IvfPqIter final : public IndexIterator {
 public:
  explicit IvfPqIter(const IvfPqIndex& index) : index_(index) {}

  std::optional<IndexItem> next() override {
    const std::size_t d = index_.dimensions_;
    if (buffer_row_ < index_.buffer_.size()) {
      ++yielded_;
      return index_.buffer_.item(buffer_row_++);
    }
    while (list_ < index_.lists_.size()) {
      const CodeList& list = index_.lists_[list_];
      if (entry_ < list.ids.size()) {
        const std::uint64_t id = list.ids[entry_++];
        const auto where = index_.locations_.find(id);
        SORVEL_CHECK(where != index_.locations_.end(), "listed id without a full copy");
        const float* row = index_.full_vectors_.data() + where->second.slot * d;
        ++yielded_;
        return IndexItem{id, std::vector<float>(row, row + d)};
      }
      ++list_;
      entry_ = 0;
    }
    return std::nullopt;
  }

  std::pair<std::size_t, std::optional<std::size_t>> size_hint() const override {
    return {0, index_.len() - yielded_};
  }

 private:
  const IvfPqIndex& index_;
  std::size_t buffer_row_ = 0;
  std::size_t list_ = 0;
  std::size_t entry_ = 0;
  std::size_t yielded_ = 0;
};

Result<IvfPqIndex> IvfPqIndex::create(std::size_t dimensions, Metric metric,
                                      const IvfPqConfig& config) {
  SORVEL_TRY(check_pq_config(dimensions, config.pq));
  return IvfPqIndex(dimensions, metric, config);
}

std::size_t IvfPqIndex::nearest_centroid(const float* vector) const {
  return sorvel::nearest_centroid(metric_, centroids_.data(), n_centroids(), dimensions_, vector);
}

void IvfPqIndex::encode_vector(const float* vector, float* residual, std::size_t& list,
                               std::uint8_t* code) const {
  const std::size_t d = dimensions_;
  list = nearest_centroid(vector);
  residual_of(vector, centroids_.data() + list * d, d, residual);
  pq_->encode_into(residual, code);
}

bool IvfPqIndex::remove_from_list(std::size_t list, std::uint64_t id) {
  if (list >= lists_.size()) return false;
  CodeList& l = lists_[list];
  const auto found = std::find(l.ids.begin(), l.ids.end(), id);
  if (found == l.ids.end()) return false;
  const std::size_t m = code_bytes();
  const std::size_t entry = static_cast<std::size_t>(found - l.ids.begin());
  const std::size_t last = l.ids.size() - 1;
  if (entry != last) {
    l.ids[entry] = l.ids[last];
    std::copy_n(l.codes.begin() + static_cast<std::ptrdiff_t>(last * m), m,
                l.codes.begin() + static_cast<std::ptrdiff_t>(entry * m));
  }
  l.ids.pop_back();
  l.codes.resize(last * m);
  return true;
}

void IvfPqIndex::remove_full_copy(std::size_t slot) {
  const std::size_t d = dimensions_;
  const std::size_t last = full_ids_.size() - 1;
  if (slot != last) {
    full_ids_[slot] = full_ids_[last];
    std::copy_n(full_vectors_.begin() + static_cast<std::ptrdiff_t>(last * d), d,
                full_vectors_.begin() + static_cast<std::ptrdiff_t>(slot * d));
    locations_.find(full_ids_[slot])->second.slot = slot;
  }
  full_ids_.pop_back();
  full_vectors_.resize(last * d);
}

bool IvfPqIndex::remove_held(std::uint64_t id) {
  if (buffer_.remove(id)) return true;
  const auto where = locations_.find(id);
  if (where == locations_.end()) return false;
  const Location location = where->second;
  locations_.erase(where);
  remove_full_copy(location.slot);
  return remove_from_list(static_cast<std::size_t>(location.list), id);
}

void IvfPqIndex::file(std::uint64_t id, const float* vector, std::size_t list,
                      const std::uint8_t* code) {
  const std::size_t d = dimensions_;
  (void)buffer_.remove(id);  // replacing: an absent id is the usual case
  const auto [where, inserted] = locations_.try_emplace(id, Location{list, full_ids_.size()});
  if (inserted) {
    full_ids_.push_back(id);
    full_vectors_.insert(full_vectors_.end(), vector, vector + d);
  } else {
    // Replacing: the old entry leaves its list; the full copy keeps its slot.
    (void)remove_from_list(static_cast<std::size_t>(where->second.list), id);  // may be absent
    where->second.list = list;
    std::copy_n(vector, d,
                full_vectors_.begin() + static_cast<std::ptrdiff_t>(where->second.slot * d));
  }
  CodeList& l = lists_[list];
  l.ids.push_back(id);
  l.codes.insert(l.codes.end(), code, code + code_bytes());
}

Result<> IvfPqIndex::add(std::uint64_t id, std::span<const float> vector) {
  if (vector.size() != dimensions_) {
    return DbError::dimension_mismatch(dimensions_, vector.size());
  }
  if (trained_) {
    residual_scratch_.resize(dimensions_);
    std::uint8_t code[ProductQuantizer::kMaxSubCentroids];
    std::vector<std::uint8_t> long_code;
    std::uint8_t* code_out = code;
    if (code_bytes() > sizeof code) {
      long_code.resize(code_bytes());
      code_out = long_code.data();
    }
    std::size_t list = 0;
    encode_vector(vector.data(), residual_scratch_.data(), list, code_out);
    file(id, vector.data(), list, code_out);
    return ok();
  }
  (void)remove_held(id);  // replacing: an absent id is the usual case
  buffer_.append(id, vector.data());
  if (buffer_.size() >= config_.train_size) train();
  return ok();
}

Result<> IvfPqIndex::add_batch(std::span<const IndexItem> items) {
  for (const IndexItem& item : items) SORVEL_TRY(add(item.id, item.vector));
  return ok();
}

Result<> IvfPqIndex::add_matrix(std::span<const float> data, std::size_t rows, std::size_t cols,
                                std::uint64_t start_id) {
  if (cols != dimensions_) return DbError::dimension_mismatch(dimensions_, cols);
  std::uint64_t floats = 0;
  SORVEL_CHECK(checked_product(rows, cols, floats) && floats == data.size(),
               "matrix shape does not match its data");
  const std::size_t d = dimensions_;
  std::size_t r = 0;
  for (; r < rows && !trained_; ++r) SORVEL_TRY(add(start_id + r, data.subspan(r * d, d)));
  if (r == rows) return ok();

  // Trained: every remaining row's list and code are pure functions of the row, computed a chunk
  // of rows at a time (the same values add() computes per row); the filing stays in row order.
  const std::size_t left = rows - r;
  const std::size_t m = code_bytes();
  std::vector<std::size_t> assigned(left);
  std::vector<std::uint8_t> codes(left * m);
  const std::size_t chunk = std::min(left, kEncodeChunkRows);
  std::vector<float> residuals(chunk * d);
  for (std::size_t start = 0; start < left; start += chunk) {
    const std::size_t here = std::min(chunk, left - start);
    const float* rows_here = data.data() + (r + start) * d;
    assign_nearest(metric_, rows_here, here, centroids_.data(), n_centroids(), d,
                   assigned.data() + start);
    for (std::size_t i = 0; i < here; ++i) {
      residual_of(rows_here + i * d, centroids_.data() + assigned[start + i] * d, d,
                  residuals.data() + i * d);
    }
    pq_->encode_rows(residuals.data(), here, codes.data() + start * m);
  }
  const std::vector<std::size_t> incoming = count_per_list(assigned, lists_.size());
  for (std::size_t c = 0; c < lists_.size(); ++c) {
    if (incoming[c] == 0) continue;
    reserve_more(lists_[c].ids, incoming[c]);
    reserve_more(lists_[c].codes, incoming[c] * m);
  }
  reserve_more(locations_, left);
  reserve_more(full_ids_, left);
  reserve_more(full_vectors_, left * d);
  for (std::size_t i = 0; i < left; ++i) {
    file(start_id + r + i, data.data() + (r + i) * d, assigned[i], codes.data() + i * m);
  }
  return ok();
}

Result<std::vector<SearchHit>> IvfPqIndex::search(std::span<const float> query,
                                                  std::size_t k) const {
  if (query.size() != dimensions_) {
    return DbError::dimension_mismatch(dimensions_, query.size());
  }
  if (k == 0) return std::vector<SearchHit>{};
  const std::size_t d = dimensions_;

  std::vector<std::pair<float, std::size_t>> probed;
  if (trained_ && n_centroids_ > 0) {
    const std::size_t needed = k > buffer_.size() ? k - buffer_.size() : 0;
    probed = lists_to_scan(metric_, query.data(), centroids_.data(), d, config_.nprobe,
                           std::span<const CodeList>(lists_), needed);
  }
  std::size_t candidates = buffer_.size();
  for (const auto& probe : probed) candidates += lists_[probe.second].ids.size();

  TopK top(std::min(k, candidates));
  if (!probed.empty()) {
    const std::size_t m = static_cast<std::size_t>(pq_->m());
    const std::size_t ks = static_cast<std::size_t>(pq_->k());
    std::vector<float> residual(d);
    std::vector<float> table(m * ks);
    for (const auto& probe : probed) {
      const std::size_t c = probe.second;
      const CodeList& list = lists_[c];
      if (list.ids.empty()) continue;
      residual_of(query.data(), centroids_.data() + c * d, d, residual.data());
      pq_->distance_table_into(residual.data(), table.data());
      scan_codes(list, table.data(), m, ks, top);
    }
  }
  // Buffered rows carry the metric's own distance: for L2 the square root of the squared one.
  if (metric_ == Metric::L2) {
    scan_rows_root(metric_, query.data(), buffer_.vectors().data(), buffer_.ids().data(),
                   buffer_.size(), d, top);
  } else {
    scan_rows(metric_, query.data(), buffer_.vectors().data(), buffer_.ids().data(), buffer_.size(),
              d, top);
  }
  return top.take_sorted();
}

Result<std::vector<SearchHit>> IvfPqIndex::search_filtered(std::span<const float> query,
                                                           std::size_t k,
                                                           const IdFilter& accept) const {
  if (query.size() != dimensions_) {
    return DbError::dimension_mismatch(dimensions_, query.size());
  }
  if (k == 0) return std::vector<SearchHit>{};
  const std::size_t d = dimensions_;
  const float* q = query.data();
  TopK top(std::min(k, len()));
  // Buffered rows carry the metric's own distance, as in search.
  offer_buffer(metric_, q, buffer_, d, /*root=*/metric_ == Metric::L2, top, accept);
  if (!trained_ || n_centroids_ == 0) return top.take_sorted();

  const std::size_t m = static_cast<std::size_t>(pq_->m());
  const std::size_t ks = static_cast<std::size_t>(pq_->k());
  std::vector<float> residual(d);
  std::vector<float> table(m * ks);
  const auto table_of = [&](std::size_t c) {
    residual_of(q, centroids_.data() + c * d, d, residual.data());
    pq_->distance_table_into(residual.data(), table.data());
  };
  const std::size_t listed = locations_.size();
  const std::pair<std::size_t, std::size_t> sample =
      sample_passing(std::span<const CodeList>(lists_), listed, accept);
  const std::size_t probe_rows = expected_probe_rows(config_.nprobe, lists_.size(), sample, listed);
  if (prefer_in_order_pass(listed, d, k, sample, probe_rows)) {
    // The ids in the order of their full copies, which is the order they came in.
    std::vector<std::pair<std::size_t, std::uint64_t>> passing;
    for_each_passing(full_ids_, accept, [&](std::uint64_t id) {
      passing.emplace_back(static_cast<std::size_t>(locations_.find(id)->second.list), id);
    });
    for_each_list_run(passing, [&](std::size_t c, std::span<const std::uint64_t> ids) {
      const CodeList& list = lists_[c];
      table_of(c);
      for (std::size_t e = 0; e < list.ids.size(); ++e) {
        if (!std::binary_search(ids.begin(), ids.end(), list.ids[e])) continue;
        float score;
        score_codes(list, e, 1, table.data(), m, ks, &score);
        top.push(list.ids[e], score);
      }
    });
    return top.take_sorted();
  }

  probe_filtered(
      metric_, q, centroids_.data(), d, config_.nprobe, std::span<const CodeList>(lists_), sample,
      listed, top,
      [&](std::size_t c, TopK& into) {
        const CodeList& list = lists_[c];
        if (list.ids.empty()) return;
        table_of(c);
        offer_filtered(
            list.ids.data(), list.ids.size(), into, accept,
            [&](std::size_t e) {
              float score;
              score_codes(list, e, 1, table.data(), m, ks, &score);
              return score;
            },
            [&](std::size_t begin, std::size_t count, float* out) {
              score_codes(list, begin, count, table.data(), m, ks, out);
            });
      });
  return top.take_sorted();
}

bool IvfPqIndex::remove(std::uint64_t id) { return remove_held(id); }

std::unique_ptr<IndexIterator> IvfPqIndex::iter() const {
  return std::make_unique<IvfPqIter>(*this);
}

void IvfPqIndex::flush() {
  if (!trained_ && !buffer_.empty()) train();
}

Result<> IvfPqIndex::load(const std::string& path) {
  (void)path;  // the index is rebuilt from the log; this hook only finishes it
  flush();
  return ok();
}

void IvfPqIndex::train() {
  if (trained_ || buffer_.empty()) return;
  const std::size_t n = buffer_.size();
  const std::size_t d = dimensions_;
  KMeansResult kmeans = train_coarse(metric_, buffer_, d, config_.n_lists, config_.max_iter);
  centroids_ = std::move(kmeans.centroids);
  n_centroids_ = kmeans.k;
  lists_.clear();
  lists_.resize(kmeans.k);

  // Residuals against the final centroids, for the quantizer and for the codes.
  std::vector<float> residuals(n * d);
  for (std::size_t i = 0; i < n; ++i) {
    residual_of(buffer_.row(i), centroids_.data() + kmeans.assignment[i] * d, d,
                residuals.data() + i * d);
  }
  {
    std::vector<std::span<const float>> rows(n);
    for (std::size_t i = 0; i < n; ++i) rows[i] = {residuals.data() + i * d, d};
    pq_ = ProductQuantizer::train(rows, config_.pq);
  }
  const std::size_t m = code_bytes();
  std::vector<std::uint8_t> codes(n * m);
  for (std::size_t i = 0; i < n; ++i) {
    pq_->encode_into(residuals.data() + i * d, codes.data() + i * m);
  }

  const std::vector<std::size_t> sizes = count_per_list(kmeans.assignment, kmeans.k);
  for (std::size_t c = 0; c < kmeans.k; ++c) {
    lists_[c].ids.reserve(sizes[c]);
    lists_[c].codes.reserve(sizes[c] * m);
  }
  locations_.reserve(n);
  // The buffer becomes the full-copy store: slot i is buffered row i.
  TrainingBuffer::Taken buffered = buffer_.take();
  full_ids_ = std::move(buffered.ids);
  full_vectors_ = std::move(buffered.vectors);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t c = kmeans.assignment[i];
    locations_.emplace(full_ids_[i], Location{c, i});
    lists_[c].ids.push_back(full_ids_[i]);
    lists_[c].codes.insert(lists_[c].codes.end(),
                           codes.begin() + static_cast<std::ptrdiff_t>(i * m),
                           codes.begin() + static_cast<std::ptrdiff_t>((i + 1) * m));
  }
  trained_ = true;
}

Result<> IvfPqIndex::save_file(const std::string& path) const {
  SORVEL_ASSIGN_OR_RETURN(AtomicFileWriter writer, AtomicFileWriter::create(path));
  Encoder out = Encoder::to_fd(writer.fd());
  out.u64(dimensions_);
  encode_metric(out, metric_);
  encode_list_params(out, config_);
  out.u64(config_.pq.m);
  out.u64(config_.pq.k_sub);
  out.u64(config_.pq.max_iter);
  buffer_.encode(out);
  out.f32_seq(centroids_);
  out.u64(n_centroids_);
  out.option_tag(pq_.has_value());
  if (pq_) {
    out.u64(pq_->m());
    out.u64(pq_->k());
    out.u64(pq_->subspace_dims());
    out.f32_seq(pq_->codebook());
  }
  const std::size_t m = code_bytes();
  out.length(lists_.size());
  for (const CodeList& list : lists_) {
    out.length(list.ids.size());
    for (std::size_t e = 0; e < list.ids.size(); ++e) {
      out.u64(list.ids[e]);
      out.byte_string(std::span<const std::uint8_t>(list.codes.data() + e * m, m));
    }
  }
  const std::size_t d = dimensions_;
  out.length(full_ids_.size());
  for (std::size_t slot = 0; slot < full_ids_.size(); ++slot) {
    out.u64(full_ids_[slot]);
    out.f32_seq(std::span<const float>(full_vectors_.data() + slot * d, d));
  }
  out.length(locations_.size());
  for (const auto& [id, where] : locations_) {
    out.u64(id);
    out.u64(where.list);
  }
  out.boolean(trained_);
  SORVEL_TRY(out.finish());
  return writer.commit();
}

Result<IvfPqIndex> IvfPqIndex::load_file(const std::string& path) {
  SORVEL_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path));
  Decoder in = Decoder::from_fd(fd.get());
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t dimensions, in.u64());
  SORVEL_ASSIGN_OR_RETURN(const Metric metric, decode_metric(in));
  IvfPqConfig config;
  SORVEL_TRY(decode_list_params(in, config));
  SORVEL_ASSIGN_OR_RETURN(config.pq.m, in.u64());
  SORVEL_ASSIGN_OR_RETURN(config.pq.k_sub, in.u64());
  SORVEL_ASSIGN_OR_RETURN(config.pq.max_iter, in.u64());
  if (const Result<> valid = check_pq_config(dimensions, config.pq); !valid) {
    return DbError::serialization(str_cat("configuration refused: ", valid.error().text()));
  }
  IvfPqIndex index(static_cast<std::size_t>(dimensions), metric, config);
  SORVEL_TRY(index.buffer_.decode(in));
  SORVEL_ASSIGN_OR_RETURN(index.centroids_, in.f32_seq());
  SORVEL_ASSIGN_OR_RETURN(index.n_centroids_, in.u64());
  SORVEL_ASSIGN_OR_RETURN(const bool has_pq, in.option_tag());
  if (has_pq) {
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t m, in.u64());
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t k, in.u64());
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t subspace_dims, in.u64());
    SORVEL_ASSIGN_OR_RETURN(std::vector<float> codebook, in.f32_seq());
    if (m != config.pq.m) {
      return DbError::serialization(
          str_cat("quantizer has ", m, " subspaces, the configuration ", config.pq.m));
    }
    std::uint64_t covered = 0;
    if (!checked_product(m, subspace_dims, covered) || covered != dimensions) {
      return DbError::serialization(str_cat("quantizer covers ", m, " x ", subspace_dims,
                                            " floats of ", dimensions, " dimensions"));
    }
    SORVEL_ASSIGN_OR_RETURN(ProductQuantizer pq,
                            ProductQuantizer::from_parts(m, k, subspace_dims, std::move(codebook)));
    index.pq_ = std::move(pq);
  }
  // Codes are m bytes in a consistent file; with m known from the configuration every entry is
  // checked as it is read, before its bytes are stored.
  const std::uint64_t m = config.pq.m;
  const std::uint64_t ks = index.pq_ ? index.pq_->k() : 0;
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t n_lists_in_file, in.length());
  index.lists_.reserve(Decoder::reserve_count(n_lists_in_file, sizeof(CodeList)));
  std::size_t listed = 0;
  for (std::uint64_t l = 0; l < n_lists_in_file; ++l) {
    CodeList list;
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t entries, in.length());
    if (entries > 0 && !index.pq_) {
      return DbError::serialization(str_cat("list ", l, " holds codes but there is no quantizer"));
    }
    const std::size_t room = Decoder::reserve_count(entries, sizeof(std::uint64_t) + m);
    list.ids.reserve(room);
    list.codes.reserve(room * static_cast<std::size_t>(m));
    for (std::uint64_t e = 0; e < entries; ++e) {
      SORVEL_ASSIGN_OR_RETURN(const std::uint64_t id, in.u64());
      SORVEL_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> code, in.byte_string());
      if (code.size() != m) {
        return DbError::serialization(str_cat("code of id ", id, " in list ", l, " has ",
                                              code.size(), " bytes, expected ", m));
      }
      for (const std::uint8_t byte : code) {
        if (byte >= ks) {
          return DbError::serialization(
              str_cat("code byte ", byte, " of id ", id, " in list ", l, " is not below ", ks));
        }
      }
      list.ids.push_back(id);
      list.codes.insert(list.codes.end(), code.begin(), code.end());
    }
    listed += list.ids.size();
    index.lists_.push_back(std::move(list));
  }
  const std::size_t d = static_cast<std::size_t>(dimensions);
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t pairs, in.length());
  std::unordered_map<std::uint64_t, std::size_t> slots;
  slots.reserve(Decoder::reserve_count(pairs, 2 * sizeof(std::uint64_t)));
  for (std::uint64_t p = 0; p < pairs; ++p) {
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t id, in.u64());
    SORVEL_ASSIGN_OR_RETURN(const std::vector<float> vector, in.f32_seq());
    if (vector.size() != dimensions) {
      return DbError::serialization(str_cat("full copy of id ", id, " has ", vector.size(),
                                            " floats, expected ", dimensions));
    }
    const auto [slot, inserted] = slots.try_emplace(id, index.full_ids_.size());
    if (inserted) {
      index.full_ids_.push_back(id);
      index.full_vectors_.insert(index.full_vectors_.end(), vector.begin(), vector.end());
    } else {
      // A later pair for the same id replaces the earlier one.
      std::copy(vector.begin(), vector.end(),
                index.full_vectors_.begin() + static_cast<std::ptrdiff_t>(slot->second * d));
    }
  }
  SORVEL_ASSIGN_OR_RETURN(const std::uint64_t list_pairs, in.length());
  std::unordered_map<std::uint64_t, std::uint64_t> id_to_list;
  id_to_list.reserve(Decoder::reserve_count(list_pairs, 2 * sizeof(std::uint64_t)));
  for (std::uint64_t p = 0; p < list_pairs; ++p) {
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t id, in.u64());
    SORVEL_ASSIGN_OR_RETURN(const std::uint64_t list, in.u64());
    id_to_list[id] = list;
  }
  SORVEL_ASSIGN_OR_RETURN(index.trained_, in.boolean());

  // The record decoded; now it must describe an index whose operations stay inside its data.
  SORVEL_TRY(check_buffer_and_centroids(index.buffer_, index.centroids_, index.n_centroids_,
                                        index.lists_.size(), dimensions));
  if (index.trained_ && !index.pq_) {
    return DbError::serialization("a trained index has no quantizer");
  }
  if (index.trained_ && index.n_centroids_ == 0) {
    return DbError::serialization("a trained index has no centroids");
  }
  if (!index.trained_ && (index.n_centroids_ != 0 || index.pq_)) {
    return DbError::serialization("an untrained index holds centroids or a quantizer");
  }
  SORVEL_TRY(check_list_numbers(id_to_list, index.lists_.size()));
  std::vector<std::uint64_t> held(index.buffer_.ids());
  held.reserve(held.size() + listed);
  index.locations_.reserve(listed);
  for (std::size_t l = 0; l < index.lists_.size(); ++l) {
    for (const std::uint64_t id : index.lists_[l].ids) {
      const auto list = id_to_list.find(id);
      if (list == id_to_list.end() || list->second != l) {
        return DbError::serialization(str_cat("id ", id, " of list ", l, " is not mapped to it"));
      }
      const auto slot = slots.find(id);
      if (slot == slots.end()) {
        return DbError::serialization(str_cat("id ", id, " of list ", l, " has no full copy"));
      }
      index.locations_[id] = Location{l, slot->second};
      held.push_back(id);
    }
  }
  if (id_to_list.size() != listed || slots.size() != listed) {
    return DbError::serialization(str_cat(id_to_list.size(), " list entries and ", slots.size(),
                                          " full copies for ", listed, " listed ids"));
  }
  SORVEL_TRY(check_held_once(std::move(held)));
  return index;
}

}  // namespace sorvel
