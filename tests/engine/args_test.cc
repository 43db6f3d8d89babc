#include "tool/args.h"
#include "tool/tool.h"
#include "string_console.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

namespace zez::tool {
namespace {

const std::vector<CommandSpec> COMMANDS = {
    {"dump", {{"json"}, {"collection", "NAME"}, {"output", "FILE", 'o'}}, {"DIR"}},
    {"check", {{"quick"}}, {"DIR"}},
};

std::vector<std::string_view> split(std::string_view line) {
  std::vector<std::string_view> out;
  while (!line.empty()) {
    const size_t space = line.find(' ');
    out.push_back(line.substr(0, space));
    line = space == line.npos ? std::string_view() : line.substr(space + 1);
  }
  return out;
}

// The parse as one line: "dump [json=][output=f] DIR", "help dump", or the error.
std::string parsed(const std::vector<std::string_view>& args) {
  auto r = parse_args(COMMANDS, args);
  if (!r.ok()) return "error: " + r.error();
  const ParsedArgs& p = r.value();
  if (p.help) return p.command ? "help " + std::string(p.command->name) : "help";
  if (p.version) return "version";
  std::string s(p.command->name);
  for (const auto& [name, value] : p.options) s += " [" + std::string(name) + "=" + value + "]";
  for (const std::string& positional : p.positionals) s += " " + positional;
  return s;
}

TEST(Args, AcceptsOptionsInEveryForm) {
  const std::pair<const char*, const char*> cases[] = {
      {"dump d", "dump d"},
      {"dump --json d", "dump [json=] d"},
      {"dump d --json", "dump [json=] d"},
      {"dump --collection c d", "dump [collection=c] d"},
      {"dump --collection=c d", "dump [collection=c] d"},
      {"dump --collection= d", "dump [collection=] d"},
      {"dump -o f d", "dump [output=f] d"},
      {"dump -of d", "dump [output=f] d"},
      {"dump --output=a=b d", "dump [output=a=b] d"},
      {"dump -o --json d", "dump [output=--json] d"},  // a value is taken as it is
      {"dump -- --json", "dump --json"},
      {"dump -", "dump -"},
      {"check --quick d", "check [quick=] d"},
  };
  for (const auto& [line, want] : cases) EXPECT_EQ(parsed(split(line)), want) << line;
}

TEST(Args, HelpStopsParsing) {
  const std::pair<const char*, const char*> cases[] = {
      {"--help", "help"},           {"-h dump", "help"},
      {"dump --help", "help dump"}, {"check d e -h", "help check"},
      {"dump -- -h", "dump -h"},    {"dump d -- -h", "error: unexpected argument '-h'"},
      {"help", "help"},             {"help dump", "help dump"},
      {"help dupm", "error: unknown subcommand 'dupm'"},
      {"help dump check", "error: unexpected argument 'check'"},
      {"--version", "version"},     {"dump --version d", "error: unknown option '--version'"},
  };
  for (const auto& [line, want] : cases) EXPECT_EQ(parsed(split(line)), want) << line;
}

TEST(Args, ReportsTheFirstProblem) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "error: missing subcommand"},
      {"--json dump d", "error: missing subcommand"},
      {"dupm d", "error: unknown subcommand 'dupm'"},
      {"check --json d", "error: unknown option '--json'"},
      {"dump --jsn d", "error: unknown option '--jsn'"},
      {"dump --jsn=1 d", "error: unknown option '--jsn'"},
      {"dump -x d", "error: unknown option '-x'"},
      {"dump d --collection", "error: option '--collection' needs a value"},
      {"dump d -o", "error: option '-o' needs a value"},
      {"dump --json=yes d", "error: option '--json' takes no value"},
      {"dump --json", "error: missing DIR"},
      {"dump a b", "error: unexpected argument 'b'"},
  };
  for (const auto& [line, want] : cases) EXPECT_EQ(parsed(split(line)), want) << line;
}

TEST(Args, EmptyArgumentIsAPositional) { EXPECT_EQ(parsed({"dump", ""}), "dump "); }

