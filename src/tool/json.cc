// text    := ws value ws
// value   := object | array | string | number | "true" | "false" | "null"
// object  := "{" ws "}" | "{" member ("," member)* "}"
// member  := ws string ws ":" value        (value carries its own ws)
// array   := "[" ws "]" | "[" value ("," value)* "]"
// string  := '"' (raw UTF-8 from U+0020 up, except '"' and '\' | escape)* '"'
// escape  := '\' ( '"' | '\' | '/' | b | f | n | r | t | u hex{4} )
//            a \u escape of a high surrogate must be followed by one of a
//            low surrogate; together they are one code point
// number  := "-"? ("0" | [1-9][0-9]*) ("." [0-9]+)? ([eE] [+-]? [0-9]+)?
// ws      := (space | tab | line feed | carriage return)*
#include "tool/json.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/encoding.h"

namespace zez {

namespace {

constexpr const char* UNEXPECTED_END = "unexpected end of text";
constexpr const char* UNEXPECTED = "unexpected character";
constexpr const char* INVALID_NUMBER = "invalid number";
constexpr const char* OUT_OF_RANGE = "number out of range";
constexpr const char* UNTERMINATED = "unterminated string";
constexpr const char* INVALID_ESCAPE = "invalid escape";
constexpr const char* LONE_SURROGATE = "unpaired surrogate escape";

// Each one-letter escape followed by the byte it stands for.
constexpr std::string_view SHORT_ESCAPES = "\"\"\\\\//b\bf\fn\nr\rt\t";
constexpr char HEX_DIGITS[] = "0123456789abcdef";
constexpr char BASE64_ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The bytes that end a run of string content copied as it is: the closing
// quote, an escape, or a control character (which JSON forbids raw).
bool ends_run(char c) { return uint8_t(c) < 0x20 || c == '"' || c == '\\'; }

// The value of the four hex digits of the \uXXXX escape at p (p[0] and
// p[1] are in the text), or -1 when one is not a hex digit, or -2 when the
// text ends within them: a longer line might have held a good escape.
int32_t escape_hex(const char* p, const char* end) {
  uint16_t value = 0;
  auto read = std::from_chars(p + 2, p + std::min<ptrdiff_t>(6, end - p), value, 16);
  const char* digits_end = read.ec == std::errc() ? read.ptr : p + 2;
  if (digits_end == p + 6) return value;
  return digits_end == end ? -2 : -1;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(char(cp));
    return;
  }
  const int continuations = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
  constexpr uint8_t LEAD[] = {0, 0xC0, 0xE0, 0xF0};
  out.push_back(char(LEAD[continuations] | cp >> 6 * continuations));
  for (int shift = 6 * (continuations - 1); shift >= 0; shift -= 6) {
    out.push_back(char(0x80 | (cp >> shift & 0x3F)));
  }
}

// The first byte of [p, end) that does not start a well-formed UTF-8
// sequence, for the error offset; only called once the run is known bad.
// The shortest valid prefix of valid UTF-8 is exactly its first sequence,
// so stepping by it needs no second decoder.
const char* find_invalid_utf8(const char* p, const char* end) {
  while (p < end) {
    size_t len = 1;
    const size_t max = std::min<size_t>(4, size_t(end - p));
    while (len <= max && !is_valid_utf8(std::string_view(p, len))) ++len;
    if (len > max) return p;
    p += len;
  }
  return end;
}

// Standard base64 with padding, and its strict inverse (no whitespace, no
// missing or extra padding, unused bits zero, so one byte string has one
// text); false when `text` is not that.
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
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const size_t pad = last ? size_t(text[i + 3] == '=') + size_t(text[i + 2] == '=') : 0;
    if (pad == 1 && text[i + 2] == '=') return false;  // "x=y=" style
    uint32_t n = 0;
    for (size_t k = 0; k < 4 - pad; ++k) {
      const char* p = std::strchr(BASE64_ALPHABET, text[i + k]);
      if (text[i + k] == '\0' || !p) return false;
      n |= uint32_t(p - BASE64_ALPHABET) << (18 - 6 * k);
    }
    if (n & ((1u << 8 * pad) - 1)) return false;  // bits the padding leaves over
    out.push_back(char(n >> 16));
    if (pad < 2) out.push_back(char(n >> 8));
    if (pad < 1) out.push_back(char(n));
  }
  return true;
}

// A JSON number as written: an integer's sign and magnitude, or a double.
struct Number {
  bool integer = false;
  bool negative = false;
  uint64_t magnitude = 0;
  double real = 0;
};

