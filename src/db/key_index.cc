#include "db/key_index.h"

#include <bit>
#include <cstring>

namespace zez {

namespace key_index_detail {

namespace {

uint64_t load_word(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

constexpr uint64_t K1 = 0x9e3779b97f4a7c15ULL;
constexpr uint64_t K2 = 0xc2b2ae3d27d4eb4fULL;

uint64_t hash_round(uint64_t h, uint64_t w) { return std::rotl(h + w * K2, 31) * K1; }

}  // namespace

uint64_t hash_key(std::string_view key) {
  // Hashes never leave memory, and the library's byte hash costs more than
  // the rest of an insert's work: keys are mostly short, so one or two loads
  // and a final mix of all the bits, which the slot's place (low bits) and
  // its tag (high bits) both need.
  const char* p = key.data();
  const size_t n = key.size();
  uint64_t h = K2 ^ (uint64_t(n) * K1);
  if (n >= 8) {
    size_t i = 0;
    for (; i + 16 < n; i += 8) h = hash_round(h, load_word(p + i));
    // The last 8 or 16 bytes, overlapping what came before when n is not a
    // multiple of 8; the length in the seed keeps such overlaps apart.
    h = hash_round(hash_round(h, load_word(p + i)), load_word(p + n - 8));
  } else if (n >= 4) {
    uint32_t x;
    uint32_t y;
    std::memcpy(&x, p, 4);
    std::memcpy(&y, p + n - 4, 4);
    h = hash_round(h, uint64_t(x) << 32 | y);
  } else if (n > 0) {
    h = hash_round(
        h, uint64_t(uint8_t(p[0])) << 16 | uint64_t(uint8_t(p[n / 2])) << 8 | uint8_t(p[n - 1]));
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  return h ^ (h >> 33);
}

}  // namespace key_index_detail

template class KeyMap<uint64_t>;

}  // namespace zez
