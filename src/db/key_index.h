// The index of a collection's live keys: key -> offset of its live record.
//
// Built for a million keys or more per collection, where the open's time
// goes into cache misses and the index's memory is most of the process's:
// one open-addressing table of slots that hold the value and where the key
// lies, tagged with 28 bits of the key's hash, over one arena of key bytes.
// A probe compares tags in the table and reads a key only on a tag match,
// so adding a new key touches one slot and the end of the arena. The tag
// also places the key in the table, so moving keys to a table of another
// size (growth, the shrink after an open's scan, a deletion's backward
// shift) reads neither their bytes nor hashes them again. A key
// costs its own length, a byte or two for that length, and 16 bytes over
// the table's load, without an allocation of its own. The table's size is
// any number of slots, not a power of two, so a table sized once for a
// file's records stays close to 4/5 full.
//
// The engine stores an offset per key (KeyIndex); the maintenance program
// stores a little more per key through the same table (KeyMap<T>), and walks
// the keys, which the engine never needs to.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "codec/keyed_hash.h"
#include "db/large_memory.h"

namespace zez {

namespace key_index_detail {

inline constexpr size_t MIN_SLOTS = 16;
inline constexpr size_t SMALL_TABLE_SLOTS = size_t(1) << 16;
// The key bytes of erased entries are reclaimed once they exceed this and
// half the arena: below it a compaction would cost more than it frees.
inline constexpr size_t MIN_DEAD_KEY_BYTES = 4096;

// The key's keyed hash (keyed_hash.h): its top 28 bits are the key's tag.
uint64_t hash_key(std::string_view key);

// Arenas of byte strings, each entry its length as a little-endian base-128
// number (one byte below 128) followed by its bytes. A plain buffer rather
// than a vector: appending a few bytes is a compare and a copy.
//
// Aliasing rule: extend() may move the arena's bytes to a bigger block and
// free the old one, so every pointer or view into an arena dies with the
// next extend(), and bytes appended to an arena must never point into that
// same arena (append_entry would copy them from freed memory). To store an
// entry an arena already holds, copy it out first. Debug builds check this
// in append_entry.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  Arena(Arena&& other) noexcept { swap(other); }
  Arena& operator=(Arena&& other) noexcept {
    Arena gone(std::move(other));
    swap(gone);
    return *this;
  }
  ~Arena() { release(); }

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  const char* data() const { return data_; }
  char* data() { return data_; }
  void reserve(size_t n) {
    if (n > capacity_) reallocate(n);
  }
  // Gives back the capacity past the end: one copy of the bytes, in order.
  void shrink_to_fit() {
    if (capacity_ > size_) reallocate(size_);
  }
  // Room for `n` more bytes at the end; returns where they start.
  char* extend(size_t n) {
    if (n > capacity_ - size_) reallocate(std::max({capacity_ * 2, size_ + n, size_t(256)}));
    char* at = data_ + size_;
    size_ += n;
    return at;
  }
  // Whether any of `bytes` lies in this arena's block (for the aliasing
  // check). Addresses compared as integers: pointers into different
  // objects have no order.
  bool overlaps(std::string_view bytes) const {
    if (data_ == nullptr || bytes.empty()) return false;
    const auto at = reinterpret_cast<uintptr_t>(bytes.data());
    const auto start = reinterpret_cast<uintptr_t>(data_);
    return at < start + capacity_ && start < at + bytes.size();
  }
  void swap(Arena& other) {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

 private:
  void reallocate(size_t capacity) {
    char* bigger = LargeAllocator<char>().allocate(capacity);
    if (size_ != 0) std::memcpy(bigger, data_, size_);
    release();
    data_ = bigger;
    capacity_ = capacity;
  }
  void release() {
    if (data_ != nullptr) LargeAllocator<char>().deallocate(data_, capacity_);
  }

  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Appends an entry for `bytes`; returns where it starts.
// `bytes` must not lie in `arena` (see Arena).
inline size_t append_entry(Arena& arena, std::string_view bytes) {
  assert(!arena.overlaps(bytes));
  char length[10];
  size_t n = 0;
  size_t len = bytes.size();
  for (; len >= 0x80; len >>= 7) length[n++] = char(uint8_t(len) | 0x80);
  length[n++] = char(len);
  const size_t position = arena.size();
  char* at = arena.extend(n + bytes.size());
  std::memcpy(at, length, n);
  if (!bytes.empty()) std::memcpy(at + n, bytes.data(), bytes.size());
  return position;
}

// The bytes of the entry at `position`.
inline std::string_view entry_at(const Arena& arena, size_t position) {
  const char* p = arena.data() + position;
  size_t len = 0;
  for (int shift = 0;; shift += 7) {
    const uint8_t b = uint8_t(*p++);
    len |= size_t(b & 0x7f) << shift;
    if (b < 0x80) break;
  }
  return std::string_view(p, len);
}

// The bytes the entry at `position` takes, its length included.
inline size_t entry_size(const Arena& arena, size_t position) {
  const std::string_view bytes = entry_at(arena, position);
  return size_t(bytes.data() + bytes.size() - (arena.data() + position));
}

// Slots for `entries` keys at most 4/5 full. Linear probing stays short
// below that: a lookup reads 3 slots on average at the fullest, and adding
// a table's keys one after another reads 3 per key in all.
inline size_t slots_for(size_t entries) { return std::max(MIN_SLOTS, entries + entries / 4 + 1); }

// A table's slots: one block, from allocate_large when it is big, so that
// cut() gives back a big block's end where it lies. A table shrinking to a
// fraction of itself then neither clears new pages nor copies its slots.
template <class Slot>
class SlotBlock {
  static_assert(std::is_trivially_copyable_v<Slot> && std::is_trivially_destructible_v<Slot>);

 public:
  SlotBlock() = default;
  SlotBlock(size_t n, const Slot& empty) {
    allocate(n);
    std::uninitialized_fill_n(data_, n, empty);
  }
  SlotBlock(SlotBlock&& other) noexcept { swap(other); }
  SlotBlock& operator=(SlotBlock&& other) noexcept {
    SlotBlock gone(std::move(other));
    swap(gone);
    return *this;
  }
  ~SlotBlock() { release(); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t bytes() const { return size_ * sizeof(Slot); }
  Slot* data() { return data_; }
  const Slot* data() const { return data_; }
  Slot& operator[](size_t i) { return data_[i]; }
  const Slot& operator[](size_t i) const { return data_[i]; }
  Slot* begin() { return data_; }
  Slot* end() { return data_ + size_; }
  const Slot* begin() const { return data_; }
  const Slot* end() const { return data_ + size_; }

  // Keeps the first `n` slots and gives back the rest.
  void cut(size_t n) {
    if (n >= size_) return;
    if (mapped_) {
      trim_large(data_, bytes(), n * sizeof(Slot));
      size_ = n;
      return;
    }
    SlotBlock kept;
    kept.allocate(n);
    std::uninitialized_copy_n(data_, n, kept.data_);
    swap(kept);
  }
  void swap(SlotBlock& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(mapped_, other.mapped_);
  }

 private:
  void allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(Slot)) throw std::bad_array_new_length();
    const size_t bytes = n * sizeof(Slot);
    mapped_ = bytes >= LARGE_MEMORY_THRESHOLD;
    void* memory = mapped_ ? allocate_large(bytes) : ::operator new(bytes);
    if (memory == nullptr) throw std::bad_alloc();
    data_ = static_cast<Slot*>(memory);
    size_ = n;
  }
  void release() {
    if (data_ == nullptr) return;
    if (mapped_) {
      free_large(data_, bytes());
    } else {
      ::operator delete(data_);
    }
  }

  Slot* data_ = nullptr;
  size_t size_ = 0;
  bool mapped_ = false;
};

}  // namespace key_index_detail

template <class T>
class KeyMap {
 public:
  KeyMap() = default;
  // A moved-from map is empty and usable; the implicit move would leave its
  // count behind over no slots at all.
  KeyMap(KeyMap&& other) noexcept
      : slots_(std::exchange(other.slots_, {})),
        keys_(std::move(other.keys_)),
        size_(std::exchange(other.size_, 0)),
        dead_key_bytes_(std::exchange(other.dead_key_bytes_, 0)) {}
  KeyMap& operator=(KeyMap&& other) noexcept {
    KeyMap gone(std::move(other));
    slots_.swap(gone.slots_);
    keys_.swap(gone.keys_);
    std::swap(size_, gone.size_);
    std::swap(dead_key_bytes_, gone.dead_key_bytes_);
    return *this;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Makes room for `n` keys, and `key_bytes` bytes of them, without
  // further growth.
  void reserve(size_t n, size_t key_bytes = 0);
  // Gives back what reserve() or erased keys left unused: the table shrinks
  // to the slots its keys need when that frees half of it or more, and the
  // key arena to its bytes (packed when erased keys take much of it). A
  // scan that reserved for every record of a file calls this at its end, so
  // the table costs its live keys.
  void shrink_to_fit();
  // The bytes the table and its key arena hold, for tests of the above.
  size_t memory_bytes() const { return slots_.bytes() + keys_.capacity(); }

  // The key's hash, for the calls below that take it: a caller with many
  // keys at hand hashes each and prefetches its slot a few keys before it
  // looks it up, so that the cache misses of a large table overlap.
  static uint64_t hash(std::string_view key) { return key_index_detail::hash_key(key); }
  void prefetch(uint64_t hash) const {
    // A probe for a new key reads on to the next empty slot, which at the
    // table's load often lies in the next cache line: that one too, when it
    // is still inside the table. No pointer past the array is formed, and
    // an empty table prefetches its null data() plus 0, which is harmless.
    // Kept free of branches: GCC 12 at -O3 removed both prefetches of an
    // earlier form (an early return for an empty table, then the second
    // prefetch under an `if`), and the open's scan lost its overlap of
    // cache misses without a word. After a change here, look for the
    // prefetch instructions in the scan's code.
    constexpr size_t SLOTS_PER_LINE = sizeof(Slot) >= 64 ? 1 : 64 / sizeof(Slot);
    const size_t home_slot = home(hash);
    const size_t next_line =
        slots_.size() - home_slot > SLOTS_PER_LINE ? home_slot + SLOTS_PER_LINE : home_slot;
    __builtin_prefetch(slots_.data() + home_slot);
    __builtin_prefetch(slots_.data() + next_line);
  }

  // The value stored for the key, or nullptr when it has none. The pointer
  // stays valid until the next change to the map.
  const T* find(std::string_view key) const { return find(key, hash(key)); }
  T* find(std::string_view key) { return find(key, hash(key)); }
  const T* find(std::string_view key, uint64_t hash) const;
  T* find(std::string_view key, uint64_t hash) {
    return const_cast<T*>(static_cast<const KeyMap&>(*this).find(key, hash));
  }
  // Sets the key's value, adding the key when it is new.
  void put(std::string_view key, const T& value) { put(key, hash(key), value); }
  void put(std::string_view key, uint64_t hash, const T& value);
  // Adds the key with `value` when it is new; otherwise leaves the stored
  // value as it is. Returns the stored value and whether the key was added:
  // one lookup where find() and put() would take two.
  std::pair<T*, bool> insert(std::string_view key, const T& value) {
    return insert(key, hash(key), value);
  }
  std::pair<T*, bool> insert(std::string_view key, uint64_t hash, const T& value);
  // Removes the key; nothing happens when it is absent. Returns whether it
  // was there, and its value through `removed` when that is not null.
  bool erase(std::string_view key, T* removed = nullptr) { return erase(key, hash(key), removed); }
  bool erase(std::string_view key, uint64_t hash, T* removed = nullptr);

  // Calls `visit(std::string_view key, const T& value)` for every key, in
  // no particular order. The map must not change meanwhile.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (const Slot& s : slots_) {
      if (s.ref != EMPTY) visit(key_at(s.ref), s.value);
    }
  }
  // The same, with each value open to change.
  template <class Visit>
  void for_each(Visit&& visit) {
    for (Slot& s : slots_) {
      if (s.ref != EMPTY) visit(key_at(s.ref), s.value);
    }
  }

