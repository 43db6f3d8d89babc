// value     := type-byte payload
// payload   := (by type byte)
//   0x00 Null       : (nothing)
//   0x01 Bool       : u8            0x00 false, anything else true (written 0x01)
//   0x02 Int        : u64           two's complement of the signed value
//   0x03 Float      : u64           the binary64 bit pattern, unchanged
//   0x04 Text       : string        UTF-8
//   0x05 Link       : string map-body   path (UTF-8), then the `local` entries
//   0x06 Blob       : u32 len, len bytes
//   0x07 Array      : u32 count, count * value
//   0x08 Map        : map-body
//   0x09 Date       : u32
//   0x0A Time       : u32
//   0x0B DateTime   : u64
//   0x0C Tombstone  : (nothing)
//   0x0D..0xFF      : refused (UnknownType)
// map-body  := u32 count, count * (string value)   a later duplicate key wins
// string    := u32 len, len bytes of well-formed UTF-8
// u32, u64  := little-endian
//
// Nesting: every Array, Map and Link is one level; a value holding more than
// MAX_NESTING_DEPTH levels is refused (TooDeep) when its first container
// beyond the limit is met.
#include "codec/encoding.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

#include "codec/byte_order.h"
#include "codec/encoded_length.h"

namespace zez {

namespace {

void encode_into(const Value& v, std::string& out) {
  switch (v.kind()) {
    case Kind::Null:
      out.push_back(char(TYPE_NULL));
      return;
    case Kind::Tombstone:
      out.push_back(char(TYPE_TOMBSTONE));
      return;
    case Kind::Bool:
      out.push_back(char(TYPE_BOOL));
      out.push_back(v.as_bool() ? 1 : 0);
      return;
    case Kind::Int:
      out.push_back(char(TYPE_INT));
      put_u64(out, static_cast<uint64_t>(v.as_int()));
      return;
    case Kind::Float:
      out.push_back(char(TYPE_FLOAT));
      put_u64(out, std::bit_cast<uint64_t>(v.as_float()));
      return;
    case Kind::Text:
      out.push_back(char(TYPE_TEXT));
      put_field(out, v.as_text());
      return;
    case Kind::Blob:
      out.push_back(char(TYPE_BLOB));
      put_field(out, v.as_blob());
      return;
    case Kind::Date:
      out.push_back(char(TYPE_DATE));
      put_u32(out, v.as_date());
      return;
    case Kind::Time:
      out.push_back(char(TYPE_TIME));
      put_u32(out, v.as_time());
      return;
    case Kind::DateTime:
      out.push_back(char(TYPE_DATE_TIME));
      put_u64(out, v.as_date_time());
      return;
    case Kind::Array:
      out.push_back(char(TYPE_ARRAY));
      put_u32(out, static_cast<uint32_t>(v.as_array().size()));
      for (const Value& e : v.as_array()) encode_into(e, out);
      return;
    case Kind::Map:
      out.push_back(char(TYPE_MAP));
      encode_map_body(v.as_map(), out);
      return;
    case Kind::Link:
      out.push_back(char(TYPE_LINK));
      put_field(out, v.as_link().path);
      encode_map_body(v.as_link().local, out);
      return;
  }
}

// One pass over a contiguous slice. Each read_* returns false after storing
// the error. The recursion (read_value -> read_array / read_map_body ->
// read_value) carries no Result, and everything off that path stays out of
// line, so that a level of nesting costs little native stack.
class Decoder {
 public:
  Decoder(const uint8_t* pos, const uint8_t* end) : in_{pos, end} {}

  // `depth` is the number of containers around the value being read.
  [[gnu::noinline]] bool read_value(Value& out, int depth);

  const uint8_t* pos() const { return in_.pos; }
  CodecError error() const { return error_; }

 private:
  bool fail(CodecError e) {
    error_ = e;
    return false;
  }
  // A string field; `utf8` checks it is text.
  [[gnu::noinline]] bool read_field(std::string* out, bool utf8);
  [[gnu::noinline]] bool read_scalar(Value& out, uint8_t type);
  [[gnu::noinline]] bool read_array(Value& out, int depth);
  [[gnu::noinline]] bool read_map_body(Map& out, int depth);
  [[gnu::noinline]] bool read_map(Value& out, int depth);
  [[gnu::noinline]] bool read_link(Value& out, int depth);

