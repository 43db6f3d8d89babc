// The JSON the command-line tool reads and writes (one text per line of a
// dump): a writer that appends compact text to a string, and a reader that
// parses one complete text into a small tree. Both hold to RFC 8259; the
// reader accepts nothing beyond it (no NaN, no trailing commas, no leading
// zeros, no lone surrogates) and never yields a string that is not UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
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
  // Int holds every integer literal that fits int64_t; Uint only those above
  // INT64_MAX that fit uint64_t, so a caller that stores int64 values sees an
  // out-of-range literal as a kind of its own rather than a rounded double.
  // Double holds every number written with a fraction or an exponent.
  enum class Kind : uint8_t { Null, Bool, Int, Uint, Double, String, Array, Object };

  using Array = std::vector<JsonValue>;
  using Member = std::pair<std::string, JsonValue>;
  // Members in the order of the text; duplicate keys are all kept.
  using Object = std::vector<Member>;

  JsonValue() = default;  // null
  static JsonValue null() { return JsonValue(); }
  static JsonValue boolean(bool b) { return make<1>(b); }
  static JsonValue integer(int64_t i) { return make<2>(i); }
  static JsonValue unsigned_integer(uint64_t u) { return make<3>(u); }
  static JsonValue number(double d) { return make<4>(d); }
  static JsonValue string(std::string utf8) { return make<5>(std::move(utf8)); }
  static JsonValue array(Array elements = {}) { return make<6>(std::move(elements)); }
  static JsonValue object(Object members = {}) { return make<7>(std::move(members)); }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is(Kind k) const { return kind() == k; }

  // Payload access; calling the wrong one for the kind is a programming error.
  bool as_bool() const { return std::get<1>(v_); }
  int64_t as_int() const { return std::get<2>(v_); }
  uint64_t as_uint() const { return std::get<3>(v_); }
  double as_double() const { return std::get<4>(v_); }
  const std::string& as_string() const { return std::get<5>(v_); }
  std::string& as_string() { return std::get<5>(v_); }
  const Array& as_array() const { return std::get<6>(v_); }
  Array& as_array() { return std::get<6>(v_); }
  const Object& as_object() const { return std::get<7>(v_); }
  Object& as_object() { return std::get<7>(v_); }

  // The value of the first member called `key`, or null when there is none
  // or this is not an object. Callers that must refuse duplicate keys check
  // for them separately (has_duplicate_key).
  const JsonValue* find(std::string_view key) const;

  // Same kind and same payload, recursively; doubles compare by bit
  // pattern (so -0.0 differs from 0.0), members in order.
  bool operator==(const JsonValue& other) const;

 private:
  template <size_t I, class A>
  static JsonValue make(A&& a) {
    JsonValue v;
    v.v_.template emplace<I>(std::forward<A>(a));
    return v;
  }
  std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string, Array, Object> v_;
};

// True when two members of the object share a key (looks at this level only).
bool has_duplicate_key(const JsonValue::Object& members);

class [[nodiscard]] JsonError {
 public:
  enum class Kind : uint8_t {
    UnexpectedEnd,        // the text stops inside a value, or is empty
    UnexpectedCharacter,  // a byte no value, separator or literal starts with
    InvalidNumber,        // e.g. 01, 1., .5, -, 1e
    NumberOutOfRange,     // an integer beyond uint64_t, or a double's overflow
    UnterminatedString,
    ControlCharacter,  // a raw byte below 0x20 inside a string
    InvalidEscape,
    LoneSurrogate,  // a \uD800-\uDFFF escape that is not half of a pair
    InvalidUtf8,
    TooDeep,             // more than MAX_JSON_DEPTH nested arrays and objects
    TrailingCharacters,  // anything but whitespace after the value
  };

  JsonError(Kind kind, size_t offset) : kind_(kind), offset_(offset) {}

  Kind kind() const { return kind_; }
  // Where the problem is, in bytes from the start of the text: the first
  // byte of the bad token, escape or UTF-8 sequence; the opening quote of
  // an unterminated string; the text's size when it ends too soon elsewhere.
  size_t offset() const { return offset_; }
  // The message, then " at byte N", e.g. "invalid escape at byte 12".
  std::string display() const;

 private:
  Kind kind_;
  size_t offset_;
};

// Parses `text` as exactly one JSON value with optional whitespace (space,
// tab, line feed, carriage return) around it. Numbers are read exactly
// (correctly rounded); a double that underflows becomes a signed zero, one
// that overflows is NumberOutOfRange. Strings are decoded to UTF-8; `text`
// itself need not be valid UTF-8 (invalid bytes in a string are an error,
// outside one they are unexpected characters).
Result<JsonValue, JsonError> parse_json(std::string_view text);

// Appends one JSON text to a string, compactly: no whitespace, "," and ":"
// as separators. The writer places the commas and colons; the caller makes
// the calls in a well-formed order (a key before each member's value, every
// begin matched by its end, one top-level value). Nothing checks that order.
class JsonWriter {
 public:
  // Appends to `out`, which must outlive the writer.
  explicit JsonWriter(std::string& out) : out_(out) {}

  void write_null();
  void write_bool(bool b);
  void write_int(int64_t i);
  void write_uint(uint64_t u);
  // Writes the shortest text that reads back to exactly `d`, always with a
  // "." or an exponent so that it never reads back as an integer (100.0,
  // -0.0, 1e+16). JSON has no NaN or infinity: for those it writes nothing
  // and returns false, leaving the writer as it was.
  [[nodiscard]] bool write_double(double d);
  // `utf8` must be valid UTF-8. Escapes `"`, `\` and the control characters
  // below U+0020 (\b \f \n \r \t, others as \u00xx); writes everything
  // else, non-ASCII included, as it is.
  void write_string(std::string_view utf8);
  // A member's key, then the colon; its value comes next.
  void write_key(std::string_view utf8);
  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // Writes a whole tree. Returns false at the first non-finite double, with
  // the output then incomplete (a tree from parse_json has none).
  [[nodiscard]] bool write_value(const JsonValue& v);

 private:
  void separate();

  std::string& out_;
  // A value has just ended, so the next value or key needs a comma first.
  bool after_value_ = false;
};

}  // namespace zez
