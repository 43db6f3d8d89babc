// A collection's index and value cache in one: its live keys, each with
// where its value is, the offset of its last record in the file or, for a
// key written since the collection was opened, the encoded value itself,
// held in the value cache.
//
// The value cache has a ceiling. Without one, a process that writes more
// than its memory holds (an import, a service running for days) ends in an
// out-of-memory kill, and whatever it had buffered dies with it. So:
// - The caches of one Database share one budget (ValueCacheBudget), though
//   each collection has its own cache: what counts is what the process holds.
// - The cache is a queue of blocks obtained from the system page by page, so
//   what a block is charged is what it costs; there is no doubling arena to
//   reach three times its contents, and no packing copy on top. A value too
//   large to share a block gets a block of its own.
// - Each held value keeps the offset of its record, so it can be dropped:
//   the key then points to that record, as after a reopen, and a read finds
//   the same bytes in the file.
// - When the Database is over budget, the oldest block of all goes first:
//   each of its live values whose record is safely in the file is dropped,
//   and any other (its record still in a write buffer, or in a push that
//   failed) is copied to the newest block. A value that has not reached the
//   file is never dropped.
// - Values replaced or removed leave dead bytes in their block. Once they
//   are more than half the cache, the oldest block's live values move to the
//   newest, so the cache stays within about twice what is live even while
//   under budget.
// - Every key keeps whether its value was written here and whether its
//   writer found links in it, dropped or not: a write replacing a value with
//   no links need not read it back, and one replacing a dropped value that
//   may hold links must read it (and must not go ahead if that read fails).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string_view>

#include "db/key_index.h"

namespace zez {

// The memory the value caches of one Database may hold, shared by its
// collections. The Database sheds blocks while `held` is over `limit`.
struct ValueCacheBudget {
  size_t limit;
  size_t held = 0;
  // Blocks made so far, across the collections: each block's birth, so
  // that the oldest block of all can go first.
  uint64_t blocks_made = 0;
};

class RecordIndex {
 public:
  // Where a live key's value is: `value` when it is held here, else the
  // record at `offset` in the file.
  struct Entry {
    std::optional<std::string_view> value;  // valid until the next change
    uint64_t offset;
    // False only for a value written here that its writer found no links in.
    bool may_hold_links;
    // The value was written since the open (it is held, or was dropped).
    bool written_here;
  };

  // Without set_budget, the cache is charged to a budget of its own that
  // has no limit.
  RecordIndex() = default;
  ~RecordIndex();
  RecordIndex(const RecordIndex&) = delete;
  RecordIndex& operator=(const RecordIndex&) = delete;
  // Charges the cache to `budget` from now on; called before any value is
  // held. The budget must outlive the index.
  void set_budget(ValueCacheBudget* budget) { budget_ = budget; }

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
  // Offsets must stay below this: the top three bits of a stored offset
  // mark a held value and what the key's value was.
  static constexpr uint64_t OFFSET_LIMIT = uint64_t(1) << 61;

  // The key's last record is at `offset` in the file (as the open's scan
  // finds it); a value held for it is dropped. False, and nothing changes,
  // when `offset` is not below OFFSET_LIMIT.
  [[nodiscard]] bool put_offset(std::string_view key, uint64_t hash, uint64_t offset);
  // The key's value is `value`, whose record starts at `offset` (below
  // OFFSET_LIMIT), held from now on; `holds_links` false says it holds no
  // link to keep a backlink for, which spares a write that replaces it the
  // search for its links.
  void put_value(std::string_view key, uint64_t hash, std::string_view value, bool holds_links,
                 uint64_t offset);
  void erase(std::string_view key, uint64_t hash);

  // The memory the cache's blocks hold.
  size_t cache_bytes() const { return cache_bytes_; }
  size_t block_count() const { return blocks_.size(); }
  // The birth of the oldest block, or nothing when the cache has none.
  std::optional<uint64_t> oldest_block_birth() const;
  // Frees the oldest block. Each live value in it that `droppable(offset of
  // its record)` accepts is dropped; every other one moves to the newest
  // block. Returns false when there was no block.
  bool shed_oldest_block(const std::function<bool(uint64_t)>& droppable);
  // Moves the oldest block's live values to the newest while dead bytes are
  // more than half the cache, for one block at most per call.
  void reclaim_dead_bytes();

 private:
  // A value in where_ with HELD set is a position in the cache; without it,
  // a file offset. LINKLESS: the value was written here and holds no links.
  // WRITTEN: the value was written here (with HELD clear, it was dropped).
  static constexpr uint64_t HELD = uint64_t(1) << 63;
  static constexpr uint64_t LINKLESS = uint64_t(1) << 62;
  static constexpr uint64_t WRITTEN = uint64_t(1) << 61;
  static constexpr uint64_t FLAGS = HELD | LINKLESS | WRITTEN;
  // File offsets and cache positions must fit below the flags.
  static constexpr uint64_t POSITION_MASK = WRITTEN - 1;

  // One block of the cache. Entries are the record's offset (8 bytes), the
  // value and the key, each of the last two an arena entry (its length then
  // its bytes): the key lets a block being shed find its values' slots.
  struct Block {
    char* data;
    size_t capacity;
    size_t used;
    uint64_t birth;
  };
  // A held value's position is its block's number (counted from the first
  // block this index made) times 2^block_shift_, plus where in the block
  // the entry starts.
  struct Parsed {
    uint64_t offset;
    std::string_view value;
    std::string_view key;
    size_t size;
  };
  static Parsed parse(const char* entry);
  const char* entry_at(uint64_t position) const;
  uint64_t append(uint64_t offset, std::string_view value, std::string_view key);
  Block& new_block(size_t capacity);
  void free_front_block();
  void retire(uint64_t where);
  void walk_oldest_block(const std::function<bool(uint64_t)>& droppable);

  KeyMap<uint64_t> where_;
  ValueCacheBudget own_budget_{size_t(-1)};
  ValueCacheBudget* budget_ = &own_budget_;
  std::deque<Block> blocks_;
  uint64_t first_block_number_ = 0;
  int block_shift_ = 0;  // chosen from the budget with the first block
  // Appends go to a new block: the newest is being shed, or is a value's own.
  bool newest_closed_ = false;
  size_t cache_bytes_ = 0;
  size_t used_bytes_ = 0;  // bytes of entries in the blocks, live or dead
  size_t live_bytes_ = 0;  // bytes of entries that are some key's value
};

}  // namespace zez
