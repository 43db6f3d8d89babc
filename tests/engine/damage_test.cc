#include "db/damage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <tuple>
#include <vector>

#include "codec/byte_order.h"
#include "codec/encoded_length.h"
#include "memory_platform.h"
#include "test_values.h"
#include "tool_fixtures.h"

namespace zez {
namespace {

using testing::MemoryPlatform;
using testing::raw_record;
using testing::record_bytes;

Result<RecordFileDamage, IoError> classify(
    const std::string& bytes, const std::function<void(const RecordView&)>& each = {}) {
  MemoryPlatform p;
  p.put("/d", "c.qdb", bytes);
  auto dir = p.open_existing_directory("/d").value();
  auto file = dir->open("c.qdb", OpenMode::ReadOnly).value();
  return classify_record_file(*file, bytes.size(), {}, each);
}

// A record as a visitor sees it.
using SeenRecord = std::tuple<uint64_t, std::string, uint64_t, uint32_t, uint8_t, bool>;
SeenRecord seen(const RecordView& r) {
  return {r.offset, std::string(r.key), r.value_offset, r.value_len, r.type_byte, r.key_is_utf8};
}

// The classification hands over the records before the first damage, as a
// scan of those bytes finds them.
void expect_records_handed_over(const std::string& bytes, uint64_t first_damage) {
  std::vector<SeenRecord> handed;
  ASSERT_TRUE(classify(bytes, [&](const RecordView& r) { handed.push_back(seen(r)); }).ok());
  std::vector<SeenRecord> scanned;
  MemoryPlatform p;
  p.put("/d", "c.qdb", bytes);
  auto file = p.open_existing_directory("/d").value()->open("c.qdb", OpenMode::ReadOnly).value();
  scan_record_file(*file, first_damage, [&](const RecordView& r) {
    scanned.push_back(seen(r));
    return true;
  });
  EXPECT_EQ(handed, scanned);
}

std::string rec(const std::string& key, int64_t n) { return record_bytes(key, Value::integer(n)); }
std::string text_rec(const std::string& key, const std::string& text) {
  return record_bytes(key, Value::text(text));
}
std::string blob_rec(const std::string& key, const std::string& bytes) {
  return record_bytes(key, Value::blob(bytes));
}
// A record whose value is a map holding one text: record bytes in a text
// are still UTF-8 when their keys and values are.
std::string map_rec(const std::string& key, const std::string& text) {
  Map m;
  m.insert("t", Value::text(text));
  return record_bytes(key, Value::map(std::move(m)));
}

struct Expected {
  DamageKind kind;
  uint64_t start;
  uint64_t end;  // 0: the file's size
};

struct DamageCase {
  const char* name;
  // The file, and the regions it must be found to hold.
  std::function<std::pair<std::string, std::vector<Expected>>()> build;
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

const std::string A = rec("alice", 1), B = text_rec("bob", "hello"), C = rec("carol", 3),
                  D = rec("dave", 4), E = rec("erin", 5);
const std::string COPIES = C + D + E;  // bytes of real records, inside a value

std::string with_byte(std::string s, size_t at, char b) {
  s[at] = b;
  return s;
}

const DamageCase DAMAGE_CASES[] = {
    {"clean", [] { return std::pair{A + B + C, std::vector<Expected>{}}; }},
    {"cut inside the last record",
     [] {
       return std::pair{A + B + C.substr(0, 10),
                        std::vector<Expected>{{DamageKind::TornTail, A.size() + B.size(), 0}}};
     }},
    {"zeros appended",
     [] {
       return std::pair{A + B + std::string(12, '\0'),
                        std::vector<Expected>{{DamageKind::ZeroTail, A.size() + B.size(), 0}}};
     }},
    {"zeroed block in the middle",
     [] {
       return std::pair{A + std::string(20, '\0') + B + C,
                        std::vector<Expected>{{DamageKind::Middle, A.size(), A.size() + 20}}};
     }},
    {"key length hit at the start of the file",
     [] {
       return std::pair{with_byte(A, 3, 0x40) + B + C,
                        std::vector<Expected>{{DamageKind::Middle, 0, A.size()}}};
     }},
    {"value length grown by one: P frames, its end is not a record",
     [] {
       std::string b = B;
       b[4 + 3] = char(b[4 + 3] + 1);  // bob's value length
       return std::pair{A + b + C + D,
                        std::vector<Expected>{{DamageKind::Middle, A.size(), A.size() + B.size()}}};
     }},
    {"random bytes over a record",
     [] {
       std::string junk = "\xe1\x9f\x00\x31\xff\x10\x02\x00\x00\x05\xaa\xbb\xcc\xdd\xee\xf0";
       return std::pair{A + junk + C + D, std::vector<Expected>{{DamageKind::Middle, A.size(),
                                                                 A.size() + junk.size()}}};
     }},
    {"one whole record after the damage is no chain",
     [] {
       return std::pair{A + std::string(12, '\0') + B,
                        std::vector<Expected>{{DamageKind::TornTail, A.size(), 0}}};
     }},
    {"two damaged regions",
     [] {
       const uint64_t second = A.size() + 9 + B.size() + C.size();
       return std::pair{A + std::string(9, '\0') + B + C + std::string(9, '\xff') + D + E,
                        std::vector<Expected>{{DamageKind::Middle, A.size(), A.size() + 9},
                                              {DamageKind::Middle, second, second + 9}}};
     }},
    {"copies of records in a blob inside a torn tail",
     [] {
       std::string torn = blob_rec("blob", COPIES);
       return std::pair{A + torn.substr(0, torn.size() - 2),
                        std::vector<Expected>{{DamageKind::TornTail, A.size(), 0}}};
     }},
    {"copies of records in a text inside a torn tail",
     [] {
       std::string torn = map_rec("map", COPIES);
       return std::pair{A + torn.substr(0, torn.size() - 1),
                        std::vector<Expected>{{DamageKind::TornTail, A.size(), 0}}};
     }},
    {"copies of records in the record before the damage",
     [] {
       std::string before = blob_rec("blob", COPIES);
       const uint64_t p = A.size() + before.size();
       return std::pair{A + before + std::string(16, '\0') + D + E,
                        std::vector<Expected>{{DamageKind::Middle, p, p + 16}}};
     }},
    {"copies of records in the first intact record after the damage",
     [] {
       return std::pair{A + std::string(16, '\0') + blob_rec("blob", C + D) + E,
                        std::vector<Expected>{{DamageKind::Middle, A.size(), A.size() + 16}}};
     }},
    {"copies of records in a map that is the first intact record after the damage",
     [] {
       return std::pair{A + std::string(16, '\x07') + map_rec("map", C + D) + E,
                        std::vector<Expected>{{DamageKind::Middle, A.size(), A.size() + 16}}};
     }},
    {"bad value before a torn tail",
     [] {
       const std::string bad = with_byte(B, B.size() - 1, '\xff');  // a text byte
       const std::string torn = C.substr(0, 11);
       const uint64_t tail = A.size() + bad.size() + D.size();
       return std::pair{A + bad + D + torn,
                        std::vector<Expected>{{DamageKind::BadRecord, A.size(), A.size() + B.size()},
                                              {DamageKind::TornTail, tail, 0}}};
     }},
    {"bad value before zeros to the end",
     [] {
       const std::string bad = with_byte(B, 11, '\x0d');  // the value's type byte
       const uint64_t tail = A.size() + bad.size() + D.size();
       return std::pair{A + bad + D + std::string(40, '\0'),
                        std::vector<Expected>{{DamageKind::BadRecord, A.size(), A.size() + B.size()},
                                              {DamageKind::ZeroTail, tail, 0}}};
     }},
    {"bad records one after another",
     [] {
       const std::string bad = with_byte(B, 11, '\x0d');
       const uint64_t second = A.size() + bad.size();
       return std::pair{A + bad + bad + C,
                        std::vector<Expected>{{DamageKind::BadRecord, A.size(), second},
                                              {DamageKind::BadRecord, second, second + bad.size()}}};
     }},
    {"damaged key length, whole records, then a torn last record",
     [] {
       return std::pair{with_byte(A, 3, 0x40) + B + C + D.substr(0, 10),
                        std::vector<Expected>{{DamageKind::Middle, 0, A.size()},
                                              {DamageKind::TornTail, A.size() + B.size() + C.size(), 0}}};
     }},
    {"damaged value length, whole records, then zeros to the end",
     [] {
       const std::string b = with_byte(B, 10, '\x7f');  // bob's value length, far past the end
       return std::pair{A + b + C + D + std::string(30, '\0'),
                        std::vector<Expected>{
                            {DamageKind::Middle, A.size(), A.size() + B.size()},
                            {DamageKind::ZeroTail, A.size() + B.size() + C.size() + D.size(), 0}}};
     }},
    // The cut falls where a copied record ends: the run of copies reaches
    // the end of the file exactly, and is still bytes of the cut value.
    {"copies of records in a torn value, cut where a copy ends",
     [] {
       const std::string blob = blob_rec("blob", COPIES);
       const size_t value_at = 8 + 4 + 1 + 4;
       return std::pair{A + blob.substr(0, value_at + C.size() + D.size()),
                        std::vector<Expected>{{DamageKind::TornTail, A.size(), 0}}};
     }},
    // P frames and does not decode; inside it, copies of records run into
    // more of its bytes. That run is P's value, not a chain: the damage runs
    // from P to the first true record after it.
    {"a run inside P's own value is no chain",
     [] {
       std::string p = blob_rec("blob", C + D + std::string(4, '\x0d'));
       p[8 + 4] = '\x0d';  // the value's type byte
       const std::string junk(16, '\x07');
       return std::pair{A + p + junk + E + B,
                        std::vector<Expected>{{DamageKind::Middle, A.size(),
                                               A.size() + p.size() + junk.size()}}};
     }},
};

class Classification : public ::testing::TestWithParam<DamageCase> {};

TEST_P(Classification, FindsTheRegions) {
  auto [bytes, want] = GetParam().build();
  auto got = classify(bytes);
  ASSERT_TRUE(got.ok()) << got.error().display();
  const RecordFileDamage& d = got.value();
  ASSERT_EQ(d.regions.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(int(d.regions[i].kind), int(want[i].kind)) << i;
    EXPECT_EQ(d.regions[i].start, want[i].start) << i;
    EXPECT_EQ(d.regions[i].end, want[i].end ? want[i].end : bytes.size()) << i;
  }
  // Bounded: well within a few times the file's size.
  EXPECT_LE(d.work, 4 * bytes.size() + 65536);
  expect_records_handed_over(bytes, d.regions.empty() ? bytes.size() : d.regions[0].start);
  // What is kept is whole records only: it classifies clean.
  std::string kept;
  for (const auto& [from, to] : d.kept()) kept += bytes.substr(from, to - from);
  auto again = classify(kept);
  ASSERT_TRUE(again.ok());
  EXPECT_TRUE(again.value().clean());
}

INSTANTIATE_TEST_SUITE_P(Damage, Classification, ::testing::ValuesIn(DAMAGE_CASES),
                         testing::CaseName());

// Records larger than the classification's windows, and a tombstone.
TEST(Classification, HandsOverEveryRecordOfACleanFile) {
  const std::string bytes = A + blob_rec("big", std::string(3 << 20, 'b')) + B +
                            record_bytes("alice", Value::tombstone()) +
                            text_rec(std::string(5 << 20, 'k'), "long key") + C;
  expect_records_handed_over(bytes, bytes.size());
}

TEST(Classification, ReadsTheKeysOfTheRecordsThatFrameInARegion) {
  std::string bytes = A + raw_record("x", "") + raw_record("y", "\x0d") + std::string(5, '\xff') +
                      B + C;
  auto got = classify(bytes);
  ASSERT_TRUE(got.ok());
  ASSERT_EQ(got.value().regions.size(), 1u);
  const DamagedRegion& r = got.value().regions[0];
  EXPECT_EQ(int(r.kind), int(DamageKind::Middle));
  EXPECT_EQ(int(r.why), int(NotWhole::ZeroValueLength));
  ASSERT_EQ(r.readable.size(), 2u);
  EXPECT_EQ(r.readable[0].key, "x");
  EXPECT_EQ(r.readable[1].key, "y");
  EXPECT_EQ(r.readable[1].offset, A.size() + 9);
  EXPECT_EQ(r.unknown_bytes, 5u);
}

TEST(Classification, ZeroFilledLastPageIsANoteAndTheRecordIsKept) {
  // The last record's blob ends in zeros that run from offset 4096 to the
  // end of the file.
  std::string blob(4200, 'x');
  std::string bytes = A + blob_rec("z", blob);
  const size_t zero_from = 4096;
  std::fill(bytes.begin() + zero_from, bytes.end(), '\0');
  auto got = classify(bytes);
  ASSERT_TRUE(got.ok());
  EXPECT_TRUE(got.value().clean());
  ASSERT_TRUE(got.value().zero_page.has_value());
  EXPECT_EQ(got.value().zero_page->key, "z");
  EXPECT_EQ(got.value().zero_page->record_offset, A.size());
  EXPECT_EQ(got.value().zero_page->zero_bytes, bytes.size() - zero_from);
  // Zeros after it are still a tail; the note stays.
  auto tail = classify(bytes + std::string(100, '\0'));
  ASSERT_TRUE(tail.ok());
  ASSERT_EQ(tail.value().regions.size(), 1u);
  EXPECT_EQ(int(tail.value().regions[0].kind), int(DamageKind::ZeroTail));
  EXPECT_TRUE(tail.value().zero_page.has_value());
  // Zeros that start before the record ends but not at an aligned offset
  // are nothing to note.
  auto short_run = classify(A + rec("k", 0));
  ASSERT_TRUE(short_run.ok());
  EXPECT_FALSE(short_run.value().zero_page.has_value());
}

TEST(Classification, ZeroedPageIntoDamageNotesTheRecordBeforeIt) {
  // The blob's last bytes and the records after it, up to 8192, are zeroed.
  std::string bytes = A + blob_rec("z", std::string(4200, 'x'));
  const uint64_t record = A.size();
  const uint64_t record_end = bytes.size();
  bytes += std::string(8192 - bytes.size(), '\0') + B + C;
  std::fill(bytes.begin() + 4096, bytes.begin() + 8192, '\0');
  auto got = classify(bytes);
  ASSERT_TRUE(got.ok());
  ASSERT_EQ(got.value().regions.size(), 1u);
  const DamagedRegion& r = got.value().regions[0];
  EXPECT_EQ(int(r.kind), int(DamageKind::Middle));
  EXPECT_EQ(r.start, record_end);
  ASSERT_TRUE(r.zeros_before.has_value());
  EXPECT_EQ(r.zeros_before->record_offset, record);
  EXPECT_EQ(r.zeros_before->key, "z");
  EXPECT_EQ(r.zeros_before->zero_bytes, record_end - 4096);
  // Damage that is not zeros notes nothing.
  bytes[record_end] = 1;
  auto other = classify(bytes);
  ASSERT_TRUE(other.ok());
  ASSERT_EQ(other.value().regions.size(), 1u);
  EXPECT_FALSE(other.value().regions[0].zeros_before.has_value());
}

TEST(Classification, DamageNestedPastTheLimitIsUnresolved) {
  // Each region is resolved inside the one before it, as a chain out of
  // each runs into the next.
  const std::string step = raw_record("x", "") + record_bytes("a", Value::null()) +
                           record_bytes("b", Value::null());
  std::string bytes;
  for (int i = 0; i < 2100; ++i) bytes += step;
  auto got = classify(bytes);
  ASSERT_TRUE(got.ok());
  ASSERT_FALSE(got.value().regions.empty());
  EXPECT_EQ(int(got.value().regions.back().kind), int(DamageKind::Unresolved));
  // Fewer resolve one by one.
  std::string fewer;
  for (int i = 0; i < 100; ++i) fewer += step;
  auto ok = classify(fewer);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value().regions.size(), 100u);
  EXPECT_EQ(int(ok.value().regions.front().kind), int(DamageKind::Middle));
}

// The length walk agrees with the decoder on every prefix of encoded values
// and on bytes no encoder writes.
TEST(EncodedLength, AgreesWithTheDecoder) {
  std::vector<std::string> inputs;
  Array items;
  items.push_back(Value::boolean(true));
  items.push_back(Value::text("h\xc3\xa9"));
  items.push_back(Value::map(map_of("k", Value::date_time(7))));
  const Value values[] = {Value::null(),        Value::tombstone(),   Value::integer(-2),
                          Value::floating(1.5), Value::date(3),       Value::time(4),
                          Value::blob("\xff\x00"), Value::array(std::move(items)),
                          Value::link("u/k", map_of("x", Value::text("y")))};
  for (const Value& v : values) {
    std::string enc;
    encode_value(v, enc);
    for (size_t n = 0; n <= enc.size(); ++n) inputs.push_back(enc.substr(0, n));
    inputs.push_back(enc + "\x01");
  }
  for (const char* odd : {"\x0d", "\x04\x01\0\0\0\xff", "\x08\x01\0\0\0\x01\0\0\0\xc0\x00",
                          "\x05\x01\0\0\0a\x00\0\0\0", "\x07\x02\0\0\0\x00"}) {
    inputs.emplace_back(odd, std::strlen(odd) + (odd[0] == 0x05 || odd[0] == 0x08 ? 5 : 0));
  }
  std::string deep;
  for (int i = 0; i <= MAX_NESTING_DEPTH; ++i) deep += std::string("\x07\x01\0\0\0", 5);
  inputs.push_back(deep + '\0');
  for (const std::string& in : inputs) {
    const auto* data = reinterpret_cast<const uint8_t*>(in.data());
    size_t cursor = 0;
    auto decoded = decode_value(data, in.size(), &cursor);
    auto length = encoded_length(data, in.size());
    ASSERT_EQ(decoded.ok(), length.has_value()) << ::testing::PrintToString(in);
    if (decoded.ok()) {
      EXPECT_EQ(*length, cursor);
    }
  }
}

}  // namespace
}  // namespace zez
