// `zezavezud check DIR [--quick] [--json]`: reads every file of the
// directory and reports what the engine would refuse or get wrong. Changes
// nothing.
#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "db/text_map.h"

#include "tool/analysis.h"
#include "tool/tool.h"

namespace zez::tool {

namespace {

// The last line of the text report. A check that could not read every file
// never says that no damage was found.
std::string summary_line(const std::string& path, uint64_t damage, bool incomplete,
                         uint64_t unsettled) {
  std::string line = path;
  if (damage > 0) {
    line.append(": damage found (").append(std::to_string(damage));
    line.append(damage == 1 ? " finding)" : " findings)");
    if (incomplete) line.append("; not every file could be read");
  } else if (incomplete) {
    line.append(": not every file could be read; damage in those files is unknown");
  } else if (unsettled == 0) {
    line.append(": no damage found");
  }
  if (unsettled > 0) {
    line.append(damage > 0 || incomplete ? "; " : ": ").append(std::to_string(unsettled));
    line.append(" findings cannot be told from writes in flight while another program has the "
                "directory open; check again when none has it open");
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

// The passes a check of a directory in use makes at most, and the pause
// before each pass after the first.
constexpr int SETTLE_PASSES = 5;
constexpr int SETTLE_PAUSE_MS[SETTLE_PASSES] = {0, 20, 50, 100, 200};

// What names a finding across passes: a record file's damage by its place,
// a backlink row by its text as well.
std::string finding_identity(const Finding& f) {
  std::string id = cat({f.file, std::string_view("\0", 1), f.kind});
  if (f.offset) return id.append(":").append(std::to_string(*f.offset));
  return id.append(std::string_view("\0", 1)).append(f.detail);
}

// What a program writing the directory shows for a moment: the end of a
// record being appended, and the backlink rows that follow a record.
bool can_be_write_in_flight(const Finding& f) {
  return f.kind == "torn tail" || f.kind == "zero-filled tail" || f.kind == "stale backlink" ||
         f.kind == "missing backlink" || f.kind == "backlink file does not load";
}

// A directory that another program writes: a record file and the backlink
// file its links point to, read one after the other, can disagree for a
// moment (a record lands before its rows). Damage counts only when every
// pass of several finds it; a pass that finds none ends the check. What
// stays and a write in flight could leave is not called damage: it cannot
// be told from a write that has not finished yet.
Result<Analysis, IoError> analyse_in_use(Directory& dir, const AnalysisOptions& options,
                                         Console& console, uint64_t& unsettled) {
  auto first = analyse_directory(dir, options, console);
  if (!first.ok()) return first;
  Analysis a = std::move(first).value();
  TextSet seen;
  for (const Finding& f : a.findings) {
    if (f.severity == Finding::Severity::Damage) seen.insert(finding_identity(f));
  }
  for (int pass = 1; pass < SETTLE_PASSES && !seen.empty(); ++pass) {
    std::this_thread::sleep_for(std::chrono::milliseconds(SETTLE_PAUSE_MS[pass]));
    auto again = analyse_directory(dir, options, console);
    if (!again.ok()) return again;
    a = std::move(again).value();
    TextSet still;
    for (const Finding& f : a.findings) {
      const std::string id = finding_identity(f);
      if (f.severity == Finding::Severity::Damage && seen.count(id)) still.insert(id);
    }
    seen = std::move(still);
  }
  std::vector<Finding> kept;
  for (Finding& f : a.findings) {
    if (f.severity == Finding::Severity::Damage) {
      if (!seen.count(finding_identity(f))) continue;
      if (can_be_write_in_flight(f)) {
        f.severity = Finding::Severity::Note;
        f.detail.append("; the directory is open in another program, and this may be a write "
                        "that has not finished");
        unsettled += f.count;
      }
    }
    kept.push_back(std::move(f));
  }
  a.findings = std::move(kept);
  return a;
}

}  // namespace

int run_check(Platform& platform, const ParsedArgs& args, Console& console) {
  const std::string& path = args.positionals[0];
  bool in_use = false;
  auto dir = open_for_reading(platform, path, console, &in_use);
  if (!dir.ok()) return console.fail(dir.error().message);
  AnalysisOptions options;
  // --quick skips decoding values, and with it the comparison of backlinks
  // with the links the values hold, but still frames every file; a record
  // file is classified in full only when its framing finds a fault.
  options.decode_values = !args.has("quick");
  options.frame_only = args.has("quick");
  uint64_t unsettled = 0;
  // Files, but none of a database: most likely the wrong directory. (An
  // empty directory is an empty database.)
  auto names = dir.value()->list();
  if (!names.ok()) return console.fail(path + ": " + names.error().display());
  const bool any_database_file =
      std::any_of(names.value().begin(), names.value().end(), [](const std::string& name) {
        return database_file_of(name) || name.ends_with(TEMP_SUFFIX) || name == LOAD_MARKER ||
               name == BACKUP_DIRECTORY;
      });
  if (!names.value().empty() && !any_database_file) {
    return console.fail(path + ": not a database: it holds files, but no record (.qdb) or "
                               "backlink (.qbl) file");
  }
  auto analysis = in_use ? analyse_in_use(*dir.value(), options, console, unsettled)
                         : analyse_directory(*dir.value(), options, console);
  if (!analysis.ok()) return console.fail(path + ": " + analysis.error().display());
  Analysis& a = analysis.value();
  if (auto state = load_state(*dir.value(), path)) a.findings.push_back(std::move(*state));
  if (args.has("json")) {
    write_json_report(console, [&](JsonWriter& w) {
      write_text_members(w, {{"directory", path}});
      w.write_member("damage", a.damage_count());
      w.write_key("complete");
      w.write_bool(!a.operational_error && unsettled == 0);
      w.write_member("unsettled", unsettled);
      w.write_key("findings");
      write_findings_json(w, a.findings);
    });
  } else {
    write_findings_text(console, a.findings);
    console.out(summary_line(path, a.damage_count(), a.operational_error, unsettled));
  }
  return a.exit_status() | (unsettled > 0 ? EXIT_OPERATIONAL : EXIT_CLEAN);
}

}  // namespace zez::tool