// One pass over the text, building values as it goes. Each method returns
// false after storing the error; the recursion (value -> array / object ->
// value) carries no Result, so a level of nesting costs little stack.
class Parser {
 public:
  explicit Parser(std::string_view text)
      : begin_(text.data()), pos_(text.data()), end_(text.data() + text.size()) {}

  template <class T>
  Result<T, JsonError> finish(bool ok, T out) {
    if (!ok) return std::move(error_);
    skip_whitespace();
    if (pos_ != end_) return JsonError{"trailing characters", offset(pos_), true};
    return out;
  }

  // `depth` is the number of arrays, maps and links around the value, as
  // the decoder counts them, so that whatever is accepted reads back.
  bool value(Value& out, int depth) {
    skip_whitespace();
    if (pos_ == end_) return fail(UNEXPECTED_END, pos_);
    switch (*pos_) {
      case '[':
        return array(out, depth);
      case '{':
        return object(out, depth);
      case '"':
        out = Value::text("");
        return string(out.as_text());
      case 't':
        out = Value::boolean(true);
        return literal("true");
      case 'f':
        out = Value::boolean(false);
        return literal("false");
      case 'n':
        return literal("null");
      default: {
        const char* at = pos_;
        Number n;
        if (*pos_ != '-' && !is_digit(*pos_)) return fail(UNEXPECTED, pos_);
        if (!number(n)) return false;
        if (!n.integer) {
          out = Value::floating(n.real);
        } else if (!n.negative && n.magnitude > uint64_t(INT64_MAX)) {
          return bad("integer out of the 64-bit signed range", at);
        } else {
          out = Value::integer(int64_t(n.negative ? 0 - n.magnitude : n.magnitude));
        }
        return true;
      }
    }
  }

  // The members of the object at pos_ as a map's entries, at `depth`; its
  // keys are never tags. `duplicate` is the error for a key met twice.
  bool map(Map& out, int depth, const char* duplicate) {
    if (depth >= MAX_NESTING_DEPTH) return too_deep();
    return items('}', [&] {
      std::string key;
      skip_whitespace();
      const char* at = pos_;
      if (!member_key(key)) return false;
      if (out.find(key)) return bad(duplicate, at);
      Value v;
      if (!value(v, depth + 1)) return false;
      out.insert(std::move(key), std::move(v));
      return true;
    });
  }

  // Skips whitespace, then true when the next byte is `c` (not consumed).
  bool expect(char c) {
    skip_whitespace();
    if (pos_ == end_) return fail(UNEXPECTED_END, pos_);
    return *pos_ == c || fail(UNEXPECTED, pos_);
  }

 private:
  size_t offset(const char* at) const { return size_t(at - begin_); }
  bool fail(const char* message, const char* at) {
    error_ = JsonError{message, offset(at), true};
    return false;
  }
  // JSON, but no value: a semantic error.
  bool bad(std::string message, const char* at) {
    error_ = JsonError{std::move(message), offset(at), false};
    return false;
  }
  bool too_deep() {
    return bad("nested deeper than " + std::to_string(MAX_NESTING_DEPTH) + " levels", pos_);
  }
  void skip_whitespace() {
    while (pos_ < end_ && (*pos_ == ' ' || *pos_ == '\t' || *pos_ == '\n' || *pos_ == '\r')) {
      ++pos_;
    }
  }
  bool skip_digits() {
    const char* start = pos_;
    while (pos_ < end_ && is_digit(*pos_)) ++pos_;
    return pos_ != start;
  }
  bool at(char c) {
    skip_whitespace();
    return pos_ < end_ && *pos_ == c;
  }

  // A text cut short inside the word is an early end; any other difference
  // is pointed at exactly.
  bool literal(std::string_view word) {
    for (char c : word) {
      if (pos_ == end_) return fail(UNEXPECTED_END, pos_);
      if (*pos_ != c) return fail(UNEXPECTED, pos_);
      ++pos_;
    }
    return true;
  }

