#include "codec/value.h"

#include <utility>

#include "codec/keyed_hash.h"

namespace zez {

namespace {

// Maps up to this size are searched linearly: for the small records that
// dominate real use this beats hashing every key.
constexpr size_t LINEAR_SEARCH_MAX = 16;

// Keyed: a stored map's keys come from callers and files (keyed_hash.h).
size_t hash_key(std::string_view key) { return size_t(keyed_hash(key)); }

}  // namespace

Value::~Value() = default;

Value Value::tombstone() { return make<Kind::Tombstone>(); }
Value Value::boolean(bool b) { return make<Kind::Bool>(b); }
Value Value::integer(int64_t i) { return make<Kind::Int>(i); }
Value Value::floating(double f) { return make<Kind::Float>(f); }
Value Value::text(std::string s) { return make<Kind::Text>(std::move(s)); }
Value Value::blob(std::string bytes) { return make<Kind::Blob>(std::move(bytes)); }
Value Value::date(uint32_t d) { return make<Kind::Date>(d); }
Value Value::time(uint32_t t) { return make<Kind::Time>(t); }
Value Value::date_time(uint64_t dt) { return make<Kind::DateTime>(dt); }
Value Value::array(Array elements) { return make<Kind::Array>(std::move(elements)); }
Value Value::map(Map entries) { return make<Kind::Map>(std::make_unique<Map>(std::move(entries))); }
Value Value::empty_map() { return make<Kind::Map>(std::make_unique<Map>()); }
Value Value::link(std::string path) { return link(std::move(path), Map()); }
Value Value::link(std::string path, Map local) {
  return make<Kind::Link>(std::make_unique<LinkData>(LinkData{std::move(path), std::move(local)}));
}

namespace {

// The container cases live out of line so that each level of a deep copy
// costs two small frames instead of one frame sized for every case.
[[gnu::noinline]] Value copy_array(const Array& in) {
  Array out;
  out.reserve(in.size());
  for (const Value& v : in) out.push_back(v.copy());
  return Value::array(std::move(out));
}

[[gnu::noinline]] Value copy_map(const Map& in) { return Value::map(in.copy()); }

[[gnu::noinline]] Value copy_text(const std::string& in) { return Value::text(in); }

[[gnu::noinline]] Value copy_blob(const std::string& in) { return Value::blob(in); }

[[gnu::noinline]] Value copy_link(const LinkData& in) {
  return Value::link(in.path, in.local.copy());
}

}  // namespace

// Recursion is bounded because every tree that reaches the engine was built
// by the decoder or the Python conversion, both of which refuse trees deeper
// than MAX_NESTING_DEPTH.
Value Value::copy() const {
  switch (kind()) {
    case Kind::Null:
      return Value();
    case Kind::Tombstone:
      return tombstone();
    case Kind::Bool:
      return boolean(as_bool());
    case Kind::Int:
      return integer(as_int());
    case Kind::Float:
      return floating(as_float());
    case Kind::Text:
      return copy_text(as_text());
    case Kind::Blob:
      return copy_blob(as_blob());
    case Kind::Date:
      return date(as_date());
    case Kind::Time:
      return time(as_time());
    case Kind::DateTime:
      return date_time(as_date_time());
    case Kind::Array:
      return copy_array(as_array());
    case Kind::Map:
      return copy_map(as_map());
    case Kind::Link:
      return copy_link(as_link());
  }
  return Value();
}

[[gnu::noinline]] Map Map::copy() const {
  // Sized up front and filled in place: the loop then holds no temporaries,
  // which keeps this frame small on deep copies.
  Map out;
  out.entries_.resize(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) {
    out.entries_[i].first = entries_[i].first;
    out.entries_[i].second = entries_[i].second.copy();
  }
  out.table_ = table_;
  return out;
}

ptrdiff_t Map::find_index(std::string_view key) const {
  if (table_.empty()) {
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].first == key) return static_cast<ptrdiff_t>(i);
    }
    return -1;
  }
  const size_t mask = table_.size() - 1;
  for (size_t slot = hash_key(key) & mask;; slot = (slot + 1) & mask) {
    uint32_t idx = table_[slot];
    if (idx == 0) return -1;
    if (entries_[idx - 1].first == key) return static_cast<ptrdiff_t>(idx - 1);
  }
}

const Value* Map::find(std::string_view key) const {
  ptrdiff_t i = find_index(key);
  return i < 0 ? nullptr : &entries_[static_cast<size_t>(i)].second;
}

Value* Map::find(std::string_view key) {
  ptrdiff_t i = find_index(key);
  return i < 0 ? nullptr : &entries_[static_cast<size_t>(i)].second;
}

std::vector<Map::Entry> Map::take_entries() {
  table_.clear();
  return std::exchange(entries_, {});
}

void Map::insert(std::string key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
    return;
  }
  entries_.emplace_back(std::move(key), std::move(value));
  const size_t n = entries_.size();
  if (n <= LINEAR_SEARCH_MAX) return;
  // Keep the table at most half full.
  if (table_.size() < 2 * n) {
    rebuild_table();
    return;
  }
  const size_t mask = table_.size() - 1;
  size_t slot = hash_key(entries_.back().first) & mask;
  while (table_[slot] != 0) slot = (slot + 1) & mask;
  table_[slot] = static_cast<uint32_t>(n);
}

void Map::rebuild_table() {
  size_t cap = 64;
  while (cap < 4 * entries_.size()) cap *= 2;
  table_.assign(cap, 0);
  const size_t mask = cap - 1;
  for (size_t i = 0; i < entries_.size(); ++i) {
    size_t slot = hash_key(entries_[i].first) & mask;
    while (table_[slot] != 0) slot = (slot + 1) & mask;
    table_[slot] = static_cast<uint32_t>(i + 1);
  }
}

}  // namespace zez
