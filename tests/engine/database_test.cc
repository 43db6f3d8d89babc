#include "db/database.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <tuple>

#include "codec/byte_order.h"
#include "codec/encoding.h"
#include "db/link_path.h"
#include "memory_platform.h"
#include "temp_dir.h"

namespace zez {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

std::string u32(uint32_t v) {
  std::string s;
  put_u32(s, v);
  return s;
}

// One record as the file holds it.
std::string record(const std::string& key, const std::string& value_bytes) {
  return u32(uint32_t(key.size())) + key + u32(uint32_t(value_bytes.size())) + value_bytes;
}

const std::string INT_5("\x02\x05\0\0\0\0\0\0\0", 9);
const std::string INT_1("\x02\x01\0\0\0\0\0\0\0", 9);
const std::string INT_2("\x02\x02\0\0\0\0\0\0\0", 9);
const std::string TOMBSTONE_BYTE("\x0C", 1);

// One backlink file record.
std::string backlink_record(uint8_t op, const std::string& target_key, const std::string& sc,
                            const std::string& sk, const std::string& sp) {
  std::string s(1, char(op));
  for (const std::string* f : {&target_key, &sc, &sk, &sp}) s += u32(uint32_t(f->size())) + *f;
  return s;
}

Value map_of(std::string key, Value v) {
  Map m;
  m.insert(std::move(key), std::move(v));
  return Value::map(std::move(m));
}

// Opening, reopening and reading, whichever platform the database lives on.
class DatabaseFixture : public ::testing::Test {
 protected:
  void SetUp() override { db = open_db(); }
  virtual Result<std::unique_ptr<Database>, StorageError> open_result() = 0;

  std::unique_ptr<Database> open_db() {
    auto r = open_result();
    EXPECT_TRUE(r.ok()) << r.error().display();
    return r.ok() ? std::move(r).value() : nullptr;
  }
  // Ends the open database and opens the directory again.
  void reopen() {
    db.reset();
    db = open_db();
    ASSERT_NE(db, nullptr);
  }
  // The debug text of the value, or the error's text.
  std::string get(std::string_view c, std::string_view k) {
    auto r = db->get(c, k);
    return r.ok() ? r.value().debug_text() : r.error().display();
  }
  std::vector<Backlink> backlinks(std::string_view c, std::string_view k) {
    auto r = db->backlinks(c, k);
    EXPECT_TRUE(r.ok()) << r.error().display();
    return r.ok() ? r.value() : std::vector<Backlink>{};
  }

  std::unique_ptr<Database> db;
};

class DatabaseTest : public DatabaseFixture {
 protected:
  Result<std::unique_ptr<Database>, StorageError> open_result() override {
    return Database::open(tmp.path());
  }
  void set(std::string_view c, std::string_view k, Value v) {
    auto r = db->set(c, k, std::move(v));
    ASSERT_TRUE(r.ok()) << r.error().display();
  }
  void remove(std::string_view c, std::string_view k) {
    auto r = db->remove(c, k);
    ASSERT_TRUE(r.ok()) << r.error().display();
  }
  std::string bytes(const std::string& name) { return read_file(tmp.file(name)); }
  bool exists(const std::string& name) { return std::filesystem::exists(tmp.file(name)); }
  std::string open_error() {
    db.reset();
    auto r = Database::open(tmp.path());
    return r.ok() ? "opened" : r.error().display();
  }

