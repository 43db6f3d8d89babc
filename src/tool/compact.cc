// `zezavezud compact DIR [--collection NAME] [--json]`: rewrites each record
// file with only its live records and each backlink file with only its
// current rows, so that files grown by overwrites and removals shrink back to
// what their content needs.
//
// Nothing a user can read changes: record bytes are copied as they are, in
// their file order; backlink rows are written back as add records in exactly
// the order a query returns them. Each file is replaced in one step: the new
// bytes go to "<file>.zezavezud-tmp", are forced to disk and read back, get
// the original's owner and mode, and only then are renamed over it. A crash
// or kill at any moment therefore leaves every file either old or new, both
// with the same content; a leftover temporary file is ignored by the engine
// and overwritten by the next compact.
//
// Two passes: the first reads every file in scope and refuses the whole
// directory, changing nothing, when any of them is damaged or the disk
// cannot hold the largest rewritten file; the second rewrites them one by
// one.
#include <algorithm>
#include <functional>
#include <initializer_list>

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

Failure operational(std::string_view file, const IoError& error) {
  return failed(file, error.display());
}

Failure damaged(const std::string& file, uint64_t offset, std::string_view what) {
  return Failure{cat({file, ":", std::to_string(offset), ": ", what}), EXIT_DAMAGE_LEFT, "repair"};
}

// One file in scope and what compacting it does.
struct RecordFile;

struct Target {
  std::string file;
  bool is_records;
  // The first pass's reading of a record file, which the second pass copies from.
  std::shared_ptr<RecordFile> records;
  uint64_t bytes_before = 0;
  uint64_t bytes_after = 0;  // first the size it will have, then the size it has
};

// ---- Replacing a file ------------------------------------------------------------

std::string temp_name(const std::string& file) { return cat({file, TEMP_SUFFIX}); }

// Replaces `file` (which `original` has open) through the engine's one
// protocol: `fill` writes the new bytes, which are forced to disk and read
// back by `verify` before the rename. Returns the new file's size.
Result<uint64_t, Failure> replace(
    Directory& dir, const std::string& file, File& original,
    const std::function<Result<Unit, ReplaceError>(ChunkWriter&)>& fill,
    const std::function<Result<Unit, ReplaceError>(File&, uint64_t)>& verify) {
  Replacement r;
  r.name = file;
  r.temp = temp_name(file);
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
  auto replaced = replace_file(dir, r);
  if (!replaced.ok()) {
    std::string message = replaced.error().error.display();
    if (replaced.error().replaced) {
      message.append(" (").append(file).append(" is compacted, but its rename may not yet ");
      message.append("survive a power cut)");
    }
    return Failure{std::move(message)};
  }
  return replaced.value();
}

// ---- Record files ---------------------------------------------------------------

// An open record file and, when some of its records are dead, its live
// records in file order. A file whose records are all live is already as
// small as compact can make it, and is left as it is.
struct RecordFile {
  std::unique_ptr<File> file;
  uint64_t size = 0;
  bool all_live = false;
  uint64_t live_bytes = 0;
  std::vector<LiveSpan> live;  // in file order; empty when all_live
};

// Hands every whole record of [0, size) to the table; the scan's end, stop
// End when the file holds whole records only.
ScanEnd scan_into(File& file, uint64_t size, LiveRecordTable& table) {
  return scan_record_file(file, size, [&](const RecordView& r) {
    table.add(r);
    return true;
  });
}

// Opens the record file and finds its live records, refusing a file the
// engine could not load. One scan serves both questions: whether any record
// is dead (most files in a store that is compacted now and then have none,
// and are left alone) and, if so, which records are live.
Result<RecordFile, Failure> index_record_file(Directory& dir, const std::string& name) {
  auto opened = dir.open(name, OpenMode::ReadOnly);
  if (!opened.ok()) return operational(name, opened.error());
  RecordFile rf;
  rf.file = std::move(opened).value();
  auto size = rf.file->size();
  if (!size.ok()) return operational(name, size.error());
  rf.size = size.value();
  // Damage of any kind is refused, named as check names it.
  auto damage = classify_record_file(*rf.file, rf.size);
  if (!damage.ok()) return operational(name, damage.error());
  if (!damage.value().clean()) {
    std::vector<Finding> findings;
    add_record_file_findings(name, damage.value(), {}, findings);
    // Damage in the middle: plain repair leaves it, only a salvage cuts it.
    return Failure{findings.front().display(), EXIT_DAMAGE_LEFT,
                   damage.value().needs_salvage() ? "repair --salvage" : "repair"};
  }
  LiveRecordTable table(rf.size);
  ScanEnd end = scan_into(*rf.file, rf.size, table);
  if (end.stop == ScanStop::Io) return operational(name, *end.error);
  if (end.stop != ScanStop::End) return failed(name, "changed during compact");
  if (!table.finish()) return failed(name, "too many distinct keys for compact");
  rf.all_live = table.all_live();
  rf.live_bytes = table.live_bytes();
  rf.live = table.take_live();
  return rf;
}

