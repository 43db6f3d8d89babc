// `zezavezud dump` and `load` over the in-memory platform: the JSON spelling
// of values, what dump makes of a damaged directory, what load refuses, and
// that a load cut short by any failing call leaves a prefix of its input.
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
#include "tool/value_json.h"

namespace zez::tool {
namespace {

using zez::testing::FaultOp;
using zez::testing::MemoryPlatform;

std::string json_of(const Value& v) {
  std::string out;
  JsonWriter w(out);
  write_value_json(w, v);
  return out;
}

// The value a JSON text spells, shown again as JSON, or the error.
std::string reread(std::string_view text) {
  auto j = parse_json(text);
  if (!j.ok()) return "json: " + j.error().display();
  auto v = value_from_json(j.value());
  if (!v.ok()) return "error: " + v.error();
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
  std::string out;
  for (std::string bytes : {"", "a", "ab", "abc", "abcd"}) {
    ASSERT_TRUE(decode_base64(encode_base64(bytes), out)) << bytes;
    EXPECT_EQ(out, bytes);
  }
  for (const char* bad : {"YQ", "YQ=", "Y===", "YR==", "YWI=YQ==", "Y Q=", "YQ=a"}) {
    EXPECT_FALSE(decode_base64(bad, out)) << bad;
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

TEST(ToolValueJson, NestingStopsWhereTheDecoderStops) {
  auto nested = [](int levels) {
    return std::string(size_t(levels), '[') + std::string(size_t(levels), ']');
  };
  EXPECT_EQ(reread(nested(MAX_NESTING_DEPTH)), nested(MAX_NESTING_DEPTH));
  EXPECT_EQ(reread(nested(MAX_NESTING_DEPTH + 1)), "error: nested deeper than 256 levels");
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
size_t loaded_prefix(MemoryPlatform& platform, const std::vector<Record>& records) {
  auto db = Database::open(DIR, platform);
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
  };
  for (const auto& [input, message] : cases) {
    MemoryPlatform platform;
    StringConsole console;
    EXPECT_EQ(load(platform, input, console), EXIT_DAMAGE_LEFT) << message;
    EXPECT_EQ(console.stderr_text(), "zezavezud: " + message + "; nothing was loaded\n");
    EXPECT_FALSE(platform.open_existing_directory(DIR).ok()) << message;
  }
}

TEST(ToolLoad, IntoADatabaseOnlyWithMerge) {
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
}

// Each planned fault fires once; the sweep moves it one call later per run
// until a run finishes without it firing.
TEST(ToolLoad, AFailingCallLeavesAPrefixOfTheInput) {
  const auto records = sample_records();
  const std::string input = dump_text(records);
  const IoError injected = IoError::os(EIO);
  struct Plan {
    const char* name;
    std::function<void(MemoryPlatform&, int)> arm;
    bool called;  // load makes such calls at all (it never renames)
  };
  const Plan plans[] = {
      {"write", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Write, n, injected); }, true},
      {"sync", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Sync, n, injected); }, true},
      {"rename", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Rename, n, injected); }, false},
      {"remove", [&](MemoryPlatform& p, int n) { p.fail(FaultOp::Remove, n, injected); }, true},
      {"torn write", [&](MemoryPlatform& p, int n) { p.torn_write(n, 3, IoError::os(ENOSPC)); },
       true},
  };
  for (const Plan& plan : plans) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(plan.name) + " " + std::to_string(n));
      MemoryPlatform platform;
      StringConsole console;
      plan.arm(platform, n);
      int status = load(platform, input, console);
      bool fired = platform.faults_fired() > 0;
      platform.clear_faults();
      size_t present = loaded_prefix(platform, records);
      if (status == EXIT_CLEAN) {
        EXPECT_EQ(present, records.size()) << console.stderr_text();
      }
      if (!fired) {
        EXPECT_EQ(status, EXIT_CLEAN) << console.stderr_text();
        EXPECT_EQ(n > 1, plan.called);
        break;
      }
      EXPECT_TRUE(status == EXIT_CLEAN || status == EXIT_OPERATIONAL) << status;
    }
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

  // No whole records follow k1's damaged record, so everything from it on
  // is a torn tail, left out as a repair would cut it: k1 shows its older
  // value.
  StringConsole out;
  EXPECT_EQ(run(platform, {"dump", DIR}, out), EXIT_DAMAGE_LEFT);
  EXPECT_EQ(out.stdout_text(), dump_text({{"a", "k1", "1"}, {"a", "k2", "2"}, {"b", "k", "3"}}));
  const uint64_t k1_at = a.size();
  EXPECT_EQ(out.stderr_text(),
            "\xff.qdb: name not UTF-8: no collection can have this file; left alone\n"
            "a.qdb:" +
                std::to_string(k1_at) +
                ": torn tail: value does not decode; 33 bytes to the end; keys of the records in "
                "it: k1, k3; 5 bytes whose keys cannot be told; left out\n"
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
