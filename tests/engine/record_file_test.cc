#include "db/record_file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "codec/byte_order.h"
#include "memory_platform.h"

namespace zez {
namespace {

using testing::FaultOp;
using testing::MemoryPlatform;

std::string u32(uint32_t v) {
  std::string s;
  put_u32(s, v);
  return s;
}

std::string record(const std::string& key, const std::string& value_bytes) {
  return u32(uint32_t(key.size())) + key + u32(uint32_t(value_bytes.size())) + value_bytes;
}

const std::string INT_1("\x02\x01\0\0\0\0\0\0\0", 9);
const std::string TOMBSTONE("\x0C", 1);
const std::string TEXT_HI("\x04\x02\0\0\0hi", 7);

// What a scan saw: each visited record, and where it stopped.
struct Seen {
  struct Visit {
    uint64_t offset;
    std::string key;
    uint32_t value_len;
    bool tombstone;
    bool utf8;
    bool operator==(const Visit&) const = default;
  };
  std::vector<Visit> visits;
  ScanEnd end;
};

class RecordScan : public ::testing::Test {
 protected:
  // Scans `bytes` as the file "c.qdb", stopping at the `refuse_at`th visit.
  Seen scan(const std::string& bytes, size_t refuse_at = SIZE_MAX) {
    platform.put("db", "c.qdb", bytes);
    file = dir->open("c.qdb", OpenMode::ReadOnly).value();
    Seen seen;
    seen.end = scan_record_file(*file, bytes.size(), [&](const RecordView& r) {
      seen.visits.push_back(
          {r.offset, std::string(r.key), r.value_len, r.is_tombstone(), r.key_is_utf8});
      EXPECT_EQ(r.value_offset, r.offset + 8 + r.key.size());
      return seen.visits.size() != refuse_at;
    });
    return seen;
  }

