// The index of a collection's live keys: key -> offset of its live record.
//
// Built for a million keys or more per collection: entries sit in one dense
// array, key bytes in one arena, and an open-addressing table of 32-bit
// entry numbers finds them, so a key costs about its own length plus 32
// bytes and no allocation of its own (a node-based hash map costs twice that
// and one allocation per key, which also dominates the time to open).
//
// The engine stores an offset per key (KeyIndex); the maintenance program
// stores a little more per key through the same table (KeyMap<T>), and walks
// the keys, which the engine never needs to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zez {

namespace key_index_detail {

inline constexpr size_t MIN_SLOTS = 16;

uint32_t hash_key(std::string_view key);

// Tables grow when more than 3/4 of their slots are taken: linear probing
// stays short below that.
inline size_t slots_for(size_t entries) {
  size_t n = MIN_SLOTS;
  while (n / 4 * 3 < entries) n *= 2;
  return n;
}

}  // namespace key_index_detail

template <class T>
class KeyMap {
 public:
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // Makes room for `n` keys without further growth.
  void reserve(size_t n);

  // The value stored for the key, or nullptr when it has none. The pointer
  // stays valid until the next change to the map.
  const T* find(std::string_view key) const;
  T* find(std::string_view key);
  // Sets the key's value, adding the key when it is new.
  void put(std::string_view key, const T& value);
  // Adds the key with `value` when it is new; otherwise leaves the stored
  // value as it is. Returns the stored value and whether the key was added:
  // one lookup where find() and put() would take two.
  std::pair<T*, bool> insert(std::string_view key, const T& value);
  // Removes the key; nothing happens when it is absent. Returns whether it
  // was there, and its value through `removed` when that is not null.
  bool erase(std::string_view key, T* removed = nullptr);

  // Calls `visit(std::string_view key, const T& value)` for every key, in
  // no particular order. The map must not change meanwhile.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (const Entry& e : entries_) visit(key_of(e), e.value);
  }

 private:
  struct Entry {
    T value;
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

using KeyIndex = KeyMap<uint64_t>;

// ---- Implementation -------------------------------------------------------

template <class T>
void KeyMap<T>::reserve(size_t n) {
  entries_.reserve(n);
  if (key_index_detail::slots_for(n) > slots_.size()) rehash(key_index_detail::slots_for(n));
}

template <class T>
size_t KeyMap<T>::probe(std::string_view key, uint32_t hash) const {
  for (size_t slot = hash & mask();; slot = (slot + 1) & mask()) {
    uint32_t held = slots_[slot];
    if (held == EMPTY) return slot;
    const Entry& e = entries_[held - 1];
    if (e.hash == hash && key_of(e) == key) return slot;
  }
}

template <class T>
size_t KeyMap<T>::slot_of(uint32_t entry) const {
  for (size_t slot = entries_[entry].hash & mask();; slot = (slot + 1) & mask()) {
    if (slots_[slot] == entry + 1) return slot;
  }
}

template <class T>
const T* KeyMap<T>::find(std::string_view key) const {
  if (entries_.empty()) return nullptr;
  uint32_t held = slots_[probe(key, key_index_detail::hash_key(key))];
  return held == EMPTY ? nullptr : &entries_[held - 1].value;
}

template <class T>
T* KeyMap<T>::find(std::string_view key) {
  return const_cast<T*>(static_cast<const KeyMap&>(*this).find(key));
}

template <class T>
std::pair<T*, bool> KeyMap<T>::insert(std::string_view key, const T& value) {
  if (slots_.empty() || (entries_.size() + 1) > slots_.size() / 4 * 3) {
    rehash(slots_.empty() ? key_index_detail::MIN_SLOTS : slots_.size() * 2);
  }
  uint32_t hash = key_index_detail::hash_key(key);
  size_t slot = probe(key, hash);
  if (slots_[slot] != EMPTY) return {&entries_[slots_[slot] - 1].value, false};
  entries_.push_back(Entry{value, keys_.size(), uint32_t(key.size()), hash});
  keys_.append(key);
  slots_[slot] = uint32_t(entries_.size());
  return {&entries_.back().value, true};
}

template <class T>
void KeyMap<T>::put(std::string_view key, const T& value) {
  auto [held, added] = insert(key, value);
  if (!added) *held = value;
}

template <class T>
bool KeyMap<T>::erase(std::string_view key, T* removed) {
  if (entries_.empty()) return false;
  size_t slot = probe(key, key_index_detail::hash_key(key));
  uint32_t held = slots_[slot];
  if (held == EMPTY) return false;
  uint32_t gone = held - 1;
  if (removed) *removed = entries_[gone].value;
  remove_slot(slot);
  dead_key_bytes_ += entries_[gone].key_len;
  // The last entry moves into the hole, so the array stays dense.
  uint32_t last = uint32_t(entries_.size() - 1);
  if (gone != last) {
    slots_[slot_of(last)] = gone + 1;
    entries_[gone] = entries_[last];
  }
  entries_.pop_back();
  if (dead_key_bytes_ > 4096 && dead_key_bytes_ > keys_.size() / 2) compact_keys();
  return true;
}

// Backward-shift deletion: later entries of the probe run move up into the
// hole unless their home slot lies cyclically after it, so no tombstones
// are needed and lookups stay as short as if the key had never been there.
template <class T>
void KeyMap<T>::remove_slot(size_t hole) {
  for (size_t next = (hole + 1) & mask(); slots_[next] != EMPTY; next = (next + 1) & mask()) {
    size_t home = entries_[slots_[next] - 1].hash & mask();
    bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (stays) continue;
    slots_[hole] = slots_[next];
    hole = next;
  }
  slots_[hole] = EMPTY;
}

template <class T>
void KeyMap<T>::rehash(size_t slot_count) {
  slots_.assign(slot_count, EMPTY);
  for (uint32_t i = 0; i < entries_.size(); ++i) {
    size_t slot = entries_[i].hash & mask();
    while (slots_[slot] != EMPTY) slot = (slot + 1) & mask();
    slots_[slot] = i + 1;
  }
}

template <class T>
void KeyMap<T>::compact_keys() {
  std::string packed;
  packed.reserve(keys_.size() - dead_key_bytes_);
  for (Entry& e : entries_) {
    uint64_t pos = packed.size();
    packed.append(key_of(e));
    e.key_pos = pos;
  }
  keys_ = std::move(packed);
  dead_key_bytes_ = 0;
}

// The engine's instance is compiled once, in key_index.cc.
extern template class KeyMap<uint64_t>;

}  // namespace zez
