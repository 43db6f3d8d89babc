// The JSON the command-line tool reads and writes: the reports of --json,
// and the lines of a dump (dump_format.h), which spell stored values. Both
// sides hold to RFC 8259; the reader accepts nothing beyond it (no NaN, no
// trailing commas, no leading zeros, no lone surrogates) and reads straight
// into the engine's values, so whatever it accepts can be stored.
//
// A value is plain JSON wherever JSON is exact: null, true/false, strings,
// integers (every int64), arrays and objects (maps). Everything else is an
// object with a single key that starts with "$":
//
//   Float        1.5, -0.0, 1e+16        always with "." or an exponent
//   NaN, ±inf    {"$float":"7ff8000000000001"}   the 64-bit pattern, 16 lowercase hex digits
//   Blob         {"$bytes":"aGk="}       standard base64 with padding
//   Date, Time   {"$date":N}, {"$time":N}        N in [0, 2^32)
//   DateTime     {"$datetime":N}         N in [0, 2^64)
//   Tombstone    {"$tombstone":null}     (only ever inside a value)
//   Link         {"$link":{"path":TEXT,"local":{...}}}
//   Map          {"$map":{...}}          only for a map whose one key starts with "$"
//
// The objects after "$link"'s "local" and "$map" are maps as they stand:
// their keys are never read as tags. Map entries are written in byte order
// of their keys, so one value always has one text.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec/result.h"
#include "codec/value.h"

namespace zez {

struct [[nodiscard]] JsonError {
  std::string message;  // "invalid escape"
  // Where the problem is, in bytes from the start of the text: the first
  // byte of the bad token, escape, UTF-8 sequence or value; the opening
  // quote of an unterminated string; the text's size when it ends too soon.
  size_t offset;
  // The text is not JSON, rather than JSON that spells no value.
  bool syntax;

  // The message, then " at byte N", e.g. "invalid escape at byte 12".
  std::string display() const;
};

// The value that `text`, exactly one JSON value with optional whitespace
// (space, tab, line feed, carriage return) around it, spells. Numbers are
// read exactly (correctly rounded); a double that underflows becomes a
// signed zero. Values nest no deeper than the engine reads back
// (MAX_NESTING_DEPTH arrays, maps and links), and a map holds each key once.
Result<Value, JsonError> parse_json(std::string_view text);
// A JSON object read as a map of such values whose own keys are never tags:
// a dump line, or a report of --json.
Result<Map, JsonError> parse_json_object(std::string_view text);

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
  // Writes a stored value in the spelling above. Cannot fail: every value
  // has a text.
  void write_value(const Value& v);

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
  // `{"$tag":`, for a tagged value whose body comes next.
  void begin_tag(std::string_view tag) {
    begin_object();
    write_key(tag);
  }
  void write_map(const Map& m);

  std::string& out_;
  // A value has just ended, so the next value or key needs a comma first.
  bool after_value_ = false;
};

}  // namespace zez
