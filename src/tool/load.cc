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
#include <memory>
#include <string>

#include "codec/encoding.h"
#include "codec/text.h"
#include "db/backlink_file.h"
#include "db/database.h"
#include "db/link_path.h"
#include "db/record_file.h"
#include "db/text_map.h"
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
  std::unique_ptr<Directory> dir;
  std::unique_ptr<File> file;
  uint64_t size = 0;
  std::string spool_name;  // the temporary file holding standard input, or empty

  Input() = default;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  ~Input() {
    file.reset();
    // Deliberately ignored: a leftover file in the temporary directory harms
    // nothing, and the load's own outcome is what the status reports.
    if (dir && !spool_name.empty()) (void)dir->remove(spool_name);
  }
};

// Reads a file line by line. A last line without a newline still counts.
class LineReader {
 public:
  LineReader(File& file, uint64_t size) : file_(file), size_(size) {}

  // The next line without its newline, or false at the end.
  Result<bool, IoError> next(std::string& line) {
    for (;;) {
      size_t nl = buffer_.find('\n', scanned_);
      if (nl != std::string::npos) {
        line.assign(buffer_, start_, nl - start_);
        start_ = scanned_ = nl + 1;
        ++line_number_;
        return true;
      }
      if (read_ == size_) {
        if (start_ == buffer_.size()) return false;
        line.assign(buffer_, start_, std::string::npos);
        start_ = scanned_ = buffer_.size();
        ++line_number_;
        return true;
      }
      buffer_.erase(0, start_);
      scanned_ = buffer_.size();
      start_ = 0;
      size_t n = size_t(std::min<uint64_t>(READ_CHUNK, size_ - read_));
      buffer_.resize(scanned_ + n);
      auto r =
          read_exact_at(file_, reinterpret_cast<uint8_t*>(buffer_.data()) + scanned_, n, read_);
      if (!r.ok()) return std::move(r).error();
      read_ += n;
    }
  }
  uint64_t line_number() const { return line_number_; }
  uint64_t bytes_read() const { return read_; }

 private:
  File& file_;
  uint64_t size_;
  uint64_t read_ = 0;  // bytes of the file in or before the buffer
  std::string buffer_;
  size_t start_ = 0;    // of the next line in the buffer
  size_t scanned_ = 0;  // up to here the buffer holds no newline after start_
  uint64_t line_number_ = 0;
};

Result<std::unique_ptr<Input>, Failure> open_input_file(Platform& platform,
                                                        const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir_path = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  auto in = std::make_unique<Input>();
  in->name = path;
  auto dir = platform.open_existing_directory(dir_path);
  if (!dir.ok()) return Failure{path + ": " + dir.error().display()};
  in->dir = std::move(dir).value();
  auto file = in->dir->open(name, OpenMode::ReadOnly);
  if (!file.ok()) return Failure{path + ": " + file.error().display()};
  in->file = std::move(file).value();
  auto size = in->file->size();
  if (!size.ok()) return Failure{path + ": " + size.error().display()};
  in->size = size.value();
  return in;
}

// A name for the spool file that no other load is using: the clock in
// nanoseconds, and the next one while that name is taken.
Result<std::string, IoError> unused_spool_name(Directory& dir) {
  auto stamp = uint64_t(std::chrono::system_clock::now().time_since_epoch().count());
  for (int attempt = 0;; ++attempt) {
    std::string name = "zezavezud-load-";
    name.append(std::to_string(stamp + uint64_t(attempt))).append(".tmp");
    auto info = dir.entry_type(name);
    if (!info.ok() && info.error().os_code() == ENOENT) return name;
    if (!info.ok()) return std::move(info).error();
  }
}

Result<std::unique_ptr<Input>, Failure> spool_standard_input(Platform& platform, Console& console) {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmp_path = tmp && *tmp ? tmp : "/tmp";
  auto fail = [&](const IoError& e) {
    return Failure{"cannot spool standard input in " + tmp_path + ": " + e.display()};
  };
  auto in = std::make_unique<Input>();
  in->name = "stdin";
  auto dir = platform.open_directory(tmp_path);
  if (!dir.ok()) return fail(dir.error());
  in->dir = std::move(dir).value();
  auto name = unused_spool_name(*in->dir);
  if (!name.ok()) return fail(name.error());
  auto writer = in->dir->open(name.value(), OpenMode::CreateTruncate);
  if (!writer.ok()) return fail(writer.error());
  in->spool_name = name.value();
  std::string chunk(READ_CHUNK, '\0');
  for (;;) {
    auto got = console.read_input(chunk.data(), chunk.size());
    if (!got.ok()) return Failure{"cannot read standard input: " + got.error().display()};
    if (got.value() == 0) break;
    auto w = write_all(*writer.value(), reinterpret_cast<const uint8_t*>(chunk.data()), got.value(),
                       IoError::write_zero());
    if (!w.ok()) return fail(w.error());
    in->size += got.value();
  }
  auto file = in->dir->open(name.value(), OpenMode::ReadOnly);
  if (!file.ok()) return fail(file.error());
  in->file = std::move(file).value();
  return in;
}

