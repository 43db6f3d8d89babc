#include "db/backlink_index.h"

#include <algorithm>
#include <string_view>

#include "codec/encoding.h"
#include "db/backlink_file.h"

namespace zez {

namespace {

bool equals(const Backlink& b, const BacklinkStrings& s) {
  return b.source_collection == s.source_collection && b.source_key == s.source_key &&
         b.source_path == s.source_path;
}

}  // namespace

// A string that is not UTF-8 is reported before anything found after it, as
// the strings come in file order and each is checked as soon as it is whole;
// the scan stops (Refused) only at such strings.
Result<Unit, IoError> backlink_replay_error(ScanEnd& end) {
  if (end.stop == ScanStop::End) return Unit{};
  if (end.stop == ScanStop::Refused || end.invalid_utf8_before_stop) {
    return IoError::message("invalid utf8 in backlink");
  }
  if (end.stop == ScanStop::Io) return std::move(*end.error);
  return IoError::unexpected_eof();  // Torn or ZeroTail
}

Result<std::unique_ptr<BacklinkIndex>, IoError> BacklinkIndex::load(Directory& dir,
                                                                    const std::string& file_name) {
  auto opened = dir.open(file_name, OpenMode::ReadAppendCreate);
  if (!opened.ok()) return std::move(opened).error();
  std::unique_ptr<File> file = std::move(opened).value();
  TextMap<std::vector<Backlink>> entries;
  std::string target_key;  // reused: operator[] takes only a std::string
  ScanEnd end = scan_backlink_file(*file, [&](const BacklinkRecordView& r) {
    if (!r.strings_are_utf8) return false;
    const BacklinkStrings& s = r.strings;
    if (r.op == BACKLINK_OP_ADD) {
      target_key.assign(s.target_key);
      entries[target_key].push_back(Backlink{
          std::string(s.source_collection), std::string(s.source_key), std::string(s.source_path)});
    } else if (r.op == BACKLINK_OP_REMOVE) {
      auto it = entries.find(s.target_key);
      if (it != entries.end()) {
        std::erase_if(it->second, [&](const Backlink& b) { return equals(b, s); });
        if (it->second.empty()) entries.erase(it);
      }
    }
    return true;
  });
  auto whole = backlink_replay_error(end);
  if (!whole.ok()) return std::move(whole).error();
  std::unique_ptr<BacklinkIndex> index(new BacklinkIndex(std::move(file)));
  index->entries_ = std::move(entries);
  return index;
}

Result<Unit, IoError> BacklinkIndex::apply(const std::vector<Change>& changes) {
  auto written = write(changes);
  if (!written.ok()) return written;
  make_in_memory(changes);
  return Unit{};
}

Result<Unit, IoError> BacklinkIndex::write(const std::vector<Change>& changes) {
  std::string records;
  for (const Change& c : changes) {
    const uint8_t op = c.kind == BacklinkChange::Add ? BACKLINK_OP_ADD : BACKLINK_OP_REMOVE;
    const Backlink& b = *c.record;
    auto framed = frame_backlink_record(
        op, BacklinkStrings{c.target_key, b.source_collection, b.source_key, b.source_path},
        records);
    if (!framed.ok()) return framed;
  }
  return append_records(records);
}

void BacklinkIndex::make_in_memory(const std::vector<Change>& changes) {
  for (const Change& c : changes) {
    auto it = entries_.find(c.target_key);
    if (c.kind == BacklinkChange::Add) {
      if (it == entries_.end()) {
        it = entries_.emplace(std::string(c.target_key), std::vector<Backlink>()).first;
      }
      it->second.push_back(std::move(*c.record));
      continue;
    }
    if (it == entries_.end()) continue;
    std::erase(it->second, *c.record);
    // A key nothing links to any more holds no entry: over a long run every
    // key gets linked to at some time, and their emptied lists (with the
    // capacity they once needed) would stay for as long as the process.
    if (it->second.empty()) entries_.erase(it);
  }
}

std::vector<Backlink> BacklinkIndex::query(std::string_view target_key) const {
  auto it = entries_.find(target_key);
  if (it == entries_.end()) return {};
  return it->second;
}

// The records go out in one write so that no push can land between their
// fields; a write that fails part-way is cut back to the size measured just
// before it (afresh: another handle on the directory may have appended), so
// the file stays loadable and later records stay aligned. Records that
// cannot be taken back are finished instead, so the changes are made after
// all; only if that fails too does the file stay torn, and it then takes no
// further appends.
Result<Unit, IoError> BacklinkIndex::append_records(const std::string& records) {
  if (broken_) {
    return IoError::message(
        "backlink file holds a partial record that could not be cut off; "
        "no further changes are written to it");
  }
  auto appended = append_whole(*file_, reinterpret_cast<const uint8_t*>(records.data()),
                               records.size(), UncutAppend::FinishAtOnce);
  if (appended.ok()) return Unit{};
  broken_ = appended.error().torn;
  return std::move(appended).error().error;
}

}  // namespace zez
