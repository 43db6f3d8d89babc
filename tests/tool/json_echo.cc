// Reads JSON texts, one per line, from stdin and answers each on its own
// line of stdout: the value our reader made of it, written back by our
// writer, or "error: " and the reader's error. No JSON text starts with
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
    if (parsed.ok()) {
      zez::JsonWriter(out).write_value(parsed.value());
    } else {
      out = "error: " + parsed.error().display();
    }
    out.push_back('\n');
    std::cout << out;
  }
  return std::cout.flush() ? 0 : 1;
}
