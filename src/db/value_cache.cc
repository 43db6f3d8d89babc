#include "db/value_cache.h"

namespace zez {

using key_index_detail::append_entry;
using key_index_detail::entry_at;
using key_index_detail::entry_size;

// Packing copies every live value, so it waits until it frees at least as
// much as it copies, and at least this much.
constexpr size_t MIN_DEAD_BYTES_TO_PACK = size_t(1) << 20;

std::optional<std::string_view> ValueCache::find(std::string_view key, uint64_t hash) const {
  const uint64_t* position = where_.find(key, hash);
  if (!position) return std::nullopt;
  return entry_at(values_, size_t(*position));
}

void ValueCache::put(std::string_view key, uint64_t hash, std::string_view value) {
  auto [position, added] = where_.insert(key, hash, 0);
  if (!added) dead_bytes_ += entry_size(values_, size_t(*position));
  *position = append_entry(values_, value);
  pack_if_worth_it();
}

void ValueCache::erase(std::string_view key, uint64_t hash) {
  uint64_t position;
  if (!where_.erase(key, hash, &position)) return;
  dead_bytes_ += entry_size(values_, size_t(position));
  pack_if_worth_it();
}

void ValueCache::pack_if_worth_it() {
  if (dead_bytes_ < MIN_DEAD_BYTES_TO_PACK || dead_bytes_ * 2 < values_.size()) return;
  key_index_detail::Arena packed;
  packed.reserve(values_.size() - dead_bytes_);
  where_.for_each([&](std::string_view, uint64_t& position) {
    position = append_entry(packed, entry_at(values_, size_t(position)));
  });
  values_.swap(packed);
  dead_bytes_ = 0;
}

}  // namespace zez
