// Runs one scripted workload (writes inside and outside transactions,
// direct writes of large records, backlink changes, destruction, reopening,
// reads) over the in-memory platform, once per injection point: the Nth call
// of each kind fails, or the Nth write tears (part of it lands, then the disk
// fills). After each run the directory is opened afresh with no faults and
// checked exactly against a model of what the workload was told:
//   - the failing call reports the injected error, with its usual prefix;
//   - every acknowledged write is there with its last value, and the one
//     failed write holds its old or its new value;
//   - every record file loads and holds only whole records of known keys;
//   - the backlinks agree with the links of the records as reopened; only
//     the failed write's own backlinks may stop part-way through its list of
//     changes.
//
// Then `zezavezud repair --salvage` over the same platform, once per
// injection point and once per amount of room left on a disk that fills
// while it runs: each failure leaves every file as it was or as the repair
// makes it, lost+found holding only whole copies, and nothing else but
// temporary files that the next run removes; that run finishes the job.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "codec/byte_order.h"
#include "codec/encoding.h"
#include "db/backlink_index.h"
#include "db/database.h"
#include "db/link_path.h"
#include "memory_platform.h"
#include "test_values.h"
#include "tool_fixtures.h"

namespace zez {
namespace {

using testing::FaultOp;
using testing::MemoryPlatform;

const std::string DIR = "db";
const IoError INJECTED = IoError::os(EIO);
const IoError DISK_FULL = IoError::os(ENOSPC);
constexpr size_t LARGE = 70000;  // above the write buffer: a direct write

// ---- The workload ----------------------------------------------------------

struct Step {
  enum class Kind { Open, Destroy, Set, Get, Backlinks, Resolve, Begin, Commit };
  Kind kind;
  std::string collection;
  std::string key;
  std::function<Value()> value;   // Set; a Tombstone deletes
  std::vector<std::string> path;  // Resolve
};

Value link(std::string path) { return Value::link(std::move(path)); }

Value map(std::vector<std::pair<std::string, std::function<Value()>>> entries) {
  Map m;
  for (auto& [k, v] : entries) m.insert(k, v());
  return Value::map(std::move(m));
}

Step set(std::string c, std::string k, std::function<Value()> v) {
  return Step{Step::Kind::Set, std::move(c), std::move(k), std::move(v), {}};
}
Step del(std::string c, std::string k) {
  return set(std::move(c), std::move(k), [] { return Value::tombstone(); });
}
Step simple(Step::Kind kind, std::string c = {}, std::string k = {}) {
  return Step{kind, std::move(c), std::move(k), nullptr, {}};
}
Step resolve(std::string c, std::string k, std::vector<std::string> path) {
  return Step{Step::Kind::Resolve, std::move(c), std::move(k), nullptr, std::move(path)};
}

std::vector<Step> workload() {
  using K = Step::Kind;
  auto pad = [] { return Value::blob(std::string(LARGE, 'x')); };
  return {
      simple(K::Open),
      set("users", "alice", [] { return map({{"name", [] { return Value::text("Ann"); }}}); }),
      set("users", "bob",
          [] {
            return map({{"name", [] { return Value::text("Bob"); }},
                        {"friend", [] { return link("users/alice"); }}});
          }),
      set("posts", "p1",
          [] {
            return map({{"author", [] { return link("users/alice"); }},
                        {"tags", [] {
                           Array a;
                           a.push_back(link("tags/x"));
                           a.push_back(link("tags/y"));
                           return Value::array(std::move(a));
                         }}});
          }),
      set("posts", "p2", [] { return link("users/bob"); }),
      set("posts", "p1",
          [] {
            return map(
                {{"author", [] { return link("users/bob"); }}, {"tags", [] {
                                                                  Array a;
                                                                  a.push_back(link("tags/x"));
                                                                  return Value::array(std::move(a));
                                                                }}});
          }),
      del("posts", "p2"),
      simple(K::Get, "posts", "p1"),
      simple(K::Backlinks, "users", "bob"),
      set("big", "b1",
          [=] { return map({{"pad", pad}, {"to", [] { return link("users/alice"); }}}); }),
      simple(K::Begin),
      set("posts", "p3", [] { return link("users/alice"); }),
      set("big", "b2",
          [=] { return map({{"pad", pad}, {"to", [] { return link("posts/p1"); }}}); }),
      set("posts", "p1", [] { return map({{"author", [] { return link("users/alice"); }}}); }),
      del("users", "bob"),
      simple(K::Commit),
      resolve("posts", "p1", {"author", "name"}),
      set("users", "alice",
          [] {
            return map({{"name", [] { return Value::text("Ann"); }},
                        {"me", [] { return link("users/$self"); }}});
          }),
      simple(K::Begin),
      set("posts", "p4",
          [] {
            Array a;
            a.push_back(link("users/carol"));
            a.push_back(link("users/alice"));
            return Value::array(std::move(a));
          }),
      set("big", "b3", pad),
      simple(K::Destroy),  // inside the transaction: destruction writes it out
      simple(K::Open),
      simple(K::Get, "big", "b1"),
      set("posts", "p3", [] { return map({{"moved", [] { return link("users/alice"); }}}); }),
      del("posts", "p4"),
      simple(K::Backlinks, "users", "alice"),
      resolve("posts", "p1", {"author", "name"}),
      simple(K::Begin),
      set("posts", "p5", [] { return link("users/alice"); }),
      simple(K::Commit),
      simple(K::Destroy),
  };
}

// Every (collection, key) the workload can touch, as records and as targets.
const std::map<std::string, std::vector<std::string>> UNIVERSE = {
    {"users", {"alice", "bob", "carol"}},
    {"posts", {"p1", "p2", "p3", "p4", "p5"}},
    {"big", {"b1", "b2", "b3"}},
    {"tags", {"x", "y"}},
};

// ---- The model ---------------------------------------------------------------

using RecordKey = std::pair<std::string, std::string>;
// (target collection, target key, source collection, source key, source path)
using BacklinkRow = std::tuple<std::string, std::string, std::string, std::string, std::string>;
using Rows = std::multiset<BacklinkRow>;

const std::string ABSENT = "key not found";

std::string text_of(const std::function<Value()>& make) {
  Value v = make();
  return v.is(Kind::Tombstone) ? ABSENT : v.debug_text();
}

Rows rows_of(const RecordKey& source, const Value& v) {
  Rows rows;
  for (const OutgoingLink& l : extract_links(v)) {
    rows.emplace(l.target_collection, l.target_key, source.first, source.second, l.source_path);
  }
  return rows;
}

// The backlink states a write may leave if its changes stop after any
// number of them: its old links, after each removal in turn, after each
// addition in turn (in the order the links are found).
std::vector<Rows> partial_states(const RecordKey& source, const Value& old_value,
                                 const Value& new_value) {
  auto listed = [&](const Value& v) {
    std::vector<BacklinkRow> rows;
    for (const OutgoingLink& l : extract_links(v)) {
      rows.emplace_back(l.target_collection, l.target_key, source.first, source.second,
                        l.source_path);
    }
    return rows;
  };
  std::vector<BacklinkRow> old_rows = listed(old_value), new_rows = listed(new_value);
  auto holds = [](const std::vector<BacklinkRow>& rows, const BacklinkRow& r) {
    return std::find(rows.begin(), rows.end(), r) != rows.end();
  };
  Rows now(old_rows.begin(), old_rows.end());
  std::vector<Rows> states{now};
  for (const BacklinkRow& r : old_rows) {
    if (!holds(new_rows, r)) {
      now.erase(r);
      states.push_back(now);
    }
  }
  for (const BacklinkRow& r : new_rows) {
    if (!holds(old_rows, r)) {
      now.insert(r);
      states.push_back(now);
    }
  }
  return states;
}

struct Model {
  // The value each key must show (its debug text, or ABSENT).
  std::map<RecordKey, std::string> must;
  // Further texts a key may show instead: the failed write's new value, or
  // writes of a transaction whose destruction met the fault.
  std::map<RecordKey, std::set<std::string>> may;
  // The failed write: its backlink changes may stop part-way.
  std::optional<RecordKey> failed_source;
  std::vector<Rows> failed_states;
  // Sources whose queued backlink changes a failing destruction may have
  // lost or applied without their records.
  std::set<RecordKey> loose_sources;
  std::map<RecordKey, std::vector<std::string>> history;  // every text each key held
};

// ---- One run ---------------------------------------------------------------

struct Outcome {
  bool fault_fired = false;
  std::optional<std::string> reported;  // the error text that reached the caller
  std::string failed_step;
  std::string expected_text;  // what the error should have read
};

class Run {
 public:
  explicit Run(MemoryPlatform& platform) : platform_(platform) {
    for (const auto& [c, keys] : UNIVERSE) {
      for (const std::string& k : keys) model_.must[{c, k}] = ABSENT;
    }
  }

