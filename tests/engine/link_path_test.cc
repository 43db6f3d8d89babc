#include "db/link_path.h"

#include <gtest/gtest.h>

#include <tuple>

namespace zez {
namespace {

// ---- The two rules for a key-part beginning with "$" -------------------

bool backlinked(std::string_view path) {
  auto parts = split_link_path(path);
  return parts && is_backlinked(*parts);
}

TEST(LinkPath, ExtractionListsNoLinkWhoseKeyStartsWithDollar) {
  for (const char* path : {"users/$x", "users/$", "users/$self", "users/$self.id", "u/$x/f"}) {
    EXPECT_FALSE(backlinked(path)) << path;
  }
  EXPECT_TRUE(backlinked("users/x$"));
  EXPECT_TRUE(backlinked("users/alice/name"));
}

TEST(LinkPath, ResolutionTreatsOnlySelfAndSelfDotSpecially) {
  EXPECT_TRUE(is_self_key("$self"));
  EXPECT_EQ(self_key_path("$self.a.b"), "a.b");
  EXPECT_EQ(self_key_path("$self."), "");
  // Any other key-part, "$" or not, is the key itself.
  for (const char* key : {"$x", "$", "$selfish", "self", "alice"}) {
    EXPECT_FALSE(is_self_key(key)) << key;
    EXPECT_EQ(self_key_path(key), std::nullopt) << key;
  }
  EXPECT_EQ(split_link_path("users/$x")->key, "$x");
}

// ---- Link extraction --------------------------------------------------

using Found = std::tuple<std::string, std::string, std::string>;

std::vector<Found> links_of(const Value& v) {
  std::vector<Found> out;
  for (const OutgoingLink& l : extract_links(v)) {
    out.emplace_back(l.target_collection, l.target_key, l.source_path);
  }
  return out;
}

Value map_of(std::string key, Value v) {
  Map m;
  m.insert(std::move(key), std::move(v));
  return Value::map(std::move(m));
}

Value array_of(std::vector<Value> elements) {
  Array a;
  for (Value& e : elements) a.push_back(std::move(e));
  return Value::array(std::move(a));
}

TEST(ExtractLinks, SourcePathsFollowMapKeysAndArrayIndexes) {
  EXPECT_EQ(links_of(map_of("author", Value::link("users/alice"))),
            (std::vector<Found>{{"users", "alice", "author"}}));
  std::vector<Value> two;
  two.push_back(Value::link("a/1"));
  two.push_back(Value::link("a/2/x/y"));
  EXPECT_EQ(links_of(array_of(std::move(two))),
            (std::vector<Found>{{"a", "1", "0"}, {"a", "2", "1"}}));
  std::vector<Value> tags;
  tags.push_back(Value::link("t/k"));
  EXPECT_EQ(links_of(map_of("tags", array_of(std::move(tags)))),
            (std::vector<Found>{{"t", "k", "tags/0"}}));
  // Index 10 is written in decimal, not as a single digit.
  std::vector<Value> eleven(11);
  eleven[10] = Value::link("t/k");
  EXPECT_EQ(links_of(array_of(std::move(eleven))), (std::vector<Found>{{"t", "k", "10"}}));
}

TEST(ExtractLinks, EmptySegmentsStillCountAsSegments) {
  EXPECT_EQ(links_of(map_of("", Value::link("t/k"))), (std::vector<Found>{{"t", "k", ""}}));
  EXPECT_EQ(links_of(map_of("", map_of("", Value::link("t/k")))),
            (std::vector<Found>{{"t", "k", "/"}}));
  EXPECT_EQ(links_of(map_of("a/b", Value::link("t/k"))), (std::vector<Found>{{"t", "k", "a/b"}}));
}

TEST(ExtractLinks, OnlyTheFirstTwoPiecesOfThePathAreRead) {
  struct Case {
    std::string path;
    std::vector<Found> expected;
  };
  const Case cases[] = {
      {"users/alice", {{"users", "alice", ""}}},
      {"users/alice/name", {{"users", "alice", ""}}},
      {"users/", {{"users", "", ""}}},
      {"users//x", {{"users", "", ""}}},
      {"users/a$", {{"users", "a$", ""}}},
      {"users", {}},
      {"", {}},
      {"/alice", {}},
      {"users/$self", {}},
      {"users/$self.id", {}},
      {"users/$x", {}},
      {"users/$", {}},
      // Extraction lists it; whether such a target can be indexed is the
      // writes' question (can_have_files).
      {std::string("us\0rs/alice", 11), {{std::string("us\0rs", 5), "alice", ""}}},
      {std::string("users/al\0ce", 11), {{"users", std::string("al\0ce", 5), ""}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(links_of(Value::link(c.path)), c.expected) << c.path;
  }
}

TEST(ExtractLinks, ALinkComesBeforeTheLinksInItsLocalMap) {
  Map local;
  local.insert("x", Value::link("u/v"));
  EXPECT_EQ(links_of(Value::link("t/k", std::move(local))),
            (std::vector<Found>{{"t", "k", ""}, {"u", "v", "x"}}));
  // The local map is walked even when the link itself is not listed.
  Map local2;
  local2.insert("x", Value::link("u/v"));
  EXPECT_EQ(links_of(map_of("m", Value::link("t/$self", std::move(local2)))),
            (std::vector<Found>{{"u", "v", "m/x"}}));
}

}  // namespace
}  // namespace zez
