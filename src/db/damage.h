// Where a record file is damaged, and what kind of damage each place is:
// the one judgement that check, repair, dump and compact all report and act
// on. The rule is set out beside the grammar, in record_file.h.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "codec/errors.h"
#include "codec/result.h"
#include "db/file.h"
#include "db/record_file.h"

namespace zez {

// Why the record at an offset is not whole.
enum class NotWhole : uint8_t {
  RunsPastEnd,      // a length field reaches past the end of the file
  ZeroValueLength,  // the engine refuses it
  KeyNotUtf8,       // the engine refuses it
  ValueDoesNotDecode,
  ValueDecodesShort,  // the value ends before its length says
};

enum class DamageKind : uint8_t {
  // Whole records follow (see the rule in record_file.h): [start, end) is
  // dropped by a salvage, everything else is kept.
  Middle,
  // One record whose framing is intact (it lies inside the file and the
  // next record starts where it ends) but whose key or value does not
  // decode: [start, end) is that record. The records around it are found
  // by plain framing; a salvage drops it alone.
  BadRecord,
  // No chain of whole records follows: everything from `start` on is the
  // remains of an interrupted append.
  TornTail,
  // Every byte from `start` to the end is zero.
  ZeroTail,
  // The search for whole records after `start` gave up (it would cost more
  // than the bound allows); a salvage keeps what lies before `start` only.
  Unresolved,
};

// A record that frames inside a damaged region, one after another from its
// start: its key can be told, its value cannot be trusted.
struct ReadableRecord {
  uint64_t offset;
  std::string key;  // raw bytes
  bool tombstone;
};

// A record whose last bytes are zeros that run, from a 4096-aligned
// offset, to the end of the file or into the damage after it: a power loss
// or a zeroed page can leave this. The record is kept; this only says so.
struct ZeroPageNote {
  uint64_t record_offset;
  std::string key;
  uint64_t zero_bytes;  // of the record, from the aligned offset to its end
};

struct DamagedRegion {
  DamageKind kind;
  uint64_t start;  // P: the first byte that is not part of a whole record
  uint64_t end;    // Q: where whole records resume; the file's size for the tail kinds
  NotWhole why;    // about the record at `start`
  // RunsPastEnd: the bytes that record's fields need, as far as they tell.
  uint64_t needed = 0;
  std::vector<ReadableRecord> readable;
  uint64_t unknown_bytes = 0;  // bytes of the region whose keys cannot be told
  // The zeros at `start` began inside the whole record before it.
  std::optional<ZeroPageNote> zeros_before;

  bool is_tail() const { return kind != DamageKind::Middle && kind != DamageKind::BadRecord; }
};

struct RecordFileDamage {
  uint64_t size = 0;
  // In file order, not overlapping. Only the last can be a tail kind.
  std::vector<DamagedRegion> regions;
  // The last whole record ends inside zeros that reach the end of the file:
  // its last bytes may be zeros that were never written.
  std::optional<ZeroPageNote> zero_page;
  uint64_t work = 0;  // bytes framed and decoded, for the bound

  bool clean() const { return regions.empty(); }
  // Whether only a salvage mends it: damage in the middle, a bad record, or
  // unresolved.
  bool needs_salvage() const;
  // Whether the framing is broken before the tail: damage in the middle or
  // unresolved. A file whose only damage before its tail is bad records
  // loads once the tail is cut (unless a bad record's key is not UTF-8).
  bool framing_damaged() const;
  // The regions of one kind.
  size_t count(DamageKind kind) const;
  // Where whole records stop before the tail; the size when there is none.
  uint64_t whole_end() const;
  // The kept byte ranges [first, second), in file order.
  std::vector<std::pair<uint64_t, uint64_t>> kept() const;
};

// Classifies the file's bytes [0, size). Each offset is framed at most once
// and values are decoded lazily; the work is bounded by a few times the
// size, past which the region at hand is Unresolved. `progress(offset)` is
// called now and then during the pass over whole records, and `each` with
// every whole record before the first damage, in file order: a caller that
// needs the records of a clean file reads them in the same pass.
Result<RecordFileDamage, IoError> classify_record_file(
    File& file, uint64_t size, const std::function<void(uint64_t)>& progress = {},
    const std::function<void(const RecordView&)>& each = {});

// The same verdict at a fraction of the cost, for a file whose values can
// be trusted to decode: every record is framed as the engine loads it, but
// only the last value, where a torn or zero-filled tail shows, is decoded.
// A file that frames whole that way is reported clean (with its zero-page
// note); any other gets the full classification. So a value in the middle
// that does not decode, or decodes short, goes unnoticed.
Result<RecordFileDamage, IoError> classify_record_file_quickly(
    File& file, uint64_t size, const std::function<void(uint64_t)>& progress = {});

// The engine's verdict on a framed record: why it refuses to load it, or
// nothing.
// Inline: the engine's open asks it of every record.
inline std::optional<NotWhole> load_refusal(const RecordView& r) {
  if (r.value_len == 0) return NotWhole::ZeroValueLength;
  if (!r.key_is_utf8) return NotWhole::KeyNotUtf8;
  return std::nullopt;
}

// "record needs N bytes, M remain", "zero value length", ...: one text for
// each reason, shared by every report.
std::string describe_not_whole(const DamagedRegion& region, uint64_t size);

}  // namespace zez
