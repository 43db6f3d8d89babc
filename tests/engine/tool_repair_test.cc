#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

#include "codec/byte_order.h"
#include "tool/json.h"
#include "tool_fixtures.h"

namespace zez {
namespace {

using testing::FaultOp;
using testing::MemoryPlatform;
using testing::raw_record;
using testing::TOOL_DIR;
using testing::zero_length_record;
using Files = std::map<std::string, std::string>;

const std::string LOST_FOUND = TOOL_DIR + "/lost+found";

std::vector<std::string> backups(const MemoryPlatform& p) {
  std::vector<std::string> out;
  for (const auto& [name, bytes] : testing::snapshot(p, LOST_FOUND)) out.push_back(bytes);
  return out;
}

bool has_backup(const MemoryPlatform& p, const std::string& bytes) {
  auto all = backups(p);
  return std::find(all.begin(), all.end(), bytes) != all.end();
}

// What the engine shows of a directory holding exactly these files.
std::string describe(const Files& files) {
  MemoryPlatform p;
  testing::put_files(p, TOOL_DIR, files);
  return testing::describe_database(p, TOOL_DIR);
}

struct RepairCase {
  const char* name;
  std::function<void(Files&)> damage;  // applied to the sample files
  std::function<void(Files&)> intent;  // the sample files as the repair should leave them
  bool salvage;
  int status;
  // Bytes one backup must hold: a function of the damaged files.
  std::function<std::string(const Files&)> saved;
};

void PrintTo(const RepairCase& c, std::ostream* os) { *os << c.name; }

const std::string TAIL = std::string("\x09\x00\x00\x00", 4) + "car";
auto nothing = [](Files&) {};
auto no_backup = [](const Files&) { return std::string(); };
auto whole = [](const char* name) { return [name](const Files& f) { return f.at(name); }; };

const RepairCase REPAIR_CASES[] = {
    {"torn tail", [](Files& f) { f["users.qdb"] += TAIL; }, nothing, false, 1,
     [](const Files&) { return TAIL; }},
    {"zero tail", [](Files& f) { f["users.qdb"] += std::string(11, '\0'); }, nothing, false, 1,
     [](const Files&) { return std::string(11, '\0'); }},
    {"zero value length, salvaged",
     [](Files& f) { f["users.qdb"] = zero_length_record("x") + f["users.qdb"]; }, nothing, true, 1,
     whole("users.qdb")},
    {"key not UTF-8, salvaged",
     [](Files& f) {
       f["users.qdb"] += testing::record_bytes("\xff", Value::null()) +
                         testing::record_bytes("y", Value::null()) +
                         testing::record_bytes("z", Value::null());
     },
     [](Files& f) {
       f["users.qdb"] +=
           testing::record_bytes("y", Value::null()) + testing::record_bytes("z", Value::null());
     },
     true, 1, whole("users.qdb")},
    {"zero value length, left without --salvage",
     [](Files& f) { f["users.qdb"] = zero_length_record("x") + f["users.qdb"]; },
     [](Files& f) { f["users.qdb"] = zero_length_record("x") + f["users.qdb"]; }, false, 4,
     no_backup},
    // A record that frames is never cut as a tail: only a salvage drops it.
    {"undecodable last value, left without --salvage",
     [](Files& f) { f["users.qdb"] += raw_record("c", "\xee"); },
     [](Files& f) { f["users.qdb"] += raw_record("c", "\xee"); }, false, 4, no_backup},
    {"bad record before a torn tail: plain repair cuts only the tail",
     [](Files& f) { f["users.qdb"] += raw_record("c", "\xee") + testing::record_bytes("d", Value::null()) + TAIL; },
     [](Files& f) { f["users.qdb"] += raw_record("c", "\xee") + testing::record_bytes("d", Value::null()); }, false,
     5, [](const Files&) { return TAIL; }},
    {"bad record before a torn tail, salvaged",
     [](Files& f) { f["users.qdb"] += raw_record("c", "\xee") + testing::record_bytes("d", Value::null()) + TAIL; },
     [](Files& f) { f["users.qdb"] += testing::record_bytes("d", Value::null()); }, true, 1, whole("users.qdb")},
    // So many damaged regions, each resolved inside the one before, that the
    // search gives up: a salvage cuts everything from the first one on.
    {"unresolved damage, salvaged",
     [](Files& f) {
       const std::string step = zero_length_record("x") +
                                testing::record_bytes("a", Value::null()) +
                                testing::record_bytes("b", Value::null());
       for (int i = 0; i < 2100; ++i) f["users.qdb"] += step;
     },
     nothing, true, 1, whole("users.qdb")},
    {"backlink file cut short", [](Files& f) { f["users.qbl"] += "\x01\x05"; }, nothing, false, 1,
     whole("users.qbl")},
    {"stale row",
     [](Files& f) { f["users.qbl"] += testing::backlink_add_bytes("carol", "posts", "p9", ""); },
     nothing, false, 1, whole("users.qbl")},
    {"missing backlink file", [](Files& f) { f.erase("users.qbl"); }, nothing, false, 1, no_backup},
    // Not damage: removed, and the status stays 0.
    {"leftover temporary file", [](Files& f) { f["users.qbl.zezavezud-tmp"] = "x"; }, nothing,
     false, 0, no_backup},
};

class RepairFixes : public ::testing::TestWithParam<RepairCase> {};

TEST_P(RepairFixes, LeavesWhatTheEngineLoadsAndASecondRunFindsNothing) {
  const RepairCase& c = GetParam();
  Files damaged = testing::sample_files();
  c.damage(damaged);
  Files intended = testing::sample_files();
  c.intent(intended);
  MemoryPlatform p;
  testing::put_files(p, TOOL_DIR, damaged);

  tool::StringConsole dry;
  EXPECT_EQ(testing::run_tool_on(
                p, {"repair", TOOL_DIR, "--dry-run", c.salvage ? "--salvage" : "--json"}, dry),
            c.status == 1 || c.status == 5 ? 4 : c.status);
  EXPECT_EQ(testing::snapshot(p, TOOL_DIR), damaged);
  EXPECT_FALSE(p.exists(TOOL_DIR, "lost+found"));

  tool::StringConsole console;
  std::vector<std::string_view> args = {"repair", TOOL_DIR};
  if (c.salvage) args.push_back("--salvage");
  EXPECT_EQ(testing::run_tool_on(p, args, console), c.status)
      << console.stdout_text() << console.stderr_text();
  EXPECT_EQ(testing::describe_database(p, TOOL_DIR), describe(intended)) << console.stdout_text();
  EXPECT_FALSE(p.exists(TOOL_DIR, "users.qbl.zezavezud-tmp"));
  std::string saved = c.saved(damaged);
  if (!saved.empty()) {
    EXPECT_TRUE(has_backup(p, saved)) << console.stdout_text();
  }

  auto before = testing::snapshot(p, TOOL_DIR);
  auto saved_before = backups(p);
  EXPECT_EQ(testing::run_tool_on(p, args), c.status & ~tool::EXIT_REPAIRED);
  EXPECT_EQ(testing::snapshot(p, TOOL_DIR), before);
  EXPECT_EQ(backups(p), saved_before);
}

INSTANTIATE_TEST_SUITE_P(ToolRepair, RepairFixes, ::testing::ValuesIn(REPAIR_CASES),
                         testing::CaseName());

// Damage in the middle between bob's record and dave's: alice's newest
// record is in it, so her older one shows again; carol only ever had a
// record in it. A second region close after dave's and erin's records
// leaves them on an island: their records may be copies.
TEST(ToolRepair, SalvageListsEveryKeyWhoseVisibleStateChanges) {
  std::string a1 = testing::record_bytes("alice", Value::integer(1));
  std::string b1 = testing::record_bytes("bob", Value::integer(2));
  std::string island = testing::record_bytes("dave", Value::integer(3)) +
                       testing::record_bytes("erin", Value::integer(4));
  std::string users = a1 + b1 + zero_length_record("alice") + zero_length_record("carol") + island +
                      zero_length_record("x") + testing::record_bytes("fred", Value::integer(5)) +
                      testing::record_bytes("gina", Value::integer(6));
  MemoryPlatform p;
  p.put(TOOL_DIR, "users.qdb", users);
  tool::StringConsole plain;
  EXPECT_EQ(testing::run_tool_on(p, {"repair", TOOL_DIR}, plain), 4);
  EXPECT_EQ(p.contents(TOOL_DIR, "users.qdb"), users);
  EXPECT_NE(plain.stdout_text().find("repair --salvage"), std::string::npos);
  tool::StringConsole text;
  EXPECT_EQ(testing::run_tool_on(p, {"repair", TOOL_DIR, "--salvage", "--dry-run"}, text), 4);
  EXPECT_NE(text.stdout_text().find("users.qdb: 3 keys lose their newest record with the damage "
                                    "(an older record shows, or the key is gone): alice, carol, x"),
            std::string::npos)
      << text.stdout_text();
  EXPECT_NE(text.stdout_text().find("users.qdb: 2 keys have their newest record between two "
                                    "damaged regions close together"),
            std::string::npos)
      << text.stdout_text();
  tool::StringConsole console;
  EXPECT_EQ(testing::run_tool_on(p, {"repair", TOOL_DIR, "--salvage", "--json"}, console), 1);
  auto doc = parse_json_object(console.stdout_text());
  ASSERT_TRUE(doc.ok()) << console.stdout_text();
  const auto& changed = doc.value().find("changed_keys")->as_array();
  ASSERT_EQ(changed.size(), 5u) << console.stdout_text();
  const auto field = [&](size_t i, const char* name) { return changed[i].as_map().find(name); };
  EXPECT_EQ(field(0, "key")->as_text(), "alice");
  EXPECT_EQ(field(0, "why")->as_text(), "removed");
  EXPECT_EQ(field(0, "record_offset")->as_int(), int64_t(a1.size() + b1.size()));
  EXPECT_EQ(field(0, "now_offset")->as_int(), 0);
  EXPECT_EQ(field(1, "key")->as_text(), "carol");
  EXPECT_TRUE(field(1, "now_offset")->is(Kind::Null));
  EXPECT_EQ(field(2, "key")->as_text(), "x");
  EXPECT_EQ(field(3, "key")->as_text(), "dave");
  EXPECT_EQ(field(3, "why")->as_text(), "between damaged regions");
  EXPECT_EQ(field(4, "key")->as_text(), "erin");
  EXPECT_EQ(testing::run_tool_on(p, {"check", TOOL_DIR}), 0);
}

// Rows that stay keep their copies and their order; missing rows follow.
TEST(ToolRepair, BacklinkRebuildKeepsCopiesAndOrder) {
  Files files = testing::sample_files();
  auto bob = testing::backlink_add_bytes("bob", "posts", "p2", "");
  auto alice = testing::backlink_add_bytes("alice", "posts", "p1", "author");
  files["users.qbl"] = bob + testing::backlink_add_bytes("zed", "posts", "p1", "") + bob;
  MemoryPlatform p;
  testing::put_files(p, TOOL_DIR, files);
  EXPECT_EQ(testing::run_tool_on(p, {"repair", TOOL_DIR}), 1);
  EXPECT_EQ(p.contents(TOOL_DIR, "users.qbl"), bob + bob + alice);
}

TEST(ToolRepair, RefusesWhileADatabaseIsOpenAndChangesNothing) {
  Files files = testing::sample_files();
  files["users.qdb"] += TAIL;
  MemoryPlatform p;
  testing::put_files(p, TOOL_DIR, files);
  auto db = Database::open(TOOL_DIR, p);
  ASSERT_FALSE(db.ok());  // the torn tail keeps the engine out; take the lock by hand instead
  auto holder = p.open_existing_directory(TOOL_DIR).value();
  ASSERT_EQ(holder->lock_shared().value(), LockStatus::Acquired);
  tool::StringConsole console;
  EXPECT_EQ(testing::run_tool_on(p, {"repair", TOOL_DIR}, console), 8);
  EXPECT_EQ(console.stderr_text(),
            "zezavezud: /d is open in another program; nothing was changed\n");
  EXPECT_EQ(testing::snapshot(p, TOOL_DIR), files);
  EXPECT_FALSE(p.exists(TOOL_DIR, "lost+found"));
}

// Damage of every kind a repair rewrites, at once.
Files sweep_files() {
  Files f = testing::sample_files();
  f["users.qdb"] += TAIL;
  f["posts.qdb"] = zero_length_record("x") + f["posts.qdb"];
  f["users.qbl"] += testing::backlink_add_bytes("carol", "posts", "p9", "");
  f["posts.qdb.zezavezud-tmp"] = "old";
  return f;
}

// The space a repair asks for is the space it uses on a file system that
// counts every block (the copies in lost+found and each replaced file still
// held open included); with less it refuses and changes nothing.
TEST(ToolRepair, TheSpaceItAsksForIsEnoughAndLessIsRefused) {
  Files damaged = sweep_files();
  damaged["users.qdb"] += std::string(50000, 'x');  // a long torn tail to copy
  MemoryPlatform p;
  testing::put_files(p, TOOL_DIR, damaged);
  p.set_free_space(0);
  tool::StringConsole console;
  ASSERT_EQ(testing::run_tool_on(p, {"repair", TOOL_DIR, "--salvage"}, console), 8 | 4);
  const std::string needs = "repair needs ";
  const size_t at = console.stderr_text().find(needs);
  ASSERT_NE(at, std::string::npos) << console.stderr_text();
  const uint64_t needed = std::stoull(console.stderr_text().substr(at + needs.size()));
  EXPECT_NE(console.stderr_text().find(" bytes, 0 are free; nothing was changed"),
            std::string::npos);
  p.set_free_space(needed - 1);
  EXPECT_EQ(testing::run_tool_on(p, {"repair", TOOL_DIR, "--salvage"}), 8 | 4);
  EXPECT_EQ(testing::snapshot(p, TOOL_DIR), damaged);
  EXPECT_FALSE(p.exists(TOOL_DIR, "lost+found"));
  p.set_capacity(p.used_bytes() + needed);
  tool::StringConsole done;
  EXPECT_EQ(testing::run_tool_on(p, {"repair", TOOL_DIR, "--salvage"}, done), 1)
      << done.stderr_text();
  const std::string& users = damaged.at("users.qdb");
  EXPECT_TRUE(has_backup(p, users.substr(users.size() - 50000 - TAIL.size())) ||
              has_backup(p, users));
  EXPECT_TRUE(has_backup(p, damaged.at("posts.qdb")));
}

// Where the file system refuses hard links, each replaced file is copied
// to lost+found instead; a copy that does not fit fails its step before
// the file is touched, and a run with room finishes the job.
TEST(ToolRepair, WithoutHardLinksACopyThatDoesNotFitChangesNothing) {
  Files damaged = sweep_files();
  damaged["posts.qdb"] += testing::record_bytes("p3", Value::blob(std::string(100000, 'b')));
  MemoryPlatform p;
  testing::put_files(p, TOOL_DIR, damaged);
  p.refuse_links(IoError::os(EPERM));
  // Room for what repair counts (the salvaged file's replacement), not for
  // a copy of the old file as well.
  p.set_capacity(p.used_bytes() + 150000);
  tool::StringConsole console;
  EXPECT_EQ(testing::run_tool_on(p, {"repair", TOOL_DIR, "--salvage"}, console), 8 | 4);
  EXPECT_NE(console.stderr_text().find("not enough free space: the file system refuses a hard "
                                       "link (Operation not permitted"),
            std::string::npos)
      << console.stderr_text();
  Files left = damaged;
  left.erase("posts.qdb.zezavezud-tmp");  // the completed step
  EXPECT_EQ(testing::snapshot(p, TOOL_DIR), left);
  p.set_capacity(p.used_bytes() + 300000);
  EXPECT_EQ(testing::run_tool_on(p, {"repair", TOOL_DIR, "--salvage"}), 1);
  EXPECT_TRUE(has_backup(p, damaged.at("posts.qdb")));
  EXPECT_TRUE(has_backup(p, damaged.at("users.qbl")));
  EXPECT_EQ(testing::run_tool_on(p, {"check", TOOL_DIR}), 0);
}

// Whatever single failure interrupts a repair, running it again gives what
// an uninterrupted repair gives, and no cut byte is lost.
TEST(ToolRepair, InterruptedRepairFinishesOnTheNextRun) {
  const Files damaged = sweep_files();
  MemoryPlatform clean;
  testing::put_files(clean, TOOL_DIR, damaged);
  ASSERT_EQ(testing::run_tool_on(clean, {"repair", TOOL_DIR, "--salvage"}), 1);
  const std::string expected = testing::describe_database(clean, TOOL_DIR);
  const IoError injected = IoError::os(EIO);
  struct Fault {
    const char* name;
    std::function<void(MemoryPlatform&, int)> plan;
  };
  const Fault faults[] = {
      {"write", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Write, n, injected); }},
      {"torn write", [&](MemoryPlatform& p, int n) { p.torn_write(n, 2, IoError::os(ENOSPC)); }},
      {"sync", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Sync, n, injected); }},
      {"rename", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Rename, n, injected); }},
      {"truncate", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Truncate, n, injected); }},
      {"remove", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Remove, n, injected); }},
      {"owner", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::SetOwner, n, injected); }},
      {"link", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Link, n, injected); }},
      // A file system without hard links: the old files are copied instead.
      {"write, no hard links",
       [&](MemoryPlatform& p, int n) {
         p.refuse_links(IoError::os(EPERM));
         p.fail(FaultOp::Write, n, injected);
       }},
      {"sync, no hard links",
       [&](MemoryPlatform& p, int n) {
         p.refuse_links(IoError::os(ENOTSUP));
         p.fail(FaultOp::Sync, n, injected);
       }},
  };
  for (const Fault& fault : faults) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(fault.name) + " #" + std::to_string(n));
      MemoryPlatform p;
      testing::put_files(p, TOOL_DIR, damaged);
      fault.plan(p, n);
      int status = testing::run_tool_on(p, {"repair", TOOL_DIR, "--salvage"});
      if (p.faults_fired() == 0) {
        EXPECT_EQ(status, 1);
        EXPECT_GT(n, 1) << "the repair never reached this kind of call";
        break;
      }
      EXPECT_NE(status & 8, 0);
      p.clear_faults();
      tool::StringConsole again;
      EXPECT_EQ(testing::run_tool_on(p, {"repair", TOOL_DIR, "--salvage"}, again) & 8, 0)
          << again.stderr_text();
      EXPECT_EQ(testing::describe_database(p, TOOL_DIR), expected);
      EXPECT_TRUE(has_backup(p, TAIL) || has_backup(p, damaged.at("users.qdb")));
      EXPECT_TRUE(has_backup(p, damaged.at("posts.qdb")));
      EXPECT_TRUE(has_backup(p, damaged.at("users.qbl")));
      EXPECT_EQ(testing::run_tool_on(p, {"repair", TOOL_DIR, "--salvage"}), 0);
    }
  }
}

}  // namespace
}  // namespace zez
