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

// Tells, without building an index, whether every record of a file is
// live: no tombstone and no key twice. Keys are compared by a 64-bit hash,
// sorted, which costs a fraction of the index; a hash seen twice (a key
// written twice, or very rarely two keys that share a hash) only means
// "maybe not", and the caller builds the index to know.
class AllLiveCheck {
 public:
  // False once the answer is known to be "maybe not": the rest of the file
  // need not be added.
  bool add(const RecordView& r);
  bool all_live();

 private:
  std::vector<uint64_t> hashes_;
  bool tombstone_ = false;
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
