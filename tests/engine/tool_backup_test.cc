// `zezavezud backup` over the in-memory platform: a copy equal to a healthy
// directory, what it leaves out of a damaged or busy one, where DEST may
// be, the locks it takes and meets, and that a failing call or a full disk
// never leaves an incomplete DEST.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "memory_platform.h"
#include "tool_fixtures.h"

namespace zez::testing {
namespace {

using tool::EXIT_CLEAN;
using tool::EXIT_DAMAGE_LEFT;
using tool::EXIT_OPERATIONAL;
using tool::StringConsole;

const std::string DEST = "/b";

int backup(MemoryPlatform& p, StringConsole& console, std::vector<std::string_view> extra = {},
           std::string_view dest = DEST) {
  std::vector<std::string_view> args = {"backup", TOOL_DIR, dest};
  args.insert(args.end(), extra.begin(), extra.end());
  return run_tool_on(p, args, console);
}

// What the engine shows of a directory, without the keys whose every record
// is dead, which a compacted copy rightly does not mention at all.
std::string live_view(const MemoryPlatform& p, const std::string& dir) {
  std::string all = describe_database(p, dir);
  std::string out;
  for (size_t at = 0; at < all.size();) {
    size_t nl = all.find('\n', at);
    std::string line = all.substr(at, nl + 1 - at);
    if (line.find(" : key not found") == std::string::npos) out += line;
    at = nl + 1;
  }
  return out;
}

int check(MemoryPlatform& p, const std::string& dir) {
  StringConsole console;
  return run_tool_on(p, {"check", dir}, console);
}

// sample_files() with a few records overwritten and deleted: dead records
// for --compact to leave out, and backlinks whose rows were added twice.
std::map<std::string, std::string> files_with_history() {
  auto files = sample_files();
  files["users.qdb"] += record_bytes("bob", Value::integer(3)) +
                        record_bytes("carol", Value::integer(4)) +
                        record_bytes("carol", Value::tombstone());
  files["posts.qdb"] += record_bytes("p2", Value::link("users/bob"));
  files["users.qbl"] += backlink_add_bytes("bob", "posts", "p2", "") +
                        backlink_add_bytes("alice", "posts", "p2", "gone");
  // A collection without dead records, which --compact copies as it is.
  files["tags.qdb"] = record_bytes("t1", Value::integer(1)) + record_bytes("t2", Value::integer(2));
  // ... and a row that went again.
  (void)frame_backlink_record(BACKLINK_OP_REMOVE, {"alice", "posts", "p2", "gone"},
                              files["users.qbl"]);
  return files;
}

TEST(ToolBackup, CopiesAHealthyDirectoryAsItIs) {
  for (bool compact : {false, true}) {
    SCOPED_TRACE(compact ? "--compact" : "plain");
    MemoryPlatform p;
    put_files(p, TOOL_DIR, files_with_history());
    const auto before = snapshot(p, TOOL_DIR);
    StringConsole console;
    std::vector<std::string_view> extra;
    if (compact) extra = {"--compact", "--json"};
    ASSERT_EQ(backup(p, console, extra), EXIT_CLEAN) << console.stderr_text();
    EXPECT_EQ(snapshot(p, TOOL_DIR), before);
    EXPECT_EQ(live_view(p, DEST), live_view(p, TOOL_DIR));
    EXPECT_EQ(check(p, DEST), EXIT_CLEAN);
    EXPECT_EQ(p.names("/"), (std::vector<std::string>{"b", "d"}));
    auto copy = snapshot(p, DEST);
    if (compact) {
      // Only the live records, and the current rows in their order, the
      // copy of a row included.
      EXPECT_LT(copy["users.qdb"].size(), before.at("users.qdb").size());
      EXPECT_EQ(copy["tags.qdb"], before.at("tags.qdb"));
      EXPECT_EQ(copy["users.qbl"], sample_files().at("users.qbl") +
                                       backlink_add_bytes("bob", "posts", "p2", ""));
    } else {
      EXPECT_EQ(copy, before);
    }
    EXPECT_NE(console.stdout_text().find(compact ? R"("files":4,)" : "4 files"), std::string::npos)
        << console.stdout_text();
  }
}

// What the copy of users.qdb holds, and what is reported, for damage in it:
// every byte, but for the record being appended to a file in use.
TEST(ToolBackup, CopiesDamageWholeAndReportsItAsCheckDoes) {
  const std::string good = sample_files().at("users.qdb");
  const std::string torn = record_bytes("dave", Value::text("x")).substr(0, 7);
  const std::string after = record_bytes("erin", Value::integer(5)) +
                            record_bytes("fred", Value::integer(6));
  const std::string bad = raw_record("bad", "\xee");
  struct Case {
    const char* name;
    std::string users;
    bool in_use;  // another program holds the directory
    int status;
    std::string finding;  // in the output
    std::string copy;     // users.qdb in DEST
  };
  const std::string at = "users.qdb:" + std::to_string(good.size());
  const Case cases[] = {
      {"torn last record, idle", good + torn, false, EXIT_DAMAGE_LEFT, at + ": torn tail",
       good + torn},
      {"torn last record, in use", good + torn, true, EXIT_CLEAN, at + ": left out", good},
      {"damage in the middle, in use", good + zero_length_record("bad") + after, true,
       EXIT_DAMAGE_LEFT, at + ": damage in the middle", good + zero_length_record("bad") + after},
      {"bad record before the record being written", good + bad + after + torn, true,
       EXIT_DAMAGE_LEFT, at + ": bad record: key bad", good + bad + after},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryPlatform p;
    auto files = sample_files();
    files["users.qdb"] = c.users;
    put_files(p, TOOL_DIR, files);
    auto holder = p.open_existing_directory(TOOL_DIR).value();
    if (c.in_use) {
      ASSERT_TRUE(holder->lock_shared().ok());
    }
    StringConsole console;
    EXPECT_EQ(backup(p, console), c.status) << console.stderr_text();
    EXPECT_NE(console.stdout_text().find(c.finding), std::string::npos) << console.stdout_text();
    EXPECT_EQ(p.contents(DEST, "users.qdb"), c.copy);
    EXPECT_EQ(p.contents(DEST, "users.qbl"), files["users.qbl"]);
    holder.reset();
    // The copy reports the damage the backup reported.
    StringConsole checked;
    EXPECT_EQ(run_tool_on(p, {"check", DEST}, checked), c.status);
    if (c.status != EXIT_CLEAN) {
      EXPECT_NE(checked.stdout_text().find(c.finding), std::string::npos) << checked.stdout_text();
    }
  }
}

// A backlink file that disagrees with the records, as one copied while a
// writer went on does: rebuilt, its agreeing rows kept in their order.
TEST(ToolBackup, RebuildsBacklinksThatDisagreeWithTheRecords) {
  MemoryPlatform p;
  auto files = sample_files();
  files["users.qbl"] = backlink_add_bytes("bob", "posts", "p2", "") +
                       backlink_add_bytes("zed", "posts", "p9", "") +
                       backlink_add_bytes("alice", "posts", "p1", "author");
  put_files(p, TOOL_DIR, files);
  StringConsole console;
  EXPECT_EQ(backup(p, console), EXIT_CLEAN) << console.stderr_text();
  EXPECT_NE(console.stdout_text().find("users.qbl: backlinks rebuilt"), std::string::npos)
      << console.stdout_text();
  EXPECT_EQ(p.contents(DEST, "users.qbl"), backlink_add_bytes("bob", "posts", "p2", "") +
                                               backlink_add_bytes("alice", "posts", "p1", "author"));
  EXPECT_EQ(check(p, DEST), EXIT_CLEAN);
}

// A writer that cuts back a failed append while the file is copied: the
// copy ends where the file now ends.
TEST(ToolBackup, ACopyCutBackByTheWriterIsMadeAgain) {
  class CuttingConsole final : public tool::Console {
   public:
    explicit CuttingConsole(std::function<void()> cut) : cut_(std::move(cut)) {}
    void out(std::string_view) override {}
    void err(std::string_view) override {}
    void progress(std::string_view what, uint64_t, uint64_t) override {
      if (what == "copying users.qdb" && cut_) std::exchange(cut_, nullptr)();
    }
    Result<size_t, IoError> read_input(char*, size_t) override { return size_t(0); }

   private:
    std::function<void()> cut_;
  };
  MemoryPlatform p;
  auto files = sample_files();
  const std::string good = files["users.qdb"];
  files["users.qdb"] += record_bytes("dave", Value::integer(7));
  put_files(p, TOOL_DIR, files);
  CuttingConsole console([&] {
    auto dir = p.open_existing_directory(TOOL_DIR).value();
    ASSERT_TRUE(dir->open("users.qdb", OpenMode::Append).value()->truncate(good.size()).ok());
  });
  EXPECT_EQ(tool::run_tool(p, {"backup", TOOL_DIR, DEST}, console), EXIT_CLEAN);
  EXPECT_EQ(p.contents(DEST, "users.qdb"), good);
}

TEST(ToolBackup, DestMustBeNewOrEmptyAndOutsideDir) {
  struct Case {
    const char* dest;
    std::function<void(MemoryPlatform&)> setup;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"/b", [](MemoryPlatform&) {}, EXIT_CLEAN, ""},
      {"/new/deep/b", [](MemoryPlatform&) {}, EXIT_CLEAN, ""},
      {"/b", [](MemoryPlatform& p) { (void)p.open_directory("/b"); }, EXIT_CLEAN, ""},
      {"/b", [](MemoryPlatform& p) { p.put("/b", "x", "1"); }, EXIT_OPERATIONAL, "not empty"},
      {"/b/f", [](MemoryPlatform& p) { p.put("/b", "f", "1"); }, EXIT_OPERATIONAL,
       "not a directory"},
      {"/d", [](MemoryPlatform&) {}, EXIT_OPERATIONAL, "lies inside"},
      {"/d/x.qdb", [](MemoryPlatform&) {}, EXIT_OPERATIONAL, "lies inside"},
      {"/e/../d/sub/x", [](MemoryPlatform& p) { (void)p.open_directory("/e"); },
       EXIT_OPERATIONAL, "lies inside"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dest);
    MemoryPlatform p;
    put_files(p, TOOL_DIR, sample_files());
    c.setup(p);
    const auto before = snapshot(p, TOOL_DIR);
    StringConsole console;
    EXPECT_EQ(backup(p, console, {}, c.dest), c.status) << console.stderr_text();
    EXPECT_NE(console.stderr_text().find(c.message), std::string::npos) << console.stderr_text();
    EXPECT_EQ(snapshot(p, TOOL_DIR), before);
    EXPECT_EQ(p.names(TOOL_DIR).size(), before.size());
    if (c.status == EXIT_CLEAN) {
      EXPECT_EQ(snapshot(p, c.dest), before);
    }
  }
}

// Backup holds the shared lock: a maintenance command holding the directory
// stops it, and while it runs, repair is refused and writers go on.
TEST(ToolBackup, TakesTheSharedLock) {
  MemoryPlatform p;
  put_files(p, TOOL_DIR, sample_files());
  {
    auto maintenance = p.open_existing_directory(TOOL_DIR).value();
    ASSERT_EQ(maintenance->lock_exclusive().value(), LockStatus::Acquired);
    StringConsole console;
    EXPECT_EQ(backup(p, console), EXIT_OPERATIONAL);
    EXPECT_NE(console.stderr_text().find("held by a maintenance command"), std::string::npos);
    EXPECT_FALSE(p.exists("/", "b"));
  }
  class DuringBackup final : public tool::Console {
   public:
    explicit DuringBackup(MemoryPlatform& p) : p_(p) {}
    void out(std::string_view) override {}
    void err(std::string_view) override {}
    void progress(std::string_view, uint64_t, uint64_t) override {
      if (repair_status >= 0) return;
      StringConsole console;
      repair_status = run_tool_on(p_, {"repair", TOOL_DIR}, console);
      auto db = Database::open(TOOL_DIR, p_);
      wrote = db.ok() && db.value()->set("users", "zoe", Value::integer(9)).ok();
    }
    Result<size_t, IoError> read_input(char*, size_t) override { return size_t(0); }
    int repair_status = -1;
    bool wrote = false;

   private:
    MemoryPlatform& p_;
  };
  DuringBackup console(p);
  EXPECT_EQ(tool::run_tool(p, {"backup", TOOL_DIR, DEST}, console), EXIT_CLEAN);
  EXPECT_EQ(console.repair_status, EXIT_OPERATIONAL);
  EXPECT_TRUE(console.wrote);
  EXPECT_EQ(check(p, DEST), EXIT_CLEAN);
}

// Every write, sync, rename, open, stat, lock and remove of a backup fails
// once, in turn: DEST is then the whole copy or absent, DIR is unchanged,
// and the next backup finishes.
TEST(ToolBackup, AFailingCallNeverLeavesAnIncompleteDest) {
  const IoError injected = IoError::os(EIO);
  const FaultOp ops[] = {FaultOp::Write, FaultOp::Sync, FaultOp::Rename, FaultOp::Open,
                         FaultOp::Stat,  FaultOp::Lock, FaultOp::Remove, FaultOp::SetOwner};
  for (FaultOp op : ops) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE("op " + std::to_string(int(op)) + " call " + std::to_string(n));
      MemoryPlatform p;
      put_files(p, TOOL_DIR, files_with_history());
      const auto before = snapshot(p, TOOL_DIR);
      p.fail(op, n, injected);
      StringConsole console;
      const int status = backup(p, console, {"--compact"});
      const bool fired = p.faults_fired() > 0;
      p.clear_faults();
      EXPECT_EQ(snapshot(p, TOOL_DIR), before);
      if (!fired) {
        EXPECT_EQ(status, EXIT_CLEAN) << console.stderr_text();
        EXPECT_GT(n, 1);
        break;
      }
      if (p.exists("/", "b")) {
        // Only the parent's last sync failed: the copy is in place.
        EXPECT_EQ(live_view(p, DEST), live_view(p, TOOL_DIR));
        continue;
      }
      EXPECT_EQ(status, EXIT_OPERATIONAL);
      if (p.exists("/", "b.zezavezud-tmp") && !p.exists("/b.zezavezud-tmp", "zezavezud-load-in-progress")) {
        // The rename failed: the complete copy stays beside, and says so.
        EXPECT_NE(console.stderr_text().find("the complete database stays in"), std::string::npos);
        EXPECT_EQ(live_view(p, "/b.zezavezud-tmp"), live_view(p, TOOL_DIR));
        continue;
      }
      StringConsole again;
      EXPECT_EQ(backup(p, again, {"--compact"}), EXIT_CLEAN) << again.stderr_text();
      EXPECT_EQ(live_view(p, DEST), live_view(p, TOOL_DIR));
      EXPECT_FALSE(p.exists("/", "b.zezavezud-tmp"));
    }
  }
}

TEST(ToolBackup, AFullDiskLeavesNothing) {
  MemoryPlatform sizing;
  put_files(sizing, TOOL_DIR, files_with_history());
  const uint64_t before = sizing.used_bytes();
  StringConsole console;
  ASSERT_EQ(backup(sizing, console), EXIT_CLEAN);
  const uint64_t written = sizing.used_bytes() - before;
  for (uint64_t room = 0; room < written; room += 7) {
    SCOPED_TRACE("room " + std::to_string(room));
    MemoryPlatform p;
    put_files(p, TOOL_DIR, files_with_history());
    p.set_capacity(p.used_bytes() + room, /*reported=*/room % 2 == 0);
    StringConsole full;
    EXPECT_EQ(backup(p, full), EXIT_OPERATIONAL);
    EXPECT_EQ(p.names("/"), std::vector<std::string>{"d"}) << full.stderr_text();
  }
}

}  // namespace
}  // namespace zez::testing
