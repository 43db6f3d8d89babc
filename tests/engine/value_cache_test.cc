// The value cache's ceiling, seen through the Database: with a budget of a
// few pages, values leave the cache after their records reach the file, and
// every read, every backlink and every reopen must come out as if they had
// stayed.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "db/collection.h"
#include "db/database.h"
#include "memory_platform.h"
#include "temp_dir.h"

namespace zez {
namespace {

using testing::FaultOp;

constexpr size_t BUDGET = size_t(64) << 10;

std::string text(const char* prefix, uint64_t n) {
  return std::string(prefix).append(std::to_string(n));
}

Value linking_to(const std::string& target) {
  Map m;
  m.insert("to", Value::link(target));
  return Value::map(std::move(m));
}

class ValueCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { open(); }
  void open() {
    db.reset();
    auto r = Database::open("db", platform);
    ASSERT_TRUE(r.ok()) << r.error().display();
    db = std::move(r).value();
    db->set_value_cache_budget_for_testing(BUDGET);
  }
  std::string set(const std::string& c, const std::string& k, Value v) {
    auto r = db->set(c, k, std::move(v));
    return r.ok() ? "ok" : r.error().display();
  }
  std::string get(const std::string& c, const std::string& k) {
    auto r = db->get(c, k);
    return r.ok() ? r.value().debug_text() : r.error().display();
  }
  std::set<std::string> sources_of(const std::string& target_key) {
    auto r = db->backlinks("t", target_key);
    EXPECT_TRUE(r.ok());
    std::set<std::string> sources;
    if (r.ok()) {
      for (const Backlink& b : r.value()) sources.insert(b.source_collection + "/" + b.source_key);
    }
    return sources;
  }
  // Writes enough other values to push everything before them out.
  void fill(const std::string& c, int n = 200) {
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(set(c, text("filler", uint64_t(i)), Value::blob(std::string(900, 'f'))), "ok");
    }
    ASSERT_LE(db->value_cache_bytes(), BUDGET);
  }

  testing::MemoryPlatform platform;
  std::unique_ptr<Database> db;
};

// Writes, overwrites, removals and links over two collections, many times
// the budget, outside transactions and then inside them; every key reads
// back what was last written, before and after a reopen, and the backlinks
// are those of the last values, whose old links had to be found in values
// long dropped from the cache.
TEST_F(ValueCacheTest, WritesFarPastTheBudgetReadBackTheSameInAndOutOfTransactions) {
  std::mt19937_64 rng(7);
  std::map<std::string, std::string> expected;  // "c/k" -> debug text
  std::map<std::string, std::string> links;     // "c/k" -> target key in "t"
  const auto check = [&] {
    for (int c = 0; c < 2; ++c) {
      for (uint64_t k = 0; k < 300; ++k) {
        const std::string name = text("c", uint64_t(c)) + "/" + text("k", k);
        auto it = expected.find(name);
        ASSERT_EQ(get(text("c", uint64_t(c)), text("k", k)),
                  it == expected.end() ? "key not found" : it->second)
            << name;
      }
    }
    for (uint64_t t = 0; t < 10; ++t) {
      std::set<std::string> want;
      for (const auto& [source, target] : links) {
        if (target == text("a", t)) want.insert(source);
      }
      ASSERT_EQ(sources_of(text("a", t)), want) << t;
    }
  };
  for (const bool in_transaction : {false, true}) {
    if (in_transaction) db->begin();
    for (int step = 0; step < 2500; ++step) {
      const std::string c = text("c", rng() % 2);
      const std::string k = text("k", rng() % 300);
      const std::string name = c + "/" + k;
      const uint64_t choice = rng() % 10;
      Value v = Value::integer(0);
      if (choice == 0) {
        ASSERT_TRUE(db->remove(c, k).ok());
        expected.erase(name);
        links.erase(name);
        continue;
      } else if (choice <= 2) {
        links[name] = text("a", rng() % 10);
        v = linking_to("t/" + links[name]);
      } else {
        // A few too large to share a block with others.
        const size_t len = rng() % 8 == 0 ? 2000 + rng() % 3000 : 1 + rng() % 900;
        v = Value::blob(std::string(len, char('a' + step % 26)));
        links.erase(name);
      }
      expected[name] = v.debug_text();
      ASSERT_EQ(set(c, k, std::move(v)), "ok");
      // Only values not yet pushed (a write buffer each) may hold it over.
      ASSERT_LE(db->value_cache_bytes(), BUDGET + (in_transaction ? 4 * WRITE_BUFFER_SIZE : 0));
      if (in_transaction && step % 700 == 699) {
        ASSERT_TRUE(db->commit().ok());
        db->begin();
      }
    }
    if (in_transaction) {
      ASSERT_TRUE(db->commit().ok());
    }
    ASSERT_NO_FATAL_FAILURE(check());
  }
  open();
  ASSERT_NO_FATAL_FAILURE(check());
}

// A dropped value keeps its "no links" mark, so replacing it reads nothing;
// replacing one that may hold links reads it, and a failed read refuses the
// write rather than leave its backlinks behind.
TEST_F(ValueCacheTest, ADroppedValueKeepsItsLinkMarkAndAFailedReadOfItRefusesTheWrite) {
  ASSERT_EQ(set("s", "plain", Value::integer(1)), "ok");
  ASSERT_EQ(set("s", "linked", linking_to("t/a")), "ok");
  ASSERT_NO_FATAL_FAILURE(fill("s"));
  platform.fail(FaultOp::ReadAt, 1, IoError::os(EIO), "s.qdb");
  EXPECT_EQ(set("s", "plain", Value::integer(2)), "ok");
  // The planned failure is still there for the next read of the file.
  EXPECT_EQ(get("s", "linked"), "io: Input/output error (os error 5)");
  platform.fail(FaultOp::ReadAt, 1, IoError::os(EIO), "s.qdb");
  EXPECT_EQ(set("s", "linked", linking_to("t/b")), "io: Input/output error (os error 5)");
  EXPECT_EQ(sources_of("a"), std::set<std::string>{"s/linked"});
  EXPECT_EQ(set("s", "linked", linking_to("t/b")), "ok");
  EXPECT_EQ(sources_of("a"), std::set<std::string>{});
  EXPECT_EQ(sources_of("b"), std::set<std::string>{"s/linked"});
  EXPECT_EQ(get("s", "plain"), "Int(2)");
}

