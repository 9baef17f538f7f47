#include "posix_file.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "testing/file_size_limit.h"
#include "testing/temp_dir.h"
#include "testing/test_data.h"

namespace sorvel {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<std::string> directory_entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

mode_t permission_bits(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 0777;
}

// Sets the process umask for one scope.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }

 private:
  mode_t old_;
};

TEST(AtomicFileWriterTest, UncommittedWriterKeepsTheOldFile) {
  testing::TempDir dir;
  const std::string path = dir.file("index.bin");
  testing::write_file(path, {1, 2, 3});
  {
    auto writer = AtomicFileWriter::create(path);
    ASSERT_TRUE(writer.has_value());
    ASSERT_TRUE(write_all(writer->fd(), Bytes{9, 9, 9, 9}).has_value());
    // Moving the writer must not give up its temporary file or commit anything.
    AtomicFileWriter moved = std::move(*writer);
    EXPECT_EQ(directory_entries(dir.path()).size(), 2u);
  }
  EXPECT_EQ(testing::read_file(path), (Bytes{1, 2, 3}));
  EXPECT_EQ(directory_entries(dir.path()), std::vector<std::string>{"index.bin"});
}

TEST(AtomicFileWriterTest, CommitReplacesTheFileAndLeavesNoTemporary) {
  testing::TempDir dir;
  const std::string path = dir.file("index.bin");
  testing::write_file(path, {1, 2, 3});
  auto writer = AtomicFileWriter::create(path);
  ASSERT_TRUE(writer.has_value());
  AtomicFileWriter moved = std::move(*writer);
  ASSERT_TRUE(write_all(moved.fd(), Bytes{4, 5}).has_value());
  ASSERT_TRUE(moved.commit().has_value());
  EXPECT_EQ(testing::read_file(path), (Bytes{4, 5}));
  EXPECT_EQ(directory_entries(dir.path()), std::vector<std::string>{"index.bin"});
}

TEST(AtomicFileWriterTest, TwoWritersForOnePathUseSeparateTemporaries) {
  testing::TempDir dir;
  const std::string path = dir.file("index.bin");
  auto first = AtomicFileWriter::create(path);
  auto second = AtomicFileWriter::create(path);
  ASSERT_TRUE(first.has_value() && second.has_value());
  ASSERT_TRUE(write_all(first->fd(), Bytes{1, 1, 1, 1, 1, 1}).has_value());
  ASSERT_TRUE(write_all(second->fd(), Bytes{2}).has_value());
  ASSERT_TRUE(first->commit().has_value());
  EXPECT_EQ(testing::read_file(path), (Bytes{1, 1, 1, 1, 1, 1}));
  ASSERT_TRUE(second->commit().has_value());
  EXPECT_EQ(testing::read_file(path), (Bytes{2}));
}

TEST(AtomicFileWriterTest, MissingDirectoryIsAnIoError) {
  testing::TempDir dir;
  const auto writer = AtomicFileWriter::create(dir.file("no/such/dir/index.bin"));
  ASSERT_FALSE(writer.has_value());
  EXPECT_EQ(writer.error().display(), "I/O error: No such file or directory (os error 2)");
  const Result<> replaced = replace_file(dir.file("missing/x"), Bytes{1});
  ASSERT_FALSE(replaced.has_value());
  EXPECT_EQ(replaced.error().kind(), ErrorKind::Io);
}

struct stat status_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

bool is_link(const std::string& path) { return S_ISLNK(status_of(path).st_mode); }

