// The lines of a dump, written by `dump` and read by `load`. A dump is JSON
// Lines:
//
//   {"zezavezud_dump":1}                       header: the format's version
//   {"c":COLLECTION,"k":KEY,"v":VALUE}         one per live record
//   {"zezavezud_records":N}                    trailer: how many records came before
//
// The trailer lets a reader tell a whole dump from one cut short.
//
// VALUE is plain JSON wherever JSON is exact: null, true/false, strings,
// integers (every int64), arrays and objects (maps). Everything else is a
// tagged object with a single key that starts with "$":
//
//   Float        1.5, -0.0, 1e+16        always with "." or an exponent
//   NaN, ±inf    {"$float":"7ff8000000000001"}   the 64-bit pattern, 16 lowercase hex digits
//   Blob         {"$bytes":"aGk="}       standard base64 with padding
//   Date, Time   {"$date":N}, {"$time":N}        N in [0, 2^32)
//   DateTime     {"$datetime":N}         N in [0, 2^64)
//   Tombstone    {"$tombstone":null}     (only ever inside a value)
//   Link         {"$link":{"path":TEXT,"local":{...}}}
//   Map          {"$map":{...}}          only for a map whose one key starts with "$"
//
// The objects after "$link"'s "local" and "$map" are maps as they stand:
// their keys are never read as tags. Map entries are written in byte order
// of their keys, so one value always has one text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/result.h"
#include "codec/value.h"
#include "tool/json.h"

namespace zez::tool {

// Each appends one line, newline included.
void append_dump_header(std::string& out);
void append_dump_record(std::string& out, std::string_view collection, std::string_view key,
                        const Value& value);
void append_dump_trailer(std::string& out, uint64_t records);

// A line after the header: a record, or the trailer with its count.
struct DumpLine {
  bool is_trailer = false;
  uint64_t count = 0;  // the trailer's
  std::string collection;
  std::string key;
  Value value;
};

// Each returns what is wrong with the line as a one-line message. A record
// must hold what the engine can store: a collection name that can be a
// file name, a key and value within the engine's sizes, no tombstone.
Result<Unit, std::string> check_dump_header(std::string_view line);
Result<DumpLine, std::string> read_dump_line(std::string_view line);

// Writes `v` through the writer. Cannot fail: every value has a text.
void write_value_json(JsonWriter& out, const Value& v);

// The value a parsed JSON text spells, or a one-line message saying what is
// wrong with it (e.g. "unknown tag \"$foo\""). Refuses trees nested deeper
// than the engine can read back (MAX_NESTING_DEPTH arrays, maps and links).
Result<Value, std::string> value_from_json(const JsonValue& json);

// Standard base64 with padding, and its strict inverse (no whitespace, no
// missing or extra padding, unused bits zero); false when `text` is not that.
std::string encode_base64(std::string_view bytes);
bool decode_base64(std::string_view text, std::string& out);

}  // namespace zez::tool
