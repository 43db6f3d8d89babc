#include "tool/dump_format.h"

#include "tool/json.h"
#include "tool/value_json.h"

namespace zez::tool {

void append_dump_header(std::string& out) {
  JsonWriter w(out);
  w.begin_object();
  w.write_key(DUMP_HEADER_KEY);
  w.write_int(DUMP_VERSION);
  w.end_object();
  out.push_back('\n');
}

void append_dump_record(std::string& out, std::string_view collection, std::string_view key,
                        const Value& value) {
  JsonWriter w(out);
  w.begin_object();
  w.write_key("c");
  w.write_string(collection);
  w.write_key("k");
  w.write_string(key);
  w.write_key("v");
  write_value_json(w, value);
  w.end_object();
  out.push_back('\n');
}

void append_dump_trailer(std::string& out, uint64_t records) {
  JsonWriter w(out);
  w.begin_object();
  w.write_key(DUMP_TRAILER_KEY);
  w.write_uint(records);
  w.end_object();
  out.push_back('\n');
}

}  // namespace zez::tool
