#include "tool/args.h"

#include <algorithm>
#include <optional>

namespace zez::tool {

namespace {

bool is_help(std::string_view arg) { return arg == "--help" || arg == "-h"; }

// "WHAT 'SUBJECT'AFTER"
ArgsError error(std::string_view what, std::string_view subject, std::string_view after = "") {
  std::string message(what);
  message.append(" '").append(subject).append("'").append(after);
  return ArgsError{std::move(message)};
}

const CommandSpec* find_command(const std::vector<CommandSpec>& commands, std::string_view name) {
  for (const CommandSpec& c : commands) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

// Reads the options and positionals after the subcommand into `out`,
// stopping at a request for help.
std::optional<ArgsError> read_options(const std::vector<std::string_view>& args, ParsedArgs& out) {
  bool options_ended = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      out.positionals.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    if (is_help(arg)) {
      out.help = true;
      return std::nullopt;
    }
    // "--name" or "--name=value"; "-o" or "-oVALUE".
    const bool is_long = arg[1] == '-';
    const size_t split = is_long ? std::min(arg.find('='), arg.size()) : 2;
    const std::string_view name = arg.substr(0, split);
    const OptionSpec* o = nullptr;
    for (const OptionSpec& c : out.command->options) {
      if (is_long ? c.long_name == name.substr(2) : c.short_name != 0 && c.short_name == arg[1]) {
        o = &c;
      }
    }
    if (!o) return error("unknown option", name);
    if (split < arg.size()) {
      if (o->value_name.empty()) {
        return is_long ? error("option", name, " takes no value") : error("unknown option", arg);
      }
      out.options.emplace_back(o->long_name, arg.substr(is_long ? split + 1 : split));
    } else if (o->value_name.empty()) {
      out.options.emplace_back(o->long_name, std::string());
    } else if (i + 1 < args.size()) {
      // The next argument is the value, whatever it is.
      out.options.emplace_back(o->long_name, args[++i]);
    } else {
      return error("option", name, " needs a value");
    }
  }
  return std::nullopt;
}

}  // namespace

const std::string* ParsedArgs::value(std::string_view long_name) const {
  for (auto it = options.rbegin(); it != options.rend(); ++it) {
    if (it->first == long_name) return &it->second;
  }
  return nullptr;
}

Result<ParsedArgs, ArgsError> parse_args(const std::vector<CommandSpec>& commands,
                                         const std::vector<std::string_view>& args) {
  ParsedArgs out;
  const std::string_view first = args.empty() ? std::string_view() : args[0];
  if (is_help(first) || first == "--version") {
    out.help = first != "--version";
    out.version = !out.help;
    return out;
  }
  if (first == "help") {
    out.help = true;
    if (args.size() > 2) return error("unexpected argument", args[2]);
    if (args.size() == 2 && !(out.command = find_command(commands, args[1]))) {
      return error("unknown subcommand", args[1]);
    }
    return out;
  }
  if (args.empty() || first.starts_with('-')) return ArgsError{"missing subcommand"};
  out.command = find_command(commands, first);
  if (!out.command) return error("unknown subcommand", first);
  if (auto e = read_options(args, out)) return std::move(*e);
  if (out.help) return out;
  const std::vector<std::string_view>& wanted = out.command->positionals;
  if (out.positionals.size() < wanted.size()) {
    return ArgsError{"missing " + std::string(wanted[out.positionals.size()])};
  }
  if (out.positionals.size() > wanted.size()) {
    return error("unexpected argument", out.positionals[wanted.size()]);
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
  std::string out(indent, ' ');
  size_t column = indent;  // `indent` exactly while the line holds no word
  auto new_line = [&] {
    out.append("\n").append(indent, ' ');
    column = indent;
  };
  for (size_t i = 0; i < text.size();) {
    const size_t end = std::min(text.find_first_of(" \n", i), text.size());
    if (end == i) {
      if (text[i++] == '\n') new_line();
      continue;
    }
    const size_t length = end - i;
    if (column > indent && column + 1 + length > width) new_line();
    if (column > indent) {
      out.push_back(' ');
      ++column;
    }
    out.append(text.substr(i, length));
    column += length;
    i = end;
  }
  out.push_back('\n');
  return out;
}

std::string command_help(std::string_view program, const CommandSpec& command) {
  constexpr size_t WIDTH = 79;
  constexpr size_t OPTION_COLUMN = 24;
  std::string out = usage_line(program, command);
  out.append("\n\n");
  out.append(wrap_text(command.summary, 0, WIDTH));
  if (!command.details.empty()) out.append("\n").append(wrap_text(command.details, 0, WIDTH));
  out.append("\noptions:\n");
  std::vector<OptionSpec> shown = command.options;
  shown.push_back(OptionSpec::flag("help", 'h').explained("show this help and exit"));
  for (const OptionSpec& o : shown) {
    // "  -o, --output FILE" or "  --json", with the text beside it when it fits.
    std::string label = "  ";
    if (o.short_name != 0) label.append("-").append(1, o.short_name).append(", ");
    label.append("--").append(o.long_name);
    if (!o.value_name.empty()) label.append(" ").append(o.value_name);
    std::string text = wrap_text(o.help, OPTION_COLUMN, WIDTH);
    if (label.size() + 1 < OPTION_COLUMN) {
      text.replace(0, label.size(), label);
    } else {
      out.append(label).append("\n");
    }
    out.append(text);
  }
  return out;
}

}  // namespace zez::tool
