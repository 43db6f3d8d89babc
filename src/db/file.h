// The platform layer: the only code in the engine that talks to the
// operating system about files and directories. Everything above it works
// through these interfaces, so tests can swap in failing or in-memory
// implementations.
//
// Every failure is an IoError: an operating-system code read right after the
// failing call, or one of the engine's fixed messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/errors.h"
#include "codec/result.h"

namespace zez {

// How a file is opened. Only CreateTruncate empties a file, and no mode
// locks other openers out. A symbolic link to a file is followed, but the
// modes that create a missing file never create one through a link: a
// dangling link fails as a missing file does (ENOENT).
enum class OpenMode {
  AppendCreate,      // write-only, appending, created when missing
  ReadOnly,          // read-only, must exist
  Append,            // write-only, appending, must exist
  ReadAppendCreate,  // read and append, created when missing
  // Write-only, created when missing (mode 0600, so no one else can read
  // the bytes before the caller gives the file the owner and mode of the
  // one it replaces) and emptied when present, then written in order from
  // its start by this one handle. Never follows a symbolic link. For
  // temporary files that replace a file by renaming. (Not appending, so
  // that copy_from can let the system copy into it.)
  CreateTruncate,
};

// The kind of a directory entry, as the entry itself is (a symbolic link is
// not followed).
enum class FileType { Regular, Directory, Symlink, Other };

// The owner and permission bits (mode & 07777) of a file.
struct OwnerAndMode {
  uint32_t uid;
  uint32_t gid;
  uint32_t mode;
  bool operator==(const OwnerAndMode&) const = default;
};

// What a non-blocking lock attempt found.
enum class LockStatus {
  Acquired,
  WouldBlock,  // another handle holds a lock that excludes this one
};

class File {
 public:
  virtual ~File() = default;  // closes the file; a close failure is ignored

  // Reads up to n bytes at `offset`; 0 means end of file. Retries reads
  // interrupted by a signal.
  virtual Result<size_t, IoError> read_at(uint8_t* dst, size_t n, uint64_t offset) = 0;
  // Writes up to n bytes (appending for the append modes); may write fewer.
  // Retries writes interrupted by a signal.
  virtual Result<size_t, IoError> write(const uint8_t* src, size_t n) = 0;
  // Writes up to n bytes of `src`, read from `offset`, as write() would
  // write them, letting the system copy them without passing them through
  // this process where it can. Returns the count moved, which may be short
  // (0 when `offset` is at or past the end of `src`). Fails with ENOSYS,
  // EXDEV, EINVAL or EOPNOTSUPP, having moved nothing, when the system
  // cannot copy between the two (an appending file, another file system
  // or platform): the caller then copies through a buffer.
  virtual Result<size_t, IoError> copy_from(File& src, uint64_t offset, size_t n) = 0;
  virtual Result<uint64_t, IoError> size() = 0;
  // Cuts the file back to `size` bytes. The engine uses it only to undo a
  // torn append.
  virtual Result<Unit, IoError> truncate(uint64_t size) = 0;
  // Forces the file's data and size to stable storage (fsync). The engine
  // itself never calls it.
  virtual Result<Unit, IoError> sync() = 0;
  virtual Result<OwnerAndMode, IoError> owner_and_mode() = 0;
  // Gives the file this owner (only when it differs: changing it needs
  // privileges), then these permission bits.
  virtual Result<Unit, IoError> set_owner_and_mode(const OwnerAndMode& to) = 0;
  // An advisory exclusive lock on the file, held by this handle (not by the
  // process: two handles in one process exclude each other) until it is
  // closed, and never waited for. WouldBlock when another handle holds it;
  // an IoError when the file system cannot lock, which is also what a
  // platform without file locks answers.
  virtual Result<LockStatus, IoError> lock_exclusive();
};

// Gives `to` the owner and permission bits of `from`: a file written to
// replace another must not change who may read it.
Result<Unit, IoError> copy_owner_and_mode(File& from, File& to);

// Loops over read_at() until n bytes are in; an early end of file is
// IoError::unexpected_eof() ("failed to fill whole buffer").
Result<Unit, IoError> read_exact_at(File& f, uint8_t* dst, size_t n, uint64_t offset);
// Loops over write() until all n bytes are out; a write that accepts no
// bytes fails with `zero_write_error`.
Result<Unit, IoError> write_all(File& f, const uint8_t* src, size_t n,
                                const IoError& zero_write_error);

// What append_whole() does when a write fails part-way and the file cannot
// be cut back either, so that the start of the bytes stays in it.
enum class UncutAppend {
  // The caller takes the rest (the record file: it goes to the head of the
  // write buffer). What the writes took decides what landed, so a failure
  // before any byte landed needs no cut.
  LeaveRestToCaller,
  // The rest is written at once, from where the file's size says the bytes
  // stop, and the append succeeds when that does (the backlink file). Every
  // failed append is cut back, even one that landed no byte.
  FinishAtOnce,
};

// A failed append_whole().
struct AppendFailure {
  IoError error;  // of the size measure or of the failed write
  // The file could not be cut back (nor, for FinishAtOnce, finished): it may
  // end in the first `written` bytes of the append.
  bool torn;
  size_t written;
};

// Appends n bytes whole or not at all: measures the file's size first, so a
// cut-back keeps what another handle appended before, then loops over
// write() (a write that accepts no bytes fails with IoError::write_zero()),
// and on a failure cuts the file back to that size. When the cut fails too,
// `uncut` decides.
Result<Unit, AppendFailure> append_whole(File& f, const uint8_t* src, size_t n, UncutAppend uncut);

// The type and size of a directory entry.
struct EntryInfo {
  FileType type;
  uint64_t size;  // bytes, for a regular file
};

// Which directory a handle is on, whatever path opened it: equal for two
// handles on the same directory.
struct DirectoryId {
  uint64_t device;
  uint64_t inode;
  bool operator==(const DirectoryId&) const = default;
};

// A database directory, held open so that files are always opened inside the
// directory that was opened, whatever the process's current directory does
// later. Every `name` is a plain entry name: empty names, "." and "..", and
// names holding "/" or NUL are refused.
class Directory {
 public:
  // Closes the handle, which releases any lock it holds.
  virtual ~Directory() = default;

