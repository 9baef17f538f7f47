#include "collection/client_state.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "check.h"
#include "testing/temp_dir.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::shared_ptr<ClientState> open_or_die(const std::string& path) {
  auto state = open_client(path);
  EXPECT_TRUE(state.has_value()) << state.error().display();
  return std::move(state).value();
}

std::set<std::string> names(const ClientState& state) {
  const auto list = state.list_collections();
  return {list.begin(), list.end()};
}

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
  return out;
}

void write_text(const std::string& path, const std::string& text) {
  testing::write_file(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::string meta_text(const std::string& name, const std::string& type = "flat") {
  return "{\"name\": \"" + name + "\", \"dimensions\": 2, \"metric\": \"l2\", \"index_type\": \"" +
         type + "\"}";
}

TEST(ClientStateTest, CollectionsSurviveReopeningWithTheirMetadata) {
  TempDir tmp;
  const std::string path = tmp.file("data/nested");  // created with its parents
  {
    auto state = open_or_die(path);
    ASSERT_TRUE(state->create_collection("a", 3, Metric::Cosine, IndexType::Ivf));
    ASSERT_TRUE(state->create_collection("b", 2, Metric::L2, IndexType::Flat));
    auto w = state->write();
    ASSERT_TRUE(w.find("b")->upsert(1, std::vector<float>{1.0f, 2.0f}, std::nullopt));
  }
  auto state = open_or_die(path);
  EXPECT_EQ(names(*state), (std::set<std::string>{"a", "b"}));
  EXPECT_EQ(state->count_collections(), 2u);
  const auto r = state->read();
  const CollectionMeta& a = r.find("a")->meta();
  EXPECT_EQ(a.index_type, IndexType::Ivf);
  EXPECT_EQ(a.metric, Metric::Cosine);
  ASSERT_TRUE(a.ivf_config.has_value());
  EXPECT_EQ(a.ivf_config->max_iter, 10u);
  EXPECT_FALSE(a.hnsw_config.has_value());
  EXPECT_FALSE(r.find("b")->meta().hnsw_config.has_value());
  EXPECT_EQ(r.find("b")->len(), 1u);
}

TEST(ClientStateTest, CreationRefusesTakenNamesAndForeignDirectories) {
  TempDir tmp;
  auto state = open_or_die(tmp.path());
  ASSERT_TRUE(state->create_collection("a", 3, Metric::Cosine, IndexType::Hnsw));
  auto again = state->create_collection("a", 5, Metric::L2, IndexType::Flat);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().display(), "collection already exists: a");
  EXPECT_EQ(state->read().find("a")->meta().dimensions, 3u);

  // A directory holding a log or metadata that the opening passed over is never adopted.
  for (const char* file : {"meta.json", "wal.log"}) {
    SCOPED_TRACE(file);
    const std::string dir = tmp.file(std::string("taken_") + file);
    fs::create_directory(dir);
    write_text(dir + "/" + file, "not mine");
    auto r = state->create_collection(std::string("taken_") + file, 2, Metric::L2, IndexType::Flat);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::CollectionAlreadyExists);
    EXPECT_EQ(entries(dir), (std::set<std::string>{file}));
    EXPECT_EQ(testing::read_file(dir + "/" + file).size(), 8u);
  }

  // Caches derived from a log that no longer exists are cleared, not taken up.
  const std::string stale = tmp.file("stale");
  fs::create_directory(stale);
  testing::write_file(stale + "/sparse.bin", {1, 2, 3});
  testing::write_file(stale + "/vectors.mmap", {1, 2, 3});
  ASSERT_TRUE(state->create_collection("stale", 2, Metric::L2, IndexType::MmapFlat));
  EXPECT_EQ(entries(stale), (std::set<std::string>{"meta.json", "wal.log"}));
}

TEST(ClientStateTest, NamesOutsideOneDirectoryAreRefusedBeforeAnythingHappens) {
  TempDir tmp;
  const std::string path = tmp.file("data");
  auto state = open_or_die(path);
  const struct {
    std::string name;
    const char* shown;
  } cases[] = {
      {"", "\"\""},       {".", "\".\""},       {"..", "\"..\""},
      {"a/b", "\"a/b\""}, {"/abs", "\"/abs\""}, {std::string("a\0b", 3), "\"a\\0b\""},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.shown);
    auto r = state->create_collection(tc.name, 2, Metric::L2, IndexType::Flat);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidConfig);
    EXPECT_EQ(r.error().text(), std::string("invalid collection name: ") + tc.shown);
  }
  EXPECT_EQ(entries(path), std::set<std::string>{});
  EXPECT_EQ(state->count_collections(), 0u);
}

