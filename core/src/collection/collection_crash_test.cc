// A writer process is killed with SIGKILL at random moments; after each kill the data directory
// must reopen holding every write the writer had been told succeeded.
//
// The child reports on a pipe, before each operation, what it is about to do, and after it, that
// it was acknowledged. The parent keeps a model of the acknowledged state. After a kill at most one
// operation is in flight: its ids may show the old or the new state, every other id must match the
// model exactly (vector bit for bit, payload, sparse vector).
//
// SORVEL_CRASH_KILLS (default 10 per collection kind) and SORVEL_CRASH_SEED change the run;
// bench/crash_soak.sh runs it for longer.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "collection/client_state.h"
#include "testing/collection_state.h"
#include "testing/temp_dir.h"

namespace sorvel {
namespace {

constexpr std::size_t kDims = 8;
constexpr std::uint64_t kIdRange = 150;
constexpr const char* kName = "crash";

enum class Op : std::uint8_t { Upsert, Hybrid, Delete, Batch };

// One report on the pipe: 48 bytes, so a write of it is atomic.
struct Report {
  std::uint8_t done;  // 0: about to run, 1: acknowledged
  Op op;
  std::uint8_t n;
  std::uint8_t pad[5];
  std::uint64_t version;
  std::uint64_t ids[4];
};
static_assert(sizeof(Report) == 48);

std::vector<float> vector_of(std::uint64_t id, std::uint64_t version) {
  std::vector<float> v(kDims);
  for (std::size_t j = 0; j < kDims; ++j) {
    v[j] = static_cast<float>((id * 131 + version * 7 + j * 13) % 1000) / 7.0f;
  }
  return v;
}

Payload payload_of(std::uint64_t version) {
  Payload::Object members;
  members.emplace_back("v", Payload::unsigned_integer(version));
  return Payload::object(std::move(members));
}

SparseVector sparse_of(std::uint64_t id, std::uint64_t version) {
  SparseVector s;
  s.indices = {static_cast<std::uint32_t>(id % 50), static_cast<std::uint32_t>(50 + version % 50)};
  s.values = {1.0f, static_cast<float>(version)};  // exact: versions stay far below 2^24
  return s;
}

// What one id holds: its vector/payload version and its sparse vector's version.
struct IdState {
  std::optional<std::uint64_t> version;
  std::optional<std::uint64_t> sparse_version;
  bool operator==(const IdState&) const = default;
};
using Model = std::map<std::uint64_t, IdState>;

void apply_report(Model& model, const Report& r) {
  for (std::uint8_t i = 0; i < r.n; ++i) {
    IdState& s = model[r.ids[i]];
    switch (r.op) {
      case Op::Upsert:
      case Op::Batch:
        s.version = r.version;
        break;
      case Op::Hybrid:
        s.version = r.version;
        s.sparse_version = r.version;
        break;
      case Op::Delete:
        s = IdState{};
        break;
    }
  }
}

// The state of `id` as the reopened collection holds it, checked against the values the versions
// stand for. Empty when the collection holds something no version explains.
std::optional<IdState> observed(const testing::CollectionState& got, std::uint64_t id) {
  IdState s;
  const auto v = got.vectors.find(id);
  const auto p = got.payloads.find(id);
  if (v != got.vectors.end()) {
    if (p == got.payloads.end()) return std::nullopt;
    const std::string& text = p->second;  // {"v":N}
    if (text.size() < 6 || text.rfind("{\"v\":", 0) != 0) return std::nullopt;
    const std::uint64_t version = std::stoull(text.substr(5));
    if (v->second != vector_of(id, version)) return std::nullopt;
    s.version = version;
  } else if (p != got.payloads.end()) {
    return std::nullopt;
  }
  const auto sp = got.sparse.find(id);
  if (sp != got.sparse.end()) {
    if (sp->second.values.size() != 2) return std::nullopt;
    const auto version = static_cast<std::uint64_t>(sp->second.values[1]);
    if (sp->second != sparse_of(id, version)) return std::nullopt;
    s.sparse_version = version;
  }
  return s;
}

[[noreturn]] void child_main(const std::string& path, int fd, std::uint64_t version,
                             std::uint64_t seed) {
  try {
    auto opened = open_client(path);
    if (!opened) ::_exit(10);
    std::shared_ptr<ClientState> state = std::move(opened).value();
    std::mt19937_64 rng(seed);
    for (;;) {
      Report r{};
      ++version;
      r.version = version;
      const std::uint64_t pick = rng() % 10;
      r.op = pick < 4 ? Op::Upsert : pick < 6 ? Op::Hybrid : pick < 8 ? Op::Delete : Op::Batch;
      r.n = r.op == Op::Batch ? 4 : 1;
      for (std::uint8_t i = 0; i < r.n; ++i) r.ids[i] = rng() % kIdRange;
      if (::write(fd, &r, sizeof r) != sizeof r) ::_exit(11);
      {
        auto guard = state->write();
        Collection* c = guard.find(kName);
        if (c == nullptr) ::_exit(12);
        bool ok = false;
        switch (r.op) {
          case Op::Upsert:
            ok = c->upsert(r.ids[0], vector_of(r.ids[0], version), payload_of(version)).has_value();
            break;
          case Op::Hybrid:
            ok = c->upsert_hybrid(r.ids[0], vector_of(r.ids[0], version),
                                  sparse_of(r.ids[0], version), payload_of(version))
                     .has_value();
            break;
          case Op::Delete:
            ok = c->remove(r.ids[0]).has_value();
            break;
          case Op::Batch: {
            std::vector<CollectionEntry> entries;
            for (std::uint8_t i = 0; i < r.n; ++i) {
              entries.push_back({r.ids[i], vector_of(r.ids[i], version), payload_of(version)});
            }
            ok = c->upsert_batch(std::move(entries)).has_value();
            break;
          }
        }
        if (!ok) ::_exit(13);
      }
      r.done = 1;
      if (::write(fd, &r, sizeof r) != sizeof r) ::_exit(11);
    }
  } catch (...) {
    ::_exit(14);
  }
}

std::uint64_t env_or(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

// How long read_reports reads: until a deadline, until the first acknowledgement, or until EOF.
enum class ReadUntil { kDeadline, kAcknowledged, kEof };

// Reads whole reports from `fd` into `out` until `until` is met; EOF (the child is gone) always
// ends the reading.
void read_reports(int fd, std::vector<std::uint8_t>& pending_bytes, std::vector<Report>& out,
                  ReadUntil until, std::chrono::steady_clock::time_point deadline = {}) {
  std::uint8_t chunk[4096];
  const auto acknowledged = [&out] {
    return std::any_of(out.begin(), out.end(), [](const Report& r) { return r.done == 1; });
  };
  for (;;) {
    if (until == ReadUntil::kAcknowledged && acknowledged()) return;
    int timeout_ms = -1;
    if (until == ReadUntil::kDeadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return;
      timeout_ms = static_cast<int>(left.count());
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeout_ms);
    if (ready == 0) return;
    if (ready < 0) continue;
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return;  // EOF: the child is gone
    pending_bytes.insert(pending_bytes.end(), chunk, chunk + n);
    std::size_t whole = pending_bytes.size() / sizeof(Report);
    for (std::size_t i = 0; i < whole; ++i) {
      Report r;
      std::memcpy(&r, pending_bytes.data() + i * sizeof(Report), sizeof r);
      out.push_back(r);
    }
    pending_bytes.erase(pending_bytes.begin(), pending_bytes.begin() + static_cast<std::ptrdiff_t>(
                                                                           whole * sizeof(Report)));
  }
}

class CrashTest : public ::testing::TestWithParam<IndexType> {};

TEST_P(CrashTest, KilledWriterLosesNoAcknowledgedWrite) {
  const std::uint64_t kills = env_or("SORVEL_CRASH_KILLS", 10);
  const std::uint64_t seed = env_or("SORVEL_CRASH_SEED", std::random_device{}());
  SCOPED_TRACE("SORVEL_CRASH_SEED=" + std::to_string(seed));
  std::mt19937_64 rng(seed);

  testing::TempDir tmp;
  const std::string path = tmp.path();
  {
    CollectionMeta meta = CollectionMeta::for_new_collection(kName, kDims, Metric::L2, GetParam());
    meta.wal_compact_threshold = 40;  // compactions, and so kills inside them, happen often
    if (GetParam() == IndexType::Flat) meta.auto_promote_threshold = 60;
    ASSERT_TRUE(Collection::create(tmp.file(kName), meta));
  }

  Model model;
  std::uint64_t version = 0;
  std::uint64_t acknowledged = 0;
  for (std::uint64_t round = 0; round < kills; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::uint64_t child_seed = rng();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(fds[0]);
      child_main(path, fds[1], version, child_seed);
    }
    ::close(fds[1]);

    std::vector<std::uint8_t> partial;
    std::vector<Report> reports;
    // The kill is armed only once a write has been acknowledged: opening the client and replaying
    // the log take as long as the build and the machine make them, and a kill before any
    // acknowledgement would test nothing.
    read_reports(fds[0], partial, reports, ReadUntil::kAcknowledged);
    const auto delay = std::chrono::milliseconds(2 + rng() % 60);
    read_reports(fds[0], partial, reports, ReadUntil::kDeadline,
                 std::chrono::steady_clock::now() + delay);
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    read_reports(fds[0], partial, reports, ReadUntil::kEof);
    ::close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the writer stopped on its own, status " << status;

    std::optional<Report> in_flight;
    for (const Report& r : reports) {
      version = std::max(version, r.version);
      if (r.done == 0) {
        in_flight = r;
      } else {
        apply_report(model, r);
        in_flight.reset();
        ++acknowledged;
      }
    }

    auto opened = open_client(path);
    ASSERT_TRUE(opened) << opened.error().display();
    const auto guard = (*opened)->read();
    const Collection* c = guard.find(kName);
    ASSERT_NE(c, nullptr);
    const testing::CollectionState got = testing::capture(*c);
    Model next = model;
    for (std::uint64_t id = 0; id < kIdRange; ++id) {
      SCOPED_TRACE("id " + std::to_string(id));
      const std::optional<IdState> seen = observed(got, id);
      ASSERT_TRUE(seen.has_value()) << "unexplained state";
      const IdState want = model.contains(id) ? model.at(id) : IdState{};
      bool in_op = false;
      if (in_flight) {
        for (std::uint8_t i = 0; i < in_flight->n; ++i) in_op |= in_flight->ids[i] == id;
      }
      if (!in_op) {
        ASSERT_EQ(*seen, want) << "acknowledged state lost";
        continue;
      }
      Model after = model;
      apply_report(after, *in_flight);
      const IdState newer = after.contains(id) ? after.at(id) : IdState{};
      ASSERT_TRUE(*seen == want || *seen == newer) << "neither before nor after the write";
      next[id] = *seen;  // the write may or may not have reached the log
    }
    model = std::move(next);
  }
  RecordProperty("acknowledged", static_cast<int>(acknowledged));
  EXPECT_GT(acknowledged, 0u);
}

INSTANTIATE_TEST_SUITE_P(FlatAndHnsw, CrashTest,
                         ::testing::Values(IndexType::Flat, IndexType::Hnsw),
                         [](const auto& p) { return std::string(index_type_json_name(p.param)); });

}  // namespace
}  // namespace sorvel
