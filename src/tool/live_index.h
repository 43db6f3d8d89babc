// The live records of one record file as the engine's load leaves them.
// LiveIndex replays the file into the engine's own KeyMap, as its open does,
// for every subcommand that looks keys up; LiveRecordTable only finds which
// records are live, faster, for compact and backup --compact.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "db/key_index.h"
#include "db/large_memory.h"
#include "db/record_file.h"
#include "db/scan_end.h"

namespace zez::tool {

// Where a key's live record lies.
struct LiveRecord {
  uint64_t offset;
  uint32_t key_len;
  uint32_t value_len;

  uint64_t size() const { return RECORD_FRAMING + key_len + value_len; }
};

class LiveIndex {
 public:
  // `file_size` lets the index size itself once from the first records.
  explicit LiveIndex(uint64_t file_size = 0) : replay_(file_size) {}

  // Applies one record the engine would load: a tombstone removes its key,
  // any other record becomes its key's live record. Records wait in the
  // replay's batch; every query below applies it first.
  void apply(const RecordView& r) {
    value_lens_.push_back(r.value_len);
    replay_.add(map_, r, Apply{*this});
  }

  size_t size() const { return applied().size(); }
  // The sum of the live records' sizes, framing included.
  uint64_t bytes() const {
    applied();
    return bytes_;
  }
  const LiveRecord* find(std::string_view key) const { return applied().find(key); }
  // The live keys in byte order, pointing into the index, with their offsets.
  std::vector<std::pair<std::string_view, uint64_t>> in_key_order() const;
  // Calls `visit(std::string_view key, const LiveRecord&)` for every live key.
  template <class Visit>
  void for_each(Visit&& visit) const {
    applied().for_each(visit);
  }

 private:
  struct Apply {
    const LiveIndex& index;
    bool operator()(std::string_view key, const KeyReplay::Pending& p) const;
  };

  const KeyMap<LiveRecord>& applied() const {
    replay_.flush(Apply{*this});
    return map_;
  }

  mutable KeyMap<LiveRecord> map_;
  mutable KeyReplay replay_;
  // The value lengths of the records waiting in the replay, which carries
  // no more than the engine's open needs.
  mutable std::vector<uint32_t> value_lens_;
  mutable size_t next_value_len_ = 0;
  mutable uint64_t bytes_ = 0;
};

// Where live records lie, framing included.
struct LiveSpan {
  uint64_t offset;
  uint64_t size;
};

// Finds the live records of a record file in one pass: an open-addressing
// table of the distinct keys, whose slots hold a tag of the key's hash and
// where the key lies in an arena; the arena holds each distinct key once,
// with the number of its latest record. A record that replaces or removes a
// key marks the key's earlier record dead in a bitmap of record numbers,
// which stays in cache where a per-record array would not. A tag match is
// confirmed on the key's bytes, so the answer is exact whatever the hash.
// The scan and the table each take about half the time, so a second thread
// keeps the table while the scan reads on, taking the records in batches.
class LiveRecordTable {
 public:
  using KeyHash = uint64_t (*)(std::string_view key);
  static uint64_t default_hash(std::string_view key);

  // `file_size` lets the table size itself once from the first records.
  // `hash` is replaceable so that tests can make keys collide.
  explicit LiveRecordTable(uint64_t file_size, KeyHash hash = &default_hash);
  ~LiveRecordTable() { stop_worker(); }
  LiveRecordTable(const LiveRecordTable&) = delete;
  LiveRecordTable& operator=(const LiveRecordTable&) = delete;

  static constexpr size_t BATCH_RECORDS = 4096;

  // Every record of the file the engine would load, in file order, end to
  // end from its start.
  void add(const RecordView& r);
  // Decides, once every record is added. False for a file whose distinct
  // keys take 1 TiB or more, which the table cannot address.
  bool finish();

  // Whether every record is live: no tombstone and no key twice.
  bool all_live() const { return all_live_; }
  uint64_t live_bytes() const { return live_bytes_; }
  // The live records by increasing offset, neighbours in one span; empty
  // when all are live.
  std::vector<LiveSpan> take_live() { return std::move(live_); }

 private:
  struct Batch {
    struct Item {
      uint64_t record;
      size_t key_at;  // in keys
      size_t key_len;
      bool tombstone;
    };
    std::vector<Item> items;
    std::string keys;
    // In the batch that first knows them: the records the file is expected
    // to hold, and the arena bytes their keys would take were all distinct.
    uint64_t records_estimate = 0;
    uint64_t arena_estimate = 0;
  };

  void hand_off();  // the scan's side
  void stop_worker();
  void work();  // the worker thread
  // The table's side: on the worker, or on the scan's thread when no
  // thread could be started.
  void apply_batch(const Batch& batch);
  void apply(const Batch::Item& item, uint64_t hash, std::string_view key);
  std::string_view key_at(size_t at) const;
  void grow(size_t capacity);
  void mark_dead(uint64_t record) { dead_[record >> 6] |= uint64_t(1) << (record & 63); }

  uint64_t file_size_;
  KeyHash hash_;

  // Kept by the scan.
  // The size of every record, in file order; one of 4 GiB or more, which
  // is rare, is UINT32_MAX here and its size is in big_sizes_.
  std::vector<uint32_t, LargeAllocator<uint32_t>> sizes_;
  std::vector<uint64_t> big_sizes_;
  uint64_t first_key_bytes_ = 0;
  std::unique_ptr<Batch> filling_ = std::make_unique<Batch>();

  // Handed between the two, under mutex_.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Batch>> full_;
  std::vector<std::unique_ptr<Batch>> spare_;  // applied, to be filled again
  bool closing_ = false;
  std::exception_ptr failure_;
  std::thread worker_;
  bool inline_ = false;  // no thread could be started

  // Kept by the table's side until finish().
  std::vector<uint64_t, LargeAllocator<uint64_t>> slots_;
  size_t used_ = 0;
  // An entry per distinct key: the number of its latest record, the key's
  // 32-bit length, and its bytes, unaligned.
  std::vector<char, LargeAllocator<char>> arena_;
  std::vector<uint64_t> dead_;  // a bit per record number
  bool too_large_ = false;

  bool all_live_ = false;
  uint64_t live_bytes_ = 0;
  std::vector<LiveSpan> live_;
};

// Where live records start, a bit per 8 bytes of a record file: a record
// takes at least its 8 bytes of framing, so no two start in the same 8
// bytes. A 64th of the file, where the index takes tens of bytes per key:
// once the starts are marked, the index can go, and a scan of the file finds
// the live records by their starts, in file order, without a sort.
class LiveStarts {
 public:
  explicit LiveStarts(uint64_t file_size) : bits_(size_t(file_size / 512 + 1)) {}
  void add(uint64_t offset) { bits_[offset >> 9] |= uint64_t(1) << ((offset >> 3) & 63); }
  bool has(uint64_t offset) const { return (bits_[offset >> 9] >> ((offset >> 3) & 63)) & 1; }

 private:
  std::vector<uint64_t> bits_;
};

// Appends the whole records [0, end) of `src` whose starts `live` marks,
// as compact writes them, to `out`; returns the bytes written.
Result<uint64_t, std::string> copy_live_records(File& src, uint64_t end, const LiveStarts& live,
                                                File& out);

}  // namespace zez::tool
