// The binary value encoding: a type byte, then the kind's payload, nested
// values encoded the same way in place. Grammar in encoding.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/errors.h"
#include "codec/result.h"
#include "codec/value.h"

namespace zez {

// The type byte that opens each encoded value.
enum TypeByte : uint8_t {
  TYPE_NULL = 0x00,
  TYPE_BOOL = 0x01,
  TYPE_INT = 0x02,
  TYPE_FLOAT = 0x03,
  TYPE_TEXT = 0x04,
  TYPE_LINK = 0x05,
  TYPE_BLOB = 0x06,
  TYPE_ARRAY = 0x07,
  TYPE_MAP = 0x08,
  TYPE_DATE = 0x09,
  TYPE_TIME = 0x0A,
  TYPE_DATE_TIME = 0x0B,
  TYPE_TOMBSTONE = 0x0C,  // the highest assigned; anything above is refused
};

// The smallest encodings of an element (a Null) and of a map entry (an empty
// key, then a Null): no input holds more elements or entries than its
// remaining bytes divided by these, whatever count it declares.
inline constexpr size_t MIN_ELEMENT_SIZE = 1;
inline constexpr size_t MIN_ENTRY_SIZE = 5;

// The largest length or count an unsigned 32-bit field holds.
inline constexpr uint64_t MAX_LENGTH_FIELD = 0xFFFFFFFFu;

// True when a length or count can be written in a 32-bit field.
inline bool fits_length_field(uint64_t n) { return n <= MAX_LENGTH_FIELD; }

// The one size check every path into the encoder uses: describes the first
// text, blob, key, path, array or map of `v` whose length or count does not
// fit a 32-bit field (e.g. "text of length 4294967296 exceeds the limit of
// 4294967295"), or nothing when the whole value fits.
std::optional<std::string> find_oversized(const Value& v);
// The message for one oversized item, used by find_oversized and by callers
// that check lengths as they go (`what` is e.g. "text", "key", "list"; the
// length is a byte count or an element count as `what` implies).
std::string oversized_message(std::string_view what, uint64_t size);

// The walk behind find_oversized with the limit as a parameter, so that it
// can be exercised without building 4 GiB values. `what` is one of "text",
// "blob", "map key", "link path", "array", "map", "link local map".
struct OversizedItem {
  std::string_view what;
  uint64_t size;
};
std::optional<OversizedItem> find_longer_than(const Value& v, uint64_t limit);

// Appends the encoding of `v` to `out`. Cannot fail; callers have made sure
// (find_oversized) that every length fits its field.
void encode_value(const Value& v, std::string& out);
// Appends a map body (the payload of a Map, and the tail of a Link after its
// path): the entry count, then each key and its encoded value. Cannot fail,
// under the same promise as encode_value.
void encode_map_body(const Map& m, std::string& out);

// Reads one value from data[*cursor...size). On success leaves *cursor just
// after the value's last byte; bytes after it are never looked at. On failure
// *cursor is unchanged. Every Array, Map and Link is one level of nesting:
// input holding more than MAX_NESTING_DEPTH levels is refused with
// CodecError::too_deep() when the first container past the limit is met.
// Never reserves more elements or entries than the remaining input can hold.
Result<Value, CodecError> decode_value(const uint8_t* data, size_t size, size_t* cursor);

// False only when decoding data[0, size) cannot yield a value that holds a
// Link anywhere: the bytes either decode to a value without one or do not
// decode at all. Looks at the structure alone (type bytes and lengths), so
// it is much cheaper than a decode; true means "decode and look".
bool may_hold_link(const uint8_t* data, size_t size);

// True only when decode_value of data[0, size) succeeds with a value that
// holds no Link, found without building the value: for a reader that needs
// no more than those two answers. False asks for a decode, which also says
// what is wrong with bytes that do not decode.
bool decodes_without_link(const uint8_t* data, size_t size);

// What walk_links() reports, in the order decode_value's value would show
// it: the segment leading to each child of an array (its index) or a map or
// a Link's local map (its key), and each Link's path.
class EncodedLinkVisitor {
 public:
  virtual void enter_index(size_t index) = 0;
  virtual void enter_key(std::string_view key) = 0;
  virtual void leave() = 0;
  virtual void link(std::string_view path) = 0;

 protected:
  ~EncodedLinkVisitor() = default;
};

// Walks data[0, size) as decode_value would decode it, without building the
// value, telling `visitor` where the Links are. Returns false when it cannot
// stand in for a decode: the bytes do not decode, nesting reaches the
// decoder's limit, a map repeats a key (decoding keeps one entry, at the
// first key's place with the last value), or the maps hold more keys than
// the walk checks for repeats. What was reported then counts for nothing.
bool walk_links(const uint8_t* data, size_t size, EncodedLinkVisitor& visitor);

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates,
// code points above U+10FFFF or truncated sequences).
bool is_valid_utf8(const uint8_t* data, size_t size);
inline bool is_valid_utf8(std::string_view s) {
  return is_valid_utf8(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

}  // namespace zez
