#include "db/file.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "db/replace_file.h"
#include "memory_platform.h"
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

TEST(PosixFile, AppendsReadsAtOffsetsSizesAndTruncates) {
  TempDir tmp;
  auto dir = open_dir(tmp.path());
  auto w = open_file(*dir, "f", OpenMode::AppendCreate);
  ASSERT_TRUE(
      write_all(*w, reinterpret_cast<const uint8_t*>("hello world"), 11, IoError::write_zero())
          .ok());
  auto r = open_file(*dir, "f", OpenMode::ReadOnly);
  EXPECT_EQ(r->size().value(), 11u);
  uint8_t buf[5];
  ASSERT_TRUE(read_exact_at(*r, buf, 5, 6).ok());
  EXPECT_EQ(std::string(buf, buf + 5), "world");
  auto past = read_exact_at(*r, buf, 5, 9);
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

// ---- Calls for maintenance: replacing files, types, locks ----------------

std::unique_ptr<Directory> open_existing(const std::string& path) {
  auto r = system_platform().open_existing_directory(path);
  EXPECT_TRUE(r.ok()) << r.error().display();
  return r.ok() ? std::move(r).value() : nullptr;
}

void append(File& f, const std::string& bytes) {
  ASSERT_TRUE(write_all(f, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                        IoError::write_zero())
                  .ok());
}

std::string read_all(File& f) {
  std::string out(size_t(f.size().value()), '\0');
  EXPECT_TRUE(read_exact_at(f, reinterpret_cast<uint8_t*>(out.data()), out.size(), 0).ok());
  return out;
}

TEST(PosixDirectory, OpeningAnExistingDirectoryCreatesNothing) {
  TempDir tmp;
  write_file(tmp.file("f"), "x");
  const std::pair<std::string, int> cases[] = {{tmp.file("missing"), ENOENT},
                                               {tmp.file("missing/deeper"), ENOENT},
                                               {tmp.file("f"), ENOTDIR},
                                               {tmp.file("f/deeper"), ENOTDIR}};
  for (const auto& [path, code] : cases) {
    auto r = system_platform().open_existing_directory(path);
    ASSERT_FALSE(r.ok()) << path;
    EXPECT_EQ(r.error().os_code(), code) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(tmp.file("missing")));
  EXPECT_NE(open_existing(tmp.path()), nullptr);
}

// An open handle keeps the file it opened, as the tool's readers rely on
// while a file is replaced under them.
TEST(PosixDirectory, RenameReplacesTheTargetAndRemoveDeletesAnEntry) {
  TempDir tmp;
  write_file(tmp.file("old"), "old bytes");
  write_file(tmp.file("new"), "new bytes");
  auto dir = open_existing(tmp.path());
  auto reader = open_file(*dir, "old", OpenMode::ReadOnly);
  ASSERT_TRUE(dir->rename("new", "old").ok());
  ASSERT_TRUE(dir->sync().ok());
  EXPECT_EQ(read_file(tmp.file("old")), "new bytes");
  EXPECT_FALSE(std::filesystem::exists(tmp.file("new")));
  EXPECT_EQ(read_all(*reader), "old bytes");
  ASSERT_TRUE(dir->remove("old").ok());
  EXPECT_FALSE(std::filesystem::exists(tmp.file("old")));
  EXPECT_EQ(dir->remove("old").error().os_code(), ENOENT);
  EXPECT_EQ(dir->rename("old", "x").error().os_code(), ENOENT);
  EXPECT_FALSE(dir->rename("x", "../x").ok());
  EXPECT_FALSE(dir->remove("..").ok());
}

// The real platform in a temporary directory and the in-memory one, for
// tests that hold both to the same answers.
struct BothPlatforms {
  TempDir tmp;
  testing::MemoryPlatform memory;
  const std::pair<Platform*, std::string> each[2] = {{&system_platform(), tmp.path()},
                                                     {&memory, "/m"}};
};

// The same answers from the real platform and the in-memory one: a
// directory replaces only an empty directory, and only an empty directory
// can be removed.
TEST(Directories, RenameOntoOnlyAnEmptyDirectoryAndRemoveOnlyAnEmptyOne) {
  BothPlatforms both;
  for (const auto& [platform, path] : both.each) {
    SCOPED_TRACE(path);
    auto dir = platform->open_directory(path).value();
    for (const char* name : {"built", "empty", "full"}) {
      ASSERT_TRUE(dir->open_subdirectory(name, true).ok());
    }
    for (const auto& [sub, name] : {std::pair{"built", "a"}, std::pair{"full", "b"}}) {
      ASSERT_TRUE(dir->open_subdirectory(sub, false).value()->open(name, OpenMode::AppendCreate).ok());
    }
    ASSERT_TRUE(dir->open("file", OpenMode::AppendCreate).ok());
    auto refused = dir->rename("built", "full");
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(refused.error().os_code() == ENOTEMPTY || refused.error().os_code() == EEXIST);
    EXPECT_EQ(dir->remove_directory("full").error().os_code(), ENOTEMPTY);
    EXPECT_EQ(dir->remove_directory("file").error().os_code(), ENOTDIR);
    EXPECT_EQ(dir->remove_directory("gone").error().os_code(), ENOENT);
    ASSERT_TRUE(dir->rename("built", "empty").ok());
    EXPECT_EQ(dir->open_subdirectory("empty", false).value()->list().value(),
              std::vector<std::string>{"a"});
    ASSERT_TRUE(dir->open_subdirectory("full", false).value()->remove("b").ok());
    ASSERT_TRUE(dir->remove_directory("full").ok());
    auto names = dir->list().value();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"empty", "file"}));
  }
}

