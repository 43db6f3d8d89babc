// The read-only commands that show what a program would read:
//
//   zezavezud get DIR COLLECTION KEY
//   zezavezud keys DIR COLLECTION [--prefix P] [--limit N] [--count]
//   zezavezud backlinks DIR COLLECTION KEY
//   zezavezud resolve DIR COLLECTION KEY [FIELD...]
//   zezavezud collections DIR
//
// They hold the directory's shared lock, as a program's open does, so they
// run beside programs writing it, and they read through the engine's own
// open, get, backlinks and resolve, over a view of the directory that cannot
// change it: a file the engine would create reads as empty, and every write
// fails. Each file is seen at one length for the whole command. While other
// programs have the directory open, a file ends at its last whole record:
// the record a writer is appending at that moment is not there yet.
#include <cerrno>
#include <charconv>
#include <map>
#include <set>

#include "codec/encoding.h"
#include "codec/text.h"
#include "db/backlink_file.h"
#include "db/damage.h"
#include "db/database.h"
#include "db/database_files.h"
#include "tool/analysis.h"
#include "tool/json.h"
#include "tool/live_index.h"
#include "tool/tool.h"

namespace zez::tool {

namespace {

IoError read_only() { return IoError::os(EROFS); }

// A file seen up to a fixed length, never written.
class FixedFile final : public File {
 public:
  FixedFile(std::unique_ptr<File> file, uint64_t end) : file_(std::move(file)), end_(end) {}

  Result<size_t, IoError> read_at(uint8_t* dst, size_t n, uint64_t offset) override {
    if (file_ == nullptr || offset >= end_) return size_t(0);
    return file_->read_at(dst, size_t(std::min<uint64_t>(n, end_ - offset)), offset);
  }
  Result<size_t, IoError> write(const uint8_t*, size_t) override { return read_only(); }
  Result<size_t, IoError> copy_from(File&, uint64_t, size_t) override { return read_only(); }
  Result<uint64_t, IoError> size() override { return end_; }
  Result<Unit, IoError> truncate(uint64_t) override { return read_only(); }
  Result<Unit, IoError> sync() override { return read_only(); }
  Result<OwnerAndMode, IoError> owner_and_mode() override {
    if (file_ == nullptr) return read_only();
    return file_->owner_and_mode();
  }
  Result<Unit, IoError> set_owner_and_mode(const OwnerAndMode&) override { return read_only(); }
  Result<FileId, IoError> identity() override {
    // A file that is not there shares its identity with no other.
    if (file_ == nullptr) return FileId{UINT64_MAX, uint64_t(reinterpret_cast<uintptr_t>(this))};
    return file_->identity();
  }

 private:
  std::unique_ptr<File> file_;  // null for a file that is not there
  uint64_t end_;
};

// Where the whole records of a database file end, when a writer may be
// appending one at that moment.
uint64_t whole_records_end(const std::string& name, File& file, uint64_t size) {
  auto kind = database_file_of(name);
  ScanEnd end = kind && kind->kind == DatabaseFileKind::Backlinks
                    ? scan_backlink_file(file, [](const BacklinkRecordView&) { return true; })
                    : scan_record_file(file, size, [](const RecordView&) { return true; });
  return end.stop == ScanStop::Torn ? std::min(end.offset, size) : size;
}

// The directory as the engine may see it from a read-only command.
class ReadOnlyDirectory final : public Directory {
 public:
  ReadOnlyDirectory(std::unique_ptr<Directory> dir, bool writers_present)
      : dir_(std::move(dir)), writers_present_(writers_present) {}

  Result<std::vector<std::string>, IoError> list() override { return dir_->list(); }

