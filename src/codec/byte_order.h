// Little-endian fixed-width fields, the only integer layout of every file
// and of the value encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zez {

inline void put_u32(std::string& out, uint32_t v) {
  const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  out.append(b, 4);
}

inline void put_u64(std::string& out, uint64_t v) {
  const char b[8] = {char(v),       char(v >> 8),  char(v >> 16), char(v >> 24),
                     char(v >> 32), char(v >> 40), char(v >> 48), char(v >> 56)};
  out.append(b, 8);
}

inline uint32_t load_u32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t load_u64(const uint8_t* p) {
  return uint64_t(p[0]) | uint64_t(p[1]) << 8 | uint64_t(p[2]) << 16 | uint64_t(p[3]) << 24 |
         uint64_t(p[4]) << 32 | uint64_t(p[5]) << 40 | uint64_t(p[6]) << 48 |
         uint64_t(p[7]) << 56;
}

}  // namespace zez
