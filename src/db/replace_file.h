// Replacing a file of a directory in one step, and keeping a copy of bytes
// before they leave a file: the two ways the maintenance commands change a
// database directory. The engine itself never calls them.
//
// A replacement is written to a temporary file beside the original, forced
// to stable storage, given the original's owner and mode, and renamed over
// the original; the directory is then forced too. A crash or a failure at
// any moment leaves the original, or the complete replacement, under the
// name, never a mixture.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "codec/errors.h"
#include "codec/result.h"
#include "db/file.h"

namespace zez {

// The free space a new file of `bytes` bytes may take: its bytes in whole
// 4 KiB blocks, one block more for the file system's own records of it, and
// 1% to spare. The one estimate, for the copies made here and for every
// maintenance command that checks its space before writing.
uint64_t space_for_file(uint64_t bytes);

// A failed call: the entry it worked on, what was being done, and why.
// display() is "FILE: WHAT: CAUSE".
struct ReplaceError {
  std::string file;
  std::string what;  // "cannot write", "cannot rename", ...
  std::string cause;

  static ReplaceError of(std::string file, std::string what, const IoError& e) {
    return ReplaceError{std::move(file), std::move(what), e.display()};
  }
  std::string display() const;
};

// Appends bytes [from, to) of `src` to `dst`, a megabyte at a time.
Result<Unit, IoError> copy_range(File& src, File& dst, uint64_t from, uint64_t to);

// Copies bytes [from, to) of `src` into a new file `name` of `dir`, then
// forces the copy and `dir`'s entries to stable storage, so the copy
// survives a crash that follows. `shown` names the copy in errors. On
// failure the partial copy is removed (when that fails too, it stays and the
// error says so).
Result<Unit, ReplaceError> save_copy(File& src, uint64_t from, uint64_t to, Directory& dir,
                                     const std::string& name, const std::string& shown);

// What replace_file() does.
struct Replacement {
  std::string name;  // the entry replaced; created when missing
  std::string temp;  // the temporary file, in the same directory
  // The new file takes this file's owner and mode (when null, it keeps the
  // temporary file's: the creator's, readable by the owner only).
  File* owner_from = nullptr;
  // Writes the new content to the (empty) temporary file; returns its size.
  std::function<Result<uint64_t, ReplaceError>(File& out)> write;
  // When set, checks the temporary file after it reached stable storage,
  // read through a new handle, against what `write` meant to write.
  std::function<Result<Unit, ReplaceError>(File& written, uint64_t size)> verify;
  // When set, the whole old file is kept in `backup_dir` under
  // `backup_name` before the rename (shown as `backup_shown` in errors): a
  // hard link to it, synced with its data, or, where the file system
  // refuses links, a synced copy (after a check that the copy fits, since
  // the link needs no space). Either way the caller must not write to the
  // old file afterwards.
  Directory* backup_dir = nullptr;
  std::string backup_name;
  std::string backup_shown;
};

struct ReplaceFailure {
  ReplaceError error;
  // The rename took place: the name holds the new content and the backup is
  // kept; only the directory sync failed, so the rename may not yet survive a
  // power cut.
  bool replaced = false;
};

// Replaces `r.name` in `dir`: write, verify, owner and mode, sync, backup,
// rename, sync the directory. Returns the new file's size. A failure before
// the rename removes the temporary file and the backup made for this call
// and leaves the old file as it was; a temporary file that cannot be removed
// is named in the error (the engine never reads it, and the next
// replacement of the same file overwrites it).
Result<uint64_t, ReplaceFailure> replace_file(Directory& dir, const Replacement& r);

}  // namespace zez
