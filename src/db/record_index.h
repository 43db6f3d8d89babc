// A collection's index and value cache in one: its live keys, each with
// where its value is, the offset of its last record in the file or, for a
// key written since the collection was opened, the encoded value itself,
// held in the value cache. One key table over one arena of values: a key
// written in this session costs no second table entry, a million held
// values cost no allocation each, and dropping them costs nothing per value.
// A value replaced or removed leaves its bytes behind until they are half
// the arena; then the live values are packed anew, so the arena stays within
// twice what it holds. Nothing is evicted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "db/key_index.h"

namespace zez {

class RecordIndex {
 public:
  // Where a live key's value is: `value` when it is held here, else the
  // record at `offset` in the file.
  struct Entry {
    std::optional<std::string_view> value;  // valid until the next change
    uint64_t offset;
    // False only for a held value its writer found no links in.
    bool may_hold_links;
  };

  size_t size() const { return where_.size(); }
  // Makes room for `n` keys, and `key_bytes` bytes of them, without growth.
  void reserve(size_t n, size_t key_bytes) { where_.reserve(n, key_bytes); }
  // Frees what a reserve() for more keys than stayed live left unused.
  void shrink_to_fit() { where_.shrink_to_fit(); }
  // The bytes the key table holds, for tests.
  size_t key_table_bytes() const { return where_.memory_bytes(); }
  // `hash` is KeyIndex::hash(key) in every call that takes it.
  void prefetch(uint64_t hash) const { where_.prefetch(hash); }

  std::optional<Entry> find(std::string_view key, uint64_t hash) const;
  // The key's last record is at `offset` in the file; a value held for it
  // is dropped.
  void put_offset(std::string_view key, uint64_t hash, uint64_t offset);
  // The key's value is `value`, held from now on; `holds_links` false says
  // it holds no link to keep a backlink for, which spares a write that
  // replaces it the search for its links.
  void put_value(std::string_view key, uint64_t hash, std::string_view value, bool holds_links);
  void erase(std::string_view key, uint64_t hash);

 private:
  // A value in where_ with HELD set is a position in value_cache_, with
  // LINKLESS set when the held value holds no links; without HELD, a file
  // offset (which stays below 2^62).
  static constexpr uint64_t HELD = uint64_t(1) << 63;
  static constexpr uint64_t LINKLESS = uint64_t(1) << 62;
  static constexpr uint64_t FLAGS = HELD | LINKLESS;

  void drop_held(uint64_t where);
  void pack_if_worth_it();

  KeyMap<uint64_t> where_;
  key_index_detail::Arena value_cache_;
  size_t dead_bytes_ = 0;
};

}  // namespace zez
