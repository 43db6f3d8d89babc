// The command line of the tool: `zezavezud SUBCOMMAND [options] [positionals]`,
// checked against each subcommand's CommandSpec. Names match exactly: no
// abbreviations, and nothing depends on the environment.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/result.h"

namespace zez::tool {

// An option has a long name (`--collection`) and may have a short alias
// (`-o`). With a value name it takes a value (`--collection NAME`,
// `--collection=NAME`, `-o FILE`, `-oFILE`); without one it is a flag.
struct OptionSpec {
  std::string_view long_name;   // without the dashes: "collection"
  std::string_view value_name = {};  // how usage names the value: "NAME"; empty for a flag
  char short_name = 0;
  std::string_view help = {};   // one line for the command's help
};

struct CommandSpec {
  std::string_view name;
  std::vector<OptionSpec> options;
  // Exactly these are required, except that a last one written "[NAME...]"
  // takes any number of arguments, none included.
  std::vector<std::string_view> positionals;
  std::string_view summary = {};  // one sentence, for the tool's help
  // The rest of the command's help, ending with its exit statuses; "\n\n"
  // separates paragraphs.
  std::string_view details = {};
};

struct ParsedArgs {
  // Into the table given to parse_args; null only for the tool's own help.
  const CommandSpec* command = nullptr;
  // Help or the version was asked for; parsing stopped there, and the
  // positionals are not checked.
  bool help = false;
  bool version = false;
  // By long name, in the order given, with their values ("" for a flag).
  std::vector<std::pair<std::string_view, std::string>> options;
  std::vector<std::string> positionals;

  bool has(std::string_view long_name) const { return value(long_name) != nullptr; }
  // The value of the last `long_name` given, or null.
  const std::string* value(std::string_view long_name) const;
};

// Parses the arguments after the program name. Options may come anywhere
// among the positionals; after `--` every argument is a positional, and so
// is a lone `-`. `--help`, `-h`, `help` and `help CMD` ask for help,
// `--version` first for the version. An error is the first problem, one
// line without the program's name: "unknown option '--jsn'".
Result<ParsedArgs, std::string> parse_args(const std::vector<CommandSpec>& commands,
                                           const std::vector<std::string_view>& args);

// "usage: PROGRAM NAME [--json] [-o FILE] DIR": each option by its short
// name when it has one.
std::string usage_line(std::string_view program, const CommandSpec& command);

// The usage line, summary, details and every option, wrapped to 79 columns.
std::string command_help(std::string_view program, const CommandSpec& command);

// Fills `text` into lines of at most `width` columns, each starting with
// `indent` spaces; a longer word gets a line of its own, and newlines in
// `text` are kept.
std::string wrap_text(std::string_view text, size_t indent, size_t width);

}  // namespace zez::tool
