// `zezavezud repair DIR [--dry-run] [--salvage] [--json]`: cuts torn tails,
// optionally drops records the engine refuses, rebuilds backlink files, and
// removes leftover temporary files, under the directory's exclusive lock.
//
// Every step is safe to interrupt: bytes leave a file only after a copy of
// them is on stable storage in lost+found/, and a file is replaced only by
// renaming a complete, synced temporary file over it. Running repair again
// after an interruption finishes the job.
#include <chrono>
#include <ctime>
#include <functional>

#include "db/record_file.h"
#include "db/replace_file.h"
#include "tool/analysis.h"
#include "tool/tool.h"

namespace zez::tool {

namespace {

// Keys listed one per line before the rest are only counted.
constexpr size_t LISTED_KEYS = 20;

using Done = Result<Unit, Failure>;

// One change to the directory. `run` sets `detail` once the change is made,
// even when a sync that follows fails.
struct Step {
  std::string file;
  std::string action;   // "remove", "cut tail", "salvage", "rebuild backlinks", ...
  std::string planned;  // the detail --dry-run shows
  bool symlink = false;
  // The bytes the step writes, for the check of free space; none for a
  // removal, which is no repair of damage either.
  std::optional<uint64_t> writes;
  std::function<Done(std::string& detail)> run;
};

struct Action {
  std::string file;
  std::string action;
  std::string detail;
};

std::string utc_timestamp() {
  std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &tm);
  return text;
}

std::string in_lost_found(const std::string& backup) {
  return cat({BACKUP_DIRECTORY, "/", backup});
}

class Repairer {
 public:
  explicit Repairer(Directory& dir) : dir_(dir) {}

  Done remove(const std::string& name, std::string& detail) {
    auto removed = dir_.remove(name);
    if (!removed.ok()) return io_failure(name, "cannot remove", removed.error());
    auto synced = dir_.sync();
    if (!synced.ok()) return io_failure(name, "cannot sync the directory", synced.error());
    detail = "leftover temporary file";
    return Unit{};
  }

  Done cut_tail(const RecordFileReport& r, std::string& detail) {
    const std::string& name = r.entry.name;
    const uint64_t cut_at = r.damage.whole_end();
    auto reader = dir_.open(name, OpenMode::ReadOnly);
    if (!reader.ok()) return io_failure(name, "cannot open", reader.error());
    auto backup = backup_name(name, cut_at);
    if (!backup.ok()) return backup.error();
    const std::string shown = in_lost_found(backup.value());
    auto saved = save_copy(*reader.value(), cut_at, r.size, *lost_found_, backup.value(), shown);
    if (!saved.ok()) return Failure{saved.error().display()};
    auto writer = dir_.open(name, OpenMode::Append);
    if (!writer.ok()) {
      // The file is as it was, so the copy protects nothing yet.
      Failure f = io_failure(name, "cannot open", writer.error());
      if (!lost_found_->remove(backup.value()).ok()) f.message += " (" + shown + " is left over)";
      return f;
    }
    // From here on the copy stays, whatever fails: the cut may have begun.
    auto cut = writer.value()->truncate(cut_at);
    if (!cut.ok()) return io_failure(name, "cannot truncate", cut.error());
    auto synced = writer.value()->sync();
    if (!synced.ok()) return io_failure(name, "cannot sync", synced.error());
    detail = cat({"cut ", std::to_string(r.size - cut_at), " bytes at offset ",
                  std::to_string(cut_at), ", saved in ", shown});
    return Unit{};
  }

