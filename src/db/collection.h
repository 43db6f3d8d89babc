// One collection: its record file ("{name}.qdb"), the in-memory index of its
// live keys and the cache of values written since it was opened. Record
// grammar in record_file.h.
//
// Not thread-safe on its own: callers hold mutex() for the length of each
// read_record, write_record or push (the Database does).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/errors.h"
#include "codec/result.h"
#include "codec/value.h"
#include "db/file.h"
#include "db/key_index.h"
#include "db/record_index.h"

namespace zez {

// Bytes gathered per collection before they are written to the file.
inline constexpr size_t WRITE_BUFFER_SIZE = 65536;

// A failed write_record, and whether the record was stored all the same.
struct WriteFailure {
  IoError error;
  // True when the record (or the rest of it, after a torn direct write that
  // could not be cut back) is in the buffer and the record is in the index
  // and the cache: it reaches the file with the next push that succeeds.
  // False when nothing was stored.
  bool record_stored;
};

class Collection {
 public:
  // Creates `file_name` inside `dir` when missing, opens its reader and
  // writer and replays it. Fails with the IoError of an open or read,
  // "failed to fill whole buffer" for a record cut short (a length running
  // past the end of the file included), "invalid utf8 key", or an error for
  // a record whose value length is 0. A failed load closes what it opened.
  // The value cache is charged to `budget` (when not null), which must
  // outlive the collection.
  static Result<std::unique_ptr<Collection>, IoError> load(Directory& dir,
                                                           const std::string& file_name,
                                                           ValueCacheBudget* budget = nullptr);

  // Pushes the write buffer out (a failure is ignored), then closes the files.
  ~Collection();
  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;

  std::mutex& mutex() { return mutex_; }
  const std::string& path() const { return path_; }
  bool in_transaction() const { return in_transaction_; }
  void set_in_transaction(bool on) { in_transaction_ = on; }
  uint64_t end_offset() const { return end_offset_; }
  size_t live_key_count() const { return index_.size(); }
  // The bytes the index of live keys holds, for tests.
  size_t key_table_bytes() const { return index_.key_table_bytes(); }

  // The value cache (see record_index.h): the memory it holds, the birth of
  // its oldest block, and shedding that block, which drops the values in it
  // whose records are safely in the file and keeps the others.
  size_t cache_bytes() const { return index_.cache_bytes(); }
  size_t cache_block_count() const { return index_.block_count(); }
  std::optional<uint64_t> oldest_cache_block_birth() const { return index_.oldest_block_birth(); }
  bool shed_oldest_cache_block();
  // Whether the key's value was written since the open, dropped from the
  // cache, and may hold links: a write replacing it must be able to read it.
  bool dropped_value_may_hold_links(std::string_view key, uint64_t hash) const;

  // Fetches the key's slot in the index into the CPU's cache.
  void prefetch(std::string_view key) const { index_.prefetch(KeyIndex::hash(key)); }

  // The key's value: from the cache, else read from the file. KeyNotFound
  // when the key has no live record; Io for a failed or short read; Codec
  // when the stored bytes do not decode.
  Result<Value, StorageError> read_record(std::string_view key);
  // The key's stored value bytes, undecoded, into `out`: from the cache, else
  // from the file. Fails as read_record does, except that nothing is decoded.
  Result<Unit, StorageError> read_encoded(std::string_view key, std::string& out);
  // The key's stored value without a copy, for a write about to replace it
  // (`hash` is the key's KeyIndex::hash): its bytes, in the cache (valid
  // until the next change) or read into `scratch`, and whether they may hold
  // links. Fails as read_encoded does.
  struct Stored {
    std::string_view bytes;
    bool may_hold_links;
  };
  // With `for_links`, a value known to hold no links is not read from the
  // file: its bytes come back empty.
  Result<Stored, StorageError> read_stored(std::string_view key, uint64_t hash,
                                           std::string& scratch, bool for_links = false);