// ---- Checking -------------------------------------------------------------

// "INPUT:LINE: message"
std::string at_line(const Input& in, uint64_t line, std::string_view message) {
  return cat({in.name, ":", std::to_string(line), ": ", message});
}

// What the first pass learns of a good dump.
struct InputSummary {
  uint64_t records = 0;
  // The bytes the load appends to each file, by file name.
  TextMap<uint64_t> file_bytes;
  // For a merge: the collection, a NUL and the key of every record, which
  // may overwrite a record of the database.
  TextMap<uint64_t> ids;

  // The space the new files take, each file counted in whole blocks.
  uint64_t space_needed() const {
    uint64_t needed = 0;
    for (const auto& [name, bytes] : file_bytes) {
      needed = saturating_add(needed, space_for_file(bytes));
    }
    return needed;
  }

  void add_bytes(const std::string& file, uint64_t bytes) {
    uint64_t& total = file_bytes[file];
    total = saturating_add(total, bytes);
  }

  // A backlink record (`op` is add or remove) of `key`'s link in the
  // backlink file of the collection it links to. One too long to frame is
  // never written: that write fails and appends nothing.
  void add_backlink(uint8_t op, const OutgoingLink& link, std::string_view collection,
                    std::string_view key, std::string& scratch) {
    scratch.clear();
    const BacklinkStrings strings{link.target_key, collection, key, link.source_path};
    if (!frame_backlink_record(op, strings, scratch).ok()) return;
    add_bytes(link.target_collection + std::string(BACKLINK_SUFFIX), scratch.size());
  }
};

// Adds what storing the record appends: the record itself, and an add
// record in the backlink file of every collection it links to (an upper
// bound: a write adds only the links its key's old value did not hold).
void count_bytes(const DumpLine& r, InputSummary& summary, std::string& scratch) {
  scratch.clear();
  encode_value(r.value, scratch);
  summary.add_bytes(r.collection + std::string(RECORD_SUFFIX),
                    8 + uint64_t(r.key.size()) + scratch.size());
  for (const OutgoingLink& link : extract_links(r.value)) {
    summary.add_backlink(BACKLINK_OP_ADD, link, r.collection, r.key, scratch);
  }
}

// "INPUT:LINE: collection "C" key "K" appears twice, on lines A and LINE: ..."
std::string duplicate_message(const Input& in, const DumpLine& r, uint64_t first,
                              uint64_t line) {
  return at_line(in, line,
                 cat({"collection ", quote_text(r.collection), " key ", quote_text(r.key),
                      " appears twice, on lines ", std::to_string(first), " and ",
                      std::to_string(line), ": a dump holds each record once"}));
}

// The first pass: every line well formed, each (collection, key) once, the
// trailer present, last, and counting the records. Returns what the load
// will write, or the message (exit 4).
Result<InputSummary, Failure> check_input(const Input& in, bool keep_ids, Console& console) {
  LineReader lines(*in.file, in.size);
  std::string line;
  std::string scratch;
  InputSummary summary;
  // The collection, a NUL (which no collection name holds) and the key ->
  // the line that holds them.
  TextMap<uint64_t> seen;
  bool trailer_seen = false;
  for (;;) {
    auto more = lines.next(line);
    if (!more.ok()) return Failure{in.name + ": " + more.error().display()};
    if (!more.value()) break;
    console.progress("checking", lines.bytes_read(), in.size);
    uint64_t n = lines.line_number();
    if (trailer_seen) return Failure{at_line(in, n, "a line after the trailer")};
    if (n == 1) {
      auto header = check_dump_header(line);
      if (!header.ok()) return Failure{at_line(in, n, header.error())};
      continue;
    }
    auto body = read_dump_line(line);
    if (!body.ok()) return Failure{at_line(in, n, body.error())};
    if (!body.value().is_trailer) {
      const DumpLine& r = body.value();
      std::string id = r.collection;
      id.push_back('\0');
      id.append(r.key);
      auto [at, fresh] = seen.emplace(std::move(id), n);
      if (!fresh) return Failure{duplicate_message(in, r, at->second, n)};
      count_bytes(r, summary, scratch);
      ++summary.records;
      continue;
    }
    if (body.value().count != summary.records) {
      return Failure{at_line(in, n,
                             cat({"the trailer counts ", std::to_string(body.value().count),
                                  " records, the dump holds ", std::to_string(summary.records)}))};
    }
    trailer_seen = true;
  }
  if (lines.line_number() == 0) return Failure{in.name + ": empty input: not a dump"};
  if (!trailer_seen) {
    return Failure{in.name + ": no trailer line: the dump was cut short"};
  }
  if (keep_ids) summary.ids = std::move(seen);
  return summary;
}

