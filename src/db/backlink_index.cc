// Backlink file grammar. No header, magic, version, checksum or trailer;
// integers little-endian; records follow one another from offset 0:
//
//   file     := record*
//   record   := op:u8 string string string string
//               -- target key, source collection, source key, source path
//   string   := length:u32 bytes[length]        -- UTF-8, no terminator
//
//   op 1 adds (source collection, source key, source path) to the target
//   key's list; op 2 removes every equal entry from it; any other op is read
//   whole and ignored.
//
// The file only grows: a removal is itself a record, so each load replays
// every record ever written.

#include "db/backlink_index.h"

#include <algorithm>
#include <string_view>

#include "codec/byte_order.h"
#include "codec/encoding.h"

namespace zez {

namespace {

constexpr uint8_t OP_ADD = 1;
constexpr uint8_t OP_REMOVE = 2;

// Replay reads through a buffer this large: files are never compacted, so
// a load can meet many small records, and one system read per field would
// dominate the time.
constexpr size_t REPLAY_BUFFER_SIZE = 256 * 1024;
// Never smaller than this, so that a file grown since its size was taken is
// still read in sensible pieces.
constexpr size_t MIN_REPLAY_BUFFER_SIZE = 4096;

// ---- Link extraction --------------------------------------------------

// The walk keeps the source path as one string and appends/cuts segments in
// place, instead of a list of segments joined at every link. Recursion is
// bounded: every value reaching the engine is at most MAX_NESTING_DEPTH deep.
class LinkWalker {
 public:
  explicit LinkWalker(std::vector<OutgoingLink>& out) : out_(out) {}

  void walk(const Value& v) {
    switch (v.kind()) {
      case Kind::Array: {
        const Array& a = v.as_array();
        for (size_t i = 0; i < a.size(); ++i) walk_child(std::to_string(i), a[i]);
        return;
      }
      case Kind::Map:
        walk_entries(v.as_map());
        return;
      case Kind::Link:
        add_link(v.as_link().path);
        walk_entries(v.as_link().local);
        return;
      case Kind::Null:
      case Kind::Tombstone:
      case Kind::Bool:
      case Kind::Int:
      case Kind::Float:
      case Kind::Text:
      case Kind::Blob:
      case Kind::Date:
      case Kind::Time:
      case Kind::DateTime:
        return;
    }
  }

 private:
  void walk_entries(const Map& m) {
    for (const auto& [key, child] : m) walk_child(key, child);
  }

  void walk_child(std::string_view segment, const Value& child) {
    const size_t saved = path_.size();
    // The segment count, not the text, decides the separator: a first
    // segment may itself be empty.
    if (segments_ > 0) path_ += '/';
    path_ += segment;
    ++segments_;
    walk(child);
    --segments_;
    path_.resize(saved);
  }

  // Only the first two pieces of the path matter here; keys beginning with
  // "$" ("$self", "$self.…" and any other) name no fixed record. A
  // collection name holding NUL can name no backlink file: listing it would
  // make every write of the record fail after storing it, delete included.
  void add_link(std::string_view path) {
    const size_t first = path.find('/');
    if (first == std::string_view::npos || first == 0) return;
    if (path.substr(0, first).find('\0') != std::string_view::npos) return;
    std::string_view rest = path.substr(first + 1);
    std::string_view key = rest.substr(0, rest.find('/'));
    if (!key.empty() && key.front() == '$') return;
    out_.push_back(OutgoingLink{std::string(path.substr(0, first)), std::string(key), path_});
  }

  std::vector<OutgoingLink>& out_;
  std::string path_;
  size_t segments_ = 0;
};

// ---- Replay -----------------------------------------------------------

// A sequential reader over a File through a large buffer, which knows how
// many bytes it has handed out (the offset in the file).
class ReplayReader {
 public:
  // `expected_size` (the file's size when the load began) only sizes the
  // buffer: most backlink files are small, and a database opens many.
  ReplayReader(File& file, uint64_t expected_size)
      : file_(file),
        buf_(size_t(std::clamp<uint64_t>(expected_size, MIN_REPLAY_BUFFER_SIZE,
                                         REPLAY_BUFFER_SIZE))) {}

  uint64_t offset() const { return offset_; }

  // Reads one byte; false at a clean end of file.
  Result<bool, IoError> read_byte(uint8_t* out) {
    if (pos_ == len_) {
      auto r = refill();
      if (!r.ok()) return std::move(r).error();
      if (len_ == 0) return false;
    }
    *out = buf_[pos_++];
    ++offset_;
    return true;
  }

  // Reads exactly n bytes; an early end of file is "failed to fill whole
  // buffer".
  Result<Unit, IoError> read_exact(uint8_t* dst, size_t n) {
    while (n > 0) {
      if (pos_ == len_) {
        auto r = refill();
        if (!r.ok()) return std::move(r).error();
        if (len_ == 0) return IoError::unexpected_eof();
      }
      const size_t k = std::min(n, len_ - pos_);
      std::copy_n(buf_.data() + pos_, k, dst);
      pos_ += k;
      offset_ += k;
      dst += k;
      n -= k;
    }
    return Unit{};
  }

 private:
  Result<Unit, IoError> refill() {
    pos_ = 0;
    len_ = 0;
    auto r = file_.read(buf_.data(), buf_.size());
    if (!r.ok()) return std::move(r).error();
    len_ = r.value();
    return Unit{};
  }

