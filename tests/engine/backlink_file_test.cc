#include "db/backlink_file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "codec/byte_order.h"
#include "memory_platform.h"

namespace zez {
namespace {

using testing::FaultOp;
using testing::MemoryPlatform;

std::string record(uint8_t op, const BacklinkStrings& s) {
  std::string out;
  EXPECT_TRUE(frame_backlink_record(op, s, out).ok());
  return out;
}

const BacklinkStrings ALICE{"alice", "posts", "p1", "author"};
const BacklinkStrings BOB{"bob", "posts", "p2", ""};

struct Seen {
  struct Visit {
    uint64_t offset;
    uint64_t end;
    uint8_t op;
    std::string strings;  // the four, joined with "|"
    bool utf8;
    bool operator==(const Visit&) const = default;
  };
  std::vector<Visit> visits;
  ScanEnd end;
};

class BacklinkScan : public ::testing::Test {
 protected:
  Seen scan(const std::string& bytes) {
    platform.put("db", "t.qbl", bytes);
    auto file = dir->open("t.qbl", OpenMode::ReadOnly).value();
    Seen seen;
    seen.end = scan_backlink_file(*file, [&](const BacklinkRecordView& r) {
      const BacklinkStrings& s = r.strings;
      std::string joined = std::string(s.target_key) + "|" + std::string(s.source_collection) +
                           "|" + std::string(s.source_key) + "|" + std::string(s.source_path);
      seen.visits.push_back({r.offset, r.end, r.op, joined, r.strings_are_utf8});
      return true;
    });
    return seen;
  }

