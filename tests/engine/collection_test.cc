#include "db/collection.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "codec/byte_order.h"
#include "memory_platform.h"

namespace zez {
namespace {

using testing::FaultOp;
using testing::MemoryPlatform;

constexpr char DIR[] = "db";
constexpr char FILE_NAME[] = "c.qdb";

// The record file bytes of key -> Blob(payload).
std::string blob_record(const std::string& key, const std::string& payload) {
  std::string r;
  put_u32(r, uint32_t(key.size()));
  r += key;
  put_u32(r, uint32_t(payload.size() + 5));
  r += '\x06';
  put_u32(r, uint32_t(payload.size()));
  r += payload;
  return r;
}

class CollectionTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = std::move(platform.open_directory(DIR)).value(); }

  std::unique_ptr<Collection> load() {
    auto r = Collection::load(*dir, FILE_NAME);
    EXPECT_TRUE(r.ok()) << r.error().display();
    return r.ok() ? std::move(r).value() : nullptr;
  }
  // Writes key -> Blob(payload) and reports the failure text, if any.
  std::string write(Collection& c, const std::string& key, const std::string& payload) {
    auto r = c.write_record(key, Value::blob(payload));
    if (r.ok()) return "ok";
    return (r.error().record_stored ? "stored, " : "") + r.error().error.display();
  }
  std::string read(Collection& c, const std::string& key) {
    auto r = c.read_record(key);
    return r.ok() ? r.value().as_blob() : r.error().display();
  }
  std::string file() { return platform.contents(DIR, FILE_NAME).value_or("<missing>"); }
  IoError no_space() { return IoError::os(ENOSPC); }
  // Queues two records in a transaction and plans a push that stops three
  // bytes into the second one.
  std::unique_ptr<Collection> load_with_torn_push_planned() {
    auto c = load();
    c->set_in_transaction(true);
    EXPECT_EQ(write(*c, "a", "first"), "ok");
    EXPECT_EQ(write(*c, "b", "second"), "ok");
    platform.short_write(1, blob_record("a", "first").size() + 3, FILE_NAME);
    platform.fail(FaultOp::Write, 2, no_space(), FILE_NAME);
    return c;
  }

  MemoryPlatform platform;
  std::unique_ptr<Directory> dir;
};

TEST_F(CollectionTest, ScanAndReadsWorkAcrossBufferEdgesAndPartialReads) {
  std::string bytes;
  for (int i = 0; i < 3000; ++i) {
    bytes += blob_record("key-" + std::to_string(i) + std::string(size_t(i % 37), 'k'),
                         std::string(size_t(700 + i % 600), char('a' + i % 26)));
  }
  platform.put(DIR, FILE_NAME, bytes);
  for (size_t read_limit : {size_t(0), size_t(7)}) {
    platform.limit_reads(read_limit);
    auto c = load();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->live_key_count(), 3000u);
    EXPECT_EQ(c->end_offset(), bytes.size());
    for (int i : {0, 1, 1499, 2999}) {
      std::string key = "key-" + std::to_string(i) + std::string(size_t(i % 37), 'k');
      EXPECT_EQ(read(*c, key), std::string(size_t(700 + i % 600), char('a' + i % 26))) << i;
    }
  }
}

TEST_F(CollectionTest, AValueLongerThanTheFirstReadIsFetchedWhole) {
  platform.put(DIR, FILE_NAME, blob_record("k", std::string(5000, 'v')));
  auto c = load();
  EXPECT_EQ(read(*c, "k"), std::string(5000, 'v'));
}

TEST_F(CollectionTest, OnlyWholeRecordsLeaveTheBufferInATransaction) {
  auto c = load();
  c->set_in_transaction(true);
  const std::string first = blob_record("a", std::string(40000, 'a'));
  ASSERT_EQ(write(*c, "a", std::string(40000, 'a')), "ok");
  EXPECT_EQ(file(), "");
  ASSERT_EQ(write(*c, "b", std::string(40000, 'b')), "ok");
  EXPECT_EQ(file(), first);
  ASSERT_TRUE(c->push().ok());
  EXPECT_EQ(file(), first + blob_record("b", std::string(40000, 'b')));
  EXPECT_EQ(c->end_offset(), file().size());
}