TEST(ClientStateTest, DataDirectoryThatIsAFileIsIo) {
  TempDir tmp;
  write_text(tmp.file("file"), "x");
  auto state = open_client(tmp.file("file"));
  ASSERT_FALSE(state);
  EXPECT_EQ(state.error().kind(), ErrorKind::Io);
}

TEST(ClientStateTest, UntrainableConfigurationWritesNothing) {
  TempDir tmp;
  auto state = open_or_die(tmp.path());
  // The quantizer's 8 subspaces do not divide 3 dimensions.
  auto r = state->create_collection("pq", 3, Metric::L2, IndexType::IvfPq);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidConfig);
  EXPECT_FALSE(fs::exists(tmp.file("pq")));
  EXPECT_TRUE(state->create_collection("pq", 8, Metric::L2, IndexType::IvfPq));
}

TEST(ClientStateTest, OpeningPassesOverWhatIsNoCollection) {
  TempDir tmp;
  const std::string path = tmp.path();
  {
    auto state = open_or_die(path);
    ASSERT_TRUE(state->create_collection("good", 2, Metric::L2, IndexType::Flat));
  }
  write_text(tmp.file("plain_file"), "x");
  fs::create_directory(tmp.file("no_meta"));
  fs::create_directory(tmp.file("bad_meta"));
  write_text(tmp.file("bad_meta/meta.json"), "{\"name\": ");
  fs::create_directory(tmp.file("escaping"));
  write_text(tmp.file("escaping/meta.json"), meta_text(".."));
  testing::write_file(tmp.file("escaping/wal.log"), {1, 2, 3});  // a torn tail, left alone
  fs::create_directory(tmp.file("elsewhere"));
  write_text(tmp.file("elsewhere/meta.json"), meta_text("renamed"));
  fs::create_directory(tmp.file("renamed"));  // the user's own, no collection
  write_text(tmp.file("renamed/notes.txt"), "mine");
  fs::create_directory(tmp.file("dup1"));
  write_text(tmp.file("dup1/meta.json"), meta_text("dup"));
  fs::create_directory(tmp.file("dup2"));
  write_text(tmp.file("dup2/meta.json"), meta_text("dup"));

  auto state = open_or_die(path);
  EXPECT_EQ(names(*state), (std::set<std::string>{"good", "renamed", "dup"}));
  EXPECT_TRUE(fs::exists(tmp.file("bad_meta/meta.json")));  // untouched
  EXPECT_FALSE(fs::exists(tmp.file("bad_meta/wal.log")));
  EXPECT_EQ(fs::file_size(tmp.file("escaping/wal.log")), 3u);

  // Removal takes the directory the collection was opened from, never path/name.
  EXPECT_TRUE(state->delete_collection("renamed").value());
  EXPECT_FALSE(fs::exists(tmp.file("elsewhere")));
  EXPECT_EQ(entries(tmp.file("renamed")), (std::set<std::string>{"notes.txt"}));
  EXPECT_FALSE(state->delete_collection("renamed").value());
  EXPECT_FALSE(state->delete_collection("..").value());
  EXPECT_TRUE(fs::exists(tmp.file("good")));
  EXPECT_TRUE(state->delete_collection("good").value());
  EXPECT_FALSE(fs::exists(tmp.file("good")));
}

