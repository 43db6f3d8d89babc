// Builds a small database from the input and resolves a fuzzed path from
// every record, comparing the engine with a plain recursive reading of the
// resolution rules (no memo of "$self." keys, a budget of reads). Where the
// plain reading finishes, both give the same value or the same error text.
// The engine must also stay within a read count linear in the number of
// links stored, however the "$self." keys nest.
//
// Input: a record count byte, then per record a collection byte (a, b or c),
// a key length byte, the key, and one encoded value; the rest of the input
// is the resolution path, its segments separated by "|" (none when empty).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/database.h"
#include "db/database_files.h"
#include "db/link_path.h"
#include "db/resolve.h"
#include "fuzz_check.h"
#include "memory_platform.h"

using namespace zez;
using zez::fuzz::check;
using zez::fuzz::encoded;

namespace {

constexpr int READ_BUDGET = 4000;

// Reads records through the database and counts them.
class CountingReader final : public RecordReader {
 public:
  explicit CountingReader(Database& db) : db_(db) {}
  Result<Value, StorageError> read(std::string_view collection, std::string_view key) override {
    ++reads;
    return db_.get(collection, key);
  }
  long reads = 0;

 private:
  Database& db_;
};

std::vector<std::string> split(std::string_view text, char sep) {
  std::vector<std::string> out;
  for (;;) {
    size_t at = text.find(sep);
    out.emplace_back(text.substr(0, at));
    if (at == std::string_view::npos) return out;
    text.remove_prefix(at + 1);
  }
}

// The resolution rules read literally: recursive, every "$self." key worked
// out afresh, its nesting bounded by MAX_LINK_DEPTH. Gives up (sets
// `exhausted`) past READ_BUDGET reads.
class PlainResolver {
 public:
  PlainResolver(CountingReader& reader, std::string s, std::string k)
      : reader_(reader), start_collection_(std::move(s)), start_key_(std::move(k)) {}

  Result<Value, ResolveError> run(const std::vector<std::string>& segments) {
    auto start = read(start_collection_, start_key_);
    if (!start.ok()) return ResolveError::storage(std::move(start).error());
    return in_value(start.value(), segments, 0, 0);
  }
  bool exhausted = false;

 private:
  Result<Value, StorageError> read(std::string_view c, std::string_view k) {
    if (reader_.reads >= READ_BUDGET) exhausted = true;
    if (exhausted) return StorageError::key_not_found();
    return reader_.read(c, k);
  }

  Result<Value, ResolveError> in_value(const Value& v, std::vector<std::string> p, int depth,
                                       int nesting) {
    if (exhausted) return Value();
    if (depth > MAX_LINK_DEPTH) return ResolveError::cyclic_link();
    if (p.empty()) {
      if (v.is(Kind::Link)) return follow(v.as_link(), {}, depth + 1, nesting);
      return v.copy();
    }
    std::vector<std::string> rest(p.begin() + 1, p.end());
    switch (v.kind()) {
      case Kind::Null:
      case Kind::Tombstone:
        return v.copy();
      case Kind::Map: {
        const Value* e = v.as_map().find(p[0]);
        if (e == nullptr) return Value();
        return in_value(*e, rest, depth, nesting);
      }
      case Kind::Link:
        if (const Value* e = v.as_link().local.find(p[0]))
          return in_value(*e, rest, depth, nesting);
        return follow(v.as_link(), p, depth + 1, nesting);
      default:
        return ResolveError::field_not_found();
    }
  }

  Result<Value, ResolveError> follow(const LinkData& link, std::vector<std::string> p, int depth,
                                     int nesting) {
    if (depth > MAX_LINK_DEPTH) return ResolveError::cyclic_link();
    std::vector<std::string> pieces = split(link.path, '/');
    if (pieces.size() < 2) return ResolveError::invalid_path(link.path);
    std::string key = pieces[1];
    if (key == "$self") {
      key = start_key_;
    } else if (key.starts_with("$self.")) {
      auto k = self_key(key.substr(6), nesting);
      if (!k.ok()) return std::move(k).error();
      key = std::move(k).value();
    }
    std::vector<std::string> segments(pieces.begin() + 2, pieces.end());
    segments.insert(segments.end(), p.begin(), p.end());
    auto target = read(pieces[0], key);
    if (!target.ok()) {
      if (target.error().kind() == StorageError::Kind::KeyNotFound) return Value();
      return ResolveError::storage(std::move(target).error());
    }
    return in_value(target.value(), segments, depth, nesting);
  }

