#include "tool/args.h"

#include <algorithm>

namespace zez::tool {

namespace {

// "WHAT 'SUBJECT'AFTER"
std::string error(std::string_view what, std::string_view subject, std::string_view after = "") {
  std::string message(what);
  return message.append(" '").append(subject).append("'").append(after);
}

// "-o FILE" or "--collection NAME"; with `both`, "-o, --output FILE".
std::string option_label(const OptionSpec& o, bool both) {
  std::string s;
  if (o.short_name != 0) s.append("-").append(1, o.short_name);
  if (o.short_name != 0 && both) s.append(", ");
  if (o.short_name == 0 || both) s.append("--").append(o.long_name);
  if (!o.value_name.empty()) s.append(" ").append(o.value_name);
  return s;
}

}  // namespace

const std::string* ParsedArgs::value(std::string_view long_name) const {
  for (auto it = options.rbegin(); it != options.rend(); ++it) {
    if (it->first == long_name) return &it->second;
  }
  return nullptr;
}

Result<ParsedArgs, std::string> parse_args(const std::vector<CommandSpec>& commands,
                                           const std::vector<std::string_view>& args) {
  ParsedArgs out;
  const std::string_view first = args.empty() ? std::string_view() : args[0];
  out.version = first == "--version" || first == "-V";
  out.help = first == "--help" || first == "-h" || first == "help";
  if (out.version || (out.help && (first != "help" || args.size() == 1))) return out;
  if (out.help && args.size() > 2) return error("unexpected argument", args[2]);
  if (args.empty() || first.starts_with('-')) return std::string("missing subcommand");
  const std::string_view name = out.help ? args[1] : first;
  for (const CommandSpec& c : commands) {
    if (c.name == name) out.command = &c;
  }
  if (!out.command) return error("unknown subcommand", name);
  if (out.help) return out;

  const std::vector<OptionSpec>& options = out.command->options;
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
    if (arg == "--help" || arg == "-h") {
      out.help = true;
      return out;
    }
    // "--name" or "--name=value"; "-o" or "-oVALUE".
    const bool is_long = arg[1] == '-';
    const size_t split = is_long ? std::min(arg.find('='), arg.size()) : 2;
    const std::string_view given = arg.substr(0, split);
    auto o = std::find_if(options.begin(), options.end(), [&](const OptionSpec& c) {
      return is_long ? c.long_name == given.substr(2) : c.short_name != 0 && c.short_name == arg[1];
    });
    if (o == options.end()) return error("unknown option", given);
    std::string_view value;
    if (split < arg.size()) {
      if (o->value_name.empty()) {
        return is_long ? error("option", given, " takes no value") : error("unknown option", arg);
      }
      value = arg.substr(is_long ? split + 1 : split);
    } else if (!o->value_name.empty()) {
      // The next argument is the value, whatever it is.
      if (i + 1 == args.size()) return error("option", given, " needs a value");
      value = args[++i];
    }
    out.options.emplace_back(o->long_name, value);
  }
  const std::vector<std::string_view>& wanted = out.command->positionals;
  const bool any_more = !wanted.empty() && wanted.back().ends_with("...]");
  if (out.positionals.size() < wanted.size() - any_more) {
    return "missing " + std::string(wanted[out.positionals.size()]);
  }
  if (!any_more && out.positionals.size() > wanted.size()) {
    return error("unexpected argument", out.positionals[wanted.size()]);
  }
  return out;
}

std::string usage_line(std::string_view program, const CommandSpec& command) {
  std::string s = "usage: ";
  s.append(program).append(" ").append(command.name);
  for (const OptionSpec& o : command.options) s.append(" [").append(option_label(o, false)) += "]";
  for (std::string_view p : command.positionals) s.append(" ").append(p);
  return s;
}

std::string wrap_text(std::string_view text, size_t indent, size_t width) {
  std::string out(indent, ' ');
  size_t column = indent;  // `indent` exactly while the line holds no word
  for (size_t i = 0; i < text.size();) {
    const size_t end = std::min(text.find_first_of(" \n", i), text.size());
    const bool line_break = end == i && text[i] == '\n';
    if (line_break || (column > indent && column + 1 + (end - i) > width)) {
      out.append("\n").append(indent, ' ');
      column = indent;
    }
    if (end == i) {
      ++i;
      continue;
    }
    if (column > indent) {
      out.push_back(' ');
      ++column;
    }
    out.append(text.substr(i, end - i));
    column += end - i;
    i = end;
  }
  return out.append("\n");
}

std::string command_help(std::string_view program, const CommandSpec& command) {
  constexpr size_t OPTION_COLUMN = 24;
  std::string out = usage_line(program, command);
  out.append("\n\n").append(wrap_text(command.summary, 0, 79));
  if (!command.details.empty()) out.append("\n").append(wrap_text(command.details, 0, 79));
  out.append("\noptions:\n");
  std::vector<OptionSpec> shown = command.options;
  shown.push_back({"help", "", 'h', "show this help and exit"});
  for (const OptionSpec& o : shown) {
    // The text beside the label when it fits, else below it.
    const std::string label = "  " + option_label(o, true);
    std::string text = wrap_text(o.help, OPTION_COLUMN, 79);
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
