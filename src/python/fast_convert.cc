#include "python/fast_convert.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

#include "codec/byte_order.h"
#include "codec/encoding.h"
#include "db/link_path.h"
#include "python/convert.h"
#include "python/py_ref.h"
#include "python/value_types.h"

namespace zez::py {

namespace {

// ---- Python -> encoding ----------------------------------------------------

// Strings up to this many code points are copied out as UCS-4 onto the stack
// and encoded here, which spares the bytes object the interpreter's encoder
// makes. That saving is fixed and the copy costs per code point: measured,
// the two break even near 16 code points, so longer strings go through the
// interpreter's encoder.
constexpr Py_ssize_t STACK_CODE_POINTS = 16;

// Writes the UTF-8 of `n` code points to `p`; the end, or nullptr at a
// surrogate (which the interpreter's encoder refuses).
char* write_utf8(const Py_UCS4* cps, Py_ssize_t n, char* p) {
  Py_ssize_t i = 0;
  // Most text is ASCII: four code points at a time while it lasts.
  for (; i + 4 <= n && (cps[i] | cps[i + 1] | cps[i + 2] | cps[i + 3]) < 0x80; i += 4) {
    p[0] = char(cps[i]);
    p[1] = char(cps[i + 1]);
    p[2] = char(cps[i + 2]);
    p[3] = char(cps[i + 3]);
    p += 4;
  }
  for (; i < n; ++i) {
    const Py_UCS4 c = cps[i];
    if (c < 0x80) {
      *p++ = char(c);
    } else if (c < 0x800) {
      *p++ = char(0xC0 | (c >> 6));
      *p++ = char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF) return nullptr;
      *p++ = char(0xE0 | (c >> 12));
      *p++ = char(0x80 | ((c >> 6) & 0x3F));
      *p++ = char(0x80 | (c & 0x3F));
    } else {
      *p++ = char(0xF0 | (c >> 18));
      *p++ = char(0x80 | ((c >> 12) & 0x3F));
      *p++ = char(0x80 | ((c >> 6) & 0x3F));
      *p++ = char(0x80 | (c & 0x3F));
    }
  }
  return p;
}

// The encoder's output: a string kept a little longer than what is written
// to it, so that a write is a store through a cursor rather than a call that
// checks and copies; the string is cut to what was written at the end.
class Output {
 public:
  explicit Output(std::string& s) : s_(s) { open(); }

  size_t size() const { return size_t(p_ - base_); }
  const char* data() const { return base_; }

  // The next `n` bytes, to be written before anything else is.
  char* room(size_t n) {
    if (size_t(end_ - p_) < n) grow(n);
    char* at = p_;
    p_ += n;
    return at;
  }
  // Room for up to `n` bytes at the cursor, which does not move until
  // advance_to() says where the bytes written there end.
  char* reserve(size_t n) {
    if (size_t(end_ - p_) < n) grow(n);
    return p_;
  }
  void advance_to(char* end) { p_ = end; }

  void byte(char b) { *room(1) = b; }
  void u32(uint32_t v) { store_u32(room(4), v); }
  void u64(uint64_t v) { store_u64(room(8), v); }
  void field(std::string_view bytes) {
    char* at = room(4 + bytes.size());
    store_u32(at, static_cast<uint32_t>(bytes.size()));
    std::memcpy(at + 4, bytes.data(), bytes.size());
  }

  // The string, holding exactly what was written, for a writer of its own;
  // open() again after it.
  std::string& close() {
    s_.resize(size());
    return s_;
  }
  void open() {
    const size_t used = s_.size();
    s_.resize(used + SLACK);
    point_at(used);
  }
  // Back to `size` bytes, closed.
  void cut_to(size_t size) { s_.resize(size); }

 private:
  static constexpr size_t SLACK = 256;