TEST(AtomicFileWriterTest, LinksStayLinksAndTheFileTheyNameIsReplaced) {
  // Each case: links to make (name -> text) in "d", the path saved to, the file that must then
  // hold the content; every directory must end with no temporary file in it.
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;
    std::string save_to;
    std::string replaced;
  } cases[] = {
      {"relative link", {{"d/link", "real/f"}}, "d/link", "d/real/f"},
      {"chain through two directories",
       {{"d/first", "../other/second"}, {"other/second", "f"}},
       "d/first",
       "other/f"},
      {"absolute link", {{"d/abs", "@/d/real/f"}}, "d/abs", "d/real/f"},
      {"dangling link creates what it names",
       {{"d/dangling", "real/new"}},
       "d/dangling",
       "d/real/new"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir tmp;
    const auto at = [&](const std::string& rel) { return tmp.file(rel); };
    std::filesystem::create_directories(at("d/real"));
    std::filesystem::create_directories(at("other"));
    testing::write_file(at("d/real/f"), {1, 2, 3});
    testing::write_file(at("other/f"), {1, 2, 3});
    for (const auto& [name, text] : c.links) {
      const std::string target = text[0] == '@' ? tmp.path() + text.substr(1) : text;
      ASSERT_EQ(::symlink(target.c_str(), at(name).c_str()), 0) << name;
    }
    ASSERT_TRUE(replace_file(at(c.save_to), Bytes{7, 8}).has_value());
    EXPECT_EQ(testing::read_file(at(c.replaced)), (Bytes{7, 8}));
    for (const auto& [name, text] : c.links) EXPECT_TRUE(is_link(at(name))) << name;
    for (const std::string dir : {"d", "d/real", "other"}) {
      for (const std::string& entry : directory_entries(at(dir))) {
        EXPECT_EQ(entry.find(".tmp-"), std::string::npos) << dir << "/" << entry;
      }
    }
  }
}

TEST(AtomicFileWriterTest, LinkLoopsAndEmptyChainsAreIoErrors) {
  testing::TempDir tmp;
  ASSERT_EQ(::symlink("b", tmp.file("a").c_str()), 0);
  ASSERT_EQ(::symlink("a", tmp.file("b").c_str()), 0);
  const Result<> looped = replace_file(tmp.file("a"), Bytes{1});
  ASSERT_FALSE(looped.has_value());
  EXPECT_EQ(looped.error().display(), "I/O error: Too many levels of symbolic links (os error 40)");
  EXPECT_TRUE(is_link(tmp.file("a")) && is_link(tmp.file("b")));
  // A link into a directory that does not exist names nothing that can be created.
  ASSERT_EQ(::symlink("missing/f", tmp.file("c").c_str()), 0);
  const Result<> missing = replace_file(tmp.file("c"), Bytes{1});
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().display(), "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(directory_entries(tmp.path()), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(AtomicFileWriterTest, ExistingFileKeepsItsModeAndOwner) {
  testing::TempDir dir;
  ScopedUmask scoped(022);
  const std::pair<const char*, mode_t> files[] = {
      {"f640", 0640}, {"f600", 0600}, {"f604", 0604}, {"f666", 0666}, {"f755", 0755}};
  for (const auto& [name, mode] : files) {
    SCOPED_TRACE(name);
    const std::string path = dir.file(name);
    testing::write_file(path, {1});
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    ASSERT_TRUE(replace_file(path, Bytes{2, 2}).has_value());
    EXPECT_EQ(permission_bits(path), mode);
    EXPECT_EQ(testing::read_file(path), (Bytes{2, 2}));
  }
  // Through a link too, and a new file still gets the umasked default.
  ASSERT_EQ(::symlink("f640", dir.file("link").c_str()), 0);
  ASSERT_TRUE(replace_file(dir.file("link"), Bytes{3}).has_value());
  EXPECT_EQ(permission_bits(dir.file("f640")), 0640u);
  ASSERT_TRUE(replace_file(dir.file("new"), Bytes{3}).has_value());
  EXPECT_EQ(permission_bits(dir.file("new")), 0644u);

  if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another owner needs root";
  const std::string owned = dir.file("owned");
  testing::write_file(owned, {1});
  ASSERT_EQ(::chown(owned.c_str(), 4321, 8765), 0);
  ASSERT_TRUE(replace_file(owned, Bytes{4}).has_value());
  EXPECT_EQ(status_of(owned).st_uid, 4321u);
  EXPECT_EQ(status_of(owned).st_gid, 8765u);
}

