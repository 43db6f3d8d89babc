// `zezavezud compact` over the in-memory platform: what users can read is
// the same before and after, including after a failure at any system call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "codec/keyed_hash.h"
#include "db/backlink_file.h"
#include "db/database.h"
#include "db/large_memory.h"
#include "db/record_file.h"
#include "memory_platform.h"
#include "test_values.h"
#include "tool/json.h"
#include "tool/live_index.h"
#include "tool/tool.h"
#include "tool_fixtures.h"

namespace zez {
namespace {

using testing::FaultOp;
using testing::MemoryPlatform;
using tool::StringConsole;

const std::string DIR = "/d";
const std::vector<std::string> COLLECTIONS = {"users", "posts", ""};
const std::vector<std::string> KEYS = {"alice", "bob", "carol", "dave", "p1", "p2", "p3", "k"};

// Everything a user can ask of the store about the keys above.
struct Content {
  std::map<std::string, std::string> values;  // "collection/key" -> encoded value or "absent"
  std::map<std::string, std::vector<Backlink>> backlinks;
  bool operator==(const Content&) const = default;
};

Value linking(std::vector<std::pair<std::string, std::string>> links) {
  Map m;
  for (auto& [field, path] : links) m.insert(field, Value::link(path));
  return Value::map(std::move(m));
}

// A store on its own in-memory file system, and the tool run over it.
struct Store {
  // Overwrites, deletes, links that move, and a backlink stored twice (two
  // map keys that give the same source path).
  void build() {
    auto db = Database::open(DIR, platform);
    ASSERT_TRUE(db.ok());
    Database& d = *db.value();
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(d.set("users", "alice", Value::integer(i)).ok());
    ASSERT_TRUE(d.set("users", "bob", Value::text("b")).ok());
    ASSERT_TRUE(d.set("users", "carol", Value::blob(std::string(300, 'c'))).ok());
    ASSERT_TRUE(d.remove("users", "bob").ok());
    ASSERT_TRUE(d.set("posts", "p1", linking({{"author", "users/alice"}})).ok());
    ASSERT_TRUE(d.set("posts", "p2", linking({{"author", "users/bob"}})).ok());
    Map twice = map_of("b", Value::link("users/alice"));
    twice.insert("a/b", Value::link("users/alice"));
    ASSERT_TRUE(d.set("posts", "p3", Value::map(map_of("a", Value::map(std::move(twice))))).ok());
    ASSERT_TRUE(d.set("posts", "p1", linking({{"author", "users/carol"}})).ok());
    ASSERT_TRUE(d.set("posts", "p1", linking({{"author", "users/alice"}})).ok());
    ASSERT_TRUE(d.remove("posts", "p2").ok());
    ASSERT_TRUE(d.set("", "k", Value::boolean(true)).ok());
  }

  Content content() {
    Content c;
    auto db = Database::open(DIR, platform);
    EXPECT_TRUE(db.ok());
    if (!db.ok()) return c;
    for (const std::string& col : COLLECTIONS) {
      for (const std::string& key : KEYS) {
        std::string id = col + "/" + key;
        std::string bytes;
        c.values[id] = db.value()->get_encoded(col, key, bytes).ok() ? bytes : "absent";
        auto links = db.value()->backlinks(col, key);
        EXPECT_TRUE(links.ok());
        if (links.ok()) c.backlinks[id] = links.value();
      }
    }
    return c;
  }

  int compact(std::vector<std::string_view> extra = {}) {
    std::vector<std::string_view> args = {"compact", DIR};
    args.insert(args.end(), extra.begin(), extra.end());
    console = StringConsole();
    return tool::run_tool(platform, args, console);
  }

  std::map<std::string, std::string> files() {
    std::map<std::string, std::string> all;
    for (const std::string& name : platform.names(DIR)) all[name] = *platform.contents(DIR, name);
    return all;
  }

  bool has_temp_file() {
    for (const std::string& name : platform.names(DIR)) {
      if (name.ends_with(tool::TEMP_SUFFIX)) return true;
    }
    return false;
  }