  Result<std::string, ResolveError> self_key(const std::string& dotted, int nesting) {
    const int level = nesting + 1;
    if (level > MAX_LINK_DEPTH) return ResolveError::cyclic_link();
    auto start = read(start_collection_, start_key_);
    if (!start.ok()) return ResolveError::storage(std::move(start).error());
    auto found = in_value(start.value(), split(dotted, '.'), 0, level);
    if (!found.ok()) return std::move(found).error();
    if (found.value().is(Kind::Text)) return found.value().as_text();
    return ResolveError::invalid_path("$self." + dotted + " resolved to " +
                                      found.value().debug_text() + ", expected TEXT");
  }

  CountingReader& reader_;
  std::string start_collection_;
  std::string start_key_;
};

long count_links(const Value& v) {
  switch (v.kind()) {
    case Kind::Array: {
      long n = 0;
      for (const Value& e : v.as_array()) n += count_links(e);
      return n;
    }
    case Kind::Map: {
      long n = 0;
      for (const auto& [k, e] : v.as_map()) n += count_links(e);
      return n;
    }
    case Kind::Link: {
      long n = 1;
      for (const auto& [k, e] : v.as_link().local) n += count_links(e);
      return n;
    }
    default:
      return 0;
  }
}

struct Record {
  std::string collection;
  std::string key;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  size_t pos = 0;
  const int count = data[pos++] % 8 + 1;
  testing::MemoryPlatform platform;
  auto db = Database::open("db", platform);
  check(db.ok(), "open failed");
  std::vector<Record> records;
  long links = 0;
  for (int i = 0; i < count; ++i) {
    if (size - pos < 2) return 0;
    std::string collection(1, char('a' + data[pos++] % 3));
    size_t key_len = data[pos++] % 8;
    if (size - pos < key_len) return 0;
    std::string key(reinterpret_cast<const char*>(data + pos), key_len);
    pos += key_len;
    auto v = decode_value(data, size, &pos);
    if (!v.ok()) return 0;
    bool indexable = true;
    for (const OutgoingLink& link : extract_links(v.value())) {
      indexable = indexable && can_have_files(link.target_collection);
    }
    if (!indexable) {
      // A link no backlink file can take is refused whole, storing nothing.
      check(!db.value()->set(collection, key, std::move(v).value()).ok(), "unindexable set stored");
      return 0;
    }
    links += count_links(v.value());
    auto stored = db.value()->set(collection, key, std::move(v).value());
    check(stored.ok(), "set failed", stored.ok() ? "" : stored.error().display());
    records.push_back(Record{collection, key});
  }
  std::vector<std::string> segments;
  if (pos < size)
    segments = split(std::string_view(reinterpret_cast<const char*>(data + pos), size - pos), '|');

  for (const Record& r : records) {
    CountingReader engine_reads(*db.value());
    auto got = resolve_path(engine_reads, r.collection, r.key, segments);
    check(engine_reads.reads <= (links + 34) * 40, "resolution read too many records",
          std::to_string(engine_reads.reads));
    CountingReader plain_reads(*db.value());
    PlainResolver plain(plain_reads, r.collection, r.key);
    auto want = plain.run(segments);
    if (plain.exhausted) continue;
    if (got.ok() != want.ok()) {
      zez::fuzz::fail("engine and plain resolution disagree",
                      got.ok() ? want.error().display() : got.error().display());
    }
    if (got.ok()) {
      check(!got.value().is(Kind::Link), "resolution returned a link");
      check(encoded(got.value()) == encoded(want.value()), "resolved values differ");
    } else {
      check(got.error().display() == want.error().display(), "resolution errors differ",
            got.error().display() + " / " + want.error().display());
    }
  }
  return 0;
}
