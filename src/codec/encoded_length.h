// How many bytes one encoded value takes, found without building it: the
// question the damage classification of a record file asks of every record
// (does its value decode to exactly its length?), and, stopping at the
// first Link, the engine's cheap checks for links (encoding.h). Gives the
// same verdict as decode_value on the same bytes: the same type bytes,
// lengths, UTF-8 and nesting limit are checked; only nothing is allocated.
//
// The walk keeps its containers on an explicit stack, so hostile bytes that
// nest deeply cost no native stack, and it reads its input through a source
// that hands out short pieces, so a value far larger than memory allows can
// be walked from a file:
//
//   const uint8_t* Source::at(uint64_t pos, size_t n)  bytes [pos, pos + n),
//       n <= Source::MAX_PIECE; nullptr when they cannot be read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "codec/byte_order.h"
#include "codec/encoding.h"
#include "codec/value.h"

namespace zez {

// The outcome of a walk: where the value ends (when it decodes) and how far
// the walk got either way, which is what it cost.
struct EncodedSpan {
  bool decodes = false;
  bool read_failed = false;  // the source could not hand out a piece
  uint64_t end = 0;          // one past the value's last byte, when it decodes
  uint64_t reached = 0;      // the furthest byte the walk looked at, plus one
  bool link = false;         // stopped at a Link, or at nesting past the limit (stop_at_link)
  // It failed only for want of bytes: everything up to `end` is the start of
  // a value that more bytes could complete.
  bool ran_out = false;
};

// What a walk checks besides the structure.
struct WalkRules {
  bool check_utf8 = true;  // texts, map keys and link paths
  // Stop at the first Link, and at a container past the nesting limit,
  // leaving the answer to a decode.
  bool stop_at_link = false;
};

namespace detail {

// Checks [pos, pos + len) for UTF-8 a piece at a time (in one piece from
// memory). A piece ends before the lead byte of a sequence that would
// straddle its end, so no sequence is split.
template <class Source>
bool utf8_at(Source& src, uint64_t pos, uint64_t len, bool& read_failed) {
  if constexpr (Source::MAX_PIECE > UINT32_MAX) return is_valid_utf8(src.at(pos, len), len);
  while (len > 0) {
    size_t n = size_t(std::min<uint64_t>(len, Source::MAX_PIECE));
    const uint8_t* p = src.at(pos, n);
    if (!p) {
      read_failed = true;
      return false;
    }
    if (n < len) {
      // Back off to the last byte that can lead a sequence (at most three
      // back); a longer run of continuation bytes is invalid either way.
      size_t cut = n;
      for (size_t back = 1; back <= 3 && back < n; ++back) {
        if ((p[n - back] & 0xC0) != 0x80) {
          cut = n - back;
          break;
        }
      }
      n = cut;
    }
    if (!is_valid_utf8(p, n)) return false;
    pos += n;
    len -= n;
  }
  return true;
}

}  // namespace detail

// Walks one value in [pos, end). `stack` is scratch space, reused between
// calls to save allocations.
template <class Source, class Stack>
EncodedSpan encoded_span(Source& src, uint64_t pos, uint64_t end, Stack& stack,
                         WalkRules rules = {}) {
  bool read_failed = false;
  bool link = false;
  bool ran_out = false;
  stack.clear();
  // Each end builds its outcome whole: assembling it field by field, then
  // copying it out, stalls on the copy.
  auto fail = [&](uint64_t at) {
    return EncodedSpan{.read_failed = read_failed, .reached = std::min(at, end), .link = link,
                       .ran_out = ran_out && !read_failed};
  };
  // `n` more bytes are needed at `at`: whether the input still holds them.
  auto holds = [&](uint64_t at, uint64_t n) {
    if (end - at >= n) return true;
    ran_out = true;
    return false;
  };
  auto u32_at = [&](uint64_t at, uint32_t& v) {
    if (!holds(at, 4)) return false;
    const uint8_t* p = src.at(at, 4);
    if (!p) {
      read_failed = true;
      return false;
    }
    v = load_u32(p);
    return true;
  };
  // A length-prefixed string at pos, moved past; `utf8` checks its bytes.
  auto field = [&](bool utf8) {
    uint32_t len;
    if (!u32_at(pos, len)) return false;
    pos += 4;
    if (!holds(pos, len)) return false;
    if (utf8 && rules.check_utf8 && !detail::utf8_at(src, pos, len, read_failed)) return false;
    pos += len;
    return true;
  };
  for (;;) {
    if (!holds(pos, 1)) return fail(pos + 1);
    const uint8_t* t = src.at(pos, 1);
    if (!t) {
      read_failed = true;
      return fail(pos);
    }
    const uint8_t type = *t;
    ++pos;
    switch (type) {
      case TYPE_NULL:
      case TYPE_TOMBSTONE:
        break;
      case TYPE_BOOL:
        if (!holds(pos, 1)) return fail(end);
        pos += 1;
        break;
      case TYPE_INT:
      case TYPE_FLOAT:
      case TYPE_DATE_TIME:
        if (!holds(pos, 8)) return fail(end);
        pos += 8;
        break;
      case TYPE_DATE:
      case TYPE_TIME:
        if (!holds(pos, 4)) return fail(end);
        pos += 4;
        break;
      case TYPE_TEXT:
      case TYPE_BLOB:
        if (!field(type == TYPE_TEXT)) return fail(pos);
        break;
      case TYPE_LINK:
      case TYPE_ARRAY:
      case TYPE_MAP: {
        if (stack.size() >= size_t(MAX_NESTING_DEPTH) ||
            (rules.stop_at_link && type == TYPE_LINK)) {
          link = rules.stop_at_link;
          return fail(pos);
        }
        if (type == TYPE_LINK && !field(true)) return fail(pos);
        uint32_t count;
        if (!u32_at(pos, count)) return fail(pos);
        pos += 4;
        stack.emplace_back(count, type != TYPE_ARRAY);
        break;
      }
      default:
        return fail(pos);
    }
    // The next value: a map's key comes first.
    for (;;) {
      if (stack.empty()) {
        return EncodedSpan{.decodes = true, .end = pos, .reached = pos};
      }
      auto& [left, is_map] = stack.back();
      if (left == 0) {
        stack.pop_back();
        continue;
      }
      --left;
      if (is_map && !field(true)) return fail(pos);
      break;
    }
  }
}

// The same over bytes in memory.
struct MemorySource {
  static constexpr size_t MAX_PIECE = size_t(-1) / 2;
  const uint8_t* base;
  const uint8_t* at(uint64_t pos, size_t) const { return base + pos; }
};

// A walk's stack as deep as the nesting limit, on the native stack: the
// engine walks old values on writes, and check every value, where an
// allocation would show.
class FixedWalkStack {
 public:
  void clear() { size_ = 0; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  struct Frame {
    uint32_t left;
    bool is_map;
  };

  Frame& back() { return items_[size_ - 1]; }
  void pop_back() { --size_; }
  void emplace_back(uint32_t left, bool is_map) { items_[size_++] = {left, is_map}; }

 private:
  Frame items_[MAX_NESTING_DEPTH];  // left uninitialised: a walk sets what it uses
  size_t size_ = 0;
};

// The walk of the value at data[0, size).
inline EncodedSpan encoded_span(const uint8_t* data, size_t size, WalkRules rules = {}) {
  MemorySource src{data};
  FixedWalkStack stack;
  return encoded_span(src, 0, size, stack, rules);
}

// How many bytes the value at data[0, size) takes, when it decodes.
inline std::optional<size_t> encoded_length(const uint8_t* data, size_t size) {
  EncodedSpan span = encoded_span(data, size);
  if (!span.decodes) return std::nullopt;
  return size_t(span.end);
}

}  // namespace zez