TEST(Args, LastValueWinsAndAllAreKept) {
  auto r = parse_args(COMMANDS, split("dump --collection a d --collection b"));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r.value().value("collection"), "b");
  EXPECT_EQ(r.value().options.size(), 2u);
  EXPECT_TRUE(r.value().has("collection"));
  EXPECT_FALSE(r.value().has("json"));
  EXPECT_EQ(r.value().value("output"), nullptr);
}

TEST(Args, UsageLineShowsShortNamesAndValues) {
  EXPECT_EQ(usage_line("zezavezud", COMMANDS[0]),
            "usage: zezavezud dump [--json] [--collection NAME] [-o FILE] DIR");
}

TEST(Args, TextIsWrappedAtWordsAndKeepsLineBreaks) {
  EXPECT_EQ(wrap_text("aaa bbb ccc", 2, 9), "  aaa bbb\n  ccc\n");
  EXPECT_EQ(wrap_text("a\nb  c", 0, 80), "a\nb c\n");
  EXPECT_EQ(wrap_text("abcdefghij k", 0, 4), "abcdefghij\nk\n");
}

// Every option of every subcommand is explained in that command's help,
// and the tool's help gives each subcommand its sentence.
TEST(Args, TheHelpExplainsEveryCommandAndOption) {
  tool::StringConsole all;
  ASSERT_EQ(tool::run_tool(system_platform(), {"--help"}, all), tool::EXIT_CLEAN);
  for (const CommandSpec& command : tool::command_table()) {
    SCOPED_TRACE(std::string(command.name));
    ASSERT_FALSE(command.summary.empty());
    EXPECT_NE(all.stdout_text().find("  " + std::string(command.name) + " "), std::string::npos);
    std::string first_words(command.summary.substr(0, command.summary.find(' ', 10)));
    EXPECT_NE(all.stdout_text().find(first_words), std::string::npos);
    tool::StringConsole by_flag;
    tool::StringConsole by_help;
    ASSERT_EQ(tool::run_tool(system_platform(), {command.name, "--help"}, by_flag), 0);
    ASSERT_EQ(tool::run_tool(system_platform(), {"help", command.name}, by_help), 0);
    const std::string& help = by_flag.stdout_text();
    EXPECT_EQ(help, by_help.stdout_text());
    EXPECT_EQ(help.rfind(usage_line("zezavezud", command) + "\n", 0), 0u);
    EXPECT_NE(help.find("Exit status: 0 "), std::string::npos);
    for (const OptionSpec& o : command.options) {
      EXPECT_FALSE(o.help.empty()) << o.long_name;
      const std::string label = "--" + std::string(o.long_name);
      const size_t at = help.find("\n  " + std::string(o.short_name ? "-" : "") +
                                  (o.short_name ? std::string(1, o.short_name) + ", " : "") +
                                  label);
      ASSERT_NE(at, std::string::npos) << label << "\n" << help;
      const std::string first_word(o.help.substr(0, o.help.find(' ')));
      EXPECT_NE(help.find(first_word, at), std::string::npos) << label;
    }
  }
  tool::StringConsole version;
  ASSERT_EQ(tool::run_tool(system_platform(), {"--version"}, version), tool::EXIT_CLEAN);
  EXPECT_EQ(version.stdout_text(), "zezavezud " ZEZ_TEST_VERSION "\n");
}

// Running out of memory anywhere in a command is an operational failure
// with a message, not an abort.
TEST(Args, OutOfMemoryIsAnOperationalFailure) {
  class Exhausted final : public tool::Console {
   public:
    void out(std::string_view) override { throw std::bad_alloc(); }
    void err(std::string_view line) override { errors.append(line).push_back('\n'); }
    void progress(std::string_view, uint64_t, uint64_t) override {}
    Result<size_t, IoError> read_input(char*, size_t) override { return size_t{0}; }
    std::string errors;
  } console;
  EXPECT_EQ(tool::run_tool(system_platform(), {"--version"}, console), tool::EXIT_OPERATIONAL);
  EXPECT_NE(console.errors.find("zezavezud: stopped: out of memory"), std::string::npos)
      << console.errors;
}

}  // namespace
}  // namespace zez::tool