  TempDir tmp;
};

// --- Record bytes ----------------------------------------------------------

TEST_F(DatabaseTest, SetAndDeleteAppendTheRecordsByteForByte) {
  set("users", "alice", Value::integer(5));
  std::string set_record = std::string("\x05\0\0\0alice\x09\0\0\0", 13) + INT_5;
  ASSERT_EQ(set_record.size(), 22u);
  EXPECT_EQ(bytes("users.qdb"), set_record);
  remove("users", "alice");
  std::string delete_record("\x05\0\0\0alice\x01\0\0\0\x0C", 14);
  EXPECT_EQ(bytes("users.qdb"), set_record + delete_record);
  EXPECT_EQ(get("users", "alice"), "key not found");
}

TEST_F(DatabaseTest, DeleteOfAMissingKeyAppendsAMarkerAndTombstoneValueIsADelete) {
  remove("c", "nobody");
  EXPECT_EQ(bytes("c.qdb"), record("nobody", TOMBSTONE_BYTE));
  set("c", "k", Value::integer(1));
  set("c", "k", Value::tombstone());
  EXPECT_EQ(get("c", "k"), "key not found");
  reopen();
  EXPECT_EQ(get("c", "k"), "key not found");
}

TEST_F(DatabaseTest, TombstoneInsideAnArrayIsAnOrdinaryValue) {
  Array a;
  a.push_back(Value::tombstone());
  set("c", "k", Value::array(std::move(a)));
  reopen();
  EXPECT_EQ(get("c", "k"), "Array([Tombstone])");
}

TEST_F(DatabaseTest, EveryKindOfWriteSurvivesReopening) {
  set("a", "set", Value::text("v"));
  set("a", "gone", Value::integer(1));
  remove("a", "gone");
  set("a", "again", Value::integer(1));
  remove("a", "again");
  set("a", "again", Value::integer(2));
  set("a", "large", Value::blob(std::string(100000, 'x')));
  db->begin();
  set("a", "in_tx", Value::boolean(true));
  ASSERT_TRUE(db->commit().ok());
  db->begin();
  set("b", "uncommitted", Value::null());
  reopen();
  EXPECT_EQ(get("a", "set"), "Text(\"v\")");
  EXPECT_EQ(get("a", "gone"), "key not found");
  EXPECT_EQ(get("a", "again"), "Int(2)");
  EXPECT_EQ(get("a", "in_tx"), "Bool(true)");
  EXPECT_EQ(get("b", "uncommitted"), "Null");
  auto large = db->get("a", "large");
  ASSERT_TRUE(large.ok());
  EXPECT_EQ(large.value().as_blob(), std::string(100000, 'x'));
}

TEST_F(DatabaseTest, ReadsReturnAFreshValueEachTime) {
  set("c", "k", map_of("n", Value::integer(1)));
  auto first = db->get("c", "k");
  ASSERT_TRUE(first.ok());
  first.value().as_map().insert("n", Value::integer(99));
  EXPECT_EQ(get("c", "k"), "Map({\"n\": Int(1)})");
}

// --- Replay at open ----------------------------------------------------------

TEST_F(DatabaseTest, ReplayKeepsTheLastRecordOfEachKey) {
  db.reset();
  write_file(tmp.file("c.qdb"), record("k", INT_1) + record("k", INT_2) + record("d", INT_1) +
                                    record("d", TOMBSTONE_BYTE) + record("never", TOMBSTONE_BYTE));
  db = open_db();
  EXPECT_EQ(get("c", "k"), "Int(2)");
  EXPECT_EQ(get("c", "d"), "key not found");
  EXPECT_EQ(get("c", "never"), "key not found");
}

TEST_F(DatabaseTest, AFirstValueByteOf12DeletesWhateverTheValueLengthSays) {
  db.reset();
  write_file(tmp.file("c.qdb"), record("k", INT_1) + record("k", std::string("\x0C\x01\x02", 3)));
  db = open_db();
  EXPECT_EQ(get("c", "k"), "key not found");
}

TEST_F(DatabaseTest, OnlyEntriesWithTheExactExtensionAreLoadedAtOpen) {
  db.reset();
  const std::string garbage("\x01\0\0", 3);  // would fail any load
  write_file(tmp.file("users.qdb"), record("alice", INT_5));
  write_file(tmp.file("users.qbl"), garbage);
  write_file(tmp.file("notes.txt"), garbage);
  write_file(tmp.file(".qdb"), garbage);
  write_file(tmp.file("archive.QDB"), garbage);
  write_file(tmp.file("bad\xff.qdb"), garbage);
  write_file(tmp.file("x.qdb.bak"), garbage);
  EXPECT_EQ(open_error(), "opened");
  write_file(tmp.file("a.b.qdb"), garbage);
  EXPECT_EQ(open_error(), "io: failed to fill whole buffer");
}

TEST_F(DatabaseTest, ADottedNameKeepsEverythingBeforeTheLastDot) {
  set("a.b", "k", Value::integer(1));
  EXPECT_TRUE(exists("a.b.qdb"));
  reopen();
  EXPECT_EQ(get("a.b", "k"), "Int(1)");
}

TEST_F(DatabaseTest, TheEmptyCollectionNameLivesInDotQdbAndSurvivesReopening) {
  set("", "k", Value::integer(1));
  set("", "", Value::integer(2));
  EXPECT_EQ(bytes(".qdb"), record("k", INT_1) + record("", INT_2));
  reopen();
  EXPECT_EQ(get("", "k"), "Int(1)");
  EXPECT_EQ(get("", ""), "Int(2)");
}

TEST_F(DatabaseTest, AZeroLengthFileIsAnEmptyCollection) {
  db.reset();
  write_file(tmp.file("c.qdb"), "");
  db = open_db();
  EXPECT_EQ(get("c", "k"), "key not found");
  set("c", "k", Value::integer(1));
  EXPECT_EQ(bytes("c.qdb"), record("k", INT_1));
}

TEST_F(DatabaseTest, OpeningAMissingPathCreatesItWithParents) {
  db.reset();
  auto r = Database::open(tmp.file("x/y/z"));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value()->dir(), tmp.file("x/y/z"));
  EXPECT_TRUE(std::filesystem::is_directory(tmp.file("x/y/z")));
  EXPECT_TRUE(std::filesystem::is_empty(tmp.file("x/y/z")));
}

TEST_F(DatabaseTest, OpeningAFileFails) {
  db.reset();
  write_file(tmp.file("f"), "");
  auto r = Database::open(tmp.file("f"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(), "io: Not a directory (os error 20)");
}

// --- Damaged record files ------------------------------------------------------

// Two records; every cut that is not a record boundary fails the load.
TEST_F(DatabaseTest, EachTruncationPointInsideARecordFailsTheLoad) {
  const std::string first = record("alice", INT_5);
  const std::string whole = first + record("bob", std::string("\x04\x02\0\0\0hi", 7));
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    db.reset();
    write_file(tmp.file("c.qdb"), whole.substr(0, cut));
    bool boundary = cut == 0 || cut == first.size() || cut == whole.size();
    EXPECT_EQ(open_error(), boundary ? "opened" : "io: failed to fill whole buffer") << cut;
  }
}

TEST_F(DatabaseTest, DamagedFramingFailsTheLoadWithItsOwnText) {
  struct Case {
    std::string bytes;
    std::string error;
  };
  const Case cases[] = {
      {record("ok", INT_1) + record("\xff", INT_1), "io: invalid utf8 key"},
      {u32(0xFFFFFFFF) + "ab", "io: failed to fill whole buffer"},
      {record("k", "").substr(0, 5) + u32(0xFFFFFFFF) + "\x02", "io: failed to fill whole buffer"},
      {record("k", "") + record("j", INT_1), "io: record at offset 0 has a value length of 0"},
      // The value length is checked before the key's UTF-8.
      {u32(1) + "\xff" + u32(9) + "\x02", "io: failed to fill whole buffer"},
      // Zeros frame as empty keys with a value length of 0, once there are
      // enough of them for the two length fields.
      {record("ok", INT_1) + std::string(7, '\0'), "io: failed to fill whole buffer"},
      {record("ok", INT_1) + std::string(8, '\0'),
       "io: record at offset 19 has a value length of 0"},
      {std::string(8, '\0') + record("ok", INT_1),
       "io: record at offset 0 has a value length of 0"},
  };
  for (const Case& c : cases) {
    db.reset();
    write_file(tmp.file("c.qdb"), c.bytes);
    EXPECT_EQ(open_error(), c.error);
  }
}

