// Little-endian fixed-width fields, the only integer layout of every file
// and of the value encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zez {

inline void store_u32(char* p, uint32_t v) {
  p[0] = char(v);
  p[1] = char(v >> 8);
  p[2] = char(v >> 16);
  p[3] = char(v >> 24);
}

inline void put_u32(std::string& out, uint32_t v) {
  char b[4];
  store_u32(b, v);
  out.append(b, 4);
}

inline void store_u64(char* p, uint64_t v) {
  store_u32(p, uint32_t(v));
  store_u32(p + 4, uint32_t(v >> 32));
}

inline void put_u64(std::string& out, uint64_t v) {
  char b[8];
  store_u64(b, v);
  out.append(b, 8);
}

// A field: its length as a u32, then its bytes. The length must fit.
inline void put_field(std::string& out, std::string_view bytes) {
  put_u32(out, static_cast<uint32_t>(bytes.size()));
  out.append(bytes);
}

inline uint32_t load_u32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t load_u64(const uint8_t* p) {
  return uint64_t(p[0]) | uint64_t(p[1]) << 8 | uint64_t(p[2]) << 16 | uint64_t(p[3]) << 24 |
         uint64_t(p[4]) << 32 | uint64_t(p[5]) << 40 | uint64_t(p[6]) << 48 | uint64_t(p[7]) << 56;
}

// Bounded reads from [pos, end). Each read either takes all of its bytes
// and moves past them, or returns false and leaves `pos` where it was.
struct ByteCursor {
  const uint8_t* pos;
  const uint8_t* end;

  size_t remaining() const { return static_cast<size_t>(end - pos); }

  bool skip(uint64_t n) {
    if (remaining() < n) return false;
    pos += n;
    return true;
  }
  bool read_u8(uint8_t* v) {
    if (pos == end) return false;
    *v = *pos++;
    return true;
  }
  bool read_u32(uint32_t* v) {
    if (remaining() < 4) return false;
    *v = load_u32(pos);
    pos += 4;
    return true;
  }
  bool read_u64(uint64_t* v) {
    if (remaining() < 8) return false;
    *v = load_u64(pos);
    pos += 8;
    return true;
  }
  // A field as put_field writes it; *bytes points into the input.
  bool read_field(const uint8_t** bytes, uint32_t* size) {
    if (remaining() < 4) return false;
    const uint32_t len = load_u32(pos);
    if (remaining() - 4 < len) return false;
    *bytes = pos + 4;
    *size = len;
    pos += 4 + size_t(len);
    return true;
  }
};

}  // namespace zez
