#include "tool/live_index.h"

#include <algorithm>

namespace zez::tool {

bool LiveIndex::Apply::operator()(std::string_view key, const KeyReplay::Pending& p) const {
  if (p.tombstone) {
    LiveRecord gone;
    if (index.map_.erase(key, p.hash, &gone)) index.bytes_ -= gone.size();
    return true;
  }
  const LiveRecord record{p.offset, p.key_len, p.value_len};
  auto [held, added] = index.map_.insert(key, p.hash, record);
  if (!added) {
    index.bytes_ -= held->size();
    *held = record;
  }
  index.bytes_ += record.size();
  return true;
}

std::vector<std::pair<std::string_view, uint64_t>> LiveIndex::in_key_order() const {
  std::vector<std::pair<std::string_view, uint64_t>> keys;
  keys.reserve(size());
  for_each([&](std::string_view key, const LiveRecord& r) { keys.emplace_back(key, r.offset); });
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::vector<LiveSpan> LiveIndex::spans() const {
  std::vector<LiveSpan> spans;
  spans.reserve(size());
  for_each([&](std::string_view, const LiveRecord& r) { spans.push_back({r.offset, r.size()}); });
  std::sort(spans.begin(), spans.end(),
            [](const LiveSpan& a, const LiveSpan& b) { return a.offset < b.offset; });
  // Records lie end to end, so neighbouring live records make one span.
  size_t merged = 0;
  for (const LiveSpan& s : spans) {
    if (merged > 0 && spans[merged - 1].offset + spans[merged - 1].size == s.offset) {
      spans[merged - 1].size += s.size;
    } else {
      spans[merged++] = s;
    }
  }
  spans.resize(merged);
  spans.shrink_to_fit();
  return spans;
}

}  // namespace zez::tool