TEST_F(DatabaseTest, AValueThatDoesNotDecodeFailsItsReadAndIsReplacedBySet) {
  db.reset();
  write_file(tmp.file("c.qdb"), record("k", "\x0D"));
  db = open_db();
  EXPECT_EQ(get("c", "k"), "codec: unknown type byte: 0x0D");
  set("c", "k", Value::integer(1));
  EXPECT_EQ(get("c", "k"), "Int(1)");
}

TEST_F(DatabaseTest, ARecordFileCutShortAfterOpenFailsTheReadNotTheProcess) {
  set("c", "k", Value::blob(std::string(2000, 'x')));
  reopen();
  std::filesystem::resize_file(tmp.file("c.qdb"), 1000);
  EXPECT_EQ(get("c", "k"), "io: failed to fill whole buffer");
}

TEST_F(DatabaseTest, AValueLengthDamagedAfterOpenFailsTheReadBeforeReservingIt) {
  set("c", "k", Value::integer(1));
  reopen();
  {
    std::fstream f(tmp.file("c.qdb"), std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(5);
    f.write("\xF0\xFF\xFF\xFF", 4);
  }
  EXPECT_EQ(get("c", "k"), "io: failed to fill whole buffer");
}

TEST_F(DatabaseTest, AFifoOrDirectoryNamedLikeARecordFileFailsOpenWithoutHanging) {
  db.reset();
  ASSERT_EQ(::mkfifo(tmp.file("p.qdb").c_str(), 0600), 0);
  EXPECT_EQ(open_error(), "io: not a regular file: p.qdb");
  std::filesystem::remove(tmp.file("p.qdb"));
  std::filesystem::create_directory(tmp.file("d.qdb"));
  EXPECT_EQ(open_error(), "io: Is a directory (os error 21)");
}

// A link named like a database file is followed when it leads to a file,
// but nothing is ever created where a dangling one points, whether `open`,
// a collection's first use or a backlink query meets it.
TEST_F(DatabaseTest, ALinkedFileIsServedAndADanglingLinkFailsWithoutCreatingItsTarget) {
  set("real", "k", Value::integer(5));
  db.reset();
  std::filesystem::create_directory(tmp.file("outside"));
  std::filesystem::rename(tmp.file("real.qdb"), tmp.file("outside/real.qdb"));
  std::filesystem::create_symlink(tmp.file("outside/real.qdb"), tmp.file("real.qdb"));
  db = open_db();
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(get("real", "k"), "Int(5)");
  set("real", "j", Value::integer(1));
  EXPECT_EQ(read_file(tmp.file("outside/real.qdb")).size(), 2 * 18u);  // two 18-byte records

  const std::string NO_SUCH_FILE = "io: No such file or directory (os error 2)";
  std::filesystem::create_symlink(tmp.file("outside/x.qdb"), tmp.file("x.qdb"));
  EXPECT_EQ(open_error(), NO_SUCH_FILE);
  EXPECT_FALSE(std::filesystem::exists(tmp.file("outside/x.qdb")));

  // A collection not loaded at open: the empty name, and a link that
  // appears after the open.
  std::filesystem::rename(tmp.file("x.qdb"), tmp.file(".qdb"));
  db = open_db();
  ASSERT_NE(db, nullptr);
  std::filesystem::create_symlink(tmp.file("outside/late.qdb"), tmp.file("late.qdb"));
  std::filesystem::create_symlink(tmp.file("outside/t.qbl"), tmp.file("t.qbl"));
  EXPECT_EQ(get("", "k"), NO_SUCH_FILE);
  EXPECT_EQ(get("late", "k"), NO_SUCH_FILE);
  auto linked = db->set("late", "k", Value::integer(1));
  ASSERT_FALSE(linked.ok());
  EXPECT_EQ(linked.error().display(), NO_SUCH_FILE);
  auto b = db->backlinks("t", "k");
  ASSERT_FALSE(b.ok());
  EXPECT_EQ(b.error().display(), NO_SUCH_FILE);
  for (const char* target : {"x.qdb", "late.qdb", "t.qbl"}) {
    EXPECT_FALSE(std::filesystem::exists(tmp.file("outside/") + target)) << target;
  }
}

// --- Collection names ------------------------------------------------------------

TEST_F(DatabaseTest, NamesThatCouldLeaveTheDirectoryAreRefusedBeforeAnyFileIsTouched) {
  const std::pair<std::string, std::string> cases[] = {
      {"../escape", "io: collection name must not contain \"/\""},
      {"a/b", "io: collection name must not contain \"/\""},
      {std::string("a\0b", 3), "io: collection name must not contain a NUL character"},
  };
  for (const auto& [name, error] : cases) {
    EXPECT_EQ(get(name, "k"), error);
    auto s = db->set(name, "k", Value::integer(1));
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().display(), error);
    auto b = db->backlinks(name, "k");
    ASSERT_FALSE(b.ok());
    EXPECT_EQ(b.error().display(), error);
  }
  // A link can carry into a target collection a name that can have no
  // backlink file: its write is refused before anything is stored, in a
  // transaction too.
  const std::pair<std::string, std::string> targets[] = {
      {std::string("u\0x", 3), "io: link target collection name must not contain a NUL character"},
      {std::string(252, 'u'),
       "io: link target collection name is too long for a file name (252 bytes, at most 251)"},
  };
  for (const auto& [target, error] : targets) {
    for (bool in_transaction : {false, true}) {
      if (in_transaction) db->begin();
      auto s = db->set("p", "k", map_of("to", Value::link(target + "/k")));
      ASSERT_FALSE(s.ok());
      EXPECT_EQ(s.error().display(), error);
      if (in_transaction) {
        ASSERT_TRUE(db->commit().ok());
      }
      EXPECT_EQ(get("p", "k"), "key not found");
    }
  }
  EXPECT_EQ(bytes("p.qdb"), "");
  // A record stored before with such a link was never indexed: it can be
  // replaced and deleted all the same.
  std::string stored;
  encode_value(Value::link(std::string(252, 'u') + "/k"), stored);
  std::ofstream(tmp.file("p.qdb"), std::ios::binary) << record("k", stored);
  reopen();
  set("p", "k", Value::integer(1));
  remove("p", "k");
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(tmp.path())) {
    names.push_back(e.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"p.qdb"});
  EXPECT_FALSE(
      std::filesystem::exists(std::filesystem::path(tmp.path()).parent_path() / "escape.qdb"));
}

