// The hash of every table keyed by text that callers or files supply: record
// keys, collection names, the keys of a stored map, link targets.
//
// Such text can be chosen to collide under any fixed function, and a table
// of colliding keys does quadratic work: a few thousand chosen keys stall a
// process. So the hash is keyed with a secret the process draws once, and a
// key chosen without the secret lands where any other key does.
//
// The function is SipHash-1-3 (one compression round per 8 bytes, three
// finalisation rounds): a keyed pseudo-random function with no known
// collisions that hold whatever the key, and the one CPython keys its own
// str hash with, so Python programs already accept its cost. SipHash-2-4 adds
// a round per word for a margin no table needs: its output never leaves
// memory, and an attacker sees it only through timing.
//
// Hashes never leave memory: nothing written to a file depends on them, so
// a new key per process changes no byte on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zez {

struct HashKey {
  uint64_t k0;
  uint64_t k1;
};

// SipHash-1-3 of `bytes` under `key`.
uint64_t siphash13(const HashKey& key, std::string_view bytes);

// The process's key, drawn the first time any table needs it (thread-safe);
// it then stays the same for the life of the process.
const HashKey& process_hash_key();

// The hash every text-keyed table uses: SipHash-1-3 under the process's key.
uint64_t keyed_hash(std::string_view bytes);

// The hash of several texts in turn (a link's target, key and path): each
// text's keyed hash folded into the hash so far, so that the order counts.
inline uint64_t fold_keyed_hash(uint64_t so_far, std::string_view next) {
  return (so_far ^ (so_far >> 29)) * 0x9e3779b97f4a7c15ULL + keyed_hash(next);
}

// Test hooks. Both apply to every table in the process, so they are set
// before any table is built and never while one is in use.
//
// A fixed key, so that tests and fuzz targets see the same table layouts on
// every run and a finding reproduces.
void set_hash_key_for_testing(const HashKey& key);
// Replaces keyed_hash() by `hash` (nullptr restores it), so that a test can
// make every key collide and hold the tables to exact answers anyway.
using TextHashFunction = uint64_t (*)(std::string_view bytes);
void set_hash_function_for_testing(TextHashFunction hash);

}  // namespace zez
