#include "db/backlink_index.h"

#include <string_view>

#include "codec/encoding.h"
#include "db/backlink_file.h"

namespace zez {

Result<std::unique_ptr<BacklinkIndex>, IoError> BacklinkIndex::load(Directory& dir,
                                                                    const std::string& file_name) {
  auto opened = dir.open(file_name, OpenMode::ReadAppendCreate);
  if (!opened.ok()) return std::move(opened).error();
  std::unique_ptr<File> file = std::move(opened).value();
  BacklinkRows rows;
  ScanEnd end = replay_backlink_file(*file, rows);
  auto whole = backlink_replay_error(end);
  if (!whole.ok()) return std::move(whole).error();
  std::unique_ptr<BacklinkIndex> index(new BacklinkIndex(std::move(file)));
  index->rows_ = std::move(rows);
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
    if (c.kind == BacklinkChange::Add) {
      rows_.add(c.target_key, std::move(*c.record));
    } else {
      rows_.remove(c.target_key, *c.record);
    }
  }
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
