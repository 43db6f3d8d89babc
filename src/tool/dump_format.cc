#include "tool/dump_format.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <vector>

#include "codec/encoding.h"
#include "tool/tool.h"

namespace zez::tool {

namespace {

constexpr std::string_view HEADER_KEY = "zezavezud_dump";
constexpr std::string_view TRAILER_KEY = "zezavezud_records";
constexpr char BASE64_ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// ---- Writing values

// Entries in byte order of their keys: a map has no order of its own, and a
// dump must not depend on the one it happens to have.
void write_map_members(JsonWriter& out, const Map& m) {
  std::vector<const Map::Entry*> entries;
  entries.reserve(m.size());
  for (const Map::Entry& e : m) entries.push_back(&e);
  std::sort(entries.begin(), entries.end(),
            [](const Map::Entry* a, const Map::Entry* b) { return a->first < b->first; });
  out.begin_object();
  for (const Map::Entry* e : entries) {
    out.write_key(e->first);
    write_value_json(out, e->second);
  }
  out.end_object();
}

// A one-key object `{"$tag": ...}`; the caller writes the member's value and
// then closes the object.
void begin_tag(JsonWriter& out, std::string_view tag) {
  out.begin_object();
  out.write_key(tag);
}

// `{"$tag":N}`, and the header and trailer lines, which have the same shape.
void write_number_tag(JsonWriter& out, std::string_view tag, uint64_t n) {
  begin_tag(out, tag);
  out.write_uint(n);
  out.end_object();
}

void write_text_tag(JsonWriter& out, std::string_view tag, std::string_view text) {
  begin_tag(out, tag);
  out.write_string(text);
  out.end_object();
}

// ---- Reading values

using ValueResult = Result<Value, std::string>;

ValueResult read_value(const JsonValue& j, int depth);

// `depth` counts the arrays, maps and links around the value, as the
// decoder counts them, so whatever is accepted here reads back.
std::optional<std::string> too_deep(int depth) {
  if (depth < MAX_NESTING_DEPTH) return std::nullopt;
  return "nested deeper than " + std::to_string(MAX_NESTING_DEPTH) + " levels";
}

// The entries of a map at `depth`; `duplicate` is the error for a key met
// twice, which a map would silently drop.
Result<Map, std::string> read_entries(const JsonValue::Object& members, int depth,
                                      const char* duplicate) {
  if (has_duplicate_key(members)) return std::string(duplicate);
  Map m;
  m.reserve(members.size());
  for (const JsonValue::Member& member : members) {
    auto v = read_value(member.second, depth + 1);
    if (!v.ok()) return std::move(v).error();
    m.insert(member.first, std::move(v).value());
  }
  return m;
}

ValueResult read_map(const JsonValue& j, int depth) {
  if (!j.is(JsonValue::Kind::Object)) return std::string("a map must be a JSON object");
  if (auto deep = too_deep(depth)) return std::move(*deep);
  auto m = read_entries(j.as_object(), depth, "a map holds a key twice");
  if (!m.ok()) return std::move(m).error();
  return Value::map(std::move(m).value());
}

ValueResult read_float_bits(const JsonValue& body) {
  const char* bad = "\"$float\" needs 16 lowercase hexadecimal digits";
  if (!body.is(JsonValue::Kind::String) || body.as_string().size() != 16) return std::string(bad);
  uint64_t bits = 0;
  for (char c : body.as_string()) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return std::string(bad);
    bits = bits << 4 | uint64_t(digit);
  }
  return Value::floating(std::bit_cast<double>(bits));
}

// "$date", "$time", "$datetime".
ValueResult read_moment(const std::string& tag, const JsonValue& body) {
  const std::optional<uint64_t> n = body.as_uint64();
  if (!n) return quoted(tag) + " needs a non-negative integer";
  if (tag == "$datetime") return Value::date_time(*n);
  if (*n > UINT32_MAX) return quoted(tag) + " is out of range";
  return tag == "$date" ? Value::date(uint32_t(*n)) : Value::time(uint32_t(*n));
}

ValueResult read_link(const JsonValue& body, int depth) {
  const char* shape =
      "\"$link\" needs an object with \"path\" (a string) and \"local\" (an object)";
  if (!body.is(JsonValue::Kind::Object) || body.as_object().size() != 2 ||
      has_duplicate_key(body.as_object())) {
    return std::string(shape);
  }
  const JsonValue* path = body.find("path");
  const JsonValue* local = body.find("local");
  if (!path || !local || !path->is(JsonValue::Kind::String) ||
      !local->is(JsonValue::Kind::Object)) {
    return std::string(shape);
  }
  // The link is a level of its own, and its local map's values lie below it.
  if (auto deep = too_deep(depth)) return std::move(*deep);
  auto m = read_entries(local->as_object(), depth, "a link's local map holds a key twice");
  if (!m.ok()) return std::move(m).error();
  return Value::link(path->as_string(), std::move(m).value());
}

ValueResult read_tag(const std::string& tag, const JsonValue& body, int depth) {
  if (tag == "$float") return read_float_bits(body);
  if (tag == "$bytes") {
    std::string bytes;
    if (!body.is(JsonValue::Kind::String) || !decode_base64(body.as_string(), bytes)) {
      return std::string("\"$bytes\" needs a base64 string");
    }
    return Value::blob(std::move(bytes));
  }
  if (tag == "$date" || tag == "$time" || tag == "$datetime") return read_moment(tag, body);
  if (tag == "$tombstone") {
    if (!body.is(JsonValue::Kind::Null)) return std::string("\"$tombstone\" needs null");
    return Value::tombstone();
  }
  if (tag == "$link") return read_link(body, depth);
  if (tag == "$map") return read_map(body, depth);
  return "unknown tag " + quoted(tag);
}

ValueResult read_value(const JsonValue& j, int depth) {
  switch (j.kind()) {
    case JsonValue::Kind::Null:
      return Value::null();
    case JsonValue::Kind::Bool:
      return Value::boolean(j.as_bool());
    case JsonValue::Kind::Int:
      if (auto i = j.as_int64()) return Value::integer(*i);
      return std::string("integer out of the 64-bit signed range");
    case JsonValue::Kind::Double:
      return Value::floating(j.as_double());
    case JsonValue::Kind::String:
      return Value::text(j.as_string());
    case JsonValue::Kind::Array: {
      if (auto deep = too_deep(depth)) return std::move(*deep);
      Array elements;
      elements.reserve(j.as_array().size());
      for (const JsonValue& e : j.as_array()) {
        auto v = read_value(e, depth + 1);
        if (!v.ok()) return v;
        elements.push_back(std::move(v).value());
      }
      return Value::array(std::move(elements));
    }
    case JsonValue::Kind::Object: {
      const JsonValue::Object& members = j.as_object();
      if (members.size() == 1 && members[0].first.starts_with('$')) {
        return read_tag(members[0].first, members[0].second, depth);
      }
      return read_map(j, depth);
    }
  }
  return std::string("unknown JSON kind");
}

}  // namespace

