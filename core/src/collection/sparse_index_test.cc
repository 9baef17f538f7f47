#include "collection/sparse_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "encoding.h"
#include "posix_file.h"
#include "testing/temp_dir.h"

namespace sorvel {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <class T>
void put(Bytes& out, T value) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
  out.insert(out.end(), p, p + sizeof(T));
}

std::vector<std::uint64_t> ids_of(const SparseIndex& index, std::uint32_t term) {
  std::vector<std::uint64_t> ids;
  if (const auto* list = index.postings(term)) {
    // A copy first: push_back takes a reference, and a packed member may sit misaligned.
    for (const PostingEntry& e : *list) ids.push_back(std::uint64_t{e.id});
  }
  return ids;
}

std::map<std::uint64_t, SparseVector> vectors_of(const SparseIndex& index) {
  std::map<std::uint64_t, SparseVector> out;
  index.for_each_vector([&](std::uint64_t id, const SparseVector& v) { out.emplace(id, v); });
  return out;
}

// Every list as (id, weight bits) in list order, by term.
using Lists = std::map<std::uint32_t, std::vector<std::pair<std::uint64_t, std::uint32_t>>>;

Lists lists_of(const SparseIndex& index) {
  Lists out;
  for (const auto& [term, list] : index.posting_lists()) {
    auto& entries = out[term];
    for (const PostingEntry& e : list) {
      entries.emplace_back(std::uint64_t{e.id}, std::bit_cast<std::uint32_t>(float{e.weight}));
    }
  }
  return out;
}

// The index as a plain scan would keep it: a removal looks for the id's first entry in the list
// of each of its indices and moves the list's last entry there.
struct ScanModel {
  Lists lists;
  std::map<std::uint64_t, SparseVector> vectors;

  void remove(std::uint64_t id) {
    const auto it = vectors.find(id);
    if (it == vectors.end()) return;
    const SparseVector v = std::move(it->second);
    vectors.erase(it);
    for (const std::uint32_t term : v.indices) {
      const auto list = lists.find(term);
      if (list == lists.end()) continue;
      auto& entries = list->second;
      const auto entry = std::find_if(entries.begin(), entries.end(),
                                      [id](const auto& e) { return e.first == id; });
      if (entry == entries.end()) continue;
      *entry = entries.back();
      entries.pop_back();
      if (entries.empty()) lists.erase(list);
    }
  }

  void insert(std::uint64_t id, const SparseVector& v) {
    if (const auto it = vectors.find(id); it != vectors.end() && it->second == v) return;
    remove(id);
    for (std::size_t i = 0; i < std::min(v.indices.size(), v.values.size()); ++i) {
      lists[v.indices[i]].emplace_back(id, std::bit_cast<std::uint32_t>(v.values[i]));
    }
    vectors[id] = v;
  }
};

TEST(SparseVectorTest, ByteFormAndDecoding) {
  const SparseVector v{{3, 7}, {0.5f, 2.0f}};
  Bytes expected;
  put<std::uint64_t>(expected, 2);
  put<std::uint32_t>(expected, 3);
  put<std::uint32_t>(expected, 7);
  put<std::uint64_t>(expected, 2);
  put<float>(expected, 0.5f);
  put<float>(expected, 2.0f);
  EXPECT_EQ(v.encode(), expected);
  EXPECT_EQ(SparseVector{}.encode(), Bytes(16, 0));

  Bytes with_tail = expected;
  with_tail.push_back(0xAB);
  auto back = SparseVector::decode(with_tail);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, v);

  // Lists of different lengths are taken as they are.
  const SparseVector uneven{{1, 2, 3}, {9.0f}};
  auto uneven_back = SparseVector::decode(uneven.encode());
  ASSERT_TRUE(uneven_back.has_value());
  EXPECT_EQ(*uneven_back, uneven);

  // Every cut of the bytes fails with the premature end.
  for (std::size_t cut = 0; cut < expected.size(); ++cut) {
    SCOPED_TRACE(cut);
    auto r = SparseVector::decode(std::span(expected).first(cut));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "serialization error: io error: unexpected end of file");
  }
}

TEST(SparseVectorTest, HugeCountFailsWithoutReservingForIt) {
  Bytes bytes;
  put<std::uint64_t>(bytes, std::uint64_t{1} << 62);
  put<std::uint32_t>(bytes, 1);
  put<std::uint32_t>(bytes, 2);
  auto r = SparseVector::decode(bytes);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
}

