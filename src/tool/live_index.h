// The live keys of one record file as the engine's load leaves them, for
// every subcommand that needs them (check, stats, repair, compact, dump):
// built on the engine's own KeyMap, so a million keys cost about what the
// engine's open costs, in time and in memory. Besides the offset of each
// key's live record it keeps the record's lengths, so the live bytes are
// known without reading the records again.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/result.h"
#include "db/file.h"
#include "db/key_index.h"
#include "db/record_file.h"

namespace zez::tool {

// Where a key's live record lies.
struct LiveRecord {
  uint64_t offset;
  uint32_t key_len;
  uint32_t value_len;

  uint64_t size() const { return RECORD_FRAMING + key_len + value_len; }
  uint64_t value_offset() const { return offset + RECORD_FRAMING + key_len; }
  uint64_t end() const { return offset + size(); }
};

class LiveIndex {
 public:
  // `file_size` lets the index size itself once from the first records, as
  // the engine's load does, instead of growing step by step.
  explicit LiveIndex(uint64_t file_size = 0) : file_size_(file_size) {}

  // Applies one record the engine would load: a tombstone removes its key,
  // any other record becomes its key's live record.
  void apply(const RecordView& r);

  size_t size() const { return map_.size(); }
  // The sum of the live records' sizes, framing included.
  uint64_t bytes() const { return bytes_; }
  const LiveRecord* find(std::string_view key) const { return map_.find(key); }

  // The live records by increasing offset: the order in which reading them
  // stays sequential.
  std::vector<LiveRecord> in_file_order() const;
  // The live keys in byte order and the offsets of their records. The keys
  // point into the index.
  std::vector<std::pair<std::string_view, uint64_t>> in_key_order() const;
  // Calls `visit(std::string_view key, const LiveRecord&)` for every live key.
  template <class Visit>
  void for_each(Visit&& visit) const {
    map_.for_each(visit);
  }

 private:
  KeyMap<LiveRecord> map_;
  uint64_t file_size_;
  uint64_t applied_ = 0;
  uint64_t bytes_ = 0;
};

// Where a live record lies, framing included.
struct LiveSpan {
  uint64_t offset;
  uint64_t size;
};

// Finds the live records of a record file without an index of its keys, for
// compact: per record, a 16-byte entry (a 64-bit hash of its key and its
// number) sorted by hash, and its offset, cost a fraction of the index's
// time and memory.
// In a run of equal hashes the last record of each key decides; as two keys
// may share a hash, the keys of such runs are read back from the file and
// compared, so the answer is exact.
class LiveRecordSort {
 public:
  using KeyHash = uint64_t (*)(std::string_view key);
  static uint64_t default_hash(std::string_view key);

  // `file_size` lets the entries be reserved once from the first records.
  // `hash` is replaceable so that tests can make keys collide.
  explicit LiveRecordSort(uint64_t file_size, KeyHash hash = &default_hash)
      : file_size_(file_size), hash_(hash) {}

  // Every record of the file the engine would load, in file order.
  void add(const RecordView& r);
  // Decides, once the scan has reached the end of `file` (whose size was
  // given), reading back the keys of records whose hash another shares.
  Result<Unit, IoError> finish(File& file);

  // Whether every record is live: no tombstone and no key twice.
  bool all_live() const { return all_live_; }
  // The sum of the live records' sizes.
  uint64_t live_bytes() const { return live_bytes_; }
  // The live records by increasing offset; empty when all are live.
  std::vector<LiveSpan> take_live() { return std::move(live_); }

 private:
  struct Entry {
    uint64_t hash;
    uint64_t record;  // its number in file order, with TOMBSTONE_BIT
  };
  static constexpr uint64_t TOMBSTONE_BIT = uint64_t(1) << 63;
  // Marks a live record's offset; offsets stay below 2^63, as a file
  // offset is a signed 64-bit number.
  static constexpr uint64_t LIVE_BIT = uint64_t(1) << 63;

  Result<Unit, IoError> decide_shared_runs(File& file);

  uint64_t file_size_;
  KeyHash hash_;
  std::vector<Entry> entries_;
  // The records' offsets in file order: a record's size is the distance to
  // the next, with no second sort to bring the live ones back into order.
  std::vector<uint64_t> offsets_;
  // Runs [first, second) of entries sharing a hash, until they are decided.
  std::vector<std::pair<size_t, size_t>> shared_;
  bool tombstone_ = false;
  bool all_live_ = false;
  uint64_t live_bytes_ = 0;
  std::vector<LiveSpan> live_;
};

// Reads byte ranges of a file in increasing order through one large window,
// so reading many small records costs one system call per window, not one
// per record.
class RecordWindow {
 public:
  RecordWindow(File& file, uint64_t size) : file_(file), size_(size) {}

  // Bytes [offset, offset + n), valid until the next call; `offset` never
  // goes back. A range running past the size given fails as a short read
  // does, before any memory is reserved for it.
  Result<std::string_view, IoError> view(uint64_t offset, uint64_t n);

 private:
  File& file_;
  uint64_t size_;
  std::string window_;
  uint64_t start_ = 0;
};

}  // namespace zez::tool