  // Keeps every whole record outside the damaged regions; a tail goes too.
  Done salvage(const RecordFileReport& r, std::string& detail) {
    const std::string& name = r.entry.name;
    auto src = dir_.open(name, OpenMode::ReadOnly);
    if (!src.ok()) return io_failure(name, "cannot open", src.error());
    auto write = [&](File& out) -> Result<Unit, IoError> {
      for (const auto& [from, to] : r.damage.kept()) {
        auto copied = copy_range(*src.value(), out, from, to);
        if (!copied.ok()) return copied;
      }
      return Unit{};
    };
    uint64_t cut = 0;
    for (const DamagedRegion& region : r.damage.regions) cut += region.end - region.start;
    const size_t regions = r.damage.regions.size();
    return replace(name, name, write,
                   cat({"cut ", std::to_string(regions), " damaged ",
                        regions == 1 ? "region" : "regions", " (", std::to_string(cut), " bytes)"}),
                   detail);
  }

  // A new file takes the owner and mode of `mode_from`.
  Done rebuild(const BacklinkFileReport& b, const std::string& mode_from, std::string& detail) {
    auto write = [&](File& file) { return write_backlinks(b, &file); };
    return replace(b.entry.name, mode_from, write,
                   cat({b.loads ? "" : "kept the rows before the damage; ", "dropped ",
                        std::to_string(b.stale.size()), " stale and added ",
                        std::to_string(b.missing.size()), " missing rows"}),
                   detail);
  }

 private:
  // An unused name in lost+found (made, and its entry synced, on first use)
  // for a copy of `name` from offset `from`.
  Result<std::string, Failure> backup_name(const std::string& name, uint64_t from) {
    if (!lost_found_) {
      const std::string shown(BACKUP_DIRECTORY);
      auto sub = dir_.open_subdirectory(shown, true);
      if (!sub.ok()) return io_failure(shown, "cannot open", sub.error());
      auto synced = dir_.sync();  // the new subdirectory's entry
      if (!synced.ok()) return io_failure(shown, "cannot sync", synced.error());
      lost_found_ = std::move(sub).value();
    }
    const std::string base = cat({name, ".", std::to_string(from), ".", utc_timestamp()});
    std::string backup = base;
    for (int n = 1; lost_found_->entry_type(backup).ok(); ++n) {
      backup = cat({base, ".", std::to_string(n)});
    }
    return backup;
  }

  // Replaces `name` with what `write` puts into a temporary file, which
  // takes the owner and mode of `mode_from`, after a backup of the old file.
  template <class Write>
  Done replace(const std::string& name, const std::string& mode_from, const Write& write,
               const std::string& what, std::string& detail) {
    auto model = dir_.open(mode_from, OpenMode::ReadOnly);
    if (!model.ok()) return io_failure(mode_from, "cannot open", model.error());
    Replacement r;
    r.name = name;
    r.temp = cat({name, TEMP_SUFFIX});
    r.owner_from = model.value().get();
    r.write = [&](File& out) -> Result<uint64_t, ReplaceError> {
      auto written = write(out);
      if (!written.ok()) return ReplaceError::of(r.temp, "cannot write", written.error());
      auto size = out.size();
      if (!size.ok()) return ReplaceError::of(r.temp, "cannot read the size of", size.error());
      return size.value();
    };
    if (dir_.entry_type(name).ok()) {
      auto backup = backup_name(name, 0);
      if (!backup.ok()) return backup.error();
      r.backup_dir = lost_found_.get();
      r.backup_name = backup.value();
      r.backup_shown = in_lost_found(backup.value());
    }
    auto done = replace_file(dir_, r);
    if (!done.ok() && !done.error().replaced) return Failure{done.error().error.display()};
    detail = what;
    if (!r.backup_shown.empty()) detail += "; the old file is saved in " + r.backup_shown;
    if (!done.ok()) return Failure{done.error().error.display()};
    return Unit{};
  }

