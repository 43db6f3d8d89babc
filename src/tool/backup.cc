// `zezavezud backup DIR DEST [--compact] [--json]`: copies a database
// directory that programs may have open and be writing, into a new
// directory DEST that appears complete or not at all.
//
// Backup holds the directory's shared lock: writers go on, the maintenance
// commands that need the exclusive lock wait their turn. Each record file's
// bytes are copied as they are at the moment of the copy, and the copy is
// then judged as check judges a file: it is cut at the end of its last whole
// record, so a record being appended at that moment is left out, never kept
// torn. A writer can also shorten a file (a failed append is cut back), so
// the size is asked again after the copy, and a copy that reaches past it is
// made again below it. Any other damage is copied as it is and reported
// as check reports it: a backup keeps every byte the source holds, and
// leaves the choice of what to give up to a repair, which keeps what it
// removes.
//
// Collections are copied one after another: each is a prefix of its log at
// some moment during the backup, not all at one moment, which would need
// the writers to stop. Backlink files are copied after all record files;
// where one does not agree with the copied records (a write went on between
// the two copies), it is rebuilt as repair rebuilds it: the rows the records
// imply, in the order the file holds them, the missing ones after.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>

#include "db/backlink_file.h"
#include "db/damage.h"
#include "db/replace_file.h"
#include "tool/analysis.h"
#include "tool/publish.h"
#include "tool/tool.h"

