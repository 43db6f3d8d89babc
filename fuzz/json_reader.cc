// Any input parses to a value or an error, never a crash, and an error
// points inside the input. Whatever parses can be stored: it encodes and
// decodes again (UTF-8 strings, nesting within the engine's bound). It is
// written back, and that text parses to a value written the same way.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "tool/json.h"

using namespace zez;
using zez::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)parse_json_object(text);
  auto parsed = parse_json(text);
  if (!parsed.ok()) {
    check(parsed.error().offset <= size, "an error offset past the end");
    check(!parsed.error().display().empty(), "an error without text");
    return 0;
  }
  const std::string bytes = fuzz::encoded(parsed.value());
  size_t cursor = 0;
  auto decoded =
      decode_value(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &cursor);
  check(decoded.ok() && cursor == bytes.size(), "a parsed value does not decode");
  std::string once;
  JsonWriter(once).write_value(parsed.value());
  auto again = parse_json(once);
  check(again.ok(), "written text does not parse", again.ok() ? "" : again.error().display());
  std::string twice;
  JsonWriter(twice).write_value(again.value());
  check(twice == once, "written text reads back to another value", once);
  return 0;
}
