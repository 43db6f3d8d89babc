// Record file grammar (all integers little-endian, no header or trailer):
//
//   file   := record*
//   record := key_len:u32  key:key_len bytes (UTF-8)
//             value_len:u32  value:value_len bytes (one encoded value)
//
// The last record of a key decides its state; a record whose first value
// byte is 0x0C (Tombstone) deletes the key. Records are only ever appended.
//
// Damage (db/damage.h). The format has no checksums, so damage is told from
// the framing and the values alone. A record is whole when the engine can
// load it (it lies inside the file, its key is UTF-8, its value length is
// above 0) and its value decodes to exactly value_len bytes: the engine's
// reader ignores bytes after the first value, but no writer leaves any.
// Let P be the first record that is not whole.
//   - Bad record: P frames (its lengths lie inside the file, value_len > 0)
//     and the record after it starts where P ends: it is whole, or the
//     file ends there, or the last record begins there cut short, or zeros
//     run from there to the end, or another bad record follows on the same
//     terms. Only P's key or value is bad; the records after it are found
//     by plain framing, and P is never the start of a tail. A salvage drops
//     P alone. (Zeros from a 4096-aligned offset inside P to the end of the
//     file make P part of a tail instead: a power loss leaves that.)
//   - Cut by the end: P's lengths run past the end of the file, its key is
//     all there and UTF-8 (or the file ends inside a key of at most 64 KiB
//     whose bytes are the start of a UTF-8 text), and its value bytes are
//     the start of a value that more bytes would complete. That is the last
//     append, cut short: whatever frames inside it is bytes of its value,
//     so everything from P on is a torn tail. A damaged length field does
//     not pass: the value then decodes before the end of the file (the
//     encoding is self-delimiting) or does not decode, and a damaged key
//     length is long or swallows bytes that are not UTF-8.
//   - Otherwise P's framing is damaged. A candidate chain is a run of at
//     least two whole records starting after P that ends at the end of the
//     file, at damage that is itself in the middle, at a last record cut
//     short or at zeros to the end (a crash after the damage leaves those).
//     A run that starts inside P's own claimed extent and stops before
//     P's end is bytes of P's value, not a chain. No candidate chain: the
//     bytes from P on are a torn tail (or a zero tail). Otherwise P..Q is
//     damage in the middle, Q being the end of P when P frames and whole
//     records follow it, else the earliest start among the chains that
//     merge into the one that counts (chains starting at false offsets
//     inside the damage fall in step with the true records). A salvage
//     drops P..Q and keeps the rest.
// Stored values may hold bytes that frame like records, even copies of
// records: a record cut by the end keeps its copies in the tail, and a
// chain must hold two records. Copies right after damage in the middle, or
// between two damaged regions close together (a write sent to the wrong
// place), cannot be told from records, so a salvage names the keys whose
// newest record lies there. The search frames each offset once and is
// bounded to a few times the file's size; past the bound the rest is
// unresolved.
//
// A power loss can also leave the last 4096-aligned pages of a file zeroed
// after the last record was written: when that record still decodes it is
// kept (a value may end in zeros), and reported as a note.
//
// The one reader and writer of this grammar: the engine's Collection and the
// maintenance program both frame, scan and read records through it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/byte_order.h"
#include "codec/encoding.h"
#include "codec/errors.h"
#include "codec/result.h"
#include "db/file.h"
#include "db/key_index.h"
#include "db/scan_end.h"

namespace zez {

inline constexpr size_t RECORD_FRAMING = 8;  // the two length fields

// The whole record, framed, so it reaches the file as one piece. Lengths that
// do not fit their 32-bit fields are refused here, before anything is
// written.
Result<std::string, IoError> frame_record(std::string_view key, std::string_view encoded);
// The same record appended to `out`; nothing is appended when it fails.
Result<Unit, IoError> append_framed_record(std::string_view key, std::string_view encoded,
                                           std::string& out);

// One record as a scan finds it: framed whole, but not checked further.
struct RecordView {
  uint64_t offset;        // of its first byte
  std::string_view key;   // points into the scan's buffer: valid only during the visit
  uint64_t value_offset;  // of the value's first byte
  uint32_t value_len;     // 0 in a damaged record; the engine refuses to load it
  uint8_t type_byte;      // the value's first byte; 0 when value_len is 0
  bool key_is_utf8;       // the engine refuses to load a record whose key is not

