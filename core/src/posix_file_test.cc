#include "posix_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

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