namespace zez::tool {

namespace {

// A database file of DIR, held open from the listing to its copy.
struct Source {
  std::string name;
  bool is_records;
  std::unique_ptr<File> file;
  uint32_t mode = 0600;
};

struct Figures {
  uint64_t files = 0;
  uint64_t bytes = 0;
  uint64_t records = 0;
};

// Whether DEST is DIR or lies inside it, judged by the directories
// themselves, so that neither a link nor ".." in a path can hide it: from
// DEST (or the nearest directory above it that exists) up to the root.
Result<bool, Failure> lies_inside(Platform& platform, Directory& dir, const std::string& dest) {
  auto cannot_tell = [&](const IoError& e) {
    return Failure{dest + ": cannot tell whether it lies inside the directory backed up (" +
                   e.display() + "); nothing was changed"};
  };
  auto id = dir.identity();
  if (!id.ok()) return cannot_tell(id.error());
  std::string at = dest;
  while (at.size() > 1 && at.back() == '/') at.pop_back();
  std::unique_ptr<Directory> here;
  for (;;) {
    auto opened = platform.open_existing_directory(at);
    if (opened.ok()) {
      here = std::move(opened).value();
      break;
    }
    // Not a directory (DEST is a file): the check of DEST itself refuses it.
    if (opened.error().os_code() != ENOENT || at == "." || at == "/") return false;
    const size_t slash = at.rfind('/');
    at = slash == std::string::npos ? "." : slash == 0 ? "/" : at.substr(0, slash);
  }
  for (;;) {
    auto here_id = here->identity();
    if (!here_id.ok()) return cannot_tell(here_id.error());
    if (here_id.value() == id.value()) return true;
    at.append("/..");
    auto up = platform.open_existing_directory(at);
    if (!up.ok()) return cannot_tell(up.error());
    auto up_id = up.value()->identity();
    if (!up_id.ok()) return cannot_tell(up_id.error());
    if (up_id.value() == here_id.value()) return false;  // the root
    here = std::move(up).value();
  }
}

// Gives the copy the permission bits of its source (not its owner: that
// would need privileges, and the copy belongs to whoever made it).
Result<Unit, IoError> take_mode(File& out, uint32_t mode) {
  auto own = out.owner_and_mode();
  if (!own.ok()) return std::move(own).error();
  OwnerAndMode to = own.value();
  to.mode = mode;
  return out.set_owner_and_mode(to);
}

// Copies the file's whole records as they are at the moment of the copy: a
// record file up to its size (its whole records are judged later, on the
// copy, which no writer touches), a backlink file up to the end of its last
// whole record. A writer may cut a file back (a failed append, never
// acknowledged): when the file then ends below what was copied, the copy
// is made again up to the new end. Returns the bytes copied.
Result<uint64_t, Failure> copy_source(Source& s, Directory& temp, Console& console) {
  uint64_t limit = UINT64_MAX;
  // A file cut back during every attempt is not worth chasing for ever.
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint64_t end = 0;
    if (s.is_records) {
      auto size = s.file->size();
      if (!size.ok()) return io_failure(s.name, "cannot read", size.error());
      end = std::min(size.value(), limit);
      console.progress("copying " + s.name, 0, end);
    } else {
      ScanEnd scanned = scan_backlink_file(*s.file, [](const BacklinkRecordView&) { return true; });
      if (scanned.stop == ScanStop::Io && scanned.error) {
        return io_failure(s.name, "cannot read", *scanned.error);
      }
      end = scanned.offset;
    }
    auto out = temp.open(s.name, OpenMode::CreateTruncate);
    if (!out.ok()) return io_failure(s.name, "cannot create the copy", out.error());
    auto copied = copy_range(*s.file, *out.value(), 0, end);
    auto after = s.file->size();
    if (!after.ok()) return io_failure(s.name, "cannot read", after.error());
    if (after.value() < end) {
      limit = after.value();
      continue;
    }
    if (!copied.ok()) return io_failure(s.name, "cannot copy", copied.error());
    auto moded = take_mode(*out.value(), s.mode);
    if (!moded.ok()) return io_failure(s.name, "cannot write the copy", moded.error());
    return end;
  }
  return Failure{s.name + ": it was cut back during every attempt to copy it"};
}

// Writes the live records of the copy of a record file, [0, end), which
// the analysis of the copy found, beside it and renames them over it.
// Returns its size.
Result<uint64_t, Failure> compact_copy(Directory& temp, const RecordFileReport& r, uint64_t end,
                                       uint32_t mode) {
  // Every record is live: the copy stays as it is.
  if (r.live_records == r.records) return end;
  const std::string& name = r.entry.name;
  auto reader = temp.open(name, OpenMode::ReadOnly);
  if (!reader.ok()) return io_failure(name, "cannot open the copy", reader.error());
  const std::string live = cat({name, TEMP_SUFFIX});
  auto out = temp.open(live, OpenMode::CreateTruncate);
  if (!out.ok()) {
    return Failure{cat({live, ": cannot copy the live records: ", live, ": cannot create: ",
                        out.error().display()})};
  }
  auto written = copy_live_records(*reader.value(), end, r.live_starts, *out.value());
  if (!written.ok()) return Failure{live + ": cannot copy the live records: " + written.error()};
  auto done = take_mode(*out.value(), mode);
  if (done.ok()) done = temp.rename(live, name);
  if (!done.ok()) return io_failure(live, "cannot write the live records", done.error());
  return written.value();
}

// Everything after the copy directory is made: the files, their backlinks,
// the syncs. Returns the figures.
Result<Figures, Failure> fill(Directory& temp, std::vector<Source>& sources, bool compact,
                              bool in_use, const std::string& dest,
                              std::vector<Finding>& findings, Console& console) {
  // The mode and size of each file of the copy.
  std::map<std::string, std::pair<uint32_t, uint64_t>> copied;
  for (Source& s : sources) {
    auto bytes = copy_source(s, temp, console);
    if (!bytes.ok()) return bytes.error();
    copied[s.name] = {s.mode, bytes.value()};
    s.file.reset();
  }
  // The copy read back as check reads it: where its record files are
  // damaged, its records, and whether each backlink file agrees with them.
  // Rows from a damaged record file are neither confirmed nor refuted:
  // the copy keeps that file whole, so its backlinks stay as they are.
  auto analyse = [&](bool salvage) -> Result<Analysis, Failure> {
    AnalysisOptions options;
    options.salvage = salvage;
    auto analysis = analyse_directory(temp, options, console);
    if (!analysis.ok()) return io_failure(dest, "cannot read the copy", analysis.error());
    if (analysis.value().operational_error) return Failure{dest + ": cannot read the copy back"};
    return std::move(analysis).value();
  };
  auto analysis = analyse(false);
  if (!analysis.ok()) return analysis.error();
  // A torn or zero-filled tail in a file in use is the record being
  // appended: it is left out. Every other byte stays, damage included.
  bool damaged = false;
  for (RecordFileReport& r : analysis.value().record_files) {
    std::vector<DamagedRegion>& regions = r.damage.regions;
    if (in_use && !regions.empty() &&
        (regions.back().kind == DamageKind::TornTail || regions.back().kind == DamageKind::ZeroTail)) {
      const uint64_t end = regions.back().start;
      auto copy = temp.open(r.entry.name, OpenMode::Append);
      if (!copy.ok()) return io_failure(r.entry.name, "cannot open the copy", copy.error());
      auto cut_back = copy.value()->truncate(end);
      if (!cut_back.ok()) return io_failure(r.entry.name, "cannot cut the copy", cut_back.error());
      findings.push_back(Finding{Finding::Severity::Note, r.entry.name, end, "left out",
                                 "the last " + std::to_string(r.size - end) +
                                     " bytes are a record being written"});
      copied[r.entry.name].second = end;
      regions.pop_back();
      r.damage.size = r.size = end;
    }
    damaged |= !r.damage.clean();
  }
  const Analysis& a = analysis.value();
  Figures figures;
  for (const RecordFileReport& r : a.record_files) {
    figures.records += r.records;
    if (!compact) continue;
    if (!r.damage.clean()) {
      findings.push_back(Finding{Finding::Severity::Note, r.entry.name, std::nullopt,
                                 "not compacted", "it is damaged, so it is copied whole"});
      continue;
    }
    auto compacted = compact_copy(temp, r, r.size, copied[r.entry.name].first);
    if (!compacted.ok()) return compacted.error();
    copied[r.entry.name].second = compacted.value();
  }
  // With --compact, every backlink file is written again with its current
  // rows only, as compact writes it; this takes no more room than its copy.
  std::vector<const BacklinkFileReport*> rebuilds;
  uint64_t needed = 0;
  for (const BacklinkFileReport& b : a.backlink_files) {
    if (b.needs_rebuild()) {
      needed = saturating_add(needed, space_for_file(write_backlinks(b, nullptr).value()));
    } else if (!compact || !b.exists) {
      continue;
    }
    rebuilds.push_back(&b);
  }
  if (needed > 0) {
    auto space = check_free_space(temp, needed, "backup", dest);
    if (!space.ok()) return space.error();
  }
  for (const BacklinkFileReport* b : rebuilds) {
    const std::string& name = b->entry.name;
    // A new file takes the mode of its collection's record file.
    uint32_t mode = 0600;
    for (const std::string& like : {name, b->entry.collection + std::string(RECORD_SUFFIX)}) {
      if (auto m = copied.find(like); m != copied.end()) {
        mode = m->second.first;
        break;
      }
    }
    auto out = temp.open(name, OpenMode::CreateTruncate);
    if (!out.ok()) return io_failure(name, "cannot create the copy", out.error());
    auto written = write_backlinks(*b, out.value().get());
    auto moded = written.ok() ? take_mode(*out.value(), mode) : written.error();
    if (!moded.ok()) return io_failure(name, "cannot write the rebuilt backlinks", moded.error());
    copied[name] = {mode, written.value()};
    if (!b->needs_rebuild()) continue;
    findings.push_back(Finding{
        Finding::Severity::Note, name, std::nullopt, "backlinks rebuilt",
        "the copied file did not agree with the copied records (a write between the two "
        "copies, or damage in the source): dropped " +
            std::to_string(b->stale.size()) + " stale and added " +
            std::to_string(b->missing.size()) + " missing rows"});
  }
  // The damage the copy holds, as check of it reports it: with a damaged
  // record file, everything check says; otherwise what is neither a record
  // being written nor a backlink file rebuilt above (never expected, but
  // never hidden).
  if (damaged) {
    auto checked = analyse(true);
    if (!checked.ok()) return checked.error();
    for (const Finding& f : checked.value().findings) {
      if (f.severity == Finding::Severity::Damage) findings.push_back(f);
    }
  } else {
    // The only record file damage was a record being written, left out.
    for (const Finding& f : a.findings) {
      if (f.severity == Finding::Severity::Damage && f.cause == Finding::Cause::Other) {
        findings.push_back(f);
      }
    }
  }
  // Every file of the copy, and its directory, reach stable storage before
  // the copy is published.
  auto synced = sync_database_files(temp);
  if (!synced.ok()) {
    const SyncFailure& f = synced.error();
    return io_failure(f.file.empty() ? dest : f.file, "cannot sync the copy", f.error);
  }
  figures.files = copied.size();
  for (const auto& [name, file] : copied) figures.bytes += file.second;
  return figures;
}

void write_report(Console& console, const std::string& path, const std::string& dest,
                  const std::vector<Finding>& findings, const Figures& figures,
                  uint64_t milliseconds, bool json) {
  const uint64_t damage = count_findings(findings, Finding::Severity::Damage);
  if (json) {
    write_json_report(console, [&](JsonWriter& w) {
      w.write_key("findings");
      write_findings_json(w, findings);
      w.write_member("files", figures.files);
      w.write_member("bytes", figures.bytes);
      w.write_member("records", figures.records);
      w.write_member("milliseconds", milliseconds);
      w.write_member("damage", damage);
    });
    return;
  }
  write_findings_text(console, findings);
  // The milliseconds as three digits after the point.
  const std::string fraction = std::to_string(1000 + milliseconds % 1000).substr(1);
  std::string out = cat({"backed up ", path, " to ", dest, ": ", std::to_string(figures.files), " files, ",
             std::to_string(figures.bytes), " bytes, ", std::to_string(figures.records),
             " records in ", std::to_string(milliseconds / 1000), ".", fraction, " s"});
  if (damage > 0) {
    out.append("; the source is damaged and the copy holds the damage as it is (");
    out.append(std::to_string(damage)).append(damage == 1 ? " finding" : " findings");
    out.append("): run `zezavezud repair` on the copy or the source");
  }
  out.push_back('\n');
  console.out(out);
}

}  // namespace

