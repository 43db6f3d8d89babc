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

#include "db/backlink_file.h"
#include "db/record_file.h"
#include "db/replace_file.h"
#include "tool/analysis.h"
#include "tool/json.h"
#include "tool/tool.h"

namespace zez::tool {

namespace {

struct Action {
  std::string file;
  std::string action;  // "cut tail", "salvage", "rebuild backlinks", "remove"
  std::string detail;
};

// Stops the repair at the first failure; the failure is the message shown.
template <class T>
using Step = Result<T, Failure>;

std::string utc_timestamp() {
  std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &tm);
  return text;
}

std::string shown_backup(const std::string& backup) { return cat({BACKUP_DIRECTORY, "/", backup}); }

// The entry name in lost+found of a backup shown as "lost+found/NAME".
std::string backup_name_of(const std::string& shown) {
  return shown.substr(BACKUP_DIRECTORY.size() + 1);
}

Failure failed(const ReplaceError& e) { return Failure{e.display()}; }

class Repairer {
 public:
  explicit Repairer(Directory& dir) : dir_(dir) {}

  Step<Unit> remove_temp_file(const std::string& name);
  Step<Unit> cut_tail(const RecordFileReport& r);
  Step<Unit> salvage(const RecordFileReport& r);
  Step<Unit> rebuild(const BacklinkFileReport& b, const Analysis& a);

  std::vector<Action> actions;

 private:
  // lost+found, made (and its entry synced) on first use.
  Step<Directory*> backup_directory();
  // An unused name in lost+found for a copy of `name` from offset `from`.
  Step<std::string> backup_name(const std::string& name, uint64_t from);
  // Copies [from, to) of the file into a new file of lost+found, synced with
  // its directory entry; returns its path relative to the database.
  Step<std::string> save_backup(const std::string& name, File& src, uint64_t from, uint64_t to);
  // Replaces `name` with the bytes `write` puts into a temporary file, which
  // takes the owner and mode of `mode_from`, after a backup of the old file.
  // `replaced` is told the backup's path (empty when there was no old file)
  // once the new file is in place, even when the directory sync that
  // follows fails.
  Step<Unit> replace(const std::string& name, const std::string& mode_from,
                     const std::function<Result<Unit, IoError>(File&)>& write,
                     const std::function<void(const std::string& backup)>& replaced);

