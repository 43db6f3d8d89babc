// `zezavezud dump` and `load` over the in-memory platform: the JSON spelling
// of values, what dump makes of a damaged directory, what load refuses, and
// that a load into a new directory cut short by any failing call, a full
// disk included, leaves the whole database or none, and nothing the next
// load does not clear away.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "db/database.h"
#include "db/record_file.h"
#include "memory_platform.h"
#include "test_values.h"
#include "tool/dump_format.h"
#include "tool/json.h"
#include "tool/tool.h"
#include "string_console.h"

namespace zez::tool {
namespace {

using zez::testing::FaultOp;
using zez::testing::MemoryPlatform;

std::string json_of(const Value& v) {
  std::string out;
  JsonWriter(out).write_value(v);
  return out;
}

// The value a JSON text spells, shown again as JSON, or the error.
std::string reread(std::string_view text) {
  auto v = parse_json(text);
  if (!v.ok()) return (v.error().syntax ? "json: " : "error: ") + v.error().message;
  return json_of(v.value());
}

double from_bits(uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// ---- The spelling of values --------------------------------------------------

TEST(ToolValueJson, EveryKindHasOneTextThatReadsBack) {
  Map unordered;
  unordered.insert("b", Value::integer(2));
  unordered.insert("a", Value::map(map_of("$only", Value::null())));
  Array elements;
  elements.push_back(Value::tombstone());
  elements.push_back(Value::floating(-0.0));
  const std::pair<Value, std::string> cases[] = {
      {Value::integer(INT64_MIN), "-9223372036854775808"},
      {Value::floating(1.0), "1.0"},
      {Value::floating(from_bits(0x7ff8000000000001)), "{\"$float\":\"7ff8000000000001\"}"},
      {Value::floating(-INFINITY), "{\"$float\":\"fff0000000000000\"}"},
      {Value::blob(std::string("\0\xff", 2)), "{\"$bytes\":\"AP8=\"}"},
      {Value::date(UINT32_MAX), "{\"$date\":4294967295}"},
      {Value::time(0), "{\"$time\":0}"},
      {Value::date_time(UINT64_MAX), "{\"$datetime\":18446744073709551615}"},
      {Value::map(std::move(unordered)), "{\"a\":{\"$map\":{\"$only\":null}},\"b\":2}"},
      {Value::array(std::move(elements)), "[{\"$tombstone\":null},-0.0]"},
      {Value::link("p/k", map_of("$x", Value::text("é"))),
       "{\"$link\":{\"path\":\"p/k\",\"local\":{\"$x\":\"é\"}}}"},
      {Value::map(map_of("$", Value::boolean(true))), "{\"$map\":{\"$\":true}}"},
  };
  for (const auto& [value, text] : cases) {
    EXPECT_EQ(json_of(value), text);
    EXPECT_EQ(reread(text), text);
  }
}

TEST(ToolValueJson, Base64CoversEveryPaddingAndRefusesLooseText) {
  for (std::string bytes : {"", "a", "ab", "abc", "abcd"}) {
    auto v = parse_json(json_of(Value::blob(bytes)));
    ASSERT_TRUE(v.ok()) << bytes;
    EXPECT_EQ(v.value().as_blob(), bytes);
  }
  for (const char* bad : {"YQ", "YQ=", "Y===", "YR==", "YWI=YQ==", "Y Q=", "YQ=a"}) {
    EXPECT_EQ(reread("{\"$bytes\":\"" + std::string(bad) + "\"}"),
              "error: \"$bytes\" needs a base64 string")
        << bad;
  }
}

TEST(ToolValueJson, RefusesWhatNoValueSpells) {
  const std::pair<std::string, std::string> cases[] = {
      {"18446744073709551615", "error: integer out of the 64-bit signed range"},
      {"{\"$set\":[]}", "error: unknown tag \"$set\""},
      {"{\"$bytes\":\"!!!!\"}", "error: \"$bytes\" needs a base64 string"},
      {"{\"$float\":\"7FF8000000000000\"}",
       "error: \"$float\" needs 16 lowercase hexadecimal digits"},
      {"{\"$date\":4294967296}", "error: \"$date\" is out of range"},
      {"{\"$time\":-1}", "error: \"$time\" needs a non-negative integer"},
      {"{\"a\":1,\"a\":2}", "error: a map holds a key twice"},
      {"{\"$map\":[]}", "error: a map must be a JSON object"},
      {"{\"$link\":{\"path\":\"p\"}}",
       "error: \"$link\" needs an object with \"path\" (a string) and \"local\" (an object)"},
      {"{\"$tombstone\":0}", "error: \"$tombstone\" needs null"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(reread(text), expected) << text;
}

// Arrays, maps and links count one level each, as the decoder counts them;
// the objects that spell a tag are no level of their own.
TEST(ToolValueJson, NestingStopsWhereTheDecoderStops) {
  const std::pair<std::string, std::string> levels[] = {
      {"[", "]"},
      {"{\"$map\":{\"$\":", "}}"},
      {"{\"$link\":{\"path\":\"p\",\"local\":{\"a\":", "}}}"},
  };
  for (const auto& level : levels) {
    const std::string& open = level.first;
    const std::string& close = level.second;
    auto nested = [&](int n) {
      std::string text = "0";
      for (int i = 0; i < n; ++i) text = open + text + close;
      return text;
    };
    EXPECT_EQ(reread(nested(MAX_NESTING_DEPTH)), nested(MAX_NESTING_DEPTH)) << open;
    EXPECT_EQ(reread(nested(MAX_NESTING_DEPTH + 1)), "error: nested deeper than 256 levels")
        << open;
  }
}

// ---- Load ----------------------------------------------------------------------

const std::string DIR = "/d";

struct Record {
  std::string collection;
  std::string key;
  std::string json;  // the value as a dump spells it
};

std::string dump_text(const std::vector<Record>& records) {
  std::string text;
  append_dump_header(text);
  for (const Record& r : records) {
    text.append("{\"c\":");
    JsonWriter(text).write_string(r.collection);
    text.append(",\"k\":");
    JsonWriter(text).write_string(r.key);
    text.append(",\"v\":").append(r.json).append("}\n");
  }
  append_dump_trailer(text, records.size());
  return text;
}

// Two collections; a link (so load writes backlinks) and a value larger than
// the engine's write buffer (so it bypasses the buffer).
std::vector<Record> sample_records() {
  return {
      {"", "empty", "null"},
      {"posts", "p1", "{\"author\":{\"$link\":{\"path\":\"users/u1\",\"local\":{}}}}"},
      {"posts", "p2", "{\"$bytes\":\"" + std::string(100000, 'A') + "\"}"},
      {"users", "", "[1,2.5,{\"$float\":\"7ff0000000000000\"}]"},
      {"users", "u1", "{\"name\":\"Ada\"}"},
      {"users", "u2", "{\"$map\":{\"$x\":true}}"},
  };
}

int run(MemoryPlatform& platform, std::vector<std::string_view> args, StringConsole& console) {
  return run_tool(platform, args, console);
}

int load(MemoryPlatform& platform, const std::string& input, StringConsole& console,
         std::vector<std::string_view> extra = {}) {
  console.set_input(input);
  std::vector<std::string_view> args = {"load", DIR};
  args.insert(args.end(), extra.begin(), extra.end());
  return run(platform, args, console);
}

// How many records of `records`, from the first, the directory holds with
// their values; fails the test unless it holds exactly those and no later one.
size_t loaded_prefix(MemoryPlatform& platform, const std::vector<Record>& records,
                     const std::string& dir = DIR) {
  auto db = Database::open(dir, platform);
  EXPECT_TRUE(db.ok()) << db.error().display();
  if (!db.ok()) return 0;
  size_t present = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    auto v = db.value()->get(records[i].collection, records[i].key);
    if (!v.ok()) continue;
    EXPECT_EQ(present, i) << "record " << i << " loaded after a missing one";
    EXPECT_EQ(json_of(v.value()), records[i].json);
    ++present;
  }
  return present;
}

TEST(ToolLoad, LoadsADumpIntoANewDirectory) {
  MemoryPlatform platform;
  StringConsole console;
  auto records = sample_records();
  EXPECT_EQ(load(platform, dump_text(records), console), EXIT_CLEAN) << console.stderr_text();
  EXPECT_EQ(loaded_prefix(platform, records), records.size());
  auto db = Database::open(DIR, platform);
  ASSERT_TRUE(db.ok());
  auto links = db.value()->backlinks("users", "u1");
  ASSERT_TRUE(links.ok());
  ASSERT_EQ(links.value().size(), 1u);
  EXPECT_EQ(links.value()[0].source_key, "p1");
}

TEST(ToolLoad, RefusesBadInputBeforeTouchingTheDirectory) {
  std::string good = dump_text(sample_records());
  std::string no_trailer = good.substr(0, good.rfind("{\"zezavezud_records\""));
  const std::pair<std::string, std::string> cases[] = {
      {"", "stdin: empty input: not a dump"},
      {"{\"zezavezud_dump\":2}\n{\"zezavezud_records\":0}\n",
       "stdin:1: unknown dump version 2 (this program reads version 1)"},
      {"[]\n", "stdin:1: not a dump: the first line must be {\"zezavezud_dump\":1}"},
      {no_trailer, "stdin: no trailer line: the dump was cut short"},
      {no_trailer + "{\"zezavezud_records\":5}\n",
       "stdin:8: the trailer counts 5 records, the dump holds 6"},
      {good + "\n", "stdin:9: a line after the trailer"},
      {"{\"zezavezud_dump\":1}\n{\"c\":\"a\",\"k\":\"b\",\"v\":tru}\n",
       "stdin:2: not JSON: unexpected character at byte 24"},
      {dump_text({{"a/b", "k", "1"}}), "stdin:2: collection name cannot be a file name"},
      {dump_text({{"a", "k", "{\"$tombstone\":null}"}}),
       "stdin:2: a record's value cannot be a tombstone: a dump holds live records only"},
      {dump_text({{"a", "k", "{\"$nope\":1}"}}), "stdin:2: unknown tag \"$nope\""},
      {dump_text({{"a", "k\n", "1"}, {"b", "k\n", "2"}, {"a", "k\n", "3"}}),
       "stdin:4: collection \"a\" key \"k\\n\" appears twice, on lines 2 and 4: a dump holds "
       "each record once"},
  };
  for (const auto& [input, message] : cases) {
    MemoryPlatform platform;
    StringConsole console;
    EXPECT_EQ(load(platform, input, console), EXIT_DAMAGE_LEFT) << message;
    EXPECT_EQ(console.stderr_text(), "zezavezud: " + message + "; nothing was loaded\n");
    EXPECT_FALSE(platform.open_existing_directory(DIR).ok()) << message;
  }
}

const std::string TEMP = "/d.zezavezud-tmp";

// `zezavezud load /d -i /in/dump`.
int run_tool_on_input(MemoryPlatform& platform, StringConsole* console = nullptr) {
  StringConsole ignored;
  return run(platform, {"load", DIR, "-i", "/in/dump"}, console ? *console : ignored);
}
const std::string MARKER(LOAD_MARKER);

TEST(ToolLoad, IntoADatabaseOrANonEmptyDirectoryOnlyWithMerge) {
  MemoryPlatform platform;
  StringConsole console;
  std::string first = dump_text({{"a", "k1", "1"}});
  ASSERT_EQ(load(platform, first, console), EXIT_CLEAN);
  auto before = platform.contents(DIR, "a.qdb");
  EXPECT_EQ(load(platform, dump_text({{"a", "k2", "2"}}), console), EXIT_OPERATIONAL);
  EXPECT_EQ(platform.contents(DIR, "a.qdb"), before);
  EXPECT_NE(console.stderr_text().find("use --merge"), std::string::npos);
  EXPECT_EQ(load(platform, dump_text({{"a", "k2", "2"}}), console, {"--merge"}), EXIT_CLEAN);
  EXPECT_EQ(loaded_prefix(platform, {{"a", "k1", "1"}, {"a", "k2", "2"}}), 2u);
  EXPECT_FALSE(platform.exists(DIR, MARKER));

  MemoryPlatform foreign;
  foreign.put(DIR, "notes.txt", "mine");
  EXPECT_EQ(load(foreign, first, console), EXIT_OPERATIONAL);
  EXPECT_EQ(foreign.names(DIR), std::vector<std::string>{"notes.txt"});
}

// An empty directory is replaced by the finished database; missing parents
// are made.
TEST(ToolLoad, BuildsBesideTheTargetAndRenamesOntoItOrAnEmptyDirectory) {
  const auto records = sample_records();
  for (const std::string dir : {"/d", "/p/q/d"}) {
    for (bool exists : {false, true}) {
      SCOPED_TRACE(dir + (exists ? " (empty)" : " (missing)"));
      MemoryPlatform platform;
      if (exists) {
        ASSERT_TRUE(platform.open_directory(dir).ok());
      }
      StringConsole console;
      console.set_input(dump_text(records));
      ASSERT_EQ(run(platform, {"load", dir}, console), EXIT_CLEAN) << console.stderr_text();
      EXPECT_EQ(loaded_prefix(platform, records, dir), records.size());
      EXPECT_FALSE(platform.exists(dir.substr(0, dir.rfind('/')), "d.zezavezud-tmp"));
      EXPECT_FALSE(platform.exists(dir, MARKER));
    }
  }
}

// A leftover of an earlier load goes only when it carries the marker and no
// one holds its lock; anything else in the way stops the load, unchanged.
TEST(ToolLoad, RemovesOnlyALeftoverThatIsMarkedAndUnlocked) {
  const std::string input = dump_text(sample_records());
  struct Case {
    const char* name;
    bool marked;
    bool locked;
    bool directory;
    int status;
  };
  const Case cases[] = {
      {"marked, unlocked", true, false, true, EXIT_CLEAN},
      {"marked, locked", true, true, true, EXIT_OPERATIONAL},
      {"not marked", false, false, true, EXIT_OPERATIONAL},
      {"a file", false, false, false, EXIT_OPERATIONAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryPlatform platform;
    if (c.directory) {
      platform.put(TEMP, "a.qdb", "partial");
      if (c.marked) platform.put(TEMP, MARKER, "");
    } else {
      platform.put("/", "d.zezavezud-tmp", "a file");
    }
    std::unique_ptr<Directory> holder;
    if (c.locked) {
      holder = platform.open_existing_directory(TEMP).value();
      ASSERT_EQ(holder->lock_shared().value(), LockStatus::Acquired);
    }
    StringConsole console;
    EXPECT_EQ(load(platform, input, console), c.status) << console.stderr_text();
    EXPECT_EQ(platform.exists("/", "d"), c.status == EXIT_CLEAN);
    if (c.status == EXIT_CLEAN) continue;
    EXPECT_NE(console.stderr_text().find("nothing was changed"), std::string::npos)
        << console.stderr_text();
    if (c.directory) {
      EXPECT_EQ(platform.contents(TEMP, "a.qdb"), "partial");
    } else {
      EXPECT_EQ(platform.contents("/", "d.zezavezud-tmp"), "a file");
    }
  }
}

// The space a load asks for is enough on a file system that counts every
// block; with less it refuses and writes nothing.
TEST(ToolLoad, TheSpaceItAsksForIsEnoughAndLessIsRefused) {
  const auto records = sample_records();
  const std::string input = dump_text(records);
  MemoryPlatform platform;
  platform.put("/tmp", "keep", "");  // where standard input is spooled
  platform.set_free_space(0);
  StringConsole console;
  ASSERT_EQ(load(platform, input, console), EXIT_OPERATIONAL);
  const std::string needs = "load needs ";
  const size_t at = console.stderr_text().find(needs);
  ASSERT_NE(at, std::string::npos) << console.stderr_text();
  const uint64_t needed = std::stoull(console.stderr_text().substr(at + needs.size()));
  platform.set_free_space(needed - 1);
  EXPECT_EQ(load(platform, input, console), EXIT_OPERATIONAL);
  EXPECT_EQ(platform.names("/"), (std::vector<std::string>{"tmp"}));
  // The spooled input takes its room too while the load runs.
  platform.set_capacity(platform.used_bytes() + needed + input.size());
  StringConsole done;
  ASSERT_EQ(load(platform, input, done), EXIT_CLEAN) << done.stderr_text();
  EXPECT_EQ(loaded_prefix(platform, records), records.size());
}

// The figure after "load needs " in a refusal.
uint64_t needed_in(const StringConsole& console) {
  const std::string needs = "load needs ";
  const size_t at = console.stderr_text().find(needs);
  EXPECT_NE(at, std::string::npos) << console.stderr_text();
  return at == std::string::npos ? 0 : std::stoull(console.stderr_text().substr(at + 11));
}

// A leftover of a killed load goes only when the load then fits (its files
// count as freed); a load short of space leaves it as it was.
TEST(ToolLoad, ALeftoverGoesOnlyWhenTheLoadFits) {
  MemoryPlatform platform;
  platform.put("/in", "dump", dump_text(sample_records()));
  platform.set_free_space(0);
  StringConsole refused;
  ASSERT_EQ(run_tool_on_input(platform, &refused), EXIT_OPERATIONAL);
  const uint64_t needed = needed_in(refused);
  const std::string partial(20000, 'x');
  platform.put(TEMP, MARKER, "");
  platform.put(TEMP, "a.qdb", partial);
  platform.set_capacity(platform.used_bytes() + needed - partial.size() - 1);
  EXPECT_EQ(run_tool_on_input(platform), EXIT_OPERATIONAL);
  EXPECT_EQ(platform.contents(TEMP, "a.qdb"), partial);
  EXPECT_TRUE(platform.exists(TEMP, MARKER));
  platform.set_capacity(platform.used_bytes() + needed - partial.size());
  StringConsole done;
  EXPECT_EQ(run_tool_on_input(platform, &done), EXIT_CLEAN) << done.stderr_text();
  EXPECT_FALSE(platform.exists("/", "d.zezavezud-tmp"));
  EXPECT_EQ(loaded_prefix(platform, sample_records()), sample_records().size());
}

// A merge that overwrites a linking record appends a remove record for each
// of its old links: the space it asks for covers them.
TEST(ToolLoad, AMergeCountsTheBacklinkRemovalsOfWhatItOverwrites) {
  std::string links = "[";
  for (int i = 0; i < 300; ++i) {
    links.append(i ? "," : "").append("{\"$link\":{\"path\":\"b/");
    links.append(std::string(100, 'k')).append(std::to_string(i)).append("\",\"local\":{}}}");
  }
  links.append("]");
  MemoryPlatform platform;
  StringConsole console;
  ASSERT_EQ(load(platform, dump_text({{"a", "k", links}}), console), EXIT_CLEAN);
  platform.put("/in", "dump", dump_text({{"a", "k", "1"}}));
  const std::vector<std::string_view> merge = {"load", DIR, "-i", "/in/dump", "--merge"};
  platform.set_free_space(0);
  StringConsole refused;
  ASSERT_EQ(run(platform, merge, refused), EXIT_OPERATIONAL);
  platform.set_capacity(platform.used_bytes() + needed_in(refused));
  StringConsole done;
  EXPECT_EQ(run(platform, merge, done), EXIT_CLEAN) << done.stderr_text();
  EXPECT_EQ(run(platform, {"check", DIR}, console), EXIT_CLEAN);
}

// A merge keeps its marker in the directory until it finishes, so a merge
// that stopped part way shows in check as unfinished; running it again
// finishes it and the marker goes.
TEST(ToolLoad, AnUnfinishedMergeLeavesItsMarkerForCheckToReport) {
  const auto records = sample_records();
  MemoryPlatform platform;
  StringConsole console;
  ASSERT_EQ(load(platform, dump_text({{"a", "k", "1"}}), console), EXIT_CLEAN);
  platform.fail(FaultOp::Write, 3, IoError::os(EIO));
  EXPECT_EQ(load(platform, dump_text(records), console, {"--merge"}), EXIT_OPERATIONAL);
  EXPECT_NE(console.stderr_text().find("the marker zezavezud-load-in-progress stays in /d"),
            std::string::npos)
      << console.stderr_text();
  platform.clear_faults();
  StringConsole check;
  EXPECT_EQ(run(platform, {"check", DIR}, check), EXIT_DAMAGE_LEFT);
  EXPECT_NE(check.stdout_text().find("zezavezud-load-in-progress: unfinished merge: "),
            std::string::npos)
      << check.stdout_text();
  EXPECT_EQ(load(platform, dump_text(records), console, {"--merge"}), EXIT_CLEAN);
  EXPECT_FALSE(platform.exists(DIR, MARKER));
  StringConsole clean;
  EXPECT_EQ(run(platform, {"check", DIR}, clean), EXIT_CLEAN) << clean.stdout_text();
  EXPECT_EQ(loaded_prefix(platform, records), records.size());
}

// Each planned fault fires once; the sweep moves it one call later per run
// until a run finishes without it firing. After a failure the target holds
// the whole database (only the last sync failed) or does not exist; beside
// it may stay the marked leftover, which the next load removes, or, when the
// rename failed, the complete database unmarked.
TEST(ToolLoad, AFailingCallLeavesNoDatabaseOrTheWholeOne) {
  const auto records = sample_records();
  const std::string input = dump_text(records);
  const IoError injected = IoError::os(EIO);
  struct Plan {
    const char* name;
    std::function<void(MemoryPlatform&, int)> arm;
    // The one fault the sweep moves (another may be planned beside it).
    FaultOp moved = FaultOp::Open;
    bool only_one = true;
  };
  const Plan plans[] = {
      {"write", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Write, n, injected); }},
      {"sync", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Sync, n, injected); }},
      {"rename", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Rename, n, injected); }},
      {"remove", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Remove, n, injected); }},
      {"open", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Open, n, injected); }},
      {"stat", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Stat, n, injected); }},
      {"lock", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Lock, n, injected); }},
      {"torn write", [&](MemoryPlatform& p, int n) { p.torn_write(n, 3, IoError::os(ENOSPC)); }},
      // Close to a kill at the Nth write: the marker cannot be removed, so
      // the directory stays, marked.
      {"write, then the marker stays",
       [&](MemoryPlatform& p, int n) {
         p.fail(FaultOp::Write, n, injected);
         p.fail(FaultOp::Remove, 1, injected, MARKER);
       },
       FaultOp::Write, false},
  };
  for (const Plan& plan : plans) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(plan.name) + " " + std::to_string(n));
      MemoryPlatform platform;
      StringConsole console;
      plan.arm(platform, n);
      int status = load(platform, input, console);
      const bool fired = plan.only_one ? platform.faults_fired() > 0
                                       : platform.count(plan.moved) >= uint64_t(n);
      platform.clear_faults();
      if (!fired) {
        if (plan.only_one) {
          EXPECT_EQ(status, EXIT_CLEAN) << console.stderr_text();
        }
        EXPECT_GT(n, 1) << "the load never made such a call";
        break;
      }
      if (status == EXIT_CLEAN || platform.exists("/", "d")) {
        EXPECT_EQ(loaded_prefix(platform, records), records.size()) << console.stderr_text();
        EXPECT_FALSE(platform.exists("/", "d.zezavezud-tmp"));
        continue;
      }
      EXPECT_EQ(status, EXIT_OPERATIONAL);
      if (!platform.names(TEMP).empty() && !platform.exists(TEMP, MARKER)) {
        EXPECT_NE(console.stderr_text().find("the complete database stays in " + TEMP),
                  std::string::npos)
            << console.stderr_text();
        EXPECT_EQ(loaded_prefix(platform, records, TEMP), records.size());
        continue;
      }
      StringConsole again;
      EXPECT_EQ(load(platform, input, again), EXIT_CLEAN) << again.stderr_text();
      EXPECT_EQ(loaded_prefix(platform, records), records.size());
      EXPECT_FALSE(platform.exists("/", "d.zezavezud-tmp"));
    }
  }
}

