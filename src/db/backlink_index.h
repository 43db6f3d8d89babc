// The backlink index of one collection: for each key, the records that link
// to it, backed by an append-only backlink file ("{name}.qbl"). File grammar
// in backlink_file.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codec/errors.h"
#include "codec/result.h"
#include "codec/value.h"
#include "db/backlink_rows.h"
#include "db/file.h"
#include "db/scan_end.h"
#include "db/text_map.h"

namespace zez {

// Whether a change to a key's backlinks adds one or removes one.
enum class BacklinkChange : uint8_t { Add, Remove };

class BacklinkIndex {
 public:
  // Opens (creating when missing, never truncating) `file_name` inside `dir`
  // and replays it. Fails with the IoError of the open or read, "failed to
  // fill whole buffer" for a record cut short (or a length running past the
  // end of the file), or "invalid utf8 in backlink".
  static Result<std::unique_ptr<BacklinkIndex>, IoError> load(Directory& dir,
                                                              const std::string& file_name);

  // One change of a batch: add or remove `*record` under `target_key`.
  struct Change {
    BacklinkChange kind;
    std::string_view target_key;
    Backlink* record;  // an add takes it over once the batch is written
  };
  // Appends the records of every change in one write, then makes the
  // changes in memory in order. All or nothing: on a failure the file is cut
  // back to its size before the batch and nothing changes in memory. When
  // the cut fails too, the batch is finished instead and the changes made
  // (success); when that fails, the error is returned and every later
  // append refused.
  Result<Unit, IoError> apply(const std::vector<Change>& changes);
  // The two halves of apply, for changes that reach the file some time
  // before they are made in memory (a transaction's, pushed out with their
  // records but shown only after commit): write() appends the records (all
  // or nothing, as apply), and make_in_memory() later makes the changes, in
  // the same order, without writing.
  Result<Unit, IoError> write(const std::vector<Change>& changes);
  void make_in_memory(const std::vector<Change>& changes);

  // A copy of the key's list in stored order; empty when it has none.
  std::vector<Backlink> query(std::string_view target_key) const {
    return rows_.query(target_key);
  }
  // How many keys have backlinks (for tests: emptied lists hold no entry).
  size_t target_count() const { return rows_.target_count(); }

 private:
  explicit BacklinkIndex(std::unique_ptr<File> file) : file_(std::move(file)) {}
  Result<Unit, IoError> append_records(const std::string& records);

  std::unique_ptr<File> file_;
  // Set when a torn record could not be cut back; every later append is
  // refused so nothing lands behind the damage.
  bool broken_ = false;
  BacklinkRows rows_;
};

}  // namespace zez