TEST(SparseIndexTest, InsertReplacesAndRemoveSwapsTheLastEntryIn) {
  SparseIndex index;
  index.insert(1, SparseVector{{5, 6}, {1.0f, 1.0f}});
  index.insert(2, SparseVector{{5}, {2.0f}});
  index.insert(3, SparseVector{{5}, {3.0f}});
  EXPECT_EQ(ids_of(index, 5), (std::vector<std::uint64_t>{1, 2, 3}));

  // Removing the first of [1, 2, 3] moves the last into its slot.
  index.remove(1);
  EXPECT_EQ(ids_of(index, 5), (std::vector<std::uint64_t>{3, 2}));
  EXPECT_EQ(index.postings(6), nullptr);  // emptied list is gone
  EXPECT_EQ(index.find(1), nullptr);

  // Replacing: old entries leave first, so a term in both vectors ends with one entry, last.
  index.insert(2, SparseVector{{5, 9}, {4.0f, 5.0f}});
  EXPECT_EQ(ids_of(index, 5), (std::vector<std::uint64_t>{3, 2}));
  EXPECT_EQ(float{index.postings(5)->back().weight}, 4.0f);
  EXPECT_EQ(ids_of(index, 9), (std::vector<std::uint64_t>{2}));

  // An empty vector is stored and counted but has no postings.
  index.insert(4, SparseVector{});
  EXPECT_EQ(index.len(), 3u);
  ASSERT_NE(index.find(4), nullptr);

  // Unknown ids and second removals change nothing.
  const Bytes before = index.encode();
  index.remove(99);
  EXPECT_EQ(index.encode(), before);
  index.remove(3);
  index.remove(3);
  EXPECT_EQ(ids_of(index, 5), (std::vector<std::uint64_t>{2}));
  EXPECT_EQ(index.len(), 2u);
}

TEST(SparseIndexTest, ListsEndAsAScanningRemovalLeavesThem) {
  // Inserts, replacements and removals over few terms (long lists, many moves), with the index
  // read back from its own image now and then (positions rebuilt from the lists): the lists keep
  // exactly the order a scan for the id would give, so scores and "sparse.bin" do not change.
  // Indices are distinct; the second half of the runs gives them in no particular order.
  for (const bool ordered : {true, false}) {
    SCOPED_TRACE(ordered);
    std::mt19937_64 rng(ordered ? 7 : 8);
    SparseIndex index;
    ScanModel model;
    for (int step = 0; step < 4000; ++step) {
      const std::uint64_t id = rng() % 300;
      if (rng() % 4 == 0) {
        index.remove(id);
        model.remove(id);
      } else {
        std::vector<std::uint32_t> terms(12);
        std::iota(terms.begin(), terms.end(), 0u);
        std::shuffle(terms.begin(), terms.end(), rng);
        terms.resize(1 + rng() % 6);
        if (ordered) std::sort(terms.begin(), terms.end());
        SparseVector v{terms, {}};
        for (std::size_t i = 0; i < terms.size(); ++i) v.values.push_back(float(rng() % 97));
        index.insert(id, v);
        model.insert(id, v);
      }
      if (step % 997 == 0) {
        auto back = SparseIndex::read_file(index.encode());
        ASSERT_TRUE(back.has_value());
        index = std::move(back).value();
      }
      ASSERT_EQ(lists_of(index), model.lists) << step;
    }
    EXPECT_EQ(vectors_of(index), model.vectors);
  }
}

TEST(SparseIndexTest, RepeatedIndicesLeaveNoEntryBehind) {
  // A decoded vector may name a term twice: each pair has its own entry, and a removal takes out
  // exactly those, wherever the moves put them.
  SparseIndex index;
  index.insert(1, SparseVector{{5, 5, 6}, {1.0f, 2.0f, 3.0f}});
  index.insert(2, SparseVector{{5}, {4.0f}});
  index.insert(3, SparseVector{{6, 5, 6, 5}, {5.0f, 6.0f, 7.0f, 8.0f}});
  index.remove(1);
  EXPECT_EQ(ids_of(index, 5), (std::vector<std::uint64_t>{3, 3, 2}));
  EXPECT_EQ(ids_of(index, 6), (std::vector<std::uint64_t>{3, 3}));
  index.insert(3, SparseVector{{9}, {1.0f}});
  EXPECT_EQ(ids_of(index, 5), (std::vector<std::uint64_t>{2}));
  EXPECT_EQ(index.postings(6), nullptr);
  index.remove(2);
  index.remove(3);
  EXPECT_TRUE(index.posting_lists().empty());
}

