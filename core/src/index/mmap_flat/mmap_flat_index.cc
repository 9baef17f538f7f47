#include "index/mmap_flat/mmap_flat_index.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "check.h"
#include "distance/distance.h"
#include "index/topk.h"
#include "posix_file.h"
#include "str_cat.h"

namespace sorvel {

namespace {

template <class T>
T read_at(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

Result<> pwrite_all(int fd, const void* data, std::size_t size, std::uint64_t offset) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return DbError::io_from_errno(errno);
    }
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return ok();
}

// Writes bytes to a file from a given offset in chunks that end on 2 MiB file offsets. Written in
// whole aligned 2 MiB pieces, the page cache can keep the file in huge folios, which the kernel
// then maps with huge pages, so a search over the mapping reads it as fast as an index in memory
// (8 KiB writes leave small folios and 4 KiB pages: measured about 15% slower at 512 MB).
class ChunkWriter {
 public:
  static constexpr std::size_t kChunk = std::size_t{2} << 20;

  ChunkWriter(int fd, std::uint64_t offset) : fd_(fd), offset_(offset) { buffer_.reserve(kChunk); }

  Result<> put(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
      const std::size_t room = kChunk - static_cast<std::size_t>(offset_ % kChunk) - buffer_.size();
      const std::size_t n = std::min(room, size);
      buffer_.insert(buffer_.end(), p, p + n);
      p += n;
      size -= n;
      if (n == room) SORVEL_TRY(flush());
    }
    return ok();
  }

  Result<> flush() {
    SORVEL_TRY(pwrite_all(fd_, buffer_.data(), buffer_.size(), offset_));
    offset_ += buffer_.size();
    buffer_.clear();
    return ok();
  }

 private:
  int fd_;
  std::uint64_t offset_;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace

// Reads the index in place: it borrows the index, which must not change while the iterator lives.
class MmapFlatIter final : public IndexIterator {
 public:
  explicit MmapFlatIter(const MmapFlatIndex& index) : index_(index) {}

  std::optional<IndexItem> next() override {
    const std::size_t d = index_.dimensions_;
    while (file_pos_ < index_.count_) {
      const std::size_t i = file_pos_++;
      if (!index_.record_live(i)) continue;
      const float* v = index_.record_vector(i);
      return IndexItem{index_.record_id(i), std::vector<float>(v, v + d)};
    }
    if (pending_pos_ == index_.pending_ids_.size()) return std::nullopt;
    const std::size_t s = pending_pos_++;
    const float* v = index_.pending_vectors_.data() + s * d;
    return IndexItem{index_.pending_ids_[s], std::vector<float>(v, v + d)};
  }
  std::pair<std::size_t, std::optional<std::size_t>> size_hint() const override {
    return {0, (index_.count_ - file_pos_) + (index_.pending_ids_.size() - pending_pos_)};
  }

