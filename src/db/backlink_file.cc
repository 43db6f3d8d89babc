#include "db/backlink_file.h"

#include <algorithm>

#include "codec/byte_order.h"
#include "codec/encoding.h"

namespace zez {

namespace {

// Replay reads through a buffer this large: files are never compacted, so
// a load can meet many small records, and one system read per field would
// dominate the time.
constexpr size_t REPLAY_BUFFER_SIZE = 256 * 1024;
// Never smaller than this, so that a file grown since its size was taken is
// still read in sensible pieces.
constexpr size_t MIN_REPLAY_BUFFER_SIZE = 4096;

constexpr size_t OP_SIZE = 1;
constexpr size_t LENGTH_SIZE = 4;

}  // namespace

Result<Unit, IoError> frame_backlink_record(uint8_t op, const BacklinkStrings& strings,
                                            std::string& out) {
  const std::string_view fields[] = {strings.target_key, strings.source_collection,
                                     strings.source_key, strings.source_path};
  static constexpr std::string_view FIELD_NAMES[] = {"backlink target key", "source collection",
                                                     "source key", "source path"};
  for (size_t i = 0; i < 4; ++i) {
    if (!fits_length_field(fields[i].size())) {
      return IoError::message(oversized_message(FIELD_NAMES[i], fields[i].size()));
    }
  }
  out.push_back(static_cast<char>(op));
  for (std::string_view f : fields) {
    put_u32(out, static_cast<uint32_t>(f.size()));
    out.append(f);
  }
  return Unit{};
}

namespace detail {

ReplayReader::ReplayReader(File& file, uint64_t expected_size)
    : file_(file),
      buf_(
          size_t(std::clamp<uint64_t>(expected_size, MIN_REPLAY_BUFFER_SIZE, REPLAY_BUFFER_SIZE))) {
}

Result<size_t, IoError> ReplayReader::read_up_to(uint8_t* dst, size_t n) {
  size_t got = 0;
  while (got < n) {
    if (pos_ == len_) {
      auto r = refill();
      if (!r.ok()) return std::move(r).error();
      if (len_ == 0) break;
    }
    const size_t k = std::min(n - got, len_ - pos_);
    std::copy_n(buf_.data() + pos_, k, dst + got);
    pos_ += k;
    offset_ += k;
    got += k;
  }
  return got;
}

Result<Unit, IoError> ReplayReader::refill() {
  pos_ = 0;
  len_ = 0;
  auto r = file_.read(buf_.data(), buf_.size());
  if (!r.ok()) return std::move(r).error();
  len_ = r.value();
  return Unit{};
}

bool BacklinkFramer::start() {
  auto sought = file_.seek(0);
  if (!sought.ok()) return stop_io(std::move(sought).error(), true);
  auto size = file_.size();
  if (!size.ok()) return stop_io(std::move(size).error(), true);
  known_size_ = size.value();
  in_.emplace(file_, known_size_);
  return true;
}

bool BacklinkFramer::next(BacklinkRecordView& out) {
  if (!in_ && !start()) return false;
  record_start_ = in_->offset();
  uint8_t op;
  auto got = in_->read_up_to(&op, OP_SIZE);
  if (!got.ok()) return stop_io(std::move(got).error(), true);
  if (got.value() == 0) return stop(ScanStop::End, 0);
  // A run of zeros frames as records of op 0 with empty strings; only one
  // that the end of the file cuts short is a zero tail.
  bool zeros_so_far = op == 0;
  bool utf8_so_far = true;
  strings_.clear();
  for (size_t i = 0; i < 4; ++i) {
    if (!read_string(i, zeros_so_far, utf8_so_far)) return false;
  }
  std::string_view all(strings_);
  std::string_view parts[4];
  for (size_t i = 0; i < 4; ++i) {
    parts[i] = all.substr(0, lengths_[i]);
    all.remove_prefix(lengths_[i]);
  }
  out.offset = record_start_;
  out.end = in_->offset();
  out.op = op;
  out.strings = BacklinkStrings{parts[0], parts[1], parts[2], parts[3]};
  out.strings_are_utf8 = utf8_so_far;
  return true;
}

// The length is checked against the bytes the file still holds before any
// memory is reserved, so a damaged length cannot ask for gigabytes; the
// size is asked again before giving up in case another writer has grown the
// file since the last look.
bool BacklinkFramer::read_string(size_t index, bool& zeros_so_far, bool& utf8_so_far) {
  uint8_t len_bytes[LENGTH_SIZE];
  auto got = in_->read_up_to(len_bytes, LENGTH_SIZE);
  if (!got.ok()) return stop_io(std::move(got).error(), utf8_so_far);
  const uint64_t remaining = in_->offset() - record_start_;
  if (got.value() < LENGTH_SIZE) {
    zeros_so_far = zeros_so_far && std::all_of(len_bytes, len_bytes + got.value(),
                                               [](uint8_t b) { return b == 0; });
    if (zeros_so_far) return stop(ScanStop::ZeroTail, remaining);
    return stop_torn(remaining - got.value() + LENGTH_SIZE, remaining, utf8_so_far);
  }
  const uint32_t len = load_u32(len_bytes);
  zeros_so_far = zeros_so_far && len == 0;
  const uint64_t needed = remaining + len;
  const auto bytes_left = [&] {
    return known_size_ > in_->offset() ? known_size_ - in_->offset() : 0;
  };
  if (len > bytes_left()) {
    auto size = file_.size();
    if (!size.ok()) return stop_io(std::move(size).error(), utf8_so_far);
    known_size_ = size.value();
    if (len > bytes_left()) {
      return stop_torn(needed, std::max(known_size_, in_->offset()) - record_start_, utf8_so_far);
    }
  }
  const size_t start = strings_.size();
  strings_.resize(start + len);
  auto read = in_->read_up_to(reinterpret_cast<uint8_t*>(strings_.data()) + start, len);
  if (!read.ok()) return stop_io(std::move(read).error(), utf8_so_far);
  if (read.value() < len) {
    return stop_torn(needed, in_->offset() - record_start_, utf8_so_far);
  }
  lengths_[index] = len;
  utf8_so_far = utf8_so_far && is_valid_utf8(std::string_view(strings_).substr(start));
  return true;
}

bool BacklinkFramer::stop(ScanStop kind, uint64_t remaining) {
  end_.stop = kind;
  end_.offset = record_start_;
  end_.remaining = remaining;
  return false;
}

bool BacklinkFramer::stop_torn(uint64_t needed, uint64_t remaining, bool utf8_so_far) {
  stop(ScanStop::Torn, remaining);
  end_.needed = needed;
  end_.invalid_utf8_before_stop = !utf8_so_far;
  return false;
}

bool BacklinkFramer::stop_io(IoError error, bool utf8_so_far) {
  stop(ScanStop::Io, 0);
  end_.error = std::move(error);
  end_.invalid_utf8_before_stop = !utf8_so_far;
  return false;
}

}  // namespace detail

}  // namespace zez
