// The lines of a dump, shared by `dump`, which writes them, and `load`,
// which reads them. A dump is JSON Lines:
//
//   {"zezavezud_dump":1}                       header: the format's version
//   {"c":COLLECTION,"k":KEY,"v":VALUE}         one per live record
//   {"zezavezud_records":N}                    trailer: how many records came before
//
// VALUE is spelled as value_json.h says. The trailer lets a reader tell a
// whole dump from one cut short.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/value.h"

namespace zez::tool {

inline constexpr int64_t DUMP_VERSION = 1;
inline constexpr std::string_view DUMP_HEADER_KEY = "zezavezud_dump";
inline constexpr std::string_view DUMP_TRAILER_KEY = "zezavezud_records";

// Each appends one line, newline included.
void append_dump_header(std::string& out);
void append_dump_record(std::string& out, std::string_view collection, std::string_view key,
                        const Value& value);
void append_dump_trailer(std::string& out, uint64_t records);

}  // namespace zez::tool