  MemoryPlatform platform;
  std::unique_ptr<Directory> dir = platform.open_directory("db").value();
  std::unique_ptr<File> file;
};

TEST_F(RecordScan, VisitsEveryWholeRecordAndItsValueReadsBack) {
  const std::string a = record("alice", INT_1);
  const std::string bytes = a + record("", TEXT_HI) + record("alice", TOMBSTONE);
  Seen seen = scan(bytes);
  EXPECT_EQ(seen.end.stop, ScanStop::End);
  EXPECT_EQ(seen.end.offset, bytes.size());
  using V = Seen::Visit;
  EXPECT_EQ(seen.visits, (std::vector<V>{{0, "alice", 9, false, true},
                                         {a.size(), "", 7, false, true},
                                         {a.size() + 15, "alice", 1, true, true}}));
  std::string value;
  ASSERT_TRUE(read_record_value(*file, a.size(), bytes.size(), value).ok());
  EXPECT_EQ(value, TEXT_HI);
  auto past_end = read_record_value(*file, a.size(), a.size() + 10, value);
  ASSERT_FALSE(past_end.ok());
  EXPECT_EQ(past_end.error().display(), "failed to fill whole buffer");
}

// The engine's load fails at every cut; the scan says how far the field
// that runs past the end reaches.
TEST_F(RecordScan, TornTellsHowFarTheFieldThatRunsPastTheEndReaches) {
  const std::string first = record("k", INT_1);
  struct Case {
    std::string tail;
    uint64_t needed;
  };
  const Case cases[] = {
      {std::string("\x05\0", 2), 4},                       // in the key length
      {u32(5) + "al", 13},                                 // in the key
      {u32(5) + "alice" + "\x09", 13},                     // in the value length
      {u32(5) + "alice" + u32(9) + "\x02\x01", 22},        // in the value
      {u32(0xFFFFFFFF) + "ab", 8 + uint64_t(0xFFFFFFFF)},  // a damaged key length
  };
  for (const Case& c : cases) {
    Seen seen = scan(first + c.tail);
    EXPECT_EQ(seen.end.stop, ScanStop::Torn);
    EXPECT_EQ(seen.end.offset, first.size());
    EXPECT_EQ(seen.end.needed, c.needed);
    EXPECT_EQ(seen.end.remaining, c.tail.size());
  }
}

// Zeros frame as records with an empty key and a value length of 0; run to
// the end of the file, they are a zero tail instead, however long they are
// (the last case spans more than one read buffer).
TEST_F(RecordScan, ZerosToTheEndAreAZeroTailOfAnyLength) {
  const std::string first = record("k", INT_1);
  for (size_t zeros : {size_t(1), size_t(4), size_t(7), size_t(8), size_t(17), size_t(3) << 20}) {
    SCOPED_TRACE(zeros);
    Seen seen = scan(first + std::string(zeros, '\0'));
    EXPECT_EQ(seen.end.stop, ScanStop::ZeroTail);
    EXPECT_EQ(seen.end.offset, first.size());
    EXPECT_EQ(seen.end.remaining, zeros);
    EXPECT_EQ(seen.visits.size(), 1u);
  }
}

// Zeros that something else follows are records, visited with their value
// length of 0 (the engine refuses them), and the scan goes on past them.
TEST_F(RecordScan, RecordsThatCannotBeLoadedAreVisitedAndTheScanGoesOn) {
  using V = Seen::Visit;
  const std::string zero_len = record("k", "");
  const std::string bad_key = record("\xff", INT_1);
  const std::string after = record("j", INT_1);
  Seen seen = scan(zero_len + bad_key + after);
  EXPECT_EQ(seen.end.stop, ScanStop::End);
  EXPECT_EQ(seen.visits, (std::vector<V>{{0, "k", 0, false, true},
                                         {9, "\xff", 9, false, false},
                                         {27, "j", 9, false, true}}));
  seen = scan(std::string(16, '\0') + after);
  EXPECT_EQ(seen.end.stop, ScanStop::End);
  EXPECT_EQ(seen.visits,
            (std::vector<V>{
                {0, "", 0, false, true}, {8, "", 0, false, true}, {16, "j", 9, false, true}}));
  seen = scan(std::string(3 << 20, '\0') + after);
  EXPECT_EQ(seen.end.stop, ScanStop::End);
  EXPECT_EQ(seen.visits.size(), (3u << 17) + 1);
}

TEST_F(RecordScan, AVisitorRefusalAndAFailedReadStopAtTheRecord) {
  const std::string first = record("a", INT_1);
  Seen seen = scan(first + record("b", INT_1) + record("c", INT_1), 2);
  EXPECT_EQ(seen.end.stop, ScanStop::Refused);
  EXPECT_EQ(seen.end.offset, first.size());
  platform.fail(FaultOp::ReadAt, 1, IoError::os(EIO));
  seen = scan(first);
  EXPECT_EQ(seen.end.stop, ScanStop::Io);
  EXPECT_EQ(seen.end.error->os_code(), EIO);
  EXPECT_TRUE(seen.visits.empty());
  // A file shorter than the size the scan was given: shortened meanwhile.
  platform.put("db", "c.qdb", first);
  file = dir->open("c.qdb", OpenMode::ReadOnly).value();
  ScanEnd end = scan_record_file(*file, first.size() + 20, [](const RecordView&) { return true; });
  EXPECT_EQ(end.stop, ScanStop::Io);
  EXPECT_EQ(end.error->display(), "failed to fill whole buffer");
}

// Pieces of every size written through the chunked writer come back whole
// through the window reader, read as ranges that straddle its windows, and
// a range past the reader's limit fails before anything is read.
TEST_F(RecordScan, ChunkedWritesReadBackThroughWindows) {
  std::unique_ptr<File> out = dir->open("copy", OpenMode::CreateTruncate).value();
  ChunkWriter writer(*out);
  std::string expected;
  for (size_t size : {size_t(1), size_t(700000), WindowReader::WINDOW_SIZE + 5, size_t(3),
                      WindowReader::WINDOW_SIZE, size_t(900000)}) {
    const std::string piece(size, char('a' + expected.size() % 26));
    ASSERT_TRUE(writer.append(piece).ok());
    expected += piece;
  }
  ASSERT_TRUE(writer.flush().ok());
  EXPECT_EQ(writer.written(), expected.size());
  std::unique_ptr<File> in = dir->open("copy", OpenMode::ReadOnly).value();
  EXPECT_EQ(in->size().value(), expected.size());
  WindowReader reader(*in, expected.size());
  std::string back;
  while (back.size() < expected.size()) {
    auto piece = reader.next(back.size(), 300000);
    ASSERT_TRUE(piece.ok());
    ASSERT_FALSE(piece.value().empty());
    back += piece.value();
  }
  EXPECT_EQ(back, expected);
  const uint8_t* straddling = reader.view(WindowReader::WINDOW_SIZE - 2, 4);
  ASSERT_TRUE(straddling);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(straddling), 4),
            expected.substr(WindowReader::WINDOW_SIZE - 2, 4));
  const uint64_t reads = platform.count(FaultOp::ReadAt);
  EXPECT_FALSE(reader.view(expected.size() - 1, 2));
  EXPECT_EQ(reader.take_error().display(), "failed to fill whole buffer");
  EXPECT_EQ(platform.count(FaultOp::ReadAt), reads);
}

}  // namespace
}  // namespace zez
