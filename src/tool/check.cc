// `zezavezud check DIR [--quick] [--json]`: reads every file of the
// directory and reports what the engine would refuse or get wrong. Changes
// nothing.
#include "tool/analysis.h"
#include "tool/json.h"
#include "tool/tool.h"

namespace zez::tool {

int run_check(Platform& platform, const ParsedArgs& args, Console& console) {
  const std::string& path = args.positionals[0];
  const bool json = args.has("json");
  auto dir = open_for_reading(platform, path, console);
  if (!dir.ok()) {
    console.err("zezavezud: " + dir.error().message);
    return EXIT_OPERATIONAL;
  }
  AnalysisOptions options;
  options.decode_values = !args.has("quick");
  options.replay_backlinks = !args.has("quick");
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
    w.write_key("findings");
    write_findings_json(w, a.findings);
    w.end_object();
    out.push_back('\n');
    console.out(out);
  } else {
    write_findings_text(console, a.findings);
    std::string summary = path;
    if (damage == 0) {
      summary.append(": no damage found\n");
    } else {
      summary.append(": damage found (").append(std::to_string(damage)).append(" findings)\n");
    }
    console.out(summary);
  }
  int status = damage > 0 ? EXIT_DAMAGE_LEFT : EXIT_CLEAN;
  if (a.operational_error) status |= EXIT_OPERATIONAL;
  return status;
}

}  // namespace zez::tool
