#include "db/record_index.h"

namespace zez {

using key_index_detail::append_entry;
using key_index_detail::entry_at;
using key_index_detail::entry_size;

// Packing copies every held value, so it waits until it frees at least as
// much as it copies, and at least this much.
constexpr size_t MIN_DEAD_BYTES_TO_PACK = size_t(1) << 20;

std::optional<RecordIndex::Entry> RecordIndex::find(std::string_view key, uint64_t hash) const {
  const uint64_t* where = where_.find(key, hash);
  if (!where) return std::nullopt;
  if (*where & HELD) {
    return Entry{entry_at(value_cache_, size_t(*where & ~FLAGS)), 0, !(*where & LINKLESS)};
  }
  return Entry{std::nullopt, *where, true};
}

bool RecordIndex::put_offset(std::string_view key, uint64_t hash, uint64_t offset) {
  if (offset >= OFFSET_LIMIT) return false;
  auto [where, added] = where_.insert(key, hash, offset);
  if (added) return true;
  drop_held(*where);
  *where = offset;
  pack_if_worth_it();
  return true;
}

void RecordIndex::put_value(std::string_view key, uint64_t hash, std::string_view value,
                            bool holds_links) {
  auto [where, added] = where_.insert(key, hash, 0);
  if (!added) drop_held(*where);
  *where = HELD | (holds_links ? 0 : LINKLESS) | append_entry(value_cache_, value);
  pack_if_worth_it();
}

void RecordIndex::erase(std::string_view key, uint64_t hash) {
  uint64_t where;
  if (!where_.erase(key, hash, &where)) return;
  drop_held(where);
  pack_if_worth_it();
}

void RecordIndex::drop_held(uint64_t where) {
  if (where & HELD) dead_bytes_ += entry_size(value_cache_, size_t(where & ~FLAGS));
}

void RecordIndex::pack_if_worth_it() {
  if (dead_bytes_ < MIN_DEAD_BYTES_TO_PACK || dead_bytes_ * 2 < value_cache_.size()) return;
  key_index_detail::Arena packed;
  packed.reserve(value_cache_.size() - dead_bytes_);
  where_.for_each([&](std::string_view, uint64_t& where) {
    if (where & HELD) {
      where =
          (where & FLAGS) | append_entry(packed, entry_at(value_cache_, size_t(where & ~FLAGS)));
    }
  });
  value_cache_.swap(packed);
  dead_bytes_ = 0;
}

}  // namespace zez
