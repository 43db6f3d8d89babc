#include "db/key_index.h"

#include <functional>

namespace zez {

namespace {

// Tables grow when more than 3/4 of their slots are taken: linear probing
// stays short below that.
constexpr size_t MIN_SLOTS = 16;

uint32_t hash_key(std::string_view key) {
  uint64_t h = std::hash<std::string_view>{}(key);
  return uint32_t(h ^ (h >> 32));
}

size_t slots_for(size_t entries) {
  size_t n = MIN_SLOTS;
  while (n / 4 * 3 < entries) n *= 2;
  return n;
}

}  // namespace

void KeyIndex::reserve(size_t n) {
  entries_.reserve(n);
  if (slots_for(n) > slots_.size()) rehash(slots_for(n));
}

size_t KeyIndex::probe(std::string_view key, uint32_t hash) const {
  for (size_t slot = hash & mask();; slot = (slot + 1) & mask()) {
    uint32_t held = slots_[slot];
    if (held == EMPTY) return slot;
    const Entry& e = entries_[held - 1];
    if (e.hash == hash && key_of(e) == key) return slot;
  }
}

size_t KeyIndex::slot_of(uint32_t entry) const {
  for (size_t slot = entries_[entry].hash & mask();; slot = (slot + 1) & mask()) {
    if (slots_[slot] == entry + 1) return slot;
  }
}

const uint64_t* KeyIndex::find(std::string_view key) const {
  if (entries_.empty()) return nullptr;
  uint32_t held = slots_[probe(key, hash_key(key))];
  return held == EMPTY ? nullptr : &entries_[held - 1].offset;
}

void KeyIndex::put(std::string_view key, uint64_t offset) {
  if (slots_.empty() || (entries_.size() + 1) > slots_.size() / 4 * 3) {
    rehash(slots_.empty() ? MIN_SLOTS : slots_.size() * 2);
  }
  uint32_t hash = hash_key(key);
  size_t slot = probe(key, hash);
  if (slots_[slot] != EMPTY) {
    entries_[slots_[slot] - 1].offset = offset;
    return;
  }
  entries_.push_back(Entry{offset, keys_.size(), uint32_t(key.size()), hash});
  keys_.append(key);
  slots_[slot] = uint32_t(entries_.size());
}

void KeyIndex::erase(std::string_view key) {
  if (entries_.empty()) return;
  size_t slot = probe(key, hash_key(key));
  uint32_t held = slots_[slot];
  if (held == EMPTY) return;
  remove_slot(slot);
  uint32_t gone = held - 1;
  dead_key_bytes_ += entries_[gone].key_len;
  // The last entry moves into the hole, so the array stays dense.
  uint32_t last = uint32_t(entries_.size() - 1);
  if (gone != last) {
    slots_[slot_of(last)] = gone + 1;
    entries_[gone] = entries_[last];
  }
  entries_.pop_back();
  if (dead_key_bytes_ > 4096 && dead_key_bytes_ > keys_.size() / 2) compact_keys();
}

// Backward-shift deletion: later entries of the probe run move up into the
// hole unless their home slot lies cyclically after it, so no tombstones
// are needed and lookups stay as short as if the key had never been there.
void KeyIndex::remove_slot(size_t hole) {
  for (size_t next = (hole + 1) & mask(); slots_[next] != EMPTY; next = (next + 1) & mask()) {
    size_t home = entries_[slots_[next] - 1].hash & mask();
    bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (stays) continue;
    slots_[hole] = slots_[next];
    hole = next;
  }
  slots_[hole] = EMPTY;
}

void KeyIndex::rehash(size_t slot_count) {
  slots_.assign(slot_count, EMPTY);
  for (uint32_t i = 0; i < entries_.size(); ++i) {
    size_t slot = entries_[i].hash & mask();
    while (slots_[slot] != EMPTY) slot = (slot + 1) & mask();
    slots_[slot] = i + 1;
  }
}

void KeyIndex::compact_keys() {
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

}  // namespace zez