TEST(SparseIndexTest, UpdateCostDoesNotFollowTheListLength) {
  // One term in every vector: ids near its list's end cost a scan as much as the whole list, the
  // front almost nothing. Counted steps of an update (a replacement) at either end, and of one in
  // an index read back from its image, stay about the vector's pairs.
  constexpr std::uint64_t kIds = 20000;
  const auto vector_of = [](std::uint64_t id, float w) {
    return SparseVector{
        {0, static_cast<std::uint32_t>(1 + id % 1000), static_cast<std::uint32_t>(2000 + id % 777)},
        {w, w, w}};
  };
  SparseIndex index;
  for (std::uint64_t id = 0; id < kIds; ++id) index.insert(id, vector_of(id, 1.0f));
  const auto update_steps = [&](SparseIndex& target, std::uint64_t id) {
    const std::uint64_t before = target.removal_steps();
    target.insert(id, vector_of(id, 2.0f));
    return target.removal_steps() - before;
  };
  const std::uint64_t front = update_steps(index, 1);
  const std::uint64_t back = update_steps(index, kIds - 2);
  EXPECT_LE(front, 12u);
  EXPECT_LE(back, 12u);
  auto read = SparseIndex::read_file(index.encode());
  ASSERT_TRUE(read.has_value());
  EXPECT_LE(update_steps(*read, kIds - 3), 12u);
  EXPECT_EQ(read->postings(0)->size(), kIds);
}

