#include <gtest/gtest.h>

#include <functional>

#include "codec/byte_order.h"
#include "tool/json.h"
#include "tool_fixtures.h"

namespace zez {
namespace {

using testing::MemoryPlatform;
using testing::raw_record;
using testing::TOOL_DIR;
using testing::zero_length_record;
using Files = std::map<std::string, std::string>;

struct CheckCase {
  const char* name;
  std::function<void(Files&)> damage;
  // Whether `check --quick` reports exactly what `check` does; when not, it
  // misses the finding (it decodes no value but the last) and exits 0.
  bool quick_same;
  const char* finding;  // a line of the report must start with this
  int status;
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

const std::string LONG_NAME(300, 'x');

const CheckCase CHECK_CASES[] = {
    {"clean", [](Files&) {}, true, "", 0},
    {"torn tail", [](Files& f) { f["users.qdb"] += raw_record("carol", "\x02\x01").substr(0, 7); },
     true, "users.qdb:42: torn tail: record needs 13 bytes, 7 remain", 4},
    {"zero tail", [](Files& f) { f["users.qdb"] += std::string(12, '\0'); }, true,
     "users.qdb:42: zero-filled tail: 12 bytes", 4},
    {"zero value length",
     [](Files& f) { f["users.qdb"] = zero_length_record("x") + f["users.qdb"]; }, true,
     "users.qdb:0: damage in the middle: zero value length; bytes 0..9 (9 bytes) are not whole "
     "records, 2 whole records follow; keys of the records in it: x",
     4},
    {"key not UTF-8",
     [](Files& f) {
       f["users.qdb"] += testing::record_bytes("\xff", Value::null()) +
                         testing::record_bytes("y", Value::null()) +
                         testing::record_bytes("z", Value::null());
     },
     true, "users.qdb:42: bad record: key \\xff: key not UTF-8 (10 bytes)", 4},
    // Its framing holds, so the record after it is a record.
    {"key not UTF-8 before one record",
     [](Files& f) {
       f["users.qdb"] +=
           testing::record_bytes("\xff", Value::null()) + testing::record_bytes("y", Value::null());
     },
     true, "users.qdb:42: bad record: key \\xff: key not UTF-8 (10 bytes); the records around it", 4},
    // A bad value earlier in the file, then a crash: the bad record stays
    // one record, and the tail is a tail.
    {"bad record before a torn tail",
     [](Files& f) {
       f["users.qdb"] += raw_record("carol", "\xee") + testing::record_bytes("y", Value::null()) +
                         raw_record("z", "\x02\x01").substr(0, 9);
     },
     true, "users.qdb:66: torn tail: record needs 11 bytes, 9 remain", 4},
    {"bad record before zeros to the end",
     [](Files& f) {
       f["users.qdb"] += raw_record("carol", "\xee") + testing::record_bytes("y", Value::null()) +
                         std::string(30, '\0');
     },
     true, "users.qdb:66: zero-filled tail: 30 bytes", 4},
    {"undecodable last value", [](Files& f) { f["users.qdb"] += raw_record("carol", "\xee"); },
     true, "users.qdb:42: bad record: key carol: value does not decode (14 bytes)", 4},
    {"undecodable value in the middle",
     [](Files& f) { f["users.qdb"] = raw_record("carol", "\xee") + f["users.qdb"]; }, false,
     "users.qdb:0: bad record: key carol: value does not decode (14 bytes)", 4},
    {"value decodes short", [](Files& f) { f["users.qdb"] += raw_record("carol", std::string(2, '\0')); },
     true, "users.qdb:42: bad record: key carol: value decodes short of its length (15 bytes)", 4},
    // The last record's blob ends in zeros from offset 4096 to the end of
    // the file: kept, and noted.
    {"zero-filled last page",
     [](Files& f) {
       const size_t content_at = f["users.qdb"].size() + 4 + 1 + 4 + 1 + 4;
       f["users.qdb"] += testing::record_bytes(
           "z", Value::blob(std::string(4096 - content_at, 'x') + std::string(104, '\0')));
     },
     true,
     "users.qdb:42: note: the last record (key z) ends in 104 zero bytes from a 4096-aligned "
     "offset to the end of the file; a power loss can leave this",
     0},
    {"backlink file cut short", [](Files& f) { f["users.qbl"] += "\x01\x05"; }, true,
     "users.qbl:62: backlink file does not load: failed to fill whole buffer; 2 rows", 4},
    {"stale row",
     [](Files& f) { f["users.qbl"] += testing::backlink_add_bytes("carol", "posts", "p9", ""); },
     false, "users.qbl:62: stale backlink: key carol <- posts/p9", 4},
    {"missing row",
     [](Files& f) {
       f["users.qbl"] = testing::backlink_add_bytes("alice", "posts", "p1", "author");
     },
     false, "users.qbl: missing backlink: key bob <- posts/p2", 4},
    {"missing backlink file", [](Files& f) { f.erase("users.qbl"); }, false,
     "users.qbl: missing backlink: key alice <- posts/p1 at \"author\"", 4},
    {"copies of a row are not damage",
     [](Files& f) { f["users.qbl"] += testing::backlink_add_bytes("bob", "posts", "p2", ""); },
     true, "", 0},
    {"leftover temporary file", [](Files& f) { f["users.qdb.zezavezud-tmp"] = "x"; }, true,
     "users.qdb.zezavezud-tmp: leftover temporary file", 0},
    {"link target that cannot be a file name",
     [](Files& f) { f["posts.qdb"] += testing::record_bytes("p3", Value::link(LONG_NAME + "/k")); },
     false, "posts.qdb:73: link target not a file name", 0},
};

class CheckFindsDamage : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckFindsDamage, ReportsTheKindAndExitStatus) {
  const CheckCase& c = GetParam();
  Files files = testing::sample_files();
  c.damage(files);
  MemoryPlatform p;
  testing::put_files(p, TOOL_DIR, files);
  tool::StringConsole console;
  EXPECT_EQ(testing::run_tool_on(p, {"check", TOOL_DIR}, console), c.status)
      << console.stdout_text();
  const std::string line = std::string("\n") + c.finding;
  if (*c.finding != 0) {
    EXPECT_NE(("\n" + console.stdout_text()).find(line), std::string::npos)
        << console.stdout_text();
  }
  tool::StringConsole quick;
  const int quick_status = testing::run_tool_on(p, {"check", TOOL_DIR, "--quick"}, quick);
  if (c.quick_same) {
    EXPECT_EQ(quick_status, c.status);
    EXPECT_EQ(quick.stdout_text(), console.stdout_text());
  } else {
    EXPECT_EQ(quick_status, 0) << quick.stdout_text();
    EXPECT_EQ(("\n" + quick.stdout_text()).find(line), std::string::npos) << quick.stdout_text();
  }
  EXPECT_EQ(testing::snapshot(p, TOOL_DIR), files);  // read-only
}

INSTANTIATE_TEST_SUITE_P(ToolCheck, CheckFindsDamage, ::testing::ValuesIn(CHECK_CASES),
                         testing::CaseName());

TEST(ToolCheck, JsonListsFindingsWithSeverity) {
  Files files = testing::sample_files();
  files["users.qdb"] += std::string(3, '\0');
  files["x.qdb.zezavezud-tmp"] = "";
  MemoryPlatform p;
  testing::put_files(p, TOOL_DIR, files);
  tool::StringConsole console;
  EXPECT_EQ(testing::run_tool_on(p, {"check", TOOL_DIR, "--json"}, console), 4);
  auto doc = parse_json_object(console.stdout_text());
  ASSERT_TRUE(doc.ok()) << console.stdout_text();
  EXPECT_EQ(doc.value().find("damage")->as_int(), 1);
  const auto& findings = doc.value().find("findings")->as_array();
  ASSERT_EQ(findings.size(), 2u);
  EXPECT_EQ(findings[0].as_map().find("severity")->as_text(), "note");
  EXPECT_TRUE(findings[0].as_map().find("offset")->is(Kind::Null));
  EXPECT_EQ(findings[1].as_map().find("kind")->as_text(), "zero-filled tail");
  EXPECT_EQ(findings[1].as_map().find("offset")->as_int(), 42);
  EXPECT_EQ(findings[1].as_map().find("severity")->as_text(), "damage");
}

TEST(ToolCheck, WarnsButReadsWhileADatabaseIsOpen) {
  MemoryPlatform p;
  testing::put_files(p, TOOL_DIR, testing::sample_files());
  auto db = Database::open(TOOL_DIR, p);
  ASSERT_TRUE(db.ok());
  tool::StringConsole console;
  EXPECT_EQ(testing::run_tool_on(p, {"check", TOOL_DIR}, console), 0);
  EXPECT_NE(console.stderr_text().find("open in another program"), std::string::npos);
}

TEST(ToolCheck, MissingDirectoryIsAnOperationalErrorAndCreatesNothing) {
  MemoryPlatform p;
  tool::StringConsole console;
  EXPECT_EQ(testing::run_tool_on(p, {"check", "/nowhere"}, console), 8);
  EXPECT_EQ(console.stderr_text(), "zezavezud: /nowhere: no such directory\n");
  EXPECT_FALSE(p.open_existing_directory("/nowhere").ok());
}

// Dead bytes are what a compaction would drop: every record but the live
// ones. users: alice set twice, bob deleted; the backlink file holds one row
// twice.
TEST(ToolStats, CountsLiveAndDeadBytesPerCollectionAndInTotal) {
  MemoryPlatform p;
  Files files = testing::sample_files();
  files["users.qdb"] += testing::record_bytes("alice", Value::integer(3)) +
                        testing::record_bytes("bob", Value::tombstone());
  files["users.qbl"] += testing::backlink_add_bytes("bob", "posts", "p2", "");
  testing::put_files(p, TOOL_DIR, files);
  tool::StringConsole console;
  ASSERT_EQ(testing::run_tool_on(p, {"stats", TOOL_DIR, "--json"}, console), 0);
  auto doc = parse_json_object(console.stdout_text());
  ASSERT_TRUE(doc.ok()) << console.stdout_text();
  const Map& users = doc.value().find("collections")->as_map().find("users")->as_map();
  EXPECT_EQ(users.find("live_keys")->as_int(), 1);
  EXPECT_EQ(users.find("records")->as_int(), 4);
  EXPECT_EQ(users.find("file_bytes")->as_int(), 42 + 22 + 12);
  EXPECT_EQ(users.find("live_bytes")->as_int(), 22);
  EXPECT_EQ(users.find("dead_bytes")->as_int(), 42 + 12);
  EXPECT_DOUBLE_EQ(users.find("dead_share")->as_float(), 54.0 / 76.0);
  EXPECT_EQ(users.find("backlink_rows")->as_int(), 3);
  EXPECT_EQ(users.find("backlink_file_bytes")->as_int(), int64_t(files["users.qbl"].size()));
  const Map& totals = doc.value().find("totals")->as_map();
  EXPECT_EQ(totals.find("live_keys")->as_int(), 3);
  EXPECT_EQ(totals.find("file_bytes")->as_int(), int64_t(76 + files["posts.qdb"].size()));
}

TEST(ToolStats, DamagedFileIsReportedAsFarAsItWasScanned) {
  MemoryPlatform p;
  Files files = testing::sample_files();
  files["users.qdb"] += "\x05\x01";
  testing::put_files(p, TOOL_DIR, files);
  tool::StringConsole console;
  EXPECT_EQ(testing::run_tool_on(p, {"stats", TOOL_DIR}, console), 4);
  EXPECT_NE(console.stdout_text().find("users.qdb:42: torn tail"), std::string::npos);
  EXPECT_NE(console.stdout_text().find("users: 2 live keys, 2 records, 44 bytes"),
            std::string::npos)
      << console.stdout_text();
}

}  // namespace
}  // namespace zez
