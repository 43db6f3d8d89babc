// `zezavezud compact DIR [--collection NAME] [--json]`: rewrites each record
// file with only its live records and each backlink file with only its
// current rows. Nothing a user can read changes: record bytes are copied as
// they are, in file order, and backlink rows become add records in the order
// a query returns them. Each file is replaced through replace_file, its copy
// read back once on disk, so a crash leaves every file old or new.
//
// The first pass reads every file in scope and refuses the whole directory,
// changing nothing, when one is damaged or the disk cannot hold the largest
// rewritten file; the second rewrites them one by one.
#include <algorithm>
#include <cstring>
#include <functional>

#include "db/backlink_file.h"
#include "db/backlink_index.h"
#include "db/damage.h"
#include "db/record_file.h"
#include "db/replace_file.h"
#include "db/text_map.h"
#include "tool/analysis.h"
#include "tool/json.h"
#include "tool/live_index.h"
#include "tool/tool.h"

namespace zez::tool {

namespace {

// An operational failure of one file: "FILE: WHAT".
Failure failed(std::string_view file, std::string_view what) {
  return Failure{cat({file, ": ", what})};
}

// One file in scope, and what compacting it does.
struct Target {
  std::string file;
  bool is_records;
  uint64_t bytes_before = 0;
  uint64_t bytes_after = 0;  // first the size it will have, then the size it has
  // A record file's first reading, which the second pass copies from: the
  // open file and its live records in file order. A file whose records are
  // all live (a backlink file without remove records) is as small as
  // compact can make it, and is left as it is.
  std::unique_ptr<File> records = nullptr;
  bool all_live = false;
  std::vector<LiveSpan> live = {};

