#include "tool/live_index.h"

#include <algorithm>
#include <functional>

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

bool AllLiveCheck::add(const RecordView& r) {
  if (r.is_tombstone()) {
    tombstone_ = true;
    return false;
  }
  hashes_.push_back(std::hash<std::string_view>{}(r.key));
  return true;
}

bool AllLiveCheck::all_live() {
  if (tombstone_) return false;
  radix_sort(hashes_, [](uint64_t h) { return h; });
  return std::adjacent_find(hashes_.begin(), hashes_.end()) == hashes_.end();
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
