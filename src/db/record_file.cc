#include "db/record_file.h"

#include <algorithm>

namespace zez {

namespace {

// A read of one record fetches this much past the key in its first system
// call, which holds the whole value of most records.
constexpr size_t READ_AHEAD = 512;

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

}  // namespace

Result<Unit, IoError> append_framed_record(std::string_view key, std::string_view encoded,
                                           std::string& out) {
  if (!fits_length_field(key.size())) {
    return IoError::message(oversized_message("key", key.size()));
  }
  if (!fits_length_field(encoded.size())) {
    return IoError::message(oversized_message("encoded value", encoded.size()));
  }
  put_u32(out, uint32_t(key.size()));
  out.append(key);
  put_u32(out, uint32_t(encoded.size()));
  out.append(encoded);
  return Unit{};
}

Result<std::string, IoError> frame_record(std::string_view key, std::string_view encoded) {
  std::string record;
  record.reserve(RECORD_FRAMING + key.size() + encoded.size());
  auto framed = append_framed_record(key, encoded, record);
  if (!framed.ok()) return std::move(framed).error();
  return record;
}

// The value length is checked against the file as the caller knows it
// before any memory is reserved for it.
Result<Unit, IoError> read_record_value(File& file, uint64_t offset, uint64_t file_end,
                                        std::string& out) {
  const uint64_t limit = file_end > offset ? file_end - offset : 0;
  out.resize(size_t(std::min<uint64_t>(limit, READ_AHEAD)));
  auto data = [&] { return reinterpret_cast<uint8_t*>(out.data()); };
  auto got = read_up_to(file, data(), out.size(), offset);
  if (!got.ok()) return std::move(got).error();
  size_t filled = got.value();
  // Makes sure the record's bytes [0, end) are in `out`.
  auto need = [&](uint64_t end) -> Result<Unit, IoError> {
    if (end <= filled) return Unit{};
    if (end > limit || filled < out.size()) return IoError::unexpected_eof();
    out.resize(size_t(end));
    auto r = read_exact_at(file, data() + filled, size_t(end - filled), offset + filled);
    if (!r.ok()) return std::move(r).error();
    filled = size_t(end);
    return Unit{};
  };
  if (auto r = need(4); !r.ok()) return r;
  const uint64_t value_start = RECORD_FRAMING + load_u32(data());
  if (auto r = need(value_start); !r.ok()) return r;
  const uint64_t value_len = load_u32(data() + value_start - 4);
  if (value_len > limit - value_start) return IoError::unexpected_eof();
  if (auto r = need(value_start + value_len); !r.ok()) return r;
  out.resize(size_t(value_start + value_len));
  out.erase(0, size_t(value_start));
  return Unit{};
}

const uint8_t* WindowReader::fill(uint64_t offset, size_t n) {
  if (offset > limit_ || n > limit_ - offset) {
    error_ = IoError::unexpected_eof();
    return nullptr;
  }
  const size_t want = std::max(n, size_t(std::min<uint64_t>(WINDOW_SIZE, limit_ - offset)));
  if (buffer_.size() < want) buffer_.resize(want);
  auto r = read_exact_at(file_, buffer_.data(), want, offset);
  if (!r.ok()) {
    filled_ = 0;
    error_ = std::move(r).error();
    return nullptr;
  }
  start_ = offset;
  filled_ = want;
  return buffer_.data();
}

Result<std::string_view, IoError> WindowReader::next(uint64_t offset, uint64_t n) {
  const uint64_t held =
      offset >= start_ && offset - start_ < filled_ ? filled_ - (offset - start_) : 0;
  const size_t k = size_t(std::min<uint64_t>(n, held != 0 ? held : WINDOW_SIZE));
  const uint8_t* bytes = view(offset, k);
  if (!bytes) return take_error();
  return std::string_view(reinterpret_cast<const char*>(bytes), k);
}

Result<Unit, IoError> ChunkWriter::append(std::string_view bytes) {
  // A piece as large as the buffer goes out as it is, saving a copy.
  if (buffer_.empty() && bytes.size() >= WindowReader::WINDOW_SIZE) {
    written_ += bytes.size();
    return write_all(file_, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                     IoError::write_zero());
  }
  while (!bytes.empty()) {
    const size_t k = std::min(bytes.size(), WindowReader::WINDOW_SIZE - buffer_.size());
    buffer_.append(bytes.substr(0, k));
    bytes.remove_prefix(k);
    if (buffer_.size() == WindowReader::WINDOW_SIZE) {
      auto r = flush();
      if (!r.ok()) return r;
    }
  }
  return Unit{};
}

Result<Unit, IoError> ChunkWriter::flush() {
  if (buffer_.empty()) return Unit{};
  written_ += buffer_.size();
  auto r = write_all(file_, reinterpret_cast<const uint8_t*>(buffer_.data()), buffer_.size(),
                     IoError::write_zero());
  buffer_.clear();
  return r;
}

namespace detail {

ScanEnd stop_at(ScanStop stop, uint64_t offset) { return ScanEnd{.stop = stop, .offset = offset}; }

ScanEnd stop_at_failed_read(uint64_t offset, IoError error) {
  return ScanEnd{.stop = ScanStop::Io, .offset = offset, .error = std::move(error)};
}

ScanEnd stop_at_short_record(File& file, uint64_t size, uint64_t offset, uint64_t needed) {
  uint64_t nonzero_at;
  if (auto zeros = stop_at_zero_tail(file, size, offset, nonzero_at)) return std::move(*zeros);
  return ScanEnd{
      .stop = ScanStop::Torn, .offset = offset, .needed = needed, .remaining = size - offset};
}

// Looks at the rest of the file a buffer at a time, so a long run of zeros
// takes no more memory than the scan does.
std::optional<ScanEnd> stop_at_zero_tail(File& file, uint64_t size, uint64_t offset,
                                         uint64_t& nonzero_at) {
  WindowReader in(file, size);
  for (uint64_t at = offset; at < size;) {
    size_t n = size_t(std::min<uint64_t>(WindowReader::WINDOW_SIZE, size - at));
    const uint8_t* bytes = in.view(at, n);
    if (!bytes) return stop_at_failed_read(offset, in.take_error());
    const uint8_t* nonzero = std::find_if(bytes, bytes + n, [](uint8_t b) { return b != 0; });
    if (nonzero != bytes + n) {
      nonzero_at = at + uint64_t(nonzero - bytes);
      return std::nullopt;
    }
    at += n;
  }
  return ScanEnd{.stop = ScanStop::ZeroTail, .offset = offset, .remaining = size - offset};
}

}  // namespace detail

}  // namespace zez