 private:
  struct Slot {
    T value;
    uint64_t ref;  // EMPTY, or the tag over the key's arena position plus 1
  };
  static constexpr uint64_t EMPTY = 0;
  // 28 bits of tag and 36 of position: 64 GiB of key bytes. The tag places
  // keys evenly in tables of up to 2^28 slots; beyond that, keys share
  // their first slot in small groups and a lookup compares a few more
  // keys, still exactly. Within one first slot, the tag tells keys apart
  // by its bits below those that chose the slot: 8 of them at 2^20 slots.
  static constexpr int TAG_BITS = 28;
  static constexpr int TAG_SHIFT = 64 - TAG_BITS;
  static constexpr uint64_t POSITION_MASK = (uint64_t(1) << TAG_SHIFT) - 1;

  // The first slot to look in: the tag scaled to the table.
  size_t home_of_tag(uint64_t tag) const { return size_t((tag * slots_.size()) >> TAG_BITS); }
  size_t home(uint64_t hash) const { return home_of_tag(hash >> TAG_SHIFT); }
  size_t next(size_t slot) const { return slot + 1 == slots_.size() ? 0 : slot + 1; }
  std::string_view key_at(uint64_t ref) const;
  uint64_t append_key(std::string_view key, uint64_t hash);
  // The slot holding the key, or the empty slot where it would go.
  size_t probe(std::string_view key, uint64_t hash) const;
  void rehash(size_t slot_count);
  void shrink_slots(size_t slot_count);
  void remove_slot(size_t slot);
  void compact_keys();