  bool is_tombstone() const { return type_byte == TYPE_TOMBSTONE; }
  uint64_t end() const { return value_offset + value_len; }
};

// Scans the file's bytes [0, size) record by record and calls
// `visit(const RecordView&)` for each record that frames whole, in file
// order, whether or not it can be loaded; visit returns false to stop the
// scan there (ScanStop::Refused). Only the framing, the key and the value's
// first byte are read; values are skipped. Every length is checked against
// the bytes left before anything is read or reserved for it, so a damaged
// length cannot exhaust memory.
//
// The fields are checked in file order: key length, key, value length, then
// the value's end. Zeros from a record's start to the end of the file, however
// few, end the scan as ZeroTail; zeros inside the file frame as records with
// an empty key and a value length of 0, and are visited. A file shortened
// while it is scanned ends it as Io with "failed to fill whole buffer". The
// scan reads with positioned reads only, so the visitor may read values
// through the same handle (read_record_value).
template <class Visit>
ScanEnd scan_record_file(File& file, uint64_t size, Visit&& visit);
// The same over the bytes [from, size) only, `from` being where a record
// starts (e.g. where a damaged region ends).
template <class Visit>
ScanEnd scan_record_range(File& file, uint64_t from, uint64_t size, Visit&& visit);

// Reads the value bytes of the record at `offset` into `out`. `file_end` is
// the file's size as the caller knows it: a length running past it fails
// with "failed to fill whole buffer" before any memory is reserved for it.
// One positioned read usually fetches the whole record.
Result<Unit, IoError> read_record_value(File& file, uint64_t offset, uint64_t file_end,
                                        std::string& out);

// Reads byte ranges of a file, in increasing order as a rule, through one
// large window with positioned reads: many small reads cost one system call
// per window. A memory map would be faster still, but another program may
// shorten the file, and touching a mapped page past its end kills the
// process.
class WindowReader {
 public:
  // Windows are this large unless a single range needs more.
  static constexpr size_t WINDOW_SIZE = size_t(1) << 20;

  WindowReader(File& file, uint64_t limit) : file_(file), limit_(limit) {}

  // Bytes [offset, offset + n), valid until the next call. nullptr when
  // they run past the limit (before any memory is reserved for them) or the
  // read fails: take_error() says why, "failed to fill whole buffer" for a
  // file shortened meanwhile. A plain pointer rather than a Result keeps the
  // scan's hot path free of constructing and destroying an error each time.
  const uint8_t* view(uint64_t offset, size_t n) {
    if (offset >= start_ && offset - start_ + n <= filled_)
      return buffer_.data() + (offset - start_);
    return fill(offset, n);
  }
  // Up to `n` bytes from `offset` on, at least one when `n` is not 0: what
  // the window holds there, else a new window's worth.
  Result<std::string_view, IoError> next(uint64_t offset, uint64_t n);
  IoError take_error() { return std::move(*error_); }

 private:
  // Reads a new window from `offset` on, out of the scan's loop.
  const uint8_t* fill(uint64_t offset, size_t n);

  File& file_;
  uint64_t limit_;
  std::vector<uint8_t> buffer_;
  uint64_t start_ = 0;
  size_t filled_ = 0;
  std::optional<IoError> error_;
};

// Appends to a file through a buffer that is written out only when full:
// few system calls, whatever the size of the pieces.
class ChunkWriter {
 public:
  explicit ChunkWriter(File& file) : file_(file) {}

  Result<Unit, IoError> append(std::string_view bytes);
  // Writes out what the buffer holds.
  Result<Unit, IoError> flush();
  uint64_t written() const { return written_ + buffer_.size(); }

 private:
  File& file_;
  std::string buffer_;
  uint64_t written_ = 0;
};

// Replays records into a table of live keys as the engine's open does. The
// table is sized once from the first records, instead of growing again and
// again on a large file, and records wait in a small batch, their slots
// prefetched, so that the table's cache misses overlap instead of coming
// one after another. `Table` is a KeyMap or a RecordIndex.
class KeyReplay {
 public:
  struct Pending {
    uint64_t hash;
    uint64_t offset;
    uint32_t key_len;
    bool tombstone;
  };

  // Records seen before the table is sized for the whole file.
  static constexpr uint64_t RECORDS_BEFORE_ESTIMATE = 4096;

  // `file_size` is the end of the records replayed.
  explicit KeyReplay(uint64_t file_size) : file_size_(file_size) {}

  // Queues the record, and when the batch is full calls `apply(key,
  // const Pending&)` for each record in it, in the order they came. False,
  // the rest of the batch dropped, when `apply` returns false.
  template <class Table, class Apply>
  bool add(Table& table, const RecordView& r, Apply&& apply) {
    if (records_ == RECORDS_BEFORE_ESTIMATE) {
      // Every record takes at least its framing, so the quotient is not 0.
      const uint64_t estimate = file_size_ / (r.offset / records_);
      table.reserve(size_t(estimate), size_t(key_bytes_ / records_ * estimate));
    }
    ++records_;
    if (records_ <= RECORDS_BEFORE_ESTIMATE) key_bytes_ += r.key.size() + 1;
    const uint64_t hash = key_index_detail::hash_key(r.key);
    table.prefetch(hash);
    batch_[batched_++] =
        Pending{hash, r.offset, uint32_t(r.key.size()), r.is_tombstone()};
    keys_.append(r.key);
    return batched_ < BATCH || flush(apply);
  }
  // Applies the records waiting.
  template <class Apply>
  bool flush(Apply&& apply) {
    std::string_view keys(keys_);
    bool applied = true;
    for (size_t i = 0; i < batched_ && applied; ++i) {
      applied = apply(keys.substr(0, batch_[i].key_len), batch_[i]);
      keys.remove_prefix(batch_[i].key_len);
    }
    batched_ = 0;
    keys_.clear();
    return applied;
  }

