// The rows of one backlink index: for each target key, its Backlinks in the
// order they were added, copies included. Adding a row and removing every
// copy of one cost the same whether the key has ten rows or a million, so a
// key that many records link to (a status every task names, a prolific
// author) keeps deletes, and the replay of its file on open, linear overall.
//
// The one replay of a backlink file: the engine's index and the maintenance
// program both fill a BacklinkRows through replay_backlink_file().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "codec/errors.h"
#include "codec/result.h"
#include "db/file.h"
#include "db/scan_end.h"
#include "db/text_map.h"

namespace zez {

// One incoming link, as stored and as returned by a query.
struct Backlink {
  std::string source_collection;
  std::string source_key;
  std::string source_path;  // segments from the value's root to the link, joined with "/"
  bool operator==(const Backlink&) const = default;
};

class BacklinkRows {
 public:
  // `keep_offsets`: remember for each row a number given with its add (the
  // offset of its add record, for maintenance); the engine keeps none.
  explicit BacklinkRows(bool keep_offsets = false) : keep_offsets_(keep_offsets) {}
  BacklinkRows(BacklinkRows&& other) noexcept { *this = std::move(other); }
  BacklinkRows& operator=(BacklinkRows&& other) noexcept;

  // Appends `row` to the key's list.
  void add(std::string_view target_key, Backlink row, uint64_t offset = 0) {
    const uint64_t hash = hash_of(view_of(row));
    add(target_key, std::move(row), offset, hash);
  }
  // Takes every copy of the row out of the key's list, keeping the others
  // in their order; nothing when it holds none.
  void remove(std::string_view target_key, const Backlink& row) {
    remove(target_key, view_of(row), hash_of(view_of(row)));
  }

  // A copy of the key's list in stored order; empty when it has none.
  std::vector<Backlink> query(std::string_view target_key) const;
  // How many keys have rows (emptied lists hold no entry).
  size_t target_count() const { return keys_.size(); }
  // Every row: key by key in no fixed order, each key's rows in stored
  // order, as visit(target_key, row, offset).
  template <class Visit>
  void for_each(Visit&& visit) const;

  struct RowView {
    std::string_view source_collection, source_key, source_path;
  };
  static RowView view_of(const Backlink& b) {
    return {b.source_collection, b.source_key, b.source_path};
  }
  static uint64_t hash_of(const RowView& row);

  // The same, with the row's hash_of() already taken; and a hint that a
  // change of that row comes next, so that its place in the list's table
  // is loaded meanwhile (a replay of a large list waits on little else).
  void add(std::string_view target_key, Backlink row, uint64_t offset, uint64_t hash);
  void remove(std::string_view target_key, const RowView& row, uint64_t hash);
  void prefetch(std::string_view target_key, uint64_t hash);

 private:
  // A row of a key's list. Removed rows stay in place, marked, until the
  // list is squeezed; every copy of a row points to the one before it.
  struct Entry {
    Backlink link;
    uint64_t hash;
    uint32_t older_copy;  // index + 1 of the previous copy; 0 for none
    bool removed;
  };
  struct KeyRows {
    std::vector<Entry> entries;
    std::vector<uint64_t> offsets;  // beside entries, when kept
    // Open addressing over the distinct rows: where each row's newest copy
    // is, with a tag of its hash (slot layout in the .cc). Left empty while
    // the list is short enough to search.
    std::vector<uint64_t> table;
    size_t live = 0;
    size_t used = 0;  // table slots that are not free (tombs included)
  };

  // Index + 1 of the row's newest copy in the list, 0 when it holds none.
  // With a table, `slot` is set to the row's slot, or where it would go.
  static uint32_t find(const KeyRows& list, uint64_t hash, const RowView& row, size_t& slot);
  // Makes every row's copies point to each other and, for a list too long
  // to search, the table afresh: after a squeeze, or once it fills.
  static void relink(KeyRows& list);

  KeyRows* list_of(std::string_view target_key, bool create);
  void forget(std::string_view target_key);
  void squeeze(KeyRows& list);

  bool keep_offsets_;
  TextMap<KeyRows> keys_;
  // The key the last change went to: a replay mostly meets one key in long
  // runs. Points into keys_, whose entries do not move.
  std::string_view last_key_;
  KeyRows* last_list_ = nullptr;
};

// Replays the backlink file from its start into `rows`, as the engine loads
// it: op 1 adds, op 2 removes, any other op is skipped; the offset given
// with each add is that of its record. Stops (ScanStop::Refused) at a
// record whose strings are not UTF-8; backlink_replay_error() says what the
// load makes of the end.
ScanEnd replay_backlink_file(File& file, BacklinkRows& rows);

// What the load makes of where its scan of a backlink file ended: nothing
// when it replays whole, else the error the load fails with (the scan's
// read error is moved out). The one rule for the engine and maintenance.
Result<Unit, IoError> backlink_replay_error(ScanEnd& end);

template <class Visit>
void BacklinkRows::for_each(Visit&& visit) const {
  for (const auto& [key, list] : keys_) {
    for (size_t i = 0; i < list.entries.size(); ++i) {
      if (list.entries[i].removed) continue;
      visit(std::string_view(key), list.entries[i].link,
            keep_offsets_ ? list.offsets[i] : uint64_t(0));
    }
  }
}

}  // namespace zez
