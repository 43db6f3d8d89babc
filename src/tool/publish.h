// Making a new database directory appear all at once or not at all: load and
// backup build it in the sibling "DIR.zezavezud-tmp", locked and marked
// (LOAD_MARKER) from its creation to the end, and rename it onto DIR once
// every file in it is synced. A killed command leaves only the marked
// sibling, which the next load or backup of DIR removes once no one holds
// its lock; one cut off after the marker went, right before the rename,
// left a complete database, which the next run renames onto DIR.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "codec/errors.h"
#include "codec/result.h"
#include "db/file.h"
#include "tool/tool.h"

namespace zez::tool {

// Writes the marker, naming `command`, into `dir`; only its name matters,
// so its bytes are never forced, and its entry is forced by the caller
// where it must reach the disk before anything else does. Its removal is
// forced: it says that everything before it is on the disk.
Result<Unit, IoError> put_marker(Directory& dir, std::string_view command);
Result<Unit, IoError> remove_marker(Directory& dir);

class Publisher {
 public:
  // Opens the directory that holds `path`. `command` ("load") and `done`
  // ("loaded") name the command and what it does in messages.
  static Result<Publisher, Failure> open(Platform& platform, const std::string& path,
                                         std::string_view command, std::string_view done);

  const std::string& temp_path() const { return temp_path_; }

  // Locks DIR, which must be empty, so that no one opens it before the
  // rename replaces it; null when it does not exist.
  Result<std::unique_ptr<Directory>, Failure> hold_target(Platform& platform);
  // Makes, locks and marks the sibling, for files that take `needed` bytes.
  // A leftover of a killed command in its place goes first, once the new
  // database is known to fit in the space it frees. On failure nothing is
  // left.
  Result<Directory*, Failure> make_temp(uint64_t needed, Console& console);
  // After a failure past make_temp(): removes what was made; returns the end
  // of the message that says so, or what stays.
  std::string abandon();
  // Once every file in the sibling is synced: removes the marker, renames
  // the sibling onto DIR and syncs the parent.
  Result<Unit, Failure> publish();

 private:
  Publisher() = default;
  // A sibling already there may go only when it is marked (or empty) and
  // unlocked: it is then held locked in `leftover_`, and the bytes its files
  // hold are returned. Anything else stops the command. Changes nothing.
  Result<uint64_t, Failure> find_leftover();
  // Locks the sibling `dir`, refusing one another run holds. One this run
  // has just `made` goes when the lock fails.
  std::optional<Failure> lock_temp(Directory& dir, bool made);
  // Renames a complete sibling left without its marker onto DIR; the
  // failure that stops the run says what became of it.
  Failure finish_leftover();

  std::string command_;
  std::string done_;
  std::string path_;
  std::string parent_path_;  // "." when DIR names no directory above it
  std::string name_;
  std::string temp_;  // name + ".zezavezud-tmp"
  std::string temp_path_;
  std::unique_ptr<Directory> parent_;
  std::unique_ptr<Directory> leftover_;
  std::unique_ptr<Directory> temp_dir_;
};

}  // namespace zez::tool