 private:
  static constexpr size_t BATCH = 16;

  uint64_t file_size_;
  uint64_t records_ = 0;
  uint64_t key_bytes_ = 0;  // of the first records, a byte each for its length
  Pending batch_[BATCH];
  size_t batched_ = 0;
  std::string keys_;
};

// ---- Implementation -------------------------------------------------------

namespace detail {

enum class Framed : uint8_t {
  Whole,       // visit it
  Empty,       // key and value length both 0: visit it unless only zeros are left
  Short,       // runs past the end
  ReadFailed,  // the reader holds the error
};

// Frames the record at `offset` into `out` (for Whole and Empty). For Short,
// `needed` is the bytes its fields need up to the end of the first field
// that runs past the end. Always inlined into the scan's loop: a call per
// record costs the open a measurable share of its time.
[[gnu::always_inline]] inline Framed frame_record_at(WindowReader& in, uint64_t size,
                                                     uint64_t offset, RecordView& out,
                                                     uint64_t& needed) {
  const uint64_t left = size - offset;
  needed = 4;
  if (left < 4) return Framed::Short;
  const uint8_t* head = in.view(offset, 4);
  if (!head) return Framed::ReadFailed;
  const uint64_t key_len = load_u32(head);
  needed = RECORD_FRAMING + key_len;
  if (key_len > left - 4 || left - 4 - key_len < 4) return Framed::Short;
  const uint8_t* record = in.view(offset, size_t(RECORD_FRAMING + key_len));
  if (!record) return Framed::ReadFailed;
  const uint32_t value_len = load_u32(record + 4 + key_len);
  uint8_t type_byte = 0;
  if (value_len != 0) {
    needed = RECORD_FRAMING + key_len + value_len;
    if (value_len > left - RECORD_FRAMING - key_len) return Framed::Short;
    // The framing and the type byte in one view, so the key stays valid.
    record = in.view(offset, size_t(RECORD_FRAMING + key_len + 1));
    if (!record) return Framed::ReadFailed;
    type_byte = record[RECORD_FRAMING + key_len];
  }
  out.offset = offset;
  out.key = std::string_view(reinterpret_cast<const char*>(record + 4), size_t(key_len));
  out.value_offset = offset + RECORD_FRAMING + key_len;
  out.value_len = value_len;
  out.type_byte = type_byte;
  out.key_is_utf8 = is_valid_utf8(out.key);
  return key_len == 0 && value_len == 0 ? Framed::Empty : Framed::Whole;
}

// The ends of a scan, out of line: they are rare, and keeping them (and
// their error values) out of the loop keeps its state in registers.
ScanEnd stop_at(ScanStop stop, uint64_t offset);
ScanEnd stop_at_failed_read(uint64_t offset, IoError error);
// Torn, or ZeroTail when only zeros are left from `offset` to `size`.
ScanEnd stop_at_short_record(File& file, uint64_t size, uint64_t offset, uint64_t needed);
// ZeroTail when only zeros are left from `offset` to `size` (Io when reading
// them fails); otherwise nothing, with `nonzero_at` set to the offset of the
// first byte that is not zero.
std::optional<ScanEnd> stop_at_zero_tail(File& file, uint64_t size, uint64_t offset,
                                         uint64_t& nonzero_at);

}  // namespace detail

template <class Visit>
ScanEnd scan_record_file(File& file, uint64_t size, Visit&& visit) {
  return scan_record_range(file, 0, size, std::forward<Visit>(visit));
}

template <class Visit>
ScanEnd scan_record_range(File& file, uint64_t from, uint64_t size, Visit&& visit) {
  using detail::Framed;
  WindowReader in(file, size);
  RecordView record{};
  uint64_t offset = from;
  // Empty records before this offset are known not to begin a zero tail, so
  // a long run of zeros inside the file is looked at once, not once per
  // record.
  uint64_t nonzero_at = from;
  while (offset < size) {
    uint64_t needed;
    switch (detail::frame_record_at(in, size, offset, record, needed)) {
      case Framed::Whole:
        break;
      case Framed::Empty:
        // The zeros are read apart from `in`, so the record's key stays valid.
        if (offset < nonzero_at) break;
        if (auto zeros = detail::stop_at_zero_tail(file, size, offset, nonzero_at)) {
          return std::move(*zeros);
        }
        break;
      case Framed::Short:
        return detail::stop_at_short_record(file, size, offset, needed);
      case Framed::ReadFailed:
        return detail::stop_at_failed_read(offset, in.take_error());
    }
    if (!visit(static_cast<const RecordView&>(record))) {
      return detail::stop_at(ScanStop::Refused, offset);
    }
    offset = record.end();
  }
  return detail::stop_at(ScanStop::End, offset);
}

}  // namespace zez
