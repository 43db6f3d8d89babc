// What every subcommand of the maintenance program shares: exit statuses,
// findings and how they are shown, the classification of a database
// directory's entries, and the directory lock.
//
// Subcommands run against a Platform, so the engine tests drive them over
// the in-memory file system with planned faults, exactly as the program
// drives them over the real one.
#pragma once

#include <algorithm>
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
#include "db/file.h"
#include "tool/args.h"

namespace zez::tool {

// Exit status bits, combined by OR (the convention of file system checkers).
inline constexpr int EXIT_CLEAN = 0;
inline constexpr int EXIT_REPAIRED = 1;     // damage found and repaired
inline constexpr int EXIT_DAMAGE_LEFT = 4;  // damage found and left as it is
inline constexpr int EXIT_OPERATIONAL = 8;  // I/O, directory in use, not a directory, no space
inline constexpr int EXIT_USAGE = 16;

inline constexpr std::string_view TEMP_SUFFIX = ".zezavezud-tmp";
inline constexpr std::string_view BACKUP_DIRECTORY = "lost+found";
// The file a load keeps in the directory it writes until it has finished:
// in "DIR.zezavezud-tmp" while it builds a new database, in DIR itself
// during a --merge. The engine's open ignores it.
inline constexpr std::string_view LOAD_MARKER = "zezavezud-load-in-progress";

// Where a subcommand's output goes. The program writes to its standard
// streams; tests collect both in strings.
class Console {
 public:
  virtual ~Console() = default;
  // Standard output: the report, or the one JSON document, or a dump.
  virtual void out(std::string_view text) = 0;
  // Standard error: warnings and the message of an operational failure, one
  // line each (the newline is added).
  virtual void err(std::string_view line) = 0;
  // A progress line on standard error, shown only when it is a terminal,
  // each one replacing the last. `done` of `total` units of work.
  virtual void progress(std::string_view what, uint64_t done, uint64_t total) = 0;
  // Reads up to n bytes of standard input; 0 at its end.
  virtual Result<size_t, IoError> read_input(char* dst, size_t n) = 0;

  // Reports an operational failure ("zezavezud: MESSAGE") and returns its
  // exit status.
  int fail(std::string_view message) {
    err("zezavezud: " + std::string(message));
    return EXIT_OPERATIONAL;
  }
};

// Collects everything, for tests.
class StringConsole final : public Console {
 public:
  void out(std::string_view text) override { stdout_.append(text); }
  void err(std::string_view line) override {
    stderr_.append(line);
    stderr_.push_back('\n');
  }
  void progress(std::string_view, uint64_t, uint64_t) override {}
  Result<size_t, IoError> read_input(char* dst, size_t n) override {
    size_t k = std::min(n, stdin_.size() - stdin_read_);
    stdin_.copy(dst, k, stdin_read_);
    stdin_read_ += k;
    return k;
  }
  void set_input(std::string text) { stdin_ = std::move(text), stdin_read_ = 0; }
  const std::string& stdout_text() const { return stdout_; }
  const std::string& stderr_text() const { return stderr_; }

 private:
  std::string stdout_;
  std::string stderr_;
  std::string stdin_;
  size_t stdin_read_ = 0;
};

// One thing a subcommand found. Shown as "FILE:OFFSET: KIND: detail" (the
// offset left out when there is none), e.g.
// "posts.qdb:1048576: torn tail: record needs 5013 bytes, 701 remain".
struct Finding {
  enum class Severity : uint8_t {
    Damage,  // the directory is damaged: sets EXIT_DAMAGE_LEFT unless repaired
    Note,    // worth knowing, not damage (a leftover temporary file, a name that is not UTF-8)
  };
  Severity severity;
  std::string file;  // entry name inside the directory; may be empty
  std::optional<uint64_t> offset;
  std::string kind;  // "torn tail", "stale backlink", ...
  std::string detail;
  // How many findings this one line stands for: more than 1 for a line that
  // sums up the rest of a long run ("41 more rows").
  uint64_t count = 1;