  const Model& model() const { return model_; }

  // Runs the workload up to its first reported error, then destroys the
  // database (its destruction writes out what is buffered).
  Outcome execute(const IoError& expected) {
    Outcome out;
    std::vector<Step> steps = workload();
    for (size_t i = 0; i < steps.size(); ++i) {
      uint64_t fired_before = platform_.faults_fired();
      std::optional<std::string> error = perform(steps[i]);
      bool fired_here = platform_.faults_fired() != fired_before;
      if (fired_here && steps[i].kind == Step::Kind::Destroy) loosen_transaction();
      if (error) {
        out.reported = error;
        out.failed_step = "step " + std::to_string(i);
        out.expected_text =
            (steps[i].kind == Step::Kind::Resolve ? "storage: io: " : "io: ") + expected.display();
        break;
      }
    }
    db_.reset();
    out.fault_fired = platform_.faults_fired() > 0;
    return out;
  }

 private:
  std::optional<std::string> perform(const Step& s) {
    using K = Step::Kind;
    switch (s.kind) {
      case K::Open: {
        auto r = Database::open(DIR, platform_);
        if (!r.ok()) return r.error().display();
        db_ = std::move(r).value();
        return std::nullopt;
      }
      case K::Destroy:
        db_.reset();
        tx_writes_.clear();
        return std::nullopt;
      case K::Set:
        return perform_set(s);
      case K::Get: {
        auto r = db_->get(s.collection, s.key);
        if (!r.ok()) return r.error().display();
        EXPECT_EQ(r.value().debug_text(), model_.must[RecordKey(s.collection, s.key)]);
        return std::nullopt;
      }
      case K::Backlinks: {
        auto r = db_->backlinks(s.collection, s.key);
        if (!r.ok()) return r.error().display();
        return std::nullopt;
      }
      case K::Resolve: {
        auto r = db_->resolve(s.collection, s.key, s.path);
        if (!r.ok()) return r.error().display();
        return std::nullopt;
      }
      case K::Begin:
        db_->begin();
        return std::nullopt;
      case K::Commit: {
        auto r = db_->commit();
        if (!r.ok()) return r.error().display();
        tx_writes_.clear();
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::optional<std::string> perform_set(const Step& s) {
    RecordKey key{s.collection, s.key};
    std::string old_text = model_.must[key];
    std::string new_text = text_of(s.value);
    model_.history[key].push_back(new_text);
    auto r = db_->set(s.collection, s.key, s.value());
    if (!r.ok()) {
      model_.may[key].insert(new_text);
      model_.failed_source = key;
      model_.failed_states = partial_states(key, value_of(key, old_text), s.value());
      return r.error().display();
    }
    model_.must[key] = new_text;
    if (db_->in_transaction()) tx_writes_.push_back({key, old_text, s.value});
    return std::nullopt;
  }

  // The value a key held before a write, rebuilt from the workload's own
  // history (the model keeps texts, not values).
  Value value_of(const RecordKey& key, const std::string& text) {
    if (text == ABSENT) return Value::null();
    for (const Step& s : workload()) {
      if (s.kind == Step::Kind::Set && s.collection == key.first && s.key == key.second &&
          text_of(s.value) == text) {
        return s.value();
      }
    }
    ADD_FAILURE() << "no step wrote " << text;
    return Value::null();
  }

  // The fault met the destruction of an open transaction: its records may
  // be missing (a failed push) and its queued backlink changes may be
  // missing or applied without their records.
  void loosen_transaction() {
    for (const TxWrite& w : tx_writes_) {
      model_.may[w.key].insert(w.old_text);
      model_.loose_sources.insert(w.key);
    }
  }

  struct TxWrite {
    RecordKey key;
    std::string old_text;
    std::function<Value()> value;
  };

  MemoryPlatform& platform_;
  std::unique_ptr<Database> db_;
  Model model_;
  std::vector<TxWrite> tx_writes_;  // writes of the open transaction
};

// ---- Checking the reopened directory ------------------------------------------

// Every record of every record file: whole, of a known key, decodable.
void check_record_files(MemoryPlatform& platform) {
  for (const auto& [c, keys] : UNIVERSE) {
    auto bytes = platform.contents(DIR, c + ".qdb");
    if (!bytes) continue;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes->data());
    size_t pos = 0, size = bytes->size();
    while (pos < size) {
      ASSERT_GE(size - pos, 8u) << c << ".qdb: torn record at " << pos;
      size_t key_len = load_u32(p + pos);
      ASSERT_GE(size - pos - 8, key_len) << c << ".qdb: torn key at " << pos;
      std::string key(bytes->data() + pos + 4, key_len);
      size_t value_len = load_u32(p + pos + 4 + key_len);
      ASSERT_GE(size - pos - 8 - key_len, value_len) << c << ".qdb: torn value at " << pos;
      EXPECT_NE(std::find(keys.begin(), keys.end(), key), keys.end())
          << c << ".qdb: unknown key " << key;
      size_t cursor = 0;
      auto v = decode_value(p + pos + 8 + key_len, value_len, &cursor);
      EXPECT_TRUE(v.ok()) << c << "/" << key << ": " << v.error().display();
      pos += 8 + key_len + value_len;
    }
  }
}

void check_reopened(MemoryPlatform& platform, const Model& model) {
  check_record_files(platform);
  auto opened = Database::open(DIR, platform);
  ASSERT_TRUE(opened.ok()) << "reopen: " << opened.error().display();
  Database& db = *opened.value();

  Rows expected;  // from the records as they are now
  for (const auto& [key, must] : model.must) {
    auto r = db.get(key.first, key.second);
    std::string shown = r.ok() ? r.value().debug_text() : r.error().display();
    auto may = model.may.find(key);
    bool allowed = shown == must || (may != model.may.end() && may->second.count(shown));
    EXPECT_TRUE(allowed) << key.first << "/" << key.second << " shows " << shown
                         << "; acknowledged: " << must;
    if (r.ok()) expected.merge(rows_of(key, r.value()));
  }
  Rows actual;
  for (const auto& [c, keys] : UNIVERSE) {
    for (const std::string& k : keys) {
      auto r = db.backlinks(c, k);
      ASSERT_TRUE(r.ok()) << "backlinks " << c << "/" << k << ": " << r.error().display();
      for (const Backlink& b : r.value()) {
        actual.emplace(c, k, b.source_collection, b.source_key, b.source_path);
      }
    }
  }
  // Compared source by source: exactly, except for the failed write and the
  // sources of a transaction whose destruction met the fault.
  std::set<RecordKey> sources;
  for (const auto& rows : {expected, actual}) {
    for (const BacklinkRow& r : rows) sources.insert({std::get<2>(r), std::get<3>(r)});
  }
  for (const RecordKey& source : sources) {
    auto of_source = [&](const Rows& rows) {
      Rows out;
      for (const BacklinkRow& r : rows) {
        if (std::get<2>(r) == source.first && std::get<3>(r) == source.second) out.insert(r);
      }
      return out;
    };
    Rows want = of_source(expected), have = of_source(actual);
    if (want == have) continue;
    if (model.failed_source == source &&
        std::find(model.failed_states.begin(), model.failed_states.end(), have) !=
            model.failed_states.end()) {
      continue;
    }
    if (model.loose_sources.count(source)) continue;
    ADD_FAILURE() << "backlinks of " << source.first << "/" << source.second
                  << " disagree with its record: " << have.size() << " stored, " << want.size()
                  << " expected; failed write: "
                  << (model.failed_source
                          ? model.failed_source->first + "/" + model.failed_source->second
                          : "none");
  }
}

// ---- The sweep -------------------------------------------------------------

struct Plan {
  std::string name;
  std::function<void(MemoryPlatform&)> arm;
  IoError expected;
};

struct Tally {
  int tried = 0, fired = 0, reported = 0, failed = 0;
};

Tally& tally() {
  static Tally t;
  return t;
}

// Calls of each kind the workload makes with no fault.
uint64_t clean_count(FaultOp op) {
  MemoryPlatform platform;
  Run run(platform);
  Outcome out = run.execute(INJECTED);
  if (out.reported) ADD_FAILURE() << "the workload fails with no fault: " << *out.reported;
  uint64_t calls = platform.count(op);
  check_reopened(platform, run.model());
  return calls;
}

void run_plan(const Plan& plan) {
  SCOPED_TRACE(plan.name);
  MemoryPlatform platform;
  plan.arm(platform);
  Run run(platform);
  Outcome out = run.execute(plan.expected);
  platform.clear_faults();
  int failures_before =
      ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
  ++tally().tried;
  if (out.fault_fired) ++tally().fired;
  if (out.reported) {
    ++tally().reported;
    EXPECT_EQ(*out.reported, out.expected_text) << "at " << out.failed_step;
  }
  check_reopened(platform, run.model());
  if (::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() !=
      failures_before) {
    ++tally().failed;
  }
}

void report(const char* what) {
  const Tally& t = tally();
  std::printf(
      "[fault injection] %s: %d injection points tried, %d fired, %d reported to the "
      "caller, %d failed a check\n",
      what, t.tried, t.fired, t.reported, t.failed);
  ::testing::Test::RecordProperty("injection_points", t.tried);
  ::testing::Test::RecordProperty("injection_failures", t.failed);
  tally() = Tally{};
}

const char* op_name(FaultOp op) {
  switch (op) {
    case FaultOp::Open:
      return "open";
    case FaultOp::ReadAt:
      return "read_at";
    case FaultOp::Write:
      return "write";
    case FaultOp::Size:
      return "size";
    case FaultOp::Truncate:
      return "truncate";
    case FaultOp::Sync:
      return "sync";
    case FaultOp::Rename:
      return "rename";
    case FaultOp::Remove:
      return "remove";
    case FaultOp::Lock:
      return "lock";
    case FaultOp::Stat:
      return "stat";
    case FaultOp::SetOwner:
      return "set_owner";
    case FaultOp::Link:
      return "link";
  }
  return "?";
}

class FaultInjection : public ::testing::TestWithParam<FaultOp> {};

TEST_P(FaultInjection, EveryFailingCallIsReportedAndLosesNothingAcknowledged) {
  FaultOp op = GetParam();
  uint64_t calls = clean_count(op);
  EXPECT_GT(calls, 0u);
  for (uint64_t n = 1; n <= calls; ++n) {
    run_plan(Plan{std::string(op_name(op)) + " #" + std::to_string(n),
                  [=](MemoryPlatform& p) { p.fail(op, int(n), INJECTED); }, INJECTED});
  }
  report(op_name(op));
}

// The workload cuts nothing back unless a write fails, so failing cut-backs
// (truncate) are swept after torn writes, further down.
INSTANTIATE_TEST_SUITE_P(EachKindOfCall, FaultInjection,
                         ::testing::Values(FaultOp::Open, FaultOp::ReadAt,
                                           FaultOp::Write, FaultOp::Size),
                         [](const auto& info) { return std::string(op_name(info.param)); });

// A write that lands in part before the disk fills: the torn piece must be
// cut off again, so the file stays loadable.
TEST(FaultInjectionTorn, EveryWriteTornPartWayIsCutBackAndLosesNothingAcknowledged) {
  uint64_t writes = clean_count(FaultOp::Write);
  for (size_t accepted : {size_t(1), size_t(9), size_t(1) << 40}) {
    for (uint64_t n = 1; n <= writes; ++n) {
      run_plan(Plan{"write #" + std::to_string(n) + " accepts " + std::to_string(accepted),
                    [=](MemoryPlatform& p) { p.torn_write(int(n), accepted, DISK_FULL); },
                    DISK_FULL});
    }
  }
  report("torn write");
}

}  // namespace
}  // namespace zez

namespace zez {
namespace {

// The rarer double fault: a write tears and the cut that should undo it
// fails too. The torn piece must still never make a file unloadable.
TEST(FaultInjectionTorn, ATornWriteWhoseCutBackFailsStillLeavesLoadableFiles) {
  uint64_t writes = clean_count(FaultOp::Write);
  for (uint64_t n = 1; n <= writes; ++n) {
    run_plan(Plan{"write #" + std::to_string(n) + " torn, its cut-back fails",
                  [=](MemoryPlatform& p) {
                    p.torn_write(int(n), 9, DISK_FULL);
                    p.fail(FaultOp::Truncate, 1, INJECTED);
                  },
                  DISK_FULL});
  }
  report("truncate (failing the cut-back after each torn write)");
}

// ---- repair --salvage ---------------------------------------------------------

using Files = std::map<std::string, std::string>;
const std::string LOST_FOUND = testing::TOOL_DIR + "/lost+found";

// Every kind of step at once: a torn tail to cut, damage in the middle to
// cut out, a stale backlink row, and a leftover temporary file.
Files salvage_case() {
  Files f = testing::sample_files();
  f["users.qdb"] += std::string("\x09\x00\x00\x00", 4) + "car";
  f["posts.qdb"] = testing::zero_length_record("x") + f["posts.qdb"];
  f["users.qbl"] += testing::backlink_add_bytes("carol", "posts", "p9", "");
  f["posts.qdb.zezavezud-tmp"] = "old";
  return f;
}

int salvage(MemoryPlatform& p, tool::StringConsole& console) {
  return testing::run_tool_on(p, {"repair", testing::TOOL_DIR, "--salvage"}, console);
}

// What a failed run may leave: each file as it was or as a clean repair
// leaves it, temporary files, and in lost+found only whole copies of an old
// file or of its tail, each made for a step that changed its file (or, for
// a tail, whose cut was tried: a failed cut may have begun).
void expect_old_new_or_temporary(const MemoryPlatform& p, const Files& before, const Files& after,
                                 const std::string& output, bool cut_failed) {
  for (const auto& [name, bytes] : testing::snapshot(p, testing::TOOL_DIR)) {
    if (name.ends_with(tool::TEMP_SUFFIX)) continue;
    const bool old = before.count(name) && before.at(name) == bytes;
    const bool fixed = after.count(name) && after.at(name) == bytes;
    EXPECT_TRUE(old || fixed) << name << "\n" << output;
  }
  for (const auto& [name, bytes] : before) {
    if (!name.ends_with(tool::TEMP_SUFFIX)) {
      EXPECT_TRUE(p.exists(testing::TOOL_DIR, name)) << name;
    }
  }
  for (const auto& [name, copy] : testing::snapshot(p, LOST_FOUND)) {
    bool protects = false;
    for (const auto& [original, bytes] : before) {
      const bool tail = !copy.empty() && bytes.size() >= copy.size() &&
                        bytes.compare(bytes.size() - copy.size(), copy.size(), copy) == 0;
      const bool changed = p.contents(testing::TOOL_DIR, original) != bytes;
      protects |= tail && (changed || (cut_failed && copy.size() < bytes.size()));
    }
    EXPECT_TRUE(protects) << "lost+found/" << name << " is no copy of a changed file\n" << output;
  }
}

// Runs one faulted repair and the clean one after it.
void run_and_finish(MemoryPlatform& p, const Files& before, const Files& after,
                    const std::string& expected, bool cut_failed = false) {
  tool::StringConsole console;
  const int status = salvage(p, console);
  p.clear_faults();
  p.set_capacity(uint64_t(1) << 40);
  const std::string output = console.stdout_text() + console.stderr_text();
  if ((status & tool::EXIT_OPERATIONAL) == 0) {
    EXPECT_EQ(status, tool::EXIT_REPAIRED) << output;
  }
  expect_old_new_or_temporary(p, before, after, output, cut_failed);
  tool::StringConsole again;
  EXPECT_EQ(salvage(p, again) & tool::EXIT_OPERATIONAL, 0) << again.stderr_text();
  EXPECT_EQ(testing::describe_database(p, testing::TOOL_DIR), expected);
  for (const std::string& name : p.names(testing::TOOL_DIR)) {
    EXPECT_FALSE(name.ends_with(tool::TEMP_SUFFIX)) << name;
  }
  tool::StringConsole third;
  EXPECT_EQ(salvage(p, third), tool::EXIT_CLEAN) << third.stdout_text();
}

struct RepairRun {
  Files before;
  Files after;
  std::string expected;
  uint64_t written;  // bytes a clean run adds, copies included
};

RepairRun clean_repair() {
  RepairRun r;
  r.before = salvage_case();
  MemoryPlatform p;
  testing::put_files(p, testing::TOOL_DIR, r.before);
  const uint64_t used = p.used_bytes();
  tool::StringConsole console;
  EXPECT_EQ(salvage(p, console), tool::EXIT_REPAIRED) << console.stdout_text();
  r.after = testing::snapshot(p, testing::TOOL_DIR);
  r.expected = testing::describe_database(p, testing::TOOL_DIR);
  r.written = p.used_bytes() > used ? p.used_bytes() - used : 0;
  for (const auto& [name, bytes] : testing::snapshot(p, LOST_FOUND)) r.written += bytes.size();
  return r;
}

TEST(FaultInjectionRepair, EveryFailingCallLeavesOldNewOrTemporaryFilesAndTheNextRunFinishes) {
  const RepairRun clean = clean_repair();
  const IoError injected = IoError::os(EIO);
  const std::pair<FaultOp, const char*> kinds[] = {
      {FaultOp::Open, "open"},         {FaultOp::ReadAt, "read_at"},
      {FaultOp::Write, "write"},       {FaultOp::Sync, "sync"},   {FaultOp::Rename, "rename"},
      {FaultOp::Remove, "remove"},     {FaultOp::Size, "size"},   {FaultOp::Truncate, "truncate"},
      {FaultOp::SetOwner, "set owner"}, {FaultOp::Stat, "stat"},  {FaultOp::Lock, "lock"},
  };
  for (const auto& [op, name] : kinds) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(name) + " #" + std::to_string(n));
      MemoryPlatform p;
      testing::put_files(p, testing::TOOL_DIR, clean.before);
      p.fail(op, n, injected);
      run_and_finish(p, clean.before, clean.after, clean.expected, op == FaultOp::Truncate);
      if (p.faults_fired() == 0) break;
    }
  }
  for (int n = 1;; ++n) {
    SCOPED_TRACE("torn write #" + std::to_string(n));
    MemoryPlatform p;
    testing::put_files(p, testing::TOOL_DIR, clean.before);
    p.torn_write(n, 2, IoError::os(ENOSPC));
    run_and_finish(p, clean.before, clean.after, clean.expected);
    if (p.faults_fired() == 0) break;
  }
}

// Another program fills the disk after repair checked the free space: at
// every amount of room left.
TEST(FaultInjectionRepair, ADiskThatFillsAtAnyPointLeavesOldNewOrTemporaryFiles) {
  const RepairRun clean = clean_repair();
  ASSERT_GT(clean.written, 0u);
  for (uint64_t room = 0; room <= clean.written; ++room) {
    SCOPED_TRACE("room " + std::to_string(room));
    MemoryPlatform p;
    testing::put_files(p, testing::TOOL_DIR, clean.before);
    p.set_capacity(p.used_bytes() + room, /*reported=*/false);
    run_and_finish(p, clean.before, clean.after, clean.expected);
  }
}

}  // namespace
}  // namespace zez