  bool rewritten() const { return !all_live; }
};

// Calls `piece(bytes)` for the bytes of `spans` in `src`, in order, a window
// at a time.
template <class Piece>
Result<Unit, IoError> read_spans(File& src, uint64_t size, const std::vector<LiveSpan>& spans,
                                 Piece&& piece) {
  WindowReader in(src, size);
  for (const LiveSpan& span : spans) {
    for (uint64_t done = 0; done < span.size;) {
      auto bytes = in.next(span.offset + done, span.size - done);
      if (!bytes.ok()) return std::move(bytes).error();
      auto r = piece(bytes.value());
      if (!r.ok()) return r;
      done += bytes.value().size();
    }
  }
  return Unit{};
}

// Replaces `file` through the engine's one protocol: `fill` writes the new
// bytes, which `verify` reads back once they are on disk. Returns the new
// file's size.
Result<uint64_t, Failure> replace(
    Directory& dir, const std::string& file, File& original,
    const std::function<Result<Unit, ReplaceError>(ChunkWriter&)>& fill,
    const std::function<Result<Unit, ReplaceError>(File&, uint64_t)>& verify) {
  Replacement r;
  r.name = file;
  r.temp = temp_name_of(file);
  r.owner_from = &original;
  r.write = [&](File& out) -> Result<uint64_t, ReplaceError> {
    ChunkWriter writer(out);
    auto filled = fill(writer);
    if (!filled.ok()) return filled.error();
    auto flushed = writer.flush();
    if (!flushed.ok()) return ReplaceError::of(r.temp, "cannot write", flushed.error());
    return writer.written();
  };
  r.verify = verify;
  // Each file is old or new after a crash, and either reads the same: the
  // directory is forced once, after the last rename.
  r.sync_directory = false;
  auto replaced = replace_file(dir, r);
  if (replaced.ok()) return replaced.value();
  return Failure{replaced.error().error.display()};
}

// ---- Record files -----------------------------------------------------------

// Opens the record file and finds its live records in the pass that
// classifies it, refusing a file the engine could not load, named as check
// names it.
Result<Unit, Failure> index_record_file(Directory& dir, Target& t) {
  auto opened = dir.open(t.file, OpenMode::ReadOnly);
  if (!opened.ok()) return failed(t.file, opened.error().display());
  t.records = std::move(opened).value();
  auto size = t.records->size();
  if (!size.ok()) return failed(t.file, size.error().display());
  LiveRecordTable live(size.value());
  auto damage =
      classify_record_file(*t.records, size.value(), {}, [&](const RecordView& r) { live.add(r); });
  if (!damage.ok()) return failed(t.file, damage.error().display());
  if (!damage.value().clean()) {
    std::vector<Finding> findings;
    add_record_file_findings(t.file, damage.value(), {}, findings);
    // Damage in the middle: plain repair leaves it, only a salvage cuts it.
    return Failure{findings.front().display(), EXIT_DAMAGE_LEFT,
                   damage.value().needs_salvage() ? "repair --salvage" : "repair"};
  }
  live.finish();
  t.bytes_before = size.value();
  t.bytes_after = live.live_bytes();
  t.all_live = live.all_live();
  if (!t.all_live) t.live = live.take_live();
  return Unit{};
}

Result<uint64_t, Failure> compact_record_file(Directory& dir, Target& t) {
  const std::string temp = temp_name_of(t.file);
  auto fill = [&](ChunkWriter& out) -> Result<Unit, ReplaceError> {
    auto copied = read_spans(*t.records, t.bytes_before, t.live,
                             [&](std::string_view bytes) { return out.append(bytes); });
    if (!copied.ok()) return ReplaceError::of(temp, "cannot copy records into", copied.error());
    return Unit{};
  };
  // The copy must hold, byte for byte, the live records it was meant to.
  auto verify = [&](File& copy, uint64_t size) -> Result<Unit, ReplaceError> {
    const ReplaceError mismatch{temp, "read back", "bytes other than the live records"};
    if (size != t.bytes_after) return mismatch;
    WindowReader written(copy, size);
    uint64_t at = 0;
    bool same = true;
    bool back_failed = false;
    auto read = read_spans(*t.records, t.bytes_before, t.live,
                           [&](std::string_view want) -> Result<Unit, IoError> {
                             const uint8_t* got = written.view(at, want.size());
                             back_failed = got == nullptr;
                             if (back_failed) return written.take_error();
                             same = same && std::memcmp(got, want.data(), want.size()) == 0;
                             at += want.size();
                             return Unit{};
                           });
    if (!read.ok() && back_failed) return ReplaceError::of(temp, "cannot read back", read.error());
    if (!read.ok()) return ReplaceError::of(t.file, "cannot read", read.error());
    if (!same) return mismatch;
    return Unit{};
  };
  return replace(dir, t.file, *t.records, fill, verify);
}

}  // namespace

Result<uint64_t, std::string> copy_live_records(File& src, uint64_t end, const LiveStarts& live,
                                                File& out) {
  std::vector<LiveSpan> spans;
  ScanEnd scanned = scan_record_file(src, end, [&](const RecordView& r) {
    if (!live.has(r.offset)) return true;
    if (!spans.empty() && spans.back().offset + spans.back().size == r.offset) {
      spans.back().size += r.end() - r.offset;
    } else {
      spans.push_back(LiveSpan{r.offset, r.end() - r.offset});
    }
    return true;
  });
  if (scanned.stop == ScanStop::Io) return scanned.error->display();
  if (scanned.stop != ScanStop::End) return std::string("not whole records up to the end");
  ChunkWriter writer(out);
  auto copied = read_spans(src, end, spans, [&](std::string_view b) { return writer.append(b); });
  if (copied.ok()) copied = writer.flush();
  if (!copied.ok()) return copied.error().display();
  return writer.written();
}

namespace {

// ---- Backlink files ---------------------------------------------------------

// A backlink file replayed as the engine replays it, and the keys that have
// rows, in the order of their first add record.
struct BacklinkRows {
  std::unique_ptr<BacklinkIndex> index;
  std::vector<std::string> keys;
  bool all_live = true;  // no remove record: every add record is a current row
};

Result<BacklinkRows, Failure> read_backlink_rows(Directory& dir, const std::string& name) {
  auto loaded = BacklinkIndex::load(dir, name);
  if (!loaded.ok()) {
    // The engine's own messages mean the bytes are wrong; a system error
    // means they could not be read.
    if (loaded.error().os_code() != 0) return failed(name, loaded.error().display());
    return Failure{cat({name, ":0: the engine cannot load it: ", loaded.error().display()}),
                   EXIT_DAMAGE_LEFT, "repair"};
  }
  BacklinkRows rows{std::move(loaded).value(), {}};
  auto opened = dir.open(name, OpenMode::ReadOnly);
  if (!opened.ok()) return failed(name, opened.error().display());
  TextSet seen;
  ScanEnd end = scan_backlink_file(*opened.value(), [&](const BacklinkRecordView& r) {
    if (r.op == BACKLINK_OP_ADD && seen.emplace(r.strings.target_key).second) {
      rows.keys.emplace_back(r.strings.target_key);
    }
    rows.all_live = rows.all_live && r.op == BACKLINK_OP_ADD;
    return true;
  });
  if (end.stop == ScanStop::Io) return failed(name, end.error->display());
  if (end.stop != ScanStop::End) return failed(name, "changed during compact");
  return rows;
}

// Frames every current row as an add record, key by key in the order of
// BacklinkRows::keys, each key's rows in query order, and hands it to `sink`.
template <class Sink>
Result<Unit, IoError> frame_rows(const BacklinkRows& rows, Sink&& sink) {
  std::string record;
  for (const std::string& key : rows.keys) {
    for (const Backlink& b : rows.index->query(key)) {
      record.clear();
      auto r = frame_backlink_record(
          BACKLINK_OP_ADD, {key, b.source_collection, b.source_key, b.source_path}, record);
      if (r.ok()) r = sink(std::string_view(record));
      if (!r.ok()) return r;
    }
  }
  return Unit{};
}

Result<uint64_t, Failure> compact_backlink_file(Directory& dir, const std::string& name) {
  auto rows = read_backlink_rows(dir, name);
  if (!rows.ok()) return rows.error();
  auto original = dir.open(name, OpenMode::ReadOnly);
  if (!original.ok()) return failed(name, original.error().display());
  const std::string temp = temp_name_of(name);
  auto fill = [&](ChunkWriter& out) -> Result<Unit, ReplaceError> {
    auto written =
        frame_rows(rows.value(), [&](std::string_view record) { return out.append(record); });
    if (!written.ok()) return ReplaceError::of(temp, "cannot write", written.error());
    return Unit{};
  };
  // The copy, replayed by the engine, must answer every query as the
  // original does. Keys without rows in the original have none in the copy,
  // which holds add records for the listed keys only.
  auto verify = [&](File&, uint64_t) -> Result<Unit, ReplaceError> {
    auto loaded = BacklinkIndex::load(dir, temp);
    if (!loaded.ok()) return ReplaceError::of(temp, "cannot read back", loaded.error());
    for (const std::string& key : rows.value().keys) {
      if (loaded.value()->query(key) != rows.value().index->query(key)) {
        return ReplaceError{temp, "read back", "rows other than the current ones"};
      }
    }
    return Unit{};
  };
  return replace(dir, name, *original.value(), fill, verify);
}

// ---- The command ------------------------------------------------------------

// The files in scope, in collection order: record files, then backlink files.
// Refuses, changing nothing, a collection that does not exist, a file in
// scope that is a symbolic link (a rewrite would put a file in its place),
// and one the engine cannot open.
Result<std::vector<Target>, Failure> select_targets(const DirectoryListing& listing,
                                                    const std::string* only,
                                                    const std::string& path) {
  if (only && !has_collection(listing, *only)) {
    return Failure{no_collection_message(path, *only)};
  }
  for (const Finding& f : listing.notes) {
    const auto file = database_file_of(f.file);
    const bool in_scope = file && (!only || file->collection == *only);
    if (in_scope && std::count(listing.unopenable.begin(), listing.unopenable.end(), f.file)) {
      return Failure{cat({f.display(), "; nothing was changed"}),
                     f.severity == Finding::Severity::Damage ? EXIT_DAMAGE_LEFT : EXIT_OPERATIONAL};
    }
  }
  std::vector<Target> targets;
  for (const auto* files : {&listing.record_files, &listing.backlink_files}) {
    for (const auto& e : *files) {
      if (only && e.collection != *only) continue;
      if (e.symlink) {
        return Failure{cat({e.name,
                            " is a symbolic link: compact never replaces a link with a file; "
                            "nothing was changed (put the file itself in the link's place to "
                            "compact it)"}),
                       EXIT_DAMAGE_LEFT};
      }
      targets.push_back(Target{e.name, files == &listing.record_files});
    }
  }
  return targets;
}

// The first pass over one file: its size now and after, refusing damage.
Result<Unit, Failure> measure(Directory& dir, Target& t) {
  if (t.is_records) return index_record_file(dir, t);
  auto info = dir.entry_type(t.file);
  if (!info.ok()) return failed(t.file, info.error().display());
  t.bytes_before = info.value().size;
  auto rows = read_backlink_rows(dir, t.file);
  if (!rows.ok()) return rows.error();
  t.all_live = rows.value().all_live;
  if (t.all_live) {
    t.bytes_after = t.bytes_before;
    return Unit{};
  }
  auto counted = frame_rows(rows.value(), [&](std::string_view record) -> Result<Unit, IoError> {
    t.bytes_after += record.size();
    return Unit{};
  });
  if (!counted.ok()) return failed(t.file, counted.error().display());
  return Unit{};
}

void write_report(Console& console, const std::vector<Target>& targets, bool json) {
  uint64_t before = 0;
  uint64_t after = 0;
  for (const Target& t : targets) {
    before += t.bytes_before;
    after += t.bytes_after;
  }
  std::string out;
  if (!json) {
    auto line = [&](std::string_view what, uint64_t b, uint64_t a) {
      out.append(cat({what, ": ", std::to_string(b), " -> ", std::to_string(a), " bytes\n"}));
    };
    for (const Target& t : targets) line(t.file, t.bytes_before, t.bytes_after);
    line("total", before, after);
    return console.out(out);
  }
  JsonWriter w(out);
  w.begin_object();
  w.write_key("files");
  w.begin_array();
  for (const Target& t : targets) {
    w.begin_object();
    w.write_key("file");
    w.write_string(t.file);
    w.write_member("bytes_before", t.bytes_before);
    w.write_member("bytes_after", t.bytes_after);
    w.end_object();
  }
  w.end_array();
  w.write_member("bytes_before", before);
  w.write_member("bytes_after", after);
  w.end_object();
  console.out(out + "\n");
}

Result<std::vector<Target>, Failure> compact(Directory& dir, const ParsedArgs& args,
                                             Console& console) {
  const std::string& path = args.positionals[0];
  auto listing = list_directory(dir);
  if (!listing.ok()) return failed(path, cat({listing.error().display(), "; nothing was changed"}));
  for (const Finding& f : listing.value().notes) {
    console.err(f.severity == Finding::Severity::Note ? cat({"note: ", f.display()}) : f.display());
  }
  auto targets = select_targets(listing.value(), args.value("collection"), path);
  if (!targets.ok()) return targets.error();
  // Only one temporary file exists at a time, and each original is let go
  // as soon as its replacement is in place, so its blocks are free again
  // before the next file is written: the largest rewritten file must fit.
  uint64_t needed = 0;
  for (Target& t : targets.value()) {
    auto measured = measure(dir, t);
    if (!measured.ok()) {
      Failure s = measured.error();
      if (s.status == EXIT_OPERATIONAL) s.message.append("; nothing was changed");
      return s;
    }
    if (t.rewritten()) needed = std::max(needed, space_for_file(t.bytes_after));
  }
  if (needed != 0) {
    auto space = check_free_space(dir, needed, "compact", path);
    if (!space.ok()) return space.error();
  }
  const std::vector<std::string>& leftovers = listing.value().temp_files;
  uint64_t done = 0;
  // A failure says which files are already compacted: a run after it finds
  // them without dead records and leaves them.
  std::string compacted;
  auto stop = [&](Failure s) {
    if (s.status == EXIT_OPERATIONAL) {
      s.message.append(compacted.empty() ? "; no file was compacted"
                                         : "; compacted before the failure:" + compacted);
    }
    return s;
  };
  for (Target& t : targets.value()) {
    console.progress("compacting", done++, targets.value().size());
    // A leftover of a killed run goes either way: removed here, or
    // overwritten by the rewrite. Say so, since the file vanishes.
    if (std::count(leftovers.begin(), leftovers.end(), temp_name_of(t.file))) {
      console.err(cat({"zezavezud: ", temp_name_of(t.file),
                       ": removed, a temporary file left by an interrupted run"}));
    }
    if (!t.rewritten()) {
      // Left as it is; only a leftover temporary file of it goes, as a
      // rewrite would have replaced it.
      const std::string temp = temp_name_of(t.file);
      if (std::count(leftovers.begin(), leftovers.end(), temp)) {
        auto removed = dir.remove(temp);
        if (!removed.ok()) return stop(failed(temp, removed.error().display()));
      }
      t.records.reset();
      continue;
    }
    auto after = t.is_records ? compact_record_file(dir, t) : compact_backlink_file(dir, t.file);
    // The original's handle goes at once: while it is open, the replaced
    // file's blocks stay in use.
    t.records.reset();
    if (!after.ok()) return stop(after.error());
    t.bytes_after = after.value();
    compacted.append(" ").append(t.file);
  }
  if (!compacted.empty()) {
    auto synced = dir.sync();
    if (!synced.ok()) {
      return stop(failed(path, cat({"cannot sync the directory (", synced.error().display(),
                                    "): the renames may not yet survive a power cut"})));
    }
  }
  return targets;
}

}  // namespace

int run_compact(Platform& platform, const ParsedArgs& args, Console& console) {
  const std::string& path = args.positionals[0];
  auto dir = open_for_writing(platform, path);
  if (!dir.ok()) return console.fail(dir.error().message);
  auto done = compact(*dir.value(), args, console);
  if (!done.ok()) {
    console.err(cat({"zezavezud: ", done.error().message}));
    if (done.error().status == EXIT_DAMAGE_LEFT && !done.error().repair.empty()) {
      console.err(cat({"zezavezud: the directory is damaged; nothing was changed; run `zezavezud ",
                       done.error().repair, " ", path, "` first"}));
    }
    return done.error().status;
  }
  write_report(console, done.value(), args.has("json"));
  return EXIT_CLEAN;
}

}  // namespace zez::tool