  std::string display() const;
};

// The total of the findings' counts of one severity.
uint64_t count_findings(const std::vector<Finding>& findings, Finding::Severity severity);

// The names of a database directory, sorted by kind, as the engine sees
// them: which entries are database files is decided by database_file_of(),
// and each is opened the way the engine opens it, following a symbolic link.
// Names are raw bytes.
struct DirectoryListing {
  struct Entry {
    std::string name;        // the file name
    std::string collection;  // the name without its suffix
    // The entry is a symbolic link to a file: read like any other, but never
    // replaced (a rewrite would put a file in the link's place).
    bool symlink = false;
  };
  // Record files ("*.qdb", ".qdb" of the empty collection included) that
  // open, in collection name order.
  std::vector<Entry> record_files;
  // Backlink files ("*.qbl") that open, with or without a record file beside
  // them, in collection name order.
  std::vector<Entry> backlink_files;
  // Leftover "<file>.zezavezud-tmp" files of an earlier run.
  std::vector<std::string> temp_files;
  // Database files that do not open: a directory, a dangling or looping
  // link, a special file (damage: the engine fails on them too), or a file
  // this user may not read or the system fails to open. Never touched.
  std::vector<std::string> unopenable;
  // One of them failed for want of permission or by an I/O error: the tool
  // cannot judge it, so the picture is incomplete (an operational failure,
  // not damage).
  bool incomplete = false;
  // What the listing found about its entries: a finding for each unopenable
  // file (damage, or a note when the picture is incomplete), notes for names
  // that are not UTF-8 and for temporary names that are not regular files.
  std::vector<Finding> notes;
};

// Whether the directory has the collection: a record or backlink file of
// that name, whether or not it opens.
bool has_collection(const DirectoryListing& listing, std::string_view collection);
// What a command says when --collection names no collection.
std::string no_collection_message(const std::string& path, std::string_view collection);

// Lists and classifies the directory's entries.
Result<DirectoryListing, IoError> list_directory(Directory& dir);

// True when a collection name can be a file name in the directory (no "/",
// no NUL, not too long for the system).
bool is_usable_collection_name(std::string_view name);

// Why a command stopped: the line for standard error and the exit status.
struct Failure {
  std::string message;
  int status = EXIT_OPERATIONAL;
  // Damage that repair mends first: the repair to suggest ("repair" or
  // "repair --salvage"); empty when repair is not the remedy.
  std::string_view repair = {};
};

// "FILE: WHAT: ERROR".
Failure io_failure(const std::string& file, std::string_view what, const IoError& e);

// Joins the pieces. (GCC 12 warns falsely on chains of `+` over strings.)
std::string cat(std::initializer_list<std::string_view> pieces);

// Opens an existing directory for a command that only reads it. Never
// creates anything. When another program holds the directory (a Database is
// open on it, or maintenance is running), says on the console that a write
// in flight may show as damage, and goes on.
Result<std::unique_ptr<Directory>, Failure> open_for_reading(Platform& platform,
                                                             const std::string& path,
                                                             Console& console);
// Opens an existing directory and takes its exclusive lock, held until the
// handle is closed. Fails, changing nothing, when any other program holds
// the directory or the file system cannot lock.
Result<std::unique_ptr<Directory>, Failure> open_for_writing(Platform& platform,
                                                             const std::string& path);

// Opens an existing directory and takes its shared lock, held until the
// handle is closed: programs using the database go on writing, while the
// maintenance commands that need the exclusive lock are refused. Fails,
// changing nothing, when a maintenance command holds the directory.
// `in_use` tells whether another program had the directory open.
Result<std::unique_ptr<Directory>, Failure> open_for_copying(Platform& platform,
                                                             const std::string& path,
                                                             bool& in_use);

// Forces every database file of `dir`, then `dir` itself, to stable
// storage. On failure: the file that failed (empty for the directory or its
// listing) and why.
struct SyncFailure {
  std::string file;
  IoError error;
};
Result<Unit, SyncFailure> sync_database_files(Directory& dir);

// a + b, or the largest value when that does not fit.
inline uint64_t saturating_add(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

// The space a new file of `bytes` bytes may take: its bytes in whole 4 KiB
// blocks, one block more for the file system's own records of it, and 1% to
// spare.
uint64_t space_for_file(uint64_t bytes);

// Refuses, changing nothing, when the file system of `dir` has fewer than
// `needed` bytes free for `command`: "PATH: not enough free space: COMMAND
// needs N bytes, M are free; nothing was changed". A failed query refuses too.
Result<Unit, Failure> check_free_space(Directory& dir, uint64_t needed, std::string_view command,
                                       const std::string& path);

// Appends the live records among the whole records [0, end) of `src`, in
// file order, as compact writes them, to the file `open_out` gives, and
// returns the bytes written. When every record is live, the range is as
// compact as it gets: nothing is written and nothing returned.
Result<std::optional<uint64_t>, std::string> copy_live_records(
    File& src, uint64_t end, const std::function<Result<File*, std::string>()>& open_out);

// Writes each finding's display() as a line of standard output.
void write_findings_text(Console& console, const std::vector<Finding>& findings);

// The subcommands. Each returns its exit status; `args` has been checked
// against the subcommand's CommandSpec.
int run_check(Platform& platform, const ParsedArgs& args, Console& console);
int run_repair(Platform& platform, const ParsedArgs& args, Console& console);
int run_compact(Platform& platform, const ParsedArgs& args, Console& console);
int run_stats(Platform& platform, const ParsedArgs& args, Console& console);
int run_dump(Platform& platform, const ParsedArgs& args, Console& console);
int run_load(Platform& platform, const ParsedArgs& args, Console& console);
int run_backup(Platform& platform, const ParsedArgs& args, Console& console);

// The table of subcommands, for parse_args and usage.
const std::vector<CommandSpec>& command_table();

// Parses the arguments and runs the subcommand; returns the exit status.
int run_tool(Platform& platform, const std::vector<std::string_view>& args, Console& console);

}  // namespace zez::tool
