// `zezavezud load DIR [-i FILE] [--merge]`: writes the records of a dump
// (dump_format.h) into a database through the engine, so that backlinks are
// built exactly as any write builds them.
//
// Two passes over the input: the first checks every line (a (collection,
// key) given twice included), works out the space the load needs and keeps
// nothing, so bad input changes nothing; the second writes. Standard input
// is spooled to a temporary file outside DIR to be read twice.
//
// Into a new directory (DIR missing, or empty) a load is all or nothing: it
// builds the database in the sibling "DIR.zezavezud-tmp", locked from its
// creation to the end and marked by a "zezavezud-load-in-progress" file, and
// renames it onto DIR only once every file is written and synced. A killed
// load leaves no DIR, only that directory, which the next load of DIR
// removes. A --merge into an existing database writes through the engine and
// cannot be all or nothing: the marker file stays in DIR until it finishes,
// and `check` reports a leftover one as an unfinished merge.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "codec/encoding.h"
#include "codec/text.h"
#include "db/backlink_file.h"
#include "db/database.h"
#include "db/link_path.h"
#include "db/record_file.h"
#include "db/text_map.h"
#include "tool/analysis.h"
#include "tool/dump_format.h"
#include "tool/publish.h"
#include "tool/tool.h"

namespace zez::tool {

namespace {

constexpr size_t READ_CHUNK = size_t(1) << 20;
// A transaction queues its backlink changes until commit; committing after
// this much input bounds the queue.
constexpr uint64_t COMMIT_AFTER_BYTES = uint64_t(1) << 20;

// The dump being loaded: a file read with positioned reads.
struct Input {
  std::string name;  // in messages: the path given, or "stdin"
  std::unique_ptr<File> file;
  uint64_t size = 0;
};

// Copies standard input into a new file in `dir`, named after the clock in
// nanoseconds (the next one while that name is taken), and opens it for
// reading. Its name goes at once: the open handle keeps it, and no load,
// however it ends, leaves it behind. A failure to write says where, after
// `where`.
Result<std::unique_ptr<File>, Failure> spool_standard_input(Directory& dir, Console& console,
                                                            const std::string& where) {
  auto stamp = uint64_t(std::chrono::system_clock::now().time_since_epoch().count());
  std::string name;
  for (;; ++stamp) {
    name = "zezavezud-load-" + std::to_string(stamp) + ".tmp";
    auto info = dir.entry_type(name);
    if (info.ok()) continue;
    if (info.error().os_code() == ENOENT) break;
    return Failure{where + info.error().display()};
  }
  auto writer = dir.open(name, OpenMode::CreateTruncate);
  if (!writer.ok()) return Failure{where + writer.error().display()};
  auto reader = dir.open(name, OpenMode::ReadOnly);
  // Deliberately ignored: a leftover file in the temporary directory harms
  // nothing, and the load's own outcome is what the status reports.
  (void)dir.remove(name);
  if (!reader.ok()) return Failure{where + reader.error().display()};
  std::string chunk(READ_CHUNK, '\0');
  for (;;) {
    auto got = console.read_input(chunk.data(), chunk.size());
    if (!got.ok()) return Failure{"cannot read standard input: " + got.error().display()};
    if (got.value() == 0) return std::move(reader).value();
    auto w = write_all(*writer.value(), reinterpret_cast<const uint8_t*>(chunk.data()),
                       got.value(), IoError::write_zero());
    if (!w.ok()) return Failure{where + w.error().display()};
  }
}

// The file named by -i, or standard input spooled into $TMPDIR (or /tmp).
Result<Input, Failure> open_input(Platform& platform, const std::string* path, Console& console) {
  const bool spool = !path || *path == "-";
  const char* tmp = std::getenv("TMPDIR");
  const size_t slash = spool ? 0 : path->rfind('/');
  const std::string dir_path = spool                        ? (tmp && *tmp ? tmp : "/tmp")
                               : slash == std::string::npos ? "."
                               : slash == 0                 ? "/"
                                                            : path->substr(0, slash);
  const std::string where =
      spool ? "cannot spool standard input in " + dir_path + ": " : *path + ": ";
  auto dir = spool ? platform.open_directory(dir_path) : platform.open_existing_directory(dir_path);
  if (!dir.ok()) return Failure{where + dir.error().display()};
  Input in{spool ? "stdin" : *path, nullptr, 0};
  if (spool) {
    auto spooled = spool_standard_input(*dir.value(), console, where);
    if (!spooled.ok()) return std::move(spooled).error();
    in.file = std::move(spooled).value();
  } else {
    auto file = dir.value()->open(path->substr(slash + 1), OpenMode::ReadOnly);
    if (!file.ok()) return Failure{where + file.error().display()};
    in.file = std::move(file).value();
  }
  auto size = in.file->size();
  if (!size.ok()) return Failure{where + size.error().display()};
  in.size = size.value();
  return in;
}

// "INPUT:LINE: message", a fault of the input.
Failure at_line(const Input& in, uint64_t line, std::string_view message) {
  return Failure{cat({in.name, ":", std::to_string(line), ": ", message}), EXIT_DAMAGE_LEFT};
}

// Each record of the dump, with its line's number and length.
using OnRecord = std::function<Result<Unit, Failure>(uint64_t, DumpLine&, size_t)>;

// Reads the whole dump, checking its shape as it goes: the header first,
// well-formed records, then the trailer, last, counting them. Calls
// `on_record` for each record; its failure stops the reading.
Result<Unit, Failure> read_dump(const Input& in, std::string_view what, Console& console,
                                const OnRecord& on_record) {
  WindowReader reader(*in.file, in.size);
  std::string line;
  uint64_t n = 0;
  uint64_t records = 0;
  bool trailer_seen = false;
  for (uint64_t pos = 0; pos < in.size;) {
    // The next line without its newline; a last line without one still counts.
    line.clear();
    for (size_t nl = std::string_view::npos; nl == std::string_view::npos && pos < in.size;) {
      auto chunk = reader.next(pos, in.size - pos);
      if (!chunk.ok()) return Failure{in.name + ": " + chunk.error().display()};
      nl = chunk.value().find('\n');
      line.append(chunk.value().substr(0, nl));
      pos += nl == std::string_view::npos ? chunk.value().size() : nl + 1;
    }
    ++n;
    console.progress(what, pos, in.size);
    if (trailer_seen) return at_line(in, n, "a line after the trailer");
    if (n == 1) {
      // What some editors put at the start of a file they save.
      if (line.starts_with("\xEF\xBB\xBF")) {
        return at_line(in, n,
                       "the input starts with a byte-order mark (EF BB BF), which no dump holds: "
                       "save it without the mark");
      }
      auto header = check_dump_header(line);
      if (!header.ok()) return at_line(in, n, header.error());
      continue;
    }
    auto body = read_dump_line(line);
    if (!body.ok()) return at_line(in, n, body.error());
    if (!body.value().is_trailer) {
      ++records;
      auto done = on_record(n, body.value(), line.size());
      if (!done.ok()) return done;
    } else if (body.value().count != records) {
      return at_line(in, n,
                     cat({"the trailer counts ", std::to_string(body.value().count),
                          " records, the dump holds ", std::to_string(records)}));
    }
    trailer_seen = body.value().is_trailer;
  }
  if (n == 0) return Failure{in.name + ": empty input: not a dump", EXIT_DAMAGE_LEFT};
  if (!trailer_seen) {
    return Failure{in.name + ": no trailer line: the dump was cut short", EXIT_DAMAGE_LEFT};
  }
  return Unit{};
}

// What a load appends to each file, by file name: an upper bound, for the
// free space it needs.
class SpaceNeeded {
 public:
  // The space the files take, each counted in whole blocks.
  uint64_t total() const {
    uint64_t needed = 0;
    for (const auto& [name, bytes] : file_bytes_)
      needed = saturating_add(needed, space_for_file(bytes));
    return needed;
  }