TEST_F(DatabaseTest, ARelativePathKeepsLaterFilesInTheOpenedDirectory) {
  db.reset();
  auto old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(tmp.path());
  auto r = Database::open("db");
  ASSERT_TRUE(r.ok());
  std::filesystem::create_directory("other");
  std::filesystem::current_path("other");
  auto s = r.value()->set("late", "k", Value::link("target/k"));
  std::filesystem::current_path(old_cwd);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(r.value()->dir(), "db");
  EXPECT_TRUE(exists("db/late.qdb"));
  EXPECT_TRUE(exists("db/target.qbl"));
  EXPECT_FALSE(exists("other/db"));
}

// --- Side effects -----------------------------------------------------------------

TEST_F(DatabaseTest, AReadOfAnUnknownCollectionCreatesItsEmptyRecordFile) {
  EXPECT_EQ(get("x", "k"), "key not found");
  EXPECT_TRUE(exists("x.qdb"));
  EXPECT_EQ(bytes("x.qdb"), "");
  EXPECT_FALSE(exists("x.qbl"));
}

TEST_F(DatabaseTest, ABacklinkQueryCreatesAnEmptyBacklinkFileOnly) {
  EXPECT_TRUE(backlinks("x", "k").empty());
  EXPECT_TRUE(exists("x.qbl"));
  EXPECT_EQ(bytes("x.qbl"), "");
  EXPECT_FALSE(exists("x.qdb"));
}

TEST_F(DatabaseTest, ALinkToACollectionWithoutRecordsCreatesOnlyItsBacklinkFile) {
  set("posts", "p1", Value::link("users/alice"));
  EXPECT_TRUE(exists("users.qbl"));
  EXPECT_FALSE(exists("users.qdb"));
}

// --- Backlinks ----------------------------------------------------------------------

TEST_F(DatabaseTest, ALinkAppendsThe35ByteBacklinkRecordAndShowsInTheQuery) {
  set("posts", "p1", map_of("author", Value::link("users/alice")));
  std::string expected = backlink_record(1, "alice", "posts", "p1", "author");
  ASSERT_EQ(expected.size(), 35u);
  EXPECT_EQ(bytes("users.qbl"), expected);
  EXPECT_EQ(backlinks("users", "alice"), (std::vector<Backlink>{{"posts", "p1", "author"}}));
  reopen();
  EXPECT_EQ(backlinks("users", "alice"), (std::vector<Backlink>{{"posts", "p1", "author"}}));
}

TEST_F(DatabaseTest, AnUnchangedLinkWritesNothingAndAChangedTargetIsRemovedThenAdded) {
  set("posts", "p1", map_of("author", Value::link("users/alice")));
  set("posts", "p1", map_of("author", Value::link("users/alice")));
  EXPECT_EQ(bytes("users.qbl"), backlink_record(1, "alice", "posts", "p1", "author"));
  set("posts", "p1", map_of("author", Value::link("users/bob")));
  EXPECT_EQ(bytes("users.qbl"), backlink_record(1, "alice", "posts", "p1", "author") +
                                    backlink_record(2, "alice", "posts", "p1", "author") +
                                    backlink_record(1, "bob", "posts", "p1", "author"));
  EXPECT_TRUE(backlinks("users", "alice").empty());
  EXPECT_EQ(backlinks("users", "bob").size(), 1u);
}

TEST_F(DatabaseTest, ReplacingLinksToABWithBCTouchesOnlyAAndC) {
  Array before;
  before.push_back(Value::link("t/a"));
  before.push_back(Value::link("t/b"));
  set("s", "k", Value::array(std::move(before)));
  Array after;
  after.push_back(Value::link("t/c"));
  after.push_back(Value::link("t/b"));
  set("s", "k", Value::array(std::move(after)));
  EXPECT_EQ(bytes("t.qbl"),
            backlink_record(1, "a", "s", "k", "0") + backlink_record(1, "b", "s", "k", "1") +
                backlink_record(2, "a", "s", "k", "0") + backlink_record(1, "c", "s", "k", "0"));
}

TEST_F(DatabaseTest, AMovedLinkIsRemovedAndAddedAgain) {
  set("s", "k", map_of("x", Value::link("t/a")));
  set("s", "k", map_of("y", Value::link("t/a")));
  EXPECT_EQ(backlinks("t", "a"), (std::vector<Backlink>{{"s", "k", "y"}}));
  reopen();
  EXPECT_EQ(backlinks("t", "a"), (std::vector<Backlink>{{"s", "k", "y"}}));
}