  Result<std::unique_ptr<File>, IoError> open(const std::string& name, OpenMode mode) override {
    if (mode == OpenMode::CreateTruncate) return read_only();
    if (missing_.contains(name)) return std::unique_ptr<File>(new FixedFile(nullptr, 0));
    auto file = dir_->open(name, OpenMode::ReadOnly);
    // A file the engine would create: empty from now on. (A dangling
    // symbolic link fails as the engine fails on it.)
    const bool creates = mode == OpenMode::AppendCreate || mode == OpenMode::ReadAppendCreate;
    if (!file.ok() && file.error().os_code() == ENOENT && creates && !dir_->entry_type(name).ok()) {
      missing_.insert(name);
      return std::unique_ptr<File>(new FixedFile(nullptr, 0));
    }
    if (!file.ok()) return std::move(file).error();
    auto known = ends_.find(name);
    if (known == ends_.end()) {
      auto size = file.value()->size();
      if (!size.ok()) return std::move(size).error();
      uint64_t end = size.value();
      if (writers_present_) end = whole_records_end(name, *file.value(), end);
      known = ends_.emplace(name, end).first;
    }
    return std::unique_ptr<File>(new FixedFile(std::move(file).value(), known->second));
  }
  Result<std::unique_ptr<Directory>, IoError> open_subdirectory(const std::string&,
                                                                bool) override {
    return read_only();
  }
  Result<EntryInfo, IoError> entry_type(const std::string& name) override {
    return dir_->entry_type(name);
  }
  Result<Unit, IoError> rename(const std::string&, const std::string&) override {
    return read_only();
  }
  Result<Unit, IoError> remove(const std::string&) override { return read_only(); }
  Result<Unit, IoError> link(const std::string&, Directory&, const std::string&) override {
    return read_only();
  }
  Result<Unit, IoError> remove_directory(const std::string&) override { return read_only(); }
  Result<Unit, IoError> sync() override { return read_only(); }
  Result<uint64_t, IoError> free_space() override { return dir_->free_space(); }
  Result<DirectoryId, IoError> identity() override { return dir_->identity(); }
  Result<OwnerAndMode, IoError> owner_and_mode() override { return dir_->owner_and_mode(); }
  Result<Unit, IoError> set_owner_and_mode(const OwnerAndMode&) override { return read_only(); }
  // The handle underneath holds the shared lock already.
  Result<LockStatus, IoError> lock_shared() override { return LockStatus::Acquired; }
  Result<LockStatus, IoError> lock_exclusive() override { return read_only(); }

