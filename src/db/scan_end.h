// Where and why a scan of a record file or a backlink file stopped. The
// engine's loads turn it into their errors; maintenance reports and repairs
// from it.
#pragma once

#include <cstdint>
#include <optional>

#include "codec/errors.h"

namespace zez {

enum class ScanStop : uint8_t {
  End,       // the file is whole records up to its end
  Torn,      // the record at `offset` runs past the end of the file
  ZeroTail,  // every byte from `offset` to the end is zero (and is not whole records)
  Io,        // a read failed (`error`)
  Refused,   // the visitor asked to stop at the record at `offset`
};

struct ScanEnd {
  ScanStop stop = ScanStop::End;
  // Where the scan stopped: the file's end, or the start of the record (or
  // zero run) it stopped at. Everything before it is whole records, so it is
  // also where the last whole record ends.
  uint64_t offset = 0;
  // Torn: the bytes the record needs as far as its length fields tell (up to
  // the end of the first field that runs past the end), and the bytes from
  // `offset` to the end. ZeroTail: `remaining` only.
  uint64_t needed = 0;
  uint64_t remaining = 0;
  // Torn or Io, backlink files only: a string of the record the scan stopped
  // in was read whole before the stop and is not UTF-8.
  bool invalid_utf8_before_stop = false;
  std::optional<IoError> error = std::nullopt;  // Io
};

}  // namespace zez
