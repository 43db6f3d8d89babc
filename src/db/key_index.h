// The index of a collection's live keys: key -> offset of its live record.
//
// Built for a million keys or more per collection: entries sit in one dense
// array, key bytes in one arena, and an open-addressing table of 32-bit
// entry numbers finds them, so a key costs about its own length plus 32
// bytes and no allocation of its own (a node-based hash map costs twice that
// and one allocation per key, which also dominates the time to open).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zez {

class KeyIndex {
 public:
  size_t size() const { return entries_.size(); }
  // Makes room for `n` keys without further growth.
  void reserve(size_t n);

  // The offset stored for the key, or nullptr when it has none.
  const uint64_t* find(std::string_view key) const;
  // Sets the key's offset, adding the key when it is new.
  void put(std::string_view key, uint64_t offset);
  // Removes the key; nothing happens when it is absent.
  void erase(std::string_view key);

 private:
  struct Entry {
    uint64_t offset;
    uint64_t key_pos;  // where the key's bytes start in keys_
    uint32_t key_len;
    uint32_t hash;
  };
  static constexpr uint32_t EMPTY = 0;  // slots hold entry number + 1

  std::string_view key_of(const Entry& e) const {
    return std::string_view(keys_.data() + e.key_pos, e.key_len);
  }
  size_t mask() const { return slots_.size() - 1; }
  // The slot holding the key, or the empty slot where it would go.
  size_t probe(std::string_view key, uint32_t hash) const;
  // The slot that holds entry number `entry`.
  size_t slot_of(uint32_t entry) const;
  void rehash(size_t slot_count);
  void remove_slot(size_t slot);
  void compact_keys();

  std::vector<Entry> entries_;
  std::vector<uint32_t> slots_;
  std::string keys_;
  size_t dead_key_bytes_ = 0;  // bytes in keys_ of keys that were erased
};

}  // namespace zez