 private:
  std::unique_ptr<Directory> dir_;
  const bool writers_present_;
  std::map<std::string, uint64_t> ends_;  // each file's length, fixed at its first open
  std::set<std::string> missing_;         // files the engine would have created
};

// A name or key on a line of its own: as it is, unless it is empty or holds
// a character that would not show plainly (a control character, a line
// break, a tab, a quote or a backslash); then in double quotes, escaped as
// values' texts are. Shown names therefore never start with a quote.
std::string shown(std::string_view raw) {
  if (!is_valid_utf8(raw)) return printable(raw);
  std::string quoted = quote_text(raw);
  if (!raw.empty() && quoted.size() == raw.size() + 2) return std::string(raw);
  return quoted;
}

// Why the engine failed, as the exit status says it: the record not there,
// a file it refused (damage), or a read that failed.
int storage_status(const StorageError& e) {
  if (e.kind() == StorageError::Kind::KeyNotFound) return EXIT_NOT_FOUND;
  if (e.kind() == StorageError::Kind::Codec) return EXIT_DAMAGE_LEFT;
  return e.io_error().os_code() != 0 ? EXIT_OPERATIONAL : EXIT_DAMAGE_LEFT;
}

// "zezavezud: WHAT: ERROR", and the hint to run check when it is damage.
int engine_failure(Console& console, const std::string& path, std::string_view what,
                   std::string error, int status) {
  if (status == EXIT_DAMAGE_LEFT) error += "; `zezavezud check " + path + "` tells more";
  console.err(cat({"zezavezud: ", what, ": ", error}));
  return status;
}

// The directory under its shared lock, seen read-only.
Result<std::unique_ptr<Directory>, Failure> open_read_only(Platform& platform,
                                                           const std::string& path) {
  bool in_use = false;
  auto dir = open_for_copying(platform, path, in_use);
  if (!dir.ok()) return std::move(dir).error();
  return std::unique_ptr<Directory>(new ReadOnlyDirectory(std::move(dir).value(), in_use));
}

// False, having said so, for a name no collection's file can have (the
// engine refuses it before it looks at the directory).
bool names_a_collection(Console& console, const std::string& path, std::string_view collection) {
  auto fault = collection_files_fault(collection);
  if (!fault) return true;
  console.err(cat({"zezavezud: ", path, " has no collection ", shown(collection), ": ", *fault}));
  return false;
}

// The engine on the directory, for a command about `collection`.
Result<std::unique_ptr<Database>, int> open_database(Platform& platform, const std::string& path,
                                                     std::string_view collection,
                                                     Console& console) {
  if (!names_a_collection(console, path, collection)) return EXIT_NOT_FOUND;
  auto dir = open_read_only(platform, path);
  if (!dir.ok()) return console.fail(dir.error().message);
  auto db = Database::open_on_locked_directory(std::move(dir).value(), path);
  if (!db.ok()) {
    return engine_failure(console, path, path + ": cannot be opened", db.error().display(),
                          storage_status(db.error()));
  }
  return std::move(db).value();
}

std::string record_name(std::string_view collection, std::string_view key) {
  return cat({"record ", shown(key), " of collection ", shown(collection)});
}

void write_value_line(Console& console, const Value& v) {
  std::string out;
  JsonWriter(out).write_value(v);
  console.out(out.append("\n"));
}

// The live keys and the number of records of one record file, replayed as
// the engine's open replays it.
struct Replayed {
  LiveIndex live;
  uint64_t records = 0;
};

Result<Replayed, int> replay(Directory& dir, const std::string& path, const std::string& file,
                             Console& console) {
  auto opened = dir.open(file, OpenMode::ReadOnly);
  if (!opened.ok()) {
    return engine_failure(console, path, file + ": cannot be read",
                          "io: " + opened.error().display(),
                          storage_status(StorageError::io(opened.error())));
  }
  File& f = *opened.value();
  const uint64_t size = f.size().value();  // a FixedFile's size cannot fail
  Replayed out{LiveIndex(size)};
  ScanEnd end = scan_record_file(f, size, [&](const RecordView& r) {
    if (load_refusal(r)) return false;
    out.live.apply(r);
    ++out.records;
    return true;
  });
  if (end.stop == ScanStop::End) return out;
  if (end.stop == ScanStop::Io) {
    return engine_failure(console, path, file + ": cannot be read", "io: " + end.error->display(),
                          EXIT_OPERATIONAL);
  }
  return engine_failure(console, path, file,
                        cat({"open refuses the record at offset ", std::to_string(end.offset)}),
                        EXIT_DAMAGE_LEFT);
}

}  // namespace

int run_get(Platform& platform, const ParsedArgs& args, Console& console) {
  const auto& p = args.positionals;
  auto db = open_database(platform, p[0], p[1], console);
  if (!db.ok()) return db.error();
  auto value = db.value()->get(p[1], p[2]);
  if (!value.ok()) {
    return engine_failure(console, p[0], record_name(p[1], p[2]), value.error().display(),
                          storage_status(value.error()));
  }
  write_value_line(console, value.value());
  return EXIT_CLEAN;
}

int run_resolve(Platform& platform, const ParsedArgs& args, Console& console) {
  const auto& p = args.positionals;
  auto db = open_database(platform, p[0], p[1], console);
  if (!db.ok()) return db.error();
  const std::vector<std::string> fields(p.begin() + 3, p.end());
  auto value = db.value()->resolve(p[1], p[2], fields);
  if (value.ok()) {
    write_value_line(console, value.value());
    return EXIT_CLEAN;
  }
  const ResolveError& e = value.error();
  // Only a failed read is not about the path: a missing field, a cycle or a
  // link path that names nothing all mean there is nothing there.
  const int status = e.kind() == ResolveError::Kind::Storage ? storage_status(e.storage_error())
                                                             : EXIT_NOT_FOUND;
  return engine_failure(console, p[0], "resolve from " + record_name(p[1], p[2]), e.display(),
                        status);
}

int run_backlinks(Platform& platform, const ParsedArgs& args, Console& console) {
  const auto& p = args.positionals;
  auto db = open_database(platform, p[0], p[1], console);
  if (!db.ok()) return db.error();
  auto rows = db.value()->backlinks(p[1], p[2]);
  if (!rows.ok()) {
    return engine_failure(console, p[0], "backlinks of collection " + shown(p[1]),
                          rows.error().display(), storage_status(rows.error()));
  }
  std::string out;
  for (const Backlink& b : rows.value()) {
    out.append(cat({shown(b.source_collection), "\t", shown(b.source_key), "\t",
                    shown(b.source_path), "\n"}));
  }
  console.out(out);
  return EXIT_CLEAN;
}

int run_keys(Platform& platform, const ParsedArgs& args, Console& console) {
  const std::string& path = args.positionals[0];
  const std::string& collection = args.positionals[1];
  uint64_t limit = UINT64_MAX;
  if (const std::string* n = args.value("limit")) {
    auto [end, ec] = std::from_chars(n->data(), n->data() + n->size(), limit);
    if (ec != std::errc() || end != n->data() + n->size() || n->empty()) {
      console.err("zezavezud: --limit takes a whole number, not '" + printable(*n) + "'");
      return EXIT_USAGE;
    }
  }
  const std::string prefix = args.has("prefix") ? *args.value("prefix") : std::string();
  auto dir = open_read_only(platform, path);
  if (!dir.ok()) return console.fail(dir.error().message);
  if (!names_a_collection(console, path, collection)) return EXIT_NOT_FOUND;
  const std::string file = cat({collection, RECORD_SUFFIX});
  if (!dir.value()->entry_type(file).ok()) {
    console.err("zezavezud: " + path + " has no collection " + shown(collection));
    return EXIT_NOT_FOUND;
  }
  auto replayed = replay(*dir.value(), path, file, console);
  if (!replayed.ok()) return replayed.error();
  uint64_t count = 0;
  std::string out;
  for (const auto& [key, offset] : replayed.value().live.in_key_order()) {
    if (count == limit) break;
    if (!key.starts_with(prefix)) continue;
    ++count;
    if (!args.has("count")) out.append(shown(key)).append("\n");
  }
  console.out(args.has("count") ? std::to_string(count) + "\n" : out);
  return EXIT_CLEAN;
}

int run_collections(Platform& platform, const ParsedArgs& args, Console& console) {
  const std::string& path = args.positionals[0];
  auto dir = open_read_only(platform, path);
  if (!dir.ok()) return console.fail(dir.error().message);
  auto listing = list_directory(*dir.value());
  if (!listing.ok()) return console.fail(path + ": cannot be listed: " + listing.error().display());
  int status = EXIT_CLEAN;
  std::string out;
  for (const DirectoryListing::Entry& e : listing.value().record_files) {
    auto replayed = replay(*dir.value(), path, e.name, console);
    if (!replayed.ok()) {
      status |= replayed.error();
      continue;
    }
    const uint64_t live = replayed.value().live.size();
    out.append(cat({shown(e.collection), ": ", std::to_string(live), " live, ",
                    std::to_string(replayed.value().records - live), " dead\n"}));
  }
  console.out(out);
  for (const Finding& f : listing.value().notes) console.err(f.display());
  if (count_findings(listing.value().notes, Finding::Severity::Damage) > 0) {
    status |= EXIT_DAMAGE_LEFT;
  }
  return status | (listing.value().incomplete ? EXIT_OPERATIONAL : EXIT_CLEAN);
}

}  // namespace zez::tool
