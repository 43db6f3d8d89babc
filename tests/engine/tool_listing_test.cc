// The maintenance command sees a directory's entries as the engine's open
// does: a link to a file is read like the file, and every entry that makes
// open fail is damage that names open's own error. ToolRun on the real file
// system, where links, directories and FIFOs are what they are.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "temp_dir.h"
#include "tool_fixtures.h"

namespace zez {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;
namespace fs = std::filesystem;

struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

ToolRun run(std::vector<std::string_view> args) {
  tool::StringConsole console;
  const int status = tool::run_tool(system_platform(), args, console);
  return ToolRun{status, console.stdout_text(), console.stderr_text()};
}

// A directory with a healthy users collection (two keys) beside the entry
// under test, and a directory "outside" that links may point into.
struct Layout {
  TempDir tmp;
  std::string db = tmp.file("db");
  std::string outside = tmp.file("outside");
  Layout() {
    fs::create_directory(db);
    fs::create_directory(outside);
    for (const auto& [name, bytes] : testing::sample_files()) write_file(db + "/" + name, bytes);
  }
};

struct EntryCase {
  const char* name;
  const char* entry;
  std::function<void(Layout&)> make;
  // The error open raises (empty: open succeeds) and the consequence named.
  const char* open_error;
  const char* consequence;
  // The same entry on the in-memory platform, in TOOL_DIR, pointing into
  // /outside.
  std::function<void(testing::MemoryPlatform&)> in_memory;
};

void PrintTo(const EntryCase& c, std::ostream* os) { *os << c.name; }

const EntryCase ENTRY_CASES[] = {
    {"dangling link", "x.qdb",
     [](Layout& l) { fs::create_symlink(l.outside + "/x.qdb", l.db + "/x.qdb"); },
     "io: No such file or directory (os error 2)", "open refuses the directory",
     [](testing::MemoryPlatform& p) { p.put_symlink(testing::TOOL_DIR, "x.qdb", "/outside/x.qdb"); }},
    {"directory named like a record file", "y.qdb",
     [](Layout& l) { fs::create_directory(l.db + "/y.qdb"); }, "io: Is a directory (os error 21)",
     "open refuses the directory",
     [](testing::MemoryPlatform& p) { (void)p.open_directory(testing::TOOL_DIR + "/y.qdb"); }},
    {"link to a directory", "y.qdb",
     [](Layout& l) { fs::create_symlink(l.outside, l.db + "/y.qdb"); },
     "io: Is a directory (os error 21)", "open refuses the directory",
     [](testing::MemoryPlatform& p) { p.put_symlink(testing::TOOL_DIR, "y.qdb", "/outside"); }},
    {"link to itself", "l.qdb", [](Layout& l) { fs::create_symlink("l.qdb", l.db + "/l.qdb"); },
     "io: Too many levels of symbolic links (os error 40)", "open refuses the directory",
     [](testing::MemoryPlatform& p) { p.put_symlink(testing::TOOL_DIR, "l.qdb", "l.qdb"); }},
    {"FIFO", "p.qdb", [](Layout& l) { ASSERT_EQ(::mkfifo((l.db + "/p.qdb").c_str(), 0600), 0); },
     "io: not a regular file: p.qdb", "open refuses the directory", nullptr},
    {"directory named like a backlink file", "z.qbl",
     [](Layout& l) { fs::create_directory(l.db + "/z.qbl"); }, "",
     "backlinks of collection z and links to it fail",
     [](testing::MemoryPlatform& p) { (void)p.open_directory(testing::TOOL_DIR + "/z.qbl"); }},
    {"dangling link for the empty name", ".qdb",
     [](Layout& l) { fs::create_symlink(l.outside + "/e", l.db + "/.qdb"); }, "",
     "the collection with the empty name fails on first use",
     [](testing::MemoryPlatform& p) { p.put_symlink(testing::TOOL_DIR, ".qdb", "/outside/e"); }},
};

class BadEntry : public ::testing::TestWithParam<EntryCase> {};

TEST_P(BadEntry, IsDamageNamingOpensErrorAndNoCommandTouchesIt) {
  const EntryCase& c = GetParam();
  Layout l;
  c.make(l);
  auto opened = Database::open(l.db);
  EXPECT_EQ(opened.ok() ? "" : opened.error().display(), c.open_error);
  opened = StorageError::key_not_found();  // closes the database, if it opened

  // The finding carries the error the engine meets opening that file, which
  // is open's own error when open loads it.
  ToolRun check = run({"check", l.db});
  EXPECT_EQ(check.status, tool::EXIT_DAMAGE_LEFT) << check.out;
  const std::string finding = std::string(c.entry) + ": cannot be opened: ";
  const size_t at = check.out.find(finding);
  ASSERT_NE(at, std::string::npos) << check.out;
  if (*c.open_error != '\0') {
    EXPECT_EQ(check.out.compare(at + finding.size(), strlen(c.open_error), c.open_error), 0)
        << check.out;
  }
  EXPECT_NE(check.out.find(c.consequence, at), std::string::npos) << check.out;
  EXPECT_EQ(check.out.find("no damage found"), std::string::npos);
  EXPECT_NE(check.out.find("damage found (1 finding)"), std::string::npos) << check.out;

  const auto entry_before = fs::symlink_status(l.db + "/" + c.entry).type();
  const std::string users_before = read_file(l.db + "/users.qdb");
  ToolRun dump = run({"dump", l.db});
  const bool records_left_out = std::string_view(c.entry).ends_with(".qdb");
  EXPECT_EQ(dump.status, records_left_out ? tool::EXIT_DAMAGE_LEFT : tool::EXIT_CLEAN) << dump.err;
  EXPECT_NE(dump.err.find(finding), std::string::npos) << dump.err;
  EXPECT_NE(dump.out.find("\"alice\""), std::string::npos) << "the rest is dumped";
  ToolRun repair = run({"repair", l.db});
  EXPECT_EQ(repair.status, tool::EXIT_DAMAGE_LEFT) << repair.out << repair.err;
  ToolRun compact = run({"compact", l.db});
  EXPECT_EQ(compact.status, tool::EXIT_DAMAGE_LEFT) << compact.err;
  EXPECT_NE(compact.err.find(finding), std::string::npos) << compact.err;
  EXPECT_EQ(run({"compact", l.db, "--collection", "users"}).status, tool::EXIT_CLEAN);
  EXPECT_EQ(run({"stats", l.db}).status, tool::EXIT_DAMAGE_LEFT);

  EXPECT_EQ(fs::symlink_status(l.db + "/" + c.entry).type(), entry_before);
  EXPECT_EQ(read_file(l.db + "/users.qdb"), users_before);
  EXPECT_TRUE(fs::is_empty(l.outside)) << "nothing is created where a link points";
}

INSTANTIATE_TEST_SUITE_P(ToolListing, BadEntry, ::testing::ValuesIn(ENTRY_CASES),
                         testing::CaseName());

// The in-memory platform models the same entries: open and the tool see
// them as on the real file system, and nothing is made where a link points.
class BadEntryInMemory : public ::testing::TestWithParam<EntryCase> {};

TEST_P(BadEntryInMemory, IsDamageNamingOpensError) {
  const EntryCase& c = GetParam();
  testing::MemoryPlatform p;
  testing::put_files(p, testing::TOOL_DIR, testing::sample_files());
  ASSERT_TRUE(p.open_directory("/outside").ok());
  c.in_memory(p);
  auto opened = Database::open(testing::TOOL_DIR, p);
  EXPECT_EQ(opened.ok() ? "" : opened.error().display(), c.open_error);
  opened = StorageError::key_not_found();
  tool::StringConsole check;
  EXPECT_EQ(testing::run_tool_on(p, {"check", testing::TOOL_DIR}, check), tool::EXIT_DAMAGE_LEFT);
  const std::string finding = std::string(c.entry) + ": cannot be opened: " + c.open_error;
  const size_t at = check.stdout_text().find(finding);
  ASSERT_NE(at, std::string::npos) << check.stdout_text();
  EXPECT_NE(check.stdout_text().find(c.consequence, at), std::string::npos);
  const auto before = testing::snapshot(p, testing::TOOL_DIR);
  EXPECT_EQ(testing::run_tool_on(p, {"repair", testing::TOOL_DIR}), tool::EXIT_DAMAGE_LEFT);
  EXPECT_EQ(testing::run_tool_on(p, {"compact", testing::TOOL_DIR}), tool::EXIT_DAMAGE_LEFT);
  EXPECT_EQ(testing::snapshot(p, testing::TOOL_DIR), before);
  EXPECT_TRUE(p.names("/outside").empty()) << "nothing is created where a link points";
}

std::vector<EntryCase> modelled_in_memory() {
  std::vector<EntryCase> out;
  for (const EntryCase& c : ENTRY_CASES) {
    if (c.in_memory) out.push_back(c);
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(ToolListing, BadEntryInMemory, ::testing::ValuesIn(modelled_in_memory()),
                         [](const auto& info) {
                           std::string n;
                           for (char ch : std::string(info.param.name)) {
                             n.push_back(std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_');
                           }
                           return n;
                         });

// A record file reached through a link is read like any other: check, stats
// and dump see its records and its damage; repair and compact never put a
// file in the link's place, nor change the file through it.
TEST(ToolListing, ALinkedRecordFileIsReadButNeverReplaced) {
  Layout l;
  fs::rename(l.db + "/users.qdb", l.outside + "/users.qdb");
  fs::create_symlink(l.outside + "/users.qdb", l.db + "/users.qdb");

  ToolRun check = run({"check", l.db});
  EXPECT_EQ(check.status, tool::EXIT_CLEAN) << check.out;
  EXPECT_NE(check.out.find("no damage found"), std::string::npos);
  EXPECT_NE(run({"stats", l.db}).out.find("users: 2 live keys"), std::string::npos);
  ToolRun dump = run({"dump", l.db, "--collection", "users"});
  EXPECT_EQ(dump.status, tool::EXIT_CLEAN) << dump.err;
  EXPECT_NE(dump.out.find("\"bob\""), std::string::npos) << dump.out;
  ToolRun repair = run({"repair", l.db});
  EXPECT_EQ(repair.status, tool::EXIT_CLEAN) << repair.err;
  EXPECT_NE(repair.out.find("no damage found; nothing changed"), std::string::npos);

  ToolRun compact = run({"compact", l.db});
  EXPECT_EQ(compact.status, tool::EXIT_DAMAGE_LEFT);
  EXPECT_NE(compact.err.find("users.qdb is a symbolic link"), std::string::npos) << compact.err;
  EXPECT_EQ(run({"compact", l.db, "--collection", "posts"}).status, tool::EXIT_CLEAN);

  // A torn tail in the linked file: found, but repair refuses to cut it.
  const std::string torn = read_file(l.outside + "/users.qdb") + std::string("\x05\0\0", 3);
  write_file(l.outside + "/users.qdb", torn);
  EXPECT_EQ(run({"check", l.db}).status, tool::EXIT_DAMAGE_LEFT);
  repair = run({"repair", l.db});
  EXPECT_EQ(repair.status, tool::EXIT_DAMAGE_LEFT);
  EXPECT_NE(repair.err.find("users.qdb is a symbolic link"), std::string::npos) << repair.err;
  EXPECT_EQ(read_file(l.outside + "/users.qdb"), torn);
  EXPECT_TRUE(fs::is_symlink(l.db + "/users.qdb"));
  EXPECT_FALSE(fs::exists(l.db + "/lost+found"));
}

// With posts.qdb out of reach, repair cannot tell which rows posts' records
// imply: users.qbl keeps them, stale or not, while the rest is mended.
TEST(ToolListing, RepairKeepsTheRowsOfACollectionItCannotRead) {
  Layout l;
  const std::string stale = testing::backlink_add_bytes("carol", "users", "u9", "");
  const std::string rows = read_file(l.db + "/users.qbl");
  write_file(l.db + "/users.qbl", rows + testing::backlink_add_bytes("zed", "posts", "p9", "") + stale);
  fs::rename(l.db + "/posts.qdb", l.outside + "/posts.qdb");
  fs::create_directory(l.db + "/posts.qdb");
  ToolRun repair = run({"repair", l.db});
  EXPECT_EQ(repair.status, tool::EXIT_REPAIRED | tool::EXIT_DAMAGE_LEFT) << repair.out << repair.err;
  EXPECT_NE(repair.err.find("the backlink rows whose source is collection posts were kept as they "
                            "are, unchecked"),
            std::string::npos)
      << repair.err;
  // The row from users itself was judged, and dropped.
  EXPECT_EQ(read_file(l.db + "/users.qbl"),
            rows + testing::backlink_add_bytes("zed", "posts", "p9", ""));
  fs::remove(l.db + "/posts.qdb");
  fs::rename(l.outside + "/posts.qdb", l.db + "/posts.qdb");
  repair = run({"repair", l.db});
  EXPECT_EQ(repair.status, tool::EXIT_REPAIRED) << repair.out << repair.err;
  EXPECT_EQ(read_file(l.db + "/users.qbl"), rows);
}

// A file this user may not open is not damage the tool can judge: the
// status says the check is incomplete, and never that no damage was found.
// (Simulated: tests may run as root, which opens any file.)
TEST(ToolListing, AFileThatMayNotBeOpenedMakesTheCheckIncomplete) {
  testing::MemoryPlatform p;
  testing::put_files(p, testing::TOOL_DIR, testing::sample_files());
  p.put_special(testing::TOOL_DIR, "users.qdb", IoError::os(EACCES), FileType::Regular);
  tool::StringConsole console;
  const int status = tool::run_tool(p, {"check", testing::TOOL_DIR}, console);
  EXPECT_EQ(status, tool::EXIT_OPERATIONAL) << console.stdout_text();
  EXPECT_NE(console.stdout_text().find(
                "users.qdb: cannot be opened: io: Permission denied (os error 13)"),
            std::string::npos)
      << console.stdout_text();
  EXPECT_NE(console.stdout_text().find("not every file could be read"), std::string::npos);
  EXPECT_EQ(console.stdout_text().find("no damage found"), std::string::npos);
  tool::StringConsole dump;
  EXPECT_EQ(tool::run_tool(p, {"dump", testing::TOOL_DIR}, dump), tool::EXIT_OPERATIONAL);
}

// ---- What the operator sees ---------------------------------------------------

namespace operator_view {

using Files = std::map<std::string, std::string>;

struct Store {
  testing::MemoryPlatform p;
  explicit Store(const Files& files) { testing::put_files(p, testing::TOOL_DIR, files); }
  ToolRun run(std::vector<std::string_view> args) {
    args.push_back(testing::TOOL_DIR);
    tool::StringConsole console;
    const int status = tool::run_tool(p, args, console);
    return ToolRun{status, console.stdout_text(), console.stderr_text()};
  }
};

TEST(ToolReport, TheSummaryCountsEveryFindingALineStandsFor) {
  Files files = testing::sample_files();
  for (char c = 'a'; c < 'a' + 25; ++c) {
    files["users.qbl"] += testing::backlink_add_bytes(std::string(1, c), "posts", "p9", "");
  }
  Store s(files);
  ToolRun check = s.run({"check"});
  EXPECT_EQ(check.status, tool::EXIT_DAMAGE_LEFT);
  EXPECT_NE(check.out.find("stale backlink: 5 more rows"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("/d: damage found (25 findings)"), std::string::npos) << check.out;
}

TEST(ToolReport, QuickCheckFramesBacklinkFilesToo) {
  Files files = testing::sample_files();
  files["users.qbl"] += "\x01\x05";
  for (bool quick : {false, true}) {
    Store s(files);
    ToolRun check = quick ? s.run({"check", "--quick"}) : s.run({"check"});
    EXPECT_EQ(check.status, tool::EXIT_DAMAGE_LEFT) << quick;
    EXPECT_NE(check.out.find("users.qbl:62: backlink file does not load"), std::string::npos)
        << check.out;
  }
}

TEST(ToolReport, RepairOfACleanDirectorySaysSoAndChangesNothing) {
  for (bool dry_run : {false, true}) {
    Store s(testing::sample_files());
    ToolRun repair = dry_run ? s.run({"repair", "--dry-run"}) : s.run({"repair"});
    EXPECT_EQ(repair.status, tool::EXIT_CLEAN);
    EXPECT_EQ(repair.out, "/d: no damage found; nothing changed\n");
    EXPECT_EQ(testing::snapshot(s.p, testing::TOOL_DIR), testing::sample_files());
  }
}

TEST(ToolReport, ACollectionOptionNamingNoCollectionFailsAlikeInDumpAndCompact) {
  Files files = testing::sample_files();
  files["only.qbl"] = "";
  Store s(files);
  for (const char* command : {"dump", "compact"}) {
    ToolRun r = s.run({command, "--collection", "nosuch"});
    EXPECT_EQ(r.status, tool::EXIT_OPERATIONAL) << command;
    EXPECT_EQ(r.err, "zezavezud: /d has no collection named 'nosuch'\n") << command;
    EXPECT_EQ(r.out, "") << command;
    // A collection with only a backlink file exists.
    EXPECT_EQ(s.run({command, "--collection", "only"}).status, tool::EXIT_CLEAN) << command;
  }
}

// Compact copies record bytes, never values, so it could carry a value that
// does not decode along unseen: it refuses the file instead, naming the key.
TEST(ToolReport, CompactRefusesAValueThatDoesNotDecodeAndNamesItsKey) {
  Files files = testing::sample_files();
  files["users.qdb"] += testing::raw_record("carol", std::string("\x08\x01\0\0\0", 5)) +
                        testing::record_bytes("alice", Value::integer(3)) +
                        testing::record_bytes("bob", Value::integer(4));
  Store s(files);
  ToolRun compact = s.run({"compact"});
  EXPECT_EQ(compact.status, tool::EXIT_DAMAGE_LEFT);
  EXPECT_NE(compact.err.find("value does not decode"), std::string::npos) << compact.err;
  EXPECT_NE(compact.err.find("carol"), std::string::npos) << compact.err;
  EXPECT_EQ(testing::snapshot(s.p, testing::TOOL_DIR), files);
}

}  // namespace operator_view

}  // namespace
}  // namespace zez