  ByteCursor in_;
  // A read from in_ that comes up short fails without storing anything:
  // this is already its error, and the first failure ends the decode.
  CodecError error_ = CodecError::unexpected_end();
};

// Checks the bytes in place before copying them; the outcome is the same as
// copying first, without building a string that is thrown away.
bool Decoder::read_field(std::string* out, bool utf8) {
  const uint8_t* bytes;
  uint32_t len;
  if (!in_.read_field(&bytes, &len)) return false;
  if (utf8 && !is_valid_utf8(bytes, len)) return fail(CodecError::invalid_utf8());
  out->assign(reinterpret_cast<const char*>(bytes), len);
  return true;
}

// The helpers below keep container bookkeeping (and the by-value arguments
// of Map::insert) out of the frames that every level of recursion repeats.

[[gnu::noinline]] Array& start_array(Value& out, size_t reserve) {
  out = Value::array();
  out.as_array().reserve(reserve);
  return out.as_array();
}

// Never reallocates: the reservation covers every element the input can hold.
[[gnu::noinline]] Value& append_element(Array& elements) { return elements.emplace_back(); }

[[gnu::noinline]] void reserve_entries(Map& m, size_t n) { m.reserve(n); }

[[gnu::noinline]] void insert_entry(Map& m, std::string& key, Value& value) {
  m.insert(std::move(key), std::move(value));
}

bool Decoder::read_array(Value& out, int depth) {
  uint32_t count;
  if (!in_.read_u32(&count)) return false;
  Array& elements = start_array(out, std::min<size_t>(count, in_.remaining() / MIN_ELEMENT_SIZE));
  for (uint32_t i = 0; i < count; ++i) {
    if (!read_value(append_element(elements), depth)) return false;
  }
  return true;
}

bool Decoder::read_map_body(Map& out, int depth) {
  uint32_t count;
  if (!in_.read_u32(&count)) return false;
  reserve_entries(out, std::min<size_t>(count, in_.remaining() / MIN_ENTRY_SIZE));
  for (uint32_t i = 0; i < count; ++i) {
    std::string key;
    if (!read_field(&key, true)) return false;
    Value value;
    if (!read_value(value, depth)) return false;
    insert_entry(out, key, value);
  }
  return true;
}

bool Decoder::read_map(Value& out, int depth) {
  out = Value::empty_map();
  return read_map_body(out.as_map(), depth);
}

bool Decoder::read_link(Value& out, int depth) {
  out = Value::link(std::string());
  return read_field(&out.as_link().path, true) && read_map_body(out.as_link().local, depth);
}

bool Decoder::read_scalar(Value& out, uint8_t type) {
  uint8_t u8;
  uint32_t u32;
  uint64_t u64;
  switch (type) {
    case TYPE_NULL:
      out = Value::null();
      return true;
    case TYPE_TOMBSTONE:
      out = Value::tombstone();
      return true;
    case TYPE_BOOL:
      if (!in_.read_u8(&u8)) return false;
      out = Value::boolean(u8 != 0);
      return true;
    case TYPE_INT:
      if (!in_.read_u64(&u64)) return false;
      out = Value::integer(static_cast<int64_t>(u64));
      return true;
    case TYPE_FLOAT:
      if (!in_.read_u64(&u64)) return false;
      out = Value::floating(std::bit_cast<double>(u64));
      return true;
    case TYPE_DATE_TIME:
      if (!in_.read_u64(&u64)) return false;
      out = Value::date_time(u64);
      return true;
    case TYPE_DATE:
      if (!in_.read_u32(&u32)) return false;
      out = Value::date(u32);
      return true;
    case TYPE_TIME:
      if (!in_.read_u32(&u32)) return false;
      out = Value::time(u32);
      return true;
    case TYPE_TEXT:
      out = Value::text(std::string());
      return read_field(&out.as_text(), true);
    case TYPE_BLOB:
      out = Value::blob(std::string());
      return read_field(&out.as_blob(), false);
  }
  return fail(CodecError::unknown_type(type));  // unreachable: containers go elsewhere
}

bool Decoder::read_value(Value& out, int depth) {
  uint8_t type;
  if (!in_.read_u8(&type)) return false;
  if (type > TYPE_TOMBSTONE) return fail(CodecError::unknown_type(type));
  if (type != TYPE_ARRAY && type != TYPE_MAP && type != TYPE_LINK) {
    return read_scalar(out, type);
  }
  if (depth >= MAX_NESTING_DEPTH) return fail(CodecError::too_deep());
  if (type == TYPE_ARRAY) return read_array(out, depth + 1);
  if (type == TYPE_LINK) return read_link(out, depth + 1);
  return read_map(out, depth + 1);
}

// Length of the sequence a lead byte starts, or 0 for a byte that cannot
// lead one (continuation bytes, C0/C1 overlong leads, F5..FF).
int sequence_length(uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF5) return 4;
  return 0;
}

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Checks one multi-byte sequence at p (which holds at least `len` bytes).
// The second byte's range excludes overlong forms (E0, F0), surrogates (ED)
// and code points above U+10FFFF (F4).
bool is_valid_sequence(const uint8_t* p, int len) {
  const uint8_t lead = p[0];
  const uint8_t second = p[1];
  uint8_t lo = 0x80, hi = 0xBF;
  if (lead == 0xE0) lo = 0xA0;
  if (lead == 0xED) hi = 0x9F;
  if (lead == 0xF0) lo = 0x90;
  if (lead == 0xF4) hi = 0x8F;
  if (second < lo || second > hi) return false;
  for (int i = 2; i < len; ++i) {
    if (!is_continuation(p[i])) return false;
  }
  return true;
}

}  // namespace