TEST_F(CollectionTest, ARecordOfBufferSizeIsWrittenDirectlyAfterTheBuffer) {
  auto c = load();
  c->set_in_transaction(true);
  ASSERT_EQ(write(*c, "s", "small"), "ok");
  const std::string big(WRITE_BUFFER_SIZE, 'x');
  ASSERT_EQ(write(*c, "big", big), "ok");
  EXPECT_EQ(file(), blob_record("s", "small") + blob_record("big", big));
}

TEST_F(CollectionTest, ARecordOfExactlyBufferSizeBypassesAnEmptyBuffer) {
  auto c = load();
  c->set_in_transaction(true);
  const std::string payload(WRITE_BUFFER_SIZE - blob_record("k", "").size(), 'x');
  ASSERT_EQ(blob_record("k", payload).size(), WRITE_BUFFER_SIZE);
  ASSERT_EQ(write(*c, "k", payload), "ok");
  EXPECT_EQ(file(), blob_record("k", payload));
}

TEST_F(CollectionTest, AFailedPushKeepsTheRecordStoredAndTheNextPushSendsIt) {
  auto c = load();
  platform.fail(FaultOp::Write, 1, no_space(), FILE_NAME);
  EXPECT_EQ(write(*c, "a", "1"), "stored, No space left on device (os error 28)");
  EXPECT_EQ(file(), "");
  EXPECT_EQ(read(*c, "a"), "1");
  platform.short_write(1, 0, FILE_NAME);
  EXPECT_EQ(write(*c, "b", "2"), "stored, failed to write the buffered data");
  ASSERT_EQ(write(*c, "c", "3"), "ok");
  EXPECT_EQ(file(), blob_record("a", "1") + blob_record("b", "2") + blob_record("c", "3"));
  c.reset();
  c = load();
  EXPECT_EQ(read(*c, "b"), "2");
}

// A push that stops inside a record: whole records stay in the file, the torn
// record's written part is cut off again and the whole record stays queued.
TEST_F(CollectionTest, APushTornInsideARecordCutsTheFileBackToAWholeRecord) {
  auto c = load_with_torn_push_planned();
  const std::string a = blob_record("a", "first"), b = blob_record("b", "second");
  ASSERT_FALSE(c->push().ok());
  EXPECT_EQ(file(), a);
  ASSERT_TRUE(c->push().ok());
  EXPECT_EQ(file(), a + b);
  c.reset();
  c = load();
  EXPECT_EQ(read(*c, "b"), "second");
}

TEST_F(CollectionTest, WhenTheCutFailsTooTheNextPushCompletesTheTornRecord) {
  auto c = load_with_torn_push_planned();
  const std::string a = blob_record("a", "first"), b = blob_record("b", "second");
  platform.fail(FaultOp::Truncate, 1, IoError::os(EIO), FILE_NAME);
  ASSERT_FALSE(c->push().ok());
  EXPECT_EQ(file(), a + b.substr(0, 3));
  // Another failure inside the rest of the torn record, then success.
  platform.short_write(1, 2, FILE_NAME);
  platform.fail(FaultOp::Write, 2, no_space(), FILE_NAME);
  ASSERT_FALSE(c->push().ok());
  ASSERT_EQ(write(*c, "c", "third"), "ok");
  ASSERT_TRUE(c->push().ok());
  EXPECT_EQ(file(), a + b + blob_record("c", "third"));
  c.reset();
  c = load();
  EXPECT_EQ(read(*c, "c"), "third");
}

TEST_F(CollectionTest, ADirectWriteFailingPartWayIsCutBackAndNotStored) {
  auto c = load();
  ASSERT_EQ(write(*c, "a", "first"), "ok");
  uint64_t end = c->end_offset();
  platform.short_write(1, 1000, FILE_NAME);
  platform.short_write(2, 0, FILE_NAME);
  EXPECT_EQ(write(*c, "big", std::string(70000, 'x')), "failed to write whole buffer");
  EXPECT_EQ(file(), blob_record("a", "first"));
  EXPECT_EQ(c->end_offset(), end);
  EXPECT_EQ(read(*c, "big"), "key not found");
  ASSERT_EQ(write(*c, "b", "after"), "ok");
  c.reset();
  c = load();
  EXPECT_EQ(read(*c, "b"), "after");
}