  MemoryPlatform platform;
  std::unique_ptr<Directory> dir = platform.open_directory("db").value();
};

TEST_F(BacklinkScan, VisitsEveryRecordWhateverItsOp) {
  const std::string a = record(1, ALICE);
  const std::string b = record(2, BOB);
  const std::string bytes = a + b + record(7, ALICE);
  for (size_t read_limit : {size_t(0), size_t(3)}) {
    platform.limit_reads(read_limit);
    Seen seen = scan(bytes);
    EXPECT_EQ(seen.end.stop, ScanStop::End);
    EXPECT_EQ(seen.end.offset, bytes.size());
    using V = Seen::Visit;
    const uint64_t ab = a.size() + b.size();
    EXPECT_EQ(seen.visits, (std::vector<V>{{0, a.size(), 1, "alice|posts|p1|author", true},
                                           {a.size(), ab, 2, "bob|posts|p2|", true},
                                           {ab, bytes.size(), 7, "alice|posts|p1|author", true}}));
  }
}

TEST_F(BacklinkScan, ACutAtEveryOffsetIsTornAtTheStartOfTheCutRecord) {
  const std::string first = record(1, ALICE);
  const std::string whole = first + record(2, BOB);
  for (size_t cut = 1; cut < whole.size(); ++cut) {
    if (cut == first.size()) continue;
    SCOPED_TRACE(cut);
    Seen seen = scan(whole.substr(0, cut));
    uint64_t start = cut < first.size() ? 0 : first.size();
    EXPECT_EQ(seen.end.stop, ScanStop::Torn);
    EXPECT_EQ(seen.end.offset, start);
    EXPECT_EQ(seen.end.remaining, cut - start);
    EXPECT_GT(seen.end.needed, seen.end.remaining);
    EXPECT_FALSE(seen.end.invalid_utf8_before_stop);
    EXPECT_EQ(seen.visits.size(), start == 0 ? 0u : 1u);
  }
}

// A zero byte and four zero lengths make a whole record of op 0, which the
// engine ignores; only zeros the end cuts short of such a record are a tail.
TEST_F(BacklinkScan, OnlyZerosCutShortOfARecordAreAZeroTail) {
  const std::string first = record(1, ALICE);
  struct Case {
    size_t zeros;
    ScanStop stop;
    size_t zero_records;
  };
  const Case cases[] = {{17, ScanStop::End, 1},
                        {34, ScanStop::End, 2},
                        {1, ScanStop::ZeroTail, 0},
                        {16, ScanStop::ZeroTail, 0},
                        {17 + 3, ScanStop::ZeroTail, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zeros);
    Seen seen = scan(first + std::string(c.zeros, '\0'));
    EXPECT_EQ(seen.end.stop, c.stop);
    ASSERT_EQ(seen.visits.size(), 1 + c.zero_records);
    EXPECT_EQ(seen.visits.back().op, c.zero_records > 0 ? 0 : 1);
    if (c.stop == ScanStop::ZeroTail) {
      EXPECT_EQ(seen.end.offset, first.size() + 17 * c.zero_records);
      EXPECT_EQ(seen.end.remaining, c.zeros - 17 * c.zero_records);
    }
  }
}

// A string that is not UTF-8 is visited and the scan goes on; when the
// record it is in is cut short, the stop says so, since the engine reports
// the string first.
TEST_F(BacklinkScan, StringsThatAreNotUtf8AreVisitedOrNotedAtTheStop) {
  const BacklinkStrings bad{"ok", "\xC3(", "k", "p"};
  const std::string after = record(1, ALICE);
  Seen seen = scan(record(2, bad) + after);
  EXPECT_EQ(seen.end.stop, ScanStop::End);
  ASSERT_EQ(seen.visits.size(), 2u);
  EXPECT_FALSE(seen.visits[0].utf8);
  EXPECT_TRUE(seen.visits[1].utf8);
  const std::string torn = record(2, bad);
  const size_t bad_string_end = 1 + 4 + 2 + 4 + 2;
  for (size_t cut : {bad_string_end - 1, bad_string_end, torn.size() - 1}) {
    SCOPED_TRACE(cut);
    seen = scan(torn.substr(0, cut));
    EXPECT_EQ(seen.end.stop, ScanStop::Torn);
    EXPECT_EQ(seen.end.invalid_utf8_before_stop, cut >= bad_string_end);
  }
}

// Another writer may append, or cut back a failed append, while the file is
// scanned: the scan sees the records it finds when it gets there, and a cut
// past the first window (a read of the old size fails) makes the record cut
// torn, not a read error.
TEST_F(BacklinkScan, FollowsAFileGrownOrCutBackDuringTheScan) {
  const std::string a = record(1, ALICE);
  const std::string big = record(1, {"k", "c", "s", std::string(WindowReader::WINDOW_SIZE, 'x')});
  const std::string c = record(2, BOB);
  for (const bool grow : {true, false}) {
    SCOPED_TRACE(grow);
    const std::string file = grow ? a : a + big + c;
    auto writer = [&] {
      platform.put("db", "t.qbl", file);
      return dir->open("t.qbl", OpenMode::ReadAppendCreate).value();
    }();
    auto reader = dir->open("t.qbl", OpenMode::ReadOnly).value();
    size_t visits = 0;
    ScanEnd end = scan_backlink_file(*reader, [&](const BacklinkRecordView&) {
      if (visits++ > 0) return true;
      if (grow) return write_all(*writer, reinterpret_cast<const uint8_t*>(c.data()), c.size(),
                                 IoError::write_zero())
                       .ok();
      return writer->truncate(a.size() + big.size() + 3).ok();
    });
    EXPECT_EQ(visits, 2u);
    EXPECT_EQ(end.stop, grow ? ScanStop::End : ScanStop::Torn);
    EXPECT_EQ(end.offset, grow ? a.size() + c.size() : a.size() + big.size());
  }
}

TEST_F(BacklinkScan, FailedCallsStopTheScan) {
  const std::string first = record(1, ALICE);
  for (FaultOp op : {FaultOp::ReadAt, FaultOp::Size}) {
    platform.fail(op, 1, IoError::os(EIO));
    Seen seen = scan(first);
    EXPECT_EQ(seen.end.stop, ScanStop::Io);
    EXPECT_EQ(seen.end.error->os_code(), EIO);
    EXPECT_TRUE(seen.visits.empty());
  }
}

}  // namespace
}  // namespace zez
