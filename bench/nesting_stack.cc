// Measures the native stack that each recursive walk of a value touches, for
// one level and for MAX_NESTING_DEPTH levels of arrays, maps and links. Each
// walk runs on a thread whose stack was filled with a pattern; the part of
// the pattern that was overwritten is what the walk used (plus a few KiB of
// thread start-up, which the one-level row shows).
//
// Build from the repository root after building the engine library:
//   g++ -std=c++20 -O3 -DNDEBUG -Isrc bench/nesting_stack.cc build/t/libengine.a
//       -lpthread -o build/nesting_stack
//   build/nesting_stack
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "codec/encoding.h"
#include "codec/value.h"

using namespace zez;

namespace {

constexpr size_t STACK_SIZE = 8 << 20;
constexpr unsigned char PATTERN = 0xA5;

std::function<void()> current_walk;

void* run_walk(void*) {
  current_walk();
  return nullptr;
}

size_t stack_used_by(std::function<void()> walk) {
  static char* stack = static_cast<char*>(std::aligned_alloc(4096, STACK_SIZE));
  std::memset(stack, PATTERN, STACK_SIZE);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, stack, STACK_SIZE);
  current_walk = std::move(walk);
  pthread_t thread;
  pthread_create(&thread, &attr, run_walk, nullptr);
  pthread_join(thread, nullptr);
  size_t untouched = 0;
  while (untouched < STACK_SIZE && static_cast<unsigned char>(stack[untouched]) == PATTERN) {
    ++untouched;
  }
  return STACK_SIZE - untouched;
}

// `levels` containers of one kind, each holding the next, around a text.
std::string nested(int levels, char kind) {
  static const std::string LEVEL[] = {
      std::string("\x07\x01\0\0\0", 5),                      // array of one
      std::string("\x08\x01\0\0\0\x01\0\0\0k", 10),          // map {"k": ...}
      std::string("\x05\0\0\0\0\x01\0\0\0\x01\0\0\0k", 14),  // link "" {"k": ...}
  };
  const std::string& level = LEVEL[kind == 'a' ? 0 : kind == 'm' ? 1 : 2];
  std::string out;
  for (int i = 0; i < levels; ++i) out += level;
  return out + std::string("\x04\x01\0\0\0x", 6);
}

Value decode_all(const std::string& bytes) {
  size_t cursor = 0;
  auto r = decode_value(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &cursor);
  if (!r.ok()) std::abort();
  return std::move(r).value();
}

}  // namespace

int main() {
  std::printf("%-6s %6s %8s %8s %8s %8s %8s %8s\n", "kind", "levels", "decode", "destroy", "copy",
              "encode", "debug", "oversize");
  for (char kind : {'a', 'm', 'l'}) {
    for (int levels : {1, MAX_NESTING_DEPTH}) {
      const std::string bytes = nested(levels, kind);
      Value v = decode_all(bytes);
      static Value kept;
      const size_t decode = stack_used_by([&] { kept = decode_all(bytes); });
      const size_t destroy = stack_used_by([&] { Value gone = std::move(kept); });
      const size_t copy = stack_used_by([&] { kept = v.copy(); });
      kept = Value();
      const size_t encode = stack_used_by([&] {
        std::string out;
        encode_value(v, out);
      });
      const size_t debug = stack_used_by([&] { (void)v.debug_text(); });
      const size_t oversize = stack_used_by([&] { (void)find_oversized(v); });
      std::printf("%-6s %6d %8zu %8zu %8zu %8zu %8zu %8zu\n",
                  kind == 'a'   ? "array"
                  : kind == 'm' ? "map"
                                : "link",
                  levels, decode, destroy, copy, encode, debug, oversize);
    }
  }
}
