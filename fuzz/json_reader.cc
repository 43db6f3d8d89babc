// Any input parses to a value or an error, never a crash, and an error
// points inside the input. Whatever parses is written back, and that text
// parses to an equal tree (doubles to the bit, members in order) whose
// written text is the same again. Every string in the tree is UTF-8.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "tool/json.h"

using namespace zez;
using zez::fuzz::check;

namespace {

std::string written(const JsonValue& v) {
  std::string out;
  JsonWriter w(out);
  check(w.write_value(v), "a parsed tree holds a non-finite double");
  return out;
}

// Same kind and payload, recursively; integers by value, doubles by bit
// pattern (so -0.0 differs from 0.0), members in order.
bool same(const JsonValue& a, const JsonValue& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case JsonValue::Kind::Null:
      return true;
    case JsonValue::Kind::Bool:
      return a.as_bool() == b.as_bool();
    case JsonValue::Kind::Int:
      return a.as_int64() == b.as_int64() && a.as_uint64() == b.as_uint64();
    case JsonValue::Kind::Double:
      return std::bit_cast<uint64_t>(a.as_double()) == std::bit_cast<uint64_t>(b.as_double());
    case JsonValue::Kind::String:
      return a.as_string() == b.as_string();
    case JsonValue::Kind::Array:
      return std::equal(a.as_array().begin(), a.as_array().end(), b.as_array().begin(),
                        b.as_array().end(), same);
    case JsonValue::Kind::Object:
      return std::equal(
          a.as_object().begin(), a.as_object().end(), b.as_object().begin(), b.as_object().end(),
          [](const JsonValue::Member& m, const JsonValue::Member& n) {
            return m.first == n.first && same(m.second, n.second);
          });
  }
  return false;
}

void check_utf8(const JsonValue& v) {
  switch (v.kind()) {
    case JsonValue::Kind::String:
      check(is_valid_utf8(v.as_string()), "a string that is not UTF-8");
      return;
    case JsonValue::Kind::Array:
      for (const JsonValue& e : v.as_array()) check_utf8(e);
      return;
    case JsonValue::Kind::Object:
      for (const JsonValue::Member& m : v.as_object()) {
        check(is_valid_utf8(m.first), "a key that is not UTF-8");
        check_utf8(m.second);
      }
      return;
    default:
      return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = parse_json(text);
  if (!parsed.ok()) {
    check(parsed.error().offset <= size, "an error offset past the end");
    check(!parsed.error().display().empty(), "an error without text");
    return 0;
  }
  const JsonValue& v = parsed.value();
  check_utf8(v);
  const std::string once = written(v);
  auto again = parse_json(once);
  check(again.ok(), "written text does not parse", again.ok() ? "" : again.error().display());
  check(same(again.value(), v), "written text parses to a different tree", once);
  check(written(again.value()) == once, "writing is not stable", once);
  if (v.is(JsonValue::Kind::Object)) (void)has_duplicate_key(v.as_object());
  return 0;
}
