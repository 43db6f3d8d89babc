// What check, stats, repair and backup know about a database directory: one
// pass over each record file (framing, the records the engine would refuse,
// the live keys), optionally the decoding of every live value and the links
// it holds, and the replay of each backlink file compared with the rows
// those links imply. Everything is read through the engine's own scanners,
// so the tool judges a file exactly as the engine loads it.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "db/damage.h"
#include "db/file.h"
#include "db/scan_end.h"
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

// A key whose visible value changes, or may change, when the damaged
// regions are cut.
struct ChangedKey {
  enum class Why : uint8_t {
    // Its newest record lies in a damaged region, or is a bad record, and
    // goes: an older record shows instead, or the key is absent.
    Removed,
    // Its newest record lies between two damaged regions close together,
    // where a write sent to the wrong place leaves copies of older records
    // that cannot be told from records: it may show an older value.
    Island,
  };
  Why why;
  std::string key;
  uint64_t record_offset;          // its newest record
  std::optional<uint64_t> now_at;  // the record that shows after the cut; none when absent
};

// Regions at most this far apart leave an island whose records may be
// copies: a write that went astray covers at most a write buffer's worth.
inline constexpr uint64_t ISLAND_BYTES = uint64_t(64) << 10;

struct RecordFileReport {
  DirectoryListing::Entry entry;
  uint64_t size = 0;
  RecordFileDamage damage;
  uint64_t records = 0;                 // whole records kept
  std::vector<uint64_t> records_after;  // per damaged region, the whole records after it
  // Live keys with every damaged region cut, as a repair leaves them. The
  // decoding pass, which needs only where live records start, keeps those
  // and their count, and empties it to make room.
  LiveIndex live;
  LiveStarts live_starts{0};
  uint64_t live_records = 0;
  std::vector<ChangedKey> changed_keys;  // Removed first, then Island
  bool read_failed = false;
};

struct BacklinkFileReport {
  DirectoryListing::Entry entry;  // name "NAME.qbl" even when the file is missing
  bool exists = false;
  uint64_t size = 0;
  ScanEnd end;
  bool loads = true;
  // The rows left after replaying the whole records before any damage, in
  // file order, copies included, with the offset of each add record.
  std::vector<BacklinkRow> rows;
  std::vector<uint64_t> row_offsets;
  // When backlinks are compared: the distinct rows no live record implies
  // (indexes into rows, first copy of each), and the implied rows the file
  // lacks, in the order a rebuild adds them.
  std::vector<size_t> stale;
  std::vector<BacklinkRow> missing;

  bool needs_rebuild() const { return !loads || !stale.empty() || !missing.empty(); }
};

struct AnalysisOptions {
  bool decode_values = true;  // decode every live value, and compare backlinks
  // Classify record files by framing alone where that finds them whole: a
  // value in the middle is not decoded.
  bool frame_only = false;
  // The comparison of backlinks assumes damage in the middle is cut. Without
  // it, the rows from such a file are neither confirmed nor refuted.
  bool salvage = true;
};

struct Analysis {
  DirectoryListing listing;
  std::vector<RecordFileReport> record_files;
  std::vector<BacklinkFileReport> backlink_files;  // by collection name
  std::vector<Finding> findings;
  bool operational_error = false;  // a read failed: the picture is incomplete
  // Collections whose record file cannot be opened (a directory in its
  // place): the backlink rows whose source they are were left unjudged.
  std::vector<std::string> unread_collections;

  uint64_t damage_count() const { return count_findings(findings, Finding::Severity::Damage); }
  // Damage left sets EXIT_DAMAGE_LEFT, an incomplete picture EXIT_OPERATIONAL.
  int exit_status() const;
};

// Reads the whole directory; never writes. Fails only when the directory
// cannot be listed: a file that cannot be read is a finding and sets
// operational_error.
Result<Analysis, IoError> analyse_directory(Directory& dir, const AnalysisOptions& options,
                                            Console& console);

// Replays the records of a classified file's kept ranges into `live`,
// counting them, and per damaged region those after it. Returns End, or the
// first stop short of a range's end (the rest is not replayed).
ScanEnd replay_kept_records(File& file, const RecordFileDamage& damage, LiveIndex& live,
                            uint64_t& records, std::vector<uint64_t>& records_after);

// The findings of a record file's damage, the same text in every
// subcommand. `records_after` holds, per region, the whole records after
// it; left empty, the count is not shown.
void add_record_file_findings(const std::string& name, const RecordFileDamage& damage,
                              const std::vector<uint64_t>& records_after,
                              std::vector<Finding>& out);

// Writes what a rebuilt backlink file keeps (the file's rows but the stale
// ones, in file order, then the missing ones) to `out`; returns its size.
// Without `out`, only the size.
Result<uint64_t, IoError> write_backlinks(const BacklinkFileReport& b, File* out);

// A key or other raw text made fit for a line of text or JSON: valid UTF-8
// as it is, otherwise every byte outside ASCII as \xNN.
std::string printable(std::string_view raw);

// Writes one JSON object, whose members `members` writes, as a line of
// standard output.
void write_json_report(Console& console, const std::function<void(JsonWriter&)>& members);
// Members whose values are raw text, made printable.
using TextMembers = std::initializer_list<std::pair<std::string_view, std::string_view>>;
void write_text_members(JsonWriter& w, TextMembers members);
// A member whose value is an offset, or null.
void write_offset_member(JsonWriter& w, std::string_view key, std::optional<uint64_t> offset);
void write_findings_json(JsonWriter& w, const std::vector<Finding>& findings);

}  // namespace zez::tool
