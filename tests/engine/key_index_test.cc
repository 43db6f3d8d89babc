#include "db/key_index.h"

#include <random>
#include <string>
#include <unordered_map>

#include <gtest/gtest.h>

namespace zez {
namespace {

// Built by appending: GCC 12 at -O3 warns falsely on "k" + std::string.
std::string key_of(uint64_t n) {
  std::string key = std::to_string(n);
  key.append("k");
  return key;
}

// Random puts and erases over a small key space (so keys come and go many
// times, runs of probing collide, and the key arena gets compacted),
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

}  // namespace
}  // namespace zez
