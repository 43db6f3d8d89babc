// The live records of one record file as the engine's load leaves them.
// LiveIndex replays the file into the engine's own KeyMap, as its open does,
// for every subcommand that looks keys up; LiveRecordTable only finds which
// records are live, on a second thread, for compact.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
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

// Where records start, a bit per 8 bytes of a record file: a record takes
// at least its 8 bytes of framing, so no two start in the same 8 bytes. A
// 64th of the file at most, where the index takes tens of bytes per key:
// once the starts are marked, the index can go, and a scan of the file finds
// the live records by their starts, in file order, without a sort. The bits
// stay zero pages of the system's until marked, so a file of large records
// costs only the pages its marked starts fall in.
class LiveStarts {
 public:
  explicit LiveStarts(uint64_t file_size)
      : bits_(static_cast<uint64_t*>(std::calloc(size_t(file_size / 512 + 1), 8))) {
    if (!bits_) throw std::bad_alloc();
  }
  void add(uint64_t offset) { bits_[offset >> 9] |= uint64_t(1) << ((offset >> 3) & 63); }
  bool has(uint64_t offset) const { return (bits_[offset >> 9] >> ((offset >> 3) & 63)) & 1; }

 private:
  struct Free {
    void operator()(uint64_t* p) const { std::free(p); }
  };
  std::unique_ptr<uint64_t[], Free> bits_;
};

// Finds the live records of a record file in one pass: the engine's replay
// of its keys into a table of each key's latest record, where a record that
// replaces or removes a key marks the key's earlier record dead. Replaying
// takes about as long as reading the records does, so a second thread keeps
// the table while the records are read on, taking them in batches.
class LiveRecordTable {
 public:
  // `file_size` lets the table size itself once from the first records.
  explicit LiveRecordTable(uint64_t file_size) : replay_(file_size), dead_(file_size) {}
  ~LiveRecordTable() { stop_worker(); }
  LiveRecordTable(const LiveRecordTable&) = delete;
  LiveRecordTable& operator=(const LiveRecordTable&) = delete;

  static constexpr size_t BATCH_RECORDS = 4096;

  // Every record of the file the engine would load, in file order, end to
  // end from its start.
  void add(const RecordView& r);
  // Decides, once every record is added.
  void finish();

  // Whether every record is live: no tombstone and no key twice.
  bool all_live() const { return all_live_; }
  uint64_t live_bytes() const { return live_bytes_; }
  // The live records by increasing offset, neighbours in one span; empty
  // when all are live.
  std::vector<LiveSpan> take_live() { return std::move(live_); }

 private:
  struct Batch {
    struct Item {
      uint64_t offset;
      size_t key_at;  // in keys
      size_t key_len;
      uint8_t type_byte;
    };
    std::vector<Item> items;
    std::string keys;
  };
  struct Apply {
    LiveRecordTable& table;
    bool operator()(std::string_view key, const KeyReplay::Pending& p) const;
  };

  void hand_off();  // the reading side
  void stop_worker();
  void work();  // the worker thread
  // The table's side: on the worker, or on the reading thread when no
  // thread could be started.
  void apply_batch(const Batch& batch);

  // Kept by the reading side.
  // The size of every record, in file order; one of 4 GiB or more, which
  // is rare, is UINT32_MAX here and its size is in big_sizes_.
  std::vector<uint32_t, LargeAllocator<uint32_t>> sizes_;
  std::vector<uint64_t> big_sizes_;
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
  KeyIndex latest_;  // key -> offset of its latest record
  KeyReplay replay_;
  LiveStarts dead_;

  bool all_live_ = false;
  uint64_t live_bytes_ = 0;
  std::vector<LiveSpan> live_;
};

// Appends the whole records [0, end) of `src` whose starts `live` marks,
// as compact writes them, to `out`; returns the bytes written.
Result<uint64_t, std::string> copy_live_records(File& src, uint64_t end, const LiveStarts& live,
                                                File& out);

}  // namespace zez::tool