// A hard link is the one file under a second name, on both platforms: it
// keeps the bytes once the first name is replaced.
TEST(Directories, ALinkKeepsTheFileWhenItsFirstNameIsReplaced) {
  BothPlatforms both;
  for (const auto& [platform, path] : both.each) {
    SCOPED_TRACE(path);
    auto dir = platform->open_directory(path).value();
    auto kept = dir->open_subdirectory("kept", true).value();
    auto write = [&](const char* name, const char* bytes) {
      auto f = dir->open(name, OpenMode::CreateTruncate).value();
      ASSERT_TRUE(write_all(*f, reinterpret_cast<const uint8_t*>(bytes), strlen(bytes),
                            IoError::write_zero())
                      .ok());
    };
    write("f", "old bytes");
    write("f.tmp", "new");
    ASSERT_TRUE(dir->link("f", *kept, "f.1").ok());
    EXPECT_EQ(dir->link("f", *kept, "f.1").error().os_code(), EEXIST);
    EXPECT_EQ(dir->link("gone", *kept, "g").error().os_code(), ENOENT);
    ASSERT_TRUE(dir->rename("f.tmp", "f").ok());
    EXPECT_EQ(kept->entry_type("f.1").value().size, 9u);
    EXPECT_EQ(dir->entry_type("f").value().size, 3u);
    auto other = (platform == &both.memory ? system_platform().open_directory(both.tmp.file("x"))
                                           : both.memory.open_directory("/x"))
                     .value();
    EXPECT_EQ(dir->link("f", *other, "f").error().os_code(), EXDEV);
  }
}

