// The command line of the tool: `zezavezud SUBCOMMAND [options] [positionals]`.
// Each subcommand declares its options and positionals in a CommandSpec; the
// parser checks the arguments against it and reports the first problem, for
// the caller to print and exit with its usage status. Names match exactly:
// no abbreviations, and nothing depends on the environment.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/result.h"

namespace zez::tool {

// One option. Every option has a long name (`--collection`); a short name
// (`-o`) is an alias for it. With a value name the option takes a value
// (`--collection NAME`, `--collection=NAME`, `-o FILE`, `-oFILE`); without
// one it is a flag, and `--json=x` is refused.
struct OptionSpec {
  static OptionSpec flag(std::string_view long_name, char short_name = 0) {
    return OptionSpec{long_name, short_name, {}};
  }
  static OptionSpec valued(std::string_view long_name, std::string_view value_name,
                           char short_name = 0) {
    return OptionSpec{long_name, short_name, value_name};
  }

  // The same option, explained by `text` in the command's help.
  OptionSpec explained(std::string_view text) const {
    OptionSpec o = *this;
    o.help = text;
    return o;
  }

  std::string_view long_name;   // without the dashes: "collection"
  char short_name;              // 0 for none
  std::string_view value_name;  // how usage names the value: "NAME"; empty for a flag
  std::string_view help = {};   // what the option does, for the command's help
};

struct CommandSpec {
  std::string_view name;  // "dump"
  std::vector<OptionSpec> options;
  // Exactly these positionals are required, named as usage shows them.
  std::vector<std::string_view> positionals;
  // One sentence on what the command does, for the tool's help.
  std::string_view summary = {};
  // The rest of the command's help: what it does in more detail, its
  // positionals and its exit statuses. Paragraphs are separated by "\n\n"
  // and wrapped when shown.
  std::string_view details = {};
};

struct ParsedArgs {
  // The subcommand, pointing into the table given to parse_args; null only
  // when `help` asks for the whole tool's usage.
  const CommandSpec* command = nullptr;
  // `--help` or `-h` was given, or the subcommand `help` (`help CMD` names
  // the command): print help and exit 0. The other fields are then
  // incomplete (parsing stops there), and positionals are not checked.
  bool help = false;
  // `--version` was given as the first argument.
  bool version = false;
  // Options by long name (a view into the table) in the order given, with
  // their values ("" for a flag).
  std::vector<std::pair<std::string_view, std::string>> options;
  std::vector<std::string> positionals;

  bool has(std::string_view long_name) const { return value(long_name) != nullptr; }
  // The value of the last `long_name` given, or null when it was not given.
  const std::string* value(std::string_view long_name) const;
};

// The first problem with a command line: one line for stderr, without the
// program or subcommand name, e.g. "unknown option '--jsn'".
struct ArgsError {
  std::string message;
  const std::string& display() const { return message; }
};

// Parses the arguments after the program name against `commands`. Options
// may come before, between or after positionals; `--` makes every later
// argument a positional, and a lone `-` is a positional too. `--help`,
// `-h`, `help` and `help CMD` ask for help, `--version` for the version.
Result<ParsedArgs, ArgsError> parse_args(const std::vector<CommandSpec>& commands,
                                         const std::vector<std::string_view>& args);

// "usage: PROGRAM NAME [--json] [-o FILE] [--collection NAME] DIR": each
// option by its short name when it has one, in declared order.
std::string usage_line(std::string_view program, const CommandSpec& command);

// The help of one command: its usage line, summary and details, then each
// option with what it does, wrapped to 79 columns.
std::string command_help(std::string_view program, const CommandSpec& command);

// Fills `text` into lines of at most `width` columns (a word longer than
// that gets a line of its own), each starting with `indent` spaces.
// Newlines in `text` are kept as line breaks: "\n\n" ends a paragraph.
std::string wrap_text(std::string_view text, size_t indent, size_t width);

}  // namespace zez::tool
