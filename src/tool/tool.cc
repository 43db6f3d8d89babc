#include "tool/tool.h"

#include <algorithm>
#include <cerrno>
#include <exception>

#include "codec/encoding.h"
#include "db/text_map.h"
#include "tool/analysis.h"

namespace zez::tool {

namespace {

Finding note(std::string file, std::string kind, std::string detail) {
  return Finding{Finding::Severity::Note, std::move(file), std::nullopt, std::move(kind),
                 std::move(detail)};
}

// The message for a directory that cannot be opened.
Failure directory_failure(const std::string& path, const IoError& error) {
  if (error.os_code() == ENOENT) return Failure{path + ": no such directory"};
  if (error.os_code() == ENOTDIR) return Failure{path + ": not a directory"};
  return Failure{path + ": " + error.display()};
}

Failure lock_failure(const std::string& path, const IoError& error) {
  return Failure{cat({path, ": cannot lock the directory (", error.display(),
                      "); nothing was changed"})};
}

// What the engine does when it cannot open the file.
std::string consequence(const DatabaseFile& file) {
  if (file.kind == DatabaseFileKind::Backlinks) {
    return "backlinks of collection " + file.collection + " and links to it fail";
  }
  if (file.loaded_at_open()) return "open refuses the directory";
  return "the collection with the empty name fails on first use";
}

// Whether an error opening an entry comes from what the entry is (a
// directory, a dangling or looping link, a special file), rather than from
// who asks (no permission) or from the system (an I/O error).
// (0 is the platform's own refusal of a special file.)
bool is_about_the_entry(const IoError& error) {
  const int code = error.os_code();
  return code == 0 || code == ENOENT || code == EISDIR || code == ELOOP || code == ENOTDIR ||
         code == ENXIO;
}

// A database file that does not open, reported with the error the engine
// meets when it opens the file (it reads each one through the same call).
void add_unopenable(DirectoryListing& listing, const DatabaseFile& file, const IoError& error) {
  const bool damage = is_about_the_entry(error);
  listing.unopenable.push_back(file.name);
  listing.incomplete |= !damage;
  std::string detail = "io: " + error.display() + "; ";
  detail.append(damage ? consequence(file) : "not read, so damage in it is unknown");
  listing.notes.push_back(Finding{damage ? Finding::Severity::Damage : Finding::Severity::Note,
                                  file.name, std::nullopt, "cannot be opened", std::move(detail)});
}

}  // namespace

Failure io_failure(const std::string& file, std::string_view what, const IoError& e) {
  Failure f{cat({file, ": ", what, ": ", e.display()})};
  f.os_code = e.os_code();
  return f;
}

std::string cat(std::initializer_list<std::string_view> pieces) {
  std::string text;
  for (std::string_view p : pieces) text.append(p);
  return text;
}

std::string Finding::display() const {
  // Appended piece by piece: GCC 12 warns falsely on `":" + std::to_string(n)`.
  std::string text = file;
  if (offset) text.append(":").append(std::to_string(*offset));
  if (!text.empty()) text.append(": ");
  text.append(kind);
  if (!detail.empty()) text.append(": ").append(detail);
  return text;
}

std::string fit_file_name(std::string_view head, std::string_view tail) {
  if (head.size() + tail.size() <= MAX_FILE_NAME) return cat({head, tail});
  // FNV-1a: a fixed function, so the name is the same in every run.
  uint32_t hash = 2166136261u;
  for (unsigned char c : head) hash = (hash ^ c) * 16777619u;
  static const char HEX[] = "0123456789abcdef";
  std::string mark = "~";
  for (int shift = 28; shift >= 0; shift -= 4) mark.push_back(HEX[(hash >> shift) & 15]);
  size_t keep = MAX_FILE_NAME > tail.size() + mark.size() ? MAX_FILE_NAME - tail.size() - mark.size()
                                                          : 0;
  keep = std::min(keep, head.size());
  // Never half a UTF-8 character: back over continuation bytes.
  while (keep > 0 && keep < head.size() && (static_cast<unsigned char>(head[keep]) & 0xC0) == 0x80) {
    --keep;
  }
  return cat({head.substr(0, keep), mark, tail});
}

std::string temp_name_of(std::string_view name) { return fit_file_name(name, TEMP_SUFFIX); }

uint64_t count_findings(const std::vector<Finding>& findings, Finding::Severity severity) {
  uint64_t n = 0;
  for (const Finding& f : findings) {
    if (f.severity == severity) n += f.count;
  }
  return n;
}

Result<DirectoryListing, IoError> list_directory(Directory& dir) {
  auto names = dir.list();
  if (!names.ok()) return std::move(names).error();
  DirectoryListing listing;
  // Temporary names, and the names this tool gives the temporary files of
  // the database files present.
  std::vector<std::string> maybe_temp;
  TextSet own_temp;
  std::vector<NamedFile> ids;  // of the database files that open
  for (const std::string& name : names.value()) {
    if (database_file_of(name)) own_temp.insert(temp_name_of(name));
  }
  for (const std::string& name : names.value()) {
    if (name.ends_with(TEMP_SUFFIX)) {
      auto info = dir.entry_type(name);
      if (info.ok() && info.value().type == FileType::Regular) {
        maybe_temp.push_back(name);
      } else if (info.ok()) {
        const char* const types[] = {"regular file", "directory", "symbolic link", "special file"};
        listing.notes.push_back(note(name, "not a regular file",
                                     cat({"a ", types[size_t(info.value().type)],
                                          " named like a temporary file; left alone"})));
      }
      continue;
    }
    auto file = database_file_of(name);
    if (!file) continue;
    if (!file->collection_is_utf8) {
      listing.notes.push_back(
          note(name, "name not UTF-8", "no collection can have this file; left alone"));
      continue;
    }
    auto info = dir.entry_type(name);
    auto opened = info.ok() ? dir.open(name, OpenMode::ReadOnly)
                            : Result<std::unique_ptr<File>, IoError>(info.error());
    auto id = opened.ok() ? opened.value()->identity() : Result<FileId, IoError>(opened.error());
    if (!id.ok()) {
      add_unopenable(listing, *file, id.error());
      continue;
    }
    ids.push_back({name, id.value()});
    auto& list = file->kind == DatabaseFileKind::Records ? listing.record_files
                                                         : listing.backlink_files;
    list.push_back(DirectoryListing::Entry{name, std::move(file->collection),
                                           info.value().type == FileType::Symlink});
  }
  // Only a temporary file this tool can tell it made goes: the one of a
  // database file that is there, or one named after a database file (a
  // backlink file being created). Any other is someone else's.
  for (const std::string& name : maybe_temp) {
    const std::string_view of = std::string_view(name).substr(0, name.size() - TEMP_SUFFIX.size());
    if (own_temp.count(name) || database_file_of(of)) {
      listing.temp_files.push_back(name);
    } else {
      listing.notes.push_back(note(name, "not a temporary file of zezavezud",
                                   "named like one, but no database file here has this "
                                   "temporary name; left alone"));
    }
  }
  auto by_collection = [](const DirectoryListing::Entry& a, const DirectoryListing::Entry& b) {
    return a.collection < b.collection;
  };
  listing.shared = shared_files(std::move(ids));
  for (const SharedFile& s : listing.shared) {
    listing.notes.push_back(Finding{Finding::Severity::Damage, s.second, std::nullopt, "same file",
                                    cat({"it and ", s.first,
                                         " are one file (a hard link, or a symbolic link to a "
                                         "sibling): each collection reads the other's writes; "
                                         "repair gives each its own file"})});
  }
  std::sort(listing.record_files.begin(), listing.record_files.end(), by_collection);
  std::sort(listing.backlink_files.begin(), listing.backlink_files.end(), by_collection);
  std::sort(listing.temp_files.begin(), listing.temp_files.end());
  std::sort(listing.unopenable.begin(), listing.unopenable.end());
  std::stable_sort(listing.notes.begin(), listing.notes.end(),
                   [](const Finding& a, const Finding& b) { return a.file < b.file; });
  return listing;
}

bool has_collection(const DirectoryListing& listing, std::string_view collection) {
  auto named = [&](const DirectoryListing::Entry& e) { return e.collection == collection; };
  if (std::any_of(listing.record_files.begin(), listing.record_files.end(), named) ||
      std::any_of(listing.backlink_files.begin(), listing.backlink_files.end(), named)) {
    return true;
  }
  return std::any_of(listing.unopenable.begin(), listing.unopenable.end(),
                     [&](const std::string& name) {
                       auto file = database_file_of(name);
                       return file && file->collection == collection;
                     });
}

std::string no_collection_message(const std::string& path, std::string_view collection) {
  return path + " has no collection named '" + printable(collection) + "'";
}

Result<std::unique_ptr<Directory>, Failure> open_for_reading(Platform& platform,
                                                             const std::string& path,
                                                             Console& console, bool* in_use) {
  auto dir = platform.open_existing_directory(path);
  if (!dir.ok()) return directory_failure(path, dir.error());
  // A second handle only to ask whether anyone else holds the directory: the
  // reader itself must not keep a lock that would refuse a Database's open.
  auto probe = platform.open_existing_directory(path);
  if (probe.ok()) {
    auto locked = probe.value()->lock_exclusive();
    if (locked.ok() && locked.value() == LockStatus::WouldBlock) {
      console.err("zezavezud: warning: " + path +
                  " is open in another program: a write in flight may show as damage");
      if (in_use) *in_use = true;
    }
  }
  return std::move(dir).value();
}

Result<std::unique_ptr<Directory>, Failure> open_for_writing(Platform& platform,
                                                             const std::string& path) {
  auto dir = platform.open_existing_directory(path);
  if (!dir.ok()) return directory_failure(path, dir.error());
  auto locked = dir.value()->lock_exclusive();
  if (!locked.ok()) return lock_failure(path, locked.error());
  if (locked.value() == LockStatus::WouldBlock) {
    return Failure{path + " is open in another program; nothing was changed"};
  }
  return std::move(dir).value();
}

Result<std::unique_ptr<Directory>, Failure> open_for_copying(Platform& platform,
                                                             const std::string& path,
                                                             bool& in_use) {
  auto dir = platform.open_existing_directory(path);
  if (!dir.ok()) return directory_failure(path, dir.error());
  // The exclusive lock first, only to learn whether anyone else holds the
  // directory; it is then turned into the shared one.
  auto alone = dir.value()->lock_exclusive();
  if (!alone.ok()) return lock_failure(path, alone.error());
  in_use = alone.value() == LockStatus::WouldBlock;
  auto shared = dir.value()->lock_shared();
  if (!shared.ok()) return lock_failure(path, shared.error());
  if (shared.value() == LockStatus::WouldBlock) {
    return Failure{path +
                   " is held by a maintenance command (repair, compact or load); nothing was "
                   "changed"};
  }
  return std::move(dir).value();
}

Result<Unit, SyncFailure> sync_database_files(Directory& dir) {
  auto listing = list_directory(dir);
  if (!listing.ok()) return SyncFailure{"", std::move(listing).error()};
  for (const auto* files : {&listing.value().record_files, &listing.value().backlink_files}) {
    for (const DirectoryListing::Entry& e : *files) {
      auto f = dir.open(e.name, OpenMode::ReadOnly);
      auto s = f.ok() ? f.value()->sync() : Result<Unit, IoError>(std::move(f).error());
      if (!s.ok()) return SyncFailure{e.name, std::move(s).error()};
    }
  }
  return Unit{};
}

Result<Unit, Failure> check_free_space(Directory& dir, uint64_t needed, std::string_view command,
                                       const std::string& path) {
  auto free = dir.free_space();
  if (!free.ok()) {
    return Failure{path + ": cannot learn the free space (" + free.error().display() +
                   "); nothing was changed"};
  }
  if (free.value() >= needed) return Unit{};
  return Failure{cat({path, ": not enough free space: ", command, " needs ", std::to_string(needed),
                      " bytes, ", std::to_string(free.value()), " are free; nothing was changed"})};
}

void write_findings_text(Console& console, const std::vector<Finding>& findings) {
  for (const Finding& f : findings) {
    console.out(f.display());
    console.out("\n");
  }
}

const std::vector<CommandSpec>& command_table() {
  const std::string_view json = "write the report as one JSON document";
  static const std::vector<CommandSpec> table = {
      {"check",
       {{"quick", "", 0, "frame every record, decode only each file's last value"},
        {"json", "", 0, json}},
       {"DIR"},
       "Reads every file of DIR and reports what open() would refuse or get wrong; changes "
       "nothing.",
       "Each finding is a line \"FILE:OFFSET: KIND: DETAIL\"; a last line sums up. A directory "
       "open in another program is read more than once, and only what every look finds counts "
       "as damage; what a write in flight could explain is a note, and check then exits 8 and "
       "asks to be run again when no program has DIR open. --quick does not compare backlinks with the links values hold, and reads in "
       "full only a file whose framing finds a fault. The format has no checksums: a flipped "
       "bit inside a value that still decodes cannot be found. Keep backups.\n\n"
       "Exit status: 0 no damage found; 4 damage found; 8 a file or DIR could not be read "
       "(the report is incomplete); 16 a wrong command line. Bits combine."},
      {"repair",
       {{"dry-run", "", 0, "say what repair would do, and change nothing"},
        {"salvage", "", 0, "also drop bad records and damage in the middle"},
        {"json", "", 0, json}},
       {"DIR"},
       "Mends the damage check finds, keeping every byte it takes out of a file in "
       "DIR/lost+found/.",
       "Cuts torn tails, rebuilds backlink files, removes temporary files left by an "
       "interrupted command; --salvage also rewrites record files without their bad records "
       "and damaged bytes, and names every key whose value changes or may change. It keeps "
       "the backlink rows of a collection whose record file it cannot read. It refuses a "
       "directory open "
       "in another program, and never replaces an entry it cannot open or a symbolic link. "
       "Running it again finishes an interrupted repair.\n\n"
       "Exit status: 0 no damage found; 1 damage repaired; 4 damage left; 8 DIR is in use, a "
       "file could not be read or written, or there is not enough free space; 16 a wrong "
       "command line. Bits combine."},
      {"compact",
       {{"collection", "NAME", 0, "compact only this collection's files"}, {"json", "", 0, json}},
       {"DIR"},
       "Rewrites each record file with only its live records and each backlink file with only "
       "its current rows, so that files grown by overwrites and deletes shrink.",
       "Nothing a program can read changes, and each file is replaced in one step by a synced "
       "copy. It refuses, changing nothing, damage (run repair first), a symbolic link in "
       "scope, a directory open in another program, and a disk without room for the largest "
       "rewritten file.\n\n"
       "Exit status: 0 compacted; 4 refused for damage or a symbolic link; 8 DIR is in use, "
       "NAME names no collection, a file could not be read or written, or there is not enough "
       "free space; 16 a wrong command line."},
      {"stats",
       {{"json", "", 0, "write the figures as one JSON document"}},
       {"DIR"},
       "Shows per collection of DIR the live keys, the records, and the bytes they take, live "
       "and dead; changes nothing.",
       "Dead bytes are what compact would win back.\n\n"
       "Exit status: 0 no damage met; 4 damage met; 8 a file or DIR could not be read; 16 a "
       "wrong command line."},
      {"dump",
       {{"collection", "NAME", 0, "dump only this collection"},
        {"output", "FILE", 'o', "write the dump to FILE instead of standard output"}},
       {"DIR"},
       "Writes every live record of DIR as a line of JSON, collections in name order and keys "
       "in byte order; changes nothing.",
       "The dump is what load reads. It also saves what it can from a directory open() "
       "refuses: what it cannot read is reported on standard error and left out.\n\n"
       "Exit status: 0 every live record dumped; 4 damaged records left out; 8 a file or DIR "
       "could not be read, NAME names no collection, or FILE could not be written; 16 a wrong "
       "command line."},
      {"load",
       {{"input", "FILE", 'i', "read the dump from FILE instead of standard input"},
        {"merge", "", 0, "write into an existing database, replacing what the dump holds"}},
       {"DIR"},
       "Writes the records of a dump into the database DIR through the engine, so that "
       "backlinks are built as any write builds them.",
       "The whole input is checked before anything is written. Without --merge, DIR must not "
       "exist or be empty, and the database appears there all at once or not at all.\n\n"
       "Exit status: 0 loaded; 4 the input is not a valid dump; 8 DIR holds a database "
       "(without --merge) or is in use, or a file could not be read or written; 16 a wrong "
       "command line."},
      {"backup",
       {{"compact", "", 0, "copy only the live records, as compact writes them"},
        {"json", "", 0, json}},
       {"DIR", "DEST"},
       "Copies the database DIR, which programs may have open and be writing, into the new "
       "directory DEST.",
       "Programs go on writing meanwhile; repair, compact and load are refused. Each "
       "collection is copied as it was at some moment during the backup, up to its last "
       "whole record; collections are not copied at one moment, as that would need the "
       "writers to stop. Every write acknowledged before the backup started is in the copy. "
       "Damage in DIR is copied as it is and reported as check reports it. DEST must not "
       "exist, or be an "
       "empty directory outside DIR; it appears complete or not at all.\n\n"
       "Exit status: 0 copied; 4 copied, damage included; 8 DIR is held by a "
       "maintenance command, DEST is in the way or inside DIR, a file could not be read or "
       "written, or there is not enough free space; 16 a wrong command line."},
      {"get",
       {},
       {"DIR", "COLLECTION", "KEY"},
       "Shows the value of one record as a line of JSON, spelled as dump spells it; changes "
       "nothing.",
       "Reads as the open() of a program does, beside programs that have DIR open: a "
       "record being written at that moment is not there yet. A value JSON cannot "
       "spell exactly is a one-key object, such as {\"$bytes\":...} or "
       "{\"$link\":...}.\n\nExit status: 0 shown; 2 no such record; 4 DIR or the record is "
       "damaged (check tells more); 8 DIR is missing or held by repair, compact or "
       "load, or a file could not be read; 16 a wrong command line."},
      {"keys",
       {{"prefix", "P", 0, "only the keys that start with P"},
        {"limit", "N", 0, "at most N keys"},
        {"count", "", 0, "print how many keys there are instead of the keys"}},
       {"DIR", "COLLECTION"},
       "Lists the live keys of a collection, one per line in byte order; changes nothing.",
       "Reads the record file as open() replays it, beside programs that have DIR "
       "open. A key that is empty or holds a control character, a tab, a quote or a "
       "backslash is shown in double quotes with escapes (\\n, \\t, \\\", \\\\, \\u{...}); "
       "any other key as it is. --limit counts the keys after --prefix has chosen "
       "them.\n\nExit status: 0 listed; 2 no such collection; 4 the record file is "
       "damaged (check tells more); 8 DIR is missing or held by repair, compact or "
       "load, or a file could not be read; 16 a wrong command line."},
      {"backlinks",
       {},
       {"DIR", "COLLECTION", "KEY"},
       "Lists the links to a record: a line per link, with the collection and key holding it "
       "and the link's place in that value, separated by tabs; changes nothing.",
       "Names are shown as keys shows them. The place is the map keys and list indexes "
       "from the value's root to the link, joined with /, and \"\" for a link that is "
       "the whole value. A record nothing links to has no lines, whether it exists or "
       "not.\n\nExit status: 0 listed; 2 no collection can have that name; 4 a file is "
       "damaged (check tells more); 8 DIR is "
       "missing or held by repair, compact or load, or a file could not be read; 16 a "
       "wrong command line."},
      {"resolve",
       {},
       {"DIR", "COLLECTION", "KEY", "[FIELD...]"},
       "Walks the fields from a record, following links on the way as Database.resolve does, "
       "and shows the value reached as a line of JSON; changes nothing.",
       "Each FIELD is one field name, never split at . or /; with none, the whole "
       "value is shown, a link there followed. A missing field, or a link to a missing "
       "record, shows null. A FIELD that starts with - goes after --.\n\nExit status: 0 "
       "shown; 2 no such record, or the path leads nowhere (a field of a number, text "
       "or list, more than 32 links in a chain, a link path without a key); 4 a file "
       "is damaged (check tells more); 8 DIR is missing or held by repair, compact or "
       "load, or a file could not be read; 16 a wrong command line."},
      {"collections",
       {},
       {"DIR"},
       "Lists the collections of DIR with their live records and the dead ones that compact "
       "would drop; changes nothing.",
       "A line per collection: its name, shown as keys shows names, then \": N live, M "
       "dead\". Live records are the keys a program can read; dead ones were replaced "
       "or deleted since.\n\nExit status: 0 listed; 4 a file is damaged (its collection "
       "is left out; check tells more); 8 DIR is missing or held by repair, compact or "
       "load, or a file could not be read; 16 a wrong command line."},
  };
  return table;
}

namespace {

std::string tool_help(const std::vector<CommandSpec>& table) {
  std::string out = "usage: zezavezud COMMAND [OPTIONS] DIR\n\n";
  out.append(wrap_text(
      "Checks, mends, moves and shows the database directory DIR of the _zezavezud module.", 0,
      79));
  out.append("\ncommands:\n");
  for (const CommandSpec& command : table) {
    std::string text = wrap_text(command.summary, 14, 79);
    out.append(text.replace(2, command.name.size(), command.name));
  }
  return out.append("\n").append(wrap_text(
      "`zezavezud help COMMAND` or `zezavezud COMMAND --help` explains a command and every "
      "option it takes. `zezavezud --version` (or -V) shows the version.\n\n"
      "Exit statuses are bits, combined: 0 nothing wrong; 1 damage found and repaired; 2 the "
      "record or collection asked for is not there; 4 damage found and left; 8 an operational "
      "failure (the directory is missing or in use, "
      "a file could not be read or written, no free space); 16 a wrong command line.",
      0, 79));
}

int run_command(Platform& platform, const std::vector<std::string_view>& args, Console& console) {
  const auto& table = command_table();
  auto parsed = parse_args(table, args);
  if (!parsed.ok()) {
    console.err("zezavezud: " + parsed.error());
    std::string usage = "usage: zezavezud COMMAND [OPTIONS] DIR (see zezavezud --help)";
    for (const CommandSpec& command : table) {
      if (!args.empty() && args[0] == command.name) usage = usage_line("zezavezud", command);
    }
    console.err(usage);
    return EXIT_USAGE;
  }
  const ParsedArgs& a = parsed.value();
  if (a.version) {
    console.out("zezavezud " + std::string(ZEZ_VERSION) + "\n");
    return EXIT_CLEAN;
  }
  if (a.help) {
    console.out(a.command != nullptr ? command_help("zezavezud", *a.command) : tool_help(table));
    return EXIT_CLEAN;
  }
  std::string_view name = a.command->name;
  if (name == "check") return run_check(platform, a, console);
  if (name == "repair") return run_repair(platform, a, console);
  if (name == "compact") return run_compact(platform, a, console);
  if (name == "stats") return run_stats(platform, a, console);
  if (name == "dump") return run_dump(platform, a, console);
  if (name == "backup") return run_backup(platform, a, console);
  if (name == "get") return run_get(platform, a, console);
  if (name == "keys") return run_keys(platform, a, console);
  if (name == "backlinks") return run_backlinks(platform, a, console);
  if (name == "resolve") return run_resolve(platform, a, console);
  if (name == "collections") return run_collections(platform, a, console);
  return run_load(platform, a, console);
}

}  // namespace

// The engine's tables and the tool's buffers throw std::bad_alloc (or
// std::length_error) when memory runs out. Uncaught, that would end the
// process with an abort and no word on what was left. Every file a command
// rewrites is replaced by a rename of a finished copy, so whatever was cut
// short stays as it was; only a temporary file may be left beside it.
int run_tool(Platform& platform, const std::vector<std::string_view>& args, Console& console) {
  try {
    return run_command(platform, args, console);
  } catch (const std::exception& e) {
    console.err(std::string("zezavezud: stopped: out of memory (") + e.what() +
                "); a file being rewritten stays as it was, and a leftover *" +
                std::string(TEMP_SUFFIX) + " beside it may be removed");
    return EXIT_OPERATIONAL;
  }
}

}  // namespace zez::tool
