#include "db/backlink_file.h"

#include <algorithm>

#include "codec/byte_order.h"
#include "codec/encoding.h"

namespace zez {

namespace {

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

bool BacklinkFramer::next(BacklinkRecordView& out) {
  // A read fails when a writer has cut a failed append back since the size
  // was taken: the record is then framed again against the new size.
  for (int attempt = 0;; ++attempt) {
    const Framed framed = frame(out);
    if (framed != Framed::ReadFailed) return framed == Framed::Whole;
    IoError error = in_->take_error();
    auto size = file_.size();
    if (attempt == 2 || !size.ok() || size.value() >= size_) {
      stop_io(std::move(error));
      return false;
    }
    size_ = size.value();
    in_.emplace(file_, size_);
  }
}

BacklinkFramer::Framed BacklinkFramer::frame(BacklinkRecordView& out) {
  const uint64_t start = offset_;
  utf8_so_far_ = true;
  auto has_op = available(start, OP_SIZE);
  if (!has_op.ok()) return stop_io(std::move(has_op).error());
  if (has_op.value() == 0) return stop(ScanStop::End, 0);
  const uint8_t* op = in_->view(start, OP_SIZE);
  if (!op) return Framed::ReadFailed;
  // A run of zeros frames as records of op 0 with empty strings; only one
  // that the end of the file cuts short is a zero tail.
  bool zeros_so_far = *op == 0;
  uint32_t lengths[4];
  uint64_t pos = start + OP_SIZE;
  for (uint32_t& len : lengths) {
    auto got = available(pos, LENGTH_SIZE);
    if (!got.ok()) return stop_io(std::move(got).error());
    const uint8_t* field = got.value() == 0 ? nullptr : in_->view(pos, size_t(got.value()));
    if (got.value() > 0 && !field) return Framed::ReadFailed;
    if (got.value() < LENGTH_SIZE) {
      zeros_so_far =
          zeros_so_far && std::all_of(field, field + got.value(), [](uint8_t b) { return b == 0; });
      const uint64_t remaining = pos + got.value() - start;
      if (zeros_so_far) return stop(ScanStop::ZeroTail, remaining);
      return stop(ScanStop::Torn, remaining, pos + LENGTH_SIZE - start);
    }
    len = load_u32(field);
    zeros_so_far = zeros_so_far && len == 0;
    pos += LENGTH_SIZE;
    // Checked against the bytes the file holds before anything is read or
    // reserved for it, so a damaged length cannot ask for gigabytes.
    auto held = available(pos, len);
    if (!held.ok()) return stop_io(std::move(held).error());
    if (held.value() < len) {
      return stop(ScanStop::Torn, std::max(size_, pos) - start, pos + len - start);
    }
    const uint8_t* bytes = in_->view(pos - LENGTH_SIZE, LENGTH_SIZE + size_t(len));
    if (!bytes) return Framed::ReadFailed;
    utf8_so_far_ = utf8_so_far_ && is_valid_utf8(bytes + LENGTH_SIZE, len);
    pos += len;
  }
  // The whole record in one view, so that its four strings stay valid.
  const uint8_t* record = in_->view(start, size_t(pos - start));
  if (!record) return Framed::ReadFailed;
  std::string_view strings[4];
  const char* at = reinterpret_cast<const char*>(record) + OP_SIZE;
  for (size_t i = 0; i < 4; ++i) {
    strings[i] = std::string_view(at + LENGTH_SIZE, lengths[i]);
    at += LENGTH_SIZE + lengths[i];
  }
  out.offset = start;
  out.end = pos;
  out.op = record[0];
  out.strings = BacklinkStrings{strings[0], strings[1], strings[2], strings[3]};
  out.strings_are_utf8 = utf8_so_far_;
  offset_ = pos;
  return Framed::Whole;
}

// Up to `n` of the bytes from `at` on. When the size last asked falls
// short, it is asked again, in case another writer has grown the file.
Result<uint64_t, IoError> BacklinkFramer::available(uint64_t at, uint64_t n) {
  const auto held = [&] { return std::min(n, size_ > at ? size_ - at : 0); };
  if (in_ && held() == n) return n;
  auto size = file_.size();
  if (!size.ok()) return std::move(size).error();
  if (!in_ || size.value() != size_) {
    size_ = size.value();
    in_.emplace(file_, size_);
  }
  return held();
}

BacklinkFramer::Framed BacklinkFramer::stop(ScanStop kind, uint64_t remaining, uint64_t needed) {
  end_.stop = kind;
  end_.offset = offset_;
  end_.remaining = remaining;
  end_.needed = needed;
  end_.invalid_utf8_before_stop = !utf8_so_far_;
  return Framed::Stopped;
}

BacklinkFramer::Framed BacklinkFramer::stop_io(IoError error) {
  stop(ScanStop::Io, 0);
  end_.error = std::move(error);
  return Framed::Stopped;
}

}  // namespace detail

}  // namespace zez