TEST(ClientStateTest, DirectoriesThatDoNotOpenKeepTheirNameUntilDeleted) {
  const struct {
    const char* dir;
    std::string meta;
    const char* name;  // what the directory is known by: its meta.name, else its own name
  } cases[] = {
      {"f", meta_text("faiss-one", "faiss"), "faiss-one"},
      {"garbled", "{\"name\": ", "garbled"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.dir);
    TempDir tmp;
    {
      auto state = open_or_die(tmp.path());
      ASSERT_TRUE(state->create_collection("good", 2, Metric::L2, IndexType::Flat));
    }
    fs::create_directory(tmp.file(tc.dir));
    write_text(tmp.file(std::string(tc.dir) + "/meta.json"), tc.meta);

    auto state = open_or_die(tmp.path());
    EXPECT_EQ(names(*state), (std::set<std::string>{"good"}));
    EXPECT_FALSE(state->contains(tc.name));
    Result<> taken = state->create_collection(tc.name, 2, Metric::L2, IndexType::Flat);
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().kind(), ErrorKind::CollectionAlreadyExists);
    EXPECT_TRUE(fs::exists(tmp.file(tc.dir)));  // the opening changed nothing there

    EXPECT_TRUE(state->delete_collection(tc.name).value());
    EXPECT_FALSE(fs::exists(tmp.file(tc.dir)));
    EXPECT_FALSE(state->delete_collection(tc.name).value());
    EXPECT_TRUE(state->create_collection(tc.name, 2, Metric::L2, IndexType::Flat));
    EXPECT_EQ(names(*state), (std::set<std::string>{"good", tc.name}));
  }
}

TEST(ClientStateTest, DeletionCutShortIsNoCollectionAndIsFinishedLater) {
  TempDir tmp;
  // Directories as a deletion killed after its first step leaves them: "meta.json" renamed.
  for (const std::string name : {"a", "b"}) {
    auto state = open_or_die(tmp.path());
    ASSERT_TRUE(state->create_collection(name, 2, Metric::L2, IndexType::Flat));
    ASSERT_TRUE(state->write().find(name)->upsert(1, std::vector<float>{1.0f, 2.0f}, {}));
    fs::rename(tmp.file(name + "/meta.json"), tmp.file(name + "/meta.json.deleted"));
  }
  TempDir elsewhere;
  write_text(elsewhere.file("meta.json.deleted"), "x");
  fs::create_directory_symlink(elsewhere.path(), tmp.file("link"));

  auto state = open_or_die(tmp.path());
  EXPECT_EQ(state->count_collections(), 0u);
  EXPECT_FALSE(fs::exists(tmp.file("a")));  // the opening finished both removals
  EXPECT_FALSE(fs::exists(tmp.file("b")));
  EXPECT_TRUE(fs::exists(elsewhere.file("meta.json.deleted")));  // never through a link

  // A removal that failed half-way under this client is finished by the next creation there.
  fs::create_directory(tmp.file("c"));
  write_text(tmp.file("c/meta.json.deleted"), meta_text("c"));
  testing::write_file(tmp.file("c/wal.log"), {1, 2, 3});
  ASSERT_TRUE(state->create_collection("c", 2, Metric::L2, IndexType::Flat));
  EXPECT_EQ(state->read().find("c")->len(), 0u);
  EXPECT_EQ(entries(tmp.file("c")), (std::set<std::string>{"meta.json", "wal.log"}));
  EXPECT_EQ(fs::file_size(tmp.file("c/wal.log")), 0u);
}

TEST(ClientStateTest, GetOrCreateKeepsAnExistingCollection) {
  TempDir tmp;
  auto state = open_or_die(tmp.path());
  ASSERT_TRUE(state->create_collection("a", 3, Metric::Cosine, IndexType::Flat));
  ASSERT_TRUE(state->get_or_create_collection("a", 99, Metric::L2));
  EXPECT_EQ(state->read().find("a")->meta().dimensions, 3u);
  ASSERT_TRUE(state->get_or_create_collection("b", 4, Metric::L2));
  EXPECT_EQ(state->read().find("b")->meta().index_type, IndexType::Hnsw);
  EXPECT_TRUE(state->contains("b"));
  EXPECT_FALSE(state->contains("c"));
}

TEST(ClientStateTest, DeletingACollectionWhoseDirectoryIsGoneSucceeds) {
  TempDir tmp;
  auto state = open_or_die(tmp.path());
  ASSERT_TRUE(state->create_collection("a", 3, Metric::Cosine, IndexType::Flat));
  fs::remove_all(tmp.file("a"));
  EXPECT_TRUE(state->delete_collection("a").value());
  EXPECT_EQ(state->count_collections(), 0u);
}