  [[gnu::noinline]] void grow(size_t n) {
    const size_t used = size();
    s_.resize(std::max(s_.size() * 2, used + n + SLACK));
    point_at(used);
  }
  void point_at(size_t used) {
    base_ = s_.data();
    p_ = base_ + used;
    end_ = base_ + s_.size();
  }

  std::string& s_;
  char* base_;
  char* p_;
  char* end_;
};

bool append_long_string(PyObject* str, Output& out) {
  PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(str));
  if (!bytes) return false;
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return false;
  if (!fits_length_field(static_cast<uint64_t>(size))) return false;
  out.field(std::string_view(data, static_cast<size_t>(size)));
  return true;
}

// Appends a string field (u32 length, UTF-8) for a str or subclass
// instance. Kept out of line: its buffers must not sit in the frames of the
// recursion.
[[gnu::noinline]] bool append_string(PyObject* str, Output& out) {
  const Py_ssize_t n = PyUnicode_GetLength(str);
  if (n < 0) return false;
  if (n > STACK_CODE_POINTS) return append_long_string(str, out);
  Py_UCS4 cps[STACK_CODE_POINTS];
  if (PyUnicode_AsUCS4(str, cps, STACK_CODE_POINTS, 0) == nullptr) return false;
  char* field = out.reserve(4 + 4 * STACK_CODE_POINTS);
  char* end = write_utf8(cps, n, field + 4);
  if (end == nullptr) return false;
  store_u32(field, static_cast<uint32_t>(end - field - 4));
  out.advance_to(end);
  return true;
}

// The encoded string fields (u32 length and UTF-8) of recently seen exact
// strs, dict keys and texts alike, by object identity: records repeat their
// field names and often their short texts (tags, states, kinds) as the very
// same objects. A slot's reference keeps its str alive, so no other object
// can have that address, and a str never changes: a slot whose str is the
// string holds that string's field.
struct FieldSlot {
  static constexpr size_t MAX_BYTES = 60;
  PyObject* str = nullptr;
  uint32_t size = 0;
  char bytes[MAX_BYTES];

  void fill(PyObject* s, const void* data, size_t n) {
    PyObject* old = str;
    std::memcpy(bytes, data, n);
    size = static_cast<uint32_t>(n);
    Py_INCREF(s);
    str = s;
    Py_XDECREF(old);  // a str: its release runs no Python code
  }
};
FieldSlot string_fields[128];

FieldSlot& field_slot(PyObject* str) {
  const auto p = reinterpret_cast<uintptr_t>(str);
  return string_fields[((p >> 4) ^ (p >> 11)) % std::size(string_fields)];
}

// For exact strs only: the field of a subclass instance is not cached.
[[gnu::noinline]] bool append_exact_string(PyObject* str, Output& out) {
  FieldSlot& slot = field_slot(str);
  if (slot.str == str) {
    // The whole slot at once, a copy of fixed size; the cursor then moves
    // by the field's own.
    char* at = out.reserve(FieldSlot::MAX_BYTES);
    std::memcpy(at, slot.bytes, FieldSlot::MAX_BYTES);
    out.advance_to(at + slot.size);
    return true;
  }
  const size_t start = out.size();
  if (!append_string(str, out)) return false;
  const size_t size = out.size() - start;
  if (size <= FieldSlot::MAX_BYTES) slot.fill(str, out.data() + start, size);
  return true;
}

// Where a value sits inside the one being encoded, for the source paths of
// the links it holds: a chain through the frames of the recursion (nullptr
// at the root), read only when a link turns up. A key is kept as where its
// bytes lie in the output, since the output moves as it grows.
struct Place {
  const Place* parent;
  size_t at;  // a dict entry: where its key's field starts; a list element: its index
  bool is_index;
};

// One pass over the object, appending as it goes and listing its links as
// it meets them. Every method returns false at the first thing the canonical
// route must decide; `depth` counts the containers around the object, as
// py_to_value counts them, and `at` is where it sits.
class Encoder {
 public:
  Encoder(Output& out, std::vector<OutgoingLink>& links) : out_(out), links_(links) {}

