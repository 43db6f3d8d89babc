// What every subcommand of the maintenance program shares. Subcommands run
// against a Platform, so the engine tests drive them over the in-memory file
// system with planned faults, exactly as the program drives them over the
// real one.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/errors.h"
#include "codec/result.h"
#include "db/database.h"
#include "db/database_files.h"
#include "db/file.h"
#include "db/replace_file.h"
#include "tool/args.h"

namespace zez::tool {

// Exit status bits, combined by OR (the convention of file system checkers).
inline constexpr int EXIT_CLEAN = 0;
inline constexpr int EXIT_REPAIRED = 1;     // damage found and repaired
inline constexpr int EXIT_NOT_FOUND = 2;    // the record or collection asked for is not there
inline constexpr int EXIT_DAMAGE_LEFT = 4;  // damage found and left as it is
inline constexpr int EXIT_OPERATIONAL = 8;  // I/O, directory in use, not a directory, no space
inline constexpr int EXIT_USAGE = 16;

inline constexpr std::string_view TEMP_SUFFIX = ".zezavezud-tmp";
inline constexpr std::string_view BACKUP_DIRECTORY = "lost+found";
// The file a load or backup keeps in the directory it writes until it has
// finished ("DIR.zezavezud-tmp", or DIR itself during a --merge). The
// engine's open ignores it.
inline constexpr std::string_view LOAD_MARKER = "zezavezud-load-in-progress";

// Where a subcommand's output goes: the standard streams, or strings in tests.
class Console {
 public:
  virtual ~Console() = default;
  // Standard output: the report, the one JSON document, or a dump.
  virtual void out(std::string_view text) = 0;
  // A line of standard error (the newline is added).
  virtual void err(std::string_view line) = 0;
  // `done` of `total` units of work, shown on a terminal only.
  virtual void progress(std::string_view what, uint64_t done, uint64_t total) = 0;
  // Up to n bytes of standard input; 0 at its end.
  virtual Result<size_t, IoError> read_input(char* dst, size_t n) = 0;

  // "zezavezud: MESSAGE" on standard error; returns EXIT_OPERATIONAL.
  int fail(std::string_view message) {
    err("zezavezud: " + std::string(message));
    return EXIT_OPERATIONAL;
  }
};

// One thing a subcommand found, shown as "FILE:OFFSET: KIND: detail", e.g.
// "posts.qdb:1048576: torn tail: record needs 5013 bytes, 701 remain".
struct Finding {
  enum class Severity : uint8_t {
    Damage,  // sets EXIT_DAMAGE_LEFT unless repaired
    Note,    // worth knowing, not damage
  };
  Severity severity;
  std::string file;  // entry name inside the directory; may be empty
  std::optional<uint64_t> offset;
  std::string kind;  // "torn tail", "stale backlink", ...
  std::string detail;
  // The findings this line stands for: more than 1 for "41 more rows".
  uint64_t count = 1;
  // What it is about, for a command that acts on some findings itself.
  enum class Cause : uint8_t {
    Other,
    Records,    // the damage of a record file, and the notes about it
    Backlinks,  // a backlink file that does not load, or rows that differ from the links
  };
  Cause cause = Cause::Other;