// Runs `check` without the privilege to override file permissions: in a child process that drops
// to the user and group 65534 when this process is root, here otherwise. `check` returns 0 when
// everything held, else the number of the step that failed.
int run_unprivileged(const std::function<int()>& check) {
  if (::geteuid() != 0) return check();
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
    ::_exit(check());
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 101;
  return WEXITSTATUS(status);
}

TEST(AtomicFileWriterTest, TargetsAPlainWriteWouldRefuseAreRefusedUntouched) {
  testing::TempDir dir;
  // The whole tree open to everyone, but a read-only file in it, and a directory that takes no
  // new file around a writable one.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const std::string read_only = dir.file("read_only");
  testing::write_file(read_only, {1});
  ASSERT_EQ(::chmod(read_only.c_str(), 0444), 0);
  const std::string locked = dir.file("locked");
  ASSERT_EQ(::mkdir(locked.c_str(), 0755), 0);
  const std::string in_locked = locked + "/f";
  testing::write_file(in_locked, {1});
  ASSERT_EQ(::chmod(in_locked.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);

  const int failed = run_unprivileged([&] {
    const std::string denied = "I/O error: Permission denied (os error 13)";
    for (const std::string& path : {read_only, in_locked}) {
      const Result<> r = replace_file(path, Bytes{9});
      if (r.has_value() || r.error().display() != denied) return path == read_only ? 1 : 2;
    }
    return 0;
  });
  ASSERT_EQ(::chmod(locked.c_str(), 0755), 0);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(testing::read_file(read_only), (Bytes{1}));
  EXPECT_EQ(testing::read_file(in_locked), (Bytes{1}));
  EXPECT_EQ(directory_entries(locked), std::vector<std::string>{"f"});
  EXPECT_EQ(directory_entries(dir.path()), (std::vector<std::string>{"locked", "read_only"}));
}

TEST(AtomicFileWriterTest, FifoIsWrittenInPlace) {
  testing::TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Bytes received;
  std::thread reader([&] { received = testing::read_file(fifo); });
  const Result<> written = replace_file(fifo, Bytes{5, 6, 7});
  reader.join();
  ASSERT_TRUE(written.has_value()) << written.error().display();
  EXPECT_EQ(received, (Bytes{5, 6, 7}));
  EXPECT_TRUE(S_ISFIFO(status_of(fifo).st_mode));
  EXPECT_EQ(directory_entries(dir.path()), std::vector<std::string>{"fifo"});
}

TEST(AtomicFileWriterTest, DeviceIsWrittenInPlaceWithItsErrors) {
  testing::TempDir dir;
  const std::string full = dir.file("full");
  // The "full" device (char 1, 7) fails every write with ENOSPC. Never the system's own node.
  if (::mknod(full.c_str(), S_IFCHR | 0666, ::makedev(1, 7)) != 0) {
    GTEST_SKIP() << "no device nodes here: " << std::strerror(errno);
  }
  if (UniqueFd probe(::open(full.c_str(), O_WRONLY)); !probe) {
    GTEST_SKIP() << "device nodes cannot be opened here: " << std::strerror(errno);
  }
  const Result<> r = replace_file(full, Bytes(100, 1));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(), "I/O error: No space left on device (os error 28)");
  const struct stat st = status_of(full);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(st.st_rdev, ::makedev(1, 7));
  EXPECT_EQ(directory_entries(dir.path()), std::vector<std::string>{"full"});
}