  Directory& dir_;
  std::unique_ptr<Directory> lost_found_;
};

// What a repair does to a record file.
enum class Cut : uint8_t { Nothing, Tail, Salvage };

// Plain repair cuts only a torn or zero-filled tail, and only where the
// framing before it holds (bad records are left where they are, for a
// salvage to drop); a file whose framing is damaged before its tail is left
// exactly as it is. A salvage drops every damaged region.
Cut cut_of(const RecordFileReport& r, bool salvage) {
  if (r.damage.clean()) return Cut::Nothing;
  if (r.damage.needs_salvage() && salvage) return Cut::Salvage;
  if (r.damage.framing_damaged() || !r.damage.regions.back().is_tail()) return Cut::Nothing;
  return Cut::Tail;
}

// The files a repair cuts, in the order it cuts them: those it salvages,
// then those whose tail it cuts.
std::vector<const RecordFileReport*> cut_files(const Analysis& a, bool salvage) {
  std::vector<const RecordFileReport*> out;
  for (Cut cut : {Cut::Salvage, Cut::Tail}) {
    for (const RecordFileReport& r : a.record_files) {
      if (cut_of(r, salvage) == cut) out.push_back(&r);
    }
  }
  return out;
}

// The steps, in the order they are taken.
std::vector<Step> plan(Repairer& repairer, const Analysis& a, bool salvage) {
  std::vector<Step> steps;
  for (const std::string& name : a.listing.temp_files) {
    steps.push_back({name, "remove", "leftover temporary file", false, std::nullopt,
                     [&repairer, &name](std::string& d) { return repairer.remove(name, d); }});
  }
  for (const RecordFileReport* f : cut_files(a, salvage)) {
    const RecordFileReport& r = *f;
    if (cut_of(r, salvage) == Cut::Salvage) {
      uint64_t kept = 0;
      for (const auto& [from, to] : r.damage.kept()) kept += to - from;
      steps.push_back(
          {r.entry.name, "salvage",
           cat({"cut ", std::to_string(r.damage.regions.size()), " damaged regions"}),
           r.entry.symlink, kept,
           [&repairer, &r](std::string& d) { return repairer.salvage(r, d); }});
    } else {
      const uint64_t at = r.damage.whole_end();
      steps.push_back(
          {r.entry.name, "cut tail",
           cat({std::to_string(r.size - at), " bytes at offset ", std::to_string(at)}),
           r.entry.symlink, r.size - at,
           [&repairer, &r](std::string& d) { return repairer.cut_tail(r, d); }});
    }
  }
  for (const BacklinkFileReport& b : a.backlink_files) {
    if (!b.needs_rebuild()) continue;
    // A new file takes the owner and mode of its collection's record file,
    // or of the record file of a collection that links to it.
    std::string mode_from = b.entry.name;
    if (!b.exists) {
      mode_from = b.entry.collection + std::string(RECORD_SUFFIX);
      bool found = false;
      for (const RecordFileReport& r : a.record_files) found |= r.entry.name == mode_from;
      if (!found) mode_from = b.missing.front().source_collection + std::string(RECORD_SUFFIX);
    }
    // A row that cannot be framed fails the rebuild; its size is not asked.
    const uint64_t size = write_backlinks(b, nullptr).value();
    steps.push_back({b.entry.name, b.exists ? "rebuild backlinks" : "create backlinks",
                     cat({std::to_string(b.stale.size()), " stale, ",
                          std::to_string(b.missing.size()), " missing rows"}),
                     b.entry.symlink, size,
                     [&repairer, &b, mode_from](std::string& d) {
                       return repairer.rebuild(b, mode_from, d);
                     }});
  }
  return steps;
}

// Everything the steps write, counted as if nothing were freed on the way,
// and lost+found itself. A replaced file is kept in lost+found through a
// hard link, which takes no space; where the file system refuses the link,
// the copy made instead checks its own space before it starts (and the step
// fails, changing nothing, when it does not fit).
uint64_t space_needed(const std::vector<Step>& steps) {
  uint64_t needed = 0;
  for (const Step& s : steps) {
    if (s.writes) needed = saturating_add(needed, space_for_file(*s.writes));
  }
  return needed > 0 ? saturating_add(needed, space_for_file(0)) : 0;
}

const char* why_text(ChangedKey::Why why) {
  return why == ChangedKey::Why::Removed ? "removed" : "between damaged regions";
}

// One line per kind of change in a file: how many keys, and the first ones.
void write_changed_keys_text(Console& console, const RecordFileReport& r) {
  for (ChangedKey::Why why : {ChangedKey::Why::Removed, ChangedKey::Why::Island}) {
    std::vector<const ChangedKey*> keys;
    for (const ChangedKey& k : r.changed_keys) {
      if (k.why == why) keys.push_back(&k);
    }
    if (keys.empty()) continue;
    const bool one = keys.size() == 1;
    std::string line = cat({r.entry.name, ": ", std::to_string(keys.size()), one ? " key" : " keys"});
    if (why == ChangedKey::Why::Removed) {
      line.append(one ? " loses its" : " lose their");
      line.append(" newest record with the damage (an older record shows, or the key is gone): ");
    } else {
      line.append(one ? " has its" : " have their");
      line.append(
          " newest record between two damaged regions close together, where a stray write "
          "leaves copies of older records: compare with a backup: ");
    }
    for (size_t i = 0; i < keys.size() && i < LISTED_KEYS; ++i) {
      if (i > 0) line.append(", ");
      line.append(printable(keys[i]->key));
    }
    if (keys.size() > LISTED_KEYS) {
      line.append(" and ").append(std::to_string(keys.size() - LISTED_KEYS));
      line.append(" more (--json lists every key)");
    }
    console.out(line + "\n");
  }
}

void write_report(Console& console, bool json, const std::string& path, const Analysis& a,
                  const std::vector<Action>& actions, bool salvage, bool dry_run) {
  const std::vector<const RecordFileReport*> cut = cut_files(a, salvage);
  if (json) {
    write_json_report(console, [&](JsonWriter& w) {
      write_text_members(w, {{"directory", path}});
      w.write_key("dry_run");
      w.write_bool(dry_run);
      w.write_member("damage", a.damage_count());
      w.write_key("findings");
      write_findings_json(w, a.findings);
      w.write_key("actions");
      w.begin_array();
      for (const Action& act : actions) {
        w.begin_object();
        write_text_members(w, {{"file", act.file}, {"action", act.action}, {"detail", act.detail}});
        w.end_object();
      }
      w.end_array();
      w.write_key("changed_keys");
      w.begin_array();
      for (const RecordFileReport* r : cut) {
        if (cut_of(*r, salvage) != Cut::Salvage) continue;
        for (const ChangedKey& k : r->changed_keys) {
          w.begin_object();
          write_text_members(w, {{"file", r->entry.name}, {"key", k.key}, {"why", why_text(k.why)}});
          w.write_member("record_offset", k.record_offset);
          write_offset_member(w, "now_offset", k.now_at);
          w.end_object();
        }
      }
      w.end_array();
    });
    return;
  }
  write_findings_text(console, a.findings);
  for (const Action& act : actions) {
    console.out(cat({act.file, ": ", act.action, ": ", act.detail, "\n"}));
  }
  for (const RecordFileReport* r : cut) {
    if (cut_of(*r, salvage) == Cut::Salvage) write_changed_keys_text(console, *r);
  }
  for (const RecordFileReport& r : a.record_files) {
    if (salvage || !r.damage.needs_salvage()) continue;
    const size_t bad = r.damage.count(DamageKind::BadRecord);
    std::string what = r.damage.framing_damaged()
                           ? "damage in the middle is left as it is"
                           : cat({std::to_string(bad),
                                  bad == 1 ? " bad record is left as it is"
                                           : " bad records are left as they are"});
    console.out(cat({r.entry.name, ": ", what, "; run `zezavezud repair --salvage ", path,
                     "` to cut ", bad > 1 && !r.damage.framing_damaged() ? "them" : "it",
                     " (the old file is kept in lost+found/)\n"}));
  }
}

}  // namespace

