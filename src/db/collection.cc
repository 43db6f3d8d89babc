#include "db/collection.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "codec/byte_order.h"
#include "codec/encoding.h"
#include "db/damage.h"
#include "db/database_files.h"
#include "db/record_file.h"

namespace zez {

namespace {

Result<Value, StorageError> decode_stored(const uint8_t* data, size_t size) {
  size_t cursor = 0;
  auto v = decode_value(data, size, &cursor);
  if (!v.ok()) return StorageError::codec(v.error());
  return std::move(v).value();
}

IoError zero_value_length(uint64_t offset) {
  return IoError::message("record at offset " + std::to_string(offset) +
                          " has a value length of 0");
}

// Offsets at or past RecordIndex::OFFSET_LIMIT cannot be indexed: the index
// would read one as a held value. No file reaches it in practice; the check
// keeps it that way.
IoError offset_beyond_limit(uint64_t offset) {
  return IoError::message("record at offset " + std::to_string(offset) +
                          " lies beyond the 2^61-byte limit of a record file");
}

}  // namespace

Collection::Collection(std::string path, std::unique_ptr<File> reader, std::unique_ptr<File> writer,
                       uint64_t end_offset)
    : path_(std::move(path)),
      reader_(std::move(reader)),
      writer_(std::move(writer)),
      end_offset_(end_offset),
      safe_end_(end_offset) {
  write_buffer_.reserve(WRITE_BUFFER_SIZE);
}

Collection::~Collection() {
  (void)push();  // nothing is left to report a failure to
}

Result<std::unique_ptr<Collection>, IoError> Collection::load(Directory& dir,
                                                              const std::string& file_name,
                                                              ValueCacheBudget* budget) {
  {
    auto created = dir.open(file_name, OpenMode::AppendCreate);
    if (!created.ok()) return std::move(created).error();
  }
  auto reader = dir.open(file_name, OpenMode::ReadOnly);
  if (!reader.ok()) return std::move(reader).error();
  auto writer = dir.open(file_name, OpenMode::Append);
  if (!writer.ok()) return std::move(writer).error();
  auto size = writer.value()->size();
  if (!size.ok()) return std::move(size).error();
  std::unique_ptr<Collection> c(new Collection(file_name, std::move(reader).value(),
                                               std::move(writer).value(), size.value()));
  if (budget != nullptr) c->index_.set_budget(budget);
  auto scanned = c->scan(size.value());
  if (!scanned.ok()) return std::move(scanned).error();
  return c;
}

// Replays the file up to `size`. A record that frames but cannot be loaded
// fails the load there: a value length of 0 first, then a key that is not
// UTF-8, as the fields come in the record.
Result<Unit, IoError> Collection::scan(uint64_t size) {
  std::optional<IoError> refusal;
  KeyReplay replay(size);
  // False, with `refusal` set, at a record the index cannot take.
  const auto apply = [&](std::string_view key, const KeyReplay::Pending& p) {
    if (p.tombstone) {
      index_.erase(key, p.hash);
    } else if (!index_.put_offset(key, p.hash, p.offset)) {
      refusal = offset_beyond_limit(p.offset);
      return false;
    }
    return true;
  };
  ScanEnd end = scan_record_file(*reader_, size, [&](const RecordView& r) {
    if (auto why = load_refusal(r)) {
      refusal = *why == NotWhole::ZeroValueLength ? zero_value_length(r.offset)
                                                  : IoError::message("invalid utf8 key");
      return false;
    }
    return replay.add(index_, r, apply);
  });
  if (!replay.flush(apply)) end.stop = ScanStop::Refused;
  // The table was sized for every record; once the file's overwrites and
  // deletions have been applied, it keeps only what its live keys need.
  index_.shrink_to_fit();
  switch (end.stop) {
    case ScanStop::End:
      return Unit{};
    case ScanStop::Refused:
      return std::move(*refusal);
    case ScanStop::Torn:
      return IoError::unexpected_eof();
    case ScanStop::ZeroTail:
      // Zeros frame as records with an empty key and a value length of 0,
      // once there are enough of them for the two length fields.
      if (end.remaining >= RECORD_FRAMING) return zero_value_length(end.offset);
      return IoError::unexpected_eof();
    case ScanStop::Io:
      return std::move(*end.error);
  }
  return Unit{};
}

Result<Value, StorageError> Collection::read_record(std::string_view key) {
  std::string scratch;
  auto stored = read_stored(key, KeyIndex::hash(key), scratch);
  if (!stored.ok()) return std::move(stored).error();
  const std::string_view bytes = stored.value().bytes;
  return decode_stored(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

Result<Unit, StorageError> Collection::read_encoded(std::string_view key, std::string& out) {
  auto stored = read_stored(key, KeyIndex::hash(key), out);
  if (!stored.ok()) return std::move(stored).error();
  // A held value is a view into the cache, a value from the file is in `out`.
  if (stored.value().bytes.data() != out.data()) out.assign(stored.value().bytes);
  return Unit{};
}

Result<Collection::Stored, StorageError> Collection::read_stored(std::string_view key,
                                                                 uint64_t hash,
                                                                 std::string& scratch,
                                                                 bool for_links) {
  auto found = index_.find(key, hash);
  if (!found) return StorageError::key_not_found();
  if (found->value) return Stored{*found->value, found->may_hold_links};
  if (for_links && !found->may_hold_links) return Stored{{}, false};
  auto read = read_record_value(*reader_, found->offset, end_offset_, scratch);
  if (!read.ok()) return StorageError::io(std::move(read).error());
  return Stored{scratch, found->may_hold_links};
}

bool Collection::dropped_value_may_hold_links(std::string_view key, uint64_t hash) const {
  auto found = index_.find(key, hash);
  return found && !found->value && found->written_here && found->may_hold_links;
}

// `>=`: safe_end_ is where the first byte not yet known to be in the file
// lies, so a record starting there (offset 0 before the first push) is not.
bool Collection::in_file(uint64_t offset) const {
  if (offset >= safe_end_ || offset >= trusted_end_) return false;
  auto after = std::upper_bound(pinned_.begin(), pinned_.end(), std::make_pair(offset, UINT64_MAX));
  return after == pinned_.begin() || offset >= std::prev(after)->second;
}

void Collection::pin_unsafe_records() {
  if (end_offset_ <= safe_end_) return;
  if (!pinned_.empty() && pinned_.back().first == safe_end_) {
    pinned_.back().second = std::max(pinned_.back().second, end_offset_);
  } else {
    pinned_.emplace_back(safe_end_, end_offset_);
  }
}

bool Collection::shed_oldest_cache_block() {
  return index_.shed_oldest_block([this](uint64_t offset) { return in_file(offset); });
}

Result<Unit, WriteFailure> Collection::write_record(std::string_view key, const Value& value) {
  if (auto too_long = find_oversized(value)) {
    return WriteFailure{IoError::message(*too_long), false};
  }
  std::string encoded;
  encode_value(value, encoded);
  return write_encoded(key, encoded);
}

Result<Unit, IoError> Collection::take_writer_lock() {
  if (writer_lock_ != WriterLock::NotYet) return Unit{};
  auto locked = writer_->lock_exclusive();
  if (!locked.ok()) {
    // No lock to be had here: the check after each push stands guard alone.
    writer_lock_ = WriterLock::Unavailable;
    return Unit{};
  }
  if (locked.value() == LockStatus::WouldBlock) {
    std::string_view name = path_;
    if (name.ends_with(RECORD_SUFFIX)) name.remove_suffix(RECORD_SUFFIX.size());
    return IoError::message("collection \"" + std::string(name) +
                            "\" is being written by another Database; a collection takes one "
                            "writer at a time, until that Database is gone");
  }
  writer_lock_ = WriterLock::Held;
  return Unit{};
}

void Collection::check_file_end(uint64_t expected_end) {
  if (trusted_end_ != UINT64_MAX) return;
  auto size = writer_->size();
  if (size.ok() && size.value() == expected_end) return;
  trusted_end_ = safe_end_;
}

Result<Unit, WriteFailure> Collection::write_encoded(std::string_view key, uint64_t hash,
                                                     std::string_view encoded, bool holds_links) {
  auto locked = take_writer_lock();
  if (!locked.ok()) return WriteFailure{std::move(locked).error(), false};
  // A record that would start past the limit could never be indexed again.
  if (end_offset_ >= RecordIndex::OFFSET_LIMIT) {
    return WriteFailure{offset_beyond_limit(end_offset_), false};
  }
  const size_t size = RECORD_FRAMING + key.size() + encoded.size();
  Result<Unit, WriteFailure> appended = Unit{};
  if (size < WRITE_BUFFER_SIZE && size <= WRITE_BUFFER_SIZE - write_buffer_.size()) {
    // The common case, framed straight into the buffer.
    auto framed = append_framed_record(key, encoded, write_buffer_);
    if (!framed.ok()) return WriteFailure{std::move(framed).error(), false};
  } else {
    auto record = frame_record(key, encoded);
    if (!record.ok()) return WriteFailure{std::move(record).error(), false};
    appended = append_record(record.value());
    if (!appended.ok() && !appended.error().record_stored) return std::move(appended).error();
  }
  const uint64_t offset = end_offset_;
  end_offset_ += size;
  // A record sent to the file directly is there now, like one pushed out;
  // inside a transaction nothing else would say so, and the cache would
  // hold (and on every shed copy) a value as large as the buffer or more.
  if (appended.ok() && write_buffer_.empty() && safe_end_ == offset) {
    check_file_end(end_offset_);
    safe_end_ = end_offset_;
  }
  // A Tombstone encodes as its type byte alone.
  if (encoded.size() == 1 && uint8_t(encoded[0]) == TYPE_TOMBSTONE) {
    index_.erase(key, hash);
  } else {
    index_.put_value(key, hash, encoded, holds_links, offset);
    index_.reclaim_dead_bytes();
  }
  if (!appended.ok()) {
    pin_unsafe_records();
    return std::move(appended).error();
  }
  if (!in_transaction_) {
    auto pushed = push();
    if (!pushed.ok()) return WriteFailure{std::move(pushed).error(), true};
  }
  return Unit{};
}

// Small records gather in the buffer; a record that does not fit first sends
// the buffer out, and one as large as the buffer goes to the file directly.
Result<Unit, WriteFailure> Collection::append_record(const std::string& record) {
  if (record.size() < WRITE_BUFFER_SIZE &&
      record.size() <= WRITE_BUFFER_SIZE - write_buffer_.size()) {
    write_buffer_.append(record);
    return Unit{};
  }
  auto pushed = push();
  if (!pushed.ok()) return WriteFailure{std::move(pushed).error(), false};
  if (record.size() >= WRITE_BUFFER_SIZE) return write_directly(record);
  write_buffer_.append(record);
  return Unit{};
}

// A failure part-way would leave a torn record at the end of the file, which
// makes the file unloadable and puts every later record out of step: cut the
// file back to its size from before the write. If even the cut fails, the
// record's start cannot be taken back, so its rest goes to the head of the
// (just emptied) buffer, exactly as after a torn push: the record counts as
// stored and the next push that succeeds, tried at once, completes it.
Result<Unit, WriteFailure> Collection::write_directly(const std::string& record) {
  auto appended = append_whole(*writer_, reinterpret_cast<const uint8_t*>(record.data()),
                               record.size(), UncutAppend::LeaveRestToCaller);
  if (appended.ok()) return Unit{};
  AppendFailure failure = std::move(appended).error();
  if (!failure.torn) return WriteFailure{std::move(failure.error), false};
  write_buffer_.assign(record, failure.written);
  head_partial_ = write_buffer_.size();
  if (push_through(end_offset_ + record.size()).ok()) return Unit{};
  return WriteFailure{std::move(failure.error), true};
}

// The end of the last whole record within the first `written` bytes of the
// buffer (records start at head_partial_).
size_t Collection::last_record_end_within(size_t written) const {
  const auto* data = reinterpret_cast<const uint8_t*>(write_buffer_.data());
  size_t pos = head_partial_;
  while (pos < write_buffer_.size()) {
    size_t key_len = load_u32(data + pos);
    size_t len = RECORD_FRAMING + key_len + load_u32(data + pos + 4 + key_len);
    if (pos + len > written) break;
    pos += len;
  }
  return pos;
}

// Written bytes leave the buffer even when a later write fails, so the push
// can be repeated. Records in a push that failed stay in the value cache for
// good (pin_unsafe_records); after one that succeeds, every record so far
// is in the file. If the failure tore a record in the file, that record's
// written part is cut off the file again and the whole record stays in the
// buffer; when the cut fails, its rest stays in the buffer (head_partial_)
// and the next push completes it.
Result<Unit, IoError> Collection::push() { return push_through(end_offset_); }

Result<Unit, IoError> Collection::push_through(uint64_t expected_end) {
  size_t written = 0;
  while (written < write_buffer_.size()) {
    auto r = writer_->write(reinterpret_cast<const uint8_t*>(write_buffer_.data()) + written,
                            write_buffer_.size() - written);
    if (r.ok() && r.value() > 0) {
      written += r.value();
      continue;
    }
    IoError failure = r.ok() ? IoError::write_zero_buffered() : std::move(r).error();
    pin_unsafe_records();
    if (written < head_partial_) {
      head_partial_ -= written;
      write_buffer_.erase(0, written);
      return failure;
    }
    size_t boundary = last_record_end_within(written);
    size_t keep_from = written;
    if (boundary < written) {
      size_t torn = written - boundary;
      auto size = writer_->size();
      if (size.ok() && size.value() >= torn && writer_->truncate(size.value() - torn).ok()) {
        keep_from = boundary;
        head_partial_ = 0;
      } else {
        size_t key_len =
            load_u32(reinterpret_cast<const uint8_t*>(write_buffer_.data()) + boundary);
        size_t value_len = load_u32(reinterpret_cast<const uint8_t*>(write_buffer_.data()) +
                                    boundary + 4 + key_len);
        head_partial_ = boundary + RECORD_FRAMING + key_len + value_len - written;
      }
    } else {
      head_partial_ = 0;
    }
    write_buffer_.erase(0, keep_from);
    return failure;
  }
  if (written > 0) check_file_end(expected_end);
  write_buffer_.clear();
  head_partial_ = 0;
  safe_end_ = end_offset_;
  return Unit{};
}

}  // namespace zez