void encode_value(const Value& v, std::string& out) { encode_into(v, out); }

void encode_map_body(const Map& m, std::string& out) {
  put_u32(out, static_cast<uint32_t>(m.size()));
  for (const Map::Entry& e : m) {
    put_field(out, e.first);
    encode_into(e.second, out);
  }
}

Result<Value, CodecError> decode_value(const uint8_t* data, size_t size, size_t* cursor) {
  if (*cursor >= size) return CodecError::unexpected_end();
  Decoder decoder(data + *cursor, data + size);
  Value out;
  if (!decoder.read_value(out, 0)) return decoder.error();
  *cursor = static_cast<size_t>(decoder.pos() - data);
  return out;
}

namespace {

// The structural walk of encoded_span, reporting segments and Links. Maps are checked
// for repeated keys only up to this many entries; a larger one gives up.
constexpr uint32_t MAX_CHECKED_ENTRIES = 32;

class LinkWalk {
 public:
  LinkWalk(ByteCursor in, EncodedLinkVisitor& visitor) : in_(in), visitor_(visitor) {}

  bool value(int depth) {
    uint8_t type;
    if (!in_.read_u8(&type)) return false;
    switch (type) {
      case TYPE_LINK: {
        if (depth >= MAX_NESTING_DEPTH) return false;
        const uint8_t* path;
        uint32_t len;
        if (!in_.read_field(&path, &len) || !is_valid_utf8(path, len)) return false;
        visitor_.link(std::string_view(reinterpret_cast<const char*>(path), len));
        return map_body(depth + 1);
      }
      case TYPE_MAP:
        return depth < MAX_NESTING_DEPTH && map_body(depth + 1);
      case TYPE_ARRAY: {
        uint32_t count;
        if (depth >= MAX_NESTING_DEPTH || !in_.read_u32(&count)) return false;
        for (uint32_t i = 0; i < count; ++i) {
          visitor_.enter_index(i);
          if (!value(depth + 1)) return false;
          visitor_.leave();
        }
        return true;
      }
      default: {
        // A scalar: the structural walk checks it as a decode would.
        EncodedSpan span = encoded_span(in_.pos - 1, in_.remaining() + 1);
        if (!span.decodes) return false;
        in_.pos += span.end - 1;
        return true;
      }
    }
  }

