// Subcommands still being written: each says so and changes nothing.
#include "tool/tool.h"

namespace zez::tool {

namespace {
int pending(Console& console, const char* name) {
  console.err(std::string("zezavezud: ") + name + " is not available yet");
  return EXIT_OPERATIONAL;
}
}  // namespace

int run_compact(Platform&, const ParsedArgs&, Console& c) { return pending(c, "compact"); }
int run_dump(Platform&, const ParsedArgs&, Console& c) { return pending(c, "dump"); }
int run_load(Platform&, const ParsedArgs&, Console& c) { return pending(c, "load"); }

}  // namespace zez::tool
