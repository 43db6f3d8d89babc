// The lines of a dump, written by `dump` and read by `load`. A dump is JSON
// Lines:
//
//   {"zezavezud_dump":1}                       header: the format's version
//   {"c":COLLECTION,"k":KEY,"v":VALUE}         one per live record
//   {"zezavezud_records":N}                    trailer: how many records came before
//
// The trailer lets a reader tell a whole dump from one cut short. VALUE is
// spelled as json.h describes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/result.h"
#include "codec/value.h"

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

}  // namespace zez::tool