  key_index_detail::SlotBlock<Slot> slots_;
  key_index_detail::Arena keys_;
  size_t size_ = 0;
  size_t dead_key_bytes_ = 0;  // bytes in keys_ of keys that were erased
};

using KeyIndex = KeyMap<uint64_t>;

// ---- Implementation -------------------------------------------------------

template <class T>
void KeyMap<T>::reserve(size_t n, size_t key_bytes) {
  if (key_index_detail::slots_for(n) > slots_.size()) rehash(key_index_detail::slots_for(n));
  keys_.reserve(key_bytes);
}

template <class T>
void KeyMap<T>::shrink_to_fit() {
  // The move reads the whole table, so it waits until it frees at least
  // half of it.
  const size_t wanted = key_index_detail::slots_for(size_);
  if (wanted * 2 <= slots_.size()) shrink_slots(wanted);
  // Packing reads every key in slot order; copying the arena as it is costs
  // a fraction of that, and is enough unless erased keys take much of it.
  // A large arena is mapped memory whose unused end was never touched: it
  // costs address space, not memory, and copying it would cost the open of
  // a million keys several percent for nothing.
  const size_t live_key_bytes = keys_.size() - dead_key_bytes_;
  if (dead_key_bytes_ > key_index_detail::MIN_DEAD_KEY_BYTES &&
      dead_key_bytes_ > live_key_bytes / 4) {
    compact_keys();
  } else if (keys_.capacity() < LARGE_MEMORY_THRESHOLD &&
             keys_.size() + keys_.size() / 4 < keys_.capacity()) {
    keys_.shrink_to_fit();
  }
}