 private:
  const MmapFlatIndex& index_;
  std::size_t file_pos_ = 0;
  std::size_t pending_pos_ = 0;
};

Result<KvecMapping> KvecMapping::map_file_readonly(const std::string& path) {
  SORVEL_ASSIGN_OR_RETURN(UniqueFd fd, open_read(path));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return DbError::io_from_errno(errno);
  const auto size = static_cast<std::size_t>(st.st_size);
  if (st.st_size < static_cast<off_t>(kvec::kHeaderSize)) {
    return DbError::serialization("mmap file too small");
  }
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
  if (p == MAP_FAILED) return DbError::io_from_errno(errno);
#ifdef MADV_HUGEPAGE
  // Advice only: pages read in through the mapping come in huge folios where the kernel can, and
  // a scan then takes a TLB miss per 2 MiB instead of per 4 KiB.
  (void)::madvise(p, size, MADV_HUGEPAGE);
#endif
  KvecMapping m;
  m.data_ = static_cast<const std::uint8_t*>(p);
  m.size_ = size;
  return m;
}

KvecMapping::KvecMapping(KvecMapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

KvecMapping& KvecMapping::operator=(KvecMapping&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

KvecMapping::~KvecMapping() {
  if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

MmapFlatIndex::MmapFlatIndex(std::string path, std::size_t dimensions, Metric metric)
    : path_(std::move(path)),
      dimensions_(dimensions),
      metric_(metric),
      stride_(kvec::stride(dimensions)) {}

Result<MmapFlatIndex> MmapFlatIndex::open(const std::string& path, std::size_t dimensions,
                                          Metric metric) {
  SORVEL_ASSIGN_OR_RETURN(KvecMapping map, KvecMapping::map_file_readonly(path));
  const std::uint8_t* h = map.data();
  if (std::memcmp(h + kvec::kMagicOffset, kvec::kMagic, 4) != 0) {
    return DbError::serialization("invalid KVEC magic");
  }
  const auto file_dims = read_at<std::uint32_t>(h + kvec::kDimensionsOffset);
  if (file_dims != dimensions) return DbError::dimension_mismatch(dimensions, file_dims);
  const auto metric_id = read_at<std::uint32_t>(h + kvec::kMetricOffset);
  if (metric_id >= kMetricCount) {
    return DbError::serialization(str_cat("unknown metric id ", metric_id));
  }
  const auto file_metric = static_cast<Metric>(metric_id);
  if (file_metric != metric) {
    return DbError::invalid_config(str_cat("metric mismatch: file=", metric_debug_name(file_metric),
                                           ", expected=", metric_debug_name(metric)));
  }
  MmapFlatIndex index(path, dimensions, metric);
  const auto header_count = read_at<std::uint64_t>(h + kvec::kCountOffset);
  // A file cut short (a crash in the middle of a write) holds fewer records than its header says:
  // only the whole records present are read, so no read leaves the mapping.
  const std::size_t present = (map.size() - kvec::kHeaderSize) / index.stride_;
  index.count_ = static_cast<std::size_t>(std::min<std::uint64_t>(header_count, present));
  index.map_ = std::move(map);
  index.index_file_records();
  return index;
}

void MmapFlatIndex::index_file_records() {
  file_ids_.resize(count_);
  for (std::size_t i = 0; i < count_; ++i) file_ids_[i] = record_id(i);
  // Files this index writes list new ids in the order they were added, often ascending already.
  if (!std::is_sorted(file_ids_.begin(), file_ids_.end())) {
    std::sort(file_ids_.begin(), file_ids_.end());
  }
  auto repeat = std::adjacent_find(file_ids_.begin(), file_ids_.end());
  if (repeat == file_ids_.end()) return;
  // Some id has several records: the last one of each is live, the earlier ones are superseded.
  std::unordered_set<std::uint64_t> repeated;
  for (; repeat != file_ids_.end(); repeat = std::adjacent_find(repeat + 1, file_ids_.end())) {
    repeated.insert(*repeat);
  }
  std::unordered_set<std::uint64_t> seen;
  for (std::size_t i = count_; i-- > 0;) {
    const std::uint64_t id = record_id(i);
    if (repeated.contains(id) && !seen.insert(id).second) superseded_.insert(i);
  }
  file_ids_.erase(std::unique(file_ids_.begin(), file_ids_.end()), file_ids_.end());
}

Result<MmapFlatIndex> MmapFlatIndex::open_or_new(const std::string& path, std::size_t dimensions,
                                                 Metric metric) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return open(path, dimensions, metric);
  return MmapFlatIndex(path, dimensions, metric);
}

std::uint64_t MmapFlatIndex::record_id(std::size_t i) const {
  return read_at<std::uint64_t>(record(i));
}

bool MmapFlatIndex::record_live(std::size_t i) const {
  return (superseded_.empty() || !superseded_.contains(i)) &&
         (deleted_.empty() || !deleted_.contains(record_id(i)));
}

bool MmapFlatIndex::file_holds(std::uint64_t id) const {
  return std::binary_search(file_ids_.begin(), file_ids_.end(), id);
}

Result<> MmapFlatIndex::add(std::uint64_t id, std::span<const float> vector) {
  if (vector.size() != dimensions_) return DbError::dimension_mismatch(dimensions_, vector.size());
  if (const auto it = pending_slot_.find(id); it != pending_slot_.end()) {
    std::copy(vector.begin(), vector.end(), pending_vectors_.begin() + it->second * dimensions_);
    return ok();
  }
  if (file_holds(id) && !deleted_.contains(id)) return DbError::duplicate_id(id);
  // Grow every array first, so a failed allocation leaves no half-added row.
  const std::size_t slot = pending_ids_.size();
  if (slot == pending_ids_.capacity()) {
    const std::size_t cap = std::max<std::size_t>(16, 2 * slot);
    pending_ids_.reserve(cap);
    pending_vectors_.reserve(cap * dimensions_);
  }
  pending_slot_.emplace(id, slot);
  pending_ids_.push_back(id);
  pending_vectors_.insert(pending_vectors_.end(), vector.begin(), vector.end());
  return ok();
}

Result<> MmapFlatIndex::add_batch(std::span<const IndexItem> items) {
  for (const IndexItem& item : items) SORVEL_TRY(add(item.id, item.vector));
  return ok();
}

Result<> MmapFlatIndex::add_matrix(std::span<const float> data, std::size_t rows,
                                   std::size_t cols, std::uint64_t start_id) {
  if (cols != dimensions_) return DbError::dimension_mismatch(dimensions_, cols);
  SORVEL_CHECK(cols == 0 || data.size() / cols >= rows, "matrix data shorter than its rows");
  for (std::size_t r = 0; r < rows; ++r) {
    SORVEL_TRY(add(start_id + r, data.subspan(r * cols, cols)));
  }
  return ok();
}

Result<std::vector<SearchHit>> MmapFlatIndex::search(std::span<const float> query,
                                                     std::size_t k) const {
  if (query.size() != dimensions_) return DbError::dimension_mismatch(dimensions_, query.size());
  return scan(query, k, [](std::uint64_t) { return true; });
}

Result<std::vector<SearchHit>> MmapFlatIndex::search_filtered(std::span<const float> query,
                                                              std::size_t k,
                                                              const IdFilter& accept) const {
  if (query.size() != dimensions_) return DbError::dimension_mismatch(dimensions_, query.size());
  return scan(query, k, accept);
}

template <class Accept>
std::vector<SearchHit> MmapFlatIndex::scan(std::span<const float> query, std::size_t k,
                                           const Accept& accept) const {
  const std::size_t n = count_ + pending_ids_.size();
  if (k == 0 || n == 0) return {};
  TopK top(k, n);
  const float* q = query.data();
  const std::size_t d = dimensions_;
  // L2 rows are ranked by the squared distance and only the kept hits are square-rooted, as
  // distance() does: the rounded square root is monotone, so the ranking holds. The records' floats
  // are read in place, `stride_` bytes apart (a whole number of floats). A record's id is read, and
  // its tombstone looked up, only when its distance would enter the collector.
  float scores[kScanBlock];
  for (std::size_t start = 0; start < count_; start += kScanBlock) {
    const std::size_t m = std::min(kScanBlock, count_ - start);
    distance_rows(metric_, q, record_vector(start), stride_ / sizeof(float), m, d, scores);
    top.offer(scores, m, [&](std::size_t r) -> std::optional<std::uint64_t> {
      if (!record_live(start + r)) return std::nullopt;
      const std::uint64_t id = record_id(start + r);
      if (!accept(id)) return std::nullopt;
      return id;
    });
  }
  const std::size_t pending = pending_ids_.size();
  for (std::size_t start = 0; start < pending; start += kScanBlock) {
    const std::size_t m = std::min(kScanBlock, pending - start);
    distance_rows(metric_, q, pending_vectors_.data() + start * d, d, m, d, scores);
    top.offer(scores, m, [&](std::size_t r) -> std::optional<std::uint64_t> {
      const std::uint64_t id = pending_ids_[start + r];
      if (!accept(id)) return std::nullopt;
      return id;
    });
  }
  std::vector<SearchHit> hits = top.take_sorted();
  if (metric_ == Metric::L2) {
    for (SearchHit& hit : hits) hit.distance = std::sqrt(hit.distance);
  }
  return hits;
}

bool MmapFlatIndex::remove(std::uint64_t id) {
  bool removed = false;
  if (const auto it = pending_slot_.find(id); it != pending_slot_.end()) {
    const std::size_t slot = it->second;
    const std::size_t last = pending_ids_.size() - 1;
    pending_slot_.erase(it);
    if (slot != last) {
      pending_ids_[slot] = pending_ids_[last];
      std::copy_n(pending_vectors_.data() + last * dimensions_, dimensions_,
                  pending_vectors_.data() + slot * dimensions_);
      pending_slot_.find(pending_ids_[slot])->second = slot;
    }
    pending_ids_.pop_back();
    pending_vectors_.resize(last * dimensions_);
    removed = true;
  }
  if (!file_holds(id) || deleted_.contains(id)) return removed;
  deleted_.insert(id);
  return true;
}

std::unique_ptr<IndexIterator> MmapFlatIndex::iter() const {
  return std::make_unique<MmapFlatIter>(*this);
}

Result<KvecMapping> MmapFlatIndex::remap(std::size_t records) const {
  SORVEL_ASSIGN_OR_RETURN(KvecMapping m, KvecMapping::map_file_readonly(path_));
  if ((m.size() - kvec::kHeaderSize) / stride_ < records) {
    return DbError::serialization("mmap file shorter than its records");
  }
  return m;
}

std::vector<std::uint64_t> MmapFlatIndex::ids_after_flush() const {
  std::vector<std::uint64_t> ids;
  ids.reserve(file_ids_.size() - deleted_.size() + pending_ids_.size());
  for (const std::uint64_t id : file_ids_) {
    if (deleted_.empty() || !deleted_.contains(id)) ids.push_back(id);
  }
  // Pending ids are never live in the file, so the two parts are disjoint.
  const auto kept = static_cast<std::ptrdiff_t>(ids.size());
  ids.insert(ids.end(), pending_ids_.begin(), pending_ids_.end());
  std::sort(ids.begin() + kept, ids.end());
  std::inplace_merge(ids.begin(), ids.begin() + kept, ids.end());
  return ids;
}

Result<> MmapFlatIndex::write_whole_file(std::vector<std::uint64_t> ids) {
  if (dimensions_ > std::numeric_limits<std::uint32_t>::max()) {
    return DbError::invalid_config("dimensions do not fit the KVEC header");
  }
  // Every record written is the live one of a distinct id.
  const std::uint64_t records = ids.size();
  // The new file is written beside the old one and renamed over it: the old mapping stays valid
  // (it keeps the old inode) until the new file is mapped.
  SORVEL_ASSIGN_OR_RETURN(AtomicFileWriter writer, AtomicFileWriter::create(path_));
  ChunkWriter out(writer.fd(), 0);
  std::uint8_t header[kvec::kHeaderSize] = {};
  const std::uint32_t fields[3] = {kvec::kVersion, static_cast<std::uint32_t>(dimensions_),
                                   static_cast<std::uint32_t>(metric_)};
  std::memcpy(header + kvec::kMagicOffset, kvec::kMagic, 4);
  std::memcpy(header + kvec::kVersionOffset, fields, sizeof fields);
  std::memcpy(header + kvec::kCountOffset, &records, 8);
  SORVEL_TRY(out.put(header, sizeof header));
  std::uint64_t written = pending_ids_.size();
  for (std::size_t i = 0; i < count_; ++i) {
    if (!record_live(i)) continue;
    SORVEL_TRY(out.put(record(i), stride_));
    ++written;
  }
  SORVEL_CHECK(written == records, "KVEC rewrite: live records and their ids disagree");
  for (std::size_t s = 0; s < pending_ids_.size(); ++s) {
    SORVEL_TRY(out.put(&pending_ids_[s], 8));
    SORVEL_TRY(out.put(pending_vectors_.data() + s * dimensions_, 4 * dimensions_));
  }
  SORVEL_TRY(out.flush());
  SORVEL_TRY(writer.commit());
  SORVEL_ASSIGN_OR_RETURN(KvecMapping m, remap(static_cast<std::size_t>(records)));
  map_ = std::move(m);
  count_ = static_cast<std::size_t>(records);
  file_ids_ = std::move(ids);
  superseded_.clear();
  deleted_.clear();
  pending_ids_.clear();
  pending_vectors_.clear();
  pending_slot_.clear();
  return ok();
}

Result<> MmapFlatIndex::append_pending(std::vector<std::uint64_t> ids) {
  const int raw_fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  if (raw_fd < 0) return DbError::io_from_errno(errno);
  UniqueFd fd(raw_fd);
  // Records go right after the counted ones, overwriting whatever an earlier failed append left.
  ChunkWriter out(fd.get(), kvec::kHeaderSize + static_cast<std::uint64_t>(count_) * stride_);
  for (std::size_t s = 0; s < pending_ids_.size(); ++s) {
    SORVEL_TRY(out.put(&pending_ids_[s], 8));
    SORVEL_TRY(out.put(pending_vectors_.data() + s * dimensions_, 4 * dimensions_));
  }
  SORVEL_TRY(out.flush());
  const std::uint64_t new_count = count_ + pending_ids_.size();
  SORVEL_TRY(pwrite_all(fd.get(), &new_count, 8, kvec::kCountOffset));
  SORVEL_TRY(fd.close());
  // Until the new mapping exists the index keeps reading the old one with the old count; a retry
  // writes the same records at the same place.
  SORVEL_ASSIGN_OR_RETURN(KvecMapping m, remap(static_cast<std::size_t>(new_count)));
  map_ = std::move(m);
  count_ = static_cast<std::size_t>(new_count);
  file_ids_ = std::move(ids);
  pending_ids_.clear();
  pending_vectors_.clear();
  pending_slot_.clear();
  return ok();
}

Result<> MmapFlatIndex::flush_file() {
  if (deleted_.empty() && pending_ids_.empty()) return ok();
  std::vector<std::uint64_t> ids = ids_after_flush();
  if (deleted_.empty() && map_) return append_pending(std::move(ids));
  return write_whole_file(std::move(ids));
}

void MmapFlatIndex::flush() {
  (void)flush_file();  // a failed flush left the state as it was, for a retry
}

Result<> MmapFlatIndex::load(const std::string& path) {
  (void)path;
  flush();
  return ok();
}

}  // namespace sorvel