TEST(AtomicFileWriterTest, FailedWriteLeavesNoTemporaryAndTheOldFile) {
  testing::TempDir dir;
  const std::string path = dir.file("index.bin");
  testing::write_file(path, {1, 2, 3});
  {
    testing::FileSizeLimit limit(4096);
    const Result<> r = replace_file(path, Bytes(10000, 7));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "I/O error: File too large (os error 27)");
  }
  EXPECT_EQ(testing::read_file(path), (Bytes{1, 2, 3}));
  EXPECT_EQ(directory_entries(dir.path()), std::vector<std::string>{"index.bin"});
}

TEST(AtomicFileWriterTest, StaleTemporaryOfTheSameNameIsNeverReused) {
  testing::TempDir dir;
  const std::string path = dir.file("f");
  // The name a writer takes shows where this process's counter stands.
  std::string probe_name;
  {
    auto probe = AtomicFileWriter::create(path);
    ASSERT_TRUE(probe.has_value());
    const std::vector<std::string> names = directory_entries(dir.path());
    ASSERT_EQ(names.size(), 1u);
    probe_name = names[0];
  }
  const std::string prefix = "f.tmp-" + std::to_string(::getpid()) + "-";
  ASSERT_EQ(probe_name.rfind(prefix, 0), 0u) << probe_name;
  const std::uint64_t next = std::stoull(probe_name.substr(prefix.size())) + 1;
  // The next names, as a crashed process of the same pid would have left them: files, and links
  // that must not be written through.
  testing::write_file(dir.file("victim"), {1});
  constexpr int kPlanted = 20;
  for (int i = 0; i < kPlanted; ++i) {
    const std::string name = dir.file(prefix + std::to_string(next + i));
    if (i % 2 == 0) {
      testing::write_file(name, {0});
    } else {
      ASSERT_EQ(::symlink("victim", name.c_str()), 0);
    }
  }
  ASSERT_TRUE(replace_file(path, Bytes{4}).has_value());
  EXPECT_EQ(testing::read_file(path), (Bytes{4}));
  EXPECT_EQ(testing::read_file(dir.file("victim")), (Bytes{1}));
  EXPECT_EQ(directory_entries(dir.path()).size(), kPlanted + 2u);
}

