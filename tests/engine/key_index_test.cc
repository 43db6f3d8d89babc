#include "db/key_index.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <unordered_map>

#include "codec/keyed_hash.h"
#include "db/record_index.h"

namespace zez {
namespace {

// Built by appending: GCC 12 at -O3 warns falsely on "k" + std::string.
std::string key_of(uint64_t n) {
  std::string key = std::to_string(n);
  key.append("k");
  return key;
}

// Random puts and erases over a small key space (so keys come and go many
// times, runs of probing collide, the table shrinks, and the key arena gets
// compacted),
// checked against a plain map after every step.
TEST(KeyIndex, AgreesWithAPlainMapThroughRandomPutsAndErases) {
  std::mt19937_64 rng(99);
  KeyIndex index;
  std::unordered_map<std::string, uint64_t> expected;
  for (int step = 0; step < 200000; ++step) {
    std::string key = key_of(rng() % 3000);
    if (rng() % 3 == 0) {
      index.erase(key);
      expected.erase(key);
    } else {
      uint64_t offset = rng();
      index.put(key, offset);
      expected[key] = offset;
    }
    ASSERT_EQ(index.size(), expected.size());
    if (step % 97 == 0) {
      for (const auto& [k, v] : expected) {
        const uint64_t* found = index.find(k);
        ASSERT_NE(found, nullptr) << k;
        ASSERT_EQ(*found, v) << k;
      }
    }
  }
  for (int i = 0; i < 3000; ++i) {
    std::string key = key_of(uint64_t(i));
    const uint64_t* found = index.find(key);
    auto it = expected.find(key);
    ASSERT_EQ(found != nullptr, it != expected.end()) << key;
    if (found) {
      EXPECT_EQ(*found, it->second);
    }
  }
  // Most keys go; the rest move to a table a fraction of the size.
  const size_t slots_before = index.memory_bytes();
  for (int i = 0; i < 3000; ++i) {
    if (i % 16 == 0) continue;
    expected.erase(key_of(uint64_t(i)));
    index.erase(key_of(uint64_t(i)));
  }
  index.shrink_to_fit();
  EXPECT_LT(index.memory_bytes(), slots_before / 4);
  for (int i = 0; i < 3000; ++i) {
    auto it = expected.find(key_of(uint64_t(i)));
    const uint64_t* found = index.find(key_of(uint64_t(i)));
    ASSERT_EQ(found != nullptr, it != expected.end()) << i;
    if (found) {
      EXPECT_EQ(*found, it->second);
    }
  }
}

// One key in 64 has the table's last slot as its first, so their run wraps
// past the end into the first slots, in the table before the shrink and in
// the one after.
uint64_t some_at_the_end(std::string_view key) {
  const uint64_t h = std::hash<std::string_view>{}(key) * 0x9e3779b97f4a7c15ULL;
  return h % 64 == 0 ? ~uint64_t(0) : h;
}

// The shrink at the end of an open moves the keys within their own block;
// a table of 20 MB is cut where it lies, a small one copied.
class ShrinkInPlace : public ::testing::TestWithParam<std::tuple<TextHashFunction, size_t>> {
 protected:
  void SetUp() override { set_hash_function_for_testing(std::get<0>(GetParam())); }
  void TearDown() override { set_hash_function_for_testing(nullptr); }
};

INSTANTIATE_TEST_SUITE_P(HashesAndSizes, ShrinkInPlace,
                         ::testing::Combine(::testing::Values(nullptr, &some_at_the_end),
                                            ::testing::Values(size_t(3000), size_t(1000000))));

TEST_P(ShrinkInPlace, KeepsEveryKeyAndGivesBackTheSlots) {
  const size_t reserved = std::get<1>(GetParam());
  KeyIndex index;
  index.reserve(reserved);
  const size_t bytes_before = index.memory_bytes();
  const size_t live = reserved * 3 / 10;
  for (size_t i = 0; i < live; ++i) index.put(key_of(i), i * 7);
  index.shrink_to_fit();
  // The slots alone were bytes_before; the key bytes come on top.
  EXPECT_LT(index.memory_bytes(), bytes_before * 6 / 10);
  ASSERT_EQ(index.size(), live);
  for (size_t i = 0; i < live; ++i) {
    const uint64_t* found = index.find(key_of(i));
    ASSERT_NE(found, nullptr) << i;
    ASSERT_EQ(*found, i * 7) << i;
  }
  EXPECT_EQ(index.find(key_of(live)), nullptr);
  // The cut table still grows, and erases shift runs that wrap.
  for (size_t i = live; i < live * 2; ++i) index.put(key_of(i), i * 7);
  for (size_t i = 0; i < live * 2; i += 2) ASSERT_TRUE(index.erase(key_of(i))) << i;
  for (size_t i = 0; i < live * 2; ++i) {
    const uint64_t* found = index.find(key_of(i));
    ASSERT_EQ(found != nullptr, i % 2 == 1) << i;
    if (found) {
      ASSERT_EQ(*found, i * 7) << i;
    }
  }
}

TEST(KeyIndex, EmptyKeysAndReservedTablesWork) {
  KeyIndex index;
  EXPECT_EQ(index.find(""), nullptr);
  index.erase("absent");
  index.reserve(1000);
  index.put("", 7);
  index.put(std::string("a\0b", 3), 8);
  ASSERT_NE(index.find(""), nullptr);
  EXPECT_EQ(*index.find(""), 7u);
  EXPECT_EQ(index.find("a"), nullptr);
  EXPECT_EQ(*index.find(std::string("a\0b", 3)), 8u);
  index.put("", 9);
  EXPECT_EQ(index.size(), 2u);
  EXPECT_EQ(*index.find(""), 9u);
  index.erase("");
  EXPECT_EQ(index.find(""), nullptr);
  EXPECT_EQ(index.size(), 1u);
}

// The calls the maintenance program makes: a payload wider than an offset,
// insert() that keeps an existing value, erase() that hands back the value,
// and a walk that sees every key once.
TEST(KeyMap, InsertKeepsEraseReturnsAndForEachSeesEveryKey) {
  struct Held {
    uint64_t offset;
    uint32_t length;
  };
  KeyMap<Held> map;
  auto [first, added] = map.insert("a", Held{1, 10});
  EXPECT_TRUE(added);
  EXPECT_EQ(first->offset, 1u);
  auto [again, added_again] = map.insert("a", Held{2, 20});
  EXPECT_FALSE(added_again);
  EXPECT_EQ(again->length, 10u);
  again->length = 11;
  EXPECT_EQ(map.find("a")->length, 11u);
  for (uint64_t i = 0; i < 5000; ++i) map.put(key_of(i), Held{i, uint32_t(i % 7)});
  Held removed{0, 0};
  EXPECT_TRUE(map.erase(key_of(42), &removed));
  EXPECT_EQ(removed.offset, 42u);
  EXPECT_FALSE(map.erase(key_of(42), &removed));
  EXPECT_FALSE(map.erase("absent"));
  std::unordered_map<std::string, uint64_t> seen;
  map.for_each(
      [&](std::string_view key, const Held& h) { seen[std::string(key)] += h.offset + 1; });
  ASSERT_EQ(seen.size(), map.size());
  EXPECT_EQ(seen["a"], 2u);
  EXPECT_EQ(seen.count(key_of(42)), 0u);
  for (uint64_t i = 0; i < 5000; ++i) {
    if (i != 42) {
      EXPECT_EQ(seen[key_of(i)], i + 1) << i;
    }
  }
}

// Key lengths are stored in one byte below 128 and in more above; keys of
// every width survive puts, erases and the arena's compaction.
TEST(KeyIndex, LongKeysKeepTheirLengthThroughCompaction) {
  KeyIndex index;
  const size_t lengths[] = {0, 1, 127, 128, 300, 16383, 16384, 70000};
  for (int round = 0; round < 4; ++round) {
    for (size_t len : lengths) index.put(std::string(len, char('a' + len % 26)), len + round);
    for (size_t len : lengths) {
      if (len % 2 == 0) index.erase(std::string(len, char('a' + len % 26)));
    }
  }
  for (size_t len : lengths) {
    const uint64_t* found = index.find(std::string(len, char('a' + len % 26)));
    ASSERT_EQ(found != nullptr, len % 2 == 1) << len;
    if (found) {
      EXPECT_EQ(*found, len + 3);
    }
    EXPECT_EQ(index.find(std::string(len + 1, char('a' + len % 26))), nullptr);
  }
}

// What the debug check in append_entry asks: whether bytes about to be
// appended lie, even in part, in the arena that extend() may free.
TEST(Arena, OverlapsOnlyBytesInsideItsBlock) {
  key_index_detail::Arena arena;
  const std::string outside(64, 'x');
  EXPECT_FALSE(arena.overlaps(outside));
  const size_t at = key_index_detail::append_entry(arena, outside);
  const std::string_view stored = key_index_detail::entry_at(arena, at);
  EXPECT_TRUE(arena.overlaps(stored));
  EXPECT_TRUE(arena.overlaps(stored.substr(60)));
  EXPECT_TRUE(arena.overlaps(std::string_view(stored.data() - 1, 2)));
  EXPECT_FALSE(arena.overlaps(std::string_view(stored.data(), 0)));
  EXPECT_FALSE(arena.overlaps(outside));
}

// Random writes, removals, scans' offsets and sheds of the oldest block,
// over a small key space and a budget of a few pages (so values share
// blocks, large ones get their own, and blocks are shed and reclaimed many
// times), checked against a plain map every 500 steps. A shed may drop only
// what the caller allows (here: records at offsets not divisible by 3); a
// dropped value answers with its record's offset and keeps its marks.
TEST(RecordIndex, AgreesWithAPlainMapThroughShedsAndReclaims) {
  std::mt19937_64 rng(5);
  ValueCacheBudget budget{size_t(64) << 10};
  RecordIndex index;
  index.set_budget(&budget);
  bool drop_all = false;
  const auto droppable = [&](uint64_t offset) { return drop_all || offset % 3 != 0; };
  struct Expected {
    std::string value;  // empty for a record the scan found
    bool holds_links;
    uint64_t offset;
    bool dropped;
  };
  std::map<std::string, Expected> expected;
  const auto check_all = [&] {
    ASSERT_EQ(index.size(), expected.size());
    ASSERT_EQ(budget.held, index.cache_bytes());
    for (int i = 0; i < 500; ++i) {
      const std::string key = key_of(uint64_t(i));
      auto found = index.find(key, KeyIndex::hash(key));
      auto it = expected.find(key);
      ASSERT_EQ(found.has_value(), it != expected.end()) << key;
      if (!found) continue;
      Expected& e = it->second;
      ASSERT_EQ(found->written_here, !e.value.empty()) << key;
      ASSERT_EQ(found->may_hold_links, e.holds_links) << key;
      if (found->value) {
        ASSERT_FALSE(e.dropped) << key;
        ASSERT_EQ(*found->value, e.value) << key;
      } else {
        ASSERT_EQ(found->offset, e.offset) << key;
        if (!e.value.empty()) {
          ASSERT_TRUE(droppable(e.offset)) << key;
          e.dropped = true;
        }
      }
    }
  };
  for (uint64_t step = 0; step < 60000; ++step) {
    const std::string key = key_of(rng() % 500);
    const uint64_t hash = KeyIndex::hash(key);
    const uint64_t choice = rng() % 8;
    if (choice == 0) {
      index.erase(key, hash);
      expected.erase(key);
    } else if (choice == 1) {
      ASSERT_TRUE(index.put_offset(key, hash, step));
      expected[key] = {"", true, step, false};
    } else if (choice == 2) {
      index.shed_oldest_block(droppable);
    } else {
      const size_t len = rng() % 16 == 0 ? size_t(rng() % 5000) + 1 : size_t(rng() % 300) + 1;
      std::string value(len, char('a' + step % 26));
      const bool holds_links = choice == 3;
      index.put_value(key, hash, value, holds_links, step);
      index.reclaim_dead_bytes();
      expected[key] = {value, holds_links, step, false};
    }
    if (step % 500 == 499) {
      ASSERT_NO_FATAL_FAILURE(check_all());
    }
  }
  // Shedding every block once leaves only what could not be dropped.
  for (size_t n = index.block_count(); n > 0; --n) index.shed_oldest_block(droppable);
  ASSERT_NO_FATAL_FAILURE(check_all());
  for (const auto& [key, e] : expected) {
    auto found = index.find(key, KeyIndex::hash(key));
    EXPECT_EQ(found->value.has_value(), !e.value.empty() && !droppable(e.offset)) << key;
  }
  // With everything droppable, nothing stays.
  drop_all = true;
  while (index.shed_oldest_block(droppable)) {
  }
  EXPECT_EQ(budget.held, 0u);
  ASSERT_NO_FATAL_FAILURE(check_all());
}

}  // namespace
}  // namespace zez
