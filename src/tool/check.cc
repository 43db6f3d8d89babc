// `zezavezud check DIR [--quick] [--json]`: reads every file of the
// directory and reports what the engine would refuse or get wrong. Changes
// nothing.
#include <optional>

#include "tool/analysis.h"
#include "tool/json.h"
#include "tool/tool.h"

namespace zez::tool {

namespace {

// What a load's marker, or the name of the directory a load builds in, says
// about the directory: a load that has not finished (damage: it holds part
// of its input at most), or the complete database of a load whose last
// rename failed (a note).
std::optional<Finding> load_state(Directory& dir, const std::string& path) {
  const std::string marker(LOAD_MARKER);
  const size_t end = path.find_last_not_of('/');
  const std::string trimmed = end == std::string::npos ? path : path.substr(0, end + 1);
  const bool is_load_temp = trimmed.size() > TEMP_SUFFIX.size() && trimmed.ends_with(TEMP_SUFFIX);
  const std::string target = trimmed.substr(0, trimmed.size() - TEMP_SUFFIX.size());
  if (dir.entry_type(marker).ok()) {
    if (is_load_temp) {
      return Finding{Finding::Severity::Damage, marker, std::nullopt, "unfinished load",
                     "this is the directory in which `zezavezud load` builds a new database for " +
                         target +
                         "; that load did not finish (or is still running), and the next load "
                         "of " +
                         target + " removes this directory"};
    }
    return Finding{Finding::Severity::Damage, marker, std::nullopt, "unfinished merge",
                   "a `zezavezud load --merge` into this directory did not finish (or is still "
                   "running): records of its input may be missing; run it again to finish it"};
  }
  if (is_load_temp) {
    return Finding{Finding::Severity::Note, "", std::nullopt, "load directory",
                   "named like the directory in which `zezavezud load` builds a new database for " +
                       target +
                       "; without the marker it holds the complete database of a load whose "
                       "rename onto " +
                       target + " failed"};
  }
  return std::nullopt;
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
  options.decode_values = !args.has("quick");
  options.replay_backlinks = !args.has("quick");
  auto analysis = analyse_directory(*dir.value(), options, console);
  if (!analysis.ok()) {
    console.err("zezavezud: " + path + ": " + analysis.error().display());
    return EXIT_OPERATIONAL;
  }
  Analysis& a = analysis.value();
  if (auto state = load_state(*dir.value(), path)) a.findings.push_back(std::move(*state));
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
