#include "db/resolve.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <optional>
#include <utility>

namespace zez {
namespace {

// Records held in memory, handed out as copies the way the database does.
class FakeReader : public RecordReader {
 public:
  void put(std::string collection, std::string key, Value v) {
    records_.insert_or_assign({std::move(collection), std::move(key)}, std::move(v));
  }
  // The `nth` read (1 = next) of (collection, key) fails with `error`.
  void fail(std::string collection, std::string key, int nth, StorageError error) {
    failures_.insert_or_assign({std::move(collection), std::move(key)},
                               std::pair<int, StorageError>(nth, std::move(error)));
  }

  Result<Value, StorageError> read(std::string_view collection, std::string_view key) override {
    ++reads;
    const std::pair<std::string, std::string> at{collection, key};
    if (auto f = failures_.find(at); f != failures_.end() && --f->second.first == 0) {
      return f->second.second;
    }
    auto it = records_.find(at);
    if (it == records_.end()) return StorageError::key_not_found();
    return it->second.copy();
  }

  int reads = 0;

 private:
  std::map<std::pair<std::string, std::string>, Value> records_;
  std::map<std::pair<std::string, std::string>, std::pair<int, StorageError>> failures_;
};

void fill(Map&) {}
template <class... Rest>
void fill(Map& m, std::string key, Value v, Rest&&... rest) {
  m.insert(std::move(key), std::move(v));
  fill(m, std::forward<Rest>(rest)...);
}
// obj("a", v1, "b", v2): a Map value.
template <class... A>
Value obj(A&&... entries) {
  Map m;
  fill(m, std::forward<A>(entries)...);
  return Value::map(std::move(m));
}
template <class... A>
Value link_with_local(std::string path, A&&... entries) {
  Map m;
  fill(m, std::forward<A>(entries)...);
  return Value::link(std::move(path), std::move(m));
}
Value text(const char* s) { return Value::text(s); }
// prefix followed by i in decimal. (Built in two steps: GCC 12 warns falsely
// about a literal plus std::to_string(i) at -O3.)
std::string named(std::string prefix, int i) {
  prefix += std::to_string(i);
  return prefix;
}

class Resolve : public ::testing::Test {
 protected:
  // The debug text of the result, or "error: " and the error's text.
  std::string resolve(const char* collection, const char* key, std::vector<std::string> segments) {
    auto r = resolve_path(reader_, collection, key, segments);
    if (!r.ok()) return "error: " + r.error().display();
    EXPECT_FALSE(r.value().is(Kind::Link));
    return r.value().debug_text();
  }
  std::string shown(const Value& v) { return v.debug_text(); }

