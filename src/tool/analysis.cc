#include "tool/analysis.h"

#include <algorithm>
#include <unordered_map>

#include "codec/encoding.h"
#include "codec/keyed_hash.h"
#include "db/backlink_file.h"
#include "db/backlink_index.h"
#include "db/backlink_rows.h"
#include "db/database_files.h"
#include "db/link_path.h"
#include "db/record_file.h"
#include "db/text_map.h"

namespace zez::tool {

namespace {

// Findings of one kind listed per file before the rest are only counted, so
// a badly damaged file does not bury the report.
constexpr size_t LISTED_PER_KIND = 20;

Finding damage_finding(std::string file, std::optional<uint64_t> offset, std::string kind,
                       std::string detail) {
  return Finding{Finding::Severity::Damage, std::move(file), offset, std::move(kind),
                 std::move(detail)};
}

Finding backlink_finding(std::string file, std::optional<uint64_t> offset, std::string kind,
                         std::string detail) {
  Finding f = damage_finding(std::move(file), offset, std::move(kind), std::move(detail));
  f.cause = Finding::Cause::Backlinks;
  return f;
}

Finding note(std::string file, std::optional<uint64_t> offset, std::string kind,
             std::string detail) {
  return Finding{Finding::Severity::Note, std::move(file), offset, std::move(kind),
                 std::move(detail)};
}

std::string count_text(uint64_t n, const char* one, const char* many) {
  return cat({std::to_string(n), " ", n == 1 ? one : many});
}

// Adds the keys whose newest record lies in an island: between two damaged
// regions close together. A tombstone there counts when its key is absent.
void add_island_keys(File& file, const RecordFileDamage& damage, const LiveIndex& live,
                     TextMap<size_t>& named, std::vector<ChangedKey>& out) {
  const std::vector<DamagedRegion>& regions = damage.regions;
  for (size_t i = 0; i + 1 < regions.size(); ++i) {
    const uint64_t from = regions[i].end;
    const uint64_t to = regions[i + 1].start;
    if (regions[i].is_tail() || to - from > ISLAND_BYTES) continue;
    (void)scan_record_range(file, from, to, [&](const RecordView& r) {
      const LiveRecord* newest = live.find(r.key);
      if (newest ? newest->offset != r.offset : !r.is_tombstone()) return true;
      if (named.emplace(r.key, out.size()).second) {
        std::optional<uint64_t> now_at;
        if (newest) now_at = r.offset;
        out.push_back(ChangedKey{ChangedKey::Why::Island, std::string(r.key), r.offset, now_at});
      }
      return true;
    });
  }
}

// The classification, then one sequential scan of the kept records, values
// skipped.
RecordFileReport scan_records(Directory& dir, const DirectoryListing::Entry& entry,
                              const AnalysisOptions& options, std::vector<Finding>& findings,
                              Console& console) {
  RecordFileReport report;
  report.entry = entry;
  auto file = dir.open(entry.name, OpenMode::ReadOnly);
  auto classified = [&]() -> Result<RecordFileDamage, IoError> {
    if (!file.ok()) return file.error();
    auto size = file.value()->size();
    if (!size.ok()) return size.error();
    report.size = size.value();
    // A large file takes seconds: say how far the pass is now and then.
    auto progress = [&](uint64_t at) { console.progress(entry.name, at, report.size); };
    return options.frame_only ? classify_record_file_quickly(*file.value(), report.size, progress)
                              : classify_record_file(*file.value(), report.size, progress);
  }();
  if (!classified.ok()) {
    report.read_failed = true;
    findings.push_back(note(entry.name, std::nullopt, "read error", classified.error().display()));
    return report;
  }
  report.damage = std::move(classified).value();
  const RecordFileDamage& damage = report.damage;
  report.live = LiveIndex(report.size);
  ScanEnd end = replay_kept_records(*file.value(), damage, report.live, report.records,
                                    report.records_after);
  if (end.stop != ScanStop::End) {
    report.read_failed = true;
    findings.push_back(note(entry.name, end.offset, "read error",
                            end.error ? end.error->display() : "the file changed"));
    return report;
  }
  // Keys whose newest record lies in a damaged region; when one is met again
  // in a later region, the latest record counts.
  TextMap<size_t> changed_at;
  for (const DamagedRegion& region : damage.regions) {
    for (const ReadableRecord& r : region.readable) {
      const LiveRecord* live = report.live.find(r.key);
      if ((live && live->offset > r.offset) || (!live && r.tombstone)) continue;
      std::optional<uint64_t> now_at;
      if (live) now_at = live->offset;
      auto [it, added] = changed_at.emplace(r.key, report.changed_keys.size());
      if (added) {
        report.changed_keys.push_back(ChangedKey{ChangedKey::Why::Removed, r.key, r.offset, now_at});
      } else {
        report.changed_keys[it->second].record_offset = r.offset;
      }
    }
  }
  add_island_keys(*file.value(), damage, report.live, changed_at, report.changed_keys);
  add_record_file_findings(entry.name, damage, report.records_after, findings);
  return report;
}

struct ExpectedRows {
  // Target collection -> rows in the order a rebuild adds them.
  TextMap<std::vector<BacklinkRow>> by_target;
  // "collection\0key" of every live value that does not decode, and the
  // collections whose damage in the middle stays: rows from these sources
  // can be neither confirmed nor refuted.
  TextSet unknown_sources;
  TextSet unknown_collections;
  bool complete = true;  // false when a record file could not be read
};

std::string source_id(std::string_view collection, std::string_view key) {
  return cat({collection, std::string_view("\0", 1), key});
}

// The decoding pass: every live value of the file, in file order, one value
// in memory at a time. A second scan finds the live records by their starts,
// so the index can go first: the pass then holds little more than one record.
void decode_values(Directory& dir, RecordFileReport& report, ExpectedRows& expected,
                   std::vector<Finding>& findings, TextSet& noted_targets, bool salvage) {
  const std::string& name = report.entry.name;
  auto file = dir.open(name, OpenMode::ReadOnly);
  if (!file.ok()) {
    report.read_failed = true;
    findings.push_back(note(name, std::nullopt, "read error", file.error().display()));
    return;
  }
  LiveStarts& starts = report.live_starts = LiveStarts(report.size);
  report.live.for_each([&](std::string_view, const LiveRecord& r) { starts.add(r.offset); });
  report.live_records = report.live.size();
  report.live = LiveIndex();
  const std::string& collection = report.entry.collection;
  const bool unknown = !salvage && report.damage.needs_salvage();
  if (unknown) expected.unknown_collections.insert(collection);
  WindowReader window(*file.value(), report.size);
  std::optional<IoError> read_failure;
  uint64_t failed_at = 0;
  auto visit = [&](const RecordView& record) {
    if (!starts.has(record.offset)) return true;
    // The whole record: its key comes from the file with its value.
    const size_t size = size_t(record.end() - record.offset);
    const uint8_t* bytes = window.view(record.offset, size);
    if (!bytes) {
      read_failure = window.take_error();
      failed_at = record.offset;
      return false;
    }
    const std::string_view key(reinterpret_cast<const char*>(bytes) + 4, record.key.size());
    const uint8_t* encoded = bytes + RECORD_FRAMING + record.key.size();
    const size_t encoded_size = size - RECORD_FRAMING - record.key.size();
    // Most values hold no link: then it is enough to know that they decode.
    if (decodes_without_link(encoded, encoded_size)) return true;
    size_t cursor = 0;
    auto value = decode_value(encoded, encoded_size, &cursor);
    if (!value.ok()) {
      // Never for a kept record, which is whole; but should it happen, its
      // links are unknown.
      findings.push_back(damage_finding(name, record.offset, "value does not decode",
                                        value.error().display()));
      findings.back().cause = Finding::Cause::Records;
      expected.unknown_sources.insert(source_id(collection, key));
      return true;
    }
    if (unknown) return true;
    for (OutgoingLink& link : extract_links(value.value())) {
      if (!can_have_files(link.target_collection)) {
        if (noted_targets.insert(link.target_collection).second) {
          findings.push_back(note(name, record.offset, "link target not a file name",
                                  "collection " + printable(link.target_collection) +
                                      " can have no backlink file; its links are not indexed"));
        }
        continue;
      }
      expected.by_target[link.target_collection].push_back(BacklinkRow{
          std::move(link.target_key), collection, std::string(key), std::move(link.source_path)});
    }
    return true;
  };
  for (const auto& [from, to] : report.damage.kept()) {
    ScanEnd end = scan_record_range(*file.value(), from, to, visit);
    if (!read_failure && end.stop == ScanStop::Io) {
      read_failure = std::move(*end.error);
      failed_at = end.offset;
    }
    if (read_failure) break;
  }
  if (read_failure) {
    report.read_failed = true;
    findings.push_back(note(name, failed_at, "read error", read_failure->display()));
  }
}

// Replays the backlink file as the engine's load does, up to any damage.
BacklinkFileReport replay_backlinks(Directory& dir, const DirectoryListing::Entry& entry,
                                    bool& read_failed, std::vector<Finding>& findings) {
  BacklinkFileReport report;
  report.entry = entry;
  report.exists = true;
  auto file = dir.open(entry.name, OpenMode::ReadOnly);
  if (!file.ok()) {
    read_failed = true;
    report.loads = false;
    findings.push_back(note(entry.name, std::nullopt, "read error", file.error().display()));
    return report;
  }
  BacklinkRows replayed(/*keep_offsets=*/true);
  report.end = replay_backlink_file(*file.value(), replayed);
  // Back into file order, the order of their add records.
  std::vector<std::pair<uint64_t, BacklinkRow>> rows;
  replayed.for_each([&](std::string_view key, const Backlink& b, uint64_t offset) {
    rows.emplace_back(offset, BacklinkRow{std::string(key), b.source_collection, b.source_key,
                                          b.source_path});
  });
  replayed = BacklinkRows();
  std::sort(rows.begin(), rows.end(),
            [](const auto& x, const auto& y) { return x.first < y.first; });
  report.rows.reserve(rows.size());
  report.row_offsets.reserve(rows.size());
  for (auto& [offset, row] : rows) {
    report.row_offsets.push_back(offset);
    report.rows.push_back(std::move(row));
  }
  auto size = file.value()->size();
  if (size.ok()) report.size = size.value();
  if (report.end.stop == ScanStop::End) return report;
  report.loads = false;
  if (report.end.stop == ScanStop::Io && !report.end.invalid_utf8_before_stop) {
    read_failed = true;
    findings.push_back(note(entry.name, report.end.offset, "read error",
                            report.end.error ? report.end.error->display() : ""));
    return report;
  }
  ScanEnd end = report.end;
  findings.push_back(backlink_finding(
      entry.name, report.end.offset, "backlink file does not load",
      cat({backlink_replay_error(end).error().display(), "; ",
           count_text(report.rows.size(), "row", "rows"), " replayed before it"})));
  return report;
}

std::string row_text(const BacklinkRow& row) {
  return cat({"key ", printable(row.target_key), " <- ", printable(row.source_collection), "/",
              printable(row.source_key), " at \"", printable(row.source_path), "\""});
}

// Fills `stale` and `missing` and reports them, up to a cap each.
void compare_rows(BacklinkFileReport& report, const std::vector<BacklinkRow>* expected,
                  const ExpectedRows& all, std::vector<Finding>& findings) {
  BacklinkRowSet wanted;
  if (expected) wanted.insert(expected->begin(), expected->end());
  BacklinkRowSet held;
  for (size_t i = 0; i < report.rows.size(); ++i) {
    const BacklinkRow& row = report.rows[i];
    if (!held.insert(row).second || wanted.count(row) ||
        all.unknown_sources.count(source_id(row.source_collection, row.source_key)) ||
        all.unknown_collections.count(row.source_collection)) {
      continue;
    }
    report.stale.push_back(i);
  }
  if (expected) {
    for (const BacklinkRow& row : *expected) {
      if (held.insert(row).second) report.missing.push_back(row);
    }
  }
  const std::string& name = report.entry.name;
  // Up to LISTED_PER_KIND rows of a kind, then one line that counts the rest.
  const auto list = [&](const char* kind, size_t rows, const auto& finding) {
    for (size_t n = 0; n < rows && n < LISTED_PER_KIND; ++n) findings.push_back(finding(n));
    if (rows > LISTED_PER_KIND) {
      findings.push_back(backlink_finding(
          name, std::nullopt, kind, count_text(rows - LISTED_PER_KIND, "more row", "more rows")));
      findings.back().count = rows - LISTED_PER_KIND;
    }
  };
  list("stale backlink", report.stale.size(), [&](size_t n) {
    const size_t i = report.stale[n];
    return backlink_finding(name, report.row_offsets[i], "stale backlink",
                          row_text(report.rows[i]) + ": no live record holds this link");
  });
  list("missing backlink", report.missing.size(), [&](size_t n) {
    return backlink_finding(name, std::nullopt, "missing backlink",
                          row_text(report.missing[n]) + ": a live record links here");
  });
}

std::string readable_keys_text(const DamagedRegion& region) {
  std::string text;
  if (!region.readable.empty()) {
    text.append("; keys of the records in it: ");
    for (size_t n = 0; n < region.readable.size() && n < LISTED_PER_KIND; ++n) {
      if (n > 0) text.append(", ");
      text.append(printable(region.readable[n].key));
    }
    if (region.readable.size() > LISTED_PER_KIND) {
      text.append(" and ").append(std::to_string(region.readable.size() - LISTED_PER_KIND));
      text.append(" more");
    }
  }
  if (region.unknown_bytes > 0) {
    text.append("; ").append(count_text(region.unknown_bytes, "byte", "bytes"));
    text.append(" whose keys cannot be told");
  }
  return text;
}

}  // namespace

size_t BacklinkRowHash::operator()(const BacklinkRow& r) const {
  uint64_t h = keyed_hash(r.target_key);
  for (const std::string* s : {&r.source_collection, &r.source_key, &r.source_path}) {
    h = fold_keyed_hash(h, *s);
  }
  return size_t(h);
}

int Analysis::exit_status() const {
  return (damage_count() > 0 ? EXIT_DAMAGE_LEFT : EXIT_CLEAN) |
         (operational_error ? EXIT_OPERATIONAL : EXIT_CLEAN);
}

std::string printable(std::string_view raw) {
  if (is_valid_utf8(raw)) return std::string(raw);
  static const char HEX[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : raw) {
    if (c < 0x80) {
      out.push_back(char(c));
    } else {
      out.append("\\x").push_back(HEX[c >> 4]);
      out.push_back(HEX[c & 15]);
    }
  }
  return out;
}

ScanEnd replay_kept_records(File& file, const RecordFileDamage& damage, LiveIndex& live,
                            uint64_t& records, std::vector<uint64_t>& records_after) {
  records_after.assign(damage.regions.size(), 0);
  for (const auto& [from, to] : damage.kept()) {
    uint64_t here = 0;
    ScanEnd end = scan_record_range(file, from, to, [&](const RecordView& r) {
      live.apply(r);
      ++here;
      return true;
    });
    if (end.stop != ScanStop::End) return end;
    records += here;
    for (size_t i = 0; i < damage.regions.size(); ++i) {
      if (damage.regions[i].end <= from) records_after[i] += here;
    }
  }
  return ScanEnd{};
}

void add_record_file_findings(const std::string& name, const RecordFileDamage& damage,
                              const std::vector<uint64_t>& records_after,
                              std::vector<Finding>& out) {
  const size_t first = out.size();
  // A record whose last bytes are zeros from a 4096-aligned offset on.
  const auto zeros = [&](const ZeroPageNote& z, std::string_view record, std::string_view until,
                         std::string_view cause) {
    out.push_back(note(
        name, z.record_offset, "note",
        cat({"the ", record, " (key ", printable(z.key), ") ends in ", std::to_string(z.zero_bytes),
             " zero bytes from a 4096-aligned offset ", until, "; a ", cause, " can leave this"})));
  };
  for (size_t i = 0; i < damage.regions.size(); ++i) {
    const DamagedRegion& r = damage.regions[i];
    if (r.zeros_before) {
      zeros(*r.zeros_before, "record before the damage", "into the damage", "zeroed page");
    }
    const std::string why = describe_not_whole(r, damage.size);
    const std::string to_end = count_text(damage.size - r.start, "byte", "bytes");
    switch (r.kind) {
      case DamageKind::Middle: {
        std::string detail = cat({why, "; bytes ", std::to_string(r.start), "..",
                                  std::to_string(r.end), " (",
                                  count_text(r.end - r.start, "byte", "bytes"),
                                  ") are not whole records"});
        // The records that follow, when the caller counted them.
        if (records_after.size() == damage.regions.size()) {
          detail += ", " + count_text(records_after[i], "whole record follows",
                                      "whole records follow");
        }
        out.push_back(
            damage_finding(name, r.start, "damage in the middle", detail + readable_keys_text(r)));
        break;
      }
      case DamageKind::BadRecord: {
        const std::string key =
            r.readable.empty() ? std::string("?") : printable(r.readable.front().key);
        out.push_back(damage_finding(
            name, r.start, "bad record",
            cat({"key ", key, ": ", why, " (", count_text(r.end - r.start, "byte", "bytes"),
                 "); the records around it are whole"})));
        break;
      }
      case DamageKind::TornTail:
        out.push_back(damage_finding(name, r.start, "torn tail",
                                     r.why == NotWhole::RunsPastEnd
                                         ? why
                                         : why + "; " + to_end + " to the end" +
                                               readable_keys_text(r)));
        break;
      case DamageKind::ZeroTail:
        out.push_back(damage_finding(name, r.start, "zero-filled tail",
                                     to_end + " of zeros after the last whole record"));
        break;
      case DamageKind::Unresolved:
        out.push_back(damage_finding(name, r.start, "unresolved damage",
                                     why + "; the search for whole records after it gave up; " +
                                         to_end + " to the end" + readable_keys_text(r)));
        break;
    }
  }
  if (damage.zero_page) {
    zeros(*damage.zero_page, "last record", "to the end of the file", "power loss");
  }
  for (size_t i = first; i < out.size(); ++i) out[i].cause = Finding::Cause::Records;
}

Result<uint64_t, IoError> write_backlinks(const BacklinkFileReport& b, File* out) {
  std::optional<ChunkWriter> writer;
  if (out) writer.emplace(*out);
  BacklinkRowSet stale;
  for (size_t i : b.stale) stale.insert(b.rows[i]);
  std::string buf;
  uint64_t size = 0;
  auto add = [&](const BacklinkRow& row) -> Result<Unit, IoError> {
    buf.clear();
    auto framed = frame_backlink_record(
        BACKLINK_OP_ADD, {row.target_key, row.source_collection, row.source_key, row.source_path},
        buf);
    size += buf.size();
    // Without a writer, a row that cannot be framed adds nothing: the
    // rebuild itself fails on it.
    if (!writer) return Unit{};
    if (!framed.ok()) return framed;
    return writer->append(buf);
  };
  for (const BacklinkRow& row : b.rows) {
    if (stale.count(row)) continue;
    auto added = add(row);
    if (!added.ok()) return added.error();
  }
  for (const BacklinkRow& row : b.missing) {
    auto added = add(row);
    if (!added.ok()) return added.error();
  }
  if (writer) {
    auto flushed = writer->flush();
    if (!flushed.ok()) return flushed.error();
  }
  return size;
}

void write_json_report(Console& console, const std::function<void(JsonWriter&)>& members) {
  std::string out;
  JsonWriter w(out);
  w.begin_object();
  members(w);
  w.end_object();
  out.push_back('\n');
  console.out(out);
}

void write_text_members(JsonWriter& w, TextMembers members) {
  for (const auto& [key, raw] : members) {
    w.write_key(key);
    w.write_string(printable(raw));
  }
}

void write_offset_member(JsonWriter& w, std::string_view key, std::optional<uint64_t> offset) {
  w.write_key(key);
  if (offset) {
    w.write_uint(*offset);
  } else {
    w.write_null();
  }
}

void write_findings_json(JsonWriter& w, const std::vector<Finding>& findings) {
  w.begin_array();
  for (const Finding& f : findings) {
    w.begin_object();
    write_text_members(w, {{"file", f.file}});
    write_offset_member(w, "offset", f.offset);
    const bool damage = f.severity == Finding::Severity::Damage;
    write_text_members(
        w, {{"kind", f.kind}, {"detail", f.detail}, {"severity", damage ? "damage" : "note"}});
    w.end_object();
  }
  w.end_array();
}

Result<Analysis, IoError> analyse_directory(Directory& dir, const AnalysisOptions& options,
                                            Console& console) {
  auto listing = list_directory(dir);
  if (!listing.ok()) return std::move(listing).error();
  Analysis a;
  a.listing = std::move(listing).value();
  a.findings = a.listing.notes;
  for (const std::string& name : a.listing.temp_files) {
    a.findings.push_back(note(name, std::nullopt, "leftover temporary file",
                              "left by an interrupted run; repair removes it"));
  }
  ExpectedRows expected;
  TextSet noted_targets;
  TextSet with_file;
  // An entry that cannot be opened: the rows whose source is its collection
  // cannot be judged, and a backlink file cannot be put in its place.
  for (const std::string& name : a.listing.unopenable) {
    auto file = database_file_of(name);
    if (!file) continue;
    if (file->kind == DatabaseFileKind::Records) {
      expected.unknown_collections.insert(file->collection);
      a.unread_collections.push_back(file->collection);
    } else {
      with_file.insert(file->collection);
    }
  }
  for (const DirectoryListing::Entry& entry : a.listing.record_files) {
    console.progress("scanning record files", a.record_files.size(),
                     a.listing.record_files.size());
    RecordFileReport& report =
        a.record_files.emplace_back(scan_records(dir, entry, options, a.findings, console));
    if (options.decode_values && !report.read_failed) {
      decode_values(dir, report, expected, a.findings, noted_targets, options.salvage);
    }
    if (report.read_failed) expected.complete = false;
  }
  bool backlink_read_failed = false;
  for (const DirectoryListing::Entry& entry : a.listing.backlink_files) {
    with_file.insert(entry.collection);
    a.backlink_files.push_back(replay_backlinks(dir, entry, backlink_read_failed, a.findings));
  }
  if (options.decode_values && expected.complete) {
    // A collection that links point to but that has no backlink file: one
    // to create.
    for (const auto& [target, rows] : expected.by_target) {
      if (with_file.count(target)) continue;
      BacklinkFileReport& missing = a.backlink_files.emplace_back();
      missing.entry = {target + std::string(BACKLINK_SUFFIX), target};
    }
    std::sort(a.backlink_files.begin(), a.backlink_files.end(),
              [](const BacklinkFileReport& x, const BacklinkFileReport& y) {
                return x.entry.collection < y.entry.collection;
              });
    for (BacklinkFileReport& report : a.backlink_files) {
      if (report.exists && report.end.stop == ScanStop::Io) continue;
      auto it = expected.by_target.find(report.entry.collection);
      compare_rows(report, it == expected.by_target.end() ? nullptr : &it->second, expected,
                   a.findings);
    }
  }
  a.operational_error = !expected.complete || backlink_read_failed || a.listing.incomplete;
  return a;
}

}  // namespace zez::tool
