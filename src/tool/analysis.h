// What check, stats and repair know about a database directory: one pass
// over each record file (framing, the records the engine would refuse, the
// live keys), optionally the decoding of every live value and the links it
// holds, and the replay of each backlink file compared with the rows those
// links imply. Everything is read through the engine's own scanners, so the
// tool judges a file exactly as the engine loads it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "db/backlink_file.h"
#include "db/damage.h"
#include "db/file.h"
#include "db/scan_end.h"
#include "db/text_map.h"
#include "tool/json.h"
#include "tool/live_index.h"
#include "tool/tool.h"

namespace zez::tool {

// One row of a backlink list: the target key and the Backlink's three
// strings. The target collection is the file's.
struct BacklinkRow {
  std::string target_key;
  std::string source_collection;
  std::string source_key;
  std::string source_path;
  bool operator==(const BacklinkRow&) const = default;
};

struct BacklinkRowHash {
  size_t operator()(const BacklinkRow& r) const;
};
using BacklinkRowSet = std::unordered_set<BacklinkRow, BacklinkRowHash>;

// A key whose visible value changes when the damaged regions are cut: a
// record of it that frames inside a region is newer than its live record
// among the kept ones (or it has none left).
struct ChangedKey {
  std::string key;                 // raw bytes
  uint64_t dropped_offset;         // its newest record, which goes
  std::optional<uint64_t> now_at;  // the record that shows instead; none when absent
};

struct RecordFileReport {
  DirectoryListing::Entry entry;
  uint64_t size = 0;
  RecordFileDamage damage;  // where the file is damaged, and how
  uint64_t records = 0;     // whole records kept
  // Per damaged region: the whole records that follow it.
  std::vector<uint64_t> records_after;
  // Live keys as the engine would index them with every damaged region cut
  // (as a repair or salvage leaves them). The decoding pass, which needs
  // only where the live records start, empties it to make room.
  LiveIndex live;
  std::vector<ChangedKey> changed_keys;
  // Keys that exist only in records after the end of the first damage in
  // the middle: bytes of a stored value may copy real records, so these may
  // never have been written.
  std::vector<std::string> only_after_damage;
  bool read_failed = false;  // the file could not be opened or read whole

  // Damage a plain repair cuts: only a tail.
  bool has_tail_damage() const {
    return !damage.clean() && damage.regions.back().is_tail() && !needs_salvage();
  }
  // Damage only a salvage removes.
  bool needs_salvage() const { return damage.needs_salvage(); }
};

struct BacklinkFileReport {
  DirectoryListing::Entry entry;  // name "NAME.qbl" even when the file is missing
  bool exists = false;
  uint64_t size = 0;
  ScanEnd end;  // stop End when the engine loads the file
  bool loads = true;
  std::string load_error;  // the engine's error text when it does not load
  // The rows left after replaying the whole records before any damage, in
  // file order, copies included, with the offset of each add record.
  std::vector<BacklinkRow> rows;
  std::vector<uint64_t> row_offsets;
  // Filled when backlinks are compared: distinct rows the file holds but the
  // live records do not imply, and the reverse (in the order a rebuild adds
  // them: by source collection, live record offset, link order).
  std::vector<size_t> stale;  // indexes into rows, first copy of each
  std::vector<BacklinkRow> missing;

  bool needs_rebuild() const { return !loads || !stale.empty() || !missing.empty(); }
};

struct AnalysisOptions {
  bool decode_values = true;  // decode every live value (and compare backlinks)
  // Classify record files by framing alone where that finds them whole
  // (classify_record_file_quickly): a value in the middle is not decoded.
  bool frame_only = false;
  bool replay_backlinks = true;  // replay backlink files
  // The comparison of backlinks assumes damage in the middle is cut. Without
  // it, the rows from such a file are neither confirmed nor refuted.
  bool salvage = true;
  // Fill RecordFileReport::only_after_damage (a salvage lists them).
  bool list_keys_only_after_damage = false;
};

struct Analysis {
  DirectoryListing listing;
  std::vector<RecordFileReport> record_files;
  std::vector<BacklinkFileReport> backlink_files;  // by collection name
  std::vector<Finding> findings;
  bool operational_error = false;  // a read failed: the picture is incomplete

  int damage_count() const;
};

// Reads the whole directory. Never writes. Fails only when the directory
// cannot be listed; a file that cannot be read is a finding and sets
// operational_error.
Result<Analysis, IoError> analyse_directory(Directory& dir, const AnalysisOptions& options,
                                            Console& console);

// The findings of one record file's damage: the same text in every
// subcommand. `records_after` holds, per region, the whole records after
// it; left empty, the count is not shown.
void add_record_file_findings(const std::string& name, const RecordFileDamage& damage,
                              const std::vector<uint64_t>& records_after,
                              std::vector<Finding>& out);

// Frames, as add records appended to `buf`, every row a rebuilt backlink
// file keeps: the file's rows but the stale ones, in file order, then the
// missing ones. `framed` runs after each row.
template <class Framed>
Result<Unit, IoError> for_each_kept_row(const BacklinkFileReport& b, std::string& buf,
                                        Framed&& framed) {
  BacklinkRowSet stale;
  for (size_t i : b.stale) stale.insert(b.rows[i]);
  auto add = [&](const BacklinkRow& row) -> Result<Unit, IoError> {
    auto f = frame_backlink_record(
        BACKLINK_OP_ADD, {row.target_key, row.source_collection, row.source_key, row.source_path},
        buf);
    if (!f.ok()) return f;
    return framed();
  };
  for (const BacklinkRow& row : b.rows) {
    if (stale.count(row)) continue;
    auto r = add(row);
    if (!r.ok()) return r;
  }
  for (const BacklinkRow& row : b.missing) {
    auto r = add(row);
    if (!r.ok()) return r;
  }
  return Unit{};
}

// The size of the file for_each_kept_row() frames.
uint64_t rebuilt_size(const BacklinkFileReport& b);

// A key or other raw text made fit for a line of text or JSON: valid UTF-8
// as it is, otherwise every byte outside ASCII as \xNN.
std::string printable(std::string_view raw);

// Writes the findings as one JSON array value.
void write_findings_json(JsonWriter& w, const std::vector<Finding>& findings);

}  // namespace zez::tool
