#include "codec/keyed_hash.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "codec/value.h"
#include "db/database.h"
#include "db/key_index.h"
#include "db/record_index.h"
#include "db/text_map.h"
#include "memory_platform.h"
#include "tool_fixtures.h"

namespace zez {
namespace {

// Every test in this binary runs under one fixed key, so a table's layout,
// and whatever a failure depends on, is the same on every run.
class FixedHashKey : public ::testing::Environment {
 public:
  void SetUp() override { set_hash_key_for_testing(HashKey{0x0123456789abcdefULL, 42}); }
};
[[maybe_unused]] ::testing::Environment* const fixed_hash_key =
    ::testing::AddGlobalTestEnvironment(new FixedHashKey);

// CPython hashes bytes with SipHash-1-3 too: these are its hash() of the same
// bytes under the key it derives from PYTHONHASHSEED=1, for every way the
// last word is read (1 to 7 bytes left over, none, bytes above 0x7f).
TEST(KeyedHash, MatchesSipHash13ReferenceValues) {
  const HashKey key{0xaed66ce184be2329ULL, 0xebe9bbf1f1499052ULL};
  const std::pair<std::string, uint64_t> cases[] = {
      {"a", 0xd6300bc9f7cc0e73ULL},
      {"ab", 0xb8561ee67cd5b166ULL},
      {"abc", 0xbf3a636edf177675ULL},
      {"abcd", 0xf840209c1638e72dULL},
      {"abcde", 0xe4ae1b1275391974ULL},
      {"abcdefg", 0x2cc75771f0205010ULL},
      {"abcdefgh", 0xfd3011ff3947e7f4ULL},
      {"abcdefghijklmnop", 0x7c36c062bdd04f5bULL},
      {"abcdefghijklm", 0xc7ea427d7305c7e9ULL},
      {"hello world, a longer key!", 0x4bc73fb742bfaa0cULL},
      {"\x80\x81\x82\x83\x84\x85\x86\x87\x88\x89\x8a", 0xb2eadceff80c43dbULL},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(siphash13(key, text), expected) << text;
}

TEST(KeyedHash, TheKeyDecidesTheHash) {
  EXPECT_NE(siphash13(HashKey{1, 2}, "user:1"), siphash13(HashKey{1, 3}, "user:1"));
  EXPECT_NE(siphash13(HashKey{1, 2}, "user:1"), siphash13(HashKey{2, 2}, "user:1"));
  EXPECT_EQ(keyed_hash("user:1"), siphash13(process_hash_key(), "user:1"));
  EXPECT_EQ(keyed_hash("user:1"), siphash13(HashKey{0x0123456789abcdefULL, 42}, "user:1"));
  // The length is hashed: zero bytes at the end change it.
  EXPECT_NE(keyed_hash(std::string("a", 1)), keyed_hash(std::string("a\0", 2)));
}

// Hashes every key to one of a few values, or all to one: probe runs then
// hold every key, and with the low bits all set they wrap past the table's
// end.
uint64_t all_at_the_end(std::string_view) { return ~uint64_t(0); }
uint64_t all_at_the_start(std::string_view) { return 0; }
uint64_t three_ways(std::string_view s) {
  return s.empty() ? 0 : uint64_t(uint8_t(s.back()) % 3) * 0x5555555555555555ULL;
}

class ForcedHash : public ::testing::TestWithParam<TextHashFunction> {
 protected:
  void SetUp() override { set_hash_function_for_testing(GetParam()); }
  void TearDown() override { set_hash_function_for_testing(nullptr); }
};

INSTANTIATE_TEST_SUITE_P(Collisions, ForcedHash,
                         ::testing::Values(&all_at_the_end, &all_at_the_start, &three_ways));

std::string key_of(uint64_t n) { return "key" + std::to_string(n); }

// Puts, erases (backward shifts through one long run), key compaction and
// rehashes, checked against a plain map.
TEST_P(ForcedHash, KeyIndexStillAnswersExactly) {
  std::mt19937_64 rng(7);
  KeyIndex index;
  std::map<std::string, uint64_t> expected;
  for (int step = 0; step < 20000; ++step) {
    const std::string key = key_of(rng() % 400) + std::string(rng() % 2 ? 200 : 0, 'x');
    if (rng() % 3 == 0) {
      EXPECT_EQ(index.erase(key), expected.erase(key) == 1);
    } else {
      index.put(key, uint64_t(step));
      expected[key] = uint64_t(step);
    }
  }
  ASSERT_EQ(index.size(), expected.size());
  for (uint64_t i = 0; i < 400; ++i) {
    for (const std::string& key : {key_of(i), key_of(i) + std::string(200, 'x')}) {
      const uint64_t* found = index.find(key);
      auto it = expected.find(key);
      ASSERT_EQ(found != nullptr, it != expected.end()) << key;
      if (found) {
        EXPECT_EQ(*found, it->second) << key;
      }
    }
  }
}

TEST_P(ForcedHash, MapAndTextMapStillAnswerExactly) {
  Map map;
  TextMap<int> text_map;
  for (int i = 0; i < 600; ++i) {
    map.insert(key_of(uint64_t(i % 500)), Value::integer(i));
    text_map[key_of(uint64_t(i % 500))] = i;
  }
  EXPECT_EQ(map.size(), 500u);
  EXPECT_EQ(text_map.size(), 500u);
  const Map copied = map.copy();
  for (int i = 0; i < 500; ++i) {
    const int last = i < 100 ? i + 500 : i;
    ASSERT_NE(copied.find(key_of(uint64_t(i))), nullptr) << i;
    EXPECT_EQ(copied.find(key_of(uint64_t(i)))->as_int(), last);
    EXPECT_EQ(text_map.find(key_of(uint64_t(i)))->second, last);
  }
  EXPECT_EQ(map.find("key500"), nullptr);
  EXPECT_EQ(text_map.count("key500"), 0u);
}

// The engine end to end, every table colliding: keys, collections, a
// stored map's keys, links and their backlinks, through a reopen.
TEST_P(ForcedHash, DatabaseStillAnswersExactlyAcrossAReopen) {
  testing::MemoryPlatform platform;
  auto opened = Database::open("db", platform);
  ASSERT_TRUE(opened.ok());
  std::unique_ptr<Database> db = std::move(opened).value();
  Map people;
  for (int i = 0; i < 300; ++i) people.insert(key_of(uint64_t(i)), Value::integer(i));
  ASSERT_TRUE(db->set("c", "people", Value::map(std::move(people))).ok());
  for (int i = 0; i < 300; ++i) {
    Map m;
    m.insert("to", Value::link("c/people"));
    m.insert("n", Value::integer(i));
    ASSERT_TRUE(db->set(i % 2 ? "odd" : "even", key_of(uint64_t(i)), Value::map(std::move(m))).ok());
  }
  for (int i = 0; i < 300; i += 3) {
    ASSERT_TRUE(db->remove(i % 2 ? "odd" : "even", key_of(uint64_t(i))).ok());
  }
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 300; ++i) {
      auto got = db->get(i % 2 ? "odd" : "even", key_of(uint64_t(i)));
      ASSERT_EQ(got.ok(), i % 3 != 0) << i;
      if (got.ok()) {
        EXPECT_EQ(got.value().as_map().find("n")->as_int(), i);
      }
    }
    auto resolved = db->resolve("odd", key_of(1), {"to", key_of(299)});
    ASSERT_TRUE(resolved.ok());
    EXPECT_EQ(resolved.value().as_int(), 299);
    auto backlinks = db->backlinks("c", "people");
    ASSERT_TRUE(backlinks.ok());
    EXPECT_EQ(backlinks.value().size(), 200u);
    db.reset();
    auto reopened = Database::open("db", platform);
    ASSERT_TRUE(reopened.ok());
    db = std::move(reopened).value();
  }
}

// The maintenance command's tables (live records, backlink rows, the sets
// of sources and targets): with every key colliding, check finds the same
// damage and compact writes the same files as under the keyed hash.
TEST_P(ForcedHash, ToolAnswersAsUnderTheKeyedHash) {
  std::map<std::string, std::string> files = testing::sample_files();
  for (int i = 0; i < 200; ++i) {
    files["users.qdb"] += testing::record_bytes(key_of(uint64_t(i)), Value::integer(i));
    files["posts.qdb"] += testing::record_bytes(key_of(uint64_t(i)), Value::link("users/bob"));
    if (i % 50 != 0) files["users.qbl"] += testing::backlink_add_bytes("bob", "posts", key_of(uint64_t(i)), "");
  }
  files["users.qbl"] += testing::backlink_add_bytes("carol", "posts", "p9", "");
  const auto run = [&](std::vector<std::string_view> args) {
    testing::MemoryPlatform platform;
    testing::put_files(platform, testing::TOOL_DIR, files);
    tool::StringConsole console;
    const int status = testing::run_tool_on(platform, args, console);
    return std::make_tuple(status, console.stdout_text(),
                           testing::snapshot(platform, testing::TOOL_DIR));
  };
  const std::vector<std::vector<std::string_view>> commands = {
      {"check", testing::TOOL_DIR}, {"compact", testing::TOOL_DIR}};
  for (const auto& args : commands) {
    const auto colliding = run(args);
    set_hash_function_for_testing(nullptr);
    const auto keyed = run(args);
    set_hash_function_for_testing(GetParam());
    EXPECT_EQ(colliding, keyed) << args[0];
  }
}

TEST(KeyMap, AMovedFromMapIsEmptyAndUsable) {
  KeyIndex from;
  for (uint64_t i = 0; i < 100; ++i) from.put(key_of(i), i);
  KeyIndex to(std::move(from));
  EXPECT_EQ(from.size(), 0u);  // NOLINT(bugprone-use-after-move): the point of the test
  EXPECT_EQ(from.find(key_of(5)), nullptr);
  EXPECT_FALSE(from.erase(key_of(5)));
  from.put("again", 1);
  EXPECT_EQ(*from.find("again"), 1u);
  from = std::move(to);
  EXPECT_EQ(from.size(), 100u);
  EXPECT_EQ(*from.find(key_of(99)), 99u);
  EXPECT_EQ(from.find("again"), nullptr);
  EXPECT_EQ(to.find(key_of(5)), nullptr);  // NOLINT(bugprone-use-after-move)
}

// The top bits of a stored offset mark a held value: an offset that reaches
// them is refused and changes nothing.
TEST(RecordIndex, RefusesAnOffsetAtTheLimit) {
  RecordIndex index;
  const uint64_t hash = KeyIndex::hash("k");
  ASSERT_TRUE(index.put_offset("k", hash, RecordIndex::OFFSET_LIMIT - 1));
  EXPECT_FALSE(index.put_offset("k", hash, RecordIndex::OFFSET_LIMIT));
  EXPECT_FALSE(index.put_offset("j", KeyIndex::hash("j"), ~uint64_t(0)));
  auto found = index.find("k", hash);
  ASSERT_TRUE(found.has_value());
  EXPECT_FALSE(found->value.has_value());
  EXPECT_EQ(found->offset, RecordIndex::OFFSET_LIMIT - 1);
  EXPECT_FALSE(index.find("j", KeyIndex::hash("j")).has_value());
}

}  // namespace
}  // namespace zez
