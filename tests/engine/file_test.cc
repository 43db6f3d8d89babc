#include "db/file.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace zez {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::unique_ptr<Directory> open_dir(const std::string& path) {
  auto r = system_platform().open_directory(path);
  EXPECT_TRUE(r.ok()) << r.error().display();
  return std::move(r).value();
}

std::unique_ptr<File> open_file(Directory& dir, const std::string& name, OpenMode mode) {
  auto r = dir.open(name, mode);
  EXPECT_TRUE(r.ok()) << r.error().display();
  return std::move(r).value();
}

TEST(PosixDirectory, CreatesMissingParentsAndAcceptsAnExistingDirectory) {
  TempDir tmp;
  std::string deep = tmp.file("a/b/c");
  ASSERT_NE(open_dir(deep), nullptr);
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_NE(open_dir(deep), nullptr);
  EXPECT_NE(open_dir(deep + "/"), nullptr);
}

TEST(PosixDirectory, AFileInTheWayFails) {
  TempDir tmp;
  write_file(tmp.file("f"), "x");
  for (std::string path : {tmp.file("f"), tmp.file("f/sub")}) {
    auto r = system_platform().open_directory(path);
    ASSERT_FALSE(r.ok()) << path;
    EXPECT_EQ(r.error().os_code(), ENOTDIR) << path;
    EXPECT_EQ(r.error().display(), "Not a directory (os error 20)");
  }
}

// The system would read the path only up to the NUL and open another
// directory than the one named.
TEST(PosixDirectory, APathHoldingANulIsRefusedBeforeAnythingIsCreated) {
  TempDir tmp;
  auto r = system_platform().open_directory(tmp.file(std::string("a\0b", 3)));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(), "database path must not contain a NUL character");
  EXPECT_FALSE(std::filesystem::exists(tmp.file("a")));
}

TEST(PosixDirectory, ListsRawNamesWithoutDotEntriesEveryTime) {
  TempDir tmp;
  write_file(tmp.file("users.qdb"), "");
  write_file(tmp.file(".qdb"), "");
  write_file(tmp.file("bad\xff.qdb"), "");
  auto dir = open_dir(tmp.path());
  for (int round = 0; round < 2; ++round) {
    auto names = dir->list();
    ASSERT_TRUE(names.ok());
    std::sort(names.value().begin(), names.value().end());
    EXPECT_EQ(names.value(), (std::vector<std::string>{".qdb", "bad\xff.qdb", "users.qdb"}));
  }
}

TEST(PosixDirectory, RelativePathKeepsItsFilesAfterTheWorkingDirectoryChanges) {
  TempDir tmp;
  auto old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(tmp.path());
  auto dir = open_dir("db");
  std::filesystem::create_directory("elsewhere");
  std::filesystem::current_path("elsewhere");
  auto f = open_file(*dir, "late.qdb", OpenMode::AppendCreate);
  std::filesystem::current_path(old_cwd);
  EXPECT_TRUE(std::filesystem::exists(tmp.file("db/late.qdb")));
  EXPECT_FALSE(std::filesystem::exists(tmp.file("elsewhere/db")));
}

TEST(PosixFile, AppendsReadsAtOffsetsSeeksSizesAndTruncates) {
  TempDir tmp;
  auto dir = open_dir(tmp.path());
  auto w = open_file(*dir, "f", OpenMode::AppendCreate);
  ASSERT_TRUE(write_all(*w, reinterpret_cast<const uint8_t*>("hello world"), 11,
                        IoError::write_zero())
                  .ok());
  auto r = open_file(*dir, "f", OpenMode::ReadOnly);
  EXPECT_EQ(r->size().value(), 11u);
  uint8_t buf[5];
  ASSERT_TRUE(read_exact_at(*r, buf, 5, 6).ok());
  EXPECT_EQ(std::string(buf, buf + 5), "world");
  ASSERT_TRUE(r->seek(2).ok());
  ASSERT_TRUE(r->skip(2).ok());
  ASSERT_TRUE(read_exact(*r, buf, 3).ok());
  EXPECT_EQ(std::string(buf, buf + 3), "o w");
  auto past = read_exact(*r, buf, 5);
  ASSERT_FALSE(past.ok());
  EXPECT_EQ(past.error().display(), "failed to fill whole buffer");
  ASSERT_TRUE(w->truncate(5).ok());
  EXPECT_EQ(read_file(tmp.file("f")), "hello");
  ASSERT_TRUE(write_all(*w, reinterpret_cast<const uint8_t*>("!"), 1, IoError::write_zero()).ok());
  EXPECT_EQ(read_file(tmp.file("f")), "hello!");
}

TEST(PosixFile, ModesThatDoNotCreateFailOnAMissingFile) {
  TempDir tmp;
  auto dir = open_dir(tmp.path());
  for (OpenMode mode : {OpenMode::ReadOnly, OpenMode::Append}) {
    auto r = dir->open("missing", mode);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().display(), "No such file or directory (os error 2)");
  }
  EXPECT_TRUE(dir->open("made", OpenMode::ReadAppendCreate).ok());
  EXPECT_TRUE(std::filesystem::exists(tmp.file("made")));
}

TEST(PosixFile, NamesThatLeaveTheDirectoryAreRefused) {
  TempDir tmp;
  auto dir = open_dir(tmp.file("db"));
  for (const std::string& name :
       std::vector<std::string>{"../x.qdb", "a/b", std::string("a\0b", 3), "..", ""}) {
    auto r = dir->open(name, OpenMode::AppendCreate);
    EXPECT_FALSE(r.ok()) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(tmp.file("x.qdb")));
}

const OpenMode ALL_MODES[] = {OpenMode::AppendCreate, OpenMode::ReadOnly, OpenMode::Append,
                              OpenMode::ReadAppendCreate};

TEST(PosixFile, AFifoIsRefusedWithoutBlockingInEveryMode) {
  TempDir tmp;
  ASSERT_EQ(::mkfifo(tmp.file("p.qdb").c_str(), 0600), 0);
  auto dir = open_dir(tmp.path());
  for (OpenMode mode : ALL_MODES) {
    auto r = dir->open("p.qdb", mode);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().display(), "not a regular file: p.qdb");
  }
}

TEST(PosixFile, ASocketIsRefusedInEveryMode) {
  TempDir tmp;
  int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string path = tmp.file("s.qdb");
  ASSERT_LT(path.size(), sizeof(addr.sun_path));
  std::copy(path.begin(), path.end(), addr.sun_path);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  auto dir = open_dir(tmp.path());
  for (OpenMode mode : ALL_MODES) {
    auto r = dir->open("s.qdb", mode);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().display(), "not a regular file: s.qdb");
  }
  ::close(s);
}

TEST(PosixFile, ADirectoryNamedLikeAFileFailsInEveryMode) {
  TempDir tmp;
  std::filesystem::create_directory(tmp.file("x.qdb"));
  auto dir = open_dir(tmp.path());
  for (OpenMode mode : ALL_MODES) {
    auto r = dir->open("x.qdb", mode);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().display(), "Is a directory (os error 21)");
  }
}

}  // namespace
}  // namespace zez