TEST(StaleWriterTemporariesTest, RemovesOnlyOtherProcessesRegularTemporaries) {
  testing::TempDir dir;
  const std::string own = "meta.json.tmp-" + std::to_string(::getpid()) + "-0";
  const std::vector<std::string> removed = {"sparse.bin.tmp-1-0", "hnsw.graph.tmp-99999999-17"};
  const std::vector<std::string> kept_files = {
      "sparse.bin", "wal.log.tmp", "meta.json.tmp", own,         ".tmp-1-0",
      "x.tmp-1-",   "x.tmp--1",    "x.tmp-1-2a",    "x.tmp-a-1", "x.tmp-1"};
  for (const auto& name : removed) testing::write_file(dir.file(name), {1});
  for (const auto& name : kept_files) testing::write_file(dir.file(name), {1});
  ASSERT_EQ(::mkdir(dir.file("dir.tmp-1-0").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("sparse.bin", dir.file("link.tmp-1-0").c_str()), 0);
  remove_stale_writer_temporaries(dir.path());
  std::vector<std::string> expected = kept_files;
  expected.push_back("dir.tmp-1-0");
  expected.push_back("link.tmp-1-0");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(directory_entries(dir.path()), expected);
  remove_stale_writer_temporaries(dir.file("missing"));  // nothing to read: nothing happens
}

TEST(PosixFileTest, NewFilesGetTheUmaskedDefaultBits) {
  testing::TempDir dir;
  for (const mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
    SCOPED_TRACE(mask);
    ScopedUmask scoped(mask);
    const std::string suffix = std::to_string(mask);
    const mode_t expected = 0666 & ~mask;
    ASSERT_TRUE(replace_file(dir.file("replaced" + suffix), Bytes{1}).has_value());
    EXPECT_EQ(permission_bits(dir.file("replaced" + suffix)), expected);
    ASSERT_TRUE(create_truncate(dir.file("created" + suffix)).has_value());
    EXPECT_EQ(permission_bits(dir.file("created" + suffix)), expected);
    ASSERT_TRUE(open_append(dir.file("appended" + suffix)).has_value());
    EXPECT_EQ(permission_bits(dir.file("appended" + suffix)), expected);
  }
}

TEST(PosixFileTest, ReadsAndAppends) {
  testing::TempDir dir;
  const std::string path = dir.file("log");
  for (const Bytes& chunk : {Bytes{1, 2}, Bytes{3}}) {
    auto fd = open_append(path);
    ASSERT_TRUE(fd.has_value());
    ASSERT_TRUE(write_all(fd->get(), chunk).has_value());
    ASSERT_TRUE(fd->close().has_value());
  }
  const auto content = read_whole_file(path);
  ASSERT_TRUE(content.has_value());
  EXPECT_EQ(*content, (Bytes{1, 2, 3}));
  const auto missing = read_whole_file(dir.file("missing"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().display(), "I/O error: No such file or directory (os error 2)");
}

TEST(PosixFileTest, RegularFileOpensRefuseEverythingElseWithoutWaiting) {
  testing::TempDir dir;
  testing::write_file(dir.file("file"), Bytes{1, 2, 3});
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0666), 0);
  std::filesystem::create_directory(dir.file("directory"));
  std::filesystem::create_symlink(dir.file("file"), dir.file("link_to_file"));
  std::filesystem::create_symlink(dir.file("fifo"), dir.file("link_to_fifo"));
  const auto outcome = [](auto result) -> Result<> {
    if (!result) return DbError(std::move(result).error());
    return ok();
  };
  const std::vector<std::pair<const char*, std::function<Result<>(const std::string&)>>> opens = {
      {"open_regular_read", [&](const std::string& p) { return outcome(open_regular_read(p)); }},
      {"read_regular_file", [&](const std::string& p) { return outcome(read_regular_file(p)); }},
      {"open_append", [&](const std::string& p) { return outcome(open_append(p)); }},
      {"MappedFile::open", [&](const std::string& p) { return outcome(MappedFile::open(p)); }},
  };
  for (const auto& [name, open] : opens) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(open(dir.file("file")).has_value());
    EXPECT_TRUE(open(dir.file("link_to_file")).has_value());
    for (const char* other : {"fifo", "link_to_fifo", "directory"}) {
      SCOPED_TRACE(other);
      const Result<> r = open(dir.file(other));
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind(), ErrorKind::Io);
      // A directory refuses writing on its own (EISDIR); the rest is named for what it is.
      if (std::string_view(name) != "open_append" || std::string_view(other) != "directory") {
        EXPECT_EQ(r.error().display(), "I/O error: " + dir.file(other) + " is not a regular file");
      }
    }
  }
  // The appends went to the file the link names, after its content.
  const auto content = read_regular_file(dir.file("file"));
  ASSERT_TRUE(content.has_value());
  EXPECT_EQ(*content, (Bytes{1, 2, 3}));
}

TEST(MappedFileTest, MapsContentAndEmptyFiles) {
  testing::TempDir dir;
  const std::string empty = dir.file("empty");
  const std::string full = dir.file("full");
  testing::write_file(empty, {});
  const Bytes content = {5, 6, 7, 8, 9};
  testing::write_file(full, content);

  auto empty_map = MappedFile::open(empty);
  ASSERT_TRUE(empty_map.has_value());
  EXPECT_TRUE(empty_map->bytes().empty());

  auto map = MappedFile::open(full);
  ASSERT_TRUE(map.has_value());
  MappedFile moved = std::move(*map);
  EXPECT_TRUE(map->bytes().empty());
  EXPECT_EQ(Bytes(moved.bytes().begin(), moved.bytes().end()), content);

  const auto missing = MappedFile::open(dir.file("missing"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
}

}  // namespace
}  // namespace sorvel