// The temporary file must hold, byte for byte, the live records it was
// meant to: read back and compared with the original's.
Result<Unit, ReplaceError> verify_records(const RecordFile& rf, const std::string& name,
                                          const std::string& temp, File& copy, uint64_t size) {
  const ReplaceError mismatch{temp, "read back", "bytes other than the live records"};
  if (size != rf.live_bytes) return mismatch;
  WindowReader original(*rf.file, rf.size);
  WindowReader written(copy, size);
  uint64_t at = 0;
  for (const LiveSpan& span : rf.live) {
    for (uint64_t done = 0; done < span.size;) {
      auto want = original.next(span.offset + done, span.size - done);
      if (!want.ok()) return ReplaceError::of(name, "cannot read", want.error());
      auto got = written.next(at, want.value().size());
      if (!got.ok()) return ReplaceError::of(temp, "cannot read back", got.error());
      if (got.value() != want.value().substr(0, got.value().size())) return mismatch;
      done += got.value().size();
      at += got.value().size();
    }
  }
  return Unit{};
}

// Appends the spans of `src` to `out`, in order.
Result<Unit, IoError> copy_spans(File& src, uint64_t size, const std::vector<LiveSpan>& spans,
                                 ChunkWriter& out) {
  WindowReader in(src, size);
  for (const LiveSpan& span : spans) {
    for (uint64_t done = 0; done < span.size;) {
      auto piece = in.next(span.offset + done, span.size - done);
      if (!piece.ok()) return std::move(piece).error();
      auto r = out.append(piece.value());
      if (!r.ok()) return r;
      done += piece.value().size();
    }
  }
  return Unit{};
}

Result<uint64_t, Failure> compact_record_file(Directory& dir, const std::string& name,
                                              RecordFile& rf) {
  const std::string temp = temp_name(name);
  auto fill = [&](ChunkWriter& out) -> Result<Unit, ReplaceError> {
    auto copied = copy_spans(*rf.file, rf.size, rf.live, out);
    if (!copied.ok()) return ReplaceError::of(temp, "cannot copy records into", copied.error());
    return Unit{};
  };
  auto verify = [&](File& copy, uint64_t size) {
    return verify_records(rf, name, temp, copy, size);
  };
  return replace(dir, name, *rf.file, fill, verify);
}

}  // namespace

Result<std::optional<uint64_t>, std::string> copy_live_records(
    File& src, uint64_t end, const std::function<Result<File*, std::string>()>& open_out) {
  LiveRecordTable table(end);
  ScanEnd scanned = scan_into(src, end, table);
  if (scanned.stop == ScanStop::Io) return scanned.error->display();
  if (scanned.stop != ScanStop::End) return std::string("not whole records up to the end");
  if (!table.finish()) return std::string("too many distinct keys");
  if (table.all_live()) return std::optional<uint64_t>();
  auto out = open_out();
  if (!out.ok()) return out.error();
  ChunkWriter writer(*out.value());
  auto copied = copy_spans(src, end, table.take_live(), writer);
  if (copied.ok()) copied = writer.flush();
  if (!copied.ok()) return copied.error().display();
  return std::optional<uint64_t>(writer.written());
}