template <class T>
std::string_view KeyMap<T>::key_at(uint64_t ref) const {
  return key_index_detail::entry_at(keys_, size_t((ref & POSITION_MASK) - 1));
}

template <class T>
uint64_t KeyMap<T>::append_key(std::string_view key, uint64_t hash) {
  if (keys_.size() >= POSITION_MASK) throw std::length_error("key index: too many key bytes");
  const size_t position = key_index_detail::append_entry(keys_, key);
  return (hash >> TAG_SHIFT << TAG_SHIFT) | (position + 1);
}

template <class T>
size_t KeyMap<T>::probe(std::string_view key, uint64_t hash) const {
  const uint64_t tag = hash >> TAG_SHIFT;
  for (size_t slot = home(hash);; slot = next(slot)) {
    const uint64_t ref = slots_[slot].ref;
    if (ref == EMPTY) return slot;
    if ((ref >> TAG_SHIFT) == tag && key_at(ref) == key) return slot;
  }
}

template <class T>
const T* KeyMap<T>::find(std::string_view key, uint64_t hash) const {
  if (size_ == 0) return nullptr;
  const Slot& s = slots_[probe(key, hash)];
  return s.ref == EMPTY ? nullptr : &s.value;
}

template <class T>
std::pair<T*, bool> KeyMap<T>::insert(std::string_view key, uint64_t hash, const T& value) {
  if ((size_ + 1) * 5 > slots_.size() * 4) {
    // A growing table moves every key to a new place; while it is
    // small, memory is cheap and four times the slots means a third of the
    // moves.
    const size_t factor = slots_.size() < key_index_detail::SMALL_TABLE_SLOTS ? 4 : 2;
    rehash(slots_.empty() ? key_index_detail::MIN_SLOTS : slots_.size() * factor);
  }
  Slot& s = slots_[probe(key, hash)];
  if (s.ref != EMPTY) return {&s.value, false};
  s.ref = append_key(key, hash);
  s.value = value;
  ++size_;
  return {&s.value, true};
}

template <class T>
void KeyMap<T>::put(std::string_view key, uint64_t hash, const T& value) {
  auto [held, added] = insert(key, hash, value);
  if (!added) *held = value;
}

