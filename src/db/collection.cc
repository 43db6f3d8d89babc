// Record file grammar (all integers little-endian, no header or trailer):
//
//   file   := record*
//   record := key_len:u32  key:key_len bytes (UTF-8)
//             value_len:u32  value:value_len bytes (one encoded value)
//
// The last record of a key decides its state; a record whose first value
// byte is 0x0C (Tombstone) deletes the key. Records are only ever appended.
#include "db/collection.h"

#include <algorithm>
#include <vector>

#include "codec/byte_order.h"
#include "codec/encoding.h"

namespace zez {

namespace {

constexpr uint8_t TOMBSTONE_TYPE_BYTE = 0x0C;
constexpr size_t RECORD_FRAMING = 8;  // the two length fields
// The scan reads the file in pieces this large rather than one system call
// per field.
constexpr size_t SCAN_BUFFER_SIZE = size_t(1) << 20;
// A read from the file fetches this much past the key in its first system
// call, which holds the whole value of most records.
constexpr size_t READ_AHEAD = 512;
// Records the scan sees before it estimates how many the whole file holds.
constexpr uint64_t RECORDS_BEFORE_ESTIMATE = 4096;

// The whole record, framed, so it reaches the buffer (and the file) as one
// piece. Lengths that do not fit their 32-bit fields are refused here,
// before anything is written.
Result<std::string, IoError> frame_record(std::string_view key, std::string_view encoded) {
  if (!fits_length_field(key.size())) {
    return IoError::message(oversized_message("key", key.size()));
  }
  if (!fits_length_field(encoded.size())) {
    return IoError::message(oversized_message("encoded value", encoded.size()));
  }
  std::string record;
  record.reserve(RECORD_FRAMING + key.size() + encoded.size());
  put_u32(record, uint32_t(key.size()));
  record.append(key);
  put_u32(record, uint32_t(encoded.size()));
  record.append(encoded);
  return record;
}

// Reads the file's bytes [0, limit) through one large buffer with
// positioned reads. A memory map would be faster still, but another program
// may shorten the file, and touching a mapped page past its end kills the
// process.
class ScanReader {
 public:
  ScanReader(File& file, uint64_t limit) : file_(file), limit_(limit) {}

  // Bytes [offset, offset + n); the caller has checked that they lie before
  // the limit. A file shortened meanwhile gives "failed to fill whole buffer".
  Result<const uint8_t*, IoError> view(uint64_t offset, size_t n) {
    if (offset >= start_ && offset - start_ + n <= filled_) return buffer_.data() + (offset - start_);
    size_t want = size_t(std::min<uint64_t>(SCAN_BUFFER_SIZE, limit_ - offset));
    want = std::max(want, n);
    if (buffer_.size() < want) buffer_.resize(want);
    auto r = read_exact_at(file_, buffer_.data(), want, offset);
    if (!r.ok()) {
      filled_ = 0;
      return std::move(r).error();
    }
    start_ = offset;
    filled_ = want;
    return buffer_.data();
  }

