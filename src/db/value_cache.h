// The values written to a collection since it was opened, encoded, each
// under its key, never evicted. One key table over one arena of values: a
// million cached values cost no allocation each, and dropping them costs
// nothing per value. A value replaced or removed leaves its bytes behind
// until they are half the arena; then the live values are packed anew, so
// the arena stays within twice what it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "db/key_index.h"

namespace zez {

class ValueCache {
 public:
  // `hash` is KeyIndex::hash(key), which the caller shares with the index.
  // The bytes stay valid until the next change.
  std::optional<std::string_view> find(std::string_view key, uint64_t hash) const;
  void put(std::string_view key, uint64_t hash, std::string_view value);
  void erase(std::string_view key, uint64_t hash);
  void prefetch(uint64_t hash) const { where_.prefetch(hash); }

 private:
  void pack_if_worth_it();

  KeyMap<uint64_t> where_;  // key -> position of its value's entry in values_
  key_index_detail::Arena values_;
  size_t dead_bytes_ = 0;
};

}  // namespace zez
