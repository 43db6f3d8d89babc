#include "db/key_index.h"


namespace zez {

namespace key_index_detail {

// Keys come from callers and files, so the table is keyed: see keyed_hash.h.
uint64_t hash_key(std::string_view key) { return keyed_hash(key); }

}  // namespace key_index_detail

template class KeyMap<uint64_t>;

}  // namespace zez
