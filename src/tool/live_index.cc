#include "tool/live_index.h"

#include <algorithm>
#include <bit>
#include <cstring>
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

uint64_t LiveRecordTable::default_hash(std::string_view key) {
  return key_index_detail::hash_key(key);
}

namespace {

constexpr uint64_t RECORDS_BEFORE_ESTIMATE = KeyReplay::RECORDS_BEFORE_ESTIMATE;

// A slot holds the top bits of the key's hash over the arena offset of the
// key's entry, plus one, so that 0 means empty. The slot's index comes from
// the hash's low bits.
constexpr int TAG_SHIFT = 40;
constexpr uint64_t AT_MASK = (uint64_t(1) << TAG_SHIFT) - 1;
constexpr size_t FIRST_CAPACITY = size_t(1) << 13;
constexpr size_t ENTRY_HEAD = 12;  // an arena entry's record number and key length

size_t capacity_for(uint64_t keys) {
  // At most three quarters full.
  return std::bit_ceil(size_t(std::max<uint64_t>(keys + keys / 3 + 1, FIRST_CAPACITY)));
}

uint64_t slot_for(uint64_t hash, size_t at) { return (hash >> TAG_SHIFT << TAG_SHIFT) | (at + 1); }

}  // namespace

LiveRecordTable::LiveRecordTable(uint64_t file_size, KeyHash hash)
    : file_size_(file_size), hash_(hash), slots_(FIRST_CAPACITY) {}

void LiveRecordTable::add(const RecordView& r) {
  const uint64_t record = sizes_.size();
  if (record < RECORDS_BEFORE_ESTIMATE) first_key_bytes_ += r.key.size();
  if (record == RECORDS_BEFORE_ESTIMATE && r.offset >= RECORDS_BEFORE_ESTIMATE) {
    // Reserving only claims address space; memory is taken as it is used,
    // so an estimate too large for a file of overwrites costs nothing.
    const uint64_t estimate = file_size_ / (r.offset / RECORDS_BEFORE_ESTIMATE);
    sizes_.reserve(size_t(estimate));
    filling_->records_estimate = estimate;
    filling_->arena_estimate = (ENTRY_HEAD * RECORDS_BEFORE_ESTIMATE + first_key_bytes_) /
                               RECORDS_BEFORE_ESTIMATE * estimate;
  }
  const uint64_t size = r.end() - r.offset;
  sizes_.push_back(uint32_t(std::min<uint64_t>(size, UINT32_MAX)));
  if (size >= UINT32_MAX) big_sizes_.push_back(size);
  filling_->items.push_back({record, filling_->keys.size(), r.key.size(), r.is_tombstone()});
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
  filling_->records_estimate = 0;
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
  if (batch.records_estimate != 0) {
    dead_.reserve(size_t(batch.records_estimate / 64 + 1));
    arena_.reserve(size_t(batch.arena_estimate));
    if (capacity_for(batch.records_estimate) > slots_.size()) {
      grow(capacity_for(batch.records_estimate));
    }
  }
  // Hashes run this many records ahead of the probes, which then find their
  // slots prefetched: the cache misses of a large table overlap.
  constexpr size_t AHEAD = 8;
  uint64_t hashes[AHEAD];
  const size_t n = batch.items.size();
  auto key = [&](size_t i) {
    return std::string_view(batch.keys).substr(batch.items[i].key_at, batch.items[i].key_len);
  };
  auto prepare = [&](size_t i) {
    const uint64_t hash = hash_(key(i));
    __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
    hashes[i % AHEAD] = hash;
  };
  for (size_t i = 0; i < std::min(n, AHEAD); ++i) prepare(i);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t hash = hashes[i % AHEAD];
    if (i + AHEAD < n) prepare(i + AHEAD);
    if ((batch.items[i].record & 63) == 0) dead_.push_back(0);
    // A tombstone is never live; it only takes its key's record with it.
    if (batch.items[i].tombstone) mark_dead(batch.items[i].record);
    apply(batch.items[i], hash, key(i));
  }
}

std::string_view LiveRecordTable::key_at(size_t at) const {
  uint32_t len;
  std::memcpy(&len, arena_.data() + at + 8, 4);
  return std::string_view(arena_.data() + at + ENTRY_HEAD, len);
}

void LiveRecordTable::apply(const Batch::Item& item, uint64_t hash, std::string_view key) {
  const size_t mask = slots_.size() - 1;
  size_t i = hash & mask;
  for (; slots_[i] != 0; i = (i + 1) & mask) {
    const uint64_t slot = slots_[i];
    if ((slot >> TAG_SHIFT) != hash >> TAG_SHIFT || key_at(size_t((slot & AT_MASK) - 1)) != key) {
      continue;
    }
    // The key's latest record is dead now (a tombstone is already), and
    // this one is the latest.
    char* latest = arena_.data() + (slot & AT_MASK) - 1;
    uint64_t record;
    std::memcpy(&record, latest, 8);
    mark_dead(record);
    std::memcpy(latest, &item.record, 8);
    return;
  }
  // Removing a key that has no record changes nothing.
  if (item.tombstone) return;
  const size_t at = arena_.size();
  if (at >= AT_MASK || key.size() > UINT32_MAX) {
    too_large_ = true;
    return;
  }
  const uint32_t len = uint32_t(key.size());
  arena_.resize(at + ENTRY_HEAD + len);
  std::memcpy(&arena_[at], &item.record, 8);
  std::memcpy(&arena_[at + 8], &len, 4);
  std::memcpy(&arena_[at + ENTRY_HEAD], key.data(), len);
  slots_[i] = slot_for(hash, at);
  if (++used_ > slots_.size() / 4 * 3) grow(slots_.size() * 2);
}

void LiveRecordTable::grow(size_t capacity) {
  slots_.assign(capacity, 0);
  for (size_t at = 0; at < arena_.size(); at += ENTRY_HEAD + key_at(at).size()) {
    const uint64_t hash = hash_(key_at(at));
    size_t i = hash & (capacity - 1);
    while (slots_[i] != 0) i = (i + 1) & (capacity - 1);
    slots_[i] = slot_for(hash, at);
  }
}

bool LiveRecordTable::finish() {
  hand_off();
  stop_worker();
  if (failure_) std::rethrow_exception(failure_);
  slots_ = {};
  arena_ = {};
  if (too_large_) return false;
  size_t dead = 0;
  for (uint64_t bits : dead_) dead += size_t(std::popcount(bits));
  all_live_ = dead == 0;
  if (all_live_) live_bytes_ = file_size_;
  // Records lie end to end, so each starts where the one before ends, and
  // neighbouring live records make one span.
  const size_t n = all_live_ ? 0 : sizes_.size();
  uint64_t offset = 0;
  size_t big = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t size = sizes_[i] != UINT32_MAX ? sizes_[i] : big_sizes_[big++];
    if (((dead_[i >> 6] >> (i & 63)) & 1) == 0) {
      if (!live_.empty() && live_.back().offset + live_.back().size == offset) {
        live_.back().size += size;
      } else {
        live_.push_back(LiveSpan{offset, size});
      }
      live_bytes_ += size;
    }
    offset += size;
  }
  sizes_ = {};
  big_sizes_ = {};
  dead_ = {};
  return true;
}

}  // namespace zez::tool