// A disk that fills at any point of a load, after its check of the free
// space passed: nothing is left but what was there.
TEST(ToolLoad, AFullDiskAtAnyPointLeavesNothing) {
  const std::string input = dump_text(sample_records());
  MemoryPlatform sizing;
  sizing.put("/in", "dump", input);
  const uint64_t before = sizing.used_bytes();
  ASSERT_EQ(run_tool_on_input(sizing), EXIT_CLEAN);
  const uint64_t written = sizing.used_bytes() - before;
  ASSERT_GT(written, 75000u);
  for (uint64_t room = 0; room < written; room += 499) {
    SCOPED_TRACE("room " + std::to_string(room));
    MemoryPlatform platform;
    platform.put("/in", "dump", input);
    platform.set_capacity(platform.used_bytes() + room, /*reported=*/false);
    StringConsole full;
    EXPECT_EQ(run_tool_on_input(platform, &full), EXIT_OPERATIONAL);
    EXPECT_EQ(platform.names("/"), std::vector<std::string>{"in"}) << full.stderr_text();
  }
}

// ---- Dump ----------------------------------------------------------------------

std::string raw_record(std::string_view key, std::string_view value) {
  return frame_record(key, value).value();
}

TEST(ToolDump, LoadOfADumpDumpsTheSameText) {
  MemoryPlatform platform;
  StringConsole console;
  std::string input = dump_text(sample_records());
  ASSERT_EQ(load(platform, input, console), EXIT_CLEAN);
  {  // Overwritten and deleted keys leave records a dump must not show.
    auto db = Database::open(DIR, platform);
    ASSERT_TRUE(db.ok());
    ASSERT_TRUE(db.value()->set("gone", "k", Value::integer(1)).ok());
    ASSERT_TRUE(db.value()->remove("gone", "k").ok());
    ASSERT_TRUE(db.value()->set("users", "u1", Value::integer(1)).ok());
    ASSERT_TRUE(
        db.value()->set("users", "u1", Value::map(map_of("name", Value::text("Ada")))).ok());
  }
  EXPECT_EQ(run(platform, {"dump", DIR}, console), EXIT_CLEAN) << console.stderr_text();
  EXPECT_EQ(console.stdout_text(), input);

  StringConsole only_users;
  EXPECT_EQ(run(platform, {"dump", DIR, "--collection", "users"}, only_users), EXIT_CLEAN);
  auto all = sample_records();
  std::vector<Record> users(all.begin() + 3, all.end());
  EXPECT_EQ(only_users.stdout_text(), dump_text(users));
}

