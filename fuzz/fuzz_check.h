// What every fuzz target shares: a failed property stops the run with a
// message, which libFuzzer reports as a crash and saves the input for.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "codec/encoding.h"
#include "codec/keyed_hash.h"
#include "codec/value.h"

namespace zez::fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "property violated: %s %s\n", what, detail.c_str());
  std::abort();
}

inline void check(bool ok, const char* what, const std::string& detail = {}) {
  if (!ok) fail(what, detail);
}

inline std::string encoded(const Value& v) {
  std::string out;
  encode_value(v, out);
  return out;
}

}  // namespace zez::fuzz

// Every target hashes under one fixed key, so that an input that fails
// fails again on replay, whatever table layout it met.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zez::set_hash_key_for_testing(zez::HashKey{0x5eed5eed5eed5eedULL, 0x0f0f0f0f0f0f0f0fULL});
  return 0;
}