  File& file_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;
  size_t len_ = 0;
  uint64_t offset_ = 0;
};

// Reads one length-prefixed string into `out`. The length is checked against
// the bytes the file still holds before any memory is reserved, so a damaged
// length cannot ask for gigabytes; the size is asked again before failing in
// case another writer has grown the file since the last look.
Result<Unit, IoError> read_string(ReplayReader& in, File& file, uint64_t& known_size,
                                  std::string& out) {
  uint8_t len_bytes[4];
  auto r = in.read_exact(len_bytes, 4);
  if (!r.ok()) return r;
  const uint32_t len = load_u32(len_bytes);
  const auto bytes_left = [&] { return known_size > in.offset() ? known_size - in.offset() : 0; };
  if (len > bytes_left()) {
    auto size = file.size();
    if (!size.ok()) return std::move(size).error();
    known_size = size.value();
    if (len > bytes_left()) return IoError::unexpected_eof();
  }
  out.resize(len);
  r = in.read_exact(reinterpret_cast<uint8_t*>(out.data()), len);
  if (!r.ok()) return r;
  if (!is_valid_utf8(out)) return IoError::message("invalid utf8 in backlink");
  return Unit{};
}

IoError broken_file_error() {
  return IoError::message(
      "backlink file holds a partial record that could not be cut off; "
      "no further changes are written to it");
}

// Appends one add or remove record to `out`. Strings too long for their
// 32-bit length fields are refused before anything is written.
Result<Unit, IoError> frame_record(uint8_t op, std::string_view target_key, const Backlink& b,
                                   std::string& out) {
  const std::string_view fields[] = {target_key, b.source_collection, b.source_key,
                                     b.source_path};
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

}  // namespace

std::vector<OutgoingLink> extract_links(const Value& v) {
  std::vector<OutgoingLink> out;
  LinkWalker(out).walk(v);
  return out;
}

Result<std::unique_ptr<BacklinkIndex>, IoError> BacklinkIndex::load(Directory& dir,
                                                                    const std::string& file_name) {
  auto opened = dir.open(file_name, OpenMode::ReadAppendCreate);
  if (!opened.ok()) return std::move(opened).error();
  std::unique_ptr<File> file = std::move(opened).value();
  auto size = file->size();
  if (!size.ok()) return std::move(size).error();
  uint64_t known_size = size.value();

  std::unordered_map<std::string, std::vector<Backlink>> entries;
  ReplayReader in(*file, known_size);
  std::string target_key;
  Backlink b;
  for (;;) {
    uint8_t op;
    auto more = in.read_byte(&op);
    if (!more.ok()) return std::move(more).error();
    if (!more.value()) break;
    for (std::string* field : {&target_key, &b.source_collection, &b.source_key, &b.source_path}) {
      auto r = read_string(in, *file, known_size, *field);
      if (!r.ok()) return std::move(r).error();
    }
    if (op == OP_ADD) {
      // `b` is refilled whole by the next record's reads.
      entries[target_key].push_back(std::move(b));
    } else if (op == OP_REMOVE) {
      auto it = entries.find(target_key);
      if (it != entries.end()) std::erase(it->second, b);
    }
  }
  std::unique_ptr<BacklinkIndex> index(new BacklinkIndex(std::move(file), in.offset()));
  index->entries_ = std::move(entries);
  return index;
}

Result<Unit, IoError> BacklinkIndex::add(std::string_view target_key, Backlink b) {
  return apply({Change{true, target_key, &b}});
}

Result<Unit, IoError> BacklinkIndex::remove(std::string_view target_key, const Backlink& b) {
  Backlink copy = b;
  return apply({Change{false, target_key, &copy}});
}

Result<Unit, IoError> BacklinkIndex::apply(const std::vector<Change>& changes) {
  std::string records;
  for (const Change& c : changes) {
    auto framed = frame_record(c.add ? OP_ADD : OP_REMOVE, c.target_key, *c.record, records);
    if (!framed.ok()) return framed;
  }
  auto written = append_records(records);
  if (!written.ok()) return written;
  for (const Change& c : changes) {
    if (c.add) {
      entries_[std::string(c.target_key)].push_back(std::move(*c.record));
      continue;
    }
    // Looked up by a temporary key: the map has no heterogeneous lookup.
    auto it = entries_.find(std::string(c.target_key));
    if (it != entries_.end()) std::erase(it->second, *c.record);
  }
  return Unit{};
}

std::vector<Backlink> BacklinkIndex::query(std::string_view target_key) const {
  auto it = entries_.find(std::string(target_key));
  if (it == entries_.end()) return {};
  return it->second;
}

// The records go out in one write so that no push can land between their
// fields; a write that fails part-way is cut back to the size measured just
// before it, so the file stays loadable and later records stay aligned.
Result<Unit, IoError> BacklinkIndex::append_records(const std::string& records) {
  if (broken_) return broken_file_error();
  // Measured afresh: another handle on the directory may have appended.
  auto size = file_->size();
  if (!size.ok()) return std::move(size).error();
  end_ = size.value();
  auto w = write_all(*file_, reinterpret_cast<const uint8_t*>(records.data()), records.size(),
                     IoError::write_zero());
  if (!w.ok()) {
    if (file_->truncate(end_).ok()) return w;
    // The cut failed (its own error is dropped: the write's is the one
    // reported). Records that cannot be taken back are finished instead, so
    // the changes are made after all; only if that fails too does the file
    // stay torn, and it then takes no further appends.
    if (finish_torn_records(records)) {
      end_ += records.size();
      return Unit{};
    }
    broken_ = true;
    return w;
  }
  end_ += records.size();
  return Unit{};
}

bool BacklinkIndex::finish_torn_records(const std::string& records) {
  auto size = file_->size();
  if (!size.ok() || size.value() < end_ || size.value() - end_ >= records.size()) return false;
  size_t written = size_t(size.value() - end_);
  return write_all(*file_, reinterpret_cast<const uint8_t*>(records.data()) + written,
                   records.size() - written, IoError::write_zero())
      .ok();
}

}  // namespace zez