  std::string display() const;
};

// The total of the findings' counts of one severity.
uint64_t count_findings(const std::vector<Finding>& findings, Finding::Severity severity);

// The entries of a database directory as the engine sees them: database
// files are those database_file_of() names, each opened as the engine opens
// it, following a symbolic link. Names are raw bytes.
struct DirectoryListing {
  struct Entry {
    std::string name;
    std::string collection;  // the name without its suffix
    // A symbolic link to a file: read like any other, but never replaced (a
    // rewrite would put a file in the link's place).
    bool symlink = false;
  };
  // Record files ("*.qdb") and backlink files ("*.qbl") that open, in
  // collection name order.
  std::vector<Entry> record_files;
  std::vector<Entry> backlink_files;
  // Leftover "<file>.zezavezud-tmp" files of an earlier run.
  std::vector<std::string> temp_files;
  // Database files that do not open: damage when the engine fails on them
  // too (a directory, a dangling link, a special file); never touched.
  std::vector<std::string> unopenable;
  // One failed for want of permission or by an I/O error: the tool cannot
  // judge it (an operational failure, not damage).
  bool incomplete = false;
  // Database files that are one file under two names (damage: each
  // collection sees the other's writes); repair gives `second` a file of
  // its own.
  std::vector<SharedFile> shared;
  // A finding for each unopenable file (a note when the picture is
  // incomplete), notes for names that are not UTF-8 and for temporary names
  // that are not regular files.
  std::vector<Finding> notes;
};

// Whether a record or backlink file of the collection is there, opening or not.
bool has_collection(const DirectoryListing& listing, std::string_view collection);
// What a command says when --collection names no collection.
std::string no_collection_message(const std::string& path, std::string_view collection);

Result<DirectoryListing, IoError> list_directory(Directory& dir);

// `head` followed by `tail`, made to fit in a file name (255 bytes): a head
// too long for it is cut at a character boundary and followed by "~" and 8
// hex digits of a hash of the whole head, so that a person still reads which
// file it came from and two long heads do not meet.
std::string fit_file_name(std::string_view head, std::string_view tail);
// The temporary file that replaces `name` by renaming: "NAME.zezavezud-tmp",
// fitted.
std::string temp_name_of(std::string_view name);

// Why a command stopped: the line for standard error and the exit status.
struct Failure {
  std::string message;
  int status = EXIT_OPERATIONAL;
  // Damage that repair mends first: the repair to suggest ("repair" or
  // "repair --salvage"); empty when repair is not the remedy.
  std::string_view repair = {};
  // The system's error code behind it, when there is one: it tells whether
  // running the command again can finish.
  int os_code = 0;
};

// "FILE: WHAT: ERROR".
Failure io_failure(const std::string& file, std::string_view what, const IoError& e);

// Joins the pieces. (GCC 12 warns falsely on chains of `+` over strings.)
std::string cat(std::initializer_list<std::string_view> pieces);

// Opens an existing directory for a command that only reads it. When
// another program holds it, warns that a write in flight may show as damage.
// `in_use`, when given, tells whether another program had it open.
Result<std::unique_ptr<Directory>, Failure> open_for_reading(Platform& platform,
                                                             const std::string& path,
                                                             Console& console,
                                                             bool* in_use = nullptr);
// Opens an existing directory under its exclusive lock, held until the
// handle is closed; fails when any other program holds it.
Result<std::unique_ptr<Directory>, Failure> open_for_writing(Platform& platform,
                                                             const std::string& path);

// Opens an existing directory under its shared lock: programs using the
// database go on writing, while maintenance commands that need the exclusive
// lock are refused. Fails when one of them holds it. `in_use` tells whether
// another program had the directory open.
Result<std::unique_ptr<Directory>, Failure> open_for_copying(Platform& platform,
                                                             const std::string& path,
                                                             bool& in_use);

// Forces every database file of `dir` to stable storage; `dir` itself is
// the caller's to force (load and backup force it once, with the removal
// of their marker). On failure: the file and why.
struct SyncFailure {
  std::string file;
  IoError error;
};
Result<Unit, SyncFailure> sync_database_files(Directory& dir);

// Gives `target` (a File or a Directory) the owner, group and mode of
// `wanted`. Only root may give away a file, so for anyone else, who is
// refused, the mode alone: a copy made by root belongs to the owner of
// what it copies, and is not locked away from the program that uses it.
template <class Target>
Result<Unit, IoError> take_owner_and_mode(Target& target, const OwnerAndMode& wanted) {
  auto given = target.set_owner_and_mode(wanted);
  if (given.ok() || given.error().os_code() != EPERM) return given;
  auto own = target.owner_and_mode();
  if (!own.ok()) return std::move(own).error();
  return target.set_owner_and_mode(OwnerAndMode{own.value().uid, own.value().gid, wanted.mode});
}

// a + b, or the largest value when that does not fit.
inline uint64_t saturating_add(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

// Refuses when the file system of `dir` has fewer than `needed` bytes free:
// "PATH: not enough free space: COMMAND needs N bytes, M are free; nothing
// was changed". A failed query refuses too.
Result<Unit, Failure> check_free_space(Directory& dir, uint64_t needed, std::string_view command,
                                       const std::string& path);

void write_findings_text(Console& console, const std::vector<Finding>& findings);

// The subcommands, with `args` checked against their CommandSpec. Each
// returns its exit status.
int run_check(Platform& platform, const ParsedArgs& args, Console& console);
int run_repair(Platform& platform, const ParsedArgs& args, Console& console);
int run_compact(Platform& platform, const ParsedArgs& args, Console& console);
int run_stats(Platform& platform, const ParsedArgs& args, Console& console);
int run_dump(Platform& platform, const ParsedArgs& args, Console& console);
int run_load(Platform& platform, const ParsedArgs& args, Console& console);
int run_backup(Platform& platform, const ParsedArgs& args, Console& console);
// The read-only inspector (inspect.cc).
int run_get(Platform& platform, const ParsedArgs& args, Console& console);
int run_keys(Platform& platform, const ParsedArgs& args, Console& console);
int run_backlinks(Platform& platform, const ParsedArgs& args, Console& console);
int run_resolve(Platform& platform, const ParsedArgs& args, Console& console);
int run_collections(Platform& platform, const ParsedArgs& args, Console& console);

// The table of subcommands, for parse_args and usage.
const std::vector<CommandSpec>& command_table();

// Parses the arguments and runs the subcommand; returns the exit status.
int run_tool(Platform& platform, const std::vector<std::string_view>& args, Console& console);

}  // namespace zez::tool
