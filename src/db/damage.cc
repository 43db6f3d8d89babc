#include "db/damage.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "codec/byte_order.h"
#include "codec/encoded_length.h"
#include "codec/encoding.h"

namespace zez {

namespace {

// The bound on the work: this many times the file's size, plus a little for
// small files. A healthy file costs about once its size; damage at its start
// about twice.
constexpr uint64_t WORK_PER_BYTE = 4;
constexpr uint64_t WORK_SLACK = uint64_t(1) << 16;
// Regions resolved inside one another (a chain runs into a later damaged
// region, which is then resolved first) nest at most this deep.
constexpr int MAX_NESTED_REGIONS = 2000;
// Chains followed at once in one search; more is crafted input.
constexpr size_t MAX_CHAINS_IN_FLIGHT = size_t(1) << 20;
constexpr uint64_t ZERO_PAGE = 4096;
// A key length that runs past the end of the file is taken for the key of
// a record cut short only up to this length.
constexpr uint64_t MAX_CUT_KEY = uint64_t(64) << 10;

// Byte ranges of the file through a few windows, each a positioned read, so
// that a search that looks ahead and comes back rereads nothing. Pieces are
// small (a length field, a part of a text); values are never read whole.
class Windows {
 public:
  static constexpr size_t MAX_PIECE = size_t(1) << 20;

  Windows(File& file, uint64_t size) : file_(file), size_(size) {}

  // Bytes [pos, pos + n), n <= MAX_PIECE, pos + n <= size. nullptr when the
  // read fails (error() says why).
  const uint8_t* at(uint64_t pos, size_t n) {
    Window& last = windows_[last_];
    if (pos >= last.start && pos - last.start + n <= last.bytes.size()) {
      return last.bytes.data() + (pos - last.start);
    }
    return other_window(pos, n);
  }
  // The same from another window, read when none holds them. Out of line:
  // the pass over whole records, where the last window holds almost every
  // piece, calls at() a few times per record.
  [[gnu::noinline]] const uint8_t* other_window(uint64_t pos, size_t n) {
    for (size_t i = 0; i < windows_.size(); ++i) {
      Window& w = windows_[i];
      if (pos >= w.start && pos - w.start + n <= w.bytes.size()) {
        w.used = ++clock_;
        last_ = i;
        return w.bytes.data() + (pos - w.start);
      }
    }
    size_t victim = 0;
    for (size_t i = 1; i < windows_.size(); ++i) {
      if (windows_[i].used < windows_[victim].used) victim = i;
    }
    Window& w = windows_[victim];
    const size_t want = size_t(std::min<uint64_t>(size_ - pos, std::max(n, WINDOW)));
    w.bytes.resize(want);
    auto r = read_exact_at(file_, w.bytes.data(), want, pos);
    if (!r.ok()) {
      w.bytes.clear();
      if (!error_) error_ = std::move(r).error();
      return nullptr;
    }
    w.start = pos;
    w.used = ++clock_;
    last_ = victim;
    return w.bytes.data();
  }
  // The same bytes when the window last read holds them, else nullptr;
  // never reads.
  const uint8_t* held(uint64_t pos, uint64_t n) const {
    const Window& last = windows_[last_];
    if (pos >= last.start && pos - last.start <= last.bytes.size() &&
        n <= last.bytes.size() - (pos - last.start)) {
      return last.bytes.data() + (pos - last.start);
    }
    return nullptr;
  }
  bool failed() const { return error_.has_value(); }
  IoError take_error() { return std::move(*error_); }