  bool value(PyObject* obj, int depth, const Place* at);

 private:
  bool integer(PyObject* obj);
  bool floating(PyObject* obj);
  bool text(PyObject* obj);
  bool blob(PyObject* obj);
  bool list(PyObject* list, int depth, const Place* at);
  bool dict(PyObject* dict, int depth, const Place* at);
  bool link(PyObject* link, int depth, const Place* at);
  std::vector<PathStep> steps_to(const Place* at) const;
  PathStep step_of(const Place& place) const;
  std::string_view key_of(const Place& entry) const;
  void type_byte(TypeByte t) { out_.byte(char(t)); }

  Output& out_;
  std::vector<OutgoingLink>& links_;
};

bool Encoder::value(PyObject* obj, int depth, const Place* at) {
  // The exact built-in types first: each decides the same way as the tests
  // below, which an exact str, int, float, list or dict passes only at its
  // own kind, and they spare the interpreter's subtype checks.
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyUnicode_Type) {
    type_byte(TYPE_TEXT);
    return append_exact_string(obj, out_);
  }
  if (type == &PyLong_Type) return integer(obj);
  if (type == &PyDict_Type) return dict(obj, depth, at);
  if (type == &PyFloat_Type) return floating(obj);
  if (type == &PyList_Type) return list(obj, depth, at);
  // The canonical order of tests, for everything else.
  if (obj == Py_None) {
    type_byte(TYPE_NULL);
    return true;
  }
  if (is_tombstone_type(type)) {
    type_byte(TYPE_TOMBSTONE);
    return true;
  }
  if (is_link_type(type)) return link(obj, depth, at);
  if (type == &PyBool_Type) {
    type_byte(TYPE_BOOL);
    out_.byte(obj == Py_True ? 1 : 0);
    return true;
  }
  if (PyLong_Check(obj)) return integer(obj);
  if (PyFloat_Check(obj)) return floating(obj);
  if (PyUnicode_Check(obj)) return text(obj);
  if (PyBytes_Check(obj)) return blob(obj);
  if (PyList_Check(obj)) return list(obj, depth, at);
  if (PyDict_Check(obj)) return dict(obj, depth, at);
  return false;
}

bool Encoder::integer(PyObject* obj) {
  const long long i = PyLong_AsLongLong(obj);
  if (i == -1 && PyErr_Occurred()) return false;
  type_byte(TYPE_INT);
  out_.u64(static_cast<uint64_t>(i));
  return true;
}

bool Encoder::floating(PyObject* obj) {
  type_byte(TYPE_FLOAT);
  out_.u64(std::bit_cast<uint64_t>(PyFloat_AsDouble(obj)));
  return true;
}

bool Encoder::text(PyObject* obj) {
  type_byte(TYPE_TEXT);
  return append_string(obj, out_);
}

bool Encoder::blob(PyObject* obj) {
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
  if (!fits_length_field(static_cast<uint64_t>(size))) return false;
  type_byte(TYPE_BLOB);
  out_.field(std::string_view(data, static_cast<size_t>(size)));
  return true;
}

// Nothing here runs Python code, so the containers cannot change while they
// are read; the element references and the length checks are a cheap guard
// all the same, since a count already written must match what follows it.
bool Encoder::list(PyObject* list, int depth, const Place* at) {
  if (depth >= MAX_NESTING_DEPTH) return false;
  const Py_ssize_t size = PyList_Size(list);
  if (size < 0 || !fits_length_field(static_cast<uint64_t>(size))) return false;
  type_byte(TYPE_ARRAY);
  out_.u32(static_cast<uint32_t>(size));
  Place here{at, 0, true};
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (PyList_Size(list) != size) return false;
    PyRef item = PyRef::borrow(PyList_GetItem(list, i));
    here.at = static_cast<size_t>(i);
    if (!item || !value(item.get(), depth + 1, &here)) return false;
  }
  return true;
}