  // The names of the entries, in the order the system lists them ("." and
  // ".." left out). Names are raw bytes.
  virtual Result<std::vector<std::string>, IoError> list() = 0;
  // Opens the named entry. Never blocks: an entry that is neither a regular
  // file nor a directory (a FIFO, a socket, a device) is refused with an
  // IoError; a directory fails as the system fails it.
  virtual Result<std::unique_ptr<File>, IoError> open(const std::string& name, OpenMode mode) = 0;
  // Opens the named subdirectory, first creating it with mode 0700 when
  // `create` is set and it is missing. A symbolic link is refused, never
  // followed.
  virtual Result<std::unique_ptr<Directory>, IoError> open_subdirectory(const std::string& name,
                                                                        bool create) = 0;

  // The entry's type and size, without following a symbolic link.
  virtual Result<EntryInfo, IoError> entry_type(const std::string& name) = 0;
  // Renames `from` to `to` inside this directory, replacing an existing `to`
  // in one step. A directory replaces only an empty directory (ENOTEMPTY or
  // EEXIST otherwise); a file replaces only a file.
  virtual Result<Unit, IoError> rename(const std::string& from, const std::string& to) = 0;
  // Removes the named entry (not a directory).
  virtual Result<Unit, IoError> remove(const std::string& name) = 0;
  // Gives the entry `name` a second name, `to_name` in `to_dir` (a hard
  // link): both names then reach the same file, and its bytes stay until the
  // last name is gone. A symbolic link is linked itself, never followed. An
  // existing `to_name` fails with EEXIST; `to_dir` on another file system
  // (or of another platform) with EXDEV; a file system that has no hard
  // links, or refuses one for this file, with EPERM, EMLINK, ENOTSUP or the
  // like.
  virtual Result<Unit, IoError> link(const std::string& name, Directory& to_dir,
                                     const std::string& to_name) = 0;
  // Removes the named subdirectory, which must be empty (ENOTEMPTY
  // otherwise); a symbolic link or file is refused with ENOTDIR.
  virtual Result<Unit, IoError> remove_directory(const std::string& name) = 0;
  // Forces the directory's entries (creations, renames, removals) to stable
  // storage.
  virtual Result<Unit, IoError> sync() = 0;
  // Bytes of free space an unprivileged user may still fill on the
  // directory's file system.
  virtual Result<uint64_t, IoError> free_space() = 0;
  virtual Result<DirectoryId, IoError> identity() = 0;

  // Advisory locks on the directory, held by this handle until it is closed
  // and never waited for. Any number of handles, in one process or several,
  // can hold the shared lock together; the exclusive lock excludes every
  // other handle. Asking for the other kind on a handle that holds one
  // converts its lock. WouldBlock when another handle's lock is in the way;
  // an IoError when the file system cannot lock at all.
  virtual Result<LockStatus, IoError> lock_shared() = 0;
  virtual Result<LockStatus, IoError> lock_exclusive() = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;
  // Creates the directory with any missing parents (an existing directory is
  // fine) and opens it.
  virtual Result<std::unique_ptr<Directory>, IoError> open_directory(const std::string& path) = 0;
  // Opens the directory without creating anything: fails with
  // IoError::os(ENOENT) when the path does not exist and IoError::os(ENOTDIR)
  // when it, or one of its parents, is not a directory.
  virtual Result<std::unique_ptr<Directory>, IoError> open_existing_directory(
      const std::string& path) = 0;
};

// The real operating system. Lives for the whole process.
Platform& system_platform();

}  // namespace zez
