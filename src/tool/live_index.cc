#include "tool/live_index.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <string>

namespace zez::tool {

namespace {

// Records applied before the index sizes itself for the whole file.
constexpr uint64_t RECORDS_BEFORE_ESTIMATE = 4096;

// Windows are this large unless a single range needs more.
constexpr size_t WINDOW_SIZE = size_t(1) << 20;

// Sorts by a 64-bit key, 16 bits at a time from the lowest: a few
// sequential passes instead of the random accesses of a comparison sort,
// which matters at a million records. Digits above the highest key's are
// all zero and take no pass.
template <class T, class Key>
void radix_sort(std::vector<T>& items, Key key) {
  uint64_t highest = 0;
  for (const T& item : items) highest = std::max(highest, key(item));
  std::vector<T> spare(items.size());
  for (unsigned shift = 0; shift < 64 && (highest >> shift) != 0; shift += 16) {
    std::vector<size_t> starts((size_t(1) << 16) + 1);
    for (const T& item : items) ++starts[((key(item) >> shift) & 0xffff) + 1];
    for (size_t i = 1; i < starts.size(); ++i) starts[i] += starts[i - 1];
    for (const T& item : items) spare[starts[(key(item) >> shift) & 0xffff]++] = item;
    items.swap(spare);
  }
}

// Sorts by `key`, ties by `less`: one pass spreads the items over 65536
// buckets by the top 16 bits of the keys' range, then each bucket is sorted
// on its own while it fits in cache. Half the passes over memory of
// radix_sort, for keys spread evenly: hashes and offsets.
template <class T, class Key, class Less>
void bucket_sort(std::vector<T>& items, Key key, Less less) {
  if (items.size() < 2) return;
  uint64_t highest = 0;
  for (const T& item : items) highest = std::max(highest, key(item));
  const int width = std::bit_width(highest);
  const int shift = width > 16 ? width - 16 : 0;
  std::vector<size_t> starts((size_t(1) << 16) + 1);
  for (const T& item : items) ++starts[(key(item) >> shift) + 1];
  for (size_t i = 1; i < starts.size(); ++i) starts[i] += starts[i - 1];
  std::vector<size_t> next(starts.begin(), starts.end() - 1);
  {
    std::vector<T> spare(items.size());
    for (const T& item : items) spare[next[key(item) >> shift]++] = item;
    items.swap(spare);
  }
  for (size_t b = 0; b + 1 < starts.size(); ++b) {
    if (starts[b + 1] - starts[b] > 1) {
      std::sort(items.begin() + starts[b], items.begin() + starts[b + 1], less);
    }
  }
}

}  // namespace

void LiveIndex::apply(const RecordView& r) {
  if (applied_++ == RECORDS_BEFORE_ESTIMATE && r.offset >= RECORDS_BEFORE_ESTIMATE) {
    map_.reserve(size_t(file_size_ / (r.offset / RECORDS_BEFORE_ESTIMATE)));
  }
  if (r.is_tombstone()) {
    LiveRecord gone;
    if (map_.erase(r.key, &gone)) bytes_ -= gone.size();
    return;
  }
  const LiveRecord record{r.offset, uint32_t(r.key.size()), r.value_len};
  auto [held, added] = map_.insert(r.key, record);
  if (!added) {
    bytes_ -= held->size();
    *held = record;
  }
  bytes_ += record.size();
}

std::vector<LiveRecord> LiveIndex::in_file_order() const {
  std::vector<LiveRecord> records;
  records.reserve(map_.size());
  map_.for_each([&](std::string_view, const LiveRecord& r) { records.push_back(r); });
  // Keys never overwritten or removed are already in file order.
  const auto by_offset = [](const LiveRecord& a, const LiveRecord& b) { return a.offset < b.offset; };
  if (!std::is_sorted(records.begin(), records.end(), by_offset)) {
    radix_sort(records, [](const LiveRecord& r) { return r.offset; });
  }
  return records;
}

std::vector<std::pair<std::string_view, uint64_t>> LiveIndex::in_key_order() const {
  std::vector<std::pair<std::string_view, uint64_t>> keys;
  keys.reserve(map_.size());
  map_.for_each([&](std::string_view key, const LiveRecord& r) { keys.emplace_back(key, r.offset); });
  std::sort(keys.begin(), keys.end());
  return keys;
}

uint64_t LiveRecordSort::default_hash(std::string_view key) {
  return std::hash<std::string_view>{}(key);
}

void LiveRecordSort::add(const RecordView& r) {
  if (entries_.size() == RECORDS_BEFORE_ESTIMATE && r.offset >= RECORDS_BEFORE_ESTIMATE) {
    const size_t estimate = size_t(file_size_ / (r.offset / RECORDS_BEFORE_ESTIMATE));
    entries_.reserve(estimate);
    offsets_.reserve(estimate);
  }
  const bool tombstone = r.is_tombstone();
  tombstone_ |= tombstone;
  entries_.push_back(Entry{hash_(r.key), offsets_.size() | (tombstone ? TOMBSTONE_BIT : 0)});
  offsets_.push_back(r.offset);
}

namespace {

// The key of the record at `offset`, through `window`.
Result<std::string_view, IoError> read_key(RecordWindow& window, uint64_t offset) {
  auto head = window.view(offset, 4);
  if (!head.ok()) return std::move(head).error();
  const uint32_t key_len = load_u32(reinterpret_cast<const uint8_t*>(head.value().data()));
  return window.view(offset + 4, key_len);
}

}  // namespace

Result<Unit, IoError> LiveRecordSort::finish(File& file) {
  // Ties go by record number, so the records of one hash stay in file order.
  bucket_sort(entries_, [](const Entry& e) { return e.hash; }, [](const Entry& a, const Entry& b) {
    return a.hash != b.hash ? a.hash < b.hash : a.record < b.record;
  });
  const size_t n = entries_.size();
  for (size_t i = 0, j = 0; i < n; i = j) {
    for (j = i + 1; j < n && entries_[j].hash == entries_[i].hash; ++j) {
    }
    if (j - i > 1) {
      shared_.emplace_back(i, j);
    } else if ((entries_[i].record & TOMBSTONE_BIT) == 0) {
      offsets_[entries_[i].record] |= LIVE_BIT;
    }
  }
  if (!tombstone_ && shared_.empty()) {
    all_live_ = true;
    live_bytes_ = file_size_;
    entries_ = {};
    offsets_ = {};
    return Unit{};
  }
  auto decided = decide_shared_runs(file);
  if (!decided.ok()) return decided;
  entries_ = {};

  size_t live_count = 0;
  for (uint64_t offset : offsets_) live_count += offset >> 63;
  if (live_count == n) {
    all_live_ = true;
    live_bytes_ = file_size_;
  } else {
    // Records lie end to end, so each ends where the next begins; the scan
    // reached the end, so the last ends at the file's.
    live_.reserve(live_count);
    for (size_t i = 0; i < n; ++i) {
      if ((offsets_[i] & LIVE_BIT) == 0) continue;
      const uint64_t offset = offsets_[i] & ~LIVE_BIT;
      const uint64_t end = i + 1 < n ? offsets_[i + 1] & ~LIVE_BIT : file_size_;
      live_.push_back(LiveSpan{offset, end - offset});
      live_bytes_ += end - offset;
    }
  }
  offsets_ = {};
  return Unit{};
}

Result<Unit, IoError> LiveRecordSort::decide_shared_runs(File& file) {
  // Nearly always a shared hash is one key written more than once. Each
  // run's keys are compared with its first, reading them back in file order
  // so that the reads stay sequential; only a run where they differ is read
  // again and split by key.
  std::vector<std::string> first_keys(shared_.size());
  std::vector<uint8_t> seen(shared_.size(), 0);
  std::vector<uint8_t> mixed(shared_.size(), 0);
  {
    struct Member {
      uint64_t offset;
      uint64_t run;
    };
    std::vector<Member> members;
    size_t count = 0;
    for (const auto& [first, last] : shared_) count += last - first;
    members.reserve(count);
    for (size_t run = 0; run < shared_.size(); ++run) {
      for (size_t k = shared_[run].first; k < shared_[run].second; ++k) {
        members.push_back(Member{(offsets_[entries_[k].record & ~TOMBSTONE_BIT] & ~LIVE_BIT), run});
      }
    }
    bucket_sort(members, [](const Member& m) { return m.offset; },
                [](const Member& a, const Member& b) { return a.offset < b.offset; });
    RecordWindow window(file, file_size_);
    for (const Member& m : members) {
      auto key = read_key(window, m.offset);
      if (!key.ok()) return std::move(key).error();
      if (!seen[m.run]) {
        seen[m.run] = 1;
        first_keys[m.run].assign(key.value());
      } else if (key.value() != first_keys[m.run]) {
        mixed[m.run] = 1;
      }
    }
  }
  for (size_t run = 0; run < shared_.size(); ++run) {
    const auto [first, last] = shared_[run];
    const auto live_if_last = [&](size_t k, bool last_of_key) {
      if (last_of_key && (entries_[k].record & TOMBSTONE_BIT) == 0) {
        offsets_[entries_[k].record] |= LIVE_BIT;
      }
    };
    if (!mixed[run]) {
      for (size_t k = first; k < last; ++k) live_if_last(k, k + 1 == last);
      continue;
    }
    // Two keys or more share this hash: the last record of each decides.
    std::vector<std::pair<std::string, size_t>> keys;
    RecordWindow window(file, file_size_);
    for (size_t k = first; k < last; ++k) {
      auto key = read_key(window, (offsets_[entries_[k].record & ~TOMBSTONE_BIT] & ~LIVE_BIT));
      if (!key.ok()) return std::move(key).error();
      keys.emplace_back(std::string(key.value()), k);
    }
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 0; i < keys.size(); ++i) {
      live_if_last(keys[i].second, i + 1 == keys.size() || keys[i + 1].first != keys[i].first);
    }
  }
  shared_ = {};
  return Unit{};
}

Result<std::string_view, IoError> RecordWindow::view(uint64_t offset, uint64_t n) {
  if (offset >= start_ && offset - start_ + n <= window_.size()) {
    return std::string_view(window_).substr(size_t(offset - start_), size_t(n));
  }
  if (offset > size_ || n > size_ - offset) return IoError::unexpected_eof();
  window_.resize(size_t(std::max<uint64_t>(n, std::min<uint64_t>(WINDOW_SIZE, size_ - offset))));
  start_ = offset;
  auto r = read_exact_at(file_, reinterpret_cast<uint8_t*>(window_.data()), window_.size(), offset);
  if (!r.ok()) {
    window_.clear();
    return std::move(r).error();
  }
  return std::string_view(window_).substr(0, size_t(n));
}

}  // namespace zez::tool