TEST(ClientStateTest, OneClientPerDataDirectory) {
  TempDir tmp;
  const std::string path = tmp.path();
  {
    auto first = open_or_die(path);
    auto second = open_client(path);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().kind(), ErrorKind::Io);
    EXPECT_NE(second.error().display().find("is in use"), std::string::npos)
        << second.error().display();

    // Another process is refused too.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      auto other = open_client(path);
      ::_exit(!other && other.error().kind() == ErrorKind::Io ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_TRUE(open_client(path));  // released with the first state
}

TEST(ClientStateTest, TheLockTakesNoNameInTheDirectory) {
  TempDir tmp;
  const std::string path = tmp.path();
  write_text(tmp.file("LOCK"), "");  // what earlier versions locked: an ordinary entry now
  const auto expect_refused = [&] {
    auto second = open_client(path);
    ASSERT_FALSE(second);
    EXPECT_NE(second.error().display().find("is in use"), std::string::npos);
  };
  {
    auto state = open_or_die(path);
    expect_refused();
    fs::remove(tmp.file("LOCK"));
    expect_refused();
    ASSERT_TRUE(state->create_collection("LOCK", 2, Metric::L2, IndexType::Flat));
    expect_refused();
    EXPECT_TRUE(state->delete_collection("LOCK").value());
    EXPECT_EQ(entries(path), std::set<std::string>{});
    expect_refused();
    ASSERT_TRUE(state->create_collection("LOCK", 2, Metric::L2, IndexType::Flat));
    auto w = state->write();
    ASSERT_TRUE(w.find("LOCK")->upsert(1, std::vector<float>{1.0f, 2.0f}, std::nullopt));
  }
  // A collection directory named LOCK opens like any other.
  auto state = open_or_die(path);
  EXPECT_EQ(names(*state), (std::set<std::string>{"LOCK"}));
  EXPECT_EQ(state->read().find("LOCK")->len(), 1u);
  expect_refused();
}

TEST(ClientStateTest, AbandonPoisonsWhereUnlockDoesNot) {
  TempDir tmp;
  auto state = open_or_die(tmp.path());
  {
    auto w = state->write();
    w.unlock();
    w.unlock();  // a second release does nothing
  }
  EXPECT_FALSE(state->poisoned());
  // A caller that catches a failure gives the lock back through abandon() before rethrowing.
  try {
    auto w = state->write();
    try {
      invariant_failure("caught");
    } catch (const InvariantFailure&) {
      w.abandon();
      throw;
    }
  } catch (const InvariantFailure&) {
  }
  EXPECT_TRUE(state->poisoned());
}

TEST(ClientStateTest, FailureUnderTheWriteLockPoisonsTheState) {
  TempDir tmp;
  auto state = open_or_die(tmp.path());
  ASSERT_TRUE(state->create_collection("a", 2, Metric::L2, IndexType::Flat));

  // A failure under the read lock does not poison.
  try {
    const auto r = state->read();
    invariant_failure("reader");
  } catch (const InvariantFailure&) {
  }
  EXPECT_FALSE(state->poisoned());
  EXPECT_EQ(state->count_collections(), 1u);

  try {
    auto w = state->write();
    invariant_failure("writer");
  } catch (const InvariantFailure&) {
  }
  EXPECT_TRUE(state->poisoned());
  const auto expect_poisoned = [](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "no invariant failure";
    } catch (const InvariantFailure& e) {
      EXPECT_EQ(std::string(e.what()), kPoisonedMessage);
    }
  };
  expect_poisoned([&] { (void)state->read(); });
  expect_poisoned([&] { (void)state->write(); });
  expect_poisoned([&] { (void)state->list_collections(); });
  expect_poisoned([&] { (void)state->create_collection("b", 2, Metric::L2, IndexType::Flat); });
  EXPECT_FALSE(fs::exists(tmp.file("b")));
}

TEST(ClientStateTest, CreatableIndexTypeNames) {
  EXPECT_EQ(creatable_index_type("hnsw"), IndexType::Hnsw);
  EXPECT_EQ(creatable_index_type("binary_flat"), IndexType::BinaryFlat);
  EXPECT_EQ(creatable_index_type("faiss"), std::nullopt);
  EXPECT_EQ(creatable_index_type("HNSW"), std::nullopt);
}

}  // namespace
}  // namespace sorvel
