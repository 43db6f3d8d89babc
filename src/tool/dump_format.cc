#include "tool/dump_format.h"

#include "codec/encoding.h"
#include "db/database_files.h"
#include "db/link_path.h"
#include "tool/json.h"
#include "tool/tool.h"

namespace zez::tool {

namespace {

constexpr std::string_view HEADER_KEY = "zezavezud_dump";
constexpr std::string_view TRAILER_KEY = "zezavezud_records";

// `{"KEY":N}`: the header and the trailer.
void append_count_line(std::string& out, std::string_view key, uint64_t n) {
  JsonWriter w(out);
  w.begin_object();
  w.write_member(key, n);
  w.end_object();
  out.push_back('\n');
}

}  // namespace

void append_dump_header(std::string& out) { append_count_line(out, HEADER_KEY, 1); }

void append_dump_record(std::string& out, std::string_view collection, std::string_view key,
                        const Value& value) {
  JsonWriter w(out);
  w.begin_object();
  w.write_key("c");
  w.write_string(collection);
  w.write_key("k");
  w.write_string(key);
  w.write_key("v");
  w.write_value(value);
  w.end_object();
  out.push_back('\n');
}

void append_dump_trailer(std::string& out, uint64_t records) {
  append_count_line(out, TRAILER_KEY, records);
}

Result<Unit, std::string> check_dump_header(std::string_view line) {
  auto header = parse_json_object(line);
  const Value* version =
      header.ok() && header.value().size() == 1 ? header.value().find(HEADER_KEY) : nullptr;
  if (!version) return std::string("not a dump: the first line must be {\"zezavezud_dump\":1}");
  if (!version->is(Kind::Int) || version->as_int() != 1) {
    std::string text;
    JsonWriter(text).write_value(*version);
    return "unknown dump version " + text + " (this program reads version 1)";
  }
  return Unit{};
}

Result<DumpLine, std::string> read_dump_line(std::string_view text) {
  auto object = parse_json_object(text);
  if (!object.ok()) {
    JsonError error = std::move(object).error();
    // A line that is no object at all is read as any JSON, for the message
    // to tell JSON that is not an object from text that is not JSON.
    const size_t first = text.find_first_not_of(" \t\n\r");
    if (first == text.npos || text[first] != '{') {
      auto json = parse_json(text);
      if (json.ok() || !json.error().syntax) return std::string("a line must be a JSON object");
      error = std::move(json).error();
    }
    if (!error.syntax) return error.message;
    return "not JSON: " + error.display();
  }
  Map& members = object.value();
  DumpLine line;
  if (const Value* count = members.find(TRAILER_KEY); count && members.size() == 1) {
    if (!count->is(Kind::Int) || count->as_int() < 0) {
      return std::string("the record count must be a non-negative integer");
    }
    line.is_trailer = true;
    line.count = uint64_t(count->as_int());
    return line;
  }
  Value* c = members.find("c");
  Value* k = members.find("k");
  Value* v = members.find("v");
  if (members.size() != 3 || !c || !k || !v || !c->is(Kind::Text) || !k->is(Kind::Text)) {
    return std::string(
        "a record must be {\"c\":COLLECTION,\"k\":KEY,\"v\":VALUE} with string "
        "collection and key");
  }
  if (!can_have_files(c->as_text())) return std::string("collection name cannot be a file name");
  if (!fits_length_field(k->as_text().size())) return oversized_message("key", k->as_text().size());
  if (v->is(Kind::Tombstone)) {
    return std::string("a record's value cannot be a tombstone: a dump holds live records only");
  }
  if (auto too_long = find_oversized(*v)) return std::move(*too_long);
  // What a write refuses, a load refuses too.
  for (const OutgoingLink& link : extract_links(*v)) {
    if (auto fault = collection_files_fault(link.target_collection)) {
      return "link target " + std::move(*fault);
    }
  }
  line.collection = std::move(c->as_text());
  line.key = std::move(k->as_text());
  line.value = std::move(*v);
  return line;
}

}  // namespace zez::tool