TEST(ToolDump, LeavesOutWhatCannotBeReadAndDumpsTheRest) {
  MemoryPlatform platform;
  StringConsole console;
  ASSERT_EQ(
      load(platform, dump_text({{"a", "k1", "1"}, {"a", "k2", "2"}, {"b", "k", "3"}}), console),
      EXIT_CLEAN);
  std::string a = *platform.contents(DIR, "a.qdb");
  std::string b = *platform.contents(DIR, "b.qdb");
  // k1 is overwritten with a text that ends too soon, k3 has an unknown type
  // byte, and the file ends inside a record; b ends in zeros.
  std::string damaged = a +
                        raw_record("k1", std::string("\x04\x05\x00\x00\x00"
                                                     "ab",
                                                     7)) +
                        raw_record("k3", "\x0d") + raw_record("k4", "\x00").substr(0, 5);
  platform.put(DIR, "a.qdb", damaged);
  platform.put(DIR, "b.qdb", b + std::string(6, '\0'));
  platform.put(DIR, std::string("\xff.qdb"), "");

  // k1's and k3's records frame but do not decode: left out one by one, as
  // a salvage drops them, and k1 shows its older value; the record after
  // them is cut short by the end of the file.
  StringConsole out;
  EXPECT_EQ(run(platform, {"dump", DIR}, out), EXIT_DAMAGE_LEFT);
  EXPECT_EQ(out.stdout_text(), dump_text({{"a", "k1", "1"}, {"a", "k2", "2"}, {"b", "k", "3"}}));
  const uint64_t k1_at = a.size();
  EXPECT_EQ(out.stderr_text(),
            "\xff.qdb: name not UTF-8: no collection can have this file; left alone\n"
            "a.qdb:" +
                std::to_string(k1_at) +
                ": bad record: key k1: value does not decode (17 bytes); the records around it "
                "are whole; left out\n"
                "a.qdb:" +
                std::to_string(k1_at + 17) +
                ": bad record: key k3: value does not decode (11 bytes); the records around it "
                "are whole; left out\n"
                "a.qdb:" +
                std::to_string(k1_at + 28) +
                ": torn tail: record needs 10 bytes, 5 remain; left out\n"
                "b.qdb:" +
                std::to_string(b.size()) +
                ": zero-filled tail: 6 bytes of zeros after the last whole record; left out\n");
}