bool Encoder::dict(PyObject* dict, int depth, const Place* at) {
  if (depth >= MAX_NESTING_DEPTH) return false;
  const Py_ssize_t size = PyDict_Size(dict);
  if (size < 0 || !fits_length_field(static_cast<uint64_t>(size))) return false;
  type_byte(TYPE_MAP);
  out_.u32(static_cast<uint32_t>(size));
  Py_ssize_t pos = 0;
  Py_ssize_t seen = 0;
  PyObject* key;
  PyObject* item;
  Place here{at, 0, false};
  while (PyDict_Next(dict, &pos, &key, &item)) {
    // A str subclass key may share its text with another key, which the
    // canonical route collapses into one entry.
    if (!PyUnicode_CheckExact(key) || ++seen > size) return false;
    PyRef held_key = PyRef::borrow(key);
    PyRef held_item = PyRef::borrow(item);
    here.at = out_.size();
    if (!append_exact_string(key, out_) || !value(item, depth + 1, &here)) return false;
  }
  return seen == size;
}

// A Link's data was checked when it was made; its map is encoded as stored.
bool Encoder::link(PyObject* link, int depth, const Place* at) {
  if (depth + link_levels(link) > MAX_NESTING_DEPTH) return false;
  const LinkData& data = link_data(link);
  type_byte(TYPE_LINK);
  out_.field(data.path);
  encode_map_body(data.local, out_.close());
  out_.open();
  append_if_backlinked(data.path, [&] { return source_path_of(steps_to(at)); }, links_);
  if (!data.local.empty()) append_local_links(steps_to(at), data.local, links_);
  return true;
}

// The steps to `at`, for the source paths of the links there. Views into
// the output: valid until it next grows.
std::vector<PathStep> Encoder::steps_to(const Place* at) const {
  std::vector<PathStep> steps;
  for (const Place* p = at; p != nullptr; p = p->parent) {
    steps.push_back(step_of(*p));
  }
  std::reverse(steps.begin(), steps.end());
  return steps;
}

// The step `place` is, its key read back from the field it wrote.
PathStep Encoder::step_of(const Place& place) const {
  return place.is_index ? PathStep{{}, place.at, true} : PathStep{key_of(place), 0, false};
}

// The text of a dict entry's key, read back from the field it wrote.
std::string_view Encoder::key_of(const Place& entry) const {
  const uint32_t size = load_u32(reinterpret_cast<const uint8_t*>(out_.data()) + entry.at);
  return std::string_view(out_.data() + entry.at + 4, size);
}

// ---- encoding -> Python ----------------------------------------------------

// A new str of the UTF-8 in p[0, size): nullptr with UnicodeDecodeError for
// bytes that are not well-formed UTF-8 (the interpreter's strict decoder
// accepts exactly well-formed UTF-8). Keys too are new strs: a dict read
// back shares no object with another.
PyObject* make_str(const uint8_t* p, size_t size) {
  return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(size),
                              nullptr);
}

// One pass over the input, making objects as it goes. Every method returns
// nullptr on failure; `depth` counts the containers around the value, as
// decode_value counts them.
class Decoder {
 public:
  Decoder(const uint8_t* data, size_t size) : data_(data), in_{data, data + size} {}

  PyObject* value(int depth);

 private:
  PyObject* scalar(uint8_t type);
  PyObject* list(int depth);
  PyObject* dict(int depth);
  PyObject* link(int depth);

  const uint8_t* data_;
  ByteCursor in_;
};