// ---- Writing ----------------------------------------------------------------

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

// Adds to the merge's estimate what overwriting records of the database
// appends besides the records: a remove record in the backlink file of
// every collection the old value links to (an upper bound, as for the
// adds: a write removes only the links its new value does not hold). Only
// collections that have a record file are asked, so that nothing is made.
Result<Unit, std::string> count_overwrites(Directory& dir, Database& db, InputSummary& summary) {
  auto listing = list_directory(dir);
  if (!listing.ok()) return listing.error().display();
  TextSet collections;
  for (const DirectoryListing::Entry& e : listing.value().record_files) {
    collections.insert(e.collection);
  }
  std::string old_value;
  std::string scratch;
  for (const auto& [id, line] : summary.ids) {
    const size_t nul = id.find('\0');
    const std::string_view collection = std::string_view(id).substr(0, nul);
    const std::string_view key = std::string_view(id).substr(nul + 1);
    if (collections.find(collection) == collections.end()) continue;
    auto got = db.get_encoded(collection, key, old_value);
    if (!got.ok()) {
      if (got.error().kind() == StorageError::Kind::KeyNotFound) continue;
      return got.error().display();
    }
    auto links = extract_encoded_links(reinterpret_cast<const uint8_t*>(old_value.data()),
                                       old_value.size());
    for (const OutgoingLink& link : links) {
      summary.add_backlink(BACKLINK_OP_REMOVE, link, collection, key, scratch);
    }
  }
  summary.ids.clear();
  return Unit{};
}

// The second pass, over input known to be good: writes the records through
// `db`, or through a Database opened on `path` at the first record. A
// transaction holds one collection's records only, so that a failure part
// way leaves in the directory a prefix of the input (each collection's
// write buffer reaches its file in order). The Database is closed at the end.
Result<Unit, std::string> write_records(const Input& in, Platform& platform,
                                        const std::string& path, std::unique_ptr<Database> db,
                                        Console& console) {
  LineReader lines(*in.file, in.size);
  std::string line;
  std::string collection;  // of the open transaction
  uint64_t batch_bytes = 0;
  auto commit = [&]() -> Result<Unit, std::string> {
    batch_bytes = 0;
    auto c = db->commit();
    if (!c.ok()) return c.error().display();
    return Unit{};
  };
  // Readies a transaction of the record's collection.
  auto begin = [&](const std::string& record_collection) -> Result<Unit, std::string> {
    if (db && (record_collection != collection || batch_bytes >= COMMIT_AFTER_BYTES)) {
      auto c = commit();
      if (!c.ok()) return c;
    }
    if (!db) {
      auto opened = open_locked_database(platform, path);
      if (!opened.ok()) return opened.error();
      db = std::move(opened).value();
    }
    if (!db->in_transaction()) {
      db->begin();
      collection = record_collection;
    }
    return Unit{};
  };
  for (;;) {
    auto more = lines.next(line);
    if (!more.ok()) return in.name + ": " + more.error().display();
    if (!more.value()) break;
    console.progress("loading", lines.bytes_read(), in.size);
    if (lines.line_number() == 1) continue;
    auto body = read_dump_line(line);
    // The first pass accepted every line; a change since is the input's fault.
    if (!body.ok()) return at_line(in, lines.line_number(), body.error());
    DumpLine& r = body.value();
    if (r.is_trailer) break;
    auto ready = begin(r.collection);
    if (!ready.ok()) return "stopped at " + at_line(in, lines.line_number(), ready.error());
    auto s = db->set(r.collection, r.key, std::move(r.value));
    if (!s.ok()) return "stopped at " + at_line(in, lines.line_number(), s.error().display());
    batch_bytes += line.size();
  }
  return db ? commit() : Result<Unit, std::string>(Unit{});
}