  MemoryPlatform platform;
  StringConsole console;
};

class ToolCompact : public ::testing::Test, protected Store {};

TEST_F(ToolCompact, KeepsEveryValueAndBacklinkAndShrinksTheFiles) {
  build();
  const Content before = content();
  const auto old_files = files();
  ASSERT_EQ(compact({"--json"}), tool::EXIT_CLEAN) << console.stderr_text();
  EXPECT_EQ(content(), before);
  EXPECT_FALSE(has_temp_file());
  EXPECT_LT(platform.contents(DIR, "users.qdb")->size(), old_files.at("users.qdb").size());
  EXPECT_LT(platform.contents(DIR, "users.qbl")->size(), old_files.at("users.qbl").size());
  EXPECT_LT(platform.contents(DIR, "posts.qdb")->size(), old_files.at("posts.qdb").size());

  // The report gives each file's size before and after, as they are.
  auto report = parse_json_object(console.stdout_text());
  ASSERT_TRUE(report.ok()) << console.stdout_text();
  uint64_t total_after = 0;
  for (const Value& file : report.value().find("files")->as_array()) {
    const Map& f = file.as_map();
    const std::string& name = f.find("file")->as_text();
    EXPECT_EQ(uint64_t(f.find("bytes_before")->as_int()), old_files.at(name).size()) << name;
    EXPECT_EQ(uint64_t(f.find("bytes_after")->as_int()), platform.contents(DIR, name)->size());
    total_after += f.find("bytes_after")->as_int();
  }
  EXPECT_EQ(uint64_t(report.value().find("bytes_after")->as_int()), total_after);

  // A second run finds nothing to drop.
  const auto compacted = files();
  ASSERT_EQ(compact(), tool::EXIT_CLEAN);
  EXPECT_EQ(files(), compacted);
}

TEST_F(ToolCompact, CopiesLiveRecordsAsTheyAreInFileOrderAndBacklinksInQueryOrder) {
  auto record = [](std::string_view key, std::string_view encoded) {
    return frame_record(key, encoded).value();
  };
  // Records are copied byte for byte: a blob holding a byte no text may hold.
  const std::string blob = std::string("\x06\x01\x00\x00\x00\xff", 6);
  const std::string int7 = std::string("\x02\x07\x00\x00\x00\x00\x00\x00\x00", 9);
  platform.put(DIR, "c.qdb",
               record("x", std::string(1, '\0')) + record("y", blob) + record("x", int7) +
                   record("z", std::string(1, '\0')) + record("z", "\x0c"));
  auto row = [](uint8_t op, std::string_view key, std::string_view source) {
    std::string out;
    EXPECT_TRUE(frame_backlink_record(op, {key, "s", source, "f"}, out).ok());
    return out;
  };
  platform.put(DIR, "c.qbl",
               row(1, "t", "a") + row(1, "u", "b") + row(1, "t", "c") + row(1, "t", "a") +
                   row(2, "u", "b") + row(7, "t", "d") + row(1, "u", "b") + row(2, "t", "c"));
  ASSERT_EQ(compact(), tool::EXIT_CLEAN) << console.stderr_text();
  EXPECT_EQ(*platform.contents(DIR, "c.qdb"), record("y", blob) + record("x", int7));
  EXPECT_EQ(*platform.contents(DIR, "c.qbl"),
            row(1, "t", "a") + row(1, "t", "a") + row(1, "u", "b"));
  EXPECT_EQ(console.stdout_text(),
            "c.qdb: 63 -> 33 bytes\nc.qbl: 168 -> 63 bytes\ntotal: 231 -> 96 bytes\n");
}

TEST_F(ToolCompact, CollectionOptionLimitsTheWork) {
  build();
  const auto old_files = files();
  ASSERT_EQ(compact({"--collection", "posts"}), tool::EXIT_CLEAN) << console.stderr_text();
  EXPECT_EQ(*platform.contents(DIR, "users.qdb"), old_files.at("users.qdb"));
  EXPECT_EQ(*platform.contents(DIR, "users.qbl"), old_files.at("users.qbl"));
  EXPECT_LT(platform.contents(DIR, "posts.qdb")->size(), old_files.at("posts.qdb").size());

  EXPECT_EQ(compact({"--collection", "nobody"}), tool::EXIT_OPERATIONAL);
  EXPECT_EQ(console.stderr_text(), "zezavezud: /d has no collection named 'nobody'\n");
}

TEST_F(ToolCompact, RefusesADamagedDirectoryAndChangesNothing) {
  const std::string whole = frame_record("a", std::string(1, '\0')).value();
  // The advice names the repair that mends the damage: only a salvage cuts
  // damage in the middle.
  const std::string plain = "run `zezavezud repair /d` first";
  const std::string salvage = "run `zezavezud repair --salvage /d` first";
  const std::vector<std::tuple<std::string, std::string, const std::string&>> damage = {
      {"users.qdb", whole + std::string(12, '\0') + whole + whole,
       salvage},  // damage in the middle
      {"users.qdb", whole + frame_record("b", std::string(2, '\0')).value(),
       salvage},                                            // decodes short
      {"users.qdb", whole + whole.substr(0, 7), plain},     // torn record
      {"users.qdb", whole + std::string(12, '\0'), plain},  // zero tail
      {"users.qdb", whole + std::string("\x01\0\0\0a\0\0\0\0", 9) + whole,
       plain},                                                     // value length 0
      {"users.qdb", frame_record("\xff", "\x01").value(), salvage},  // key not UTF-8
      {"users.qbl", std::string("\x01\x05\0\0\0al", 7), plain},    // torn backlink row
  };
  for (const auto& [name, bytes, advice] : damage) {
    Store s;
    s.build();
    s.platform.put(DIR, name, bytes);
    const auto old_files = s.files();
    EXPECT_EQ(s.compact(), tool::EXIT_DAMAGE_LEFT) << name;
    EXPECT_EQ(s.files(), old_files);
    EXPECT_NE(s.console.stderr_text().find(advice), std::string::npos) << s.console.stderr_text();
  }
}

TEST_F(ToolCompact, RefusesWhileOpenElsewhereOrShortOfSpace) {
  build();
  const auto old_files = files();
  {
    auto db = Database::open(DIR, platform);
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(compact(), tool::EXIT_OPERATIONAL);
    EXPECT_EQ(console.stderr_text(),
              "zezavezud: /d is open in another program; nothing was changed\n");
  }
  platform.set_free_space(0);
  EXPECT_EQ(compact(), tool::EXIT_OPERATIONAL);
  EXPECT_EQ(files(), old_files);
  EXPECT_NE(console.stderr_text().find("not enough free space"), std::string::npos);
}

// The bytes a refusal for want of space says compact needs, or 0.
uint64_t needed_space(const std::string& message) {
  const std::string needs = "compact needs ";
  size_t at = message.find(needs);
  if (at == std::string::npos) return 0;
  return std::stoull(message.substr(at + needs.size()));
}

// Two files that each halve: the space compact asks for is the space it
// uses on a file system that counts every block, those of a replaced file
// that is still held open included. Less is refused with nothing changed.
TEST_F(ToolCompact, TheSpaceItAsksForIsEnoughAndLessIsRefused) {
  {
    auto db = Database::open(DIR, platform);
    ASSERT_TRUE(db.ok());
    for (const char* c : {"a", "b"}) {
      for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(db.value()->set(c, "k", Value::blob(std::string(100000, char('0' + i)))).ok());
      }
    }
  }
  const auto old_files = files();
  platform.set_free_space(0);
  ASSERT_EQ(compact(), tool::EXIT_OPERATIONAL);
  const uint64_t needed = needed_space(console.stderr_text());
  ASSERT_GT(needed, 100000u) << console.stderr_text();
  EXPECT_EQ(console.stderr_text(), "zezavezud: /d: not enough free space: compact needs " +
                                       std::to_string(needed) +
                                       " bytes, 0 are free; nothing was changed\n");
  platform.set_free_space(needed - 1);
  EXPECT_EQ(compact(), tool::EXIT_OPERATIONAL);
  EXPECT_EQ(files(), old_files);
  platform.set_capacity(platform.used_bytes() + needed);
  ASSERT_EQ(compact(), tool::EXIT_CLEAN) << console.stderr_text();
  for (const std::string name : {"a.qdb", "b.qdb"}) {
    const std::string& old = old_files.at(name);
    EXPECT_EQ(*platform.contents(DIR, name), old.substr(old.size() / 2));
  }
}

TEST_F(ToolCompact, OverwritesALeftoverTemporaryFile) {
  build();
  const Content before = content();
  platform.put(DIR, "users.qdb.zezavezud-tmp", "left by a killed run");
  ASSERT_EQ(compact(), tool::EXIT_CLEAN) << console.stderr_text();
  EXPECT_FALSE(has_temp_file());
  EXPECT_EQ(content(), before);
}

// A file with no dead records is left as it is, but its leftover temporary
// file still goes; one that cannot be removed fails the run.
TEST_F(ToolCompact, LeavesAFileWithoutDeadRecordsButRemovesItsLeftover) {
  build();
  const Content before = content();
  const std::string clean = *platform.contents(DIR, ".qdb");
  platform.put(DIR, ".qdb.zezavezud-tmp", "left by a killed run");
  platform.fail(FaultOp::Remove, 1, IoError::os(EIO));
  EXPECT_EQ(compact(), tool::EXIT_OPERATIONAL);
  EXPECT_TRUE(has_temp_file());
  EXPECT_EQ(content(), before);
  platform.clear_faults();
  ASSERT_EQ(compact(), tool::EXIT_CLEAN) << console.stderr_text();
  EXPECT_FALSE(has_temp_file());
  EXPECT_EQ(*platform.contents(DIR, ".qdb"), clean);
  EXPECT_NE(console.stdout_text().find(".qdb: " + std::to_string(clean.size()) + " -> " +
                                       std::to_string(clean.size()) + " bytes"),
            std::string::npos)
      << console.stdout_text();
  EXPECT_EQ(content(), before);
}

// Fails the Nth call of one kind (N = 1, 2, ... until no fault fires), then
// checks that the store reads as before, that compact removed its temporary
// file, and that a second compact succeeds.
void sweep(const std::function<void(MemoryPlatform&, int)>& plan, bool temp_may_stay,
           const std::string& what) {
  for (int n = 1;; ++n) {
    SCOPED_TRACE(what + " #" + std::to_string(n));
    Store t;
    t.build();
    const Content before = t.content();
    plan(t.platform, n);
    const int status = t.compact();
    const bool fired = t.platform.faults_fired() > 0;
    t.platform.clear_faults();
    if (!fired) {
      EXPECT_EQ(status, tool::EXIT_CLEAN);
      return;
    }
    EXPECT_EQ(status, tool::EXIT_OPERATIONAL) << t.console.stdout_text();
    const std::string& said = t.console.stderr_text();
    const bool unchanged = said.find("nothing was changed") != std::string::npos;
    EXPECT_TRUE(unchanged || said.find("no file was compacted") != std::string::npos ||
                said.find("compacted before the failure: ") != std::string::npos)
        << said;
    if (!temp_may_stay) {
      EXPECT_FALSE(t.has_temp_file());
    }
    EXPECT_EQ(t.content(), before);
    EXPECT_EQ(t.compact(), tool::EXIT_CLEAN) << t.console.stderr_text();
    EXPECT_FALSE(t.has_temp_file());
    EXPECT_EQ(t.content(), before);
  }
}

TEST_F(ToolCompact, AFailureAtAnySystemCallKeepsTheContent) {
  const IoError eio = IoError::os(EIO);
  const std::vector<std::pair<FaultOp, std::string>> ops = {
      {FaultOp::Open, "open"},     {FaultOp::ReadAt, "read_at"},
      {FaultOp::Write, "write"},   {FaultOp::Sync, "sync"},          {FaultOp::Rename, "rename"},
      {FaultOp::Remove, "remove"}, {FaultOp::Truncate, "truncate"},  {FaultOp::Size, "size"},
      {FaultOp::Stat, "stat"},     {FaultOp::SetOwner, "set owner"}, {FaultOp::Lock, "lock"},
  };
  for (const auto& [kind, name] : ops) {
    const FaultOp op = kind;  // a lambda cannot capture a structured binding before C++20's fix
    sweep([&](MemoryPlatform& p, int n) { p.fail(op, n, eio); }, false, name);
  }
  sweep([&](MemoryPlatform& p, int n) { p.torn_write(n, 3, IoError::os(ENOSPC)); }, false,
        "torn write");
  // The temporary file cannot be removed after the failure: it stays, harmless.
  sweep(
      [&](MemoryPlatform& p, int n) {
        p.fail(FaultOp::Write, n, eio);
        p.fail(FaultOp::Remove, 1, eio);
      },
      true, "write, then remove");
}

// A record file of `bytes` in `platform`, open for reading; null on failure.
std::unique_ptr<File> record_file_holding(MemoryPlatform& platform, const std::string& bytes) {
  platform.put(DIR, "c.qdb", bytes);
  auto dir = platform.open_directory(DIR);
  if (!dir.ok()) return nullptr;
  auto opened = dir.value()->open("c.qdb", OpenMode::ReadOnly);
  if (!opened.ok()) return nullptr;
  return std::move(opened).value();
}

// Every key hashes as `hash` while it lives (the usual keyed hash when null).
struct ForcedHash {
  explicit ForcedHash(TextHashFunction hash) { set_hash_function_for_testing(hash); }
  ~ForcedHash() { set_hash_function_for_testing(nullptr); }
};

// Two keys may share a 64-bit hash; compact must still keep the last record
// of each. Hashes that make every key, or only keys of one length, collide
// stand in for a real collision, which no test could find.
TEST(ToolCompactLiveRecords, KeysSharingAHashAreToldApartByTheirBytes) {
  const std::vector<std::string> records = {testing::record_bytes("a", Value::integer(1)),
                                            testing::record_bytes("b", Value::integer(2)),
                                            testing::record_bytes("a", Value::integer(3)),
                                            testing::record_bytes("cc", Value::integer(4)),
                                            testing::record_bytes("b", Value::tombstone()),
                                            testing::record_bytes("d", Value::integer(5))};
  std::string bytes;
  std::string two_keys;  // the first two records: nothing dead
  std::vector<tool::LiveSpan> expected;
  for (size_t i = 0; i < records.size(); ++i) {
    const std::string& record = records[i];
    if (i == 2 || i == 5) expected.push_back({bytes.size(), record.size()});
    if (i == 3) expected.back().size += record.size();  // neighbours make one range
    bytes += record;
    if (i == 1) two_keys = bytes;
  }
  const std::vector<TextHashFunction> hashes = {
      nullptr, [](std::string_view) -> uint64_t { return 7; },
      [](std::string_view key) -> uint64_t { return key.size(); }};
  for (const auto& [file, all_live] : {std::pair{bytes, false}, std::pair{two_keys, true}}) {
    for (TextHashFunction hash : hashes) {
      MemoryPlatform platform;
      std::unique_ptr<File> opened = record_file_holding(platform, file);
      ASSERT_TRUE(opened);
      ForcedHash forced(hash);
      tool::LiveRecordTable table(file.size());
      ScanEnd end = scan_record_file(*opened, file.size(), [&](const RecordView& r) {
        table.add(r);
        return true;
      });
      ASSERT_EQ(end.stop, ScanStop::End);
      table.finish();
      EXPECT_EQ(table.all_live(), all_live);
      std::vector<std::pair<uint64_t, uint64_t>> live;
      for (const tool::LiveSpan& s : table.take_live()) live.emplace_back(s.offset, s.size);
      std::vector<std::pair<uint64_t, uint64_t>> want;
      uint64_t want_bytes = file.size();
      if (!all_live) {
        want_bytes = 0;
        for (const tool::LiveSpan& s : expected)
          want.emplace_back(s.offset, s.size), want_bytes += s.size;
      }
      EXPECT_EQ(live, want);
      EXPECT_EQ(table.live_bytes(), want_bytes);
    }
  }
}

// Across many batches handed to the table's thread, and with keys that
// collide, the live records are the ones the engine's own key map keeps.
TEST(ToolCompactLiveRecords, ManyBatchesAgreeWithTheKeyMap) {
  std::mt19937 random(7);  // fixed: the same file every run
  std::string file;
  for (size_t i = 0; i < 5 * tool::LiveRecordTable::BATCH_RECORDS; ++i) {
    std::string key = "k";
    key.append(std::to_string(random() % 3000));
    file += testing::record_bytes(
        key, random() % 8 == 0 ? Value::tombstone() : Value::integer(int64_t(i)));
  }
  MemoryPlatform platform;
  std::unique_ptr<File> opened = record_file_holding(platform, file);
  ASSERT_TRUE(opened);

  tool::LiveIndex reference(file.size());
  scan_record_file(*opened, file.size(), [&](const RecordView& r) {
    reference.apply(r);
    return true;
  });
  std::vector<tool::LiveRecord> in_order;
  reference.for_each([&](std::string_view, const tool::LiveRecord& r) { in_order.push_back(r); });
  std::sort(
      in_order.begin(), in_order.end(),
      [](const tool::LiveRecord& a, const tool::LiveRecord& b) { return a.offset < b.offset; });
  std::vector<std::pair<uint64_t, uint64_t>> want;
  for (const tool::LiveRecord& r : in_order) {
    if (!want.empty() && want.back().first + want.back().second == r.offset) {
      want.back().second += r.size();
    } else {
      want.emplace_back(r.offset, r.size());
    }
  }
  for (TextHashFunction hash :
       {TextHashFunction(nullptr),
        TextHashFunction([](std::string_view key) -> uint64_t { return key.size(); })}) {
    ForcedHash forced(hash);
    tool::LiveRecordTable table(file.size());
    scan_record_file(*opened, file.size(), [&](const RecordView& r) {
      table.add(r);
      return true;
    });
    table.finish();
    std::vector<std::pair<uint64_t, uint64_t>> live;
    for (const tool::LiveSpan& s : table.take_live()) live.emplace_back(s.offset, s.size);
    EXPECT_EQ(live, want);
    EXPECT_EQ(table.live_bytes(), reference.bytes());
  }
}

// A record of 4 GiB or more, which only a large file holds, is measured as
// exactly as any other; the table only ever sees the records' framing.
TEST(ToolCompactLiveRecords, RecordsOf4GiBOrMoreKeepTheirSizes) {
  uint64_t at = 0;
  auto record = [&](std::string_view key, uint64_t value_len, uint8_t type) {
    const RecordView r{at, key, at + RECORD_FRAMING + key.size(), uint32_t(value_len), type, true};
    at = r.end();
    return r;
  };
  const RecordView records[] = {record("a", 2, TYPE_INT), record("b", UINT32_MAX, TYPE_BLOB),
                                record("c", UINT32_MAX - 9, TYPE_BLOB), record("a", 2, TYPE_INT),
                                record("d", UINT32_MAX, TYPE_TOMBSTONE), record("e", 2, TYPE_INT)};
  tool::LiveRecordTable table(at);
  for (const RecordView& r : records) table.add(r);
  table.finish();
  EXPECT_FALSE(table.all_live());
  // b, c and the second a in one span; d removes nothing and is not live.
  const uint64_t d = records[4].offset;
  std::vector<std::pair<uint64_t, uint64_t>> live;
  for (const tool::LiveSpan& s : table.take_live()) live.emplace_back(s.offset, s.size);
  EXPECT_EQ(live, (std::vector<std::pair<uint64_t, uint64_t>>{
                      {records[1].offset, d - records[1].offset}, {records[5].offset, 11}}));
  EXPECT_EQ(table.live_bytes(), d - records[1].offset + 11);
}

// The live index of the file's records, which must all be whole.
tool::LiveIndex live_index_of(File& file, uint64_t size) {
  tool::LiveIndex live(size);
  ScanEnd end = scan_record_file(file, size, [&](const RecordView& r) {
    live.apply(r);
    return true;
  });
  EXPECT_EQ(end.stop, ScanStop::End);
  return live;
}

// What the live index tells of a record file: the live keys and bytes, and
// each key's last record, a tombstone taking its key's record with it.
TEST(ToolLiveIndex, TheLastRecordOfEachKeyIsLive) {
  // The writes in file order; one without a value removes its key.
  const std::pair<const char*, std::optional<int64_t>> writes[] = {
      {"a", 1}, {"b", 2}, {"a", 3}, {"cc", 4}, {"b", std::nullopt}, {"d", 5}};
  std::vector<std::string> records;
  std::string file;
  std::vector<uint64_t> offsets;
  for (const auto& [key, value] : writes) {
    records.push_back(
        testing::record_bytes(key, value ? Value::integer(*value) : Value::tombstone()));
    offsets.push_back(file.size());
    file += records.back();
  }
  struct Case {
    size_t records;                      // the first ones of the file
    std::map<std::string, size_t> live;  // key -> its live record
  };
  for (const Case& c : {Case{2, {{"a", 0}, {"b", 1}}}, Case{6, {{"a", 2}, {"cc", 3}, {"d", 5}}}}) {
    const std::string bytes = file.substr(0, c.records < 6 ? offsets[c.records] : file.size());
    MemoryPlatform platform;
    std::unique_ptr<File> opened = record_file_holding(platform, bytes);
    ASSERT_TRUE(opened);
    const tool::LiveIndex live = live_index_of(*opened, bytes.size());
    EXPECT_EQ(live.size(), c.live.size());
    uint64_t want_bytes = 0;
    for (const auto& [key, i] : c.live) {
      const tool::LiveRecord* r = live.find(key);
      ASSERT_TRUE(r) << key;
      EXPECT_EQ(r->offset, offsets[i]) << key;
      EXPECT_EQ(r->size(), records[i].size()) << key;
      want_bytes += records[i].size();
    }
    EXPECT_EQ(live.bytes(), want_bytes);
  }
}

// Across many of the replay's batches, and past the point where the index
// sizes itself for the whole file, the live records are those of a plain
// model of the file, and their starts are marked, and no other record's.
TEST(ToolLiveIndex, ManyBatchesAgreeWithAPlainModel) {
  std::mt19937 random(7);  // fixed: the same file every run
  std::string file;
  std::vector<uint64_t> starts;
  std::map<std::string, std::pair<uint64_t, uint64_t>> model;  // key -> offset, size
  for (size_t i = 0; i < 20000; ++i) {
    std::string key = "k";
    key.append(std::to_string(random() % 3000));
    const bool remove = random() % 8 == 0;
    const std::string record =
        testing::record_bytes(key, remove ? Value::tombstone() : Value::integer(int64_t(i)));
    if (remove) {
      model.erase(key);
    } else {
      model[key] = {file.size(), record.size()};
    }
    starts.push_back(file.size());
    file += record;
  }
  MemoryPlatform platform;
  std::unique_ptr<File> opened = record_file_holding(platform, file);
  ASSERT_TRUE(opened);
  const tool::LiveIndex live = live_index_of(*opened, file.size());
  std::map<std::string, std::pair<uint64_t, uint64_t>> got;
  live.for_each([&](std::string_view key, const tool::LiveRecord& r) {
    got[std::string(key)] = {r.offset, r.size()};
  });
  EXPECT_EQ(got, model);
  uint64_t want_bytes = 0;
  std::set<uint64_t> live_starts;
  for (const auto& [key, where] : model) {
    want_bytes += where.second;
    live_starts.insert(where.first);
  }
  EXPECT_EQ(live.bytes(), want_bytes);
  tool::LiveStarts marked(file.size());
  live.for_each([&](std::string_view, const tool::LiveRecord& r) { marked.add(r.offset); });
  for (uint64_t at : starts) EXPECT_EQ(marked.has(at), live_starts.count(at) == 1) << at;
}

TEST(LargeMemory, VectorsGrowAcrossTheThreshold) {
  std::vector<uint64_t, LargeAllocator<uint64_t>> v;
  for (uint64_t i = 0; i < 3 * LARGE_MEMORY_THRESHOLD / sizeof(uint64_t); ++i) v.push_back(i * 3);
  for (uint64_t i = 0; i < v.size(); ++i) ASSERT_EQ(v[i], i * 3);
}

}  // namespace
}  // namespace zez
