#include "db/backlink_index.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "memory_platform.h"

namespace zez {
namespace {

using testing::FaultOp;
using testing::MemoryPlatform;

// ---- The backlink file ------------------------------------------------

std::string u32(uint32_t v) {
  return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

std::string record(uint8_t op, const std::string& key, const Backlink& b) {
  std::string out(1, char(op));
  for (const std::string* s : {&key, &b.source_collection, &b.source_key, &b.source_path}) {
    out += u32(uint32_t(s->size())) + *s;
  }
  return out;
}

const Backlink P1{"posts", "p1", "author"};
const Backlink P2{"posts", "p2", "author"};

// One add or remove record, written alone.
Result<Unit, IoError> add(BacklinkIndex& index, std::string_view key, Backlink b) {
  return index.apply({{BacklinkChange::Add, key, &b}});
}
Result<Unit, IoError> remove(BacklinkIndex& index, std::string_view key, Backlink b) {
  return index.apply({{BacklinkChange::Remove, key, &b}});
}

class BacklinkFile : public ::testing::Test {
 protected:
  static constexpr const char* NAME = "users.qbl";

  Result<std::unique_ptr<BacklinkIndex>, IoError> try_load() {
    return BacklinkIndex::load(*dir_, NAME);
  }
  std::unique_ptr<BacklinkIndex> load() {
    auto r = try_load();
    if (!r.ok()) ADD_FAILURE() << r.error().display();
    return r.ok() ? std::move(r).value() : nullptr;
  }
  std::string load_error() {
    auto r = try_load();
    return r.ok() ? "(loaded)" : r.error().display();
  }
  std::string file() { return platform_.contents("db", NAME).value_or("(missing)"); }
  void put_file(std::string bytes) { platform_.put("db", NAME, std::move(bytes)); }

  MemoryPlatform platform_;
  std::unique_ptr<Directory> dir_ = platform_.open_directory("db").value();
};

TEST_F(BacklinkFile, AddAppendsTheDocumentedRecord) {
  auto index = load();
  ASSERT_TRUE(add(*index, "alice", P1).ok());
  const std::string expected = std::string(
      "\x01\x05\x00\x00\x00"
      "alice"
      "\x05\x00\x00\x00"
      "posts"
      "\x02\x00\x00\x00"
      "p1"
      "\x06\x00\x00\x00"
      "author",
      35);
  EXPECT_EQ(file(), expected);
  EXPECT_EQ(index->query("alice"), std::vector<Backlink>{P1});
  ASSERT_TRUE(remove(*index, "alice", P1).ok());
  EXPECT_EQ(file(), expected + '\x02' + expected.substr(1));
  EXPECT_TRUE(index->query("alice").empty());
}

TEST_F(BacklinkFile, LoadingAMissingFileCreatesItEmpty) {
  auto index = load();
  EXPECT_EQ(file(), "");
  EXPECT_TRUE(index->query("alice").empty());
}

TEST_F(BacklinkFile, ReplayAddsRemovesAndSkipsUnknownOps) {
  const Backlink other{"posts", "p1", "editor"};
  put_file(record(1, "alice", P1) + record(1, "alice", P2) + record(1, "alice", P1) +
           record(1, "alice", other) + record(7, "alice", P2) + record(0, "bob", P1) +
           record(2, "alice", P1) + record(2, "nobody", P1) + record(1, "bob", P2) +
           record(2, "bob", P2));
  auto index = load();
  // Both copies of P1 go; the others keep their order.
  EXPECT_EQ(index->query("alice"), (std::vector<Backlink>{P2, other}));
  EXPECT_TRUE(index->query("bob").empty());
  EXPECT_TRUE(index->query("nobody").empty());
  // bob's emptied list holds no entry; alice's does.
  EXPECT_EQ(index->target_count(), 1u);
}

TEST_F(BacklinkFile, EqualEntriesAreKeptTwiceAndRemovedTogether) {
  auto index = load();
  ASSERT_TRUE(add(*index, "alice", P1).ok());
  ASSERT_TRUE(add(*index, "alice", P2).ok());
  ASSERT_TRUE(add(*index, "alice", P1).ok());
  EXPECT_EQ(index->query("alice"), (std::vector<Backlink>{P1, P2, P1}));
  ASSERT_TRUE(remove(*index, "alice", P1).ok());
  EXPECT_EQ(index->query("alice"), std::vector<Backlink>{P2});
  // A removal of something absent still writes its record.
  const size_t before = file().size();
  ASSERT_TRUE(remove(*index, "carol", P1).ok());
  EXPECT_GT(file().size(), before);
  EXPECT_EQ(load()->query("alice"), std::vector<Backlink>{P2});
  // A key whose last backlink goes holds no entry.
  ASSERT_TRUE(remove(*index, "alice", P2).ok());
  EXPECT_EQ(index->target_count(), 0u);
}

// A key many records link to, thinned out in rounds that each take more
// than half of its rows (so its list is squeezed again and again), with
// copies of rows and a second key in between: every query, and the reload
// from the file, gives exactly what removing from a plain list gives.
TEST_F(BacklinkFile, AHotKeyKeepsItsRowsInOrderThroughDeletesAndReload) {
  auto index = load();
  std::vector<Backlink> hot, other;
  const auto row = [](int i) {
    return Backlink{"tasks", std::string("t").append(std::to_string(i)), "status"};
  };
  for (int i = 0; i < 3000; ++i) {
    Backlink b = row(i % 2500);  // rows 0..499 twice
    hot.push_back(b);
    ASSERT_TRUE(add(*index, "hot", b).ok());
    if (i % 100 == 0) {
      other.push_back(b);
      ASSERT_TRUE(add(*index, "cold", b).ok());
    }
  }
  for (int step : {3, 2, 5, 2}) {
    for (int i = 0; i < 2500; i += step) {
      std::erase(hot, row(i));
      ASSERT_TRUE(remove(*index, "hot", row(i)).ok());
    }
    ASSERT_EQ(index->query("hot"), hot);
    // Rows added after a squeeze go last and are removed by their copies'
    // new places.
    for (int i = 7; i < 2500; i += 500) {
      hot.push_back(row(i));
      ASSERT_TRUE(add(*index, "hot", row(i)).ok());
    }
    ASSERT_EQ(index->query("hot"), hot);
  }
  EXPECT_EQ(index->query("cold"), other);
  auto reloaded = load();
  EXPECT_EQ(reloaded->query("hot"), hot);
  EXPECT_EQ(reloaded->query("cold"), other);
  for (const Backlink& b : std::vector<Backlink>(hot)) ASSERT_TRUE(remove(*reloaded, "hot", b).ok());
  EXPECT_EQ(reloaded->query("hot"), std::vector<Backlink>{});
  EXPECT_EQ(reloaded->target_count(), 1u);
}

TEST_F(BacklinkFile, EmptyAndNonAsciiStringsRoundTrip) {
  const Backlink odd{"", "ключ", ""};
  {
    auto index = load();
    ASSERT_TRUE(add(*index, "", odd).ok());
    ASSERT_TRUE(add(*index, "é", P1).ok());
  }
  auto index = load();
  EXPECT_EQ(index->query(""), std::vector<Backlink>{odd});
  EXPECT_EQ(index->query("é"), std::vector<Backlink>{P1});
}

// A file cut at every offset loads only when the cut falls between records,
// whatever size the reads come back in.
TEST_F(BacklinkFile, EveryTruncationInsideARecordFailsToFill) {
  const std::string first = record(1, "alice", P1);
  const std::string full = first + record(1, "bob", P2);
  for (size_t chunk : {0, 1, 3}) {
    platform_.limit_reads(chunk);
    for (size_t cut = 0; cut <= full.size(); ++cut) {
      put_file(full.substr(0, cut));
      if (cut == 0 || cut == first.size() || cut == full.size()) {
        EXPECT_EQ(load_error(), "(loaded)") << cut;
      } else {
        EXPECT_EQ(load_error(), "failed to fill whole buffer") << "cut " << cut;
      }
    }
  }
}

// A zero op byte and four zero lengths are a whole record of an ignored op.
TEST_F(BacklinkFile, ZerosLoadOnlyAsWholeRecordsOfAnIgnoredOp) {
  const std::string first = record(1, "alice", P1);
  put_file(first + std::string(34, '\0'));
  EXPECT_EQ(load()->query("alice"), std::vector<Backlink>{P1});
  put_file(first + std::string(20, '\0'));
  EXPECT_EQ(load_error(), "failed to fill whole buffer");
}

TEST_F(BacklinkFile, HugeLengthInATinyFileFailsToFill) {
  put_file(std::string("\x01", 1) + u32(0xFFFFFFFF) + "abc");
  EXPECT_EQ(load_error(), "failed to fill whole buffer");
  put_file(record(1, "alice", P1).substr(0, 10) + u32(0xFFFFFFF0));
  EXPECT_EQ(load_error(), "failed to fill whole buffer");
}

TEST_F(BacklinkFile, InvalidUtf8InAnyStringFailsAtOnce) {
  const std::string bad = "\xC3(";
  const Backlink in_fields[] = {{bad, "k", "p"}, {"c", bad, "p"}, {"c", "k", bad}};
  put_file(record(1, bad, P1));
  EXPECT_EQ(load_error(), "invalid utf8 in backlink");
  for (const Backlink& b : in_fields) {
    put_file(record(2, "alice", b));
    EXPECT_EQ(load_error(), "invalid utf8 in backlink");
  }
  // The bad string is reported before the cut-short one after it is read.
  put_file(std::string("\x01", 1) + u32(2) + bad + u32(100));
  EXPECT_EQ(load_error(), "invalid utf8 in backlink");
  // An ignored op is checked all the same.
  put_file(record(9, bad, P1));
  EXPECT_EQ(load_error(), "invalid utf8 in backlink");
}

TEST_F(BacklinkFile, ReplaySpanningManyBufferFillsMatchesTheWrites) {
  std::string bytes;
  for (int i = 0; i < 20000; ++i) {
    std::string key(1, 'k');
    key += std::to_string(i % 7);
    const Backlink b{"c", std::to_string(i), "p"};
    bytes += record(1, key, b);
    if (i % 3 == 0) bytes += record(2, key, b);
  }
  ASSERT_GT(bytes.size(), 2u * 256 * 1024);  // more than two buffer fills
  put_file(bytes);
  auto index = load();
  std::vector<Backlink> expected;
  for (int i = 0; i < 20000; ++i) {
    if (i % 7 == 3 && i % 3 != 0) expected.push_back(Backlink{"c", std::to_string(i), "p"});
  }
  EXPECT_EQ(index->query("k3"), expected);
  // Appends after the load land after the replayed records.
  ASSERT_TRUE(add(*index, "k3", P1).ok());
  expected.push_back(P1);
  EXPECT_EQ(load()->query("k3"), expected);
}

TEST_F(BacklinkFile, OpenAndReadFailuresFailTheLoad) {
  platform_.fail(FaultOp::Open, 1, IoError::os(EACCES));
  EXPECT_EQ(load_error(), IoError::os(EACCES).display());
  put_file(record(1, "alice", P1));
  platform_.fail(FaultOp::ReadAt, 1, IoError::os(EIO));
  EXPECT_EQ(load_error(), IoError::os(EIO).display());
}

// ---- Write failures ---------------------------------------------------

struct WriteFault {
  const char* name;
  void (*plan)(MemoryPlatform&);
  const char* error;
};

const IoError DISK_FULL = IoError::os(ENOSPC);

class BacklinkWriteFailure : public BacklinkFile,
                             public ::testing::WithParamInterface<WriteFault> {};

// Whatever way the write fails, the file is cut back to where it was, the
// list is unchanged, and later records land on a clean boundary.
TEST_P(BacklinkWriteFailure, LeavesTheFileAndListAsBefore) {
  auto index = load();
  ASSERT_TRUE(add(*index, "alice", P1).ok());
  const std::string before = file();
  GetParam().plan(platform_);
  for (bool adding : {true, false}) {
    auto r = adding ? add(*index, "alice", P2) : remove(*index, "alice", P1);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().display(), GetParam().error);
    EXPECT_EQ(file(), before);
    EXPECT_EQ(index->query("alice"), std::vector<Backlink>{P1});
    GetParam().plan(platform_);
  }
  platform_.clear_faults();
  ASSERT_TRUE(add(*index, "alice", P2).ok());
  EXPECT_EQ(load()->query("alice"), (std::vector<Backlink>{P1, P2}));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BacklinkWriteFailure,
    ::testing::Values(WriteFault{"Error",
                                 [](MemoryPlatform& p) { p.fail(FaultOp::Write, 1, DISK_FULL); },
                                 "No space left on device (os error 28)"},
                      WriteFault{"ZeroWrite", [](MemoryPlatform& p) { p.short_write(1, 0); },
                                 "failed to write whole buffer"},
                      WriteFault{"PartThenError",
                                 [](MemoryPlatform& p) {
                                   p.short_write(1, 7);
                                   p.fail(FaultOp::Write, 2, DISK_FULL);
                                 },
                                 "No space left on device (os error 28)"},
                      WriteFault{"PartThenZero",
                                 [](MemoryPlatform& p) {
                                   p.short_write(1, 20);
                                   p.short_write(2, 0);
                                 },
                                 "failed to write whole buffer"},
                      WriteFault{"SizeUnknown",
                                 [](MemoryPlatform& p) { p.fail(FaultOp::Size, 1, DISK_FULL); },
                                 "No space left on device (os error 28)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BacklinkFile, PartialWritesThatGoOnCompleteTheRecord) {
  auto index = load();
  platform_.short_write(1, 3);
  platform_.short_write(2, 1);
  ASSERT_TRUE(add(*index, "alice", P1).ok());
  EXPECT_EQ(file(), record(1, "alice", P1));
  EXPECT_EQ(platform_.count(FaultOp::Write), 3u);
}

TEST_F(BacklinkFile, ARecordThatCannotBeCutBackIsFinishedInstead) {
  auto index = load();
  platform_.short_write(1, 5);
  platform_.fail(FaultOp::Write, 2, DISK_FULL);
  platform_.fail(FaultOp::Truncate, 1, IoError::os(EIO));
  ASSERT_TRUE(add(*index, "alice", P1).ok());
  EXPECT_EQ(file(), record(1, "alice", P1));
  EXPECT_EQ(index->query("alice"), std::vector<Backlink>{P1});
}

TEST_F(BacklinkFile, ARecordThatCanNeitherBeCutNorFinishedStopsEveryLaterAppend) {
  auto index = load();
  ASSERT_TRUE(add(*index, "alice", P1).ok());
  platform_.short_write(1, 5);
  platform_.fail(FaultOp::Write, 2, DISK_FULL);
  platform_.fail(FaultOp::Write, 3, DISK_FULL);
  platform_.fail(FaultOp::Truncate, 1, IoError::os(EIO));
  auto r = add(*index, "alice", P2);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(), DISK_FULL.display());
  const std::string torn = file();
  const std::string refused =
      "backlink file holds a partial record that could not be cut off; "
      "no further changes are written to it";
  auto again = add(*index, "bob", P2);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().display(), refused);
  auto removal = remove(*index, "alice", P1);
  ASSERT_FALSE(removal.ok());
  EXPECT_EQ(removal.error().display(), refused);
  EXPECT_EQ(file(), torn);
  EXPECT_EQ(index->query("alice"), std::vector<Backlink>{P1});
}

// The size before a record is measured when it is written, so a failure cut
// never removes what another handle on the same file appended meanwhile.
TEST_F(BacklinkFile, ACutBackKeepsAnotherHandlesRecords) {
  auto first = load();
  auto second = load();
  ASSERT_TRUE(add(*first, "alice", P1).ok());
  platform_.short_write(1, 4);
  platform_.fail(FaultOp::Write, 2, DISK_FULL);
  ASSERT_FALSE(add(*second, "alice", P2).ok());
  EXPECT_EQ(file(), record(1, "alice", P1));
  ASSERT_TRUE(add(*second, "bob", P2).ok());
  auto reloaded = load();
  EXPECT_EQ(reloaded->query("alice"), std::vector<Backlink>{P1});
  EXPECT_EQ(reloaded->query("bob"), std::vector<Backlink>{P2});
}

}  // namespace
}  // namespace zez
