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

}  // namespace zez