  // Checks the grammar here, because the conversions accept more (leading
  // zeros, "1." and so on); they then only convert. An integer's magnitude
  // may reach 2^64 - 1 (a date-time needs it) and 2^63 when negative.
  bool number(Number& out) {
    const char* start = pos_;
    out.negative = *pos_ == '-';
    if (out.negative) ++pos_;
    const char* digits = pos_;
    if (pos_ < end_ && *pos_ == '0') {
      ++pos_;
      if (pos_ < end_ && is_digit(*pos_)) return fail(INVALID_NUMBER, start);
    } else if (!skip_digits()) {
      return fail(INVALID_NUMBER, start);
    }
    out.integer = true;
    if (pos_ < end_ && *pos_ == '.') {
      ++pos_;
      if (!skip_digits()) return fail(INVALID_NUMBER, start);
      out.integer = false;
    }
    if (pos_ < end_ && (*pos_ == 'e' || *pos_ == 'E')) {
      ++pos_;
      if (pos_ < end_ && (*pos_ == '+' || *pos_ == '-')) ++pos_;
      if (!skip_digits()) return fail(INVALID_NUMBER, start);
      out.integer = false;
    }
    if (out.integer) {
      const bool fits = std::from_chars(digits, pos_, out.magnitude).ec == std::errc() &&
                        (!out.negative || out.magnitude <= uint64_t(INT64_MAX) + 1);
      return fits || fail(OUT_OF_RANGE, start);
    }
    if (std::from_chars(start, pos_, out.real).ec != std::errc()) {
      // from_chars does not tell an underflow, which reads as a zero of its
      // sign, from an overflow; strtod does. The program never leaves the
      // "C" locale, so strtod reads the literal just checked as it is.
      out.real = std::strtod(std::string(start, pos_).c_str(), nullptr);
    }
    return std::isfinite(out.real) || fail(OUT_OF_RANGE, start);
  }

  // Copies content in runs between the bytes that need a look of their own,
  // checking each run's UTF-8 before appending it.
  bool string(std::string& out) {
    const char* open = pos_++;
    for (;;) {
      const char* run = pos_;
      while (pos_ < end_ && !ends_run(*pos_)) ++pos_;
      if (pos_ == end_) return fail(UNTERMINATED, open);
      if (!is_valid_utf8(std::string_view(run, size_t(pos_ - run)))) {
        return fail("invalid utf-8", find_invalid_utf8(run, pos_));
      }
      out.append(run, pos_);
      if (*pos_ == '"') {
        ++pos_;
        return true;
      }
      if (*pos_ != '\\') return fail("control character in string", pos_);
      if (end_ - pos_ < 2) return fail(UNTERMINATED, open);
      if (pos_[1] == 'u') {
        if (!unicode_escape(out, open)) return false;
        continue;
      }
      const size_t at = SHORT_ESCAPES.find(pos_[1]);
      if (at == SHORT_ESCAPES.npos || at % 2 != 0) return fail(INVALID_ESCAPE, pos_);
      out.push_back(SHORT_ESCAPES[at + 1]);
      pos_ += 2;
    }
  }

  // Our strings are UTF-8, which cannot hold a surrogate: a high surrogate
  // counts only with the low one right after it, and a low one never alone.
  // A text that ends where the low one could still come is unterminated.
  bool unicode_escape(std::string& out, const char* open) {
    const char* at = pos_;
    int32_t cp = escape_hex(pos_, end_);
    if (cp == -2) return fail(UNTERMINATED, open);
    if (cp == -1) return fail(INVALID_ESCAPE, at);
    pos_ += 6;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(LONE_SURROGATE, at);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      int32_t low = -1;
      if (pos_ == end_ || (*pos_ == '\\' && end_ - pos_ == 1)) {
        low = -2;
      } else if (pos_[0] == '\\' && pos_[1] == 'u') {
        low = escape_hex(pos_, end_);
      }
      if (low == -2) return fail(UNTERMINATED, open);
      if (low < 0xDC00 || low > 0xDFFF) return fail(LONE_SURROGATE, at);
      pos_ += 6;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(out, uint32_t(cp));
    return true;
  }

  // The elements of the array or object whose opening bracket is at pos_,
  // up to `close`: `item` reads each one.
  template <class Item>
  bool items(char close, Item&& item) {
    ++pos_;
    if (at(close)) {
      ++pos_;
      return true;
    }
    for (;;) {
      if (!item()) return false;
      skip_whitespace();
      if (pos_ == end_) return fail(UNEXPECTED_END, pos_);
      if (*pos_ == close) break;
      if (*pos_ != ',') return fail(UNEXPECTED, pos_);
      ++pos_;
    }
    ++pos_;
    return true;
  }

  // A member's key and the colon after it.
  bool member_key(std::string& key) {
    if (!expect('"') || !string(key) || !expect(':')) return false;
    ++pos_;
    return true;
  }

  [[gnu::noinline]] bool array(Value& out, int depth) {
    if (depth >= MAX_NESTING_DEPTH) return too_deep();
    Array elements;
    if (!items(']', [&] { return value(elements.emplace_back(), depth + 1); })) return false;
    out = Value::array(std::move(elements));
    return true;
  }

