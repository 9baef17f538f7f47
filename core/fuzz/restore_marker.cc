// The restore marker "restore.pending": finish_interrupted_restore over a collection directory
// holding an old collection, staged copies and kept-aside files as the first input byte's bits
// say, with the rest of the input as the marker. A refused marker must leave every file as it was;
// a finished one must leave no marker or kept-aside file behind, and a second pass no staged copy
// either; nothing outside the directory is ever touched, and whatever the directory then holds
// opens or fails as a DbError.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "collection/snapshot.h"
#include "collection/wal.h"
#include "fuzz_support.h"

namespace sorvel::fuzz {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes log_of(std::uint64_t records) {
  Bytes out;
  for (std::uint64_t id = 1; id <= records; ++id) {
    const Bytes body =
        WalEntry::add(id, {static_cast<float>(id), 0.0f}, std::nullopt, std::nullopt).encode();
    const auto n = static_cast<std::uint32_t>(body.size());
    const auto* p = reinterpret_cast<const std::uint8_t*>(&n);
    out.insert(out.end(), p, p + 4);
    out.insert(out.end(), body.begin(), body.end());
  }
  return out;
}

Bytes text_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Every entry below `dir` with its content (directories as "<dir>").
std::map<std::string, Bytes> listing(const std::string& dir) {
  std::map<std::string, Bytes> out;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir, ec)) {
    const std::string rel = fs::relative(e.path(), dir).string();
    if (e.is_directory()) {
      out[rel] = text_bytes("<dir>");
    } else {
      out[rel] = read_scratch(fs::relative(e.path(), scratch_dir()).string());
    }
  }
  return out;
}

void fuzz_marker(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  const std::uint8_t files = bytes[0];
  fresh_scratch();
  fs::create_directory(scratch_path("c"));
  const std::string dir = scratch_path("c");
  write_scratch("outside", text_bytes("untouched"));
  write_scratch("c/unrelated", text_bytes("untouched"));

  const Bytes meta = text_bytes(
      CollectionMeta::for_new_collection("fuzz", 2, Metric::L2, IndexType::Flat).to_json());
  if (!(files & 0x40)) write_scratch("c/wal.log", log_of(2));
  if (!(files & 0x80)) write_scratch("c/meta.json", meta);
  if (files & 0x01) write_scratch("c/wal.log.restore-new", log_of(3));
  if (files & 0x02) write_scratch("c/meta.json.restore-new", meta);
  if (files & 0x04) write_scratch("c/sparse.bin.restore-new", SparseIndex().encode());
  if (files & 0x08) write_scratch("c/wal.log.restore-old", log_of(1));
  if (files & 0x10) write_scratch("c/meta.json.restore-old", meta);
  if (files & 0x20) write_scratch("c/vectors.mmap", text_bytes("not a KVEC file"));
  write_scratch("c/restore.pending", bytes.subspan(1));

  const std::map<std::string, Bytes> before = listing(scratch_dir());
  Result<> finished = finish_interrupted_restore(dir);
  const std::map<std::string, Bytes> after = listing(scratch_dir());
  FUZZ_EXPECT(after.at("outside") == text_bytes("untouched"));
  FUZZ_EXPECT(after.at("c/unrelated") == text_bytes("untouched"));
  if (!finished) {
    const ErrorKind kind = finished.error().kind();
    FUZZ_EXPECT(kind == ErrorKind::Serialization || kind == ErrorKind::Io);
    if (kind == ErrorKind::Serialization) FUZZ_EXPECT(after == before);
    return;
  }
  for (const auto& [name, content] : after) {
    FUZZ_EXPECT(name != "c/restore.pending");
    FUZZ_EXPECT(!name.ends_with(kRestoreAsideSuffix));
  }
  // A staged copy that the marker gave no part (only in states a restore never writes) is an
  // unused copy once the marker is gone, and the next pass removes it.
  Result<> again = finish_interrupted_restore(dir);
  FUZZ_EXPECT(again.has_value());
  for (const auto& [name, content] : listing(scratch_dir())) {
    FUZZ_EXPECT(!name.ends_with(kRestoreStagedSuffix) && !name.ends_with(kRestoreAsideSuffix));
  }
  Result<std::unique_ptr<Collection>> opened = Collection::open(dir);
  if (opened) FUZZ_EXPECT((*opened)->len() <= 3);
}

}  // namespace
}  // namespace sorvel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return sorvel::fuzz::run_input([&] { sorvel::fuzz::fuzz_marker({data, size}); });
}
