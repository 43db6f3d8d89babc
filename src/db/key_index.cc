#include "db/key_index.h"

#include <functional>

namespace zez {

namespace key_index_detail {

uint32_t hash_key(std::string_view key) {
  uint64_t h = std::hash<std::string_view>{}(key);
  return uint32_t(h ^ (h >> 32));
}

}  // namespace key_index_detail

template class KeyMap<uint64_t>;

}  // namespace zez