  // A map, or a tagged value when the object's one key starts with "$".
  [[gnu::noinline]] bool object(Value& out, int depth) {
    const char* open = pos_;
    ++pos_;
    std::string key;
    if (at('"') && !member_key(key)) return false;
    if (key.starts_with('$') && single_member()) {
      if (!tag(key, out, depth) || !expect('}')) return false;
      ++pos_;
      return true;
    }
    pos_ = open;
    Map m;
    if (!map(m, depth, "a map holds a key twice")) return false;
    out = Value::map(std::move(m));
    return true;
  }

  // Whether the object ends after the member value that starts at pos_.
  // Only looks for the first bracket or comma outside strings at this level
  // and checks nothing: the reading that follows checks the text.
  bool single_member() const {
    int nesting = 0;
    for (const char* p = pos_; p < end_; ++p) {
      if (*p == '"') {
        while (++p < end_ && *p != '"') {
          if (*p == '\\' && ++p == end_) return false;
        }
        if (p == end_) return false;
      } else if (*p == '[' || *p == '{') {
        ++nesting;
      } else if (*p == ']' || *p == '}') {
        if (nesting-- == 0) return *p == '}';
      } else if (*p == ',' && nesting == 0) {
        return false;
      }
    }
    return false;
  }

  // The body of `{"$tag": ...}` at pos_.
  bool tag(const std::string& tag, Value& out, int depth) {
    skip_whitespace();
    const char* body = pos_;
    std::string text;
    const bool is_string = at('"');
    if (is_string && !string(text)) return false;
    if (tag == "$float") {
      uint64_t bits = 0;
      if (text.size() != 16 || text.find_first_not_of(HEX_DIGITS) != text.npos) {
        return bad("\"$float\" needs 16 lowercase hexadecimal digits", body);
      }
      (void)std::from_chars(text.data(), text.data() + text.size(), bits, 16);
      out = Value::floating(std::bit_cast<double>(bits));
    } else if (tag == "$bytes") {
      out = Value::blob("");
      if (!is_string || !decode_base64(text, out.as_blob())) {
        return bad("\"$bytes\" needs a base64 string", body);
      }
    } else if (tag == "$date" || tag == "$time" || tag == "$datetime") {
      Number n;
      const bool numeric = !is_string && pos_ < end_ && (*pos_ == '-' || is_digit(*pos_));
      if (numeric && !number(n)) return false;
      if (!numeric || !n.integer || (n.negative && n.magnitude != 0)) {
        return bad(quoted(tag) + " needs a non-negative integer", body);
      }
      if (tag != "$datetime" && n.magnitude > UINT32_MAX) {
        return bad(quoted(tag) + " is out of range", body);
      }
      const auto small = uint32_t(n.magnitude);
      out = tag == "$datetime" ? Value::date_time(n.magnitude)
            : tag == "$date"   ? Value::date(small)
                               : Value::time(small);
    } else if (tag == "$tombstone") {
      if (!at('n')) return bad("\"$tombstone\" needs null", body);
      out = Value::tombstone();
      return literal("null");
    } else if (tag == "$link") {
      return link(out, depth);
    } else if (tag == "$map") {
      if (!at('{')) return bad("a map must be a JSON object", body);
      Map m;
      if (!map(m, depth, "a map holds a key twice")) return false;
      out = Value::map(std::move(m));
    } else {
      return bad("unknown tag " + quoted(tag), body);
    }
    return true;
  }

  // `{"path":TEXT,"local":{...}}`, in either order. The link is a level of
  // its own, and its local map's values lie below it.
  bool link(Value& out, int depth) {
    const char* shape =
        "\"$link\" needs an object with \"path\" (a string) and \"local\" (an object)";
    const char* body = pos_;
    if (!at('{')) return bad(shape, body);
    std::string path;
    Map local;
    bool has_path = false;
    bool has_local = false;
    const bool read = items('}', [&] {
      std::string key;
      if (!member_key(key)) return false;
      if (key == "path" && !has_path && at('"')) {
        has_path = true;
        return string(path);
      }
      if (key == "local" && !has_local && at('{')) {
        has_local = true;
        return map(local, depth, "a link's local map holds a key twice");
      }
      return bad(shape, body);
    });
    if (!read) return false;
    if (!has_path || !has_local) return bad(shape, body);
    out = Value::link(std::move(path), std::move(local));
    return true;
  }

  const char* const begin_;
  const char* pos_;
  const char* const end_;
  JsonError error_{UNEXPECTED_END, 0, true};
};

}  // namespace

std::string JsonError::display() const { return message + " at byte " + std::to_string(offset); }

