// An open database: a directory of record files ("{collection}.qdb") and
// backlink files ("{collection}.qbl"). One Database must be the only writer
// of its directory. Not thread-safe on its own: the caller serialises calls
// (the Python layer holds a lock per Database).
//
// Every Database opened by open() holds a shared lock on its directory for
// its whole life. Maintenance that rewrites the directory's files takes the
// exclusive lock, which keeps every such Database out while it works.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "codec/errors.h"
#include "codec/result.h"
#include "codec/value.h"
#include "db/backlink_index.h"
#include "db/database_files.h"
#include "db/file.h"
#include "db/link_path.h"
#include "db/record_index.h"
#include "db/resolve.h"
#include "db/text_map.h"

namespace zez {

class Collection;

// The memory the value caches of one Database may hold (record_index.h).
// Reads of values written in this session answer from memory; beyond the
// budget the oldest are read back from the file like values written before
// the open. 64 MiB holds tens of thousands of ordinary values, enough for
// a session's recent writes, and is small beside what an interpreter and
// the index of a million keys take.
inline constexpr size_t VALUE_CACHE_BUDGET = size_t(64) << 20;

// A backlink change deferred until commit.
struct PendingBacklinkOp {
  BacklinkChange kind;
  std::string target_collection;
  std::string target_key;
  Backlink record;
};

class Database final : private RecordReader {
 public:
  // Creates the directory (with parents), takes the shared lock on it and
  // loads every "*.qdb" file in it. Never waits for the lock: while another
  // handle holds the exclusive lock, fails at once with the IoError
  // "directory is being repaired, compacted or loaded". On a file system that
  // cannot lock, opens without the lock.
  static Result<std::unique_ptr<Database>, StorageError> open(
      const std::string& path, Platform& platform = system_platform());
  // Opens the database on a directory handle and takes no lock: the caller
  // already holds the exclusive lock, on this handle or on another of its
  // own that it keeps open. The Database owns the handle from now on (a lock
  // it holds ends with the Database); `path` is only what dir() reports.
  // For maintenance, which must keep other Databases out while it reads and
  // writes through this one.
  static Result<std::unique_ptr<Database>, StorageError> open_on_locked_directory(
      std::unique_ptr<Directory> directory, std::string path);

  // Writes every write buffer out and applies backlink changes still queued
  // (both best effort, failures ignored), then closes every file.
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // The directory path exactly as passed to open.
  const std::string& dir() const { return dir_; }
  bool in_transaction() const { return in_transaction_; }
  // The memory the value caches hold, and a budget other than
  // VALUE_CACHE_BUDGET, so that tests cross it with a few values.
  size_t value_cache_bytes() const { return cache_budget_.held; }
  void set_value_cache_budget_for_testing(size_t bytes) { cache_budget_.limit = bytes; }

  Result<Value, StorageError> get(std::string_view collection, std::string_view key);
  Result<Unit, StorageError> set(std::string_view collection, std::string_view key, Value value);
  // A hint that the key will be read or written soon: its slots in the
  // collection's tables are fetched into the cache, so that a caller with a
  // run of writes hides their misses behind the work on the one before.
  // Changes nothing, and does nothing for a collection not yet open.
  void prefetch(std::string_view collection, std::string_view key);
  // get without the decode: the stored value's bytes into `out`. A caller
  // that decodes them itself must report a decoding failure as
  // StorageError::codec, as get does.
  Result<Unit, StorageError> get_encoded(std::string_view collection, std::string_view key,
                                         std::string& out);
  // set with the value already encoded (`encoded` must be one whole, valid
  // encoding; a single 0x0C byte deletes) by a caller that met its links
  // while encoding it: `links` must be exactly what extract_encoded_links()
  // finds in `encoded`, which saves walking the bytes again.
  Result<Unit, StorageError> set_encoded(std::string_view collection, std::string_view key,
                                         std::string_view encoded,
                                         const std::vector<OutgoingLink>& links);
  Result<Unit, StorageError> remove(std::string_view collection, std::string_view key);
  void begin();
  Result<Unit, StorageError> commit();
  Result<std::vector<Backlink>, StorageError> backlinks(std::string_view collection,
                                                        std::string_view key);
  Result<Value, ResolveError> resolve(std::string_view collection, std::string_view key,
                                      const std::vector<std::string>& segments);

