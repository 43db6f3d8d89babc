#include "tool/live_index.h"

#include <algorithm>
#include <system_error>

namespace zez::tool {

bool LiveIndex::Apply::operator()(std::string_view key, const KeyReplay::Pending& p) const {
  // The replay applies every record waiting, in order, each time it applies.
  const uint32_t value_len = index.value_lens_[index.next_value_len_++];
  if (index.next_value_len_ == index.value_lens_.size()) {
    index.value_lens_.clear();
    index.next_value_len_ = 0;
  }
  if (p.tombstone) {
    LiveRecord gone;
    if (index.map_.erase(key, p.hash, &gone)) index.bytes_ -= gone.size();
    return true;
  }
  const LiveRecord record{p.offset, p.key_len, value_len};
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

void LiveRecordTable::add(const RecordView& r) {
  const uint64_t size = r.end() - r.offset;
  sizes_.push_back(uint32_t(std::min<uint64_t>(size, UINT32_MAX)));
  if (size >= UINT32_MAX) big_sizes_.push_back(size);
  filling_->items.push_back({r.offset, filling_->keys.size(), r.key.size(), r.type_byte});
  filling_->keys.append(r.key);
  if (filling_->items.size() == BATCH_RECORDS) hand_off();
}

void LiveRecordTable::hand_off() {
  if (filling_->items.empty()) return;
  if (!worker_.joinable() && !inline_) {
    try {
      worker_ = std::thread([this] { work(); });
    } catch (const std::system_error&) {
      inline_ = true;  // the table then keeps pace on this thread
    }
  }
  if (inline_) {
    apply_batch(*filling_);
  } else {
    std::unique_lock<std::mutex> lock(mutex_);
    // A few batches in flight keep both threads busy; more would only
    // hold memory.
    changed_.wait(lock, [&] { return full_.size() < 4; });
    full_.push_back(std::move(filling_));
    changed_.notify_all();
    if (!spare_.empty()) {
      filling_ = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  if (!filling_) filling_ = std::make_unique<Batch>();
  filling_->items.clear();
  filling_->keys.clear();
}

void LiveRecordTable::work() {
  for (;;) {
    std::unique_ptr<Batch> batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return !full_.empty() || closing_; });
      if (full_.empty()) return;
      batch = std::move(full_.front());
      full_.pop_front();
      changed_.notify_all();
    }
    // After a failure (memory running out), the rest is only taken off the
    // queue; finish() reports it.
    try {
      if (!failure_) apply_batch(*batch);
    } catch (...) {
      failure_ = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    spare_.push_back(std::move(batch));
  }
}

void LiveRecordTable::stop_worker() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void LiveRecordTable::apply_batch(const Batch& batch) {
  std::string_view keys(batch.keys);
  for (const Batch::Item& item : batch.items) {
    // Only what the replay reads of a record: where it lies, its key, and
    // whether it is a tombstone.
    const RecordView r{item.offset, keys.substr(item.key_at, item.key_len), 0, 0, item.type_byte,
                       true};
    replay_.add(latest_, r, Apply{*this});
  }
}

bool LiveRecordTable::Apply::operator()(std::string_view key, const KeyReplay::Pending& p) const {
  // A tombstone is never live; it only takes its key's record with it.
  uint64_t earlier;
  if (p.tombstone) {
    table.dead_.add(p.offset);
    if (table.latest_.erase(key, p.hash, &earlier)) table.dead_.add(earlier);
    return true;
  }
  auto [held, added] = table.latest_.insert(key, p.hash, p.offset);
  if (!added) {
    table.dead_.add(*held);
    *held = p.offset;
  }
  return true;
}

void LiveRecordTable::finish() {
  hand_off();
  stop_worker();
  if (failure_) std::rethrow_exception(failure_);
  replay_.flush(Apply{*this});
  all_live_ = latest_.size() == sizes_.size();
  latest_ = KeyIndex();
  // Records lie end to end, so each starts where the one before ends, and
  // neighbouring live records make one span.
  uint64_t offset = 0;
  size_t big = 0;
  for (size_t i = 0; i < sizes_.size(); ++i) {
    const uint64_t size = sizes_[i] != UINT32_MAX ? sizes_[i] : big_sizes_[big++];
    if (!dead_.has(offset)) {
      if (!live_.empty() && live_.back().offset + live_.back().size == offset) {
        live_.back().size += size;
      } else {
        live_.push_back(LiveSpan{offset, size});
      }
      live_bytes_ += size;
    }
    offset += size;
  }
  if (all_live_) live_.clear();
  sizes_ = {};
  big_sizes_ = {};
  dead_ = LiveStarts(0);
}

}  // namespace zez::tool
