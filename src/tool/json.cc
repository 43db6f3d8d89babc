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
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <system_error>

#include "codec/encoding.h"

namespace zez {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Bytes that end a run of string content copied as it is: the closing
// quote, an escape, or a control character (which JSON forbids raw).
constexpr auto STRING_STOPS = [] {
  std::array<bool, 256> stops{};
  for (int c = 0; c < 0x20; ++c) stops[c] = true;
  stops['"'] = true;
  stops['\\'] = true;
  return stops;
}();

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
HexDigits read_escape_hex(const char* p, const char* end, uint32_t* out) {
  uint32_t v = 0;
  for (int i = 2; i < 6; ++i) {
    if (end - p == i) return HexDigits::Truncated;
    const int d = hex_value(p[i]);
    if (d < 0) return HexDigits::Invalid;
    v = v << 4 | uint32_t(d);
  }
  *out = v;
  return HexDigits::Ok;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    const char b[2] = {char(0xC0 | cp >> 6), char(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    const char b[3] = {char(0xE0 | cp >> 12), char(0x80 | (cp >> 6 & 0x3F)),
                       char(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    const char b[4] = {char(0xF0 | cp >> 18), char(0x80 | (cp >> 12 & 0x3F)),
                       char(0x80 | (cp >> 6 & 0x3F)), char(0x80 | (cp & 0x3F))};
    out.append(b, 4);
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

// True when a literal that from_chars found out of range is below the
// smallest subnormal rather than above the largest double. Out of range
// means beyond 1e308 or below 1e-324, so the sign of the power of ten of
// the first significant digit decides. `literal` is well-formed.
bool underflows(std::string_view literal) {
  const char* p = literal.data();
  const char* const end = p + literal.size();
  if (*p == '-') ++p;
  const char* int_begin = p;
  while (p < end && is_digit(*p)) ++p;
  int64_t lead = p - int_begin - 1;  // 1234 -> 3
  if (*int_begin == '0' && p < end && *p == '.') {
    // 0.00123 -> -3: count the fraction's zeros. Out of range means some
    // digit is not zero, so the count stops inside the fraction.
    ++p;
    const char* zeros = p;
    while (p < end && *p == '0') ++p;
    lead = -(p - zeros) - 1;
  }
  while (p < end && *p != 'e' && *p != 'E') ++p;
  if (p == end) return lead < 0;
  ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  // Saturates far beyond any digit count a text in memory can have.
  int64_t exponent = 0;
  for (; p < end; ++p) exponent = std::min<int64_t>(exponent * 10 + (*p - '0'), int64_t(1) << 50);
  return lead + (negative ? -exponent : exponent) < 0;
}

// One pass over the text. Each parse_* returns false after storing the
// error; the recursion (parse_value -> parse_array / parse_object ->
// parse_value) carries no Result, so a level of nesting costs little stack.
class Parser {
 public:
  explicit Parser(std::string_view text)
      : begin_(text.data()), pos_(text.data()), end_(text.data() + text.size()) {}

  // `depth` is the number of arrays and objects around the value.
  bool parse_value(JsonValue& out, int depth);
  // Skips whitespace; true when nothing follows.
  bool at_end() {
    skip_whitespace();
    return pos_ == end_;
  }
  size_t offset() const { return size_t(pos_ - begin_); }
  JsonError error() const { return error_; }

 private:
  bool fail(JsonError::Kind kind, const char* at) {
    error_ = JsonError(kind, size_t(at - begin_));
    return false;
  }
  void skip_whitespace() {
    while (pos_ < end_ && is_whitespace(*pos_)) ++pos_;
  }
  bool skip_digits() {
    const char* start = pos_;
    while (pos_ < end_ && is_digit(*pos_)) ++pos_;
    return pos_ != start;
  }
  bool parse_literal(std::string_view word);
  bool parse_number(JsonValue& out);
  bool read_integer(const char* start, JsonValue& out);
  bool read_double(const char* start, JsonValue& out);
  bool parse_string(std::string& out);
  bool parse_escape(std::string& out, const char* open);
  bool parse_unicode_escape(std::string& out, const char* open);
  [[gnu::noinline]] bool parse_array(JsonValue& out, int depth);
  [[gnu::noinline]] bool parse_object(JsonValue& out, int depth);

  const char* const begin_;
  const char* pos_;
  const char* const end_;
  JsonError error_{JsonError::Kind::UnexpectedEnd, 0};
};

bool Parser::parse_value(JsonValue& out, int depth) {
  skip_whitespace();
  if (pos_ == end_) return fail(JsonError::Kind::UnexpectedEnd, pos_);
  switch (*pos_) {
    case '[':
    case '{':
      if (depth >= MAX_JSON_DEPTH) return fail(JsonError::Kind::TooDeep, pos_);
      return *pos_ == '[' ? parse_array(out, depth + 1) : parse_object(out, depth + 1);
    case '"':
      out = JsonValue::string(std::string());
      return parse_string(out.as_string());
    case 't':
      out = JsonValue::boolean(true);
      return parse_literal("true");
    case 'f':
      out = JsonValue::boolean(false);
      return parse_literal("false");
    case 'n':
      out = JsonValue::null();
      return parse_literal("null");
    default:
      if (*pos_ == '-' || is_digit(*pos_)) return parse_number(out);
      return fail(JsonError::Kind::UnexpectedCharacter, pos_);
  }
}

// A text cut short inside the word is an early end; any other difference
// is pointed at exactly.
bool Parser::parse_literal(std::string_view word) {
  for (char c : word) {
    if (pos_ == end_) return fail(JsonError::Kind::UnexpectedEnd, pos_);
    if (*pos_ != c) return fail(JsonError::Kind::UnexpectedCharacter, pos_);
    ++pos_;
  }
  return true;
}

// Checks the grammar here, because from_chars accepts more (leading zeros,
// "1." and so on); from_chars then only converts.
bool Parser::parse_number(JsonValue& out) {
  const char* start = pos_;
  if (*pos_ == '-') ++pos_;
  if (pos_ < end_ && *pos_ == '0') {
    ++pos_;
    if (pos_ < end_ && is_digit(*pos_)) return fail(JsonError::Kind::InvalidNumber, start);
  } else if (!skip_digits()) {
    return fail(JsonError::Kind::InvalidNumber, start);
  }
  bool is_integer = true;
  if (pos_ < end_ && *pos_ == '.') {
    ++pos_;
    if (!skip_digits()) return fail(JsonError::Kind::InvalidNumber, start);
    is_integer = false;
  }
  if (pos_ < end_ && (*pos_ == 'e' || *pos_ == 'E')) {
    ++pos_;
    if (pos_ < end_ && (*pos_ == '+' || *pos_ == '-')) ++pos_;
    if (!skip_digits()) return fail(JsonError::Kind::InvalidNumber, start);
    is_integer = false;
  }
  return is_integer ? read_integer(start, out) : read_double(start, out);
}

bool Parser::read_integer(const char* start, JsonValue& out) {
  int64_t i;
  if (std::from_chars(start, pos_, i).ec == std::errc()) {
    out = JsonValue::integer(i);
    return true;
  }
  uint64_t u;
  if (*start != '-' && std::from_chars(start, pos_, u).ec == std::errc()) {
    out = JsonValue::unsigned_integer(u);
    return true;
  }
  return fail(JsonError::Kind::NumberOutOfRange, start);
}

bool Parser::read_double(const char* start, JsonValue& out) {
  double d;
  const std::errc ec = std::from_chars(start, pos_, d).ec;
  if (ec == std::errc()) {
    out = JsonValue::number(d);
    return true;
  }
  if (ec == std::errc::result_out_of_range && underflows(std::string_view(start, pos_ - start))) {
    out = JsonValue::number(*start == '-' ? -0.0 : 0.0);
    return true;
  }
  return fail(JsonError::Kind::NumberOutOfRange, start);
}

// Copies content in runs between the bytes that need a look of their own,
// checking each run's UTF-8 before appending it.
bool Parser::parse_string(std::string& out) {
  const char* open = pos_++;
  for (;;) {
    const char* run = pos_;
    while (pos_ < end_ && !STRING_STOPS[uint8_t(*pos_)]) ++pos_;
    if (pos_ == end_) return fail(JsonError::Kind::UnterminatedString, open);
    if (!is_valid_utf8(std::string_view(run, pos_ - run))) {
      return fail(JsonError::Kind::InvalidUtf8, find_invalid_utf8(run, pos_));
    }
    out.append(run, pos_);
    if (*pos_ == '"') {
      ++pos_;
      return true;
    }
    if (*pos_ != '\\') return fail(JsonError::Kind::ControlCharacter, pos_);
    if (!parse_escape(out, open)) return false;
  }
}

bool Parser::parse_escape(std::string& out, const char* open) {
  if (end_ - pos_ < 2) return fail(JsonError::Kind::UnterminatedString, open);
  char c;
  switch (pos_[1]) {
    case '"':
      c = '"';
      break;
    case '\\':
      c = '\\';
      break;
    case '/':
      c = '/';
      break;
    case 'b':
      c = '\b';
      break;
    case 'f':
      c = '\f';
      break;
    case 'n':
      c = '\n';
      break;
    case 'r':
      c = '\r';
      break;
    case 't':
      c = '\t';
      break;
    case 'u':
      return parse_unicode_escape(out, open);
    default:
      return fail(JsonError::Kind::InvalidEscape, pos_);
  }
  out.push_back(c);
  pos_ += 2;
  return true;
}

// Our strings are UTF-8, which cannot hold a surrogate: a high surrogate
// counts only with the low one right after it, and a low one never alone.
// A text that ends where the low one could still come is unterminated.
bool Parser::parse_unicode_escape(std::string& out, const char* open) {
  const char* at = pos_;
  uint32_t cp = 0;
  switch (read_escape_hex(pos_, end_, &cp)) {
    case HexDigits::Ok:
      break;
    case HexDigits::Truncated:
      return fail(JsonError::Kind::UnterminatedString, open);
    case HexDigits::Invalid:
      return fail(JsonError::Kind::InvalidEscape, at);
  }
  pos_ += 6;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(JsonError::Kind::LoneSurrogate, at);
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    uint32_t low = 0;
    HexDigits next = HexDigits::Invalid;
    if (pos_ == end_ || (*pos_ == '\\' && end_ - pos_ == 1)) {
      next = HexDigits::Truncated;
    } else if (pos_[0] == '\\' && pos_[1] == 'u') {
      next = read_escape_hex(pos_, end_, &low);
    }
    if (next == HexDigits::Truncated) return fail(JsonError::Kind::UnterminatedString, open);
    if (next == HexDigits::Invalid || low < 0xDC00 || low > 0xDFFF) {
      return fail(JsonError::Kind::LoneSurrogate, at);
    }
    pos_ += 6;
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(out, cp);
  return true;
}

bool Parser::parse_array(JsonValue& out, int depth) {
  ++pos_;
  out = JsonValue::array();
  JsonValue::Array& elements = out.as_array();
  skip_whitespace();
  if (pos_ < end_ && *pos_ == ']') {
    ++pos_;
    return true;
  }
  for (;;) {
    if (!parse_value(elements.emplace_back(), depth)) return false;
    skip_whitespace();
    if (pos_ == end_) return fail(JsonError::Kind::UnexpectedEnd, pos_);
    const char c = *pos_++;
    if (c == ']') return true;
    if (c != ',') return fail(JsonError::Kind::UnexpectedCharacter, pos_ - 1);
  }
}

bool Parser::parse_object(JsonValue& out, int depth) {
  ++pos_;
  out = JsonValue::object();
  JsonValue::Object& members = out.as_object();
  skip_whitespace();
  if (pos_ < end_ && *pos_ == '}') {
    ++pos_;
    return true;
  }
  for (;;) {
    skip_whitespace();
    if (pos_ == end_) return fail(JsonError::Kind::UnexpectedEnd, pos_);
    if (*pos_ != '"') return fail(JsonError::Kind::UnexpectedCharacter, pos_);
    JsonValue::Member& member = members.emplace_back();
    if (!parse_string(member.first)) return false;
    skip_whitespace();
    if (pos_ == end_) return fail(JsonError::Kind::UnexpectedEnd, pos_);
    if (*pos_ != ':') return fail(JsonError::Kind::UnexpectedCharacter, pos_);
    ++pos_;
    if (!parse_value(member.second, depth)) return false;
    skip_whitespace();
    if (pos_ == end_) return fail(JsonError::Kind::UnexpectedEnd, pos_);
    const char c = *pos_++;
    if (c == '}') return true;
    if (c != ',') return fail(JsonError::Kind::UnexpectedCharacter, pos_ - 1);
  }
}

const char* message(JsonError::Kind kind) {
  switch (kind) {
    case JsonError::Kind::UnexpectedEnd:
      return "unexpected end of text";
    case JsonError::Kind::UnexpectedCharacter:
      return "unexpected character";
    case JsonError::Kind::InvalidNumber:
      return "invalid number";
    case JsonError::Kind::NumberOutOfRange:
      return "number out of range";
    case JsonError::Kind::UnterminatedString:
      return "unterminated string";
    case JsonError::Kind::ControlCharacter:
      return "control character in string";
    case JsonError::Kind::InvalidEscape:
      return "invalid escape";
    case JsonError::Kind::LoneSurrogate:
      return "unpaired surrogate escape";
    case JsonError::Kind::InvalidUtf8:
      return "invalid utf-8";
    case JsonError::Kind::TooDeep:
      return "nesting too deep";
    case JsonError::Kind::TrailingCharacters:
      return "trailing characters";
  }
  return "";
}

constexpr char HEX_DIGITS[] = "0123456789abcdef";

// The short forms JSON has for some control characters, or 0 for \u00xx.
char short_escape(uint8_t c) {
  switch (c) {
    case '\b':
      return 'b';
    case '\f':
      return 'f';
    case '\n':
      return 'n';
    case '\r':
      return 'r';
    case '\t':
      return 't';
    case '"':
      return '"';
    case '\\':
      return '\\';
    default:
      return 0;
  }
}

void append_quoted(std::string& out, std::string_view utf8) {
  out.push_back('"');
  const char* p = utf8.data();
  const char* const end = p + utf8.size();
  while (p < end) {
    const char* run = p;
    while (p < end && !STRING_STOPS[uint8_t(*p)]) ++p;
    out.append(run, p);
    if (p == end) break;
    const uint8_t c = uint8_t(*p++);
    if (const char e = short_escape(c)) {
      const char b[2] = {'\\', e};
      out.append(b, 2);
    } else {
      const char b[6] = {'\\', 'u', '0', '0', HEX_DIGITS[c >> 4], HEX_DIGITS[c & 0xF]};
      out.append(b, 6);
    }
  }
  out.push_back('"');
}

}  // namespace

// ---- JsonValue

const JsonValue* JsonValue::find(std::string_view key) const {
  if (!is(Kind::Object)) return nullptr;
  for (const Member& m : as_object()) {
    if (m.first == key) return &m.second;
  }
  return nullptr;
}

bool JsonValue::operator==(const JsonValue& other) const {
  if (kind() != other.kind()) return false;
  switch (kind()) {
    case Kind::Null:
      return true;
    case Kind::Bool:
      return as_bool() == other.as_bool();
    case Kind::Int:
      return as_int() == other.as_int();
    case Kind::Uint:
      return as_uint() == other.as_uint();
    case Kind::Double:
      return std::bit_cast<uint64_t>(as_double()) == std::bit_cast<uint64_t>(other.as_double());
    case Kind::String:
      return as_string() == other.as_string();
    case Kind::Array:
      return as_array() == other.as_array();
    case Kind::Object:
      return as_object() == other.as_object();
  }
  return false;
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
  return std::string(message(kind_)) + " at byte " + std::to_string(offset_);
}

Result<JsonValue, JsonError> parse_json(std::string_view text) {
  Parser parser(text);
  JsonValue out;
  if (!parser.parse_value(out, 0)) return parser.error();
  if (!parser.at_end()) return JsonError(JsonError::Kind::TrailingCharacters, parser.offset());
  return out;
}

// ---- JsonWriter

void JsonWriter::separate() {
  if (after_value_) out_.push_back(',');
  after_value_ = true;
}

void JsonWriter::write_null() {
  separate();
  out_.append("null");
}

void JsonWriter::write_bool(bool b) {
  separate();
  out_.append(b ? "true" : "false");
}

void JsonWriter::write_int(int64_t i) {
  separate();
  char buf[24];
  out_.append(buf, std::to_chars(buf, buf + sizeof buf, i).ptr);
}

void JsonWriter::write_uint(uint64_t u) {
  separate();
  char buf[24];
  out_.append(buf, std::to_chars(buf, buf + sizeof buf, u).ptr);
}

// to_chars picks the shortest digits that read back exactly, in plain or
// scientific form, whichever is shorter; plain integers (100, -0) get ".0"
// so that they stay doubles on the way back.
bool JsonWriter::write_double(double d) {
  if (!std::isfinite(d)) return false;
  separate();
  char buf[32];
  char* end = std::to_chars(buf, buf + sizeof buf, d).ptr;
  out_.append(buf, end);
  if (std::find_if(buf, end, [](char c) { return c == '.' || c == 'e'; }) == end) {
    out_.append(".0");
  }
  return true;
}

void JsonWriter::write_string(std::string_view utf8) {
  separate();
  append_quoted(out_, utf8);
}

void JsonWriter::write_key(std::string_view utf8) {
  separate();
  append_quoted(out_, utf8);
  out_.push_back(':');
  after_value_ = false;
}

void JsonWriter::begin_object() {
  separate();
  out_.push_back('{');
  after_value_ = false;
}

void JsonWriter::end_object() {
  out_.push_back('}');
  after_value_ = true;
}

void JsonWriter::begin_array() {
  separate();
  out_.push_back('[');
  after_value_ = false;
}

void JsonWriter::end_array() {
  out_.push_back(']');
  after_value_ = true;
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
      write_int(v.as_int());
      return true;
    case JsonValue::Kind::Uint:
      write_uint(v.as_uint());
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