PyObject* Decoder::value(int depth) {
  uint8_t type;
  if (!in_.read_u8(&type)) return nullptr;
  switch (type) {
    case TYPE_ARRAY:
      return depth >= MAX_NESTING_DEPTH ? nullptr : list(depth + 1);
    case TYPE_MAP:
      return depth >= MAX_NESTING_DEPTH ? nullptr : dict(depth + 1);
    case TYPE_LINK:
      return depth >= MAX_NESTING_DEPTH ? nullptr : link(depth);
    default:
      return scalar(type);
  }
}

PyObject* Decoder::scalar(uint8_t type) {
  uint8_t u8;
  uint32_t u32;
  uint64_t u64;
  const uint8_t* p;
  uint32_t size;
  switch (type) {
    case TYPE_NULL:
      Py_RETURN_NONE;
    case TYPE_TOMBSTONE:
      return new_tombstone();
    case TYPE_BOOL:
      return in_.read_u8(&u8) ? PyBool_FromLong(u8 != 0) : nullptr;
    case TYPE_INT:
      return in_.read_u64(&u64) ? PyLong_FromLongLong(static_cast<int64_t>(u64)) : nullptr;
    case TYPE_FLOAT:
      return in_.read_u64(&u64) ? PyFloat_FromDouble(std::bit_cast<double>(u64)) : nullptr;
    case TYPE_DATE_TIME:
      return in_.read_u64(&u64) ? PyLong_FromUnsignedLongLong(u64) : nullptr;
    case TYPE_DATE:
    case TYPE_TIME:
      return in_.read_u32(&u32) ? PyLong_FromUnsignedLong(u32) : nullptr;
    case TYPE_TEXT:
      return in_.read_field(&p, &size) ? make_str(p, size) : nullptr;
    case TYPE_BLOB:
      if (!in_.read_field(&p, &size)) return nullptr;
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p),
                                       static_cast<Py_ssize_t>(size));
  }
  return nullptr;  // an unassigned type byte
}

PyObject* Decoder::list(int depth) {
  uint32_t count;
  if (!in_.read_u32(&count) || count > in_.remaining() / MIN_ELEMENT_SIZE) return nullptr;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (uint32_t i = 0; i < count; ++i) {
    PyObject* item = value(depth);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* Decoder::dict(int depth) {
  uint32_t count;
  if (!in_.read_u32(&count) || count > in_.remaining() / MIN_ENTRY_SIZE) return nullptr;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* p;
    uint32_t size;
    if (!in_.read_field(&p, &size)) return nullptr;
    PyRef key = PyRef::steal(make_str(p, size));
    if (!key) return nullptr;
    PyRef item = PyRef::steal(value(depth));
    // A key met again replaces the earlier value in place, as the canonical
    // route's map does.
    if (!item || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return nullptr;
  }
  return dict.release();
}

// Links are rare: the codec reads the whole link, and the Link is made from
// that, exactly as the canonical route makes it.
PyObject* Decoder::link(int depth) {
  size_t cursor = static_cast<size_t>(in_.pos - 1 - data_);
  auto decoded = decode_value(data_, static_cast<size_t>(in_.end - data_), &cursor);
  if (!decoded.ok()) return nullptr;
  Value& v = decoded.value();
  if (depth + nesting_levels(v) > MAX_NESTING_DEPTH) return nullptr;
  in_.pos = data_ + cursor;
  return new_link(std::move(v.as_link()));
}

}  // namespace

bool encode_py_fast(PyObject* obj, std::string& out, std::vector<OutgoingLink>& links) {
  const size_t start = out.size();
  const size_t links_before = links.size();
  Output output(out);
  Encoder encoder(output, links);
  if (!encoder.value(obj, 0, nullptr)) {
    PyErr_Clear();
    output.cut_to(start);
    links.resize(links_before);
    return false;
  }
  output.close();
  return true;
}

PyObject* decode_py_fast(const uint8_t* data, size_t size) {
  Decoder decoder(data, size);
  PyObject* obj = decoder.value(0);
  if (obj == nullptr && PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
  }
  return obj;
}

}  // namespace zez::py