// A range copied between two files of one file system (the system's own
// copy) and from a file the system cannot copy from (through a buffer)
// lands the same, after what the file already held.
TEST(PosixFile, CopyRangeAppendsTheSameBytesWhetherOrNotTheSystemCopies) {
  TempDir tmp;
  std::string bytes(3 << 20, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 7 + i / 4096);
  write_file(tmp.file("src"), bytes);
  testing::MemoryPlatform memory;
  memory.put("/m", "src", bytes);
  auto dir = open_existing(tmp.path());
  auto real_src = open_file(*dir, "src", OpenMode::ReadOnly);
  auto memory_src = memory.open_existing_directory("/m").value()->open("src", OpenMode::ReadOnly).value();
  for (File* src : {real_src.get(), memory_src.get()}) {
    auto out = open_file(*dir, "out", OpenMode::CreateTruncate);
    ASSERT_TRUE(write_all(*out, reinterpret_cast<const uint8_t*>("head"), 4, IoError::write_zero()).ok());
    ASSERT_TRUE(copy_range(*src, *out, 5, bytes.size() - 3).ok());
    EXPECT_EQ(read_file(tmp.file("out")), "head" + bytes.substr(5, bytes.size() - 8));
    EXPECT_FALSE(copy_range(*src, *out, 0, bytes.size() + 1).ok());
  }
}

TEST(PosixDirectory, EntryTypeDoesNotFollowSymbolicLinks) {
  TempDir tmp;
  write_file(tmp.file("file"), "12345");
  std::filesystem::create_directory(tmp.file("dir"));
  std::filesystem::create_symlink(tmp.file("file"), tmp.file("link"));
  std::filesystem::create_symlink(tmp.file("dir"), tmp.file("dirlink"));
  ASSERT_EQ(::mkfifo(tmp.file("fifo").c_str(), 0600), 0);
  auto dir = open_existing(tmp.path());
  const std::pair<std::string, FileType> cases[] = {{"file", FileType::Regular},
                                                    {"dir", FileType::Directory},
                                                    {"link", FileType::Symlink},
                                                    {"dirlink", FileType::Symlink},
                                                    {"fifo", FileType::Other}};
  for (const auto& [name, type] : cases) {
    auto r = dir->entry_type(name);
    ASSERT_TRUE(r.ok()) << name;
    EXPECT_EQ(r.value().type, type) << name;
  }
  EXPECT_EQ(dir->entry_type("file").value().size, 5u);
  EXPECT_EQ(dir->entry_type("missing").error().os_code(), ENOENT);
}

struct LockCase {
  bool first_exclusive;
  bool second_exclusive;
  LockStatus second;
};

Result<LockStatus, IoError> take_lock(Directory& dir, bool exclusive) {
  return exclusive ? dir.lock_exclusive() : dir.lock_shared();
}

// flock locks belong to each handle: shared ones coexist, an exclusive one
// excludes every other handle until its handle is closed.
TEST(PosixDirectory, LocksOfTwoHandlesConflictOnlyWhenOneIsExclusive) {
  TempDir tmp;
  const LockCase cases[] = {{false, false, LockStatus::Acquired},
                            {false, true, LockStatus::WouldBlock},
                            {true, false, LockStatus::WouldBlock},
                            {true, true, LockStatus::WouldBlock}};
  for (const LockCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.first_exclusive) + std::to_string(c.second_exclusive));
    auto first = open_existing(tmp.path());
    auto second = open_existing(tmp.path());
    ASSERT_EQ(take_lock(*first, c.first_exclusive).value(), LockStatus::Acquired);
    ASSERT_EQ(take_lock(*second, c.second_exclusive).value(), c.second);
    first.reset();
    EXPECT_EQ(take_lock(*second, c.second_exclusive).value(), LockStatus::Acquired);
  }
}

TEST(PosixDirectory, ReportsFreeSpace) {
  TempDir tmp;
  auto space = open_existing(tmp.path())->free_space();
  ASSERT_TRUE(space.ok()) << space.error().display();
  EXPECT_GT(space.value(), 0u);
}