namespace {

// ---- Backlink files -------------------------------------------------------------

// A backlink file replayed as the engine replays it, and the keys that have
// rows, in the order of their first add record.
struct BacklinkRows {
  std::unique_ptr<BacklinkIndex> index;
  std::vector<std::string> keys;
};

Result<BacklinkRows, Failure> read_backlink_rows(Directory& dir, const std::string& name) {
  BacklinkRows rows;
  auto loaded = BacklinkIndex::load(dir, name);
  if (!loaded.ok()) {
    // The engine's own messages mean the bytes are wrong; a system error
    // means they could not be read.
    if (loaded.error().os_code() != 0) return operational(name, loaded.error());
    return damaged(name, 0, cat({"the engine cannot load it: ", loaded.error().display()}));
  }
  rows.index = std::move(loaded).value();
  auto opened = dir.open(name, OpenMode::ReadOnly);
  if (!opened.ok()) return operational(name, opened.error());
  TextSet seen;
  ScanEnd end = scan_backlink_file(*opened.value(), [&](const BacklinkRecordView& r) {
    if (r.op == BACKLINK_OP_ADD && seen.emplace(r.strings.target_key).second) {
      rows.keys.emplace_back(r.strings.target_key);
    }
    return true;
  });
  if (end.stop == ScanStop::Io) return operational(name, *end.error);
  if (end.stop != ScanStop::End) return failed(name, "changed during compact");
  return rows;
}

// Calls `row(key, backlink)` for every current row, key by key in the order
// of BacklinkRows::keys, each key's rows in query order.
template <class Row>
auto for_each_row(const BacklinkRows& rows, Row&& row) -> decltype(row(std::string(), Backlink())) {
  for (const std::string& key : rows.keys) {
    for (const Backlink& b : rows.index->query(key)) {
      auto r = row(key, b);
      if (!r.ok()) return r;
    }
  }
  return Unit{};
}

Result<std::string, IoError> frame_add(const std::string& key, const Backlink& b) {
  std::string record;
  auto framed = frame_backlink_record(
      BACKLINK_OP_ADD, BacklinkStrings{key, b.source_collection, b.source_key, b.source_path},
      record);
  if (!framed.ok()) return std::move(framed).error();
  return record;
}

Result<uint64_t, Failure> current_backlink_bytes(const BacklinkRows& rows,
                                                 const std::string& name) {
  uint64_t bytes = 0;
  auto r =
      for_each_row(rows, [&](const std::string& key, const Backlink& b) -> Result<Unit, Failure> {
        auto record = frame_add(key, b);
        if (!record.ok()) return operational(name, record.error());
        bytes += record.value().size();
        return Unit{};
      });
  if (!r.ok()) return r.error();
  return bytes;
}

// The temporary file, replayed by the engine, must answer every query as
// the original does. Keys without rows in the original have none in the copy,
// which holds add records for the listed keys only.
Result<Unit, ReplaceError> verify_backlinks(Directory& dir, const BacklinkRows& rows,
                                            const std::string& temp) {
  auto loaded = BacklinkIndex::load(dir, temp);
  if (!loaded.ok()) return ReplaceError::of(temp, "cannot read back", loaded.error());
  for (const std::string& key : rows.keys) {
    if (loaded.value()->query(key) != rows.index->query(key)) {
      return ReplaceError{temp, "read back", "rows other than the current ones"};
    }
  }
  return Unit{};
}

Result<uint64_t, Failure> compact_backlink_file(Directory& dir, const std::string& name) {
  auto rows = read_backlink_rows(dir, name);
  if (!rows.ok()) return rows.error();
  auto original = dir.open(name, OpenMode::ReadOnly);
  if (!original.ok()) return operational(name, original.error());
  const std::string temp = temp_name(name);
  auto fill = [&](ChunkWriter& out) {
    return for_each_row(rows.value(), [&](const std::string& key, const Backlink& b) {
      using R = Result<Unit, ReplaceError>;
      auto record = frame_add(key, b);
      if (!record.ok()) return R(ReplaceError::of(temp, "cannot frame a row for", record.error()));
      auto written = out.append(record.value());
      if (!written.ok()) return R(ReplaceError::of(temp, "cannot write", written.error()));
      return R(Unit{});
    });
  };
  auto verify = [&](File&, uint64_t) { return verify_backlinks(dir, rows.value(), temp); };
  return replace(dir, name, *original.value(), fill, verify);
}

// ---- The command -----------------------------------------------------------------

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
  std::vector<Target> targets;
  for (const Finding& f : listing.notes) {
    const auto file = database_file_of(f.file);
    const bool in_scope = file && (!only || file->collection == *only);
    if (!in_scope || std::find(listing.unopenable.begin(), listing.unopenable.end(), f.file) ==
                         listing.unopenable.end()) {
      continue;
    }
    const int status =
        f.severity == Finding::Severity::Damage ? EXIT_DAMAGE_LEFT : EXIT_OPERATIONAL;
    return Failure{cat({f.display(), "; nothing was changed"}), status};
  }
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
      targets.push_back(Target{e.name, files == &listing.record_files, nullptr});
    }
  }
  return targets;
}

// The first pass: sizes now and after, refusing damage.
Result<Unit, Failure> measure(Directory& dir, Target& t) {
  auto info = dir.entry_type(t.file);
  if (!info.ok()) return operational(t.file, info.error());
  t.bytes_before = info.value().size;
  if (t.is_records) {
    auto rf = index_record_file(dir, t.file);
    if (!rf.ok()) return rf.error();
    t.records = std::make_shared<RecordFile>(std::move(rf).value());
    t.bytes_after = t.records->live_bytes;
    return Unit{};
  }
  auto rows = read_backlink_rows(dir, t.file);
  if (!rows.ok()) return rows.error();
  auto bytes = current_backlink_bytes(rows.value(), t.file);
  if (!bytes.ok()) return bytes.error();
  t.bytes_after = bytes.value();
  return Unit{};
}

