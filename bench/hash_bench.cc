// The cost of hashing one key alone, per key length: the keyed hash every
// text-keyed table uses now (SipHash-1-3, keyed_hash.h) against the unkeyed
// hash the key index used before. Prints nanoseconds per hash, the median of
// 1,001 rounds, and the median of the rounds' ratios.
//
//   g++ -std=c++20 -O2 -Isrc bench/hash_bench.cc src/codec/keyed_hash.cc -o build/hash_bench
//   build/hash_bench
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "codec/keyed_hash.h"

namespace {

// The key index's former hash, as it was.
uint64_t load_word(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}
constexpr uint64_t K1 = 0x9e3779b97f4a7c15ULL;
constexpr uint64_t K2 = 0xc2b2ae3d27d4eb4fULL;
uint64_t hash_round(uint64_t h, uint64_t w) { return std::rotl(h + w * K2, 31) * K1; }

[[gnu::noinline]] uint64_t old_hash(std::string_view key) {
  const char* p = key.data();
  const size_t n = key.size();
  uint64_t h = K2 ^ (uint64_t(n) * K1);
  if (n >= 8) {
    size_t i = 0;
    for (; i + 16 < n; i += 8) h = hash_round(h, load_word(p + i));
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

template <class Hash>
double ns_per_hash(const std::vector<std::string>& keys, Hash hash, uint64_t& sink) {
  const auto t0 = std::chrono::steady_clock::now();
  for (const std::string& k : keys) sink += hash(k);
  const auto t1 = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(t1 - t0).count() / double(keys.size());
}

double median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  // [ROUNDS [LENGTH]]: fewer rounds, or one key length, for a run under
  // callgrind that counts each function's instructions.
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 1001;
  std::vector<size_t> lengths = {8, 16, 64, 256};
  if (argc > 2) lengths = {size_t(std::atoi(argv[2]))};
  std::printf("| key bytes | before (unkeyed) ns | after (SipHash-1-3) ns | after / before |\n");
  std::printf("|---|---|---|---|\n");
  uint64_t sink = 0;
  for (size_t len : lengths) {
    std::vector<std::string> keys;
    for (int i = 0; i < 4096; ++i) {
      std::string k = std::to_string(i * 7919);
      k.resize(len, char('a' + i % 26));
      keys.push_back(k);
    }
    // Short rounds (well under a scheduler's time slice), the two functions
    // side by side in each: a round that another process interrupts moves
    // one ratio, not the median.
    std::vector<double> before, after, ratio;
    for (int round = 0; round < rounds; ++round) {
      const double b = ns_per_hash(keys, [](const std::string& k) { return old_hash(k); }, sink);
      const double a =
          ns_per_hash(keys, [](const std::string& k) { return zez::keyed_hash(k); }, sink);
      before.push_back(b);
      after.push_back(a);
      ratio.push_back(a / b);
    }
    std::printf("| %zu | %.1f | %.1f | %.2f× |\n", len, median(before), median(after),
                median(ratio));
  }
  if (sink == 42) std::printf(" ");  // keeps the hashes from being optimised away
  return 0;
}
