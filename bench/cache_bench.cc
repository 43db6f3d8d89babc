// Compares the two forms the value cache could hold: encoded bytes (decoded
// on every read) or value trees (deep-copied on every read). Prints memory
// per cached value and time per read for a small and a wider record.
//
//   g++ -O2 -std=c++20 -I src bench/cache_bench.cc build/rel/libengine.a -o build/cache_bench
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "codec/encoding.h"

namespace {

constexpr int N = 200000;

long resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

zez::Value make(int i, int fields) {
  zez::Map m;
  m.insert("n", zez::Value::integer(i));
  m.insert("name", zez::Value::text("name " + std::to_string(i)));
  for (int f = 2; f < fields; ++f) {
    m.insert("field" + std::to_string(f), zez::Value::text("some text " + std::to_string(f)));
  }
  return zez::Value::map(std::move(m));
}

template <class F>
double ns_per_op(F&& f) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < N; ++i) f(i);
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
             .count() /
         N;
}

void compare(int fields) {
  long before = resident_bytes();
  std::vector<std::string> encoded(N);
  for (int i = 0; i < N; ++i) zez::encode_value(make(i, fields), encoded[size_t(i)]);
  long mid = resident_bytes();
  std::vector<zez::Value> trees;
  trees.reserve(N);
  for (int i = 0; i < N; ++i) trees.push_back(make(i, fields));
  long after = resident_bytes();
  size_t sink = 0;
  double decode_ns = ns_per_op([&](int i) {
    size_t cursor = 0;
    const std::string& b = encoded[size_t(i)];
    auto v = zez::decode_value(reinterpret_cast<const uint8_t*>(b.data()), b.size(), &cursor);
    sink += v.ok() ? v.value().as_map().size() : 0;
  });
  double copy_ns = ns_per_op([&](int i) { sink += trees[size_t(i)].copy().as_map().size(); });
  double encode_ns = ns_per_op([&](int i) {
    std::string out;
    zez::encode_value(trees[size_t(i)], out);
    sink += out.size();
  });
  std::printf(
      "%2d fields: encoded %5.0f B, tree %5.0f B per value; read: decode %4.0f ns, "
      "copy %4.0f ns; write: encode %4.0f ns, copy %4.0f ns (%zu)\n",
      fields, double(mid - before) / N, double(after - mid) / N, decode_ns, copy_ns, encode_ns,
      copy_ns, sink % 10);
}

}  // namespace

int main() {
  compare(2);
  compare(10);
  return 0;
}