  Directory& dir_;
  std::unique_ptr<Directory> lost_found_;
};

Step<Directory*> Repairer::backup_directory() {
  if (!lost_found_) {
    auto sub = dir_.open_subdirectory(std::string(BACKUP_DIRECTORY), true);
    if (!sub.ok()) return io_failure(std::string(BACKUP_DIRECTORY), "cannot open", sub.error());
    auto synced = dir_.sync();  // the new subdirectory's entry
    if (!synced.ok())
      return io_failure(std::string(BACKUP_DIRECTORY), "cannot sync", synced.error());
    lost_found_ = std::move(sub).value();
  }
  return lost_found_.get();
}

Step<std::string> Repairer::backup_name(const std::string& name, uint64_t from) {
  auto lost_found = backup_directory();
  if (!lost_found.ok()) return std::move(lost_found).error();
  std::string base = name;
  base.append(".").append(std::to_string(from)).append(".").append(utc_timestamp());
  std::string backup = base;
  for (int n = 1; lost_found_->entry_type(backup).ok(); ++n) {
    backup = base;
    backup.append(".").append(std::to_string(n));
  }
  return backup;
}

Step<std::string> Repairer::save_backup(const std::string& name, File& src, uint64_t from,
                                        uint64_t to) {
  auto backup = backup_name(name, from);
  if (!backup.ok()) return std::move(backup).error();
  const std::string shown = shown_backup(backup.value());
  auto saved = save_copy(src, from, to, *lost_found_, backup.value(), shown);
  if (!saved.ok()) return failed(saved.error());
  return shown;
}

Step<Unit> Repairer::remove_temp_file(const std::string& name) {
  auto removed = dir_.remove(name);
  if (!removed.ok()) return io_failure(name, "cannot remove", removed.error());
  auto synced = dir_.sync();
  if (!synced.ok()) return io_failure(name, "cannot sync the directory", synced.error());
  actions.push_back({name, "remove", "leftover temporary file"});
  return Unit{};
}

Step<Unit> Repairer::cut_tail(const RecordFileReport& r) {
  const std::string& name = r.entry.name;
  auto reader = dir_.open(name, OpenMode::ReadOnly);
  if (!reader.ok()) return io_failure(name, "cannot open", reader.error());
  const uint64_t cut_at = r.damage.whole_end();
  auto backup = save_backup(name, *reader.value(), cut_at, r.size);
  if (!backup.ok()) return std::move(backup).error();
  auto writer = dir_.open(name, OpenMode::Append);
  if (!writer.ok()) {
    // The file is as it was, so the copy protects nothing yet.
    Failure f = io_failure(name, "cannot open", writer.error());
    if (!lost_found_->remove(backup_name_of(backup.value())).ok()) {
      f.message.append(" (").append(backup.value()).append(" is left over)");
    }
    return f;
  }
  // From here on the copy stays, whatever fails: the cut may have begun.
  auto cut = writer.value()->truncate(cut_at);
  if (!cut.ok()) return io_failure(name, "cannot truncate", cut.error());
  auto synced = writer.value()->sync();
  if (!synced.ok()) return io_failure(name, "cannot sync", synced.error());
  actions.push_back({name, "cut tail",
                     cat({"cut ", std::to_string(r.size - cut_at), " bytes at offset ",
                          std::to_string(cut_at), ", saved in ", backup.value()})});
  return Unit{};
}

Step<Unit> Repairer::replace(const std::string& name, const std::string& mode_from,
                             const std::function<Result<Unit, IoError>(File&)>& write,
                             const std::function<void(const std::string& backup)>& replaced) {
  const std::string temp = cat({name, TEMP_SUFFIX});
  auto model = dir_.open(mode_from, OpenMode::ReadOnly);
  if (!model.ok()) return io_failure(mode_from, "cannot open", model.error());
  Replacement r;
  r.name = name;
  r.temp = temp;
  r.owner_from = model.value().get();
  r.write = [&](File& out) -> Result<uint64_t, ReplaceError> {
    auto written = write(out);
    if (!written.ok()) return ReplaceError::of(temp, "cannot write", written.error());
    auto size = out.size();
    if (!size.ok()) return ReplaceError::of(temp, "cannot read the size of", size.error());
    return size.value();
  };
  if (dir_.entry_type(name).ok()) {
    auto named = backup_name(name, 0);
    if (!named.ok()) return std::move(named).error();
    r.backup_dir = lost_found_.get();
    r.backup_name = named.value();
    r.backup_shown = shown_backup(named.value());
  }
  auto done = replace_file(dir_, r);
  if (!done.ok() && !done.error().replaced) return failed(done.error().error);
  replaced(r.backup_shown);
  if (!done.ok()) return failed(done.error().error);
  return Unit{};
}

// Keeps every whole record outside the damaged regions; a tail goes too.
Step<Unit> Repairer::salvage(const RecordFileReport& r) {
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
  std::string detail = cat({"cut ", std::to_string(r.damage.regions.size()), " damaged ",
                            r.damage.regions.size() == 1 ? "region" : "regions", " (",
                            std::to_string(cut), " bytes)"});
  return replace(name, name, write, [&](const std::string& backup) {
    actions.push_back({name, "salvage", cat({detail, "; the old file is saved in ", backup})});
  });
}

Step<Unit> Repairer::rebuild(const BacklinkFileReport& b, const Analysis& a) {
  const std::string& name = b.entry.name;
  auto write = [&](File& file) -> Result<Unit, IoError> {
    ChunkWriter out(file);
    std::string buf;
    auto framed = for_each_kept_row(b, buf, [&] {
      auto w = out.append(buf);
      buf.clear();
      return w;
    });
    if (!framed.ok()) return framed;
    return out.flush();
  };
  // A new file takes the owner and mode of its collection's record file, or
  // of the record file of a collection that links to it.
  std::string mode_from = name;
  if (!b.exists) {
    mode_from = b.entry.collection + std::string(RECORD_SUFFIX);
    bool found = false;
    for (const RecordFileReport& r : a.record_files) found |= r.entry.name == mode_from;
    if (!found) mode_from = b.missing.front().source_collection + std::string(RECORD_SUFFIX);
  }
  std::string detail = b.loads ? "" : "kept the rows before the damage; ";
  detail.append("dropped ").append(std::to_string(b.stale.size())).append(" stale and added ");
  detail.append(std::to_string(b.missing.size())).append(" missing rows");
  return replace(name, mode_from, write, [&](const std::string& backup) {
    if (!backup.empty()) detail.append("; the old file is saved in ").append(backup);
    actions.push_back({name, b.exists ? "rebuild backlinks" : "create backlinks", detail});
  });
}

struct Plan {
  std::vector<std::string> temp_files;
  std::vector<const RecordFileReport*> tails;
  std::vector<const RecordFileReport*> salvages;
  std::vector<const RecordFileReport*> left;  // damage in the middle, not salvaged
  std::vector<const BacklinkFileReport*> rebuilds;
  bool damage_left = false;
};

Plan make_plan(const Analysis& a, bool salvage) {
  Plan plan;
  plan.temp_files = a.listing.temp_files;
  for (const RecordFileReport& r : a.record_files) {
    if (r.needs_salvage() && salvage) {
      plan.salvages.push_back(&r);
    } else if (r.needs_salvage()) {
      // Damage in the middle is never cut without being asked: the file is
      // left exactly as it is.
      plan.damage_left = true;
      plan.left.push_back(&r);
    } else if (r.has_tail_damage()) {
      plan.tails.push_back(&r);
    }
  }
  for (const BacklinkFileReport& b : a.backlink_files) {
    if (b.needs_rebuild()) plan.rebuilds.push_back(&b);
  }
  // A file the engine cannot open (a directory, a dangling link) is the
  // operator's to sort out: repair never removes or replaces it.
  if (!a.listing.unopenable.empty()) plan.damage_left = true;
  return plan;
}

// The files the plan would change that are symbolic links. Repair never
// puts a file in a link's place, nor changes a file outside the directory
// through one.
std::vector<std::string> linked_files_in(const Plan& plan) {
  std::vector<std::string> linked;
  for (const auto* files : {&plan.tails, &plan.salvages}) {
    for (const RecordFileReport* r : *files) {
      if (r->entry.symlink) linked.push_back(r->entry.name);
    }
  }
  for (const BacklinkFileReport* b : plan.rebuilds) {
    if (b->entry.symlink) linked.push_back(b->entry.name);
  }
  return linked;
}

// Everything the plan writes, counted as if nothing were freed on the way:
// each tail's copy; each salvaged file's replacement (never larger than the
// file); each rebuilt backlink file; and lost+found itself. A replaced file
// is kept in lost+found through a hard link, which takes no space; where
// the file system refuses the link, the copy made instead checks its own
// space before it starts (and the step fails, changing nothing, when it
// does not fit).
uint64_t space_needed(const Plan& plan) {
  uint64_t needed = 0;
  auto add = [&](uint64_t bytes) { needed = saturating_add(needed, space_for_file(bytes)); };
  for (const RecordFileReport* r : plan.tails) add(r->size - r->damage.whole_end());
  for (const RecordFileReport* r : plan.salvages) {
    uint64_t kept = 0;
    for (const auto& [from, to] : r->damage.kept()) kept += to - from;
    add(kept);
  }
  for (const BacklinkFileReport* b : plan.rebuilds) add(rebuilt_size(*b));
  if (needed > 0) add(0);
  return needed;
}

// What the plan would do, for --dry-run.
std::vector<Action> describe_plan(const Plan& plan) {
  std::vector<Action> out;
  for (const std::string& t : plan.temp_files)
    out.push_back({t, "would remove", "leftover temporary file"});
  for (const RecordFileReport* r : plan.tails) {
    out.push_back({r->entry.name, "would cut tail",
                   cat({std::to_string(r->size - r->damage.whole_end()), " bytes at offset ",
                        std::to_string(r->damage.whole_end())})});
  }
  for (const RecordFileReport* r : plan.salvages) {
    out.push_back({r->entry.name, "would salvage",
                   cat({"cut ", std::to_string(r->damage.regions.size()), " damaged regions"})});
  }
  for (const BacklinkFileReport* b : plan.rebuilds) {
    out.push_back({b->entry.name, b->exists ? "would rebuild backlinks" : "would create backlinks",
                   cat({std::to_string(b->stale.size()), " stale, ",
                        std::to_string(b->missing.size()), " missing rows"})});
  }
  return out;
}

Step<Unit> carry_out(Repairer& repairer, const Plan& plan, const Analysis& a) {
  for (const std::string& t : plan.temp_files) {
    auto r = repairer.remove_temp_file(t);
    if (!r.ok()) return r;
  }
  for (const RecordFileReport* rf : plan.salvages) {
    auto r = repairer.salvage(*rf);
    if (!r.ok()) return r;
  }
  for (const RecordFileReport* rf : plan.tails) {
    auto r = repairer.cut_tail(*rf);
    if (!r.ok()) return r;
  }
  for (const BacklinkFileReport* b : plan.rebuilds) {
    auto r = repairer.rebuild(*b, a);
    if (!r.ok()) return r;
  }
  return Unit{};
}

// Keys listed one per line before the rest are only counted.
constexpr size_t LISTED_KEYS = 20;

std::string changed_key_text(const ChangedKey& k) {
  std::string text = "key ";
  text.append(printable(k.key)).append(": its newest record at offset ");
  text.append(std::to_string(k.dropped_offset)).append(" goes; ");
  if (k.now_at) {
    text.append("the record at offset ").append(std::to_string(*k.now_at)).append(" shows instead");
  } else {
    text.append("the key is absent");
  }
  return text;
}

// The files whose cut changes what keys show: every file a salvage
// rewrites, and every file whose tail is cut.
std::vector<const RecordFileReport*> cut_files(const Plan& plan) {
  std::vector<const RecordFileReport*> out = plan.salvages;
  out.insert(out.end(), plan.tails.begin(), plan.tails.end());
  return out;
}

void write_report(Console& console, bool json, const std::string& path, const Analysis& a,
                  const std::vector<Action>& actions, const Plan& plan, bool dry_run) {
  const std::vector<const RecordFileReport*> cut = cut_files(plan);
  if (json) {
    std::string out;
    JsonWriter w(out);
    w.begin_object();
    w.write_key("directory");
    w.write_string(printable(path));
    w.write_key("dry_run");
    w.write_bool(dry_run);
    w.write_member("damage", uint64_t(a.damage_count()));
    w.write_key("findings");
    write_findings_json(w, a.findings);
    w.write_key("actions");
    w.begin_array();
    for (const Action& act : actions) {
      w.begin_object();
      w.write_key("file");
      w.write_string(printable(act.file));
      w.write_key("action");
      w.write_string(act.action);
      w.write_key("detail");
      w.write_string(printable(act.detail));
      w.end_object();
    }
    w.end_array();
    w.write_key("changed_keys");
    w.begin_array();
    for (const RecordFileReport* r : cut) {
      for (const ChangedKey& k : r->changed_keys) {
        w.begin_object();
        w.write_key("file");
        w.write_string(printable(r->entry.name));
        w.write_key("key");
        w.write_string(printable(k.key));
        w.write_member("dropped_offset", k.dropped_offset);
        w.write_key("now_offset");
        if (k.now_at) {
          w.write_uint(*k.now_at);
        } else {
          w.write_null();
        }
        w.end_object();
      }
    }
    w.end_array();
    w.write_key("keys_only_after_damage");
    w.begin_array();
    for (const RecordFileReport* r : plan.salvages) {
      for (const std::string& key : r->only_after_damage) {
        w.begin_object();
        w.write_key("file");
        w.write_string(printable(r->entry.name));
        w.write_key("key");
        w.write_string(printable(key));
        w.end_object();
      }
    }
    w.end_array();
    w.end_object();
    out.push_back('\n');
    console.out(out);
    return;
  }
  write_findings_text(console, a.findings);
  for (const Action& act : actions)
    console.out(act.file + ": " + act.action + ": " + act.detail + "\n");
  for (const RecordFileReport* r : cut) {
    for (size_t n = 0; n < r->changed_keys.size() && n < LISTED_KEYS; ++n) {
      console.out(r->entry.name + ": changed " + changed_key_text(r->changed_keys[n]) + "\n");
    }
    if (r->changed_keys.size() > LISTED_KEYS) {
      console.out(cat({r->entry.name, ": changed ",
                       std::to_string(r->changed_keys.size() - LISTED_KEYS), " more keys\n"}));
    }
  }
  for (const RecordFileReport* r : plan.salvages) {
    const auto& keys = r->only_after_damage;
    for (size_t n = 0; n < keys.size() && n < LISTED_KEYS; ++n) {
      console.out(r->entry.name + ": key " + printable(keys[n]) +
                  " exists only after damage: its records may be bytes of a stored value\n");
    }
    if (keys.size() > LISTED_KEYS) {
      console.out(cat({r->entry.name, ": ", std::to_string(keys.size() - LISTED_KEYS),
                       " more keys exist only after damage\n"}));
    }
  }
  for (const RecordFileReport* r : plan.left) {
    console.out(cat({r->entry.name,
                     ": damage in the middle is left as it is; run `zezavezud repair --salvage ",
                     path, "` to cut it (the old file is kept in lost+found/)\n"}));
  }
}

}  // namespace