TEST_F(DatabaseTest, DuplicateSourcePathsAreAddedAndRemovedOncePerOccurrence) {
  Map m;
  m.insert("a/b", Value::link("t/x"));
  m.insert("a", map_of("b", Value::link("t/x")));
  set("s", "k", Value::map(std::move(m)));
  EXPECT_EQ(backlinks("t", "x"), (std::vector<Backlink>(2, Backlink{"s", "k", "a/b"})));
  remove("s", "k");
  EXPECT_TRUE(backlinks("t", "x").empty());
  std::string add = backlink_record(1, "x", "s", "k", "a/b");
  std::string del = backlink_record(2, "x", "s", "k", "a/b");
  EXPECT_EQ(bytes("t.qbl"), add + add + del + del);
}

TEST_F(DatabaseTest, DeletingATargetKeepsTheBacklinksStoredUnderIt) {
  set("users", "alice", Value::link("users/bob"));
  set("posts", "p1", Value::link("users/alice"));
  remove("users", "alice");
  EXPECT_EQ(backlinks("users", "alice"), (std::vector<Backlink>{{"posts", "p1", ""}}));
  EXPECT_TRUE(backlinks("users", "bob").empty());
}

TEST_F(DatabaseTest, AnUnreadableOldValueCountsAsNoOldLinks) {
  db.reset();
  write_file(tmp.file("s.qdb"), record("k", "\x0D"));
  db = open_db();
  set("s", "k", Value::link("t/a"));
  EXPECT_EQ(backlinks("t", "a").size(), 1u);
}

TEST_F(DatabaseTest, EncodedWritesAndReadsKeepTheBytesAndTheBacklinks) {
  // An old value from the file whose link must be taken back, replaced by
  // pre-encoded bytes holding another link.
  set("posts", "p1", map_of("author", Value::link("users/alice")));
  reopen();
  std::string encoded;
  encode_value(map_of("author", Value::link("users/bob")), encoded);
  auto stored = db->set_encoded("posts", "p1", encoded, {{"users", "bob", "author"}});
  ASSERT_TRUE(stored.ok()) << stored.error().display();
  EXPECT_TRUE(backlinks("users", "alice").empty());
  EXPECT_EQ(backlinks("users", "bob"), (std::vector<Backlink>{{"posts", "p1", "author"}}));
  std::string out;
  ASSERT_TRUE(db->get_encoded("posts", "p1", out).ok());
  EXPECT_EQ(out, encoded);
  // A single Tombstone byte deletes, and takes the link back.
  ASSERT_TRUE(db->set_encoded("posts", "p1", TOMBSTONE_BYTE, {}).ok());
  EXPECT_TRUE(backlinks("users", "bob").empty());
  EXPECT_EQ(db->get_encoded("posts", "p1", out).error().display(), "key not found");
  reopen();
  ASSERT_TRUE(db->set_encoded("posts", "p2", INT_5, {}).ok());
  reopen();
  ASSERT_TRUE(db->get_encoded("posts", "p2", out).ok());
  EXPECT_EQ(out, INT_5);
}

// --- Transactions -------------------------------------------------------------------

TEST_F(DatabaseTest, ATransactionBuffersRecordsAndQueuesBacklinksUntilCommit) {
  set("s", "before", Value::integer(1));
  db->begin();
  set("s", "k", Value::link("t/a"));
  EXPECT_EQ(get("s", "k"), "Link(Link { path: \"t/a\", local: {} })");
  EXPECT_EQ(bytes("s.qdb"), record("before", INT_1));
  EXPECT_TRUE(backlinks("t", "a").empty());
  ASSERT_TRUE(db->commit().ok());
  EXPECT_FALSE(db->in_transaction());
  EXPECT_EQ(backlinks("t", "a"), (std::vector<Backlink>{{"s", "k", ""}}));
  EXPECT_EQ(bytes("s.qdb").size(), record("before", INT_1).size() + 4 + 1 + 4 + 12);
}

TEST_F(DatabaseTest, ACollectionFirstUsedInATransactionTakesPartInIt) {
  db->begin();
  set("new", "k", Value::integer(1));
  EXPECT_EQ(bytes("new.qdb"), "");
  ASSERT_TRUE(db->commit().ok());
  EXPECT_EQ(bytes("new.qdb"), record("k", INT_1));
}

TEST_F(DatabaseTest, RecordsBeyondTheBufferReachTheFileBeforeCommitAsWholeRecords) {
  db->begin();
  const std::string value(30000, 'x');
  for (int i = 0; i < 3; ++i) set("c", std::to_string(i), Value::blob(value));
  std::string one = record("0", "\x06" + u32(30000) + value);
  // Two records fill 60018 bytes; the third does not fit, so the first two go out.
  EXPECT_EQ(bytes("c.qdb").size(), 2 * one.size());
  ASSERT_TRUE(db->commit().ok());
  EXPECT_EQ(bytes("c.qdb").size(), 3 * one.size());
}

