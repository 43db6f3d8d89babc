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
#include <cmath>
#include <cstdlib>

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

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The bytes that end a run of string content copied as it is: the closing
// quote, an escape, or a control character (which JSON forbids raw).
bool ends_run(char c) { return uint8_t(c) < 0x20 || c == '"' || c == '\\'; }

// The integer `digits` (an Int's, or null for another kind) spells, when
// it fits T.
template <class T>
std::optional<T> read_integer(const std::string* digits) {
  T n;
  if (!digits) return std::nullopt;
  const char* end = digits->data() + digits->size();
  auto [stop, ec] = std::from_chars(digits->data(), end, n);
  if (ec != std::errc() || stop != end) return std::nullopt;
  return n;
}

// The value of one hex digit, or -1.
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the four hex digits of the \uXXXX escape at p (p[0] and p[1] are
// in the text). Truncated: the text ends within them, so a longer line
// might have held a good escape.
enum class HexDigits : uint8_t { Ok, Truncated, Invalid };
HexDigits read_escape_hex(const char* p, const char* end, uint32_t& out) {
  out = 0;
  for (int i = 2; i < 6; ++i) {
    if (end - p == i) return HexDigits::Truncated;
    const int d = hex_value(p[i]);
    if (d < 0) return HexDigits::Invalid;
    out = out << 4 | uint32_t(d);
  }
  return HexDigits::Ok;
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

}  // namespace

// One pass over the text. Each parse_* returns false after storing the
// error; the recursion (parse_value -> parse_array / parse_object ->
// parse_value) carries no Result, so a level of nesting costs little stack.
class JsonParser {
 public:
  explicit JsonParser(std::string_view text)
      : begin_(text.data()), pos_(text.data()), end_(text.data() + text.size()) {}

  Result<JsonValue, JsonError> parse() {
    JsonValue out;
    if (!parse_value(out, 0)) return error_;
    skip_whitespace();
    if (pos_ != end_) return JsonError{"trailing characters", offset(pos_)};
    return out;
  }

 private:
  size_t offset(const char* at) const { return size_t(at - begin_); }
  bool fail(const char* message, const char* at) {
    error_ = JsonError{message, offset(at)};
    return false;
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
  // Skips whitespace, then true when the next byte is `c` (not consumed).
  bool expect(char c) {
    skip_whitespace();
    if (pos_ == end_) return fail(UNEXPECTED_END, pos_);
    return *pos_ == c || fail(UNEXPECTED, pos_);
  }

  // `depth` is the number of arrays and objects around the value, which
  // must be fresh (null).
  bool parse_value(JsonValue& out, int depth) {
    skip_whitespace();
    if (pos_ == end_) return fail(UNEXPECTED_END, pos_);
    switch (*pos_) {
      case '[':
      case '{':
        if (depth >= MAX_JSON_DEPTH) return fail("nesting too deep", pos_);
        if (*pos_ == '[') return parse_array(out.v_.emplace<5>(), depth + 1);
        return parse_object(out.v_.emplace<6>(), depth + 1);
      case '"':
        return parse_string(out.v_.emplace<4>());
      case 't':
        out.v_.emplace<1>(true);
        return parse_literal("true");
      case 'f':
        out.v_.emplace<1>(false);
        return parse_literal("false");
      case 'n':
        return parse_literal("null");
      default:
        if (*pos_ == '-' || is_digit(*pos_)) return parse_number(out);
        return fail(UNEXPECTED, pos_);
    }
  }

  // A text cut short inside the word is an early end; any other difference
  // is pointed at exactly.
  bool parse_literal(std::string_view word) {
    for (char c : word) {
      if (pos_ == end_) return fail(UNEXPECTED_END, pos_);
      if (*pos_ != c) return fail(UNEXPECTED, pos_);
      ++pos_;
    }
    return true;
  }

  // Checks the grammar here, because the conversions accept more (leading
  // zeros, "1." and so on); they then only convert.
  bool parse_number(JsonValue& out) {
    const char* start = pos_;
    if (*pos_ == '-') ++pos_;
    if (pos_ < end_ && *pos_ == '0') {
      ++pos_;
      if (pos_ < end_ && is_digit(*pos_)) return fail(INVALID_NUMBER, start);
    } else if (!skip_digits()) {
      return fail(INVALID_NUMBER, start);
    }
    bool is_integer = true;
    if (pos_ < end_ && *pos_ == '.') {
      ++pos_;
      if (!skip_digits()) return fail(INVALID_NUMBER, start);
      is_integer = false;
    }
    if (pos_ < end_ && (*pos_ == 'e' || *pos_ == 'E')) {
      ++pos_;
      if (pos_ < end_ && (*pos_ == '+' || *pos_ == '-')) ++pos_;
      if (!skip_digits()) return fail(INVALID_NUMBER, start);
      is_integer = false;
    }
    const std::string_view literal(start, size_t(pos_ - start));
    if (is_integer) {
      out.v_.emplace<2>(literal);
      return out.as_int64() || out.as_uint64() || fail(OUT_OF_RANGE, start);
    }
    double d;
    if (std::from_chars(start, pos_, d).ec != std::errc()) {
      // from_chars does not tell an underflow, which reads as a zero of its
      // sign, from an overflow; strtod does. The program never leaves the
      // "C" locale, so strtod reads the literal just checked as it is.
      d = std::strtod(std::string(literal).c_str(), nullptr);
    }
    if (!std::isfinite(d)) return fail(OUT_OF_RANGE, start);
    out.v_.emplace<3>(d);
    return true;
  }

  // Copies content in runs between the bytes that need a look of their own,
  // checking each run's UTF-8 before appending it.
  bool parse_string(std::string& out) {
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
        if (!parse_unicode_escape(out, open)) return false;
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
  bool parse_unicode_escape(std::string& out, const char* open) {
    const char* at = pos_;
    uint32_t cp = 0;
    const HexDigits digits = read_escape_hex(pos_, end_, cp);
    if (digits == HexDigits::Truncated) return fail(UNTERMINATED, open);
    if (digits == HexDigits::Invalid) return fail(INVALID_ESCAPE, at);
    pos_ += 6;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(LONE_SURROGATE, at);
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      uint32_t low = 0;
      HexDigits next = HexDigits::Invalid;
      if (pos_ == end_ || (*pos_ == '\\' && end_ - pos_ == 1)) {
        next = HexDigits::Truncated;
      } else if (pos_[0] == '\\' && pos_[1] == 'u') {
        next = read_escape_hex(pos_, end_, low);
      }
      if (next == HexDigits::Truncated) return fail(UNTERMINATED, open);
      if (next == HexDigits::Invalid || low < 0xDC00 || low > 0xDFFF) {
        return fail(LONE_SURROGATE, at);
      }
      pos_ += 6;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(out, cp);
    return true;
  }

  // After an element or a member: a comma, or the closing bracket (then
  // `closed`), after whitespace.
  bool read_separator(char close, bool& closed) {
    skip_whitespace();
    if (pos_ == end_) return fail(UNEXPECTED_END, pos_);
    closed = *pos_ == close;
    if (!closed && *pos_ != ',') return fail(UNEXPECTED, pos_);
    ++pos_;
    return true;
  }

  [[gnu::noinline]] bool parse_array(JsonValue::Array& elements, int depth) {
    ++pos_;
    skip_whitespace();
    bool closed = pos_ < end_ && *pos_ == ']';
    if (closed) ++pos_;
    while (!closed) {
      if (!parse_value(elements.emplace_back(), depth) || !read_separator(']', closed)) {
        return false;
      }
    }
    return true;
  }

  [[gnu::noinline]] bool parse_object(JsonValue::Object& members, int depth) {
    ++pos_;
    skip_whitespace();
    bool closed = pos_ < end_ && *pos_ == '}';
    if (closed) ++pos_;
    while (!closed) {
      if (!expect('"')) return false;
      JsonValue::Member& member = members.emplace_back();
      if (!parse_string(member.first) || !expect(':')) return false;
      ++pos_;
      if (!parse_value(member.second, depth) || !read_separator('}', closed)) return false;
    }
    return true;
  }

  const char* const begin_;
  const char* pos_;
  const char* const end_;
  JsonError error_{UNEXPECTED_END, 0};
};

std::optional<int64_t> JsonValue::as_int64() const {
  return read_integer<int64_t>(std::get_if<2>(&v_));
}

std::optional<uint64_t> JsonValue::as_uint64() const {
  if (as_int64() == 0) return 0;  // "-0" too, which from_chars refuses as unsigned
  return read_integer<uint64_t>(std::get_if<2>(&v_));
}

const JsonValue* JsonValue::find(std::string_view key) const {
  if (!is(Kind::Object)) return nullptr;
  for (const Member& m : as_object()) {
    if (m.first == key) return &m.second;
  }
  return nullptr;
}

// Sorts views of the keys rather than hashing them: objects in a dump line
// are small, and this allocates one vector of pointers.
bool has_duplicate_key(const JsonValue::Object& members) {
  std::vector<std::string_view> keys;
  keys.reserve(members.size());
  for (const JsonValue::Member& m : members) keys.push_back(m.first);
  std::sort(keys.begin(), keys.end());
  return std::adjacent_find(keys.begin(), keys.end()) != keys.end();
}

std::string JsonError::display() const {
  return std::string(message) + " at byte " + std::to_string(offset);
}

Result<JsonValue, JsonError> parse_json(std::string_view text) { return JsonParser(text).parse(); }

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
      const char escape[6] = {'\\', 'u', '0', '0', "0123456789abcdef"[uint8_t(c) >> 4],
                              "0123456789abcdef"[c & 0xF]};
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

bool JsonWriter::write_value(const JsonValue& v) {
  switch (v.kind()) {
    case JsonValue::Kind::Null:
      write_null();
      return true;
    case JsonValue::Kind::Bool:
      write_bool(v.as_bool());
      return true;
    case JsonValue::Kind::Int:
      if (auto i = v.as_int64()) {
        write_int(*i);
      } else {
        write_uint(*v.as_uint64());
      }
      return true;
    case JsonValue::Kind::Double:
      return write_double(v.as_double());
    case JsonValue::Kind::String:
      write_string(v.as_string());
      return true;
    case JsonValue::Kind::Array:
      begin_array();
      for (const JsonValue& e : v.as_array()) {
        if (!write_value(e)) return false;
      }
      end_array();
      return true;
    case JsonValue::Kind::Object:
      begin_object();
      for (const JsonValue::Member& m : v.as_object()) {
        write_key(m.first);
        if (!write_value(m.second)) return false;
      }
      end_object();
      return true;
  }
  return false;
}

}  // namespace zez
