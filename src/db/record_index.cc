#include "db/record_index.h"

#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>

#include "db/large_memory.h"

namespace zez {

using key_index_detail::append_entry;

namespace {

// Blocks come from the system page by page, so a block's cost is its size
// rounded up to a page.
constexpr size_t PAGE = 4096;
// A block holds at most this share of the budget, so shedding one frees a
// small part of it; larger than a megabyte saves nothing, smaller than a
// page cannot be.
constexpr size_t BLOCKS_PER_BUDGET = 64;
constexpr size_t MAX_BLOCK = size_t(1) << 20;
constexpr size_t MIN_BLOCK = PAGE;

size_t round_to_page(size_t bytes) { return (bytes + PAGE - 1) / PAGE * PAGE; }

size_t length_bytes(size_t len) {
  size_t n = 1;
  for (; len >= 0x80; len >>= 7) ++n;
  return n;
}

// The length, then the bytes, at `at`; returns the end.
char* put_entry(char* at, std::string_view bytes) {
  size_t len = bytes.size();
  for (; len >= 0x80; len >>= 7) *at++ = char(uint8_t(len) | 0x80);
  *at++ = char(len);
  if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
  return at + bytes.size();
}

std::string_view get_entry(const char*& at) {
  size_t len = 0;
  for (int shift = 0;; shift += 7) {
    const uint8_t b = uint8_t(*at++);
    len |= size_t(b & 0x7f) << shift;
    if (b < 0x80) break;
  }
  std::string_view bytes(at, len);
  at += len;
  return bytes;
}

size_t entry_size(std::string_view value, std::string_view key) {
  return 8 + length_bytes(value.size()) + value.size() + length_bytes(key.size()) + key.size();
}

}  // namespace

RecordIndex::~RecordIndex() {
  while (!blocks_.empty()) free_front_block();
}

RecordIndex::Parsed RecordIndex::parse(const char* entry) {
  Parsed p;
  std::memcpy(&p.offset, entry, 8);
  const char* at = entry + 8;
  p.value = get_entry(at);
  p.key = get_entry(at);
  p.size = size_t(at - entry);
  return p;
}

const char* RecordIndex::entry_at(uint64_t position) const {
  const Block& b = blocks_[size_t((position >> block_shift_) - first_block_number_)];
  return b.data + (position & ((uint64_t(1) << block_shift_) - 1));
}

std::optional<RecordIndex::Entry> RecordIndex::find(std::string_view key, uint64_t hash) const {
  const uint64_t* where = where_.find(key, hash);
  if (!where) return std::nullopt;
  const bool may_hold_links = !(*where & LINKLESS);
  if (*where & HELD) {
    const char* entry = entry_at(*where & POSITION_MASK);
    uint64_t offset;
    std::memcpy(&offset, entry, 8);
    const char* at = entry + 8;
    return Entry{get_entry(at), offset, may_hold_links, true};
  }
  return Entry{std::nullopt, *where & POSITION_MASK, may_hold_links, (*where & WRITTEN) != 0};
}

bool RecordIndex::put_offset(std::string_view key, uint64_t hash, uint64_t offset) {
  if (offset >= OFFSET_LIMIT) return false;
  auto [where, added] = where_.insert(key, hash, offset);
  if (added) return true;
  retire(*where);
  *where = offset;
  return true;
}

void RecordIndex::put_value(std::string_view key, uint64_t hash, std::string_view value,
                            bool holds_links, uint64_t offset) {
  if (offset > POSITION_MASK) throw std::length_error("record index: offset out of range");
  // The entry first: where_ must not point at a value that is not there.
  const uint64_t position = append(offset, value, key);
  auto [where, added] = where_.insert(key, hash, 0);
  if (!added) retire(*where);
  live_bytes_ += entry_size(value, key);
  *where = HELD | WRITTEN | (holds_links ? 0 : LINKLESS) | position;
}

void RecordIndex::erase(std::string_view key, uint64_t hash) {
  uint64_t where;
  if (where_.erase(key, hash, &where)) retire(where);
}

void RecordIndex::retire(uint64_t where) {
  if (where & HELD) live_bytes_ -= parse(entry_at(where & POSITION_MASK)).size;
}

uint64_t RecordIndex::append(uint64_t offset, std::string_view value, std::string_view key) {
  const size_t size = entry_size(value, key);
  if (block_shift_ == 0) {
    const size_t share = std::bit_floor(std::max<size_t>(budget_->limit / BLOCKS_PER_BUDGET, 1));
    block_shift_ = std::countr_zero(std::clamp(share, MIN_BLOCK, MAX_BLOCK));
  }
  const size_t block_size = size_t(1) << block_shift_;
  Block* b = blocks_.empty() ? nullptr : &blocks_.back();
  if (size > block_size / 4) {
    // A value of its own block, at its start; the next goes to a new one.
    b = &new_block(size);
    newest_closed_ = true;
  } else if (b == nullptr || newest_closed_ || size > b->capacity - b->used) {
    b = &new_block(block_size);
  }
  const uint64_t number = first_block_number_ + (blocks_.size() - 1);
  const uint64_t position = (number << block_shift_) + b->used;
  if (position > POSITION_MASK) throw std::length_error("record index: value cache exhausted");
  char* at = b->data + b->used;
  std::memcpy(at, &offset, 8);
  at = put_entry(put_entry(at + 8, value), key);
  b->used += size;
  used_bytes_ += size;
  return position;
}

RecordIndex::Block& RecordIndex::new_block(size_t capacity) {
  capacity = round_to_page(capacity);
  void* memory = allocate_large(capacity);
  if (memory == nullptr) throw std::bad_alloc();
  blocks_.push_back(Block{static_cast<char*>(memory), capacity, 0, budget_->blocks_made++});
  newest_closed_ = false;
  cache_bytes_ += capacity;
  budget_->held += capacity;
  return blocks_.back();
}

void RecordIndex::free_front_block() {
  const Block b = blocks_.front();
  blocks_.pop_front();
  ++first_block_number_;
  free_large(b.data, b.capacity);
  cache_bytes_ -= b.capacity;
  budget_->held -= b.capacity;
  used_bytes_ -= b.used;
}

std::optional<uint64_t> RecordIndex::oldest_block_birth() const {
  if (blocks_.empty()) return std::nullopt;
  return blocks_.front().birth;
}

// The values of the oldest block that are still some key's value are
// dropped or moved; the rest of it is dead.
void RecordIndex::walk_oldest_block(const std::function<bool(uint64_t)>& droppable) {
  // Moved values must not land in the block being walked.
  if (blocks_.size() == 1) newest_closed_ = true;
  const Block& b = blocks_.front();
  const char* data = b.data;
  const size_t used = b.used;
  const uint64_t base = first_block_number_ << block_shift_;
  for (size_t at = 0; at < used;) {
    const Parsed p = parse(data + at);
    const uint64_t position = base + at;
    at += p.size;
    uint64_t* where = where_.find(p.key);
    if (where == nullptr || !(*where & HELD) || (*where & POSITION_MASK) != position) continue;
    if (droppable(p.offset)) {
      live_bytes_ -= p.size;
      *where = (*where & (LINKLESS | WRITTEN)) | p.offset;
    } else {
      // append() may add a block to the deque, which leaves `b`, `data`
      // and `where` where they are.
      *where = (*where & ~POSITION_MASK) | append(p.offset, p.value, p.key);
    }
  }
  free_front_block();
}

bool RecordIndex::shed_oldest_block(const std::function<bool(uint64_t)>& droppable) {
  if (blocks_.empty()) return false;
  walk_oldest_block(droppable);
  return true;
}

void RecordIndex::reclaim_dead_bytes() {
  if (blocks_.size() < 3 || (used_bytes_ - live_bytes_) * 2 <= used_bytes_) return;
  walk_oldest_block([](uint64_t) { return false; });
}

}  // namespace zez
