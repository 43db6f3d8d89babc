// The live keys of one record file as the engine's load leaves them, for
// every subcommand that needs them (check, stats, repair, compact, dump):
// replayed as the engine's open replays a file, into the engine's own
// KeyMap, so a million keys cost about what the engine's open costs, in
// time and in memory. Besides the offset of each key's live record it keeps
// the record's lengths, so the live bytes are known without reading the
// records again.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "db/key_index.h"
#include "db/record_file.h"

namespace zez::tool {

// Where a key's live record lies.
struct LiveRecord {
  uint64_t offset;
  uint32_t key_len;
  uint32_t value_len;

  uint64_t size() const { return RECORD_FRAMING + key_len + value_len; }
};

// Where live records lie, framing included.
struct LiveSpan {
  uint64_t offset;
  uint64_t size;
};

class LiveIndex {
 public:
  // `file_size` lets the index size itself once from the first records, as
  // the engine's load does, instead of growing step by step.
  explicit LiveIndex(uint64_t file_size = 0) : replay_(file_size) {}

  // Applies one record the engine would load: a tombstone removes its key,
  // any other record becomes its key's live record. Records wait in the
  // replay's batch; every query below applies it first.
  void apply(const RecordView& r) {
    ++records_;
    replay_.add(map_, r, Apply{*this});
  }

  size_t size() const { return applied().size(); }
  // Whether every record applied is live: no tombstone and no key twice.
  bool all_live() const { return size() == records_; }
  // The sum of the live records' sizes, framing included.
  uint64_t bytes() const {
    applied();
    return bytes_;
  }
  const LiveRecord* find(std::string_view key) const { return applied().find(key); }

  // The live keys in byte order and the offsets of their records. The keys
  // point into the index.
  std::vector<std::pair<std::string_view, uint64_t>> in_key_order() const;
  // Where the live records lie, by increasing offset, neighbours in one span.
  std::vector<LiveSpan> spans() const;
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

  // The map with every record applied.
  const KeyMap<LiveRecord>& applied() const {
    replay_.flush(Apply{*this});
    return map_;
  }

  mutable KeyMap<LiveRecord> map_;
  mutable KeyReplay replay_;
  mutable uint64_t bytes_ = 0;
  uint64_t records_ = 0;
};

}  // namespace zez::tool
