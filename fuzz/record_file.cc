// Replays the input as a record file ("c.qdb") through Database::open over
// the in-memory platform, then checks the engine against a plain reading of
// the same bytes: open succeeds exactly when every record is whole, has a
// UTF-8 key and a value of at least one byte; every key then reads as its
// last record says (deleted, a value, or a codec error); and records
// appended after the replayed ones read back after a reopen.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "db/database.h"
#include "fuzz_check.h"
#include "memory_platform.h"

using namespace zez;
using zez::fuzz::check;
using zez::fuzz::encoded;

namespace {

constexpr uint8_t TOMBSTONE_BYTE = 0x0C;

uint32_t u32_at(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Key -> the value bytes of its last record; nothing when the file is not a
// well-formed sequence of records.
std::optional<std::map<std::string, std::string>> last_records(const uint8_t* data, size_t size) {
  std::map<std::string, std::string> last;
  size_t pos = 0;
  while (pos < size) {
    if (size - pos < 4) return std::nullopt;
    size_t key_len = u32_at(data + pos);
    if (size - pos - 4 < key_len || size - pos - 4 - key_len < 4) return std::nullopt;
    std::string key(reinterpret_cast<const char*>(data + pos + 4), key_len);
    size_t value_len = u32_at(data + pos + 4 + key_len);
    size_t value_at = pos + 8 + key_len;
    if (value_len == 0 || size - value_at < value_len) return std::nullopt;
    if (!is_valid_utf8(key)) return std::nullopt;
    last[key].assign(reinterpret_cast<const char*>(data + value_at), value_len);
    pos = value_at + value_len;
  }
  return last;
}

// The key reads as its last record says.
void check_key(Database& db, const std::string& key, const std::string& bytes) {
  auto got = db.get("c", key);
  if (static_cast<uint8_t>(bytes[0]) == TOMBSTONE_BYTE) {
    check(!got.ok() && got.error().kind() == StorageError::Kind::KeyNotFound,
          "a deleted key reads");
    return;
  }
  size_t cursor = 0;
  auto want = decode_value(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &cursor);
  if (!want.ok()) {
    check(!got.ok() && got.error().kind() == StorageError::Kind::Codec,
          "an undecodable record does not give a codec error");
    return;
  }
  check(got.ok(), "a live key does not read", got.ok() ? "" : got.error().display());
  check(encoded(got.value()) == encoded(want.value()), "a key reads another record's value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  testing::MemoryPlatform platform;
  platform.put("db", "c.qdb", std::string(reinterpret_cast<const char*>(data), size));
  auto expected = last_records(data, size);
  auto db = Database::open("db", platform);
  check(db.ok() == expected.has_value(), "open and the plain reading disagree",
        db.ok() ? "open succeeded" : db.error().display());
  if (!db.ok()) return 0;
  for (const auto& [key, bytes] : *expected) check_key(*db.value(), key, bytes);

  // Appends land behind the replayed records and survive a reopen.
  std::map<std::string, std::string> after = *expected;
  const std::string added = encoded(Value::integer(int64_t(size)));
  check(db.value()->set("c", "added", Value::integer(int64_t(size))).ok(), "set failed");
  after["added"] = added;
  if (!expected->empty()) {
    const std::string& first = expected->begin()->first;
    check(db.value()->remove("c", first).ok(), "delete failed");
    after[first] = std::string(1, char(TOMBSTONE_BYTE));
  }
  db.value().reset();
  auto reopened = Database::open("db", platform);
  check(reopened.ok(), "reopen failed", reopened.ok() ? "" : reopened.error().display());
  for (const auto& [key, bytes] : after) check_key(*reopened.value(), key, bytes);
  return 0;
}