// Whether compact rewrites the file (a record file without dead records is
// left as it is).
bool is_rewritten(const Target& t) { return !t.is_records || !t.records->all_live; }

// Only one temporary file exists at a time, and each original is let go as
// soon as its replacement is in place, so its blocks are free again before
// the next file is written: the largest rewritten file must fit.
Result<Unit, Failure> check_space(Directory& dir, const std::vector<Target>& targets,
                                  const std::string& path) {
  uint64_t needed = 0;
  for (const Target& t : targets) {
    if (is_rewritten(t)) needed = std::max(needed, space_for_file(t.bytes_after));
  }
  if (needed == 0) return Unit{};
  auto space = check_free_space(dir, needed, "compact", path);
  if (!space.ok()) return space.error();
  return Unit{};
}

void write_report(Console& console, const std::vector<Target>& targets, bool json) {
  uint64_t before = 0;
  uint64_t after = 0;
  for (const Target& t : targets) before += t.bytes_before, after += t.bytes_after;
  std::string out;
  if (json) {
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
    out.push_back('\n');
  } else {
    auto line = [&](const std::string& what, uint64_t b, uint64_t a) {
      out.append(what).append(": ").append(std::to_string(b)).append(" -> ");
      out.append(std::to_string(a)).append(" bytes\n");
    };
    for (const Target& t : targets) line(t.file, t.bytes_before, t.bytes_after);
    line("total", before, after);
  }
  console.out(out);
}

Result<std::vector<Target>, Failure> compact(Directory& dir, const ParsedArgs& args,
                                             Console& console) {
  const std::string& path = args.positionals[0];
  auto listing = list_directory(dir);
  if (!listing.ok()) {
    return failed(path, cat({listing.error().display(), "; nothing was changed"}));
  }
  for (const Finding& f : listing.value().notes) {
    console.err(f.severity == Finding::Severity::Note ? cat({"note: ", f.display()}) : f.display());
  }
  auto targets = select_targets(listing.value(), args.value("collection"), path);
  if (!targets.ok()) return targets.error();
  for (Target& t : targets.value()) {
    auto measured = measure(dir, t);
    if (!measured.ok()) {
      Failure s = measured.error();
      if (s.status == EXIT_OPERATIONAL) s.message.append("; nothing was changed");
      return s;
    }
  }
  auto space = check_space(dir, targets.value(), path);
  if (!space.ok()) return space.error();
  const std::vector<std::string>& leftovers = listing.value().temp_files;
  uint64_t done = 0;
  std::string compacted;  // the files already replaced, for a failure's message
  // A failure says which files are already compacted: a run after it
  // finds them without dead records and leaves them.
  auto stop = [&](Failure s) {
    if (s.status == EXIT_OPERATIONAL) {
      s.message.append(compacted.empty() ? "; no file was compacted"
                                         : "; compacted before the failure:" + compacted);
    }
    return s;
  };
  for (Target& t : targets.value()) {
    console.progress("compacting", done++, targets.value().size());
    // A file with no dead records would be copied byte for byte, so it
    // stays as it is; only a leftover temporary file of it goes, as a
    // rewrite would have replaced it.
    if (!is_rewritten(t)) {
      const std::string temp = temp_name(t.file);
      if (std::find(leftovers.begin(), leftovers.end(), temp) != leftovers.end()) {
        auto removed = dir.remove(temp);
        if (!removed.ok()) return stop(operational(temp, removed.error()));
      }
      t.bytes_after = t.bytes_before;
      t.records.reset();
      continue;
    }
    auto after = t.is_records ? compact_record_file(dir, t.file, *t.records)
                              : compact_backlink_file(dir, t.file);
    // The original's handle goes at once: while it is open, the replaced
    // file's blocks stay in use.
    t.records.reset();
    if (!after.ok()) return stop(after.error());
    t.bytes_after = after.value();
    compacted.append(" ").append(t.file);
  }
  return targets;
}

}  // namespace

int run_compact(Platform& platform, const ParsedArgs& args, Console& console) {
  const std::string& path = args.positionals[0];
  auto dir = open_for_writing(platform, path);
  if (!dir.ok()) {
    console.err(cat({"zezavezud: ", dir.error().message}));
    return EXIT_OPERATIONAL;
  }
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