int run_repair(Platform& platform, const ParsedArgs& args, Console& console) {
  const std::string& path = args.positionals[0];
  const bool dry_run = args.has("dry-run");
  const bool salvage = args.has("salvage");
  const bool json = args.has("json");
  auto dir = open_for_writing(platform, path);
  if (!dir.ok()) return console.fail(dir.error().message);
  AnalysisOptions options;
  options.salvage = salvage;
  auto analysis = analyse_directory(*dir.value(), options, console);
  if (!analysis.ok()) return console.fail(path + ": " + analysis.error().display());
  const Analysis& a = analysis.value();
  Repairer repairer(*dir.value());
  const std::vector<Step> steps = plan(repairer, a, salvage);
  // Damage in the middle left unsalvaged, and a file the engine cannot open
  // (a directory, a dangling link), which is the operator's to sort out:
  // repair never removes or replaces it.
  bool damage_left = !a.listing.unopenable.empty();
  for (const RecordFileReport& r : a.record_files) {
    damage_left |= !salvage && r.damage.needs_salvage();
  }
  const bool has_work = space_needed(steps) > 0;
  const int left = damage_left ? EXIT_DAMAGE_LEFT : EXIT_CLEAN;
  if (a.operational_error) {
    write_report(console, json, path, a, {}, salvage, dry_run);
    console.fail(path + ": a file could not be read; nothing was changed");
    return EXIT_OPERATIONAL | (a.damage_count() > 0 ? EXIT_DAMAGE_LEFT : EXIT_CLEAN);
  }
  // Repair never puts a file in a link's place, nor changes a file outside
  // the directory through one.
  bool linked = false;
  for (const Step& s : steps) {
    if (!s.symlink) continue;
    if (!linked) write_report(console, json, path, a, {}, salvage, dry_run);
    linked = true;
    console.fail(s.file +
                 " is a symbolic link: repair never replaces a link with a file nor changes "
                 "a file through one; nothing was changed (repair the file it points to, or "
                 "put the file itself in the link's place, and run repair again)");
  }
  if (linked) return EXIT_DAMAGE_LEFT;
  std::vector<Action> actions;
  Done done = Unit{};
  if (dry_run) {
    for (const Step& s : steps) actions.push_back({s.file, "would " + s.action, s.planned});
  } else if (has_work) {
    done = check_free_space(*dir.value(), space_needed(steps), "repair", path);
    if (!done.ok()) {
      write_report(console, json, path, a, {}, salvage, false);
      console.fail(done.error().message);
      return EXIT_OPERATIONAL | EXIT_DAMAGE_LEFT;
    }
  }
  for (size_t i = 0; i < steps.size() && !dry_run && done.ok(); ++i) {
    std::string detail;
    done = steps[i].run(detail);
    if (!detail.empty()) actions.push_back({steps[i].file, steps[i].action, detail});
  }
  write_report(console, json, path, a, actions, salvage, dry_run);
  // Said when there is nothing to say otherwise, so that silence never
  // leaves the operator guessing.
  if (!json && actions.empty() && a.damage_count() == 0) {
    console.out(path + ": no damage found; nothing changed\n");
  }
  if (dry_run) return has_work || damage_left ? EXIT_DAMAGE_LEFT : EXIT_CLEAN;
  for (const std::string& name : a.listing.unopenable) {
    console.fail(name +
                 ": repair never removes or replaces an entry it cannot open; move it out of the "
                 "directory, or put the file it should be in its place");
  }
  for (const std::string& collection : a.unread_collections) {
    console.fail(cat({"the backlink rows whose source is collection ", printable(collection),
                      " were kept as they are, unchecked: its record file cannot be read; run "
                      "repair again once it can"}));
  }
  if (!done.ok()) {
    console.fail(done.error().message + "; run repair again to finish");
    return left | EXIT_OPERATIONAL | (has_work ? EXIT_DAMAGE_LEFT : EXIT_CLEAN);
  }
  return left | (has_work ? EXIT_REPAIRED : EXIT_CLEAN);
}

}  // namespace zez::tool