 private:
  File& file_;
  uint64_t limit_;
  std::vector<uint8_t> buffer_;
  uint64_t start_ = 0;
  size_t filled_ = 0;
};

// Reads up to n bytes at offset, stopping early only at the end of the file.
Result<size_t, IoError> read_up_to(File& file, uint8_t* dst, size_t n, uint64_t offset) {
  size_t got = 0;
  while (got < n) {
    auto r = file.read_at(dst + got, n - got, offset + got);
    if (!r.ok()) return std::move(r).error();
    if (r.value() == 0) break;
    got += r.value();
  }
  return got;
}

Result<Value, StorageError> decode_stored(const uint8_t* data, size_t size) {
  size_t cursor = 0;
  auto v = decode_value(data, size, &cursor);
  if (!v.ok()) return StorageError::codec(v.error());
  return std::move(v).value();
}

// One hash lookup; the key string is built even when the entry exists, which
// costs nothing for short keys.
template <class T>
void put_entry(TextMap<T>& map, std::string_view key, T value) {
  map.insert_or_assign(std::string(key), std::move(value));
}

template <class T>
void erase_entry(TextMap<T>& map, std::string_view key) {
  auto it = map.find(key);
  if (it != map.end()) map.erase(it);
}

}  // namespace

Collection::Collection(std::string path, std::unique_ptr<File> reader,
                       std::unique_ptr<File> writer, uint64_t end_offset)
    : path_(std::move(path)),
      reader_(std::move(reader)),
      writer_(std::move(writer)),
      end_offset_(end_offset) {
  write_buffer_.reserve(WRITE_BUFFER_SIZE);
}

Collection::~Collection() {
  (void)push();  // nothing is left to report a failure to
}

Result<std::unique_ptr<Collection>, IoError> Collection::load(Directory& dir,
                                                              const std::string& file_name) {
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
  auto scanned = c->scan(size.value());
  if (!scanned.ok()) return std::move(scanned).error();
  return c;
}

// Replays the file up to `size`. Every length is checked against the bytes
// left before anything is reserved or indexed, so a damaged length cannot
// exhaust memory and no key is indexed whose record cannot be read back in
// full. The checks keep the order of the fields: key length, key, value
// length, type byte, then the key's UTF-8.
Result<Unit, IoError> Collection::scan(uint64_t size) {
  ScanReader in(*reader_, size);
  uint64_t offset = 0;
  uint64_t records = 0;
  while (offset < size) {
    if (records == RECORDS_BEFORE_ESTIMATE) {
      // Size the index once from the records seen so far instead of
      // rehashing it again and again on a large file.
      index_.reserve(size_t(size / (offset / records)));
    }
    ++records;
    uint64_t left = size - offset;
    if (left < 4) return IoError::unexpected_eof();
    auto head = in.view(offset, 4);
    if (!head.ok()) return std::move(head).error();
    uint64_t key_len = load_u32(head.value());
    if (key_len > left - 4 || left - 4 - key_len < 4) return IoError::unexpected_eof();
    auto framing = in.view(offset, size_t(RECORD_FRAMING + key_len));
    if (!framing.ok()) return std::move(framing).error();
    uint64_t value_len = load_u32(framing.value() + 4 + key_len);
    if (value_len == 0) {
      return IoError::message("record at offset " + std::to_string(offset) +
                              " has a value length of 0");
    }
    if (value_len > left - RECORD_FRAMING - key_len) return IoError::unexpected_eof();
    // The framing and the value's type byte, in one view so the key's bytes
    // stay valid while they are used.
    auto head_and_type = in.view(offset, size_t(RECORD_FRAMING + key_len + 1));
    if (!head_and_type.ok()) return std::move(head_and_type).error();
    std::string_view key_view(reinterpret_cast<const char*>(head_and_type.value() + 4),
                              size_t(key_len));
    uint8_t type_byte = head_and_type.value()[RECORD_FRAMING + key_len];
    if (!is_valid_utf8(key_view)) return IoError::message("invalid utf8 key");
    if (type_byte == TOMBSTONE_TYPE_BYTE) {
      index_.erase(key_view);
    } else {
      index_.put(key_view, offset);
    }
    offset += RECORD_FRAMING + key_len + value_len;
  }
  return Unit{};
}

Result<Value, StorageError> Collection::read_record(std::string_view key) {
  auto cached = value_cache_.find(key);
  if (cached != value_cache_.end()) {
    const std::string& bytes = cached->second;
    return decode_stored(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::string bytes;
  auto read = read_encoded(key, bytes);
  if (!read.ok()) return std::move(read).error();
  return decode_stored(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

Result<Unit, StorageError> Collection::read_encoded(std::string_view key, std::string& out) {
  auto cached = value_cache_.find(key);
  if (cached != value_cache_.end()) {
    out.assign(cached->second);
    return Unit{};
  }
  const uint64_t* indexed = index_.find(key);
  if (!indexed) return StorageError::key_not_found();
  auto read = read_from_file(*indexed, out);
  if (!read.ok()) return StorageError::io(std::move(read).error());
  return Unit{};
}

// One positioned read usually fetches the lengths, the key and the whole
// value; longer records take a second read. The value length is checked
// against the file as this collection knows it before any memory is
// reserved for it.
Result<Unit, IoError> Collection::read_from_file(uint64_t offset, std::string& out) {
  uint64_t limit = end_offset_ > offset ? end_offset_ - offset : 0;
  std::string& buf = out;
  buf.resize(size_t(std::min<uint64_t>(limit, READ_AHEAD)));
  auto data = [&] { return reinterpret_cast<uint8_t*>(buf.data()); };
  auto got = read_up_to(*reader_, data(), buf.size(), offset);
  if (!got.ok()) return std::move(got).error();
  size_t filled = got.value();
  auto need = [&](uint64_t end) -> Result<Unit, IoError> {
    if (end <= filled) return Unit{};
    if (end > limit || filled < buf.size()) return IoError::unexpected_eof();
    buf.resize(size_t(end));
    auto r = read_exact_at(*reader_, data() + filled, size_t(end - filled), offset + filled);
    if (!r.ok()) return std::move(r).error();
    filled = size_t(end);
    return Unit{};
  };
  auto have_key_len = need(4);
  if (!have_key_len.ok()) return have_key_len;
  uint64_t key_len = load_u32(data());
  uint64_t value_start = RECORD_FRAMING + key_len;
  auto have_value_len = need(value_start);
  if (!have_value_len.ok()) return have_value_len;
  uint64_t value_len = load_u32(data() + value_start - 4);
  if (value_len > limit - value_start) return IoError::unexpected_eof();
  auto have_value = need(value_start + value_len);
  if (!have_value.ok()) return have_value;
  buf.resize(size_t(value_start + value_len));
  buf.erase(0, size_t(value_start));
  return Unit{};
}

Result<Unit, WriteFailure> Collection::write_record(std::string_view key, const Value& value) {
  if (auto too_long = find_oversized(value)) {
    return WriteFailure{IoError::message(*too_long), false};
  }
  std::string encoded;
  encode_value(value, encoded);
  return write_encoded(key, encoded);
}

Result<Unit, WriteFailure> Collection::write_encoded(std::string_view key,
                                                     std::string_view encoded) {
  auto record = frame_record(key, encoded);
  if (!record.ok()) return WriteFailure{std::move(record).error(), false};
  const std::string& bytes = record.value();
  uint64_t offset = end_offset_;
  auto appended = append_record(bytes);
  if (!appended.ok() && !appended.error().record_stored) return std::move(appended).error();
  end_offset_ += bytes.size();
  // A Tombstone encodes as its type byte alone.
  if (encoded.size() == 1 && uint8_t(encoded[0]) == TOMBSTONE_TYPE_BYTE) {
    index_.erase(key);
    erase_entry(value_cache_, key);
  } else {
    index_.put(key, offset);
    put_entry(value_cache_, key, std::string(encoded));
  }
  if (!appended.ok()) return std::move(appended).error();
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
  auto before = writer_->size();
  if (!before.ok()) return WriteFailure{std::move(before).error(), false};
  size_t written = 0;
  while (written < record.size()) {
    auto r = writer_->write(reinterpret_cast<const uint8_t*>(record.data()) + written,
                            record.size() - written);
    if (r.ok() && r.value() > 0) {
      written += r.value();
      continue;
    }
    IoError failure = r.ok() ? IoError::write_zero() : std::move(r).error();
    if (written == 0 || writer_->truncate(before.value()).ok()) {
      return WriteFailure{std::move(failure), false};
    }
    write_buffer_.assign(record, written);
    head_partial_ = write_buffer_.size();
    if (push().ok()) return Unit{};
    return WriteFailure{std::move(failure), true};
  }
  return Unit{};
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
// can be repeated. If the failure tore a record in the file, that record's
// written part is cut off the file again and the whole record stays in the
// buffer; when the cut fails, its rest stays in the buffer (head_partial_)
// and the next push completes it.
Result<Unit, IoError> Collection::push() {
  size_t written = 0;
  while (written < write_buffer_.size()) {
    auto r = writer_->write(reinterpret_cast<const uint8_t*>(write_buffer_.data()) + written,
                            write_buffer_.size() - written);
    if (r.ok() && r.value() > 0) {
      written += r.value();
      continue;
    }
    IoError failure = r.ok() ? IoError::write_zero_buffered() : std::move(r).error();
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
        size_t key_len = load_u32(reinterpret_cast<const uint8_t*>(write_buffer_.data()) + boundary);
        size_t value_len = load_u32(
            reinterpret_cast<const uint8_t*>(write_buffer_.data()) + boundary + 4 + key_len);
        head_partial_ = boundary + RECORD_FRAMING + key_len + value_len - written;
      }
    } else {
      head_partial_ = 0;
    }
    write_buffer_.erase(0, keep_from);
    return failure;
  }
  write_buffer_.clear();
  head_partial_ = 0;
  return Unit{};
}

}  // namespace zez