 private:
  static constexpr size_t WINDOW = size_t(1) << 20;
  struct Window {
    uint64_t start = 0;
    std::vector<uint8_t> bytes;
    uint64_t used = 0;
  };
  File& file_;
  uint64_t size_;
  std::array<Window, 4> windows_;
  size_t last_ = 0;
  uint64_t clock_ = 0;
  std::optional<IoError> error_;
};

// A record's bytes already in memory, read as Windows reads a file.
struct HeldBytes {
  static constexpr size_t MAX_PIECE = Windows::MAX_PIECE;
  const uint8_t* at(uint64_t pos, size_t) const { return data + (pos - start); }
  const uint8_t* data;
  uint64_t start;
};

// One bit per offset, for the offsets known to hold no whole record. Its
// pages are touched only where damage is searched.
class OffsetBits {
 public:
  explicit OffsetBits(uint64_t size) : words_(size / 64 + 1) {}
  bool has(uint64_t o) const { return bits_ && (bits_[o >> 6] >> (o & 63)) & 1; }
  void add(uint64_t o) {
    if (!bits_) {
      // calloc maps zeroed pages lazily, so an untouched stretch costs no memory.
      bits_.reset(static_cast<uint64_t*>(std::calloc(size_t(words_), sizeof(uint64_t))));
      if (!bits_) return;  // then nothing is remembered, which only costs time
    }
    bits_[o >> 6] |= uint64_t(1) << (o & 63);
  }

 private:
  struct Free {
    void operator()(uint64_t* p) const { std::free(p); }
  };
  uint64_t words_;
  std::unique_ptr<uint64_t[], Free> bits_;
};

// How a record at an offset frames.
struct Framing {
  bool fits = false;  // inside the file, value length above 0
  uint32_t key_len = 0;
  uint32_t value_len = 0;
  uint64_t end = 0;
  NotWhole why = NotWhole::RunsPastEnd;
  uint64_t needed = 0;
};

// A run of whole records that ends at `end` (the first offset that is not
// whole, or the file's size); `last` is where its last record starts.
struct Run {
  uint64_t end;
  uint64_t last;
};

class Classifier {
 public:
  Classifier(File& file, uint64_t size)
      : in_(file, size),
        size_(size),
        not_whole_(size),
        budget_(WORK_PER_BYTE * size + WORK_SLACK) {}

  Result<RecordFileDamage, IoError> run(const std::function<void(uint64_t)>& progress,
                                        const std::function<void(const RecordView&)>& each);
  // Frames every record as the engine loads it, decoding only the last
  // value. The damage of a file found whole that way (no regions), or
  // nothing when a record does not frame or the last value is not exact.
  Result<std::optional<RecordFileDamage>, IoError> run_framing(
      const std::function<void(uint64_t)>& progress);

 private:
  Framing frame(uint64_t o);
  bool key_is_utf8(uint64_t o, uint32_t key_len);
  // The end of the whole record at o, if it is one. `remember` keeps a
  // positive answer for offsets a search may come back to.
  std::optional<uint64_t> whole(uint64_t o, bool remember);
  // The end of the record at o when the engine could load it.
  std::optional<uint64_t> loadable(uint64_t o);
  // The whole record at o, ending at `end`, as a scan visits it; nothing
  // when the read fails.
  std::optional<RecordView> view(uint64_t o, uint64_t end);
  Run run_from(uint64_t s);
  std::optional<uint64_t> resolve(uint64_t p);
  // The end of the record at o when it is a bad record: it frames, and the
  // record after it is whole, or the file ends there, or the last record
  // begins there cut short, or zeros run from there to the end.
  std::optional<uint64_t> bad_record_end(uint64_t o);
  // Whether the record at o reads as one cut short by the end of the file:
  // its key is all there and UTF-8, and its value bytes are the start of a
  // value that more bytes would complete.
  bool cut_by_end(uint64_t o);
  bool accept(uint64_t s, uint64_t p, std::optional<uint64_t> pe, std::optional<uint64_t> start);
  std::optional<uint64_t> sweep(uint64_t p, std::optional<uint64_t> pe);
  bool over() const { return work_ > budget_ || gave_up_ || in_.failed(); }
  DamagedRegion describe(uint64_t p, uint64_t q, DamageKind kind);
  bool zeros_from(uint64_t o);
  // Where the run of zeros that ends at `end` starts (not before `floor`).
  uint64_t zero_run_start(uint64_t end, uint64_t floor);
  // The note for the record at `record` (ending at `record_end`) when the
  // zeros that run up to `zeros_end` cover its end from a 4096-aligned offset.
  std::optional<ZeroPageNote> zeros_at_end_of(uint64_t record, uint64_t zeros_end,
                                              uint64_t record_end);
  // The key of the record at o (its first MAX_PIECE bytes); empty when the
  // read fails.
  std::string key_at(uint64_t o, uint32_t key_len);
  void note_zeros_before(uint64_t last_start, DamagedRegion& region);

