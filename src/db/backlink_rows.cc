#include "db/backlink_rows.h"

#include "codec/byte_order.h"
#include "codec/keyed_hash.h"
#include "db/backlink_file.h"

namespace zez {

namespace {

// Lists up to this long are searched row by row and keep no table.
constexpr size_t SHORT_LIST = 16;
// A list is squeezed once it holds more removed rows than live ones (and
// more than a few), so a query copies at most about twice its rows and each
// row is moved a bounded number of times over its life.
constexpr size_t SQUEEZE_MIN_REMOVED = 16;
// A table slot holds index + 1 of an entry in its low half and the top of
// that row's hash in its high half, so that a search compares rows only
// when their tags agree: most probes then touch no entry. A slot whose row
// was removed holds TOMB, and a search goes on past it.
constexpr uint32_t TOMB = UINT32_MAX;
constexpr uint64_t TAG_BITS = 0xffffffff00000000ULL;
uint64_t slot_value(uint32_t at, uint64_t hash) { return (hash & TAG_BITS) | at; }

}  // namespace

BacklinkRows& BacklinkRows::operator=(BacklinkRows&& other) noexcept {
  keep_offsets_ = other.keep_offsets_;
  keys_ = std::move(other.keys_);  // the entries keep their places
  last_key_ = std::exchange(other.last_key_, {});
  last_list_ = std::exchange(other.last_list_, nullptr);
  return *this;
}

// One keyed hash over the three strings, each behind its length so that no
// two rows give the same bytes: a replay hashes every record it meets, and
// one pass costs about a third of three.
uint64_t BacklinkRows::hash_of(const RowView& row) {
  thread_local std::string bytes;
  bytes.clear();
  for (std::string_view s : {row.source_collection, row.source_key, row.source_path}) {
    put_u64(bytes, s.size());
    bytes.append(s);
  }
  return keyed_hash(bytes);
}

uint32_t BacklinkRows::find(const KeyRows& list, uint64_t hash, const RowView& row,
                            size_t& slot) {
  const auto same = [&](const Entry& e) {
    return e.hash == hash && e.link.source_collection == row.source_collection &&
           e.link.source_key == row.source_key && e.link.source_path == row.source_path;
  };
  if (list.table.empty()) {
    for (size_t i = list.entries.size(); i-- > 0;) {
      if (!list.entries[i].removed && same(list.entries[i])) return uint32_t(i + 1);
    }
    return 0;
  }
  // At most half the slots are used, so the search meets a free one.
  const size_t mask = list.table.size() - 1;
  size_t tomb = SIZE_MAX;
  for (size_t s = size_t(hash) & mask;; s = (s + 1) & mask) {
    const uint64_t held = list.table[s];
    const uint32_t at = uint32_t(held);
    if (at == 0) {
      slot = tomb != SIZE_MAX ? tomb : s;
      return 0;
    }
    if (at == TOMB) {
      if (tomb == SIZE_MAX) tomb = s;
    } else if ((held & TAG_BITS) == (hash & TAG_BITS) && same(list.entries[at - 1])) {
      slot = s;
      return at;
    }
  }
}

void BacklinkRows::relink(KeyRows& list) {
  list.table.clear();
  list.used = 0;
  if (list.entries.size() > SHORT_LIST) {
    size_t capacity = 2 * SHORT_LIST;
    while (capacity < 4 * list.live) capacity *= 2;
    list.table.assign(capacity, 0);
  } else {
    list.table.shrink_to_fit();
  }
  // Entries are searched only among those before them: a short list's
  // search runs from the back, and finds the newest copy so far.
  std::vector<Entry>& entries = list.entries;
  for (size_t i = 0; i < entries.size(); ++i) {
    Entry& e = entries[i];
    if (e.removed) continue;
    size_t slot = 0;
    if (list.table.empty()) {
      e.older_copy = 0;
      for (size_t j = i; j-- > 0;) {
        const Entry& o = entries[j];
        if (!o.removed && o.hash == e.hash && o.link == e.link) {
          e.older_copy = uint32_t(j + 1);
          break;
        }
      }
      continue;
    }
    e.older_copy = find(list, e.hash, view_of(e.link), slot);
    if (list.table[slot] == 0) ++list.used;
    list.table[slot] = slot_value(uint32_t(i + 1), e.hash);
  }
}

BacklinkRows::KeyRows* BacklinkRows::list_of(std::string_view target_key, bool create) {
  if (last_list_ != nullptr && target_key == last_key_) return last_list_;
  auto it = keys_.find(target_key);
  if (it == keys_.end()) {
    if (!create) return nullptr;
    it = keys_.emplace(std::string(target_key), KeyRows()).first;
  }
  last_key_ = it->first;
  last_list_ = &it->second;
  return last_list_;
}

// A key nothing links to any more holds no entry: over a long run every key
// gets linked to at some time, and their emptied lists (with the capacity
// they once needed) would stay for as long as the process.
void BacklinkRows::forget(std::string_view target_key) {
  last_key_ = {};
  last_list_ = nullptr;
  keys_.erase(keys_.find(target_key));
}

// Indexes are 32 bits: a list of 2^31 rows would take hundreds of
// gigabytes before it could overflow them (squeezes keep entries under
// twice the live rows).
void BacklinkRows::add(std::string_view target_key, Backlink row, uint64_t offset,
                       uint64_t hash) {
  KeyRows& list = *list_of(target_key, true);
  size_t slot = 0;
  const uint32_t older = find(list, hash, view_of(row), slot);
  const uint32_t at = uint32_t(list.entries.size() + 1);
  list.entries.push_back(Entry{std::move(row), hash, older, false});
  if (keep_offsets_) list.offsets.push_back(offset);
  ++list.live;
  if (list.table.empty()) {
    if (list.entries.size() > SHORT_LIST) relink(list);
    return;
  }
  if (list.table[slot] == 0) ++list.used;
  list.table[slot] = slot_value(at, hash);
  if (2 * list.used > list.table.size()) relink(list);
}

void BacklinkRows::remove(std::string_view target_key, const RowView& row, uint64_t hash) {
  KeyRows* list = list_of(target_key, false);
  if (list == nullptr) return;
  size_t slot = 0;
  uint32_t at = find(*list, hash, row, slot);
  if (at == 0) return;
  if (!list->table.empty()) list->table[slot] = TOMB;
  for (; at != 0; at = list->entries[at - 1].older_copy) {
    list->entries[at - 1].removed = true;
    --list->live;
  }
  if (list->live == 0) {
    forget(target_key);
    return;
  }
  const size_t removed = list->entries.size() - list->live;
  if (removed > list->live && removed >= SQUEEZE_MIN_REMOVED) squeeze(*list);
}

void BacklinkRows::squeeze(KeyRows& list) {
  size_t kept = 0;
  for (size_t i = 0; i < list.entries.size(); ++i) {
    if (list.entries[i].removed) continue;
    if (kept != i) {
      list.entries[kept] = std::move(list.entries[i]);
      if (keep_offsets_) list.offsets[kept] = list.offsets[i];
    }
    ++kept;
  }
  list.entries.erase(list.entries.begin() + ptrdiff_t(kept), list.entries.end());
  list.entries.shrink_to_fit();
  if (keep_offsets_) {
    list.offsets.resize(kept);
    list.offsets.shrink_to_fit();
  }
  relink(list);
}

void BacklinkRows::prefetch(std::string_view target_key, uint64_t hash) {
  const KeyRows* list = list_of(target_key, false);
  if (list == nullptr || list->table.empty()) return;
  __builtin_prefetch(&list->table[size_t(hash) & (list->table.size() - 1)]);
}

std::vector<Backlink> BacklinkRows::query(std::string_view target_key) const {
  auto it = keys_.find(target_key);
  if (it == keys_.end()) return {};
  std::vector<Backlink> out;
  out.reserve(it->second.live);
  for (const Entry& e : it->second.entries) {
    if (!e.removed) out.push_back(e.link);
  }
  return out;
}

// Each change is made one record late: the next record is framed and its
// row's slot loaded while the change before it waits, which a large list's
// table, far larger than any cache, would otherwise make the replay do in
// turn.
ScanEnd replay_backlink_file(File& file, BacklinkRows& rows) {
  struct Change {
    uint8_t op = 0;  // none yet
    std::string target_key;
    Backlink row;
    uint64_t offset = 0;
    uint64_t hash = 0;
  };
  Change waiting, next;
  const auto make = [&](Change& c) {
    if (c.op == BACKLINK_OP_ADD) {
      rows.add(c.target_key, std::move(c.row), c.offset, c.hash);
    } else if (c.op == BACKLINK_OP_REMOVE) {
      rows.remove(c.target_key, BacklinkRows::view_of(c.row), c.hash);
    }
  };
  ScanEnd end = scan_backlink_file(file, [&](const BacklinkRecordView& r) {
    if (!r.strings_are_utf8) return false;
    if (r.op != BACKLINK_OP_ADD && r.op != BACKLINK_OP_REMOVE) return true;
    const BacklinkStrings& s = r.strings;
    next.op = r.op;
    next.target_key.assign(s.target_key);
    next.row.source_collection.assign(s.source_collection);
    next.row.source_key.assign(s.source_key);
    next.row.source_path.assign(s.source_path);
    next.offset = r.offset;
    next.hash = BacklinkRows::hash_of(BacklinkRows::view_of(next.row));
    rows.prefetch(next.target_key, next.hash);
    make(waiting);
    std::swap(waiting, next);
    return true;
  });
  make(waiting);  // every record visited whole is replayed, however the scan ended
  return end;
}

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

}  // namespace zez