TEST(SparseIndexTest, UnevenVectorPairsOnlyWhatBothListsHold) {
  SparseIndex index;
  index.insert(1, SparseVector{{1, 2, 3}, {0.5f}});
  EXPECT_EQ(ids_of(index, 1), (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(index.postings(2), nullptr);
  index.remove(1);
  EXPECT_TRUE(index.posting_lists().empty());
}

TEST(SparseIndexTest, FileOfOneVectorIsTheDocumented104Bytes) {
  testing::TempDir dir;
  SparseIndex index;
  index.insert(9, SparseVector{{3, 7}, {0.5f, 2.0f}});
  const std::string path = dir.file("sparse.bin");
  ASSERT_TRUE(index.write_file(path).has_value());
  auto bytes = read_whole_file(path);
  ASSERT_TRUE(bytes.has_value());
  ASSERT_EQ(bytes->size(), 104u);

  Decoder in = Decoder::from_memory(*bytes);
  EXPECT_EQ(*in.u64(), 2u);
  std::vector<std::uint32_t> terms;
  for (int l = 0; l < 2; ++l) {
    terms.push_back(*in.u32());
    EXPECT_EQ(*in.u64(), 1u);
    EXPECT_EQ(*in.u64(), 9u);
    EXPECT_EQ(*in.f32(), terms.back() == 3 ? 0.5f : 2.0f);
  }
  std::sort(terms.begin(), terms.end());
  EXPECT_EQ(terms, (std::vector<std::uint32_t>{3, 7}));
  EXPECT_EQ(*in.u64(), 1u);
  EXPECT_EQ(*in.u64(), 9u);
  EXPECT_EQ(*in.u32_seq(), (std::vector<std::uint32_t>{3, 7}));
  EXPECT_EQ(*in.f32_seq(), (std::vector<float>{0.5f, 2.0f}));
  EXPECT_EQ(in.position(), 104u);

  // Nothing is left beside the file.
  std::size_t entries = 0;
  for (const auto& e :
       std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1u);
}

TEST(SparseIndexTest, FileRoundTripKeepsListOrder) {
  testing::TempDir dir;
  SparseIndex index;
  for (std::uint64_t id = 0; id < 50; ++id) {
    index.insert(id, SparseVector{{static_cast<std::uint32_t>(id % 7), 100},
                                  {static_cast<float>(id), -0.0f}});
  }
  for (std::uint64_t id = 0; id < 50; id += 3) index.remove(id);
  const std::string path = dir.file("sparse.bin");
  ASSERT_TRUE(index.write_file(path).has_value());
  auto bytes = read_whole_file(path);
  ASSERT_TRUE(bytes.has_value());
  auto back = SparseIndex::read_file(*bytes);
  ASSERT_TRUE(back.has_value()) << back.error().display();
  EXPECT_EQ(vectors_of(*back), vectors_of(index));
  ASSERT_EQ(back->posting_lists().size(), index.posting_lists().size());
  for (const auto& [term, list] : index.posting_lists()) {
    const auto* other = back->postings(term);
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(other->size(), list.size());
    EXPECT_EQ(std::memcmp(other->data(), list.data(), list.size() * sizeof(PostingEntry)), 0);
  }
}

TEST(SparseIndexTest, WriteFileIntoMissingDirectoryIsIo) {
  testing::TempDir dir;
  SparseIndex index;
  index.insert(1, SparseVector{{1}, {1.0f}});
  auto r = index.write_file(dir.file("missing/sparse.bin"));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
}

Bytes image_of(std::initializer_list<std::pair<std::uint32_t, std::vector<PostingEntry>>> lists,
               std::initializer_list<std::pair<std::uint64_t, SparseVector>> vectors) {
  Bytes out;
  put<std::uint64_t>(out, lists.size());
  for (const auto& [term, entries] : lists) {
    put<std::uint32_t>(out, term);
    put<std::uint64_t>(out, entries.size());
    for (const PostingEntry& e : entries) {
      put<std::uint64_t>(out, e.id);
      put<float>(out, e.weight);
    }
  }
  put<std::uint64_t>(out, vectors.size());
  for (const auto& [id, v] : vectors) {
    put<std::uint64_t>(out, id);
    const Bytes b = v.encode();
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

TEST(SparseIndexTest, ReaderAcceptsWhatTheFormatAllows) {
  // A repeated term and a repeated id keep the later one; empty lists and trailing bytes pass;
  // nothing ties the lists to the vectors.
  Bytes image = image_of({{4, {{1, 1.0f}}}, {4, {{2, 2.0f}, {3, 3.0f}}}, {8, {}}},
                         {{5, SparseVector{{1}, {1.0f}}}, {5, SparseVector{{2, 3}, {2.0f, 3.0f}}}});
  image.push_back(0x7F);
  auto index = SparseIndex::read_file(image);
  ASSERT_TRUE(index.has_value()) << index.error().display();
  EXPECT_EQ(ids_of(*index, 4), (std::vector<std::uint64_t>{2, 3}));
  ASSERT_NE(index->postings(8), nullptr);
  EXPECT_TRUE(index->postings(8)->empty());
  ASSERT_EQ(index->len(), 1u);
  EXPECT_EQ(*index->find(5), (SparseVector{{2, 3}, {2.0f, 3.0f}}));
}

TEST(SparseIndexTest, ReinsertingTheStoredVectorChangesNothingUnlessItsEntriesDisagree) {
  // The replay of a compacted log re-inserts every vector "sparse.bin" already holds.
  SparseIndex index;
  for (std::uint64_t id = 1; id <= 3; ++id) index.insert(id, SparseVector{{5}, {float(id)}});
  const std::uint64_t steps = index.removal_steps();
  index.insert(1, SparseVector{{5}, {1.0f}});
  EXPECT_EQ(ids_of(index, 5), (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_EQ(index.removal_steps(), steps);
  index.insert(1, SparseVector{{5}, {-1.0f}});  // another weight is another vector
  EXPECT_EQ(ids_of(index, 5), (std::vector<std::uint64_t>{3, 2, 1}));

  // An image whose entries disagree with its vectors (a weight, a missing entry) is mended by
  // the insert of the vector.
  auto read = SparseIndex::read_file(
      image_of({{4, {{1, 9.0f}}}}, {{1, SparseVector{{4, 6}, {1.0f, 2.0f}}}}));
  ASSERT_TRUE(read.has_value());
  read->insert(1, SparseVector{{4, 6}, {1.0f, 2.0f}});
  EXPECT_EQ(lists_of(*read), (Lists{{4, {{1, std::bit_cast<std::uint32_t>(1.0f)}}},
                                    {6, {{1, std::bit_cast<std::uint32_t>(2.0f)}}}}));
}

TEST(SparseIndexTest, CorruptImagesFail) {
  const Bytes good = image_of({{4, {{1, 1.0f}, {2, 2.0f}}}},
                              {{1, SparseVector{{4}, {1.0f}}}, {2, SparseVector{{4}, {2.0f}}}});
  ASSERT_TRUE(SparseIndex::read_file(good).has_value());
  // Every truncation fails as a whole, whether it ends in the lists or in the vectors.
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_FALSE(SparseIndex::read_file(std::span(good).first(cut)).has_value());
  }
  // Oversized counts at each level fail with the premature end instead of exhausting memory.
  const std::uint64_t huge = std::uint64_t{1} << 62;
  struct Oversize {
    const char* what;
    std::size_t offset;  // of the u64 count to overwrite
  };
  const Oversize cases[] = {
      {"posting list count", 0},
      {"entries of a list", 12},
      {"vector count", 8 + 12 + 24},
      {"indices of a vector", 8 + 12 + 24 + 8 + 8},
  };
  for (const Oversize& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bad = good;
    std::memcpy(bad.data() + c.offset, &huge, 8);
    auto r = SparseIndex::read_file(bad);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "serialization error: io error: unexpected end of file");
  }
}

}  // namespace
}  // namespace sorvel