  FakeReader reader_;
};

TEST_F(Resolve, WalksMapsAndStopsAtOtherKinds) {
  std::vector<Value> tags;
  tags.push_back(text("x"));
  reader_.put("users", "alice",
              obj("name", text("Ann"), "tags", Value::array(std::move(tags)), "gone",
                  Value::tombstone(), "nothing", Value::null(), "a.b", Value::integer(1), "a/b",
                  Value::integer(2), "", Value::integer(3)));
  struct Case {
    std::vector<std::string> segments;
    std::string expected;
  };
  const Case cases[] = {
      {{"name"}, "Text(\"Ann\")"},
      {{"age"}, "Null"},
      {{"age", "x"}, "Null"},
      {{"name", "x"}, "error: field not found"},
      {{"tags", "0"}, "error: field not found"},
      {{"gone", "x", "y"}, "Tombstone"},
      {{"nothing", "x", "y"}, "Null"},
      // Segments are never split.
      {{"a.b"}, "Int(1)"},
      {{"a/b"}, "Int(2)"},
      {{""}, "Int(3)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(resolve("users", "alice", c.segments), c.expected) << c.segments[0];
  }
  EXPECT_EQ(resolve("users", "alice", {}), shown(reader_.read("users", "alice").value()));
}

TEST_F(Resolve, TheStartingRecordMustExist) {
  EXPECT_EQ(resolve("users", "nobody", {}), "error: storage: key not found");
  reader_.put("users", "alice", text("Ann"));
  reader_.fail("users", "alice", 1, StorageError::io(IoError::os(EIO)));
  EXPECT_EQ(resolve("users", "alice", {}), "error: storage: io: " + IoError::os(EIO).display());
}

TEST_F(Resolve, FollowsLinksIntoTheirTargets) {
  reader_.put("posts", "p1", obj("author", Value::link("users/alice")));
  EXPECT_EQ(resolve("posts", "p1", {"author", "name"}), "Null");
  EXPECT_EQ(resolve("posts", "p1", {"author"}), "Null");
  EXPECT_EQ(resolve("posts", "p1", {"author", "name", "more", "and more"}), "Null");

  reader_.put("users", "alice", obj("name", text("Ann"), "address", obj("city", text("Oslo"))));
  EXPECT_EQ(resolve("posts", "p1", {"author", "name"}), "Text(\"Ann\")");
  EXPECT_EQ(resolve("posts", "p1", {"author"}), shown(reader_.read("users", "alice").value()));

  // Field pieces of the link path come before the remaining segments.
  reader_.put("posts", "p2", obj("where", Value::link("users/alice/address")));
  EXPECT_EQ(resolve("posts", "p2", {"where", "city"}), "Text(\"Oslo\")");
  // A link that is the whole starting value is followed too.
  reader_.put("posts", "p3", Value::link("users/alice/name"));
  EXPECT_EQ(resolve("posts", "p3", {}), "Text(\"Ann\")");
}

TEST_F(Resolve, ReadFailuresOfATargetOtherThanMissingAreErrors) {
  reader_.put("posts", "p1", obj("author", Value::link("users/alice")));
  reader_.put("users", "alice", text("Ann"));
  reader_.fail("users", "alice", 1, StorageError::codec(CodecError::unexpected_end()));
  EXPECT_EQ(resolve("posts", "p1", {"author"}), "error: storage: codec: unexpected end of buffer");
}

TEST_F(Resolve, LinkPathsNeedTwoPieces) {
  reader_.put("a", "1", obj("l", Value::link("users")));
  reader_.put("a", "2", obj("l", Value::link("")));
  EXPECT_EQ(resolve("a", "1", {"l"}), "error: invalid path: users");
  EXPECT_EQ(resolve("a", "1", {"l", "x"}), "error: invalid path: users");
  EXPECT_EQ(resolve("a", "2", {"l"}), "error: invalid path: ");
}

TEST_F(Resolve, EmptyAndDollarKeysAreUsedVerbatim) {
  reader_.put("a", "", text("empty"));
  reader_.put("a", "$x", text("dollar"));
  reader_.put("a", "$selfish", text("selfish"));
  reader_.put("", "k", text("no collection"));
  reader_.put("s", "0",
              obj("e", Value::link("a/"), "d", Value::link("a/$x"), "f", Value::link("a/$selfish"),
                  "n", Value::link("/k")));
  EXPECT_EQ(resolve("s", "0", {"e"}), "Text(\"empty\")");
  EXPECT_EQ(resolve("s", "0", {"d"}), "Text(\"dollar\")");
  EXPECT_EQ(resolve("s", "0", {"f"}), "Text(\"selfish\")");
  EXPECT_EQ(resolve("s", "0", {"n"}), "Text(\"no collection\")");
}

TEST_F(Resolve, LocalEntriesAnswerWithoutReadingTheTarget) {
  reader_.put("posts", "p1",
              obj("author", link_with_local("users/alice", "name", text("Cached"), "meta",
                                            obj("x", Value::integer(1)))));
  EXPECT_EQ(resolve("posts", "p1", {"author", "name"}), "Text(\"Cached\")");
  EXPECT_EQ(resolve("posts", "p1", {"author", "meta", "x"}), "Int(1)");
  EXPECT_EQ(reader_.reads, 2);  // the starting record, twice
  EXPECT_EQ(resolve("posts", "p1", {"author", "age"}), "Null");
  EXPECT_EQ(reader_.reads, 4);
  reader_.put("users", "alice", obj("name", text("Ann"), "age", Value::integer(30)));
  EXPECT_EQ(resolve("posts", "p1", {"author", "age"}), "Int(30)");
  // With no segment left the link is followed and `local` plays no part.
  EXPECT_EQ(resolve("posts", "p1", {"author"}), shown(reader_.read("users", "alice").value()));
}

// c/0 -> c/1 -> ... -> c/links, which holds a plain value.
void put_chain(FakeReader& reader, int links) {
  for (int i = 0; i < links; ++i) {
    reader.put("c", std::to_string(i), Value::link(named("c/", i + 1)));
  }
  reader.put("c", std::to_string(links), obj("end", Value::integer(links)));
}

TEST_F(Resolve, AChainOf32LinksIsFollowedAndThe33rdFails) {
  put_chain(reader_, MAX_LINK_DEPTH);
  EXPECT_EQ(resolve("c", "0", {"end"}), "Int(32)");
  EXPECT_EQ(resolve("c", "0", {}), shown(reader_.read("c", "32").value()));
  put_chain(reader_, MAX_LINK_DEPTH + 1);
  EXPECT_EQ(resolve("c", "0", {"end"}), "error: cyclic link detected");
  EXPECT_EQ(resolve("c", "1", {"end"}), "Int(33)");
}

TEST_F(Resolve, TwoRecordsLinkingToEachOtherEndAsACycle) {
  reader_.put("a", "x", Value::link("a/y"));
  reader_.put("a", "y", Value::link("a/x"));
  EXPECT_EQ(resolve("a", "x", {}), "error: cyclic link detected");
  EXPECT_EQ(reader_.reads, 1 + MAX_LINK_DEPTH);
  reader_.put("a", "z", obj("next", Value::link("a/z/next")));
  EXPECT_EQ(resolve("a", "z", {"next", "more"}), "error: cyclic link detected");
}

TEST_F(Resolve, SelfAlwaysMeansTheStartingRecord) {
  reader_.put("users", "alice", obj("profile", Value::link("profiles/$self")));
  reader_.put("profiles", "alice", text("Alice's profile"));
  reader_.put("profiles", "p1", text("p1's profile"));
  reader_.put("posts", "p1", obj("author", Value::link("users/alice")));
  EXPECT_EQ(resolve("users", "alice", {"profile"}), "Text(\"Alice's profile\")");
  EXPECT_EQ(resolve("posts", "p1", {"author", "profile"}), "Text(\"p1's profile\")");
}

TEST_F(Resolve, SelfDottedKeysComeFromTheStartingRecord) {
  reader_.put(
      "orders", "o1",
      obj("customer_id", text("c7"), "customer", Value::link("customers/$self.customer_id")));
  reader_.put("customers", "c7", obj("name", text("Cy")));
  EXPECT_EQ(resolve("orders", "o1", {"customer", "name"}), "Text(\"Cy\")");

  reader_.put("orders", "o2",
              obj("customer_id", Value::integer(7), "customer",
                  Value::link("customers/$self.customer_id")));
  EXPECT_EQ(resolve("orders", "o2", {"customer", "name"}),
            "error: invalid path: $self.customer_id resolved to Int(7), expected TEXT");
  reader_.put("orders", "o3", obj("customer", Value::link("customers/$self.customer_id")));
  EXPECT_EQ(resolve("orders", "o3", {"customer", "name"}),
            "error: invalid path: $self.customer_id resolved to Null, expected TEXT");
}

TEST_F(Resolve, SelfDottedPathsAreCutAtEveryDot) {
  reader_.put("t", "deep", text("found deep"));
  reader_.put("t", "blank", text("found blank"));
  reader_.put("t", "linked", text("found linked"));
  reader_.put("ids", "1", obj("id", text("linked")));
  reader_.put(
      "s", "0",
      obj("a", obj("b", text("deep")), "", text("blank"), "ref", Value::link("ids/1"), "arr",
          Value::array(), "l1", Value::link("t/$self.a.b"), "l2", Value::link("t/$self."), "l3",
          Value::link("t/$self.ref.id"), "l4", Value::link("t/$self.arr.0")));
  EXPECT_EQ(resolve("s", "0", {"l1"}), "Text(\"found deep\")");
  EXPECT_EQ(resolve("s", "0", {"l2"}), "Text(\"found blank\")");
  EXPECT_EQ(resolve("s", "0", {"l3"}), "Text(\"found linked\")");
  // A failure inside the key's own walk comes back unchanged.
  EXPECT_EQ(resolve("s", "0", {"l4"}), "error: field not found");
}

TEST_F(Resolve, ASelfKeyRereadsTheStartingRecord) {
  reader_.put("s", "0", obj("id", text("k"), "l", Value::link("t/$self.id")));
  reader_.fail("s", "0", 2, StorageError::io(IoError::os(EIO)));
  EXPECT_EQ(resolve("s", "0", {"l"}), "error: storage: io: " + IoError::os(EIO).display());
}

TEST_F(Resolve, ACycleThroughASelfKeyEnds) {
  reader_.put("s", "0", obj("k", Value::link("s/$self.k")));
  EXPECT_EQ(resolve("s", "0", {"k"}), "error: cyclic link detected");
  EXPECT_LT(reader_.reads, 100);
  // The same through a second record.
  reader_.put("s", "1", obj("k", Value::link("s/x/k"), "other", text("x")));
  reader_.put("s", "x", obj("k", Value::link("s/$self.k")));
  EXPECT_EQ(resolve("s", "1", {"k"}), "error: cyclic link detected");
}

// Without remembering each "$self." key's answer, working out a_i needs a_(i+1)
// twice (once for each link below), so the reads double at every level.
TEST_F(Resolve, SelfKeysAreWorkedOutOncePerCall) {
  const int levels = 30;
  Map start;
  for (int i = 0; i < levels; ++i) {
    const std::string next = named("a", i + 1);
    start.insert(named("a", i), Value::link("c/$self." + next + "/v"));
    reader_.put("c", named("r", i + 1),
                obj("v", Value::link("c/$self." + next + "/w"), "w", Value::text(named("r", i))));
  }
  start.insert(named("a", levels), Value::text(named("r", levels)));
  reader_.put("s", "0", Value::map(std::move(start)));
  EXPECT_EQ(resolve("s", "0", {"a0"}), "Text(\"r0\")");
  EXPECT_LT(reader_.reads, 4 * levels);
}

// A remembered key reused deeper in the nesting than where it was worked out
// must still hit the nesting bound exactly where working it out again would.
// h0 needs five nested levels; p1 -> ... -> pm -> h0 reuses it at level m + 1.
void put_nesting_probe(FakeReader& reader, int m) {
  Map start;
  start.insert("start", Value::link("d/$self.h0/go"));
  for (int j = 0; j < 5; ++j) {
    start.insert(named("h", j), Value::link(named("d/$self.h", j + 1) + "/w"));
  }
  start.insert("h5", text("t"));
  for (int i = 1; i < m; ++i) {
    start.insert(named("p", i), Value::link(named("d/$self.p", i + 1) + "/w"));
  }
  start.insert(named("p", m), Value::link("d/$self.h0/w"));
  reader.put("s", "0", Value::map(std::move(start)));
  reader.put("d", "t", obj("go", Value::link("d/$self.p1"), "w", text("t")));
}

TEST_F(Resolve, RememberedSelfKeysKeepTheNestingBound) {
  put_nesting_probe(reader_, MAX_LINK_DEPTH - 6);
  EXPECT_EQ(resolve("s", "0", {"start", "w"}), "Text(\"t\")");
  put_nesting_probe(reader_, MAX_LINK_DEPTH - 5);
  EXPECT_EQ(resolve("s", "0", {"start", "w"}), "error: cyclic link detected");
  // Worked out fresh at that level (no earlier detour through h0), the
  // answer is the same.
  FakeReader fresh;
  put_nesting_probe(fresh, MAX_LINK_DEPTH - 5);
  fresh.put("d", "t", obj("w", text("t")));
  Value start = fresh.read("s", "0").value();
  start.as_map().insert("start", Value::link("d/$self.p1"));
  fresh.put("s", "0", std::move(start));
  auto r = resolve_path(fresh, "s", "0", {"start"});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(), "cyclic link detected");
}

}  // namespace
}  // namespace zez