template <class T>
bool KeyMap<T>::erase(std::string_view key, uint64_t hash, T* removed) {
  if (size_ == 0) return false;
  const size_t slot = probe(key, hash);
  if (slots_[slot].ref == EMPTY) return false;
  if (removed) *removed = slots_[slot].value;
  const size_t position = size_t((slots_[slot].ref & POSITION_MASK) - 1);
  dead_key_bytes_ += key_index_detail::entry_size(keys_, position);
  remove_slot(slot);
  --size_;
  if (dead_key_bytes_ > key_index_detail::MIN_DEAD_KEY_BYTES && dead_key_bytes_ > keys_.size() / 2)
    compact_keys();
  return true;
}

// Backward-shift deletion: later entries of the probe run move up into the
// hole unless their home slot lies cyclically after it, so no tombstones
// are needed and lookups stay as short as if the key had never been there.
template <class T>
void KeyMap<T>::remove_slot(size_t hole) {
  for (size_t slot = next(hole); slots_[slot].ref != EMPTY; slot = next(slot)) {
    const size_t home_slot = home_of_tag(slots_[slot].ref >> TAG_SHIFT);
    const bool stays = hole <= slot ? (hole < home_slot && home_slot <= slot)
                                    : (hole < home_slot || home_slot <= slot);
    if (stays) continue;
    slots_[hole] = slots_[slot];
    hole = slot;
  }
  slots_[hole] = Slot{T{}, EMPTY};
}

template <class T>
void KeyMap<T>::rehash(size_t slot_count) {
  // Far above any table that fits in memory; keeps tag * size in 64 bits.
  if (slot_count > UINT32_MAX) throw std::length_error("key index: too many keys");
  key_index_detail::SlotBlock<Slot> old(slot_count, Slot{T{}, EMPTY});
  old.swap(slots_);
  // The old slots come nearly in the order of their tags, so the new table
  // fills nearly in order too, a cache line at a time.
  for (const Slot& s : old) {
    if (s.ref == EMPTY) continue;
    size_t slot = home_of_tag(s.ref >> TAG_SHIFT);
    while (slots_[slot].ref != EMPTY) slot = next(slot);
    slots_[slot] = s;
  }
}

// Moves every key to the first `slot_count` slots, in place, in one pass
// in slot order. A key's first slot in the smaller table lies at or before
// its first slot in this one, and every key lies at or after its first
// slot, so each key lands at or before the slot it leaves: never on one not
// yet read. Set aside and placed after the cut are the keys of the run that
// wraps past the end into the first slots (they lie before their first
// slot), and those whose run in the smaller table would pass its end.
template <class T>
void KeyMap<T>::shrink_slots(size_t slot_count) {
  std::vector<Slot> aside;
  size_t i = 0;
  for (; slots_[i].ref != EMPTY; ++i) {
    aside.push_back(slots_[i]);
    slots_[i] = Slot{T{}, EMPTY};
  }
  for (; i < slots_.size(); ++i) {
    if (slots_[i].ref == EMPTY) continue;
    const Slot s = slots_[i];
    // Past the smaller table's end a slot is never read again.
    if (i < slot_count) slots_[i] = Slot{T{}, EMPTY};
    size_t slot = size_t(((s.ref >> TAG_SHIFT) * slot_count) >> TAG_BITS);
    while (slot < slot_count && slots_[slot].ref != EMPTY) ++slot;
    if (slot < slot_count) {
      slots_[slot] = s;
    } else {
      aside.push_back(s);
    }
  }
  slots_.cut(slot_count);
  for (const Slot& s : aside) {
    size_t slot = home_of_tag(s.ref >> TAG_SHIFT);
    while (slots_[slot].ref != EMPTY) slot = next(slot);
    slots_[slot] = s;
  }
}

template <class T>
void KeyMap<T>::compact_keys() {
  key_index_detail::Arena packed;
  packed.reserve(keys_.size() - dead_key_bytes_);
  for (Slot& s : slots_) {
    if (s.ref == EMPTY) continue;
    const size_t position = key_index_detail::append_entry(packed, key_at(s.ref));
    s.ref = (s.ref & ~POSITION_MASK) | (position + 1);
  }
  keys_.swap(packed);
  dead_key_bytes_ = 0;
}

// The engine's instance is compiled once, in key_index.cc.
extern template class KeyMap<uint64_t>;

}  // namespace zez
