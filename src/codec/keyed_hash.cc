#include "codec/keyed_hash.h"

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>

#include "codec/byte_order.h"

namespace zez {

namespace {

// The n % 8 bytes after the last whole word, little-endian, as SipHash's
// last word takes them. Without a loop over bytes: keys are mostly short, so
// overlapping loads, whose shared bytes agree, cover every tail length.
inline uint64_t tail_bytes(const unsigned char* p, size_t n) {
  const size_t tail = n & 7;
  if (tail == 0) return 0;
  if (n >= 8) return load_u64(p + n - 8) >> (8 * (8 - tail));
  if (tail >= 4) return load_u32(p) | uint64_t(load_u32(p + n - 4)) << (8 * (n - 4));
  return uint64_t(p[0]) | uint64_t(p[n / 2]) << (8 * (n / 2)) | uint64_t(p[n - 1]) << (8 * (n - 1));
}

struct SipState {
  uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
  void compress(uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

// Mixes one more 64-bit input into an accumulator, for the fallback key.
uint64_t mix(uint64_t acc, uint64_t input) {
  acc ^= input + 0x9e3779b97f4a7c15ULL + (acc << 6) + (acc >> 2);
  acc ^= acc >> 31;
  acc *= 0xbf58476d1ce4e5b9ULL;
  return acc ^ (acc >> 29);
}

// When /dev/urandom cannot be read (a chroot without /dev, no file handles
// left), the key still differs between processes and between runs: the
// clocks, where the system placed the stack, the heap and this code (address
// randomisation), the thread, and whatever std::random_device offers (it
// may reach the processor's generator where no file can be opened). Weaker
// than the system's randomness, but an open never fails for lack of it.
HashKey fallback_hash_key() {
  uint64_t acc = 0;
  acc = mix(acc, uint64_t(std::chrono::system_clock::now().time_since_epoch().count()));
  acc = mix(acc, uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()));
  int on_stack = 0;
  acc = mix(acc, uint64_t(reinterpret_cast<uintptr_t>(&on_stack)));
  acc = mix(acc, uint64_t(reinterpret_cast<uintptr_t>(&fallback_hash_key)));
  auto on_heap = std::make_unique<int>(0);
  acc = mix(acc, uint64_t(reinterpret_cast<uintptr_t>(on_heap.get())));
  acc = mix(acc, uint64_t(std::hash<std::thread::id>{}(std::this_thread::get_id())));
  try {
    std::random_device device;
    acc = mix(acc, uint64_t(device()) << 32 | device());
  } catch (...) {  // deliberately swallowed: this source is only a bonus
  }
  HashKey key;
  key.k0 = mix(acc, 1);
  key.k1 = mix(acc, 2);
  return key;
}

// The key is read from /dev/urandom through the C library, not through the
// platform layer in src/db: codec's own tables (Map) need it and codec does
// not depend on db; the platform's file system is what tests replace with an
// in-memory one, where no random device exists; and a plain stdio read needs
// no system header here, so every OS-specific call stays in src/db/file.cc.
HashKey draw_hash_key() {
  unsigned char bytes[16];
  bool filled = false;
  if (std::FILE* f = std::fopen("/dev/urandom", "rb")) {
    filled = std::fread(bytes, 1, sizeof bytes, f) == sizeof bytes;
    std::fclose(f);
  }
  if (!filled) return fallback_hash_key();
  return HashKey{load_u64(bytes), load_u64(bytes + 8)};
}

// Magic statics make the first draw thread-safe; the test hook overwrites
// the key afterwards, before any table uses it.
HashKey& key_storage() {
  static HashKey key = draw_hash_key();
  return key;
}

std::atomic<TextHashFunction> forced_hash{nullptr};

}  // namespace

uint64_t siphash13(const HashKey& key, std::string_view bytes) {
  SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
             key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  const size_t whole = n & ~size_t(7);
  for (size_t i = 0; i < whole; i += 8) s.compress(load_u64(p + i));
  s.compress(uint64_t(n) << 56 | tail_bytes(p, n));
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

const HashKey& process_hash_key() { return key_storage(); }

uint64_t keyed_hash(std::string_view bytes) {
  if (TextHashFunction f = forced_hash.load(std::memory_order_relaxed)) [[unlikely]]
    return f(bytes);
  return siphash13(key_storage(), bytes);
}

void set_hash_key_for_testing(const HashKey& key) { key_storage() = key; }

void set_hash_function_for_testing(TextHashFunction hash) {
  forced_hash.store(hash, std::memory_order_relaxed);
}

}  // namespace zez