// ---- Lines

void append_dump_header(std::string& out) {
  JsonWriter w(out);
  write_number_tag(w, HEADER_KEY, 1);
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
  write_number_tag(w, TRAILER_KEY, records);
  out.push_back('\n');
}

Result<Unit, std::string> check_dump_header(std::string_view line) {
  auto json = parse_json(line);
  const JsonValue* version =
      json.ok() && json.value().is(JsonValue::Kind::Object) && json.value().as_object().size() == 1
          ? json.value().find(HEADER_KEY)
          : nullptr;
  if (!version) return std::string("not a dump: the first line must be {\"zezavezud_dump\":1}");
  if (version->as_int64() != 1) {
    std::string text;
    bool written = JsonWriter(text).write_value(*version);
    (void)written;  // a parsed tree has no non-finite double
    return "unknown dump version " + text + " (this program reads version 1)";
  }
  return Unit{};
}

Result<DumpLine, std::string> read_dump_line(std::string_view text) {
  auto json = parse_json(text);
  if (!json.ok()) return "not JSON: " + json.error().display();
  const JsonValue& j = json.value();
  if (!j.is(JsonValue::Kind::Object)) return std::string("a line must be a JSON object");
  const JsonValue::Object& members = j.as_object();
  DumpLine line;
  if (members.size() == 1 && members[0].first == TRAILER_KEY) {
    const std::optional<uint64_t> count = members[0].second.as_uint64();
    if (!count) return std::string("the record count must be a non-negative integer");
    line.is_trailer = true;
    line.count = *count;
    return line;
  }
  const JsonValue* c = j.find("c");
  const JsonValue* k = j.find("k");
  const JsonValue* v = j.find("v");
  if (members.size() != 3 || has_duplicate_key(members) || !c || !k || !v ||
      !c->is(JsonValue::Kind::String) || !k->is(JsonValue::Kind::String)) {
    return std::string(
        "a record must be {\"c\":COLLECTION,\"k\":KEY,\"v\":VALUE} with string "
        "collection and key");
  }
  if (!is_usable_collection_name(c->as_string())) {
    return std::string("collection name cannot be a file name");
  }
  if (!fits_length_field(k->as_string().size())) {
    return oversized_message("key", k->as_string().size());
  }
  auto value = value_from_json(*v);
  if (!value.ok()) return std::move(value).error();
  if (value.value().is(Kind::Tombstone)) {
    return std::string("a record's value cannot be a tombstone: a dump holds live records only");
  }
  if (auto too_long = find_oversized(value.value())) return std::move(*too_long);
  line.collection = c->as_string();
  line.key = k->as_string();
  line.value = std::move(value).value();
  return line;
}

