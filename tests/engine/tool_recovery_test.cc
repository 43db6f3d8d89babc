// What the maintenance program leaves when it cannot finish, and what
// running it again makes of that: a dump written to a file never replaces
// an earlier one before it is whole, names as long as the engine takes go
// through every command, two collections on one file are parted, and a
// merge run again after an interruption leaves what one uninterrupted merge
// leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <sstream>

#include "tool/dump_format.h"
#include "tool_fixtures.h"

namespace zez {
namespace {

using testing::FaultOp;
using testing::MemoryPlatform;
using testing::record_bytes;
using testing::TOOL_DIR;
using tool::StringConsole;

const std::string OUT_DIR = "/out";
const std::string OUT = OUT_DIR + "/dump.jsonl";

int run(MemoryPlatform& p, std::vector<std::string_view> args, StringConsole& console) {
  return testing::run_tool_on(p, args, console);
}

std::string lines_sorted(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

// ---- dump -o ------------------------------------------------------------------

// Every failing call of a dump to a file, moved one call later per run,
// leaves the earlier dump at FILE as it was and no temporary file beside it.
TEST(ToolDumpFile, AFailureAtAnyCallKeepsTheEarlierDump) {
  MemoryPlatform p;
  testing::put_files(p, TOOL_DIR, testing::sample_files());
  p.put(OUT_DIR, "other", "");
  StringConsole first;
  ASSERT_EQ(run(p, {"dump", TOOL_DIR, "-o", OUT}, first), tool::EXIT_CLEAN) << first.stderr_text();
  const std::string earlier = *p.contents(OUT_DIR, "dump.jsonl");
  StringConsole to_stdout;
  ASSERT_EQ(run(p, {"dump", TOOL_DIR, "-o", "-"}, to_stdout), tool::EXIT_CLEAN);
  EXPECT_EQ(to_stdout.stdout_text(), earlier);
  p.put(TOOL_DIR, "more.qdb", record_bytes("k", Value::text(std::string(70000, 'x'))));
  StringConsole fresh;
  ASSERT_EQ(run(p, {"dump", TOOL_DIR}, fresh), tool::EXIT_CLEAN);
  for (FaultOp op : {FaultOp::Open, FaultOp::Write, FaultOp::Sync, FaultOp::Rename}) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE("call " + std::to_string(int(op)) + " #" + std::to_string(n));
      p.put(OUT_DIR, "dump.jsonl", earlier);
      p.clear_faults();
      const uint64_t fired_before = p.faults_fired();
      p.fail(op, n, IoError::os(EIO));
      StringConsole console;
      const int status = run(p, {"dump", TOOL_DIR, "-o", OUT}, console);
      const std::string now = *p.contents(OUT_DIR, "dump.jsonl");
      EXPECT_EQ(p.names(OUT_DIR), (std::vector<std::string>{"dump.jsonl", "other"}));
      if (p.faults_fired() == fired_before) {
        EXPECT_EQ(status, tool::EXIT_CLEAN);
        break;
      }
      // A backlink file that does not open leaves nothing out of a dump.
      if (status == tool::EXIT_CLEAN) {
        EXPECT_TRUE(now == fresh.stdout_text());
        continue;
      }
      EXPECT_EQ(status & tool::EXIT_OPERATIONAL, tool::EXIT_OPERATIONAL);
      EXPECT_NE(console.stderr_text().find("Input/output error (os error 5)"), std::string::npos)
          << console.stderr_text();
      // Only the sync of the directory after the rename comes too late to
      // keep the earlier dump: the new one is then whole.
      const bool late = console.stderr_text().find("written, but") != std::string::npos;
      EXPECT_TRUE(now == (late ? fresh.stdout_text() : earlier))
          << now.size() << " bytes; " << console.stderr_text();
    }
  }
}

// A record file that cannot be read makes a dump that load refuses: none at
// FILE, and no trailer on standard output.
TEST(ToolDumpFile, ARecordThatCannotBeReadLeavesNoDumpLoadAccepts) {
  MemoryPlatform p;
  testing::put_files(p, TOOL_DIR, testing::sample_files());
  p.fail(FaultOp::ReadAt, 1, IoError::os(EIO), "users.qdb");
  StringConsole to_file;
  EXPECT_EQ(run(p, {"dump", TOOL_DIR, "-o", "/dump"}, to_file) & tool::EXIT_OPERATIONAL,
            tool::EXIT_OPERATIONAL);
  EXPECT_FALSE(p.exists("/", "dump"));
  EXPECT_EQ(p.names("/"), (std::vector<std::string>{"d"}));
  EXPECT_NE(to_file.stderr_text().find("Input/output error (os error 5)"), std::string::npos);

  p.fail(FaultOp::ReadAt, 1, IoError::os(EIO), "users.qdb");
  StringConsole to_stdout;
  EXPECT_EQ(run(p, {"dump", TOOL_DIR}, to_stdout) & tool::EXIT_OPERATIONAL,
            tool::EXIT_OPERATIONAL);
  EXPECT_EQ(to_stdout.stdout_text().find("zezavezud_records"), std::string::npos);
  StringConsole load;
  load.set_input(to_stdout.stdout_text());
  EXPECT_EQ(run(p, {"load", "/new"}, load), tool::EXIT_DAMAGE_LEFT);
  EXPECT_NE(load.stderr_text().find("no trailer line"), std::string::npos) << load.stderr_text();
  EXPECT_FALSE(p.exists("/", "new"));
}

// ---- Names as long as the engine takes ------------------------------------------

struct LongName {
  const char* name;
  std::string collection;
};
void PrintTo(const LongName& c, std::ostream* os) { *os << c.name; }

class ToolLongNames : public ::testing::TestWithParam<LongName> {};

// 251 bytes, with ".qdb" the longest file name there is; the multi-byte
// one cannot be cut at any byte.
INSTANTIATE_TEST_SUITE_P(
    Names, ToolLongNames,
    ::testing::Values(LongName{"ascii", std::string(251, 'n')},
                      LongName{"two_byte_characters", [] {
                                 std::string s = "x";
                                 for (int i = 0; i < 125; ++i) s.append("\xc3\xa9");
                                 return s;
                               }()}),
    testing::CaseName());

TEST_P(ToolLongNames, RepairCompactBackupDumpAndLoadTakeThem) {
  const std::string& c = GetParam().collection;
  ASSERT_EQ(c.size(), 251u);
  MemoryPlatform p;
  std::string records = record_bytes("k", Value::integer(1)) + record_bytes("k", Value::integer(2));
  p.put(TOOL_DIR, c + ".qdb", records + std::string("\x09\x00\x00", 3));
  // A leftover of a killed compact, under the name a compact gives it.
  p.put(TOOL_DIR, tool::temp_name_of(c + ".qdb"), "");
  StringConsole repair;
  EXPECT_EQ(run(p, {"repair", TOOL_DIR}, repair), tool::EXIT_REPAIRED) << repair.stderr_text();
  ASSERT_EQ(p.names(TOOL_DIR + "/lost+found").size(), 1u);
  for (const std::string& name : p.names(TOOL_DIR + "/lost+found")) {
    EXPECT_LE(name.size(), 255u);
    EXPECT_EQ(name.substr(0, 20), c.substr(0, 20));
  }
  StringConsole compact;
  EXPECT_EQ(run(p, {"compact", TOOL_DIR}, compact), tool::EXIT_CLEAN) << compact.stderr_text();
  EXPECT_EQ(*p.contents(TOOL_DIR, c + ".qdb"), record_bytes("k", Value::integer(2)));
  StringConsole backup;
  EXPECT_EQ(run(p, {"backup", TOOL_DIR, "/copy", "--compact"}, backup), tool::EXIT_CLEAN)
      << backup.stderr_text();
  StringConsole dump;
  ASSERT_EQ(run(p, {"dump", "/copy", "-o", "/dump"}, dump), tool::EXIT_CLEAN);
  StringConsole load;
  EXPECT_EQ(run(p, {"load", "/loaded", "-i", "/dump"}, load), tool::EXIT_CLEAN)
      << load.stderr_text();
  EXPECT_EQ(testing::describe_database(p, "/loaded"), testing::describe_database(p, TOOL_DIR));
  StringConsole check;
  EXPECT_EQ(run(p, {"check", TOOL_DIR}, check), tool::EXIT_CLEAN) << check.stdout_text();
}

// ---- One file, one collection ------------------------------------------------------

TEST(ToolSharedFile, OpenRefusesItCheckReportsItRepairPartsIt) {
  for (bool symlink : {false, true}) {
    SCOPED_TRACE(symlink ? "symbolic link" : "hard link");
    MemoryPlatform p;
    p.put(TOOL_DIR, "cache_a.qdb", record_bytes("x1", Value::integer(1)));
    if (symlink) {
      p.put_symlink(TOOL_DIR, "cache_b.qdb", "cache_a.qdb");
    } else {
      auto dir = p.open_existing_directory(TOOL_DIR).value();
      ASSERT_TRUE(dir->link("cache_a.qdb", *dir, "cache_b.qdb").ok());
    }
    auto db = Database::open(TOOL_DIR, p);
    ASSERT_FALSE(db.ok());
    EXPECT_EQ(db.error().display().substr(0, 51),
              "io: cache_a.qdb and cache_b.qdb are one file (a har");
    StringConsole check;
    EXPECT_EQ(run(p, {"check", TOOL_DIR}, check), tool::EXIT_DAMAGE_LEFT);
    EXPECT_NE(check.stdout_text().find("cache_b.qdb: same file: it and cache_a.qdb are one file"),
              std::string::npos)
        << check.stdout_text();
    StringConsole repair;
    EXPECT_EQ(run(p, {"repair", TOOL_DIR}, repair), tool::EXIT_REPAIRED) << repair.stderr_text();
    EXPECT_NE(repair.stdout_text().find("both collections now hold the 1 key written to either: x1"),
              std::string::npos)
        << repair.stdout_text();
    auto parted = Database::open(TOOL_DIR, p);
    ASSERT_TRUE(parted.ok()) << parted.error().display();
    ASSERT_TRUE(parted.value()->set("cache_a", "x2", Value::integer(2)).ok());
    EXPECT_FALSE(parted.value()->get("cache_b", "x2").ok());
    EXPECT_TRUE(parted.value()->get("cache_b", "x1").ok());
  }
}

// ---- Backlink rows listed too often -------------------------------------------------

TEST(ToolRepeatedBacklink, CheckReportsItAndRepairKeepsOneCopy) {
  MemoryPlatform p;
  auto files = testing::sample_files();
  files["users.qbl"] += testing::backlink_add_bytes("alice", "posts", "p1", "author");
  testing::put_files(p, TOOL_DIR, files);
  StringConsole check;
  EXPECT_EQ(run(p, {"check", TOOL_DIR}, check), tool::EXIT_DAMAGE_LEFT);
  EXPECT_NE(check.stdout_text().find("repeated backlink: key alice <- posts/p1 at \"author\": "
                                     "listed 2 times, 1 live links justify it"),
            std::string::npos)
      << check.stdout_text();
  StringConsole repair;
  EXPECT_EQ(run(p, {"repair", TOOL_DIR}, repair), tool::EXIT_REPAIRED) << repair.stderr_text();
  EXPECT_EQ(*p.contents(TOOL_DIR, "users.qbl"), testing::sample_files().at("users.qbl"));
}

// ---- A merge run again ----------------------------------------------------------------

// The merge's input: posts linking to users, one of them overwriting p2.
std::string merge_input() {
  std::string text;
  tool::append_dump_header(text);
  text +=
      "{\"c\":\"posts\",\"k\":\"p2\",\"v\":{\"$link\":{\"path\":\"users/alice\",\"local\":{}}}}\n"
      "{\"c\":\"posts\",\"k\":\"p3\",\"v\":{\"by\":{\"$link\":{\"path\":\"users/bob\",\"local\":"
      "{}}}}}\n";
  tool::append_dump_trailer(text, 2);
  return text;
}

int merge(MemoryPlatform& p, StringConsole& console) {
  p.put("/in", "dump", merge_input());
  return run(p, {"load", TOOL_DIR, "-i", "/in/dump", "--merge"}, console);
}

// The states an interrupted merge can leave, each with its marker: the
// records written without their rows (a kill between the two), and the rows
// written without the records (a power cut that lost the record file's
// unsynced append). Running the merge again leaves what one merge leaves.
TEST(ToolMergeAgain, AfterAnInterruptionLeavesWhatOneMergeLeaves) {
  MemoryPlatform whole;
  testing::put_files(whole, TOOL_DIR, testing::sample_files());
  StringConsole first;
  ASSERT_EQ(merge(whole, first), tool::EXIT_CLEAN) << first.stderr_text();
  EXPECT_EQ(first.stdout_text(), "merged 2 records from /in/dump into /d\n");
  const auto merged = testing::snapshot(whole, TOOL_DIR);
  const std::string expected = lines_sorted(testing::describe_database(whole, TOOL_DIR));
  const auto before = testing::sample_files();

  struct Interrupted {
    const char* name;
    std::string posts;
    std::string users_qbl;
  };
  const Interrupted states[] = {
      {"records without rows", merged.at("posts.qdb"), before.at("users.qbl")},
      {"rows without records", before.at("posts.qdb"), merged.at("users.qbl")},
  };
  for (const Interrupted& s : states) {
    SCOPED_TRACE(s.name);
    MemoryPlatform p;
    testing::put_files(p, TOOL_DIR, before);
    p.put(TOOL_DIR, "posts.qdb", s.posts);
    p.put(TOOL_DIR, "users.qbl", s.users_qbl);
    p.put(TOOL_DIR, std::string(tool::LOAD_MARKER), "");
    StringConsole again;
    EXPECT_EQ(merge(p, again), tool::EXIT_CLEAN) << again.stderr_text();
    EXPECT_FALSE(p.exists(TOOL_DIR, std::string(tool::LOAD_MARKER)));
    EXPECT_EQ(lines_sorted(testing::describe_database(p, TOOL_DIR)), expected);
    StringConsole check;
    EXPECT_EQ(run(p, {"check", TOOL_DIR}, check), tool::EXIT_CLEAN) << check.stdout_text();
  }
}

}  // namespace
}  // namespace zez
