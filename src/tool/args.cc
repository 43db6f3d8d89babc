#include "tool/args.h"

#include <optional>

namespace zez {

namespace {

bool is_help(std::string_view arg) { return arg == "--help" || arg == "-h"; }

const CommandSpec* find_command(const std::vector<CommandSpec>& commands, std::string_view name) {
  for (const CommandSpec& c : commands) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

const OptionSpec* find_long(const CommandSpec& command, std::string_view name) {
  for (const OptionSpec& o : command.options) {
    if (o.long_name == name) return &o;
  }
  return nullptr;
}

const OptionSpec* find_short(const CommandSpec& command, char name) {
  for (const OptionSpec& o : command.options) {
    if (o.short_name != 0 && o.short_name == name) return &o;
  }
  return nullptr;
}

// Reads the options and positionals after the subcommand into `out`.
class OptionReader {
 public:
  OptionReader(const std::vector<std::string_view>& args, ParsedArgs& out)
      : args_(args), out_(out) {}

  // Nothing on success (help included), else the first error.
  std::optional<ArgsError> read() {
    const CommandSpec& command = *out_.command;
    bool options_ended = false;
    for (next_ = 1; next_ < args_.size();) {
      const std::string_view arg = args_[next_++];
      if (options_ended || arg.size() < 2 || arg[0] != '-') {
        out_.positionals.emplace_back(arg);
      } else if (arg == "--") {
        options_ended = true;
      } else if (is_help(arg)) {
        out_.help = true;
        return std::nullopt;
      } else if (auto e = arg[1] == '-' ? read_long(command, arg) : read_short(command, arg)) {
        return e;
      }
    }
    return std::nullopt;
  }

 private:
  // --name, --name=value, --name value
  std::optional<ArgsError> read_long(const CommandSpec& command, std::string_view arg) {
    const size_t eq = arg.find('=');
    const OptionSpec* o = find_long(command, arg.substr(2, eq == arg.npos ? arg.npos : eq - 2));
    if (!o) return ArgsError(ArgsError::Kind::UnknownOption, std::string(arg.substr(0, eq)));
    if (eq == arg.npos) return take_value(*o, "--" + std::string(o->long_name));
    if (o->value_name.empty()) {
      return ArgsError(ArgsError::Kind::UnexpectedValue, "--" + std::string(o->long_name));
    }
    out_.options.emplace_back(o->long_name, arg.substr(eq + 1));
    return std::nullopt;
  }

  // -o, -oVALUE, -o VALUE
  std::optional<ArgsError> read_short(const CommandSpec& command, std::string_view arg) {
    const OptionSpec* o = find_short(command, arg[1]);
    if (!o) return ArgsError(ArgsError::Kind::UnknownOption, std::string(arg.substr(0, 2)));
    if (arg.size() == 2) return take_value(*o, std::string(arg));
    if (o->value_name.empty()) return ArgsError(ArgsError::Kind::UnknownOption, std::string(arg));
    out_.options.emplace_back(o->long_name, arg.substr(2));
    return std::nullopt;
  }

  // A flag, or an option whose value is the next argument, whatever it is.
  std::optional<ArgsError> take_value(const OptionSpec& o, std::string as_given) {
    if (o.value_name.empty()) {
      out_.options.emplace_back(o.long_name, std::string());
      return std::nullopt;
    }
    if (next_ == args_.size()) return ArgsError(ArgsError::Kind::MissingValue, std::move(as_given));
    out_.options.emplace_back(o.long_name, args_[next_++]);
    return std::nullopt;
  }

  const std::vector<std::string_view>& args_;
  ParsedArgs& out_;
  size_t next_ = 1;
};

}  // namespace

bool ParsedArgs::has(std::string_view long_name) const { return value(long_name) != nullptr; }

const std::string* ParsedArgs::value(std::string_view long_name) const {
  for (auto it = options.rbegin(); it != options.rend(); ++it) {
    if (it->first == long_name) return &it->second;
  }
  return nullptr;
}

std::string ArgsError::display() const {
  switch (kind_) {
    case Kind::MissingCommand:
      return "missing subcommand";
    case Kind::UnknownCommand:
      return "unknown subcommand '" + subject_ + "'";
    case Kind::UnknownOption:
      return "unknown option '" + subject_ + "'";
    case Kind::MissingValue:
      return "option '" + subject_ + "' needs a value";
    case Kind::UnexpectedValue:
      return "option '" + subject_ + "' takes no value";
    case Kind::MissingPositional:
      return "missing " + subject_;
    case Kind::ExtraPositional:
      return "unexpected argument '" + subject_ + "'";
  }
  return std::string();
}

Result<ParsedArgs, ArgsError> parse_args(const std::vector<CommandSpec>& commands,
                                         const std::vector<std::string_view>& args) {
  ParsedArgs out;
  if (!args.empty() && is_help(args[0])) {
    out.help = true;
    return out;
  }
  if (!args.empty() && args[0] == "--version") {
    out.version = true;
    return out;
  }
  if (!args.empty() && args[0] == "help") {
    out.help = true;
    if (args.size() > 2) return ArgsError(ArgsError::Kind::ExtraPositional, std::string(args[2]));
    if (args.size() == 2) {
      out.command = find_command(commands, args[1]);
      if (!out.command) return ArgsError(ArgsError::Kind::UnknownCommand, std::string(args[1]));
    }
    return out;
  }
  if (args.empty() || args[0].starts_with('-')) {
    return ArgsError(ArgsError::Kind::MissingCommand, std::string());
  }
  out.command = find_command(commands, args[0]);
  if (!out.command) return ArgsError(ArgsError::Kind::UnknownCommand, std::string(args[0]));
  if (auto e = OptionReader(args, out).read()) return std::move(*e);
  if (out.help) return out;
  const std::vector<std::string_view>& wanted = out.command->positionals;
  if (out.positionals.size() < wanted.size()) {
    return ArgsError(ArgsError::Kind::MissingPositional,
                     std::string(wanted[out.positionals.size()]));
  }
  if (out.positionals.size() > wanted.size()) {
    return ArgsError(ArgsError::Kind::ExtraPositional, out.positionals[wanted.size()]);
  }
  return out;
}

std::string usage_line(std::string_view program, const CommandSpec& command) {
  std::string s = "usage: ";
  s.append(program).append(" ").append(command.name);
  for (const OptionSpec& o : command.options) {
    s += " [";
    if (o.short_name != 0) {
      s.append("-").push_back(o.short_name);
    } else {
      s.append("--").append(o.long_name);
    }
    if (!o.value_name.empty()) s.append(" ").append(o.value_name);
    s += "]";
  }
  for (std::string_view p : command.positionals) s.append(" ").append(p);
  return s;
}

std::string wrap_text(std::string_view text, size_t indent, size_t width) {
  std::string out;
  size_t column = 0;
  auto start_line = [&] {
    out.append(indent, ' ');
    column = indent;
  };
  start_line();
  bool line_empty = true;
  while (!text.empty()) {
    if (text[0] == '\n') {
      out.push_back('\n');
      start_line();
      line_empty = true;
      text.remove_prefix(1);
      continue;
    }
    if (text[0] == ' ') {
      text.remove_prefix(1);
      continue;
    }
    size_t end = text.find_first_of(" \n");
    if (end == text.npos) end = text.size();
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end);
    if (!line_empty && column + 1 + word.size() > width) {
      out.push_back('\n');
      start_line();
      line_empty = true;
    }
    if (!line_empty) {
      out.push_back(' ');
      ++column;
    }
    out.append(word);
    column += word.size();
    line_empty = false;
  }
  out.push_back('\n');
  return out;
}

namespace {

// How the help names an option: "-o, --output FILE" or "--json".
std::string option_label(const OptionSpec& o) {
  std::string label;
  if (o.short_name != 0) label.append("-").append(1, o.short_name).append(", ");
  label.append("--").append(o.long_name);
  if (!o.value_name.empty()) label.append(" ").append(o.value_name);
  return label;
}

constexpr size_t HELP_WIDTH = 79;
constexpr size_t OPTION_COLUMN = 24;

}  // namespace

std::string command_help(std::string_view program, const CommandSpec& command) {
  std::string out = usage_line(program, command);
  out.append("\n\n");
  out.append(wrap_text(command.summary, 0, HELP_WIDTH));
  for (std::string_view rest = command.details; !rest.empty();) {
    const size_t gap = rest.find("\n\n");
    out.push_back('\n');
    out.append(wrap_text(rest.substr(0, gap), 0, HELP_WIDTH));
    rest = gap == rest.npos ? std::string_view() : rest.substr(gap + 2);
  }
  out.append("\noptions:\n");
  std::vector<OptionSpec> shown = command.options;
  shown.push_back(OptionSpec::flag("help", 'h').explained("show this help and exit"));
  for (const OptionSpec& o : shown) {
    std::string label = "  " + option_label(o);
    std::string text = wrap_text(o.help, OPTION_COLUMN, HELP_WIDTH);
    if (label.size() + 1 < OPTION_COLUMN) {
      text.replace(0, label.size(), label);
    } else {
      out.append(label).append("\n");
    }
    out.append(text);
  }
  return out;
}

}  // namespace zez