TEST(PosixDirectory, ASubdirectoryIsMadePrivateAndASymbolicLinkIsNotFollowed) {
  TempDir tmp;
  auto dir = open_existing(tmp.path());
  EXPECT_EQ(dir->open_subdirectory("lost+found", false).error().os_code(), ENOENT);
  {
    auto made = dir->open_subdirectory("lost+found", true);
    ASSERT_TRUE(made.ok()) << made.error().display();
    open_file(*made.value(), "c.qdb", OpenMode::CreateTruncate);
  }
  EXPECT_EQ(std::filesystem::status(tmp.file("lost+found")).permissions(),
            std::filesystem::perms::owner_all);
  EXPECT_TRUE(std::filesystem::exists(tmp.file("lost+found/c.qdb")));
  EXPECT_TRUE(dir->open_subdirectory("lost+found", true).ok());
  std::filesystem::create_directory(tmp.file("elsewhere"));
  std::filesystem::create_symlink(tmp.file("elsewhere"), tmp.file("linked"));
  EXPECT_FALSE(dir->open_subdirectory("linked", true).ok());
  write_file(tmp.file("file"), "");
  EXPECT_EQ(dir->open_subdirectory("file", true).error().os_code(), ENOTDIR);
}

// The creating modes create only a missing name, never through a link: a
// link to a file is followed, a dangling one fails as a missing file does.
TEST(PosixFile, CreatingModesFollowALinkToAFileButNeverCreateThroughOne) {
  TempDir tmp;
  std::filesystem::create_directory(tmp.file("outside"));
  write_file(tmp.file("outside/file"), "old");
  std::filesystem::create_symlink(tmp.file("outside/file"), tmp.file("linked"));
  std::filesystem::create_symlink(tmp.file("outside/none"), tmp.file("dangling"));
  auto dir = open_dir(tmp.path());
  for (OpenMode mode : {OpenMode::AppendCreate, OpenMode::ReadAppendCreate}) {
    SCOPED_TRACE(int(mode));
    append(*open_file(*dir, "linked", mode), "+");
    auto r = dir->open("dangling", mode);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().os_code(), ENOENT);
    EXPECT_FALSE(std::filesystem::exists(tmp.file("outside/none")));
    EXPECT_TRUE(std::filesystem::is_symlink(tmp.file("dangling")));
  }
  EXPECT_EQ(read_file(tmp.file("outside/file")), "old++");
  EXPECT_TRUE(std::filesystem::is_symlink(tmp.file("linked")));
}

TEST(PosixFile, CreateTruncateEmptiesAFileButNeverFollowsALink) {
  TempDir tmp;
  write_file(tmp.file("tmp"), "stale");
  write_file(tmp.file("target"), "keep");
  std::filesystem::create_symlink(tmp.file("target"), tmp.file("link"));
  auto dir = open_existing(tmp.path());
  {
    auto f = open_file(*dir, "tmp", OpenMode::CreateTruncate);
    append(*f, "fresh");
    ASSERT_TRUE(f->sync().ok());
  }
  EXPECT_EQ(read_file(tmp.file("tmp")), "fresh");
  auto r = dir->open("link", OpenMode::CreateTruncate);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().os_code(), ELOOP);
  EXPECT_EQ(read_file(tmp.file("target")), "keep");
}

// A file written to replace another starts private, then takes the
// original's owner and mode (set-group-ID included).
TEST(PosixFile, ANewFileTakesTheOwnerAndModeOfTheOneItReplaces) {
  TempDir tmp;
  auto dir = open_existing(tmp.path());
  auto original = open_file(*dir, "c.qdb", OpenMode::AppendCreate);
  for (uint32_t mode : {0640u, 0604u, 02640u}) {
    ASSERT_EQ(::chmod(tmp.file("c.qdb").c_str(), mode), 0);
    auto replacement = open_file(*dir, "c.qdb.tmp", OpenMode::CreateTruncate);
    EXPECT_EQ(replacement->owner_and_mode().value().mode, 0600u);
    auto copied = copy_owner_and_mode(*original, *replacement);
    ASSERT_TRUE(copied.ok()) << copied.error().display();
    struct stat st;
    ASSERT_EQ(::stat(tmp.file("c.qdb.tmp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_EQ(st.st_uid, ::getuid());
    EXPECT_EQ(replacement->owner_and_mode().value(), original->owner_and_mode().value());
    ASSERT_TRUE(dir->remove("c.qdb.tmp").ok());
  }
}

}  // namespace
}  // namespace zez
