// Backlink file grammar. No header, magic, version, checksum or trailer;
// integers little-endian; records follow one another from offset 0:
//
//   file     := record*
//   record   := op:u8 string string string string
//               -- target key, source collection, source key, source path
//   string   := length:u32 bytes[length]        -- UTF-8, no terminator
//
//   op 1 adds (source collection, source key, source path) to the target
//   key's list; op 2 removes every equal entry from it; any other op is read
//   whole and ignored.
//
// The file only grows: a removal is itself a record, so each load replays
// every record ever written.
//
// The one reader and writer of this grammar: the engine's BacklinkIndex and
// the maintenance program both frame and scan records through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "codec/errors.h"
#include "codec/result.h"
#include "db/file.h"
#include "db/record_file.h"
#include "db/scan_end.h"

namespace zez {

inline constexpr uint8_t BACKLINK_OP_ADD = 1;
inline constexpr uint8_t BACKLINK_OP_REMOVE = 2;

// The four strings of a record, in file order.
struct BacklinkStrings {
  std::string_view target_key;
  std::string_view source_collection;
  std::string_view source_key;
  std::string_view source_path;
};

// Appends one record to `out`. Strings too long for their 32-bit length
// fields are refused before anything is appended.
Result<Unit, IoError> frame_backlink_record(uint8_t op, const BacklinkStrings& strings,
                                            std::string& out);

// One record as a scan finds it: framed whole, but not checked further.
struct BacklinkRecordView {
  uint64_t offset;          // of its op byte
  uint64_t end;             // of its last byte, plus one
  uint8_t op;               // BACKLINK_OP_ADD, BACKLINK_OP_REMOVE, or any other (ignored) value
  BacklinkStrings strings;  // point into the scan's buffer: valid only during the visit
  bool strings_are_utf8;    // the engine refuses to load a record whose strings are not
};

// Scans the file from its start to its end (as it is when the scan gets
// there) and calls `visit(const BacklinkRecordView&)` for each record that
// frames whole, in file order, whatever its op and whether or not its
// strings are UTF-8; visit returns false to stop the scan there
// (ScanStop::Refused). Every length is checked against the file's size
// (asked again when it falls short, in case another writer has grown the
// file) before memory is reserved for it.
//
// Runs of zeros frame as whole records of op 0 with four empty strings, and
// are visited as such; only zeros that end the file part-way through such a
// record end the scan as ZeroTail (at that record's start). When the scan
// ends Torn or Io part-way through a record, `invalid_utf8_before_stop` says
// whether one of the strings read before the stop is not UTF-8.
template <class Visit>
ScanEnd scan_backlink_file(File& file, Visit&& visit);

// ---- Implementation -------------------------------------------------------

namespace detail {

// Frames the file's records one after another through a WindowReader.
class BacklinkFramer {
 public:
  explicit BacklinkFramer(File& file) : file_(file) {}
  // Frames the next record into `out`; its strings stay valid until the
  // next call. False when the scan ends; end() then says why.
  bool next(BacklinkRecordView& out);
  ScanEnd end() { return std::move(end_); }

 private:
  enum class Framed : uint8_t { Whole, Stopped, ReadFailed };

  Framed frame(BacklinkRecordView& out);
  Result<uint64_t, IoError> available(uint64_t at, uint64_t n);
  Framed stop(ScanStop kind, uint64_t remaining, uint64_t needed = 0);
  Framed stop_io(IoError error);

  File& file_;
  std::optional<WindowReader> in_;
  uint64_t size_ = 0;    // the file's size when last asked
  uint64_t offset_ = 0;  // where the next record starts
  bool utf8_so_far_ = true;
  ScanEnd end_;
};

}  // namespace detail

template <class Visit>
ScanEnd scan_backlink_file(File& file, Visit&& visit) {
  detail::BacklinkFramer framer(file);
  BacklinkRecordView record{};
  while (framer.next(record)) {
    if (!visit(static_cast<const BacklinkRecordView&>(record))) {
      return ScanEnd{.stop = ScanStop::Refused, .offset = record.offset};
    }
  }
  return framer.end();
}

}  // namespace zez
