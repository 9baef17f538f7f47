// The KVEC file of MmapFlatIndex: open (with the dimensions and metric its header names, so the
// records are read, or others when the header names none), the index exercise, then a flush that
// rewrites the file and a reopening that must find the same items.

#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "index/mmap_flat/mmap_flat_index.h"

namespace sorvel::fuzz {
namespace {

void fuzz_kvec(std::span<const std::uint8_t> bytes) {
  fresh_scratch();
  const std::size_t dims = read_field<std::uint32_t>(bytes, kvec::kDimensionsOffset);
  const Metric metric =
      static_cast<Metric>(read_field<std::uint32_t>(bytes, kvec::kMetricOffset) % kMetricCount);
  const std::string path = write_scratch("index.kvec", bytes);
  Result<MmapFlatIndex> opened = MmapFlatIndex::open(path, dims, metric);
  if (!opened) {
    const ErrorKind kind = opened.error().kind();
    FUZZ_EXPECT(kind == ErrorKind::Serialization || kind == ErrorKind::DimensionMismatch ||
                kind == ErrorKind::InvalidConfig);
    return;
  }
  MmapFlatIndex& index = *opened;
  FUZZ_EXPECT(index.file_records() * kvec::stride(dims) <= bytes.size());
  exercise(index, SearchKind::kExact);
  const Snapshot changed = snapshot_of(index);
  index.flush();
  FUZZ_EXPECT(index.pending_count() == 0);
  FUZZ_EXPECT(snapshot_of(index) == changed);
  Result<MmapFlatIndex> reopened = MmapFlatIndex::open(path, dims, metric);
  FUZZ_EXPECT(reopened.has_value());
  FUZZ_EXPECT(snapshot_of(*reopened) == changed);
}

}  // namespace
}  // namespace sorvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return sorvel::fuzz::run_input([&] { sorvel::fuzz::fuzz_kvec({data, size}); });
}