// A value whose record was in a push that failed stays in the cache for
// good, even after a later push wrote its record and the budget was crossed
// many times over: its reads never touch the file.
TEST_F(ValueCacheTest, AValueFromAFailedPushIsNeverDropped) {
  platform.fail(FaultOp::Write, 1, IoError::os(ENOSPC), "s.qdb");
  EXPECT_EQ(set("s", "kept", Value::integer(7)), "io: No space left on device (os error 28)");
  ASSERT_NO_FATAL_FAILURE(fill("s"));
  platform.fail(FaultOp::ReadAt, 1, IoError::os(EIO), "s.qdb");
  EXPECT_EQ(get("s", "kept"), "Int(7)");
  EXPECT_EQ(get("s", "filler0"), "io: Input/output error (os error 5)");
  open();
  EXPECT_EQ(get("s", "kept"), "Int(7)");
}

// A shed before the first push: the record at offset 0 is still in the
// buffer, so its value must stay.
TEST_F(ValueCacheTest, AShedBeforeTheFirstPushKeepsTheValueOfTheRecordAtOffsetZero) {
  db->set_value_cache_budget_for_testing(8192);
  db->begin();
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(set("s", text("k", uint64_t(i)), Value::blob(std::string(900, char('a' + i)))), "ok");
  }
  ASSERT_EQ(platform.contents("db", "s.qdb"), "");
  EXPECT_EQ(get("s", "k0"), Value::blob(std::string(900, 'a')).debug_text());
}

// A value as large as the buffer goes to the file directly, inside a
// transaction too: it is in the file at once, so the cache may drop it
// rather than hold (and copy) it beyond the budget.
TEST_F(ValueCacheTest, AValueWrittenDirectlyInATransactionCanLeaveTheCache) {
  db->begin();
  const Value big = Value::blob(std::string(4 * BUDGET, 'b'));
  ASSERT_EQ(set("s", "big", big.copy()), "ok");
  EXPECT_LE(db->value_cache_bytes(), BUDGET);
  EXPECT_EQ(get("s", "big"), big.debug_text());
  ASSERT_TRUE(db->commit().ok());
  open();
  EXPECT_EQ(get("s", "big"), big.debug_text());
}

// Two Databases writing one collection where the file cannot be locked (the
// in-memory platform has none): each finds the other's bytes after its own
// push, and from then on keeps what it writes out of the file's reach, so
// every read answers what was written, far past the budget.
TEST_F(ValueCacheTest, AnotherWriterOfTheFileNeverMakesAReadServeAWrongValue) {
  auto opened = Database::open("db", platform);
  ASSERT_TRUE(opened.ok());
  auto other = std::move(opened).value();
  other->set_value_cache_budget_for_testing(BUDGET);
  auto value = [](char mark, uint64_t i) { return Value::blob(std::string(900, char(mark + i % 26))); };
  for (uint64_t i = 0; i < 200; ++i) {
    ASSERT_EQ(set("s", text("a", i), value('a', i)), "ok");
    ASSERT_TRUE(other->set("s", text("b", i), value('A', i)).ok());
  }
  for (uint64_t i = 0; i < 200; ++i) {
    EXPECT_EQ(get("s", text("a", i)), value('a', i).debug_text()) << i;
    auto theirs = other->get("s", text("b", i));
    ASSERT_TRUE(theirs.ok()) << i;
    EXPECT_EQ(theirs.value().debug_text(), value('A', i).debug_text()) << i;
  }
  other.reset();
  open();
  EXPECT_EQ(get("s", "a199"), value('a', 199).debug_text());
  EXPECT_EQ(get("s", "b199"), value('A', 199).debug_text());
}

// The file cut short by someone else: a dropped value with links no longer
// reads whole, and its replacement is refused like after a failed read.
TEST(ValueCacheOnDisk, ADroppedValueWithLinksThatNoLongerReadsWholeRefusesItsReplacement) {
  testing::TempDir tmp;
  auto opened = Database::open(tmp.path());
  ASSERT_TRUE(opened.ok());
  auto db = std::move(opened).value();
  db->set_value_cache_budget_for_testing(BUDGET);
  ASSERT_TRUE(db->set("s", "linked", linking_to("t/a")).ok());
  const uint64_t first_record_end = std::filesystem::file_size(tmp.file("s.qdb"));
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(db->set("s", text("filler", uint64_t(i)), Value::blob(std::string(900, 'f'))).ok());
  }
  std::filesystem::resize_file(tmp.file("s.qdb"), first_record_end - 1);
  auto replaced = db->set("s", "linked", linking_to("t/b"));
  ASSERT_FALSE(replaced.ok());
  EXPECT_EQ(replaced.error().display(), "io: failed to fill whole buffer");
  EXPECT_EQ(db->backlinks("t", "a").value().size(), 1u);
  EXPECT_EQ(db->backlinks("t", "b").value().size(), 0u);
}

}  // namespace
}  // namespace zez