// The record's start cannot be taken back, so it is finished instead: at once
// when the disk takes the rest, else by the next push that succeeds.
TEST_F(CollectionTest, ATornDirectWriteThatCannotBeCutIsFinishedAndCountsAsStored) {
  const std::string big(70000, 'x');
  for (bool finish_fails : {false, true}) {
    SCOPED_TRACE(finish_fails ? "the rest fails too" : "the rest goes out");
    platform.put(DIR, FILE_NAME, "");
    auto c = load();
    ASSERT_EQ(write(*c, "a", "first"), "ok");
    platform.short_write(1, 1000, FILE_NAME);
    platform.fail(FaultOp::Write, 2, no_space(), FILE_NAME);
    platform.fail(FaultOp::Truncate, 1, IoError::os(EIO), FILE_NAME);
    if (finish_fails) platform.fail(FaultOp::Write, 3, no_space(), FILE_NAME);
    EXPECT_EQ(write(*c, "big", big),
              finish_fails ? "stored, No space left on device (os error 28)" : "ok");
    EXPECT_EQ(read(*c, "big"), big);
    EXPECT_EQ(c->end_offset(), blob_record("a", "first").size() + blob_record("big", big).size());
    ASSERT_EQ(write(*c, "b", "after"), "ok");
    EXPECT_EQ(file(),
              blob_record("a", "first") + blob_record("big", big) + blob_record("b", "after"));
    c.reset();
    c = load();
    EXPECT_EQ(read(*c, "big"), big);
    EXPECT_EQ(read(*c, "b"), "after");
  }
}

TEST_F(CollectionTest, AFailedLoadLeavesTheCreatedFileEmpty) {
  platform.fail(FaultOp::Open, 2, IoError::os(EACCES), FILE_NAME);
  auto r = Collection::load(*dir, FILE_NAME);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(), "Permission denied (os error 13)");
  EXPECT_EQ(file(), "");
}

// The scan sizes the index for every record of the file; after it, the index
// costs what the live keys need, however many records they took to reach.
TEST_F(CollectionTest, TheIndexAfterTheScanHoldsNoRoomForDeadRecords) {
  // Built by appending: GCC 12 at -O3 warns falsely on "k" + std::string.
  const auto text = [](const char* prefix, int i) { return std::string(prefix).append(std::to_string(i)); };
  const auto key = [&](int i) { return text("key-", i); };
  const auto table_bytes_of = [&](const std::string& bytes) {
    platform.put(DIR, FILE_NAME, bytes);
    auto c = load();
    EXPECT_EQ(c->live_key_count(), 500u);
    for (int i = 0; i < 500; i += 49) EXPECT_EQ(read(*c, key(i)), text("v", i));
    return c->key_table_bytes();
  };
  std::string once;
  for (int i = 0; i < 500; ++i) once += blob_record(key(i), text("v", i));
  std::string overwritten;
  for (int round = 0; round < 40; ++round) {
    for (int i = 0; i < 500; ++i) overwritten += blob_record(key(i), text("old", round));
  }
  overwritten += once;
  // 2,000 keys of which 1,500 are deleted again, some of them twice.
  std::string deleted;
  for (int i = 0; i < 2000; ++i) deleted += blob_record(key(i), text("v", i));
  for (int i = 1999; i >= 500; --i) {
    deleted += blob_record(key(i), "gone");
    std::string tombstone;
    put_u32(tombstone, uint32_t(key(i).size()));
    tombstone += key(i);
    put_u32(tombstone, 1);
    tombstone += '\x0c';
    deleted += tombstone;
  }
  // 500 keys of at most 7 bytes: slots of 16 bytes at least 2/5 full, and
  // the keys with their length bytes, a quarter left unused at most. Sized
  // for the records, the table would take 15 times that.
  const size_t live_keys_need = 500 * 16 * 5 / 2 + 32 + 500 * 10;
  for (const std::string* bytes : {&once, &overwritten, &deleted}) {
    EXPECT_LE(table_bytes_of(*bytes), live_keys_need) << bytes->size();
  }
}

}  // namespace
}  // namespace zez