Result<Value, JsonError> parse_json(std::string_view text) {
  Parser parser(text);
  Value v;
  const bool ok = parser.value(v, 0);
  return parser.finish(ok, std::move(v));
}

// The object itself is no level of the values it holds.
Result<Map, JsonError> parse_json_object(std::string_view text) {
  Parser parser(text);
  Map m;
  const bool ok = parser.expect('{') && parser.map(m, -1, "a map holds a key twice");
  return parser.finish(ok, std::move(m));
}

void append_quoted(std::string& out, std::string_view utf8) {
  out.push_back('"');
  for (size_t i = 0; i < utf8.size();) {
    const size_t run = i;
    while (i < utf8.size() && !ends_run(utf8[i])) ++i;
    out.append(utf8.substr(run, i - run));
    if (i == utf8.size()) break;
    const char c = utf8[i++];
    size_t at = 1;
    while (at < SHORT_ESCAPES.size() && SHORT_ESCAPES[at] != c) at += 2;
    if (at < SHORT_ESCAPES.size()) {
      const char escape[2] = {'\\', SHORT_ESCAPES[at - 1]};
      out.append(escape, 2);
    } else {
      const char escape[6] = {
          '\\', 'u', '0', '0', HEX_DIGITS[uint8_t(c) >> 4], HEX_DIGITS[c & 0xF]};
      out.append(escape, 6);
    }
  }
  out.push_back('"');
}

// to_chars picks the shortest digits that read back exactly, in plain or
// scientific form, whichever is shorter; plain integers (100, -0) get ".0"
// so that they stay doubles on the way back.
bool JsonWriter::write_double(double d) {
  if (!std::isfinite(d)) return false;
  char buf[32];
  char* end = std::to_chars(buf, buf + sizeof buf, d).ptr;
  std::string& out = separate();
  out.append(buf, end);
  if (std::find_if(buf, end, [](char c) { return c == '.' || c == 'e'; }) == end) out.append(".0");
  return true;
}

// Entries in byte order of their keys: a map has no order of its own, and a
// dump must not depend on the one it happens to have.
void JsonWriter::write_map(const Map& m) {
  std::vector<const Map::Entry*> entries;
  entries.reserve(m.size());
  for (const Map::Entry& e : m) entries.push_back(&e);
  std::sort(entries.begin(), entries.end(),
            [](const Map::Entry* a, const Map::Entry* b) { return a->first < b->first; });
  begin_object();
  for (const Map::Entry* e : entries) {
    write_key(e->first);
    write_value(e->second);
  }
  end_object();
}

void JsonWriter::write_value(const Value& v) {
  switch (v.kind()) {
    case Kind::Null:
      return write_null();
    case Kind::Tombstone:
      begin_tag("$tombstone");
      write_null();
      break;
    case Kind::Bool:
      return write_bool(v.as_bool());
    case Kind::Int:
      return write_int(v.as_int());
    case Kind::Float: {
      if (write_double(v.as_float())) return;
      // JSON has no NaN or infinity; the bit pattern keeps every NaN payload.
      uint64_t bits = std::bit_cast<uint64_t>(v.as_float());
      std::string hex(16, '0');
      for (size_t i = 16; i-- > 0; bits >>= 4) hex[i] = HEX_DIGITS[bits & 0xF];
      begin_tag("$float");
      write_string(hex);
      break;
    }
    case Kind::Text:
      return write_string(v.as_text());
    case Kind::Blob:
      begin_tag("$bytes");
      write_string(encode_base64(v.as_blob()));
      break;
    case Kind::Date:
    case Kind::Time:
    case Kind::DateTime:
      begin_tag(v.is(Kind::Date) ? "$date" : v.is(Kind::Time) ? "$time" : "$datetime");
      write_uint(v.is(Kind::Date)   ? v.as_date()
                 : v.is(Kind::Time) ? v.as_time()
                                    : v.as_date_time());
      break;
    case Kind::Array:
      begin_array();
      for (const Value& e : v.as_array()) write_value(e);
      return end_array();
    case Kind::Map:
      // Wrapped only when it would otherwise read back as a tag.
      if (v.as_map().size() != 1 || !v.as_map().begin()->first.starts_with('$')) {
        return write_map(v.as_map());
      }
      begin_tag("$map");
      write_map(v.as_map());
      break;
    case Kind::Link:
      begin_tag("$link");
      begin_object();
      write_key("path");
      write_string(v.as_link().path);
      write_key("local");
      write_map(v.as_link().local);
      end_object();
      break;
  }
  end_object();  // of the tag
}

}  // namespace zez
