// An in-memory Platform for tests and fuzz targets: directories are maps
// from names to byte vectors, shared by every handle opened on them, so two
// handles see each other's appends exactly as two real file handles do.
//
// Faults can be planned ahead: the Nth call of a kind from now on, optionally
// counting only the calls made on one name, fails with a given IoError, or,
// for writes, accepts only k bytes (k = 0 makes the caller's zero-write
// error), or tears: accepts part of its bytes and makes the next write fail.
// Each planned fault fires once.
//
// Every path names a directory in one tree ("/a/b", "a/b" and "a//b" alike);
// subdirectories made through a handle are reachable by their path too.
// An existing directory's path may go up through ".." (the root's is itself).
// Handles follow what they opened, as real ones follow an inode: an open
// file or directory keeps working after a rename or removal, and its bytes
// still count against the capacity until it is closed. A hard link is the
// one file under two names: its bytes count once, and stay while either
// name or a handle holds them.
// Directory locks behave as flock's do: held per Directory handle, shared
// or exclusive, never waited for, released when the handle is destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/file.h"

namespace zez::testing {

// ReadAt is the positioned read_at(). Open counts file and subdirectory opens; Sync file and directory syncs; Stat
// entry_type(), owner_and_mode() and free_space(); Lock both kinds of lock.
// The name a call counts under is the file or entry name (`from` for a
// rename, the existing name for a link), or the directory's path for sync, free_space and locks.
enum class FaultOp {
  Open,
  Write,
  Truncate,
  Size,
  ReadAt,
  Sync,
  Rename,
  Remove,
  Lock,
  Stat,
  SetOwner,
  Link
};
inline constexpr int FAULT_OP_COUNT = 13;

class MemoryPlatform final : public Platform {
 public:
  MemoryPlatform();
  ~MemoryPlatform() override;

  Result<std::unique_ptr<Directory>, IoError> open_directory(const std::string& path) override;
  Result<std::unique_ptr<Directory>, IoError> open_existing_directory(
      const std::string& path) override;
  uint32_t new_directory_mode() override;
  // The creation mask new_directory_mode() takes away (022 at first).
  void set_umask(uint32_t mask);
  // Calls run as this user from now on (root, 0:0, at first): what they
  // create is theirs, and only root may give a file or directory another
  // owner or group (EPERM otherwise).
  void act_as(uint32_t uid, uint32_t gid);

  // --- Contents -----------------------------------------------------------

  // The file's bytes, or nothing when `dir` has no file of that name.
  std::optional<std::string> contents(const std::string& dir, const std::string& name) const;
  bool exists(const std::string& dir, const std::string& name) const;
  // Creates or replaces a file (the directory is created when missing).
  void put(const std::string& dir, const std::string& name, std::string bytes);
  // Makes `name` an entry that is not a regular file: opening it fails with
  // `error` (as a real directory or FIFO would be refused), and entry_type()
  // reports `type`.
  void put_special(const std::string& dir, const std::string& name, IoError error,
                   FileType type = FileType::Other);
  // Makes `name` a symbolic link holding `target`: a path in the tree, or
  // one relative to `dir`. The target need not exist. Opening the link
  // follows it as the system does (a dangling link fails with ENOENT in
  // every mode, a loop with ELOOP); entry_type() reports a link.
  void put_symlink(const std::string& dir, const std::string& name, std::string target);
  // Entry names in `dir`, sorted.
  std::vector<std::string> names(const std::string& dir) const;
  // What free_space() reports from now on (1 TiB at first), whatever is
  // written.
  void set_free_space(uint64_t bytes);
  // A file system of this many bytes from now on: free_space() reports what
  // is left, and a write that does not fit takes what does, then fails with
  // ENOSPC. Every file that exists counts, including one removed or replaced
  // while a handle still holds it open. With `reported` false, free_space()
  // goes on reporting what set_free_space() set: a disk that another program
  // fills after the free space was checked.
  void set_capacity(uint64_t bytes, bool reported = true);
  // The bytes all existing files hold.
  uint64_t used_bytes() const;
  // Makes link() refuse from now on with `error` (a file system without
  // hard links: EPERM, ENOTSUP...), or, with nothing, allow it again.
  void refuse_links(std::optional<IoError> error);

  // --- Faults -------------------------------------------------------------

  // The `nth` (1 = next) call of `op`, counting only calls on files named
  // `only_file` when it is not empty, fails with `error`.
  void fail(FaultOp op, int nth, IoError error, std::string only_file = {});
  // The `nth` write (as above) accepts at most `accepted` bytes; 0 makes it
  // return 0.
  void short_write(int nth, size_t accepted, std::string only_file = {});
  // The `nth` write accepts min(`accepted`, its size - 1) bytes, and the
  // write call right after it (on any file) fails with `error`: a disk that
  // fills up in the middle of a write.
  void torn_write(int nth, size_t accepted, IoError error);
  // Every read returns at most `n` bytes (0 = no limit), to exercise the
  // loops over partial reads.
  void limit_reads(size_t n);
  void clear_faults();

  // The `nth` sync (as fail() counts) reports success and keeps nothing: a
  // sync left out, to learn whether it is needed.
  void skip_sync(int nth);

  // --- Power cuts ---------------------------------------------------------

  // From now on every file keeps, besides its bytes, the bytes it had at its
  // last sync, and every directory the entries it had at its last sync:
  // what a power cut would leave. Everything that exists now counts as
  // synced.
  void track_power_cuts();
  // While tracking, `hook` runs right after each change of a file's bytes
  // or of a directory's entries (not from inside itself).
  void on_change(std::function<void()> hook);

  // What a power cut does to the bytes written since a file's last sync.
  enum class Loss {
    None,        // they all reached the disk
    Whole,       // none did: the file is as it was synced
    CutAtPage,   // the file ends at the last 4 KiB boundary past what was synced
    ZeroFilled,  // the size reached the disk, the bytes did not: zeros
  };
  struct PowerCut {
    Loss data = Loss::Whole;
    bool undo_entries = true;  // directories go back to their synced entries
    // Only the nth unsynced file (of unsynced()) loses data, or only the
    // nth unsynced directory has its entries undone; -1 for every one.
    int only_file = -1;
    int only_dir = -1;
  };
  // How many files, and how many directories, a power cut now would change.
  std::pair<int, int> unsynced() const;
  // A new platform holding the tree that a power cut now would leave, with
  // nothing open, nothing locked and every file synced.
  std::unique_ptr<MemoryPlatform> after_power_cut(const PowerCut& cut) const;
  // The whole tree as text: two platforms give the same text exactly when
  // their trees hold the same names, bytes, modes and links.
  std::string tree_text() const;

  // Calls made so far, all files together.
  uint64_t count(FaultOp op) const;
  // Planned faults that have fired so far (a torn write counts twice).
  uint64_t faults_fired() const;

  struct State;  // shared with the directories and files it hands out

 private:
  std::shared_ptr<State> state_;
};

}  // namespace zez::testing
