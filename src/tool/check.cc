// `zezavezud check DIR [--quick] [--json]`: reads every file of the
// directory and reports what the engine would refuse or get wrong. Changes
// nothing.
#include "tool/analysis.h"
#include "tool/json.h"
#include "tool/tool.h"

namespace zez::tool {

namespace {

// The last line of the text report. A check that could not read every file
// never says that no damage was found.
std::string summary_line(const std::string& path, int damage, bool incomplete) {
  std::string line = path;
  if (damage > 0) {
    line.append(": damage found (").append(std::to_string(damage));
    line.append(damage == 1 ? " finding)" : " findings)");
    if (incomplete) line.append("; not every file could be read");
  } else if (incomplete) {
    line.append(": not every file could be read; damage in those files is unknown");
  } else {
    line.append(": no damage found");
  }
  return line.append("\n");
}

}  // namespace

int run_check(Platform& platform, const ParsedArgs& args, Console& console) {
  const std::string& path = args.positionals[0];
  const bool json = args.has("json");
  auto dir = open_for_reading(platform, path, console);
  if (!dir.ok()) {
    console.err("zezavezud: " + dir.error().message);
    return EXIT_OPERATIONAL;
  }
  AnalysisOptions options;
  // --quick skips decoding values, and with it the comparison of backlinks
  // with the links the values hold, but still frames every file.
  options.decode_values = !args.has("quick");
  options.replay_backlinks = true;
  auto analysis = analyse_directory(*dir.value(), options, console);
  if (!analysis.ok()) {
    console.err("zezavezud: " + path + ": " + analysis.error().display());
    return EXIT_OPERATIONAL;
  }
  const Analysis& a = analysis.value();
  const int damage = a.damage_count();
  if (json) {
    std::string out;
    JsonWriter w(out);
    w.begin_object();
    w.write_key("directory");
    w.write_string(printable(path));
    w.write_key("damage");
    w.write_uint(uint64_t(damage));
    w.write_key("complete");
    w.write_bool(!a.operational_error);
    w.write_key("findings");
    write_findings_json(w, a.findings);
    w.end_object();
    out.push_back('\n');
    console.out(out);
  } else {
    write_findings_text(console, a.findings);
    console.out(summary_line(path, damage, a.operational_error));
  }
  int status = damage > 0 ? EXIT_DAMAGE_LEFT : EXIT_CLEAN;
  if (a.operational_error) status |= EXIT_OPERATIONAL;
  return status;
}

}  // namespace zez::tool