// Forces what the load wrote to stable storage: the engine never syncs, and
// a load reported done must survive a crash.
int load_into_new(Platform& platform, const std::string& path, std::unique_ptr<Directory> held,
                  const Input& input, const InputSummary& summary, Console& console) {
  auto opened = Publisher::open(platform, path, "load", "loaded");
  if (!opened.ok()) return console.fail(opened.error().message);
  Publisher& publisher = opened.value();
  if (!held) {
    auto appeared = publisher.hold_target(platform);
    if (!appeared.ok()) return console.fail(appeared.error().message);
    held = std::move(appeared).value();
  }
  auto made = publisher.make_temp(summary.space_needed(), console);
  if (!made.ok()) return console.fail(made.error().message);
  Directory& temp = *made.value();
  auto written = write_records(input, platform, publisher.temp_path(), nullptr, console);
  if (!written.ok()) return console.fail(path + ": " + written.error() + publisher.abandon());
  auto synced = sync_database_files(temp);
  if (!synced.ok()) {
    return console.fail(publisher.temp_path() + ": cannot sync the loaded files: " +
                        synced.error().error.display() + publisher.abandon());
  }
  auto published = publisher.publish();
  if (!published.ok()) return console.fail(published.error().message);
  return EXIT_CLEAN;
}

// A merge writes into the live database; the marker says so until it ends.
int merge_into(Platform& platform, const std::string& path, Directory& dir, const Input& input,
               InputSummary& summary, Console& console) {
  auto db = open_locked_database(platform, path);
  if (!db.ok()) return console.fail(path + ": " + db.error() + "; nothing was loaded");
  auto counted = count_overwrites(dir, *db.value(), summary);
  if (!counted.ok()) return console.fail(path + ": " + counted.error() + "; nothing was loaded");
  const uint64_t needed = saturating_add(summary.space_needed(), space_for_file(0));
  auto space = check_free_space(dir, needed, "load", path);
  if (!space.ok()) return console.fail(space.error().message);
  auto marked = put_marker(dir, "load");
  if (!marked.ok()) {
    // Deliberately ignored: a marker that stays only makes check report an
    // unfinished merge, which the next merge clears.
    (void)dir.remove(std::string(LOAD_MARKER));
    return console.fail(path + ": cannot write the marker " + std::string(LOAD_MARKER) + ": " +
                        marked.error().display() + "; nothing was loaded");
  }
  const std::string stays = "; the marker " + std::string(LOAD_MARKER) + " stays in " + path +
                            " until a merge of this input finishes";
  auto written = write_records(input, platform, path, std::move(db).value(), console);
  if (!written.ok()) {
    return console.fail(path + ": " + written.error() +
                        "; the records before it may have been written" + stays);
  }
  auto synced = sync_database_files(dir);
  if (!synced.ok()) {
    return console.fail(path + ": cannot sync the loaded files: " +
                        synced.error().error.display() + stays);
  }
  auto unmarked = remove_marker(dir);
  if (!unmarked.ok()) {
    return console.fail(path + ": every record is loaded, but the marker cannot be removed: " +
                        unmarked.error().display());
  }
  return EXIT_CLEAN;
}

}  // namespace

int run_load(Platform& platform, const ParsedArgs& args, Console& console) {
  const std::string& path = args.positionals[0];
  const std::string* input_path = args.value("input");
  const bool merge = args.has("merge");
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
    if (!into_new && !merge) {
      return console.fail(path +
                          " is not empty: a load builds a new database in a missing or empty "
                          "directory; use --merge to load into a database (nothing was changed)");
    }
  }
  auto in = input_path && *input_path != "-" ? open_input_file(platform, *input_path)
                                             : spool_standard_input(platform, console);
  if (!in.ok()) return console.fail(in.error().message);
  const Input& input = *in.value();
  auto checked = check_input(input, !into_new, console);
  if (!checked.ok()) {
    console.err("zezavezud: " + checked.error().message + "; nothing was loaded");
    return EXIT_DAMAGE_LEFT;
  }
  if (into_new) {
    return load_into_new(platform, path, std::move(dir), input, checked.value(), console);
  }
  return merge_into(platform, path, *dir, input, checked.value(), console);
}

}  // namespace zez::tool