TEST(ToolDump, LeavesOutDamageInTheMiddleAndDumpsTheRecordsAfterIt) {
  MemoryPlatform platform;
  StringConsole console;
  ASSERT_EQ(load(platform, dump_text({{"a", "k1", "1"}, {"a", "k2", "2"}, {"a", "k3", "3"}}),
                 console),
            EXIT_CLEAN);
  std::string a = *platform.contents(DIR, "a.qdb");
  const size_t first = a.size() / 3;  // the three records are the same size
  platform.put(DIR, "a.qdb", a.substr(0, first) + std::string(12, '\0') + a.substr(first));
  StringConsole out;
  EXPECT_EQ(run(platform, {"dump", DIR}, out), EXIT_DAMAGE_LEFT);
  EXPECT_EQ(out.stdout_text(), dump_text({{"a", "k1", "1"}, {"a", "k2", "2"}, {"a", "k3", "3"}}));
  EXPECT_EQ(out.stderr_text(), "a.qdb:" + std::to_string(first) +
                                   ": damage in the middle: zero value length; bytes " +
                                   std::to_string(first) + ".." + std::to_string(first + 12) +
                                   " (12 bytes) are not whole records, 2 whole records follow; 12 "
                                   "bytes whose keys cannot be told; left out\n");
}

}  // namespace
}  // namespace zez::tool