  // Storing a record appends the record itself, and an add record in the
  // backlink file of every collection it links to (a write adds only the
  // links its key's old value did not hold).
  void add_record(const DumpLine& r) {
    scratch_.clear();
    encode_value(r.value, scratch_);
    add(r.collection + std::string(RECORD_SUFFIX), 8 + uint64_t(r.key.size()) + scratch_.size());
    for (const OutgoingLink& link : extract_links(r.value)) {
      add_backlink(BACKLINK_OP_ADD, link, r.collection, r.key);
    }
  }

  // A backlink record (`op` is add or remove) of `key`'s link in the
  // backlink file of the collection it links to. One too long to frame is
  // never written: that write fails and appends nothing.
  void add_backlink(uint8_t op, const OutgoingLink& link, std::string_view collection,
                    std::string_view key) {
    scratch_.clear();
    const BacklinkStrings strings{link.target_key, collection, key, link.source_path};
    if (frame_backlink_record(op, strings, scratch_).ok()) {
      add(link.target_collection + std::string(BACKLINK_SUFFIX), scratch_.size());
    }
    touched_.insert(link.target_collection);
  }

  // The collections whose backlinks the load changes.
  const TextSet& touched() const { return touched_; }

 private:
  void add(const std::string& file, uint64_t bytes) {
    uint64_t& total = file_bytes_[file];
    total = saturating_add(total, bytes);
  }

