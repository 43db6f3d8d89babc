// The directories backup and load build: who owns them and their files,
// their modes, and a build cut off right before its rename.
#include <gtest/gtest.h>

#include "tool_fixtures.h"

namespace zez {
namespace {

using testing::MemoryPlatform;
using testing::TOOL_DIR;

OwnerAndMode dir_owner(MemoryPlatform& p, const std::string& path) {
  return p.open_existing_directory(path).value()->owner_and_mode().value();
}

OwnerAndMode file_owner(MemoryPlatform& p, const std::string& dir, const std::string& name) {
  return p.open_existing_directory(dir).value()->open(name, OpenMode::ReadOnly).value()
      ->owner_and_mode()
      .value();
}

// A dump of the sample database at /in/dump.
void put_dump(MemoryPlatform& p) {
  MemoryPlatform source;
  testing::put_files(source, TOOL_DIR, testing::sample_files());
  tool::StringConsole dump;
  ASSERT_EQ(testing::run_tool_on(source, {"dump", TOOL_DIR}, dump), 0);
  p.put("/in", "dump", dump.stdout_text());
}

// The sample database, owned by user 1000 with modes of its own.
void put_owned_sample(MemoryPlatform& p) {
  testing::put_files(p, TOOL_DIR, testing::sample_files());
  auto dir = p.open_existing_directory(TOOL_DIR).value();
  ASSERT_TRUE(dir->set_owner_and_mode({1000, 100, 02750}).ok());
  for (const std::string& name : p.names(TOOL_DIR)) {
    auto f = dir->open(name, OpenMode::ReadOnly).value();
    ASSERT_TRUE(f->set_owner_and_mode({1000, 100, name == "users.qdb" ? 0640u : 0600u}).ok());
  }
}

struct OwnerCase {
  const char* name;
  uint32_t runner;  // the user backup runs as
};

void PrintTo(const OwnerCase& c, std::ostream* os) { *os << c.name; }

class BackupOwner : public ::testing::TestWithParam<OwnerCase> {};

// Root's copy belongs to the source's owner; anyone else's to them, with the
// source's modes either way.
TEST_P(BackupOwner, DestTakesTheModesOfDirAndItsFiles) {
  MemoryPlatform p;
  put_owned_sample(p);
  p.act_as(GetParam().runner, GetParam().runner);
  ASSERT_EQ(testing::run_tool_on(p, {"backup", TOOL_DIR, "/dest"}), 0);
  const uint32_t uid = GetParam().runner == 0 ? 1000 : GetParam().runner;
  const uint32_t gid = GetParam().runner == 0 ? 100 : GetParam().runner;
  EXPECT_EQ(dir_owner(p, "/dest"), (OwnerAndMode{uid, gid, 02750}));
  for (const std::string& name : p.names(TOOL_DIR)) {
    EXPECT_EQ(file_owner(p, "/dest", name),
              (OwnerAndMode{uid, gid, name == "users.qdb" ? 0640u : 0600u}))
        << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Runners, BackupOwner,
                         ::testing::Values(OwnerCase{"root", 0}, OwnerCase{"user", 1001}),
                         testing::CaseName{});

TEST(LoadOwner, ANewDirectoryIsMadeAsMkdirMakesOneAnEmptyOneKeepsItsOwnerAndMode) {
  MemoryPlatform p;
  put_dump(p);
  p.set_umask(027);
  p.act_as(1001, 1001);
  ASSERT_EQ(testing::run_tool_on(p, {"load", "/new", "-i", "/in/dump"}), 0);
  EXPECT_EQ(dir_owner(p, "/new"), (OwnerAndMode{1001, 1001, 0750}));

  p.act_as(0, 0);
  ASSERT_TRUE(p.open_directory("/empty").ok());
  ASSERT_TRUE(p.open_existing_directory("/empty").value()->set_owner_and_mode({7, 8, 0711}).ok());
  ASSERT_EQ(testing::run_tool_on(p, {"load", "/empty", "-i", "/in/dump"}), 0);
  EXPECT_EQ(dir_owner(p, "/empty"), (OwnerAndMode{7, 8, 0711}));
}

struct LeftoverCase {
  const char* name;
  std::vector<std::string_view> args;  // a run into /dest
};

void PrintTo(const LeftoverCase& c, std::ostream* os) { *os << c.name; }

class UnmarkedSibling : public ::testing::TestWithParam<LeftoverCase> {};

// A build cut off after its marker went and before its rename: the next run
// into the same DEST finishes it, and does nothing else.
TEST_P(UnmarkedSibling, IsRenamedOntoAMissingDest) {
  MemoryPlatform p;
  testing::put_files(p, TOOL_DIR, testing::sample_files());
  put_dump(p);
  testing::put_files(p, "/dest.zezavezud-tmp", testing::sample_files());
  tool::StringConsole console;
  EXPECT_EQ(testing::run_tool_on(p, GetParam().args, console), 8);
  EXPECT_NE(console.stderr_text().find("it is now /dest"), std::string::npos)
      << console.stderr_text();
  EXPECT_FALSE(p.exists("/", "dest.zezavezud-tmp"));
  EXPECT_EQ(testing::snapshot(p, "/dest"), testing::sample_files());

  // One that holds anything else is left for a person to look at.
  MemoryPlatform q;
  testing::put_files(q, TOOL_DIR, testing::sample_files());
  put_dump(q);
  q.put("/dest.zezavezud-tmp", "notes.txt", "mine");
  EXPECT_EQ(testing::run_tool_on(q, GetParam().args), 8);
  EXPECT_EQ(q.names("/dest.zezavezud-tmp"), std::vector<std::string>{"notes.txt"});
  EXPECT_FALSE(q.exists("/", "dest"));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, UnmarkedSibling,
    ::testing::Values(LeftoverCase{"backup", {"backup", TOOL_DIR, "/dest"}},
                      LeftoverCase{"load", {"load", "/dest", "-i", "/in/dump"}}),
    testing::CaseName{});

}  // namespace
}  // namespace zez
