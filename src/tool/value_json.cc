#include "tool/value_json.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

namespace zez::tool {

namespace {

constexpr char BASE64_ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Entries in byte order of their keys: a map has no order of its own, and a
// dump must not depend on the one it happens to have.
std::vector<const Map::Entry*> sorted_entries(const Map& m) {
  std::vector<const Map::Entry*> entries;
  entries.reserve(m.size());
  for (const Map::Entry& e : m) entries.push_back(&e);
  std::sort(entries.begin(), entries.end(),
            [](const Map::Entry* a, const Map::Entry* b) { return a->first < b->first; });
  return entries;
}

void write_map_members(JsonWriter& out, const Map& m) {
  out.begin_object();
  for (const Map::Entry* e : sorted_entries(m)) {
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

// The plain numeric kinds: {"$date":N} and the like.
void write_number_tag(JsonWriter& out, std::string_view tag, uint64_t n) {
  begin_tag(out, tag);
  out.write_uint(n);
  out.end_object();
}

std::string float_bits_hex(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  std::string hex(16, '0');
  for (int i = 15; i >= 0; --i, bits >>= 4) hex[size_t(i)] = "0123456789abcdef"[bits & 0xF];
  return hex;
}

bool is_tag_object(const JsonValue& j) {
  if (!j.is(JsonValue::Kind::Object) || j.as_object().size() != 1) return false;
  const std::string& key = j.as_object()[0].first;
  return !key.empty() && key[0] == '$';
}

std::string quoted(std::string_view text) {
  std::string q;
  JsonWriter(q).write_string(text);
  return q;
}

using ValueResult = Result<Value, std::string>;

class Reader {
 public:
  ValueResult read(const JsonValue& j, int depth);

 private:
  ValueResult read_tag(const std::string& tag, const JsonValue& body, int depth);
  Result<Map, std::string> read_map(const JsonValue& j, int depth);
  // The entries of a map at `depth`; `duplicate` is the error for a key met twice.
  Result<Map, std::string> read_entries(const JsonValue::Object& members, int depth,
                                        const char* duplicate);
  ValueResult read_float_bits(const JsonValue& body);
  ValueResult read_unsigned(const std::string& tag, const JsonValue& body, uint64_t max);
  ValueResult read_link(const JsonValue& body, int depth);
};

// `depth` counts the arrays, maps and links around the value, as the
// decoder counts them, so whatever is accepted here reads back.
std::optional<std::string> too_deep(int depth) {
  if (depth < MAX_NESTING_DEPTH) return std::nullopt;
  std::string m = "nested deeper than ";
  m.append(std::to_string(MAX_NESTING_DEPTH)).append(" levels");
  return m;
}

ValueResult Reader::read(const JsonValue& j, int depth) {
  switch (j.kind()) {
    case JsonValue::Kind::Null:
      return Value::null();
    case JsonValue::Kind::Bool:
      return Value::boolean(j.as_bool());
    case JsonValue::Kind::Int:
      return Value::integer(j.as_int());
    case JsonValue::Kind::Uint:
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
        auto v = read(e, depth + 1);
        if (!v.ok()) return v;
        elements.push_back(std::move(v).value());
      }
      return Value::array(std::move(elements));
    }
    case JsonValue::Kind::Object: {
      if (is_tag_object(j)) return read_tag(j.as_object()[0].first, j.as_object()[0].second, depth);
      auto m = read_map(j, depth);
      if (!m.ok()) return std::move(m).error();
      return Value::map(std::move(m).value());
    }
  }
  return std::string("unknown JSON kind");
}

Result<Map, std::string> Reader::read_map(const JsonValue& j, int depth) {
  if (!j.is(JsonValue::Kind::Object)) return std::string("a map must be a JSON object");
  if (auto deep = too_deep(depth)) return std::move(*deep);
  // A map keeps one entry per key: a duplicate would silently drop a value.
  return read_entries(j.as_object(), depth, "a map holds a key twice");
}

Result<Map, std::string> Reader::read_entries(const JsonValue::Object& members, int depth,
                                              const char* duplicate) {
  if (has_duplicate_key(members)) return std::string(duplicate);
  Map m;
  m.reserve(members.size());
  for (const JsonValue::Member& member : members) {
    auto v = read(member.second, depth + 1);
    if (!v.ok()) return std::move(v).error();
    m.insert(member.first, std::move(v).value());
  }
  return m;
}

ValueResult Reader::read_tag(const std::string& tag, const JsonValue& body, int depth) {
  if (tag == "$float") return read_float_bits(body);
  if (tag == "$bytes") {
    std::string bytes;
    if (!body.is(JsonValue::Kind::String) || !decode_base64(body.as_string(), bytes)) {
      return std::string("\"$bytes\" needs a base64 string");
    }
    return Value::blob(std::move(bytes));
  }
  if (tag == "$date") return read_unsigned(tag, body, UINT32_MAX);
  if (tag == "$time") return read_unsigned(tag, body, UINT32_MAX);
  if (tag == "$datetime") return read_unsigned(tag, body, UINT64_MAX);
  if (tag == "$tombstone") {
    if (!body.is(JsonValue::Kind::Null)) return std::string("\"$tombstone\" needs null");
    return Value::tombstone();
  }
  if (tag == "$link") return read_link(body, depth);
  if (tag == "$map") {
    auto m = read_map(body, depth);
    if (!m.ok()) return std::move(m).error();
    return Value::map(std::move(m).value());
  }
  return "unknown tag " + quoted(tag);
}

ValueResult Reader::read_float_bits(const JsonValue& body) {
  const char* bad = "\"$float\" needs 16 lowercase hexadecimal digits";
  if (!body.is(JsonValue::Kind::String) || body.as_string().size() != 16) return std::string(bad);
  uint64_t bits = 0;
  for (char c : body.as_string()) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) return std::string(bad);
    bits = bits << 4 | uint64_t(digit);
  }
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return Value::floating(d);
}