// Records that go out before commit take their backlink changes along: a
// second Database opened mid-transaction (as one opened after a kill would
// be) finds exactly the backlinks of the records it reads, while the
// writer's own queries show the changes only after commit, and a reopen
// lists the rows in the order the commit made them.
TEST_F(DatabaseTest, RecordsPushedInATransactionTakeTheirBacklinksToTheFile) {
  const std::string pad(6000, 'p');
  auto linking = [&](int target) {
    Map m;
    m.insert("to", Value::link("t/" + std::to_string(target)));
    m.insert("pad", Value::text(pad));
    return Value::map(std::move(m));
  };
  // Rows as (target key, source collection, source key), sorted.
  using Rows = std::vector<std::tuple<std::string, std::string, std::string>>;
  auto rows_of = [](Database& d, const std::vector<std::string>& keys) {
    Rows from_records, from_index;
    for (const char* c : {"a", "b"}) {
      for (const std::string& k : std::set<std::string>(keys.begin(), keys.end())) {
        auto v = d.get(c, k);
        if (!v.ok()) continue;
        for (const OutgoingLink& l : extract_links(v.value())) {
          from_records.emplace_back(l.target_key, c, k);
        }
      }
    }
    for (int x = 0; x < 3; ++x) {
      auto rows = d.backlinks("t", std::to_string(x));
      if (!rows.ok()) continue;
      for (const Backlink& b : rows.value()) {
        from_index.emplace_back(std::to_string(x), b.source_collection, b.source_key);
      }
    }
    std::sort(from_records.begin(), from_records.end());
    std::sort(from_index.begin(), from_index.end());
    return std::make_pair(from_records, from_index);
  };
  std::vector<std::string> keys;
  db->begin();
  for (int i = 0; i < 240; ++i) {
    const std::string c = i % 2 ? "a" : "b";
    if (i % 5 == 4) {
      remove(c, keys[size_t(i) / 3]);  // an earlier key, maybe of the other collection
    } else {
      keys.push_back(std::to_string(i % 60));
      set(c, keys.back(), linking(i % 3));
    }
    if (i % 40 == 39) {
      EXPECT_TRUE(backlinks("t", "0").empty());
      auto reader = open_db();
      ASSERT_NE(reader, nullptr);
      auto [from_records, from_index] = rows_of(*reader, keys);
      EXPECT_FALSE(from_records.empty()) << i;
      EXPECT_EQ(from_records, from_index) << i;
    }
  }
  ASSERT_TRUE(db->commit().ok());
  std::vector<std::vector<Backlink>> committed;
  for (int x = 0; x < 3; ++x) committed.push_back(backlinks("t", std::to_string(x)));
  reopen();
  for (int x = 0; x < 3; ++x) EXPECT_EQ(backlinks("t", std::to_string(x)), committed[size_t(x)]);
  auto [from_records, from_index] = rows_of(*db, keys);
  EXPECT_EQ(from_records, from_index);
}

TEST_F(DatabaseTest, DestructionWithoutCommitWritesRecordsAndTheirBacklinks) {
  db->begin();
  set("s", "k", map_of("to", Value::link("t/a")));
  set("s", "j", Value::link("t/a"));
  remove("s", "j");
  reopen();
  EXPECT_EQ(get("s", "k"), "Map({\"to\": Link(Link { path: \"t/a\", local: {} })})");
  EXPECT_EQ(get("s", "j"), "key not found");
  EXPECT_EQ(backlinks("t", "a"), (std::vector<Backlink>{{"s", "k", "to"}}));
}

TEST_F(DatabaseTest, CommitWithoutBeginSucceedsAndBeginTwiceStaysInOneTransaction) {
  ASSERT_TRUE(db->commit().ok());
  db->begin();
  db->begin();
  set("c", "k", Value::integer(1));
  EXPECT_EQ(bytes("c.qdb"), "");
  ASSERT_TRUE(db->commit().ok());
  EXPECT_EQ(bytes("c.qdb"), record("k", INT_1));
  set("c", "j", Value::integer(1));
  EXPECT_EQ(bytes("c.qdb"), record("k", INT_1) + record("j", INT_1));
}

// --- Resolution through the database ------------------------------------------------

TEST_F(DatabaseTest, ResolveFollowsStoredLinksAndReportsAMissingStartAsStorage) {
  set("users", "alice", map_of("name", Value::text("Ann")));
  set("posts", "p1", map_of("author", Value::link("users/alice")));
  reopen();
  auto name = db->resolve("posts", "p1", {"author", "name"});
  ASSERT_TRUE(name.ok()) << name.error().display();
  EXPECT_EQ(name.value().debug_text(), "Text(\"Ann\")");
  remove("users", "alice");
  auto gone = db->resolve("posts", "p1", {"author", "name"});
  ASSERT_TRUE(gone.ok());
  EXPECT_EQ(gone.value().debug_text(), "Null");
  auto missing = db->resolve("posts", "nope", {});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().display(), "storage: key not found");
  auto bad_name = db->resolve("a/b", "k", {});
  ASSERT_FALSE(bad_name.ok());
  EXPECT_EQ(bad_name.error().display(), "storage: io: collection name must not contain \"/\"");
}

// --- Injected failures ----------------------------------------------------------------

class DatabaseFaultTest : public DatabaseFixture {
 protected:
  using FaultOp = testing::FaultOp;

  Result<std::unique_ptr<Database>, StorageError> open_result() override {
    return Database::open("db", platform);
  }
  std::string set(std::string_view c, std::string_view k, Value v) {
    auto r = db->set(c, k, std::move(v));
    return r.ok() ? "ok" : r.error().display();
  }
  size_t backlink_count(std::string_view c, std::string_view k) { return backlinks(c, k).size(); }
  std::string file(const std::string& name) {
    return platform.contents("db", name).value_or("<missing>");
  }

  testing::MemoryPlatform platform;
};

