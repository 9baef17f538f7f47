// Writes the seed corpora of the fuzz targets: small valid files made by the system itself, one
// directory per target below the directory given (core/fuzz/corpus). Existing seeds of the same
// names are replaced; other files there (regression inputs) are left alone. The HNSW and trained
// IVF-PQ seeds differ from run to run: levels and training draws come from the random generator.
//
//   fuzz_seeds <corpus directory>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "collection/collection.h"
#include "collection/snapshot.h"
#include "collection/sparse_index.h"
#include "encoding.h"
#include "fuzz_support.h"
#include "index/binary_flat/binary_flat_index.h"
#include "index/flat/flat_index.h"
#include "index/hnsw/hnsw_index.h"
#include "index/ivf/ivf_index.h"
#include "index/ivf_pq/ivf_pq_index.h"
#include "index/mmap_flat/mmap_flat_index.h"
#include "index/quantized_flat/quantized_flat_index.h"
#include "index/quantized_fp16/fp16_flat_index.h"
#include "wal_fuzz_meta.h"

namespace sorvel::fuzz {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::string corpus;

template <class T>
T must(Result<T> r, const char* what) {
  if (!r) finding(std::string(what) + ": " + r.error().debug());
  return std::move(*r);
}
void must(Result<> r, const char* what) {
  if (!r) finding(std::string(what) + ": " + r.error().debug());
}

void seed(const std::string& target, const std::string& name, const Bytes& bytes) {
  const fs::path dir = fs::path(corpus) / target;
  fs::create_directories(dir);
  std::FILE* f = std::fopen((dir / name).c_str(), "wb");
  if (f == nullptr) finding("cannot write seed " + (dir / name).string());
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}
void seed_text(const std::string& target, const std::string& name, const std::string& text) {
  seed(target, name, Bytes(text.begin(), text.end()));
}
Bytes with_selector(std::uint8_t selector, Bytes bytes) {
  bytes.insert(bytes.begin(), selector);
  return bytes;
}

// Row r of a small deterministic data set.
std::vector<float> row(std::size_t r, std::size_t dims) {
  std::vector<float> v(dims);
  for (std::size_t i = 0; i < dims; ++i) {
    v[i] = static_cast<float>((r * 7 + i * 3) % 11) * 0.25f - 1.0f;
  }
  return v;
}
template <class Index>
void fill(Index& index, std::size_t rows, std::size_t dims) {
  for (std::size_t r = 0; r < rows; ++r) must(index.add(r * 3 + 1, row(r, dims)), "add");
}

// Saves with save_file and seeds the file.
template <class Index>
void seed_saved(const std::string& target, const std::string& name, const Index& index) {
  fresh_scratch();
  must(index.save_file(scratch_path("f")), "save_file");
  seed(target, name, read_scratch("f"));
}

void flat_seeds() {
  FlatIndex empty(2, Metric::Cosine);
  seed_saved("flat_file", "empty-cosine", empty);
  FlatIndex index(3, Metric::L2);
  fill(index, 4, 3);
  (void)index.remove(4);  // the file keeps the deleted row
  seed_saved("flat_file", "l2-3-live-1-deleted", index);
}

void hnsw_seeds() {
  HnswIndex empty(2, Metric::DotProduct, 16, 16, 4);
  seed_saved("hnsw_file", "empty-dot", empty);
  HnswIndex index(4, Metric::L2, 16, 16, 4);
  fill(index, 12, 4);
  (void)index.remove(7);
  seed_saved("hnsw_file", "l2-11-nodes", index);
  // The older HnswIndex layout, which load_file still reads (vectors inserted again): the same
  // header, an unused u64, then (id, vector) entries.
  Encoder older = Encoder::to_memory();
  older.u64(4);
  older.u32(0);
  older.u64(16);
  older.u64(16);
  older.u64(4);
  older.u64(0);
  older.length(5);
  for (std::uint64_t id = 0; id < 5; ++id) {
    older.u64(id * 2);
    older.f32_seq(row(id, 4));
  }
  seed("hnsw_file", "older-layout-5", older.take_bytes());
  for (const std::uint8_t selector : {3, 3 + 8}) {
    HnswIndex graph(4, static_cast<Metric>(selector / 8 % 3), 16, 16, 4);
    fill(graph, 10, 4);
    fresh_scratch();
    must(graph.save(scratch_path("g")), "save");
    const Bytes file = read_scratch("g");
    const std::string name = "dims4-metric" + std::to_string(selector / 8);
    seed("hnsw_graph", name, with_selector(selector, file));
    // The bare record, which the target seals itself (selector / 24 odd).
    seed("hnsw_graph", name + "-record",
         with_selector(selector + 24,
                       Bytes(file.begin(), file.end() - HnswIndex::kGraphTrailerBytes)));
  }
}

void ivf_seeds() {
  IvfIndex buffered = must(IvfIndex::create(3, Metric::L2, IvfConfig{2, 2, 8, 3}), "ivf");
  fill(buffered, 3, 3);
  seed_saved("ivf_file", "untrained-3", buffered);
  IvfIndex trained = must(IvfIndex::create(3, Metric::Cosine, IvfConfig{2, 2, 4, 3}), "ivf");
  fill(trained, 8, 3);
  trained.flush();
  seed_saved("ivf_file", "trained-2-lists", trained);

  const IvfPqConfig config{2, 2, 4, 3, PqConfig{2, 4, 3}};
  IvfPqIndex pq_buffered =
      must(IvfPqIndex::create(4, Metric::L2, IvfPqConfig{2, 2, 8, 3, PqConfig{2, 4, 3}}), "ivf_pq");
  fill(pq_buffered, 3, 4);
  seed_saved("ivf_pq_file", "untrained-3", pq_buffered);
  IvfPqIndex pq_trained = must(IvfPqIndex::create(4, Metric::L2, config), "ivf_pq");
  fill(pq_trained, 8, 4);
  pq_trained.flush();
  seed_saved("ivf_pq_file", "trained-2-lists", pq_trained);
}

template <class Index>
void compressed_seeds(const std::string& target, std::size_t dims) {
  Index empty(dims, Metric::L2);
  seed_saved(target, "empty", empty);
  Index index(dims, Metric::Cosine);
  fill(index, 5, dims);
  (void)index.remove(4);
  seed_saved(target, "cosine-4", index);
}

void kvec_seeds() {
  fresh_scratch();
  const std::string path = scratch_path("k");
  MmapFlatIndex index(path, 3, Metric::L2);
  fill(index, 4, 3);
  index.flush();
  const Bytes four = read_scratch("k");
  seed("kvec_open", "l2-4-records", four);
  // An earlier version appended a second record for an id whose record was live.
  Bytes repeated = four;
  std::memcpy(repeated.data() + kvec::kHeaderSize + 2 * kvec::stride(3),
              repeated.data() + kvec::kHeaderSize, 8);
  seed("kvec_open", "l2-repeated-id", repeated);
  (void)index.remove(1);
  must(index.add(100, row(9, 3)), "add");
  index.flush();
  seed("kvec_open", "l2-rewritten", read_scratch("k"));
}

void meta_seeds() {
  for (const IndexType type :
       {IndexType::Flat, IndexType::Hnsw, IndexType::Ivf, IndexType::IvfPq, IndexType::MmapFlat}) {
    const CollectionMeta meta = CollectionMeta::for_new_collection("docs", 8, Metric::Cosine, type);
    seed_text("meta_json", std::string(index_type_json_name(type)), meta.to_json());
  }
  CollectionMeta full =
      CollectionMeta::for_new_collection("all", 4, Metric::DotProduct, IndexType::Flat);
  full.auto_promote_threshold = 1000;
  full.promotion_hnsw_config = HnswConfig{};
  full.embedding_model = "model";
  full.faiss_factory = "Flat";
  seed_text("meta_json", "flat-every-field", full.to_json());
  seed_text("meta_json", "array-form", R"(["arr", 3, "l2", "fp16_flat", null, 10])");

  const SnapshotMeta snapshot{"nightly", 1700000000, 12, 3};
  seed_text("snapshot_json", "object", snapshot.to_json());
  seed_text("snapshot_json", "array-form", R"(["a", 1, 2, 3])");
}

void wal_seeds() {
  for (std::uint8_t selector = 0; selector < 8; ++selector) {
    const CollectionMeta meta = wal_fuzz_meta(selector);
    const std::string& dir = fresh_scratch();
    {
      std::unique_ptr<Collection> c =
          must(Collection::create(dir + "/c", meta), "create collection");
      for (std::uint64_t id = 1; id <= 7; ++id) {
        std::optional<Payload> payload;
        if (id % 2 == 0)
          payload = Payload::object({{"n", Payload::integer(static_cast<std::int64_t>(id))}});
        must(c->upsert(id, row(id, 4), payload), "upsert");
      }
      must(c->upsert_hybrid(3, row(20, 4), SparseVector{{1, 5}, {0.5f, 2.0f}}, std::nullopt),
           "upsert_hybrid");
      must(c->remove(5), "remove");
    }
    seed("wal_replay", std::string(index_type_json_name(meta.index_type)),
         with_selector(selector, read_scratch("c/wal.log")));
  }
}

void sparse_seeds() {
  SparseIndex index;
  index.insert(1, SparseVector{{2, 9}, {0.5f, 1.5f}});
  index.insert(2, SparseVector{{9}, {2.0f}});
  index.insert(3, SparseVector{{1, 2, 40}, {1.0f, -1.0f, 0.25f}});
  seed("sparse_bin", "three-vectors", index.encode());
  seed("sparse_bin", "empty", SparseIndex().encode());
}

// A restore writes its marker mid-exchange only; these are the texts it writes, with the files
// present that the marker's state has (see restore_marker.cc for the selector bits).
void marker_seeds() {
  const std::string tail =
      "remove absent hnsw.graph\n"
      "remove absent vectors.mmap\n"
      "end\n";
  const std::string pending =
      "restore pending\nreplace present wal.log\nreplace present meta.json\n";
  const std::string undo = "restore undo\nreplace present wal.log\nreplace present meta.json\n";
  const auto text = [](std::uint8_t selector, const std::string& s) {
    return with_selector(selector, Bytes(s.begin(), s.end()));
  };
  seed("restore_marker", "pending-staged",
       text(0x03, pending + "remove absent sparse.bin\n" + tail));
  seed("restore_marker", "pending-with-sparse",
       text(0x07, pending + "replace absent sparse.bin\n" + tail));
  seed("restore_marker", "pending-half-exchanged",
       text(0x19, pending + "remove absent sparse.bin\n" + tail));
  seed("restore_marker", "undo-aside", text(0x18, undo + "remove absent sparse.bin\n" + tail));
  seed("restore_marker", "undo-mmap",
       text(0x3b, undo + "remove absent sparse.bin\nremove absent hnsw.graph\n"
                         "remove present vectors.mmap\nend\n"));
}

}  // namespace
}  // namespace sorvel::fuzz

int main(int argc, char** argv) {
  using namespace sorvel;
  using namespace sorvel::fuzz;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  corpus = argv[1];
  return run_input([] {
    flat_seeds();
    hnsw_seeds();
    ivf_seeds();
    compressed_seeds<Fp16FlatIndex>("fp16_file", 5);
    compressed_seeds<QuantizedFlatIndex>("int8_file", 5);
    compressed_seeds<BinaryFlatIndex>("binary_file", 70);
    kvec_seeds();
    meta_seeds();
    wal_seeds();
    sparse_seeds();
    marker_seeds();
  });
}