 private:
  bool map_body(int depth) {
    uint32_t count;
    if (!in_.read_u32(&count) || count > MAX_CHECKED_ENTRIES) return false;
    const size_t first = key_count_;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* bytes;
      uint32_t len;
      if (!in_.read_field(&bytes, &len) || !is_valid_utf8(bytes, len)) return false;
      const std::string_view key(reinterpret_cast<const char*>(bytes), len);
      for (size_t j = first; j < key_count_; ++j) {
        if (keys_[j] == key) return false;
      }
      if (key_count_ == std::size(keys_)) return false;
      keys_[key_count_++] = key;
      visitor_.enter_key(key);
      if (!value(depth)) return false;
      visitor_.leave();
    }
    key_count_ = first;
    return true;
  }

  ByteCursor in_;
  // The keys of the maps being walked, outermost first: one buffer for the
  // whole walk rather than one in each frame, which would cost the deepest
  // walk far more stack. A walk whose maps hold more gives up.
  std::string_view keys_[64];
  size_t key_count_ = 0;
  EncodedLinkVisitor& visitor_;
};

}  // namespace

bool walk_links(const uint8_t* data, size_t size, EncodedLinkVisitor& visitor) {
  return LinkWalk(ByteCursor{data, data + size}, visitor).value(0);
}

bool may_hold_link(const uint8_t* data, size_t size) {
  return encoded_span(data, size, {.check_utf8 = false, .stop_at_link = true}).link;
}

bool decodes_without_link(const uint8_t* data, size_t size) {
  return encoded_span(data, size, {.check_utf8 = true, .stop_at_link = true}).decodes;
}

bool is_valid_utf8(const uint8_t* data, size_t size) {
  const uint8_t* p = data;
  const uint8_t* const end = data + size;
  while (p < end) {
    // Most text is ASCII: skip it eight bytes at a time.
    while (end - p >= 8 && (load_u64(p) & 0x8080808080808080u) == 0) p += 8;
    if (p == end) break;
    if (*p < 0x80) {
      ++p;
      continue;
    }
    const int len = sequence_length(*p);
    if (len == 0 || end - p < len || !is_valid_sequence(p, len)) return false;
    p += len;
  }
  return true;
}

std::string oversized_message(std::string_view what, uint64_t size) {
  return std::string(what) + " of length " + std::to_string(size) + " exceeds the limit of " +
         std::to_string(MAX_LENGTH_FIELD);
}

std::optional<OversizedItem> find_longer_than(const Value& v, uint64_t limit) {
  auto check = [limit](std::string_view what, uint64_t n) -> std::optional<OversizedItem> {
    if (n > limit) return OversizedItem{what, n};
    return std::nullopt;
  };
  auto check_map = [&](const Map& m, std::string_view what) -> std::optional<OversizedItem> {
    if (auto r = check(what, m.size())) return r;
    for (const Map::Entry& e : m) {
      if (auto r = check("map key", e.first.size())) return r;
      if (auto r = find_longer_than(e.second, limit)) return r;
    }
    return std::nullopt;
  };
  if (v.is(Kind::Text)) return check("text", v.as_text().size());
  if (v.is(Kind::Blob)) return check("blob", v.as_blob().size());
  if (v.is(Kind::Map)) return check_map(v.as_map(), "map");
  if (v.is(Kind::Link)) {
    if (auto r = check("link path", v.as_link().path.size())) return r;
    return check_map(v.as_link().local, "link local map");
  }
  if (v.is(Kind::Array)) {
    if (auto r = check("array", v.as_array().size())) return r;
    for (const Value& e : v.as_array()) {
      if (auto r = find_longer_than(e, limit)) return r;
    }
  }
  return std::nullopt;  // the other kinds have a fixed size
}

std::optional<std::string> find_oversized(const Value& v) {
  std::optional<OversizedItem> item = find_longer_than(v, MAX_LENGTH_FIELD);
  if (!item) return std::nullopt;
  return oversized_message(item->what, item->size);
}

}  // namespace zez