int run_backup(Platform& platform, const ParsedArgs& args, Console& console) {
  const auto started = std::chrono::steady_clock::now();
  const std::string& path = args.positionals[0];
  const std::string& dest = args.positionals[1];
  const bool compact = args.has("compact");
  bool in_use = false;
  auto opened = open_for_copying(platform, path, in_use);
  if (!opened.ok()) return console.fail(opened.error().message);
  Directory& dir = *opened.value();
  auto inside = lies_inside(platform, dir, dest);
  if (!inside.ok()) return console.fail(inside.error().message);
  if (inside.value()) {
    return console.fail(dest + " lies inside " + path +
                        ": a copy there would become part of the database; nothing was changed");
  }
  auto target = Publisher::open(platform, dest, "backup", "backed up");
  if (!target.ok()) return console.fail(target.error().message);
  Publisher& publisher = target.value();
  auto held = publisher.hold_target(platform);
  if (!held.ok()) return console.fail(held.error().message);

  auto listing = list_directory(dir);
  if (!listing.ok()) {
    return console.fail(path + ": " + listing.error().display() + "; nothing was changed");
  }
  std::vector<Finding> findings = listing.value().notes;
  if (listing.value().incomplete) {
    for (const Finding& f : findings) console.err(f.display());
    return console.fail(path + ": not every file can be read; nothing was changed");
  }
  if (dir.entry_type(std::string(LOAD_MARKER)).ok()) {
    findings.push_back(Finding{Finding::Severity::Damage, std::string(LOAD_MARKER), std::nullopt,
                               "unfinished merge",
                               "a `zezavezud load --merge` into the directory did not finish: "
                               "records of its input may be missing; the marker is not copied"});
  }
  std::vector<Source> sources;
  uint64_t needed = 0;
  uint64_t largest = 0;
  for (const auto* files : {&listing.value().record_files, &listing.value().backlink_files}) {
    for (const DirectoryListing::Entry& e : *files) {
      Source s{e.name, files == &listing.value().record_files, nullptr};
      auto file = dir.open(e.name, OpenMode::ReadOnly);
      if (!file.ok()) return console.fail(io_failure(e.name, "cannot open", file.error()).message);
      s.file = std::move(file).value();
      auto size = s.file->size();
      if (!size.ok()) return console.fail(io_failure(e.name, "cannot read", size.error()).message);
      auto mode = s.file->owner_and_mode();
      if (mode.ok()) s.mode = mode.value().mode;
      needed = saturating_add(needed, space_for_file(size.value()));
      if (s.is_records) largest = std::max(largest, size.value());
      sources.push_back(std::move(s));
    }
  }
  // --compact writes a record file's live records beside its whole copy.
  if (compact) needed = saturating_add(needed, space_for_file(largest));
  auto made = publisher.make_temp(needed, console);
  if (!made.ok()) return console.fail(made.error().message);

  auto filled = fill(*made.value(), sources, compact, in_use, dest, findings, console);
  if (!filled.ok()) return console.fail(filled.error().message + publisher.abandon());
  auto published = publisher.publish();
  if (!published.ok()) return console.fail(published.error().message);
  held.value().reset();
  const auto elapsed = std::chrono::steady_clock::now() - started;
  write_report(console, path, dest, findings, filled.value(),
               uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()),
               args.has("json"));
  return count_findings(findings, Finding::Severity::Damage) > 0 ? EXIT_DAMAGE_LEFT : EXIT_CLEAN;
}

}  // namespace zez::tool