  // Appends a record for the key (a Tombstone value deletes it), then,
  // outside a transaction, pushes the buffer out. A key or encoded value too
  // long for its length field is refused before anything is written.
  Result<Unit, WriteFailure> write_record(std::string_view key, const Value& value);
  // The same with the value already encoded (a single 0x0C byte deletes).
  Result<Unit, WriteFailure> write_encoded(std::string_view key, std::string_view encoded) {
    return write_encoded(key, KeyIndex::hash(key), encoded, true);
  }
  // `holds_links` false says the value holds no link to keep a backlink
  // for, which a later write replacing it then need not look for.
  Result<Unit, WriteFailure> write_encoded(std::string_view key, uint64_t hash,
                                           std::string_view encoded, bool holds_links);

  // Writes the whole write buffer to the file. A failure leaves the bytes not
  // yet written in the buffer, so the push can be repeated.
  Result<Unit, IoError> push();
  // Whether appending a record of `record_size` bytes would send bytes to
  // the file before the record is in the buffer (or send the record itself,
  // when it is too large for the buffer).
  bool append_would_push(size_t record_size) const {
    return record_size >= WRITE_BUFFER_SIZE ||
           record_size > WRITE_BUFFER_SIZE - write_buffer_.size();
  }
  // Whether the bytes of some push did not land where this collection
  // counted them: another writer appended to the file as well.
  bool met_another_writer() const { return trusted_end_ != UINT64_MAX; }

 private:
  Collection(std::string path, std::unique_ptr<File> reader, std::unique_ptr<File> writer,
             uint64_t end_offset);

  Result<Unit, IoError> scan(uint64_t size);
  // Whether the record at `offset` completed a push to the file, and was in
  // no push that failed: its value may leave the cache.
  bool in_file(uint64_t offset) const;
  // The records after safe_end_ were in a push that failed.
  void pin_unsafe_records();
  Result<Unit, WriteFailure> append_record(const std::string& record);
  Result<Unit, WriteFailure> write_directly(const std::string& record);
  size_t last_record_end_within(size_t written) const;
  // push(), when the buffer ends at `expected_end` in the file (past
  // end_offset_ while it holds the rest of a record written directly).
  Result<Unit, IoError> push_through(uint64_t expected_end);
  // Takes the file's writer lock before the first write; WouldBlock refuses.
  Result<Unit, IoError> take_writer_lock();
  // After a push that should have ended the file at `expected_end`, checks
  // that it did; see trusted_end_.
  void check_file_end(uint64_t expected_end);

  std::mutex mutex_;
  std::string path_;
  std::unique_ptr<File> reader_;
  std::unique_ptr<File> writer_;
  // Whole records waiting to be written, except that the first
  // `head_partial_` bytes may finish a record whose start is already in the
  // file (after a failed push or direct write whose cut-back failed as well).
  std::string write_buffer_;
  size_t head_partial_ = 0;
  // Live key -> offset of its last record, or its encoded value for every
  // key written since opening. Encoded bytes take a fraction of a value
  // tree's memory and cost one decode per read.
  RecordIndex index_;
  uint64_t end_offset_;
  // Every record before this offset completed a push to the file (the end
  // of the file after the last push that succeeded), and each range in
  // pinned_ (ascending) holds records that were in a push that failed.
  uint64_t safe_end_;
  std::vector<std::pair<uint64_t, uint64_t>> pinned_;
  // One writer per collection: the first write takes an advisory lock on
  // the record file for the collection's life, and a write while another
  // handle holds it is refused. Where the file system cannot lock (or a
  // writer that takes no lock appears), each push checks that the file ends
  // where this collection's own count says; when it does not, someone
  // else's bytes came in between, so every record from that push on may lie
  // elsewhere than its offset says. Those values then never leave the cache
  // (trusted_end_, the start of that push): reads stay right, at the price
  // of memory beyond the budget.
  enum class WriterLock : uint8_t { NotYet, Held, Unavailable };
  WriterLock writer_lock_ = WriterLock::NotYet;
  uint64_t trusted_end_ = UINT64_MAX;
  bool in_transaction_ = false;
};

}  // namespace zez