TEST_F(DatabaseFaultTest, AFailedPushStillMakesTheWritesBacklinksThenReportsThePushError) {
  platform.fail(FaultOp::Write, 1, IoError::os(ENOSPC), "s.qdb");
  EXPECT_EQ(set("s", "k", Value::link("t/a")), "io: No space left on device (os error 28)");
  EXPECT_EQ(file("s.qdb"), "");
  EXPECT_EQ(get("s", "k"), "Link(Link { path: \"t/a\", local: {} })");
  EXPECT_EQ(backlink_count("t", "a"), 1u);
  platform.short_write(1, 0, "s.qdb");
  EXPECT_EQ(set("s", "j", Value::integer(1)), "io: failed to write the buffered data");
  EXPECT_EQ(set("s", "i", Value::integer(2)), "ok");
  reopen();
  EXPECT_EQ(get("s", "k"), "Link(Link { path: \"t/a\", local: {} })");
  EXPECT_EQ(get("s", "j"), "Int(1)");
  EXPECT_EQ(backlink_count("t", "a"), 1u);
}

// The old value's links decide which backlinks the write removes; a system
// failure to read it must not let them stay behind for good.
TEST_F(DatabaseFaultTest, ASystemFailureReadingTheOldValueFailsTheSetBeforeAnyWrite) {
  EXPECT_EQ(set("s", "k", Value::link("t/a")), "ok");
  reopen();
  const std::string before = file("s.qdb");
  platform.fail(FaultOp::ReadAt, 1, IoError::os(EIO), "s.qdb");
  EXPECT_EQ(set("s", "k", Value::link("t/b")), "io: Input/output error (os error 5)");
  EXPECT_EQ(file("s.qdb"), before);
  EXPECT_EQ(set("s", "k", Value::link("t/b")), "ok");
  EXPECT_EQ(backlink_count("t", "a"), 0u);
  EXPECT_EQ(backlink_count("t", "b"), 1u);
}

TEST_F(DatabaseFaultTest, AWriteRefusedBeforeTheBufferDoesNoBacklinkWork) {
  EXPECT_EQ(set("s", "k", Value::blob(std::string(10, 'x'))), "ok");
  platform.fail(FaultOp::Write, 1, IoError::os(EIO), "s.qdb");
  Map m;
  m.insert("to", Value::link("t/a"));
  m.insert("pad", Value::blob(std::string(70000, 'x')));
  EXPECT_EQ(set("s", "k", Value::map(std::move(m))), "io: Input/output error (os error 5)");
  EXPECT_EQ(get("s", "k"), "Blob([120, 120, 120, 120, 120, 120, 120, 120, 120, 120])");
  EXPECT_FALSE(platform.exists("db", "t.qbl"));
  reopen();
  EXPECT_EQ(get("s", "k"), "Blob([120, 120, 120, 120, 120, 120, 120, 120, 120, 120])");
}

TEST_F(DatabaseFaultTest, AFailedBacklinkWriteIsReportedAfterTheRecordIsStored) {
  Array links;
  links.push_back(Value::link("t/a"));
  links.push_back(Value::link("t/b"));
  platform.short_write(1, 3, "t.qbl");
  platform.fail(FaultOp::Write, 2, IoError::os(EIO), "t.qbl");
  EXPECT_EQ(set("s", "k", Value::array(std::move(links))), "io: Input/output error (os error 5)");
  EXPECT_EQ(get("s", "k").substr(0, 6), "Array(");
  EXPECT_EQ(backlink_count("t", "a"), 0u);
  EXPECT_EQ(backlink_count("t", "b"), 0u);
  reopen();
  EXPECT_EQ(backlink_count("t", "a"), 0u);
  EXPECT_EQ(get("s", "k").substr(0, 6), "Array(");
}

TEST_F(DatabaseFaultTest, AFailedCommitPushLeavesHandledCollectionsOutOfTheTransaction) {
  db->begin();
  EXPECT_EQ(set("a", "k", Value::integer(1)), "ok");
  EXPECT_EQ(set("b", "k", Value::link("t/x")), "ok");
  platform.fail(FaultOp::Write, 1, IoError::os(ENOSPC), "a.qdb");
  auto failed = db->commit();
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().display(), "io: No space left on device (os error 28)");
  EXPECT_TRUE(db->in_transaction());
  // b is out of the transaction exactly when the commit reached it first.
  bool b_handled = file("b.qdb") != "";
  std::string b_before = file("b.qdb");
  EXPECT_EQ(set("b", "j", Value::integer(2)), "ok");
  EXPECT_EQ(file("b.qdb") != b_before, b_handled);
  EXPECT_EQ(set("a", "j", Value::integer(2)), "ok");
  EXPECT_EQ(file("a.qdb"), "");
  EXPECT_EQ(backlink_count("t", "x"), 0u);
  ASSERT_TRUE(db->commit().ok());
  EXPECT_FALSE(db->in_transaction());
  EXPECT_EQ(backlink_count("t", "x"), 1u);
  reopen();
  EXPECT_EQ(get("a", "j"), "Int(2)");
  EXPECT_EQ(get("b", "j"), "Int(2)");
}

TEST_F(DatabaseFaultTest, ACommitStoppedAtABacklinkChangeRetriesItAndTheRestLater) {
  db->begin();
  EXPECT_EQ(set("s", "k", Value::link("t/a")), "ok");
  EXPECT_EQ(set("s", "j", Value::link("u/b")), "ok");
  platform.fail(FaultOp::Write, 1, IoError::os(EIO), "t.qbl");
  ASSERT_FALSE(db->commit().ok());
  EXPECT_TRUE(db->in_transaction());
  EXPECT_EQ(backlink_count("t", "a"), 0u);
  EXPECT_EQ(backlink_count("u", "b"), 0u);
  db->begin();  // keeps what is queued
  EXPECT_EQ(set("s", "i", Value::link("t/c")), "ok");
  ASSERT_TRUE(db->commit().ok());
  EXPECT_EQ(backlink_count("t", "a"), 1u);
  EXPECT_EQ(backlink_count("u", "b"), 1u);
  EXPECT_EQ(backlink_count("t", "c"), 1u);
  reopen();
  EXPECT_EQ(backlink_count("t", "a"), 1u);
  EXPECT_EQ(backlink_count("t", "c"), 1u);
}