// ---- Values

void write_value_json(JsonWriter& out, const Value& v) {
  switch (v.kind()) {
    case Kind::Null:
      out.write_null();
      return;
    case Kind::Tombstone:
      begin_tag(out, "$tombstone");
      out.write_null();
      out.end_object();
      return;
    case Kind::Bool:
      out.write_bool(v.as_bool());
      return;
    case Kind::Int:
      out.write_int(v.as_int());
      return;
    case Kind::Float: {
      if (out.write_double(v.as_float())) return;
      // JSON has no NaN or infinity; the bit pattern keeps every NaN payload.
      uint64_t bits = std::bit_cast<uint64_t>(v.as_float());
      std::string hex(16, '0');
      for (size_t i = 16; i-- > 0; bits >>= 4) hex[i] = "0123456789abcdef"[bits & 0xF];
      write_text_tag(out, "$float", hex);
      return;
    }
    case Kind::Text:
      out.write_string(v.as_text());
      return;
    case Kind::Blob:
      write_text_tag(out, "$bytes", encode_base64(v.as_blob()));
      return;
    case Kind::Date:
      write_number_tag(out, "$date", v.as_date());
      return;
    case Kind::Time:
      write_number_tag(out, "$time", v.as_time());
      return;
    case Kind::DateTime:
      write_number_tag(out, "$datetime", v.as_date_time());
      return;
    case Kind::Array:
      out.begin_array();
      for (const Value& e : v.as_array()) write_value_json(out, e);
      out.end_array();
      return;
    case Kind::Map: {
      const Map& m = v.as_map();
      // Wrapped only when it would otherwise read back as a tag.
      const bool looks_like_tag = m.size() == 1 && m.begin()->first.starts_with('$');
      if (looks_like_tag) begin_tag(out, "$map");
      write_map_members(out, m);
      if (looks_like_tag) out.end_object();
      return;
    }
    case Kind::Link:
      begin_tag(out, "$link");
      out.begin_object();
      out.write_key("path");
      out.write_string(v.as_link().path);
      out.write_key("local");
      write_map_members(out, v.as_link().local);
      out.end_object();
      out.end_object();
      return;
  }
}

Result<Value, std::string> value_from_json(const JsonValue& json) { return read_value(json, 0); }

std::string encode_base64(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) group = group << 8 | (k < n ? uint8_t(bytes[i + k]) : 0);
    // n bytes fill n + 1 characters; '=' pads the group to four.
    for (size_t k = 0; k < 4; ++k) {
      text.push_back(k <= n ? BASE64_ALPHABET[group >> (18 - 6 * k) & 63] : '=');
    }
  }
  return text;
}

bool decode_base64(std::string_view text, std::string& out) {
  if (text.size() % 4 != 0) return false;
  auto sextet = [](char c) -> int {
    const char* p = std::strchr(BASE64_ALPHABET, c);
    return c != '\0' && p ? int(p - BASE64_ALPHABET) : -1;
  };
  out.clear();
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    size_t pad = last ? size_t(text[i + 3] == '=') + size_t(text[i + 2] == '=') : 0;
    if (pad == 1 && text[i + 2] == '=') return false;  // "x=y=" style
    uint32_t n = 0;
    for (size_t k = 0; k < 4 - pad; ++k) {
      int s = sextet(text[i + k]);
      if (s < 0) return false;
      n |= uint32_t(s) << (18 - 6 * k);
    }
    out.push_back(char(n >> 16));
    if (pad < 2) out.push_back(char(n >> 8));
    if (pad < 1) out.push_back(char(n));
    // The bits that padding leaves over must be zero, so one byte string has
    // one text.
    if ((pad == 1 && (n & 0xFF) != 0) || (pad == 2 && (n & 0xFFFF) != 0)) return false;
  }
  return true;
}

}  // namespace zez::tool