ValueResult Reader::read_unsigned(const std::string& tag, const JsonValue& body, uint64_t max) {
  uint64_t n;
  if (body.is(JsonValue::Kind::Int) && body.as_int() >= 0) {
    n = uint64_t(body.as_int());
  } else if (body.is(JsonValue::Kind::Uint)) {
    n = body.as_uint();
  } else {
    return quoted(tag) + " needs a non-negative integer";
  }
  if (n > max) return quoted(tag) + " is out of range";
  if (tag == "$date") return Value::date(uint32_t(n));
  if (tag == "$time") return Value::time(uint32_t(n));
  return Value::date_time(n);
}

ValueResult Reader::read_link(const JsonValue& body, int depth) {
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

}  // namespace

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
    case Kind::Float:
      if (std::isfinite(v.as_float())) {
        bool written = out.write_double(v.as_float());
        (void)written;  // always true for a finite double
        return;
      }
      // JSON has no NaN or infinity; the bit pattern keeps every NaN payload.
      begin_tag(out, "$float");
      out.write_string(float_bits_hex(v.as_float()));
      out.end_object();
      return;
    case Kind::Text:
      out.write_string(v.as_text());
      return;
    case Kind::Blob:
      begin_tag(out, "$bytes");
      out.write_string(encode_base64(v.as_blob()));
      out.end_object();
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
      bool looks_like_tag =
          m.size() == 1 && !m.begin()->first.empty() && m.begin()->first[0] == '$';
      if (!looks_like_tag) {
        write_map_members(out, m);
        return;
      }
      begin_tag(out, "$map");
      write_map_members(out, m);
      out.end_object();
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

Result<Value, std::string> value_from_json(const JsonValue& json) { return Reader().read(json, 0); }

std::string encode_base64(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t n = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 |
                 uint8_t(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) text.push_back(BASE64_ALPHABET[(n >> shift) & 63]);
  }
  size_t rest = bytes.size() - i;
  if (rest == 0) return text;
  uint32_t n = uint32_t(uint8_t(bytes[i])) << 16;
  if (rest == 2) n |= uint32_t(uint8_t(bytes[i + 1])) << 8;
  text.push_back(BASE64_ALPHABET[(n >> 18) & 63]);
  text.push_back(BASE64_ALPHABET[(n >> 12) & 63]);
  text.push_back(rest == 2 ? BASE64_ALPHABET[(n >> 6) & 63] : '=');
  text.push_back('=');
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
