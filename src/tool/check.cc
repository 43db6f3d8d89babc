// `zezavezud check DIR [--quick] [--json]`: reads every file of the
// directory and reports what the engine would refuse or get wrong. Changes
// nothing.
#include <optional>

#include "tool/analysis.h"
#include "tool/tool.h"

namespace zez::tool {

namespace {

// The last line of the text report. A check that could not read every file
// never says that no damage was found.
std::string summary_line(const std::string& path, uint64_t damage, bool incomplete) {
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

// What a load's marker, or the name of the directory a load builds in, says
// about the directory: a load that has not finished (damage: it holds part
// of its input at most), or the complete database of a load whose last
// rename failed (a note).
std::optional<Finding> load_state(Directory& dir, const std::string& path) {
  const std::string marker(LOAD_MARKER);
  const std::string trimmed = path.substr(0, path.find_last_not_of('/') + 1);
  const bool is_load_temp = trimmed.size() > TEMP_SUFFIX.size() && trimmed.ends_with(TEMP_SUFFIX);
  const std::string target = trimmed.substr(0, trimmed.size() - TEMP_SUFFIX.size());
  const std::string builds = "the directory in which `zezavezud load` or `backup` builds a new "
                             "database for " + target;
  const bool marked = dir.entry_type(marker).ok();
  if (marked && is_load_temp) {
    return Finding{Finding::Severity::Damage, marker, std::nullopt, "unfinished load",
                   cat({"this is ", builds,
                        "; that run did not finish (or is still running), and the next load or "
                        "backup to ", target, " removes this directory"})};
  }
  if (marked) {
    return Finding{Finding::Severity::Damage, marker, std::nullopt, "unfinished merge",
                   "a `zezavezud load --merge` into this directory did not finish (or is still "
                   "running): records of its input may be missing; run it again to finish it"};
  }
  if (!is_load_temp) return std::nullopt;
  return Finding{Finding::Severity::Note, "", std::nullopt, "load directory",
                 cat({"named like ", builds,
                      "; without the marker it holds the complete database of a run whose "
                      "rename onto ", target, " failed"})};
}

}  // namespace

int run_check(Platform& platform, const ParsedArgs& args, Console& console) {
  const std::string& path = args.positionals[0];
  auto dir = open_for_reading(platform, path, console);
  if (!dir.ok()) return console.fail(dir.error().message);
  AnalysisOptions options;
  // --quick skips decoding values, and with it the comparison of backlinks
  // with the links the values hold, but still frames every file; a record
  // file is classified in full only when its framing finds a fault.
  options.decode_values = !args.has("quick");
  options.frame_only = args.has("quick");
  auto analysis = analyse_directory(*dir.value(), options, console);
  if (!analysis.ok()) return console.fail(path + ": " + analysis.error().display());
  Analysis& a = analysis.value();
  if (auto state = load_state(*dir.value(), path)) a.findings.push_back(std::move(*state));
  if (args.has("json")) {
    write_json_report(console, [&](JsonWriter& w) {
      write_text_members(w, {{"directory", path}});
      w.write_member("damage", a.damage_count());
      w.write_key("complete");
      w.write_bool(!a.operational_error);
      w.write_key("findings");
      write_findings_json(w, a.findings);
    });
  } else {
    write_findings_text(console, a.findings);
    console.out(summary_line(path, a.damage_count(), a.operational_error));
  }
  return a.exit_status();
}

}  // namespace zez::tool
