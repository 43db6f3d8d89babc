// Reads JSON texts, one per line, from stdin and answers each on its own
// line of stdout: the text written back by our writer after our reader
// parsed it, or "error: " and the parse error. No JSON text starts with
// "error:", so the two cannot be confused. Test-only: the Python suite
// holds both halves to Python's json module through it.
#include <iostream>
#include <string>

#include "tool/json.h"

int main() {
  std::ios::sync_with_stdio(false);
  std::string line;
  std::string out;
  while (std::getline(std::cin, line)) {
    out.clear();
    auto parsed = zez::parse_json(line);
    if (!parsed.ok()) {
      out = "error: " + parsed.error().display();
    } else if (zez::JsonWriter writer(out); !writer.write_value(parsed.value())) {
      out = "error: the reader produced a non-finite double";
    }
    out.push_back('\n');
    std::cout << out;
  }
  return std::cout.flush() ? 0 : 1;
}