  TextMap<uint64_t> file_bytes_;
  TextSet touched_;
  std::string scratch_;
};

// Brings the backlink files of `touched` (every one when null) in line with
// the records, by appending what the engine would have appended: an add
// record for a missing row, a remove record for a stale one, and for a row
// listed too often a remove record and then the copies live links justify.
// A merge interrupted between a record and its rows, or whose records a
// power cut lost while their rows stayed, is thus made whole by running it
// again, though rewriting the same value adds no row. Returns the rows
// changed, or why it could not.
Result<uint64_t, std::string> mend_backlinks(Directory& dir, const TextSet* touched,
                                             Console& console) {
  AnalysisOptions options;
  // Rows from a source with damage in the middle are left as they are.
  options.salvage = false;
  auto analysis = analyse_directory(dir, options, console);
  if (!analysis.ok()) return analysis.error().display();
  if (analysis.value().operational_error) return std::string("not every file could be read");
  uint64_t changed = 0;
  std::string record;
  for (const BacklinkFileReport& b : analysis.value().backlink_files) {
    if (touched && !touched->contains(b.entry.collection)) continue;
    if (!b.needs_rebuild()) continue;
    if (!b.loads) {
      return b.entry.name + " does not load: run `zezavezud repair` on the directory first";
    }
    std::vector<std::pair<uint8_t, const BacklinkRow*>> ops;
    for (size_t i : b.stale) ops.emplace_back(BACKLINK_OP_REMOVE, &b.rows[i]);
    // Each repeated row once: its remove record takes every copy out.
    BacklinkRowSet repeated;
    for (size_t i : b.extra) repeated.insert(b.rows[i]);
    for (const BacklinkRow& row : repeated) {
      const auto justified = static_cast<size_t>(
          std::count(b.rows.begin(), b.rows.end(), row) -
          std::count_if(b.extra.begin(), b.extra.end(), [&](size_t i) { return b.rows[i] == row; }));
      ops.emplace_back(BACKLINK_OP_REMOVE, &row);
      for (size_t n = 0; n < justified; ++n) ops.emplace_back(BACKLINK_OP_ADD, &row);
    }
    for (const BacklinkRow& row : b.missing) ops.emplace_back(BACKLINK_OP_ADD, &row);
    std::string bytes;
    for (const auto& [op, row] : ops) {
      record.clear();
      auto framed = frame_backlink_record(
          op, {row->target_key, row->source_collection, row->source_key, row->source_path}, record);
      if (!framed.ok()) return b.entry.name + ": " + framed.error().display();
      bytes.append(record);
    }
    auto file = dir.open(b.entry.name, OpenMode::AppendCreate);
    if (!file.ok()) return b.entry.name + ": " + file.error().display();
    auto appended = append_whole(*file.value(), reinterpret_cast<const uint8_t*>(bytes.data()),
                                 bytes.size(), UncutAppend::FinishAtOnce);
    if (!appended.ok()) return b.entry.name + ": " + appended.error().error.display();
    auto synced = file.value()->sync();
    if (!synced.ok()) return b.entry.name + ": " + synced.error().display();
    changed += b.stale.size() + b.extra.size() + b.missing.size();
  }
  // A backlink file made here gets its entry forced by the removal of the
  // marker, which syncs the directory.
  return changed;
}

// A handle of its own: the caller's handle keeps the exclusive lock for the
// whole load. One Database for the whole load: its value cache stays within
// its budget however much is loaded.
Result<std::unique_ptr<Database>, std::string> open_locked_database(Platform& platform,
                                                                    const std::string& path) {
  auto dir = platform.open_existing_directory(path);
  if (!dir.ok()) return dir.error().display();
  auto db = Database::open_on_locked_directory(std::move(dir).value(), path);
  if (!db.ok()) return db.error().display();
  return std::move(db).value();
}

// The first pass: every record once, and the space the load needs. For a
// merge into `db` (at `path`, holding the collections `existing`), an
// overwritten record also appends a remove record in the backlink file of
// every collection its old value links to (an upper bound, as for the
// adds). Only collections that have a record file are asked, so that
// nothing is made.
Result<SpaceNeeded, Failure> check_input(const Input& in, Console& console, Database* db,
                                         const std::string& path, const TextSet& existing) {
  SpaceNeeded space;
  // The collection, a NUL (which no collection name holds) and the key ->
  // the line that holds them.
  TextMap<uint64_t> seen;
  std::string old_value;
  auto checked = read_dump(
      in, "checking", console, [&](uint64_t n, DumpLine& r, size_t) -> Result<Unit, Failure> {
        auto [at, fresh] = seen.emplace(cat({r.collection, std::string_view("", 1), r.key}), n);
        if (!fresh) {
          return at_line(in, n,
                         cat({"collection ", quote_text(r.collection), " key ", quote_text(r.key),
                              " appears twice, on lines ", std::to_string(at->second), " and ",
                              std::to_string(n), ": a dump holds each record once"}));
        }
        space.add_record(r);
        if (!db || !existing.contains(r.collection)) return Unit{};
        auto got = db->get_encoded(r.collection, r.key, old_value);
        if (!got.ok()) {
          if (got.error().kind() == StorageError::Kind::KeyNotFound) return Unit{};
          return Failure{path + ": " + got.error().display()};
        }
        auto links = extract_encoded_links(reinterpret_cast<const uint8_t*>(old_value.data()),
                                           old_value.size());
        for (const OutgoingLink& link : links) {
          space.add_backlink(BACKLINK_OP_REMOVE, link, r.collection, r.key);
        }
        return Unit{};
      });
  if (!checked.ok()) return std::move(checked).error();
  return space;
}

// The second pass, over input known to be good: writes the records through
// `db`. A transaction holds one collection's records only, so that a
// failure part way leaves in the directory a prefix of the input (each
// collection's write buffer reaches its file in order).
Result<uint64_t, std::string> write_records(const Input& in, Database& db, Console& console) {
  std::string collection;  // of the open transaction
  uint64_t batch_bytes = 0;
  uint64_t records = 0;
  auto stopped = [&](uint64_t n, std::string_view error) {
    return Failure{"stopped at " + at_line(in, n, error).message};
  };
  auto written = read_dump(
      in, "loading", console, [&](uint64_t n, DumpLine& r, size_t bytes) -> Result<Unit, Failure> {
        if (db.in_transaction() &&
            (r.collection != collection || batch_bytes >= COMMIT_AFTER_BYTES)) {
          auto c = db.commit();
          if (!c.ok()) return stopped(n, c.error().display());
        }
        if (!db.in_transaction()) {
          db.begin();
          collection = r.collection;
          batch_bytes = 0;
        }
        auto s = db.set(r.collection, r.key, std::move(r.value));
        if (!s.ok()) return stopped(n, s.error().display());
        batch_bytes += bytes;
        ++records;
        return Unit{};
      });
  // The first pass accepted every line; a change since is the input's fault.
  if (!written.ok()) return written.error().message;
  auto c = db.commit();
  if (!c.ok()) return c.error().display();
  return records;
}

// The one line that says what a load did.
void say_loaded(Console& console, const std::string& input, const std::string& path,
                uint64_t records, bool merged) {
  console.out(cat({merged ? "merged " : "loaded ", std::to_string(records),
                   records == 1 ? " record" : " records", " from ", input,
                   merged ? " into " : " to ", path, "\n"}));
}

// Forces what the load wrote to stable storage: the engine never syncs, and
// a load reported done must survive a crash.
int load_into_new(Platform& platform, const std::string& path, std::unique_ptr<Directory> held,
                  const Input& input, const SpaceNeeded& space, Console& console) {
  auto opened = Publisher::open(platform, path, "load", "loaded");
  if (!opened.ok()) return console.fail(opened.error().message);
  Publisher& publisher = opened.value();
  if (!held) {
    auto appeared = publisher.hold_target(platform);
    if (!appeared.ok()) return console.fail(appeared.error().message);
    held = std::move(appeared).value();
  }
  auto made = publisher.make_temp(space.total(), console);
  if (!made.ok()) return console.fail(made.error().message);
  auto db = open_locked_database(platform, publisher.temp_path());
  if (!db.ok()) return console.fail(path + ": " + db.error() + publisher.abandon());
  auto written = write_records(input, *db.value(), console);
  db.value().reset();  // flushes and closes it before its files are synced
  if (!written.ok()) return console.fail(path + ": " + written.error() + publisher.abandon());
  // The new DIR is made as mkdir makes a directory (the creation mask
  // decides its mode), or, when it replaces an empty one, as that was.
  auto owner = held ? held->owner_and_mode() : made.value()->owner_and_mode();
  if (owner.ok() && !held) owner.value().mode = platform.new_directory_mode();
  auto owned = owner.ok() ? take_owner_and_mode(*made.value(), owner.value())
                          : Result<Unit, IoError>(owner.error());
  if (!owned.ok()) {
    return console.fail(publisher.temp_path() + ": cannot give it its owner and mode: " +
                        owned.error().display() + publisher.abandon());
  }
  auto synced = sync_database_files(*made.value());
  if (!synced.ok()) {
    return console.fail(publisher.temp_path() + ": cannot sync the loaded files: " +
                        synced.error().error.display() + publisher.abandon());
  }
  auto published = publisher.publish();
  if (!published.ok()) return console.fail(published.error().message);
  say_loaded(console, input.name, path, written.value(), false);
  return EXIT_CLEAN;
}

// A merge writes into the live database; the marker says so until it ends.
int merge_into(const std::string& path, Directory& dir, std::unique_ptr<Database> db,
               const Input& input, const SpaceNeeded& space, Console& console) {
  auto free = check_free_space(dir, saturating_add(space.total(), space_for_file(0)), "load", path);
  if (!free.ok()) return console.fail(free.error().message);
  const std::string marker(LOAD_MARKER);
  // A marker already there: an earlier merge did not finish.
  const bool rerun = dir.entry_type(marker).ok();
  // Forced before the first record: a power cut must never keep records
  // of a merge that stopped part way without the marker that says so.
  auto marked = put_marker(dir, "load");
  if (marked.ok()) marked = dir.sync();
  if (!marked.ok()) {
    // Deliberately ignored: a marker that stays only makes check report an
    // unfinished merge, which the next merge clears.
    (void)dir.remove(marker);
    return console.fail(path + ": cannot write the marker " + marker + ": " +
                        marked.error().display() + "; nothing was loaded");
  }
  const std::string stays =
      "; the marker " + marker + " stays in " + path + " until a merge of this input finishes";
  auto written = write_records(input, *db, console);
  db.reset();
  if (!written.ok()) {
    return console.fail(path + ": " + written.error() +
                        "; the records before it may have been written" + stays);
  }
  auto synced = sync_database_files(dir);
  if (!synced.ok()) {
    return console.fail(path + ": cannot sync the loaded files: " + synced.error().error.display() +
                        stays);
  }
  // The backlinks of what this merge (or an interrupted one before it,
  // whose input may have been another) wrote, before the marker goes.
  auto mended = mend_backlinks(dir, rerun ? nullptr : &space.touched(), console);
  if (!mended.ok()) {
    return console.fail(path + ": every record is loaded, but the backlinks cannot be checked: " +
                        mended.error() + stays);
  }
  if (mended.value() > 0) {
    console.err(cat({"zezavezud: ", path, ": mended ", std::to_string(mended.value()),
                     " backlink rows that an interrupted merge left behind"}));
  }
  auto unmarked = remove_marker(dir);
  if (!unmarked.ok()) {
    return console.fail(path + ": every record is loaded, but the marker cannot be removed: " +
                        unmarked.error().display());
  }
  say_loaded(console, input.name, path, written.value(), true);
  return EXIT_CLEAN;
}

}  // namespace

int run_load(Platform& platform, const ParsedArgs& args, Console& console) {
  const std::string& path = args.positionals[0];
  // An existing directory is locked (and, without --merge, found empty)
  // before the input is read: a directory in use is refused at once rather
  // than after a long input, and it stays held while the input comes in.
  std::unique_ptr<Directory> dir;
  bool into_new = true;
  auto existing = platform.open_existing_directory(path);
  if (existing.ok() || existing.error().os_code() != ENOENT) {
    auto locked = open_for_writing(platform, path);
    if (!locked.ok()) return console.fail(locked.error().message);
    dir = std::move(locked).value();
    auto names = dir->list();
    if (!names.ok()) return console.fail(path + ": " + names.error().display());
    into_new = names.value().empty();
    if (!into_new && !args.has("merge")) {
      return console.fail(path +
                          " is not empty: a load builds a new database in a missing or empty "
                          "directory; use --merge to load into a database (nothing was changed)");
    }
  }
  auto in = open_input(platform, args.value("input"), console);
  if (!in.ok()) return console.fail(in.error().message);
  const Input& input = in.value();
  std::unique_ptr<Database> db;
  TextSet collections;
  if (!into_new) {
    auto opened = open_locked_database(platform, path);
    auto listing = list_directory(*dir);
    if (!opened.ok() || !listing.ok()) {
      const std::string error = opened.ok() ? listing.error().display() : opened.error();
      return console.fail(path + ": " + error + "; nothing was loaded");
    }
    db = std::move(opened).value();
    for (const DirectoryListing::Entry& e : listing.value().record_files) {
      collections.insert(e.collection);
    }
  }
  auto space = check_input(input, console, db.get(), path, collections);
  if (!space.ok()) {
    console.err("zezavezud: " + space.error().message + "; nothing was loaded");
    return space.error().status;
  }
  if (into_new) {
    return load_into_new(platform, path, std::move(dir), input, space.value(), console);
  }
  return merge_into(path, *dir, std::move(db), input, space.value(), console);
}

}  // namespace zez::tool