TEST_F(DatabaseFaultTest, ACommitWritesEachRunOfChangesWholeOrNotAtAll) {
  db->begin();
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(set("s", std::to_string(i) + "k", Value::link("t/a")), "ok");
  }
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(set("s", std::to_string(i) + "j", Value::link("u/b")), "ok");
  }
  // The run for u is torn part-way: it is cut back and kept for the next
  // commit, while the run for t before it stays made.
  platform.short_write(1, 100, "u.qbl");
  platform.fail(FaultOp::Write, 2, IoError::os(EIO), "u.qbl");
  ASSERT_FALSE(db->commit().ok());
  EXPECT_EQ(backlink_count("t", "a"), 50u);
  EXPECT_EQ(backlink_count("u", "b"), 0u);
  EXPECT_EQ(file("u.qbl"), "");
  ASSERT_TRUE(db->commit().ok());
  EXPECT_EQ(backlink_count("t", "a"), 50u);
  EXPECT_EQ(backlink_count("u", "b"), 50u);
  reopen();
  EXPECT_EQ(backlink_count("t", "a"), 50u);
  EXPECT_EQ(backlink_count("u", "b"), 50u);
}

TEST_F(DatabaseFaultTest, DestructionAppliesChangesLeftByAFailedCommit) {
  db->begin();
  EXPECT_EQ(set("s", "k", Value::link("t/a")), "ok");
  platform.fail(FaultOp::Write, 1, IoError::os(EIO), "t.qbl");
  ASSERT_FALSE(db->commit().ok());
  reopen();
  EXPECT_EQ(backlink_count("t", "a"), 1u);
}

TEST_F(DatabaseFaultTest, AFailedLoadAtOpenFailsOpenAndAFailedFirstUseEntersNothing) {
  platform.put("db", "c.qdb", "");
  platform.fail(FaultOp::Open, 1, IoError::os(EACCES), "c.qdb");
  db.reset();
  auto r = Database::open("db", platform);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(), "io: Permission denied (os error 13)");
  db = open_db();
  platform.fail(FaultOp::Open, 1, IoError::os(EACCES), "n.qdb");
  EXPECT_EQ(get("n", "k"), "io: Permission denied (os error 13)");
  EXPECT_EQ(get("n", "k"), "key not found");
}

// --- The directory lock ---------------------------------------------------------------

const char BUSY[] = "io: directory is being repaired, compacted or loaded";

std::unique_ptr<Directory> exclusively_locked(Platform& platform, const std::string& path) {
  auto dir = platform.open_existing_directory(path);
  EXPECT_TRUE(dir.ok()) << dir.error().display();
  auto locked = dir.value()->lock_exclusive();
  EXPECT_TRUE(locked.ok() && locked.value() == LockStatus::Acquired);
  return std::move(dir).value();
}

TEST_F(DatabaseFaultTest, DatabasesShareTheDirectoryAndAnExclusiveLockMakesOpenFailAtOnce) {
  auto second = Database::open("db", platform);
  ASSERT_TRUE(second.ok());
  auto maintenance = platform.open_existing_directory("db").value();
  EXPECT_EQ(maintenance->lock_exclusive().value(), LockStatus::WouldBlock);
  second.value().reset();
  db.reset();
  ASSERT_EQ(maintenance->lock_exclusive().value(), LockStatus::Acquired);
  auto r = Database::open("db", platform);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(), BUSY);
  maintenance.reset();
  db = open_db();
  EXPECT_NE(db, nullptr);
}

TEST_F(DatabaseFaultTest, AFileSystemThatCannotLockStillOpens) {
  db.reset();
  platform.fail(FaultOp::Lock, 1, IoError::os(ENOLCK));
  db = open_db();
  ASSERT_NE(db, nullptr);
  // No lock was taken, so nothing keeps maintenance out either.
  auto maintenance = platform.open_existing_directory("db").value();
  EXPECT_EQ(maintenance->lock_exclusive().value(), LockStatus::Acquired);
}

// Maintenance holds the exclusive lock on the handle it gives the Database,
// or on another handle it keeps; either way other opens stay out while the
// lock lasts, and its own Database reads and writes.
TEST_F(DatabaseFaultTest, MaintenanceOpensOnALockedDirectoryWhileOtherOpensFail) {
  for (bool lock_on_given_handle : {true, false}) {
    SCOPED_TRACE(lock_on_given_handle);
    db.reset();
    auto locked = exclusively_locked(platform, "db");
    std::unique_ptr<Directory> kept;
    if (!lock_on_given_handle) {
      kept = std::move(locked);
      locked = platform.open_existing_directory("db").value();
    }
    auto own = Database::open_on_locked_directory(std::move(locked), "db");
    ASSERT_TRUE(own.ok()) << own.error().display();
    EXPECT_EQ(own.value()->dir(), "db");
    ASSERT_TRUE(own.value()->set("c", "k", Value::integer(lock_on_given_handle)).ok());
    EXPECT_EQ(Database::open("db", platform).error().display(), BUSY);
    own.value().reset();
    EXPECT_EQ(Database::open("db", platform).ok(), lock_on_given_handle);
    kept.reset();
    db = open_db();
    EXPECT_EQ(get("c", "k"), "Int(" + std::to_string(int(lock_on_given_handle)) + ")");
  }
}

}  // namespace
}  // namespace zez