int run_repair(Platform& platform, const ParsedArgs& args, Console& console) {
  const std::string& path = args.positionals[0];
  const bool dry_run = args.has("dry-run");
  const bool salvage = args.has("salvage");
  auto dir = open_for_writing(platform, path);
  if (!dir.ok()) {
    console.err("zezavezud: " + dir.error().message);
    return EXIT_OPERATIONAL;
  }
  AnalysisOptions options;
  options.salvage = salvage;
  options.list_keys_only_after_damage = salvage;
  auto analysis = analyse_directory(*dir.value(), options, console);
  if (!analysis.ok()) {
    console.err("zezavezud: " + path + ": " + analysis.error().display());
    return EXIT_OPERATIONAL;
  }
  const Analysis& a = analysis.value();
  const Plan plan = make_plan(a, salvage);
  const bool has_work = !plan.tails.empty() || !plan.salvages.empty() || !plan.rebuilds.empty();
  if (a.operational_error) {
    write_report(console, args.has("json"), path, a, {}, plan, dry_run);
    console.err("zezavezud: " + path + ": a file could not be read; nothing was changed");
    return EXIT_OPERATIONAL | (a.damage_count() > 0 ? EXIT_DAMAGE_LEFT : EXIT_CLEAN);
  }
  const bool json = args.has("json");
  // Said when there is nothing to say otherwise, so that silence never
  // leaves the operator guessing.
  auto say_if_clean = [&](const std::vector<Action>& actions) {
    if (!json && actions.empty() && a.damage_count() == 0) {
      console.out(path + ": no damage found; nothing changed\n");
    }
  };
  const std::vector<std::string> linked = linked_files_in(plan);
  if (!linked.empty()) {
    write_report(console, json, path, a, {}, plan, dry_run);
    for (const std::string& name : linked) {
      console.err("zezavezud: " + name +
                  " is a symbolic link: repair never replaces a link with a file nor changes "
                  "a file through one; nothing was changed (repair the file it points to, or "
                  "put the file itself in the link's place, and run repair again)");
    }
    return EXIT_DAMAGE_LEFT;
  }
  if (dry_run) {
    const std::vector<Action> planned = describe_plan(plan);
    write_report(console, json, path, a, planned, plan, true);
    say_if_clean(planned);
    return has_work || plan.damage_left ? EXIT_DAMAGE_LEFT : EXIT_CLEAN;
  }
  if (has_work) {
    auto space = check_free_space(*dir.value(), space_needed(plan), "repair", path);
    if (!space.ok()) {
      write_report(console, args.has("json"), path, a, {}, plan, false);
      console.err("zezavezud: " + space.error().message);
      return EXIT_OPERATIONAL | EXIT_DAMAGE_LEFT;
    }
  }
  Repairer repairer(*dir.value());
  auto done = carry_out(repairer, plan, a);
  write_report(console, json, path, a, repairer.actions, plan, false);
  say_if_clean(repairer.actions);
  for (const std::string& name : a.listing.unopenable) {
    console.err("zezavezud: " + name +
                ": repair never removes or replaces an entry it cannot open; move it out of the "
                "directory, or put the file it should be in its place");
  }
  int status = plan.damage_left ? EXIT_DAMAGE_LEFT : EXIT_CLEAN;
  if (!done.ok()) {
    console.err("zezavezud: " + done.error().message + "; run repair again to finish");
    return status | EXIT_OPERATIONAL | (has_work ? EXIT_DAMAGE_LEFT : EXIT_CLEAN);
  }
  if (has_work) status |= EXIT_REPAIRED;
  return status;
}

}  // namespace zez::tool
