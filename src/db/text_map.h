// Hash maps and sets keyed by text that can be looked up with a
// string_view, so a lookup never builds a temporary string. The text comes
// from callers and files, so the hash is keyed (keyed_hash.h).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "codec/keyed_hash.h"

namespace zez {

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return size_t(keyed_hash(s)); }
};

template <class T>
using TextMap = std::unordered_map<std::string, T, TextHash, std::equal_to<>>;

using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;

}  // namespace zez
