// Making a new database directory appear all at once or not at all: load and
// backup build it in the sibling "DIR.zezavezud-tmp", which they hold under
// an exclusive lock and mark with a "zezavezud-load-in-progress" file from
// its creation to the end, and rename it onto DIR only when every file in it
// is written and synced. A killed command leaves no DIR, only the marked
// sibling, which the next load or backup of DIR removes once no one holds
// its lock.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "codec/errors.h"
#include "codec/result.h"
#include "db/file.h"
#include "tool/tool.h"

namespace zez::tool {

// Writes the marker file into `dir` and forces it to stable storage before
// anything else goes in. `command` ("load", "backup") names the writer in
// the marker's text.
Result<Unit, IoError> put_marker(Directory& dir, std::string_view command);
// Removes the marker and forces the removal to stable storage.
Result<Unit, IoError> remove_marker(Directory& dir);

class Publisher {
 public:
  // Splits the target path and opens the directory that holds it (made when
  // missing). `command` ("load") names the command in messages, and `done`
  // ("loaded") what it does.
  static Result<Publisher, Failure> open(Platform& platform, const std::string& path,
                                         std::string_view command, std::string_view done);

  const std::string& temp_path() const { return temp_path_; }

  // Locks DIR when it exists (a rename may replace it only while it is
  // empty, and no one may open it meanwhile); null when it does not exist.
  Result<std::unique_ptr<Directory>, Failure> hold_target(Platform& platform);
  // Makes the sibling, locks it and marks it, for files that take `needed`
  // bytes. A leftover of a killed load or backup in its place goes first,
  // so that the space its files hold counts as free, but only once the new
  // database is known to fit: a command short of space changes nothing.
  // On failure nothing is left.
  Result<Directory*, Failure> make_temp(uint64_t needed, Console& console);
  // After a failure once make_temp() succeeded: removes what was made, and
  // returns the end of the message that says so, or what stays.
  std::string abandon();
  // Every file in the sibling is written and synced: removes the marker,
  // renames the sibling onto DIR and syncs the parent.
  Result<Unit, Failure> publish();

 private:
  Publisher() = default;
  // A "DIR.zezavezud-tmp" already there: the leftover of a killed load or
  // backup, which may go when it carries the marker (or is empty) and no
  // one holds its lock, or something else, which stays and stops this
  // command. Changes nothing: the leftover is held locked in `leftover_`.
  // Returns the bytes its files hold, which its removal frees.
  Result<uint64_t, Failure> find_leftover();

  std::string command_;
  std::string done_;
  std::string path_;
  std::string parent_path_;  // "." when DIR names no directory above it
  std::string name_;
  std::string temp_;       // name + ".zezavezud-tmp"
  std::string temp_path_;  // as shown and opened
  std::unique_ptr<Directory> parent_;
  std::unique_ptr<Directory> leftover_;
  std::unique_ptr<Directory> temp_dir_;
};

}  // namespace zez::tool