  Windows in_;
  uint64_t size_;
  OffsetBits not_whole_;
  std::unordered_map<uint64_t, uint64_t> whole_ends_;
  std::unordered_map<uint64_t, Run> runs_;         // runs that end before the file does
  std::unordered_map<uint64_t, Run> known_runs_;   // from a region's Q, found by its search
  std::unordered_map<uint64_t, std::optional<uint64_t>> resolved_;
  std::unordered_set<uint64_t> framing_holds_;  // bad records, found by bad_record_end
  std::vector<std::pair<uint32_t, bool>> stack_;
  uint64_t work_ = 0;
  uint64_t budget_;
  int nesting_ = 0;
  bool gave_up_ = false;
};

Framing Classifier::frame(uint64_t o) {
  Framing f;
  const uint64_t left = size_ - o;
  f.needed = 4;
  if (left < 4) return f;
  // Where the window must move, it moves to the record's start and takes in
  // the rest of a record of ordinary size with it: a record that straddles
  // the window's end is then read once, not a window per field.
  const uint8_t* head = in_.at(o, size_t(std::min<uint64_t>(left, 4096)));
  if (!head) return f;
  f.key_len = load_u32(head);
  f.needed = RECORD_FRAMING + uint64_t(f.key_len);
  if (f.key_len > left - 4 || left - 4 - f.key_len < 4) return f;
  const uint8_t* vl = in_.at(o + 4 + f.key_len, 4);
  if (!vl) return f;
  f.value_len = load_u32(vl);
  if (f.value_len == 0) {
    f.why = NotWhole::ZeroValueLength;
    f.end = o + RECORD_FRAMING + f.key_len;
    return f;
  }
  f.needed = RECORD_FRAMING + uint64_t(f.key_len) + f.value_len;
  if (f.value_len > left - RECORD_FRAMING - f.key_len) return f;
  f.fits = true;
  f.end = o + f.needed;
  return f;
}

bool Classifier::key_is_utf8(uint64_t o, uint32_t key_len) {
  work_ += key_len;
  bool read_failed = false;
  return detail::utf8_at(in_, o + 4, key_len, read_failed);
}

std::optional<uint64_t> Classifier::whole(uint64_t o, bool remember) {
  if (not_whole_.has(o)) return std::nullopt;
  if (!whole_ends_.empty()) {
    auto it = whole_ends_.find(o);
    if (it != whole_ends_.end()) return it->second;
  }
  ++work_;
  const Framing f = frame(o);
  std::optional<uint64_t> result;
  if (f.fits) {
    const uint64_t value_start = f.end - f.value_len;
    // The value first: at a false offset it almost always fails at its type
    // byte, long before a long key would have been read. A record the last
    // window holds whole, as most are in a pass over the file, is read in
    // place, without a window lookup for every piece.
    if (const uint8_t* record = in_.held(o, f.end - o)) {
      HeldBytes bytes{record, o};
      EncodedSpan span = encoded_span(bytes, value_start, f.end, stack_);
      work_ += span.reached - value_start + 1;
      if (span.decodes && span.end == f.end) {
        work_ += f.key_len;
        if (is_valid_utf8(record + 4, f.key_len)) result = f.end;
      }
    } else {
      EncodedSpan span = encoded_span(in_, value_start, f.end, stack_);
      work_ += span.reached - value_start + 1;
      if (span.decodes && span.end == f.end && key_is_utf8(o, f.key_len)) result = f.end;
    }
  }
  if (!result) {
    not_whole_.add(o);
  } else if (remember) {
    whole_ends_.emplace(o, *result);
  }
  return result;
}

std::optional<uint64_t> Classifier::loadable(uint64_t o) {
  const Framing f = frame(o);
  if (!f.fits || !key_is_utf8(o, f.key_len)) return std::nullopt;
  return f.end;
}

std::optional<RecordView> Classifier::view(uint64_t o, uint64_t end) {
  // whole() has just read the record: the last window holds its framing.
  const uint8_t* r = in_.at(o, 4);
  if (r) r = in_.at(o, RECORD_FRAMING + load_u32(r) + 1);
  if (!r) return std::nullopt;
  const uint32_t key_len = load_u32(r);
  const uint64_t value_offset = o + RECORD_FRAMING + key_len;
  return RecordView{o,
                    std::string_view(reinterpret_cast<const char*>(r) + 4, key_len),
                    value_offset,
                    uint32_t(end - value_offset),
                    r[RECORD_FRAMING + key_len],
                    true};
}

Run Classifier::run_from(uint64_t s) {
  std::vector<uint64_t> path;
  Run run{s, s};
  uint64_t o = s;
  while (o < size_ && !over()) {
    if (auto it = runs_.find(o); it != runs_.end()) {
      run = it->second;
      o = run.end;
      break;
    }
    auto e = whole(o, false);
    if (!e) break;
    path.push_back(o);
    run.last = o;
    o = *e;
  }
  run.end = o;
  // A run that reaches the end of the file is followed once: the search
  // that asked stops there. One that stops short may be asked about again
  // from any of its records.
  if (o < size_) {
    for (uint64_t p : path) runs_.emplace(p, run);
  }
  return run;
}

bool Classifier::cut_by_end(uint64_t o) {
  const Framing f = frame(o);
  if (f.fits || f.why != NotWhole::RunsPastEnd) return false;
  const uint64_t left = size_ - o;
  if (left < 4) return true;
  if (f.key_len > left - 4) {
    // Cut inside the key: its bytes are the start of a UTF-8 text. A long
    // key length is rather a damaged one, with records after it.
    if (f.key_len > MAX_CUT_KEY) return false;
    const size_t n = size_t(left - 4);
    const uint8_t* key = n ? in_.at(o + 4, n) : nullptr;
    if (n && !key) return false;
    for (size_t back = 0; back <= 3 && back <= n; ++back) {
      if (is_valid_utf8(key, n - back)) return true;
    }
    return false;
  }
  if (!key_is_utf8(o, f.key_len)) return false;
  const uint64_t value_start = o + RECORD_FRAMING + f.key_len;
  if (value_start >= size_) return true;  // cut inside the value length
  if (f.value_len == 0) return false;
  EncodedSpan span = encoded_span(in_, value_start, size_, stack_);
  work_ += span.reached - value_start + 1;
  // A value that ends before the end of the file, or does not decode, says
  // that the value length is damaged, not that the record was cut.
  return !span.decodes && span.ran_out;
}

std::optional<uint64_t> Classifier::bad_record_end(uint64_t o) {
  const Framing first = frame(o);
  if (!first.fits) return std::nullopt;
  // Zeros from a 4096-aligned offset inside the record to the end of the
  // file are what a power loss leaves of the last appends: a tail.
  const uint64_t zeros = zero_run_start(size_, o);
  const uint64_t aligned = (zeros + ZERO_PAGE - 1) / ZERO_PAGE * ZERO_PAGE;
  if (aligned > o && aligned < first.end) return std::nullopt;
  // Bad records may follow one another: the framing holds when it leads,
  // record by record, to one of those ends. Each offset is walked once.
  std::vector<uint64_t> walked;
  uint64_t at = o;
  bool holds = false;
  while (!over()) {
    if (framing_holds_.count(at)) {
      holds = true;
      break;
    }
    const Framing f = at == o ? first : frame(at);
    if (!f.fits) break;
    walked.push_back(at);
    ++work_;
    if (f.end == size_ || whole(f.end, true) || cut_by_end(f.end) || zeros_from(f.end)) {
      holds = true;
      break;
    }
    at = f.end;
  }
  if (!holds) return std::nullopt;
  framing_holds_.insert(walked.begin(), walked.end());
  return first.end;
}

std::optional<uint64_t> Classifier::resolve(uint64_t p) {
  if (auto it = resolved_.find(p); it != resolved_.end()) return it->second;
  if (nesting_ >= MAX_NESTED_REGIONS) {
    gave_up_ = true;
    return std::nullopt;
  }
  ++nesting_;
  resolved_[p] = std::nullopt;  // regions only go forward; this guards a cycle
  const std::optional<uint64_t> pe = loadable(p);
  std::optional<uint64_t> q;
  if (cut_by_end(p)) {
    // The last record, cut short: whatever frames inside it is bytes of
    // its value.
  } else if (pe && *pe < size_ && whole(*pe, true) && accept(*pe, p, pe, std::nullopt)) {
    // The record at P frames and whole records follow it: P ends the damage.
    q = *pe;
  } else if (!over()) {
    q = sweep(p, pe);
  }
  --nesting_;
  resolved_[p] = q;
  return q;
}

bool Classifier::accept(uint64_t s, uint64_t p, std::optional<uint64_t> pe,
                        std::optional<uint64_t> start) {
  const Run run = run_from(s);
  if (over()) return false;
  // A run inside P's own extent that stops there is bytes of P's value.
  if (pe && start && p < *start && *start < *pe && run.end < *pe) return false;
  // The run ends at the end of the file, at damage in the middle, or at a
  // tail: a record cut short, or zeros to the end.
  if (run.end < size_ && !resolve(run.end) && over()) return false;
  known_runs_[start.value_or(s)] = run;
  return true;
}

std::optional<uint64_t> Classifier::sweep(uint64_t p, std::optional<uint64_t> pe) {
  struct Chain {
    uint64_t start;
    uint64_t records;
  };
  // Chains in flight, by the offset they land on.
  std::unordered_map<uint64_t, std::vector<Chain>> pending;
  size_t jumping = 0;
  for (uint64_t s = p + 1; s <= size_; ++s) {
    if (over()) return std::nullopt;
    std::vector<Chain> arriving;
    if (!pending.empty()) {
      if (auto it = pending.find(s); it != pending.end()) {
        arriving = std::move(it->second);
        pending.erase(it);
        jumping -= arriving.size();
      }
    }
    if (s == size_) {
      // Chains of at least two records that end exactly at the end.
      std::optional<uint64_t> q;
      for (const Chain& c : arriving) {
        if (c.records >= 2 && (!q || c.start < *q)) q = c.start;
      }
      return q;
    }
    auto e = whole(s, true);
    if (!e) continue;
    Chain chain{s, 1};
    if (!arriving.empty()) {
      // Where chains merge, the earliest start among them: the first intact
      // record may end in bytes that frame like records.
      chain.start = arriving.front().start;
      uint64_t most = 0;
      for (const Chain& c : arriving) {
        chain.start = std::min(chain.start, c.start);
        most = std::max(most, c.records);
      }
      chain.records = most + 1;
    }
    if (jumping == 0 && chain.records >= 2) {
      if (accept(s, p, pe, chain.start)) return chain.start;
      continue;
    }
    pending[*e].push_back(chain);
    if (++jumping > MAX_CHAINS_IN_FLIGHT) gave_up_ = true;
  }
  return std::nullopt;
}

bool Classifier::zeros_from(uint64_t o) {
  while (o < size_) {
    const size_t n = size_t(std::min<uint64_t>(Windows::MAX_PIECE, size_ - o));
    const uint8_t* p = in_.at(o, n);
    if (!p) return false;
    if (std::find_if(p, p + n, [](uint8_t b) { return b != 0; }) != p + n) return false;
    o += n;
  }
  return true;
}

DamagedRegion Classifier::describe(uint64_t p, uint64_t q, DamageKind kind) {
  DamagedRegion r{kind, p, q, NotWhole::RunsPastEnd, 0, {}, 0, {}};
  const Framing f = frame(p);
  if (f.fits) {
    EncodedSpan span = encoded_span(in_, f.end - f.value_len, f.end, stack_);
    if (!key_is_utf8(p, f.key_len)) {
      r.why = NotWhole::KeyNotUtf8;
    } else {
      r.why = span.decodes ? NotWhole::ValueDecodesShort : NotWhole::ValueDoesNotDecode;
    }
  } else {
    r.why = f.why;
    r.needed = f.needed;
  }
  // The records that frame one after another from P: their keys are known.
  uint64_t o = p;
  while (o < q) {
    const Framing g = frame(o);
    if (g.end == 0 || g.end > q || (g.key_len == 0 && g.value_len == 0)) break;
    std::string key = key_at(o, g.key_len);
    if (in_.failed()) break;
    const uint8_t* type = g.value_len ? in_.at(g.end - g.value_len, 1) : nullptr;
    r.readable.push_back(ReadableRecord{o, std::move(key), type && *type == TYPE_TOMBSTONE});
    o = g.end;
  }
  r.unknown_bytes = q - o;
  return r;
}

uint64_t Classifier::zero_run_start(uint64_t end, uint64_t floor) {
  // Backwards a piece at a time.
  uint64_t z = end;
  while (z > floor) {
    const uint64_t from = z - floor > Windows::MAX_PIECE ? z - Windows::MAX_PIECE : floor;
    const uint8_t* p = in_.at(from, size_t(z - from));
    if (!p) return end;
    size_t n = size_t(z - from);
    while (n > 0 && p[n - 1] == 0) --n;
    z = from + n;
    if (n > 0) break;
  }
  return z;
}

std::string Classifier::key_at(uint64_t o, uint32_t key_len) {
  const size_t n = std::min<size_t>(key_len, Windows::MAX_PIECE);
  const uint8_t* key = n ? in_.at(o + 4, n) : nullptr;
  return key ? std::string(reinterpret_cast<const char*>(key), n) : std::string();
}

std::optional<ZeroPageNote> Classifier::zeros_at_end_of(uint64_t record, uint64_t zeros_end,
                                                        uint64_t record_end) {
  const uint64_t zeros_from = zero_run_start(zeros_end, record);
  const uint64_t aligned = (zeros_from + ZERO_PAGE - 1) / ZERO_PAGE * ZERO_PAGE;
  if (aligned >= record_end || aligned <= record) return std::nullopt;
  return ZeroPageNote{record, key_at(record, frame(record).key_len), record_end - aligned};
}

void Classifier::note_zeros_before(uint64_t last_start, DamagedRegion& region) {
  const uint64_t p = region.start;
  if (p == 0 || p >= size_) return;
  const uint8_t* first = in_.at(p, 1);
  if (!first || *first != 0) return;
  region.zeros_before = zeros_at_end_of(last_start, p, p);
}

Result<RecordFileDamage, IoError> Classifier::run(
    const std::function<void(uint64_t)>& progress,
    const std::function<void(const RecordView&)>& each) {
  RecordFileDamage out;
  out.size = size_;
  uint64_t o = 0;
  uint64_t last_start = 0;
  uint64_t records = 0;
  while (o < size_) {
    if (auto it = known_runs_.find(o); it != known_runs_.end()) {
      last_start = it->second.last;
      o = it->second.end;
      continue;
    }
    if (in_.failed()) break;
    if (auto e = over() ? std::nullopt : whole(o, false)) {
      if (each && out.regions.empty()) {
        if (auto r = view(o, *e)) each(*r);
      }
      last_start = o;
      o = *e;
      if ((++records & 0xFFFF) == 0 && progress) progress(o);
      continue;
    }
    // A record whose framing holds: the records after it frame as they are.
    if (auto end = over() ? std::nullopt : bad_record_end(o)) {
      out.regions.push_back(describe(o, *end, DamageKind::BadRecord));
      last_start = o;
      o = *end;
      continue;
    }
    if (in_.failed()) break;
    // Damage at o: whether whole records follow decides its kind. Past the
    // bound, the rest is unresolved.
    const std::optional<uint64_t> q = over() ? std::nullopt : resolve(o);
    if (in_.failed()) break;
    const DamageKind kind = q               ? DamageKind::Middle
                            : over()        ? DamageKind::Unresolved
                            : zeros_from(o) ? DamageKind::ZeroTail
                                            : DamageKind::TornTail;
    out.regions.push_back(describe(o, q.value_or(size_), kind));
    if (kind != DamageKind::ZeroTail) note_zeros_before(last_start, out.regions.back());
    o = q.value_or(size_);
  }
  if (in_.failed()) return in_.take_error();
  const bool bad_last = !out.regions.empty() && out.regions.back().kind == DamageKind::BadRecord &&
                        out.regions.back().end == size_;
  if (out.whole_end() > 0 && out.whole_end() > last_start && !bad_last) {
    out.zero_page = zeros_at_end_of(last_start, size_, out.whole_end());
  }
  if (in_.failed()) return in_.take_error();
  out.work = work_;
  return out;
}

Result<std::optional<RecordFileDamage>, IoError> Classifier::run_framing(
    const std::function<void(uint64_t)>& progress) {
  uint64_t o = 0;
  uint64_t last_start = 0;
  uint64_t records = 0;
  std::optional<RecordFileDamage> out;
  while (o < size_) {
    auto e = loadable(o);
    if (!e) break;
    last_start = o;
    o = *e;
    if ((++records & 0xFFFF) == 0 && progress) progress(o);
  }
  // A torn or zero-filled tail shows in the last value, which stops short
  // or does not decode.
  if (o == size_ && (size_ == 0 || whole(last_start, false))) {
    out.emplace();
    out->size = size_;
    if (size_ > 0) out->zero_page = zeros_at_end_of(last_start, size_, size_);
    out->work = work_;
  }
  if (in_.failed()) return in_.take_error();
  return out;
}

}  // namespace

bool RecordFileDamage::needs_salvage() const {
  return framing_damaged() || count(DamageKind::BadRecord) > 0;
}

bool RecordFileDamage::framing_damaged() const {
  return count(DamageKind::Middle) > 0 || count(DamageKind::Unresolved) > 0;
}

size_t RecordFileDamage::count(DamageKind kind) const {
  return size_t(std::count_if(regions.begin(), regions.end(),
                              [kind](const DamagedRegion& r) { return r.kind == kind; }));
}

uint64_t RecordFileDamage::whole_end() const {
  if (!regions.empty() && regions.back().is_tail()) return regions.back().start;
  return size;
}

std::vector<std::pair<uint64_t, uint64_t>> RecordFileDamage::kept() const {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  uint64_t at = 0;
  for (const DamagedRegion& r : regions) {
    if (r.start > at) out.emplace_back(at, r.start);
    at = r.end;
  }
  if (at < size) out.emplace_back(at, size);
  return out;
}

Result<RecordFileDamage, IoError> classify_record_file(
    File& file, uint64_t size, const std::function<void(uint64_t)>& progress,
    const std::function<void(const RecordView&)>& each) {
  return Classifier(file, size).run(progress, each);
}

Result<RecordFileDamage, IoError> classify_record_file_quickly(
    File& file, uint64_t size, const std::function<void(uint64_t)>& progress) {
  auto framed = Classifier(file, size).run_framing(progress);
  if (!framed.ok()) return std::move(framed).error();
  if (framed.value()) return std::move(*framed.value());
  return classify_record_file(file, size, progress);
}

std::string describe_not_whole(const DamagedRegion& region, uint64_t size) {
  switch (region.why) {
    case NotWhole::RunsPastEnd:
      return "record needs " + std::to_string(region.needed) + " bytes, " +
             std::to_string(size - region.start) + " remain";
    case NotWhole::ZeroValueLength:
      return "zero value length";
    case NotWhole::KeyNotUtf8:
      return "key not UTF-8";
    case NotWhole::ValueDoesNotDecode:
      return "value does not decode";
    case NotWhole::ValueDecodesShort:
      return "value decodes short of its length";
  }
  return "";
}

}  // namespace zez
