// Writes keys crafted to collide under the unkeyed hashes the tables used
// before they were keyed, for bench/crafted_keys.py. Each key is 16 bytes of
// valid UTF-8, printed as hex, one per line:
//
//   crafted_keys old-index N   N keys with one 64-bit hash under the key
//                              index's former hash (same slot, same tag)
//   crafted_keys std-hash N    N keys with one std::hash<std::string_view>
//                              (libstdc++), which Map's table used
//   crafted_keys ordinary N    N keys made the same way with random last
//                              bytes instead of solved ones: the same mix of
//                              characters (so the same cost of converting
//                              them from Python), ordinary hashes
//
// Both functions are invertible word by word: the first 8 bytes are chosen
// (distinct ASCII, so the keys differ), the last 8 solved so that the hash
// reaches the target, and a key is kept only when those 8 bytes are valid
// UTF-8 on their own; a few hundred tries per key. Every key is checked
// against the function before it is printed.
//
//   g++ -std=c++20 -O2 bench/crafted_keys.cc -o build/crafted_keys
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

namespace {

uint64_t load_word(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// The inverse of an odd number modulo 2^64 (Newton's iteration).
constexpr uint64_t inverse(uint64_t a) {
  uint64_t x = a;
  for (int i = 0; i < 6; ++i) x *= 2 - a * x;
  return x;
}

// ---- The key index's former hash, for 16-byte keys -----------------------

constexpr uint64_t K1 = 0x9e3779b97f4a7c15ULL;
constexpr uint64_t K2 = 0xc2b2ae3d27d4eb4fULL;
constexpr uint64_t M1 = 0xff51afd7ed558ccdULL;
constexpr uint64_t M2 = 0xc4ceb9fe1a85ec53ULL;

uint64_t old_round(uint64_t h, uint64_t w) { return std::rotl(h + w * K2, 31) * K1; }

uint64_t old_index_hash(std::string_view key) {
  const char* p = key.data();
  const size_t n = key.size();
  uint64_t h = K2 ^ (uint64_t(n) * K1);
  if (n >= 8) {
    size_t i = 0;
    for (; i + 16 < n; i += 8) h = old_round(h, load_word(p + i));
    h = old_round(old_round(h, load_word(p + i)), load_word(p + n - 8));
  }  // (shorter keys are not crafted)
  h ^= h >> 33;
  h *= M1;
  h ^= h >> 33;
  h *= M2;
  return h ^ (h >> 33);
}

uint64_t unshift(uint64_t h, int shift) {  // inverts h ^= h >> shift
  uint64_t x = h;
  for (int i = 0; i < 64 / shift + 1; ++i) x = h ^ (x >> shift);
  return x;
}

// The state before the final mix that yields `target`.
uint64_t old_unmix(uint64_t target) {
  uint64_t h = unshift(target, 33);
  h *= inverse(M2);
  h = unshift(h, 33);
  h *= inverse(M1);
  return unshift(h, 33);
}

uint64_t old_solve(uint64_t first_word, uint64_t state_before_mix) {
  const uint64_t h1 = old_round(K2 ^ (16 * K1), first_word);
  return (std::rotr(state_before_mix * inverse(K1), 31) - h1) * inverse(K2);
}

// ---- libstdc++'s std::hash over bytes (64-bit), for 16-byte keys ----------

constexpr uint64_t MUL = (uint64_t(0xc6a4a793) << 32) + 0x5bd1e995;
constexpr uint64_t SEED = 0xc70f6907;

uint64_t shift_mix(uint64_t v) { return v ^ (v >> 47); }  // its own inverse

uint64_t std_unmix(uint64_t target) {
  return shift_mix(shift_mix(target) * inverse(MUL));
}

uint64_t std_solve(uint64_t first_word, uint64_t state_before_mix) {
  const uint64_t h0 = SEED ^ (16 * MUL);
  const uint64_t h1 = (h0 ^ (shift_mix(first_word * MUL) * MUL)) * MUL;
  const uint64_t data = (state_before_mix * inverse(MUL)) ^ h1;
  return shift_mix(data * inverse(MUL)) * inverse(MUL);
}

// ---- Keys -----------------------------------------------------------------

bool valid_utf8(const unsigned char* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    size_t len;
    uint32_t cp;
    if (c < 0x20 || c == 0x7f) return false;  // no control characters
    if (c < 0x80) {
      ++i;
      continue;
    }
    if (c >= 0xc2 && c <= 0xdf) {
      len = 2, cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3, cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4, cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xc0) != 0x80) return false;
      cp = cp << 6 | (s[i + k] & 0x3f);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10ffff))) {
      return false;
    }
    i += len;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: crafted_keys old-index|std-hash N\n");
    return 2;
  }
  const std::string kind = argv[1];
  const long count = std::atol(argv[2]);
  const bool old = kind == "old-index";
  const bool random = kind == "ordinary";
  if (!old && !random && kind != "std-hash") return 2;
  uint64_t rng = 0x243f6a8885a308d3ULL;  // a fixed seed: the same keys every run
  const uint64_t target = 0x5eed0000c0ffee11ULL;
  const uint64_t before_mix = old ? old_unmix(target) : std_unmix(target);
  // First words: printable ASCII from a counter, so no two keys share one.
  static const char DIGITS[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  uint64_t counter = 0;
  for (long made = 0; made < count; ++counter) {
    char key[16];
    uint64_t c = counter;
    for (int i = 0; i < 8; ++i, c >>= 6) key[i] = DIGITS[c & 63];
    uint64_t second;
    if (random) {
      rng += 0x9e3779b97f4a7c15ULL;  // splitmix64
      uint64_t z = rng;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
      second = z ^ (z >> 31);
    } else {
      second = old ? old_solve(load_word(key), before_mix) : std_solve(load_word(key), before_mix);
    }
    std::memcpy(key + 8, &second, 8);
    if (!valid_utf8(reinterpret_cast<const unsigned char*>(key + 8), 8)) continue;
    const std::string_view view(key, 16);
    const uint64_t got = old ? old_index_hash(view) : std::hash<std::string_view>{}(view);
    if (!random && got != target) {
      std::fprintf(stderr, "key does not reach the target: the inversion is wrong\n");
      return 1;
    }
    for (unsigned char b : view) std::printf("%02x", b);
    std::printf("\n");
    ++made;
  }
  return 0;
}