 private:
  Database(std::string dir, std::unique_ptr<Directory> directory);
  Result<Value, StorageError> read(std::string_view collection, std::string_view key) override;

  // Finds or loads the collection (creating its record file on first use).
  Result<Collection*, StorageError> open_collection(std::string_view name);
  // The collection if it is open already, else nullptr; loads nothing.
  Collection* find_open_collection(std::string_view name);
  // Finds or loads the collection's backlink index.
  Result<BacklinkIndex*, StorageError> open_backlink_index(std::string_view name);
  // Where a backlink change is made: in its file and in memory at once, or
  // in one of them (a transaction's changes reach their files with their
  // records, and memory at commit).
  enum class ChangeIn : uint8_t { FileAndMemory, File, Memory };
  // Makes ops[from, to), which all target one collection, in one write to
  // its backlink file: all or nothing.
  Result<Unit, StorageError> apply_backlink_batch(std::vector<PendingBacklinkOp>& ops, size_t from,
                                                  size_t to, ChangeIn where);
  // Makes ops[from, to) in order, in batches of consecutive changes to one
  // collection, and returns the first failure. Stops there, with *done the
  // end of the changes made (every change before the failing batch), unless
  // `past_failures` has the failing batch skipped and the rest still tried.
  Result<Unit, StorageError> apply_backlink_ops(std::vector<PendingBacklinkOp>& ops, size_t from,
                                                size_t to, size_t* done, ChangeIn where,
                                                bool past_failures = false);
  // Pushes every collection's buffer out, then writes the queued backlink
  // changes not yet in their files (see pending_in_files_).
  Result<Unit, StorageError> push_transaction_out();
  Result<Unit, StorageError> write_queued_backlinks(bool past_failures = false);
  // While the value caches hold more than the budget, sheds the oldest block
  // of all (each block at most once).
  void shed_value_caches();
  // Makes the backlink changes of a write that replaced `old_links` with
  // `new_links` now, or queues them inside a transaction.
  Result<Unit, StorageError> change_backlinks(std::string_view collection, std::string_view key,
                                              const std::vector<OutgoingLink>& old_links,
                                              const std::vector<OutgoingLink>& new_links);

  std::string dir_;
  std::unique_ptr<Directory> directory_;
  // Before the collections, which are charged to it until they close.
  ValueCacheBudget cache_budget_{VALUE_CACHE_BUDGET};
  std::vector<PendingBacklinkOp> pending_backlinks_;
  // The first pending_in_files_ changes of pending_backlinks_ are in their
  // backlink files already, though not yet in memory. Inside a transaction,
  // whenever a buffer must go out, every buffer goes out and the queue
  // follows them to the files: the records that reach the files before the
  // commit take their backlinks along, so a process killed in the middle of
  // a transaction leaves at most the records of one push without theirs,
  // and the files hold the changes in the queue's order, which is the order
  // commit makes them in memory (a reopen lists rows as the commit did).
  size_t pending_in_files_ = 0;
  TextMap<std::shared_ptr<Collection>> collections_;
  // The collection used last, found without a lookup when the next call
  // names it again, as runs of calls mostly do. Collections stay open for
  // the Database's life, so the pointer stays good.
  std::string last_collection_name_;
  Collection* last_collection_ = nullptr;
  TextMap<std::unique_ptr<BacklinkIndex>> backlink_indexes_;
  bool in_transaction_ = false;
};

}  // namespace zez
