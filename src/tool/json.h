// The JSON the command-line tool reads and writes (a dump's lines, the
// reports of --json): a reader that parses one complete text into a small
// tree, and a writer that appends compact text to a string. Both hold to
// RFC 8259; the reader accepts nothing beyond it (no NaN, no trailing
// commas, no leading zeros, no lone surrogates) and never yields a string
// that is not UTF-8.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "codec/result.h"
#include "codec/value.h"

namespace zez {

// How many arrays and objects may enclose one another in a text the reader
// accepts. A dump line spells each level of a stored value in at most a few
// JSON levels, so four per engine level leaves room; the reader recurses
// once per level, and this bound keeps hostile input off the end of the stack.
inline constexpr int MAX_JSON_DEPTH = 4 * MAX_NESTING_DEPTH;

class JsonValue {
 public:
  // An Int keeps its digits as written, so that every integer literal from
  // -2^63 to 2^64-1 is exact: a count or a date-time may need the top half.
  // Double holds every number written with a fraction or an exponent.
  enum class Kind : uint8_t { Null, Bool, Int, Double, String, Array, Object };

  using Array = std::vector<JsonValue>;
  using Member = std::pair<std::string, JsonValue>;
  // Members in the order of the text; duplicate keys are all kept.
  using Object = std::vector<Member>;

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is(Kind k) const { return kind() == k; }

  // Payload access; calling the wrong one for the kind is a programming error.
  bool as_bool() const { return std::get<1>(v_); }
  int64_t as_int() const { return as_int64().value(); }
  double as_double() const { return std::get<3>(v_); }
  const std::string& as_string() const { return std::get<4>(v_); }
  const Array& as_array() const { return std::get<5>(v_); }
  const Object& as_object() const { return std::get<6>(v_); }

  // The value of an Int that fits the type; none for any other value.
  std::optional<int64_t> as_int64() const;
  std::optional<uint64_t> as_uint64() const;

  // The value of the first member called `key`, or null when there is none
  // or this is not an object. Callers that must refuse duplicate keys check
  // for them separately (has_duplicate_key).
  const JsonValue* find(std::string_view key) const;

 private:
  friend class JsonParser;
  std::variant<std::monostate, bool, std::string, double, std::string, Array, Object> v_;
};

// True when two members of the object share a key (looks at this level only).
bool has_duplicate_key(const JsonValue::Object& members);

struct [[nodiscard]] JsonError {
  const char* message;  // "invalid escape"
  // Where the problem is, in bytes from the start of the text: the first
  // byte of the bad token, escape or UTF-8 sequence; the opening quote of
  // an unterminated string; the text's size when it ends too soon elsewhere.
  size_t offset;

  // The message, then " at byte N", e.g. "invalid escape at byte 12".
  std::string display() const;
};

// Parses `text` as exactly one JSON value with optional whitespace (space,
// tab, line feed, carriage return) around it. Numbers are read exactly
// (correctly rounded); a double that underflows becomes a signed zero; an
// integer beyond [-2^63, 2^64) and a double that overflows are out of
// range. Strings are decoded to UTF-8; `text` itself need not be valid
// UTF-8 (invalid bytes in a string are an error, outside one they are
// unexpected characters).
Result<JsonValue, JsonError> parse_json(std::string_view text);

// Appends the JSON text of a string: `utf8`, which must be valid UTF-8, in
// double quotes. Escapes `"`, `\` and the control characters below U+0020
// (\b \f \n \r \t, others as \u00xx); writes everything else, non-ASCII
// included, as it is.
void append_quoted(std::string& out, std::string_view utf8);
inline std::string quoted(std::string_view utf8) {
  std::string q;
  append_quoted(q, utf8);
  return q;
}

// Appends one JSON text to a string, compactly: no whitespace, "," and ":"
// as separators. The writer places the commas and colons; the caller makes
// the calls in a well-formed order (a key before each member's value, every
// begin matched by its end, one top-level value). Nothing checks that order.
class JsonWriter {
 public:
  // Appends to `out`, which must outlive the writer.
  explicit JsonWriter(std::string& out) : out_(out) {}

  void write_null() { separate().append("null"); }
  void write_bool(bool b) { separate().append(b ? "true" : "false"); }
  void write_int(int64_t i) { write_number(i); }
  void write_uint(uint64_t u) { write_number(u); }
  // Writes the shortest text that reads back to exactly `d`, always with a
  // "." or an exponent so that it never reads back as an integer (100.0,
  // -0.0, 1e+16). JSON has no NaN or infinity: for those it writes nothing
  // and returns false, leaving the writer as it was.
  [[nodiscard]] bool write_double(double d);
  void write_string(std::string_view utf8) { append_quoted(separate(), utf8); }
  // A member's key, then the colon; its value comes next.
  void write_key(std::string_view utf8) {
    append_quoted(separate(), utf8);
    out_.push_back(':');
    after_value_ = false;
  }
  // A member whose value is a count.
  void write_member(std::string_view key, uint64_t n) {
    write_key(key);
    write_uint(n);
  }
  void begin_object() { begin('{'); }
  void end_object() { end('}'); }
  void begin_array() { begin('['); }
  void end_array() { end(']'); }
  // Writes a whole tree. Returns false at the first non-finite double, with
  // the output then incomplete (a tree from parse_json has none).
  [[nodiscard]] bool write_value(const JsonValue& v);

 private:
  // The output, after a comma when a value came before: a value starts.
  std::string& separate() {
    if (after_value_) out_.push_back(',');
    after_value_ = true;
    return out_;
  }
  template <class T>
  void write_number(T n) {
    char buf[24];
    const size_t length = size_t(std::to_chars(buf, buf + sizeof buf, n).ptr - buf);
    separate().append(buf, length);
  }
  void begin(char bracket) {
    separate().push_back(bracket);
    after_value_ = false;
  }
  void end(char bracket) {
    out_.push_back(bracket);
    after_value_ = true;
  }

  std::string& out_;
  // A value has just ended, so the next value or key needs a comma first.
  bool after_value_ = false;
};

}  // namespace zez
